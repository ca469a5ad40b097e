// The test fault hook (tonwell_testhooks.h) as the platform's calls see it.
// InjectFault(kind) says whether this call of that kind is to fail; the caller
// then fails exactly as it does on the real failure. Disarmed it costs one
// relaxed atomic load. Thread-safe.
#pragma once

#include <tonwell_testhooks.h>

#include <atomic>
#include <cstdint>

namespace tonwell::platform {

// The armed kinds; 0 when disarmed.
extern std::atomic<uint32_t> g_faultKinds;

// The armed path: counts the call and says whether it is the one to fail.
bool InjectFaultArmed(uint32_t kind) noexcept;

inline bool InjectFault(uint32_t kind) noexcept
{
    if (__builtin_expect((g_faultKinds.load(std::memory_order_relaxed) & kind) == 0, 1))
        return false;
    return InjectFaultArmed(kind);
}

// The countdown of TonwellFailNextCriticalSectionInit: true (and one fewer
// left) while calls remain to fail.
bool ConsumeCriticalSectionFailure() noexcept;

} // namespace tonwell::platform
