// The built module registering itself, and its objects driven by name through
// IDispatch once the type library is registered.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "machine_root.h"
#include "module_support.h"
#include "registry_dump.h"

namespace {

using namespace tonwell::test;

const char16_t kClassKey[] = u"CLSID\\{83AF37A6-1013-4638-9568-8A25EE237C79}";
const char16_t kPlugInKey[] =
    u"SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns\\{83AF37A6-1013-4638-9568-8A25EE237C79}";
const char16_t kTypeLibKey[] = u"TypeLib\\{4404C7F2-CB2B-4CEE-AE75-56406CA50F0D}";

std::vector<BYTE> ValueBytes(HKEY root, const char16_t* path, const char16_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    BYTE data[1024];
    DWORD cb = sizeof data, type = 0;
    const LONG status = RegQueryValueExW(key, name, nullptr, &type, data, &cb);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::vector<BYTE>(data, data + cb) : std::vector<BYTE>{};
}

std::u16string Sz(HKEY root, const char16_t* path, const char16_t* name = nullptr)
{
    std::vector<BYTE> bytes = ValueBytes(root, path, name);
    if (bytes.size() < 2)
        return u"<none>";
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2 - 1);
}

// Some cases load a copy of the module from under the root.
class Registration : public RegisteringModuleFixture {
protected:
    std::filesystem::path RootParent() const override { return ExecutableRootParent(); }
};

TEST_F(Registration, RegisterWritesEverythingAndUnregisterRemovesIt)
{
    // Keys that stay after unregistering are there before, so the dumps compare whole.
    for (const char16_t* shared : {u"SOFTWARE\\Classes\\CLSID", u"SOFTWARE\\Classes\\TypeLib",
                                   u"SOFTWARE\\Classes\\Interface",
                                   u"SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, shared, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    Dump before;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &before);

    // Unregistering what was never registered deletes nothing.
    EXPECT_EQ(m_unregister(), S_OK);
    Dump untouched;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &untouched);
    EXPECT_EQ(untouched, before);

    ASSERT_EQ(m_register(), S_OK);
    const std::u16string friendly = u"Automatically Fix Exposure";
    EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, kPlugInKey, u"FriendlyName"), friendly);
    EXPECT_EQ(ValueBytes(HKEY_LOCAL_MACHINE, kPlugInKey, u"FriendlyName").size(), 54u);
    WCHAR path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(m_module, path, MAX_PATH), 0u);
    const std::u16string inproc = std::u16string(kClassKey) + u"\\InprocServer32";
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, inproc.c_str()), std::u16string(path));
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, inproc.c_str(), u"ThreadingModel"), u"Apartment");
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, u"TonwellObj.TonwellExposure\\CurVer"), u"TonwellObj.TonwellExposure.1");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, (std::u16string(kTypeLibKey) + u"\\1.0\\0\\win32").c_str()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u"Interface\\{9D2F309B-5941-468F-B357-EFDD74ED99BD}"));
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"TonwellObj.TonwellExposure", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TonwellExposure));

    // Twice in a row: the class key is replaced whole.
    HKEY extra = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (std::u16string(kClassKey) + u"\\Added").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &extra, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(extra);
    EXPECT_EQ(m_register(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, (std::u16string(kClassKey) + u"\\Added").c_str()));

    EXPECT_EQ(m_unregister(), S_OK);
    Dump after;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &after);
    EXPECT_EQ(after, before);
    EXPECT_EQ(m_unregister(), S_OK);
}

