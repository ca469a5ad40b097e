// The process-wide table of kernel handles. A handle value carries the slot's
// generation, so a closed handle stays invalid after its slot is reused.
#pragma once

#include <windef.h>

#include <memory>

namespace tonwell::platform::kernel {

enum class ObjectKind { Mutex, File, Transaction };

class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual ObjectKind Kind() const = 0;
};

void SetInvalidHandleError();

// Null with ERROR_NOT_ENOUGH_MEMORY when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object, kept alive for the caller even if another thread closes the
// handle meanwhile. Null (and ERROR_INVALID_HANDLE set) when the handle is not
// open or is of another kind.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle)
{
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object)
        return nullptr;
    if (object->Kind() != T::kKind) {
        SetInvalidHandleError();
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

// Takes the object out of the table; the last reference closes it.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

} // namespace tonwell::platform::kernel
