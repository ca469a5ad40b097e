// RegisterTypeLib, UnRegisterTypeLib and LoadRegTypeLib: exactly the keys the platform
// writes, version and locale matching, removal, and refused writes.
#include "typelib_test_support.h"

#include "TonwellObj.h"
#include "registry/registry_test_support.h"
#include "registry_dump.h"

#include <tonwell_testhooks.h>

#include <algorithm>
#include <sys/stat.h>

using namespace tonwell::test;
namespace tl = tonwell::typelib;

namespace {

const std::string kLibid = "{4404C7F2-CB2B-4CEE-AE75-56406CA50F0D}";
const std::string kIid = "{9D2F309B-5941-468F-B357-EFDD74ED99BD}";
const std::string kMarshaler = "{00020424-0000-0000-C000-000000000046}";

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Every key below `path` of HKEY_CLASSES_ROOT, as "key" lines and "key|value=data" lines
// for its text values, sorted.
void Dump(const std::u16string& path, std::vector<std::string>& out)
{
    WalkKeys(HKEY_CLASSES_ROOT, path, [&out](const std::u16string& keyPath, const std::vector<RegValue>& values) {
        out.push_back(Narrow(keyPath));
        for (const RegValue& v : values) {
            std::u16string text(reinterpret_cast<const char16_t*>(v.data.data()), v.data.size() / 2);
            while (!text.empty() && text.back() == 0)
                text.pop_back();
            out.push_back(Narrow(keyPath) + "|" + (v.name.empty() ? "@" : Narrow(v.name)) + "=" +
                          (v.type == REG_SZ ? Narrow(text) : "<not text>"));
        }
    });
    std::sort(out.begin(), out.end());
}

std::vector<std::string> Keys(const std::string& path)
{
    std::vector<std::string> out;
    Dump(U16(path), out);
    return out;
}

bool KeyExists(const std::string& path) { return tonwell::test::KeyExists(HKEY_CLASSES_ROOT, U16(path).c_str()); }

class TypeLibRegistration : public SharedRootFixture {
protected:
    void SetUp() override
    {
        SharedRootFixture::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), m_lib.Out()), S_OK);
    }

    std::string Path(const std::string& name) const { return (Root() / name).string(); }

    // TonwellObj.tlb with another version and locale, as a file of its own.
    std::string Variant(uint16_t major, uint16_t minor, uint32_t lcid)
    {
        tl::Library lib = ReadLibrary(kTonwellTlb);
        lib.major = major;
        lib.minor = minor;
        lib.lcid = lcid;
        std::string path = Path("v" + std::to_string(major) + "_" + std::to_string(minor) + "_" +
                                std::to_string(lcid) + ".tlb");
        WriteBytes(path, tl::Write(lib));
        return path;
    }

    HRESULT RegisterFile(const std::string& path)
    {
        Ptr<ITypeLib> lib;
        HRESULT hr = LoadTypeLib(U16(path).c_str(), lib.Out());
        if (FAILED(hr))
            return hr;
        return RegisterTypeLib(lib.get(), U16(path).c_str(), U16(Root().string() + "/").c_str());
    }

    // The version and locale of what LoadRegTypeLib loads, as "major.minor/lcid".
    std::string Loaded(WORD major, WORD minor, LCID lcid, HRESULT expected = S_OK)
    {
        Ptr<ITypeLib> lib;
        HRESULT hr = LoadRegTypeLib(LIBID_TONWELLOBJLib, major, minor, lcid, lib.Out());
        EXPECT_EQ(hr, expected);
        if (FAILED(hr))
            return "";
        TLIBATTR* attr = nullptr;
        EXPECT_EQ(lib->GetLibAttr(&attr), S_OK);
        char text[32];
        std::snprintf(text, sizeof text, "%u.%u/%x", attr->wMajorVerNum, attr->wMinorVerNum, unsigned(attr->lcid));
        lib->ReleaseTLibAttr(attr);
        return text;
    }

    Ptr<ITypeLib> m_lib;
};

