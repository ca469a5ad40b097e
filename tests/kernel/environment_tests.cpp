// Environment strings: expansion, its size rules, and the variables themselves.
#include "machine_root.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

using tonwell::test::MachineRootFixture;

class EnvironmentTest : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        setenv("TONWELL_TEST_VAR", "value", 1);
        unsetenv("TONWELL_UNSET_VAR");
    }
    void TearDown() override
    {
        unsetenv("TONWELL_TEST_VAR");
        MachineRootFixture::TearDown();
    }

    std::u16string SystemFolderW() const
    {
        std::string s = (Root() / "system").string();
        return std::u16string(s.begin(), s.end()); // the test root is ASCII
    }

    std::u16string Expand(const char16_t* text)
    {
        WCHAR buffer[1024];
        DWORD n = ExpandEnvironmentStringsW(text, buffer, 1024);
        EXPECT_GT(n, 0u);
        EXPECT_LE(n, 1024u);
        return std::u16string(buffer);
    }
};

TEST_F(EnvironmentTest, SystemRootNamesTheMachineRootsSystemFolder)
{
    EXPECT_EQ(Expand(u"%SystemRoot%\\Debug\\WIA"), SystemFolderW() + u"\\Debug\\WIA");
    EXPECT_EQ(Expand(u"%systemroot%\\Debug\\WIA\\wiatrace.log"), SystemFolderW() + u"\\Debug\\WIA\\wiatrace.log");
    EXPECT_EQ(Expand(u"%WINDIR%"), SystemFolderW());
    EXPECT_TRUE(std::filesystem::is_directory(Root() / "system"));
}

TEST_F(EnvironmentTest, NamesIgnoreCaseAndUnknownNamesStayAsWritten)
{
    EXPECT_EQ(Expand(u"<%TONWELL_TEST_VAR%>"), u"<value>");
    EXPECT_EQ(Expand(u"<%tonwell_Test_var%>"), u"<value>");
    EXPECT_EQ(Expand(u"%TONWELL_UNSET_VAR%"), u"%TONWELL_UNSET_VAR%");
    EXPECT_EQ(Expand(u"100%"), u"100%");
    EXPECT_EQ(Expand(u"%%"), u"%%");
    // An unknown name's closing '%' may open the next name.
    EXPECT_EQ(Expand(u"50% of %TONWELL_TEST_VAR%"), u"50% of value");
    EXPECT_EQ(Expand(u"%TONWELL_UNSET_VAR%TONWELL_TEST_VAR%"), u"%TONWELL_UNSET_VARvalue");
    EXPECT_EQ(Expand(u""), u"");
}

TEST_F(EnvironmentTest, SizesCountCharactersWithTheTerminator)
{
    const char16_t* source = u"x%TONWELL_TEST_VAR%y"; // "xvaluey": 7 characters
    EXPECT_EQ(ExpandEnvironmentStringsW(source, nullptr, 0), 8u);

    WCHAR small[7];
    for (WCHAR& c : small)
        c = u'#';
    EXPECT_EQ(ExpandEnvironmentStringsW(source, small, 7), 8u); // one short: nothing written
    EXPECT_EQ(small[0], u'#');

    WCHAR exact[8];
    EXPECT_EQ(ExpandEnvironmentStringsW(source, exact, 8), 8u);
    EXPECT_EQ(std::u16string(exact), u"xvaluey");

    // The A form counts bytes; a two-byte character counts twice.
    setenv("TONWELL_TEST_VAR", "\xC3\xA9", 1);
    EXPECT_EQ(ExpandEnvironmentStringsA("[%TONWELL_TEST_VAR%]", nullptr, 0), 5u);
    char bytes[5];
    EXPECT_EQ(ExpandEnvironmentStringsA("[%TONWELL_TEST_VAR%]", bytes, 5), 5u);
    EXPECT_STREQ(bytes, "[\xC3\xA9]");
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%TONWELL_TEST_VAR%", exact, 8), 2u);
    EXPECT_EQ(exact[0], u'\x00e9');

    SetLastError(0);
    EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, exact, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(EnvironmentTest, GetAndSetVariables)
{
    WCHAR buffer[16];
    EXPECT_EQ(GetEnvironmentVariableW(u"tonwell_test_var", buffer, 16), 5u); // length without terminator
    EXPECT_EQ(std::u16string(buffer), u"value");
    EXPECT_EQ(GetEnvironmentVariableW(u"TONWELL_TEST_VAR", buffer, 5), 6u); // too small: size needed
    EXPECT_EQ(GetEnvironmentVariableW(u"TONWELL_TEST_VAR", nullptr, 0), 6u);

    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableW(u"TONWELL_UNSET_VAR", buffer, 16), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    // Setting under another case replaces the one variable.
    EXPECT_TRUE(SetEnvironmentVariableW(u"Tonwell_Test_Var", u"other"));
    EXPECT_STREQ(getenv("TONWELL_TEST_VAR"), "other");
    EXPECT_EQ(getenv("Tonwell_Test_Var"), nullptr);
    EXPECT_TRUE(SetEnvironmentVariableW(u"TONWELL_TEST_VAR", nullptr));
    EXPECT_EQ(getenv("TONWELL_TEST_VAR"), nullptr);
    EXPECT_EQ(Expand(u"%TONWELL_TEST_VAR%"), u"%TONWELL_TEST_VAR%");

    EXPECT_TRUE(SetEnvironmentVariableA("TONWELL_TEST_VAR", "a"));
    char narrow[4];
    EXPECT_EQ(GetEnvironmentVariableA("TONWELL_TEST_VAR", narrow, 4), 1u);
    EXPECT_STREQ(narrow, "a");

    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(EnvironmentTest, AnsiFormsTakeUtf8AndRefuseTheRest)
{
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableA("TONWELL_BAD\xFF", "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_FALSE(SetEnvironmentVariableA("TONWELL_TEST_VAR", "ab\xC0\x80"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_STREQ(getenv("TONWELL_TEST_VAR"), "value") << "a refused value changes nothing";
    char buffer[64];
    EXPECT_EQ(ExpandEnvironmentStringsA("%TONWELL_TEST_VAR%\xFF", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

    // Names fold as every other name does, beyond ASCII too.
    ASSERT_TRUE(SetEnvironmentVariableA("TONWELL_\xC7\x8E", "caf\xC3\xA9"));
    EXPECT_EQ(GetEnvironmentVariableA("tonwell_\xC7\x8D", buffer, sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "caf\xC3\xA9");
    EXPECT_EQ(GetEnvironmentVariableA("TONWELL_\xC7\x8E", buffer, 5), 6u) << "too small: the size needed in bytes";
    EXPECT_EQ(ExpandEnvironmentStringsA("<%TONWELL_\xC7\x8D%>", buffer, sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "<caf\xC3\xA9>");
    EXPECT_EQ(ExpandEnvironmentStringsA("<%TONWELL_\xC7\x8D%>", buffer, 4), 8u);
    ASSERT_TRUE(SetEnvironmentVariableA("TONWELL_\xC7\x8E", nullptr));
    EXPECT_EQ(getenv("TONWELL_\xC7\x8E"), nullptr);
}

} // namespace
