// Mutexes: ownership and recursion, waits with time-outs, abandonment, and
// named mutexes shared with other processes of the machine root.
#include "machine_root.h"
#include "peer.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using tonwell::test::MachineRootFixture;
using tonwell::test::Peer;

class MutexTest : public MachineRootFixture {};

// Runs `body` on another thread and waits for it.
template <class F>
void OnOtherThread(F body)
{
    std::thread(body).join();
}

TEST_F(MutexTest, OwnerRecursesAndMustReleaseEachAcquisition)
{
    HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);

    // Three acquisitions: two releases still leave it owned.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(m, 20), WAIT_TIMEOUT); });
    EXPECT_TRUE(ReleaseMutex(m));

    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    OnOtherThread([&] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    });
    EXPECT_TRUE(CloseHandle(m));
}

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItFails)
{
    HANDLE m = CreateMutexW(nullptr, FALSE, u"Local\\release-owner");
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    OnOtherThread([&] {
        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    });
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(MutexTest, SecondCreateReportsAlreadyExistsAndGrantsNoOwnership)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, u"Global\\shared-name");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    OnOtherThread([&] {
        SetLastError(0);
        HANDLE second = CreateMutexW(nullptr, TRUE, u"Global\\shared-name");
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_NE(second, first);
        // Initial ownership was asked for but not granted.
        EXPECT_FALSE(ReleaseMutex(second));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        // The two handles are one mutex.
        EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
        CloseHandle(second);
        // Closing the handle does not release ownership: the thread ends owning it.
    });
    EXPECT_EQ(WaitForSingleObject(first, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(first));
    CloseHandle(first);
}

TEST_F(MutexTest, NamespacesAndNames)
{
    HANDLE global = CreateMutexW(nullptr, FALSE, u"Global\\ns");
    ASSERT_NE(global, nullptr);
    HANDLE local = CreateMutexW(nullptr, FALSE, u"Local\\ns");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)); // a different object
    HANDLE bare = CreateMutexA(nullptr, FALSE, "ns");
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)); // bare names are local

    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    std::u16string tooLong = u"Global\\" + std::u16string(MAX_PATH, u'x');
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));

    // Long names and any characters map onto distinct objects.
    std::u16string longA = u"Global\\" + std::u16string(240, u'\x00e9') + u"A";
    std::u16string longB = u"Global\\" + std::u16string(240, u'\x00e9') + u"B";
    HANDLE a = CreateMutexW(nullptr, FALSE, longA.c_str());
    ASSERT_NE(a, nullptr);
    HANDLE b = CreateMutexW(nullptr, FALSE, longB.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE a2 = CreateMutexW(nullptr, FALSE, longA.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    for (HANDLE h : {global, local, bare, a, b, a2})
        EXPECT_TRUE(CloseHandle(h));
}

TEST_F(MutexTest, NameGoesAwayWithItsLastHandle)
{
    HANDLE one = CreateMutexW(nullptr, FALSE, u"Global\\transient");
    HANDLE two = OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\transient");
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    CloseHandle(one);
    HANDLE three = CreateMutexW(nullptr, FALSE, u"Global\\transient");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)); // `two` still holds it
    CloseHandle(two);
    CloseHandle(three);

    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\transient"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE fresh = CreateMutexW(nullptr, TRUE, u"Global\\transient");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(fresh)); // a new object grants initial ownership
    CloseHandle(fresh);
    EXPECT_TRUE(std::filesystem::is_empty(Root() / "objects" / "mutex" / "Global"));
}

