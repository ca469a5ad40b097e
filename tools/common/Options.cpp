#include "common/Options.h"

#include <sched.h>
#include <thread>

namespace tonwell::tools {

bool ParseDword(const std::string& text, DWORD* pValue)
{
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return false;
    ULONGLONG value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull)
            return false;
    }
    *pValue = DWORD(value);
    return true;
}

bool ParseDecimalInRange(const std::string& text, DWORD min, DWORD max, DWORD* pValue)
{
    if (text.empty() || text.size() > 10)
        return false;
    ULONGLONG value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + ULONGLONG(c - '0');
    }
    if (value < min || value > max)
        return false;
    *pValue = DWORD(value);
    return true;
}

bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* name, std::string* pValue,
                std::string* pError)
{
    const std::string& arg = args[i];
    const std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) == 0) {
        *pValue = arg.substr(prefix.size());
        return true;
    }
    if (arg != name)
        return false;
    if (i + 1 >= args.size()) {
        *pError = std::string("option ") + name + " needs a value";
        return true;
    }
    *pValue = args[++i];
    return true;
}

DWORD AvailableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0)
            return DWORD(count);
    }
    const unsigned count = std::thread::hardware_concurrency();
    return count ? count : 1;
}

} // namespace tonwell::tools