TEST_F(TypeLibRegistration, WritesExactlyThePlatformsKeys)
{
    ASSERT_EQ(RegisterTypeLib(m_lib.get(), u"/opt/tonwell/lib/TonwellObj.so", u"/opt/tonwell/lib/"), S_OK);
    std::string v = "TypeLib\\" + kLibid + "\\1.0";
    EXPECT_EQ(Keys("TypeLib"), (std::vector<std::string>{
                                   "TypeLib",
                                   "TypeLib\\" + kLibid,
                                   v,
                                   v + "\\0",
                                   v + "\\0\\win32",
                                   v + "\\0\\win32|@=/opt/tonwell/lib/TonwellObj.so",
                                   v + "\\FLAGS",
                                   v + "\\FLAGS|@=0",
                                   v + "\\HELPDIR",
                                   v + "\\HELPDIR|@=/opt/tonwell/lib/",
                                   v + "|@=TonwellObj 1.0 Type Library",
                               }));
    std::string i = "Interface\\" + kIid;
    EXPECT_EQ(Keys("Interface"), (std::vector<std::string>{
                                     "Interface",
                                     i,
                                     i + "\\ProxyStubClsid",
                                     i + "\\ProxyStubClsid32",
                                     i + "\\ProxyStubClsid32|@=" + kMarshaler,
                                     i + "\\ProxyStubClsid|@=" + kMarshaler,
                                     i + "\\TypeLib",
                                     i + "\\TypeLib|@=" + kLibid,
                                     i + "\\TypeLib|Version=1.0",
                                     i + "|@=ITonwellExposure",
                                 }));
    // Classes are not registered by it.
    EXPECT_FALSE(KeyExists("CLSID\\{83AF37A6-1013-4638-9568-8A25EE237C79}"));

    // Registering again changes nothing; LoadRegTypeLib then finds the file.
    ASSERT_EQ(RegisterTypeLib(m_lib.get(), u"/opt/tonwell/lib/TonwellObj.so", u"/opt/tonwell/lib/"), S_OK);
    EXPECT_EQ(Keys("TypeLib").size(), 11u);
    EXPECT_EQ(RegisterTypeLib(nullptr, u"/x", nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(m_lib.get(), nullptr, nullptr), E_INVALIDARG);
}

TEST_F(TypeLibRegistration, HelpDirectoryAndPlatformKeyFollowTheArgumentsAndTheLibrary)
{
    // Without a help directory there is no HELPDIR; version 10.0 is "a.0"; SYS_WIN64 is "win64".
    tl::Library lib = ReadLibrary(kTonwellTlb);
    lib.major = 10;
    lib.syskind = SYS_WIN64;
    lib.flags = LIBFLAG_FHIDDEN;
    WriteBytes(Path("ten.tlb"), tl::Write(lib));
    Ptr<ITypeLib> ten;
    ASSERT_EQ(LoadTypeLib(U16(Path("ten.tlb")).c_str(), ten.Out()), S_OK);
    ASSERT_EQ(RegisterTypeLib(ten.get(), U16(Path("ten.tlb")).c_str(), nullptr), S_OK);
    std::string v = "TypeLib\\" + kLibid + "\\a.0";
    EXPECT_EQ(Keys(v), (std::vector<std::string>{v, v + "\\0", v + "\\0\\win64", v + "\\0\\win64|@=" + Path("ten.tlb"),
                                                 v + "\\FLAGS", v + "\\FLAGS|@=4",
                                                 v + "|@=TonwellObj 1.0 Type Library"}));
    EXPECT_EQ(Keys("Interface\\" + kIid + "\\TypeLib").back(), "Interface\\" + kIid + "\\TypeLib|Version=a.0");
    // Found by LoadRegTypeLib through its win64 key.
    EXPECT_EQ(Loaded(10, 0, 0), "10.0/0");
}

TEST_F(TypeLibRegistration, LoadingRegistersOnlyWhenAsked)
{
    Ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), lib.Out()), S_OK);
    ASSERT_EQ(LoadTypeLibEx(U16(kTonwellTlb).c_str(), REGKIND_NONE, lib.Out()), S_OK);
    ASSERT_EQ(LoadTypeLibEx(U16(kTonwellTlb).c_str(), REGKIND_DEFAULT, lib.Out()), S_OK);
    EXPECT_FALSE(KeyExists("TypeLib\\" + kLibid));
    EXPECT_EQ(Loaded(1, 0, 0, TYPE_E_LIBNOTREGISTERED), "");

    ASSERT_EQ(LoadTypeLibEx(U16(kTonwellTlb).c_str(), REGKIND_REGISTER, lib.Out()), S_OK);
    std::string folder = std::filesystem::path(kTonwellTlb).parent_path().string() + "/";
    std::vector<std::string> keys = Keys("TypeLib\\" + kLibid + "\\1.0");
    EXPECT_NE(std::find(keys.begin(), keys.end(), "TypeLib\\" + kLibid + "\\1.0\\0\\win32|@=" + kTonwellTlb),
              keys.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), "TypeLib\\" + kLibid + "\\1.0\\HELPDIR|@=" + folder), keys.end());
    EXPECT_EQ(Loaded(1, 0, 0), "1.0/0");
}

