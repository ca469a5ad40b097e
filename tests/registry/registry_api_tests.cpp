// The registry API: keys, values, handles, names and the status codes the
// platform answers with.
#include "registry_test_support.h"

#include <cstring>
#include <sqlite3.h>
#include <thread>

using namespace tonwell::test;

namespace {

class RegistryApi : public MachineRootFixture {
protected:
    HKEY Create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr, REGSAM sam = KEY_ALL_ACCESS)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryApi, CreateOpenAndDispositionWithMissingParentsMade)
{
    DWORD disposition = 0;
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tonwell\\Deep\\Leaf", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = Create(HKEY_LOCAL_MACHINE, u"software\\TONWELL\\deep\\leaf\\", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tonwell\\Deep", 0, KEY_READ, &parent), ERROR_SUCCESS);
    // The name keeps the case it was created with.
    WCHAR name[64];
    DWORD cch = 64;
    ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Leaf");
    EXPECT_EQ(cch, 4u);
    cch = 64;
    EXPECT_EQ(RegEnumKeyExW(parent, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(parent);

    HKEY missing = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &missing), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Tonwell", 0, KEY_READ, &missing),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &missing, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, NamesFoldBeyondAscii)
{
    HKEY key = Create(HKEY_CURRENT_USER, u"Caf\u00e9\\\u0434\u043e\u043c");
    ASSERT_EQ(SetSz(key, u"\u00fcber", u"x"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"CAF\u00c9\\\u0414\u041e\u041c", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Read(key, u"\u00dcBER", type, data), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryApi, ValuesKeepTypeAndExactBytes)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Values");
    struct Case {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {u"sz", REG_SZ, Bytes(u"hello")},
        {u"unterminated", REG_SZ, Bytes(u"abc", false)},
        {u"expand", REG_EXPAND_SZ, Bytes(u"%SystemRoot%\\x")},
        {u"multi", REG_MULTI_SZ, Bytes(std::u16string(u"a\0bc\0", 5))},
        {u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"short dword", REG_DWORD, {0x01, 0x02}},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"binary", REG_BINARY, {0, 255, 0, 7}},
        {u"empty", REG_BINARY, {}},
        {u"odd type", 0x12345, {9, 8, 7}},
        {u"", REG_SZ, Bytes(u"the default")},
    };
    for (const Case& c : cases)
        ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type, c.data.data(), static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS)
            << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    for (const Case& c : cases) {
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(Read(key, c.name, type, data), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
    // A null name is the default value.
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Read(key, nullptr, type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"the default"));

    // Rewriting keeps the name's first spelling and its place.
    ASSERT_EQ(SetDword(key, u"SZ", 5), ERROR_SUCCESS);
    WCHAR name[32];
    DWORD cch = 32;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"sz");
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    RegCloseKey(key);
}

