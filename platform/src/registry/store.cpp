#include "registry/store.h"

#include "fault.h"
#include "machine_root.h"
#include "security/descriptor.h"

#include <sysinfoapi.h>
#include <winerror.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tonwell::platform::registry {

// One open store file.
struct Connection {
    sqlite3* db = nullptr;
    pid_t pid = 0;
    std::string path;
    StoreId store;
    bool writable = false;
    bool initialised = false; // tables exist
    uint64_t generation = 0;
    std::vector<std::pair<const char*, sqlite3_stmt*>> cache;
};

namespace {

// How long an operation waits for other writers before it gives up.
constexpr int kBusyTimeoutMs = 60000;
constexpr auto kRetryDeadline = std::chrono::seconds(120);

constexpr mode_t kMachineStoreMode = 0644;
constexpr mode_t kHiveMode = 0600;
constexpr mode_t kHiveFolderMode = 0700;
// Every user makes a folder of their own here; none may touch another's.
constexpr mode_t kUsersFolderMode = 01777;

thread_local std::string t_failure;

struct Shared {
    std::mutex lock;
    std::vector<std::unique_ptr<Connection>> connections;
    // Each store file keeps its generation for the life of the process.
    std::mutex pathLock;
    std::vector<std::string> paths;
    std::string bootId;
};

void CloseConnection(Connection& c);

// A SQLite connection must not cross a fork: the library keeps per-process
// lock state that the child would inherit without the locks themselves. So
// the connections are closed before every fork (no operation can be running,
// the lock is held) and each side reopens on its next use.
Shared& Store()
{
    static Shared* shared = [] {
        auto* s = new Shared;
        pthread_atfork(
            [] {
                Shared& s = Store();
                s.lock.lock();
                for (auto& c : s.connections)
                    CloseConnection(*c);
                s.connections.clear();
            },
            [] { Store().lock.unlock(); }, [] { Store().lock.unlock(); });
        return s;
    }();
    return *shared;
}

LONG MapSqlite(int code)
{
    switch (code & 0xFF) {
    case SQLITE_OK:
        return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG:
        return ERROR_INVALID_PARAMETER;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return ERROR_BADDB;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_TIMEOUT;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

bool IsBusy(int code) { return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED; }

// The errno of the last failed system call on the store file or on its
// journal (the WAL file), 0 when there is none.
int FileErrno(sqlite3* db)
{
    int error = 0;
    sqlite3_file* journal = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &journal) == SQLITE_OK && journal &&
        journal->pMethods && journal->pMethods->xFileControl(journal, SQLITE_FCNTL_LAST_ERRNO, &error) == SQLITE_OK &&
        error)
        return error;
    error = 0;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &error);
    return error;
}

// The failure of a call on `db` just made. SQLite keeps an errno only for I/O
// failures (and an older one otherwise), so it is taken at once, and only
// then; a failed commit leaves it with the file that failed.
SqlError ErrorOf(sqlite3* db, int code)
{
    int primary = code & 0xFF;
    if (!db || (primary != SQLITE_IOERR && primary != SQLITE_CANTOPEN))
        return SqlError{code, 0};
    int system = sqlite3_system_errno(db);
    return SqlError{code, system ? system : FileErrno(db)};
}

bool DiskFull(int code, int system)
{
    return (code & 0xFF) == SQLITE_FULL || system == ENOSPC || system == EFBIG || system == EDQUOT;
}

// Keeps the cause of a storage failure for LastFailure; the status to return.
LONG Failed(LONG status, const std::string& why)
{
    t_failure = why;
    return status;
}

// A write that finds no room (ENOSPC, a quota, or a file-size limit, EFBIG) is
// ERROR_DISK_FULL whichever way SQLite reports it.
LONG FailedSql(const Connection& c, const SqlError& e)
{
    if (DiskFull(e.code, e.system))
        return Failed(ERROR_DISK_FULL, c.path + ": the disk is full" +
                                           (e.system ? std::string(" (") + std::strerror(e.system) + ")" : ""));
    std::string why = c.path + ": " + sqlite3_errstr(e.code);
    if (e.system)
        why += std::string(" (") + std::strerror(e.system) + ")";
    return Failed(MapSqlite(e.code), why);
}

