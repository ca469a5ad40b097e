// tonwell register / unregister: what an installer does with a self-registering
// module; tonwell plugins: the still-image plug-ins this machine knows.
#include <windows.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "command.h"
#include "common/Component.h"
#include "common/ErrorText.h"
#include "common/Json.h"
#include "common/Options.h"
#include "common/Text.h"

namespace tonwell::tools {
namespace {

typedef HRESULT(STDAPICALLTYPE* PFNREGISTER)();

// How long a registration waits for one running in another process.
constexpr DWORD kRegistrationWaitMs = 120000;

const char kPlugInsKey[] = "SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns";

// Loads the module and calls its entry point by name, as an installer does.
int RunEntryPoint(const char* command, const char* entry, const char* done, const std::vector<std::string>& args)
{
    bool quiet = false;
    const std::string usage = std::string("usage: tonwell ") + command + " [MODULE] [--quiet]\n";
    const std::string help = std::string("\nCalls ") + entry +
                             " of MODULE (default: the TonwellObj.so of this build) against the\n"
                             "registry of the machine root and reports the result. --quiet prints nothing on\n"
                             "success. Exit status: 0 on success, 1 on failure, 2 for a usage error.\n";
    CommandLine line(command, usage.c_str(), help.c_str());
    line.Flag({"--quiet", "-q"}, &quiet);
    std::vector<std::string> operands;
    int exitCode = 0;
    if (!line.Parse(args, &operands, &exitCode))
        return exitCode;
    if (operands.size() > 1)
        return line.UsageError("more than one MODULE");
    const std::string path = operands.empty() ? DefaultModulePath() : operands[0];

    HMODULE module = LoadLibraryW(Utf8ToUtf16(path).c_str());
    if (!module) {
        std::fprintf(stderr, "tonwell %s: cannot load %s: %s\n", command, path.c_str(),
                     HResultText(HRESULT_FROM_WIN32(GetLastError())).c_str());
        return 1;
    }
    auto pfn = reinterpret_cast<PFNREGISTER>(reinterpret_cast<void (*)()>(GetProcAddress(module, entry)));
    if (!pfn) {
        std::fprintf(stderr, "tonwell %s: %s has no %s\n", command, path.c_str(), entry);
        FreeLibrary(module);
        return 1;
    }
    // One registration at a time on the machine: a script's ForceRemove deletes
    // a key tree that another run may be filling, which fails that run. A
    // run that was killed leaves the mutex abandoned; the next one goes on
    // and makes its work good.
    HANDLE lock = CreateMutexW(nullptr, FALSE, u"Global\\TonwellRegistration");
    const DWORD wait = lock ? WaitForSingleObject(lock, kRegistrationWaitMs) : WAIT_FAILED;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        std::fprintf(stderr, "tonwell %s: %s\n", command,
                     wait == WAIT_TIMEOUT ? "another registration has been running for 2 minutes; try again later"
                                          : ("cannot wait for other registrations: " +
                                             HResultText(HRESULT_FROM_WIN32(GetLastError())))
                                                .c_str());
        if (lock)
            CloseHandle(lock);
        FreeLibrary(module);
        return 1;
    }
    const HRESULT hr = pfn();
    ReleaseMutex(lock);
    CloseHandle(lock);
    FreeLibrary(module);
    if (FAILED(hr)) {
        std::fprintf(stderr, "tonwell %s: %s of %s failed: %s\n", command, entry, path.c_str(),
                     HResultText(hr).c_str());
        return 1;
    }
    if (!quiet)
        std::printf("%s %s\n", done, path.c_str());
    return 0;
}

int RunRegister(const std::vector<std::string>& args)
{
    return RunEntryPoint("register", "DllRegisterServer", "registered", args);
}

int RunUnregister(const std::vector<std::string>& args)
{
    return RunEntryPoint("unregister", "DllUnregisterServer", "unregistered", args);
}

// The default value (or a named one) of HKCR\path as text; "" when absent.
std::string ReadText(HKEY root, const std::u16string& path, const char16_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    DWORD type = 0, cb = 0;
    std::string text;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &cb) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::vector<BYTE> data(cb + sizeof(WCHAR), 0);
        if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &cb) == ERROR_SUCCESS)
            text = Utf16ToUtf8(reinterpret_cast<const char16_t*>(data.data()));
    }
    RegCloseKey(key);
    return text;
}

struct PlugIn {
    std::string clsid, friendlyName, progId, module;
    bool present = false;
    bool loadable = false;
};

int RunPlugins(const std::vector<std::string>& args)
{
    bool json = false;
    CommandLine line("plugins", "usage: tonwell plugins [--json]\n",
                     "\nLists the still-image plug-ins registered on this machine: friendly name, class,\n"
                     "ProgID, module path, and whether the module is present and loads.\n");
    line.Flag({"--json"}, &json);
    int exitCode = 0;
    if (!line.Parse(args, nullptr, &exitCode))
        return exitCode;

    std::vector<PlugIn> plugins;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToUtf16(kPlugInsKey).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD cch = 256;
            if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            PlugIn plugin;
            const std::u16string clsid(name, cch);
            plugin.clsid = Utf16ToUtf8(clsid);
            plugin.friendlyName = ReadText(HKEY_LOCAL_MACHINE, Utf8ToUtf16(kPlugInsKey) + u"\\" + clsid,
                                           u"FriendlyName");
            plugin.progId = ReadText(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\ProgID", nullptr);
            plugin.module = ReadText(HKEY_CLASSES_ROOT, u"CLSID\\" + clsid + u"\\InprocServer32", nullptr);
            struct stat st{};
            plugin.present = !plugin.module.empty() && stat(plugin.module.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            if (plugin.present) {
                HMODULE module = LoadLibraryW(Utf8ToUtf16(plugin.module).c_str());
                plugin.loadable = module != nullptr;
                if (module)
                    FreeLibrary(module);
            }
            plugins.push_back(plugin);
        }
        RegCloseKey(key);
    }

    if (json) {
        std::printf("[");
        for (size_t i = 0; i < plugins.size(); ++i) {
            const PlugIn& p = plugins[i];
            std::printf("%s{\"clsid\":%s,\"friendly_name\":%s,\"progid\":%s,\"module\":%s,\"present\":%s,"
                        "\"loadable\":%s}",
                        i ? "," : "", JsonString(p.clsid).c_str(), JsonString(p.friendlyName).c_str(),
                        JsonString(p.progId).c_str(), JsonString(p.module).c_str(), p.present ? "true" : "false",
                        p.loadable ? "true" : "false");
        }
        std::printf("]\n");
        return 0;
    }
    if (plugins.empty())
        std::printf("no still-image plug-ins are registered\n");
    for (const PlugIn& p : plugins) {
        std::printf("%s\n  class:   %s\n  ProgID:  %s\n  module:  %s (%s)\n", p.friendlyName.c_str(), p.clsid.c_str(),
                    p.progId.empty() ? "-" : p.progId.c_str(), p.module.empty() ? "-" : p.module.c_str(),
                    !p.present ? "missing" : p.loadable ? "loads" : "does not load");
    }
    return 0;
}

} // namespace

TONWELL_COMMAND(register, "register a module (DllRegisterServer)", RunRegister);
TONWELL_COMMAND(unregister, "unregister a module (DllUnregisterServer)", RunUnregister);
TONWELL_COMMAND(plugins, "list the still-image plug-ins of this machine", RunPlugins);

} // namespace tonwell::tools
