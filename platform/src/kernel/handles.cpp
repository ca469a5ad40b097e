#include "handles.h"

#include "boundary.h"

#include <winbase.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

namespace tonwell::platform::kernel {

namespace {

// Handle value: (generation << 24 | slot + 1) << 2. Never 0, never one of the
// all-ones pseudo-handles, always a multiple of 4 like the platform's own.
constexpr uint64_t kSlotBits = 24;
constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
constexpr uint64_t kGenerationMask = (uint64_t{1} << 30) - 1;
// Freed slots wait in a queue this long before reuse, so that a stale handle
// is caught even once its slot's generation moves on.
constexpr size_t kReuseDelay = 64;

struct Slot {
    std::shared_ptr<KernelObject> object;
    uint32_t generation = 1;
};

class HandleTable {
public:
    HANDLE Insert(std::shared_ptr<KernelObject> object)
    {
        std::lock_guard lock(m_lock);
        size_t index;
        if (m_free.size() > kReuseDelay) {
            index = m_free.front();
            m_free.pop_front();
        } else {
            if (m_slots.size() >= kSlotMask)
                return nullptr;
            m_slots.emplace_back();
            index = m_slots.size() - 1;
        }
        Slot& slot = m_slots[index];
        slot.object = std::move(object);
        uint64_t value = ((uint64_t{slot.generation} << kSlotBits) | (index + 1)) << 2;
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    }

    std::shared_ptr<KernelObject> Find(HANDLE handle)
    {
        std::lock_guard lock(m_lock);
        Slot* slot = Resolve(handle);
        return slot ? slot->object : nullptr;
    }

    std::shared_ptr<KernelObject> Remove(HANDLE handle)
    {
        std::lock_guard lock(m_lock);
        Slot* slot = Resolve(handle);
        if (!slot)
            return nullptr;
        std::shared_ptr<KernelObject> object = std::move(slot->object);
        slot->object.reset();
        slot->generation = static_cast<uint32_t>((slot->generation % kGenerationMask) + 1);
        try {
            m_free.push_back(static_cast<size_t>(slot - m_slots.data()));
        } catch (const std::bad_alloc&) {
            // Without memory to note it the slot is simply never reused; the close still succeeds.
        }
        return object;
    }

private:
    Slot* Resolve(HANDLE handle)
    {
        uint64_t value = reinterpret_cast<uintptr_t>(handle);
        if (value & 3)
            return nullptr;
        value >>= 2;
        uint64_t index = value & kSlotMask;
        uint64_t generation = value >> kSlotBits;
        if (index == 0 || index > m_slots.size() || generation > kGenerationMask)
            return nullptr;
        Slot& slot = m_slots[index - 1];
        if (!slot.object || slot.generation != generation)
            return nullptr;
        return &slot;
    }

    std::mutex m_lock;
    std::vector<Slot> m_slots;
    std::deque<size_t> m_free;
};

// Never destroyed: modules' static destructors may still close handles
// during exit, and the system releases what is left when the process ends.
HandleTable& Table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

} // namespace

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object)
{
    HANDLE handle = nullptr;
    try {
        handle = Table().Insert(std::move(object));
    } catch (const std::bad_alloc&) {
    }
    if (!handle)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> object = Table().Find(handle);
    if (!object)
        SetInvalidHandleError();
    return object;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> object = Table().Remove(handle);
    if (!object)
        SetInvalidHandleError();
    return object;
}

} // namespace tonwell::platform::kernel

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    // All ones is also the current-process pseudo-handle, which the platform
    // lets one close without effect.
    if (hObject == INVALID_HANDLE_VALUE)
        return TRUE;
    return tonwell::platform::GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::shared_ptr<tonwell::platform::kernel::KernelObject> object =
            tonwell::platform::kernel::RemoveHandle(hObject);
        if (!object)
            return FALSE;
        object.reset(); // closes now unless another thread is still using it
        return TRUE;
    });
}
