// The registration script interpreter against a private registry: expansion, tokens,
// both modes, protected keys, the register-mode fallback and the values it stores.
#include "../registry/registry_test_support.h"
#include "registry_dump.h"

#include <ScriptRegistrar.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace tonwell::test;

namespace {

class ScriptTest : public MachineRootFixture {
protected:
    HRESULT Run(const std::u16string& script, bool bRegister = true)
    {
        CScriptParser parser(&m_registrar);
        return parser.RunScript(script.c_str(), bRegister ? TRUE : FALSE);
    }

    bool KeyExists(const char16_t* path) { return tonwell::test::KeyExists(HKEY_CLASSES_ROOT, path); }

    void CreateKey(const char16_t* path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // The value as stored: type and bytes; type REG_NONE when absent.
    std::pair<DWORD, std::vector<BYTE>> Value(const char16_t* path, const char16_t* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {REG_NONE, {}};
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        if (Read(key, name, type, data) != ERROR_SUCCESS)
            type = REG_NONE;
        RegCloseKey(key);
        return {type, data};
    }

    std::u16string Sz(const char16_t* path, const char16_t* name = nullptr)
    {
        auto [type, data] = Value(path, name);
        if (type != REG_SZ || data.size() < 2)
            return u"<none>";
        return std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2 - 1);
    }

