// Loading the trace settings from the registry: defaults written back, overrides, odd value types,
// the key's security and the suppression list.
#include "TraceClientInternals.h"
#include "machine_root.h"
#include "trace_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tonwell::test;
using namespace tonwell::trace;

namespace {

class TraceSettingsTest : public MachineRootFixture {
protected:
    void TearDown() override
    {
        SetMainModulePathOverride(nullptr);
        MachineRootFixture::TearDown();
    }

    static DWORD StoredDword(const std::string& subkey, const char* name)
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        EXPECT_TRUE(GetTraceValue(subkey, name, &type, &data)) << name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << name;
        EXPECT_EQ(data.size(), 4u) << name;
        DWORD value = 0;
        if (data.size() == 4)
            std::memcpy(&value, data.data(), 4);
        return value;
    }

    static std::string DescriptorOf(const std::string& subkey)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TraceKeyPath(subkey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "<no key>";
        BYTE buffer[1024] = {};
        DWORD size = sizeof buffer;
        LONG result = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return "<error " + std::to_string(result) + ">";
        return DescriptorText(buffer);
    }

    static std::string DescriptorText(PSECURITY_DESCRIPTOR pDescriptor)
    {
        LPSTR text = nullptr;
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(pDescriptor, SDDL_REVISION_1,
                                                                  DACL_SECURITY_INFORMATION, &text, nullptr))
            return "<unconvertible>";
        std::string result(text);
        LocalFree(text);
        return result;
    }

    static void SetSuppressionList(const char16_t* list, DWORD cb)
    {
        SetTraceText("", u"SuppressProcessOutput", REG_MULTI_SZ, list, cb);
    }

    static BOOL SuppressedFor(const char* image)
    {
        SetMainModulePathOverride(image);
        LoadTraceSettings(nullptr);
        return g_TraceSettings.SuppressProcessOutput;
    }
};

TEST_F(TraceSettingsTest, FirstLoadOnAnEmptyStoreWritesEveryValue)
{
    ASSERT_EQ(LoadTraceSettings(nullptr), S_OK);
    const std::string module = ExeFileName();
    EXPECT_STREQ(TraceClientModuleFileName(), module.c_str());
    EXPECT_NE(TraceClientModule(), nullptr);

    EXPECT_EQ(StoredDword("", "MaxFileSize"), 1048576u);
    EXPECT_EQ(StoredDword("", "DefaultTraceFlags"), 1025u);
    EXPECT_EQ(StoredDword("", "DefaultTraceMask"), 0u);
    EXPECT_EQ(StoredDword("", "DefaultTraceLevel"), 0u);
    EXPECT_EQ(StoredDword("", "DefaultMaxTraceArraySize"), 10u);
    EXPECT_EQ(StoredDword("", "DefaultEnableObjectTracking"), 1u);
    EXPECT_EQ(StoredDword("", "HeapOptions"), 24u);
    EXPECT_EQ(StoredDword(module, "TraceFlags"), 1025u);
    EXPECT_EQ(StoredDword(module, "TraceMask"), 0u);
    EXPECT_EQ(StoredDword(module, "TraceLevel"), 0u);
    EXPECT_EQ(StoredDword(module, "MaxTraceArraySize"), 10u);
    EXPECT_EQ(StoredDword(module, "EnableObjectTracking"), 1u);
    EXPECT_EQ(StoredDword(module, "HeapOptions"), 24u);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(GetTraceValue("", "SuppressProcessOutput", &type, &data)) << "the list is never written";

    // Both keys carry the trace key's descriptor.
    PSECURITY_DESCRIPTOR pExpected = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;LS)(A;OICI;GR;;;AU)", SDDL_REVISION_1, &pExpected, nullptr));
    std::string expected = DescriptorText(pExpected);
    LocalFree(pExpected);
    // The keys' own entries, ahead of whatever they inherit from the keys above them.
    EXPECT_EQ(DescriptorOf("").substr(0, expected.size()), expected);
    EXPECT_EQ(DescriptorOf(module).substr(0, expected.size()), expected);

    EXPECT_EQ(g_TraceSettings.TraceFlags, 0x401u);
    EXPECT_FALSE(g_TraceSettings.SuppressProcessOutput);
}

