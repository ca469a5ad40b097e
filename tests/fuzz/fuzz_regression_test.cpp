// Every fuzz target over its seed corpus and its regressions: each input must come back
// from the target's entry (which aborts on a broken property) without a crash.
#include "fuzz_target.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> BuiltTargets()
{
    std::istringstream names(TONWELL_FUZZ_TARGET_NAMES); // separated by ','
    std::vector<std::string> out;
    std::string name;
    while (std::getline(names, name, ','))
        out.push_back(name);
    return out;
}

class FuzzReplay : public testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, SeedsAndRegressionsPass)
{
    const std::string name = GetParam();
    auto it = tonwell::fuzz::Targets().find(name);
    ASSERT_NE(it, tonwell::fuzz::Targets().end()) << "target " << name << " did not register";
    const fs::path root = fs::path(TONWELL_TEST_SOURCE_DIR) / "fuzz";
    size_t replayed = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        const fs::path dir = root / folder / name;
        if (!fs::is_directory(dir))
            continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(it->second(bytes.data(), bytes.size()), 0);
            ++replayed;
        }
    }
    // Every target has seeds; an empty replay means the corpus went missing.
    EXPECT_GT(replayed, 0u) << "no inputs for " << name;
}

TEST(FuzzReplay, EmptyAndTinyInputsPassEveryTarget)
{
    const uint8_t bytes[] = {0xff, 0x00, 0x01};
    for (const auto& [name, entry] : tonwell::fuzz::Targets()) {
        SCOPED_TRACE(name);
        for (size_t n = 0; n <= sizeof bytes; ++n)
            EXPECT_EQ(entry(bytes, n), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(BuiltTargets()),
                         [](const auto& info) { return info.param; });

} // namespace
