// Small images built for the engine's tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "Tonwell.h"

namespace tonwell::test {

// Packed 3-byte pixels, one row per `width` pixels, every colour byte equal.
inline std::vector<BYTE> GreyPixels(const std::vector<std::pair<BYTE, size_t>>& runs)
{
    std::vector<BYTE> bytes;
    for (const auto& [value, count] : runs)
        bytes.insert(bytes.end(), count * 3, value);
    return bytes;
}

inline std::vector<BYTE> Grey(BYTE value, size_t count)
{
    return GreyPixels({{value, count}});
}

// What the engine measures in its buffer as it is now.
inline ExposureStatistics Measure(CTonwell& engine)
{
    ExposureDecision decision{};
    EXPECT_EQ(engine.Decide(&decision), S_OK);
    return decision.stats;
}

} // namespace tonwell::test
