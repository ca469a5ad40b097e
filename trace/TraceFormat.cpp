#include "TraceFormat.h"

#include <cstdio>
#include <cstring>

namespace tonwell::trace {
namespace {

// Collects output up to the buffer's size; remembers whether anything was cut.
template <class C>
class Sink {
public:
    Sink(C* pBuffer, size_t cchBuffer) : m_pBuffer(pBuffer), m_cchMax(cchBuffer ? cchBuffer - 1 : 0) {}

    void Put(C ch)
    {
        if (m_cch < m_cchMax)
            m_pBuffer[m_cch++] = ch;
        else
            m_bCut = true;
    }
    void Repeat(C ch, size_t n)
    {
        for (size_t i = 0; i < n && !m_bCut; ++i)
            Put(ch);
    }
    bool Full() const { return m_bCut; }

    size_t Finish(size_t cchBuffer)
    {
        if (!cchBuffer)
            return 0;
        if (m_bCut)
            TrimPartialCharacter();
        m_pBuffer[m_cch] = 0;
        return m_cch;
    }

private:
    void TrimPartialCharacter();

    C* m_pBuffer;
    size_t m_cchMax;
    size_t m_cch = 0;
    bool m_bCut = false;
};

template <>
void Sink<char16_t>::TrimPartialCharacter()
{
    // A high surrogate whose partner was cut away would not survive conversion.
    if (m_cch && m_pBuffer[m_cch - 1] >= 0xD800 && m_pBuffer[m_cch - 1] <= 0xDBFF)
        --m_cch;
}

template <>
void Sink<char>::TrimPartialCharacter()
{
    // Drop a UTF-8 sequence that lost its tail to the cut.
    size_t i = m_cch;
    size_t continuation = 0;
    while (i > 0 && continuation < 4 && (static_cast<unsigned char>(m_pBuffer[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0)
        return;
    unsigned char lead = static_cast<unsigned char>(m_pBuffer[i - 1]);
    size_t need = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (need > continuation)
        m_cch = i - 1;
}

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
};

enum class Size { Default, Char, Short, Long, LongLong, SizeT, LongDouble, Wide };

// Reads one code point from UTF-8 text; malformed bytes come back as U+FFFD.
char32_t DecodeUtf8(const char*& p, const char* pEnd)
{
    auto b = static_cast<unsigned char>(*p++);
    if (b < 0x80)
        return b;
    int extra = b >= 0xF0 && b < 0xF8 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0 || pEnd - p < extra)
        return 0xFFFD;
    char32_t cp = b & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        auto c = static_cast<unsigned char>(*p);
        if ((c & 0xC0) != 0x80)
            return 0xFFFD;
        ++p;
        cp = (cp << 6) | (c & 0x3F);
    }
    static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0xFFFD;
    return cp;
}

char32_t DecodeUtf16(const char16_t*& p, const char16_t* pEnd)
{
    char32_t u = *p++;
    if (u >= 0xD800 && u <= 0xDBFF && p < pEnd && *p >= 0xDC00 && *p <= 0xDFFF)
        return 0x10000 + ((u - 0xD800) << 10) + (*p++ - 0xDC00);
    if (u >= 0xD800 && u <= 0xDFFF)
        return 0xFFFD;
    return u;
}

size_t EncodeUnits(char32_t cp, char* out)
{
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

size_t EncodeUnits(char32_t cp, char16_t* out)
{
    if (cp < 0x10000) {
        out[0] = static_cast<char16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

template <class S>
size_t Length(const S* p)
{
    size_t n = 0;
    while (p[n])
        ++n;
    return n;
}

template <class C>
class Engine {
public:
    Engine(C* pBuffer, size_t cchBuffer) : m_sink(pBuffer, cchBuffer) {}

    size_t Run(const C* pszFormat, va_list args, size_t cchBuffer)
    {
        va_list ap;
        va_copy(ap, args);
        if (pszFormat)
            Walk(pszFormat, ap);
        va_end(ap);
        return m_sink.Finish(cchBuffer);
    }

private:
    void Walk(const C* p, va_list& ap)
    {
        while (*p && !m_sink.Full()) {
            if (*p != '%') {
                m_sink.Put(*p++);
                continue;
            }
            const C* pStart = p++;
            Spec spec;
            for (;; ++p) {
                if (*p == '-')
                    spec.left = true;
                else if (*p == '+')
                    spec.plus = true;
                else if (*p == ' ')
                    spec.space = true;
                else if (*p == '#')
                    spec.alt = true;
                else if (*p == '0')
                    spec.zero = true;
                else
                    break;
            }
            if (*p == '*') {
                ++p;
                int w = va_arg(ap, int);
                if (w < 0) {
                    spec.left = true;
                    w = w == -2147483647 - 1 ? 2147483647 : -w;
                }
                spec.width = w;
            } else {
                spec.width = ReadNumber(p);
            }
            if (*p == '.') {
                ++p;
                if (*p == '*') {
                    ++p;
                    int prec = va_arg(ap, int);
                    spec.precision = prec < 0 ? -1 : prec;
                } else {
                    spec.precision = ReadNumber(p);
                }
            }
            Size size = ReadSize(p);
            C conv = *p;
            if (!conv) {
                Literal(pStart, p);
                return;
            }
            ++p;
            if (!Convert(conv, size, spec, ap))
                Literal(pStart, p);
        }
    }

    // Widths beyond the buffer change nothing that can be seen; clamping keeps the arithmetic small.
    static int ReadNumber(const C*& p)
    {
        int n = 0;
        while (*p >= '0' && *p <= '9') {
            if (n < 100000)
                n = n * 10 + (*p - '0');
            ++p;
        }
        return n;
    }

    static Size ReadSize(const C*& p)
    {
        switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') {
                ++p;
                return Size::Char;
            }
            return Size::Short;
        case 'l':
            ++p;
            if (*p == 'l') {
                ++p;
                return Size::LongLong;
            }
            return Size::Long;
        case 'L':
            ++p;
            return Size::LongDouble;
        case 'w':
            ++p;
            return Size::Wide;
        case 'j':
        case 'z':
        case 't':
            ++p;
            return Size::SizeT;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                p += 3;
                return Size::LongLong;
            }
            if (p[1] == '3' && p[2] == '2') {
                p += 3;
                return Size::Long;
            }
            ++p;
            return Size::SizeT;
        default:
            return Size::Default;
        }
    }

    void Literal(const C* pBegin, const C* pEnd)
    {
        while (pBegin < pEnd)
            m_sink.Put(*pBegin++);
    }

    bool Convert(C conv, Size size, const Spec& spec, va_list& ap)
    {
        constexpr bool bWideFormat = sizeof(C) == 2;
        switch (conv) {
        case '%':
            m_sink.Put('%');
            return true;
        case 'd':
        case 'i': {
            long long v;
            if (size == Size::LongLong || size == Size::SizeT)
                v = va_arg(ap, long long);
            else if (size == Size::Short)
                v = static_cast<short>(va_arg(ap, int));
            else if (size == Size::Char)
                v = static_cast<signed char>(va_arg(ap, int));
            else
                v = va_arg(ap, int);
            Integer(v < 0, v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v),
                    10, false, spec, false);
            return true;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long v;
            if (size == Size::LongLong || size == Size::SizeT)
                v = va_arg(ap, unsigned long long);
            else if (size == Size::Short)
                v = static_cast<unsigned short>(va_arg(ap, unsigned int));
            else if (size == Size::Char)
                v = static_cast<unsigned char>(va_arg(ap, unsigned int));
            else
                v = va_arg(ap, unsigned int);
            unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
            Integer(false, v, base, conv == 'X', spec, spec.alt && v != 0 && base != 10);
            return true;
        }
        case 'p': {
            // The runtime prints every pointer with all its digits, upper case, no prefix.
            Spec pointer;
            pointer.left = spec.left;
            pointer.width = spec.width;
            pointer.precision = static_cast<int>(2 * sizeof(void*));
            Integer(false, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), 16, true, pointer, false);
            return true;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            Float(static_cast<char>(conv), size == Size::LongDouble ? static_cast<double>(va_arg(ap, long double))
                                                                    : va_arg(ap, double),
                  spec);
            return true;
        case 'c':
        case 'C': {
            bool bWide = size == Size::Long || size == Size::Wide ||
                         (size != Size::Short && ((conv == 'c') == bWideFormat));
            int v = va_arg(ap, int);
            if (bWide) {
                char16_t ch = static_cast<char16_t>(v);
                Text(&ch, 1, spec);
            } else {
                char ch = static_cast<char>(v);
                Text(&ch, 1, spec);
            }
            return true;
        }
        case 's':
        case 'S':
        case 'Z': {
            bool bWide = size == Size::Long || size == Size::Wide ||
                         (size != Size::Short && ((conv == 's') == bWideFormat));
            if (bWide) {
                const char16_t* s = va_arg(ap, const char16_t*);
                if (!s)
                    s = u"(null)";
                Text(s, Length(s), spec);
            } else {
                const char* s = va_arg(ap, const char*);
                if (!s)
                    s = "(null)";
                Text(s, std::strlen(s), spec);
            }
            return true;
        }
        case 'n':
            // Writing through a caller's pointer from a format string is never honoured.
            (void)va_arg(ap, void*);
            return true;
        default:
            return false;
        }
    }

