// Registry keys and values on the SQLite store: handles, paths, access checks
// and the exported W functions.
#include "registry/registry_core.h"

#include "boundary.h"
#include "registry/store.h"
#include "security/descriptor.h"
#include "text/utf.h"

#include <errhandlingapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace tonwell::platform::registry {
namespace {

namespace sec = security;

enum class Predefined { None, ClassesRoot, CurrentUser, LocalMachine, Users, PerformanceData, CurrentConfig, DynData };

Predefined PredefinedOf(HKEY h)
{
    static const std::pair<HKEY, Predefined> kPredefined[] = {
        {HKEY_CLASSES_ROOT, Predefined::ClassesRoot},
        {HKEY_CURRENT_USER, Predefined::CurrentUser},
        {HKEY_LOCAL_MACHINE, Predefined::LocalMachine},
        {HKEY_USERS, Predefined::Users},
        {HKEY_PERFORMANCE_DATA, Predefined::PerformanceData},
        {HKEY_CURRENT_CONFIG, Predefined::CurrentConfig},
        {HKEY_DYN_DATA, Predefined::DynData},
    };
    for (const auto& [key, which] : kPredefined)
        if (h == key)
            return which;
    return Predefined::None;
}

struct HandleEntry {
    int64_t key;
    ACCESS_MASK granted;
    uint64_t generation;
    StoreId store;
    bool usersRoot = false; // the key of HKEY_USERS: hive names below it lead to the hives
    // The platform transaction the key was opened in; what is done through
    // the handle, and what is opened from it, is part of that transaction.
    std::shared_ptr<PlatformTransaction> within;
};

// Process-wide. Handle values are multiples of 4 and never reused, so a
// closed handle stays invalid.
struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, HandleEntry> entries;
    uintptr_t next = 0x1000;
};

HandleTable& Handles()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

