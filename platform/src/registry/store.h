// The registry's storage: one SQLite connection per process on
// <machine root>/registry.db, opened on first use and again when the machine
// root changes or after fork (a connection never crosses a fork). Every
// operation runs in one transaction under the process's registry lock; a
// change commits before the operation reports success.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace tonwell::platform::registry {

// A failed SQLite call, carried to the transaction's edge.
struct SqlError {
    int code;
};

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

class Transaction {
public:
    Statement Prepare(const char* sql);
    void Exec(const char* sql);
    bool Writable() const { return m_writable; }
    int64_t LastInsertId() const;
    // Identifies the store file: handles from another store are not valid here.
    uint64_t StoreGeneration() const { return m_generation; }
    const std::string& BootId() const { return m_bootId; }

private:
    friend LONG RunTransaction(bool write, const std::function<LONG(Transaction&)>& body);
    sqlite3* m_db = nullptr;
    bool m_writable = false;
    uint64_t m_generation = 0;
    std::string m_bootId;
    std::vector<std::pair<const char*, sqlite3_stmt*>>* m_cache = nullptr;
};

// Runs `body` in one transaction: a write transaction (taken at once, so
// writers queue instead of failing) when `write` is set and the store can be
// written, else a read transaction. Busy stores are waited for and the body
// rerun. The body returns a Win32 status; any status other than
// ERROR_SUCCESS rolls back. Storage failures come back as Win32 statuses.
LONG RunTransaction(bool write, const std::function<LONG(Transaction&)>& body);

// Whether the current store can be changed; opens it if needed.
LONG StoreWritable(bool& writable);

// FILETIME units (100 ns since 1601) of now.
int64_t NowFileTime();

} // namespace tonwell::platform::registry
