#include "ServerModule.h"

#include <cstring>

CServerModule g_Module;

HRESULT CServerModule::Init(ObjectMapEntry* pObjectMap, HINSTANCE hInstance)
{
    m_pObjectMap = pObjectMap;
    m_hInstance = hInstance;
    m_hInstResource = hInstance;
    m_hInstTypeLib = hInstance;
    InterlockedExchange(&m_lLocks, 0);

    if (!InitializeCriticalSectionAndSpinCount(&m_csTypeInfo, 0)) {
        std::memset(&m_csTypeInfo, 0, sizeof(m_csTypeInfo));
        std::memset(&m_csClassObjects, 0, sizeof(m_csClassObjects));
        m_hrInit = static_cast<HRESULT>(STATUS_NO_MEMORY);
        return m_hrInit;
    }
    m_bTypeInfoLockCreated = true;
    if (!InitializeCriticalSectionAndSpinCount(&m_csClassObjects, 0)) {
        DeleteCriticalSection(&m_csTypeInfo);
        m_bTypeInfoLockCreated = false;
        std::memset(&m_csTypeInfo, 0, sizeof(m_csTypeInfo));
        std::memset(&m_csClassObjects, 0, sizeof(m_csClassObjects));
        m_hrInit = static_cast<HRESULT>(STATUS_NO_MEMORY);
        return m_hrInit;
    }
    m_bClassObjectsLockCreated = true;

    m_pCleanupList = nullptr;
    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry && pEntry->pclsid; ++pEntry) {
        if (pEntry->pfnObjectMain)
            pEntry->pfnObjectMain(true);
    }
    m_hrInit = S_OK;
    __atomic_store_n(&m_lReady, 1, __ATOMIC_RELEASE);
    return S_OK;
}

HRESULT CServerModule::Term()
{
    // The class hooks are stopped only when Init started them.
    const bool bStarted = __atomic_exchange_n(&m_lReady, 0, __ATOMIC_ACQ_REL) != 0;

    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry && pEntry->pclsid; ++pEntry) {
        IUnknown* pCF = __atomic_exchange_n(&pEntry->pCF, nullptr, __ATOMIC_ACQ_REL);
        if (pCF)
            pCF->Release();
        if (bStarted && pEntry->pfnObjectMain)
            pEntry->pfnObjectMain(false);
    }

    // A lock whose creation failed in Init was never made; there is nothing to delete.
    if (m_bTypeInfoLockCreated) {
        DeleteCriticalSection(&m_csTypeInfo);
        m_bTypeInfoLockCreated = false;
    }
    if (m_bClassObjectsLockCreated) {
        DeleteCriticalSection(&m_csClassObjects);
        m_bClassObjectsLockCreated = false;
    }

    CleanupEntry* pEntry = m_pCleanupList;
    m_pCleanupList = nullptr;
    while (pEntry) {
        CleanupEntry* pNext = pEntry->pNext;
        pEntry->pfn(pEntry->dw);
        HeapFree(GetProcessHeap(), 0, pEntry);
        pEntry = pNext;
    }
    return S_OK;
}

bool CServerModule::IsReady() const { return __atomic_load_n(&m_lReady, __ATOMIC_ACQUIRE) != 0; }

LONG CServerModule::Lock() { return InterlockedIncrement(&m_lLocks); }

LONG CServerModule::Unlock() { return InterlockedDecrement(&m_lLocks); }

LONG CServerModule::GetLockCount() const { return __atomic_load_n(&m_lLocks, __ATOMIC_ACQUIRE); }

HRESULT CServerModule::AddCleanup(PFNCLEANUP pfn, DWORD_PTR dw)
{
    if (!IsReady())
        return E_UNEXPECTED;
    auto* pEntry = static_cast<CleanupEntry*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CleanupEntry)));
    if (!pEntry)
        return E_OUTOFMEMORY;
    pEntry->pfn = pfn;
    pEntry->dw = dw;
    EnterCriticalSection(&m_csTypeInfo);
    pEntry->pNext = m_pCleanupList;
    m_pCleanupList = pEntry;
    LeaveCriticalSection(&m_csTypeInfo);
    return S_OK;
}

HRESULT CServerModule::GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsReady())
        return FAILED(m_hrInit) ? E_OUTOFMEMORY : E_UNEXPECTED;

    HRESULT hr = S_OK;
    for (ObjectMapEntry* pEntry = m_pObjectMap; pEntry && pEntry->pclsid; ++pEntry) {
        if (!pEntry->pfnGetClassObject || !IsEqualCLSID(rclsid, *pEntry->pclsid))
            continue;

        // Looked at before and again after taking the lock, so that the class
        // object is created once however many threads ask at the same time.
        IUnknown* pCF = __atomic_load_n(&pEntry->pCF, __ATOMIC_ACQUIRE);
        if (!pCF) {
            EnterCriticalSection(&m_csClassObjects);
            pCF = __atomic_load_n(&pEntry->pCF, __ATOMIC_ACQUIRE);
            if (!pCF) {
                IUnknown* pCreated = nullptr;
                hr = pEntry->pfnGetClassObject(reinterpret_cast<void*>(pEntry->pfnCreateInstance), IID_IUnknown,
                                               reinterpret_cast<LPVOID*>(&pCreated));
                if (pCreated)
                    __atomic_store_n(&pEntry->pCF, pCreated, __ATOMIC_RELEASE);
                pCF = pCreated;
            }
            LeaveCriticalSection(&m_csClassObjects);
        }
        if (pCF)
            hr = pCF->QueryInterface(riid, ppv);
        break;
    }
    if (!*ppv && hr == S_OK)
        hr = CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT WINAPI FindInterface(void* pThis, const InterfaceEntry* pEntries, REFIID riid, void** ppvObject)
{
    if (!pThis || !pEntries)
        return E_INVALIDARG;
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;

    const InterfaceEntry* pMatch = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        if (pEntries->piid)
            pMatch = pEntries;
    } else {
        for (const InterfaceEntry* pEntry = pEntries; pEntry->piid; ++pEntry) {
            if (IsEqualIID(riid, *pEntry->piid)) {
                pMatch = pEntry;
                break;
            }
        }
    }
    if (!pMatch)
        return E_NOINTERFACE;

    auto* pUnk = reinterpret_cast<IUnknown*>(static_cast<BYTE*>(pThis) + pMatch->dwOffset);
    pUnk->AddRef();
    *ppvObject = pUnk;
    return S_OK;
}