LONG FailedSql(const Connection& c, int code) { return FailedSql(c, ErrorOf(c.db, code)); }

std::string ReadBootId()
{
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    if (in >> id && !id.empty())
        return id;
    // Without a boot identifier, the boot time serves.
    std::ifstream stat("/proc/stat");
    std::string word;
    while (stat >> word) {
        if (word == "btime" && stat >> id)
            return "btime-" + id;
    }
    return "unknown-boot";
}

void ExecRaw(sqlite3* db, const char* sql)
{
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        throw ErrorOf(db, rc);
}

void CloseConnection(Connection& c)
{
    for (auto& [sql, stmt] : c.cache)
        sqlite3_finalize(stmt);
    c.cache.clear();
    if (c.db)
        sqlite3_close_v2(c.db);
    c.db = nullptr;
}

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    class TEXT,
    sd BLOB NOT NULL,
    boot TEXT,
    depth INTEGER NOT NULL,
    written INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, fold);
CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL,
    name TEXT NOT NULL,
    fold TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, fold));
)sql";

int64_t InsertKey(sqlite3* db, int64_t parent, const char* name, const char* fold,
                  const std::vector<uint8_t>& sd, int depth)
{
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent=?1 AND fold=?2", -1, &s, nullptr);
    if (rc != SQLITE_OK)
        throw ErrorOf(db, rc);
    sqlite3_bind_int64(s, 1, parent);
    sqlite3_bind_text(s, 2, fold, -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        int64_t id = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return id;
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        throw ErrorOf(db, rc);
    rc = sqlite3_prepare_v2(db,
                            "INSERT INTO keys(parent,name,fold,class,sd,boot,depth,written) "
                            "VALUES(?1,?2,?3,NULL,?4,NULL,?5,?6)",
                            -1, &s, nullptr);
    if (rc != SQLITE_OK)
        throw ErrorOf(db, rc);
    sqlite3_bind_int64(s, 1, parent);
    sqlite3_bind_text(s, 2, name, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 3, fold, -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 4, sd.data(), static_cast<int>(sd.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 5, depth);
    sqlite3_bind_int64(s, 6, NowFileTime());
    rc = sqlite3_step(s);
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        throw ErrorOf(db, rc);
    return sqlite3_last_insert_rowid(db);
}

void DropStaleVolatileKeys(sqlite3* db, const std::string& bootId)
{
    for (const char* sql : {"DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE boot IS NOT NULL AND boot<>?1)",
                            "DELETE FROM keys WHERE boot IS NOT NULL AND boot<>?1"}) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        if (rc != SQLITE_OK)
            throw ErrorOf(db, rc);
        sqlite3_bind_text(s, 1, bootId.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE)
            throw ErrorOf(db, rc);
    }
}

// Tables and the keys every store has; volatile keys of earlier boots are
// dropped. The machine store has the two hive roots and the keys every machine
// has; a user's hive has its one root, HKEY_USERS\<SID>.
void Initialise(Connection& c, const std::string& bootId)
{
    ExecRaw(c.db, "BEGIN IMMEDIATE");
    try {
        ExecRaw(c.db, kSchema);
        using namespace security;
        if (c.store.hive) {
            std::string name = HiveName(c.store.uid);
            InsertKey(c.db, 0, name.c_str(), name.c_str(), Serialize(UserHiveDescriptor(c.store.uid, getegid())), 1);
        } else {
            Descriptor rootSd = DefaultRootDescriptor();
            Caller system;
            system.superuser = true;
            SidFromString("SY", system.user);
            SidFromString("SY", system.group);
            int64_t machine = InsertKey(c.db, 0, "MACHINE", "MACHINE", Serialize(rootSd), 0);
            InsertKey(c.db, 0, "USER", "USER", Serialize(rootSd), 0);
            Descriptor child = ForNewChild(&rootSd, nullptr, system);
            std::vector<uint8_t> childSd = Serialize(child);
            int64_t software = InsertKey(c.db, machine, "SOFTWARE", "SOFTWARE", childSd, 1);
            InsertKey(c.db, software, "Classes", "CLASSES", childSd, 2);
            int64_t systemKey = InsertKey(c.db, machine, "SYSTEM", "SYSTEM", childSd, 1);
            int64_t ccs = InsertKey(c.db, systemKey, "CurrentControlSet", "CURRENTCONTROLSET", childSd, 2);
            int64_t profiles = InsertKey(c.db, ccs, "Hardware Profiles", "HARDWARE PROFILES", childSd, 3);
            InsertKey(c.db, profiles, "Current", "CURRENT", childSd, 4);
        }
        DropStaleVolatileKeys(c.db, bootId);
        ExecRaw(c.db, "COMMIT");
    } catch (...) {
        sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

bool TablesExist(sqlite3* db)
{
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='keys'", -1, &s,
                           nullptr) != SQLITE_OK)
        return false;
    bool found = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    return found;
}

// Whether Initialise has anything to do: no tables yet, or volatile keys of an
// earlier boot. Only reads, so that opening a store that is set up (nearly
// always the case) never waits for another connection's write transaction.
// The tables and the root keys are made in one transaction, so tables mean roots.
bool NeedsInitialise(sqlite3* db, const std::string& bootId)
{
    if (!TablesExist(db))
        return true;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM keys WHERE boot IS NOT NULL AND boot<>?1 LIMIT 1", -1, &s, nullptr) !=
        SQLITE_OK)
        return true;
    sqlite3_bind_text(s, 1, bootId.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(s);
    sqlite3_finalize(s);
    return rc != SQLITE_DONE;
}

std::string StorePath(const StoreId& store)
{
    std::filesystem::path root = MachineRoot();
    if (!store.hive)
        return (root / "registry.db").string();
    return (root / "users" / HiveName(store.uid) / "hive.db").string();
}

// Makes a folder with exactly `mode` (whatever the umask) unless it exists.
bool MakeFolder(const std::string& path, mode_t mode, std::string& why)
{
    if (mkdir(path.c_str(), mode) == 0) {
        chmod(path.c_str(), mode);
        return true;
    }
    if (errno == EEXIST)
        return true;
    why = "cannot create " + path + ": " + std::strerror(errno);
    return false;
}

// Whether another user could replace what lies in `folder`: each folder from
// it up to / must be a folder owned by the superuser or by one of `trusted`,
// and writable by no one else, except that a folder above (not `folder`
// itself) may be shared with the sticky bit, as /tmp is.
bool FolderIsSafe(const std::string& folder, std::initializer_list<uid_t> trusted, std::string& why)
{
    std::error_code ec;
    std::filesystem::path path = std::filesystem::canonical(folder, ec);
    if (ec) {
        why = folder + ": " + ec.message();
        return false;
    }
    bool first = true;
    for (;;) {
        struct stat st{};
        if (stat(path.c_str(), &st) != 0) {
            why = path.string() + ": " + std::strerror(errno);
            return false;
        }
        bool ownerOk = st.st_uid == 0 || std::find(trusted.begin(), trusted.end(), st.st_uid) != trusted.end();
        bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (!S_ISDIR(st.st_mode) || !ownerOk || (shared && (first || !(st.st_mode & S_ISVTX)))) {
            why = "the folder " + path.string() + " can be changed by " +
                  (ownerOk ? std::string("other users") : "its owner (uid " + std::to_string(st.st_uid) + ")") +
                  ", who could replace the registry store in it";
            return false;
        }
        if (!path.has_relative_path())
            return true;
        path = path.parent_path();
        first = false;
    }
}

// Makes sure the store's folders exist and are safe, and the store file is a
// regular file of the right owner and mode (made here when it is missing and
// the caller may make it). ERROR_FILE_NOT_FOUND for the hive of another user
// that does not exist.
LONG PrepareFiles(const StoreId& store, const std::string& path)
{
    std::string why;
    std::string folder = std::filesystem::path(path).parent_path().string();
    uid_t self = geteuid();
    std::string root = MachineRoot().string();
    mode_t mode = store.hive ? kHiveMode : kMachineStoreMode;
    if (store.hive) {
        std::string users = std::filesystem::path(folder).parent_path().string();
        struct stat rootSt{};
        uid_t rootOwner = stat(root.c_str(), &rootSt) == 0 ? rootSt.st_uid : self;
        if (access(users.c_str(), F_OK) != 0 && access(root.c_str(), W_OK) == 0 &&
            !MakeFolder(users, kUsersFolderMode, why))
            return Failed(ERROR_ACCESS_DENIED, why);
        if (store.uid == self && !MakeFolder(folder, kHiveFolderMode, why))
            return Failed(access(users.c_str(), F_OK) == 0 ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND, why);
        if (access(folder.c_str(), F_OK) != 0)
            return ERROR_FILE_NOT_FOUND;
        // users/ above it is shared (sticky); the hive's own folder is its user's alone.
        if (!FolderIsSafe(folder, {store.uid, rootOwner, self}, why))
            return Failed(ERROR_ACCESS_DENIED, why);
        struct stat st{};
        if (lstat(folder.c_str(), &st) != 0 || st.st_uid != store.uid)
            return Failed(ERROR_ACCESS_DENIED, folder + " does not belong to the user of that hive");
    } else {
        std::error_code ec;
        if (!std::filesystem::exists(folder, ec)) {
            std::filesystem::create_directories(folder, ec);
            // Every user reads the machine store.
            if (!ec)
                chmod(folder.c_str(), 0755);
        }
        struct stat st{};
        uid_t owner = lstat(path.c_str(), &st) == 0 ? st.st_uid : self;
        if (!FolderIsSafe(folder, {self, owner}, why))
            return Failed(ERROR_ACCESS_DENIED, why);
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
        fchmod(fd, mode);
        ::close(fd);
    }
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) {
        int error = errno;
        if (store.hive && store.uid != self && error == ENOENT)
            return ERROR_FILE_NOT_FOUND;
        return Failed(error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED,
                      "cannot open " + path + ": " + std::strerror(error));
    }
    if (!S_ISREG(st.st_mode))
        return Failed(ERROR_ACCESS_DENIED, path + " is not a regular file");
    if (store.hive && st.st_uid != store.uid)
        return Failed(ERROR_ACCESS_DENIED, path + " does not belong to the user of that hive");
    // A store made when it was open to all is closed again by its owner; one
    // that others can still change cannot be trusted.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string file = path + suffix;
        if (lstat(file.c_str(), &st) != 0)
            continue;
        if (st.st_uid == self && S_ISREG(st.st_mode) && (st.st_mode & 0777) != mode)
            chmod(file.c_str(), mode);
        else if (st.st_mode & (S_IWGRP | S_IWOTH))
            return Failed(ERROR_ACCESS_DENIED, file + " can be changed by other users");
    }
    return ERROR_SUCCESS;
}

