// Variants over the simple types: initialisation, ownership and conversion.
//
// Conversions are locale-neutral: the locale of VariantChangeTypeEx and VarUI4FromStr is
// not used, text numbers take '.' as the decimal point and no digit grouping, and reals are
// written in their shortest form that reads back to the same value ("0.1", "1E+20"), with
// an upper-case exponent mark. Text reaches the parser through the platform's UTF codec.
#include <oleauto.h>

#include "boundary.h"
#include "text/utf.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>


using tonwell::platform::GuardHResult;
namespace {

namespace text = tonwell::platform::text;

// Wide enough for every integer a variant holds, with room to detect overflow.
using Wide = __int128;

constexpr VARTYPE kTypeMask = 0x0FFF;

// Types a VARIANT can hold by value.
bool IsByValueType(VARTYPE vt)
{
    return (vt <= VT_DECIMAL && vt != VT_VARIANT) || (vt >= VT_I1 && vt <= VT_UINT);
}

// Types a VARIANT can point at with VT_BYREF.
bool IsByRefType(VARTYPE vt) { return vt == VT_VARIANT || (vt >= VT_I2 && IsByValueType(vt)); }

// The one list of integer types a variant holds: calls f with a value of the C type that
// holds vt (VT_INT and VT_UINT are 32 bits here), or returns false for any other type.
// Reading, range checks and storing below all follow from that type, so each rule is
// written once for all ten.
template <typename F>
bool WithIntegerType(VARTYPE vt, F&& f)
{
    switch (vt) {
    case VT_I1:
        f(int8_t{});
        return true;
    case VT_UI1:
        f(uint8_t{});
        return true;
    case VT_I2:
        f(int16_t{});
        return true;
    case VT_UI2:
        f(uint16_t{});
        return true;
    case VT_I4:
    case VT_INT:
        f(int32_t{});
        return true;
    case VT_UI4:
    case VT_UINT:
        f(uint32_t{});
        return true;
    case VT_I8:
        f(int64_t{});
        return true;
    case VT_UI8:
        f(uint64_t{});
        return true;
    default:
        return false;
    }
}

bool IsIntegerType(VARTYPE vt)
{
    return WithIntegerType(vt, [](auto) {});
}

// Bytes of the value a by-reference variant points at; 0 for a type not held that way.
size_t ValueSize(VARTYPE vt)
{
    size_t size = 0;
    if (WithIntegerType(vt, [&](auto value) { size = sizeof value; }))
        return size;
    switch (vt) {
    case VT_BOOL:
        return 2;
    case VT_R4:
    case VT_ERROR:
        return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void*);
    default:
        return 0;
    }
}

// Whether a VARIANT may carry vt, by value or with VT_BYREF.
bool IsHeldType(VARTYPE vt)
{
    VARTYPE base = vt & ~VT_BYREF;
    if (base & ~kTypeMask)
        return false;
    return (vt & VT_BYREF) ? IsByRefType(base) : IsByValueType(base);
}

// A by-value view of src that owns nothing: a VT_BYREF source is read through its pointer,
// VT_BYREF|VT_VARIANT through the variant it points at (one level).
HRESULT View(const VARIANT* src, VARIANT& view, bool nested = false)
{
    VARTYPE vt = src->vt;
    if (!IsHeldType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        view = *src;
        return S_OK;
    }
    VARTYPE base = vt & ~VT_BYREF;
    if (!src->byref)
        return E_INVALIDARG;
    if (base == VT_VARIANT) {
        if (nested)
            return DISP_E_BADVARTYPE;
        return View(src->pvarVal, view, true);
    }
    size_t size = ValueSize(base);
    if (size == 0) // VT_DECIMAL does not fit in this platform's VARIANT
        return DISP_E_TYPEMISMATCH;
    std::memset(&view, 0, sizeof view);
    view.vt = base;
    std::memcpy(&view.llVal, src->byref, size);
    return S_OK;
}

// Every value member of the VARIANT union starts at its first byte (View relies on the same).
template <typename T>
T Member(const VARIANT& v)
{
    T value;
    std::memcpy(&value, &v.llVal, sizeof value);
    return value;
}

Wide IntegerOf(const VARIANT& v)
{
    if (v.vt == VT_BOOL)
        return v.boolVal;
    Wide value = 0;
    WithIntegerType(v.vt, [&](auto type) { value = Member<decltype(type)>(v); });
    return value;
}

bool Fits(Wide value, VARTYPE vt)
{
    bool fits = false;
    WithIntegerType(vt, [&](auto type) {
        using T = decltype(type);
        fits = value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
    });
    return fits;
}

