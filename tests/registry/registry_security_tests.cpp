// Descriptor strings, the descriptors keys carry, and what they grant to the
// superuser and to an ordinary user; the read-only store.
#include "registry_test_support.h"

#include <sys/stat.h>

using namespace tonwell::test;

namespace {

constexpr const char16_t* kTraceSddl = u"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GR;;;AU)";

struct Descriptor {
    explicit Descriptor(const char16_t* sddl)
    {
        ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size);
        error = ok ? 0 : GetLastError();
        sa = {sizeof(SECURITY_ATTRIBUTES), sd, FALSE};
    }
    ~Descriptor() { LocalFree(sd); }
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    BOOL ok = FALSE;
    DWORD error = 0;
    SECURITY_ATTRIBUTES sa{};
};

std::u16string ToString(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION info)
{
    LPWSTR text = nullptr;
    ULONG length = 0;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, info, &text, &length))
        return u"<error>";
    std::u16string out(text);
    EXPECT_EQ(length, out.size() + 1);
    LocalFree(text);
    return out;
}

std::u16string KeySddl(HKEY key)
{
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size), ERROR_SUCCESS);
    return ToString(buffer.data(), DACL_SECURITY_INFORMATION);
}

LONG CreateWith(HKEY parent, const char16_t* path, const char16_t* sddl, HKEY* key = nullptr)
{
    Descriptor d(sddl);
    EXPECT_TRUE(d.ok) << d.error;
    HKEY h = nullptr;
    LONG status = RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, &d.sa, &h, nullptr);
    if (key)
        *key = h;
    else if (status == ERROR_SUCCESS)
        RegCloseKey(h);
    return status;
}

TEST(DescriptorStrings, ParseAndWriteBack)
{
    struct Case {
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {kTraceSddl, kTraceSddl},
        {u"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGWGXDTSDCCLC;;;LS)(A;OICI;GRGWGXDTSDCCLC;;;AU)",
         u"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGWGXSDCCLCDT;;;LS)(A;OICI;GRGWGXSDCCLCDT;;;AU)"},
        {u"O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(D;;KW;;;WD)(A;;0x100000;;;S-1-5-21-1-2-3-500)",
         u"O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(D;;KW;;;WD)(A;;0x100000;;;S-1-5-21-1-2-3-500)"},
        {u"D:NO_ACCESS_CONTROL", u"D:NO_ACCESS_CONTROL"},
        {u"O:S-1-5-18G:S-1-5-18", u"O:SYG:SY"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        Descriptor d(c.in);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(GetSecurityDescriptorLength(d.sd), d.size);
        EXPECT_TRUE(IsValidSecurityDescriptor(d.sd));
        EXPECT_EQ(ToString(d.sd, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION),
                  c.out);
    }
    // The flags of each list stay with their own list.
    Descriptor both(u"D:AI(A;;KA;;;SY)S:PAR(AU;SA;KA;;;WD)");
    ASSERT_TRUE(both.ok) << both.error;
    EXPECT_EQ(ToString(both.sd, DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
              u"D:AI(A;;KA;;;SY)S:PAR(AU;SA;KA;;;WD)");
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;KR;;;AU)", SDDL_REVISION_1, &sd,
                                                                     nullptr));
    LocalFree(sd);
}

