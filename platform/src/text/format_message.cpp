// FormatMessageA/W: the system's message texts and caller-supplied templates,
// with the platform's escape sequences, numbered inserts and line-width rules.
#include <errhandlingapi.h>
#include <heapapi.h>
#include <winnls.h>

#include "boundary.h"
#include "text/format.h"
#include "text/system_messages.h"
#include "text/utf.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace tonwell::platform::text;
using tonwell::platform::GuardLastError;

namespace {

constexpr DWORD kKnownFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                              FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                              FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;
constexpr int kMaxInsert = 99;

template <typename Ch>
std::basic_string<Ch> FromUtf8(std::string_view s);
template <>
std::string FromUtf8<char>(std::string_view s) { return std::string(s); }
template <>
std::u16string FromUtf8<char16_t>(std::string_view s) { return Utf8ToUtf16(s); }

// The arguments of the inserts, fetched as pointer-sized values: from the
// caller's array, or in order from the va_list as far as the highest insert used.
class Arguments {
public:
    Arguments(DWORD flags, va_list* args) : m_flags(flags), m_args(args) {}

    bool Get(int number, uintptr_t& value)
    {
        if (!m_args)
            return false;
        if (m_flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
            value = reinterpret_cast<const DWORD_PTR*>(m_args)[number - 1];
            return true;
        }
        while (int(m_fetched.size()) < number)
            m_fetched.push_back(va_arg(*m_args, uintptr_t));
        value = m_fetched[size_t(number - 1)];
        return true;
    }

private:
    DWORD m_flags;
    va_list* m_args;
    std::vector<uintptr_t> m_fetched;
};

// An insert's one argument, as the formatter asks for it: a pointer-sized
// value, of which "l" and plain conversions take the low 32 bits.
class InsertArgument final : public FormatArguments {
public:
    explicit InsertArgument(uintptr_t value) : m_value(value) {}
    bool Int(int& value) override
    {
        value = static_cast<int>(static_cast<uint32_t>(m_value));
        return Take();
    }
    bool Int64(long long& value) override
    {
        value = static_cast<long long>(m_value);
        return Take();
    }
    bool Double(double&, bool) override { return false; }
    bool Pointer(const void*& value) override
    {
        value = reinterpret_cast<const void*>(m_value);
        return Take();
    }

private:
    // Each insert carries one argument; a format that wants more is refused.
    bool Take() { return !std::exchange(m_taken, true); }

