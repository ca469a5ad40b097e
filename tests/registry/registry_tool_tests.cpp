// `tonwell reg`: query, add, delete, export and import through the real binary.
#include "registry_test_support.h"
#include "run_tool.h"

#include <tonwell_posix_registry.h>

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <spawn.h>

using namespace tonwell::test;

namespace {

using Result = ToolRun;

class RegTool : public MachineRootFixture {
protected:
    // Runs the tool with no terminal on its input; standard output and error together.
    Result Reg(const std::vector<std::string>& args) { return RunTonwell("reg", args, {.mergeErr = true, .env = {}}); }

    std::vector<std::pair<std::u16string, std::pair<DWORD, std::vector<BYTE>>>> Values(const char16_t* path)
    {
        std::vector<std::pair<std::u16string, std::pair<DWORD, std::vector<BYTE>>>> out;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return out;
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD cch = 256, type = 0, size = 0;
            if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                break;
            std::vector<BYTE> data;
            Read(key, std::u16string(name, cch).c_str(), type, data);
            out.push_back({std::u16string(name, cch), {type, data}});
        }
        RegCloseKey(key);
        return out;
    }

    // Every key below `path` (itself included) with its values, in order.
    using Tree = std::map<std::u16string, std::vector<std::pair<std::u16string, std::pair<DWORD, std::vector<BYTE>>>>>;
    Tree Snapshot(const std::u16string& path)
    {
        Tree tree;
        tree[path] = Values(path.c_str());
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {};
        std::vector<std::u16string> children = SubKeys(key);
        RegCloseKey(key);
        for (const auto& child : children)
            tree.merge(Snapshot(path + u"\\" + child));
        return tree;
    }

    // How many values the key has; 0 when it is not there.
    DWORD ValueCount(const char16_t* path)
    {
        HKEY key = nullptr;
        DWORD values = 0;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
        return values;
    }

