// Temporary: stands in for platform functions that land on other branches.
#include <windows.h>

HRSRC WINAPI FindResourceW(HMODULE, LPCWSTR, LPCWSTR)
{
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
}
HGLOBAL WINAPI LoadResource(HMODULE, HRSRC)
{
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
}
LPVOID WINAPI LockResource(HGLOBAL h)
{
    return h;
}
DWORD WINAPI SizeofResource(HMODULE, HRSRC)
{
    return 0;
}
HRESULT WINAPI VarUI4FromStr(const OLECHAR* psz, LCID, ULONG, ULONG* pul)
{
    if (!psz || !pul)
        return E_INVALIDARG;
    while (*psz == u' ' || *psz == u'\t')
        ++psz;
    bool neg = false;
    if (*psz == u'+' || *psz == u'-')
        neg = *psz++ == u'-';
    if (*psz < u'0' || *psz > u'9')
        return DISP_E_TYPEMISMATCH;
    unsigned long long v = 0;
    while (*psz >= u'0' && *psz <= u'9') {
        v = v * 10 + (*psz++ - u'0');
        if (v > 0xFFFFFFFFull)
            return DISP_E_OVERFLOW;
    }
    while (*psz == u' ' || *psz == u'\t')
        ++psz;
    if (*psz)
        return DISP_E_TYPEMISMATCH;
    if (neg && v)
        return DISP_E_OVERFLOW;
    *pul = static_cast<ULONG>(v);
    return S_OK;
}