TEST_F(Registration, APathWithAQuoteIsStoredAsItIs)
{
    const std::filesystem::path dir = Root() / "it's here";
    std::filesystem::create_directories(dir);
    const std::filesystem::path copy = dir / "TonwellObj.so";
    std::filesystem::copy_file(ModulePath(), copy);
    HMODULE module = LoadLibraryW(Widen(copy.string()).c_str());
    ASSERT_NE(module, nullptr);
    auto reg = ProcAs<PFNREGISTER>(GetProcAddress(module, "DllRegisterServer"));
    auto unreg = ProcAs<PFNREGISTER>(GetProcAddress(module, "DllUnregisterServer"));
    EXPECT_EQ(reg(), S_OK);
    const std::u16string inproc = std::u16string(kClassKey) + u"\\InprocServer32";
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, inproc.c_str()), Widen(copy.string()));
    EXPECT_EQ(unreg(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    FreeLibrary(module);
}

// A module path of 259 characters fits the 260-character buffer; one of 260 does not.
TEST_F(Registration, PathsUpToTheBufferRegister)
{
    for (const size_t length : {size_t(259), size_t(260)}) {
        const std::string base = (Root() / "").string();
        const std::string file = "/TonwellObj.so";
        const std::filesystem::path dir = base + std::string(length - base.size() - file.size(), 'd');
        std::filesystem::create_directories(dir);
        const std::filesystem::path copy = dir.string() + file;
        ASSERT_EQ(copy.string().size(), length);
        std::filesystem::copy_file(ModulePath(), copy);
        HMODULE module = LoadLibraryW(Widen(copy.string()).c_str());
        ASSERT_NE(module, nullptr);
        auto reg = ProcAs<PFNREGISTER>(GetProcAddress(module, "DllRegisterServer"));
        auto unreg = ProcAs<PFNREGISTER>(GetProcAddress(module, "DllUnregisterServer"));
        const std::u16string inproc = std::u16string(kClassKey) + u"\\InprocServer32";
        if (length == 259) {
            EXPECT_EQ(reg(), S_OK);
            EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, inproc.c_str()), Widen(copy.string()));
        } else {
            EXPECT_EQ(reg(), HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW));
            EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
        }
        // Without its path the module cannot name what to remove, and says so.
        EXPECT_EQ(unreg(), length == 259 ? S_OK : HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW));
        FreeLibrary(module);
        std::filesystem::remove_all(dir);
    }
}

TEST_F(Registration, WithoutWriteAccessNothingIsWritten)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs the superuser to act as another user";
    chmod(Root().c_str(), 0755);
    // The machine store exists, owned by the superuser, before the other user comes.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Dump before;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &before);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const HRESULT hr = m_register();
        const ssize_t n = write(fds[1], &hr, sizeof hr);
        _exit(n == sizeof hr ? 0 : 4);
    }
    close(fds[1]);
    HRESULT hr = S_OK;
    ASSERT_EQ(read(fds[0], &hr, sizeof hr), static_cast<ssize_t>(sizeof hr));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(hr, REGDB_E_WRITEREGDB);
    Dump after;
    DumpKeys(HKEY_LOCAL_MACHINE, u"", &after);
    EXPECT_EQ(after, before);
}

// ---------------------------------------------------------------------------------
// Dispatch

class Dispatch : public Registration {
protected:
    void SetUp() override
    {
        Registration::SetUp();
        IClassFactory* factory = nullptr;
        auto getClassObject = ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(m_module, "DllGetClassObject"));
        ASSERT_EQ(getClassObject(CLSID_TonwellExposure, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&m_dispatch)), S_OK);
        factory->Release();
    }
    void TearDown() override
    {
        if (m_dispatch)
            m_dispatch->Release();
        Registration::TearDown();
    }

    HRESULT IdOf(const char16_t* name, DISPID* pid)
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        return m_dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, pid);
    }

    IDispatch* m_dispatch = nullptr;
};

