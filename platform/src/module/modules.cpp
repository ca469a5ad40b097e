// Modules on the dynamic linker. An HMODULE is the load base of a shared
// object (the address of its ELF header, dladdr's dli_fbase), which is also
// what the platform's module handles are. References taken by LoadLibrary and
// GetModuleHandleEx are dlopen references, counted here per module so that
// FreeLibrary never drops one it does not hold.
//
// Names: "X.dll" is the file "X.so"; a name without extension gets ".dll"
// first, as on the platform, and a trailing dot keeps a name as it is.
// Backslashes and slashes both separate folders, and a drive prefix ("C:") is
// dropped. The platform's own libraries ("kernel32.dll", ...), named alone or
// in the system directory (any folder named system32), are this library.
// File names come back with '/' separators.
//
// The caller of LoadLibrary is found by return address, so a function that
// ends in a tail call to LoadLibrary is invisible: the folder searched is that
// of the function that called it.
//
// The data-file forms of LoadLibraryEx answer a module already loaded with its
// own handle; otherwise they find the file by the same names and folders
// (without the dynamic linker's own search) and hand it to the resource reader
// (module/resources.h), which never loads it.
//
// Locking: the dynamic linker runs a module's initialisers under its own lock,
// and those may call back in here, so no dl* call is made while our lock is held.
#include <errhandlingapi.h>
#include <libloaderapi.h>
#include <tonwell_posix_modules.h>

#include "boundary.h"
#include "machine_root.h"
#include "module/resources.h"
#include "text/utf.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tonwell::platform::text::EqualNoCaseAscii;
using tonwell::platform::text::Utf16ToUtf8;
using tonwell::platform::text::Utf8ToUtf16;
using tonwell::platform::GuardLastError;

namespace {

thread_local std::string t_lastLoadError;

struct Registry {
    struct Entry {
        void* handle = nullptr;
        unsigned refs = 0;
    };
    std::mutex lock;
    std::map<uintptr_t, Entry> held;      // our dlopen references, by load base
    std::set<uintptr_t> noThreadCalls;    // DisableThreadLibraryCalls
};

Registry& TheRegistry()
{
    // Never destroyed: modules may free libraries from their own destructors at exit.
    static Registry* registry = new Registry;
    return *registry;
}

const char* const kSystemLibraries[] = {"kernel32.dll", "oleaut32.dll", "ole32.dll", "advapi32.dll", "user32.dll"};

bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && EqualNoCaseAscii(s.substr(s.size() - suffix.size()), suffix);
}

uintptr_t BaseOf(const void* address, const char** fileName = nullptr)
{
    Dl_info info{};
    if (!address || !dladdr(address, &info) || !info.dli_fbase)
        return 0;
    if (fileName)
        *fileName = info.dli_fname;
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

uintptr_t MainBase() { return BaseOf(reinterpret_cast<const void*>(getauxval(AT_PHDR))); }

uintptr_t PlatformBase() { return BaseOf(reinterpret_cast<const void*>(&TheRegistry)); }

bool IsLoadedBase(uintptr_t base) { return base && BaseOf(reinterpret_cast<const void*>(base)) == base; }

uintptr_t BaseOfHandle(void* handle)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return 0;
    if (map->l_ld)
        if (uintptr_t base = BaseOf(map->l_ld))
            return base;
    return map->l_addr;
}

