// Making records: the formatters, appending text, the error decoration, and scopes.
#include "TraceFormat.h"
#include "TraceState.h"

#include <cstdarg>
#include <cstring>
#include <type_traits>

using namespace tonwell::trace;

namespace {

const size_t s_cchFormatBuffer = 512;

TraceRecord* NewRecord()
{
    auto* pRecord = static_cast<TraceRecord*>(TraceAlloc(sizeof(TraceRecord)));
    if (!pRecord)
        return nullptr;
    pRecord->ProcessId = GetCurrentProcessId();
    pRecord->ThreadId = GetCurrentThreadId();
    TraceReader reader;
    if (TraceClientState* pClient = reader.Client(); pClient && pClient->Library.pfnGetIndentLevel)
        pRecord->IndentLevel = pClient->Library.pfnGetIndentLevel();
    return pRecord;
}

// Inside an open scope the library reports the scope's mask and level.
void TakeLibrarySettings(TraceRecord* pRecord)
{
    TraceReader reader;
    TraceClientState* pClient = reader.Client();
    if (!pClient || !pClient->Library.pfnGetTraceSettings)
        return;
    DWORD dwMask = 0;
    DWORD dwLevel = 0;
    DWORD dwActive = 0;
    pClient->Library.pfnGetTraceSettings(&dwMask, &dwLevel, &dwActive);
    pRecord->Mask = dwActive ? dwMask : 0;
    pRecord->Level = dwActive ? dwLevel : 0;
}

// A new record whose text is `args` formatted by pszFormat (cut to the format
// buffer); the caller gives it its mask and level.
template <class Char> TraceRecord* NewFormattedRecord(const Char* pszFormat, va_list args)
{
    TraceRecord* pRecord = NewRecord();
    if (!pRecord)
        return nullptr;
    Char szText[s_cchFormatBuffer] = {};
    if constexpr (std::is_same_v<Char, char>) {
        FormatTextA(szText, s_cchFormatBuffer, pszFormat, args);
        AppendTraceText(pRecord, szText);
    } else {
        FormatTextW(szText, s_cchFormatBuffer, pszFormat, args);
        AppendTraceTextW(pRecord, szText);
    }
    return pRecord;
}

} // namespace

namespace tonwell::trace {

TraceRecord* MakeTraceRecordA(LPCSTR pszText)
{
    TraceRecord* pRecord = NewRecord();
    if (!pRecord)
        return nullptr;
    TakeLibrarySettings(pRecord);
    AppendTraceText(pRecord, pszText);
    return pRecord;
}

} // namespace tonwell::trace

// Each variadic entry point opens its own va_list; the work is NewFormattedRecord.
TraceRecord* FormatTraceA(LPCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    TraceRecord* pRecord = NewFormattedRecord(pszFormat, args);
    va_end(args);
    if (pRecord)
        TakeLibrarySettings(pRecord);
    return pRecord;
}

TraceRecord* FormatTraceW(LPCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    TraceRecord* pRecord = NewFormattedRecord(pszFormat, args);
    va_end(args);
    if (pRecord)
        TakeLibrarySettings(pRecord);
    return pRecord;
}

TraceRecord* FormatTraceMaskW(DWORD dwMask, DWORD dwLevel, LPCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    TraceRecord* pRecord = NewFormattedRecord(pszFormat, args);
    va_end(args);
    if (pRecord) {
        pRecord->Mask = dwMask;
        pRecord->Level = dwLevel;
    }
    return pRecord;
}

HRESULT AppendTraceText(TraceRecord* pRecord, LPCSTR pszText)
{
    if (!pRecord)
        return E_POINTER;
    if (!pszText || !*pszText)
        return S_OK;
    size_t cbOld = pRecord->Text ? std::strlen(pRecord->Text) : 0;
    size_t cbNew = std::strlen(pszText);
    auto* pszJoined = static_cast<char*>(TraceAlloc(cbOld + cbNew + 1));
    if (!pszJoined)
        return E_OUTOFMEMORY;
    if (cbOld)
        std::memcpy(pszJoined, pRecord->Text, cbOld);
    std::memcpy(pszJoined + cbOld, pszText, cbNew);
    TraceFree(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&pRecord->Text), pszJoined));
    return S_OK;
}

HRESULT AppendTraceTextW(TraceRecord* pRecord, LPCWSTR pszText)
{
    if (!pRecord)
        return E_POINTER;
    if (!pszText || !*pszText)
        return S_OK;
    char szUtf8[s_cchFormatBuffer] = {};
    // Cut on a whole character: a text whose UTF-8 form is too long keeps what fits.
    if (FormatTextA(szUtf8, s_cchFormatBuffer, "%ls", pszText) == 0)
        return S_OK;
    return AppendTraceText(pRecord, szUtf8);
}

