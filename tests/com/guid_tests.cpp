#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

const GUID kSample = {0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
const char16_t kSampleText[] = u"{0123ABCD-4567-89EF-FEDC-BA9876543210}";

TEST(GuidStrings, RegistryFormIsUpperCaseWithBraces)
{
    OLECHAR buf[39];
    EXPECT_EQ(StringFromGUID2(kSample, buf, 39), 39);
    EXPECT_EQ(std::u16string(buf), kSampleText);
    EXPECT_EQ(StringFromGUID2(kSample, buf, 38), 0) << "no room for the terminator";
    EXPECT_EQ(StringFromGUID2(IID_IUnknown, buf, 100), 39);
    EXPECT_EQ(std::u16string(buf), u"{00000000-0000-0000-C000-000000000046}");

    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromIID(IID_IDispatch, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"{00020400-0000-0000-C000-000000000046}");
    CoTaskMemFree(text);
    ASSERT_EQ(StringFromCLSID(kSample, &text), S_OK);
    EXPECT_EQ(std::u16string(text), kSampleText);
    CoTaskMemFree(text);
    EXPECT_EQ(StringFromIID(kSample, nullptr), E_INVALIDARG);
}

TEST(GuidStrings, RoundTripsRandomGuids)
{
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 500; ++i) {
        GUID g;
        uint64_t a = rng(), b = rng();
        std::memcpy(&g, &a, 8);
        std::memcpy(reinterpret_cast<char*>(&g) + 8, &b, 8);
        OLECHAR buf[39];
        ASSERT_EQ(StringFromGUID2(g, buf, 39), 39);
        GUID back = GUID_NULL;
        ASSERT_EQ(CLSIDFromString(buf, &back), S_OK);
        EXPECT_TRUE(IsEqualGUID(g, back));
        // Lower-case digits read the same.
        for (OLECHAR& c : buf)
            if (c >= u'A' && c <= u'F')
                c = OLECHAR(c + 32);
        back = GUID_NULL;
        ASSERT_EQ(IIDFromString(buf, &back), S_OK);
        EXPECT_TRUE(IsEqualGUID(g, back));
    }
}

TEST(GuidStrings, MalformedStringsAreRefused)
{
    const char16_t* bad[] = {
        u"0123ABCD-4567-89EF-FEDC-BA9876543210",     // no braces
        u"{0123ABCD-4567-89EF-FEDC-BA9876543210",    // no closing brace
        u"{0123ABCD-4567-89EF-FEDC-BA9876543210}x",  // trailing text
        u"{0123ABCD-4567-89EF-FEDCBA9876543210-}",   // dash misplaced
        u"{0123ABCG-4567-89EF-FEDC-BA9876543210}",   // not hex
        u"{0123ABCD-4567-89EF-FEDC-BA987654321}",    // short
        u"{ 123ABCD-4567-89EF-FEDC-BA9876543210}",   // space
        u"{+123ABCD-4567-89EF-FEDC-BA9876543210}",
        u"TonwellObj.TonwellExposure",               // a program identifier is not looked up here
        u"{",
    };
    for (const char16_t* s : bad) {
        CLSID clsid = kSample;
        EXPECT_EQ(CLSIDFromString(s, &clsid), CO_E_CLASSSTRING);
        EXPECT_TRUE(IsEqualGUID(clsid, CLSID_NULL));
        IID iid = kSample;
        EXPECT_EQ(IIDFromString(s, &iid), E_INVALIDARG);
    }
    CLSID clsid = kSample;
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_NULL));
    clsid = kSample;
    EXPECT_EQ(CLSIDFromString(u"", &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_NULL));
    EXPECT_EQ(CLSIDFromString(kSampleText, nullptr), E_INVALIDARG);
}

TEST(TaskMemory, AllocatesReallocatesAndFrees)
{
    auto* p = static_cast<char*>(CoTaskMemAlloc(0));
    ASSERT_NE(p, nullptr) << "a zero-byte block is still a block";
    p = static_cast<char*>(CoTaskMemRealloc(p, 100));
    ASSERT_NE(p, nullptr);
    std::memset(p, 7, 100);
    p = static_cast<char*>(CoTaskMemRealloc(p, 200));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[99], 7);
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr) << "frees";
    void* fresh = CoTaskMemRealloc(nullptr, 8);
    EXPECT_NE(fresh, nullptr);
    CoTaskMemFree(fresh);
    CoTaskMemFree(nullptr);
}

} // namespace
