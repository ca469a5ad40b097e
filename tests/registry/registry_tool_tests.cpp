// `tonwell reg`: query, add, delete, export and import through the real binary.
#include "registry_test_support.h"

#include <cstdio>
#include <fstream>
#include <iterator>

using namespace tonwell::test;

namespace {

struct Result {
    int exit = -1;
    std::string out;
};

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class RegTool : public MachineRootFixture {
protected:
    // Runs the tool with no terminal on its input; standard output and error together.
    Result Reg(const std::vector<std::string>& args)
    {
        const char* build = std::getenv("TONWELL_BUILD_DIR");
        std::string command = Quote(std::string(build ? build : ".") + "/bin/tonwell") + " reg";
        for (const auto& a : args)
            command += " " + Quote(a);
        command += " </dev/null 2>&1";
        Result r;
        FILE* p = popen(command.c_str(), "r");
        if (!p)
            return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int status = pclose(p);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

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

} // namespace