// Stores value, already checked with Fits, as vt.
void StoreInteger(VARIANT& out, Wide value, VARTYPE vt)
{
    out.vt = vt;
    WithIntegerType(vt, [&](auto type) {
        auto narrow = static_cast<decltype(type)>(value);
        std::memcpy(&out.llVal, &narrow, sizeof narrow);
    });
}

// Every integer a variant holds lies in [INT64_MIN, UINT64_MAX]; each cast below rounds once.
template <typename Real>
Real RealOf(Wide value)
{
    return value < 0 ? static_cast<Real>(static_cast<int64_t>(value)) : static_cast<Real>(static_cast<uint64_t>(value));
}

// Rounds half to even; false for NaN, infinities and anything beyond 64 bits.
bool RoundToInteger(double x, Wide& out)
{
    if (!std::isfinite(x) || std::fabs(x) >= 18446744073709551616.0) // 2^64
        return false;
    double whole = std::floor(x);
    double fraction = x - whole; // exact for any double
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    out = static_cast<Wide>(whole);
    return true;
}

// ---- Text ----------------------------------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// A decimal number as text: [sign] digits [. digits] [e [sign] digits], with at least one
// digit before the exponent, surrounded by blanks at most.
struct Decimal {
    bool negative = false;
    std::string_view whole;    // digits before the point
    std::string_view fraction; // digits after it
    bool hasExponent = false;
    long exponent = 0;         // clamped far beyond any double's range
    std::string_view unsignedText; // everything after the sign
};

bool ParseDecimal(std::string_view s, Decimal& d)
{
    s = Trim(s);
    size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
        d.negative = s[i++] == '-';
    size_t start = i;
    while (i < n && IsDigit(s[i]))
        ++i;
    d.whole = s.substr(start, i - start);
    if (i < n && s[i] == '.') {
        size_t f = ++i;
        while (i < n && IsDigit(s[i]))
            ++i;
        d.fraction = s.substr(f, i - f);
    }
    if (d.whole.empty() && d.fraction.empty())
        return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            negativeExponent = s[i++] == '-';
        size_t e = i;
        long value = 0;
        while (i < n && IsDigit(s[i])) {
            if (value < 1000000)
                value = value * 10 + (s[i] - '0');
            ++i;
        }
        if (i == e)
            return false;
        d.hasExponent = true;
        d.exponent = negativeExponent ? -value : value;
    }
    if (i != n)
        return false;
    d.unsignedText = s.substr(start);
    return true;
}

HRESULT DecimalToReal(const Decimal& d, double& out)
{
    double value = 0;
    const char* first = d.unsignedText.data();
    const char* last = first + d.unsignedText.size();
    auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small: the position of the first significant digit decides.
        long magnitude = 0;
        size_t k = d.whole.find_first_not_of('0');
        if (k != std::string_view::npos) {
            magnitude = long(d.whole.size() - k) - 1;
        } else {
            k = d.fraction.find_first_not_of('0');
            magnitude = k == std::string_view::npos ? -1 : -long(k) - 1;
        }
        if (magnitude + d.exponent >= 0)
            return DISP_E_OVERFLOW;
        value = 0;
    } else if (ec != std::errc() || end != last) {
        return DISP_E_TYPEMISMATCH;
    }
    out = d.negative ? -value : value;
    return S_OK;
}

// Without an exponent the text is rounded exactly, digit by digit; with one it goes
// through the nearest double.
HRESULT DecimalToInteger(const Decimal& d, Wide& out)
{
    if (d.hasExponent) {
        double real;
        HRESULT hr = DecimalToReal(d, real);
        if (FAILED(hr))
            return hr;
        return RoundToInteger(real, out) ? S_OK : DISP_E_OVERFLOW;
    }
    constexpr Wide kCeiling = Wide(1) << 70; // beyond every target's range, and far from overflowing
    Wide value = 0;
    for (char c : d.whole) {
        value = value * 10 + (c - '0');
        if (value > kCeiling)
            value = kCeiling;
    }
    if (!d.fraction.empty()) {
        char first = d.fraction[0];
        bool up = first > '5';
        if (first == '5')
            up = d.fraction.find_first_not_of('0', 1) != std::string_view::npos || (value & 1) != 0;
        if (up)
            ++value;
    }
    out = d.negative ? -value : value;
    return S_OK;
}

std::string Utf8Of(const OLECHAR* s, size_t length)
{
    return s ? text::Utf16ToUtf8(std::u16string_view(s, length)) : std::string();
}

HRESULT TextToInteger(std::string_view s, Wide& out)
{
    Decimal d;
    if (!ParseDecimal(s, d))
        return DISP_E_TYPEMISMATCH;
    return DecimalToInteger(d, out);
}

