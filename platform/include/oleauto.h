/* Automation strings. A BSTR points at UTF-16 text that ends in a NUL and is
 * preceded by its 32-bit length in bytes (the NUL not counted). */
#ifndef TONWELL_OLEAUTO_H
#define TONWELL_OLEAUTO_H

#include "windef.h"
#include "oaidl.h"

WINBASEAPI BSTR WINAPI SysAllocString(const OLECHAR* psz);
WINBASEAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINBASEAPI BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
WINBASEAPI INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINBASEAPI INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
WINBASEAPI void WINAPI SysFreeString(BSTR bstrString);
WINBASEAPI UINT WINAPI SysStringLen(BSTR pbstr);
WINBASEAPI UINT WINAPI SysStringByteLen(BSTR bstr);

#endif