uint64_t GenerationOf(const std::string& path)
{
    Shared& s = Store();
    std::lock_guard<std::mutex> guard(s.pathLock);
    auto it = std::find(s.paths.begin(), s.paths.end(), path);
    if (it == s.paths.end())
        it = s.paths.insert(s.paths.end(), path);
    if (s.bootId.empty())
        s.bootId = ReadBootId();
    return static_cast<uint64_t>(it - s.paths.begin()) + 1;
}

const std::string& MachineBootId()
{
    Shared& s = Store();
    std::lock_guard<std::mutex> guard(s.pathLock);
    if (s.bootId.empty())
        s.bootId = ReadBootId();
    return s.bootId;
}

// Opens the store file into `c` (closed on entry).
LONG Open(Connection& c, const StoreId& store, const std::string& path)
{
    c.path = path;
    c.store = store;
    c.pid = getpid();
    c.generation = GenerationOf(path);
    c.initialised = false;
    if (LONG status = PrepareFiles(store, path))
        return status;

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        db = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                             nullptr);
        if (rc != SQLITE_OK) {
            int system = db ? sqlite3_system_errno(db) : 0;
            sqlite3_close_v2(db);
            std::string why = path + ": " + sqlite3_errstr(rc);
            if (system)
                why += std::string(" (") + std::strerror(system) + ")";
            return Failed((rc & 0xFF) == SQLITE_CANTOPEN && system == EACCES ? ERROR_ACCESS_DENIED : MapSqlite(rc),
                          why);
        }
    }
    c.db = db;
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    c.writable = sqlite3_db_readonly(db, "main") == 0;
    auto deadline = std::chrono::steady_clock::now() + kRetryDeadline;
    for (;;) {
        try {
            if (c.writable) {
                // The -wal and -shm files stay when the last connection
                // closes: a reader that may not create them needs them there.
                int persist = 1;
                sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
                // Durable on commit: a writer killed right after a reported
                // success loses nothing.
                ExecRaw(db, "PRAGMA journal_mode=WAL");
                ExecRaw(db, "PRAGMA synchronous=FULL");
                if (NeedsInitialise(db, MachineBootId()))
                    Initialise(c, MachineBootId());
                if (!store.hive) {
                    // Where the users' hives go, made by the machine store's
                    // owner so that every user can make their own.
                    std::string why;
                    MakeFolder((std::filesystem::path(path).parent_path() / "users").string(), kUsersFolderMode,
                               why);
                }
            }
            c.initialised = TablesExist(db);
            return ERROR_SUCCESS;
        } catch (const SqlError& e) {
            if (IsBusy(e.code) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if ((e.code & 0xFF) == SQLITE_READONLY) {
                // Writable file, unwritable folder or journal: read only.
                c.writable = false;
                c.initialised = TablesExist(db);
                return ERROR_SUCCESS;
            }
            LONG status = FailedSql(c, e);
            CloseConnection(c);
            return status;
        } catch (...) {
            // Out of memory while setting up: closed, so that the next use starts over
            // instead of finding a connection that is open but not set up.
            CloseConnection(c);
            throw;
        }
    }
}