std::string MainPath()
{
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

// The absolute path of the loaded object at base, or "" when there is none.
std::string PathOfBase(uintptr_t base)
{
    if (base == MainBase())
        return MainPath();
    const char* name = nullptr;
    if (BaseOf(reinterpret_cast<const void*>(base), &name) != base || !name || !*name)
        return {};
    if (char* real = realpath(name, nullptr)) {
        std::string path(real);
        std::free(real);
        return path;
    }
    std::error_code ec;
    fs::path abs = fs::absolute(name, ec);
    return ec ? std::string(name) : abs.lexically_normal().string();
}

// A new dlopen reference on the loaded object at base, or null.
void* OpenLoaded(uintptr_t base, int extraFlags)
{
    if (base == MainBase())
        return dlopen(nullptr, RTLD_NOW | extraFlags);
    const char* name = nullptr;
    if (BaseOf(reinterpret_cast<const void*>(base), &name) != base || !name || !*name)
        return nullptr;
    void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD | extraFlags);
    if (handle && BaseOfHandle(handle) != base) {
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

void RecordReference(uintptr_t base, void* handle)
{
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    Registry::Entry& e = r.held[base];
    e.handle = handle;
    ++e.refs;
}

// Takes a counted reference on a loaded module; the vDSO and the like cannot
// be referenced and stay loaded anyway.
void Reference(uintptr_t base, bool pin)
{
    void* handle = OpenLoaded(base, pin ? RTLD_NODELETE : 0);
    if (!handle)
        return;
    if (pin)
        dlclose(handle); // RTLD_NODELETE stays with the object
    else
        RecordReference(base, handle);
}

struct LoadedObject {
    std::string name;
    const void* address;
};

std::vector<LoadedObject> LoadedObjects()
{
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && ph.p_memsz) {
                    static_cast<std::vector<LoadedObject>*>(data)->push_back(
                        {info->dlpi_name ? info->dlpi_name : "",
                         reinterpret_cast<const void*>(info->dlpi_addr + ph.p_vaddr)});
                    break;
                }
            }
            return 0;
        },
        &objects);
    return objects;
}

std::string SystemDirectory()
{
    fs::path dir = tonwell::platform::SystemFolder() / "system32";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir.string();
}

// A module name taken apart: the platform's own libraries, a path, or a bare file name.
struct ModuleName {
    bool isSystem = false;
    bool hasPath = false;
    std::string file; // "X.so"
    std::string path; // absolute, when hasPath
    std::string exeStem; // for "X.exe", the executable name it may stand for
};

bool IsSystemDirectory(const std::string& dir)
{
    fs::path given = fs::path(dir).lexically_normal();
    if (EqualNoCaseAscii(given.filename().string(), "system32"))
        return true;
    return EqualNoCaseAscii(given.string(), fs::path(SystemDirectory()).lexically_normal().string());
}

bool ParseModuleName(std::string name, ModuleName& out)
{
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        name.erase(0, 2);
    size_t slash = name.rfind('/');
    out.hasPath = slash != std::string::npos;
    std::string dir = out.hasPath ? name.substr(0, slash) : std::string();
    std::string file = out.hasPath ? name.substr(slash + 1) : name;
    if (file.empty() || file == "." || file == "..")
        return false;
    if (file.back() == '.')
        file.pop_back();
    else if (file.find('.') == std::string::npos)
        file += ".dll";
    if (file.empty())
        return false;

    for (const char* system : kSystemLibraries)
        if (EqualNoCaseAscii(file, system) && (!out.hasPath || IsSystemDirectory(dir.empty() ? "/" : dir)))
            out.isSystem = true;
    if (EndsWithIgnoreCase(file, ".exe"))
        out.exeStem = file.substr(0, file.size() - 4);
    if (EndsWithIgnoreCase(file, ".dll"))
        file.replace(file.size() - 4, 4, ".so");
    out.file = file;
    if (out.hasPath) {
        std::error_code ec;
        fs::path p = fs::absolute(fs::path(dir.empty() ? "/" : dir) / file, ec);
        if (ec)
            return false;
        out.path = p.lexically_normal().string();
    }
    return true;
}

std::string RealPath(const std::string& path)
{
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string r(real);
        std::free(real);
        return r;
    }
    return path;
}

// The load base of an already loaded module of that name, or 0.
uintptr_t FindLoaded(const ModuleName& name)
{
    if (name.isSystem)
        return PlatformBase();
    std::string target = name.hasPath ? RealPath(name.path) : std::string();
    if (name.hasPath && target == MainPath())
        return MainBase(); // the program is listed without its name
    for (const LoadedObject& o : LoadedObjects()) {
        if (o.name.empty())
            continue;
        bool match = name.hasPath ? RealPath(o.name) == target
                                  : EqualNoCaseAscii(fs::path(o.name).filename().string(), name.file);
        if (match)
            if (uintptr_t base = BaseOf(o.address))
                return base;
    }
    if (!name.exeStem.empty() && !name.hasPath &&
        EqualNoCaseAscii(fs::path(MainPath()).filename().string(), name.exeStem))
        return MainBase();
    return 0;
}