    CScriptRegistrar m_registrar;
};

// ---------------------------------------------------------------------------------
// Variables

TEST_F(ScriptTest, VariablesExpandOnceWithoutRegardToCase)
{
    ASSERT_EQ(m_registrar.AddReplacement(u"Module", u"/lib/x%y.so"), S_OK);
    CScriptParser parser(&m_registrar);
    LPOLESTR expanded = nullptr;
    ASSERT_EQ(parser.ExpandVariables(u"a %MODULE% b %module% 100%% %MoDuLe%", &expanded), S_OK);
    // The value's own percent sign is not expanded again.
    EXPECT_EQ(std::u16string(expanded), u"a /lib/x%y.so b /lib/x%y.so 100% /lib/x%y.so");
    HeapFree(GetProcessHeap(), 0, expanded);
}

TEST_F(ScriptTest, FirstOfDuplicateReplacementsWins)
{
    ASSERT_EQ(m_registrar.AddReplacement(u"v", u"first"), S_OK);
    ASSERT_EQ(m_registrar.AddReplacement(u"V", u"second"), S_OK);
    EXPECT_EQ(std::u16string(m_registrar.FindReplacement(u"v")), u"first");
    EXPECT_EQ(m_registrar.FindReplacement(u"w"), nullptr);
    m_registrar.ClearReplacements();
    EXPECT_EQ(m_registrar.FindReplacement(u"v"), nullptr);
}

TEST_F(ScriptTest, VariableFailures)
{
    const std::u16string name31(31, u'n'), name32(32, u'n');
    ASSERT_EQ(m_registrar.AddReplacement(name31.c_str(), u"ok"), S_OK);
    ASSERT_EQ(m_registrar.AddReplacement(name32.c_str(), u"never found"), S_OK);
    CScriptParser parser(&m_registrar);
    LPOLESTR expanded = nullptr;
    ASSERT_EQ(parser.ExpandVariables((u"%" + name31 + u"%").c_str(), &expanded), S_OK);
    EXPECT_EQ(std::u16string(expanded), u"ok");
    HeapFree(GetProcessHeap(), 0, expanded);

    expanded = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(parser.ExpandVariables((u"%" + name32 + u"%").c_str(), &expanded), E_FAIL);
    EXPECT_EQ(expanded, nullptr);
    EXPECT_EQ(parser.ExpandVariables(u"abc %unclosed", &expanded), DISP_E_EXCEPTION);
    EXPECT_EQ(parser.ExpandVariables(u"%unknown%", &expanded), DISP_E_EXCEPTION);
    EXPECT_EQ(parser.ExpandVariables(nullptr, &expanded), E_POINTER);
    EXPECT_EQ(parser.ExpandVariables(u"x", nullptr), E_POINTER);
}

TEST_F(ScriptTest, ExpansionGrowsPastTwiceTheText)
{
    const std::u16string value(5000, u'v');
    ASSERT_EQ(m_registrar.AddReplacement(u"Big", value.c_str()), S_OK);
    CScriptParser parser(&m_registrar);
    LPOLESTR expanded = nullptr;
    ASSERT_EQ(parser.ExpandVariables(u"%big%%big%", &expanded), S_OK);
    EXPECT_EQ(std::u16string(expanded), value + value);
    HeapFree(GetProcessHeap(), 0, expanded);
}

// ---------------------------------------------------------------------------------
// Tokens

std::vector<std::u16string> Tokens(const std::u16string& text, HRESULT* pLast = nullptr)
{
    CScriptParser parser(nullptr);
    parser.m_pszCursor = text.c_str();
    std::vector<std::u16string> out;
    std::u16string token(CScriptParser::kMaxToken, u'\0');
    HRESULT hr;
    while (SUCCEEDED(hr = parser.ReadToken(token.data())))
        out.emplace_back(token.c_str());
    if (pLast)
        *pLast = hr;
    return out;
}

TEST(ScriptTokens, QuotingAndSeparators)
{
    using V = std::vector<std::u16string>;
    EXPECT_EQ(Tokens(u"'It''s'"), V{u"It's"});
    EXPECT_EQ(Tokens(u"'abc'def"), (V{u"abc", u"def"}));
    EXPECT_EQ(Tokens(u"a=b"), V{u"a=b"});
    EXPECT_EQ(Tokens(u"\tx\r\n y  'a b{}='"), (V{u"x", u"y", u"a b{}="}));
    EXPECT_EQ(Tokens(u"it's"), V{u"it's"});
    EXPECT_EQ(Tokens(u"''"), V{u""});
    // Only tab, line feed, carriage return and space separate tokens.
    EXPECT_EQ(Tokens(u"a\vb"), V{u"a\vb"});

    HRESULT last = S_OK;
    EXPECT_EQ(Tokens(u"'unterminated", &last), V{});
    EXPECT_EQ(last, DISP_E_EXCEPTION);
    Tokens(u"   ", &last);
    EXPECT_EQ(last, DISP_E_EXCEPTION);
}

TEST(ScriptTokens, LongestToken)
{
    const std::u16string ok(4094, u'k'), tooLong(4095, u'k');
    EXPECT_EQ(Tokens(ok), std::vector<std::u16string>{ok});
    HRESULT last = S_OK;
    EXPECT_TRUE(Tokens(tooLong, &last).empty());
    EXPECT_EQ(last, DISP_E_EXCEPTION);
    EXPECT_TRUE(Tokens(u"'" + tooLong + u"'", &last).empty());
    EXPECT_EQ(last, DISP_E_EXCEPTION);
}

TEST(ScriptTables, NamesWithoutRegardToCase)
{
    EXPECT_EQ(CScriptParser::HiveFromName(u"hkcr"), HKEY_CLASSES_ROOT);
    EXPECT_EQ(CScriptParser::HiveFromName(u"HKCR"), HKEY_CLASSES_ROOT);
    EXPECT_EQ(CScriptParser::HiveFromName(u"HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT);
    EXPECT_EQ(CScriptParser::HiveFromName(u"hku"), HKEY_USERS);
    EXPECT_EQ(CScriptParser::HiveFromName(u"HKEY_DYN_DATA"), HKEY_DYN_DATA);
    EXPECT_EQ(CScriptParser::HiveFromName(u"HKEY"), nullptr);
    EXPECT_EQ(CScriptParser::ValueTypeFromName(u"s"), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(CScriptParser::ValueTypeFromName(u"D"), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(CScriptParser::ValueTypeFromName(u"b"), static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(CScriptParser::ValueTypeFromName(u"x"), static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(CScriptParser::ValueTypeFromName(u"ss"), static_cast<DWORD>(REG_NONE));
    EXPECT_TRUE(CScriptParser::IsProtectedKey(u"clsid"));
    EXPECT_TRUE(CScriptParser::IsProtectedKey(u"TypeLib"));
    EXPECT_FALSE(CScriptParser::IsProtectedKey(u"Interface"));
}

// ---------------------------------------------------------------------------------
// Script structure

TEST_F(ScriptTest, EmptyAndMalformedScripts)
{
    EXPECT_EQ(Run(u""), S_OK);
    EXPECT_EQ(Run(u" \r\n\t"), DISP_E_EXCEPTION); // a hive name is expected
    EXPECT_EQ(Run(u"HKXX { a }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR a"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR { a"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR { 'a\\b' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR { a = q 'x' }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR { Val n 's' }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"a"));
    // "{" after a hive may carry more characters; a hive section after another.
    EXPECT_EQ(Run(u"hkcr {x\r\n\tk1\r\n}\r\nHKEY_CLASSES_ROOT\r\n{\r\n\tk2\r\n}\r\n"), S_OK);
    EXPECT_TRUE(KeyExists(u"k1"));
    EXPECT_TRUE(KeyExists(u"k2"));
}

TEST_F(ScriptTest, KeywordsWithoutRegardToCase)
{
    ASSERT_EQ(Run(u"HKCR { k { val a = s 'x' VAL b = S 'y' Val c = s 'z' } }"), S_OK);
    EXPECT_EQ(Sz(u"k", u"a"), u"x");
    EXPECT_EQ(Sz(u"k", u"b"), u"y");
    EXPECT_EQ(Sz(u"k", u"c"), u"z");
}

TEST_F(ScriptTest, DeepNestingIsRefusedNotOverflowed)
{
    // Deeper than the registry can hold keys: registering fails where a key cannot be
    // made, and the fallback removes what was made, reading over the rest.
    std::u16string deep = u"HKCR {";
    for (int i = 0; i < 100000; ++i)
        deep += u" k {";
    const std::u16string unterminated = deep;
    for (int i = 0; i < 100001; ++i)
        deep += u" }";
    EXPECT_EQ(Run(deep), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"k"));
    EXPECT_EQ(Run(deep, false), S_OK);
    EXPECT_EQ(Run(unterminated, false), DISP_E_EXCEPTION);

    std::u16string fine = u"HKCR {";
    for (int i = 0; i < 20; ++i)
        fine += u" k {";
    for (int i = 0; i < 21; ++i)
        fine += u" }";
    EXPECT_EQ(Run(fine), S_OK);
    EXPECT_TRUE(KeyExists(u"k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k\\k"));
    EXPECT_EQ(Run(fine, false), S_OK);
    EXPECT_FALSE(KeyExists(u"k"));
}

// ---------------------------------------------------------------------------------
// Values

TEST_F(ScriptTest, ValuesReadBackByteForByte)
{
    ASSERT_EQ(Run(u"HKCR { k = s 'default' { val str = s 'a b' val num = d '4294967295' "
                  u"val small = d ' +7 ' val bin = b 0A1b val odd = b zz val empty = b '' val text = s '' } }"),
              S_OK);
    EXPECT_EQ(Value(u"k", nullptr).second, Bytes(u"default"));
    auto [strType, str] = Value(u"k", u"str");
    EXPECT_EQ(strType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(str, Bytes(u"a b")); // the terminating NUL is counted
    EXPECT_EQ(Value(u"k", u"num"), (std::pair<DWORD, std::vector<BYTE>>{REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}));
    EXPECT_EQ(Value(u"k", u"small"), (std::pair<DWORD, std::vector<BYTE>>{REG_DWORD, {7, 0, 0, 0}}));
    EXPECT_EQ(Value(u"k", u"bin"), (std::pair<DWORD, std::vector<BYTE>>{REG_BINARY, {0x0A, 0x1B}}));
    EXPECT_EQ(Value(u"k", u"odd"), (std::pair<DWORD, std::vector<BYTE>>{REG_BINARY, {0x00}}));
    EXPECT_EQ(Value(u"k", u"empty"), (std::pair<DWORD, std::vector<BYTE>>{REG_BINARY, {}}));
    EXPECT_EQ(Value(u"k", u"text").second, Bytes(u""));
}

TEST_F(ScriptTest, ValueFailuresUndoTheSection)
{
    EXPECT_EQ(Run(u"HKCR { k1 { val b = b 0A1 } }"), E_FAIL);
    EXPECT_FALSE(KeyExists(u"k1"));
    // A number the conversion refuses is not stored as some other number.
    EXPECT_EQ(Run(u"HKCR { k2 { val d = d 'four' } }"), DISP_E_TYPEMISMATCH);
    EXPECT_FALSE(KeyExists(u"k2"));
    EXPECT_EQ(Run(u"HKCR { k3 { val d = d 4294967296 } }"), DISP_E_OVERFLOW);
    EXPECT_FALSE(KeyExists(u"k3"));
    // A value name the store's 259-character limit would have to cut is refused.
    const std::u16string longName(260, u'v');
    EXPECT_EQ(Run(u"HKCR { k4 { val " + longName + u" = s x } }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"k4"));
    EXPECT_EQ(Run(u"HKCR { k5 { val " + std::u16string(259, u'v') + u" = s x } }"), S_OK);
    EXPECT_EQ(Sz(u"k5", std::u16string(259, u'v').c_str()), u"x");
}

TEST_F(ScriptTest, LocalServer32QuotesTheModulePath)
{
    ASSERT_EQ(m_registrar.AddReplacement(u"Module", u"/opt/my app/x.so"), S_OK);
    ASSERT_EQ(Run(u"HKCR { c { LocalServer32 = s '%MODULE%' localserver32x = s '%MODULE%' "
                  u"InprocServer32 = s '%MODULE%' } d { LOCALSERVER32 = s '\"%MODULE%\" -x' } "
                  u"e { LocalServer32 = s '%MODULE% -Embedding' } }"),
              S_OK);
    EXPECT_EQ(Sz(u"c\\LocalServer32"), u"\"/opt/my app/x.so\"");
    EXPECT_EQ(Sz(u"c\\localserver32x"), u"/opt/my app/x.so");
    EXPECT_EQ(Sz(u"c\\InprocServer32"), u"/opt/my app/x.so");
    EXPECT_EQ(Sz(u"d\\LocalServer32"), u"\"/opt/my app/x.so\" -x");
    EXPECT_EQ(Sz(u"e\\LocalServer32"), u"\"/opt/my app/x.so\" -Embedding");
}

// ---------------------------------------------------------------------------------
// Register and unregister

TEST_F(ScriptTest, ForceRemoveAndDelete)
{
    CreateKey(u"CLSID\\{other}");
    CreateKey(u"TypeLib\\{lib}");
    CreateKey(u"victim\\old\\deep");
    CreateKey(u"gone\\child");
    ASSERT_EQ(Run(u"HKCR { forceremove CLSID { a } FORCEREMOVE TypeLib ForceRemove victim { new } "
                  u"Delete gone = s 'ignored' Delete clsid }"),
              S_OK);
    EXPECT_TRUE(KeyExists(u"CLSID\\{other}"));
    EXPECT_TRUE(KeyExists(u"CLSID\\a"));
    EXPECT_TRUE(KeyExists(u"TypeLib\\{lib}"));
    EXPECT_FALSE(KeyExists(u"victim\\old"));
    EXPECT_TRUE(KeyExists(u"victim\\new"));
    EXPECT_FALSE(KeyExists(u"gone"));
    EXPECT_EQ(Value(u"gone", nullptr).first, static_cast<DWORD>(REG_NONE));
    // A block after "Delete" or "Val" has no key to go below.
    EXPECT_EQ(Run(u"HKCR { Delete x { y } }"), DISP_E_EXCEPTION);
    EXPECT_EQ(Run(u"HKCR { z { val v = s 'a' { y } } }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"z"));
}

TEST_F(ScriptTest, UnregisterSparesSharedKeys)
{
    const std::u16string script = u"HKCR { NoRemove CLSID { ForceRemove {c} = s 'C' { InprocServer32 = s x "
                                  u"{ val ThreadingModel = s Apartment } } } shared { mine } valued = s 'v' }";
    ASSERT_EQ(Run(script), S_OK);
    CreateKey(u"CLSID\\{someone else}");
    CreateKey(u"shared\\theirs");
    EXPECT_EQ(Sz(u"CLSID\\{c}\\InprocServer32", u"ThreadingModel"), u"Apartment");

    ASSERT_EQ(Run(script, false), S_OK);
    EXPECT_FALSE(KeyExists(u"CLSID\\{c}"));
    EXPECT_TRUE(KeyExists(u"CLSID\\{someone else}"));
    EXPECT_FALSE(KeyExists(u"shared\\mine"));
    EXPECT_TRUE(KeyExists(u"shared\\theirs"));
    EXPECT_FALSE(KeyExists(u"valued")); // values but no subkeys: deleted

    // Twice, and on what was never registered: nothing to do, no error.
    EXPECT_EQ(Run(script, false), S_OK);
    EXPECT_TRUE(KeyExists(u"CLSID"));
}

TEST_F(ScriptTest, NoRemoveKeepsOnlyItsOwnKey)
{
    ASSERT_EQ(Run(u"HKCR { NoRemove kept later }"), S_OK);
    ASSERT_EQ(Run(u"HKCR { NoRemove kept later }", false), S_OK);
    EXPECT_TRUE(KeyExists(u"kept"));
    EXPECT_FALSE(KeyExists(u"later"));
}

TEST_F(ScriptTest, UnregisterSkipsAnAbsentKeyButGoesOn)
{
    CreateKey(u"present\\inner");
    CreateKey(u"inner"); // must not be mistaken for absent\inner
    ASSERT_EQ(Run(u"HKCR { absent { inner { deeper } val v = s x } present { inner } }", false), S_OK);
    EXPECT_TRUE(KeyExists(u"inner"));
    EXPECT_FALSE(KeyExists(u"present"));
}

TEST_F(ScriptTest, UnregisterDeletesNamedValues)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"k\\sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"k", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(SetSz(key, u"gone", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(SetSz(key, u"stays", u"2"), ERROR_SUCCESS);
    RegCloseKey(key);
    // "absent" is already gone: no error.
    ASSERT_EQ(Run(u"HKCR { k { val gone = s 1 val absent = s 3 } }", false), S_OK);
    EXPECT_EQ(Value(u"k", u"gone").first, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(Sz(u"k", u"stays"), u"2");
    EXPECT_TRUE(KeyExists(u"k")); // it still has a subkey
}

TEST_F(ScriptTest, FailureInFirstSectionUndoesIt)
{
    CreateKey(u"preexisting");
    // The section fails at its last entry; the fallback then removes every key of the
    // section that has no subkeys, also one this run did not create.
    EXPECT_EQ(Run(u"HKCR { preexisting new { child } broken = q x }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"new"));
    EXPECT_FALSE(KeyExists(u"preexisting"));
    EXPECT_FALSE(KeyExists(u"broken"));
}

TEST_F(ScriptTest, FailureInLaterSectionKeepsEarlierOnes)
{
    EXPECT_EQ(Run(u"HKCR { first } HKCR { second { x } } HKCR { third 'a\\b' } HKCR { fourth }"),
              DISP_E_EXCEPTION);
    EXPECT_TRUE(KeyExists(u"first"));
    EXPECT_TRUE(KeyExists(u"second\\x"));
    EXPECT_FALSE(KeyExists(u"third"));
    EXPECT_FALSE(KeyExists(u"fourth"));
}

TEST_F(ScriptTest, ReadOnlyKeyIsUsedAsItIs)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &sd,
                                                                     nullptr));
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"ro", 0, nullptr, 0, KEY_ALL_ACCESS, &sa, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    LocalFree(sd);
    ASSERT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"ro", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS)
        << "the descriptor should refuse full access";

    // A value that cannot be stored fails the run; a subkey cannot be made.
    EXPECT_EQ(Run(u"HKCR { ro = s 'x' }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Value(u"ro", nullptr).first, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(Run(u"HKCR { ro { sub } }"), DISP_E_EXCEPTION);
    EXPECT_FALSE(KeyExists(u"ro\\sub"));
}

// ---------------------------------------------------------------------------------
// Bytes as a resource holds them

TEST_F(ScriptTest, BytesStopAtTheFirstZeroAndMustBeText)
{
    const char script[] = "HKCR\r\n{\r\n\tgood\r\n}\r\n\0HKCR { bad }";
    EXPECT_EQ(m_registrar.RunScriptBytes(script, sizeof script - 1, TRUE), S_OK);
    EXPECT_TRUE(KeyExists(u"good"));
    EXPECT_FALSE(KeyExists(u"bad"));

    const char utf8[] = "HKCR { 'caf\xC3\xA9' }";
    EXPECT_EQ(m_registrar.RunScriptBytes(utf8, sizeof utf8 - 1, TRUE), S_OK);
    EXPECT_TRUE(KeyExists(u"caf\u00E9"));

    // Bytes that are not text in the system code page would name other keys.
    const char invalid[] = "HKCR { bad\xFF }";
    EXPECT_EQ(m_registrar.RunScriptBytes(invalid, sizeof invalid - 1, TRUE), E_POINTER);
    EXPECT_EQ(m_registrar.RunScriptBytes("", 0, TRUE), S_OK);

    // Larger than the inline buffers.
    std::string big = "HKCR { big { ";
    for (int i = 0; i < 120; ++i)
        big += "val v" + std::to_string(i) + " = s x ";
    big += "} }";
    EXPECT_EQ(m_registrar.RunScriptBytes(big.data(), static_cast<DWORD>(big.size()), TRUE), S_OK);
    EXPECT_EQ(Sz(u"big", u"v119"), u"x");
}

TEST_F(ScriptTest, MissingModuleFileReportsTheLoader)
{
    const HRESULT hr = m_registrar.RunScriptResource(u"/nonexistent/x.so", 101, u"REGISTRY", TRUE);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
}

} // namespace

// ---------------------------------------------------------------------------------
// The library's own script

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char16_t kClassKey[] = u"CLSID\\{83AF37A6-1013-4638-9568-8A25EE237C79}";

TEST_F(ScriptTest, LibraryScriptRegistersTheClassAndUnregistersIt)
{
    const std::string script = ReadFile(std::string(TONWELL_TEST_SOURCE_DIR) + "/registration/TonwellObj.rgs");
    ASSERT_FALSE(script.empty());
    // 8-bit text, CR LF line ends, no terminating zero.
    EXPECT_EQ(script.find('\0'), std::string::npos);
    EXPECT_EQ(script.substr(script.size() - 3), "}\r\n");
    for (size_t i = script.find('\n'); i != std::string::npos; i = script.find('\n', i + 1))
        EXPECT_EQ(script[i - 1], '\r') << "at byte " << i;

    CreateKey(u"CLSID\\{00000000-0000-0000-0000-000000000001}");
    // The path's single quote is doubled for the script, as registration does.
    ASSERT_EQ(m_registrar.AddReplacement(u"Module", u"/opt/it''s/TonwellObj.so"), S_OK);
    ASSERT_EQ(m_registrar.RunScriptBytes(script.data(), static_cast<DWORD>(script.size()), TRUE), S_OK);

    const std::u16string clsid = u"{83AF37A6-1013-4638-9568-8A25EE237C79}";
    EXPECT_EQ(Sz(u"TonwellObj.TonwellExposure.1"), u"TonwellExposure Class");
    EXPECT_EQ(Sz(u"TonwellObj.TonwellExposure.1\\CLSID"), clsid);
    EXPECT_EQ(Sz(u"TonwellObj.TonwellExposure"), u"TonwellExposure Class");
    EXPECT_EQ(Sz(u"TonwellObj.TonwellExposure\\CLSID"), clsid);
    EXPECT_EQ(Sz(u"TonwellObj.TonwellExposure\\CurVer"), u"TonwellObj.TonwellExposure.1");
    const std::u16string key(kClassKey);
    EXPECT_EQ(Sz(kClassKey), u"TonwellExposure Class");
    EXPECT_EQ(Sz((key + u"\\ProgID").c_str()), u"TonwellObj.TonwellExposure.1");
    EXPECT_EQ(Sz((key + u"\\VersionIndependentProgID").c_str()), u"TonwellObj.TonwellExposure");
    EXPECT_TRUE(KeyExists((key + u"\\Programmable").c_str()));
    EXPECT_EQ(Value((key + u"\\Programmable").c_str(), nullptr).first, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(Sz((key + u"\\InprocServer32").c_str()), u"/opt/it's/TonwellObj.so");
    EXPECT_EQ(Sz((key + u"\\InprocServer32").c_str(), u"ThreadingModel"), u"Apartment");
    EXPECT_EQ(Sz((key + u"\\TypeLib").c_str()), u"{4404C7F2-CB2B-4CEE-AE75-56406CA50F0D}");

    // Registering again replaces the class key whole.
    CreateKey((key + u"\\Added by someone").c_str());
    ASSERT_EQ(m_registrar.RunScriptBytes(script.data(), static_cast<DWORD>(script.size()), TRUE), S_OK);
    EXPECT_FALSE(KeyExists((key + u"\\Added by someone").c_str()));

    ASSERT_EQ(m_registrar.RunScriptBytes(script.data(), static_cast<DWORD>(script.size()), FALSE), S_OK);
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_FALSE(KeyExists(u"TonwellObj.TonwellExposure.1"));
    EXPECT_FALSE(KeyExists(u"TonwellObj.TonwellExposure"));
    EXPECT_TRUE(KeyExists(u"CLSID\\{00000000-0000-0000-0000-000000000001}"));
    EXPECT_EQ(m_registrar.RunScriptBytes(script.data(), static_cast<DWORD>(script.size()), FALSE), S_OK);
}

} // namespace
