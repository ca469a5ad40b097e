/* Automation strings, variants and type libraries. A BSTR points at UTF-16 text that ends in a NUL and is
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


/* VARIANT access, as the platform's headers spell it. */
#define V_VT(v) ((v)->vt)
#define V_UI1(v) ((v)->bVal)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I8(v) ((v)->llVal)
#define V_R8(v) ((v)->dblVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_BYREF(v) ((v)->byref)
#define V_UI1REF(v) ((v)->pbVal)

/* VariantChangeType(Ex) flags. */
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

/* Variants over the simple types (integers, reals, VT_BOOL, VT_BSTR, VT_EMPTY, VT_NULL).
 * Out of range is DISP_E_OVERFLOW, text that is not a number DISP_E_TYPEMISMATCH, a type
 * that is not a variant type (or VT_BYREF/VT_ARRAY as a target) DISP_E_BADVARTYPE, and a
 * variant type this platform does not convert (VT_CY, VT_DATE, VT_ERROR, an interface to
 * a number...) DISP_E_TYPEMISMATCH; the same type is a copy. A VT_BYREF source is read
 * through its pointer. Reals round half to even to integers; VT_BOOL true is -1; text
 * takes blanks around a decimal number with an optional sign, point and exponent;
 * VT_EMPTY is 0, false or ""; VT_NULL converts to VT_EMPTY and VT_NULL only. Reals become
 * their shortest text that reads back the same ("0.1", "1E+20"); VT_BOOL becomes "-1"/"0",
 * or "True"/"False" with VARIANT_ALPHABOOL. The locale is not used ('.' is the point).
 * On failure the destination is untouched; it may be the source. */
WINBASEAPI void WINAPI VariantInit(VARIANTARG* pvarg);
WINBASEAPI HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
WINBASEAPI HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
WINBASEAPI HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                            VARTYPE vt);
WINBASEAPI HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                                              USHORT wFlags, VARTYPE vt);
WINBASEAPI HRESULT WINAPI VarUI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut);

/* Type libraries: a type library file, or a module file through its "TYPELIB"
 * resource (a path ending in "\N" picks resource N). */
typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER = 1, REGKIND_NONE = 2 } REGKIND;

WINBASEAPI HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
WINBASEAPI HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
WINBASEAPI HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                         ITypeLib** pptlib);
WINBASEAPI HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
WINBASEAPI HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                            SYSKIND syskind);

#endif