DWORD ClassifyLoadError(const std::string& message)
{
    if (message.find("undefined symbol") != std::string::npos)
        return ERROR_PROC_NOT_FOUND;
    if (message.find("Permission denied") != std::string::npos)
        return ERROR_ACCESS_DENIED;
    if (message.find("cannot open shared object file") != std::string::npos)
        return ERROR_MOD_NOT_FOUND;
    return ERROR_BAD_EXE_FORMAT;
}

HMODULE FailLoad(DWORD error, std::string message)
{
    t_lastLoadError = std::move(message);
    SetLastError(error);
    return nullptr;
}

HMODULE Opened(void* handle)
{
    uintptr_t base = BaseOfHandle(handle);
    if (!base) {
        dlclose(handle);
        return FailLoad(ERROR_BAD_EXE_FORMAT, "the loaded object has no load address");
    }
    RecordReference(base, handle);
    t_lastLoadError.clear();
    return reinterpret_cast<HMODULE>(base);
}

HMODULE OpenFile(const std::string& file)
{
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = dlerror();
        std::string message = err ? err : "dlopen failed";
        return FailLoad(ClassifyLoadError(message), message);
    }
    return Opened(handle);
}

bool IsFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FolderOf(const std::string& path)
{
    if (path.empty())
        return {};
    return fs::path(path).parent_path().string();
}

// The folders a bare name is looked for in: the caller's, the program's, the platform's.
std::vector<std::string> SearchFolders(const void* caller)
{
    std::vector<std::string> folders;
    if (uintptr_t callerBase = BaseOf(caller))
        folders.push_back(FolderOf(PathOfBase(callerBase)));
    folders.push_back(FolderOf(MainPath()));
    folders.push_back(FolderOf(PathOfBase(PlatformBase())));
    return folders;
}

HMODULE LoadDataFile(const ModuleName& name, DWORD dwFlags, const void* caller)
{
    std::string path;
    if (name.hasPath)
        path = name.path;
    else
        for (const std::string& folder : SearchFolders(caller))
            if (!folder.empty() && IsFile((fs::path(folder) / name.file).string())) {
                path = (fs::path(folder) / name.file).string();
                break;
            }
    if (path.empty())
        return FailLoad(ERROR_FILE_NOT_FOUND, name.file + ": no such file");
    DWORD error = ERROR_SUCCESS;
    HMODULE h = tonwell::platform::module::OpenDataFile(path, dwFlags, error);
    if (!h)
        return FailLoad(error, path + (error == ERROR_BAD_EXE_FORMAT ? ": not a module" : ": cannot be read"));
    t_lastLoadError.clear();
    return h;
}

HMODULE LoadModule(LPCSTR utf8Name, DWORD dwFlags, HANDLE hFile, const void* caller)
{
    constexpr DWORD kAccepted = LOAD_LIBRARY_AS_DATAFILE | LOAD_WITH_ALTERED_SEARCH_PATH |
                                LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE;
    if (!utf8Name || hFile || (dwFlags & ~kAccepted))
        return FailLoad(ERROR_INVALID_PARAMETER, "invalid parameter");
    ModuleName name;
    if (!ParseModuleName(utf8Name, name))
        return FailLoad(ERROR_MOD_NOT_FOUND, std::string(utf8Name) + ": not a module name");

    // A module already loaded under that name is the one, wherever it came from; the
    // data-file forms answer with it too, as on the platform.
    if (uintptr_t base = FindLoaded(name)) {
        if (void* handle = OpenLoaded(base, 0))
            return Opened(handle);
    }
    if (dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE))
        return LoadDataFile(name, dwFlags, caller);
    if (name.isSystem)
        return FailLoad(ERROR_MOD_NOT_FOUND, "the platform library cannot be referenced");

    if (name.hasPath) {
        if (!IsFile(name.path))
            return FailLoad(ERROR_MOD_NOT_FOUND, name.path + ": no such file");
        return OpenFile(name.path);
    }

    // The caller's folder, the program's, the platform's, then the dynamic linker's own search.
    for (const std::string& folder : SearchFolders(caller)) {
        if (folder.empty())
            continue;
        std::string candidate = (fs::path(folder) / name.file).string();
        if (IsFile(candidate))
            return OpenFile(candidate);
    }
    return OpenFile(name.file);
}

