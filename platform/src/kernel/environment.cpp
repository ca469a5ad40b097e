// The process environment seen through the platform's rules: names compare
// without regard to case, and %SystemRoot% / %windir% always name the machine
// root's system folder, which defines the system here.
#include "boundary.h"
#include "machine_root.h"
#include "text/ansi.h"
#include "text/utf.h"

#include <winbase.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

extern char** environ;

namespace {

std::mutex g_environmentLock;

namespace text = tonwell::platform::text;

// The spelling under which `name` is set: the exact one if present, else the
// first that differs only in case. Caller holds the lock.
std::optional<std::string> FindSetName(const std::string& name)
{
    if (getenv(name.c_str()))
        return name;
    std::u16string wanted = text::Utf8ToUtf16(name);
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* eq = std::strchr(*entry, '=');
        if (!eq)
            continue;
        std::string candidate(*entry, static_cast<size_t>(eq - *entry));
        if (text::EqualNoCase(text::Utf8ToUtf16(candidate), wanted))
            return candidate;
    }
    return std::nullopt;
}

std::optional<std::u16string> Lookup(std::u16string_view name)
{
    if (text::EqualNoCase(name, u"SystemRoot") || text::EqualNoCase(name, u"windir"))
        return text::Utf8ToUtf16(tonwell::platform::SystemFolder().string());
    std::string utf8;
    if (!text::Utf16ToUtf8(name, utf8, text::Invalid::Refuse) || utf8.find('=') != std::string::npos)
        return std::nullopt;
    std::lock_guard lock(g_environmentLock);
    std::optional<std::string> setName = FindSetName(utf8);
    if (!setName)
        return std::nullopt;
    return text::Utf8ToUtf16(getenv(setName->c_str()));
}

// A name runs from one '%' to the next. When it is not set, its opening '%'
// and the name stay as written and the closing '%' may open the next name.
std::u16string Expand(std::u16string_view source)
{
    std::u16string out;
    size_t i = 0;
    while (i < source.size()) {
        if (source[i] != u'%') {
            out += source[i++];
            continue;
        }
        size_t close = source.find(u'%', i + 1);
        if (close == std::u16string_view::npos) {
            out.append(source.substr(i));
            break;
        }
        std::u16string_view name = source.substr(i + 1, close - i - 1);
        std::optional<std::u16string> value;
        if (!name.empty())
            value = Lookup(name);
        if (value) {
            out += *value;
            i = close + 1;
        } else {
            out.append(source.substr(i, close - i));
            i = close;
        }
    }
    return out;
}

bool SetVariable(const std::string& name, const std::string* value)
{
    if (name.empty() || name.find('=') != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard lock(g_environmentLock);
    std::optional<std::string> setName = FindSetName(name);
    if (!value) {
        if (setName)
            unsetenv(setName->c_str());
        return true;
    }
    if (setenv(setName ? setName->c_str() : name.c_str(), value->c_str(), 1) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

} // namespace

using tonwell::platform::GuardLastError;

namespace {

// The A forms' buffer convention over a W form's result: the length without
// the terminator when it fits, else the size needed with it.
DWORD PutNarrow(const std::u16string& wide, LPSTR buffer, DWORD size)
{
    std::string narrow = text::Utf16ToUtf8(wide);
    if (buffer && size > narrow.size()) {
        std::memcpy(buffer, narrow.c_str(), narrow.size() + 1);
        return static_cast<DWORD>(narrow.size());
    }
    return static_cast<DWORD>(narrow.size() + 1);
}

} // namespace

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&]() -> DWORD {
        if (!lpSrc) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::u16string result = Expand(lpSrc);
        size_t needed = result.size() + 1;
        if (needed > 0xFFFFFFFFu) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (lpDst && nSize >= needed)
            std::memcpy(lpDst, result.c_str(), needed * sizeof(WCHAR));
        return static_cast<DWORD>(needed);
    });
}

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&]() -> DWORD {
        if (!lpSrc) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text::WideArgument source;
        if (!source.SetOrFail(lpSrc))
            return 0;
        std::u16string result;
        // The environment may change between the calls; ask again until the result fits.
        for (DWORD n = ExpandEnvironmentStringsW(source.Get(), nullptr, 0); n;) {
            result.assign(n, u'\0');
            DWORD got = ExpandEnvironmentStringsW(source.Get(), result.data(), n);
            if (got <= n) {
                result.resize(got ? got - 1 : 0);
                std::string narrow = text::Utf16ToUtf8(result);
                if (lpDst && nSize > narrow.size())
                    std::memcpy(lpDst, narrow.c_str(), narrow.size() + 1);
                return static_cast<DWORD>(narrow.size() + 1);
            }
            n = got;
        }
        return 0;
    });
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&]() -> DWORD {
        if (!lpName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::optional<std::u16string> value = Lookup(lpName);
        if (!value) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        if (lpBuffer && nSize > value->size()) {
            std::memcpy(lpBuffer, value->c_str(), (value->size() + 1) * sizeof(WCHAR));
            if (value->empty())
                SetLastError(ERROR_SUCCESS);
            return static_cast<DWORD>(value->size());
        }
        return static_cast<DWORD>(value->size() + 1);
    });
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    return GuardLastError(DWORD(0), [&]() -> DWORD {
        if (!lpName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text::WideArgument name;
        if (!name.SetOrFail(lpName))
            return 0;
        std::u16string value;
        for (DWORD n = 1;;) {
            value.assign(n, u'\0');
            DWORD got = GetEnvironmentVariableW(name.Get(), value.data(), n);
            if (got == 0 && GetLastError() != ERROR_SUCCESS)
                return 0;
            if (got < n) {
                value.resize(got);
                DWORD result = PutNarrow(value, lpBuffer, nSize);
                if (value.empty() && lpBuffer && nSize)
                    SetLastError(ERROR_SUCCESS);
                return result;
            }
            n = got; // the size needed, terminator included
        }
    });
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        std::string name, value;
        if (!lpName || !text::Utf16ToUtf8(lpName, name, text::Invalid::Refuse) ||
            (lpValue && !text::Utf16ToUtf8(lpValue, value, text::Invalid::Refuse))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return SetVariable(name, lpValue ? &value : nullptr) ? TRUE : FALSE;
    });
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue)
{
    return GuardLastError(BOOL(FALSE), [&]() -> BOOL {
        if (!lpName) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        text::WideArgument name, value;
        if (!name.SetOrFail(lpName) || !value.SetOrFail(lpValue))
            return FALSE;
        return SetEnvironmentVariableW(name.Get(), value.Get());
    });
}
