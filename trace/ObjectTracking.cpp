// Object tracking: the process-wide list of live objects of traced classes, the line written when
// one is destroyed and the leak report at shut-down.
#include "TraceState.h"

using namespace tonwell::trace;

namespace {

struct ObjectRecord {
    LPCSTR pszClassName;
    LPCWSTR pszWideClassName;
    const void* pIdentity;
    DWORD dwCreatedTime;
    ObjectRecord* pNext;
};

struct TrackingState {
    CRITICAL_SECTION Lock;
    ObjectRecord* pHead;
    DWORD dwActiveObjects;
    volatile LONG lActive;
    DWORD dwStartTick;
};

TrackingState s_Tracking;

bool TrackingActive() { return InterlockedCompareExchange(&s_Tracking.lActive, 0, 0) != 0; }

void Write(DWORD dwFlag, TraceRecord* pRecord) { DispatchTraceRecord(0, 0, nullptr, dwFlag, pRecord); }

void FreeList()
{
    ObjectRecord* p = s_Tracking.pHead;
    while (p) {
        ObjectRecord* pNext = p->pNext;
        TraceFree(p);
        p = pNext;
    }
    s_Tracking.pHead = nullptr;
    s_Tracking.dwActiveObjects = 0;
}

} // namespace

void StartObjectTracking()
{
    if (TrackingActive())
        return;
    if (!InitializeCriticalSectionAndSpinCount(&s_Tracking.Lock, 10))
        return;
    EnterCriticalSection(&s_Tracking.Lock);
    s_Tracking.pHead = nullptr;
    s_Tracking.dwActiveObjects = 0;
    s_Tracking.dwStartTick = GetTickCount();
    InterlockedExchange(&s_Tracking.lActive, 1);
    LeaveCriticalSection(&s_Tracking.Lock);
}

void StopObjectTracking()
{
    if (!TrackingActive())
        return;
    EnterCriticalSection(&s_Tracking.Lock);
    if (s_Tracking.dwActiveObjects != 0)
        ReportTrackedObjects();
    FreeList();
    // Marked inactive before the lock goes, so a late release does not take a deleted lock.
    InterlockedExchange(&s_Tracking.lActive, 0);
    LeaveCriticalSection(&s_Tracking.Lock);
    DeleteCriticalSection(&s_Tracking.Lock);
}

void ReleaseTrackedObject(TrackedObjectMarker* pMarker)
{
    if (!pMarker || *pMarker == 0)
        return;
    if (g_TraceSettings.EnableObjectTracking != 0)
        UnregisterTrackedObject(pMarker);
    *pMarker = 0;
}

void UnregisterTrackedObject(const void* pIdentity)
{
    if (!TrackingActive())
        return;
    EnterCriticalSection(&s_Tracking.Lock);
    ObjectRecord** ppLink = &s_Tracking.pHead;
    while (*ppLink && (*ppLink)->pIdentity != pIdentity)
        ppLink = &(*ppLink)->pNext;
    if (ObjectRecord* pFound = *ppLink) {
        *ppLink = pFound->pNext;
        --s_Tracking.dwActiveObjects;
        DWORD dwNow = GetTickCount() - s_Tracking.dwStartTick;
        TraceRecord* pLine;
        if (pFound->pszClassName)
            pLine = FormatTraceA("Destroyed Object:  '%-20hs', Ptr: '0x%p', Destruction Time: '%lu', "
                                 "# Active Objects: '%lu'",
                                 pFound->pszClassName, pFound->pIdentity, dwNow, s_Tracking.dwActiveObjects);
        else if (pFound->pszWideClassName)
            pLine = FormatTraceA("Destroyed Object:  '%-20ls', Ptr: '0x%p', Destruction Time: '%lu', "
                                 "# Active Objects: '%lu'",
                                 pFound->pszWideClassName, pFound->pIdentity, dwNow, s_Tracking.dwActiveObjects);
        else
            pLine = FormatTraceA("Destroying Object: '%-20hs', Ptr: '0x%p', Destruction Time: '%lu', "
                                 "# Active Objects: '%lu'",
                                 "UnknownClassName", pFound->pIdentity, dwNow, s_Tracking.dwActiveObjects);
        Write(TRACE_FLAG_OBJECTS, pLine);
        TraceFree(pFound);
    } else {
        Write(TRACE_FLAG_OBJECTS, FormatTraceA("Destroying an object without an object record, # Active Objects: '%lu'",
                                               s_Tracking.dwActiveObjects));
    }
    LeaveCriticalSection(&s_Tracking.Lock);
}

void ReportTrackedObjects()
{
    if (!TrackingActive())
        return;
    EnterCriticalSection(&s_Tracking.Lock);
    Write(TRACE_FLAG_ERROR, FormatTraceA("*****Memory Leak - Not all objects were deleted*****"));
    Write(TRACE_FLAG_ERROR, FormatTraceA("************WIA Registered Object Report************"));
    Write(TRACE_FLAG_ERROR, FormatTraceA("Total Number of Active Objects: '%lu'", s_Tracking.dwActiveObjects));
    for (const ObjectRecord* p = s_Tracking.pHead; p; p = p->pNext) {
        if (p->pszClassName || !p->pszWideClassName)
            Write(TRACE_FLAG_ERROR, FormatTraceA("Object: '%-20hs', Ptr: '0x%p', Created Time: '%lu'",
                                                 p->pszClassName ? p->pszClassName : "UnknownClassName",
                                                 p->pIdentity, p->dwCreatedTime));
        else
            Write(TRACE_FLAG_ERROR, FormatTraceA("Object: '%-20ls', Ptr: '0x%p', Created Time: '%lu'",
                                                 p->pszWideClassName, p->pIdentity, p->dwCreatedTime));
    }
    Write(TRACE_FLAG_ERROR, FormatTraceA("************End of WIA Registered Object Report************"));
    LeaveCriticalSection(&s_Tracking.Lock);
}

namespace tonwell::trace {

HRESULT RegisterTrackedObject(TrackedObjectMarker* pMarker, LPCSTR pszClassName, LPCWSTR pszWideClassName)
{
    if (!pMarker)
        return E_POINTER;
    if (!TrackingActive())
        return S_FALSE;
    auto* pRecord = static_cast<ObjectRecord*>(TraceAlloc(sizeof(ObjectRecord)));
    if (!pRecord)
        return E_OUTOFMEMORY;
    EnterCriticalSection(&s_Tracking.Lock);
    pRecord->pszClassName = pszClassName;
    pRecord->pszWideClassName = pszWideClassName;
    pRecord->pIdentity = pMarker;
    pRecord->dwCreatedTime = GetTickCount() - s_Tracking.dwStartTick;
    // Appended, so the report lists objects in the order they were registered.
    ObjectRecord** ppLink = &s_Tracking.pHead;
    while (*ppLink)
        ppLink = &(*ppLink)->pNext;
    *ppLink = pRecord;
    ++s_Tracking.dwActiveObjects;
    *pMarker = 1;
    LeaveCriticalSection(&s_Tracking.Lock);
    return S_OK;
}

BOOL ObjectTrackingActive() { return TrackingActive(); }
DWORD TrackedObjectCount() { return TrackingActive() ? s_Tracking.dwActiveObjects : 0; }

} // namespace tonwell::trace
