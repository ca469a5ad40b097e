#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string ToWide(const std::string& s, UINT cp = CP_UTF8, DWORD flags = 0)
{
    int n = MultiByteToWideChar(cp, flags, s.data(), int(s.size()), nullptr, 0);
    std::u16string out(size_t(n), u'\0');
    if (n) {
        EXPECT_EQ(MultiByteToWideChar(cp, flags, s.data(), int(s.size()), out.data(), n), n);
    }
    return out;
}

std::string ToNarrow(const std::u16string& s, UINT cp = CP_UTF8, DWORD flags = 0)
{
    int n = WideCharToMultiByte(cp, flags, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    if (n) {
        EXPECT_EQ(WideCharToMultiByte(cp, flags, s.data(), int(s.size()), out.data(), n, nullptr, nullptr), n);
    }
    return out;
}

TEST(CodePages, RoundTripsEveryPlaneAndEveryAnsiAlias)
{
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; // A é € 😀 z
    const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600z";
    for (UINT cp : {UINT(CP_UTF8), UINT(CP_ACP), UINT(CP_OEMCP), UINT(CP_THREAD_ACP)}) {
        EXPECT_EQ(ToWide(utf8, cp), utf16) << cp;
        EXPECT_EQ(ToNarrow(utf16, cp), utf8) << cp;
    }
    EXPECT_EQ(ToWide(utf8).size(), 6u) << "the emoji is a surrogate pair";
    EXPECT_EQ(GetACP(), UINT(CP_UTF8));
}

TEST(CodePages, TerminatedInputCountsTheTerminator)
{
    WCHAR buf[16];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, buf, 16), 4);
    EXPECT_EQ(std::u16string(buf), u"abc");
    char out[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, out, 16, nullptr, nullptr), 3);
    EXPECT_STREQ(out, "\xC3\xA9");
    // An explicit length stops there and adds no terminator.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, buf, 16), 2);
}

TEST(CodePages, TooSmallBuffersFailWithoutOverrun)
{
    WCHAR buf[4] = {u'x', u'x', u'x', u'x'};
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, buf, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buf[3], u'x');
    // A surrogate pair is never split at the end of the buffer.
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, buf, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

    char out[4] = {'x', 'x', 'x', 'x'};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a\u20AC", 2, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[3], 'x');
}

TEST(CodePages, InvalidUtf8IsReplacedOrRefused)
{
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"a\x80" "b", u"a\uFFFDb"},                         // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
        {"ab\xC0\x80" "cd", u"ab\uFFFD\uFFFDcd"},           // overlong NUL inside a name
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xE2\x82", u"\uFFFD"},                            // truncated: one replacement for the prefix
        {"\xE2\x82" "A", u"\uFFFD" "A"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToWide(c.in), c.out) << testing::PrintToString(c.in);
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.in.data(), int(c.in.size()), nullptr, 0), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    }
}

TEST(CodePages, UnpairedSurrogatesAreReplacedOrRefused)
{
    for (std::u16string in : {std::u16string(u"a") + char16_t(0xD800) + u"b", std::u16string(1, char16_t(0xDC00)),
                              std::u16string(1, char16_t(0xDBFF))}) {
        std::string out = ToNarrow(in);
        EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0, nullptr,
                                      nullptr),
                  0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    }
    BOOL used = FALSE;
    const char16_t lone[] = {0xD800, 0};
    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, out, 8, nullptr, &used), 4);
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ok", -1, out, 8, "?", &used), 3);
    EXPECT_FALSE(used);
}

TEST(CodePages, BadArgumentsAndFlags)
{
    WCHAR w[8];
    char n[8];
    auto fails = [](int result, DWORD error) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(GetLastError(), error);
    };
    fails(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, w, 8), ERROR_INVALID_PARAMETER);
    fails(MultiByteToWideChar(CP_UTF8, 0, "a", 0, w, 8), ERROR_INVALID_PARAMETER);
    fails(MultiByteToWideChar(CP_UTF8, 0, "a", -2, w, 8), ERROR_INVALID_PARAMETER);
    fails(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 8), ERROR_INVALID_PARAMETER);
    fails(MultiByteToWideChar(1252, 0, "a", 1, w, 8), ERROR_INVALID_PARAMETER);
    fails(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, w, 8), ERROR_INVALID_FLAGS);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a", 1, w, 8), 1) << "the ANSI page takes it";
    fails(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, n, 8, "?", nullptr), ERROR_INVALID_PARAMETER);
    fails(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"a", 1, n, 8, nullptr, nullptr), ERROR_INVALID_FLAGS);
    fails(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, n, -1, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, u"a", 1, n, 8, nullptr, nullptr), 1);
}

} // namespace
