// Files and folders.
//
// Share modes are kept, for every file the platform opens, in a lock file
// under <machine root>/objects/files/ named by the file's device and inode,
// with open-file-description locks that the system drops with the handle's
// descriptor (also when its process is killed):
//  - byte 0, the guard, held exclusively while a handle checks and records
//    its access, or closes;
//  - byte 1 held shared by every open handle; a closer that can take it
//    exclusively is the last and removes the lock file;
//  - bytes 2..4 held shared by handles with read, write, delete access;
//  - bytes 5..7 held shared by handles that do not share read, write, delete.
// An open then conflicts exactly when another handle denies an access it asks
// for, or holds an access its share mode does not allow. Handles of other
// programs that bypass the platform are not seen.
#include "boundary.h"
#include "descriptor_mode.h"
#include "fault.h"
#include "handles.h"
#include "ofd_lock.h"
#include "paths.h"
#include "text/ansi.h"

#include <tonwell_posix.h>
#include <winbase.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace tonwell::platform::kernel {

namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kOpenerByte = 1;
constexpr off_t kAccessBytes = 2;
constexpr off_t kDenyBytes = 5;

struct Rights {
    bool read = false;
    bool write = false;
    bool append = false; // appends only, wherever the pointer is
    bool remove = false;

    bool Any() const { return read || write || append || remove; }
};

Rights RightsFrom(DWORD access)
{
    Rights r;
    r.read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    r.write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
    r.append = !r.write && (access & FILE_APPEND_DATA);
    r.remove = access & (GENERIC_ALL | DELETE);
    return r;
}

// The handle's entry in a file's share record.
class ShareLock {
public:
    ShareLock() = default;
    ShareLock(const ShareLock&) = delete;
    ShareLock& operator=(const ShareLock&) = delete;
    ~ShareLock() { Release(); }

    // ERROR_SHARING_VIOLATION on a conflict; success, recording nothing, when
    // the machine root's object folder cannot be used.
    DWORD Acquire(const struct stat& file, const Rights& rights, DWORD shareMode)
    {
        std::string folder;
        DWORD error;
        if (!ObjectsFolder("files", folder, error))
            return ERROR_SUCCESS;
        char name[64];
        snprintf(name, sizeof name, "/%llx-%llx", static_cast<unsigned long long>(file.st_dev),
                 static_cast<unsigned long long>(file.st_ino));
        m_path = folder + name;
        const bool asks[3] = {rights.read, rights.write || rights.append, rights.remove};
        const bool shares[3] = {(shareMode & FILE_SHARE_READ) != 0, (shareMode & FILE_SHARE_WRITE) != 0,
                                (shareMode & FILE_SHARE_DELETE) != 0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            int fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd < 0)
                return ERROR_SUCCESS;
            struct stat st;
            // Shared by every user of the root, whatever its creator's umask.
            if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0666)
                fchmod(fd, 0666);
            if (SetOfdLock(fd, F_WRLCK, kGuardByte, true) != 0) {
                close(fd);
                return ERROR_SUCCESS;
            }
            if (!StillLinked(fd, m_path.c_str())) {
                close(fd);
                continue;
            }
            for (int i = 0; i < 3; ++i) {
                if ((asks[i] && OfdLockConflicts(fd, F_WRLCK, kDenyBytes + i)) ||
                    (!shares[i] && OfdLockConflicts(fd, F_WRLCK, kAccessBytes + i))) {
                    close(fd);
                    return ERROR_SHARING_VIOLATION;
                }
            }
            SetOfdLock(fd, F_RDLCK, kOpenerByte, false);
            for (int i = 0; i < 3; ++i) {
                if (asks[i])
                    SetOfdLock(fd, F_RDLCK, kAccessBytes + i, false);
                if (!shares[i])
                    SetOfdLock(fd, F_RDLCK, kDenyBytes + i, false);
            }
            SetOfdLock(fd, F_UNLCK, kGuardByte, false);
            m_fd = fd;
            m_pid = getpid();
            return ERROR_SUCCESS;
        }
        return ERROR_SUCCESS;
    }

    void Release()
    {
        if (m_fd < 0)
            return;
        // Only the opening process may judge whether it is the last: a fork
        // child shares the parent's locks.
        if (m_pid == getpid() && SetOfdLock(m_fd, F_WRLCK, kGuardByte, true) == 0 &&
            SetOfdLock(m_fd, F_WRLCK, kOpenerByte, false) == 0 && StillLinked(m_fd, m_path.c_str()))
            unlink(m_path.c_str());
        close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    pid_t m_pid = 0;
    std::string m_path;
};

