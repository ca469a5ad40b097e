#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

uint32_t Prefix(BSTR b)
{
    uint32_t n;
    std::memcpy(&n, reinterpret_cast<const char*>(b) - 4, 4);
    return n;
}

TEST(Bstr, LengthPrefixAndTerminator)
{
    BSTR b = SysAllocString(u"Tonwell\u00E9");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Prefix(b), 16u) << "bytes, terminator not counted";
    EXPECT_EQ(SysStringLen(b), 8u);
    EXPECT_EQ(SysStringByteLen(b), 16u);
    EXPECT_EQ(b[8], 0);
    EXPECT_EQ(std::u16string(b), u"Tonwell\u00E9");
    SysFreeString(b);

    // Embedded NULs belong to the string.
    BSTR n = SysAllocStringLen(u"a\0b", 3);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(SysStringLen(n), 3u);
    EXPECT_EQ(n[2], u'b');
    EXPECT_EQ(n[3], 0);
    SysFreeString(n);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], 0);
    SysFreeString(blank);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Bstr, ByteLengthsMayBeOdd)
{
    BSTR b = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    EXPECT_EQ(std::memcmp(b, "abc\0\0", 5), 0);
    SysFreeString(b);
}

TEST(Bstr, ReallocationMayUseItsOwnText)
{
    BSTR b = SysAllocString(u"hello world");
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(SysReAllocString(&b, b + 6));
    EXPECT_EQ(std::u16string(b), u"world");
    EXPECT_EQ(SysStringLen(b), 5u);
    ASSERT_TRUE(SysReAllocStringLen(&b, u"abcdef", 2));
    EXPECT_EQ(std::u16string(b), u"ab");
    SysFreeString(b);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
    EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFFFu), nullptr) << "too long for a 32-bit byte length";
}

} // namespace
