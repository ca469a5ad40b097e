// The generic invoke: a real C++ interface, described by hand-built FUNCDESCs, called
// through its vtable slots with dispatch arguments.
#include "oleaut/invoke.h"

#include "fixed_dispatch.h"
#include "variant_test_support.h"

#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace tonwell::test;

// Slots 0 to 6 are IUnknown's and IDispatch's; the test methods follow.
struct ITestTarget : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* pSum) = 0;                        // 7
    virtual HRESULT STDMETHODCALLTYPE Place(LONG a, LONG b, LONG c) = 0;                          // 8
    virtual HRESULT STDMETHODCALLTYPE Mixed(BYTE b, SHORT s, VARIANT_BOOL f, DWORD dw, LONGLONG ll, float r4,
                                            double r8, CHAR c, USHORT us, ULONGLONG ull) = 0;        // 9
    virtual HRESULT STDMETHODCALLTYPE Fill(BYTE* pBuffer, DWORD cb) = 0;                          // 10
    virtual HRESULT STDMETHODCALLTYPE Fail(LONG code) = 0;                                        // 11
    virtual double STDMETHODCALLTYPE Scale(double d, DWORD factor) = 0;                           // 12
    virtual HRESULT STDMETHODCALLTYPE Greet(BSTR name, LONG times, BSTR* pGreeting) = 0;          // 13
    virtual void STDMETHODCALLTYPE Touch() = 0;                                                   // 14
    virtual HRESULT STDMETHODCALLTYPE Echo(VARIANT v, VARIANT* pOut) = 0;                         // 15
    virtual HRESULT STDMETHODCALLTYPE Many(double d1, LONG i1, double d2, LONG i2, double d3, LONG i3, double d4,
                                           LONG i4, double d5, LONG i5, double d6, LONG i6, double d7, LONG i7,
                                           double d8, LONG i8, double d9, LONG i9, double* pSum) = 0; // 16
    virtual HRESULT STDMETHODCALLTYPE Twice(LONG* pValue) = 0;                                    // 17
    virtual HRESULT STDMETHODCALLTYPE Throws() = 0;                                               // 18
    virtual float STDMETHODCALLTYPE Half(float f) = 0;                                            // 19
    virtual SHORT STDMETHODCALLTYPE Negate(SHORT s) = 0;                                          // 20
    virtual HRESULT STDMETHODCALLTYPE Holder(IUnknown* p, VARIANT_BOOL* pHeld) = 0;               // 21

protected:
    ~ITestTarget() = default;
};

class TestTarget final : public UncountedDispatch<ITestTarget> {
public:
    int calls = 0;
    LONG placed[3] = {};
    BYTE b = 0;
    SHORT s = 0;
    VARIANT_BOOL f = 0;
    DWORD dw = 0;
    LONGLONG ll = 0;
    float r4 = 0;
    double r8 = 0;
    CHAR c = 0;
    USHORT us = 0;
    ULONGLONG ull = 0;
    BYTE* buffer = nullptr;
    std::u16string name;
    VARTYPE echoed = VT_EMPTY;
    SCODE echoedScode = 0;
    IUnknown* held = nullptr;

    HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b2, LONG* pSum) override
    {
        ++calls;
        *pSum = a + b2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Place(LONG a, LONG b2, LONG c2) override
    {
        ++calls;
        placed[0] = a, placed[1] = b2, placed[2] = c2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Mixed(BYTE b1, SHORT s1, VARIANT_BOOL f1, DWORD dw1, LONGLONG ll1, float r41, double r81,
                                    CHAR c1, USHORT us1, ULONGLONG ull1) override
    {
        ++calls;
        b = b1, s = s1, f = f1, dw = dw1, ll = ll1, r4 = r41, r8 = r81, c = c1, us = us1, ull = ull1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Fill(BYTE* pBuffer, DWORD cb) override
    {
        ++calls;
        buffer = pBuffer;
        if (!pBuffer)
            return HRESULT(0x8007000D);
        for (DWORD i = 0; i < cb; ++i)
            pBuffer[i] = BYTE(i + 1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Fail(LONG code) override
    {
        ++calls;
        return code;
    }
    double STDMETHODCALLTYPE Scale(double d, DWORD factor) override
    {
        ++calls;
        return d * factor;
    }
    HRESULT STDMETHODCALLTYPE Greet(BSTR bstrName, LONG times, BSTR* pGreeting) override
    {
        ++calls;
        name = std::u16string(bstrName, SysStringLen(bstrName));
        std::u16string text = u"Hello";
        for (LONG i = 0; i < times; ++i)
            text += u", " + name;
        *pGreeting = SysAllocString(text.c_str());
        return *pGreeting ? S_OK : E_OUTOFMEMORY;
    }
    void STDMETHODCALLTYPE Touch() override { ++calls; }
    HRESULT STDMETHODCALLTYPE Echo(VARIANT v, VARIANT* pOut) override
    {
        ++calls;
        echoed = v.vt;
        echoedScode = v.vt == VT_ERROR ? v.scode : 0;
        return VariantCopy(pOut, &v);
    }
    HRESULT STDMETHODCALLTYPE Many(double d1, LONG i1, double d2, LONG i2, double d3, LONG i3, double d4, LONG i4,
                                   double d5, LONG i5, double d6, LONG i6, double d7, LONG i7, double d8, LONG i8,
                                   double d9, LONG i9, double* pSum) override
    {
        ++calls;
        // Weighted, so that two arguments in swapped places change the result.
        double ds[] = {d1, d2, d3, d4, d5, d6, d7, d8, d9};
        LONG is[] = {i1, i2, i3, i4, i5, i6, i7, i8, i9};
        double sum = 0;
        for (int k = 0; k < 9; ++k)
            sum += ds[k] * (k + 1) + is[k] * 1000.0 * (k + 1);
        *pSum = sum;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Twice(LONG* pValue) override
    {
        ++calls;
        *pValue *= 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Throws() override
    {
        ++calls;
        throw std::runtime_error("a method that breaks the rules");
    }
    float STDMETHODCALLTYPE Half(float x) override
    {
        ++calls;
        return x / 2;
    }
    SHORT STDMETHODCALLTYPE Negate(SHORT x) override
    {
        ++calls;
        return SHORT(-x);
    }
    HRESULT STDMETHODCALLTYPE Holder(IUnknown* p, VARIANT_BOOL* pHeld) override
    {
        ++calls;
        held = p;
        *pHeld = p ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
};

// A FUNCDESC built by hand, as the type information would hand it out.
class Desc {
public:
    explicit Desc(int slot, VARTYPE returns = VT_HRESULT)
    {
        std::memset(&m_fd, 0, sizeof m_fd);
        m_fd.memid = slot;
        m_fd.funckind = FUNC_PUREVIRTUAL;
        m_fd.invkind = INVOKE_FUNC;
        m_fd.callconv = CC_STDCALL;
        m_fd.oVft = SHORT(slot * sizeof(void*));
        m_fd.elemdescFunc.tdesc.vt = returns;
    }
    Desc& Param(VARTYPE vt, USHORT flags = PARAMFLAG_NONE)
    {
        ELEMDESC e;
        std::memset(&e, 0, sizeof e);
        e.tdesc.vt = vt;
        e.paramdesc.wParamFlags = flags;
        m_params.push_back(e);
        return *this;
    }
    Desc& Pointer(VARTYPE to, USHORT flags = PARAMFLAG_NONE)
    {
        TYPEDESC& t = m_pointees.emplace_back();
        std::memset(&t, 0, sizeof t);
        t.vt = to;
        Param(VT_PTR, flags);
        m_params.back().tdesc.lptdesc = &t;
        return *this;
    }
    Desc& Retval(VARTYPE to) { return Pointer(to, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL); }
    FUNCDESC* Get()
    {
        m_fd.cParams = SHORT(m_params.size());
        m_fd.lprgelemdescParam = m_params.data();
        return &m_fd;
    }

private:
    FUNCDESC m_fd;
    std::vector<ELEMDESC> m_params;
    std::deque<TYPEDESC> m_pointees;
};

// The arguments of one call, given in the method's order; rgvarg gets them reversed, the
// named ones (given last, with their positions) first.
class Call {
public:
    Call& Arg(Var v)
    {
        m_positional.push_back(std::move(v));
        return *this;
    }
    Call& Named(DISPID position, Var v)
    {
        m_named.push_back(std::move(v));
        m_ids.push_back(position);
        return *this;
    }

    HRESULT Run(void* instance, const FUNCDESC* fd, WORD flags = DISPATCH_METHOD)
    {
        DISPPARAMS dp = Params();
        argErr = 0xFFFF;
        std::memset(&excep, 0xCC, sizeof excep);
        VariantClear(&result);
        std::memset(&result.Get(), 0xCC, sizeof(VARIANT)); // an out parameter: never read
        return InvokeFuncDesc(instance, fd, flags, &dp, &result, &excep, &argErr);
    }
    // The call with no place for the result, the exception or the failing argument.
    HRESULT RunWithoutOutputs(void* instance, const FUNCDESC* fd)
    {
        DISPPARAMS dp = Params();
        return InvokeFuncDesc(instance, fd, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr);
    }

    Var result;
    EXCEPINFO excep;
    UINT argErr = 0;

private:
    DISPPARAMS Params()
    {
        m_rgvarg.clear();
        for (Var& v : m_named)
            m_rgvarg.push_back(v.Get());
        for (auto it = m_positional.rbegin(); it != m_positional.rend(); ++it)
            m_rgvarg.push_back(it->Get());
        return {m_rgvarg.data(), m_ids.data(), UINT(m_rgvarg.size()), UINT(m_ids.size())};
    }

    std::vector<Var> m_positional;
    std::vector<Var> m_named;
    std::vector<DISPID> m_ids;
    std::vector<VARIANT> m_rgvarg; // bitwise views; the Vars own
};

class InvokeFuncDescTest : public ::testing::Test {
protected:
    TestTarget target;
    ITestTarget* instance = &target;
};

TEST_F(InvokeFuncDescTest, RetvalAndCoercedArguments)
{
    Desc add(7);
    add.Param(VT_I4).Param(VT_I4).Retval(VT_I4);
    Call call;
    call.Arg(I2(2)).Arg(Str(u" 40 "));
    ASSERT_EQ(call.Run(instance, add.Get()), S_OK);
    ASSERT_EQ(call.result.Type(), VT_I4);
    EXPECT_EQ(call.result.Get().lVal, 42);
    EXPECT_EQ(call.argErr, 0xFFFFu) << "only an argument's failure names it";
    EXPECT_EQ(call.excep.scode, 0);

    // Without a place for the result the call still happens.
    Call discarded;
    discarded.Arg(I4(2)).Arg(I4(2));
    EXPECT_EQ(discarded.RunWithoutOutputs(instance, add.Get()), S_OK);
    EXPECT_EQ(target.calls, 2);
}

TEST_F(InvokeFuncDescTest, ArgumentsArriveReversed)
{
    Desc place(8);
    place.Param(VT_I4).Param(VT_I4).Param(VT_I4);
    Call call;
    call.Arg(I4(1)).Arg(I4(2)).Arg(I4(3));
    ASSERT_EQ(call.Run(instance, place.Get()), S_OK);
    EXPECT_EQ(target.placed[0], 1);
    EXPECT_EQ(target.placed[1], 2);
    EXPECT_EQ(target.placed[2], 3);
    EXPECT_EQ(call.result.Type(), VT_EMPTY) << "no retval, no result";
}

TEST_F(InvokeFuncDescTest, EachArgumentIsConvertedToItsParameter)
{
    Desc mixed(9);
    mixed.Param(VT_UI1).Param(VT_I2).Param(VT_BOOL).Param(VT_UI4).Param(VT_I8).Param(VT_R4).Param(VT_R8)
        .Param(VT_I1).Param(VT_UI2).Param(VT_UI8);
    Call call;
    call.Arg(I4(200)).Arg(R8(-2.5)).Arg(Str(u"True")).Arg(UI8(4000000000u)).Arg(Str(u"-9000000000"))
        .Arg(R8(0.25)).Arg(I4(-7)).Arg(Str(u"-100")).Arg(Bool(false)).Arg(Str(u"18446744073709551615"));
    ASSERT_EQ(call.Run(instance, mixed.Get()), S_OK);
    EXPECT_EQ(target.b, 200);
    EXPECT_EQ(target.s, -2);
    EXPECT_EQ(target.f, VARIANT_TRUE);
    EXPECT_EQ(target.dw, 4000000000u);
    EXPECT_EQ(target.ll, -9000000000LL);
    EXPECT_EQ(target.r4, 0.25f);
    EXPECT_EQ(target.r8, -7.0);
    EXPECT_EQ(target.c, -100);
    EXPECT_EQ(target.us, 0);
    EXPECT_EQ(target.ull, 18446744073709551615ull);
    EXPECT_EQ(target.calls, 1);
}

TEST_F(InvokeFuncDescTest, AFailedConversionNamesItsArgument)
{
    Desc place(8);
    place.Param(VT_I4).Param(VT_I4).Param(VT_I4);
    {
        Call call;
        call.Arg(Str(u"1")).Arg(Str(u"x")).Arg(I4(3));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(call.argErr, 1u) << "the second argument sits at index 1 of three";
        EXPECT_EQ(call.result.Type(), VT_EMPTY);
    }
    {
        Call call;
        call.Arg(I4(1)).Arg(I4(2)).Arg(R8(1e20));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_OVERFLOW);
        EXPECT_EQ(call.argErr, 0u) << "the last argument is rgvarg[0]";
    }
    {
        Call call;
        call.Arg(Null()).Arg(I4(2)).Arg(I4(3));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(call.argErr, 2u);
    }
    Desc mixed(9);
    mixed.Param(VT_UI1).Param(VT_I2).Param(VT_BOOL).Param(VT_UI4).Param(VT_I8).Param(VT_R4).Param(VT_R8)
        .Param(VT_I1).Param(VT_UI2).Param(VT_UI8);
    {
        Call call;
        call.Arg(I4(256)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0))
            .Arg(I4(0));
        EXPECT_EQ(call.Run(instance, mixed.Get()), DISP_E_OVERFLOW);
        EXPECT_EQ(call.argErr, 9u);
    }
    {
        Call call;
        call.Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(Bool(true)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0)).Arg(I4(0))
            .Arg(I4(0)).Arg(I4(0));
        EXPECT_EQ(call.Run(instance, mixed.Get()), DISP_E_OVERFLOW) << "true is -1, no DWORD";
        EXPECT_EQ(call.argErr, 6u);
    }
    EXPECT_EQ(target.calls, 0) << "nothing is called with a bad argument";
}

TEST_F(InvokeFuncDescTest, NamedArguments)
{
    Desc place(8);
    place.Param(VT_I4).Param(VT_I4).Param(VT_I4);
    {
        // One positional argument first; the named ones fill their positions.
        Call call;
        call.Arg(I4(1)).Named(2, I4(30)).Named(1, I4(20));
        ASSERT_EQ(call.Run(instance, place.Get()), S_OK);
        EXPECT_EQ(target.placed[0], 1);
        EXPECT_EQ(target.placed[1], 20);
        EXPECT_EQ(target.placed[2], 30);
    }
    {
        // A named first position: the positional ones fill the rest from the first free.
        Call call;
        call.Arg(I4(7)).Arg(I4(8)).Named(0, I4(6));
        ASSERT_EQ(call.Run(instance, place.Get()), S_OK);
        EXPECT_EQ(target.placed[0], 6);
        EXPECT_EQ(target.placed[1], 7);
        EXPECT_EQ(target.placed[2], 8);
    }
    {
        Call call;
        call.Named(1, I4(5)).Named(2, I4(6)).Named(0, I4(4));
        ASSERT_EQ(call.Run(instance, place.Get()), S_OK);
        EXPECT_EQ(target.placed[0], 4);
        EXPECT_EQ(target.placed[1], 5);
        EXPECT_EQ(target.placed[2], 6);
    }
    int calls = target.calls;
    for (DISPID unknown : {3, -1, 100}) {
        Call call;
        call.Arg(I4(1)).Named(1, I4(2)).Named(unknown, I4(3));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_PARAMNOTFOUND);
        EXPECT_EQ(call.argErr, 1u) << "the second named argument, rgvarg[1]";
    }
    {
        Call call;
        call.Arg(I4(1)).Named(2, I4(2)).Named(2, I4(3));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_PARAMNOTFOUND) << "a position named twice";
        EXPECT_EQ(call.argErr, 1u);
    }
    {
        // A named argument keeps its own index when its conversion fails.
        Call call;
        call.Arg(I4(1)).Arg(I4(2)).Named(2, Str(u"three"));
        EXPECT_EQ(call.Run(instance, place.Get()), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(call.argErr, 0u);
    }
    EXPECT_EQ(target.calls, calls);
    {
        // A property put names its value with DISPID_PROPERTYPUT: the last parameter.
        Call call;
        call.Arg(I4(1)).Arg(I4(2)).Named(DISPID_PROPERTYPUT, I4(3));
        ASSERT_EQ(call.Run(instance, place.Get(), DISPATCH_PROPERTYPUT), S_OK);
        EXPECT_EQ(target.placed[2], 3);
        EXPECT_EQ(call.Run(instance, place.Get(), DISPATCH_METHOD), DISP_E_PARAMNOTFOUND);
    }
}

TEST_F(InvokeFuncDescTest, TheCountMustMatch)
{
    Desc place(8);
    place.Param(VT_I4).Param(VT_I4).Param(VT_I4);
    Desc add(7);
    add.Param(VT_I4).Param(VT_I4).Retval(VT_I4);
    Call two;
    two.Arg(I4(1)).Arg(I4(2));
    EXPECT_EQ(two.Run(instance, place.Get()), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(two.argErr, 0xFFFFu);
    Call four;
    four.Arg(I4(1)).Arg(I4(2)).Arg(I4(3)).Arg(I4(4));
    EXPECT_EQ(four.Run(instance, place.Get()), DISP_E_BADPARAMCOUNT);
    Call three;
    three.Arg(I4(1)).Arg(I4(2)).Arg(I4(3));
    EXPECT_EQ(three.Run(instance, add.Get()), DISP_E_BADPARAMCOUNT) << "the retval is no argument";
    Call named;
    named.Arg(I4(1)).Named(2, I4(3));
    EXPECT_EQ(named.Run(instance, place.Get()), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(target.calls, 0);

    Desc touch(14, VT_VOID);
    EXPECT_EQ(InvokeFuncDesc(instance, touch.Get(), DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK)
        << "no parameters, no DISPPARAMS needed";
    EXPECT_EQ(target.calls, 1);
}

TEST_F(InvokeFuncDescTest, APointerToBytesTakesAByReferenceBuffer)
{
    Desc fill(10);
    fill.Pointer(VT_UI1).Param(VT_UI4);
    BYTE buffer[8] = {};
    {
        Call call;
        call.Arg(ByRef(VT_UI1, buffer)).Arg(I4(5));
        ASSERT_EQ(call.Run(instance, fill.Get()), S_OK);
        EXPECT_EQ(target.buffer, buffer) << "the caller's own pointer";
        const BYTE expected[8] = {1, 2, 3, 4, 5, 0, 0, 0};
        EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
    }
    {
        // Through a reference to a variant that holds the reference.
        Var inner = ByRef(VT_UI1, buffer + 4);
        Call call;
        call.Arg(ByRef(VT_VARIANT, &inner)).Arg(I4(1));
        ASSERT_EQ(call.Run(instance, fill.Get()), S_OK);
        EXPECT_EQ(target.buffer, buffer + 4);
    }
    {
        // The method sees a null buffer as a direct caller would give it, and its failure.
        Call call;
        call.Arg(ByRef(VT_UI1, nullptr)).Arg(I4(5));
        EXPECT_EQ(call.Run(instance, fill.Get()), DISP_E_EXCEPTION);
        EXPECT_EQ(call.excep.scode, HRESULT(0x8007000D));
        EXPECT_EQ(target.buffer, nullptr);
    }
    int calls = target.calls;
    LONG wrongType = 0;
    for (auto make : {+[](void*) { return UI1(5); }, +[](void* p) { return ByRef(VT_I4, p); },
                      +[](void*) { return I4(0x1000); }, +[](void*) { return Null(); }}) {
        Call call;
        call.Arg(make(&wrongType)).Arg(I4(5));
        EXPECT_EQ(call.Run(instance, fill.Get()), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(call.argErr, 1u);
    }
    EXPECT_EQ(target.calls, calls);
}

TEST_F(InvokeFuncDescTest, APointerParameterWritesThroughTheReference)
{
    Desc twice(17);
    twice.Pointer(VT_I4);
    LONG value = 21;
    Call call;
    call.Arg(ByRef(VT_I4, &value));
    ASSERT_EQ(call.Run(instance, twice.Get()), S_OK);
    EXPECT_EQ(value, 42);
    // A variant passed by reference has its own value doubled.
    Var held = I4(5);
    Call viaVariant;
    viaVariant.Arg(ByRef(VT_VARIANT, &held));
    ASSERT_EQ(viaVariant.Run(instance, twice.Get()), S_OK);
    EXPECT_EQ(held.Get().lVal, 10);
    Var wrong = I2(5);
    Call mismatch;
    mismatch.Arg(ByRef(VT_VARIANT, &wrong));
    EXPECT_EQ(mismatch.Run(instance, twice.Get()), DISP_E_TYPEMISMATCH);
}

TEST_F(InvokeFuncDescTest, AFailingMethodIsAnException)
{
    Desc fail(11);
    fail.Param(VT_I4);
    for (HRESULT code : {E_FAIL, E_INVALIDARG, HRESULT(0x8007000D)}) {
        Call call;
        call.Arg(I4(code));
        EXPECT_EQ(call.Run(instance, fail.Get()), DISP_E_EXCEPTION);
        EXPECT_EQ(call.excep.scode, code);
        EXPECT_EQ(call.excep.wCode, 0);
        EXPECT_EQ(call.excep.bstrSource, nullptr);
        EXPECT_EQ(call.excep.bstrDescription, nullptr);
        EXPECT_EQ(call.excep.pfnDeferredFillIn, nullptr);
        EXPECT_EQ(call.result.Type(), VT_EMPTY);
    }
    // Without EXCEPINFO the result is the same.
    Call bare;
    bare.Arg(I4(E_FAIL));
    EXPECT_EQ(bare.RunWithoutOutputs(instance, fail.Get()), DISP_E_EXCEPTION);
    // A success code reaches the caller as the method gave it.
    Call fine;
    fine.Arg(I4(S_FALSE));
    EXPECT_EQ(fine.Run(instance, fail.Get()), S_FALSE);
    EXPECT_EQ(fine.excep.scode, 0);

    // A method that throws has failed; the exception stops here.
    Desc throws(18);
    Call call;
    EXPECT_EQ(call.Run(instance, throws.Get()), DISP_E_EXCEPTION);
    EXPECT_EQ(call.excep.scode, E_UNEXPECTED);
    EXPECT_EQ(target.calls, 6);
}

TEST_F(InvokeFuncDescTest, PlainReturnTypes)
{
    Desc scale(12, VT_R8);
    scale.Param(VT_R8).Param(VT_UI4);
    Call call;
    call.Arg(Str(u"1.5")).Arg(R4(4.0f));
    ASSERT_EQ(call.Run(instance, scale.Get()), S_OK);
    ASSERT_EQ(call.result.Type(), VT_R8);
    EXPECT_EQ(call.result.Get().dblVal, 6.0);

    Desc half(19, VT_R4);
    half.Param(VT_R4);
    Call h;
    h.Arg(R8(5.0));
    ASSERT_EQ(h.Run(instance, half.Get()), S_OK);
    ASSERT_EQ(h.result.Type(), VT_R4);
    EXPECT_EQ(h.result.Get().fltVal, 2.5f);

    Desc negate(20, VT_I2);
    negate.Param(VT_I2);
    Call n;
    n.Arg(I4(1234));
    ASSERT_EQ(n.Run(instance, negate.Get()), S_OK);
    ASSERT_EQ(n.result.Type(), VT_I2);
    EXPECT_EQ(n.result.Get().iVal, -1234) << "a narrow signed return keeps its sign";

    Desc touch(14, VT_VOID);
    Call t;
    ASSERT_EQ(t.Run(instance, touch.Get()), S_OK);
    EXPECT_EQ(t.result.Type(), VT_EMPTY);
    EXPECT_EQ(target.calls, 4);
}

TEST_F(InvokeFuncDescTest, TextInAndOut)
{
    Desc greet(13);
    greet.Param(VT_BSTR).Param(VT_I4).Retval(VT_BSTR);
    {
        Call call;
        call.Arg(Str(u"Ada")).Arg(I2(2));
        ASSERT_EQ(call.Run(instance, greet.Get()), S_OK);
        ASSERT_EQ(call.result.Type(), VT_BSTR);
        EXPECT_EQ(TextOf(call.result.Get()), u"Hello, Ada, Ada");
    }
    {
        // A number for the text; the converted copy is freed after the call.
        Call call;
        call.Arg(R8(2.5)).Arg(I4(1));
        ASSERT_EQ(call.Run(instance, greet.Get()), S_OK);
        EXPECT_EQ(target.name, u"2.5");
        EXPECT_EQ(TextOf(call.result.Get()), u"Hello, 2.5");
    }
    {
        // The text was converted before the second argument failed: freed all the same.
        Call call;
        call.Arg(I4(42)).Arg(Str(u"twice"));
        EXPECT_EQ(call.Run(instance, greet.Get()), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(call.argErr, 0u);
    }
    // A result nobody takes is freed.
    Call discarded;
    discarded.Arg(Str(u"Bob")).Arg(I4(1));
    EXPECT_EQ(discarded.RunWithoutOutputs(instance, greet.Get()), S_OK);
    EXPECT_EQ(target.calls, 3);
}

TEST_F(InvokeFuncDescTest, VariantsByValueAndOptionalOnes)
{
    Desc echo(15);
    echo.Param(VT_VARIANT).Retval(VT_VARIANT);
    {
        Call call;
        call.Arg(Str(u"same"));
        ASSERT_EQ(call.Run(instance, echo.Get()), S_OK);
        EXPECT_EQ(target.echoed, VT_BSTR);
        ASSERT_EQ(call.result.Type(), VT_BSTR);
        EXPECT_EQ(TextOf(call.result.Get()), u"same");
    }
    {
        Var inner = R8(0.5);
        Call call;
        call.Arg(ByRef(VT_VARIANT, &inner));
        ASSERT_EQ(call.Run(instance, echo.Get()), S_OK);
        EXPECT_EQ(target.echoed, VT_R8) << "the variant referred to";
        ASSERT_EQ(call.result.Type(), VT_R8);
        EXPECT_EQ(call.result.Get().dblVal, 0.5);
    }
    Call missing;
    EXPECT_EQ(missing.Run(instance, echo.Get()), DISP_E_BADPARAMCOUNT);

    // Optional: left out, it arrives as the "missing" marker.
    Desc optional(15);
    optional.Param(VT_VARIANT, PARAMFLAG_FIN | PARAMFLAG_FOPT).Retval(VT_VARIANT);
    ASSERT_EQ(missing.Run(instance, optional.Get()), S_OK);
    EXPECT_EQ(target.echoed, VT_ERROR);
    EXPECT_EQ(target.echoedScode, DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(missing.result.Type(), VT_ERROR);

    // Or counted by cParamsOpt, or given a default value.
    Desc counted(15);
    counted.Param(VT_VARIANT).Retval(VT_VARIANT);
    counted.Get()->cParamsOpt = 1;
    ASSERT_EQ(missing.Run(instance, counted.Get()), S_OK);
    EXPECT_EQ(target.echoed, VT_ERROR);

    Desc defaulted(15);
    defaulted.Param(VT_VARIANT, PARAMFLAG_FIN | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT).Retval(VT_VARIANT);
    PARAMDESCEX ex;
    std::memset(&ex, 0, sizeof ex);
    ex.cBytes = sizeof ex;
    ex.varDefaultValue.vt = VT_I4;
    ex.varDefaultValue.lVal = 99;
    defaulted.Get()->lprgelemdescParam[0].paramdesc.pparamdescex = &ex;
    ASSERT_EQ(missing.Run(instance, defaulted.Get()), S_OK);
    ASSERT_EQ(missing.result.Type(), VT_I4);
    EXPECT_EQ(missing.result.Get().lVal, 99);

    // An optional number without a default cannot be left out.
    Desc place(8);
    place.Param(VT_I4).Param(VT_I4).Param(VT_I4, PARAMFLAG_FOPT);
    Call two;
    two.Arg(I4(1)).Arg(I4(2));
    EXPECT_EQ(two.Run(instance, place.Get()), DISP_E_BADPARAMCOUNT);
}

TEST_F(InvokeFuncDescTest, ArgumentsBeyondTheRegisters)
{
    Desc many(16);
    for (int k = 0; k < 9; ++k)
        many.Param(VT_R8).Param(VT_I4);
    many.Retval(VT_R8);
    Call call;
    double expected = 0;
    for (int k = 0; k < 9; ++k) {
        call.Arg(R8(k + 0.5)).Arg(I4(k + 1));
        expected += (k + 0.5) * (k + 1) + (k + 1) * 1000.0 * (k + 1);
    }
    ASSERT_EQ(call.Run(instance, many.Get()), S_OK);
    ASSERT_EQ(call.result.Type(), VT_R8);
    EXPECT_EQ(call.result.Get().dblVal, expected);
}

TEST_F(InvokeFuncDescTest, InterfaceArguments)
{
    Desc holder(21);
    holder.Param(VT_UNKNOWN).Retval(VT_BOOL);
    Call call;
    call.Arg(Make(VT_UNKNOWN, [&](VARIANT& v) { v.punkVal = instance; }));
    ASSERT_EQ(call.Run(instance, holder.Get()), S_OK);
    EXPECT_EQ(target.held, static_cast<IUnknown*>(instance));
    ASSERT_EQ(call.result.Type(), VT_BOOL);
    EXPECT_EQ(call.result.Get().boolVal, VARIANT_TRUE);
    Call none;
    none.Arg(Make(VT_UNKNOWN, [](VARIANT& v) { v.punkVal = nullptr; }));
    ASSERT_EQ(none.Run(instance, holder.Get()), S_OK);
    EXPECT_EQ(none.result.Get().boolVal, VARIANT_FALSE);
    Call number;
    number.Arg(I4(1));
    EXPECT_EQ(number.Run(instance, holder.Get()), DISP_E_TYPEMISMATCH);
}

TEST_F(InvokeFuncDescTest, TheSlotDecides)
{
    // The same arguments to two slots of the same shape.
    Desc add(7);
    add.Param(VT_I4).Param(VT_I4).Retval(VT_I4);
    Desc viaPlace(8);
    viaPlace.Param(VT_I4).Param(VT_I4).Param(VT_I4);
    Call call;
    call.Arg(I4(3)).Arg(I4(4)).Arg(I4(5));
    ASSERT_EQ(call.Run(instance, viaPlace.Get()), S_OK);
    EXPECT_EQ(target.placed[2], 5);
    Call sum;
    sum.Arg(I4(3)).Arg(I4(4));
    ASSERT_EQ(sum.Run(instance, add.Get()), S_OK);
    EXPECT_EQ(sum.result.Get().lVal, 7);
}

TEST_F(InvokeFuncDescTest, DescriptionsItCannotCall)
{
    Call call;
    call.Arg(I4(1));
    Desc userDefined(11);
    userDefined.Param(VT_USERDEFINED);
    EXPECT_EQ(call.Run(instance, userDefined.Get()), DISP_E_BADVARTYPE);
    Desc pointerToPointer(11);
    pointerToPointer.Pointer(VT_PTR);
    EXPECT_EQ(call.Run(instance, pointerToPointer.Get()), DISP_E_BADVARTYPE);
    Desc variantReturn(11, VT_VARIANT);
    variantReturn.Param(VT_I4);
    EXPECT_EQ(call.Run(instance, variantReturn.Get()), DISP_E_BADVARTYPE);
    Desc retvalFirst(11);
    retvalFirst.Retval(VT_I4).Param(VT_I4);
    EXPECT_EQ(call.Run(instance, retvalFirst.Get()), E_INVALIDARG);
    Desc misaligned(11);
    misaligned.Param(VT_I4);
    misaligned.Get()->oVft = 3;
    EXPECT_EQ(call.Run(instance, misaligned.Get()), E_INVALIDARG);
    Desc fail(11);
    fail.Param(VT_I4);
    EXPECT_EQ(call.Run(nullptr, fail.Get()), E_INVALIDARG);
    EXPECT_EQ(call.result.Type(), VT_EMPTY);
    EXPECT_EQ(call.Run(instance, nullptr), E_INVALIDARG);
    DISPPARAMS broken = {nullptr, nullptr, 1, 0};
    EXPECT_EQ(InvokeFuncDesc(instance, fail.Get(), DISPATCH_METHOD, &broken, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(target.calls, 0);
}

} // namespace
