// Registry keys and values on the SQLite store: handles, paths, access checks
// and the exported W functions.
#include "registry/registry_core.h"

#include "registry/store.h"
#include "registry/text.h"
#include "security/descriptor.h"

#include <errhandlingapi.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <unordered_map>

namespace tonwell::platform::registry {
namespace {

namespace sec = security;

enum class Predefined { None, ClassesRoot, CurrentUser, LocalMachine, Users, PerformanceData, CurrentConfig, DynData };

Predefined PredefinedOf(HKEY h)
{
    if (h == HKEY_CLASSES_ROOT)
        return Predefined::ClassesRoot;
    if (h == HKEY_CURRENT_USER)
        return Predefined::CurrentUser;
    if (h == HKEY_LOCAL_MACHINE)
        return Predefined::LocalMachine;
    if (h == HKEY_USERS)
        return Predefined::Users;
    if (h == HKEY_PERFORMANCE_DATA)
        return Predefined::PerformanceData;
    if (h == HKEY_CURRENT_CONFIG)
        return Predefined::CurrentConfig;
    if (h == HKEY_DYN_DATA)
        return Predefined::DynData;
    return Predefined::None;
}

struct HandleEntry {
    int64_t key;
    ACCESS_MASK granted;
    uint64_t generation;
};

// Process-wide. Handle values are multiples of 4 and never reused, so a
// closed handle stays invalid.
struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, HandleEntry> entries;
    uintptr_t next = 0x1000;
    // The current user's hive has been made in store `hiveGeneration` for `hiveUid`.
    uint64_t hiveGeneration = 0;
    uid_t hiveUid = static_cast<uid_t>(-1);
};

HandleTable& Handles()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

HKEY NewHandle(int64_t key, ACCESS_MASK granted, uint64_t generation)
{
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.entries.emplace(value, HandleEntry{key, granted, generation});
    return reinterpret_cast<HKEY>(value);
}

struct KeyRow {
    int64_t id = 0;
    int64_t parent = 0;
    std::string name;
    std::optional<std::string> cls;
    std::vector<uint8_t> sdBytes;
    sec::Descriptor sd;
    bool isVolatile = false;
    int64_t depth = 0;
    int64_t written = 0;
};

KeyRow ReadRow(Statement& s)
{
    KeyRow row;
    row.id = s.Int(0);
    row.parent = s.Int(1);
    row.name = s.Text(2);
    if (!s.IsNull(3))
        row.cls = s.Text(3);
    row.sdBytes = s.Blob(4);
    if (!sec::Parse(row.sdBytes.data(), row.sdBytes.size(), row.sd))
        throw SqlError{SQLITE_CORRUPT};
    row.isVolatile = !s.IsNull(5);
    row.depth = s.Int(6);
    row.written = s.Int(7);
    return row;
}

std::optional<KeyRow> LoadKey(Transaction& tx, int64_t id)
{
    Statement s = tx.Prepare("SELECT id,parent,name,class,sd,boot,depth,written FROM keys WHERE id=?1");
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadRow(s);
}

std::optional<KeyRow> FindChild(Transaction& tx, int64_t parent, const std::string& fold)
{
    Statement s =
        tx.Prepare("SELECT id,parent,name,class,sd,boot,depth,written FROM keys WHERE parent=?1 AND fold=?2");
    s.Bind(1, parent).Bind(2, fold);
    if (!s.Step())
        return std::nullopt;
    return ReadRow(s);
}

std::string Fold(std::u16string_view name) { return regtext::ToStorage(regtext::Upcase(name)); }

std::optional<KeyRow> FindPath(Transaction& tx, std::initializer_list<const char*> folds)
{
    std::optional<KeyRow> row;
    int64_t parent = 0;
    for (const char* f : folds) {
        row = FindChild(tx, parent, f);
        if (!row)
            return std::nullopt;
        parent = row->id;
    }
    return row;
}

std::string UserHiveName(uid_t uid) { return sec::SidToString(sec::UserSid(uid)); }

std::optional<KeyRow> PredefinedRow(Transaction& tx, Predefined p)
{
    switch (p) {
    case Predefined::LocalMachine:
        return FindPath(tx, {"MACHINE"});
    case Predefined::Users:
        return FindPath(tx, {"USER"});
    case Predefined::ClassesRoot:
        return FindPath(tx, {"MACHINE", "SOFTWARE", "CLASSES"});
    case Predefined::CurrentConfig:
        return FindPath(tx, {"MACHINE", "SYSTEM", "CURRENTCONTROLSET", "HARDWARE PROFILES", "CURRENT"});
    case Predefined::CurrentUser: {
        std::string hive = UserHiveName(geteuid());
        return FindPath(tx, {"USER", hive.c_str()});
    }
    default:
        return std::nullopt;
    }
}

// The current user's hive, HKEY_USERS\S-1-22-1-<uid>, is made on first use.
LONG EnsureUserHive()
{
    uid_t uid = geteuid();
    LONG status = RunTransaction(false, [&](Transaction& tx) -> LONG {
        HandleTable& t = Handles();
        {
            std::lock_guard<std::mutex> guard(t.lock);
            if (t.hiveGeneration == tx.StoreGeneration() && t.hiveUid == uid)
                return ERROR_SUCCESS;
        }
        return PredefinedRow(tx, Predefined::CurrentUser) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (status == ERROR_FILE_NOT_FOUND) {
        status = RunTransaction(true, [&](Transaction& tx) -> LONG {
            if (PredefinedRow(tx, Predefined::CurrentUser))
                return ERROR_SUCCESS;
            if (!tx.Writable())
                return ERROR_FILE_NOT_FOUND;
            std::optional<KeyRow> users = FindPath(tx, {"USER"});
            if (!users)
                return ERROR_FILE_NOT_FOUND;
            std::string hive = UserHiveName(uid);
            std::vector<uint8_t> sd = sec::Serialize(sec::UserHiveDescriptor(uid, getegid()));
            Statement s = tx.Prepare("INSERT INTO keys(parent,name,fold,class,sd,boot,depth,written) "
                                     "VALUES(?1,?2,?3,NULL,?4,NULL,1,?5)");
            s.Bind(1, users->id).Bind(2, hive).Bind(3, Fold(regtext::FromStorage(hive)));
            s.BindBlob(4, sd.data(), sd.size()).Bind(5, NowFileTime());
            s.Step();
            return ERROR_SUCCESS;
        });
    }
    if (status == ERROR_SUCCESS) {
        RunTransaction(false, [&](Transaction& tx) -> LONG {
            HandleTable& t = Handles();
            std::lock_guard<std::mutex> guard(t.lock);
            t.hiveGeneration = tx.StoreGeneration();
            t.hiveUid = uid;
            return ERROR_SUCCESS;
        });
    }
    return status;
}

struct Target {
    KeyRow row;
    ACCESS_MASK granted = 0;
    bool predefined = false;
};

LONG Resolve(Transaction& tx, HKEY h, const sec::Caller& caller, Target& target)
{
    Predefined p = PredefinedOf(h);
    if (p != Predefined::None) {
        std::optional<KeyRow> row = PredefinedRow(tx, p);
        if (!row)
            return ERROR_FILE_NOT_FOUND;
        target.row = std::move(*row);
        target.predefined = true;
        ACCESS_MASK granted = 0;
        if (sec::AccessCheck(target.row.sd, caller, MAXIMUM_ALLOWED, sec::kKeyMapping, granted) != ERROR_SUCCESS)
            granted = 0;
        target.granted = granted;
        return ERROR_SUCCESS;
    }
    HandleEntry entry{};
    {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.entries.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.entries.end() || it->second.generation != tx.StoreGeneration())
            return ERROR_INVALID_HANDLE;
        entry = it->second;
    }
    std::optional<KeyRow> row = LoadKey(tx, entry.key);
    if (!row)
        return ERROR_KEY_DELETED;
    target.row = std::move(*row);
    target.granted = entry.granted;
    return ERROR_SUCCESS;
}

// "a\b\c" into its names. A leading backslash is refused; trailing ones are
// ignored; an empty name in between is refused.
LONG SplitPath(const std::u16string* path, std::vector<std::u16string>& parts)
{
    parts.clear();
    if (!path || path->empty())
        return ERROR_SUCCESS;
    const std::u16string& s = *path;
    if (s[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    size_t end = s.size();
    while (end > 0 && s[end - 1] == u'\\')
        --end;
    size_t start = 0;
    while (start < end) {
        size_t sep = s.find(u'\\', start);
        if (sep == std::u16string::npos || sep > end)
            sep = end;
        if (sep == start)
            return ERROR_BAD_PATHNAME;
        if (sep - start > TONWELL_REG_MAX_KEY_NAME)
            return ERROR_INVALID_PARAMETER;
        parts.emplace_back(s, start, sep - start);
        start = sep + 1;
    }
    if (parts.size() > TONWELL_REG_MAX_DEPTH)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

LONG Walk(Transaction& tx, KeyRow start, const std::vector<std::u16string>& parts, KeyRow& out)
{
    KeyRow cur = std::move(start);
    for (const auto& part : parts) {
        std::optional<KeyRow> child = FindChild(tx, cur.id, Fold(part));
        if (!child)
            return ERROR_FILE_NOT_FOUND;
        cur = std::move(*child);
    }
    out = std::move(cur);
    return ERROR_SUCCESS;
}

ACCESS_MASK MapRequest(REGSAM sam)
{
    DWORD mask = sam & ~(KEY_WOW64_RES | MAXIMUM_ALLOWED);
    MapGenericMask(&mask, &sec::kKeyMapping);
    if (sam & MAXIMUM_ALLOWED)
        mask |= KEY_ALL_ACCESS;
    return mask;
}

LONG CheckOpen(const KeyRow& row, const sec::Caller& caller, REGSAM sam, ACCESS_MASK& granted)
{
    return sec::AccessCheck(row.sd, caller, sam & ~KEY_WOW64_RES, sec::kKeyMapping, granted);
}

// The keys that a predefined handle stands for are never deleted.
bool IsProtectedKey(Transaction& tx, const KeyRow& row)
{
    if (row.parent == 0)
        return true;
    for (Predefined p : {Predefined::ClassesRoot, Predefined::CurrentConfig}) {
        std::optional<KeyRow> r = PredefinedRow(tx, p);
        if (r && r->id == row.id)
            return true;
    }
    std::optional<KeyRow> users = FindPath(tx, {"USER"});
    return users && users->id == row.parent;
}

void Touch(Transaction& tx, int64_t key)
{
    Statement s = tx.Prepare("UPDATE keys SET written=?2 WHERE id=?1");
    s.Bind(1, key).Bind(2, NowFileTime());
    s.Step();
}

LONG CheckRight(const Target& t, ACCESS_MASK right) { return (t.granted & right) == right ? 0 : ERROR_ACCESS_DENIED; }

} // namespace

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void SetFileTime(PFILETIME ft, int64_t value)
{
    if (!ft)
        return;
    ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(value));
    ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
}

LONG CreateKey(HKEY hKey, const std::u16string* subKey, const std::u16string* cls, DWORD options, REGSAM sam,
               const SECURITY_ATTRIBUTES* sa, HKEY* result, DWORD* disposition)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    if (p == Predefined::PerformanceData)
        return ERROR_ACCESS_DENIED;
    if (options & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE))
        return ERROR_INVALID_PARAMETER;
    std::optional<sec::Descriptor> explicitSd;
    if (sa && sa->lpSecurityDescriptor) {
        size_t length = sec::Length(sa->lpSecurityDescriptor);
        sec::Descriptor parsed;
        if (!length || !sec::Parse(sa->lpSecurityDescriptor, length, parsed))
            return ERROR_INVALID_SECURITY_DESCR;
        explicitSd = std::move(parsed);
    }
    std::vector<std::u16string> parts;
    if (LONG status = SplitPath(subKey, parts))
        return status;
    if (p == Predefined::CurrentUser) {
        if (LONG status = EnsureUserHive())
            return status;
    }
    sec::Caller caller = sec::CurrentCaller();
    int64_t key = 0;
    ACCESS_MASK granted = 0;
    uint64_t generation = 0;
    bool created = false;
    LONG status = RunTransaction(true, [&](Transaction& tx) -> LONG {
        created = false;
        generation = tx.StoreGeneration();
        Target t;
        if (LONG s = Resolve(tx, hKey, caller, t))
            return s;
        KeyRow cur = t.row;
        bool curIsHandleKey = true;
        bool curIsNew = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string fold = Fold(parts[i]);
            if (std::optional<KeyRow> child = FindChild(tx, cur.id, fold)) {
                cur = std::move(*child);
                curIsHandleKey = false;
                curIsNew = false;
                continue;
            }
            if (!tx.Writable())
                return ERROR_ACCESS_DENIED;
            if (!curIsNew) {
                if (curIsHandleKey) {
                    if (CheckRight(t, KEY_CREATE_SUB_KEY))
                        return ERROR_ACCESS_DENIED;
                } else {
                    ACCESS_MASK g = 0;
                    if (sec::AccessCheck(cur.sd, caller, KEY_CREATE_SUB_KEY, sec::kKeyMapping, g))
                        return ERROR_ACCESS_DENIED;
                }
            }
            bool makeVolatile = (options & REG_OPTION_VOLATILE) != 0;
            if (cur.isVolatile && !makeVolatile)
                return ERROR_CHILD_MUST_BE_VOLATILE;
            if (cur.depth + 1 > TONWELL_REG_MAX_DEPTH)
                return ERROR_INVALID_PARAMETER;
            sec::Descriptor sd = sec::ForNewChild(&cur.sd, explicitSd ? &*explicitSd : nullptr, caller);
            std::vector<uint8_t> sdBytes = sec::Serialize(sd);
            bool last = i + 1 == parts.size();
            Statement s = tx.Prepare("INSERT INTO keys(parent,name,fold,class,sd,boot,depth,written) "
                                     "VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
            s.Bind(1, cur.id).Bind(2, regtext::ToStorage(parts[i])).Bind(3, fold);
            if (last && cls && !cls->empty())
                s.Bind(4, regtext::ToStorage(*cls));
            else
                s.BindNull(4);
            s.BindBlob(5, sdBytes.data(), sdBytes.size());
            if (makeVolatile)
                s.Bind(6, tx.BootId());
            else
                s.BindNull(6);
            s.Bind(7, cur.depth + 1).Bind(8, NowFileTime());
            s.Step();
            KeyRow row;
            row.id = tx.LastInsertId();
            row.parent = cur.id;
            row.sd = std::move(sd);
            row.isVolatile = makeVolatile;
            row.depth = cur.depth + 1;
            cur = std::move(row);
            curIsHandleKey = false;
            curIsNew = true;
            created = true;
        }
        key = cur.id;
        if (created) {
            // The creator gets what it asked for, whatever the new descriptor says.
            granted = MapRequest(sam);
            return ERROR_SUCCESS;
        }
        return CheckOpen(cur, caller, sam, granted);
    });
    if (status != ERROR_SUCCESS)
        return status;
    *result = NewHandle(key, granted, generation);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG OpenKey(HKEY hKey, const std::u16string* subKey, DWORD options, REGSAM sam, HKEY* result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData) {
        if (subKey && !subKey->empty())
            return ERROR_FILE_NOT_FOUND;
        *result = HKEY_PERFORMANCE_DATA;
        return ERROR_SUCCESS;
    }
    if (options & ~REG_OPTION_OPEN_LINK)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string> parts;
    if (LONG status = SplitPath(subKey, parts))
        return status;
    if (p == Predefined::CurrentUser) {
        if (LONG status = EnsureUserHive())
            return status;
    }
    sec::Caller caller = sec::CurrentCaller();
    int64_t key = 0;
    ACCESS_MASK granted = 0;
    uint64_t generation = 0;
    LONG status = RunTransaction(false, [&](Transaction& tx) -> LONG {
        generation = tx.StoreGeneration();
        Target t;
        if (LONG s = Resolve(tx, hKey, caller, t))
            return s;
        KeyRow row;
        if (LONG s = Walk(tx, t.row, parts, row))
            return s;
        key = row.id;
        return CheckOpen(row, caller, sam, granted);
    });
    if (status != ERROR_SUCCESS)
        return status;
    *result = NewHandle(key, granted, generation);
    return ERROR_SUCCESS;
}

LONG CloseKey(HKEY hKey)
{
    if (PredefinedOf(hKey) != Predefined::None)
        return ERROR_SUCCESS;
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.entries.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace {

// Runs `body` on the key behind a handle, after the handle checks every
// operation shares.
template <typename Body>
LONG WithKey(HKEY hKey, bool write, Body&& body)
{
    if (PredefinedOf(hKey) == Predefined::CurrentUser) {
        if (LONG status = EnsureUserHive())
            return status;
    }
    sec::Caller caller = sec::CurrentCaller();
    return RunTransaction(write, [&](Transaction& tx) -> LONG {
        Target t;
        if (LONG s = Resolve(tx, hKey, caller, t))
            return s;
        return body(tx, t, caller);
    });
}

} // namespace

LONG SetValue(HKEY hKey, const std::u16string& name, DWORD type, const uint8_t* data, size_t size)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_ACCESS_DENIED;
    if (!data && size)
        return ERROR_INVALID_PARAMETER;
    if (name.size() > TONWELL_REG_MAX_VALUE_NAME)
        return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, true, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_SET_VALUE) || !tx.Writable())
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?3,?4,?5) "
                                 "ON CONFLICT(key,fold) DO UPDATE SET type=excluded.type, data=excluded.data");
        s.Bind(1, t.row.id).Bind(2, regtext::ToStorage(name)).Bind(3, Fold(name)).Bind(4, static_cast<int64_t>(type));
        s.BindBlob(5, data, size);
        s.Step();
        Touch(tx, t.row.id);
        return ERROR_SUCCESS;
    });
}