TEST_F(RegistryApi, QuerySizeProtocol)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Sizes");
    ASSERT_EQ(SetSz(key, u"name", u"Automatically Fix Exposure"), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 54u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE small[10];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"name", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 54u);

    EXPECT_EQ(RegQueryValueExW(key, u"name", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"name", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    // A DWORD read into 4 bytes; a longer value does not fit.
    ASSERT_EQ(SetSz(key, u"level", u"5"), ERROR_SUCCESS);
    LONG status = 0;
    EXPECT_EQ(ReadDword(key, u"level", &status), 0x35u);
    EXPECT_EQ(status, ERROR_SUCCESS);
    BYTE q[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetValueExW(key, u"mask", 0, REG_QWORD, q, 8), ERROR_SUCCESS);
    ReadDword(key, u"mask", &status);
    EXPECT_EQ(status, ERROR_MORE_DATA);

    // Enumeration reports the same sizes.
    WCHAR name[4];
    DWORD cch = 4;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    WCHAR longName[8];
    cch = 8;
    size = 2;
    EXPECT_EQ(RegEnumValueW(key, 0, longName, &cch, nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 54u);
    cch = 8;
    EXPECT_EQ(RegEnumValueW(key, 3, longName, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryApi, DeleteValuesAndKeys)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Del\\Child");
    ASSERT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"v"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetDword(key, u"v", 2), ERROR_SUCCESS);

    HKEY parent = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Del");
    // A key with subkeys is refused; its values are kept.
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent, u"child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, u"child"), ERROR_FILE_NOT_FOUND);

    // The open handle now answers ERROR_KEY_DELETED, even after a key of the
    // same name is made again.
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Read(key, u"v", type, data), ERROR_KEY_DELETED);
    HKEY again = Create(parent, u"Child");
    EXPECT_EQ(SetDword(key, u"v", 3), ERROR_KEY_DELETED);
    EXPECT_EQ(Read(again, u"v", type, data), ERROR_FILE_NOT_FOUND);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"x", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    RegCloseKey(again);

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Del\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Del"), ERROR_SUCCESS);
    RegCloseKey(parent);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    // The keys behind the predefined handles stay.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryApi, HandlesAndPredefinedKeys)
{
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\H");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_INVALID_HANDLE);
    HKEY out = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_READ, &out), ERROR_INVALID_HANDLE);

    // HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
    key = Create(HKEY_CLASSES_ROOT, u"TonwellObj.TonwellExposure");
    ASSERT_EQ(SetSz(key, nullptr, u"TonwellExposure Class"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\TonwellObj.TonwellExposure", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Read(key, nullptr, type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"TonwellExposure Class"));
    RegCloseKey(key);

    // The current user's keys live in that user's hive below HKEY_USERS.
    key = Create(HKEY_CURRENT_USER, u"Software\\Mine");
    RegCloseKey(key);
    std::u16string hive = u"S-1-22-1-" + [] {
        std::string s = std::to_string(geteuid());
        return std::u16string(s.begin(), s.end());
    }() + u"\\Software\\Mine";
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, hive.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    key = Create(HKEY_CURRENT_CONFIG, u"Cfg");
    RegCloseKey(key);

    // The performance root holds nothing; the dynamic-data root is not there.
    EXPECT_EQ(RegOpenKeyExW(HKEY_PERFORMANCE_DATA, nullptr, 0, KEY_READ, &out), ERROR_SUCCESS);
    EXPECT_EQ(out, HKEY_PERFORMANCE_DATA);
    DWORD subKeys = 7;
    EXPECT_EQ(RegQueryInfoKeyW(HKEY_PERFORMANCE_DATA, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    WCHAR name[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(HKEY_PERFORMANCE_DATA, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_DYN_DATA, nullptr, 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApi, QueryInfoCountsAndLengths)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Info", 0, const_cast<LPWSTR>(u"MyClass"), 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    HKEY a = Create(key, u"a");
    HKEY b = Create(key, u"LongerName");
    RegCloseKey(a);
    RegCloseKey(b);
    ASSERT_EQ(SetSz(key, u"value", u"0123456789"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    WCHAR cls[16];
    DWORD cchClass = 16, subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0, sd = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyW(key, cls, &cchClass, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                               &maxData, &sd, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(cls, cchClass), u"MyClass");
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 10u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 5u);
    EXPECT_EQ(maxData, 22u);
    EXPECT_GT(sd, 20u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    // Subkeys enumerate in name order, letter case ignored.
    WCHAR name[32];
    DWORD cch = 32;
    ASSERT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"LongerName");
    cch = 5;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST_F(RegistryApi, LengthLimits)
{
    std::u16string longest(255, u'k');
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    std::u16string tooLong(256, u'k');
    HKEY other = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetDword(key, std::u16string(16383, u'v').c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, std::u16string(16384, u'v').c_str(), 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryApi, AnsiFormsConvertNamesAndStrings)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ansi\\Caf\xc3\xa9", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char multi[] = "host.exe\0caf\xc3\xa9.exe\0";
    ASSERT_EQ(RegSetValueExA(key, "Suppress", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
              ERROR_SUCCESS);
    // Stored as UTF-16, read back as UTF-8 with the same size rules.
    DWORD type = 0;
    std::vector<BYTE> wide;
    ASSERT_EQ(Read(key, u"suppress", type, wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, Bytes(std::u16string(u"host.exe\0caf\u00e9.exe\0\0", 19), false));
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "SUPPRESS", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof multi);
    std::vector<BYTE> narrow(size);
    ASSERT_EQ(RegQueryValueExA(key, "SUPPRESS", nullptr, &type, narrow.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(0, std::memcmp(narrow.data(), multi, sizeof multi));
    // Binary data passes untouched.
    DWORD flags = 0x401;
    ASSERT_EQ(RegSetValueExA(key, "TraceFlags", 0, REG_DWORD, reinterpret_cast<BYTE*>(&flags), 4), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"TraceFlags"), 0x401u);
    RegCloseKey(key);

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\ansi", 0, KEY_READ, &parent), ERROR_SUCCESS);
    char name[16];
    DWORD cch = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, cch), "Caf\xc3\xa9");
    EXPECT_EQ(RegDeleteKeyA(parent, "CAF\xc3\x89"), ERROR_SUCCESS);
    RegCloseKey(parent);
}

TEST_F(RegistryApi, VolatileKeysTakeOnlyVolatileChildren)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Session", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"Stable", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(RegCreateKeyExW(key, u"Passing", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(key);
}

TEST_F(RegistryApi, ThreadsShareHandlesAndStore)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([key, t] {
            for (int i = 0; i < 50; ++i) {
                std::u16string name = u"t" + std::u16string(1, static_cast<char16_t>(u'0' + t)) + u"-" +
                                      std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                      std::u16string(1, static_cast<char16_t>(u'a' + i / 26));
                EXPECT_EQ(SetDword(key, name.c_str(), static_cast<DWORD>(i)), ERROR_SUCCESS);
                HKEY own = nullptr;
                EXPECT_EQ(RegOpenKeyExW(key, nullptr, 0, KEY_READ, &own), ERROR_SUCCESS);
                EXPECT_EQ(ReadDword(own, name.c_str()), static_cast<DWORD>(i));
                EXPECT_EQ(RegCloseKey(own), ERROR_SUCCESS);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 200u);
    RegCloseKey(key);
}

TEST_F(RegistryApi, ANewRootIsANewStore)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\First");
    std::string other = Root().string() + "-second";
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    setenv("TONWELL_ROOT", other.c_str(), 1);
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\First", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    // A handle of the first store means nothing in the second.
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_INVALID_HANDLE);
    setenv("TONWELL_ROOT", Root().c_str(), 1);
    EXPECT_EQ(SetDword(key, u"v", 1), ERROR_SUCCESS);
    RegCloseKey(key);
    std::error_code ec;
    std::filesystem::remove_all(other, ec);
}

// The A forms convert through the platform's codec and refuse what does not
// convert: nothing is created or overwritten under a mangled name.
TEST_F(RegistryApi, AnsiFormsRefuseTextThatIsNotUtf8)
{
    HKEY missing = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bad\\ab\xC0\x80" "cd", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &missing, nullptr),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bad", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND)
        << "not even the valid parent was made";

    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Bad");
    DWORD one = 1, two = 2;
    EXPECT_EQ(RegSetValueExA(key, "bad\xFF", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RegSetValueExA(key, "bad\xFE", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RegSetValueExA(key, "ab\xC0\x80" "cd", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RegSetValueExA(key, "surrogate\xED\xA0\x80", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_NO_UNICODE_TRANSLATION);
    const char badText[] = "caf\xE9";
    EXPECT_EQ(RegSetValueExA(key, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>(badText), sizeof badText),
              ERROR_NO_UNICODE_TRANSLATION)
        << "string data is text too";
    DWORD values = 99;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u) << "no value was written under a mangled name";

    // Every other A form refuses the same way instead of looking up U+FFFD.
    ASSERT_EQ(SetDword(key, u"bad\uFFFD", 3), ERROR_SUCCESS);
    DWORD size = 4, data = 0;
    EXPECT_EQ(RegQueryValueExA(key, "bad\xFF", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RegDeleteValueA(key, "bad\xFF"), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(ReadDword(key, u"bad\uFFFD"), 3u);
    EXPECT_EQ(RegOpenKeyExA(key, "x\xFF", 0, KEY_READ, &missing), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RegDeleteKeyA(key, "x\xFF"), ERROR_NO_UNICODE_TRANSLATION);
    RegCloseKey(key);
}

TEST_F(RegistryApi, AnsiFormsGoThroughTheWideForms)
{
    HKEY key = Create(HKEY_CURRENT_USER, u"Ansi");
    HKEY sub = Create(key, u"\u00c9t\u00e9");
    RegCloseKey(sub);
    std::u16string longName(300, u'\u00e9');
    ASSERT_EQ(SetSz(key, longName.c_str(), u"\u20ac\u20ac"), ERROR_SUCCESS);
    // The A lengths are in bytes and bound what the other A forms return.
    DWORD maxSub = 0, maxName = 0, maxData = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, &values, &maxName,
                               &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(maxSub, 5u);
    EXPECT_GE(maxName, 600u);
    EXPECT_GE(maxData, 7u);
    std::vector<char> name(maxName + 1);
    std::vector<BYTE> data(maxData);
    DWORD cchName = maxName + 1, cbData = maxData, type = 0;
    ASSERT_EQ(RegEnumValueA(key, 0, name.data(), &cchName, nullptr, &type, data.data(), &cbData), ERROR_SUCCESS);
    EXPECT_EQ(cchName, 600u);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()), cbData), std::string("\xE2\x82\xAC\xE2\x82\xAC", 7));
    cchName = maxName + 1;
    cbData = 3;
    EXPECT_EQ(RegEnumValueA(key, 0, name.data(), &cchName, nullptr, nullptr, data.data(), &cbData), ERROR_MORE_DATA);
    EXPECT_EQ(cbData, 7u) << "the size needed, in UTF-8 bytes";
    char keyName[16];
    DWORD cchKey = sizeof keyName, cchClass = 0;
    ASSERT_EQ(RegEnumKeyExA(key, 0, keyName, &cchKey, nullptr, nullptr, &cchClass, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(keyName, cchKey), "\xC3\x89t\xC3\xA9");
    EXPECT_EQ(cchClass, 0u);
    RegCloseKey(key);
}

// One folding: names compare as lstrcmpiW compares them.
TEST_F(RegistryApi, NamesFoldAsTheStringFunctionsDo)
{
    HKEY key = Create(HKEY_CURRENT_USER, u"Fold");
    DWORD disposition = 0;
    HKEY a = Create(key, u"\u01ce", &disposition);
    RegCloseKey(a);
    a = Create(key, u"\u01cd", &disposition);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY)) << "\u01ce and \u01cd are one key";
    RegCloseKey(a);
    ASSERT_EQ(SetDword(key, u"\u00b5", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"\u039c", 2), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, u"\u03bc"), 2u) << "micro sign and mu are one value";
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    EXPECT_EQ(values, 1u);
    // Names are kept exactly, lone surrogates included.
    std::u16string odd = std::u16string(u"x") + char16_t(0xD800) + u"y";
    ASSERT_EQ(SetDword(key, odd.c_str(), 3), ERROR_SUCCESS);
    WCHAR name[8];
    DWORD cch = 8;
    ASSERT_EQ(RegEnumValueW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), odd);
    RegCloseKey(key);
}

// A store whose folded names were computed by an earlier folding: the keys
// "\u01ce" and "\u01cd" were two, and "\u0131" folded to "\u0130".
TEST_F(RegistryApi, AStoreOfAnEarlierFoldingIsRefoldedOnItsFirstUse)
{
    std::string root = Root().string() + "-old";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    setenv("TONWELL_ROOT", root.c_str(), 1);
    // Made by another process, so that this one meets the store only once it is old.
    pid_t pid = fork();
    if (pid == 0) {
        HKEY key = nullptr;
        bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Fold", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr) == ERROR_SUCCESS;
        for (const char16_t* name : {u"K1", u"K2", u"K3"}) {
            HKEY sub = nullptr;
            ok = ok && RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS;
            ok = ok && SetDword(sub, u"which", DWORD(name[1] - u'0')) == ERROR_SUCCESS;
            RegCloseKey(sub);
        }
        ok = ok && SetDword(key, u"V1", 7) == ERROR_SUCCESS;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/registry.db").c_str(), &db), SQLITE_OK);
    const char* old = "DROP TABLE IF EXISTS folding;"
                      "UPDATE keys SET name='\xC7\x8E', fold='\xC7\x8E' WHERE name='K1';"
                      "UPDATE keys SET name='\xC7\x8D', fold='\xC7\x8D' WHERE name='K2';"
                      "UPDATE keys SET name='\xC4\xB1', fold='\xC4\xB0' WHERE name='K3';"
                      "UPDATE vals SET name='v\xC7\x8E', fold='V\xC7\x8E' WHERE name='V1';";
    ASSERT_EQ(sqlite3_exec(db, old, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    HKEY fold = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Fold", 0, KEY_ALL_ACCESS, &fold), ERROR_SUCCESS);
    auto which = [&](const char16_t* name) {
        HKEY sub = nullptr;
        LONG s = RegOpenKeyExW(fold, name, 0, KEY_READ, &sub);
        if (s != ERROR_SUCCESS)
            return -long(s);
        DWORD value = ReadDword(sub, u"which");
        RegCloseKey(sub);
        return long(value);
    };
    // Both keys keep their data: the one whose folded name did not change
    // keeps it, the other is reached by its exact spelling.
    EXPECT_EQ(which(u"\u01ce"), 1);
    EXPECT_EQ(which(u"\u01cd"), 2);
    EXPECT_EQ(which(u"\u0131"), 3);
    EXPECT_EQ(which(u"\u0130"), -ERROR_FILE_NOT_FOUND) << "dotless i no longer folds to the dotted capital";
    DWORD subKeys = 0;
    RegQueryInfoKeyW(fold, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(ReadDword(fold, u"V\u01cd"), 7u) << "values are refolded too";
    // With the shadowed key gone, every spelling reaches the one left.
    EXPECT_EQ(RegDeleteKeyW(fold, u"\u01ce"), ERROR_SUCCESS);
    EXPECT_EQ(which(u"\u01ce"), 2);
    DWORD disposition = 0;
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExW(fold, u"\u01CE", 0, nullptr, 0, KEY_READ, nullptr, &again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);
    RegCloseKey(fold);

    ASSERT_EQ(sqlite3_open((root + "/registry.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT version FROM folding", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 1) << "the store now says which folding its names have";
    sqlite3_finalize(s);
    sqlite3_close(db);
    setenv("TONWELL_ROOT", Root().c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

} // namespace
