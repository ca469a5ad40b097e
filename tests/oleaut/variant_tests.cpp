// Variants: the conversion table between the simple types, text numbers, VarUI4FromStr,
// and who owns what in VariantClear and VariantCopy.
#include "ascii_text.h"
#include "fixed_dispatch.h"
#include "variant_test_support.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace tonwell::test;

const char* TypeName(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: return "EMPTY";
    case VT_NULL: return "NULL";
    case VT_I1: return "I1";
    case VT_UI1: return "UI1";
    case VT_I2: return "I2";
    case VT_UI2: return "UI2";
    case VT_I4: return "I4";
    case VT_UI4: return "UI4";
    case VT_I8: return "I8";
    case VT_UI8: return "UI8";
    case VT_INT: return "INT";
    case VT_UINT: return "UINT";
    case VT_R4: return "R4";
    case VT_R8: return "R8";
    case VT_BOOL: return "BOOL";
    case VT_BSTR: return "BSTR";
    default: return "?";
    }
}

// "TYPE:value", so that a table can say what a conversion must give.
std::string Show(const VARIANT& v)
{
    std::string s = TypeName(v.vt);
    char buf[64] = "";
    switch (v.vt) {
    case VT_I1: std::snprintf(buf, sizeof buf, "%d", int(static_cast<signed char>(v.cVal))); break;
    case VT_UI1: std::snprintf(buf, sizeof buf, "%u", unsigned(v.bVal)); break;
    case VT_I2: std::snprintf(buf, sizeof buf, "%d", int(v.iVal)); break;
    case VT_UI2: std::snprintf(buf, sizeof buf, "%u", unsigned(v.uiVal)); break;
    case VT_I4: std::snprintf(buf, sizeof buf, "%d", int(v.lVal)); break;
    case VT_UI4: std::snprintf(buf, sizeof buf, "%u", unsigned(v.ulVal)); break;
    case VT_INT: std::snprintf(buf, sizeof buf, "%d", v.intVal); break;
    case VT_UINT: std::snprintf(buf, sizeof buf, "%u", v.uintVal); break;
    case VT_I8: std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.llVal)); break;
    case VT_UI8: std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v.ullVal)); break;
    case VT_R4: std::snprintf(buf, sizeof buf, "%.9g", double(v.fltVal)); break;
    case VT_R8: std::snprintf(buf, sizeof buf, "%.17g", v.dblVal); break;
    case VT_BOOL: std::snprintf(buf, sizeof buf, "%d", int(v.boolVal)); break;
    case VT_BSTR: {
        std::string t;
        for (char16_t c : TextOf(v))
            t += c < 0x80 ? char(c) : '?';
        return s + ":" + t;
    }
    default: return s;
    }
    return s + ":" + buf;
}

using tonwell::test::Wide;

// The result of converting src to vt: "TYPE:value", or the failure code in hexadecimal.
std::string Convert(const VARIANT& src, VARTYPE vt, USHORT flags = 0)
{
    Var out;
    HRESULT hr = VariantChangeType(&out, &src, flags, vt);
    if (FAILED(hr)) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08X", unsigned(hr));
        EXPECT_EQ(out.Type(), VT_EMPTY) << "a failed conversion leaves the destination alone";
        return buf;
    }
    return Show(out.Get());
}

std::string Convert(const Var& src, VARTYPE vt, USHORT flags = 0) { return Convert(src.Get(), vt, flags); }