LONG QueryValue(HKEY hKey, const std::u16string& name, ValueData& value)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_FILE_NOT_FOUND;
    return WithKey(hKey, false, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_QUERY_VALUE))
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("SELECT type,data FROM vals WHERE key=?1 AND fold=?2");
        s.Bind(1, t.row.id).Bind(2, Fold(name));
        if (!s.Step())
            return ERROR_FILE_NOT_FOUND;
        value.type = static_cast<DWORD>(s.Int(0));
        value.data = s.Blob(1);
        return ERROR_SUCCESS;
    });
}

LONG DeleteValue(HKEY hKey, const std::u16string& name)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_FILE_NOT_FOUND;
    return WithKey(hKey, true, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_SET_VALUE))
            return ERROR_ACCESS_DENIED;
        Statement find = tx.Prepare("SELECT 1 FROM vals WHERE key=?1 AND fold=?2");
        find.Bind(1, t.row.id).Bind(2, Fold(name));
        if (!find.Step())
            return ERROR_FILE_NOT_FOUND;
        if (!tx.Writable())
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("DELETE FROM vals WHERE key=?1 AND fold=?2");
        s.Bind(1, t.row.id).Bind(2, Fold(name));
        s.Step();
        Touch(tx, t.row.id);
        return ERROR_SUCCESS;
    });
}

