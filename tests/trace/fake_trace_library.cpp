#include "fake_trace_library.h"

#include <mutex>

namespace tonwell::test {
namespace {

std::mutex s_lock;
std::vector<CapturedLine> s_lines;
int s_initCalls = 0;
int s_termCalls = 0;

struct ThreadState {
    DWORD indent = 0;
    DWORD mask = 0;
    DWORD level = 0;
    DWORD active = 0;
};
thread_local ThreadState t_state;

void WINAPI Init(HMODULE, const char*)
{
    std::lock_guard<std::mutex> guard(s_lock);
    ++s_initCalls;
}

void WINAPI Term()
{
    std::lock_guard<std::mutex> guard(s_lock);
    ++s_termCalls;
}

void WINAPI OutputString(BOOL bFirst, HANDLE hFile, HANDLE hMutex, HMODULE, const char* pszModule,
                         const SYSTEMTIME*, DWORD dwFlags, DWORD dwMaxFileSize, const TraceRecord* p)
{
    CapturedLine line{bFirst,
                      hFile,
                      hMutex,
                      pszModule ? pszModule : "",
                      dwFlags,
                      dwMaxFileSize,
                      p->Text != nullptr,
                      p->Text ? p->Text : "",
                      p->FunctionName != nullptr,
                      p->FunctionName ? p->FunctionName : "",
                      p->Flag,
                      p->Mask,
                      p->Level,
                      p->IndentLevel,
                      p->ProcessId,
                      p->ThreadId};
    std::lock_guard<std::mutex> guard(s_lock);
    s_lines.push_back(line);
}

void WINAPI Increment() { ++t_state.indent; }
void WINAPI Decrement() { --t_state.indent; }
DWORD WINAPI GetIndent() { return t_state.indent; }
void WINAPI SetSettings(DWORD m, DWORD l, DWORD a) { t_state = {t_state.indent, m, l, a}; }
void WINAPI GetSettings(DWORD* m, DWORD* l, DWORD* a)
{
    *m = t_state.mask;
    *l = t_state.level;
    *a = t_state.active;
}

} // namespace

const trace::TraceLibraryTable& FakeTraceLibrary()
{
    static const trace::TraceLibraryTable table = {Init,      Term,      OutputString, Increment,
                                                   Decrement, GetIndent, SetSettings,  GetSettings};
    return table;
}

const trace::TraceLibraryTable& FakeTraceLibraryWithoutOptionalEntries()
{
    static const trace::TraceLibraryTable table = {Init, Term, OutputString, nullptr, nullptr, nullptr, nullptr, nullptr};
    return table;
}

std::vector<CapturedLine> CapturedLines()
{
    std::lock_guard<std::mutex> guard(s_lock);
    return s_lines;
}

void ClearCapturedLines()
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_lines.clear();
}

void ResetFakeTraceLibrary()
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_lines.clear();
    s_initCalls = 0;
    s_termCalls = 0;
}

std::vector<CapturedLine> TakeCapturedLines()
{
    std::vector<CapturedLine> lines;
    std::lock_guard<std::mutex> guard(s_lock);
    lines.swap(s_lines);
    return lines;
}

int FakeInitCalls()
{
    std::lock_guard<std::mutex> guard(s_lock);
    return s_initCalls;
}

int FakeTermCalls()
{
    std::lock_guard<std::mutex> guard(s_lock);
    return s_termCalls;
}

void FakeSettings(DWORD* pdwMask, DWORD* pdwLevel, DWORD* pdwActive) { GetSettings(pdwMask, pdwLevel, pdwActive); }

} // namespace tonwell::test