void AppendHResultText(HRESULT hr, TraceRecord* pRecord)
{
    if (!pRecord)
        return;
    char szMessage[261] = {};
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               nullptr, static_cast<DWORD>(hr), 0, szMessage, sizeof szMessage, nullptr);
    if (cch == 0)
        szMessage[0] = 0;
    szMessage[sizeof szMessage - 1] = 0;
    char szText[s_cchFormatBuffer] = {};
    FormatTextA(szText, s_cchFormatBuffer, " : hr = 0x%08lx, '%s'", static_cast<DWORD>(hr), szMessage);
    AppendTraceText(pRecord, szText);
}

TraceScope::TraceScope(LONG lCallerWord1, LONG lCallerWord2, LPCSTR pszFunctionName, DWORD dwFlag, DWORD dwMask,
                       DWORD dwLevel, TraceRecord* pRecord)
{
    if (!pRecord)
        return;
    m_bInert = FALSE;
    {
        TraceReader reader;
        TraceClientState* pClient = reader.Client();
        const TraceLibraryTable* pLib = pClient ? &pClient->Library : nullptr;
        if (pLib && pLib->pfnGetTraceSettings && pLib->pfnSetTraceSettings) {
            pLib->pfnGetTraceSettings(&m_dwSavedMask, &m_dwSavedLevel, &m_dwSavedActive);
            pLib->pfnSetTraceSettings(dwMask, dwLevel, 1);
            m_bSettingsSaved = TRUE;
        }
        if (!(g_TraceSettings.TraceFlags & TRACE_FLAG_SCOPE)) {
            FreeTraceRecord(pRecord);
            return;
        }

        static const char szEntering[] = "ENTERING: ";
        size_t cbPrefix = sizeof szEntering - 1;
        size_t cbName = pszFunctionName ? std::strlen(pszFunctionName) : 0;
        size_t cbText = pRecord->Text ? std::strlen(pRecord->Text) : 0;
        auto* pszScope = static_cast<char*>(TraceAlloc(cbPrefix + cbName + cbText + 1));
        if (!pszScope) {
            // Without its text the scope writes no lines, but it still restores the settings it set.
            FreeTraceRecord(pRecord);
            return;
        }
        std::memcpy(pszScope, szEntering, cbPrefix);
        if (cbName)
            std::memcpy(pszScope + cbPrefix, pszFunctionName, cbName);
        if (cbText)
            std::memcpy(pszScope + cbPrefix + cbName, pRecord->Text, cbText);

        m_Body.Text = pszScope;
        m_Body.CallerWord1 = lCallerWord1;
        m_Body.CallerWord2 = lCallerWord2;
        m_Body.FunctionName = nullptr;
        m_Body.ProcessId = pRecord->ProcessId;
        m_Body.ThreadId = pRecord->ThreadId;
        m_Body.Mask = dwMask;
        m_Body.Level = dwLevel;
        m_Body.Flag = TRACE_FLAG_SCOPE;
        m_Body.IndentLevel = pLib && pLib->pfnGetIndentLevel ? pLib->pfnGetIndentLevel() : 0;

        // The record becomes a copy of the body with a text of its own.
        TraceFree(pRecord->Text);
        *pRecord = m_Body;
        pRecord->Text = nullptr;
        AppendTraceText(pRecord, pszScope);

        if (pLib && pLib->pfnIncrementIndentLevel) {
            pLib->pfnIncrementIndentLevel();
            m_bIndented = TRUE;
        }
    }
    // Outside the reader: a dispatch may have to bring a terminated client back.
    DispatchTraceRecord(lCallerWord1, lCallerWord2, nullptr, dwFlag, pRecord);
}

TraceScope::~TraceScope()
{
    if (!m_bInert) {
        TraceRecord* pExiting = nullptr;
        bool bLive;
        {
            TraceReader reader;
            TraceClientState* pClient = reader.Client();
            bLive = pClient != nullptr;
            if (bLive && (g_TraceSettings.TraceFlags & TRACE_FLAG_SCOPE)) {
                // Only a scope that raised the indent lowers it, so a change of settings while the
                // scope is open cannot unbalance the library's level.
                if (m_bIndented && pClient->Library.pfnDecrementIndentLevel)
                    pClient->Library.pfnDecrementIndentLevel();
                if (m_Body.Text) {
                    static const char szExiting[] = "EXITING:  ";
                    std::memcpy(m_Body.Text, szExiting, sizeof szExiting - 1);
                    pExiting = MakeTraceRecordA(m_Body.Text);
                }
            }
        }
        if (pExiting)
            DispatchTraceRecord(m_Body.CallerWord1, m_Body.CallerWord2, nullptr, TRACE_FLAG_SCOPE, pExiting);
        if (bLive && m_bSettingsSaved) {
            TraceReader reader;
            TraceClientState* pClient = reader.Client();
            if (pClient && pClient->Library.pfnSetTraceSettings)
                pClient->Library.pfnSetTraceSettings(m_dwSavedMask, m_dwSavedLevel, m_dwSavedActive);
        }
    }
    TraceFree(m_Body.Text);
    m_Body = TraceRecord{};
}