HKEY NewHandle(HandleEntry entry)
{
    HandleTable& t = Handles();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.entries.emplace(value, std::move(entry));
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

// Names are stored as generalised UTF-8, so that every UTF-16 name, lone
// surrogates included, comes back exactly as it was given.
std::string ToStorage(std::u16string_view s)
{
    std::string out;
    text::Utf16ToUtf8(s, out, text::Invalid::Keep);
    return out;
}

std::u16string FromStorage(std::string_view s)
{
    std::u16string out;
    text::Utf8ToUtf16(s, out, text::Invalid::Keep);
    return out;
}

// The stored form of a name's folding, by which siblings are told apart.
std::string Fold(std::u16string_view name) { return ToStorage(text::Fold(name)); }

// ---------------------------------------------------------------------------
// Keeping the folded names current. A store remembers the folding version its
// fold columns were computed with (table "folding"); a store from before a
// change of the folding has them recomputed, once, on its first use.
//
// A change of folding can make two siblings that were distinct fold alike.
// Neither is renamed, merged or dropped: a name whose fold did not change
// keeps it (else the one made first takes it), and the others become
// "shadowed": their fold is kShadow followed by their exact stored name (a
// byte no UTF-8 text contains, so no folded name can equal it). A shadowed
// key or value keeps its data, is listed by enumeration, and is reached by
// its exact spelling; any other spelling reaches the sibling that holds the
// folded name.

constexpr char kShadow = '\xFF';

struct FoldingState {
    std::mutex lock;
    // The stores (by generation) whose folds are known to be current, and
    // whether each has shadowed names.
    std::map<uint64_t, bool> current;
};

FoldingState& Folding()
{
    static FoldingState* state = new FoldingState;
    return *state;
}

bool HasShadows(Transaction& tx)
{
    FoldingState& f = Folding();
    std::lock_guard<std::mutex> guard(f.lock);
    auto it = f.current.find(tx.StoreGeneration());
    return it != f.current.end() && it->second;
}

// The fold under which `name` is found among the children of `parent` (a key
// id in table `keys`, or the key of values in table `vals`).
std::string FoldIn(Transaction& tx, bool values, int64_t parent, std::u16string_view name)
{
    if (HasShadows(tx)) {
        std::string shadow = kShadow + ToStorage(name);
        Statement s = tx.Prepare(values ? "SELECT 1 FROM vals WHERE key=?1 AND fold=?2"
                                        : "SELECT 1 FROM keys WHERE parent=?1 AND fold=?2");
        s.Bind(1, parent).Bind(2, shadow);
        if (s.Step())
            return shadow;
    }
    return Fold(name);
}

// Recomputes the fold column of one table. Returns whether any name is shadowed.
bool Refold(Transaction& tx, bool values)
{
    const char* update = values ? "UPDATE vals SET fold=?2 WHERE rowid=?1" : "UPDATE keys SET fold=?2 WHERE id=?1";
    auto setFold = [&](int64_t id, const std::string& fold) {
        Statement s = tx.Prepare(update);
        s.Bind(1, id).Bind(2, fold);
        s.Step();
    };
    struct Row {
        int64_t id, parent;
        std::string name;
    };
    std::vector<Row> changed;
    {
        Statement scan = tx.Prepare(values ? "SELECT rowid,key,name,fold FROM vals ORDER BY rowid"
                                           : "SELECT id,parent,name,fold FROM keys ORDER BY id");
        while (scan.Step()) {
            if (Fold(FromStorage(scan.Text(2))) != scan.Text(3))
                changed.push_back(Row{scan.Int(0), scan.Int(1), scan.Text(2)});
        }
    }
    // Out of the way first, so that no intermediate state breaks uniqueness:
    // a fold beginning with 0xFE is as impossible for a name as kShadow.
    for (const Row& row : changed)
        setFold(row.id, "\xFE" + std::to_string(row.id));
    bool shadows = false;
    for (const Row& row : changed) {
        std::string fold = Fold(FromStorage(row.name));
        bool clash;
        {
            Statement taken = tx.Prepare(values ? "SELECT 1 FROM vals WHERE key=?1 AND fold=?2"
                                                : "SELECT 1 FROM keys WHERE parent=?1 AND fold=?2");
            taken.Bind(1, row.parent).Bind(2, fold);
            clash = taken.Step();
        }
        if (clash) {
            fold = kShadow + row.name;
            shadows = true;
        }
        setFold(row.id, fold);
    }
    // Names shadowed by an earlier folding stay shadowed while they still clash.
    Statement left = tx.Prepare(values ? "SELECT 1 FROM vals WHERE fold>=?1 LIMIT 1"
                                       : "SELECT 1 FROM keys WHERE fold>=?1 LIMIT 1");
    left.Bind(1, std::string(1, kShadow));
    return shadows || left.Step();
}

// Makes sure the folds of `store` (the machine store or a user's hive) are
// those of text::Fold. A store that cannot be written is read as it is.
LONG EnsureFolding(const StoreId& store)
{
    FoldingState& f = Folding();
    bool current = false, shadows = false, stale = false;
    uint64_t generation = 0;
    LONG status = RunTransaction(store, false, [&](Transaction& tx) -> LONG {
        generation = tx.StoreGeneration();
        {
            std::lock_guard<std::mutex> guard(f.lock);
            if (f.current.count(generation)) {
                current = true;
                return ERROR_SUCCESS;
            }
        }
        Statement table = tx.Prepare("SELECT 1 FROM sqlite_master WHERE type='table' AND name='folding'");
        if (table.Step()) {
            Statement s = tx.Prepare("SELECT version,shadows FROM folding");
            if (s.Step() && s.Int(0) == text::kFoldingVersion) {
                shadows = s.Int(1) != 0;
                return ERROR_SUCCESS;
            }
        }
        stale = tx.Writable();
        return ERROR_SUCCESS;
    });
    if (status == ERROR_FILE_NOT_FOUND || current)
        return ERROR_SUCCESS; // a store that holds nothing has nothing to fold
    if (status != ERROR_SUCCESS)
        return status;
    if (stale) {
        status = RunTransaction(store, true, [&](Transaction& tx) -> LONG {
            generation = tx.StoreGeneration();
            if (!tx.Writable())
                return ERROR_ACCESS_DENIED;
            tx.Exec("CREATE TABLE IF NOT EXISTS folding(version INTEGER NOT NULL, shadows INTEGER NOT NULL)");
            Statement s = tx.Prepare("SELECT version,shadows FROM folding");
            if (s.Step() && s.Int(0) == text::kFoldingVersion) {
                shadows = s.Int(1) != 0; // another process was first
                return ERROR_SUCCESS;
            }
            bool keyShadows = Refold(tx, false);
            bool valueShadows = Refold(tx, true);
            shadows = keyShadows || valueShadows;
            tx.Exec("DELETE FROM folding");
            Statement put = tx.Prepare("INSERT INTO folding(version,shadows) VALUES(?1,?2)");
            put.Bind(1, int64_t(text::kFoldingVersion)).Bind(2, int64_t(shadows ? 1 : 0));
            put.Step();
            return ERROR_SUCCESS;
        });
        if (status != ERROR_SUCCESS)
            return status;
    }
    std::lock_guard<std::mutex> guard(f.lock);
    f.current[generation] = shadows;
    return ERROR_SUCCESS;
}

bool FoldingKnown(Transaction& tx)
{
    FoldingState& f = Folding();
    std::lock_guard<std::mutex> guard(f.lock);
    return f.current.count(tx.StoreGeneration()) != 0;
}

// RunTransaction for operations that look names up: the first use of a store
// brings its folded names up to date before the body runs. Within a platform
// transaction the folding is made current first, on the store's own
// connection, so that the transaction never has to be rerun.
LONG Run(const StoreId& store, bool write, const std::function<LONG(Transaction&)>& body,
         PlatformTransaction* within = nullptr)
{
    if (within) {
        if (LONG s = EnsureFolding(store))
            return s;
        return RunTransaction(store, write, body, within);
    }
    bool stale = false;
    LONG status = RunTransaction(store, write, [&](Transaction& tx) -> LONG {
        stale = !FoldingKnown(tx);
        return stale ? ERROR_TIMEOUT : body(tx); // any failure rolls back; `stale` tells why
    });
    if (!stale)
        return status;
    if (LONG s = EnsureFolding(store))
        return s;
    return RunTransaction(store, write, body);
}

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
        return FindPath(tx, {hive.c_str()});
    }
    default:
        return std::nullopt;
    }
}

