// The platform's one printf: StringCch*Printf*, whose conventions the trace
// lines and FormatMessage's inserts share.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string PrintA(const char* format, ...)
{
    char buf[256];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfA(buf, sizeof buf, format, args);
    va_end(args);
    EXPECT_EQ(hr, S_OK);
    return buf;
}

HRESULT PrintExA(char* buf, size_t size, LPSTR* end, size_t* left, DWORD flags, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfExA(buf, size, end, left, flags, format, args);
    va_end(args);
    return hr;
}

TEST(StringCchPrintf, RuntimeConventionsInBothWidths)
{
    EXPECT_EQ(PrintA("%d|%5d|%-5d|%05d|%+d|%x|%#X|%lu", -3, 42, 42, -42, 7, 255u, 255u, 4294967295u),
              "-3|   42|42   |-0042|+7|ff|0XFF|4294967295");
    EXPECT_EQ(PrintA("%lld %I64u %zu %hd %hhu", -(1LL << 40), 1ULL << 63, size_t(5), 70000, 300),
              "-1099511627776 9223372036854775808 5 4464 44");
    EXPECT_EQ(PrintA("%.3f|%8.2f|%-8.1e|%g", 3.14159, -2.5, 1000.0, 0.0001), "3.142|   -2.50|1.0e+03 |0.0001");
    EXPECT_EQ(PrintA("[%s][%hs][%ls][%S][%.2s][%5s]", "a", "b", u"\u00e9", u"d", "xyz", "r"),
              "[a][b][\xC3\xA9][d][xy][    r]");
    EXPECT_EQ(PrintA("%c%lc%%", 'q', u'\u00e9'), "q\xC3\xA9%");
    EXPECT_EQ(PrintA("%s %ls", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)),
              "(null) (null)");
    EXPECT_EQ(PrintA("%q and %"), "%q and %") << "conversions not understood stay as written";
    int untouched = 7;
    EXPECT_EQ(PrintA("a%nb", &untouched), "ab");
    EXPECT_EQ(untouched, 7) << "%n never writes";

    char digits[32];
    std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&untouched)));
    EXPECT_EQ(PrintA("%p", static_cast<void*>(&untouched)), digits);

    WCHAR wide[64];
    ASSERT_EQ(StringCchPrintfW(wide, 64, u"%s/%hs/%S/%d", u"w\u00e9", "n\xC3\xA9", "s", 5), S_OK);
    EXPECT_EQ(std::u16string(wide), u"w\u00e9/n\u00e9/s/5");
    // Ill-formed text of the other width is converted as the codec does.
    ASSERT_EQ(StringCchPrintfW(wide, 64, u"%hs", "a\xFF" "b"), S_OK);
    EXPECT_EQ(std::u16string(wide), u"a\uFFFDb");
}

TEST(StringCchPrintf, CutsOnWholeCharactersAndSaysSo)
{
    char small[6];
    EXPECT_EQ(StringCchPrintfA(small, sizeof small, "%s", "abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(small, "abcde");
    EXPECT_EQ(StringCchPrintfA(small, sizeof small, "abcd\xC3\xA9"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(small, "abcd") << "a two-byte character at the cut goes whole";
    EXPECT_EQ(StringCchPrintfA(small, sizeof small, "%.4s|", "ab\xE2\x82\xAC"), S_OK);
    EXPECT_STREQ(small, "ab|") << "a precision never splits a character";

    WCHAR wide[4];
    EXPECT_EQ(StringCchPrintfW(wide, 4, u"ab\U0001F600"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(wide), u"ab") << "nor a surrogate pair";

    char exact[4];
    EXPECT_EQ(StringCchPrintfA(exact, sizeof exact, "%d", 123), S_OK);
    EXPECT_STREQ(exact, "123");

    // The Ex form reports where the text ends and what is left.
    char buf[8];
    LPSTR end = nullptr;
    size_t left = 0;
    EXPECT_EQ(PrintExA(buf, sizeof buf, &end, &left, 0, "abc"), S_OK);
    EXPECT_EQ(end, buf + 3);
    EXPECT_EQ(left, 5u);
    EXPECT_EQ(PrintExA(buf, sizeof buf, &end, &left, STRSAFE_NO_TRUNCATION, "0123456789"),
              STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "") << "no truncated text is left behind when truncation is refused";
    EXPECT_EQ(PrintExA(buf, sizeof buf, &end, &left, STRSAFE_IGNORE_NULLS, nullptr), S_OK);
    EXPECT_STREQ(buf, "");
}

TEST(StringCchPrintf, BadArgumentsAreRefused)
{
    char buf[8] = "x";
    EXPECT_EQ(StringCchPrintfA(buf, 0, "abc"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_STREQ(buf, "x") << "a zero-sized buffer is not written";
    EXPECT_EQ(StringCchPrintfA(nullptr, 8, "abc"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfA(buf, size_t(STRSAFE_MAX_CCH) + 1, "abc"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(PrintExA(buf, sizeof buf, nullptr, nullptr, 0x1, "abc"), STRSAFE_E_INVALID_PARAMETER);
    // Widths far past any buffer cost nothing and still cut cleanly.
    EXPECT_EQ(StringCchPrintfA(buf, sizeof buf, "%999999999d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buf, "       ");
}

} // namespace