TEST_F(TypeLibRegistration, LoadRegTypeLibTakesTheHighestMinorThenTheBestLocale)
{
    ASSERT_EQ(RegisterFile(Variant(1, 0, 0)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(1, 2, 0)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(1, 2, 0x409)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(1, 2, 0x9)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(2, 0, 0)), S_OK);

    // The highest minor at least the one asked for, of the same major.
    EXPECT_EQ(Loaded(1, 0, 0), "1.2/0");
    EXPECT_EQ(Loaded(1, 1, 0), "1.2/0");
    EXPECT_EQ(Loaded(1, 2, 0), "1.2/0");
    EXPECT_EQ(Loaded(1, 3, 0, TYPE_E_LIBNOTREGISTERED), "");
    EXPECT_EQ(Loaded(2, 0, 0), "2.0/0");
    EXPECT_EQ(Loaded(3, 0, 0, TYPE_E_LIBNOTREGISTERED), "");
    // The locale itself, else its primary language, else neutral.
    EXPECT_EQ(Loaded(1, 0, 0x409), "1.2/409");
    EXPECT_EQ(Loaded(1, 0, 0x809), "1.2/9");
    EXPECT_EQ(Loaded(1, 0, 0x407), "1.2/0");
    // Version 2.0 has only neutral.
    EXPECT_EQ(Loaded(2, 0, 0x409), "2.0/0");

    // A registered path that does not load gives the loader's result.
    ASSERT_EQ(std::remove(Variant(2, 0, 0).c_str()), 0);
    EXPECT_EQ(Loaded(2, 0, 0, TYPE_E_CANTLOADLIBRARY), "");
    ITypeLib* none = nullptr;
    EXPECT_EQ(LoadRegTypeLib(GUID_NULL, 1, 0, 0, &none), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, nullptr), E_POINTER);
}

TEST_F(TypeLibRegistration, LoadRegTypeLibNeedsALocaleItCanUse)
{
    ASSERT_EQ(RegisterFile(Variant(1, 0, 0x409)), S_OK);
    EXPECT_EQ(Loaded(1, 0, 0x409), "1.0/409");
    EXPECT_EQ(Loaded(1, 0, 0x407, TYPE_E_LIBNOTREGISTERED), "");
}

