// A fresh, private machine root for each test, so that tests never touch a
// user's real state and can run in parallel.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace tonwell::test {

class MachineRootFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (RootParent() / "tonwell-root-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        setenv("TONWELL_ROOT", m_root.c_str(), 1);
    }

    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    const std::filesystem::path& Root() const { return m_root; }

    // Where the root is made; a fixture may pick another file system.
    virtual std::filesystem::path RootParent() const { return std::filesystem::temp_directory_path(); }

private:
    std::filesystem::path m_root;
};

// For fixtures whose tests put a program or a module under the root and then
// run or load it: the temporary folder may be mounted noexec, the build tree
// the test itself runs from cannot be. Roots go to test-roots beside bin/.
inline std::filesystem::path ExecutableRootParent()
{
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::temp_directory_path();
    std::filesystem::path parent = self.parent_path().parent_path() / "test-roots";
    std::filesystem::create_directories(parent, ec);
    return ec ? std::filesystem::temp_directory_path() : parent;
}

} // namespace tonwell::test