LONG DeleteKey(HKEY hKey, const std::u16string* subKey)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (!subKey)
        return ERROR_INVALID_PARAMETER;
    if (p == Predefined::PerformanceData)
        return ERROR_FILE_NOT_FOUND;
    std::vector<std::u16string> parts;
    if (LONG status = SplitPath(subKey, parts))
        return status;
    return WithKey(hKey, true, [&](Transaction& tx, Target& t, const sec::Caller& caller) -> LONG {
        KeyRow row;
        if (LONG s = Walk(tx, t.row, parts, row))
            return s;
        if (IsProtectedKey(tx, row))
            return ERROR_ACCESS_DENIED;
        ACCESS_MASK granted = 0;
        if (sec::AccessCheck(row.sd, caller, DELETE, sec::kKeyMapping, granted))
            return ERROR_ACCESS_DENIED;
        Statement children = tx.Prepare("SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
        children.Bind(1, row.id);
        if (children.Step())
            return ERROR_ACCESS_DENIED;
        if (!tx.Writable())
            return ERROR_ACCESS_DENIED;
        Statement values = tx.Prepare("DELETE FROM vals WHERE key=?1");
        values.Bind(1, row.id);
        values.Step();
        Statement key = tx.Prepare("DELETE FROM keys WHERE id=?1");
        key.Bind(1, row.id);
        key.Step();
        Touch(tx, row.parent);
        return ERROR_SUCCESS;
    });
}

