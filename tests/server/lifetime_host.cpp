// A process that loads a probe build of the module, uses it and exits, printing
// each step of the module's start-up and shut-down as the module reports it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "TonwellObj.h"
#include <string>

// Found by the probe module at load time; must outlive the module's destructors,
// so it writes straight to the file descriptor.
extern "C" __attribute__((visibility("default"))) void TonwellLifetimeProbe(const char* pszEvent)
{
    if (write(STDOUT_FILENO, pszEvent, std::strlen(pszEvent)) < 0 || write(STDOUT_FILENO, "\n", 1) < 0)
        _exit(3);
}

static std::u16string Widen(const char* text)
{
    int cch = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::u16string wide(cch > 0 ? static_cast<size_t>(cch) : 1, u'\0');
    if (cch > 0)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), cch);
    wide.pop_back();
    return wide;
}

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    TonwellLifetimeProbe("host: loading");
    HMODULE hModule = LoadLibraryW(Widen(argv[1]).c_str());
    if (!hModule)
        return 1;
    auto pfnGetClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "DllGetClassObject")));
    IClassFactory* pFactory = nullptr;
    if (pfnGetClassObject &&
        pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)) == S_OK) {
        TonwellLifetimeProbe("host: class object");
        pFactory->Release();
    }
    FreeLibrary(hModule);
    TonwellLifetimeProbe("host: exiting");
    return 0;
}
