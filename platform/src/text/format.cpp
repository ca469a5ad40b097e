#include "text/format.h"

#include "text/utf.h"

#include <cstdio>
#include <cstring>

namespace tonwell::platform::text {

bool VaListArguments::Int(int& value)
{
    value = va_arg(m_args, int);
    return true;
}

bool VaListArguments::Int64(long long& value)
{
    value = va_arg(m_args, long long);
    return true;
}

bool VaListArguments::Double(double& value, bool longDouble)
{
    value = longDouble ? static_cast<double>(va_arg(m_args, long double)) : va_arg(m_args, double);
    return true;
}

bool VaListArguments::Pointer(const void*& value)
{
    value = va_arg(m_args, const void*);
    return true;
}

template <class C>
void FormatOutput<C>::Put(C c)
{
    if (m_size >= m_max) {
        m_cut = true;
        return;
    }
    if (m_string)
        m_string->push_back(c);
    else
        m_buffer[m_size] = c;
    ++m_size;
}

template <class C>
void FormatOutput<C>::Repeat(C c, size_t count)
{
    for (size_t i = 0; i < count && !m_cut; ++i)
        Put(c);
}

template <class C>
size_t FormatOutput<C>::Finish()
{
    if (m_cut) {
        // A character that lost its tail to the cut would not survive conversion.
        const C* data = m_string ? m_string->data() : m_buffer;
        size_t keep = m_size;
        if constexpr (sizeof(C) == 2) {
            if (keep && data[keep - 1] >= 0xD800 && data[keep - 1] <= 0xDBFF)
                --keep;
        } else {
            keep = Utf8CompletePrefix(data, keep);
        }
        m_size = keep;
        if (m_string)
            m_string->resize(keep);
    }
    if (m_buffer && m_capacity)
        m_buffer[m_size] = 0;
    return m_size;
}

template class FormatOutput<char>;
template class FormatOutput<char16_t>;

namespace {

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

// Widths and precisions beyond this change nothing a caller can use; the
// clamp keeps the arithmetic small and a hostile format cheap.
constexpr int kMaxField = 100000;

template <class C>
class Engine {
public:
    Engine(FormatOutput<C>& out, FormatArguments& args, FormatMode mode) : m_out(out), m_args(args), m_mode(mode) {}

    bool Walk(const C* p)
    {
        while (*p && !m_out.Cut()) {
            if (*p != '%') {
                m_out.Put(*p++);
                continue;
            }
            const C* start = p++;
            Result r = Conversion(p);
            if (r == Result::Failed)
                return false;
            if (r == Result::NotUnderstood) {
                if (m_mode == FormatMode::Strict)
                    return false;
                Literal(start, p);
            }
        }
        return true;
    }

    // One conversion at p (after its '%'); p is left after it.
    bool One(const C* p)
    {
        if (Conversion(p) != Result::Done)
            return false;
        return *p == 0;
    }

private:
    enum class Result { Done, NotUnderstood, Failed };

    Result Conversion(const C*& p)
    {
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
            int w;
            if (!m_args.Int(w))
                return Result::Failed;
            if (w < 0) {
                spec.left = true;
                w = w == -2147483647 - 1 ? 2147483647 : -w;
            }
            spec.width = w > kMaxField ? kMaxField : w;
        } else {
            spec.width = ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                int precision;
                if (!m_args.Int(precision))
                    return Result::Failed;
                spec.precision = precision < 0 ? -1 : precision > kMaxField ? kMaxField : precision;
            } else {
                spec.precision = ReadNumber(p);
            }
        }
        Size size = ReadSize(p);
        C conv = *p;
        if (!conv)
            return Result::NotUnderstood;
        ++p;
        return Convert(conv, size, spec);
    }