// The shared connection to `store` of the current machine root; opened or
// reopened as needed. Called with the store lock held.
LONG SharedConnection(const StoreId& store, Connection*& out)
{
    Shared& s = Store();
    std::string path = StorePath(store);
    pid_t pid = getpid();
    std::string root = MachineRoot().string() + "/";
    for (auto it = s.connections.begin(); it != s.connections.end();) {
        Connection& c = **it;
        if (c.pid != pid) {
            // Inherited by a child made without the fork handlers: never touched.
            c.db = nullptr;
            c.cache.clear();
        }
        if (c.db && c.path == path) {
            out = &c;
            return ERROR_SUCCESS;
        }
        // Stores of an earlier machine root are let go.
        if (!c.db || c.path.compare(0, root.size(), root) != 0 || c.store == store) {
            CloseConnection(c);
            it = s.connections.erase(it);
        } else {
            ++it;
        }
    }
    auto c = std::make_unique<Connection>();
    LONG status = Open(*c, store, path);
    if (status != ERROR_SUCCESS)
        return status;
    out = c.get();
    s.connections.push_back(std::move(c));
    return ERROR_SUCCESS;
}

LONG RunInPlatformTransaction(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
                              PlatformTransaction& within, std::vector<Connection*>& connections);

} // namespace