struct Target {
    KeyRow row;
    ACCESS_MASK granted = 0;
};

// Where an operation starts: the store it runs on, and the key there.
struct Start {
    HKEY handle = nullptr;
    StoreId store;
    std::shared_ptr<PlatformTransaction> within;
    // The root of this user's hive, reached through HKEY_USERS.
    std::optional<uid_t> hiveRoot;
};

// Finds the store of `hKey`; a path from HKEY_USERS that begins with a hive
// name leads into that hive, and loses that name.
LONG Locate(HKEY hKey, std::vector<std::u16string>* parts, Start& start)
{
    start.handle = hKey;
    bool usersRoot = false;
    Predefined p = PredefinedOf(hKey);
    if (p == Predefined::CurrentUser) {
        start.store = StoreId::HiveOf(geteuid());
    } else if (p != Predefined::None) {
        start.store = StoreId::Machine();
        usersRoot = p == Predefined::Users;
    } else {
        HandleTable& t = Handles();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.entries.find(reinterpret_cast<uintptr_t>(hKey));
        if (it == t.entries.end())
            return ERROR_INVALID_HANDLE;
        start.store = it->second.store;
        start.within = it->second.within;
        usersRoot = it->second.usersRoot;
    }
    if (usersRoot && parts && !parts->empty()) {
        const std::u16string& first = parts->front();
        bool ascii = std::all_of(first.begin(), first.end(), [](char16_t c) { return c < 0x80; });
        if (std::optional<uid_t> uid = ascii ? HiveUser(std::string(first.begin(), first.end())) : std::nullopt) {
            start.store = StoreId::HiveOf(*uid);
            start.hiveRoot = *uid;
            parts->erase(parts->begin());
        }
    }
    return ERROR_SUCCESS;
}

bool IsUsersRoot(const Transaction& tx, const KeyRow& row)
{
    return !tx.Store().hive && row.parent == 0 && row.name == "USER";
}