// One process: before registration every call fails with the loader's result,
// after it the next call succeeds.
TEST_F(Dispatch, NeedsTheRegisteredTypeLibraryAndFindsItOnceRegistered)
{
    UINT count = 0;
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(nullptr), E_INVALIDARG);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(m_dispatch->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    DISPID id = 0;
    EXPECT_EQ(IdOf(u"SetImage", &id), TYPE_E_LIBNOTREGISTERED);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(m_dispatch->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(m_dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);

    ASSERT_EQ(m_register(), S_OK);
    EXPECT_EQ(IdOf(u"SetImage", &id), S_OK);
    EXPECT_EQ(id, 2);
    // Not in the exact-case cache: the type information answers without regard to case.
    EXPECT_EQ(IdOf(u"setimage", &id), S_OK);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(IdOf(u"Nothing", &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    LPOLESTR pair[] = {const_cast<LPOLESTR>(u"SetImage"), const_cast<LPOLESTR>(u"pImage")};
    DISPID ids[2] = {};
    EXPECT_EQ(m_dispatch->GetIDsOfNames(IID_NULL, pair, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 0);

    ITypeInfo* info0 = nullptr;
    ITypeInfo* info5 = nullptr;
    ASSERT_EQ(m_dispatch->GetTypeInfo(0, 0, &info0), S_OK);
    ASSERT_EQ(m_dispatch->GetTypeInfo(5, 0, &info5), S_OK);
    EXPECT_EQ(info0, info5);
    info0->Release();
    info5->Release();
    m_unregister();
}

TEST_F(Dispatch, ByNameGivesTheBytesOfTheVtable)
{
    ASSERT_EQ(m_register(), S_OK);
    const DWORD width = 37, height = 11, stride = width * 3 + 5;
    std::vector<BYTE> image(stride * height);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<BYTE>((i * 7) % 90); // dark
    std::vector<BYTE> direct = image;

    ITonwellExposure* exposure = nullptr;
    ASSERT_EQ(m_dispatch->QueryInterface(IID_ITonwellExposure, reinterpret_cast<void**>(&exposure)), S_OK);
    ASSERT_EQ(exposure->Initialize(12), S_OK);
    const HRESULT hrDirect = exposure->SetImage(direct.data(), width, height, stride);
    exposure->Release();

    DISPID initialize = 0, setImage = 0;
    ASSERT_EQ(IdOf(u"Initialize", &initialize), S_OK);
    ASSERT_EQ(IdOf(u"SetImage", &setImage), S_OK);
    VARIANT flags;
    VariantInit(&flags);
    flags.vt = VT_I4; // converted to the described 32-bit unsigned parameter
    flags.lVal = 12;
    DISPPARAMS initParams{&flags, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(m_dispatch->Invoke(initialize, IID_NULL, 0, DISPATCH_METHOD, &initParams, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_EMPTY);

    // Arguments in reverse order; the buffer as a by-reference byte.
    VARIANT args[4];
    for (VARIANT& v : args)
        VariantInit(&v);
    args[3].vt = VT_BYREF | VT_UI1;
    args[3].pbVal = image.data();
    args[2].vt = VT_UI4;
    args[2].ulVal = width;
    args[1].vt = VT_BSTR; // text converts too
    args[1].bstrVal = SysAllocString(u"11");
    args[0].vt = VT_R8;
    args[0].dblVal = stride;
    DISPPARAMS params{args, nullptr, 4, 0};
    UINT argErr = 99;
    const HRESULT hr = m_dispatch->Invoke(setImage, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                                          nullptr, nullptr, &argErr);
    SysFreeString(args[1].bstrVal);
    EXPECT_EQ(hr, hrDirect);
    EXPECT_EQ(image, direct);

    // Conversion failures name the argument.
    args[1].vt = VT_I4;
    args[1].lVal = -1;
    EXPECT_EQ(m_dispatch->Invoke(setImage, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argErr),
              DISP_E_OVERFLOW);
    EXPECT_EQ(argErr, 1u);
    DISPPARAMS three{args, nullptr, 3, 0};
    EXPECT_EQ(m_dispatch->Invoke(setImage, IID_NULL, 0, DISPATCH_METHOD, &three, nullptr, nullptr, &argErr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(m_dispatch->Invoke(42, IID_NULL, 0, DISPATCH_METHOD, &three, nullptr, nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);

    // A method's failure arrives as an exception carrying its code.
    args[3].pbVal = nullptr;
    args[1].vt = VT_UI4;
    args[1].ulVal = height;
    EXCEPINFO excep{};
    EXPECT_EQ(m_dispatch->Invoke(setImage, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, &argErr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(excep.scode, HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
    m_unregister();
}

} // namespace
