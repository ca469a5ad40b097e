// tonwell info: what the server module is and whether it answers for its class.
#include <windows.h>
#include <tonwell_posix_modules.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "TonwellObj.h"
#include "common/Component.h"
#include "command.h"
#include "common/Json.h"
#include "common/Text.h"

namespace tonwell::tools {
namespace {

// The file and product version the module carries.
constexpr char kModuleVersion[] = "1.0.0.1";

std::string GuidText(REFGUID rguid)
{
    WCHAR szGuid[40] = {};
    if (StringFromGUID2(rguid, szGuid, 40) == 0)
        return "?";
    return Narrow(szGuid);
}

std::string HResultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The module path registered for the class, if any.
bool RegisteredServer(std::string* pPath)
{
    std::u16string key = u"CLSID\\" + Widen(GuidText(CLSID_TonwellExposure)) + u"\\InprocServer32";
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    std::u16string value;
    if (RegQueryValueExW(hKey, nullptr, nullptr, &dwType, nullptr, &cbData) == ERROR_SUCCESS &&
        (dwType == REG_SZ || dwType == REG_EXPAND_SZ)) {
        std::vector<BYTE> data(cbData + sizeof(WCHAR), 0);
        if (RegQueryValueExW(hKey, nullptr, nullptr, &dwType, data.data(), &cbData) == ERROR_SUCCESS)
            value.assign(reinterpret_cast<const WCHAR*>(data.data()));
    }
    RegCloseKey(hKey);
    *pPath = Narrow(value);
    return true;
}

struct ModuleReport {
    std::string path;
    HRESULT hrClassObject = E_FAIL;
};

// Loads the module the way a host does and asks it for the class object.
bool ProbeModule(const std::string& requested, ModuleReport* pReport, std::string* pError)
{
    HMODULE hModule = LoadLibraryW(Widen(requested).c_str());
    if (!hModule) {
        const DWORD dwError = GetLastError();
        const char* pszDetail = TonwellLastLoadError();
        *pError = "cannot load '" + requested + "': " +
                  (pszDetail && *pszDetail ? std::string(pszDetail) : "error " + std::to_string(dwError));
        return false;
    }
    WCHAR szPath[4096] = {};
    DWORD cch = GetModuleFileNameW(hModule, szPath, 4096);
    pReport->path = cch > 0 && cch < 4096 ? Narrow(szPath) : requested;

    auto pfnGetClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "DllGetClassObject")));
    if (!pfnGetClassObject || !GetProcAddress(hModule, "DllCanUnloadNow")) {
        *pError = "'" + pReport->path + "' is not a TonwellObj server module (no DllGetClassObject/DllCanUnloadNow)";
        FreeLibrary(hModule);
        return false;
    }
    IClassFactory* pFactory = nullptr;
    pReport->hrClassObject =
        pfnGetClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<LPVOID*>(&pFactory));
    if (SUCCEEDED(pReport->hrClassObject) && pFactory)
        pFactory->Release();
    FreeLibrary(hModule);
    return true;
}

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: tonwell info [--json] [--module PATH]\n\n"
                 "Loads the server module (default: TonwellObj.so in ../lib beside tonwell) and prints\n"
                 "its path, version, class, interface and library identifiers, ProgIDs, whether the\n"
                 "class is registered, and whether the module hands out its class object.\n");
}

int RunInfo(const std::vector<std::string>& args)
{
    bool bJson = false;
    std::string modulePath;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--json") {
            bJson = true;
        } else if (arg == "--module" || arg.rfind("--module=", 0) == 0) {
            if (arg == "--module") {
                if (i + 1 >= args.size()) {
                    std::fprintf(stderr, "tonwell info: --module needs a path\n");
                    return 2;
                }
                modulePath = args[++i];
            } else {
                modulePath = arg.substr(std::strlen("--module="));
            }
            if (modulePath.empty()) {
                std::fprintf(stderr, "tonwell info: --module needs a path\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "tonwell info: unexpected argument '%s'\n\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (modulePath.empty())
        modulePath = DefaultModulePath();

    ModuleReport report;
    std::string error;
    if (!ProbeModule(modulePath, &report, &error)) {
        std::fprintf(stderr, "tonwell info: %s\n", error.c_str());
        return 1;
    }
    std::string registeredPath;
    const bool bRegistered = RegisteredServer(&registeredPath);
    const bool bClassObjectOk = report.hrClassObject == S_OK;

    const std::string clsid = GuidText(CLSID_TonwellExposure);
    const std::string iid = GuidText(IID_ITonwellExposure);
    const std::string libid = GuidText(LIBID_TONWELLOBJLib);
    if (bJson) {
        std::printf("{\"module\":%s,\"version\":%s,\"clsid\":%s,\"iid\":%s,\"libid\":%s,\"progid\":%s,"
                    "\"version_independent_progid\":%s,\"registered\":%s,\"registered_server\":%s,"
                    "\"class_object\":%s}\n",
                    JsonString(report.path).c_str(), JsonString(kModuleVersion).c_str(), JsonString(clsid).c_str(),
                    JsonString(iid).c_str(), JsonString(libid).c_str(), JsonString(TONWELL_PROGID).c_str(),
                    JsonString(TONWELL_VERSION_INDEPENDENT_PROGID).c_str(), bRegistered ? "true" : "false",
                    bRegistered ? JsonString(registeredPath).c_str() : "null",
                    JsonString(bClassObjectOk ? "ok" : HResultText(report.hrClassObject)).c_str());
    } else {
        std::printf("module:        %s\n", report.path.c_str());
        std::printf("version:       %s\n", kModuleVersion);
        std::printf("class:         CTonwellExposure %s\n", clsid.c_str());
        std::printf("interface:     ITonwellExposure %s\n", iid.c_str());
        std::printf("type library:  TONWELLOBJLib %s\n", libid.c_str());
        std::printf("ProgID:        %s\n", TONWELL_PROGID);
        std::printf("               %s (version-independent)\n", TONWELL_VERSION_INDEPENDENT_PROGID);
        if (bRegistered)
            std::printf("registered:    yes, %s\n", registeredPath.c_str());
        else
            std::printf("registered:    no\n");
        if (bClassObjectOk)
            std::printf("class object:  ok\n");
        else
            std::printf("class object:  error %s\n", HResultText(report.hrClassObject).c_str());
    }
    return bClassObjectOk ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(info, "describe the TonwellObj server module", RunInfo);

} // namespace tonwell::tools