// A variant of a type nobody can clear.
VARIANT Raw(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

const std::string kMismatch = "80020005";
const std::string kOverflow = "8002000A";
const std::string kBadType = "80020008";

const VARTYPE kTargets[] = {VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
                            VT_UI8,   VT_INT,  VT_UINT, VT_R4, VT_R8, VT_BOOL, VT_BSTR};

bool IsUnsigned(VARTYPE vt) { return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8 || vt == VT_UINT; }

TEST(VariantChangeType, EveryNumberSourceToEveryTarget)
{
    std::vector<std::function<Var()>> sources = {
        [] { return I1(42); },  [] { return UI1(42); },  [] { return I2(42); },    [] { return UI2(42); },
        [] { return I4(42); },  [] { return UI4(42); },  [] { return I8(42); },    [] { return UI8(42); },
        [] { return Int(42); }, [] { return UInt(42); }, [] { return R4(42.0f); }, [] { return R8(42.0); },
        [] { return Str(u"42"); }};
    for (auto& make : sources) {
        Var src = make();
        for (VARTYPE vt : kTargets) {
            std::string expected;
            if (vt == VT_EMPTY)
                expected = "EMPTY";
            else if (vt == VT_NULL)
                expected = kMismatch;
            else if (vt == VT_BOOL)
                expected = "BOOL:-1";
            else
                expected = std::string(TypeName(vt)) + ":42";
            EXPECT_EQ(Convert(src, vt), expected) << TypeName(src.Type()) << " -> " << TypeName(vt);
        }
    }
}

TEST(VariantChangeType, EmptyNullAndBoolSourcesToEveryTarget)
{
    for (VARTYPE vt : kTargets) {
        SCOPED_TRACE(TypeName(vt));
        std::string name = TypeName(vt);
        bool number = vt != VT_EMPTY && vt != VT_NULL && vt != VT_BOOL && vt != VT_BSTR;
        // VT_EMPTY is 0, false or the empty string.
        std::string fromEmpty = vt == VT_BSTR ? "BSTR:" : vt == VT_BOOL ? "BOOL:0" : number ? name + ":0" : name;
        EXPECT_EQ(Convert(Empty(), vt), fromEmpty);
        // VT_NULL is no number, no text and no truth value.
        EXPECT_EQ(Convert(Null(), vt), vt == VT_EMPTY || vt == VT_NULL ? name : kMismatch);
        // True is -1: no unsigned type holds it.
        std::string fromTrue = IsUnsigned(vt) ? kOverflow : vt == VT_NULL ? kMismatch : vt == VT_EMPTY ? "EMPTY"
                                                                                     : name + ":-1";
        EXPECT_EQ(Convert(Bool(true), vt), fromTrue);
        std::string fromFalse = vt == VT_NULL ? kMismatch : vt == VT_EMPTY ? "EMPTY" : name + ":0";
        EXPECT_EQ(Convert(Bool(false), vt), fromFalse);
    }
    EXPECT_EQ(Convert(Bool(true), VT_BSTR, VARIANT_ALPHABOOL), "BSTR:True");
    EXPECT_EQ(Convert(Bool(false), VT_BSTR, VARIANT_ALPHABOOL), "BSTR:False");
}

TEST(VariantChangeType, IntegerTargetsCheckTheirRange)
{
    struct Range {
        VARTYPE vt;
        long long lo;
        unsigned long long hi;
    } ranges[] = {{VT_I1, -128, 127},
                  {VT_UI1, 0, 255},
                  {VT_I2, -32768, 32767},
                  {VT_UI2, 0, 65535},
                  {VT_I4, INT32_MIN, INT32_MAX},
                  {VT_INT, INT32_MIN, INT32_MAX},
                  {VT_UI4, 0, UINT32_MAX},
                  {VT_UINT, 0, UINT32_MAX},
                  {VT_I8, INT64_MIN, INT64_MAX},
                  {VT_UI8, 0, UINT64_MAX}};
    for (const Range& r : ranges) {
        SCOPED_TRACE(TypeName(r.vt));
        std::string name = TypeName(r.vt);
        EXPECT_EQ(Convert(I8(r.lo), r.vt), name + ":" + std::to_string(r.lo));
        EXPECT_EQ(Convert(UI8(r.hi), r.vt), name + ":" + std::to_string(r.hi));
        if (r.vt != VT_I8 && r.vt != VT_UI8) {
            EXPECT_EQ(Convert(I8(r.lo - 1), r.vt), kOverflow);
            EXPECT_EQ(Convert(UI8(r.hi + 1), r.vt), kOverflow);
            EXPECT_EQ(Convert(Str(u" " + Wide(std::to_string(r.hi + 1))), r.vt), kOverflow);
            EXPECT_EQ(Convert(Str(Wide(std::to_string(r.lo - 1)) + u" "), r.vt), kOverflow);
        }
    }
    EXPECT_EQ(Convert(I4(255), VT_UI1), "UI1:255");
    EXPECT_EQ(Convert(I4(256), VT_UI1), kOverflow);
    EXPECT_EQ(Convert(I4(-1), VT_UI4), kOverflow);
    EXPECT_EQ(Convert(I8(-1), VT_UI8), kOverflow);
    EXPECT_EQ(Convert(UI8(UINT64_MAX), VT_I8), kOverflow);
    EXPECT_EQ(Convert(I1(-1), VT_UI1), kOverflow);
    // Text beyond 64 bits, and exactly at the edges.
    EXPECT_EQ(Convert(Str(u"18446744073709551615"), VT_UI8), "UI8:18446744073709551615");
    EXPECT_EQ(Convert(Str(u"18446744073709551616"), VT_UI8), kOverflow);
    EXPECT_EQ(Convert(Str(u"-9223372036854775808"), VT_I8), "I8:-9223372036854775808");
    EXPECT_EQ(Convert(Str(u"-9223372036854775809"), VT_I8), kOverflow);
    EXPECT_EQ(Convert(Str(u"99999999999999999999999999999999999999999999"), VT_I4), kOverflow);
}

TEST(VariantChangeType, RealsRoundHalfToEven)
{
    struct {
        double x;
        const char* i4;
    } cases[] = {{2.5, "I4:2"},   {3.5, "I4:4"},   {-2.5, "I4:-2"}, {-3.5, "I4:-4"}, {0.5, "I4:0"},
                 {1.5, "I4:2"},   {-0.5, "I4:0"},  {2.4999, "I4:2"}, {2.5000001, "I4:3"},
                 {-2.6, "I4:-3"}, {1e9 + 0.5, "I4:1000000000"}};
    for (auto& c : cases)
        EXPECT_EQ(Convert(R8(c.x), VT_I4), c.i4) << c.x;
    EXPECT_EQ(Convert(R4(2.5f), VT_I2), "I2:2");
    EXPECT_EQ(Convert(R4(-1.5f), VT_I8), "I8:-2");
    // The rounding decides the range: 4294967295.5 becomes 4294967296.
    EXPECT_EQ(Convert(R8(4294967295.4), VT_UI4), "UI4:4294967295");
    EXPECT_EQ(Convert(R8(4294967295.5), VT_UI4), kOverflow);
    EXPECT_EQ(Convert(R8(255.5), VT_UI1), kOverflow);
    EXPECT_EQ(Convert(R8(254.5), VT_UI1), "UI1:254");
    EXPECT_EQ(Convert(R8(-0.4), VT_UI4), "UI4:0");
    EXPECT_EQ(Convert(R8(-0.6), VT_UI4), kOverflow);
    EXPECT_EQ(Convert(R8(18446744073709549568.0), VT_UI8), "UI8:18446744073709549568");
    EXPECT_EQ(Convert(R8(18446744073709551616.0), VT_UI8), kOverflow);
    EXPECT_EQ(Convert(R8(-9223372036854775808.0), VT_I8), "I8:-9223372036854775808");
    EXPECT_EQ(Convert(R8(9223372036854775808.0), VT_I8), kOverflow);
    // No integer for NaN or the infinities.
    EXPECT_EQ(Convert(R8(std::nan("")), VT_I4), kOverflow);
    EXPECT_EQ(Convert(R8(INFINITY), VT_I8), kOverflow);
    EXPECT_EQ(Convert(R4(-INFINITY), VT_UI1), kOverflow);
    // Text with a fraction is rounded the same way, digit by digit.
    EXPECT_EQ(Convert(Str(u"2.5"), VT_I4), "I4:2");
    EXPECT_EQ(Convert(Str(u"3.5"), VT_I4), "I4:4");
    EXPECT_EQ(Convert(Str(u"-2.5"), VT_I4), "I4:-2");
    EXPECT_EQ(Convert(Str(u"2.50000000000000000000001"), VT_I4), "I4:3");
    EXPECT_EQ(Convert(Str(u"4294967295.5"), VT_UI4), kOverflow);
    EXPECT_EQ(Convert(Str(u"4294967295.49999"), VT_UI4), "UI4:4294967295");
    EXPECT_EQ(Convert(Str(u"25e-1"), VT_I4), "I4:2");
    EXPECT_EQ(Convert(Str(u"1e3"), VT_I2), "I2:1000");
}

TEST(VariantChangeType, RealTargets)
{
    EXPECT_EQ(Convert(R8(1e300), VT_R4), kOverflow);
    EXPECT_EQ(Convert(R8(-1e300), VT_R4), kOverflow);
    EXPECT_EQ(Convert(R8(0.1), VT_R4), "R4:0.100000001");
    EXPECT_EQ(Convert(R8(INFINITY), VT_R4), "R4:inf") << "an infinity stays one";
    EXPECT_EQ(Convert(R4(0.1f), VT_R8), "R8:0.10000000149011612");
    EXPECT_EQ(Convert(UI8(UINT64_MAX), VT_R8), "R8:1.8446744073709552e+19");
    EXPECT_EQ(Convert(I8(INT64_MIN), VT_R4), "R4:-9.22337204e+18");
    EXPECT_EQ(Convert(Str(u"1e400"), VT_R8), kOverflow);
    EXPECT_EQ(Convert(Str(u"-1e400"), VT_R8), kOverflow);
    EXPECT_EQ(Convert(Str(u"1e-400"), VT_R8), "R8:0");
    EXPECT_EQ(Convert(Str(u"0.000001e-400"), VT_R8), "R8:0");
    EXPECT_EQ(Convert(Str(u"1e39"), VT_R4), kOverflow);
    EXPECT_EQ(Convert(Str(u".5"), VT_R8), "R8:0.5");
    EXPECT_EQ(Convert(Str(u"5."), VT_R8), "R8:5");
    EXPECT_EQ(Convert(Str(u" -1.25E+2 "), VT_R8), "R8:-125");
    EXPECT_EQ(Convert(Str(u"0.1"), VT_R8), "R8:0.10000000000000001");
}

TEST(VariantChangeType, TextToNumber)
{
    EXPECT_EQ(Convert(Str(u"  42 "), VT_I4), "I4:42");
    EXPECT_EQ(Convert(Str(u"\t42\r\n"), VT_UI1), "UI1:42");
    EXPECT_EQ(Convert(Str(u"+7"), VT_I4), "I4:7");
    EXPECT_EQ(Convert(Str(u"-7"), VT_I4), "I4:-7");
    EXPECT_EQ(Convert(Str(u"-0"), VT_UI4), "UI4:0");
    EXPECT_EQ(Convert(Str(u"007"), VT_I4), "I4:7");
    EXPECT_EQ(Convert(Str(u"-1"), VT_UI4), kOverflow);
    std::u16string lone(1, char16_t(0xD800));
    for (std::u16string bad : {std::u16string(u"4x"), std::u16string(u""), std::u16string(u"   "), std::u16string(u"+"),
                               std::u16string(u"-"), std::u16string(u"- 7"), std::u16string(u"+-7"),
                               std::u16string(u"0x10"), std::u16string(u"1,000"), std::u16string(u"1e"),
                               std::u16string(u"e5"), std::u16string(u"."), std::u16string(u"4 2"),
                               std::u16string(u"true"), std::u16string(u"\uFF14\uFF12"),
                               std::u16string(u"4\0" u"2", 3), lone + u"1"}) {
        EXPECT_EQ(Convert(Str(bad), VT_I4), kMismatch) << "one of the bad texts";
        EXPECT_EQ(Convert(Str(bad), VT_R8), kMismatch) << "one of the bad texts";
    }
    // A null BSTR is the empty string.
    EXPECT_EQ(Convert(Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; }), VT_I4), kMismatch);
}