TEST(DescriptorStrings, SyntaxErrorsAreReported)
{
    struct Case {
        const char16_t* text;
        DWORD error;
    } cases[] = {
        {u"D:(A;OICI;GA;;;XX)", ERROR_INVALID_SID},
        {u"O:ZZ", ERROR_INVALID_SID},
        {u"D:(A;OICI;GA;;;S-2-5)", ERROR_INVALID_SID},
        {u"D:(A;OICI;ZZ;;;SY)", ERROR_INVALID_ACL},
        {u"D:(Q;;GA;;;SY)", ERROR_INVALID_ACL},
        {u"D:(A;XY;GA;;;SY)", ERROR_INVALID_ACL},
        {u"D:(A;;GA;;SY)", ERROR_INVALID_ACL},
        {u"D:(A;;GA;;;SY", ERROR_INVALID_ACL},
        {u"D:(A;;GA;guid;;SY)", ERROR_INVALID_ACL},
        {u"X:(A;;GA;;;SY)", ERROR_INVALID_PARAMETER},
        {u"D:Q(A;;GA;;;SY)", ERROR_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)D:(A;;GA;;;SY)", ERROR_INVALID_PARAMETER},
        {u"D:(A;;GA;;;SY)junk", ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
        SetLastError(0);
        EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.text, SDDL_REVISION_1, &sd, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
        EXPECT_EQ(sd, nullptr);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kTraceSddl, 2, &sd, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1, &sd, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

class KeySecurity : public SharedRootFixture {};

TEST_F(KeySecurity, KeysCarryTheirDescriptorAndInheritIt)
{
    HKEY key = nullptr;
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace", kTraceSddl,
                         &key),
              ERROR_SUCCESS);
    // The explicit entries first, then what the parent passes on.
    std::u16string sddl = KeySddl(key);
    EXPECT_EQ(sddl.rfind(kTraceSddl, 0), 0u) << std::string(sddl.begin(), sddl.end());
    EXPECT_NE(sddl.find(u"(A;OICIID;GR;;;AU)"), std::u16string::npos);

    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, u"TonwellObj.dll", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(KeySddl(child).rfind(u"D:(A;OICIID;GA;;;SY)(A;OICIID;GA;;;BA)(A;OICIID;GA;;;LS)(A;OICIID;GR;;;AU)", 0),
              0u);
    RegCloseKey(child);

    // A protected descriptor takes nothing from its parent.
    ASSERT_EQ(CreateWith(key, u"Sealed", u"D:P(A;;KA;;;SY)", &child), ERROR_SUCCESS);
    EXPECT_EQ(KeySddl(child), u"D:P(A;;KA;;;SY)");
    RegCloseKey(child);
    RegCloseKey(key);

    // An invalid descriptor is refused.
    BYTE junk[24] = {7};
    SECURITY_ATTRIBUTES sa{sizeof sa, junk, FALSE};
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Junk", 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &key,
                              nullptr),
              ERROR_INVALID_SECURITY_DESCR);
}

