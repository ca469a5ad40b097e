// BSTRs: a 32-bit byte length, then the text, then a NUL character. The
// pointer handed out is the text, so the length sits 4 bytes before it.
#include "fault.h"

#include <oleauto.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
constexpr size_t kMaxBytes = 0x7FFFFFF0u; // leaves room for the prefix and the NUL in 32 bits

uint32_t ByteLength(BSTR b)
{
    uint32_t len;
    std::memcpy(&len, reinterpret_cast<const char*>(b) - kPrefix, kPrefix);
    return len;
}

// A block for byteLen bytes of text, with its length set and its NUL written.
BSTR Allocate(size_t byteLen)
{
    if (byteLen > kMaxBytes || tonwell::platform::InjectFault(TONWELL_FAULT_BSTR))
        return nullptr;
    // Two NUL bytes always follow the text; an odd length gets one more so
    // that the last whole character is terminated too.
    size_t total = kPrefix + byteLen + sizeof(OLECHAR) + (byteLen & 1);
    auto* block = static_cast<char*>(std::malloc(total));
    if (!block)
        return nullptr;
    uint32_t len32 = uint32_t(byteLen);
    std::memcpy(block, &len32, kPrefix);
    std::memset(block + kPrefix + byteLen, 0, total - kPrefix - byteLen);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

// A string of byteLen bytes copied from source, or zeroed when source is null.
BSTR AllocateFrom(const void* source, size_t byteLen)
{
    BSTR b = Allocate(byteLen);
    if (!b)
        return nullptr;
    if (source)
        std::memcpy(b, source, byteLen);
    else
        std::memset(b, 0, byteLen);
    return b;
}

size_t Length(const OLECHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

} // namespace

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    return AllocateFrom(strIn, size_t(ui) * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    size_t n = Length(psz);
    if (n > kMaxBytes / sizeof(OLECHAR))
        return nullptr;
    return SysAllocStringLen(psz, UINT(n));
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    return AllocateFrom(psz, len);
}

INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len)
{
    if (!pbstr)
        return FALSE;
    // The new text may lie inside the old string: copy before freeing.
    BSTR b = SysAllocStringLen(psz, len);
    if (!b)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = b;
    return TRUE;
}

INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr)
        return FALSE;
    size_t n = psz ? Length(psz) : 0;
    if (n > kMaxBytes / sizeof(OLECHAR))
        return FALSE;
    return SysReAllocStringLen(pbstr, psz, UINT(n));
}

void WINAPI SysFreeString(BSTR bstrString)
{
    if (bstrString)
        std::free(reinterpret_cast<char*>(bstrString) - kPrefix);
}

UINT WINAPI SysStringLen(BSTR pbstr) { return pbstr ? ByteLength(pbstr) / sizeof(OLECHAR) : 0; }

UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr ? ByteLength(bstr) : 0; }
