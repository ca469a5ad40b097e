// The generic call behind ITypeInfo::Invoke (contract in invoke.h): the FUNCDESC's types
// become a libffi call interface, the dispatch arguments are mapped onto its parameters
// and converted, and the vtable slot is called with the instance first.
#include "oleaut/invoke.h"

#include <oleauto.h>

#include <ffi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// A VARIANT by value is two eightbytes; the second holds integers, reals or pointers and
// so travels as an integer, which is what this description gives the ABI.
static_assert(sizeof(VARIANT) == 16 && alignof(VARIANT) == 8, "VARIANT layout");
ffi_type* g_variantElements[] = {&ffi_type_uint64, &ffi_type_uint64, nullptr};
// Size and alignment are set, so libffi never writes to it: shared by every thread.
ffi_type g_variantType = {sizeof(VARIANT), alignof(VARIANT), FFI_TYPE_STRUCT, g_variantElements};

// The simple types a parameter, a pointed-at value or a return may have.
ffi_type* ScalarType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
        return &ffi_type_sint8;
    case VT_UI1:
        return &ffi_type_uint8;
    case VT_I2:
    case VT_BOOL:
        return &ffi_type_sint16;
    case VT_UI2:
        return &ffi_type_uint16;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        return &ffi_type_sint32;
    case VT_UI4:
    case VT_UINT:
        return &ffi_type_uint32;
    case VT_I8:
    case VT_CY:
        return &ffi_type_sint64;
    case VT_UI8:
        return &ffi_type_uint64;
    case VT_R4:
        return &ffi_type_float;
    case VT_R8:
    case VT_DATE:
        return &ffi_type_double;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return &ffi_type_pointer;
    default:
        return nullptr;
    }
}

enum class Pass {
    Scalar,         // a converted value of a simple type
    Variant,        // a VARIANT by value: the caller's, as it is
    Pointer,        // VT_PTR to a simple type: the pointer of a by-reference argument
    VariantPointer, // VT_PTR to VT_VARIANT
};

struct Param {
    Pass pass = Pass::Scalar;
    VARTYPE vt = VT_EMPTY; // Scalar: the type; Pointer: the type pointed at
    bool optional = false;
    const PARAMDESC* desc = nullptr;
};

HRESULT Describe(const TYPEDESC& t, Param& p)
{
    if (t.vt == VT_VARIANT) {
        p.pass = Pass::Variant;
        return S_OK;
    }
    if (t.vt == VT_PTR) {
        if (!t.lptdesc)
            return E_INVALIDARG;
        VARTYPE to = t.lptdesc->vt;
        if (to == VT_VARIANT) {
            p.pass = Pass::VariantPointer;
            return S_OK;
        }
        if (!ScalarType(to))
            return DISP_E_BADVARTYPE;
        p.pass = Pass::Pointer;
        p.vt = to;
        return S_OK;
    }
    if (!ScalarType(t.vt))
        return DISP_E_BADVARTYPE;
    p.pass = Pass::Scalar;
    p.vt = t.vt;
    return S_OK;
}

ffi_type* FfiTypeOf(const Param& p)
{
    switch (p.pass) {
    case Pass::Scalar:
        return ScalarType(p.vt);
    case Pass::Variant:
        return &g_variantType;
    default:
        return &ffi_type_pointer;
    }
}

// One parameter's value during the call. What `owned` holds is cleared afterwards;
// `borrowed` is a bitwise copy of a variant that belongs to someone else.
struct Arg {
    VARIANT owned;
    VARIANT borrowed;
    void* pointer = nullptr;
};

// Clears every converted temporary, on every way out of the call.
struct Args {
    std::vector<Arg> items;
    explicit Args(size_t n) : items(n)
    {
        for (Arg& a : items) {
            VariantInit(&a.owned);
            VariantInit(&a.borrowed);
        }
    }
    ~Args()
    {
        for (Arg& a : items)
            VariantClear(&a.owned);
    }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
};

