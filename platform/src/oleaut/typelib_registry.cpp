// RegisterTypeLib and UnRegisterTypeLib: the TypeLib\ and Interface\ keys of
// HKEY_CLASSES_ROOT, written and removed through the registry API.
//
// RegisterTypeLib writes, for the library's version, locale and platform:
//   TypeLib\{LIBID}\{ver}                  default: help string, else the library's name
//   TypeLib\{LIBID}\{ver}\FLAGS            default: library flags in decimal
//   TypeLib\{LIBID}\{ver}\HELPDIR          default: the help folder (only when one is given)
//   TypeLib\{LIBID}\{ver}\{lcid}\{platform} default: the full path given
// and for each dual or automation-compatible interface:
//   Interface\{IID}                        default: its name
//   Interface\{IID}\ProxyStubClsid(32)     default: the automation marshaler's class
//   Interface\{IID}\TypeLib                default: {LIBID}; "Version": {ver}
//
// UnRegisterTypeLib removes that locale and platform; when no locale of the version is
// left, the version key and every Interface\ key whose TypeLib points at that library
// and version; when no version is left, the {LIBID} key. Not registered:
// TYPE_E_LIBNOTREGISTERED. A version left without locales (or an empty locale key)
// by a removal made before removals were one transaction is removed too.
//
// Each call is one registry transaction: a refused write or deletion (or a failed
// commit) gives TYPE_E_REGISTRYACCESS and leaves the registry as it was, so a
// library is never left half-written or half-removed, and a retry does it all.
#include <oleauto.h>
#include <combaseapi.h>
#include <winreg.h>
#include <handleapi.h>
#include <ktmw32.h>

#include "boundary.h"
#include "oleaut/typelib_registry.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tonwell::platform::oleaut {

namespace {

constexpr char16_t kAutomationMarshaler[] = u"{00020424-0000-0000-C000-000000000046}";

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

// One registry transaction below HKEY_CLASSES_ROOT: what a registration or removal
// does takes effect whole at Commit, or not at all.
class ClassesTransaction {
public:
    ClassesTransaction() : m_handle(CreateTransaction(nullptr, nullptr, 0, 0, 0, 0, nullptr)) {}
    ~ClassesTransaction()
    {
        if (Valid())
            CloseHandle(m_handle); // rolls back what was not committed
    }
    ClassesTransaction(const ClassesTransaction&) = delete;
    ClassesTransaction& operator=(const ClassesTransaction&) = delete;

    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    bool Commit() { return CommitTransaction(m_handle) != FALSE; }

    LONG Open(const std::u16string& path, REGSAM access, HKEY& key) const
    {
        return RegOpenKeyTransactedW(HKEY_CLASSES_ROOT, path.c_str(), 0, access, &key, m_handle, nullptr);
    }

    // Creates the key and any missing key above it.
    LONG Create(const std::u16string& path, HKEY& key) const
    {
        return RegCreateKeyTransactedW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE | KEY_READ, nullptr, &key, nullptr, m_handle, nullptr);
    }

    LONG Delete(const std::u16string& path) const
    {
        return RegDeleteKeyTransactedW(HKEY_CLASSES_ROOT, path.c_str(), 0, 0, m_handle, nullptr);
    }

