// Trace settings: the trace key holds the defaults for every module, the module's own subkey its
// values; whatever is missing is written back with the value in force.
#include "TraceState.h"

#include <cstring>

TraceSettings g_TraceSettings;

namespace tonwell::trace {
namespace {

const char s_szTraceKey[] = "SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace";
const char s_szTraceKeySecurity[] = "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GR;;;AU)";

// A constant that lives inside this module, so its address names the module.
const char s_szInitTraceMarker[] = "WiaTrace_Init_Trace";

LPCSTR s_pszMainModulePathOverride = nullptr;

void CopyText(LPSTR pszTarget, LPCSTR pszSource, size_t cchTarget)
{
    size_t cch = std::strlen(pszSource);
    if (cch >= cchTarget)
        cch = cchTarget - 1;
    std::memcpy(pszTarget, pszSource, cch);
    pszTarget[cch] = 0;
}

size_t TextLength(LPCWSTR psz)
{
    size_t cch = 0;
    while (psz[cch])
        ++cch;
    return cch;
}

typedef BOOL(WINAPI* PFN_GetModuleHandleExA)(DWORD dwFlags, LPCSTR pszModuleName, HMODULE* phModule);

// The file name after the last separator. Paths here may use '/' as well as '\'.
LPCSTR FileNamePart(LPCSTR pszPath)
{
    LPCSTR pszName = nullptr;
    for (LPCSTR p = pszPath; *p; p = CharNextA(p)) {
        if (*p == '\\' || *p == '/')
            pszName = p + 1;
    }
    return pszName;
}

HMODULE FindModuleByAddress()
{
    CHAR szKernel[MAX_PATH + 1] = {};
    static const char szName[] = "\\kernel32.dll";
    UINT cch = GetSystemDirectoryA(szKernel, MAX_PATH);
    if (cch == 0 || cch + sizeof szName > sizeof szKernel)
        return nullptr;
    std::memcpy(szKernel + cch, szName, sizeof szName);
    HMODULE hKernel = LoadLibraryA(szKernel);
    if (!hKernel)
        return nullptr;
    HMODULE hOwner = nullptr;
    auto pfn = reinterpret_cast<PFN_GetModuleHandleExA>(
        reinterpret_cast<void (*)()>(GetProcAddress(hKernel, "GetModuleHandleExA")));
    // Flag 4 looks the module up by an address inside it; the reference it takes is never released,
    // which keeps this module loaded for the rest of the process.
    if (pfn && !pfn(4, s_szInitTraceMarker, &hOwner))
        hOwner = nullptr;
    FreeLibrary(hKernel);
    return hOwner;
}

void SettleOwningModule(HMODULE hModule)
{
    HMODULE hOwner = hModule ? hModule : FindModuleByAddress();
    if (!hOwner)
        hOwner = GetModuleHandleA(nullptr);
    g_TraceClient.hModule = hOwner;

    CHAR szPath[MAX_PATH + 1] = {};
    DWORD cch = GetModuleFileNameA(hOwner, szPath, MAX_PATH);
    szPath[cch < MAX_PATH ? cch : MAX_PATH] = 0;
    LPCSTR pszName = FileNamePart(szPath);
    if (!pszName)
        pszName = szPath;
    CopyText(g_TraceClient.szModuleFileName, pszName, MAX_PATH + 1);
}

BOOL IsProcessSuppressed(HKEY hKey)
{
    CHAR szImage[MAX_PATH] = {};
    if (s_pszMainModulePathOverride) {
        CopyText(szImage, s_pszMainModulePathOverride, MAX_PATH);
    } else {
        DWORD cch = GetModuleFileNameA(nullptr, szImage, MAX_PATH);
        szImage[cch < MAX_PATH ? cch : MAX_PATH - 1] = 0;
    }
    LPSTR pszImage = const_cast<LPSTR>(FileNamePart(szImage));
    if (!pszImage || !*pszImage)
        return FALSE;
    CharUpperA(pszImage);

    DWORD dwType = 0;
    DWORD cbList = 0;
    if (RegQueryValueExW(hKey, u"SuppressProcessOutput", nullptr, &dwType, nullptr, &cbList) != ERROR_SUCCESS ||
        dwType != REG_MULTI_SZ || cbList == 0)
        return FALSE;
    // Two spare bytes (plus one for an odd size) guarantee the list ends in an empty string.
    DWORD cbBuffer = cbList + 4;
    auto* pszList = static_cast<LPWSTR>(TraceAlloc(cbBuffer));
    if (!pszList)
        return FALSE;
    BOOL bSuppressed = FALSE;
    DWORD cbRead = cbList;
    if (RegQueryValueExW(hKey, u"SuppressProcessOutput", nullptr, &dwType, reinterpret_cast<LPBYTE>(pszList),
                         &cbRead) == ERROR_SUCCESS) {
        CHAR szEntry[4 * MAX_PATH];
        for (LPCWSTR p = pszList; *p; p += TextLength(p) + 1) {
            int cb = WideCharToMultiByte(CP_UTF8, 0, p, -1, szEntry, sizeof szEntry, nullptr, nullptr);
            if (cb <= 0)
                continue;
            CharUpperA(szEntry);
            if (std::strcmp(szEntry, pszImage) == 0) {
                bSuppressed = TRUE;
                break;
            }
        }
    }
    TraceFree(pszList);
    return bSuppressed;
}

// The field takes what is stored (any type of at most four bytes); otherwise the value in force is
// written back, which a read-only key refuses without harm.
void ReadDword(HKEY hKey, LPCWSTR pszName, DWORD* pdwField)
{
    DWORD dwValue = 0;
    DWORD cb = sizeof dwValue;
    if (RegQueryValueExW(hKey, pszName, nullptr, nullptr, reinterpret_cast<LPBYTE>(&dwValue), &cb) ==
        ERROR_SUCCESS) {
        *pdwField = dwValue;
        return;
    }
    RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(pdwField), sizeof(DWORD));
}

LONG CreateOrOpenKey(HKEY hParent, LPCSTR pszName, SECURITY_ATTRIBUTES* pSecurity, HKEY* phKey)
{
    DWORD dwDisposition = 0;
    LONG lResult = RegCreateKeyExA(hParent, pszName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                   pSecurity, phKey, &dwDisposition);
    if (lResult != ERROR_SUCCESS)
        lResult = RegOpenKeyExA(hParent, pszName, 0, KEY_READ, phKey);
    if (lResult != ERROR_SUCCESS)
        *phKey = nullptr;
    return lResult;
}

} // namespace