    void Integer(bool bNegative, unsigned long long v, unsigned base, bool bUpper, const Spec& spec, bool bPrefix)
    {
        char digits[72];
        size_t n = 0;
        const char* set = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
        while (v) {
            digits[n++] = set[v % base];
            v /= base;
        }
        size_t zeros = 0;
        if (spec.precision >= 0) {
            if (static_cast<size_t>(spec.precision) > n)
                zeros = spec.precision - n;
        } else if (n == 0) {
            zeros = 1;
        }
        char sign[3] = {};
        size_t cSign = 0;
        if (bNegative)
            sign[cSign++] = '-';
        else if (spec.plus && base == 10)
            sign[cSign++] = '+';
        else if (spec.space && base == 10)
            sign[cSign++] = ' ';
        if (bPrefix && base == 16) {
            sign[cSign++] = '0';
            sign[cSign++] = bUpper ? 'X' : 'x';
        } else if (bPrefix && base == 8 && zeros == 0) {
            zeros = 1;
        }
        size_t body = cSign + zeros + n;
        size_t pad = static_cast<size_t>(spec.width) > body ? spec.width - body : 0;
        bool bZeroPad = spec.zero && !spec.left && spec.precision < 0;
        if (!spec.left && !bZeroPad)
            m_sink.Repeat(' ', pad);
        for (size_t i = 0; i < cSign; ++i)
            m_sink.Put(sign[i]);
        if (bZeroPad)
            m_sink.Repeat('0', pad);
        m_sink.Repeat('0', zeros);
        while (n)
            m_sink.Put(digits[--n]);
        if (spec.left)
            m_sink.Repeat(' ', pad);
    }