HRESULT TextToReal(std::string_view s, double& out)
{
    Decimal d;
    if (!ParseDecimal(s, d))
        return DISP_E_TYPEMISMATCH;
    return DecimalToReal(d, out);
}

HRESULT TextToBool(std::string_view s, bool& out)
{
    std::string_view t = Trim(s);
    if (text::EqualNoCaseAscii(t, "true") || text::EqualNoCaseAscii(t, "false")) {
        out = t.size() == 4;
        return S_OK;
    }
    double value;
    HRESULT hr = TextToReal(t, value);
    if (hr == DISP_E_OVERFLOW) { // a number too large for a double is still not zero
        out = true;
        return S_OK;
    }
    if (FAILED(hr))
        return hr;
    out = value != 0;
    return S_OK;
}

HRESULT StoreText(VARIANT& out, std::string_view ascii)
{
    std::u16string wide = text::Utf8ToUtf16(ascii);
    BSTR b = SysAllocStringLen(wide.data(), UINT(wide.size()));
    if (!b)
        return E_OUTOFMEMORY;
    out.vt = VT_BSTR;
    out.bstrVal = b;
    return S_OK;
}

std::string FormatInteger(Wide value)
{
    char buffer[32];
    auto r = value < 0 ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value))
                       : std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint64_t>(value));
    return std::string(buffer, r.ptr);
}

// Shortest form that reads back to the same value, exponent mark upper-case.
template <typename Real>
std::string FormatReal(Real value)
{
    char buffer[64];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string s(buffer, r.ptr);
    for (char& c : s)
        if (c == 'e')
            c = 'E';
    return s;
}

// ---- Conversion ----------------------------------------------------------------------------

enum class Kind { Empty, Null, Integer, Real, Bool, Text, Other };

Kind KindOf(VARTYPE vt)
{
    if (IsIntegerType(vt))
        return Kind::Integer;
    switch (vt) {
    case VT_EMPTY:
        return Kind::Empty;
    case VT_NULL:
        return Kind::Null;
    case VT_R4:
    case VT_R8:
        return Kind::Real;
    case VT_BOOL:
        return Kind::Bool;
    case VT_BSTR:
        return Kind::Text;
    default:
        return Kind::Other;
    }
}

std::string TextOf(const VARIANT& v) { return Utf8Of(v.bstrVal, SysStringLen(v.bstrVal)); }

double RealOf(const VARIANT& v) { return v.vt == VT_R4 ? double(v.fltVal) : v.dblVal; }

