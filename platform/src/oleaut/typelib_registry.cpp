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
// A refused write gives TYPE_E_REGISTRYACCESS, and the keys this call created are removed
// again, so a failed registration leaves no half-written library behind.
//
// UnRegisterTypeLib removes that locale and platform; when no locale of the version is
// left, the version key and every Interface\ key whose TypeLib points at that library
// and version; when no version is left, the {LIBID} key. Not registered:
// TYPE_E_LIBNOTREGISTERED; a refused deletion: TYPE_E_REGISTRYACCESS. What an earlier
// removal left when a deletion failed half way is removed by the next call.
#include <oleauto.h>
#include <combaseapi.h>
#include <winreg.h>

#include "oleaut/typelib_registry.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tonwell::platform::oleaut {

namespace {

constexpr char16_t kAutomationMarshaler[] = u"{00020424-0000-0000-C000-000000000046}";

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

// Writes values below HKEY_CLASSES_ROOT, remembering each key it had to create.
class KeyWriter {
public:
    ~KeyWriter()
    {
        if (!m_committed)
            Rollback();
    }

    LONG Set(const std::u16string& path, const char16_t* valueName, const std::u16string& value)
    {
        HKEY key = nullptr;
        if (LONG status = Create(path, key))
            return status;
        LONG status = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     DWORD((value.size() + 1) * sizeof(char16_t)));
        RegCloseKey(key);
        return status;
    }

    void Commit() { m_committed = true; }

private:
    LONG Create(const std::u16string& path, HKEY& out)
    {
        HKEY parent = HKEY_CLASSES_ROOT;
        size_t start = 0;
        while (true) {
            size_t end = path.find(u'\\', start);
            std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
            HKEY child = nullptr;
            DWORD disposition = 0;
            LONG status = RegCreateKeyExW(parent, part.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_WRITE | KEY_READ, nullptr, &child, &disposition);
            if (parent != HKEY_CLASSES_ROOT)
                RegCloseKey(parent);
            if (status != ERROR_SUCCESS)
                return status;
            if (disposition == REG_CREATED_NEW_KEY)
                m_created.push_back(path.substr(0, end));
            if (end == std::u16string::npos) {
                out = child;
                return ERROR_SUCCESS;
            }
            parent = child;
            start = end + 1;
        }
    }

    void Rollback()
    {
        for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
            RegDeleteKeyW(HKEY_CLASSES_ROOT, it->c_str());
    }

    std::vector<std::u16string> m_created;
    bool m_committed = false;
};

std::vector<std::u16string> SubKeys(const std::u16string& path)
{
    std::vector<std::u16string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
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

bool KeyExists(const std::u16string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::optional<std::u16string> ReadText(const std::u16string& path, const char16_t* valueName)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::u16string> result;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::u16string value(size / 2 + 1, u'\0');
        DWORD bytes = DWORD(value.size() * 2);
        if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes) ==
            ERROR_SUCCESS) {
            value.resize(bytes / 2);
            while (!value.empty() && value.back() == u'\0')
                value.pop_back();
            result = std::move(value);
        }
    }
    RegCloseKey(key);
    return result;
}

LONG DeleteTree(const std::u16string& path)
{
    for (const std::u16string& child : SubKeys(path))
        if (LONG status = DeleteTree(path + u"\\" + child))
            return status;
    return RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
}

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
    KeyWriter writer;
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
    writer.Commit();
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
    // A removal that failed half way left a version without locales (and maybe an
    // empty locale key): that remnant is removed too, so running again finishes it.
    const bool registered = KeyExists(platformKey);
    if (registered && DeleteTree(platformKey))
        return TYPE_E_REGISTRYACCESS;
    if (KeyExists(localeKey) && SubKeys(localeKey).empty() && DeleteTree(localeKey))
        return TYPE_E_REGISTRYACCESS;
    if (!KeyExists(versionKey)) {
        if (!registered && KeyExists(libKey) && SubKeys(libKey).empty()) {
            if (DeleteTree(libKey))
                return TYPE_E_REGISTRYACCESS;
            return S_OK;
        }
        return registered ? S_OK : TYPE_E_LIBNOTREGISTERED;
    }
    for (const std::u16string& sub : SubKeys(versionKey))
        if (IsHexNumber(sub))
            return registered ? S_OK : TYPE_E_LIBNOTREGISTERED; // another locale still uses this version

    // The version is gone: so are the interfaces that point at it.
    std::vector<std::u16string> interfaces;
    for (const std::u16string& iid : SubKeys(u"Interface")) {
        const std::u16string typeLibKey = u"Interface\\" + iid + u"\\TypeLib";
        std::optional<std::u16string> owner = ReadText(typeLibKey, nullptr);
        std::optional<std::u16string> ownerVersion = ReadText(typeLibKey, u"Version");
        GUID guid{};
        if (owner && ownerVersion && *ownerVersion == version && SUCCEEDED(CLSIDFromString(owner->c_str(), &guid)) &&
            guid == libID)
            interfaces.push_back(u"Interface\\" + iid);
    }
    for (const std::u16string& key : interfaces)
        if (DeleteTree(key))
            return TYPE_E_REGISTRYACCESS;
    if (DeleteTree(versionKey))
        return TYPE_E_REGISTRYACCESS;
    if (SubKeys(libKey).empty() && DeleteTree(libKey))
        return TYPE_E_REGISTRYACCESS;
    return S_OK;
}

template <typename F>
HRESULT Guarded(F&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
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

} // namespace tonwell::platform::oleaut

using namespace tonwell::platform::oleaut;

HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir)
{
    if (!ptlib || !szFullPath || !*szFullPath)
        return E_INVALIDARG;
    return Guarded([&] { return Register(ptlib, szFullPath, szHelpDir); });
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind)
{
    return Guarded([&] { return Unregister(libID, wVerMajor, wVerMinor, lcid, syskind); });
}
