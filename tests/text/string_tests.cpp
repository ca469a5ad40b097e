#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Strings, CharUpperConvertsInPlaceAndKeepsUtf8Intact)
{
    char name[] = "tonwell_tests.exe";
    EXPECT_EQ(CharUpperA(name), name);
    EXPECT_STREQ(name, "TONWELL_TESTS.EXE");

    char mixed[] = "caf\xC3\xA9 \xD0\xB4\xD0\xB0 \xC3\x9F"; // café да ß
    CharUpperA(mixed);
    EXPECT_STREQ(mixed, "CAF\xC3\x89 \xD0\x94\xD0\x90 \xC3\x9F") << "ß has no one-letter capital";
    CharLowerA(mixed);
    EXPECT_STREQ(mixed, "caf\xC3\xA9 \xD0\xB4\xD0\xB0 \xC3\x9F");

    char broken[] = "a\xC3";
    CharUpperA(broken);
    EXPECT_STREQ(broken, "A\xC3");

    // A pointer with zero upper bits is a character, not a string.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharUpperA(reinterpret_cast<LPSTR>(uintptr_t('q')))), uintptr_t('Q'));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharLowerA(reinterpret_cast<LPSTR>(uintptr_t('Q')))), uintptr_t('q'));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CharUpperW(reinterpret_cast<LPWSTR>(uintptr_t(0x00E9)))), uintptr_t(0x00C9));

    WCHAR wide[] = u"\u00FFstra\u00DFe \u03C3\u03C2 \U0001F600";
    CharUpperW(wide);
    EXPECT_EQ(std::u16string(wide), u"\u0178STRA\u00DFE \u03A3\u03A3 \U0001F600");
    WCHAR buf[] = u"abcdef";
    EXPECT_EQ(CharUpperBuffW(buf, 3), 3u);
    EXPECT_EQ(std::u16string(buf), u"ABCdef");
}

TEST(Strings, CharNextStepsWholeCharacters)
{
    const char text[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x80z";
    const char* p = text;
    std::string steps;
    while (*p) {
        const char* next = CharNextA(p);
        ASSERT_GT(next, p);
        steps += std::to_string(next - p);
        p = next;
    }
    EXPECT_EQ(steps, "12341" "1") << "a, é, €, 😀, a stray byte, z";
    EXPECT_EQ(CharNextA(p), p) << "stays on the terminator";

    const char truncated[] = "\xE2\x82";
    EXPECT_EQ(CharNextA(truncated), truncated + 2) << "never past the terminator";
    EXPECT_EQ(CharPrevA(text, text + 6), text + 3);
    EXPECT_EQ(CharPrevA(text, text), text);
}

TEST(Strings, ComparisonsAndLengths)
{
    EXPECT_EQ(lstrcmpiW(u"Module", u"MODULE"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u00E9t\u00E9", u"\u00C9T\u00C9"), 0);
    EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
    EXPECT_GT(lstrcmpiW(u"abcd", u"ABC"), 0);
    EXPECT_NE(lstrcmpW(u"Module", u"MODULE"), 0);
    EXPECT_EQ(lstrcmpW(u"x", u"x"), 0);
    EXPECT_LT(lstrcmpiW(nullptr, u""), 0);
    EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
    EXPECT_EQ(lstrcmpiA("Caf\xC3\xA9", "CAF\xC3\x89"), 0);
    EXPECT_NE(lstrcmpA("a", "A"), 0);

    EXPECT_EQ(lstrlenW(u"\U0001F600x"), 3);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenA("abc"), 3);

    WCHAR dst[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(lstrcpynW(dst, u"abcdef", 3), dst);
    EXPECT_EQ(std::u16string(dst), u"ab");
    EXPECT_EQ(dst[3], u'x');
    char cdst[8];
    lstrcpynA(cdst, "hi", 8);
    EXPECT_STREQ(cdst, "hi");
}

// One folding for every comparison without regard to case: the string
// functions and the registry's names agree on which letters are one.
TEST(Strings, OneFoldingBeyondLatin1)
{
    EXPECT_EQ(lstrcmpiW(u"\u01CE", u"\u01CD"), 0) << "Latin Extended-B pairs fold";
    EXPECT_EQ(lstrcmpiW(u"\u00B5", u"\u039C"), 0) << "the micro sign folds with capital mu";
    EXPECT_EQ(lstrcmpiW(u"\u00B5", u"\u03BC"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u04CF", u"\u04C0"), 0);
    EXPECT_NE(lstrcmpiW(u"\u0131", u"\u0130"), 0) << "dotless i is not the capital dotted I";
    WCHAR micro[] = u"\u00B5\u01CE";
    CharUpperW(micro);
    EXPECT_EQ(std::u16string(micro), u"\u039C\u01CD");

    EXPECT_EQ(lstrcmpiA("\xC7\x8E", "\xC7\x8D"), 0) << "the A form compares as the W form";
    // Bytes that are not UTF-8 stay apart instead of meeting as U+FFFD.
    EXPECT_NE(lstrcmpiA("bad\xFF", "bad\xFE"), 0);
    EXPECT_EQ(lstrcmpiA("BAD\xFF", "bad\xFF"), 0);
}

} // namespace