TEST_F(MutexTest, AThreadThatEndsOwningItAbandonsIt)
{
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    OnOtherThread([&] { ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); });
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
    // The waiter owns it now, and it works as before.
    OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT); });
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(MutexTest, ContendedThreadsExcludeEachOther)
{
    constexpr int kThreads = 4, kRounds = 2000;
    long counter = 0; // deliberately not atomic: the mutex guards it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            HANDLE m = CreateMutexW(nullptr, FALSE, u"Local\\counter");
            ASSERT_NE(m, nullptr);
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
                long seen = counter;
                if (i % 64 == 0)
                    std::this_thread::yield();
                counter = seen + 1;
                ASSERT_TRUE(ReleaseMutex(m));
            }
            CloseHandle(m);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(MutexTest, HandlesAreCheckedAndCloseOnce)
{
    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(CloseHandle(m));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    // All ones is also the current-process pseudo-handle: closing it does nothing.
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A stale handle stays invalid while new handles come and go.
    for (int i = 0; i < 200; ++i) {
        HANDLE other = CreateMutexW(nullptr, FALSE, nullptr);
        ASSERT_NE(other, m);
        CloseHandle(other);
    }
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(MutexTest, DescriptorSetsWhoMayOpenTheName)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        u"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GA;;;AU)", SDDL_REVISION_1, &sd, nullptr));
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    HANDLE open = CreateMutexW(&sa, TRUE, u"Global\\WIATRACE_MUTEX");
    ASSERT_NE(open, nullptr);

    PSECURITY_DESCRIPTOR ownerOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                     &ownerOnly, nullptr));
    SECURITY_ATTRIBUTES sa2{sizeof sa2, ownerOnly, FALSE};
    HANDLE closed = CreateMutexW(&sa2, FALSE, u"Global\\private");
    ASSERT_NE(closed, nullptr);

    struct stat st;
    ASSERT_EQ(stat((Root() / "objects/mutex/Global/WIATRACE_MUTEX").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(stat((Root() / "objects/mutex/Global/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An existing object keeps its own descriptor.
    HANDLE again = CreateMutexW(&sa2, FALSE, u"Global\\WIATRACE_MUTEX");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_EQ(stat((Root() / "objects/mutex/Global/WIATRACE_MUTEX").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    BYTE garbage[64] = {9, 9, 9};
    SECURITY_ATTRIBUTES bad{sizeof bad, garbage, FALSE};
    EXPECT_EQ(CreateMutexW(&bad, FALSE, u"Global\\bad"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    ReleaseMutex(open);
    for (HANDLE h : {open, closed, again})
        CloseHandle(h);
    LocalFree(sd);
    LocalFree(ownerOnly);
}

// ---- across processes ----

TEST_F(MutexTest, AnotherProcessSeesTheNameUntilEveryHandleCloses)
{
    Peer peer;
    ASSERT_TRUE(peer.Running());
    EXPECT_EQ(peer.Call("create Global\\WIATRACE_MUTEX 1"), "0 0");

    SetLastError(0);
    HANDLE mine = CreateMutexW(nullptr, TRUE, u"Global\\WIATRACE_MUTEX");
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT); // the peer owns it

    EXPECT_EQ(peer.Call("release 0"), "1 0");
    EXPECT_EQ(WaitForSingleObject(mine, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(peer.Call("wait 0 0"), std::to_string(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(mine));
    EXPECT_TRUE(CloseHandle(mine));

    // The peer's handle keeps the name.
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\WIATRACE_MUTEX");
    EXPECT_NE(opened, nullptr);
    CloseHandle(opened);
    EXPECT_EQ(peer.Call("close 0"), "1 0");
    EXPECT_EQ(peer.Exit(), 0);

    Peer next;
    EXPECT_EQ(next.Call("open Global\\WIATRACE_MUTEX"), "-1 2"); // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(next.Call("create Global\\WIATRACE_MUTEX 1"), "0 0");
}

TEST_F(MutexTest, HandlesOfAKilledProcessAreReleased)
{
    {
        Peer peer;
        EXPECT_EQ(peer.Call("create Global\\killed 0"), "0 0");
        peer.Kill();
    }
    // Nobody has it open any more: the name is gone though its process never closed it.
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\killed"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    {
        Peer peer;
        EXPECT_EQ(peer.Call("create Global\\killed 1"), "0 0");
        peer.Kill();
    }
    HANDLE m = CreateMutexW(nullptr, TRUE, u"Global\\killed");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(m)); // a fresh object, not the dead owner's
    CloseHandle(m);
}

TEST_F(MutexTest, OwnerProcessThatDiesAbandonsIt)
{
    HANDLE m = CreateMutexW(nullptr, FALSE, u"Global\\abandon");
    ASSERT_NE(m, nullptr);
    {
        Peer peer;
        EXPECT_EQ(peer.Call("open Global\\abandon"), "0 0");
        EXPECT_EQ(peer.Call("wait 0 0"), std::to_string(WAIT_OBJECT_0));
        EXPECT_EQ(peer.Call("wait 0 0"), std::to_string(WAIT_OBJECT_0)); // recursion in the peer
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
        EXPECT_EQ(peer.Die(), 7); // ends without releasing or closing
    }
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m)); // one acquisition, whatever the dead owner's depth

    {
        Peer peer;
        EXPECT_EQ(peer.Call("create Global\\abandon 1"), "0 183");
        EXPECT_EQ(peer.Call("wait 0 0"), std::to_string(WAIT_OBJECT_0));
        peer.Kill();
    }
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(MutexTest, WaitTimesOutWhileAnotherProcessHoldsIt)
{
    Peer peer;
    EXPECT_EQ(peer.Call("create Global\\held 1"), "0 0");
    HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\held");
    ASSERT_NE(m, nullptr);

    ULONGLONG before = GetTickCount64();
    EXPECT_EQ(WaitForSingleObject(m, 200), WAIT_TIMEOUT);
    ULONGLONG waited = GetTickCount64() - before;
    EXPECT_GE(waited, 190u);

    // A waiter blocked on it gets it once the holder lets go.
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        result = WaitForSingleObject(m, 10000);
        if (result == WAIT_OBJECT_0)
            ReleaseMutex(m);
    });
    Sleep(100);
    EXPECT_EQ(result.load(), 0xDEADu);
    EXPECT_EQ(peer.Call("release 0"), "1 0");
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(m);
}

TEST_F(MutexTest, ProcessesAndThreadsTakeTurnsOnASharedCounter)
{
    std::string counter = (Root() / "counter.bin").string();
    HANDLE m = CreateMutexW(nullptr, FALSE, u"Global\\bump");
    ASSERT_NE(m, nullptr);
    Peer a, b;
    ASSERT_TRUE(a.Running() && b.Running());
    std::string bumpA, bumpB;
    std::thread ta([&] { bumpA = a.Call("bump Global\\bump " + counter + " 300"); });
    std::thread tb([&] { bumpB = b.Call("bump Global\\bump " + counter + " 300"); });
    ta.join();
    tb.join();
    EXPECT_LT(std::stoul(bumpA), 0xFFFFFF00ul);
    EXPECT_LT(std::stoul(bumpB), 0xFFFFFF00ul);

    HANDLE file = CreateFileA(counter.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD value = 0, n = 0;
    ASSERT_TRUE(ReadFile(file, &value, sizeof value, &n, nullptr));
    EXPECT_EQ(value, 600u);
    EXPECT_EQ(std::max(std::stoul(bumpA), std::stoul(bumpB)), 600ul);
    CloseHandle(file);
    CloseHandle(m);
}

TEST_F(MutexTest, AnsiNamesMustBeUtf8)
{
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Global\\bad\xFF"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\bad\xFE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    // The A name and the W name of one object meet.
    HANDLE wide = CreateMutexW(nullptr, FALSE, u"Global\\caf\u00e9");
    ASSERT_NE(wide, nullptr);
    HANDLE narrow = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\caf\xC3\xA9");
    EXPECT_NE(narrow, nullptr);
    EXPECT_TRUE(CloseHandle(narrow));
    EXPECT_TRUE(CloseHandle(wide));
}

} // namespace