// The pointer a VT_PTR-to-vt parameter receives from arg: that of a VT_BYREF|vt argument,
// or, through a VT_BYREF|VT_VARIANT, that of the variant's own value when it holds a vt.
HRESULT PointerTo(VARIANT* arg, VARTYPE vt, void*& out)
{
    if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal) {
        VARIANT* inner = arg->pvarVal;
        if (inner->vt == (VT_BYREF | vt)) {
            out = inner->byref;
            return S_OK;
        }
        if (inner->vt == vt) {
            out = &inner->llVal;
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (arg->vt != (VT_BYREF | vt))
        return DISP_E_TYPEMISMATCH;
    out = arg->byref;
    return S_OK;
}

// Prepares the argument arg (from rgvarg) for parameter p.
HRESULT Prepare(const Param& p, VARIANT* arg, Arg& a)
{
    switch (p.pass) {
    case Pass::Scalar:
        return VariantChangeType(&a.owned, arg, 0, p.vt);
    case Pass::Variant:
        if (arg->vt == (VT_BYREF | VT_VARIANT)) {
            if (!arg->pvarVal)
                return E_INVALIDARG;
            a.borrowed = *arg->pvarVal;
        } else {
            a.borrowed = *arg;
        }
        return S_OK;
    case Pass::VariantPointer:
        a.pointer = arg->vt == (VT_BYREF | VT_VARIANT) ? static_cast<void*>(arg->pvarVal) : static_cast<void*>(arg);
        return S_OK;
    case Pass::Pointer:
        return PointerTo(arg, p.vt, a.pointer);
    }
    return E_UNEXPECTED;
}

// Prepares an optional parameter the caller left out: its default value when the type
// information gives one, else, for a VARIANT, the "missing" marker VT_ERROR with
// DISP_E_PARAMNOTFOUND. Anything else cannot be left out.
HRESULT PrepareMissing(const Param& p, Arg& a)
{
    const PARAMDESC* d = p.desc;
    bool hasDefault = d && (d->wParamFlags & PARAMFLAG_FHASDEFAULT) && d->pparamdescex;
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    const VARIANT* value = hasDefault ? &d->pparamdescex->varDefaultValue : &missing;
    switch (p.pass) {
    case Pass::Scalar:
        if (!hasDefault)
            return DISP_E_BADPARAMCOUNT;
        return VariantChangeType(&a.owned, value, 0, p.vt);
    case Pass::Variant:
        a.borrowed = *value;
        return S_OK;
    case Pass::VariantPointer: {
        HRESULT hr = VariantCopy(&a.owned, value);
        a.pointer = &a.owned;
        return hr;
    }
    case Pass::Pointer:
        return DISP_E_BADPARAMCOUNT;
    }
    return E_UNEXPECTED;
}

void* ValueAddress(const Param& p, Arg& a)
{
    switch (p.pass) {
    case Pass::Scalar:
        return &a.owned.llVal;
    case Pass::Variant:
        return &a.borrowed;
    default:
        return &a.pointer;
    }
}

union ReturnValue {
    ffi_arg integer; // libffi widens integral returns to a full register
    float single;
    double real;
    void* pointer;
};

// The value a method of plain return type vt gave, as a variant that owns it.
VARIANT ReturnedVariant(VARTYPE vt, const ReturnValue& r)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt) {
    case VT_I1:
        v.cVal = static_cast<CHAR>(static_cast<int8_t>(r.integer));
        break;
    case VT_UI1:
        v.bVal = static_cast<BYTE>(r.integer);
        break;
    case VT_I2:
    case VT_BOOL:
        v.iVal = static_cast<SHORT>(r.integer);
        break;
    case VT_UI2:
        v.uiVal = static_cast<USHORT>(r.integer);
        break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
        v.lVal = static_cast<LONG>(r.integer);
        break;
    case VT_UI4:
    case VT_UINT:
        v.ulVal = static_cast<ULONG>(r.integer);
        break;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
        v.ullVal = static_cast<ULONGLONG>(r.integer);
        break;
    case VT_R4:
        v.fltVal = r.single;
        break;
    case VT_R8:
    case VT_DATE:
        v.dblVal = r.real;
        break;
    default: // VT_BSTR, VT_UNKNOWN, VT_DISPATCH
        v.byref = r.pointer;
        break;
    }
    return v;
}

