// The test fault hook: one process-wide arming, read by every hooked call.
#include "fault.h"

#include "thread_id.h"

#include <winbase.h>

namespace tonwell::platform {

std::atomic<uint32_t> g_faultKinds{0};

namespace {

// Written before g_faultKinds is stored (release) and read after it is loaded
// (acquire), so an armed call sees the arming whole.
std::atomic<uint32_t> g_nth{0};
std::atomic<uint32_t> g_calls{0};
std::atomic<bool> g_fired{false};
std::atomic<DWORD> g_thread{0};
std::atomic<DWORD> g_csFailuresLeft{0};

constexpr uint32_t kThisThread = TONWELL_FAULT_THIS_THREAD;

} // namespace

bool InjectFaultArmed(uint32_t kind) noexcept
{
    uint32_t kinds = g_faultKinds.load(std::memory_order_acquire);
    if (!(kinds & kind))
        return false;
    if ((kinds & kThisThread) && g_thread.load(std::memory_order_relaxed) != kernel::CurrentThreadId())
        return false;
    uint32_t call = g_calls.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (call != g_nth.load(std::memory_order_relaxed))
        return false;
    g_fired.store(true, std::memory_order_release);
    return true;
}

bool ConsumeCriticalSectionFailure() noexcept
{
    DWORD pending = g_csFailuresLeft.load();
    while (pending != 0) {
        if (g_csFailuresLeft.compare_exchange_weak(pending, pending - 1))
            return true;
    }
    return false;
}

} // namespace tonwell::platform

using namespace tonwell::platform;

void WINAPI TonwellFaultArm(DWORD dwKinds, DWORD dwNth)
{
    g_faultKinds.store(0, std::memory_order_release);
    g_nth.store(dwNth ? dwNth : UINT32_MAX, std::memory_order_relaxed);
    g_calls.store(0, std::memory_order_relaxed);
    g_fired.store(false, std::memory_order_relaxed);
    g_thread.store(kernel::CurrentThreadId(), std::memory_order_relaxed);
    g_faultKinds.store(dwKinds & (TONWELL_FAULT_ALL | kThisThread), std::memory_order_release);
}

DWORD WINAPI TonwellFaultCount(void) { return g_calls.load(std::memory_order_acquire); }

BOOL WINAPI TonwellFaultFired(void) { return g_fired.load(std::memory_order_acquire); }

void WINAPI TonwellFaultDisarm(void) { g_faultKinds.store(0, std::memory_order_release); }

void WINAPI TonwellFailNextCriticalSectionInit(DWORD dwCount) { g_csFailuresLeft.store(dwCount); }