    std::string Slurp(const std::filesystem::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    void Write(const std::filesystem::path& file, const std::string& bytes)
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
};

constexpr const char* kOk = "The operation completed successfully.\n";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegTool, AddAndQuery)
{
    const std::string key = "HKLM\\SOFTWARE\\Tool";
    EXPECT_EQ(Reg({"add", key, "/v", "Str", "/d", "hello world"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Num", "/t", "REG_DWORD", "/d", "0x2a"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Dec", "/t", "reg_dword", "/d", "4294967295"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Sep", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "x#y"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Bin", "/t", "REG_BINARY", "/d", "01fF"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/v", "Q", "/t", "REG_QWORD", "/d", "0x100000000"}).out, kOk);
    EXPECT_EQ(Reg({"add", key, "/ve", "/d", "default"}).out, kOk);
    EXPECT_EQ(Reg({"add", key + "\\Sub"}).out, kOk);

    Result r = Reg({"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "\n"
                     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\n"
                     "    Str    REG_SZ    hello world\n"
                     "    Num    REG_DWORD    0x2a\n"
                     "    Dec    REG_DWORD    0xffffffff\n"
                     "    Multi    REG_MULTI_SZ    a\\0bc\n"
                     "    Sep    REG_MULTI_SZ    x\\0y\n"
                     "    Bin    REG_BINARY    01FF\n"
                     "    Q    REG_QWORD    0x100000000\n"
                     "    (Default)    REG_SZ    default\n"
                     "\n"
                     "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Sub\n"
                     "\n");
    EXPECT_EQ(Reg({"query", key, "/v", "num"}).out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\n"
                                                    "    num    REG_DWORD    0x2a\n\n");
    EXPECT_EQ(Reg({"query", key + "\\Sub", "/ve"}).out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Tool\\Sub\n"
                                                        "    (Default)    REG_SZ    (value not set)\n\n");
    r = Reg({"query", "hklm\\software", "/v", "Str", "/s"});
    EXPECT_EQ(r.out, "\nHKEY_LOCAL_MACHINE\\software\\Tool\n    Str    REG_SZ    hello world\n\n");

    // What the tool wrote is what the API reads.
    auto values = Values(u"SOFTWARE\\Tool");
    ASSERT_EQ(values.size(), 8u);
    EXPECT_EQ(values[3].second.second, Bytes(std::u16string(u"a\0bc\0", 5)));
    EXPECT_EQ(values[5].second.second, (std::vector<BYTE>{0x01, 0xFF}));

    r = Reg({"query", "HKLM\\SOFTWARE\\Nowhere"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out, kNotFound);
    r = Reg({"query", key, "/v", "Absent"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out, kNotFound);
    // A wrong command line is told apart from a failed operation.
    EXPECT_EQ(Reg({"query", "HKXX\\Foo"}).exit, 2);
    EXPECT_EQ(Reg({"query"}).exit, 2);
    EXPECT_EQ(Reg({}).exit, 2);
    EXPECT_EQ(Reg({"frobnicate", key}).exit, 2);
    EXPECT_EQ(Reg({"add", key, "/v"}).exit, 2);
    r = Reg({"add", key, "/v", "bad\xff", "/d", "1"});
    EXPECT_EQ(r.exit, 2);
    EXPECT_EQ(r.out, "ERROR: An argument is not well-formed UTF-8 text.\n");
}

TEST_F(RegTool, AddRefusesBadDataAndKeepsExistingValuesWithoutForce)
{
    const std::string key = "HKCU\\Software\\Tool";
    ASSERT_EQ(Reg({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "7"}).exit, 0);
    Result r = Reg({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "8"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("exists"), std::string::npos);
    for (const char* bad : {"x12", "0x1FFFFFFFF", "-1", "12 "}) {
        r = Reg({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", bad, "/f"});
        EXPECT_EQ(r.exit, 2) << bad;
        EXPECT_EQ(r.out.rfind("ERROR: Invalid value", 0), 0u) << r.out;
    }
    EXPECT_EQ(Reg({"add", key, "/v", "B", "/t", "REG_BINARY", "/d", "abc"}).exit, 2);
    EXPECT_EQ(Reg({"add", key, "/v", "T", "/t", "REG_WHATEVER", "/d", "1"}).exit, 2);
    EXPECT_EQ(Reg({"query", key, "/v", "N"}).out, "\nHKEY_CURRENT_USER\\Software\\Tool\n    N    REG_DWORD    0x7\n\n");
    EXPECT_EQ(Reg({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "8", "/f"}).exit, 0);
    EXPECT_EQ(Reg({"query", key, "/v", "N"}).out, "\nHKEY_CURRENT_USER\\Software\\Tool\n    N    REG_DWORD    0x8\n\n");
}

TEST_F(RegTool, DeleteValuesAndTrees)
{
    const std::string key = "HKLM\\SOFTWARE\\Doomed";
    ASSERT_EQ(Reg({"add", key + "\\A\\B", "/v", "x", "/d", "1"}).exit, 0);
    ASSERT_EQ(Reg({"add", key, "/v", "one", "/d", "1"}).exit, 0);
    ASSERT_EQ(Reg({"add", key, "/v", "two", "/d", "2"}).exit, 0);
    ASSERT_EQ(Reg({"add", key, "/ve", "/d", "d"}).exit, 0);

    // No terminal to ask on: refused without /f.
    Result r = Reg({"delete", key});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("/f"), std::string::npos);
    EXPECT_EQ(Reg({"query", key, "/v", "one"}).exit, 0);

    EXPECT_EQ(Reg({"delete", key, "/v", "ONE", "/f"}).out, kOk);
    EXPECT_EQ(Reg({"delete", key, "/v", "one", "/f"}).out, kNotFound);
    EXPECT_EQ(Reg({"delete", key, "/ve", "/f"}).out, kOk);
    EXPECT_EQ(Reg({"delete", key, "/va", "/f"}).out, kOk);
    EXPECT_TRUE(Values(u"SOFTWARE\\Doomed").empty());
    EXPECT_EQ(Reg({"query", key + "\\A\\B", "/v", "x"}).exit, 0);

    EXPECT_EQ(Reg({"delete", key, "/f"}).out, kOk);
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Doomed", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Reg({"delete", key, "/f"}).out, kNotFound);
    EXPECT_EQ(Reg({"delete", "HKLM", "/f"}).exit, 2);
}

TEST_F(RegTool, ExportImportRoundTrip)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Round\\Child \"quoted\"", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSz(key, u"path", u"C:\\dir\\\"x\"\u00e9"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Round", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    std::vector<BYTE> blob(200);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<BYTE>(i * 7);
    std::vector<BYTE> unterminated = Bytes(u"no end", false);
    std::vector<BYTE> multi = Bytes(std::u16string(u"a\0b\0", 4));
    std::vector<BYTE> expand = Bytes(u"%SystemRoot%\\Debug");
    BYTE qword[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BYTE odd[3] = {9, 9, 9};
    ASSERT_EQ(SetSz(key, nullptr, u"default"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"dword", 0xDEADBEEF), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"blob", 0, REG_BINARY, blob.data(), 200), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"raw", 0, REG_SZ, unterminated.data(), 12), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"multi", 0, REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size())),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"expand", 0, REG_EXPAND_SZ, expand.data(), static_cast<DWORD>(expand.size())),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"qword", 0, REG_QWORD, qword, 8), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"odd", 0, 0x1234, odd, 3), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"none", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);
    auto before = Values(u"SOFTWARE\\Round");
    auto childBefore = Values(u"SOFTWARE\\Round\\Child \"quoted\"");

    std::string file = (Root() / "out.reg").string();
    ASSERT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Round", file}).out, kOk);
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::u16string text((bytes.size() - 2) / 2, u'\0');
    std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
    EXPECT_EQ(text.rfind(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Round]\r\n"
                         u"@=\"default\"\r\n\"dword\"=dword:deadbeef\r\n\"blob\"=hex:00,07,0e,",
                         0),
              0u);
    EXPECT_NE(text.find(u"\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"), std::u16string::npos);
    EXPECT_NE(text.find(u"\"odd\"=hex(1234):09,09,09\r\n"), std::u16string::npos);
    EXPECT_NE(text.find(u"\"path\"=\"C:\\\\dir\\\\\\\"x\\\"\u00e9\"\r\n"), std::u16string::npos);
    // Long data is wrapped, every line within 80 characters.
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(u"\r\n", start);
        EXPECT_LE(end - start, 80u);
        start = end + 2;
    }
    // An existing file is not overwritten without /y.
    EXPECT_EQ(Reg({"export", "HKLM\\SOFTWARE\\Round", file}).exit, 1);

    ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Round", "/f"}).exit, 0);
    ASSERT_TRUE(Values(u"SOFTWARE\\Round").empty());
    EXPECT_EQ(Reg({"import", file}).out, kOk);
    EXPECT_EQ(Values(u"SOFTWARE\\Round"), before);
    EXPECT_EQ(Values(u"SOFTWARE\\Round\\Child \"quoted\""), childBefore);
}