    void Float(char conv, double v, const Spec& spec)
    {
        char format[32];
        size_t n = 0;
        format[n++] = '%';
        if (spec.left)
            format[n++] = '-';
        if (spec.plus)
            format[n++] = '+';
        if (spec.space)
            format[n++] = ' ';
        if (spec.alt)
            format[n++] = '#';
        if (spec.zero)
            format[n++] = '0';
        format[n++] = '*';
        format[n++] = '.';
        format[n++] = '*';
        format[n++] = conv;
        format[n] = 0;
        // Anything past the trace buffer is cut anyway, so the clamps lose nothing visible.
        int width = spec.width > 600 ? 600 : spec.width;
        int precision = spec.precision < 0 ? 6 : spec.precision > 400 ? 400 : spec.precision;
        char text[1100];
        int cch = std::snprintf(text, sizeof text, format, width, precision, v);
        if (cch < 0)
            return;
        size_t len = static_cast<size_t>(cch) < sizeof text ? static_cast<size_t>(cch) : sizeof text - 1;
        for (size_t i = 0; i < len; ++i)
            m_sink.Put(static_cast<unsigned char>(text[i]));
    }

    // Strings are converted to the format's own width; width and precision count output units.
    template <class S>
    void Text(const S* s, size_t len, const Spec& spec)
    {
        C converted[512];
        static_assert(sizeof converted / sizeof converted[0] >= 512);
        size_t cch = 0;
        // One unit more than a trace buffer holds, so that the sink sees, and cleanly cuts, an overflow.
        size_t limit = spec.precision >= 0 && static_cast<size_t>(spec.precision) < 512 ? spec.precision : 512;
        const S* p = s;
        const S* pEnd = s + len;
        if constexpr (sizeof(S) == sizeof(C)) {
            while (p < pEnd && cch < limit)
                converted[cch++] = static_cast<C>(*p++);
        } else {
            while (p < pEnd && cch < limit) {
                char32_t cp;
                if constexpr (sizeof(S) == 1)
                    cp = DecodeUtf8(p, pEnd);
                else
                    cp = DecodeUtf16(p, pEnd);
                C units[4];
                size_t n = EncodeUnits(cp, units);
                if (cch + n > limit)
                    break;
                for (size_t i = 0; i < n; ++i)
                    converted[cch++] = units[i];
            }
        }
        size_t pad = static_cast<size_t>(spec.width) > cch ? spec.width - cch : 0;
        if (!spec.left)
            m_sink.Repeat(' ', pad);
        for (size_t i = 0; i < cch; ++i)
            m_sink.Put(converted[i]);
        if (spec.left)
            m_sink.Repeat(' ', pad);
    }

    Sink<C> m_sink;
};

} // namespace

size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, va_list args)
{
    if (!pszBuffer)
        return 0;
    return Engine<char>(pszBuffer, cchBuffer).Run(pszFormat, args, cchBuffer);
}

size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, va_list args)
{
    if (!pszBuffer)
        return 0;
    return Engine<char16_t>(pszBuffer, cchBuffer).Run(pszFormat, args, cchBuffer);
}

size_t FormatTextA(char* pszBuffer, size_t cchBuffer, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    size_t n = FormatTextA(pszBuffer, cchBuffer, pszFormat, args);
    va_end(args);
    return n;
}

size_t FormatTextW(char16_t* pszBuffer, size_t cchBuffer, const char16_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    size_t n = FormatTextW(pszBuffer, cchBuffer, pszFormat, args);
    va_end(args);
    return n;
}

} // namespace tonwell::trace
