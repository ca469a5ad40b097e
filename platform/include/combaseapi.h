/* COM basics: GUID text forms and task memory. */
#ifndef TONWELL_COMBASEAPI_H
#define TONWELL_COMBASEAPI_H

#include "windef.h"
#include "winerror.h"
#include "unknwn.h"

#define CLSID_NULL GUID_NULL

/* Task memory: what COM hands out for the caller to free, and back. */
WINBASEAPI LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
WINBASEAPI LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
WINBASEAPI void WINAPI CoTaskMemFree(LPVOID pv);

/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex: 38 characters. */
WINBASEAPI int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
WINBASEAPI HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
WINBASEAPI HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
WINBASEAPI HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINBASEAPI HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

#endif