    static int ReadNumber(const C*& p)
    {
        int n = 0;
        while (*p >= '0' && *p <= '9') {
            if (n < kMaxField)
                n = n * 10 + (*p - '0');
            ++p;
        }
        return n > kMaxField ? kMaxField : n;
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

    void Literal(const C* begin, const C* end)
    {
        while (begin < end)
            m_out.Put(*begin++);
    }

    bool SignedArgument(Size size, long long& v)
    {
        if (size == Size::LongLong || size == Size::SizeT)
            return m_args.Int64(v);
        int i;
        if (!m_args.Int(i))
            return false;
        v = size == Size::Short ? static_cast<short>(i) : size == Size::Char ? static_cast<signed char>(i) : i;
        return true;
    }

    bool UnsignedArgument(Size size, unsigned long long& v)
    {
        if (size == Size::LongLong || size == Size::SizeT) {
            long long w;
            if (!m_args.Int64(w))
                return false;
            v = static_cast<unsigned long long>(w);
            return true;
        }
        int i;
        if (!m_args.Int(i))
            return false;
        auto u = static_cast<unsigned int>(i);
        v = size == Size::Short ? static_cast<unsigned short>(u) : size == Size::Char ? static_cast<unsigned char>(u) : u;
        return true;
    }

    Result Convert(C conv, Size size, const Spec& spec)
    {
        constexpr bool kWideFormat = sizeof(C) == 2;
        switch (conv) {
        case '%':
            m_out.Put('%');
            return Result::Done;
        case 'd':
        case 'i': {
            long long v;
            if (!SignedArgument(size, v))
                return Result::Failed;
            Integer(v < 0, v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v), 10,
                    false, spec, false);
            return Result::Done;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            unsigned long long v;
            if (!UnsignedArgument(size, v))
                return Result::Failed;
            unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
            Integer(false, v, base, conv == 'X', spec, spec.alt && v != 0 && base != 10);
            return Result::Done;
        }
        case 'p': {
            const void* v;
            if (!m_args.Pointer(v))
                return Result::Failed;
            Spec pointer;
            pointer.left = spec.left;
            pointer.width = spec.width;
            pointer.precision = static_cast<int>(2 * sizeof(void*));
            Integer(false, reinterpret_cast<uintptr_t>(v), 16, true, pointer, false);
            return Result::Done;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double v;
            if (!m_args.Double(v, size == Size::LongDouble))
                return Result::Failed;
            Float(static_cast<char>(conv), v, spec);
            return Result::Done;
        }
        case 'c':
        case 'C': {
            bool wide = size == Size::Long || size == Size::Wide ||
                        (size != Size::Short && ((conv == 'c') == kWideFormat));
            int v;
            if (!m_args.Int(v))
                return Result::Failed;
            Spec character = spec;
            character.precision = -1;
            if (wide) {
                char16_t ch = static_cast<char16_t>(v);
                Text(&ch, 1, character);
            } else {
                char ch = static_cast<char>(v);
                Text(&ch, 1, character);
            }
            return Result::Done;
        }
        case 's':
        case 'S':
        case 'Z': {
            bool wide = size == Size::Long || size == Size::Wide ||
                        (size != Size::Short && ((conv == 's') == kWideFormat));
            const void* v;
            if (!m_args.Pointer(v))
                return Result::Failed;
            if (wide) {
                auto* s = v ? static_cast<const char16_t*>(v) : u"(null)";
                Text(s, std::char_traits<char16_t>::length(s), spec);
            } else {
                auto* s = v ? static_cast<const char*>(v) : "(null)";
                Text(s, std::strlen(s), spec);
            }
            return Result::Done;
        }
        case 'n': {
            // Writing through a caller's pointer from a format string is never honoured.
            if (m_mode == FormatMode::Strict)
                return Result::NotUnderstood;
            const void* ignored;
            return m_args.Pointer(ignored) ? Result::Done : Result::Failed;
        }
        default:
            return Result::NotUnderstood;
        }
    }