    uintptr_t m_value;
    bool m_taken = false;
};

// Folds the ordinary line breaks of the template into spaces and, for a
// width below 255, breaks lines between words. Hard breaks (%n, %r) stay.
template <typename Ch>
std::basic_string<Ch> Wrap(const std::basic_string<Ch>& text, const std::vector<bool>& hard, unsigned width)
{
    std::basic_string<Ch> out;
    size_t col = 0;
    size_t i = 0, n = text.size();
    while (i < n) {
        if (hard[i]) {
            out.push_back(text[i]);
            col = (text[i] == Ch('\n') || text[i] == Ch('\r')) ? 0 : col + 1;
            ++i;
            continue;
        }
        if (width == 0 || text[i] == Ch(' ')) {
            out.push_back(text[i]);
            ++col;
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && !hard[end] && text[end] != Ch(' '))
            ++end;
        size_t word = end - i;
        if (col > 0 && col + word > width) {
            while (!out.empty() && out.back() == Ch(' '))
                out.pop_back();
            out += FromUtf8<Ch>("\r\n");
            col = 0;
        }
        out.append(text, i, word);
        col += word;
        i = end;
    }
    return out;
}

template <typename Ch>
DWORD FormatMessageT(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, Ch* lpBuffer, DWORD nSize,
                     va_list* pArgs)
{
    bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (!lpBuffer || (dwFlags & ~kKnownFlags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (allocate)
        *reinterpret_cast<Ch**>(lpBuffer) = nullptr;

    std::basic_string<Ch> source;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (!lpSource || (dwFlags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        auto* s = static_cast<const Ch*>(lpSource);
        source.assign(s);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* text = FindSystemMessage(dwMessageId);
        if (!text) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        source = FromUtf8<Ch>(text);
    } else if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE) {
        // Modules carry no message tables on this system.
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    unsigned width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    bool ignoreInserts = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    Arguments args(dwFlags, pArgs);
    std::basic_string<Ch> out;
    std::vector<bool> hard; // parallel to out: characters that no width rule touches
    auto emit = [&](const std::basic_string<Ch>& s, bool isHard) {
        out += s;
        hard.insert(hard.end(), s.size(), isHard);
    };
    auto emitChar = [&](Ch c, bool isHard) { emit(std::basic_string<Ch>(1, c), isHard); };

    size_t i = 0, n = source.size();
    while (i < n) {
        Ch c = source[i];
        if (c == Ch('\r') || c == Ch('\n')) {
            if (width == 0) {
                emitChar(c, true);
                ++i;
            } else {
                // A line break of the template (CR, LF or CR LF) becomes one space.
                i += (c == Ch('\r') && i + 1 < n && source[i + 1] == Ch('\n')) ? 2 : 1;
                emitChar(Ch(' '), false);
            }
            continue;
        }
        if (c != Ch('%') || i + 1 >= n) {
            emitChar(c, false);
            ++i;
            continue;
        }
        Ch e = source[i + 1];
        if (e == Ch('0'))
            break; // ends the message without a final line break
        if (e >= Ch('1') && e <= Ch('9')) {
            size_t start = i;
            int number = int(e - Ch('0'));
            i += 2;
            if (i < n && source[i] >= Ch('0') && source[i] <= Ch('9')) {
                number = number * 10 + int(source[i] - Ch('0'));
                ++i;
            }
            std::basic_string<Ch> spec;
            if (i < n && source[i] == Ch('!')) {
                size_t close = source.find(Ch('!'), i + 1);
                if (close == std::basic_string<Ch>::npos) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return 0;
                }
                spec = source.substr(i + 1, close - i - 1);
                i = close + 1;
            }
            if (ignoreInserts) {
                emit(source.substr(start, i - start), false);
                continue;
            }
            uintptr_t value = 0;
            if (number > kMaxInsert || !args.Get(number, value)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            if (spec.empty())
                spec.push_back(Ch('s'));
            std::basic_string<Ch> text;
            FormatOutput<Ch> output(text);
            InsertArgument argument(value);
            if (!FormatOne(output, spec.c_str(), argument)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            emit(text, true);
            continue;
        }
        i += 2;
        if (e == Ch('n'))
            emit(FromUtf8<Ch>("\r\n"), true);
        else if (e == Ch('r'))
            emitChar(Ch('\r'), true);
        else if (e == Ch('t'))
            emitChar(Ch('\t'), true);
        else
            emitChar(e, false); // %%, %., %!, "% " and any other character stand for themselves
    }

    std::basic_string<Ch> result = (width == 0 || width == FORMAT_MESSAGE_MAX_WIDTH_MASK)
                                       ? out
                                       : Wrap(out, hard, width);
    size_t needed = result.size() + 1;
    if (needed > 0x7FFFFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    Ch* dest = lpBuffer;
    if (allocate) {
        size_t count = needed > nSize ? needed : nSize;
        dest = static_cast<Ch*>(LocalAlloc(LMEM_FIXED, count * sizeof(Ch)));
        if (!dest) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<Ch**>(lpBuffer) = dest;
    } else if (needed > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dest, result.data(), result.size() * sizeof(Ch));
    dest[result.size()] = Ch(0);
    return DWORD(result.size());
}

} // namespace

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments)
{
    return GuardLastError(DWORD(0),
                          [&] { return FormatMessageT<char>(dwFlags, lpSource, dwMessageId, lpBuffer, nSize, Arguments); });
}

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPWSTR lpBuffer,
                            DWORD nSize, va_list* Arguments)
{
    return GuardLastError(DWORD(0),
                          [&] { return FormatMessageT<char16_t>(dwFlags, lpSource, dwMessageId, lpBuffer, nSize, Arguments); });
}