TEST_F(TypeLibRegistration, UnRegisterRemovesWhatItWroteAndTheLibraryWhenNoVersionIsLeft)
{
    // Reached the way registration code reaches it: by name in oleaut32.dll.
    HMODULE oleaut = LoadLibraryW(u"oleaut32.dll");
    ASSERT_NE(oleaut, nullptr);
    using UnRegister = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    auto unregister =
        reinterpret_cast<UnRegister>(reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
    ASSERT_NE(unregister, nullptr);

    // Someone else's interface stays.
    HKEY other = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Interface\\{00000000-1111-2222-3333-444444444444}\\TypeLib", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSz(other, nullptr, u"{11111111-1111-1111-1111-111111111111}"), ERROR_SUCCESS);
    RegCloseKey(other);

    ASSERT_EQ(RegisterFile(Variant(1, 0, 0)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(1, 0, 0x409)), S_OK);
    ASSERT_EQ(RegisterFile(Variant(1, 2, 0)), S_OK); // the interface now points at 1.2

    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32), S_OK);
    // Another locale of 1.0 is left, so the version stays.
    std::string v10 = "TypeLib\\" + kLibid + "\\1.0";
    EXPECT_FALSE(KeyExists(v10 + "\\0"));
    EXPECT_TRUE(KeyExists(v10 + "\\409\\win32"));
    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 0, 0x409, SYS_WIN64), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 0, 0x409, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists(v10));
    // The interface points at 1.2, which is still there.
    EXPECT_TRUE(KeyExists("Interface\\" + kIid));
    EXPECT_TRUE(KeyExists("TypeLib\\" + kLibid + "\\1.2"));

    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 2, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists("TypeLib\\" + kLibid));
    EXPECT_FALSE(KeyExists("Interface\\" + kIid));
    EXPECT_EQ(Keys("Interface"),
              (std::vector<std::string>{"Interface", "Interface\\{00000000-1111-2222-3333-444444444444}",
                                        "Interface\\{00000000-1111-2222-3333-444444444444}\\TypeLib",
                                        "Interface\\{00000000-1111-2222-3333-444444444444}\\TypeLib|@="
                                        "{11111111-1111-1111-1111-111111111111}"}));
    EXPECT_EQ(unregister(LIBID_TONWELLOBJLib, 1, 2, 0, SYS_WIN32), TYPE_E_LIBNOTREGISTERED);
    FreeLibrary(oleaut);

    // After unregistration the file still loads by path.
    Ptr<ITypeLib> byPath;
    EXPECT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), byPath.Out()), S_OK);
}

// A REG_SZ of an odd byte length is no text: not cut down to one, whoever reads it.
TEST_F(TypeLibRegistration, AnOddSizedTextValueIsNeitherAPathNorAnOwner)
{
    const std::string path = Variant(1, 0, 0);
    ASSERT_EQ(RegisterFile(path), S_OK);
    // Each value as its text and NUL and one byte more: cut to whole units, it would still read right.
    auto oddSized = [](const std::string& key, const std::u16string& text) {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, U16(key).c_str(), 0, KEY_SET_VALUE, &h), ERROR_SUCCESS);
        std::vector<BYTE> data = Bytes(text);
        data.push_back('x');
        EXPECT_EQ(RegSetValueExW(h, nullptr, 0, REG_SZ, data.data(), DWORD(data.size())), ERROR_SUCCESS);
        RegCloseKey(h);
    };
    const std::string v10 = "TypeLib\\" + kLibid + "\\1.0";
    oddSized(v10 + "\\0\\win32", U16(path));
    EXPECT_EQ(Loaded(1, 0, 0, TYPE_E_LIBNOTREGISTERED), "");

    // An interface whose TypeLib value does not plainly name the library is not taken for its own.
    oddSized("Interface\\" + kIid + "\\TypeLib", U16(kLibid));
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists("TypeLib\\" + kLibid));
    EXPECT_TRUE(KeyExists("Interface\\" + kIid + "\\TypeLib"));
}

