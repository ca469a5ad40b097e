// The registry's storage, in SQLite files under the machine root:
// - the machine store, <root>/registry.db: every key but the users' own. Mode
//   0644: its owner writes it, every other user opens it read-only.
// - one hive per user, <root>/users/<SID>/hive.db (SID S-1-22-1-<uid>): that
//   user's HKEY_CURRENT_USER, made by the user on first use. Mode 0600 in a
//   folder of mode 0700, both owned by the user: nobody else reads it (but the
//   superuser).
// A store is refused (ERROR_ACCESS_DENIED) when a folder on its path lets
// another user replace it, or when it is not a regular file of the right owner.
// The -wal and -shm files take the mode and owner of their store.
//
// One connection per store and process, opened on first use and again when
// the machine root changes or after fork (a connection never crosses a fork).
// Every operation runs in one transaction under the process's registry lock; a
// change commits before the operation reports success. The stores are in WAL
// mode: a read (opening the store included, once it is set up) sees the last
// committed state and never waits for a writer; writers wait for each other
// (at most 60 s each try). A platform transaction
// (PlatformTransaction) has connections of its own instead.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tonwell::platform::registry {

// A failed SQLite call, carried to the transaction's edge: its (extended)
// result code and, for an I/O failure, the errno the call failed with.
struct SqlError {
    int code;
    int system = 0;
};

// Which store an operation runs on.
struct StoreId {
    bool hive = false; // else the machine store
    uid_t uid = 0;     // the hive's user
    static StoreId Machine() { return {}; }
    static StoreId HiveOf(uid_t uid) { return {true, uid}; }
    bool operator==(const StoreId&) const = default;
};

// "S-1-22-1-<uid>": the name of a user's hive below HKEY_USERS.
std::string HiveName(uid_t uid);
// The user whose hive `name` names (compared without regard to case).
std::optional<uid_t> HiveUser(const std::string& name);
// The users whose hives exist under the current machine root, in no order.
std::vector<uid_t> ExistingHives();

class Statement {
public:
    Statement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value);
    Statement& Bind(int index, const std::string& text);
    Statement& BindNull(int index);
    Statement& BindBlob(int index, const void* data, size_t size);
    // True while a row is available.
    bool Step();
    int64_t Int(int column) const;
    std::string Text(int column) const;
    bool IsNull(int column) const;
    std::vector<uint8_t> Blob(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

struct Connection;
class PlatformTransaction;

class Transaction {
public:
    // Made by RunTransaction only.
    Transaction(Connection& c, const StoreId& store);
    Statement Prepare(const char* sql);
    void Exec(const char* sql);
    bool Writable() const { return m_writable; }
    int64_t LastInsertId() const;
    // Identifies the store file: handles from another store are not valid here.
    uint64_t StoreGeneration() const { return m_generation; }
    const std::string& BootId() const { return m_bootId; }
    const StoreId& Store() const { return m_store; }

private:
    sqlite3* m_db = nullptr;
    bool m_writable = false;
    uint64_t m_generation = 0;
    std::string m_bootId;
    StoreId m_store;
    std::vector<std::pair<const char*, sqlite3_stmt*>>* m_cache = nullptr;
};

// A platform transaction (CreateTransaction): its own connection to each store
// it touches, each holding one SQLite write transaction from the first
// operation until Commit or Rollback. Until then nothing of it is visible to
// others or durable; a process killed before Commit leaves none of it. Other
// writers of those stores wait for it. Across two stores, each store commits
// on its own. Thread-safe; does not cross fork.
class PlatformTransaction {
public:
    PlatformTransaction() = default;
    ~PlatformTransaction(); // rolls back what is not committed
    PlatformTransaction(const PlatformTransaction&) = delete;
    PlatformTransaction& operator=(const PlatformTransaction&) = delete;

    // ERROR_TRANSACTION_ALREADY_COMMITTED / _ALREADY_ABORTED when ended.
    LONG Commit();
    LONG Rollback();

private:
    friend LONG RunTransaction(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
                               PlatformTransaction* within);
    enum class State { Active, Committed, RolledBack };
    void CloseAll();
    std::mutex m_lock;
    State m_state = State::Active;
    std::vector<Connection*> m_connections;
};

// Runs `body` in one transaction on `store`: a write transaction (taken at
// once, so writers queue instead of failing) when `write` is set and the store
// can be written, else a read transaction. Busy stores are waited for and the
// body rerun. The body returns a Win32 status; any status other than
// ERROR_SUCCESS rolls back. Storage failures come back as Win32 statuses, with
// their cause and the store's path kept for LastFailure. Within a platform
// transaction the body runs inside it, and a failing body undoes only itself;
// ERROR_TRANSACTION_NOT_ACTIVE once that transaction has ended.
LONG RunTransaction(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
                    PlatformTransaction* within = nullptr);

// Why the last failed storage operation of this thread failed, naming the
// store ("" when the last operation had no storage failure).
const std::string& LastFailure();

// FILETIME units (100 ns since 1601) of now.
int64_t NowFileTime();

} // namespace tonwell::platform::registry
