// A second process for the tracing tests.
//   trace_test_helper hold-mutex SECONDS    own the log mutex, say "ready", hold it, release it
//   trace_test_helper write COUNT TAG       trace COUNT lines through the real client and library
#include "TraceClient.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc == 3 && !std::strcmp(argv[1], "hold-mutex")) {
        HANDLE hMutex = CreateMutexW(nullptr, TRUE, u"Global\\WIATRACE_MUTEX");
        if (!hMutex || WaitForSingleObject(hMutex, 0) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "cannot own the log mutex\n");
            return 1;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        sleep(static_cast<unsigned>(std::atoi(argv[2])));
        ReleaseMutex(hMutex);
        ReleaseMutex(hMutex);
        CloseHandle(hMutex);
        return 0;
    }
    if (argc == 4 && !std::strcmp(argv[1], "write")) {
        int count = std::atoi(argv[2]);
        TraceClientLifetime client;
        for (int i = 0; i < count; ++i)
            DispatchTraceRecord(0, 0, "Writer", 0x4,
                                FormatTraceW(u"%hs line %d of %d: the quick brown fox jumps over the lazy dog", argv[3],
                                             i, count));
        return 0;
    }
    std::fprintf(stderr, "usage: trace_test_helper hold-mutex SECONDS | write COUNT TAG\n");
    return 2;
}
