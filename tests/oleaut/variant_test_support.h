// Variants for tests: an owning wrapper and makers for each simple type.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tonwell::test {

// Owns what the variant holds; cleared on destruction.
class Var {
public:
    Var() { VariantInit(&m_v); }
    explicit Var(const VARIANT& v) : m_v(v) {}
    ~Var() { EXPECT_EQ(VariantClear(&m_v), S_OK); }
    Var(Var&& other) noexcept : m_v(other.m_v) { VariantInit(&other.m_v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;

    VARIANT* operator&() { return &m_v; }
    VARIANT& Get() { return m_v; }
    const VARIANT& Get() const { return m_v; }
    VARTYPE Type() const { return m_v.vt; }

private:
    VARIANT m_v;
};

template <typename Set>
inline Var Make(VARTYPE vt, Set set)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    set(v);
    return Var(v);
}

inline Var Empty() { return Make(VT_EMPTY, [](VARIANT&) {}); }
inline Var Null() { return Make(VT_NULL, [](VARIANT&) {}); }
inline Var I1(int x) { return Make(VT_I1, [=](VARIANT& v) { v.cVal = CHAR(x); }); }
inline Var UI1(unsigned x) { return Make(VT_UI1, [=](VARIANT& v) { v.bVal = BYTE(x); }); }
inline Var I2(int x) { return Make(VT_I2, [=](VARIANT& v) { v.iVal = SHORT(x); }); }
inline Var UI2(unsigned x) { return Make(VT_UI2, [=](VARIANT& v) { v.uiVal = USHORT(x); }); }
inline Var I4(LONG x) { return Make(VT_I4, [=](VARIANT& v) { v.lVal = x; }); }
inline Var UI4(ULONG x) { return Make(VT_UI4, [=](VARIANT& v) { v.ulVal = x; }); }
inline Var I8(LONGLONG x) { return Make(VT_I8, [=](VARIANT& v) { v.llVal = x; }); }
inline Var UI8(ULONGLONG x) { return Make(VT_UI8, [=](VARIANT& v) { v.ullVal = x; }); }
inline Var Int(INT x) { return Make(VT_INT, [=](VARIANT& v) { v.intVal = x; }); }
inline Var UInt(UINT x) { return Make(VT_UINT, [=](VARIANT& v) { v.uintVal = x; }); }
inline Var R4(float x) { return Make(VT_R4, [=](VARIANT& v) { v.fltVal = x; }); }
inline Var R8(double x) { return Make(VT_R8, [=](VARIANT& v) { v.dblVal = x; }); }
inline Var Bool(bool x) { return Make(VT_BOOL, [=](VARIANT& v) { v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; }); }
inline Var Str(std::u16string_view s)
{
    return Make(VT_BSTR, [=](VARIANT& v) { v.bstrVal = SysAllocStringLen(s.data(), UINT(s.size())); });
}
inline Var ByRef(VARTYPE vt, void* p) { return Make(VARTYPE(VT_BYREF | vt), [=](VARIANT& v) { v.byref = p; }); }

inline std::u16string TextOf(const VARIANT& v) { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }

} // namespace tonwell::test
