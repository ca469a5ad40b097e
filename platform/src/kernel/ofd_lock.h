// Open-file-description locks: held per open file (not per process), so two
// handles of one process conflict like handles of two processes, and the
// system drops them when the last descriptor closes, even after kill -9.
#pragma once

#include <sys/types.h>

namespace tonwell::platform::kernel {

// fcntl lock types: F_RDLCK, F_WRLCK, F_UNLCK. Changing the type of a lock the
// descriptor already holds is atomic. 0 on success, else errno.
int SetOfdLock(int fd, short type, off_t byte, bool wait);
// Whether another open file holds a lock that conflicts with `type` on the byte.
bool OfdLockConflicts(int fd, short type, off_t byte);

// Whether `path` still names the file open on `fd`.
bool StillLinked(int fd, const char* path);

} // namespace tonwell::platform::kernel
