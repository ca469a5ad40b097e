// The A forms' text arguments. The ANSI code page is UTF-8 here; an A form
// converts its text and calls its W form. Text that is not well-formed UTF-8
// is refused (ERROR_NO_UNICODE_TRANSLATION) rather than passed on mangled.
// Allocates: call inside the export's boundary guard (boundary.h).
#pragma once

#include <errhandlingapi.h>
#include <windef.h>
#include <winerror.h>

#include "boundary.h"
#include "text/utf.h"

#include <string>

namespace tonwell::platform::text {

class WideArgument {
public:
    // False when `s` is not well-formed UTF-8. A null `s` is kept as null.
    bool Set(LPCSTR s)
    {
        m_present = s != nullptr;
        return !s || Utf8ToUtf16(s, m_text, Invalid::Refuse);
    }
    // As Set, with ERROR_NO_UNICODE_TRANSLATION as the last error on failure.
    bool SetOrFail(LPCSTR s)
    {
        if (Set(s))
            return true;
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    LPCWSTR Get() const { return m_present ? m_text.c_str() : nullptr; }
    const std::u16string& Text() const { return m_text; }

private:
    std::u16string m_text;
    bool m_present = false;
};

// The whole of an A form with one text argument, for functions that report
// failure through GetLastError: converts `s` and calls its W form, inside the
// boundary guard. `failure` when `s` does not convert or memory runs out.
template <class R, class CallW>
R CallWide(R failure, LPCSTR s, CallW&& callW) noexcept
{
    return GuardLastError(failure, [&]() -> R {
        WideArgument wide;
        if (!wide.SetOrFail(s))
            return failure;
        return callW(wide.Get());
    });
}

} // namespace tonwell::platform::text