void SetMainModulePathOverride(LPCSTR pszPath) { s_pszMainModulePathOverride = pszPath; }

} // namespace tonwell::trace

HRESULT LoadTraceSettings(HMODULE hModule)
{
    using namespace tonwell::trace;
    TraceSettings& s = g_TraceSettings;

    SettleOwningModule(hModule);

    HRESULT hr = S_OK;
    HKEY hKey = nullptr;
    HKEY hSubKey = nullptr;
    PSECURITY_DESCRIPTOR pSecurity = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(s_szTraceKeySecurity, SDDL_REVISION_1, &pSecurity,
                                                              nullptr)) {
        DWORD dwError = GetLastError();
        if (dwError != 0)
            return HRESULT_FROM_WIN32(dwError);
        pSecurity = nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSecurity, FALSE};
    if (CreateOrOpenKey(HKEY_LOCAL_MACHINE, s_szTraceKey, &sa, &hKey) != ERROR_SUCCESS ||
        CreateOrOpenKey(hKey, g_TraceClient.szModuleFileName, &sa, &hSubKey) != ERROR_SUCCESS)
        hr = E_FAIL;
    if (pSecurity)
        LocalFree(pSecurity);

    const bool bOpen = hKey && hSubKey;
    if (bOpen) {
        s.SuppressProcessOutput = IsProcessSuppressed(hKey);
        ReadDword(hKey, u"MaxFileSize", &s.MaxFileSize);
        ReadDword(hKey, u"DefaultTraceFlags", &s.DefaultTraceFlags);
        ReadDword(hKey, u"DefaultTraceMask", &s.DefaultTraceMask);
        ReadDword(hKey, u"DefaultTraceLevel", &s.DefaultTraceLevel);
        ReadDword(hKey, u"DefaultMaxTraceArraySize", &s.DefaultMaxTraceArraySize);
        ReadDword(hKey, u"DefaultEnableObjectTracking", &s.DefaultEnableObjectTracking);
        ReadDword(hKey, u"HeapOptions", &s.DefaultHeapOptions);
    }
    s.TraceFlags = s.DefaultTraceFlags;
    s.TraceMask = s.DefaultTraceMask;
    s.TraceLevel = s.DefaultTraceLevel;
    s.MaxTraceArraySize = s.DefaultMaxTraceArraySize;
    s.EnableObjectTracking = s.DefaultEnableObjectTracking;
    s.HeapOptions = s.DefaultHeapOptions;
    if (bOpen) {
        ReadDword(hSubKey, u"TraceFlags", &s.TraceFlags);
        ReadDword(hSubKey, u"TraceMask", &s.TraceMask);
        ReadDword(hSubKey, u"TraceLevel", &s.TraceLevel);
        ReadDword(hSubKey, u"MaxTraceArraySize", &s.MaxTraceArraySize);
        ReadDword(hSubKey, u"EnableObjectTracking", &s.EnableObjectTracking);
        ReadDword(hSubKey, u"HeapOptions", &s.HeapOptions);
    }
    if (hSubKey)
        RegCloseKey(hSubKey);
    if (hKey)
        RegCloseKey(hKey);
    return hr;
}
