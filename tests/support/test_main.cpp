// Every test process runs on a private machine root, so that nothing a test
// does (a trace line written lazily, a registry value) reaches a user's real
// state. Tests that need a fresh root per case use MachineRootFixture on top.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tonwell-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("tonwell tests: cannot create a private machine root");
        return 2;
    }
    setenv("TONWELL_ROOT", pattern.c_str(), 1);

    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();

    std::error_code ec;
    std::filesystem::remove_all(pattern, ec);
    return result;
}
