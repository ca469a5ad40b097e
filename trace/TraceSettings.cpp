// Trace settings: the trace key holds the defaults for every module, the module's own subkey its
// values; whatever is missing is written back with the value in force.
#include "TraceState.h"

#include <cstring>
#include <thread>

constinit TraceSettings g_TraceSettings;

namespace tonwell::trace {
namespace {

// Even while no publisher is at work; odd while one is storing.
std::atomic<ULONG> s_ulSettingsSequence{0};

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

TraceOwner FindOwner(HMODULE hModule)
{
    TraceOwner owner{};
    owner.hModule = hModule ? hModule : FindModuleByAddress();
    if (!owner.hModule)
        owner.hModule = GetModuleHandleA(nullptr);

    CHAR szPath[MAX_PATH + 1] = {};
    DWORD cch = GetModuleFileNameA(owner.hModule, szPath, MAX_PATH);
    szPath[cch < MAX_PATH ? cch : MAX_PATH] = 0;
    LPCSTR pszName = FileNamePart(szPath);
    if (!pszName)
        pszName = szPath;
    CopyText(owner.szModuleFileName, pszName, MAX_PATH + 1);
    return owner;
}

// While the client is published, readers may be passing the owner's name to the library: the new
// owner goes into the other slot, and the old one is left alone until its readers are gone.
void SettleOwner(const TraceOwner& owner)
{
    LONG lCurrent = g_TraceClient.lOwner.load();
    if (g_TraceClient.lInitialised.load() != 1) {
        g_TraceClient.Owners[lCurrent] = owner;
        return;
    }
    g_TraceClient.Owners[1 - lCurrent] = owner;
    g_TraceClient.lOwner.store(1 - lCurrent);
    g_TraceGate.Synchronize();
}

// Whether the key's list names this process's image. A list that is there but cannot be read for
// want of memory leaves the decision as it was (bPrevious), as an unreadable key does.
BOOL IsProcessSuppressed(HKEY hKey, BOOL bPrevious)
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
    if (RegQueryValueExW(hKey, kSuppressProcessOutputValueW, nullptr, &dwType, nullptr, &cbList) != ERROR_SUCCESS ||
        dwType != REG_MULTI_SZ || cbList == 0)
        return FALSE;
    // Two spare bytes (plus one for an odd size) guarantee the list ends in an empty string.
    DWORD cbBuffer = cbList + 4;
    auto* pszList = static_cast<LPWSTR>(TraceAlloc(cbBuffer));
    if (!pszList)
        return bPrevious;
    BOOL bSuppressed = FALSE;
    DWORD cbRead = cbList;
    if (RegQueryValueExW(hKey, kSuppressProcessOutputValueW, nullptr, &dwType, reinterpret_cast<LPBYTE>(pszList),
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

// Each setting a module's subkey holds, with the default in the key that it starts from; in the
// order they are read.
struct SettingValues {
    LPCWSTR pszDefaultName;
    DWORD TraceSettingsValues::*pDefault;
    LPCWSTR pszName;
    DWORD TraceSettingsValues::*pEffective;
};

const SettingValues s_Settings[] = {
    {kDefaultTraceFlagsValueW, &TraceSettingsValues::DefaultTraceFlags, kTraceFlagsValueW,
     &TraceSettingsValues::TraceFlags},
    {kDefaultTraceMaskValueW, &TraceSettingsValues::DefaultTraceMask, kTraceMaskValueW,
     &TraceSettingsValues::TraceMask},
    {kDefaultTraceLevelValueW, &TraceSettingsValues::DefaultTraceLevel, kTraceLevelValueW,
     &TraceSettingsValues::TraceLevel},
    {kDefaultMaxTraceArraySizeValueW, &TraceSettingsValues::DefaultMaxTraceArraySize, kMaxTraceArraySizeValueW,
     &TraceSettingsValues::MaxTraceArraySize},
    {kDefaultEnableObjectTrackingValueW, &TraceSettingsValues::DefaultEnableObjectTracking,
     kEnableObjectTrackingValueW, &TraceSettingsValues::EnableObjectTracking},
    // The same name in the key (the default) and the subkey.
    {kHeapOptionsValueW, &TraceSettingsValues::DefaultHeapOptions, kHeapOptionsValueW,
     &TraceSettingsValues::HeapOptions},
};

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

TraceSettingsValues ReadTraceSettings()
{
    const TraceSettings& s = g_TraceSettings;
    for (;;) {
        ULONG ulBefore = s_ulSettingsSequence.load();
        if (ulBefore & 1) {
            std::this_thread::yield();
            continue;
        }
        TraceSettingsValues v{s.TraceFlags,
                              s.TraceMask,
                              s.TraceLevel,
                              s.MaxTraceArraySize,
                              s.MaxFileSize,
                              s.EnableObjectTracking,
                              s.HeapOptions,
                              s.SuppressProcessOutput,
                              s.DefaultTraceFlags,
                              s.DefaultTraceMask,
                              s.DefaultTraceLevel,
                              s.DefaultMaxTraceArraySize,
                              s.DefaultEnableObjectTracking,
                              s.DefaultHeapOptions};
        if (s_ulSettingsSequence.load() == ulBefore)
            return v;
    }
}

void PublishTraceSettings(const TraceSettingsValues& v)
{
    ULONG ulSequence = s_ulSettingsSequence.load();
    while ((ulSequence & 1) || !s_ulSettingsSequence.compare_exchange_weak(ulSequence, ulSequence + 1)) {
        std::this_thread::yield();
        ulSequence = s_ulSettingsSequence.load();
    }
    TraceSettings& s = g_TraceSettings;
    s.TraceFlags = v.TraceFlags;
    s.TraceMask = v.TraceMask;
    s.TraceLevel = v.TraceLevel;
    s.MaxTraceArraySize = v.MaxTraceArraySize;
    s.MaxFileSize = v.MaxFileSize;
    s.EnableObjectTracking = v.EnableObjectTracking;
    s.HeapOptions = v.HeapOptions;
    s.SuppressProcessOutput = v.SuppressProcessOutput;
    s.DefaultTraceFlags = v.DefaultTraceFlags;
    s.DefaultTraceMask = v.DefaultTraceMask;
    s.DefaultTraceLevel = v.DefaultTraceLevel;
    s.DefaultMaxTraceArraySize = v.DefaultMaxTraceArraySize;
    s.DefaultEnableObjectTracking = v.DefaultEnableObjectTracking;
    s.DefaultHeapOptions = v.DefaultHeapOptions;
    s_ulSettingsSequence.store(ulSequence + 2);
}

// Reads into a private copy and publishes it once, so no thread ever filters by a half-loaded set
// (the effective fields briefly holding the defaults, say).
HRESULT LoadTraceSettingsLocked(HMODULE hModule)
{
    TraceSettingsValues s = ReadTraceSettings();

    TraceOwner owner = FindOwner(hModule);
    SettleOwner(owner);

    HRESULT hr = S_OK;
    HKEY hKey = nullptr;
    HKEY hSubKey = nullptr;
    PSECURITY_DESCRIPTOR pSecurity = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kTraceKeySecurity, SDDL_REVISION_1, &pSecurity,
                                                              nullptr)) {
        DWORD dwError = GetLastError();
        if (dwError != 0) {
            // Nothing is read or written; as with keys that cannot be opened, the effective
            // fields take the defaults in memory.
            for (const SettingValues& v : s_Settings)
                s.*v.pEffective = s.*v.pDefault;
            PublishTraceSettings(s);
            return HRESULT_FROM_WIN32(dwError);
        }
        pSecurity = nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, pSecurity, FALSE};
    if (CreateOrOpenKey(HKEY_LOCAL_MACHINE, kTraceKey, &sa, &hKey) != ERROR_SUCCESS ||
        CreateOrOpenKey(hKey, owner.szModuleFileName, &sa, &hSubKey) != ERROR_SUCCESS)
        hr = E_FAIL;
    if (pSecurity)
        LocalFree(pSecurity);

    const bool bOpen = hKey && hSubKey;
    if (bOpen) {
        s.SuppressProcessOutput = IsProcessSuppressed(hKey, s.SuppressProcessOutput);
        ReadDword(hKey, kMaxFileSizeValueW, &s.MaxFileSize);
        for (const SettingValues& v : s_Settings)
            ReadDword(hKey, v.pszDefaultName, &(s.*v.pDefault));
    }
    for (const SettingValues& v : s_Settings)
        s.*v.pEffective = s.*v.pDefault;
    if (bOpen) {
        for (const SettingValues& v : s_Settings)
            ReadDword(hSubKey, v.pszName, &(s.*v.pEffective));
    }
    if (hSubKey)
        RegCloseKey(hSubKey);
    if (hKey)
        RegCloseKey(hKey);
    PublishTraceSettings(s);
    return hr;
}

} // namespace tonwell::trace

HRESULT LoadTraceSettings(HMODULE hModule)
{
    std::lock_guard<std::mutex> lock(tonwell::trace::g_TraceControl);
    return tonwell::trace::LoadTraceSettingsLocked(hModule);
}