TEST_F(RegTool, ImportUtf8WithDeletionsAndRejectsMalformedFiles)
{
    ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Imp\\Gone", "/v", "x", "/d", "1"}).exit, 0);
    ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Imp", "/v", "old", "/d", "1"}).exit, 0);
    std::string file = (Root() / "in.reg").string();
    {
        std::ofstream out(file, std::ios::binary);
        out << "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
               "; a comment\n"
               "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Gone]\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n"
               "\"old\"=-\n"
               "@=\"def\"\n"
               "\"TraceFlags\"=dword:00000401\n"
               "\"list\"=hex(7):68,00,6f,00,73,00,74,00,2e,00,65,00,78,00,65,00,00,00,\\\n"
               "  00,00\n"
               "\"caf\xc3\xa9\"=\"\xc3\xa9t\xc3\xa9\"\n";
    }
    EXPECT_EQ(Reg({"import", file}).out, kOk);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Imp\\Gone", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Imp", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Read(key, u"old", type, data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadDword(key, u"TraceFlags"), 0x401u);
    ASSERT_EQ(Read(key, u"list", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(data, Bytes(std::u16string(u"host.exe\0", 9)));
    ASSERT_EQ(Read(key, u"caf\u00e9", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"\u00e9t\u00e9"));
    RegCloseKey(key);

    // A bad line anywhere: nothing at all is changed.
    for (const char* body : {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n\"TraceFlags\"=dword:1\n\"x\"=dword:zz\n",
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n\"TraceFlags\"=dword:1\n\"x\"=hex:1,2,300\n",
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\n\"TraceFlags\"=dword:1\n\"unterminated=\"x\"\n",
                             "[HKEY_NOWHERE\\Imp]\n\"TraceFlags\"=dword:1\n"}) {
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
        }
        Result r = Reg({"import", file});
        EXPECT_EQ(r.exit, 1) << body;
        EXPECT_EQ(r.out.rfind("ERROR: ", 0), 0u) << r.out;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Imp", 0, KEY_READ, &key), ERROR_SUCCESS);
        EXPECT_EQ(ReadDword(key, u"TraceFlags"), 0x401u);
        RegCloseKey(key);
    }
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "not a registry file\n";
    }
    EXPECT_EQ(Reg({"import", file}).exit, 1);
    EXPECT_EQ(Reg({"import", (Root() / "missing.reg").string()}).exit, 1);
}

