// CTypeInfoHolder: the type information behind the IDispatch side of every
// CTonwellExposure, one process-wide instance (g_TypeInfoHolder).
//
// It loads the registered type library (LIBID_TONWELLOBJLib 1.0, found with
// LoadRegTypeLib) on first use, keeps the type information of ITonwellExposure
// (its ITypeInfo2 when offered) and a cache of the interface's member names, and
// hands every invocation to that type information, which calls the vtable slot the
// library describes.
//
// GetTypeInfoRef(lcid, pp): the type information with a reference for the caller;
//   E_POINTER for a null pp; the loader's failure (the library not registered:
//   TYPE_E_LIBNOTREGISTERED) with *pp null.
// EnsureTypeInfo(lcid): loads what is missing under the module's type-information
//   lock. A failed load caches nothing, so the next call tries again; the first
//   successful load fixes the locale for the life of the process.
// GetIDsOfNames(names, count, lcid, ids): a single name is answered from the name
//   cache when it matches a member exactly (case-sensitive); anything else is the
//   type information's answer (names without regard to case, parameter names,
//   DISP_E_UNKNOWNNAME).
// Invoke(instance, dispid, lcid, flags, params, result, excepinfo, argerr): the
//   type information's Invoke on the instance, its result unchanged.
// ReleaseTypeInfo(holder): the module's clean-up at process detach; releases the
//   type information and frees the cache. Does nothing more when called again.
//
// Threading: any thread. Loading happens once, under g_Module.m_csTypeInfo (which
// is re-entrant: AddCleanup takes it again). Once both the type information and
// the cache are published, calls take no lock: each pointer is published with a
// release store after what it points at is complete, and read with an acquire load.
#pragma once

#include <windows.h>

struct NameCacheEntry {
    BSTR bstrName; // the member's name; null until filled
    LONG nLength;  // characters of the name; 0 until filled
    DISPID dispid; // DISPID_UNKNOWN until filled
};

class CTypeInfoHolder {
public:
    HRESULT GetTypeInfoRef(LCID lcid, ITypeInfo** ppTypeInfo);
    HRESULT EnsureTypeInfo(LCID lcid);
    HRESULT LoadNameCache(ITypeInfo* pTypeInfo);
    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
    HRESULT Invoke(IDispatch* pDispatch, DISPID dispidMember, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
    static void WINAPI ReleaseTypeInfo(DWORD_PTR dwHolder);

    const IID* m_pguid;
    const GUID* m_plibid;
    WORD m_wMajor;
    WORD m_wMinor;
    ITypeInfo* m_pTypeInfo;
    NameCacheEntry* m_pNameCache;
    LONG m_nNameCount;
    // Entries allocated in m_pNameCache: a cache whose build failed answers from 0
    // entries but still owns the names it had filled.
    LONG m_nNameEntries;
};

// Kept trivially constructible and constant-initialised, so it is ready before any
// static constructor of the module runs.
extern CTypeInfoHolder g_TypeInfoHolder;
