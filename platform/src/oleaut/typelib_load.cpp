// LoadTypeLib, LoadTypeLibEx and LoadRegTypeLib.
//
// A path names a type library file (it starts with the signature of the binary form),
// or a module file whose "TYPELIB" resource 1 holds one; "path\N" picks resource N of
// the module at path. A bare file name that is not found from the current folder is
// looked for in the system folder, then beside the platform library (where the
// platform's own stdole2.tlb lies).
//
// Errors: TYPE_E_CANTLOADLIBRARY for a path that names no file, a file that is neither a
// type library nor a module, or a module without that resource; TYPE_E_IOERROR when the
// file cannot be read; the reader's result (binary.h) for damaged contents.
#include <oleauto.h>
#include <libloaderapi.h>
#include <winreg.h>
#include <combaseapi.h>

#include "binary.h"
#include "boundary.h"
#include "kernel/paths.h"
#include "oleaut/typelib_objects.h"
#include "oleaut/typelib_registry.h"
#include "text/utf.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

namespace fs = std::filesystem;
namespace tl = tonwell::typelib;
using tonwell::platform::text::Utf16ToUtf8;
using tonwell::platform::text::Utf8ToUtf16;

namespace tonwell::platform::oleaut {

namespace {

// Larger files are refused rather than read into memory.
constexpr size_t kMaxTypeLibSize = 64u << 20;

bool IsRegularFile(const std::string& posix)
{
    struct stat st;
    return ::stat(posix.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The whole file, or the reason it could not be read.
HRESULT ReadWholeFile(const std::string& posix, std::vector<uint8_t>& out)
{
    int fd = ::open(posix.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? TYPE_E_CANTLOADLIBRARY : TYPE_E_IOERROR;
    struct stat st;
    HRESULT hr = S_OK;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        hr = TYPE_E_CANTLOADLIBRARY;
    } else if (size_t(st.st_size) > kMaxTypeLibSize) {
        hr = TYPE_E_IOERROR;
    } else {
        out.resize(size_t(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                hr = TYPE_E_IOERROR;
                break;
            }
            done += size_t(n);
        }
    }
    ::close(fd);
    return hr;
}

HRESULT FromBytes(const uint8_t* data, size_t size, const std::string& posixPath, ITypeLib** out)
{
    auto library = std::make_shared<tl::Library>();
    std::string message;
    HRESULT hr = tl::Read(data, size, *library, message);
    if (FAILED(hr))
        return hr;
    std::string folder = fs::path(posixPath).parent_path().string();
    return CreateTypeLib(std::move(library), Utf8ToUtf16(folder), out);
}

// The "TYPELIB" resource `id` of the module file at `path`, read without running it.
HRESULT FromModule(const std::u16string& path, WORD id, const std::string& posixPath, ITypeLib** out)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return TYPE_E_CANTLOADLIBRARY;
    HRESULT hr = TYPE_E_CANTLOADLIBRARY;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), u"TYPELIB")) {
        HGLOBAL loaded = LoadResource(module, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        DWORD size = SizeofResource(module, found);
        if (data)
            hr = FromBytes(static_cast<const uint8_t*>(data), size, posixPath, out);
    }
    FreeLibrary(module);
    return hr;
}

// "...\N" with N a resource number: the path before it and N.
std::optional<std::pair<std::u16string, WORD>> SplitResourceSuffix(const std::u16string& path)
{
    size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos || slash == 0 || slash + 1 == path.size() || path.size() - slash > 6)
        return std::nullopt;
    unsigned long id = 0;
    for (size_t i = slash + 1; i < path.size(); ++i) {
        if (path[i] < u'0' || path[i] > u'9')
            return std::nullopt;
        id = id * 10 + (path[i] - u'0');
    }
    if (id == 0 || id > 0xFFFF)
        return std::nullopt;
    return std::make_pair(path.substr(0, slash), WORD(id));
}

// What to load: a file (type library or module) and the resource number for a module.
struct Located {
    std::u16string path;  // as LoadLibraryExW takes it
    std::string posix;    // the file itself
    WORD resource = 1;
    bool explicitResource = false;
};

bool Locate(const std::u16string& given, Located& out)
{
    std::string posix;
    DWORD error = 0;
    if (kernel::ToPosixPath(given, kernel::PathUse::Open, posix, error) && IsRegularFile(posix)) {
        out = {given, posix, 1, false};
        return true;
    }
    if (auto split = SplitResourceSuffix(given)) {
        if (kernel::ToPosixPath(split->first, kernel::PathUse::Open, posix, error) && IsRegularFile(posix)) {
            out = {split->first, posix, split->second, true};
            return true;
        }
    }
    // A bare name: the system folder, then the platform library's own folder.
    if (given.find_first_of(u"\\/") != std::u16string::npos)
        return false;
    std::vector<std::string> folders;
    char16_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        folders.push_back(Utf16ToUtf8(std::u16string_view(system, n)));
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&Locate), &info) && info.dli_fname)
        folders.push_back(fs::absolute(fs::path(info.dli_fname)).parent_path().string());
    std::string name = Utf16ToUtf8(given);
    for (const std::string& folder : folders) {
        std::string candidate = (fs::path(folder) / name).string();
        if (IsRegularFile(candidate)) {
            out = {Utf8ToUtf16(candidate), candidate, 1, false};
            return true;
        }
    }
    return false;
}

