#include "common/ErrorText.h"

#include <cstdio>

namespace tonwell::tools {

std::string HResultCode(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string SystemMessage(DWORD dwCode)
{
    char text[512] = {};
    const DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode, 0,
                                     text, sizeof text, nullptr);
    std::string message(text, cch < sizeof text ? cch : 0);
    // Every system message ends in a line break; a sentence's full stop goes too,
    // since the text is shown inside a longer line.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.'))
        message.pop_back();
    return message;
}

std::string HResultText(HRESULT hr)
{
    const std::string message = SystemMessage(static_cast<DWORD>(hr));
    return message.empty() ? HResultCode(hr) : HResultCode(hr) + " (" + message + ")";
}

} // namespace tonwell::tools
