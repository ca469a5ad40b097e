// The formatters: the runtime's printf conventions the trace lines rely on, and the 511 cut.
#include "fake_trace_library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string TextOf(TraceRecord* pRecord)
{
    EXPECT_NE(pRecord, nullptr);
    std::string text = pRecord && pRecord->Text ? pRecord->Text : "";
    FreeTraceRecord(pRecord);
    return text;
}

std::string PointerDigits(const void* p)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return sz;
}

TEST(TraceFormat, ConversionsOfTheWideFormatter)
{
    const char* narrow = "n\xC3\xA9";
    const char16_t* wide = u"w\u00e9";
    EXPECT_EQ(TextOf(FormatTraceW(u"[%hs][%ls][%s][%S]", narrow, wide, wide, narrow)), "[n\xC3\xA9][w\xC3\xA9][w\xC3\xA9][n\xC3\xA9]");
    EXPECT_EQ(TextOf(FormatTraceW(u"%d %d %lu %lX %08lx %x", -7, 2147483647, 0xFFFFFFFFu, 0xABCu, 0x57u, 255u)),
              "-7 2147483647 4294967295 ABC 00000057 ff");
    EXPECT_EQ(TextOf(FormatTraceW(u"%f|%f|%.2f|%8.3f", 0.1, -2.5, 3.14159, 1.0)), "0.100000|-2.500000|3.14|   1.000");
    EXPECT_EQ(TextOf(FormatTraceW(u"[%-6d][%6d][%06d][%+d][% d]", 42, 42, -42, 5, 5)), "[42    ][    42][-00042][+5][ 5]");
    EXPECT_EQ(TextOf(FormatTraceW(u"[%-5hs][%5ls][%.2s][%*d]", "ab", u"cd", u"xyz", 4, 7)), "[ab   ][   cd][xy][   7]");
    EXPECT_EQ(TextOf(FormatTraceW(u"%c%hc%lc 100%%", u'A', 'b', u'\u00e9')), "Ab\xC3\xA9 100%");
    EXPECT_EQ(TextOf(FormatTraceW(u"%I64d %lld %#x %#o", -5000000000LL, 1LL << 40, 0x1Fu, 8u)),
              "-5000000000 1099511627776 0x1f 010");
    EXPECT_EQ(TextOf(FormatTraceW(u"%hs %ls", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr))),
              "(null) (null)");
}

TEST(TraceFormat, ConversionsOfThe8BitFormatter)
{
    EXPECT_EQ(TextOf(FormatTraceA("[%s][%hs][%ls][%S]", "a", "b", u"c\u00e9", u"d")), "[a][b][c\xC3\xA9][d]");
    EXPECT_EQ(TextOf(FormatTraceA("'%-20hs'", "CTonwell")), "'CTonwell            '");
    EXPECT_EQ(TextOf(FormatTraceA("'%-20hs'", "ABCDEFGHIJKLMNOPQRSTUVWXY")), "'ABCDEFGHIJKLMNOPQRSTUVWXY'");
    EXPECT_EQ(TextOf(FormatTraceA("'%-20ls'", u"CTonwellExposure")), "'CTonwellExposure    '");
    EXPECT_EQ(TextOf(FormatTraceA("%u%%, %q and %", 0u)), "0%, %q and %") << "unknown conversions stay as written";
}

TEST(TraceFormat, PointersPrintEveryDigitInUpperCase)
{
    int object = 0;
    const void* p = &object;
    EXPECT_EQ(TextOf(FormatTraceA("0x%p", p)), "0x" + PointerDigits(p));
    EXPECT_EQ(TextOf(FormatTraceW(u"0x%p", p)), "0x" + PointerDigits(p));
    EXPECT_EQ(TextOf(FormatTraceA("%p", nullptr)), std::string(2 * sizeof(void*), '0'));
}

TEST(TraceFormat, OutputIsCutAt511Characters)
{
    std::string long8(600, 'a');
    EXPECT_EQ(TextOf(FormatTraceA("%s", long8.c_str())), std::string(511, 'a'));
    std::u16string long16(600, u'b');
    EXPECT_EQ(TextOf(FormatTraceW(u"%s", long16.c_str())), std::string(511, 'b'));
    EXPECT_EQ(TextOf(FormatTraceW(u"%600d", 1)).size(), 511u);

    // A cut never splits a character: a surrogate pair straddling position 511 goes whole.
    std::u16string pairs(510, u'c');
    pairs += u"\U0001F600";
    EXPECT_EQ(TextOf(FormatTraceW(u"%s", pairs.c_str())), std::string(510, 'c'));
    std::string utf8(510, 'd');
    utf8 += "\xC3\xA9";
    EXPECT_EQ(TextOf(FormatTraceA("%s", utf8.c_str())), std::string(510, 'd'));
}

TEST(TraceFormat, RecordsAreStampedWithProcessThreadAndMask)
{
    TraceRecord* pRecord = FormatTraceMaskW(0x6, 3, u"x");
    ASSERT_NE(pRecord, nullptr);
    EXPECT_EQ(pRecord->Mask, 0x6u);
    EXPECT_EQ(pRecord->Level, 3u);
    EXPECT_EQ(pRecord->ProcessId, GetCurrentProcessId());
    EXPECT_EQ(pRecord->ThreadId, GetCurrentThreadId());
    EXPECT_EQ(pRecord->FunctionName, nullptr);
    EXPECT_EQ(pRecord->Flag, 0u);
    FreeTraceRecord(pRecord);
    // Without a library the 8-bit and wide formatters give mask and level 0.
    pRecord = FormatTraceW(u"y");
    EXPECT_EQ(pRecord->Mask, 0u);
    EXPECT_EQ(pRecord->Level, 0u);
    FreeTraceRecord(pRecord);
}

} // namespace
