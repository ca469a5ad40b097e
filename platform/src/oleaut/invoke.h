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
// Threading: none of its own; safe to call from any thread for any instance.
#pragma once

#include <windows.h>

HRESULT InvokeFuncDesc(void* pvInstance, const FUNCDESC* pFuncDesc, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