LONG Resolve(Transaction& tx, const Start& start, const sec::Caller& caller, Target& target)
{
    HKEY h = start.handle;
    Predefined p = PredefinedOf(h);
    if (p != Predefined::None || start.hiveRoot) {
        std::optional<KeyRow> row =
            start.hiveRoot ? FindPath(tx, {UserHiveName(*start.hiveRoot).c_str()}) : PredefinedRow(tx, p);
        if (!row)
            return ERROR_FILE_NOT_FOUND;
        target.row = std::move(*row);
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
        std::optional<KeyRow> child = FindChild(tx, cur.id, FoldIn(tx, false, cur.id, part));
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

// The subkeys of HKEY_USERS, by name: the keys below it in the machine store
// and the users' hives.
std::vector<KeyEntry> UsersChildren(Transaction& tx, int64_t usersKey)
{
    std::vector<std::pair<std::string, KeyEntry>> all;
    Statement s = tx.Prepare("SELECT name,class,written,fold FROM keys WHERE parent=?1");
    s.Bind(1, usersKey);
    while (s.Step()) {
        if (HiveUser(s.Text(0)))
            continue; // hidden by the hive of that name
        KeyEntry entry{FromStorage(s.Text(0)),
                       s.IsNull(1) ? std::u16string() : FromStorage(s.Text(1)), s.Int(2)};
        all.emplace_back(s.Text(3), std::move(entry));
    }
    for (uid_t uid : ExistingHives()) {
        std::string name = UserHiveName(uid);
        all.emplace_back(name, KeyEntry{FromStorage(name), {}, 0});
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<KeyEntry> out;
    for (auto& [fold, entry] : all)
        out.push_back(std::move(entry));
    return out;
}

LONG CheckRight(const Target& t, ACCESS_MASK right) { return (t.granted & right) == right ? 0 : ERROR_ACCESS_DENIED; }

// Runs `body` on the key behind a handle, after the handle checks every
// operation shares; `start` keeps where it ran, for a handle made from it.
template <typename Body>
LONG WithKeyAt(Start& start, HKEY hKey, bool write, Body&& body, std::vector<std::u16string>* parts,
               std::shared_ptr<PlatformTransaction> within)
{
    if (LONG status = Locate(hKey, parts, start))
        return status;
    if (within)
        start.within = std::move(within);
    sec::Caller caller = sec::CurrentCaller();
    return Run(start.store, write, [&](Transaction& tx) -> LONG {
        Target t;
        if (LONG s = Resolve(tx, start, caller, t))
            return s;
        return body(tx, t, caller);
    }, start.within.get());
}

template <typename Body>
LONG WithKey(HKEY hKey, bool write, Body&& body, std::vector<std::u16string>* parts = nullptr,
             std::shared_ptr<PlatformTransaction> within = nullptr)
{
    Start start;
    return WithKeyAt(start, hKey, write, std::forward<Body>(body), parts, std::move(within));
}

// What an operation answers for a handle with no key in the store behind it:
// HKEY_DYN_DATA is no handle here, and HKEY_PERFORMANCE_DATA gives
// `performance`, each operation's own answer. Nothing for other handles.
std::optional<LONG> Unbacked(HKEY h, LONG performance)
{
    Predefined p = PredefinedOf(h);
    if (p == Predefined::DynData)
        return ERROR_INVALID_HANDLE;
    if (p == Predefined::PerformanceData)
        return performance;
    return std::nullopt;
}

// The start of the calls that hand out a key handle: *result cleared, and
// HKEY_DYN_DATA refused; `p` says which predefined handle hKey is.
LONG ClearResult(HKEY hKey, HKEY* result, Predefined& p)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    p = PredefinedOf(hKey);
    return p == Predefined::DynData ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

// What every call that hands out a key handle does around its own work:
// subKey split, then `body` run on hKey's key (in a write transaction when
// `write`) with the split path and the new handle's entry, generation set;
// `body` fills in key, granted and usersRoot. On success *result is a new
// handle on that entry, in the store and transaction it ran in.
template <typename Body>
LONG MakeHandle(HKEY hKey, const std::u16string* subKey, bool write, HKEY* result,
                std::shared_ptr<PlatformTransaction> within, Body&& body)
{
    std::vector<std::u16string> parts;
    if (LONG status = SplitPath(subKey, parts))
        return status;
    Start start;
    HandleEntry entry{};
    LONG status = WithKeyAt(start, hKey, write, [&](Transaction& tx, Target& t, const sec::Caller& caller) -> LONG {
        entry.generation = tx.StoreGeneration();
        return body(tx, t, caller, parts, entry);
    }, &parts, std::move(within));
    if (status != ERROR_SUCCESS)
        return status;
    entry.store = start.store;
    entry.within = start.within;
    *result = NewHandle(std::move(entry));
    return ERROR_SUCCESS;
}

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
               const SECURITY_ATTRIBUTES* sa, HKEY* result, DWORD* disposition,
               std::shared_ptr<PlatformTransaction> within)
{
    Predefined p;
    if (LONG status = ClearResult(hKey, result, p))
        return status;
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
    bool created = false;
    LONG status = MakeHandle(hKey, subKey, true, result, std::move(within),
                             [&](Transaction& tx, Target& t, const sec::Caller& caller,
                                 const std::vector<std::u16string>& parts, HandleEntry& entry) -> LONG {
        created = false;
        KeyRow cur = t.row;
        bool curIsHandleKey = true;
        bool curIsNew = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string fold = FoldIn(tx, false, cur.id, parts[i]);
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
            s.Bind(1, cur.id).Bind(2, ToStorage(parts[i])).Bind(3, fold);
            if (last && cls && !cls->empty())
                s.Bind(4, ToStorage(*cls));
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
        entry.key = cur.id;
        entry.usersRoot = IsUsersRoot(tx, cur);
        if (created) {
            // The creator gets what it asked for, whatever the new descriptor says.
            entry.granted = MapRequest(sam);
            return ERROR_SUCCESS;
        }
        return CheckOpen(cur, caller, sam, entry.granted);
    });
    if (status != ERROR_SUCCESS)
        return status;
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG OpenKey(HKEY hKey, const std::u16string* subKey, DWORD options, REGSAM sam, HKEY* result,
             std::shared_ptr<PlatformTransaction> within)
{
    Predefined p;
    if (LONG status = ClearResult(hKey, result, p))
        return status;
    if (p == Predefined::PerformanceData) {
        if (subKey && !subKey->empty())
            return ERROR_FILE_NOT_FOUND;
        *result = HKEY_PERFORMANCE_DATA;
        return ERROR_SUCCESS;
    }
    if (options & ~REG_OPTION_OPEN_LINK)
        return ERROR_INVALID_PARAMETER;
    return MakeHandle(hKey, subKey, false, result, std::move(within),
                      [&](Transaction& tx, Target& t, const sec::Caller& caller,
                          const std::vector<std::u16string>& parts, HandleEntry& entry) -> LONG {
        KeyRow row;
        if (LONG s = Walk(tx, t.row, parts, row))
            return s;
        entry.key = row.id;
        entry.usersRoot = IsUsersRoot(tx, row);
        return CheckOpen(row, caller, sam, entry.granted);
    });
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

// An operation on what a key holds: for a handle with no key behind it, `unbacked`
// (see Unbacked); else `body` runs on the key once the handle is found to hold `right`.
template <typename Body>
LONG WithKeyRight(HKEY hKey, LONG unbacked, bool write, ACCESS_MASK right, Body&& body)
{
    if (std::optional<LONG> s = Unbacked(hKey, unbacked))
        return *s;
    return WithKey(hKey, write, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, right))
            return ERROR_ACCESS_DENIED;
        return body(tx, t);
    });
}

} // namespace