// Random names and data of every type: what export writes, import gives back
// byte for byte.
class RoundTrip {
public:
    explicit RoundTrip(unsigned seed) : m_random(seed) {}

    std::u16string Name(bool forKey)
    {
        // Quotes, backslashes, brackets, "=hex", '@', ';', non-ASCII, a pair of surrogates.
        static const std::u16string kPieces[] = {u"a", u"Z", u"0", u" ", u"\"", u"[", u"]", u"@", u"=hex", u";",
                                                  u"#", u"\u00e9", u"\u20ac", u"\U0001F600", u"\\", u"-", u"\t"};
        std::u16string name;
        size_t length = Below(6) + (forKey ? 1 : 0);
        while (name.size() < length) {
            const std::u16string& piece = kPieces[Below(std::size(kPieces))];
            if (forKey && piece == u"\\")
                continue;
            name += piece;
        }
        if (forKey && name.size() > 200)
            name.resize(200);
        // A key name with "]" before a ";" would read as a header with a
        // comment; export refuses those (tested on its own).
        for (size_t close = name.find(u']'); forKey && close != std::u16string::npos;
             close = name.find(u']', close + 1)) {
            size_t next = name.find_first_not_of(u" \t", close + 1);
            if (next != std::u16string::npos && name[next] == u';')
                return Name(forKey);
        }
        return name;
    }

    std::pair<DWORD, std::vector<BYTE>> Data()
    {
        static const DWORD kTypes[] = {REG_SZ,        REG_SZ,       REG_SZ,    REG_EXPAND_SZ, REG_MULTI_SZ,
                                       REG_DWORD,     REG_QWORD,    REG_BINARY, REG_NONE,     REG_DWORD_BIG_ENDIAN,
                                       REG_LINK,      0x12345678u};
        DWORD type = kTypes[Below(std::size(kTypes))];
        std::vector<BYTE> data;
        if (IsText(type) && Below(4) != 0) {
            // Text with what the quoted form cannot carry now and then.
            static const std::u16string kPieces[] = {u"plain", u" ", u"\"", u"\\", u"\r", u"\n", u"\r\n",
                                                      u"\u00e9", u"\U0001F600", std::u16string(1, u'\xD800'),
                                                      std::u16string(1, u'\xDC00'), std::u16string(1, u'\0')};
            std::u16string text;
            for (size_t n = Below(5); n > 0; --n)
                text += kPieces[Below(std::size(kPieces))];
            data = Bytes(text, Below(8) != 0);
            if (Below(8) == 0)
                data.push_back(0x41); // an odd size
        } else if (type == REG_DWORD && Below(4) != 0) {
            data.resize(4);
        } else {
            data.resize(Below(3) == 0 ? Below(200) : Below(9));
        }
        for (size_t i = 0; i < data.size() && !IsText(type); ++i)
            data[i] = static_cast<BYTE>(Below(256));
        return {type, data};
    }

    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }

private:
    static bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }
    std::mt19937 m_random;
};

TEST_F(RegTool, ExportThenImportGivesBackEveryByte)
{
    const std::string file = (Root() / "prop.reg").string();
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RoundTrip random(seed);
        std::vector<HKEY> keys;
        HKEY top = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Prop", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &top, nullptr),
                  ERROR_SUCCESS);
        keys.push_back(top);
        for (size_t n = random.Below(6); n > 0; --n) {
            HKEY parent = keys[random.Below(keys.size())];
            HKEY child = nullptr;
            ASSERT_EQ(RegCreateKeyExW(parent, random.Name(true).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &child, nullptr),
                      ERROR_SUCCESS);
            keys.push_back(child);
        }
        for (HKEY key : keys) {
            for (size_t n = random.Below(7); n > 0; --n) {
                auto [type, data] = random.Data();
                ASSERT_EQ(RegSetValueExW(key, random.Name(false).c_str(), 0, type, data.data(),
                                         static_cast<DWORD>(data.size())),
                          ERROR_SUCCESS);
            }
        }
        for (HKEY key : keys)
            RegCloseKey(key);
        Tree before = Snapshot(u"SOFTWARE\\Prop");

        Result r = Reg({"export", "HKLM\\SOFTWARE\\Prop", file, "/y"});
        ASSERT_EQ(r.out, kOk);
        ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Prop", "/f"}).exit, 0);
        r = Reg({"import", file});
        ASSERT_EQ(r.out, kOk);
        EXPECT_EQ(Snapshot(u"SOFTWARE\\Prop"), before);
        ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Prop", "/f"}).exit, 0);
    }
}

