#include "ofd_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace tonwell::platform::kernel {

int SetOfdLock(int fd, short type, off_t byte, bool wait)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

bool OfdLockConflicts(int fd, short type, off_t byte)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK;
}

bool StillLinked(int fd, const char* path)
{
    struct stat open, named;
    if (fstat(fd, &open) != 0 || lstat(path, &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace tonwell::platform::kernel
