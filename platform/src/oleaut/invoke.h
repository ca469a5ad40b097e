// The generic call behind ITypeInfo::Invoke: one member of an interface, described by
// its FUNCDESC, called on an instance with the caller's dispatch arguments.
//
// InvokeFuncDesc(pvInstance, pFuncDesc, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr)
//   The caller (the type information) has already found the member by DISPID and checked
//   that wFlags reaches its invoke kind. This function:
//   - maps named arguments (rgdispidNamedArgs hold parameter positions) onto parameters;
//     an unknown one gives DISP_E_PARAMNOTFOUND with its index in *puArgErr;
//   - checks the count against the parameters that are not the retval:
//     DISP_E_BADPARAMCOUNT;
//   - converts each argument (rgvarg is in reverse order; a VT_BYREF argument is
//     dereferenced first) to its parameter's type as VariantChangeType would; a pointer
//     parameter (VT_PTR to T) takes a by-reference argument of type T. A failed conversion
//     returns DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW with the argument's index in rgvarg in
//     *puArgErr;
//   - calls the vtable slot at byte offset oVft of *pvInstance through libffi, with the
//     instance as first argument (no per-method code);
//   - a method returning a failure HRESULT gives DISP_E_EXCEPTION, with EXCEPINFO.scode set
//     to that code and wCode 0 (when pExcepInfo is not null);
//   - the retval parameter, if any, is returned in *pVarResult; without one *pVarResult is
//     VT_EMPTY.
//   Arguments converted to temporaries are cleared before returning, on every path.
//   In detail:
//   - *pVarResult is set to VT_EMPTY and *pExcepInfo zeroed on entry (out parameters:
//     neither is read); *puArgErr is written only when an argument is at fault (not
//     found, or any failure preparing it). A success HRESULT of the method is returned
//     as it is (S_FALSE stays S_FALSE); a plain return type gives S_OK.
//   - Parameter types: the integers, VT_R4, VT_R8, VT_BOOL, VT_BSTR, VT_UNKNOWN,
//     VT_DISPATCH, VT_ERROR, VT_CY, VT_DATE by value (converted into a temporary);
//     VT_VARIANT by value (the caller's variant, a VT_BYREF|VT_VARIANT one dereferenced);
//     VT_PTR to one of those (VT_BYREF|T, or a VT_BYREF|VT_VARIANT holding a T or a
//     VT_BYREF|T; a null reference is passed as null); VT_PTR to VT_VARIANT (the
//     referenced variant, else the argument itself). Other types, VT_USERDEFINED
//     included (the caller resolves aliases), give DISP_E_BADVARTYPE; a malformed
//     description (retval not last, not a pointer, or beside a non-HRESULT return;
//     oVft not a multiple of the pointer size) E_INVALIDARG.
//   - A named DISPID_PROPERTYPUT, with DISPATCH_PROPERTYPUT(REF) in wFlags, names the
//     last parameter; a position named twice is DISP_E_PARAMNOTFOUND like an unknown one.
//   - An optional parameter (PARAMFLAG_FOPT, or among the last cParamsOpt) may be left
//     out: it gets its PARAMFLAG_FHASDEFAULT value, else a VARIANT (or VARIANT*) gets
//     VT_ERROR with DISP_E_PARAMNOTFOUND; any other gives DISP_E_BADPARAMCOUNT.
//   - A method that throws is taken as having returned E_UNEXPECTED. A retval is
//     discarded on failure (the method released it); without pVarResult it is cleared.
// Threading: none of its own; safe to call from any thread for any instance.
#pragma once

#include <windows.h>

HRESULT InvokeFuncDesc(void* pvInstance, const FUNCDESC* pFuncDesc, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