std::string HiveName(uid_t uid) { return security::SidToString(security::UserSid(uid)); }

std::optional<uid_t> HiveUser(const std::string& name)
{
    static const char kPrefix[] = "S-1-22-1-";
    if (name.size() <= sizeof kPrefix - 1 || strncasecmp(name.c_str(), kPrefix, sizeof kPrefix - 1) != 0)
        return std::nullopt;
    uint64_t uid = 0;
    for (size_t i = sizeof kPrefix - 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || uid > 0xFFFFFFFFu)
            return std::nullopt;
        uid = uid * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (uid >= 0xFFFFFFFFu || HiveName(static_cast<uid_t>(uid)).size() != name.size())
        return std::nullopt; // leading zeros or out of range: not the canonical name
    return static_cast<uid_t>(uid);
}

std::vector<uid_t> ExistingHives()
{
    std::vector<uid_t> users;
    std::string folder = (MachineRoot() / "users").string();
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return users;
    while (dirent* entry = readdir(dir)) {
        std::optional<uid_t> uid = HiveUser(entry->d_name);
        struct stat st{};
        if (uid && stat((folder + "/" + entry->d_name + "/hive.db").c_str(), &st) == 0 && st.st_uid == *uid)
            users.push_back(*uid);
    }
    closedir(dir);
    return users;
}