    LONG Set(const std::u16string& path, const char16_t* valueName, const std::u16string& value) const
    {
        HKEY key = nullptr;
        if (LONG status = Create(path, key))
            return status;
        LONG status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     DWORD((value.size() + 1) * sizeof(char16_t)));
        RegCloseKey(key);
        return status;
    }

    std::vector<std::u16string> SubKeys(const std::u16string& path) const
    {
        std::vector<std::u16string> names;
        HKEY key = nullptr;
        if (Open(path, KEY_READ, key) != ERROR_SUCCESS)
            return names;
        for (DWORD i = 0;; ++i) {
            char16_t name[TONWELL_REG_MAX_KEY_NAME + 1];
            DWORD length = TONWELL_REG_MAX_KEY_NAME + 1;
            if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
        RegCloseKey(key);
        return names;
    }

    bool KeyExists(const std::u16string& path) const
    {
        HKEY key = nullptr;
        if (Open(path, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    std::optional<std::u16string> ReadText(const std::u16string& path, const char16_t* valueName) const
    {
        HKEY key = nullptr;
        if (Open(path, KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
            return std::nullopt;
        std::optional<std::u16string> result = ReadRegText(key, valueName);
        RegCloseKey(key);
        return result;
    }

    LONG DeleteTree(const std::u16string& path) const
    {
        for (const std::u16string& child : SubKeys(path))
            if (LONG status = DeleteTree(path + u"\\" + child))
                return status;
        return Delete(path);
    }

private:
    HANDLE m_handle;
};

bool IsHexNumber(const std::u16string& name)
{
    if (name.empty() || name.size() > 8)
        return false;
    for (char16_t c : name)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}

HRESULT Register(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir)
{
    TLIBATTR* attr = nullptr;
    HRESULT hr = ptlib->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    TLIBATTR lib = *attr;
    ptlib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr;
    hr = ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    if (FAILED(hr))
        return hr;
    std::u16string title(doc && *doc ? doc : name ? name : u"");
    SysFreeString(name);
    SysFreeString(doc);

    const std::u16string libid = GuidKey(lib.guid);
    const std::u16string version = VersionKey(lib.wMajorVerNum, lib.wMinorVerNum);
    const std::u16string base = u"TypeLib\\" + libid + u"\\" + version;
    ClassesTransaction writer;
    if (!writer.Valid())
        return TYPE_E_REGISTRYACCESS;
    LONG status = writer.Set(base, nullptr, title);
    if (!status)
        status = writer.Set(base + u"\\FLAGS", nullptr, Ascii(std::to_string(lib.wLibFlags).c_str()));
    if (!status && szHelpDir)
        status = writer.Set(base + u"\\HELPDIR", nullptr, szHelpDir);
    if (!status)
        status = writer.Set(base + u"\\" + LcidKey(lib.lcid) + u"\\" + PlatformKey(lib.syskind), nullptr,
                            szFullPath);
    if (status)
        return TYPE_E_REGISTRYACCESS;

    UINT count = ptlib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ITypeInfo* info = nullptr;
        if (FAILED(hr = ptlib->GetTypeInfo(i, &info)))
            return hr;
        // Dual and automation-compatible interfaces and dispinterfaces are marshaled by the
        // automation marshaler, so they are the ones registered.
        GUID iid{};
        BSTR typeName = nullptr;
        bool wanted = false;
        TYPEATTR* typeAttr = nullptr;
        hr = info->GetTypeAttr(&typeAttr);
        if (SUCCEEDED(hr)) {
            wanted = typeAttr->typekind == TKIND_DISPATCH ||
                     (typeAttr->typekind == TKIND_INTERFACE &&
                      (typeAttr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)));
            iid = typeAttr->guid;
            info->ReleaseTypeAttr(typeAttr);
            if (wanted)
                hr = info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr);
        }
        info->Release();
        if (FAILED(hr)) {
            SysFreeString(typeName);
            return hr;
        }
        if (!wanted)
            continue;
        const std::u16string key = u"Interface\\" + GuidKey(iid);
        status = writer.Set(key, nullptr, typeName ? typeName : u"");
        SysFreeString(typeName);
        if (!status)
            status = writer.Set(key + u"\\ProxyStubClsid", nullptr, kAutomationMarshaler);
        if (!status)
            status = writer.Set(key + u"\\ProxyStubClsid32", nullptr, kAutomationMarshaler);
        if (!status)
            status = writer.Set(key + u"\\TypeLib", nullptr, libid);
        if (!status)
            status = writer.Set(key + u"\\TypeLib", u"Version", version);
        if (status)
            return TYPE_E_REGISTRYACCESS;
    }
    return writer.Commit() ? S_OK : TYPE_E_REGISTRYACCESS;
}

// The removal of Unregister inside its transaction; S_OK when something is to be
// committed or nothing was left to remove of a registered library.
HRESULT Remove(const ClassesTransaction& tx, REFGUID libID, const std::u16string& version,
               const std::u16string& libKey, const std::u16string& versionKey, const std::u16string& localeKey,
               const std::u16string& platformKey)
{
    // Keys left by a removal made before removals were one transaction (a version
    // without locales, an empty locale key) are removed too.
    const bool registered = tx.KeyExists(platformKey);
    if (registered && tx.DeleteTree(platformKey))
        return TYPE_E_REGISTRYACCESS;
    if (tx.KeyExists(localeKey) && tx.SubKeys(localeKey).empty() && tx.DeleteTree(localeKey))
        return TYPE_E_REGISTRYACCESS;
    if (!tx.KeyExists(versionKey)) {
        if (!registered && tx.KeyExists(libKey) && tx.SubKeys(libKey).empty()) {
            if (tx.DeleteTree(libKey))
                return TYPE_E_REGISTRYACCESS;
            return S_OK;
        }
        return registered ? S_OK : TYPE_E_LIBNOTREGISTERED;
    }
    for (const std::u16string& sub : tx.SubKeys(versionKey))
        if (IsHexNumber(sub))
            return registered ? S_OK : TYPE_E_LIBNOTREGISTERED; // another locale still uses this version

    // The version is gone: so are the interfaces that point at it.
    std::vector<std::u16string> interfaces;
    for (const std::u16string& iid : tx.SubKeys(u"Interface")) {
        const std::u16string typeLibKey = u"Interface\\" + iid + u"\\TypeLib";
        std::optional<std::u16string> owner = tx.ReadText(typeLibKey, nullptr);
        std::optional<std::u16string> ownerVersion = tx.ReadText(typeLibKey, u"Version");
        GUID guid{};
        if (owner && ownerVersion && *ownerVersion == version && SUCCEEDED(CLSIDFromString(owner->c_str(), &guid)) &&
            guid == libID)
            interfaces.push_back(u"Interface\\" + iid);
    }
    for (const std::u16string& key : interfaces)
        if (tx.DeleteTree(key))
            return TYPE_E_REGISTRYACCESS;
    if (tx.DeleteTree(versionKey))
        return TYPE_E_REGISTRYACCESS;
    if (tx.SubKeys(libKey).empty() && tx.DeleteTree(libKey))
        return TYPE_E_REGISTRYACCESS;
    return S_OK;
}

HRESULT Unregister(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind)
{
    const std::u16string libid = GuidKey(libID);
    const std::u16string version = VersionKey(wVerMajor, wVerMinor);
    const std::u16string libKey = u"TypeLib\\" + libid;
    const std::u16string versionKey = libKey + u"\\" + version;
    const std::u16string localeKey = versionKey + u"\\" + LcidKey(lcid);
    const std::u16string platformKey = localeKey + u"\\" + PlatformKey(syskind);
    ClassesTransaction tx;
    if (!tx.Valid())
        return TYPE_E_REGISTRYACCESS;
    HRESULT hr = Remove(tx, libID, version, libKey, versionKey, localeKey, platformKey);
    if (hr == S_OK && !tx.Commit())
        return TYPE_E_REGISTRYACCESS;
    return hr;
}

} // namespace

std::u16string GuidKey(REFGUID guid)
{
    char16_t text[40] = {};
    int n = StringFromGUID2(guid, text, 40);
    return std::u16string(text, n > 0 ? size_t(n - 1) : 0);
}

std::u16string VersionKey(WORD major, WORD minor)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x.%x", unsigned(major), unsigned(minor));
    return Ascii(text);
}

