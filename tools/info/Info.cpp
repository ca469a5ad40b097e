// tonwell info: what the server module is and whether it answers for its class.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TonwellObj.h"
#include "command.h"
#include "common/Component.h"
#include "common/ErrorText.h"
#include "common/Json.h"
#include "common/Options.h"
#include "common/Text.h"

namespace tonwell::tools {
namespace {

// The module path registered for the class, if any.
bool RegisteredServer(std::string* pPath)
{
    const std::u16string key = u"CLSID\\" + Utf8ToUtf16(GuidText(CLSID_TonwellExposure)) + u"\\InprocServer32";
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
    *pPath = Utf16ToUtf8(value);
    return true;
}

// The module's version resource: FileVersion, FileDescription, and whether it
// announces self-registration ("OLESelfRegister").
struct VersionResource {
    std::string fileVersion = "unknown";
    std::string description;
    bool selfRegister = false;
};

VersionResource ReadVersionResource(const std::string& path)
{
    VersionResource version;
    const std::u16string wide = Utf8ToUtf16(path);
    const DWORD cb = GetFileVersionInfoSizeW(wide.c_str(), nullptr);
    std::vector<BYTE> block(cb);
    if (cb == 0 || !GetFileVersionInfoW(wide.c_str(), 0, cb, block.data()))
        return version;
    auto query = [&](const char16_t* pszKey, std::string* pValue) {
        void* pv = nullptr;
        UINT cch = 0;
        const std::u16string sub = std::u16string(u"\\StringFileInfo\\040904B0\\") + pszKey;
        if (!VerQueryValueW(block.data(), sub.c_str(), &pv, &cch))
            return false;
        if (pValue)
            *pValue = Utf16ToUtf8(static_cast<const WCHAR*>(pv));
        return true;
    };
    query(u"FileVersion", &version.fileVersion);
    query(u"FileDescription", &version.description);
    version.selfRegister = query(u"OLESelfRegister", nullptr);
    return version;
}

// Whether automation clients find the type library by its identifier and version.
HRESULT TypeLibRegistration()
{
    ITypeLib* pTypeLib = nullptr;
    const HRESULT hr = LoadRegTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, &pTypeLib);
    if (pTypeLib)
        pTypeLib->Release();
    return hr;
}

const char kUsage[] = "usage: tonwell info [--json] [--module PATH]\n";

const char kHelp[] =
    "\n"
    "Loads the server module (default: TonwellObj.so in ../lib beside tonwell) and prints\n"
    "its path, version, description and self-registration from its version resource,\n"
    "its class, interface and library identifiers, ProgIDs, whether the class and the\n"
    "type library are registered, and whether the module hands out its class object.\n"
    "Exit status: 0 when it does, 1 otherwise, 2 for a usage error.\n";

int RunInfo(const std::vector<std::string>& args)
{
    bool bJson = false;
    std::string modulePath;
    CommandLine commandLine("info", kUsage, kHelp);
    commandLine.Flag({"--json"}, &bJson);
    commandLine.Option({"--module"}, [&](const std::string& value) -> std::string {
        if (value.empty())
            return "the module path is empty";
        modulePath = value;
        return {};
    });
    int exitCode = 0;
    if (!commandLine.Parse(args, nullptr, &exitCode))
        return exitCode;
    if (modulePath.empty())
        modulePath = DefaultModulePath();

    ServerModule module;
    std::string error;
    if (FAILED(module.Load(modulePath, &error))) {
        std::fprintf(stderr, "tonwell info: %s\n", error.c_str());
        return 1;
    }
    std::string registeredPath;
    const bool bRegistered = RegisteredServer(&registeredPath);
    const HRESULT hrClassObject = module.ClassObjectResult();
    const bool bClassObjectOk = hrClassObject == S_OK;

    const std::string clsid = GuidText(CLSID_TonwellExposure);
    const std::string iid = GuidText(IID_ITonwellExposure);
    const std::string libid = GuidText(LIBID_TONWELLOBJLib);
    const VersionResource version = ReadVersionResource(module.Path());
    const HRESULT hrTypeLib = TypeLibRegistration();
    if (bJson) {
        std::printf("{\"module\":%s,\"version\":%s,\"description\":%s,\"self_register\":%s,"
                    "\"typelib_registered\":%s,\"clsid\":%s,\"iid\":%s,\"libid\":%s,\"progid\":%s,"
                    "\"version_independent_progid\":%s,\"registered\":%s,\"registered_server\":%s,"
                    "\"class_object\":%s}\n",
                    JsonString(module.Path()).c_str(), JsonString(version.fileVersion).c_str(),
                    JsonString(version.description).c_str(), version.selfRegister ? "true" : "false",
                    hrTypeLib == S_OK ? "true" : "false", JsonString(clsid).c_str(),
                    JsonString(iid).c_str(), JsonString(libid).c_str(), JsonString(TONWELL_PROGID).c_str(),
                    JsonString(TONWELL_VERSION_INDEPENDENT_PROGID).c_str(), bRegistered ? "true" : "false",
                    bRegistered ? JsonString(registeredPath).c_str() : "null",
                    JsonString(bClassObjectOk ? "ok" : HResultCode(hrClassObject)).c_str());
    } else {
        std::printf("module:        %s\n", module.Path().c_str());
        std::printf("version:       %s\n", version.fileVersion.c_str());
        std::printf("description:   %s\n", version.description.c_str());
        std::printf("self-register: %s\n", version.selfRegister ? "yes (OLESelfRegister)" : "no");
        std::printf("class:         CTonwellExposure %s\n", clsid.c_str());
        std::printf("interface:     ITonwellExposure %s\n", iid.c_str());
        if (hrTypeLib == S_OK)
            std::printf("type library:  TONWELLOBJLib %s, registered\n", libid.c_str());
        else
            std::printf("type library:  TONWELLOBJLib %s, not registered (%s)\n", libid.c_str(),
                        HResultText(hrTypeLib).c_str());
        std::printf("ProgID:        %s\n", TONWELL_PROGID);
        std::printf("               %s (version-independent)\n", TONWELL_VERSION_INDEPENDENT_PROGID);
        if (bRegistered)
            std::printf("registered:    yes, %s\n", registeredPath.c_str());
        else
            std::printf("registered:    no\n");
        if (bClassObjectOk)
            std::printf("class object:  ok\n");
        else
            std::printf("class object:  error %s\n", HResultText(hrClassObject).c_str());
    }
    return bClassObjectOk ? 0 : 1;
}

} // namespace

TONWELL_COMMAND(info, "describe the TonwellObj server module", RunInfo);

} // namespace tonwell::tools
