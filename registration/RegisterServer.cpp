// The module's registration entry points: the still-image plug-in key, the class
// registration through the embedded script, and the type library.
#include "Registration.h"

#include "ScriptRegistrar.h"
#include "ServerModule.h"
#include "TonwellObj.h"

#include <comcat.h>

namespace {

const WCHAR kPlugInPrefix[] = u"SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns\\";
const WCHAR kFriendlyName[] = u"FriendlyName";
const WCHAR kFriendlyNameText[] = u"Automatically Fix Exposure";
const WCHAR kRegistryType[] = u"REGISTRY";
const WORD kRegistryScriptId = 101;
const DWORD kPathCapacity = MAX_PATH;

// Builds the plug-in key path of the class in pszPath (kPathCapacity characters):
// both the copy and the append stop at the buffer's end and keep it terminated.
HRESULT PlugInKeyPath(REFCLSID rclsid, LPWSTR pszPath)
{
    LPOLESTR pszClsid = nullptr;
    HRESULT hr = StringFromIID(rclsid, &pszClsid);
    if (FAILED(hr))
        return hr;
    DWORD cch = 0;
    for (const WCHAR* p = kPlugInPrefix; *p && cch + 1 < kPathCapacity; ++p)
        pszPath[cch++] = *p;
    for (const WCHAR* p = pszClsid; *p && cch + 1 < kPathCapacity; ++p)
        pszPath[cch++] = *p;
    pszPath[cch] = 0;
    CoTaskMemFree(pszClsid);
    return S_OK;
}

// Registers (or removes) the categories a class implements or requires. A manager that
// cannot be created registers nothing, which is not a failure.
HRESULT UpdateCategories(ObjectMapEntry* pEntry, BOOL bRegister)
{
    if (!pEntry->pfnGetCategoryMap)
        return S_OK;
    const CategoryMapEntry* pMap = pEntry->pfnGetCategoryMap();
    if (!pMap)
        return S_OK;
    ICatRegister* pCatRegister = nullptr;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                reinterpret_cast<void**>(&pCatRegister))))
        return S_OK;
    HRESULT hr = S_OK;
    for (; pMap->dwKind != 0; ++pMap) {
        CATID catid = *pMap->pcatid;
        const bool bImplemented = pMap->dwKind == 1;
        if (bRegister) {
            hr = bImplemented ? pCatRegister->RegisterClassImplCategories(*pEntry->pclsid, 1, &catid)
                              : pCatRegister->RegisterClassReqCategories(*pEntry->pclsid, 1, &catid);
            if (FAILED(hr))
                break;
        } else if (bImplemented) {
            pCatRegister->UnRegisterClassImplCategories(*pEntry->pclsid, 1, &catid);
        } else {
            pCatRegister->UnRegisterClassReqCategories(*pEntry->pclsid, 1, &catid);
        }
    }
    pCatRegister->Release();
    return bRegister ? hr : S_OK;
}

// Whether RegisterClasses and UnregisterClasses handle this entry.
bool IsChosen(const ObjectMapEntry* pEntry, const CLSID* pclsid)
{
    if (pclsid)
        return IsEqualCLSID(*pEntry->pclsid, *pclsid);
    return !(pEntry->pfnGetObjectDescription && pEntry->pfnGetObjectDescription());
}

} // namespace

HRESULT CServerModule::RegisterClasses(BOOL bRegTypeLib, const CLSID* pclsid)
{
    if (!m_pObjectMap)
        return S_OK;
    HRESULT hr = S_OK;
    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry->pclsid; ++pEntry) {
        if (!IsChosen(pEntry, pclsid))
            continue;
        if (pEntry->pfnUpdateRegistry) {
            hr = pEntry->pfnUpdateRegistry(TRUE);
            if (FAILED(hr))
                return hr;
        }
        hr = UpdateCategories(pEntry, TRUE);
        if (FAILED(hr))
            return hr;
    }
    if (bRegTypeLib)
        hr = RegisterModuleTypeLib(this, nullptr);
    return hr;
}

HRESULT CServerModule::UnregisterClasses(BOOL bUnRegTypeLib, const CLSID* pclsid)
{
    if (!m_pObjectMap)
        return S_OK;
    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry->pclsid; ++pEntry) {
        if (!IsChosen(pEntry, pclsid))
            continue;
        if (pEntry->pfnUpdateRegistry)
            pEntry->pfnUpdateRegistry(FALSE);
        UpdateCategories(pEntry, FALSE);
    }
    if (bUnRegTypeLib)
        UnregisterModuleTypeLib(this, nullptr);
    return S_OK;
}

HRESULT EscapeQuotes(LPOLESTR pszDest, LPCOLESTR pszSrc)
{
    if (!pszDest || !pszSrc)
        return E_INVALIDARG;
    for (; *pszSrc; ++pszSrc) {
        *pszDest++ = *pszSrc;
        if (*pszSrc == u'\'')
            *pszDest++ = u'\'';
    }
    *pszDest = 0;
    return S_OK;
}

HRESULT WINAPI UpdateExposureRegistry(BOOL bRegister)
{
    WCHAR szPath[kPathCapacity];
    const DWORD cchPath = GetModuleFileNameW(g_Module.m_hInstance, szPath, kPathCapacity);
    if (cchPath == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (cchPath == kPathCapacity)
        return HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);

    WCHAR szEscaped[kPathCapacity * 2 + 1];
    HRESULT hr = EscapeQuotes(szEscaped, szPath);
    if (FAILED(hr))
        return hr;

    CScriptRegistrar registrar;
    hr = registrar.AddReplacement(u"Module", szEscaped);
    if (FAILED(hr))
        return hr;
    return registrar.RunScriptResource(szPath, kRegistryScriptId, kRegistryType, bRegister);
}

TONWELL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void)
{
    WCHAR szKey[kPathCapacity];
    // The identifier's text fails only when memory runs out; without it there is no
    // key to write, so that is the result.
    HRESULT hr = PlugInKeyPath(CLSID_TonwellExposure, szKey);
    if (FAILED(hr))
        return hr;

    HKEY hkey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, szKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                        &hkey, nullptr) != ERROR_SUCCESS)
        return REGDB_E_WRITEREGDB;
    RegSetValueExW(hkey, kFriendlyName, 0, REG_SZ, reinterpret_cast<const BYTE*>(kFriendlyNameText),
                   sizeof(kFriendlyNameText));
    RegCloseKey(hkey);

    return g_Module.RegisterClasses(TRUE, nullptr);
}

TONWELL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    g_Module.UnregisterClasses(TRUE, nullptr);
    // The plug-in key goes too: a plug-in list naming a class that is no longer
    // registered misleads every host that reads it. It holds only our value; a key
    // that someone gave subkeys is left alone.
    WCHAR szKey[kPathCapacity];
    if (SUCCEEDED(PlugInKeyPath(CLSID_TonwellExposure, szKey)))
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, szKey);
    return S_OK;
}