TEST_F(RegTool, NamesAFileCannotCarryAreRefusedAtExport)
{
    const std::string file = (Root() / "names.reg").string();
    struct Case {
        const char16_t* key;
        std::u16string value;
    } cases[] = {
        {u"SOFTWARE\\Names\\Line\nBreak", u"v"},
        {u"SOFTWARE\\Names\\Ret\rurn", u"v"},
        {u"SOFTWARE\\Names\\Cut] ;here", u"v"},
        {u"SOFTWARE\\Names\\Fine", u"line\nbreak"},
        {u"SOFTWARE\\Names\\Fine", std::u16string(u"lone") + u'\xDC01'},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(SetDword(key, c.value.c_str(), 1), ERROR_SUCCESS);
        RegCloseKey(key);
        Result r = Reg({"export", "HKLM\\SOFTWARE\\Names", file});
        EXPECT_EQ(r.exit, 1);
        EXPECT_EQ(r.out.rfind("ERROR: Cannot export the ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("a .reg file cannot carry it"), std::string::npos) << r.out;
        EXPECT_FALSE(std::filesystem::exists(file));
        ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Names", "/f"}).exit, 0);
    }
}

TEST_F(RegTool, ExportTakesTheCallersUmaskAndLeavesNothingOnFailure)
{
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Mine", "/v", "token", "/d", "secret"}).exit, 0);
    const std::filesystem::path file = Root() / "mine.reg";
    for (mode_t mask : {077, 022, 0}) {
        std::filesystem::remove(file);
        mode_t old = umask(mask);
        Result r = Reg({"export", "HKCU\\Software\\Mine", file.string(), "/y"});
        umask(old);
        ASSERT_EQ(r.out, kOk);
        struct stat st{};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
    }
    // A file it replaces keeps its mode, as every output of the host does.
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    ASSERT_EQ(Reg({"export", "HKCU\\Software\\Mine", file.string(), "/y"}).out, kOk);
    struct stat replaced{};
    ASSERT_EQ(stat(file.c_str(), &replaced), 0);
    EXPECT_EQ(replaced.st_mode & 0777, 0600u);
    std::string kept = Slurp(file);
    // A key that is not there, a folder that is not there, a folder as the target.
    EXPECT_EQ(Reg({"export", "HKCU\\Software\\Nowhere", file.string(), "/y"}).exit, 1);
    EXPECT_EQ(Slurp(file), kept);
    Result r = Reg({"export", "HKCU\\Software\\Mine", (Root() / "no" / "such.reg").string()});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out.rfind("ERROR: Cannot write ", 0), 0u) << r.out;
    std::filesystem::create_directory(Root() / "dir.reg");
    EXPECT_EQ(Reg({"export", "HKCU\\Software\\Mine", (Root() / "dir.reg").string(), "/y"}).exit, 1);
    for (const auto& entry : std::filesystem::directory_iterator(Root()))
        EXPECT_EQ(entry.path().filename().string().find(".tonwell-"), std::string::npos) << entry.path();
}

TEST_F(RegTool, ImportIsOneTransaction)
{
    // A line that fails while importing: nothing of the file stays.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Volatile", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Old", "/v", "x", "/d", "1"}).exit, 0);
    std::string script = "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
    for (int i = 0; i < 500; ++i)
        script += "\"v" + std::to_string(i) + "\"=dword:00000001\r\n";
    script += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Volatile\\Stable]\r\n\"x\"=\"y\"\r\n";
    const std::filesystem::path file = Root() / "fails.reg";
    Write(file, script);
    Result r = Reg({"import", file.string()});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("Cannot create a stable subkey under a volatile parent key."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Nothing of the file was imported."), std::string::npos) << r.out;
    EXPECT_EQ(ValueCount(u"SOFTWARE\\Many"), 0u);
    EXPECT_EQ(Values(u"SOFTWARE\\Old").size(), 1u);

    // Killed part-way: all of it or nothing, never some.
    const DWORD kValues = 20000;
    script = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n";
    for (DWORD i = 0; i < kValues; ++i)
        script += "\"value" + std::to_string(i) + "\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f\r\n";
    const std::filesystem::path big = Root() / "big.reg";
    Write(big, script);
    const char* build = std::getenv("TONWELL_BUILD_DIR");
    std::string binary = std::string(build ? build : ".") + "/bin/tonwell";
    int killedBefore = 0;
    for (int delayMs : {0, 5, 20, 50, 100, 200, 400, 800}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string bigPath = big.string();
        char* argv[] = {binary.data(), const_cast<char*>("reg"), const_cast<char*>("import"), bigPath.data(),
                        nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        DWORD count = ValueCount(u"SOFTWARE\\Big");
        EXPECT_TRUE(count == 0 || count == kValues) << count << " values after " << delayMs << " ms";
        if (count == 0)
            ++killedBefore;
        else
            ASSERT_EQ(Reg({"delete", "HKLM\\SOFTWARE\\Big", "/f"}).exit, 0);
    }
    EXPECT_GT(killedBefore, 0);
    EXPECT_EQ(Reg({"import", big.string()}).out, kOk);
    EXPECT_EQ(ValueCount(u"SOFTWARE\\Big"), static_cast<DWORD>(kValues));
}

TEST_F(RegTool, ImportReadsRegistryEditorFilesAsTheEditorDoes)
{
    ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\Gone\\Sub", "/v", "x", "/d", "1"}).exit, 0);
    const std::filesystem::path file = Root() / "editor.reg";
    Write(file, "Windows Registry Editor Version 5.00\r\n\r\n"
                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone] ; removed with what is below it\r\n"
                "\"left\"=\"over\"\r\n"
                "\"bytes\"=hex:01,02,\\\r\n"
                "  03\r\n"
                "\"cut\"=hex:04,\\\r\n"
                "\r\n"
                "@=dword:zz\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept] ; a comment [with brackets]\r\n"
                "\"kept\"=\"yes\"\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd]Name]\r\n"
                "\"k\"=dword:00000002\r\n");
    Result r = Reg({"import", file.string()});
    EXPECT_EQ(r.out, kOk);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Gone", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    auto kept = Values(u"SOFTWARE\\Kept");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].second.second, Bytes(u"yes"));
    EXPECT_EQ(Values(u"SOFTWARE\\Odd]Name").size(), 1u);

    // A folder, text that is not well-formed: a clear error, nothing changed.
    r = Reg({"import", Root().string()});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out, "ERROR: Cannot import " + Root().string() + ": it is a folder, not a registry script.\n");
    Write(file, "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n\"bad\"=\"\xff\"\r\n");
    EXPECT_EQ(Reg({"import", file.string()}).exit, 1);
    Write(file, std::string("\xFF\xFE", 2) + std::string("W\0\x00\xD8", 4));
    EXPECT_EQ(Reg({"import", file.string()}).exit, 1);
    EXPECT_EQ(Values(u"SOFTWARE\\Kept").size(), 1u);
}

