// The platform's one printf-style formatter, for 8-bit (UTF-8) and UTF-16
// formats alike. It serves the StringCch*Printf* exports (and through them the
// trace lines) and the inserts of FormatMessageA/W.
//
// It follows the platform runtime's conventions: "l" means 32 bits, "ll" and
// "I64" 64, "z" and "I" the pointer's width; "%hs"/"%ls" (and "%hc"/"%lc")
// name the string width, "%s" is the format's own width and "%S" the other;
// "%p" prints every digit of a pointer in upper case without prefix; "%n" is
// never honoured. Strings of the other width are converted through the one
// codec (ill-formed text becomes U+FFFD). Width and precision count output
// units; a precision never splits a character.
//
// Thread-safe; Format may throw std::bad_alloc only when appending to a string.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tonwell::platform::text {

// Where the formatter takes its arguments from. Each call fetches the next
// argument; false when there is none of that kind.
class FormatArguments {
public:
    virtual bool Int(int& value) = 0;             // int and narrower, promoted
    virtual bool Int64(long long& value) = 0;     // ll, I64, z, I
    virtual bool Double(double& value, bool longDouble) = 0;
    virtual bool Pointer(const void*& value) = 0; // %p, %s, %n

protected:
    ~FormatArguments() = default;
};

// Arguments from a va_list, in order. The va_list is advanced.
class VaListArguments final : public FormatArguments {
public:
    explicit VaListArguments(va_list& args) : m_args(args) {}
    bool Int(int& value) override;
    bool Int64(long long& value) override;
    bool Double(double& value, bool longDouble) override;
    bool Pointer(const void*& value) override;

private:
    va_list& m_args;
};

// Where the output goes: a caller's buffer of `capacity` units (room for the
// terminator included), or the end of a string. Output past the capacity is
// dropped and noted; an incomplete character at the cut is removed.
template <class C>
class FormatOutput {
public:
    FormatOutput(C* buffer, size_t capacity)
        : m_buffer(buffer), m_capacity(capacity), m_max(capacity ? capacity - 1 : 0)
    {
    }
    explicit FormatOutput(std::basic_string<C>& string) : m_string(&string), m_max(SIZE_MAX) {}

    void Put(C c);
    void Repeat(C c, size_t count);
    bool Cut() const { return m_cut; }
    size_t Size() const { return m_size; }
    // Terminates a buffer (when it has room) and returns the units written.
    size_t Finish();

private:
    C* m_buffer = nullptr;
    std::basic_string<C>* m_string = nullptr;
    size_t m_capacity = 0;
    size_t m_max;
    size_t m_size = 0;
    bool m_cut = false;
};

enum class FormatMode {
    Lenient, // a conversion not understood is written as it stands (printf's habit)
    Strict,  // a conversion not understood, or an argument missing, fails the whole format
};

// Formats `format` (NUL-terminated; null formats nothing) into `out`. False
// only in Strict mode, for a conversion not understood or a missing argument.
template <class C>
bool Format(FormatOutput<C>& out, const C* format, FormatArguments& args, FormatMode mode);

// Formats one conversion: `spec` is what follows the '%' ("08lX", "-20hs")
// and must be exactly one conversion. Strict; false when it is not, or when
// its argument is missing.
template <class C>
bool FormatOne(FormatOutput<C>& out, const C* spec, FormatArguments& args);

} // namespace tonwell::platform::text