TEST_F(KeySecurity, ReadOnlyDescriptorForAnOrdinaryUser)
{
    HKEY key = nullptr;
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace", kTraceSddl,
                         &key),
              ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"DefaultTraceFlags", 0x401), ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, u"Module", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(key);

    std::vector<LONG> r = RunAsNobody([] {
        std::vector<LONG> out;
        HKEY k = nullptr;
        const char16_t* path = u"SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace";
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &k));
        out.push_back(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &k,
                                      nullptr));
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k));
        LONG status = 0;
        out.push_back(static_cast<LONG>(ReadDword(k, u"DefaultTraceFlags", &status)));
        out.push_back(status);
        out.push_back(SetDword(k, u"DefaultTraceFlags", 7));
        HKEY sub = nullptr;
        out.push_back(RegCreateKeyExW(k, u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
        out.push_back(RegDeleteKeyW(k, u"Module"));
        out.push_back(RegOpenKeyExW(k, u"Module", 0, KEY_WRITE, &sub));
        RegCloseKey(k);
        // The most it may have: reading only.
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, MAXIMUM_ALLOWED, &k));
        out.push_back(SetDword(k, u"x", 1));
        WCHAR name[16];
        DWORD cch = 16;
        out.push_back(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
        RegCloseKey(k);
        // Registering below HKEY_LOCAL_MACHINE needs write access there.
        out.push_back(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                      u"SOFTWARE\\Corvantis\\Windows\\CurrentVersion\\StillImage\\PlugIns", 0,
                                      nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &k, nullptr));
        // The user's own hive is writable.
        out.push_back(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Tonwell", 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &k, nullptr));
        out.push_back(SetDword(k, u"v", 1));
        RegCloseKey(k);
        return out;
    });
    std::vector<LONG> expected = {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS, 0x401,
                                  ERROR_SUCCESS,       ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                                  ERROR_ACCESS_DENIED, ERROR_SUCCESS,       ERROR_ACCESS_DENIED, ERROR_SUCCESS,
                                  ERROR_ACCESS_DENIED, ERROR_SUCCESS,       ERROR_SUCCESS};
    EXPECT_EQ(r, expected);

    // Nothing the child tried changed the store.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\StillImage\\Trace", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"DefaultTraceFlags"), 0x401u);
    EXPECT_EQ(RegOpenKeyExW(key, u"Module", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvantis", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(KeySecurity, DenyEntriesCountInOrder)
{
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SOFTWARE\\DenyFirst", u"D:(D;;KW;;;AU)(A;;KA;;;WD)"), ERROR_SUCCESS);
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SOFTWARE\\AllowFirst", u"D:(A;;KA;;;WD)(D;;KW;;;AU)"), ERROR_SUCCESS);
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadAll", u"D:P(A;;KR;;;WD)"), ERROR_SUCCESS);
    std::vector<LONG> r = RunAsNobody([] {
        std::vector<LONG> out;
        HKEY k = nullptr;
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\DenyFirst", 0, KEY_SET_VALUE, &k));
        // KW holds READ_CONTROL too, so only the plain rights remain.
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\DenyFirst", 0, KEY_READ, &k));
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\DenyFirst", 0,
                                    KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &k));
        RegCloseKey(k);
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\AllowFirst", 0, KEY_ALL_ACCESS, &k));
        RegCloseKey(k);
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadAll", 0, GENERIC_READ, &k));
        RegCloseKey(k);
        return out;
    });
    EXPECT_EQ(r, (std::vector<LONG>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS,
                                    ERROR_SUCCESS}));

    // A protected descriptor binds the superuser too, beyond what ownership gives.
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadAll", 0, KEY_ALL_ACCESS, &k), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ReadAll", 0, KEY_READ, &k), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(k, u"v", 1), ERROR_ACCESS_DENIED);
    RegCloseKey(k);
}

TEST_F(KeySecurity, MachineStoreIsReadOnlyForOtherUsersWhateverTheDescriptorSays)
{
    HKEY key = nullptr;
    ASSERT_EQ(CreateWith(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Open", u"D:(A;OICI;GA;;;WD)", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"kept", 42), ERROR_SUCCESS);
    RegCloseKey(key);

    std::vector<LONG> r = RunAsNobody([] {
        std::vector<LONG> out;
        HKEY k = nullptr;
        out.push_back(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Open", 0, KEY_ALL_ACCESS, &k));
        out.push_back(static_cast<LONG>(ReadDword(k, u"kept")));
        out.push_back(SetDword(k, u"kept", 1));
        out.push_back(SetDword(k, u"new", 1));
        out.push_back(RegDeleteValueW(k, u"kept"));
        HKEY sub = nullptr;
        out.push_back(RegCreateKeyExW(k, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
        RegCloseKey(k);
        out.push_back(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Open"));
        // The user's own hive is another file, theirs to write.
        out.push_back(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                      nullptr));
        out.push_back(SetDword(k, u"mine", 1));
        out.push_back(static_cast<LONG>(ReadDword(k, u"mine")));
        RegCloseKey(k);
        return out;
    });
    EXPECT_EQ(r, (std::vector<LONG>{ERROR_SUCCESS, 42, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
                                    ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS, ERROR_SUCCESS, 1}));

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Open", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"kept"), 42u);
    LONG status = 0;
    ReadDword(key, u"new", &status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    // The superuser reaches the user's hive through HKEY_USERS.
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-65534\\Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"mine"), 1u);
    RegCloseKey(key);
}

} // namespace