HRESULT Load(LPCOLESTR szFile, Located& where, ITypeLib** out)
{
    std::u16string given(szFile);
    if (given.empty() || !Locate(given, where))
        return TYPE_E_CANTLOADLIBRARY;
    if (!where.explicitResource) {
        std::vector<uint8_t> bytes;
        HRESULT hr = ReadWholeFile(where.posix, bytes);
        if (FAILED(hr))
            return hr;
        if (tl::HasMagic(bytes.data(), bytes.size()))
            return FromBytes(bytes.data(), bytes.size(), where.posix, out);
    }
    return FromModule(where.path, where.resource, where.posix, out);
}

// The absolute form of a located path, as registration records it.
std::u16string FullPath(const Located& where)
{
    std::error_code ec;
    fs::path absolute = fs::absolute(where.posix, ec);
    std::u16string full = Utf8ToUtf16(ec ? where.posix : absolute.lexically_normal().string());
    if (where.explicitResource)
        full += u"\\" + Utf8ToUtf16(std::to_string(where.resource));
    return full;
}

// Hexadecimal digits only, as the registry's version and locale keys spell numbers.
std::optional<uint32_t> ParseHex(std::u16string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (char16_t c : text) {
        uint32_t digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
}

std::vector<std::u16string> SubKeys(HKEY key)
{
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[TONWELL_REG_MAX_KEY_NAME + 1];
        DWORD length = TONWELL_REG_MAX_KEY_NAME + 1;
        LONG status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

// The default value of a key below `key`, as text.
std::optional<std::u16string> ReadDefault(HKEY key, const std::u16string& sub)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::u16string> result = ReadRegText(h, nullptr);
    RegCloseKey(h);
    return result;
}

HRESULT LoadRegistered(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** out)
{
    HKEY lib = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"TypeLib\\" + GuidKey(rguid)).c_str(), 0, KEY_READ, &lib) !=
        ERROR_SUCCESS)
        return TYPE_E_LIBNOTREGISTERED;
    // The highest minor of the same major that is at least the one asked for.
    std::optional<uint32_t> best;
    std::u16string bestName;
    for (const std::u16string& name : SubKeys(lib)) {
        size_t dot = name.find(u'.');
        if (dot == std::u16string::npos)
            continue;
        auto major = ParseHex(std::u16string_view(name).substr(0, dot));
        auto minor = ParseHex(std::u16string_view(name).substr(dot + 1));
        if (!major || !minor || *major != wVerMajor || *minor < wVerMinor || *minor > 0xFFFF)
            continue;
        if (!best || *minor > *best) {
            best = minor;
            bestName = name;
        }
    }
    HKEY version = nullptr;
    if (!best || RegOpenKeyExW(lib, bestName.c_str(), 0, KEY_READ, &version) != ERROR_SUCCESS) {
        RegCloseKey(lib);
        return TYPE_E_LIBNOTREGISTERED;
    }
    RegCloseKey(lib);
    // The locale itself, else its primary language, else neutral.
    std::optional<std::u16string> exact, primary, neutral;
    for (const std::u16string& name : SubKeys(version)) {
        auto value = ParseHex(name);
        if (!value)
            continue;
        if (*value == lcid)
            exact = name;
        else if (*value == (lcid & 0x3FF))
            primary = name;
        else if (*value == 0)
            neutral = name;
    }
    std::optional<std::u16string> locale = exact ? exact : primary ? primary : neutral;
    std::optional<std::u16string> path;
    if (locale)
        for (const char16_t* platform : {u"win64", u"win32"}) {
            path = ReadDefault(version, *locale + u"\\" + platform);
            if (path)
                break;
        }
    RegCloseKey(version);
    if (!path || path->empty())
        return TYPE_E_LIBNOTREGISTERED;
    return LoadTypeLib(path->c_str(), out);
}

} // namespace

} // namespace tonwell::platform::oleaut

using namespace tonwell::platform::oleaut;
using tonwell::platform::GuardHResult;

HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib)
{
    if (!pptlib)
        return E_POINTER;
    *pptlib = nullptr;
    // Compared as a number: a caller may pass any value, which the enumeration cannot hold.
    int kind;
    std::memcpy(&kind, &regkind, sizeof kind);
    if (!szFile || (kind != REGKIND_DEFAULT && kind != REGKIND_REGISTER && kind != REGKIND_NONE))
        return E_INVALIDARG;
    return GuardHResult([&] {
        Located where;
        ITypeLib* lib = nullptr;
        HRESULT hr = Load(szFile, where, &lib);
        if (FAILED(hr))
            return hr;
        // Loading alone never registers: only REGKIND_REGISTER asks for it.
        if (kind == REGKIND_REGISTER) {
            std::u16string full = FullPath(where);
            std::u16string folder = full.substr(0, full.find_last_of(u"\\/") + 1);
            if (where.explicitResource)
                folder = Utf8ToUtf16(fs::path(where.posix).parent_path().string() + "/");
            hr = RegisterTypeLib(lib, full.c_str(), folder.c_str());
            if (FAILED(hr)) {
                lib->Release();
                return hr;
            }
        }
        *pptlib = lib;
        return S_OK;
    });
}

HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) { return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib); }

HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib)
{
    if (!pptlib)
        return E_POINTER;
    *pptlib = nullptr;
    return GuardHResult([&] { return LoadRegistered(rguid, wVerMajor, wVerMinor, lcid, pptlib); });
}
