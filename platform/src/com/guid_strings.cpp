// The registry form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <combaseapi.h>

namespace {

constexpr int kGuidChars = 38; // without the terminator

void Format(const GUID& g, OLECHAR* out)
{
    static const char kHex[] = "0123456789ABCDEF";
    int pos = 0;
    auto put = [&](uint64_t value, int digits) {
        for (int d = digits - 1; d >= 0; --d)
            out[pos++] = OLECHAR(kHex[(value >> (4 * d)) & 0xF]);
    };
    out[pos++] = u'{';
    put(g.Data1, 8);
    out[pos++] = u'-';
    put(g.Data2, 4);
    out[pos++] = u'-';
    put(g.Data3, 4);
    out[pos++] = u'-';
    put(g.Data4[0], 2);
    put(g.Data4[1], 2);
    out[pos++] = u'-';
    for (int i = 2; i < 8; ++i)
        put(g.Data4[i], 2);
    out[pos++] = u'}';
    out[pos] = 0;
}

int HexValue(OLECHAR c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// Parses exactly the 38-character braced form, digits in either case.
bool Parse(LPCOLESTR s, GUID& g)
{
    for (int i = 0; i < kGuidChars; ++i)
        if (!s[i])
            return false;
    if (s[kGuidChars] != 0 || s[0] != u'{' || s[kGuidChars - 1] != u'}')
        return false;
    int pos = 1;
    bool ok = true;
    auto take = [&](int digits) {
        uint64_t v = 0;
        for (int d = 0; d < digits; ++d) {
            int h = HexValue(s[pos++]);
            if (h < 0)
                ok = false;
            v = (v << 4) | uint64_t(h < 0 ? 0 : h);
        }
        return v;
    };
    auto dash = [&] {
        if (s[pos++] != u'-')
            ok = false;
    };
    GUID r{};
    r.Data1 = uint32_t(take(8));
    dash();
    r.Data2 = uint16_t(take(4));
    dash();
    r.Data3 = uint16_t(take(4));
    dash();
    r.Data4[0] = uint8_t(take(2));
    r.Data4[1] = uint8_t(take(2));
    dash();
    for (int i = 2; i < 8; ++i)
        r.Data4[i] = uint8_t(take(2));
    if (!ok)
        return false;
    g = r;
    return true;
}

// An absent or empty string is GUID_NULL; one not in the braced form is
// `malformed`, each caller's own error.
HRESULT FromString(LPCOLESTR lpsz, GUID* out, HRESULT malformed)
{
    if (!out)
        return E_INVALIDARG;
    *out = GUID_NULL;
    if (!lpsz || !*lpsz)
        return S_OK;
    return Parse(lpsz, *out) ? S_OK : malformed;
}

HRESULT ToTaskString(const GUID& g, LPOLESTR* lplpsz)
{
    if (!lplpsz)
        return E_INVALIDARG;
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidChars + 1) * sizeof(OLECHAR)));
    if (!*lplpsz)
        return E_OUTOFMEMORY;
    Format(g, *lplpsz);
    return S_OK;
}

} // namespace

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    if (!lpsz || cchMax < kGuidChars + 1)
        return 0;
    Format(rguid, lpsz);
    return kGuidChars + 1;
}

HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) { return ToTaskString(rclsid, lplpsz); }

HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return ToTaskString(rclsid, lplpsz); }

// Only the braced form: program identifiers are not looked up here.
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) { return FromString(lpsz, pclsid, CO_E_CLASSSTRING); }

HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) { return FromString(lpsz, lpiid, E_INVALIDARG); }