TEST_F(TraceSettingsTest, DefaultsOfTheKeyReachANewSubkey)
{
    SetTraceDword("", "DefaultTraceFlags", 0xF);
    SetTraceDword("", "DefaultTraceLevel", 3);
    SetTraceDword("", "MaxFileSize", 5000);
    LoadTraceSettings(nullptr);
    EXPECT_EQ(g_TraceSettings.TraceFlags, 0xFu);
    EXPECT_EQ(g_TraceSettings.TraceLevel, 3u);
    EXPECT_EQ(g_TraceSettings.MaxFileSize, 5000u);
    EXPECT_EQ(StoredDword(ExeFileName(), "TraceFlags"), 0xFu);
    EXPECT_EQ(StoredDword(ExeFileName(), "TraceLevel"), 3u);
}

TEST_F(TraceSettingsTest, TheModulesOwnValueOverridesTheDefault)
{
    SetTraceDword("", "DefaultTraceFlags", 0xF);
    SetTraceDword(ExeFileName(), "TraceFlags", 0x9);
    LoadTraceSettings(nullptr);
    EXPECT_EQ(g_TraceSettings.TraceFlags, 0x9u);
    EXPECT_EQ(g_TraceSettings.DefaultTraceFlags, 0xFu);
    EXPECT_EQ(StoredDword(ExeFileName(), "TraceFlags"), 0x9u);
}

TEST_F(TraceSettingsTest, ValuesOfOtherTypes)
{
    // A REG_SZ "5" is four bytes with its terminator, taken as stored: 0x35.
    SetTraceText(ExeFileName(), u"TraceLevel", REG_SZ, u"5", 4);
    // A REG_QWORD is too long: it counts as missing and is replaced by a REG_DWORD of the default.
    SetTraceDword("", "DefaultTraceMask", 0x6);
    ULONGLONG qword = 0x1234567890ull;
    SetTraceValue(ExeFileName(), "TraceMask", REG_QWORD, &qword, sizeof qword);
    LoadTraceSettings(nullptr);
    EXPECT_EQ(g_TraceSettings.TraceLevel, 0x35u);
    EXPECT_EQ(g_TraceSettings.TraceMask, 0x6u);
    EXPECT_EQ(StoredDword(ExeFileName(), "TraceMask"), 0x6u);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(GetTraceValue(ExeFileName(), "TraceLevel", &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "a value that was read is never rewritten";
}

TEST_F(TraceSettingsTest, SuppressionListNamesWholeImageNames)
{
    static const char16_t list[] = u"other.exe\0host.exe\0";
    SetSuppressionList(list, sizeof list);
    EXPECT_TRUE(SuppressedFor("D:\\apps\\HOST.EXE"));
    EXPECT_FALSE(SuppressedFor("D:\\apps\\host.exe.bak"));
    EXPECT_FALSE(SuppressedFor("D:\\host.exe\\other"));
    // Paths on this system use '/'.
    EXPECT_TRUE(SuppressedFor("/opt/apps/Host.Exe"));
    EXPECT_FALSE(SuppressedFor("host.exe")) << "no separator: not suppressed";
    EXPECT_FALSE(SuppressedFor("/opt/apps/"));

    // The process's own image, as the platform reports it.
    SetMainModulePathOverride(nullptr);
    std::u16string own;
    for (char c : ExeFileName())
        own += static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    own.push_back(0);
    own.push_back(0);
    SetSuppressionList(own.c_str(), static_cast<DWORD>(own.size() * 2));
    LoadTraceSettings(nullptr);
    EXPECT_TRUE(g_TraceSettings.SuppressProcessOutput);
}

TEST_F(TraceSettingsTest, SuppressionListMustBeANonEmptyMultiString)
{
    SetTraceText("", u"SuppressProcessOutput", REG_SZ, u"host.exe", 18);
    EXPECT_FALSE(SuppressedFor("/opt/host.exe"));
    SetTraceText("", u"SuppressProcessOutput", REG_MULTI_SZ, u"", 0);
    EXPECT_FALSE(SuppressedFor("/opt/host.exe"));
    // A list whose last string lacks its terminators still ends.
    SetTraceText("", u"SuppressProcessOutput", REG_MULTI_SZ, u"host.exe", 16);
    EXPECT_TRUE(SuppressedFor("/opt/host.exe"));
}

} // namespace