TEST_F(RegTool, StoreFailuresNameTheCauseAndTheStore)
{
    // A machine root where a file stands in the way.
    Write(Root() / "file", "x");
    std::string blocked = (Root() / "file" / "root").string();
    setenv("TONWELL_ROOT", blocked.c_str(), 1);
    Result r = Reg({"add", "HKLM\\SOFTWARE\\X", "/f"});
    setenv("TONWELL_ROOT", Root().c_str(), 1);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find(blocked), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Not a directory"), std::string::npos) << r.out;

    // A store that is a dangling link.
    std::filesystem::path linked = Root() / "linked";
    std::filesystem::create_directory(linked);
    std::filesystem::create_symlink(Root() / "missing.db", linked / "registry.db");
    setenv("TONWELL_ROOT", linked.c_str(), 1);
    r = Reg({"query", "HKLM\\SOFTWARE"});
    setenv("TONWELL_ROOT", Root().c_str(), 1);
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out, "ERROR: Access is denied. (" + (linked / "registry.db").string() + " is not a regular file)\n");

    // A store that is not a database.
    std::filesystem::path junk = Root() / "junk";
    std::filesystem::create_directory(junk);
    Write(junk / "registry.db", std::string(4096, 'j'));
    setenv("TONWELL_ROOT", junk.c_str(), 1);
    r = Reg({"query", "HKLM\\SOFTWARE"});
    setenv("TONWELL_ROOT", Root().c_str(), 1);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find((junk / "registry.db").string() + ": file is not a database"), std::string::npos) << r.out;
}

} // namespace
