#include <windows.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace {

constexpr DWORD kTraceFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                              FORMAT_MESSAGE_MAX_WIDTH_MASK;

// As the tracing client asks: 0x12FF into a zero-filled 261-byte buffer.
std::string TraceText(DWORD code)
{
    char buf[261] = {};
    FormatMessageA(kTraceFlags, nullptr, code, 0, buf, sizeof buf, nullptr);
    return buf;
}

TEST(FormatMessage, SystemTextsAsTheTracingClientReadsThem)
{
    static_assert(kTraceFlags == 0x12FF);
    char buf[261] = {};
    EXPECT_EQ(FormatMessageA(kTraceFlags, nullptr, DWORD(E_INVALIDARG), 0, buf, sizeof buf, nullptr), 28u);
    EXPECT_STREQ(buf, "The parameter is incorrect. ") << "the final line break becomes a space";

    EXPECT_EQ(TraceText(ERROR_INVALID_PARAMETER), "The parameter is incorrect. ");
    EXPECT_EQ(TraceText(S_OK), "The operation completed successfully. ");
    EXPECT_EQ(TraceText(DWORD(E_POINTER)), "Invalid pointer ");
    EXPECT_EQ(TraceText(DWORD(E_NOINTERFACE)), "No such interface supported ");
    EXPECT_EQ(TraceText(DWORD(E_FAIL)), "Unspecified error ");
    EXPECT_EQ(TraceText(DWORD(E_OUTOFMEMORY)),
              "Not enough memory resources are available to complete this operation. ");
    EXPECT_EQ(TraceText(DWORD(HRESULT_FROM_WIN32(ERROR_INVALID_DATA))), "The data is invalid. ");
    EXPECT_EQ(TraceText(DWORD(E_ACCESSDENIED)), "Access is denied. ");
    EXPECT_EQ(TraceText(DWORD(CLASS_E_NOAGGREGATION)),
              "Class does not support aggregation (or class object is remote) ");
    EXPECT_EQ(TraceText(DWORD(REGDB_E_CLASSNOTREG)), "Class not registered ");
    EXPECT_EQ(TraceText(DWORD(DISP_E_EXCEPTION)), "Exception occurred. ");
    EXPECT_EQ(TraceText(DWORD(TYPE_E_LIBNOTREGISTERED)), "Library not registered. ");
    EXPECT_EQ(TraceText(ERROR_BAD_EXE_FORMAT), "%1 is not a valid Win32 application. ");
    EXPECT_EQ(TraceText(ERROR_TIMEOUT), "This operation returned because the timeout period expired. ");

    // The longest system text still fits the 261-byte buffer.
    EXPECT_FALSE(TraceText(ERROR_REGISTRY_CORRUPT).empty());
}