LONG SetValue(HKEY hKey, const std::u16string& name, DWORD type, const uint8_t* data, size_t size)
{
    if (std::optional<LONG> s = Unbacked(hKey, ERROR_ACCESS_DENIED))
        return *s;
    if (!data && size)
        return ERROR_INVALID_PARAMETER;
    if (name.size() > TONWELL_REG_MAX_VALUE_NAME)
        return ERROR_INVALID_PARAMETER;
    return WithKey(hKey, true, [&](Transaction& tx, Target& t, const sec::Caller&) -> LONG {
        if (CheckRight(t, KEY_SET_VALUE) || !tx.Writable())
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?3,?4,?5) "
                                 "ON CONFLICT(key,fold) DO UPDATE SET type=excluded.type, data=excluded.data");
        s.Bind(1, t.row.id).Bind(2, ToStorage(name)).Bind(3, FoldIn(tx, true, t.row.id, name));
        s.Bind(4, static_cast<int64_t>(type));
        s.BindBlob(5, data, size);
        s.Step();
        Touch(tx, t.row.id);
        return ERROR_SUCCESS;
    });
}

LONG QueryValue(HKEY hKey, const std::u16string& name, ValueData& value)
{
    return WithKeyRight(hKey, ERROR_FILE_NOT_FOUND, false, KEY_QUERY_VALUE, [&](Transaction& tx, Target& t) -> LONG {
        Statement s = tx.Prepare("SELECT type,data FROM vals WHERE key=?1 AND fold=?2");
        s.Bind(1, t.row.id).Bind(2, FoldIn(tx, true, t.row.id, name));
        if (!s.Step())
            return ERROR_FILE_NOT_FOUND;
        value.type = static_cast<DWORD>(s.Int(0));
        value.data = s.Blob(1);
        return ERROR_SUCCESS;
    });
}