TEST(VariantChangeType, TextToBool)
{
    for (std::u16string yes : {u"True", u"TRUE", u"tRuE", u"  true ", u"-1", u"1", u"2.5", u"1e400"})
        EXPECT_EQ(Convert(Str(yes), VT_BOOL), "BOOL:-1");
    for (std::u16string no : {u"False", u"false", u" FALSE", u"0", u"-0", u"0.0"})
        EXPECT_EQ(Convert(Str(no), VT_BOOL), "BOOL:0");
    for (std::u16string bad : {u"yes", u"", u"truth", u"#TRUE#"})
        EXPECT_EQ(Convert(Str(bad), VT_BOOL), kMismatch);
}

TEST(VariantChangeType, NumbersToText)
{
    EXPECT_EQ(Convert(UI1(255), VT_BSTR), "BSTR:255");
    EXPECT_EQ(Convert(I1(-128), VT_BSTR), "BSTR:-128");
    EXPECT_EQ(Convert(UI8(UINT64_MAX), VT_BSTR), "BSTR:18446744073709551615");
    EXPECT_EQ(Convert(I8(INT64_MIN), VT_BSTR), "BSTR:-9223372036854775808");
    // Reals: the shortest text that reads back to the same value.
    EXPECT_EQ(Convert(R8(0.1), VT_BSTR), "BSTR:0.1");
    EXPECT_EQ(Convert(R8(2.5), VT_BSTR), "BSTR:2.5");
    EXPECT_EQ(Convert(R8(-1234.0), VT_BSTR), "BSTR:-1234");
    EXPECT_EQ(Convert(R8(1e20), VT_BSTR), "BSTR:1E+20");
    EXPECT_EQ(Convert(R8(1e-5), VT_BSTR), "BSTR:1E-05");
    EXPECT_EQ(Convert(R8(0.1 + 0.2), VT_BSTR), "BSTR:0.30000000000000004");
    EXPECT_EQ(Convert(R4(0.1f), VT_BSTR), "BSTR:0.1");
    EXPECT_EQ(Convert(Bool(true), VT_BSTR), "BSTR:-1");
    // And they read back.
    for (double x : {0.1, 1e20, -3.75e-7, 123456789.125}) {
        Var text;
        ASSERT_EQ(VariantChangeType(&text, &R8(x).Get(), 0, VT_BSTR), S_OK);
        Var back;
        ASSERT_EQ(VariantChangeType(&back, &text.Get(), 0, VT_R8), S_OK);
        EXPECT_EQ(back.Get().dblVal, x);
    }
}

