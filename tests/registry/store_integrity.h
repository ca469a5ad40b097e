// SQLite's own verdict on a registry store file, read apart from the platform so
// that a store the platform would repair or refuse still gets checked as it is.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace tonwell::test {

// "ok" for a sound store; the first problem SQLite reports otherwise, or
// "cannot open". Opens the file read-only; needs the sqlite3 library.
inline std::string IntegrityCheck(const std::filesystem::path& store)
{
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

} // namespace tonwell::test
