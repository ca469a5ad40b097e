/* A second process for the kernel tests, written in C so that the platform's
 * headers are exercised from C as well. It reads one command per line on
 * standard input and answers one line on standard output:
 *   create NAME OWN        -> "INDEX ERROR"  (CreateMutexA; INDEX -1 on failure)
 *   open NAME              -> "INDEX ERROR"  (OpenMutexA)
 *   wait INDEX MS          -> "RESULT"       (WaitForSingleObject)
 *   release INDEX          -> "OK ERROR"     (ReleaseMutex)
 *   close INDEX            -> "OK ERROR"     (CloseHandle)
 *   file PATH ACCESS SHARE DISPOSITION -> "INDEX ERROR" (CreateFileA, numbers in hex)
 *   bump MUTEX PATH COUNT  -> "VALUE" : COUNT times, under the mutex, adds one
 *                             to the 32-bit counter stored in the file
 *   die                    -> ends at once without closing anything
 *   exit                   -> closes everything and ends */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static HANDLE g_handles[64];
static int g_count;

static int Keep(HANDLE h)
{
    if (!h || h == INVALID_HANDLE_VALUE || g_count == 64)
        return -1;
    g_handles[g_count] = h;
    return g_count++;
}

static HANDLE At(int index) { return index >= 0 && index < g_count ? g_handles[index] : NULL; }

static DWORD Bump(const char* mutexName, const char* path, int count)
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, mutexName);
    DWORD value = 0;
    LONG volatile done = 0;
    int i;
    if (!mutex)
        return 0xFFFFFFFFu;
    for (i = 0; i < count; ++i) {
        HANDLE file;
        DWORD n = 0;
        DWORD wait = WaitForSingleObject(mutex, INFINITE);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
            return 0xFFFFFFFEu;
        file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 0xFFFFFFFDu;
        value = 0;
        ReadFile(file, &value, sizeof value, &n, NULL);
        ++value;
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        WriteFile(file, &value, sizeof value, &n, NULL);
        CloseHandle(file);
        ReleaseMutex(mutex);
        InterlockedIncrement(&done);
    }
    CloseHandle(mutex);
    return done == count ? value : 0xFFFFFFFCu;
}

int main(void)
{
    char line[1024];
    setvbuf(stdout, NULL, _IOLBF, 0);
    while (fgets(line, sizeof line, stdin)) {
        char name[512], path[512];
        int a = 0, b = 0;
        unsigned access = 0, share = 0, disposition = 0;
        if (sscanf(line, "create %511s %d", name, &a) == 2) {
            int index = Keep(CreateMutexA(NULL, a, name));
            printf("%d %u\n", index, GetLastError());
        } else if (sscanf(line, "open %511s", name) == 1) {
            int index = Keep(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name));
            printf("%d %u\n", index, GetLastError());
        } else if (sscanf(line, "wait %d %d", &a, &b) == 2) {
            printf("%u\n", WaitForSingleObject(At(a), (DWORD)b));
        } else if (sscanf(line, "release %d", &a) == 1) {
            BOOL ok = ReleaseMutex(At(a));
            printf("%d %u\n", ok, ok ? 0u : GetLastError());
        } else if (sscanf(line, "close %d", &a) == 1) {
            BOOL ok = CloseHandle(At(a));
            printf("%d %u\n", ok, ok ? 0u : GetLastError());
        } else if (sscanf(line, "file %511s %x %x %x", path, &access, &share, &disposition) == 4) {
            int index = Keep(CreateFileA(path, access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL));
            printf("%d %u\n", index, GetLastError());
        } else if (sscanf(line, "bump %511s %511s %d", name, path, &a) == 3) {
            printf("%u\n", Bump(name, path, a));
        } else if (strncmp(line, "die", 3) == 0) {
            _exit(7);
        } else if (strncmp(line, "exit", 4) == 0) {
            break;
        } else {
            printf("? %s", line);
        }
    }
    while (g_count > 0)
        CloseHandle(g_handles[--g_count]);
    return 0;
}