class FileObject final : public KernelObject {
public:
    static constexpr ObjectKind kKind = ObjectKind::File;

    FileObject(int fd, Rights rights) : m_fd(fd), m_rights(rights) {}
    ~FileObject() override
    {
        if (!m_deleteOnClose.empty())
            unlink(m_deleteOnClose.c_str());
        m_share.Release();
        close(m_fd);
    }
    ObjectKind Kind() const override { return kKind; }

    int Fd() const { return m_fd; }
    const Rights& Access() const { return m_rights; }
    ShareLock& Share() { return m_share; }
    void DeleteOnClose(std::string path) { m_deleteOnClose = std::move(path); }

private:
    int m_fd;
    Rights m_rights;
    ShareLock m_share;
    std::string m_deleteOnClose;
};

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

bool PathOrFail(LPCWSTR path, PathUse use, std::string& out)
{
    DWORD error;
    if (!path)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!ToPosixPath(std::u16string_view(path), use, out, error))
        return Fail(error);
    return true;
}

DWORD OpenError(int err, const std::string& path)
{
    return err == ENOENT ? NotFoundError(path) : ErrorFromErrno(err);
}

HANDLE CreateFileImpl(const std::string& path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                      DWORD disposition, DWORD flags)
{
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Rights rights = RightsFrom(access);
    if (disposition == TRUNCATE_EXISTING && !rights.write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((rights.write || rights.append) && InjectFault(TONWELL_FAULT_FILE_WRITE)) {
        SetLastError(ERROR_DISK_FULL);
        return INVALID_HANDLE_VALUE;
    }
    mode_t mode = 0;
    bool explicitMode = false;
    if (!PosixModeFromDescriptor(attributes, ModeTarget::File, mode, explicitMode)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return INVALID_HANDLE_VALUE;
    }
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    int openFlags = O_CLOEXEC | O_NOCTTY;
    if ((rights.read && (rights.write || rights.append)) || (truncates && !rights.write && !rights.append))
        openFlags |= O_RDWR;
    else if (rights.write || rights.append)
        openFlags |= O_WRONLY;
    else
        openFlags |= O_RDONLY;
    if (rights.append)
        openFlags |= O_APPEND;
    const bool noFollow = flags & FILE_FLAG_OPEN_REPARSE_POINT;
    if (noFollow)
        openFlags |= O_NOFOLLOW | O_NONBLOCK;
    // A file made here holds data, never a program, whatever execute right the descriptor grants.
    mode &= ~static_cast<mode_t>(0111);

    // Created owner-only when a descriptor will widen it afterwards, so no
    // one gets in before its permissions are set.
    mode_t createMode = explicitMode ? 0600 : 0644;
    int fd = -1;
    bool created = false;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
            fd = open(path.c_str(), openFlags | O_CREAT | O_EXCL, createMode);
            if (fd >= 0) {
                created = true;
                break;
            }
            if (errno != EEXIST || disposition == CREATE_NEW) {
                DWORD error = errno == EEXIST ? ERROR_FILE_EXISTS : OpenError(errno, path);
                if (errno == ENOENT)
                    error = ERROR_PATH_NOT_FOUND; // O_CREAT fails so only for a missing folder
                SetLastError(error);
                return INVALID_HANDLE_VALUE;
            }
        }
        fd = open(path.c_str(), openFlags);
        if (fd < 0) {
            if (errno == ENOENT && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                continue; // removed between the two opens: create it after all
            if (errno == ELOOP && noFollow) {
                SetLastError(ERROR_ACCESS_DENIED); // a link where the file should be
                return INVALID_HANDLE_VALUE;
            }
            SetLastError(OpenError(errno, path));
            return INVALID_HANDLE_VALUE;
        }
    }
    if (fd < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    auto fail = [&](DWORD error) {
        close(fd);
        if (created)
            unlink(path.c_str()); // leave nothing behind of a failed create
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    // Out of memory part way (the share records and names allocate): nothing
    // of this open survives, and a file it created goes again.
    std::shared_ptr<FileObject> object;
    HANDLE handle = nullptr;
    try {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return fail(ErrorFromErrno(errno));
        if (S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS))
            return fail(ERROR_ACCESS_DENIED);
        if (created && explicitMode && fchmod(fd, mode) != 0)
            return fail(ErrorFromErrno(errno));

        try {
            object = std::make_shared<FileObject>(fd, rights);
        } catch (const std::bad_alloc&) {
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (rights.Any()) {
            if (DWORD error = object->Share().Acquire(st, rights, shareMode); error != ERROR_SUCCESS) {
                object.reset(); // closes fd
                if (created)
                    unlink(path.c_str());
                SetLastError(error);
                return INVALID_HANDLE_VALUE;
            }
        }
        if (truncates && !created && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
            DWORD error = ErrorFromErrno(errno);
            object.reset();
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (flags & FILE_FLAG_DELETE_ON_CLOSE)
            object->DeleteOnClose(path);
        handle = InsertHandle(object);
        if (!handle) {
            if (created)
                object->DeleteOnClose(path);
            return INVALID_HANDLE_VALUE;
        }
    } catch (...) {
        if (object)
            object.reset(); // closes fd
        else
            close(fd);
        if (created)
            unlink(path.c_str());
        throw;
    }
    bool existed = !created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// Whole transfers: short counts from the system are continued, EINTR retried.
template <class Transfer>
bool TransferAll(Transfer transfer, DWORD size, DWORD& done, int& err)
{
    done = 0;
    while (done < size) {
        ssize_t n = transfer(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            return false;
        }
        if (n == 0)
            break; // end of file
        done += static_cast<DWORD>(n);
    }
    return true;
}

off_t OverlappedOffset(const OVERLAPPED* overlapped)
{
    return static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
}

bool Seek(FileObject& file, LONGLONG distance, DWORD method, LONGLONG& position)
{
    LONGLONG base;
    switch (method) {
    case FILE_BEGIN:
        base = 0;
        break;
    case FILE_CURRENT:
        base = lseek(file.Fd(), 0, SEEK_CUR);
        break;
    case FILE_END: {
        struct stat st;
        base = fstat(file.Fd(), &st) == 0 ? st.st_size : -1;
        break;
    }
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (base < 0)
        return Fail(ErrorFromErrno(errno));
    if (__builtin_add_overflow(base, distance, &position))
        return Fail(ERROR_INVALID_PARAMETER);
    if (position < 0)
        return Fail(ERROR_NEGATIVE_SEEK);
    return true;
}

} // namespace

} // namespace tonwell::platform::kernel

using namespace tonwell::platform::kernel;
using tonwell::platform::GuardLastError;
using tonwell::platform::text::CallWide;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    return GuardLastError(INVALID_HANDLE_VALUE, [&] {
        std::string path;
        if (!PathOrFail(lpFileName, PathUse::Open, path))
            return INVALID_HANDLE_VALUE;
        return CreateFileImpl(path, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                              dwFlagsAndAttributes);
    });
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    return CallWide(INVALID_HANDLE_VALUE, lpFileName, [&](LPCWSTR name) {
        return CreateFileW(name, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                           dwFlagsAndAttributes, hTemplateFile);
    });
}

static BOOL CreateDirectoryImpl(const std::string& path, LPSECURITY_ATTRIBUTES attributes)
{
    mode_t mode = 0;
    bool explicitMode = false;
    if (!PosixModeFromDescriptor(attributes, ModeTarget::Directory, mode, explicitMode))
        return Fail(ERROR_INVALID_SECURITY_DESCR);
    // A folder that others may add to keeps each user's entries their own: only an entry's owner
    // (or the folder's) may remove or replace it, so no user can swap another's file for a link.
    if (mode & 0022)
        mode |= S_ISVTX;
    if (mkdir(path.c_str(), explicitMode ? 0700 : 0755) != 0) {
        if (errno == ENOENT)
            return Fail(ERROR_PATH_NOT_FOUND);
        return Fail(ErrorFromErrno(errno));
    }
    if (explicitMode) {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || fchmod(fd, mode) != 0) {
            DWORD error = ErrorFromErrno(errno);
            if (fd >= 0)
                close(fd);
            rmdir(path.c_str());
            return Fail(error);
        }
        close(fd);
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::string path;
        if (!PathOrFail(lpPathName, PathUse::NewDirectory, path))
            return FALSE;
        return CreateDirectoryImpl(path, lpSecurityAttributes);
    });
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    return CallWide(BOOL(FALSE), lpPathName, [&](LPCWSTR path) { return CreateDirectoryW(path, lpSecurityAttributes); });
}