TEST(VariantChangeType, ByReferenceSources)
{
    BYTE b = 200;
    EXPECT_EQ(Convert(ByRef(VT_UI1, &b), VT_I4), "I4:200");
    EXPECT_EQ(Convert(ByRef(VT_UI1, &b), VT_I1), kOverflow);
    double d = 2.5;
    EXPECT_EQ(Convert(ByRef(VT_R8, &d), VT_I2), "I2:2");
    VARIANT_BOOL t = VARIANT_TRUE;
    EXPECT_EQ(Convert(ByRef(VT_BOOL, &t), VT_UI2), kOverflow);
    LONGLONG big = 1LL << 40;
    EXPECT_EQ(Convert(ByRef(VT_I8, &big), VT_BSTR), "BSTR:1099511627776");
    BSTR s = SysAllocString(u" 17 ");
    EXPECT_EQ(Convert(ByRef(VT_BSTR, &s), VT_UI1), "UI1:17");
    EXPECT_EQ(Convert(ByRef(VT_BSTR, &s), VT_BSTR), "BSTR: 17 ");
    Var inner = I2(-5);
    EXPECT_EQ(Convert(ByRef(VT_VARIANT, &inner), VT_R8), "R8:-5");
    EXPECT_EQ(Convert(ByRef(VT_VARIANT, &inner), VT_UI4), kOverflow);
    Var innerRef = ByRef(VT_BSTR, &s);
    EXPECT_EQ(Convert(ByRef(VT_VARIANT, &innerRef), VT_I4), "I4:17");
    Var outer = ByRef(VT_VARIANT, &inner);
    EXPECT_EQ(Convert(ByRef(VT_VARIANT, &outer), VT_I4), kBadType) << "one level of variant reference only";
    EXPECT_EQ(std::u16string(s), u" 17 ") << "the referenced text is not the conversion's to free";
    SysFreeString(s);
    EXPECT_EQ(Convert(ByRef(VT_I4, nullptr), VT_I8), "80070057");
}

