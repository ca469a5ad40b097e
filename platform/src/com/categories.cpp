// The component category manager (ICatRegister), a class the platform serves itself.
#include "categories.h"

#include <comcat.h>
#include <windows.h>

#include <string>

const CLSID CLSID_StdComponentCategoriesMgr = {0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ICatRegister = {0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace {

std::u16string GuidText(REFGUID guid)
{
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// The value name of a description: the locale in lower-case hexadecimal ("409").
std::u16string LocaleText(LCID lcid)
{
    std::u16string text;
    do {
        text.insert(text.begin(), u"0123456789abcdef"[lcid & 0xF]);
        lcid >>= 4;
    } while (lcid);
    return text;
}

HRESULT FromStatus(LONG lStatus)
{
    return lStatus == ERROR_SUCCESS ? S_OK : REGDB_E_WRITEREGDB;
}

// Creates HKCR\path; a refused write is REGDB_E_WRITEREGDB.
HRESULT CreateKey(const std::u16string& path, HKEY* phkey)
{
    return FromStatus(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_READ | KEY_WRITE, nullptr, phkey, nullptr));
}

// Deletes HKCR\parent\name (which has no subkeys of its own), and parent too when
// that leaves it empty and removeEmptyParent is set. An absent key is no error.
HRESULT DeleteKey(const std::u16string& parent, const std::u16string& name, bool removeEmptyParent)
{
    HKEY hkey = nullptr;
    LONG lStatus = RegOpenKeyExW(HKEY_CLASSES_ROOT, parent.c_str(), 0, KEY_READ | KEY_WRITE, &hkey);
    if (lStatus == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (lStatus != ERROR_SUCCESS)
        return REGDB_E_WRITEREGDB;
    lStatus = RegDeleteKeyW(hkey, name.c_str());
    DWORD cSubkeys = 1, cValues = 1;
    RegQueryInfoKeyW(hkey, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, &cValues, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(hkey);
    if (lStatus != ERROR_SUCCESS && lStatus != ERROR_FILE_NOT_FOUND)
        return REGDB_E_WRITEREGDB;
    if (removeEmptyParent && cSubkeys == 0 && cValues == 0)
        RegDeleteKeyW(HKEY_CLASSES_ROOT, parent.c_str());
    return S_OK;
}

// IUnknown of an object that answers for IUnknown and one interface I (whose
// identifier is iid). One static instance serves every caller; it holds no state.
template <class I, const IID& iid>
class StaticObject : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == iid) {
            *ppv = static_cast<I*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class CCategoryManager final : public StaticObject<ICatRegister, IID_ICatRegister> {
public:
    HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) override
    {
        if (cCategories && !rgCategoryInfo)
            return E_POINTER;
        try {
            for (ULONG i = 0; i < cCategories; ++i) {
                const CATEGORYINFO& info = rgCategoryInfo[i];
                HKEY hkey = nullptr;
                HRESULT hr = CreateKey(u"Component Categories\\" + GuidText(info.catid), &hkey);
                if (FAILED(hr))
                    return hr;
                const std::u16string locale = LocaleText(info.lcid);
                size_t cch = 0;
                while (cch < 127 && info.szDescription[cch])
                    ++cch;
                const std::u16string description(info.szDescription, cch);
                const LONG lStatus = RegSetValueExW(hkey, locale.c_str(), 0, REG_SZ,
                                                    reinterpret_cast<const BYTE*>(description.c_str()),
                                                    static_cast<DWORD>((cch + 1) * sizeof(WCHAR)));
                RegCloseKey(hkey);
                if (lStatus != ERROR_SUCCESS)
                    return REGDB_E_WRITEREGDB;
            }
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) override
    {
        if (cCategories && !rgcatid)
            return E_POINTER;
        try {
            for (ULONG i = 0; i < cCategories; ++i) {
                HRESULT hr = DeleteKey(u"Component Categories", GuidText(rgcatid[i]), false);
                if (FAILED(hr))
                    return hr;
            }
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                          CATID rgcatid[]) override
    {
        return RegisterClass(rclsid, u"Implemented Categories", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                            CATID rgcatid[]) override
    {
        return UnregisterClass(rclsid, u"Implemented Categories", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                         CATID rgcatid[]) override
    {
        return RegisterClass(rclsid, u"Required Categories", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                           CATID rgcatid[]) override
    {
        return UnregisterClass(rclsid, u"Required Categories", cCategories, rgcatid);
    }

private:
    static HRESULT RegisterClass(REFCLSID rclsid, const char16_t* pszKind, ULONG cCategories, CATID rgcatid[])
    {
        if (cCategories && !rgcatid)
            return E_POINTER;
        try {
            const std::u16string base = u"CLSID\\" + GuidText(rclsid) + u"\\" + pszKind + u"\\";
            for (ULONG i = 0; i < cCategories; ++i) {
                HKEY hkey = nullptr;
                HRESULT hr = CreateKey(base + GuidText(rgcatid[i]), &hkey);
                if (FAILED(hr))
                    return hr;
                RegCloseKey(hkey);
            }
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }

    // Removes the category keys, and the kind's key once no category is left in it.
    static HRESULT UnregisterClass(REFCLSID rclsid, const char16_t* pszKind, ULONG cCategories, CATID rgcatid[])
    {
        if (cCategories && !rgcatid)
            return E_POINTER;
        try {
            const std::u16string parent = u"CLSID\\" + GuidText(rclsid) + u"\\" + pszKind;
            for (ULONG i = 0; i < cCategories; ++i) {
                HRESULT hr = DeleteKey(parent, GuidText(rgcatid[i]), true);
                if (FAILED(hr))
                    return hr;
            }
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
};

class CCategoryManagerFactory final : public StaticObject<IClassFactory, IID_IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        return s_manager.QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    static CCategoryManager s_manager;
};

CCategoryManager CCategoryManagerFactory::s_manager;
CCategoryManagerFactory s_factory;

} // namespace

bool GetPlatformClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv, HRESULT* phr)
{
    if (rclsid != CLSID_StdComponentCategoriesMgr)
        return false;
    *phr = s_factory.QueryInterface(riid, ppv);
    return true;
}
