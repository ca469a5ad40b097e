#include "text/utf.h"

namespace tonwell::platform::text {

size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t& cp, bool& ok, bool surrogates)
{
    unsigned char b0 = s[0];
    ok = false;
    cp = kReplacement;
    if (b0 < 0x80) {
        cp = b0;
        ok = true;
        return 1;
    }
    size_t need;
    char32_t value;
    // Bounds of the second byte exclude overlong forms, surrogates and values
    // above U+10FFFF, so that an ill-formed sequence is cut where it goes wrong.
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED && !surrogates)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 1;
    }
    size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= n)
            return i;
        unsigned char b = s[i];
        if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF))
            return i;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    ok = true;
    return i;
}

size_t DecodeUtf16(const char16_t* s, size_t n, char32_t& cp, bool& ok)
{
    char16_t u = s[0];
    if (u < 0xD800 || u > 0xDFFF) {
        cp = u;
        ok = true;
        return 1;
    }
    if (u <= 0xDBFF && n > 1 && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
        cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[1]) - 0xDC00);
        ok = true;
        return 2;
    }
    cp = kReplacement;
    ok = false;
    return 1;
}

size_t EncodeUtf8(char32_t cp, char* out)
{
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

size_t EncodeUtf16(char32_t cp, char16_t* out)
{
    if (cp < 0x10000) {
        out[0] = char16_t(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = char16_t(0xD800 + (cp >> 10));
    out[1] = char16_t(0xDC00 + (cp & 0x3FF));
    return 2;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out, Invalid mode)
{
    out.clear();
    out.reserve(in.size());
    auto* p = reinterpret_cast<const unsigned char*>(in.data());
    bool surrogates = mode == Invalid::Keep;
    size_t i = 0;
    while (i < in.size()) {
        char32_t cp;
        bool ok;
        i += DecodeUtf8(p + i, in.size() - i, cp, ok, surrogates);
        if (!ok && mode == Invalid::Refuse)
            return false;
        char16_t units[2];
        out.append(units, EncodeUtf16(cp, units));
    }
    return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out, Invalid mode)
{
    out.clear();
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        char32_t cp;
        bool ok;
        size_t len = DecodeUtf16(in.data() + i, in.size() - i, cp, ok);
        if (!ok) {
            if (mode == Invalid::Refuse)
                return false;
            if (mode == Invalid::Keep)
                cp = in[i];
        }
        i += len;
        char bytes[4];
        out.append(bytes, EncodeUtf8(cp, bytes));
    }
    return true;
}

std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    Utf8ToUtf16(in, out, Invalid::Replace);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    Utf16ToUtf8(in, out, Invalid::Replace);
    return out;
}

size_t Utf8CompletePrefix(const char* s, size_t n)
{
    // Step back over at most three continuation bytes to the lead of the last sequence.
    size_t i = n, continuation = 0;
    while (i > 0 && continuation < 3 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0)
        return n;
    auto lead = static_cast<unsigned char>(s[i - 1]);
    size_t need = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    return need > continuation ? i - 1 : n;
}

namespace {

// How a range of lower-case letters maps to its capitals.
enum class Kind {
    Offset,  // every letter in [lo, hi] has its capital at letter + delta
    EvenOdd, // pairs: the capital is even, its small letter the next code point
    OddEven, // pairs: the capital is odd, its small letter the next code point
};

struct CaseRange {
    char32_t lo, hi; // the small letters (Offset) or the whole run of pairs
    Kind kind;
    int delta;
};

constexpr CaseRange kRanges[] = {
    {0x0061, 0x007A, Kind::Offset, -0x20},   // Basic Latin
    {0x00E0, 0x00F6, Kind::Offset, -0x20},   // Latin-1
    {0x00F8, 0x00FE, Kind::Offset, -0x20},
    {0x0100, 0x012F, Kind::EvenOdd, 0},      // Latin Extended-A
    {0x0132, 0x0137, Kind::EvenOdd, 0},
    {0x0139, 0x0148, Kind::OddEven, 0},
    {0x014A, 0x0177, Kind::EvenOdd, 0},
    {0x0179, 0x017E, Kind::OddEven, 0},
    {0x01CD, 0x01DC, Kind::OddEven, 0},      // Latin Extended-B
    {0x01DE, 0x01EF, Kind::EvenOdd, 0},
    {0x01F8, 0x021F, Kind::EvenOdd, 0},
    {0x0222, 0x0233, Kind::EvenOdd, 0},
    {0x0246, 0x024F, Kind::EvenOdd, 0},
    {0x03AD, 0x03AF, Kind::Offset, -0x25},   // Greek
    {0x03B1, 0x03C1, Kind::Offset, -0x20},
    {0x03C3, 0x03CB, Kind::Offset, -0x20},
    {0x03CD, 0x03CE, Kind::Offset, -0x3F},
    {0x03D8, 0x03EF, Kind::EvenOdd, 0},
    {0x0430, 0x044F, Kind::Offset, -0x20},   // Cyrillic
    {0x0450, 0x045F, Kind::Offset, -0x50},
    {0x0460, 0x0481, Kind::EvenOdd, 0},
    {0x048A, 0x04BF, Kind::EvenOdd, 0},
    {0x04C1, 0x04CE, Kind::OddEven, 0},
    {0x04D0, 0x052F, Kind::EvenOdd, 0},
    {0x0561, 0x0586, Kind::Offset, -0x30},   // Armenian
    {0x1E00, 0x1E95, Kind::EvenOdd, 0},      // Latin Extended Additional
    {0x1EA0, 0x1EFF, Kind::EvenOdd, 0},
    {0xFF41, 0xFF5A, Kind::Offset, -0x20},   // full-width Latin
};

struct CasePair {
    char32_t lower, upper;
};

// Letters outside the regular runs.
constexpr CasePair kPairs[] = {
    {0x00FF, 0x0178},
    {0x03AC, 0x0386},
    {0x03CC, 0x038C},
    {0x04CF, 0x04C0},
};

bool IsPairKind(Kind k) { return k != Kind::Offset; }

} // namespace

char32_t ToUpper(char32_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
    if (c == 0x03C2) // final sigma
        return 0x03A3;
    if (c == 0x00B5) // micro sign, whose capital is the Greek one
        return 0x039C;
    for (const CaseRange& r : kRanges) {
        if (c < r.lo || c > r.hi)
            continue;
        if (!IsPairKind(r.kind))
            return char32_t(int(c) + r.delta);
        bool upperIsEven = r.kind == Kind::EvenOdd;
        bool isEven = (c & 1) == 0;
        return (isEven == upperIsEven) ? c : c - 1;
    }
    for (const CasePair& p : kPairs)
        if (c == p.lower)
            return p.upper;
    return c;
}

char32_t ToLower(char32_t c)
{
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    for (const CaseRange& r : kRanges) {
        if (!IsPairKind(r.kind)) {
            char32_t ulo = char32_t(int(r.lo) + r.delta), uhi = char32_t(int(r.hi) + r.delta);
            if (c >= ulo && c <= uhi)
                return char32_t(int(c) - r.delta);
            continue;
        }
        if (c < r.lo || c > r.hi)
            continue;
        bool upperIsEven = r.kind == Kind::EvenOdd;
        bool isEven = (c & 1) == 0;
        // The last capital of a run may lack its small letter inside the run.
        return (isEven == upperIsEven && c < r.hi) ? c + 1 : c;
    }
    for (const CasePair& p : kPairs)
        if (c == p.upper)
            return p.lower;
    return c;
}

char16_t FoldUnit(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    char32_t upper = ToUpper(c);
    return upper <= 0xFFFF ? char16_t(upper) : c;
}

std::u16string Fold(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out)
        c = FoldUnit(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldUnit(a[i]) != FoldUnit(b[i]))
            return false;
    return true;
}

bool EqualNoCaseAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    auto fold = [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u < 0x80 ? FoldUnit(u) : char16_t(u);
    };
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

} // namespace tonwell::platform::text
