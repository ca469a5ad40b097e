// Registration of the type library the module carries.
#include "Registration.h"

#include "ServerModule.h"

namespace {

const DWORD kPathCapacity = MAX_PATH; // 260 characters with the terminating NUL
const int kMaxPathWithIndex = 270;
const int kMaxExtensionStart = 255;

int Length(LPCOLESTR psz)
{
    int n = 0;
    while (psz[n])
        ++n;
    return n;
}

typedef HRESULT(WINAPI* PFNUNREGISTERTYPELIB)(REFGUID, WORD, WORD, LCID, SYSKIND);

} // namespace

int GetDirectoryLength(LPCOLESTR pszPath)
{
    int nLength = 0;
    if (!pszPath)
        return 0;
    for (int i = 0; pszPath[i]; ++i) {
        if (pszPath[i] == u'\\' || pszPath[i] == u'/' || pszPath[i] == u':')
            nLength = i + 1;
    }
    return nLength;
}

HRESULT LoadModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex, BSTR* pbstrPath, ITypeLib** ppTypeLib)
{
    if (!pbstrPath)
        return E_POINTER;
    *pbstrPath = nullptr;
    if (!ppTypeLib)
        return E_POINTER;
    *ppTypeLib = nullptr;
    if (!pModule)
        return E_INVALIDARG;

    // Room for the index after the path.
    WCHAR szPath[kMaxPathWithIndex + 1];
    const DWORD cchPath = GetModuleFileNameW(pModule->m_hInstance, szPath, kPathCapacity);
    if (cchPath == kPathCapacity)
        return HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);
    if (cchPath == 0)
        return HRESULT_FROM_WIN32(GetLastError());

    int cch = static_cast<int>(cchPath);
    if (pszIndex) {
        const int cchIndex = Length(pszIndex);
        if (cch + cchIndex >= kMaxPathWithIndex)
            return E_FAIL;
        for (int i = 0; i <= cchIndex; ++i)
            szPath[cch + i] = pszIndex[i];
        cch += cchIndex;
    }

    ITypeLib* pTypeLib = nullptr;
    HRESULT hr = LoadTypeLib(szPath, &pTypeLib);
    if (FAILED(hr)) {
        // The extension starts at the last '.' after the last separator.
        int iExtension = cch;
        for (int i = cch - 1; i >= 0; --i) {
            if (szPath[i] == u'\\' || szPath[i] == u'/')
                break;
            if (szPath[i] == u'.') {
                iExtension = i;
                break;
            }
        }
        if (iExtension > kMaxExtensionStart)
            return E_FAIL;
        const WCHAR szTlb[] = u".tlb";
        for (int i = 0; i < 5; ++i)
            szPath[iExtension + i] = szTlb[i];
        hr = LoadTypeLib(szPath, &pTypeLib);
        if (FAILED(hr))
            return hr;
    }

    BSTR bstrPath = SysAllocString(szPath);
    if (!bstrPath) {
        pTypeLib->Release();
        return E_OUTOFMEMORY;
    }
    *pbstrPath = bstrPath;
    *ppTypeLib = pTypeLib;
    return S_OK;
}

namespace {

// Loads the module's type library, hands its path and interface to `use`, and
// releases both after it, whatever it returns.
template <class Use> HRESULT WithModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex, Use use)
{
    BSTR bstrPath = nullptr;
    ITypeLib* pTypeLib = nullptr;
    HRESULT hr = LoadModuleTypeLib(pModule, pszIndex, &bstrPath, &pTypeLib);
    if (FAILED(hr))
        return hr;
    hr = use(bstrPath, pTypeLib);
    pTypeLib->Release();
    SysFreeString(bstrPath);
    return hr;
}

} // namespace

HRESULT RegisterModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex)
{
    return WithModuleTypeLib(pModule, pszIndex, [](BSTR bstrPath, ITypeLib* pTypeLib) -> HRESULT {
        if (SysStringLen(bstrPath) >= kPathCapacity)
            return CO_E_PATHTOOLONG;
        WCHAR szHelpDir[kPathCapacity];
        const int cchDir = GetDirectoryLength(bstrPath);
        for (int i = 0; i < cchDir; ++i)
            szHelpDir[i] = bstrPath[i];
        szHelpDir[cchDir] = 0;
        return RegisterTypeLib(pTypeLib, bstrPath, szHelpDir);
    });
}

HRESULT UnregisterModuleTypeLib(CServerModule* pModule, LPCOLESTR pszIndex)
{
    return WithModuleTypeLib(pModule, pszIndex, [](BSTR, ITypeLib* pTypeLib) -> HRESULT {
        TLIBATTR* pAttr = nullptr;
        HRESULT hr = pTypeLib->GetLibAttr(&pAttr);
        if (SUCCEEDED(hr)) {
            // Looked up by name, so that a platform without it still unregisters the rest.
            HMODULE hOleAut = LoadLibraryW(u"oleaut32.dll");
            if (hOleAut) {
                auto pfnUnregister = reinterpret_cast<PFNUNREGISTERTYPELIB>(
                    reinterpret_cast<void (*)()>(GetProcAddress(hOleAut, "UnRegisterTypeLib")));
                if (pfnUnregister)
                    hr = pfnUnregister(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid,
                                       pAttr->syskind);
                FreeLibrary(hOleAut);
            }
            pTypeLib->ReleaseTLibAttr(pAttr);
        }
        return hr;
    });
}