std::u16string LcidKey(LCID lcid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", unsigned(lcid));
    return Ascii(text);
}

std::u16string PlatformKey(SYSKIND syskind)
{
    switch (syskind) {
    case SYS_WIN16:
        return u"win16";
    case SYS_MAC:
        return u"mac";
    case SYS_WIN64:
        return u"win64";
    case SYS_WIN32:
    default:
        return u"win32";
    }
}

// An odd byte count is no UTF-16 text: refused rather than cut to the last whole unit.
std::optional<std::u16string> ReadRegText(HKEY key, const char16_t* name)
{
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    std::u16string value;
    while (status == ERROR_SUCCESS && type == REG_SZ && size % 2 == 0) {
        value.assign(size / 2, u'\0');
        status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
        if (status == ERROR_MORE_DATA) {
            status = ERROR_SUCCESS; // the value grew in between: again, at its new size
            continue;
        }
        if (status != ERROR_SUCCESS || type != REG_SZ || size % 2)
            break;
        value.resize(size / 2);
        while (!value.empty() && value.back() == u'\0')
            value.pop_back();
        return value;
    }
    return std::nullopt;
}

} // namespace tonwell::platform::oleaut

using namespace tonwell::platform::oleaut;
using tonwell::platform::GuardHResult;

HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir)
{
    if (!ptlib || !szFullPath || !*szFullPath)
        return E_INVALIDARG;
    return GuardHResult([&] { return Register(ptlib, szFullPath, szHelpDir); });
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind)
{
    return GuardHResult([&] { return Unregister(libID, wVerMajor, wVerMinor, lcid, syskind); });
}