TEST(FormatMessage, EveryStatusCodeOfThisSystemHasItsText)
{
    const DWORD codes[] = {0, 1, 2, 3, 5, 6, 8, 13, 14, 87, 122, 126, 127, 183, 234, 259, 288, 1018, 1460,
                           DWORD(E_UNEXPECTED), DWORD(E_NOTIMPL), DWORD(E_HANDLE), DWORD(CLASS_E_CLASSNOTAVAILABLE),
                           DWORD(CO_E_DLLNOTFOUND), DWORD(CO_E_CLASSSTRING), DWORD(DISP_E_MEMBERNOTFOUND),
                           DWORD(DISP_E_UNKNOWNNAME), DWORD(DISP_E_BADPARAMCOUNT), DWORD(TYPE_E_ELEMENTNOTFOUND),
                           DWORD(TYPE_E_CANTLOADLIBRARY), DWORD(TYPE_E_REGISTRYACCESS), DWORD(SELFREG_E_CLASS)};
    for (DWORD code : codes) {
        std::string text = TraceText(code);
        EXPECT_GT(text.size(), 2u) << std::hex << code;
        EXPECT_EQ(text.back(), ' ') << std::hex << code;
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
}

TEST(FormatMessage, UnknownCodesAndSizes)
{
    char buf[64] = "untouched";
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(kTraceFlags, nullptr, 0x8004DEAD, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(FormatMessageA(kTraceFlags, nullptr, DWORD(SELFREG_E_TYPELIB), 0, buf, sizeof buf, nullptr), 0u)
        << "the system has no text at this number";

    // Without a width limit the text keeps its line break.
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buf, sizeof buf, nullptr), 19u);
    EXPECT_STREQ(buf, "Access is denied.\r\n");

    // Room for the text but not its terminator.
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buf, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, buf, 20, nullptr), 19u);

    WCHAR wbuf[64];
    EXPECT_EQ(FormatMessageW(kTraceFlags, nullptr, DWORD(E_INVALIDARG), 0, wbuf, 64, nullptr), 28u);
    EXPECT_EQ(std::u16string(wbuf), u"The parameter is incorrect. ");

    LPSTR allocated = nullptr;
    EXPECT_EQ(FormatMessageA(kTraceFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_FILE_NOT_FOUND, 0,
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              43u);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "The system cannot find the file specified. ");
    LocalFree(allocated);

    allocated = reinterpret_cast<LPSTR>(1);
    EXPECT_EQ(FormatMessageA(kTraceFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 0xDEAD, 0,
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              0u);
    EXPECT_EQ(allocated, nullptr) << "nothing handed out on failure";

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1, 0, buf, sizeof buf, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_SYSTEM, "x", 0, 0, buf, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

DWORD FormatV(DWORD flags, const char* pattern, char* buf, DWORD size, ...)
{
    va_list args;
    va_start(args, size);
    DWORD n = FormatMessageA(flags | FORMAT_MESSAGE_FROM_STRING, pattern, 0, 0, buf, size, &args);
    va_end(args);
    return n;
}

TEST(FormatMessage, InsertsAndEscapes)
{
    char buf[256];
    EXPECT_GT(FormatV(0, "%2 then %1!d! (%3!04lX!)%%%n%tend%0ignored", buf, sizeof buf, 42, "second", 0xAB), 0u);
    EXPECT_STREQ(buf, "second then 42 (00AB)%\r\n\tend");

    DWORD_PTR array[] = {reinterpret_cast<DWORD_PTR>(u"wide"), DWORD_PTR(-5), reinterpret_cast<DWORD_PTR>("narrow")};
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1!ls!/%2!d!/%3!-8s!|", 0, 0, buf,
                   sizeof buf, reinterpret_cast<va_list*>(array));
    EXPECT_STREQ(buf, "wide/-5/narrow  |");

    WCHAR wbuf[64];
    DWORD_PTR wargs[] = {reinterpret_cast<DWORD_PTR>(u"\u00E9t\u00E9"), reinterpret_cast<DWORD_PTR>("ascii")};
    FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1 %2!hs!", 0, 0, wbuf, 64,
                   reinterpret_cast<va_list*>(wargs));
    EXPECT_EQ(std::u16string(wbuf), u"\u00E9t\u00E9 ascii");

    // Ignored inserts pass through with their format.
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, "%1!d! and %2", 0, 0, buf, sizeof buf,
                   nullptr);
    EXPECT_STREQ(buf, "%1!d! and %2");

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "%1", 0, 0, buf, sizeof buf, nullptr), 0u)
        << "an insert needs its argument";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(FormatV(0, "%1!*d!", buf, sizeof buf, 3, 4), 0u);
    EXPECT_EQ(FormatV(0, "%1!f!", buf, sizeof buf, 1.5), 0u);
}

TEST(FormatMessage, LineWidths)
{
    char buf[256];
    // The template's own breaks become spaces under a width; %n stays a break.
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_MAX_WIDTH_MASK, "one\r\ntwo\nthree%nfour", 0, 0, buf,
                   sizeof buf, nullptr);
    EXPECT_STREQ(buf, "one two three\r\nfour");

    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | 10, "alpha beta gamma delta epsilonlongword x", 0, 0, buf, sizeof buf,
                   nullptr);
    EXPECT_STREQ(buf, "alpha beta\r\ngamma\r\ndelta\r\nepsilonlongword\r\nx");
}

} // namespace