LONG DeleteValue(HKEY hKey, const std::u16string& name)
{
    return WithKeyRight(hKey, ERROR_FILE_NOT_FOUND, true, KEY_SET_VALUE, [&](Transaction& tx, Target& t) -> LONG {
        Statement find = tx.Prepare("SELECT 1 FROM vals WHERE key=?1 AND fold=?2");
        find.Bind(1, t.row.id).Bind(2, FoldIn(tx, true, t.row.id, name));
        if (!find.Step())
            return ERROR_FILE_NOT_FOUND;
        if (!tx.Writable())
            return ERROR_ACCESS_DENIED;
        Statement s = tx.Prepare("DELETE FROM vals WHERE key=?1 AND fold=?2");
        s.Bind(1, t.row.id).Bind(2, FoldIn(tx, true, t.row.id, name));
        s.Step();
        Touch(tx, t.row.id);
        return ERROR_SUCCESS;
    });
}

LONG DeleteKey(HKEY hKey, const std::u16string* subKey, std::shared_ptr<PlatformTransaction> within)
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
    }, &parts, std::move(within));
}

LONG EnumKey(HKEY hKey, DWORD index, KeyEntry& entry)
{
    const ACCESS_MASK right = KEY_ENUMERATE_SUB_KEYS;
    return WithKeyRight(hKey, ERROR_NO_MORE_ITEMS, false, right, [&](Transaction& tx, Target& t) -> LONG {
        if (IsUsersRoot(tx, t.row)) {
            std::vector<KeyEntry> children = UsersChildren(tx, t.row.id);
            if (index >= children.size())
                return ERROR_NO_MORE_ITEMS;
            entry = children[index];
            return ERROR_SUCCESS;
        }
        Statement s = tx.Prepare("SELECT name,class,written FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 "
                                 "OFFSET ?2");
        s.Bind(1, t.row.id).Bind(2, static_cast<int64_t>(index));
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        entry.name = FromStorage(s.Text(0));
        entry.cls = s.IsNull(1) ? std::u16string() : FromStorage(s.Text(1));
        entry.written = s.Int(2);
        return ERROR_SUCCESS;
    });
}