HRESULT Invoke(void* pvInstance, const FUNCDESC& fd, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
               EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (fd.cParams < 0 || (fd.cParams > 0 && !fd.lprgelemdescParam) || fd.oVft < 0 || fd.oVft % sizeof(void*))
        return E_INVALIDARG;
    static const DISPPARAMS noArguments = {nullptr, nullptr, 0, 0};
    const DISPPARAMS& dp = pDispParams ? *pDispParams : noArguments;
    if ((dp.cArgs && !dp.rgvarg) || (dp.cNamedArgs && !dp.rgdispidNamedArgs) || dp.cNamedArgs > dp.cArgs)
        return E_INVALIDARG;

    // The parameters, the retval (always the last one) apart.
    size_t total = size_t(fd.cParams);
    std::vector<Param> params(total);
    bool hasRetval = false;
    for (size_t i = 0; i < total; ++i) {
        const ELEMDESC& e = fd.lprgelemdescParam[i];
        Param& p = params[i];
        HRESULT hr = Describe(e.tdesc, p);
        if (FAILED(hr))
            return hr;
        p.desc = &e.paramdesc;
        if (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) {
            if (i + 1 != total || (p.pass != Pass::Pointer && p.pass != Pass::VariantPointer))
                return E_INVALIDARG;
            hasRetval = true;
        }
    }
    size_t count = total - (hasRetval ? 1 : 0);
    for (size_t i = 0; i < count; ++i) {
        bool trailingOptional = fd.cParamsOpt > 0 && i >= count - std::min<size_t>(count, size_t(fd.cParamsOpt));
        params[i].optional = trailingOptional || (params[i].desc->wParamFlags & PARAMFLAG_FOPT);
    }
    VARTYPE returns = fd.elemdescFunc.tdesc.vt;
    bool returnsHresult = returns == VT_HRESULT;
    if (!returnsHresult && returns != VT_VOID) {
        if (!ScalarType(returns))
            return DISP_E_BADVARTYPE;
        if (hasRetval) // a retval belongs to a method that returns an HRESULT
            return E_INVALIDARG;
    }

    // Which argument (index in rgvarg) fills each parameter.
    constexpr UINT kNone = UINT(-1);
    std::vector<UINT> source(count, kNone);
    for (UINT k = 0; k < dp.cNamedArgs; ++k) {
        DISPID id = dp.rgdispidNamedArgs[k];
        if (id == DISPID_PROPERTYPUT && (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && count > 0)
            id = DISPID(count - 1);
        if (id < 0 || size_t(id) >= count || source[size_t(id)] != kNone) {
            if (puArgErr)
                *puArgErr = k;
            return DISP_E_PARAMNOTFOUND;
        }
        source[size_t(id)] = k;
    }
    if (dp.cArgs > count)
        return DISP_E_BADPARAMCOUNT;
    // Positional arguments arrive last first: the first one is rgvarg[cArgs - 1].
    UINT next = dp.cArgs;
    for (size_t i = 0; i < count && next > dp.cNamedArgs; ++i)
        if (source[i] == kNone)
            source[i] = --next;
    for (size_t i = 0; i < count; ++i)
        if (source[i] == kNone && !params[i].optional)
            return DISP_E_BADPARAMCOUNT;

    // The argument values, converted; the instance comes first.
    Args args(total);
    std::vector<ffi_type*> types(total + 1);
    std::vector<void*> values(total + 1);
    types[0] = &ffi_type_pointer;
    values[0] = &pvInstance;
    for (size_t i = 0; i < total; ++i) {
        const Param& p = params[i];
        Arg& a = args.items[i];
        if (hasRetval && i == count) {
            a.pointer = p.pass == Pass::VariantPointer ? static_cast<void*>(&a.owned) : &a.owned.llVal;
        } else if (source[i] == kNone) {
            HRESULT hr = PrepareMissing(p, a);
            if (FAILED(hr))
                return hr;
        } else {
            HRESULT hr = Prepare(p, &dp.rgvarg[source[i]], a);
            if (FAILED(hr)) {
                if (puArgErr)
                    *puArgErr = source[i];
                return hr;
            }
        }
        types[i + 1] = FfiTypeOf(p);
        values[i + 1] = ValueAddress(p, a);
    }

    ffi_type* returnType = returnsHresult ? &ffi_type_sint32 : returns == VT_VOID ? &ffi_type_void : ScalarType(returns);
    ffi_cif cif;
    if (ffi_prep_cif(&cif, FFI_DEFAULT_ABI, unsigned(total + 1), returnType, types.data()) != FFI_OK)
        return E_INVALIDARG;

    void* vtable;
    std::memcpy(&vtable, pvInstance, sizeof vtable);
    if (!vtable)
        return DISP_E_MEMBERNOTFOUND;
    void* slot;
    std::memcpy(&slot, static_cast<const char*>(vtable) + fd.oVft, sizeof slot);
    if (!slot)
        return DISP_E_MEMBERNOTFOUND;

    ReturnValue r;
    std::memset(&r, 0, sizeof r);
    HRESULT hr = S_OK;
    try {
        ffi_call(&cif, reinterpret_cast<void (*)()>(slot), &r, values.data());
        if (returnsHresult)
            hr = static_cast<HRESULT>(static_cast<int32_t>(r.integer));
    } catch (...) {
        // A method must not throw; one that does has failed.
        hr = E_UNEXPECTED;
        returnsHresult = true;
    }

    Arg* retval = hasRetval ? &args.items[count] : nullptr;
    if (returnsHresult && FAILED(hr)) {
        // A failing method has already released what it put in its out parameter.
        if (retval)
            VariantInit(&retval->owned);
        if (pExcepInfo)
            pExcepInfo->scode = hr;
        return DISP_E_EXCEPTION;
    }
    VARIANT result;
    VariantInit(&result);
    if (retval) {
        if (params[count].pass == Pass::Pointer)
            retval->owned.vt = params[count].vt;
        result = retval->owned;
        VariantInit(&retval->owned);
    } else if (!returnsHresult && returns != VT_VOID) {
        result = ReturnedVariant(returns, r);
    }
    if (pVarResult)
        *pVarResult = result;
    else
        VariantClear(&result);
    return returnsHresult ? hr : S_OK;
}

} // namespace

HRESULT InvokeFuncDesc(void* pvInstance, const FUNCDESC* pFuncDesc, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (pVarResult)
        VariantInit(pVarResult);
    if (pExcepInfo)
        std::memset(pExcepInfo, 0, sizeof *pExcepInfo);
    if (!pvInstance || !pFuncDesc)
        return E_INVALIDARG;
    try {
        return Invoke(pvInstance, *pFuncDesc, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
