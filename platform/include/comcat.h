/* The component category manager: which categories a class implements or
 * requires, kept in the registry.
 *
 *   HKCR\Component Categories\{CATID}          value "409" (the locale in hex):
 *                                              the description
 *   HKCR\CLSID\{CLSID}\Implemented Categories\{CATID}   empty keys
 *   HKCR\CLSID\{CLSID}\Required Categories\{CATID}
 *
 * Created in-process with CoCreateInstance(CLSID_StdComponentCategoriesMgr, ...,
 * IID_ICatRegister); the platform serves the class itself. Results: S_OK, E_POINTER or
 * E_INVALIDARG for missing arguments, REGDB_E_WRITEREGDB when the registry refuses a
 * write. Unregistering what is not registered succeeds. Thread-safe. */
#ifndef TONWELL_COMCAT_H
#define TONWELL_COMCAT_H

#include "unknwn.h"

typedef GUID CATID;
typedef const CATID* REFCATID_PTR;
#ifdef __cplusplus
#define REFCATID const CATID&
#else
#define REFCATID const CATID*
#endif

typedef struct tagCATEGORYINFO {
    CATID catid;
    LCID lcid;
    OLECHAR szDescription[128];
} CATEGORYINFO, *LPCATEGORYINFO;

EXTERN_C_START
WINBASEAPI const CLSID CLSID_StdComponentCategoriesMgr;
WINBASEAPI const IID IID_ICatRegister;
EXTERN_C_END

#ifdef __cplusplus

struct ICatRegister : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                  CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                    CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                 CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                   CATID rgcatid[]) = 0;

protected:
    ~ICatRegister() = default;
};

#else
typedef struct ICatRegister ICatRegister;
#endif

#endif