template <typename Ch>
DWORD CopyOut(const std::basic_string<Ch>& text, Ch* buffer, DWORD size)
{
    if (text.size() < size) {
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = 0;
        return DWORD(text.size());
    }
    // Too small: as much as fits, terminated, and the size itself.
    if (size > 0) {
        size_t keep = size - 1;
        if constexpr (sizeof(Ch) == 1) {
            while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
                --keep; // do not cut a UTF-8 sequence
        } else {
            if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF)
                --keep; // nor a surrogate pair
        }
        std::copy(text.begin(), text.begin() + ptrdiff_t(keep), buffer);
        buffer[keep] = 0;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

template <typename Ch>
DWORD ModuleFileName(HMODULE hModule, Ch* buffer, DWORD size)
{
    if (!buffer && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    uintptr_t base = hModule ? reinterpret_cast<uintptr_t>(hModule) : MainBase();
    std::string path = IsLoadedBase(base) ? PathOfBase(base) : std::string();
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if constexpr (sizeof(Ch) == 1)
        return CopyOut(path, buffer, size);
    else
        return CopyOut(Utf8ToUtf16(path), buffer, size);
}

HMODULE ModuleHandle(LPCSTR utf8Name)
{
    if (!utf8Name)
        return reinterpret_cast<HMODULE>(MainBase());
    ModuleName name;
    uintptr_t base = ParseModuleName(utf8Name, name) ? FindLoaded(name) : 0;
    if (!base)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return reinterpret_cast<HMODULE>(base);
}

BOOL ModuleHandleEx(DWORD dwFlags, const void* nameOrAddress, bool wide, HMODULE* phModule)
{
    constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (phModule)
        *phModule = nullptr;
    bool pin = dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN;
    bool unchanged = dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!phModule || (dwFlags & ~kKnown) || (pin && unchanged)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uintptr_t base;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        base = BaseOf(nameOrAddress);
    } else if (!nameOrAddress) {
        base = MainBase();
    } else {
        std::string utf8 = wide ? Utf16ToUtf8(std::u16string_view(static_cast<LPCWSTR>(nameOrAddress)))
                                : std::string(static_cast<LPCSTR>(nameOrAddress));
        ModuleName name;
        base = ParseModuleName(utf8, name) ? FindLoaded(name) : 0;
    }
    if (!base) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (!unchanged)
        Reference(base, pin);
    *phModule = reinterpret_cast<HMODULE>(base);
    return TRUE;
}

template <typename Ch>
UINT SystemDirectoryOut(Ch* buffer, UINT size)
{
    std::string dir = SystemDirectory();
    std::basic_string<Ch> text;
    if constexpr (sizeof(Ch) == 1)
        text = dir;
    else
        text = Utf8ToUtf16(dir);
    // Too small (or no buffer): the size needed, terminator included.
    if (!buffer || text.size() >= size)
        return UINT(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return UINT(text.size());
}

// The A forms take UTF-8 as it is, after checking that it is UTF-8:
// ill-formed text is refused rather than looked up mangled.
bool WellFormed(LPCSTR name)
{
    std::u16string ignored;
    if (!name || Utf8ToUtf16(name, ignored, tonwell::platform::text::Invalid::Refuse))
        return true;
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
}

std::string NarrowName(LPCWSTR name) { return Utf16ToUtf8(std::u16string_view(name)); }

} // namespace

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&] { return ModuleFileName(hModule, lpFilename, nSize); });
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&] { return ModuleFileName(hModule, lpFilename, nSize); });
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    return GuardLastError(HMODULE(nullptr),
                          [&] { return WellFormed(lpModuleName) ? ModuleHandle(lpModuleName) : HMODULE(nullptr); });
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    return GuardLastError(HMODULE(nullptr), [&] { return lpModuleName ? ModuleHandle(NarrowName(lpModuleName).c_str()) : ModuleHandle(nullptr); });
}

BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule)
{
    return GuardLastError(BOOL(FALSE), [&] {
        bool byAddress = dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
        if (!byAddress && !WellFormed(lpModuleName)) {
            if (phModule)
                *phModule = nullptr;
            return BOOL(FALSE);
        }
        return ModuleHandleEx(dwFlags, lpModuleName, false, phModule);
    });
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule)
{
    return GuardLastError(BOOL(FALSE), [&] { return ModuleHandleEx(dwFlags, lpModuleName, true, phModule); });
}

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    const void* caller = __builtin_return_address(0);
    return GuardLastError(HMODULE(nullptr), [&] {
        return WellFormed(lpLibFileName) ? LoadModule(lpLibFileName, dwFlags, hFile, caller) : HMODULE(nullptr);
    });
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags)
{
    const void* caller = __builtin_return_address(0);
    return GuardLastError(HMODULE(nullptr), [&] {
            if (!lpLibFileName)
                return LoadModule(nullptr, dwFlags, hFile, caller);
            std::string name = NarrowName(lpLibFileName);
            return LoadModule(name.c_str(), dwFlags, hFile, caller);
        });
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    const void* caller = __builtin_return_address(0);
    return GuardLastError(HMODULE(nullptr), [&] {
        return WellFormed(lpLibFileName) ? LoadModule(lpLibFileName, 0, nullptr, caller) : HMODULE(nullptr);
    });
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    const void* caller = __builtin_return_address(0);
    return GuardLastError(HMODULE(nullptr), [&] {
            if (!lpLibFileName)
                return LoadModule(nullptr, 0, nullptr, caller);
            std::string name = NarrowName(lpLibFileName);
            return LoadModule(name.c_str(), 0, nullptr, caller);
        });
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (IS_INTRESOURCE(lpProcName)) {
        // Exports have no ordinals on this system.
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (tonwell::platform::module::IsDataFileHandle(hModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND); // a data file is not loaded: it has no code to find
        return nullptr;
    }
    uintptr_t base = hModule ? reinterpret_cast<uintptr_t>(hModule) : MainBase();
    // A reference of our own for the look-up, so a concurrent FreeLibrary cannot pull the object away.
    void* handle = IsLoadedBase(base) ? OpenLoaded(base, 0) : nullptr;
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle, lpProcName);
    // dlsym also searches the object's dependencies; only the module's own exports count.
    bool own = symbol && BaseOf(symbol) == base;
    dlclose(handle);
    if (!own) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (tonwell::platform::module::IsDataFileHandle(hLibModule)) {
        if (tonwell::platform::module::CloseDataFile(hLibModule))
            return TRUE;
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    auto base = reinterpret_cast<uintptr_t>(hLibModule);
    void* handle = nullptr;
    {
        Registry& r = TheRegistry();
        std::lock_guard guard(r.lock);
        auto it = r.held.find(base);
        if (it != r.held.end()) {
            handle = it->second.handle;
            if (--it->second.refs == 0)
                r.held.erase(it);
        }
    }
    if (handle) {
        dlclose(handle);
        if (!IsLoadedBase(base)) {
            tonwell::platform::module::ForgetModuleResources(base);
            Registry& r = TheRegistry();
            std::lock_guard guard(r.lock);
            r.noThreadCalls.erase(base);
        }
        return TRUE;
    }
    // A module loaded with the program, or pinned, holds no reference of ours to drop.
    if (IsLoadedBase(base))
        return TRUE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule)
{
    auto base = reinterpret_cast<uintptr_t>(hLibModule);
    if (!IsLoadedBase(base)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return GuardLastError(BOOL(FALSE), [&] {
            Registry& r = TheRegistry();
            std::lock_guard guard(r.lock);
            r.noThreadCalls.insert(base);
            return BOOL(TRUE);
        });
}

BOOL WINAPI TonwellThreadLibraryCallsDisabled(HMODULE hModule)
{
    auto base = reinterpret_cast<uintptr_t>(hModule);
    if (!IsLoadedBase(base))
        return FALSE;
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    return r.noThreadCalls.count(base) ? TRUE : FALSE;
}

const char* WINAPI TonwellLastLoadError(void) { return t_lastLoadError.c_str(); }

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    return GuardLastError(UINT(0), [&] { return SystemDirectoryOut(lpBuffer, uSize); });
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    return GuardLastError(UINT(0), [&] { return SystemDirectoryOut(lpBuffer, uSize); });
}

namespace tonwell::platform::module {

bool IsLoadedModule(uintptr_t base) { return IsLoadedBase(base); }

std::string LoadedModulePath(uintptr_t base) { return PathOfBase(base); }

uintptr_t ProgramBase() { return MainBase(); }

} // namespace tonwell::platform::module