LONG EnumKey(HKEY hKey, DWORD index, KeyEntry& entry)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_NO_MORE_ITEMS;
    return WithKey(hKey, false, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_ENUMERATE_SUB_KEYS))
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("SELECT name,class,written FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 "
                                 "OFFSET ?2");
        s.Bind(1, t.row.id).Bind(2, static_cast<int64_t>(index));
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        entry.name = regtext::FromStorage(s.Text(0));
        entry.cls = s.IsNull(1) ? std::u16string() : regtext::FromStorage(s.Text(1));
        entry.written = s.Int(2);
        return ERROR_SUCCESS;
    });
}

LONG EnumValue(HKEY hKey, DWORD index, ValueEntry& entry)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_NO_MORE_ITEMS;
    return WithKey(hKey, false, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_QUERY_VALUE))
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("SELECT name,type,data FROM vals WHERE key=?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        s.Bind(1, t.row.id).Bind(2, static_cast<int64_t>(index));
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        entry.name = regtext::FromStorage(s.Text(0));
        entry.value.type = static_cast<DWORD>(s.Int(1));
        entry.value.data = s.Blob(2);
        return ERROR_SUCCESS;
    });
}

LONG QueryInfo(HKEY hKey, KeyInfo& info)
{
    info = KeyInfo{};
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return ERROR_SUCCESS;
    return WithKey(hKey, false, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_QUERY_VALUE))
            return ERROR_ACCESS_DENIED;
        info = KeyInfo{};
        if (t.row.cls) {
            info.cls = regtext::FromStorage(*t.row.cls);
        }
        info.sdLen = static_cast<DWORD>(t.row.sdBytes.size());
        info.written = t.row.written;
        Statement keys = tx.Prepare("SELECT name,class FROM keys WHERE parent=?1");
        keys.Bind(1, t.row.id);
        while (keys.Step()) {
            ++info.subKeys;
            std::u16string name = regtext::FromStorage(keys.Text(0));
            info.maxSubKeyLen = std::max<DWORD>(info.maxSubKeyLen, static_cast<DWORD>(name.size()));
            info.maxSubKeyLenA =
                std::max<DWORD>(info.maxSubKeyLenA, static_cast<DWORD>(regtext::Utf16ToUtf8(name).size()));
            if (!keys.IsNull(1))
                info.maxClassLen = std::max<DWORD>(
                    info.maxClassLen, static_cast<DWORD>(regtext::FromStorage(keys.Text(1)).size()));
        }
        Statement values = tx.Prepare("SELECT name,type,data FROM vals WHERE key=?1");
        values.Bind(1, t.row.id);
        while (values.Step()) {
            ++info.values;
            std::u16string name = regtext::FromStorage(values.Text(0));
            std::vector<uint8_t> data = values.Blob(2);
            info.maxValueNameLen = std::max<DWORD>(info.maxValueNameLen, static_cast<DWORD>(name.size()));
            info.maxValueNameLenA =
                std::max<DWORD>(info.maxValueNameLenA, static_cast<DWORD>(regtext::Utf16ToUtf8(name).size()));
            info.maxValueLen = std::max<DWORD>(info.maxValueLen, static_cast<DWORD>(data.size()));
            DWORD sizeA = static_cast<DWORD>(data.size());
            if (IsStringType(static_cast<DWORD>(values.Int(1)))) {
                std::u16string units(data.size() / 2, u'\0');
                std::memcpy(units.data(), data.data(), units.size() * 2);
                sizeA = static_cast<DWORD>(regtext::Utf16ToUtf8(units).size());
            }
            info.maxValueLenA = std::max(info.maxValueLenA, sizeA);
        }
        return ERROR_SUCCESS;
    });
}

