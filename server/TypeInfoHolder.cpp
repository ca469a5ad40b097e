#include "TypeInfoHolder.h"

#include "ServerModule.h"
#include "TonwellObj.h"

CTypeInfoHolder g_TypeInfoHolder = {&IID_ITonwellExposure, &LIBID_TONWELLOBJLib, 1, 0, nullptr, nullptr, 0, 0};

namespace {

ITypeInfo* LoadTypeInfo(const CTypeInfoHolder* pHolder)
{
    return __atomic_load_n(&pHolder->m_pTypeInfo, __ATOMIC_ACQUIRE);
}

NameCacheEntry* LoadNameCachePointer(const CTypeInfoHolder* pHolder)
{
    return __atomic_load_n(&pHolder->m_pNameCache, __ATOMIC_ACQUIRE);
}

} // namespace

HRESULT CTypeInfoHolder::EnsureTypeInfo(LCID lcid)
{
    if (LoadTypeInfo(this) && LoadNameCachePointer(this))
        return S_OK;
    // The lock exists only between the module's Init and Term.
    if (!g_Module.IsReady())
        return E_UNEXPECTED;

    EnterCriticalSection(&g_Module.m_csTypeInfo);
    HRESULT hr = S_OK;
    if (!LoadTypeInfo(this)) {
        ITypeLib* pTypeLib = nullptr;
        hr = LoadRegTypeLib(*m_plibid, m_wMajor, m_wMinor, lcid, &pTypeLib);
        if (SUCCEEDED(hr)) {
            ITypeInfo* pTypeInfo = nullptr;
            hr = pTypeLib->GetTypeInfoOfGuid(*m_pguid, &pTypeInfo);
            if (SUCCEEDED(hr)) {
                ITypeInfo* pCached = pTypeInfo;
                ITypeInfo2* pTypeInfo2 = nullptr;
                if (SUCCEEDED(pTypeInfo->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&pTypeInfo2)))) {
                    pTypeInfo->Release();
                    pCached = pTypeInfo2;
                }
                __atomic_store_n(&m_pTypeInfo, pCached, __ATOMIC_RELEASE);
                g_Module.AddCleanup(ReleaseTypeInfo, reinterpret_cast<DWORD_PTR>(this));
            }
            pTypeLib->Release();
        }
    }
    ITypeInfo* pTypeInfo = LoadTypeInfo(this);
    if (pTypeInfo && !LoadNameCachePointer(this))
        LoadNameCache(pTypeInfo);
    LeaveCriticalSection(&g_Module.m_csTypeInfo);
    return hr;
}

HRESULT CTypeInfoHolder::LoadNameCache(ITypeInfo* pTypeInfo)
{
    TYPEATTR* pAttr = nullptr;
    HRESULT hr = pTypeInfo->GetTypeAttr(&pAttr);
    if (FAILED(hr))
        return hr;

    const LONG nCount = pAttr->cFuncs;
    NameCacheEntry* pCache = nullptr;
    if (nCount != 0) {
        pCache = static_cast<NameCacheEntry*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(NameCacheEntry) * static_cast<SIZE_T>(nCount)));
        if (!pCache) {
            m_nNameCount = 0;
            pTypeInfo->ReleaseTypeAttr(pAttr);
            return E_OUTOFMEMORY;
        }
        for (LONG i = 0; i < nCount; ++i)
            pCache[i].dispid = DISPID_UNKNOWN;
    }

    LONG nFilled = nCount;
    for (LONG i = 0; i < nCount; ++i) {
        FUNCDESC* pFuncDesc = nullptr;
        hr = pTypeInfo->GetFuncDesc(static_cast<UINT>(i), &pFuncDesc);
        if (FAILED(hr)) {
            nFilled = 0;
            break;
        }
        BSTR bstrName = nullptr;
        hr = pTypeInfo->GetDocumentation(pFuncDesc->memid, &bstrName, nullptr, nullptr, nullptr);
        if (FAILED(hr)) {
            nFilled = 0;
            pTypeInfo->ReleaseFuncDesc(pFuncDesc);
            SysFreeString(bstrName);
            break;
        }
        pCache[i].bstrName = bstrName;
        pCache[i].nLength = static_cast<LONG>(SysStringLen(bstrName));
        pCache[i].dispid = pFuncDesc->memid;
        pTypeInfo->ReleaseFuncDesc(pFuncDesc);
    }

    // Published last: a reader that sees the cache sees it complete. A cache whose
    // build failed is kept with 0 entries and not built again.
    m_nNameEntries = nCount;
    m_nNameCount = nFilled;
    if (!pCache) {
        // No functions: an empty cache still marks the build as done.
        static NameCacheEntry s_emptyCache;
        pCache = &s_emptyCache;
    }
    __atomic_store_n(&m_pNameCache, pCache, __ATOMIC_RELEASE);
    pTypeInfo->ReleaseTypeAttr(pAttr);
    return hr;
}