TEST_F(TypeLibRegistration, ARefusedWriteIsRegistryAccessAndLeavesNothingHalfWritten)
{
    // TypeLib\ is open to everyone, Interface\ is not: registration gets half-way.
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1, &sd,
                                                                     nullptr));
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"TypeLib", 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    LocalFree(sd);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Interface", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ITypeLib* lib = m_lib.get();
    std::vector<LONG> results = RunAsNobody([lib] {
        return std::vector<LONG>{RegisterTypeLib(lib, u"/x/TonwellObj.tlb", u"/x/")};
    });
    EXPECT_EQ(results, (std::vector<LONG>{TYPE_E_REGISTRYACCESS}));
    EXPECT_EQ(Keys("TypeLib"), (std::vector<std::string>{"TypeLib"}));
    EXPECT_EQ(Keys("Interface"), (std::vector<std::string>{"Interface"}));

    // Registered by the superuser, the library cannot be removed by the user.
    ASSERT_EQ(RegisterTypeLib(lib, u"/x/TonwellObj.tlb", u"/x/"), S_OK);
    results = RunAsNobody([] {
        return std::vector<LONG>{UnRegisterTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32)};
    });
    EXPECT_EQ(results, (std::vector<LONG>{TYPE_E_REGISTRYACCESS}));
}

// Each call is one registry transaction: a commit that fails (the disk full) keeps
// nothing of a registration and removes nothing of a removal, and a retry does it all.
TEST_F(TypeLibRegistration, AFailedCommitLeavesTheRegistryAsItWas)
{
    // The two parent keys, as every machine has them (a removal leaves them).
    for (const char16_t* path : {u"TypeLib", u"Interface"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    const std::vector<std::string> noLibraries = Keys("TypeLib");
    const std::vector<std::string> noInterfaces = Keys("Interface");
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE | TONWELL_FAULT_THIS_THREAD, 1);
    EXPECT_EQ(RegisterTypeLib(m_lib.get(), u"/x/TonwellObj.tlb", u"/x/"), TYPE_E_REGISTRYACCESS);
    TonwellFaultDisarm();
    EXPECT_EQ(TonwellFaultCount(), 1u) << "the writes are committed once";
    EXPECT_EQ(Keys("TypeLib"), noLibraries);
    EXPECT_EQ(Keys("Interface"), noInterfaces);

    ASSERT_EQ(RegisterTypeLib(m_lib.get(), u"/x/TonwellObj.tlb", u"/x/"), S_OK);
    const std::vector<std::string> libraries = Keys("TypeLib");
    const std::vector<std::string> interfaces = Keys("Interface");
    ASSERT_NE(libraries, noLibraries);
    ASSERT_NE(interfaces, noInterfaces);
    TonwellFaultArm(TONWELL_FAULT_REGISTRY_WRITE | TONWELL_FAULT_THIS_THREAD, 1);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    TonwellFaultDisarm();
    EXPECT_EQ(TonwellFaultCount(), 1u) << "the deletions are committed once";
    // Still whole, the interface key still naming its library: a retry finds it all.
    EXPECT_EQ(Keys("TypeLib"), libraries);
    EXPECT_EQ(Keys("Interface"), interfaces);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_TONWELLOBJLib, 1, 0, 0, SYS_WIN32), S_OK);
    EXPECT_EQ(Keys("TypeLib"), noLibraries);
    EXPECT_EQ(Keys("Interface"), noInterfaces);
}

TEST_F(TypeLibRegistration, AReadOnlyStoreRefusesRegistration)
{
    // Everyone may write TypeLib\ and Interface\, but the store itself is read-only.
    for (const char16_t* path : {u"TypeLib", u"Interface"}) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:(A;OICI;GA;;;WD)", SDDL_REVISION_1, &sd,
                                                                         nullptr));
        SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        LocalFree(sd);
    }
    ASSERT_EQ(chmod((Root() / "registry.db").c_str(), 0444), 0);
    ITypeLib* lib = m_lib.get();
    std::vector<LONG> results = RunAsNobody([lib] {
        return std::vector<LONG>{RegisterTypeLib(lib, u"/x/TonwellObj.tlb", u"/x/")};
    });
    EXPECT_EQ(results, (std::vector<LONG>{TYPE_E_REGISTRYACCESS}));
    EXPECT_EQ(Keys("TypeLib"), (std::vector<std::string>{"TypeLib"}));
}

} // namespace