LONG GetKeySecurity(HKEY hKey, SECURITY_INFORMATION info, std::vector<uint8_t>& sd)
{
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::DynData || p == Predefined::PerformanceData)
        return ERROR_INVALID_HANDLE;
    return WithKey(hKey, false, [&](Transaction&, Target& t, const sec::Caller& caller) -> LONG {
        if (CheckRight(t, READ_CONTROL))
            return ERROR_ACCESS_DENIED;
        if ((info & SACL_SECURITY_INFORMATION) && !caller.superuser)
            return ERROR_ACCESS_DENIED; // the audit list is the superuser's
        sec::Descriptor out;
        out.control = t.row.sd.control;
        if (info & OWNER_SECURITY_INFORMATION)
            out.owner = t.row.sd.owner;
        if (info & GROUP_SECURITY_INFORMATION)
            out.group = t.row.sd.group;
        if (info & DACL_SECURITY_INFORMATION) {
            out.daclPresent = t.row.sd.daclPresent;
            out.daclNull = t.row.sd.daclNull;
            out.dacl = t.row.sd.dacl;
        }
        if (info & SACL_SECURITY_INFORMATION) {
            out.saclPresent = t.row.sd.saclPresent;
            out.sacl = t.row.sd.sacl;
        }
        sd = sec::Serialize(out);
        return ERROR_SUCCESS;
    });
}

} // namespace tonwell::platform::registry