HRESULT CTypeInfoHolder::GetTypeInfoRef(LCID lcid, ITypeInfo** ppTypeInfo)
{
    if (!ppTypeInfo)
        return E_POINTER;
    *ppTypeInfo = nullptr;
    HRESULT hr = S_OK;
    if (!LoadTypeInfo(this))
        hr = EnsureTypeInfo(lcid);
    ITypeInfo* pTypeInfo = LoadTypeInfo(this);
    *ppTypeInfo = pTypeInfo;
    if (!pTypeInfo)
        return hr;
    pTypeInfo->AddRef();
    return S_OK;
}

HRESULT CTypeInfoHolder::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId)
{
    if (!LoadTypeInfo(this) || !LoadNameCachePointer(this)) {
        const HRESULT hr = EnsureTypeInfo(lcid);
        if (!LoadTypeInfo(this))
            return hr;
    }
    const NameCacheEntry* pCache = LoadNameCachePointer(this);
    if (pCache && cNames == 1 && rgszNames && rgszNames[0] && rgDispId) {
        const OLECHAR* pszName = rgszNames[0];
        LONG n = 0;
        while (pszName[n])
            ++n;
        for (LONG i = m_nNameCount - 1; i >= 0; --i) {
            const NameCacheEntry& entry = pCache[i];
            if (entry.nLength != n)
                continue;
            LONG j = 0;
            while (j < n && entry.bstrName[j] == pszName[j])
                ++j;
            if (j == n) {
                rgDispId[0] = entry.dispid;
                return S_OK;
            }
        }
    }
    return LoadTypeInfo(this)->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT CTypeInfoHolder::Invoke(IDispatch* pDispatch, DISPID dispidMember, LCID lcid, WORD wFlags,
                                DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (!LoadTypeInfo(this) || !LoadNameCachePointer(this)) {
        const HRESULT hr = EnsureTypeInfo(lcid);
        if (!LoadTypeInfo(this))
            return hr;
    }
    return LoadTypeInfo(this)->Invoke(pDispatch, dispidMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                                      puArgErr);
}

void WINAPI CTypeInfoHolder::ReleaseTypeInfo(DWORD_PTR dwHolder)
{
    auto* pHolder = reinterpret_cast<CTypeInfoHolder*>(dwHolder);
    if (!pHolder)
        return;
    ITypeInfo* pTypeInfo = __atomic_exchange_n(&pHolder->m_pTypeInfo, nullptr, __ATOMIC_ACQ_REL);
    if (pTypeInfo)
        pTypeInfo->Release();
    NameCacheEntry* pCache = __atomic_exchange_n(&pHolder->m_pNameCache, nullptr, __ATOMIC_ACQ_REL);
    if (pCache && pHolder->m_nNameEntries > 0) {
        for (LONG i = 0; i < pHolder->m_nNameEntries; ++i)
            SysFreeString(pCache[i].bstrName);
        HeapFree(GetProcessHeap(), 0, pCache);
    }
    pHolder->m_nNameEntries = 0;
}
