// The store files: who may open them and how, the folders on their path, and
// registry transactions.
#include "registry_test_support.h"

#include <ktmw32.h>
#include <tonwell_posix_registry.h>

#include <cerrno>
#include <fcntl.h>

using namespace tonwell::test;

namespace {

constexpr const char16_t* kServerKey =
    u"SOFTWARE\\Classes\\CLSID\\{8C1E5F3A-4B2D-4C6E-9F10-2A3B4C5D6E7F}\\InprocServer32";

mode_t ModeOf(const std::filesystem::path& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t OwnerOf(const std::filesystem::path& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

std::string HiveFolder(uid_t uid) { return "users/S-1-22-1-" + std::to_string(uid); }

HKEY Create(HKEY parent, const char16_t* path, DWORD options = 0)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

bool Exists(HKEY parent, const char16_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Lets go of this process's connections to the stores of `root`: using
// another root closes them.
void CloseStores(const std::filesystem::path& root)
{
    std::string elsewhere = root.string() + "-elsewhere";
    mkdir(elsewhere.c_str(), 0700);
    setenv("TONWELL_ROOT", elsewhere.c_str(), 1);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
    setenv("TONWELL_ROOT", root.c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(elsewhere, ec);
}

// errno of opening `path` so, or 0 when it opened.
LONG OpenError(const std::filesystem::path& path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

class StoreFiles : public SharedRootFixture {};

TEST_F(StoreFiles, OwnerWritesOtherUsersOnlyRead)
{
    // The modes do not come from the umask.
    mode_t mask = umask(0);
    HKEY server = Create(HKEY_LOCAL_MACHINE, kServerKey);
    ASSERT_EQ(SetSz(server, nullptr, u"/usr/lib/tonwell/TonwellObj.so"), ERROR_SUCCESS);
    RegCloseKey(server);
    HKEY secret = Create(HKEY_CURRENT_USER, u"Software\\Secret");
    ASSERT_EQ(SetSz(secret, u"token", u"the superuser's"), ERROR_SUCCESS);
    RegCloseKey(secret);
    umask(mask);

    // The hive is a subkey of HKEY_USERS like any other.
    EXPECT_EQ(SubKeys(HKEY_USERS), std::vector<std::u16string>{u"S-1-22-1-0"});
    DWORD subKeys = 0;
    EXPECT_EQ(RegQueryInfoKeyW(HKEY_USERS, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
    EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, u"S-1-22-1-0\\Software\\Secret"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_USERS, u"S-1-22-1-0"), ERROR_ACCESS_DENIED);
    secret = Create(HKEY_CURRENT_USER, u"Software\\Secret");
    ASSERT_EQ(SetSz(secret, u"token", u"the superuser's"), ERROR_SUCCESS);
    RegCloseKey(secret);

    const std::filesystem::path root = Root();
    const std::filesystem::path hive = root / HiveFolder(0) / "hive.db";
    for (const char* suffix : {"", "-wal", "-shm"}) {
        EXPECT_EQ(ModeOf(root.string() + "/registry.db" + suffix), 0644u) << suffix;
        EXPECT_EQ(OwnerOf(root.string() + "/registry.db" + suffix), 0u) << suffix;
        EXPECT_EQ(ModeOf(hive.string() + suffix), 0600u) << suffix;
    }
    EXPECT_EQ(ModeOf(root / "users"), 01777u);
    EXPECT_EQ(ModeOf(root / HiveFolder(0)), 0700u);

    // With the owner's connection open, and with none.
    for (bool ownerOpen : {true, false}) {
        if (!ownerOpen)
            CloseStores(root);
        std::vector<LONG> r = RunAsNobody([&] {
            std::vector<LONG> out;
            HKEY k = nullptr;
            out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_READ, &k));
            DWORD type = 0;
            std::vector<BYTE> data;
            out.push_back(Read(k, nullptr, type, data));
            out.push_back(data == Bytes(u"/usr/lib/tonwell/TonwellObj.so"));
            RegCloseKey(k);
            // The descriptor already refuses; the file refuses whatever it says.
            out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_SET_VALUE, &k));
            for (const char* suffix : {"", "-wal", "-shm"})
                out.push_back(OpenError(root.string() + "/registry.db" + suffix, O_RDWR));
            out.push_back(rename((root / "registry.db").c_str(), (root / "other.db").c_str()) == 0 ? 0 : errno);
            out.push_back(OpenError(hive, O_RDONLY));
            out.push_back(RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-0\\Software\\Secret", 0, KEY_READ, &k));
            return out;
        });
        EXPECT_EQ(r, (std::vector<LONG>{ERROR_SUCCESS, ERROR_SUCCESS, 1, ERROR_ACCESS_DENIED, EACCES, EACCES,
                                        EACCES, EACCES, EACCES, ERROR_ACCESS_DENIED}))
            << (ownerOpen ? "owner's connection open" : "no connection open");
    }
}

// Runs `tonwell reg ARGS` as nobody; its exit status and output.
std::pair<int, std::string> RegAsNobody(const std::vector<std::string>& args)
{
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    std::string binary = std::string(build ? build : ".") + "/bin/tonwell";
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(120);
        std::vector<char*> argv{binary.data(), const_cast<char*>("reg")};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(121);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(StoreFiles, ToolOfAnotherUserReadsButCannotChange)
{
    HKEY server = Create(HKEY_LOCAL_MACHINE, kServerKey);
    ASSERT_EQ(SetSz(server, nullptr, u"/usr/lib/tonwell/TonwellObj.so"), ERROR_SUCCESS);
    RegCloseKey(server);

    auto [exit, out] = RegAsNobody({"add", "HKLM\\SOFTWARE\\Classes\\CLSID\\{8C1E5F3A-4B2D-4C6E-9F10-2A3B4C5D6E7F}"
                                           "\\InprocServer32",
                                    "/ve", "/d", "/tmp/evil.so", "/f"});
    EXPECT_EQ(exit, 1);
    EXPECT_EQ(out.rfind("ERROR: Access is denied.", 0), 0u) << out;
    EXPECT_NE(out.find((Root() / "registry.db").string()), std::string::npos) << out;

    std::tie(exit, out) = RegAsNobody({"query", "HKCR\\CLSID", "/s"});
    EXPECT_EQ(exit, 0) << out;
    EXPECT_NE(out.find("/usr/lib/tonwell/TonwellObj.so"), std::string::npos) << out;
    // Their own hive they change.
    std::tie(exit, out) = RegAsNobody({"add", "HKCU\\Software\\Mine", "/v", "a", "/d", "1"});
    EXPECT_EQ(exit, 0) << out;

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServerKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Read(key, nullptr, type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"/usr/lib/tonwell/TonwellObj.so"));
    RegCloseKey(key);
}

TEST_F(StoreFiles, HiveFolderOfAnotherOwnerIsRefused)
{
    // Someone else made the folder a user's hive would go in.
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE");
    RegCloseKey(key);
    ASSERT_EQ(mkdir((Root() / HiveFolder(kNobody)).c_str(), 0700), 0);
    std::vector<LONG> r = RunAsNobody([] {
        HKEY k = nullptr;
        return std::vector<LONG>{
            RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)};
    });
    EXPECT_EQ(r, std::vector<LONG>{ERROR_ACCESS_DENIED});
    EXPECT_FALSE(std::filesystem::exists(Root() / HiveFolder(kNobody) / "hive.db"));
}

class StoreFolders : public MachineRootFixture {};

TEST_F(StoreFolders, FoldersOthersCouldChangeAreRefusedWithTheReason)
{
    // A machine root any user may change, sticky or not.
    for (mode_t mode : {0777, 01777, 0775}) {
        ASSERT_EQ(chmod(Root().c_str(), mode), 0);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_ACCESS_DENIED)
            << std::oct << mode;
        std::string why = TonwellRegLastFailure();
        EXPECT_NE(why.find("the folder " + Root().string() + " can be changed by other users"), std::string::npos)
            << why;
        EXPECT_FALSE(std::filesystem::exists(Root() / "registry.db"));
    }
    ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
    HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Mine");
    RegCloseKey(key);
    key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Mine");
    RegCloseKey(key);
    EXPECT_STREQ(TonwellRegLastFailure(), "");

    // The folder of a user's hive.
    std::filesystem::path folder = Root() / HiveFolder(geteuid());
    CloseStores(Root());
    ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Mine", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_NE(std::string(TonwellRegLastFailure()).find(folder.string()), std::string::npos);
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software\\Mine"));

    // A store left open to all by an earlier version: its owner closes it again.
    CloseStores(Root());
    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(chmod((Root().string() + "/registry.db" + suffix).c_str(), 0666), 0) << suffix;
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(ModeOf(Root().string() + "/registry.db" + suffix), 0644u) << suffix;

    // A store that is a link, dangling here: nothing is made where it points.
    std::string other = Root().string() + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_EQ(symlink((other + "/nowhere.db").c_str(), (other + "/registry.db").c_str()), 0);
    setenv("TONWELL_ROOT", other.c_str(), 1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(std::string(TonwellRegLastFailure()), other + "/registry.db is not a regular file");
    EXPECT_FALSE(std::filesystem::exists(other + "/nowhere.db"));
    setenv("TONWELL_ROOT", Root().c_str(), 1);
}

class RegistryTransactions : public MachineRootFixture {};

TEST_F(RegistryTransactions, CommitShowsAllRollbackAndCloseNothing)
{
    HANDLE tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_NE(tx, INVALID_HANDLE_VALUE);
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &key, &disposition, tx, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"v"), 1u);
    // What is opened from a transacted key is in the transaction too.
    HKEY child = Create(key, u"Child");
    ASSERT_EQ(SetDword(child, u"w", 2), ERROR_SUCCESS);
    // Nothing shows outside it before the commit, not even in this process,
    // and a reader does not wait for it: not even one that opens the store
    // anew while the transaction holds the write lock.
    CloseStores(Root());
    HKEY outside = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx", 0, KEY_READ, &outside), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE"));
    ASSERT_TRUE(CommitTransaction(tx));
    HKEY probe = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\A\\Child", 0, KEY_READ, &probe), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(probe, u"w"), 2u);
    RegCloseKey(probe);
    // Its keys end with it; so does the transaction.
    EXPECT_EQ(SetDword(key, u"late", 1), ERROR_TRANSACTION_NOT_ACTIVE);
    EXPECT_FALSE(CommitTransaction(tx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TRANSACTION_ALREADY_COMMITTED));
    RegCloseKey(child);
    RegCloseKey(key);
    CloseHandle(tx);

    // Rolled back: nothing of it, deletions included.
    tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(RegDeleteKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\A\\Child", 0, 0, tx, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &key, nullptr, tx, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    ASSERT_TRUE(RollbackTransaction(tx));
    EXPECT_FALSE(RollbackTransaction(tx));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TRANSACTION_ALREADY_ABORTED));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\A\\Child"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\B"));
    RegCloseKey(key);
    CloseHandle(tx);

    // Closed before the commit: rolled back. A failed operation undoes only itself.
    HKEY volatileKey = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\Volatile", REG_OPTION_VOLATILE);
    RegCloseKey(volatileKey);
    tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_EQ(RegCreateKeyTransactedW(HKEY_CURRENT_USER, u"Software\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                      nullptr, tx, nullptr),
              ERROR_SUCCESS);
    HKEY stable = nullptr;
    EXPECT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\Volatile\\Stable", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &stable, nullptr, tx, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    CloseHandle(tx);
    EXPECT_EQ(SetDword(key, u"v", 2), ERROR_TRANSACTION_NOT_ACTIVE);
    RegCloseKey(key);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, u"Software\\C"));

    tx = CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr);
    ASSERT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\D", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &key, nullptr, tx, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\Volatile\\Stable", 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &stable, nullptr, tx, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    RegCloseKey(key);
    EXPECT_TRUE(CommitTransaction(tx));
    CloseHandle(tx);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tx\\D"));

    // Arguments.
    SetLastError(0);
    EXPECT_EQ(CreateTransaction(nullptr, nullptr, 0, 1, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegOpenKeyTransactedW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CommitTransaction(nullptr));
}

} // namespace