// ---------------------------------------------------------------------------
// The exported W functions.

using namespace tonwell::platform;
using namespace tonwell::platform::registry;

namespace {

std::optional<std::u16string> Opt(LPCWSTR s)
{
    if (!s)
        return std::nullopt;
    return std::u16string(s);
}

// Copies a name into a caller's buffer of *cch characters (NUL included).
LONG PutName(const std::u16string& name, LPWSTR buffer, LPDWORD cch)
{
    if (name.size() + 1 > *cch)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// The size protocol of value data: size only with no buffer, ERROR_MORE_DATA
// with the size needed when the buffer is short.
LONG PutData(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD cb)
{
    if (!cb)
        return ERROR_SUCCESS;
    DWORD available = *cb;
    *cb = static_cast<DWORD>(data.size());
    if (!buffer)
        return ERROR_SUCCESS;
    if (data.size() > available)
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

} // namespace

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    try {
        auto sub = Opt(lpSubKey);
        auto cls = Opt(lpClass);
        return CreateKey(hKey, sub ? &*sub : nullptr, cls ? &*cls : nullptr, dwOptions, samDesired,
                         lpSecurityAttributes, phkResult, lpdwDisposition);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    try {
        auto sub = Opt(lpSubKey);
        return OpenKey(hKey, sub ? &*sub : nullptr, ulOptions, samDesired, phkResult);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegCloseKey(HKEY hKey) { return CloseKey(hKey); }

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    try {
        return SetValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string(), dwType, lpData, cbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    try {
        ValueData value;
        LONG status = QueryValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string(), value);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpType)
            *lpType = value.type;
        return PutData(value.data, lpData, lpcbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    try {
        return DeleteValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string());
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    try {
        auto sub = Opt(lpSubKey);
        return DeleteKey(hKey, sub ? &*sub : nullptr);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    try {
        KeyEntry entry;
        LONG status = EnumKey(hKey, dwIndex, entry);
        if (status != ERROR_SUCCESS)
            return status;
        if (LONG s = PutName(entry.name, lpName, lpcchName))
            return s;
        if (lpClass) {
            if (LONG s = PutName(entry.cls, lpClass, lpcchClass))
                return s;
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(entry.cls.size());
        }
        SetFileTime(lpftLastWriteTime, entry.written);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    try {
        ValueEntry entry;
        LONG status = EnumValue(hKey, dwIndex, entry);
        if (status != ERROR_SUCCESS)
            return status;
        if (LONG s = PutName(entry.name, lpValueName, lpcchValueName))
            return s;
        if (lpType)
            *lpType = entry.value.type;
        return PutData(entry.value.data, lpData, lpcbData);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    try {
        KeyInfo info;
        LONG status = QueryInfo(hKey, info);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpClass) {
            if (LONG s = PutName(info.cls, lpClass, lpcchClass)) {
                *lpcchClass = static_cast<DWORD>(info.cls.size());
                return s;
            }
        } else if (lpcchClass) {
            *lpcchClass = static_cast<DWORD>(info.cls.size());
        }
        if (lpcSubKeys)
            *lpcSubKeys = info.subKeys;
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = info.maxSubKeyLen;
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = info.maxClassLen;
        if (lpcValues)
            *lpcValues = info.values;
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = info.maxValueNameLen;
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = info.maxValueLen;
        if (lpcbSecurityDescriptor)
            *lpcbSecurityDescriptor = info.sdLen;
        SetFileTime(lpftLastWriteTime, info.written);
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor)
{
    if (!lpcbSecurityDescriptor)
        return ERROR_INVALID_PARAMETER;
    try {
        std::vector<uint8_t> sd;
        LONG status = GetKeySecurity(hKey, SecurityInformation, sd);
        if (status != ERROR_SUCCESS)
            return status;
        DWORD available = *lpcbSecurityDescriptor;
        *lpcbSecurityDescriptor = static_cast<DWORD>(sd.size());
        if (!pSecurityDescriptor || available < sd.size())
            return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(pSecurityDescriptor, sd.data(), sd.size());
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
