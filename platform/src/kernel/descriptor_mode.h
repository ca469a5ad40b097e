// Security descriptors onto POSIX permissions for the objects the kernel
// services create.
#pragma once

#include <windef.h>

#include <sys/types.h>

namespace tonwell::platform::kernel {

enum class ModeTarget { File, Directory, NamedObject };

// The permission bits (0777 range) that carry the descriptor in `attributes`
// onto a new file, folder or named object; false when the descriptor is
// malformed (ERROR_INVALID_SECURITY_DESCR). `explicitMode` is false when no
// descriptor was given: the caller then keeps the default that the umask shapes.
//
// Group and others get what an ordinary authenticated user is granted. The
// owner gets what the creator is granted and, since the creator administers
// what it creates under its own machine root, what the local system and
// administrators are granted: a descriptor for SY and BA alone yields owner-only
// permissions. A named object is opened for reading and writing or not at all,
// so any right a class holds on it becomes rw.
bool PosixModeFromDescriptor(const SECURITY_ATTRIBUTES* attributes, ModeTarget target, mode_t& mode,
                             bool& explicitMode);

} // namespace tonwell::platform::kernel
