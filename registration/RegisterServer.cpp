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

// Stops at the first failure; removal, below, goes on past failures, so the two walks stay apart.
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

// Removes everything it can; the first failure to remove something is the result,
// while what was not registered is no failure.
HRESULT CServerModule::UnregisterClasses(BOOL bUnRegTypeLib, const CLSID* pclsid)
{
    if (!m_pObjectMap)
        return S_OK;
    HRESULT hrFirst = S_OK;
    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry->pclsid; ++pEntry) {
        if (!IsChosen(pEntry, pclsid))
            continue;
        if (pEntry->pfnUpdateRegistry) {
            const HRESULT hr = pEntry->pfnUpdateRegistry(FALSE);
            if (FAILED(hr) && SUCCEEDED(hrFirst))
                hrFirst = hr;
        }
        UpdateCategories(pEntry, FALSE);
    }
    if (bUnRegTypeLib) {
        const HRESULT hr = UnregisterModuleTypeLib(this, nullptr);
        if (FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED && SUCCEEDED(hrFirst))
            hrFirst = hr;
    }
    return hrFirst;
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
    const LONG status = RegSetValueExW(hkey, kFriendlyName, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(kFriendlyNameText), sizeof(kFriendlyNameText));
    RegCloseKey(hkey);
    if (status != ERROR_SUCCESS) {
        // A plug-in key without its name is a plug-in no host can show: the key goes
        // again (it holds only our value) and the failure is reported.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, szKey);
        return REGDB_E_WRITEREGDB;
    }

    return g_Module.RegisterClasses(TRUE, nullptr);
}

// Removes everything it can and reports the first part it could not remove, so that
// an installer never takes a half-removed registration for a clean one.
TONWELL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    HRESULT hr = g_Module.UnregisterClasses(TRUE, nullptr);
    // The plug-in key goes too: a plug-in list naming a class that is no longer
    // registered misleads every host that reads it. It holds only our value; a key
    // that someone gave subkeys is left alone (ERROR_ACCESS_DENIED).
    WCHAR szKey[kPathCapacity];
    const HRESULT hrPath = PlugInKeyPath(CLSID_TonwellExposure, szKey);
    LONG status = ERROR_SUCCESS;
    if (SUCCEEDED(hrPath))
        status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, szKey);
    if (SUCCEEDED(hr) && FAILED(hrPath))
        hr = hrPath;
    if (SUCCEEDED(hr) && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && status != ERROR_ACCESS_DENIED)
        hr = REGDB_E_WRITEREGDB;
    return hr;
}