LONG EnumValue(HKEY hKey, DWORD index, ValueEntry& entry)
{
    return WithKeyRight(hKey, ERROR_NO_MORE_ITEMS, false, KEY_QUERY_VALUE, [&](Transaction& tx, Target& t) -> LONG {
        Statement s = tx.Prepare("SELECT name,type,data FROM vals WHERE key=?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        s.Bind(1, t.row.id).Bind(2, static_cast<int64_t>(index));
        if (!s.Step())
            return ERROR_NO_MORE_ITEMS;
        entry.name = FromStorage(s.Text(0));
        entry.value.type = static_cast<DWORD>(s.Int(1));
        entry.value.data = s.Blob(2);
        return ERROR_SUCCESS;
    });
}

LONG QueryInfo(HKEY hKey, KeyInfo& info)
{
    info = KeyInfo{};
    return WithKeyRight(hKey, ERROR_SUCCESS, false, KEY_QUERY_VALUE, [&](Transaction& tx, Target& t) -> LONG {
        info = KeyInfo{};
        if (t.row.cls) {
            info.cls = FromStorage(*t.row.cls);
        }
        info.sdLen = static_cast<DWORD>(t.row.sdBytes.size());
        info.written = t.row.written;
        if (IsUsersRoot(tx, t.row)) {
            for (const KeyEntry& child : UsersChildren(tx, t.row.id)) {
                ++info.subKeys;
                info.maxSubKeyLen = std::max<DWORD>(info.maxSubKeyLen, static_cast<DWORD>(child.name.size()));
                info.maxClassLen = std::max<DWORD>(info.maxClassLen, static_cast<DWORD>(child.cls.size()));
            }
        }
        Statement keys = tx.Prepare("SELECT name,class FROM keys WHERE parent=?1");
        keys.Bind(1, t.row.id);
        while (!IsUsersRoot(tx, t.row) && keys.Step()) {
            ++info.subKeys;
            std::u16string name = FromStorage(keys.Text(0));
            info.maxSubKeyLen = std::max<DWORD>(info.maxSubKeyLen, static_cast<DWORD>(name.size()));
            if (!keys.IsNull(1))
                info.maxClassLen =
                    std::max<DWORD>(info.maxClassLen, static_cast<DWORD>(FromStorage(keys.Text(1)).size()));
        }
        Statement values = tx.Prepare("SELECT name,length(data) FROM vals WHERE key=?1");
        values.Bind(1, t.row.id);
        while (values.Step()) {
            ++info.values;
            info.maxValueNameLen =
                std::max<DWORD>(info.maxValueNameLen, static_cast<DWORD>(FromStorage(values.Text(0)).size()));
            info.maxValueLen = std::max<DWORD>(info.maxValueLen, static_cast<DWORD>(values.Int(1)));
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

} // namespace

LONG registry::CopyData(const std::vector<uint8_t>& data, LPBYTE buffer, LPDWORD cb)
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

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    return GuardStatus([&]() -> LONG {
        auto sub = Opt(lpSubKey);
        auto cls = Opt(lpClass);
        return CreateKey(hKey, sub ? &*sub : nullptr, cls ? &*cls : nullptr, dwOptions, samDesired,
                         lpSecurityAttributes, phkResult, lpdwDisposition);
    });
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return GuardStatus([&]() -> LONG {
        auto sub = Opt(lpSubKey);
        return OpenKey(hKey, sub ? &*sub : nullptr, ulOptions, samDesired, phkResult);
    });
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    return GuardStatus([&] { return CloseKey(hKey); });
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    return GuardStatus([&]() -> LONG {
        return SetValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string(), dwType, lpData, cbData);
    });
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        ValueData value;
        LONG status = QueryValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string(), value);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpType)
            *lpType = value.type;
        return CopyData(value.data, lpData, lpcbData);
    });
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    return GuardStatus([&]() -> LONG {
        return DeleteValue(hKey, lpValueName ? std::u16string(lpValueName) : std::u16string());
    });
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    return GuardStatus([&]() -> LONG {
        auto sub = Opt(lpSubKey);
        return DeleteKey(hKey, sub ? &*sub : nullptr);
    });
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    return EnumKeyExport(lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime,
                         [&](std::u16string& name, std::u16string& cls, FILETIME& written) -> LONG {
                             KeyEntry entry;
                             if (LONG s = EnumKey(hKey, dwIndex, entry))
                                 return s;
                             name = std::move(entry.name);
                             cls = std::move(entry.cls);
                             SetFileTime(&written, entry.written);
                             return ERROR_SUCCESS;
                         });
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return EnumValueExport(lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData,
                           [&](std::u16string& name, DWORD& type, std::vector<uint8_t>& data) -> LONG {
                               ValueEntry entry;
                               if (LONG s = EnumValue(hKey, dwIndex, entry))
                                   return s;
                               name = std::move(entry.name);
                               type = entry.value.type;
                               data = std::move(entry.value.data);
                               return ERROR_SUCCESS;
                           });
}

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
        KeyInfo info;
        LONG status = QueryInfo(hKey, info);
        if (status != ERROR_SUCCESS)
            return status;
        if (LONG s = CopyClass(info.cls, lpClass, lpcchClass, true))
            return s;
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
    });
}

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor)
{
    if (!lpcbSecurityDescriptor)
        return ERROR_INVALID_PARAMETER;
    return GuardStatus([&]() -> LONG {
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
    });
}