TEST(VariantChangeType, TypesItDoesNotConvert)
{
    EXPECT_EQ(Convert(I4(1), VT_PTR), kBadType);
    EXPECT_EQ(Convert(I4(1), VT_VARIANT), kBadType);
    EXPECT_EQ(Convert(I4(1), VARTYPE(VT_BYREF | VT_I4)), kBadType);
    EXPECT_EQ(Convert(I4(1), 15), kBadType);
    EXPECT_EQ(Convert(I4(1), 99), kBadType);
    EXPECT_EQ(Convert(Raw(99), VT_I4), kBadType);
    EXPECT_EQ(Convert(Raw(VT_ARRAY | VT_I4), VT_I4), kBadType);
    EXPECT_EQ(Convert(Raw(VT_BYREF | 99), VT_I4), kBadType);
    EXPECT_EQ(Convert(I4(1), VT_DATE), kMismatch);
    EXPECT_EQ(Convert(I4(1), VT_CY), kMismatch);
    EXPECT_EQ(Convert(I4(1), VT_ERROR), kMismatch);
    EXPECT_EQ(Convert(Make(VT_DATE, [](VARIANT& v) { v.date = 1.0; }), VT_I4), kMismatch);
    EXPECT_EQ(Convert(Make(VT_ERROR, [](VARIANT& v) { v.scode = E_FAIL; }), VT_BSTR), kMismatch);
    EXPECT_EQ(Convert(Make(VT_UNKNOWN, [](VARIANT& v) { v.punkVal = nullptr; }), VT_I4), kMismatch);
    // The same type is a copy.
    Var error = Make(VT_ERROR, [](VARIANT& v) { v.scode = E_FAIL; });
    Var copy;
    ASSERT_EQ(VariantChangeType(&copy, &error, 0, VT_ERROR), S_OK);
    EXPECT_EQ(copy.Get().scode, E_FAIL);
    Var i4 = I4(1);
    EXPECT_EQ(VariantChangeType(nullptr, &i4, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&copy, nullptr, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeType, InPlaceAndOverwrittenDestinations)
{
    Var v = Str(u" 42 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK); // the text is freed: the leak checker sees it
    EXPECT_EQ(Show(v.Get()), "I4:42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Show(v.Get()), "BSTR:42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Show(v.Get()), "BSTR:42");

    // A failure leaves the variant as it was.
    Var bad = Str(u"4x");
    EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Show(bad.Get()), "BSTR:4x");

    // A destination that holds text gives it up.
    Var dest = Str(u"old");
    Var src = R8(1.5);
    ASSERT_EQ(VariantChangeTypeEx(&dest, &src, 0x409, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Show(dest.Get()), "BSTR:1.5");

    // The destination may be the variant a reference points at.
    Var target = Str(u"7");
    Var ref = ByRef(VT_VARIANT, &target);
    ASSERT_EQ(VariantChangeType(&target, &ref, 0, VT_UI1), S_OK);
    EXPECT_EQ(Show(target.Get()), "UI1:7");
}

TEST(VarUI4FromStr, FollowsTheSameRules)
{
    struct {
        const char16_t* text;
        HRESULT hr;
        ULONG value;
    } cases[] = {{u"42", S_OK, 42},
                 {u"  42 ", S_OK, 42},
                 {u"+7", S_OK, 7},
                 {u"-0", S_OK, 0},
                 {u"4294967295", S_OK, 4294967295u},
                 {u"4294967295.4", S_OK, 4294967295u},
                 {u"1e3", S_OK, 1000},
                 {u"2.5", S_OK, 2},
                 {u"4294967296", DISP_E_OVERFLOW, 0},
                 {u"4294967295.5", DISP_E_OVERFLOW, 0},
                 {u"-1", DISP_E_OVERFLOW, 0},
                 {u"4x", DISP_E_TYPEMISMATCH, 0},
                 {u"", DISP_E_TYPEMISMATCH, 0},
                 {u" ", DISP_E_TYPEMISMATCH, 0},
                 {u"0x10", DISP_E_TYPEMISMATCH, 0}};
    for (auto& c : cases) {
        ULONG out = 0xDEADBEEF;
        EXPECT_EQ(VarUI4FromStr(c.text, 0, 0, &out), c.hr);
        EXPECT_EQ(out, SUCCEEDED(c.hr) ? c.value : 0xDEADBEEF) << "untouched on failure";
    }
    ULONG out;
    EXPECT_EQ(VarUI4FromStr(nullptr, 0, 0, &out), E_INVALIDARG);
    EXPECT_EQ(VarUI4FromStr(u"1", 0, 0, nullptr), E_INVALIDARG);
}

// An object that counts its references; it answers IDispatch only when asked to.
class Counted : public NoTypeInfoDispatch<IDispatch> {
public:
    explicit Counted(bool dispatch) : m_dispatch(dispatch) {}
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || (m_dispatch && IsEqualGUID(riid, IID_IDispatch))) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

private:
    bool m_dispatch;
};

TEST(Variant, ClearFreesWhatItOwnsAndNothingElse)
{
    Counted object(false);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_UNKNOWN;
    v.punkVal = &object;
    object.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_EQ(v.vt, VT_EMPTY);

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"owned"); // freed by the clear, or the leak checker complains
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);

    BSTR kept = SysAllocString(u"kept");
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &kept;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(std::u16string(kept), u"kept");
    SysFreeString(kept);

    v.vt = VT_BYREF | VT_UNKNOWN;
    IUnknown* p = &object;
    v.byref = &p;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(object.refs, 1u);

    v.vt = 99;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
    EXPECT_EQ(v.vt, 99) << "an unknown variant is left alone";
    v.vt = VT_UNKNOWN;
    v.punkVal = nullptr;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CopyIsDeep)
{
    // Text, embedded NULs and an odd byte length included, is duplicated.
    Var src = Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocStringByteLen("a\0bcd", 5); });
    Var dest = Str(u"replaced");
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    ASSERT_EQ(dest.Type(), VT_BSTR);
    EXPECT_NE(dest.Get().bstrVal, src.Get().bstrVal);
    EXPECT_EQ(SysStringByteLen(dest.Get().bstrVal), 5u);
    EXPECT_EQ(std::memcmp(dest.Get().bstrVal, "a\0bcd", 5), 0);
    src.Get().bstrVal[0] = u'z';
    EXPECT_EQ(reinterpret_cast<const char*>(dest.Get().bstrVal)[0], 'a');

    // Interfaces gain a reference per copy.
    Counted object(true);
    {
        Var unk = Make(VT_DISPATCH, [&](VARIANT& v) { v.pdispVal = &object; });
        object.AddRef();
        Var copy;
        ASSERT_EQ(VariantCopy(&copy, &unk), S_OK);
        EXPECT_EQ(copy.Get().pdispVal, &object);
        EXPECT_EQ(object.refs, 3u);
        // Between the interface types through QueryInterface.
        Var asUnknown;
        ASSERT_EQ(VariantChangeType(&asUnknown, &unk, 0, VT_UNKNOWN), S_OK);
        EXPECT_EQ(object.refs, 4u);
        Var same;
        ASSERT_EQ(VariantChangeType(&same, &unk, 0, VT_DISPATCH), S_OK);
        EXPECT_EQ(object.refs, 5u);
    }
    EXPECT_EQ(object.refs, 1u);
    Counted plain(false);
    Var unk = Make(VT_UNKNOWN, [&](VARIANT& v) { v.punkVal = &plain; });
    plain.AddRef();
    Var none;
    EXPECT_EQ(VariantChangeType(&none, &unk, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs, 2u);

    // A reference is copied as a reference.
    LONG n = 5;
    Var ref = ByRef(VT_I4, &n);
    Var refCopy;
    ASSERT_EQ(VariantCopy(&refCopy, &ref), S_OK);
    EXPECT_EQ(refCopy.Get().plVal, &n);

    // Onto itself: nothing happens.
    ASSERT_EQ(VariantCopy(&src, &src), S_OK);
    EXPECT_EQ(src.Type(), VT_BSTR);

    VARIANT bad = Raw(99);
    Var kept = Str(u"kept");
    EXPECT_EQ(VariantCopy(&kept, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(Show(kept.Get()), "BSTR:kept");
}

} // namespace
