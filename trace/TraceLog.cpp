// The shared trace log and the global mutex that serialises its writers across processes. The
// client only opens and closes them; the trace library writes.
#include "TraceState.h"

namespace tonwell::trace {
namespace {

const char s_szLogSecurity[] =
    "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGWGXDTSDCCLC;;;LS)(A;OICI;GRGWGXDTSDCCLC;;;AU)";
const char s_szMutexSecurity[] = "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GA;;;AU)";

bool Expand(LPCWSTR pszTemplate, WCHAR (&szPath)[MAX_PATH])
{
    DWORD cch = ExpandEnvironmentStringsW(pszTemplate, szPath, MAX_PATH);
    return cch != 0 && cch <= MAX_PATH;
}

// Every user may trace into the shared log, so any user may have put something at its name first.
// The log is opened only as a regular file with no other name: never through a link (which could
// aim a privileged writer at any file), never a second name of another file, never a device.
HANDLE OpenLogFile(LPCWSTR pszPath, SECURITY_ATTRIBUTES* pSecurity, bool bEmpty)
{
    // Opened keeping its contents in every case: emptying waits until the file has been checked.
    HANDLE hFile = CreateFileW(pszPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, pSecurity, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return hFile;
    const bool bExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    FILE_STANDARD_INFO info{};
    bool bSound = GetFileType(hFile) == FILE_TYPE_DISK &&
                  GetFileInformationByHandleEx(hFile, FileStandardInfo, &info, sizeof info) && !info.Directory &&
                  info.NumberOfLinks == 1;
    if (bSound && bEmpty && bExisted)
        bSound = SetEndOfFile(hFile) != FALSE;
    if (!bSound) {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

} // namespace
} // namespace tonwell::trace

HRESULT OpenTraceLog()
{
    using namespace tonwell::trace;
    if (g_TraceSettings.SuppressProcessOutput)
        return S_OK;

    PSECURITY_DESCRIPTOR pLogSecurity = nullptr;
    PSECURITY_DESCRIPTOR pMutexSecurity = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(s_szLogSecurity, SDDL_REVISION_1, &pLogSecurity,
                                                              nullptr)) {
        DWORD dwError = GetLastError();
        if (dwError != 0)
            return HRESULT_FROM_WIN32(dwError);
        pLogSecurity = nullptr;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(s_szMutexSecurity, SDDL_REVISION_1, &pMutexSecurity,
                                                              nullptr)) {
        DWORD dwError = GetLastError();
        if (dwError != 0) {
            if (pLogSecurity)
                LocalFree(pLogSecurity);
            return HRESULT_FROM_WIN32(dwError);
        }
        pMutexSecurity = nullptr;
    }
    SECURITY_ATTRIBUTES saLog = {sizeof saLog, pLogSecurity, FALSE};
    SECURITY_ATTRIBUTES saMutex = {sizeof saMutex, pMutexSecurity, FALSE};
    HRESULT hr = S_OK;

    // A fresh machine root has no Debug folder yet; without it no process could ever log.
    WCHAR szPath[MAX_PATH];
    if (Expand(u"%systemroot%\\Debug", szPath))
        CreateDirectoryW(szPath, nullptr);
    if (Expand(kLogFolderW, szPath))
        CreateDirectoryW(szPath, &saLog);

    HANDLE hMutex = CreateMutexW(&saMutex, TRUE, kLogMutexNameW);
    DWORD dwMutexError = GetLastError();
    if (!hMutex) {
        hMutex = CreateMutexW(nullptr, TRUE, kLogMutexNameW);
        dwMutexError = GetLastError();
    }
    if (!hMutex) {
        hr = E_FAIL;
    } else {
        // An existing mutex means another client has the log in use: never empty it under them.
        const bool bExisted = dwMutexError == ERROR_ALREADY_EXISTS;
        const bool bEmpty = !bExisted && !(g_TraceSettings.TraceFlags & TRACE_FLAG_KEEP_LOG);
        HANDLE hFile = INVALID_HANDLE_VALUE;
        if (Expand(kLogPathW, szPath)) {
            hFile = OpenLogFile(szPath, &saLog, bEmpty);
            if (hFile == INVALID_HANDLE_VALUE)
                hFile = OpenLogFile(szPath, nullptr, bEmpty);
        }
        if (hFile == INVALID_HANDLE_VALUE)
            hr = E_FAIL;
        g_TraceClient.hLogFile = hFile;
        g_TraceClient.hLogMutex = hMutex;
        // Initial ownership is granted only to the process that created the mutex.
        if (!bExisted)
            ReleaseMutex(hMutex);
    }

    if (pLogSecurity)
        LocalFree(pLogSecurity);
    if (pMutexSecurity)
        LocalFree(pMutexSecurity);
    return hr;
}

void CloseTraceLog()
{
    using namespace tonwell::trace;
    HANDLE hMutex = g_TraceClient.hLogMutex;
    // Let a line being written end before its file goes away; a time-out does not stop the close.
    DWORD dwWait = hMutex ? WaitForSingleObject(hMutex, 10000) : WAIT_FAILED;
    HANDLE hFile = g_TraceClient.hLogFile;
    if (hFile && hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    g_TraceClient.hLogFile = nullptr;
    if (hMutex) {
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
            ReleaseMutex(hMutex);
        CloseHandle(hMutex);
    }
    g_TraceClient.hLogMutex = nullptr;
}
