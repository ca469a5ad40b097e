// Files and folders: dispositions and their reports, paths, transfers and
// pointers, share modes (here and in another process), permissions from
// security descriptors.
#include "machine_root.h"
#include "peer.h"

#include <tonwell_posix.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

using tonwell::test::MachineRootFixture;
using tonwell::test::Peer;

class FileTest : public MachineRootFixture {
protected:
    std::u16string W(const std::filesystem::path& p) const
    {
        std::string s = p.string();
        return std::u16string(s.begin(), s.end()); // test paths are ASCII
    }
    // The same path written the platform's way, with backslashes.
    std::u16string Backslashed(const std::filesystem::path& p) const
    {
        std::u16string w = W(p);
        for (char16_t& c : w)
            if (c == u'/')
                c = u'\\';
        return w;
    }
    std::string Contents(const std::filesystem::path& p) const
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Put(const std::filesystem::path& p, const std::string& text) const
    {
        std::ofstream(p, std::ios::binary) << text;
    }
    HANDLE Open(const std::filesystem::path& p, DWORD access, DWORD share, DWORD disposition,
                LPSECURITY_ATTRIBUTES sa = nullptr)
    {
        return CreateFileW(Backslashed(p).c_str(), access, share, sa, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static mode_t ModeOf(const std::filesystem::path& p)
    {
        struct stat st {};
        stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    // Creates a new file with the attributes and closes it; false when it cannot.
    bool CreateNew(const std::filesystem::path& p, LPSECURITY_ATTRIBUTES sa)
    {
        HANDLE h = Open(p, GENERIC_WRITE, 0, CREATE_NEW, sa);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(h);
        return true;
    }
};

// Security attributes made from descriptor text; the descriptor is freed with them.
struct SddlAttributes {
    explicit SddlAttributes(const char16_t* sddl)
        : made(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                                    nullptr))
    {
    }
    ~SddlAttributes() { LocalFree(sa.lpSecurityDescriptor); }
    SddlAttributes(const SddlAttributes&) = delete;
    SddlAttributes& operator=(const SddlAttributes&) = delete;

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    bool made;
};

DWORD Err() { return GetLastError(); }

TEST_F(FileTest, DispositionsAndTheirReports)
{
    auto path = Root() / "log.txt";
    SetLastError(123);
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    // OPEN_ALWAYS keeps the contents and reports that the file was there.
    Put(path, "kept");
    h = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(Contents(path), "kept");

    // CREATE_ALWAYS empties it, with the same report.
    h = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(Contents(path), "");

    auto fresh = Root() / "fresh.txt";
    h = Open(fresh, GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
    auto fresh2 = Root() / "fresh2.txt";
    h = Open(fresh2, GENERIC_WRITE, 0, OPEN_ALWAYS);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);

    Put(path, "gone");
    h = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Contents(path), "");
    EXPECT_EQ(Open(path, GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(Open(Root() / "missing", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(Root() / "missing", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(Root() / "no-folder" / "x", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(Root() / "no-folder" / "x", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, 6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Open(Root(), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE); // a folder
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, PathsOfThePlatformsForm)
{
    // Mixed separators and the A form reach the same file.
    std::u16string mixed = W(Root()) + u"\\sub/file.txt";
    ASSERT_TRUE(CreateDirectoryW((W(Root()) + u"\\sub").c_str(), nullptr));
    HANDLE h = CreateFileW(mixed.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::exists(Root() / "sub" / "file.txt"));
    std::string narrow = (Root() / "sub").string() + "\\file.txt";
    EXPECT_EQ(GetFileAttributesA(narrow.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(W(Root()).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    EXPECT_EQ(CreateFileW(u"C:\\Windows\\x.log", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateFileW((W(Root()) + u"\\a?b").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // MAX_PATH holds the terminator: 259 characters is the longest path.
    std::u16string base = W(Root()) + u"\\";
    std::u16string longest = base + std::u16string(MAX_PATH - 1 - base.size(), u'n');
    h = CreateFileW(longest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Err();
    CloseHandle(h);
    std::u16string tooLong = longest + u"n";
    EXPECT_EQ(CreateFileW(tooLong.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(std::string(tooLong.begin(), tooLong.end()))));
    // A folder to be created must leave room for a file name.
    std::u16string folder = base + std::u16string(MAX_PATH - 12 - base.size(), u'd');
    EXPECT_FALSE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    folder.pop_back();
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << Err();
}

TEST_F(FileTest, FoldersAndDeletion)
{
    auto dir = Root() / "Debug";
    ASSERT_TRUE(CreateDirectoryW(Backslashed(dir).c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(Backslashed(dir).c_str(), nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(Backslashed(Root() / "none" / "WIA").c_str(), nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(ModeOf(dir), 0755 & ~[] { mode_t m = umask(0); umask(m); return m; }());

    Put(dir / "f", "x");
    EXPECT_FALSE(RemoveDirectoryW(Backslashed(dir).c_str()));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(DeleteFileW(Backslashed(dir).c_str()));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileW(Backslashed(dir / "f").c_str()));
    EXPECT_FALSE(DeleteFileW(Backslashed(dir / "f").c_str()));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(Backslashed(dir / "f").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(RemoveDirectoryW(Backslashed(dir).c_str()));
}

TEST_F(FileTest, TransfersPointersAndSizes)
{
    auto path = Root() / "data.bin";
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    EXPECT_TRUE(FlushFileBuffers(h));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(high, 0u);

    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 5u); // stops at the end
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u); // at the end: success with nothing

    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 5u);
    EXPECT_EQ(SetFilePointer(h, -6, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Positions past 4 GiB need the high half.
    LONG hi = 1;
    EXPECT_EQ(SetFilePointer(h, 2, &hi, FILE_BEGIN), 2u);
    EXPECT_EQ(hi, 1);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    LARGE_INTEGER to{}, now{};
    to.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_END));
    EXPECT_EQ(now.QuadPart, 11);

    // An offset transfer writes there and moves the pointer after it.
    OVERLAPPED at{};
    at.Offset = 0;
    ASSERT_TRUE(WriteFile(h, "J", 1, &n, &at));
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 1);
    at.Offset = 100;
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, &at));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 11);
    CloseHandle(h);
    EXPECT_EQ(Contents(path), "Jello world");

    // Each handle may do only what it was opened for.
    h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    h = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);

    // Append-only access writes at the end wherever the pointer is.
    h = Open(path, FILE_APPEND_DATA, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(h, "!", 1, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(Contents(path), "Jello world!");

    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr)); // closed
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileTest, ShareModesAmongHandles)
{
    auto path = Root() / "wiatrace.log";
    const DWORD rw = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE log1 = Open(path, GENERIC_WRITE, rw, CREATE_ALWAYS);
    ASSERT_NE(log1, INVALID_HANDLE_VALUE);
    DWORD n;
    ASSERT_TRUE(WriteFile(log1, "line\n", 5, &n, nullptr));
    HANDLE log2 = Open(path, GENERIC_WRITE, rw, OPEN_ALWAYS); // a second tracing client
    ASSERT_NE(log2, INVALID_HANDLE_VALUE);
    HANDLE reader = Open(path, GENERIC_READ, rw, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);

    // Not sharing write while writers are open: refused.
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Deleting needs every handle to share delete.
    EXPECT_FALSE(DeleteFileW(Backslashed(path).c_str()));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(log1);
    CloseHandle(log2);
    CloseHandle(reader);

    // An exclusive handle keeps everyone out; a refused CREATE_ALWAYS loses nothing.
    HANDLE only = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(only, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_WRITE, rw | FILE_SHARE_DELETE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Contents(path), "line\n");
    EXPECT_EQ(Open(path, GENERIC_READ, rw, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Opening for no data access is not a use the share modes govern.
    HANDLE probe = Open(path, 0, 0, OPEN_EXISTING);
    EXPECT_NE(probe, INVALID_HANDLE_VALUE);
    CloseHandle(probe);
    CloseHandle(only);

    // Readers that share only reading keep writers out but admit each other.
    HANDLE r1 = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE r2 = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(r1, INVALID_HANDLE_VALUE);
    EXPECT_NE(r2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_WRITE, rw, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(r1);
    CloseHandle(r2);

    // Sharing delete lets the file be deleted while open.
    HANDLE shared = Open(path, GENERIC_READ, rw | FILE_SHARE_DELETE, OPEN_EXISTING);
    EXPECT_TRUE(DeleteFileW(Backslashed(path).c_str()));
    CloseHandle(shared);
    EXPECT_FALSE(std::filesystem::exists(path));
    // Every record of the handles went with them.
    EXPECT_TRUE(std::filesystem::is_empty(Root() / "objects" / "files"));
}

TEST_F(FileTest, ShareModesHoldAcrossProcesses)
{
    auto path = Root() / "shared.log";
    Put(path, "data");
    std::string p = path.string();
    Peer peer;
    char command[600];
    snprintf(command, sizeof command, "file %s %x %x %x", p.c_str(), GENERIC_READ | GENERIC_WRITE, 0u,
             static_cast<unsigned>(OPEN_EXISTING));
    EXPECT_EQ(peer.Call(command), "0 0");
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(peer.Call("close 0"), "1 0");
    HANDLE mine = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(mine, INVALID_HANDLE_VALUE);
    snprintf(command, sizeof command, "file %s %x %x %x", p.c_str(), GENERIC_WRITE,
             FILE_SHARE_READ | FILE_SHARE_WRITE, static_cast<unsigned>(OPEN_EXISTING));
    EXPECT_EQ(peer.Call(command), "-1 32");
    snprintf(command, sizeof command, "file %s %x %x %x", p.c_str(), GENERIC_READ,
             FILE_SHARE_READ | FILE_SHARE_WRITE, static_cast<unsigned>(OPEN_EXISTING));
    EXPECT_EQ(peer.Call(command), "1 0");
    CloseHandle(mine);

    // A killed process's handles stop counting.
    snprintf(command, sizeof command, "file %s %x %x %x", p.c_str(), GENERIC_READ, 0u,
             static_cast<unsigned>(OPEN_EXISTING));
    peer.Call("close 1");
    EXPECT_EQ(peer.Call(command), "2 0");
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    peer.Kill();
    HANDLE after = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_NE(after, INVALID_HANDLE_VALUE);
    CloseHandle(after);
}

TEST_F(FileTest, PermissionsComeFromTheDescriptor)
{
    const mode_t mask = [] { mode_t m = umask(0); umask(m); return m; }();
    // The trace log's descriptor: authenticated users may read, write and execute.
    SddlAttributes traceLog(
        u"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGWGXDTSDCCLC;;;LS)(A;OICI;GRGWGXDTSDCCLC;;;AU)");
    ASSERT_TRUE(traceLog.made);
    auto dir = Root() / "WIA";
    ASSERT_TRUE(CreateDirectoryW(Backslashed(dir).c_str(), &traceLog.sa));
    // Whatever the umask; a folder every user may add to is sticky, as /tmp is.
    EXPECT_EQ(ModeOf(dir), 01777u);
    HANDLE h =
        Open(dir / "wiatrace.log", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS, &traceLog.sa);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    // A file holds data: the execute right of the descriptor makes no program of it.
    EXPECT_EQ(ModeOf(dir / "wiatrace.log"), 0666u);

    // Only the local system and administrators: the owner alone.
    SddlAttributes admins(u"D:(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_TRUE(admins.made);
    ASSERT_TRUE(CreateNew(Root() / "private", &admins.sa));
    EXPECT_EQ(ModeOf(Root() / "private") & 0077, 0u);
    EXPECT_EQ(ModeOf(Root() / "private") & 0600, 0600u);
    ASSERT_TRUE(CreateDirectoryW(Backslashed(Root() / "privdir").c_str(), &admins.sa));
    EXPECT_EQ(ModeOf(Root() / "privdir"), 0700u);

    // Read only for authenticated users.
    SddlAttributes readers(u"D:(A;;GA;;;BA)(A;;GR;;;AU)");
    ASSERT_TRUE(readers.made);
    ASSERT_TRUE(CreateNew(Root() / "readable", &readers.sa));
    EXPECT_EQ(ModeOf(Root() / "readable") & 0066, 0044u);

    // No descriptor: the usual defaults under the umask.
    h = Open(Root() / "plain", GENERIC_WRITE, 0, CREATE_NEW);
    CloseHandle(h);
    EXPECT_EQ(ModeOf(Root() / "plain"), 0644 & ~mask);

    // A descriptor applies to what the call creates, not to what exists.
    h = Open(Root() / "plain", GENERIC_WRITE, 0, CREATE_ALWAYS, &traceLog.sa);
    CloseHandle(h);
    EXPECT_EQ(ModeOf(Root() / "plain"), 0644 & ~mask);

    // A malformed descriptor creates nothing.
    BYTE garbage[32] = {7, 7, 7, 7};
    SECURITY_ATTRIBUTES bad{sizeof bad, garbage, FALSE};
    EXPECT_EQ(Open(Root() / "never", GENERIC_WRITE, 0, CREATE_NEW, &bad), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(CreateDirectoryW(Backslashed(Root() / "never").c_str(), &bad));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(std::filesystem::exists(Root() / "never"));
}

TEST_F(FileTest, TheDescriptorBehindAFileHandle)
{
    auto path = Root() / "fd.log";
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int fd = TonwellHandleToFd(h);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    DWORD n = 0;
    char buf[4] = {};
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ASSERT_TRUE(ReadFile(h, buf, 3, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "abc");
    // A file handle is always signalled.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    CloseHandle(h);
    EXPECT_EQ(TonwellHandleToFd(h), -1);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(TonwellHandleToFd(m), -1);
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(m, "x", 1, &n, nullptr));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(m);
}

// The A forms take UTF-8 and go through the W forms; a name that is not
// UTF-8 is refused, and nothing is made under a replacement character.
TEST_F(FileTest, AnsiFormsRefuseNamesThatAreNotUtf8)
{
    std::string folder = Root().string();
    for (const char* bad : {"/bad\xFF", "/ab\xC0\x80" "cd", "/half\xE2\x82"}) {
        std::string path = folder + bad;
        SetLastError(0);
        EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(Err(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_FALSE(CreateDirectoryA(path.c_str(), nullptr));
        EXPECT_EQ(Err(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_EQ(Err(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_FALSE(RemoveDirectoryA(path.c_str()));
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(Err(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    }
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Root())) {
        std::string name = entry.path().filename().string();
        for (const char* prefix : {"bad", "ab", "half"})
            entries += name.rfind(prefix, 0) == 0;
    }
    EXPECT_EQ(entries, 0u) << "nothing was created under a mangled name";

    std::string good = folder + "/caf\xC3\xA9.txt";
    HANDLE h = CreateFileA(good.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::exists(Root() / "caf\xC3\xA9.txt"));
    EXPECT_NE(GetFileAttributesW((W(Root()) + u"/caf\u00e9.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileA(good.c_str()));
}

// Opening without following a link, and what a handle tells of its file.
TEST_F(FileTest, NoFollowOpenAndFileInformation)
{
    auto victim = Root() / "victim";
    Put(victim, "precious");
    auto link = Root() / "link";
    std::filesystem::create_symlink(victim, link);
    const DWORD noFollow = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    for (DWORD disposition : {static_cast<DWORD>(OPEN_ALWAYS), static_cast<DWORD>(CREATE_ALWAYS),
                              static_cast<DWORD>(OPEN_EXISTING), static_cast<DWORD>(TRUNCATE_EXISTING)}) {
        EXPECT_EQ(CreateFileW(Backslashed(link).c_str(), GENERIC_WRITE, 0, nullptr, disposition, noFollow, nullptr),
                  INVALID_HANDLE_VALUE)
            << disposition;
        EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(Contents(victim), "precious");
    // Without the flag the link is followed, as before.
    HANDLE h = Open(link, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // A FIFO does not block the open; its type tells it from a file.
    auto fifo = Root() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    h = CreateFileW(Backslashed(fifo).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, noFollow, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_PIPE);
    CloseHandle(h);

    // Links, size and kind of a file, and cutting it at the pointer.
    h = CreateFileW(Backslashed(victim).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, noFollow, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_DISK);
    FILE_STANDARD_INFO info{};
    ASSERT_TRUE(GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info));
    EXPECT_EQ(info.NumberOfLinks, 1u);
    EXPECT_EQ(info.EndOfFile.QuadPart, 8);
    EXPECT_EQ(info.Directory, 0);
    std::filesystem::create_hard_link(victim, Root() / "second-name");
    ASSERT_TRUE(GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info));
    EXPECT_EQ(info.NumberOfLinks, 2u);
    EXPECT_FALSE(GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info - 1));
    ASSERT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_EQ(Contents(victim), "pre");
    h = Open(victim, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_FALSE(SetEndOfFile(h));
    EXPECT_EQ(Err(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_EQ(GetFileType(nullptr), FILE_TYPE_UNKNOWN);
}

} // namespace