    void Integer(bool negative, unsigned long long v, unsigned base, bool upper, const Spec& spec, bool prefix)
    {
        char digits[72];
        size_t n = 0;
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
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
        if (negative)
            sign[cSign++] = '-';
        else if (spec.plus && base == 10)
            sign[cSign++] = '+';
        else if (spec.space && base == 10)
            sign[cSign++] = ' ';
        if (prefix && base == 16) {
            sign[cSign++] = '0';
            sign[cSign++] = upper ? 'X' : 'x';
        } else if (prefix && base == 8 && zeros == 0) {
            zeros = 1;
        }
        size_t body = cSign + zeros + n;
        size_t pad = static_cast<size_t>(spec.width) > body ? spec.width - body : 0;
        bool zeroPad = spec.zero && !spec.left && spec.precision < 0;
        if (!spec.left && !zeroPad)
            m_out.Repeat(' ', pad);
        for (size_t i = 0; i < cSign; ++i)
            m_out.Put(sign[i]);
        if (zeroPad)
            m_out.Repeat('0', pad);
        m_out.Repeat('0', zeros);
        while (n)
            m_out.Put(digits[--n]);
        if (spec.left)
            m_out.Repeat(' ', pad);
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
        // Clamped so that every result fits the local buffer; no line is that wide.
        int width = spec.width > 1000 ? 1000 : spec.width;
        int precision = spec.precision < 0 ? 6 : spec.precision > 400 ? 400 : spec.precision;
        char text[1500];
        int cch = std::snprintf(text, sizeof text, format, width, precision, v);
        if (cch < 0)
            return;
        size_t len = static_cast<size_t>(cch) < sizeof text ? static_cast<size_t>(cch) : sizeof text - 1;
        for (size_t i = 0; i < len; ++i)
            m_out.Put(static_cast<C>(static_cast<unsigned char>(text[i])));
    }

    // The units of s[0..len) in the format's own width that fit `limit`,
    // whole characters only; each is handed to `put`.
    template <class S, class Put>
    static size_t Units(const S* s, size_t len, size_t limit, Put&& put)
    {
        size_t count = 0;
        if constexpr (sizeof(S) == sizeof(C)) {
            size_t take = len < limit ? len : limit;
            if constexpr (sizeof(C) == 2) {
                if (take < len && take && s[take - 1] >= 0xD800 && s[take - 1] <= 0xDBFF)
                    --take;
            } else {
                if (take < len)
                    take = Utf8CompletePrefix(s, take);
            }
            for (size_t i = 0; i < take; ++i)
                put(static_cast<C>(s[i]));
            return take;
        } else {
            size_t i = 0;
            while (i < len) {
                char32_t cp;
                bool ok;
                i += Decode(s + i, len - i, cp, ok);
                C units[4];
                size_t n = Encode(cp, units);
                if (count + n > limit)
                    break;
                for (size_t k = 0; k < n; ++k)
                    put(units[k]);
                count += n;
            }
            return count;
        }
    }

    template <class S>
    void Text(const S* s, size_t len, const Spec& spec)
    {
        size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
        size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
        size_t units = width ? Units(s, len, limit, [](C) {}) : 0;
        size_t pad = width > units ? width - units : 0;
        if (!spec.left)
            m_out.Repeat(' ', pad);
        Units(s, len, limit, [this](C c) { m_out.Put(c); });
        if (spec.left)
            m_out.Repeat(' ', pad);
    }

    FormatOutput<C>& m_out;
    FormatArguments& m_args;
    FormatMode m_mode;
};

} // namespace

template <class C>
bool Format(FormatOutput<C>& out, const C* format, FormatArguments& args, FormatMode mode)
{
    if (!format)
        return true;
    return Engine<C>(out, args, mode).Walk(format);
}

template <class C>
bool FormatOne(FormatOutput<C>& out, const C* spec, FormatArguments& args)
{
    return spec && Engine<C>(out, args, FormatMode::Strict).One(spec);
}

template bool Format(FormatOutput<char>&, const char*, FormatArguments&, FormatMode);
template bool Format(FormatOutput<char16_t>&, const char16_t*, FormatArguments&, FormatMode);
template bool FormatOne(FormatOutput<char>&, const char*, FormatArguments&);
template bool FormatOne(FormatOutput<char16_t>&, const char16_t*, FormatArguments&);

} // namespace tonwell::platform::text
