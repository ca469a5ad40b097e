#include "registry/store.h"

#include "machine_root.h"
#include "security/descriptor.h"

#include <sysinfoapi.h>
#include <winerror.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tonwell::platform::registry {
namespace {

// How long an operation waits for other writers before it gives up.
constexpr int kBusyTimeoutMs = 60000;
constexpr auto kRetryDeadline = std::chrono::seconds(120);

struct Connection {
    std::mutex lock;
    sqlite3* db = nullptr;
    pid_t pid = 0;
    std::string path;
    bool writable = false;
    bool initialised = false; // tables exist
    uint64_t generation = 0;
    // Each store file keeps its generation for the life of the process.
    std::vector<std::string> paths;
    std::string bootId;
    std::vector<std::pair<const char*, sqlite3_stmt*>> cache;
};

void CloseConnection(Connection& c);

// A SQLite connection must not cross a fork: the library keeps per-process
// lock state that the child would inherit without the locks themselves. So
// the connection is closed before every fork (no operation can be running,
// the lock is held) and each side reopens on its next use.
Connection& Conn()
{
    static Connection* connection = [] {
        auto* c = new Connection;
        pthread_atfork(
            [] {
                Connection& c = Conn();
                c.lock.lock();
                CloseConnection(c);
            },
            [] { Conn().lock.unlock(); }, [] { Conn().lock.unlock(); });
        return c;
    }();
    return *connection;
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
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

bool IsBusy(int code) { return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED; }

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
        throw SqlError{rc};
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
        throw SqlError{rc};
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
        throw SqlError{rc};
    rc = sqlite3_prepare_v2(db,
                            "INSERT INTO keys(parent,name,fold,class,sd,boot,depth,written) "
                            "VALUES(?1,?2,?3,NULL,?4,NULL,?5,?6)",
                            -1, &s, nullptr);
    if (rc != SQLITE_OK)
        throw SqlError{rc};
    sqlite3_bind_int64(s, 1, parent);
    sqlite3_bind_text(s, 2, name, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 3, fold, -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 4, sd.data(), static_cast<int>(sd.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 5, depth);
    sqlite3_bind_int64(s, 6, NowFileTime());
    rc = sqlite3_step(s);
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        throw SqlError{rc};
    return sqlite3_last_insert_rowid(db);
}

// Tables, the two hive roots and the keys every machine has; volatile keys
// of earlier boots are dropped.
void Initialise(Connection& c)
{
    ExecRaw(c.db, "BEGIN IMMEDIATE");
    try {
        ExecRaw(c.db, kSchema);
        using namespace security;
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

        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(c.db,
                                    "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE boot IS NOT NULL "
                                    "AND boot<>?1)",
                                    -1, &s, nullptr);
        if (rc != SQLITE_OK)
            throw SqlError{rc};
        sqlite3_bind_text(s, 1, c.bootId.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE)
            throw SqlError{rc};
        rc = sqlite3_prepare_v2(c.db, "DELETE FROM keys WHERE boot IS NOT NULL AND boot<>?1", -1, &s, nullptr);
        if (rc != SQLITE_OK)
            throw SqlError{rc};
        sqlite3_bind_text(s, 1, c.bootId.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE)
            throw SqlError{rc};
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

// Opens (or reopens) the store of the current machine root. Called with the
// connection lock held.
LONG EnsureOpen(Connection& c)
{
    std::string path = (MachineRoot() / "registry.db").string();
    pid_t pid = getpid();
    if (c.db && c.path == path && c.pid == pid)
        return ERROR_SUCCESS;
    if (c.db && c.pid != pid) {
        // Inherited by a child made without the fork handlers: never touched.
        c.db = nullptr;
        c.cache.clear();
    }
    if (c.db)
        CloseConnection(c);
    if (c.path != path || !c.generation) {
        auto it = std::find(c.paths.begin(), c.paths.end(), path);
        if (it == c.paths.end())
            it = c.paths.insert(c.paths.end(), path);
        c.generation = static_cast<uint64_t>(it - c.paths.begin()) + 1;
        c.path = path; // only once its generation is known, should the insertion throw
    }
    c.pid = pid;
    c.initialised = false;
    if (c.bootId.empty())
        c.bootId = ReadBootId();

    std::error_code ec;
    std::filesystem::create_directories(MachineRoot(), ec);
    // The store is shared by every user of the machine root; what each may
    // do is decided by the keys' descriptors, so the file is open to all.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        ::close(fd);
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        db = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db);
            return (rc & 0xFF) == SQLITE_CANTOPEN && access(path.c_str(), F_OK) == 0 ? ERROR_ACCESS_DENIED
                                                                                     : MapSqlite(rc);
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
                // Durable on commit: a writer killed right after a reported
                // success loses nothing.
                ExecRaw(db, "PRAGMA journal_mode=WAL");
                ExecRaw(db, "PRAGMA synchronous=FULL");
                Initialise(c);
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
            CloseConnection(c);
            return MapSqlite(e.code);
        } catch (...) {
            // Out of memory while setting up: closed, so that the next use starts over
            // instead of finding a connection that is open but not set up.
            CloseConnection(c);
            throw;
        }
    }
}

} // namespace

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
        throw SqlError{rc};
    return *this;
}

bool Statement::Step()
{
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    throw SqlError{rc};
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

Statement Transaction::Prepare(const char* sql)
{
    for (auto& [text, stmt] : *m_cache) {
        if (text == sql)
            return Statement(m_db, stmt);
    }
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK)
        throw SqlError{rc};
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

LONG RunTransaction(bool write, const std::function<LONG(Transaction&)>& body)
{
    Connection& c = Conn();
    std::lock_guard<std::mutex> guard(c.lock);
    LONG status = EnsureOpen(c);
    if (status != ERROR_SUCCESS)
        return status;
    Transaction tx;
    tx.m_db = c.db;
    tx.m_writable = c.writable;
    tx.m_generation = c.generation;
    tx.m_bootId = c.bootId;
    tx.m_cache = &c.cache;
    if (!c.initialised) {
        // A store that could not be set up (read-only and empty) holds nothing.
        return write ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
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
            return MapSqlite(e.code);
        }
        try {
            status = body(tx);
            if (status == ERROR_SUCCESS) {
                for (;;) {
                    int rc = sqlite3_exec(c.db, "COMMIT", nullptr, nullptr, nullptr);
                    if (rc == SQLITE_OK)
                        break;
                    if (IsBusy(rc) && std::chrono::steady_clock::now() < deadline) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                    throw SqlError{rc};
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
            return MapSqlite(e.code);
        } catch (const std::bad_alloc&) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            return ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            sqlite3_exec(c.db, "ROLLBACK", nullptr, nullptr, nullptr);
            return ERROR_REGISTRY_IO_FAILED;
        }
    }
}

LONG StoreWritable(bool& writable)
{
    Connection& c = Conn();
    std::lock_guard<std::mutex> guard(c.lock);
    LONG status = EnsureOpen(c);
    writable = status == ERROR_SUCCESS && c.writable;
    return status;
}

int64_t NowFileTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

} // namespace tonwell::platform::registry