HRESULT ToInteger(const VARIANT& src, VARTYPE vt, VARIANT& out)
{
    Wide value = 0;
    switch (KindOf(src.vt)) {
    case Kind::Empty:
        break;
    case Kind::Integer:
    case Kind::Bool:
        value = IntegerOf(src);
        break;
    case Kind::Real:
        if (!RoundToInteger(RealOf(src), value))
            return DISP_E_OVERFLOW;
        break;
    case Kind::Text: {
        HRESULT hr = TextToInteger(TextOf(src), value);
        if (FAILED(hr))
            return hr;
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (!Fits(value, vt))
        return DISP_E_OVERFLOW;
    StoreInteger(out, value, vt);
    return S_OK;
}

HRESULT ToReal(const VARIANT& src, VARTYPE vt, VARIANT& out)
{
    bool single = vt == VT_R4;
    double value = 0;
    switch (KindOf(src.vt)) {
    case Kind::Empty:
        break;
    case Kind::Integer:
    case Kind::Bool:
        if (single) { // one rounding, straight to float
            out.vt = VT_R4;
            out.fltVal = RealOf<float>(IntegerOf(src));
            return S_OK;
        }
        value = RealOf<double>(IntegerOf(src));
        break;
    case Kind::Real:
        value = RealOf(src);
        break;
    case Kind::Text: {
        HRESULT hr = TextToReal(TextOf(src), value);
        if (FAILED(hr))
            return hr;
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    out.vt = vt;
    if (single) {
        float narrow = static_cast<float>(value);
        if (std::isfinite(value) && std::isinf(narrow))
            return DISP_E_OVERFLOW;
        out.fltVal = narrow;
    } else {
        out.dblVal = value;
    }
    return S_OK;
}

HRESULT ToBool(const VARIANT& src, VARIANT& out)
{
    bool value = false;
    switch (KindOf(src.vt)) {
    case Kind::Empty:
        break;
    case Kind::Integer:
        value = IntegerOf(src) != 0;
        break;
    case Kind::Real:
        value = RealOf(src) != 0;
        break;
    case Kind::Text: {
        HRESULT hr = TextToBool(TextOf(src), value);
        if (FAILED(hr))
            return hr;
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    out.vt = VT_BOOL;
    out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToText(const VARIANT& src, USHORT wFlags, VARIANT& out)
{
    switch (KindOf(src.vt)) {
    case Kind::Empty:
        return StoreText(out, "");
    case Kind::Integer:
        return StoreText(out, FormatInteger(IntegerOf(src)));
    case Kind::Real:
        return StoreText(out, src.vt == VT_R4 ? FormatReal(src.fltVal) : FormatReal(src.dblVal));
    case Kind::Bool:
        if (wFlags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            return StoreText(out, src.boolVal ? "True" : "False");
        return StoreText(out, FormatInteger(src.boolVal));
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

// Between the two interface types, through QueryInterface; a null pointer stays null.
HRESULT ToInterface(const VARIANT& src, VARTYPE vt, VARIANT& out)
{
    if (!((src.vt == VT_UNKNOWN && vt == VT_DISPATCH) || (src.vt == VT_DISPATCH && vt == VT_UNKNOWN)))
        return DISP_E_TYPEMISMATCH;
    IUnknown* unknown = src.punkVal; // an IDispatch is an IUnknown
    void* result = nullptr;
    if (unknown && FAILED(unknown->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &result)))
        return DISP_E_TYPEMISMATCH;
    out.vt = vt;
    out.byref = result;
    return S_OK;
}

// Converts the by-value view src to vt in out, which starts empty and owns what it gets.
HRESULT Convert(const VARIANT& src, USHORT wFlags, VARTYPE vt, VARIANT& out)
{
    if (src.vt == vt)
        return VariantCopy(&out, &src);
    if (IsIntegerType(vt))
        return ToInteger(src, vt, out);
    switch (vt) {
    case VT_EMPTY:
        if (KindOf(src.vt) == Kind::Other)
            return DISP_E_TYPEMISMATCH;
        return S_OK;
    case VT_NULL:
        if (src.vt != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    case VT_R4:
    case VT_R8:
        return ToReal(src, vt, out);
    case VT_BOOL:
        return ToBool(src, out);
    case VT_BSTR:
        return ToText(src, wFlags, out);
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return ToInterface(src, vt, out);
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

} // namespace

void WINAPI VariantInit(VARIANTARG* pvarg)
{
    if (pvarg)
        std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    VARTYPE vt = pvarg->vt;
    if (!IsHeldType(vt))
        return DISP_E_BADVARTYPE;
    // A VT_BYREF value belongs to whoever made the reference: nothing to free.
    if (vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvarg->punkVal) {
        // Emptied first: a Release that reaches this variant again finds nothing to free.
        IUnknown* unknown = pvarg->punkVal;
        VariantInit(pvarg);
        unknown->Release();
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc)
{
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    VARTYPE vt = pvargSrc->vt;
    if (!IsHeldType(vt))
        return DISP_E_BADVARTYPE;
    // Built aside, so that a source inside the destination's value survives its clearing.
    VARIANT copy = *pvargSrc;
    if (vt == VT_BSTR && pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal)
            return E_OUTOFMEMORY;
    } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && pvargSrc->punkVal) {
        pvargSrc->punkVal->AddRef();
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                                   VARTYPE vt)
{
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if ((vt & ~kTypeMask) || !IsByValueType(vt))
        return DISP_E_BADVARTYPE;
    return GuardHResult([&]() -> HRESULT {
        VARIANT view;
        HRESULT hr = View(pvarSrc, view);
        if (FAILED(hr))
            return hr;
        VARIANT result;
        VariantInit(&result);
        hr = Convert(view, wFlags, vt, result);
        if (FAILED(hr)) {
            VariantClear(&result);
            return hr;
        }
        // The destination is cleared only now: it may be the source, or hold it.
        hr = VariantClear(pvargDest);
        if (FAILED(hr)) {
            VariantClear(&result);
            return hr;
        }
        *pvargDest = result;
        return S_OK;
    });
}

HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt)
{
    return VariantChangeTypeEx(pvargDest, pvarSrc, 0, wFlags, vt);
}

HRESULT WINAPI VarUI4FromStr(const OLECHAR* strIn, LCID, ULONG, ULONG* pulOut)
{
    if (!strIn || !pulOut)
        return E_INVALIDARG;
    return GuardHResult([&]() -> HRESULT {
        size_t length = 0;
        while (strIn[length])
            ++length;
        Wide value = 0;
        HRESULT hr = TextToInteger(Utf8Of(strIn, length), value);
        if (FAILED(hr))
            return hr;
        if (!Fits(value, VT_UI4))
            return DISP_E_OVERFLOW;
        *pulOut = static_cast<ULONG>(value);
        return S_OK;
    });
}