Statement::~Statement()
{
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

Statement& Statement::Bind(int index, int64_t value)
{
    sqlite3_bind_int64(m_stmt, index, value);
    return *this;
}

Statement& Statement::Bind(int index, const std::string& text)
{
    sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindNull(int index)
{
    sqlite3_bind_null(m_stmt, index);
    return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size)
{
    if (size > 0x7FFFFFFFu)
        throw SqlError{SQLITE_TOOBIG};
    static const char kEmpty = 0;
    int rc = sqlite3_bind_blob(m_stmt, index, size ? data : &kEmpty, static_cast<int>(size), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        throw ErrorOf(m_db, rc);
    return *this;
}

bool Statement::Step()
{
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    throw ErrorOf(m_db, rc);
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(m_stmt, column); }

std::string Statement::Text(int column) const
{
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    int n = sqlite3_column_bytes(m_stmt, column);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

std::vector<uint8_t> Statement::Blob(int column) const
{
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(m_stmt, column));
    int n = sqlite3_column_bytes(m_stmt, column);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

Transaction::Transaction(Connection& c, const StoreId& store)
    : m_db(c.db), m_writable(c.writable), m_generation(c.generation), m_bootId(MachineBootId()), m_store(store),
      m_cache(&c.cache)
{
}

Statement Transaction::Prepare(const char* sql)
{
    for (auto& [text, stmt] : *m_cache) {
        if (text == sql)
            return Statement(m_db, stmt);
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK)
        throw ErrorOf(m_db, rc);
    try {
        m_cache->emplace_back(sql, stmt);
    } catch (...) {
        // An unfinalised statement would keep the connection from ever closing.
        sqlite3_finalize(stmt);
        throw;
    }
    return Statement(m_db, stmt);
}

void Transaction::Exec(const char* sql) { ExecRaw(m_db, sql); }

int64_t Transaction::LastInsertId() const { return sqlite3_last_insert_rowid(m_db); }

LONG RunTransaction(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
                    PlatformTransaction* within)
{
    t_failure.clear();
    if (within) {
        std::lock_guard<std::mutex> guard(within->m_lock);
        if (within->m_state != PlatformTransaction::State::Active)
            return ERROR_TRANSACTION_NOT_ACTIVE;
        return RunInPlatformTransaction(store, write, body, *within, within->m_connections);
    }
    Shared& s = Store();
    std::lock_guard<std::mutex> guard(s.lock);
    Connection* conn = nullptr;
    LONG status = SharedConnection(store, conn);
    if (status != ERROR_SUCCESS)
        return status;
    Connection& c = *conn;
    Transaction tx(c, store);
    if (!c.initialised) {
        // A store that could not be set up (read-only and empty) holds nothing.
        return write ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    if (write && !c.writable)
        t_failure = c.path + " can be changed only by its owner";
    bool writeTx = write && c.writable;
    auto deadline = std::chrono::steady_clock::now() + kRetryDeadline;
    for (int attempt = 0;; ++attempt) {
        try {
            ExecRaw(c.db, writeTx ? "BEGIN IMMEDIATE" : "BEGIN");
        } catch (const SqlError& e) {
            if (IsBusy(e.code) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + attempt % 10));
                continue;
            }
            return FailedSql(c, e);
        }
        try {
            const int changesBefore = sqlite3_total_changes(c.db);
            status = body(tx);
            // A test's injected failure of a write: the commit finds the disk full.
            if (status == ERROR_SUCCESS && writeTx && sqlite3_total_changes(c.db) != changesBefore &&
                InjectFault(TONWELL_FAULT_REGISTRY_WRITE))
                throw SqlError{SQLITE_FULL};
            if (status == ERROR_SUCCESS) {
                for (;;) {
                    int rc = sqlite3_exec(c.db, "COMMIT", nullptr, nullptr, nullptr);
                    if (rc == SQLITE_OK)
                        break;
                    if (IsBusy(rc) && std::chrono::steady_clock::now() < deadline) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                    throw ErrorOf(c.db, rc);
                }
            } else {
                sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            return status;
        } catch (const SqlError& e) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            if (IsBusy(e.code) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + attempt % 10));
                continue;
            }
            return FailedSql(c, e);
        } catch (const std::bad_alloc&) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            return ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            return Failed(ERROR_REGISTRY_IO_FAILED, c.path + ": unexpected failure");
        }
    }
}

