// The trace formatter over format strings a caller passes (both widths). Every
// conversion is given a valid argument: at most six '%' and '*' in all, each argument
// a pointer to a zeroed buffer (a string of either width, a pointer, an integer) and
// eight doubles for the floating conversions (no "L"). Output must stay inside the buffer and
// be terminated.
#include "fuzz_target.h"
#include "TraceFormat.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

// "L" asks for a long double, passed in memory rather than where the doubles are; no
// argument list here can serve it, so formats that use it are left out.
template <typename Char> bool FewArguments(const std::basic_string<Char>& format)
{
    if (format.find(Char('L')) != std::basic_string<Char>::npos)
        return false;
    return std::count(format.begin(), format.end(), Char('%')) + std::count(format.begin(), format.end(), Char('*')) <=
           6;
}

} // namespace

TONWELL_FUZZ_TARGET(trace_format)
{
    if (size == 0)
        return 0;
    const size_t cch = 1 + data[0] % 64; // small buffers find cutting faults
    ++data;
    --size;
    static char16_t arg[64];
    std::fill(std::begin(arg), std::end(arg), u'\0');
    void* p = arg;

    std::string narrow(reinterpret_cast<const char*>(data), size);
    narrow = narrow.substr(0, narrow.find('\0'));
    if (FewArguments(narrow)) {
        char out[65];
        std::fill(std::begin(out), std::end(out), '\x7f');
        const size_t n = tonwell::trace::FormatTextA(out, cch, narrow.c_str(), p, p, p, p, p, p, 1.5, 2.5, 3.5, 4.5,
                                                      5.5, 6.5, 7.5, 8.5);
        if (n >= cch || out[n] != '\0' || out[cch] != '\x7f')
            std::abort();
    }

    std::u16string wide(size / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = char16_t(data[2 * i] | (data[2 * i + 1] << 8));
    wide = wide.substr(0, wide.find(u'\0'));
    if (FewArguments(wide)) {
        char16_t out[65];
        std::fill(std::begin(out), std::end(out), u'\x7f');
        const size_t n = tonwell::trace::FormatTextW(out, cch, wide.c_str(), p, p, p, p, p, p, 1.5, 2.5, 3.5, 4.5,
                                                      5.5, 6.5, 7.5, 8.5);
        if (n >= cch || out[n] != u'\0' || out[cch] != u'\x7f')
            std::abort();
    }
    return 0;
}
