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
        std::string pattern = (std::filesystem::temp_directory_path() / "tonwell-root-XXXXXX").string();
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

private:
    std::filesystem::path m_root;
};

} // namespace tonwell::test