static BOOL RemoveDirectoryImpl(const std::string& path)
{
    if (rmdir(path.c_str()) == 0)
        return TRUE;
    switch (errno) {
    case ENOENT:
        return Fail(NotFoundError(path));
    case ENOTEMPTY:
    case EEXIST:
        return Fail(ERROR_DIR_NOT_EMPTY);
    case ENOTDIR: {
        struct stat st;
        return Fail(lstat(path.c_str(), &st) == 0 ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    }
    default:
        return Fail(ErrorFromErrno(errno));
    }
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::string path;
        return PathOrFail(lpPathName, PathUse::Open, path) && RemoveDirectoryImpl(path);
    });
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName)
{
    return CallWide(BOOL(FALSE), lpPathName, RemoveDirectoryW);
}

static BOOL DeleteFileImpl(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return Fail(OpenError(errno, path));
    if (S_ISDIR(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    // Deleting is an open for delete access that shares everything.
    ShareLock share;
    Rights rights;
    rights.remove = true;
    if (DWORD error = share.Acquire(st, rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        error != ERROR_SUCCESS)
        return Fail(error);
    if (unlink(path.c_str()) != 0)
        return Fail(OpenError(errno, path));
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::string path;
        return PathOrFail(lpFileName, PathUse::Open, path) && DeleteFileImpl(path);
    });
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    return CallWide(BOOL(FALSE), lpFileName, DeleteFileW);
}

static DWORD AttributesOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(OpenError(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (!(st.st_mode & 0222))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    return GuardLastError(DWORD(INVALID_FILE_ATTRIBUTES), [&]() -> DWORD {
        std::string path;
        if (!PathOrFail(lpFileName, PathUse::Open, path))
            return INVALID_FILE_ATTRIBUTES;
        return AttributesOf(path);
    });
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    return CallWide(DWORD(INVALID_FILE_ATTRIBUTES), lpFileName, GetFileAttributesW);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (!file)
        return FALSE;
    if (!file->Access().write && !file->Access().append)
        return Fail(ERROR_ACCESS_DENIED);
    if (!lpBuffer && nNumberOfBytesToWrite)
        return Fail(ERROR_INVALID_PARAMETER);
    if (tonwell::platform::InjectFault(TONWELL_FAULT_FILE_WRITE))
        return Fail(ERROR_DISK_FULL);
    const char* bytes = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    int err = 0;
    bool ok;
    if (lpOverlapped && !file->Access().append) {
        off_t offset = OverlappedOffset(lpOverlapped);
        ok = TransferAll([&](DWORD at) { return pwrite(file->Fd(), bytes + at, nNumberOfBytesToWrite - at, offset + at); },
                         nNumberOfBytesToWrite, done, err);
        // A synchronous handle's pointer follows an offset transfer.
        lseek(file->Fd(), offset + done, SEEK_SET);
    } else {
        ok = TransferAll([&](DWORD at) { return write(file->Fd(), bytes + at, nNumberOfBytesToWrite - at); },
                         nNumberOfBytesToWrite, done, err);
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    if (!ok)
        return Fail(ErrorFromErrno(err));
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (!file)
        return FALSE;
    if (!file->Access().read)
        return Fail(ERROR_ACCESS_DENIED);
    if (!lpBuffer && nNumberOfBytesToRead)
        return Fail(ERROR_INVALID_PARAMETER);
    char* bytes = static_cast<char*>(lpBuffer);
    DWORD done = 0;
    int err = 0;
    bool ok;
    if (lpOverlapped) {
        off_t offset = OverlappedOffset(lpOverlapped);
        ok = TransferAll([&](DWORD at) { return pread(file->Fd(), bytes + at, nNumberOfBytesToRead - at, offset + at); },
                         nNumberOfBytesToRead, done, err);
        lseek(file->Fd(), offset + done, SEEK_SET);
    } else {
        ok = TransferAll([&](DWORD at) { return read(file->Fd(), bytes + at, nNumberOfBytesToRead - at); },
                         nNumberOfBytesToRead, done, err);
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    if (!ok)
        return Fail(err == EISDIR ? ERROR_INVALID_FUNCTION : ErrorFromErrno(err));
    if (lpOverlapped && done == 0 && nNumberOfBytesToRead != 0)
        return Fail(ERROR_HANDLE_EOF); // an offset read at or past the end
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    LONGLONG distance = lpDistanceToMoveHigh
                            ? static_cast<LONGLONG>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                                    static_cast<uint32_t>(lDistanceToMove))
                            : static_cast<LONGLONG>(lDistanceToMove);
    LONGLONG position;
    if (!Seek(*file, distance, dwMoveMethod, position))
        return INVALID_SET_FILE_POINTER;
    if (!lpDistanceToMoveHigh && position > 0xFFFFFFFFll) {
        SetLastError(ERROR_INVALID_PARAMETER); // the new position would not fit the result
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(file->Fd(), position, SEEK_SET) < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    DWORD low = static_cast<DWORD>(position);
    if (low == INVALID_SET_FILE_POINTER)
        SetLastError(NO_ERROR); // tells a real position from a failure
    return low;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod)
{
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (!file)
        return FALSE;
    LONGLONG position;
    if (!Seek(*file, liDistanceToMove.QuadPart, dwMoveMethod, position))
        return FALSE;
    if (lseek(file->Fd(), position, SEEK_SET) < 0)
        return Fail(ErrorFromErrno(errno));
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = position;
    return TRUE;
}

// What the system knows of the file behind a handle; false (and the error set) when it cannot say.
static bool StatOfHandle(HANDLE hFile, struct stat& st)
{
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (!file)
        return false;
    if (fstat(file->Fd(), &st) != 0)
        return Fail(ErrorFromErrno(errno));
    return true;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    struct stat st;
    if (!StatOfHandle(hFile, st))
        return INVALID_FILE_SIZE;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    if (static_cast<DWORD>(size) == INVALID_FILE_SIZE)
        SetLastError(NO_ERROR);
    return static_cast<DWORD>(size);
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    struct stat st;
    if (!StatOfHandle(hFile, st))
        return FALSE;
    if (!lpFileSize)
        return Fail(ERROR_INVALID_PARAMETER);
    lpFileSize->QuadPart = st.st_size;
    return TRUE;
}

// The file behind a handle with write access; null (and the error set) for anything else.
static std::shared_ptr<FileObject> WritableFile(HANDLE hFile)
{
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    if (file && !file->Access().write && !file->Access().append) {
        SetLastError(ERROR_ACCESS_DENIED);
        file.reset();
    }
    return file;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    std::shared_ptr<FileObject> file = WritableFile(hFile);
    if (!file)
        return FALSE;
    if (fsync(file->Fd()) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile)
{
    std::shared_ptr<FileObject> file = WritableFile(hFile);
    if (!file)
        return FALSE;
    off_t position = lseek(file->Fd(), 0, SEEK_CUR);
    if (position < 0 || ftruncate(file->Fd(), position) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

DWORD WINAPI GetFileType(HANDLE hFile)
{
    struct stat st;
    if (!StatOfHandle(hFile, st))
        return FILE_TYPE_UNKNOWN;
    SetLastError(NO_ERROR);
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL WINAPI GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                         LPVOID lpFileInformation, DWORD dwBufferSize)
{
    struct stat st;
    if (!StatOfHandle(hFile, st))
        return FALSE;
    if (FileInformationClass != FileStandardInfo || !lpFileInformation || dwBufferSize < sizeof(FILE_STANDARD_INFO))
        return Fail(ERROR_INVALID_PARAMETER);
    FILE_STANDARD_INFO info{};
    info.AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
    info.EndOfFile.QuadPart = st.st_size;
    info.NumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info.Directory = S_ISDIR(st.st_mode) ? 1 : 0;
    *static_cast<FILE_STANDARD_INFO*>(lpFileInformation) = info;
    return TRUE;
}

int WINAPI TonwellHandleToFd(HANDLE hFile)
{
    std::shared_ptr<FileObject> file = LookupHandleAs<FileObject>(hFile);
    return file ? file->Fd() : -1;
}
