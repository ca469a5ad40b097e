/* Files and folders. Paths take '\' or '/' as separators; a path without a
 * drive that starts with a separator is absolute. Drive letters and network
 * paths name nothing here. Without the "\\?\" prefix a path holds fewer than
 * MAX_PATH characters (a folder to be created fewer than MAX_PATH - 12). */
#ifndef TONWELL_FILEAPI_H
#define TONWELL_FILEAPI_H

#include "windef.h"
#include "winerror.h"
#include "winnt.h"

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
/* The last component of the path is never followed: a symbolic link there is
 * refused with ERROR_ACCESS_DENIED (a link cannot be opened for data here), and
 * a FIFO or device there does not block the open. */
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

/* What GetFileType reports: a file or folder, a character device, a pipe or
 * socket, or anything else. */
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

#ifndef TONWELL_LARGE_INTEGER_DEFINED
#define TONWELL_LARGE_INTEGER_DEFINED
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
#endif

/* Of the information classes only FileStandardInfo is served. */
typedef enum _FILE_INFO_BY_HANDLE_CLASS {
    FileBasicInfo = 0,
    FileStandardInfo = 1
} FILE_INFO_BY_HANDLE_CLASS;

typedef struct _FILE_STANDARD_INFO {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    DWORD NumberOfLinks; /* names the file has in the file system, 0 once it is deleted */
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFO, *PFILE_STANDARD_INFO;

/* Only its offset is used: I/O is synchronous. */
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

/* ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND when its parent
 * does not. The descriptor in the attributes sets the folder's permissions. */
WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINBASEAPI BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
/* ERROR_DIR_NOT_EMPTY when it holds anything. */
WINBASEAPI BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
WINBASEAPI BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName);

/* Share modes hold among the handles that the platform opens on the machine,
 * in this process and in others. CREATE_ALWAYS and OPEN_ALWAYS report
 * ERROR_ALREADY_EXISTS (and succeed) when the file was there, 0 otherwise;
 * CREATE_NEW fails with ERROR_FILE_EXISTS. A file created here takes its
 * permissions from the descriptor in the attributes (default 0644 under the
 * umask). hTemplateFile and FILE_FLAG_OVERLAPPED are not supported. */
WINBASEAPI HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINBASEAPI HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/* Whole transfers: a write stores every byte or fails; a read stops early
 * only at the end of the file. With an OVERLAPPED the transfer is at its
 * offset, completes before the call returns and leaves the file pointer after
 * it; such a read at or past the end fails with ERROR_HANDLE_EOF. */
WINBASEAPI BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINBASEAPI BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WINBASEAPI DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod);
WINBASEAPI BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
WINBASEAPI DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
WINBASEAPI BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
WINBASEAPI BOOL WINAPI FlushFileBuffers(HANDLE hFile);
/* Cuts or extends the file at the file pointer; needs write access. */
WINBASEAPI BOOL WINAPI SetEndOfFile(HANDLE hFile);
/* FILE_TYPE_UNKNOWN with ERROR_INVALID_HANDLE for a handle that is not a file's. */
WINBASEAPI DWORD WINAPI GetFileType(HANDLE hFile);
/* FileStandardInfo into a FILE_STANDARD_INFO of dwBufferSize bytes or more;
 * ERROR_INVALID_PARAMETER for another class or a shorter buffer. */
WINBASEAPI BOOL WINAPI GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                                    LPVOID lpFileInformation, DWORD dwBufferSize);
WINBASEAPI BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
WINBASEAPI BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
WINBASEAPI DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);

#endif