namespace {

// Called with the platform transaction's lock held.
LONG RunInPlatformTransaction(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
                              PlatformTransaction&, std::vector<Connection*>& connections)
{
    std::string path = StorePath(store);
    Connection* conn = nullptr;
    for (Connection* c : connections) {
        if (c->path == path)
            conn = c;
    }
    if (conn && conn->pid != getpid())
        return ERROR_TRANSACTION_NOT_ACTIVE;
    if (!conn) {
        auto c = std::make_unique<Connection>();
        if (LONG status = Open(*c, store, path)) {
            CloseConnection(*c);
            return status;
        }
        if (!c->initialised) {
            CloseConnection(*c);
            return write ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        }
        // The write lock is taken at once and kept to the end, so the
        // transaction never meets a conflict half-way.
        int rc = sqlite3_exec(c->db, c->writable ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            LONG status = FailedSql(*c, rc);
            CloseConnection(*c);
            return status;
        }
        conn = c.release();
        connections.push_back(conn);
    }
    Connection& c = *conn;
    Transaction tx(c, store);
    if (write && !c.writable)
        t_failure = c.path + " can be changed only by its owner";
    // Each operation undoes only itself when it fails.
    if (int rc = sqlite3_exec(c.db, "SAVEPOINT operation", nullptr, nullptr, nullptr))
        return FailedSql(c, rc);
    LONG status;
    try {
        status = body(tx);
    } catch (const SqlError& e) {
        status = FailedSql(c, e);
    } catch (const std::bad_alloc&) {
        status = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        status = Failed(ERROR_REGISTRY_IO_FAILED, c.path + ": unexpected failure");
    }
    if (status != ERROR_SUCCESS)
        sqlite3_exec(c.db, "ROLLBACK TO operation", nullptr, nullptr, nullptr);
    sqlite3_exec(c.db, "RELEASE operation", nullptr, nullptr, nullptr);
    return status;
}

} // namespace

void PlatformTransaction::CloseAll()
{
    for (Connection* c : m_connections) {
        if (c->pid == getpid()) {
            sqlite3_exec(c->db, "ROLLBACK", nullptr, nullptr, nullptr);
            CloseConnection(*c);
        }
        delete c;
    }
    m_connections.clear();
}

PlatformTransaction::~PlatformTransaction() { CloseAll(); }

LONG PlatformTransaction::Commit()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != State::Active)
        return m_state == State::Committed ? ERROR_TRANSACTION_ALREADY_COMMITTED : ERROR_TRANSACTION_ALREADY_ABORTED;
    t_failure.clear();
    LONG status = ERROR_SUCCESS;
    // A test's injected failure of a write: the commit of a transaction that changed a
    // store finds the disk full, and nothing of it is kept.
    for (Connection* c : m_connections) {
        if (c->pid == getpid() && sqlite3_total_changes(c->db) != 0) {
            if (InjectFault(TONWELL_FAULT_REGISTRY_WRITE))
                status = FailedSql(*c, SQLITE_FULL);
            break;
        }
    }
    for (Connection* c : m_connections) {
        if (status != ERROR_SUCCESS)
            break;
        if (c->pid != getpid()) {
            status = ERROR_TRANSACTION_NOT_ACTIVE;
            break;
        }
        auto deadline = std::chrono::steady_clock::now() + kRetryDeadline;
        int rc;
        while ((rc = sqlite3_exec(c->db, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK && IsBusy(rc) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (rc != SQLITE_OK) {
            // What is not committed yet is rolled back with the connections.
            status = FailedSql(*c, rc);
            break;
        }
    }
    m_state = status == ERROR_SUCCESS ? State::Committed : State::RolledBack;
    CloseAll();
    return status;
}

LONG PlatformTransaction::Rollback()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != State::Active)
        return m_state == State::Committed ? ERROR_TRANSACTION_ALREADY_COMMITTED : ERROR_TRANSACTION_ALREADY_ABORTED;
    m_state = State::RolledBack;
    CloseAll();
    return ERROR_SUCCESS;
}

const std::string& LastFailure() { return t_failure; }

int64_t NowFileTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

} // namespace tonwell::platform::registry
