// The version resource: made at build time from the project's version, read
// through GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW,
// and walked safely when its blocks lie.
#include <windows.h>
#include <winver.h>

#include "ascii_text.h"
#include "elf_builder.h"
#include "machine_root.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using tonwell::test::BuildElf;
using tonwell::test::ElfSpec;
using tonwell::test::ReadBytes;
using tonwell::test::WriteBytes;

namespace {

using VersionTest = tonwell::test::MachineRootFixture;

using tonwell::test::Wide;

std::u16string TestModule(const char* name) { return Wide(std::string(TONWELL_RSRC_MODULES) + "/" + name); }

std::vector<uint8_t> VersionBlockOf(const std::u16string& path)
{
    DWORD handle = 1234;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0)
        return {};
    std::vector<uint8_t> block(size);
    EXPECT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    return block;
}

std::u16string Text(const std::vector<uint8_t>& block, const char16_t* path, UINT* length = nullptr)
{
    void* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), path, &value, &len))
        return u"<missing>";
    if (length)
        *length = len;
    return std::u16string(static_cast<const char16_t*>(value));
}

VS_FIXEDFILEINFO Fixed(const std::vector<uint8_t>& block)
{
    void* value = nullptr;
    UINT len = 0;
    VS_FIXEDFILEINFO info{};
    EXPECT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &len));
    EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    if (value)
        std::memcpy(&info, value, sizeof info);
    return info;
}

std::vector<WORD> Translation(const std::vector<uint8_t>& block)
{
    void* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &len) || len != 4)
        return {};
    WORD pair[2];
    std::memcpy(pair, value, 4);
    return {pair[0], pair[1]};
}

TEST_F(VersionTest, TheServerModuleCarriesTheProjectVersion)
{
    const std::vector<uint8_t> block = VersionBlockOf(Wide(TONWELL_SERVER_MODULE));
    ASSERT_FALSE(block.empty()) << GetLastError();
    VS_FIXEDFILEINFO info = Fixed(block);
    EXPECT_EQ(info.dwSignature, DWORD(VS_FFI_SIGNATURE));
    EXPECT_EQ(info.dwStrucVersion, DWORD(VS_FFI_STRUCVERSION));
    EXPECT_EQ(info.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(info.dwFileType, DWORD(VFT_DLL));

    const std::u16string table = u"\\StringFileInfo\\040904B0\\";
    UINT length = 0;
    EXPECT_EQ(Text(block, (table + u"FileVersion").c_str(), &length), u"1.0.0.1");
    EXPECT_EQ(length, 8u) << "characters, the terminator included";
    EXPECT_EQ(Text(block, (table + u"FileDescription").c_str()), u"TonwellObj Module");
    EXPECT_EQ(Text(block, (table + u"InternalName").c_str()), u"TonwellObj");
    EXPECT_EQ(Text(block, (table + u"OriginalFilename").c_str()), u"TonwellObj.so");
    EXPECT_EQ(Text(block, (table + u"ProductName").c_str()), u"TonwellObj Module");
    EXPECT_EQ(Text(block, (table + u"ProductVersion").c_str()), u"1.0.0.1");
    EXPECT_NE(Text(block, (table + u"CompanyName").c_str()), u"<missing>");
    EXPECT_NE(Text(block, (table + u"LegalCopyright").c_str()), u"<missing>");
    EXPECT_EQ(Text(block, (table + u"OLESelfRegister").c_str()), u"") << "announces self-registration";
    EXPECT_EQ(Translation(block), (std::vector<WORD>{0x0409, 0x04B0}));
}

TEST_F(VersionTest, QueriesAnswerExactValues)
{
    const std::vector<uint8_t> block = VersionBlockOf(TestModule("tonwellrsrcdata.so"));
    ASSERT_FALSE(block.empty()) << GetLastError();
    VS_FIXEDFILEINFO info = Fixed(block);
    EXPECT_EQ(info.dwFileVersionMS, 0x00020003u);
    EXPECT_EQ(info.dwFileVersionLS, 0x00040005u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00060007u);
    EXPECT_EQ(info.dwProductVersionLS, 0x00080009u);
    EXPECT_EQ(info.dwFileFlagsMask, DWORD(VS_FFI_FILEFLAGSMASK));
    EXPECT_EQ(info.dwFileFlags, 0u);
    EXPECT_EQ(info.dwFileOS, DWORD(VOS_NT_WINDOWS32));

    UINT length = 0;
    EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904B0\\FileDescription", &length), u"Resource test module");
    EXPECT_EQ(length, 21u);
    EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904B0\\Comments"), u"Grüße aus dem Test");
    EXPECT_EQ(Text(block, u"\\stringfileinfo\\040904b0\\fileversion"), u"2.3.4.5") << "keys ignore case";
    EXPECT_EQ(Text(block, u"StringFileInfo\\\\040904B0\\FileVersion\\"), u"2.3.4.5") << "empty parts are skipped";
    EXPECT_EQ(Text(block, u"\\StringFileInfo\\040904B0\\OLESelfRegister", &length), u"");
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(Translation(block), (std::vector<WORD>{0x0409, 0x04B0}));

    void* value = nullptr;
    UINT len = 99;
    SetLastError(0);
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\NoSuchKey", &value, &len));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040704B0\\FileVersion", &value, &len));
    EXPECT_FALSE(VerQueryValueW(nullptr, u"\\", &value, &len));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VerQueryValueW(block.data(), nullptr, &value, &len));
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\", nullptr, &len));
}

TEST_F(VersionTest, FilesWithoutAVersionSayWhy)
{
    SetLastError(0);
    EXPECT_EQ(GetFileVersionInfoSizeW(TestModule("tonwellrsrcnover.so").c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(TONWELL_TEST_MODULE).c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(Root().string() + "/missing.so").c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    WriteBytes(Root().string() + "/text.so", {'n', 'o', 't', ' ', 'E', 'L', 'F'});
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(Root().string() + "/text.so").c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));

    // A buffer too small is refused whole: a cut block would claim bytes the caller does not hold.
    const std::u16string module = TestModule("tonwellrsrcdata.so");
    DWORD size = GetFileVersionInfoSizeW(module.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> small(size - 1, 0xAB);
    EXPECT_FALSE(GetFileVersionInfoW(module.c_str(), 0, size - 1, small.data()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, std::vector<uint8_t>(size - 1, 0xAB));
    EXPECT_FALSE(GetFileVersionInfoW(module.c_str(), 0, size, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(VersionTest, AVersionResourceThatIsNoBlockIsInvalidData)
{
    // Packed as RT_VERSION 1 by the packer itself, but its bytes are no VS_VERSIONINFO.
    const std::string dir = Root().string();
    WriteBytes(dir + "/garbage.bin", {'V', 0, 'S', 0, '_', 0, 1, 2, 3, 4, 5, 6, 7, 8});
    std::string command = std::string("'") + TONWELL_RESPACK + "' --resource 16 1 0x409 '" + dir +
                          "/garbage.bin' --blob '" + dir + "/v.rsrc' --source '" + dir + "/v.c'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ElfSpec spec;
    spec.section = ReadBytes(dir + "/v.rsrc");
    WriteBytes(dir + "/badversion.so", BuildElf(spec).bytes);
    SetLastError(0);
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(dir + "/badversion.so").c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
}

// ---- Blocks made by hand, then broken one way at a time -------------------

struct Block {
    std::u16string key;
    bool text = false;
    std::vector<uint8_t> value;
    uint16_t valueLength = 0;
    std::vector<Block> children;
};

Block TextValue(std::u16string key, const std::u16string& value)
{
    Block b{std::move(key), true, {}, uint16_t(value.size() + 1), {}};
    for (char16_t c : value + u'\0')
        b.value.push_back(uint8_t(c)), b.value.push_back(uint8_t(c >> 8));
    return b;
}

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}

// Emits b; starts[] gets each block's offset in the order written.
void Emit(const Block& b, std::vector<uint8_t>& out, std::vector<size_t>& starts)
{
    out.resize((out.size() + 3) & ~size_t(3));
    size_t start = out.size();
    starts.push_back(start);
    out.resize(start + 6);
    Put16(out, start + 2, b.valueLength);
    Put16(out, start + 4, b.text ? 1 : 0);
    for (char16_t c : b.key + u'\0')
        out.push_back(uint8_t(c)), out.push_back(uint8_t(c >> 8));
    out.resize((out.size() + 3) & ~size_t(3));
    out.insert(out.end(), b.value.begin(), b.value.end());
    for (const Block& child : b.children)
        Emit(child, out, starts);
    Put16(out, start, uint32_t(out.size() - start));
}

// Block order: 0 root, 1 StringFileInfo, 2 the table, 3 FileVersion, 4 Empty, 5 VarFileInfo, 6 Translation.
std::vector<uint8_t> HandMade(std::vector<size_t>& starts)
{
    Block root{u"VS_VERSION_INFO", false, std::vector<uint8_t>(52, 0), 52, {}};
    const uint32_t signature = 0xFEEF04BD;
    std::memcpy(root.value.data(), &signature, 4);
    Block table{u"040904B0", true, {}, 0, {TextValue(u"FileVersion", u"1.2"), TextValue(u"Empty", u"")}};
    root.children.push_back(Block{u"StringFileInfo", true, {}, 0, {table}});
    root.children.push_back(Block{u"VarFileInfo", true, {}, 0, {Block{u"Translation", false, {9, 4, 0xB0, 4}, 4, {}}}});
    std::vector<uint8_t> out;
    Emit(root, out, starts);
    return out;
}

enum Outcome { kFound, kMissing, kInvalid };

Outcome Query(const std::vector<uint8_t>& block, const char16_t* path)
{
    void* value = nullptr;
    UINT length = 0;
    SetLastError(0);
    if (VerQueryValueW(block.data(), path, &value, &length))
        return kFound;
    return GetLastError() == ERROR_INVALID_DATA ? kInvalid : kMissing;
}

const char16_t kVersionPath[] = u"\\StringFileInfo\\040904B0\\FileVersion";

TEST_F(VersionTest, MalformedBlocksAreRefusedWhereTheyAreWalked)
{
    std::vector<size_t> at;
    const std::vector<uint8_t> good = HandMade(at);
    ASSERT_EQ(at.size(), 7u);
    EXPECT_EQ(Query(good, u"\\"), kFound);
    EXPECT_EQ(Text(good, kVersionPath), u"1.2");
    EXPECT_EQ(Text(good, u"\\StringFileInfo\\040904B0\\Empty"), u"");
    EXPECT_EQ(Translation(good), (std::vector<WORD>{0x0409, 0x04B0}));

    auto broken = [&](auto&& edit) {
        std::vector<uint8_t> b = good;
        edit(b);
        return b;
    };
    // The root: too short for a header and key, its key cut off, or not the version key.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, 0, 7); }), u"\\"), kInvalid);
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, 0, 6 + 2 * 5); }), u"\\"), kInvalid);
    EXPECT_EQ(Query(broken([&](auto& b) { b[6 + 2 * 14] = 'X'; }), u"\\"), kInvalid);
    // An unknown type.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[3] + 4, 2); }), kVersionPath), kInvalid);
    // A child of length 0, or one that runs past its parent.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[1], 0); }), kVersionPath), kInvalid);
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[2], uint32_t(good.size())); }), kVersionPath), kInvalid);
    // A sibling passed on the way is checked too.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[1], 0); }), u"\\VarFileInfo\\Translation"), kInvalid);
    // A value longer than its block, as text and as bytes.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[3] + 2, 200); }), kVersionPath), kInvalid);
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[6] + 2, 200); }), u"\\VarFileInfo\\Translation"), kInvalid);
    // Text with no terminator inside its block.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, at[4] - 2, 'x'); }), kVersionPath), kInvalid);
    // The fixed record: shorter than itself, or unsigned. The strings stay readable.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, 2, 40); }), u"\\"), kInvalid);
    std::vector<uint8_t> unsigned_ = broken([&](auto& b) { b[40] ^= 0xFF; });
    EXPECT_EQ(Query(unsigned_, u"\\"), kInvalid);
    EXPECT_EQ(Text(unsigned_, kVersionPath), u"1.2");
    // No record at all is no answer rather than a broken one.
    EXPECT_EQ(Query(broken([&](auto& b) { Put16(b, 2, 0); }), u"\\"), kMissing);
}

// Every value a query returns lies inside the block it was given, text terminated there.
void ExpectContained(const std::vector<uint8_t>& block)
{
    const struct {
        const char16_t* path;
        bool text;
    } queries[] = {{u"\\", false},
                   {kVersionPath, true},
                   {u"\\StringFileInfo\\040904B0\\OLESelfRegister", true},
                   {u"\\StringFileInfo\\040904B0\\Comments", true},
                   {u"\\VarFileInfo\\Translation", false}};
    const uint8_t* end = block.data() + block.size();
    for (const auto& q : queries) {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), q.path, &value, &length))
            continue;
        auto* p = static_cast<const uint8_t*>(value);
        ASSERT_TRUE(p >= block.data() && p <= end);
        EXPECT_LE(q.text ? 2 * size_t(length) : size_t(length), size_t(end - p));
        if (q.text) {
            size_t units = 0;
            while (p + 2 * units + 2 <= end && (p[2 * units] | p[2 * units + 1]))
                ++units;
            EXPECT_LE(p + 2 * units + 2, end) << "text runs past the block";
        }
    }
}

TEST_F(VersionTest, BlocksCutAtEveryLengthAreWalkedInBounds)
{
    const std::vector<uint8_t> real = VersionBlockOf(TestModule("tonwellrsrcdata.so"));
    ASSERT_GT(real.size(), 8u);
    for (size_t length = 0; length <= real.size(); ++length) {
        // A buffer of exactly the claimed length, so the sanitizer sees any read beyond it.
        std::vector<uint8_t> cut(real.begin(), real.begin() + ptrdiff_t(std::max<size_t>(length, 2)));
        Put16(cut, 0, uint32_t(length));
        ExpectContained(cut);
        // The last block no longer fits its cut parent, so it is never found.
        EXPECT_EQ(Query(cut, u"\\VarFileInfo\\Translation") == kFound, length == real.size()) << length;
    }
}

TEST_F(VersionTest, RandomlyDamagedBlocksAreWalkedInBounds)
{
    const std::vector<uint8_t> real = VersionBlockOf(TestModule("tonwellrsrcdata.so"));
    ASSERT_FALSE(real.empty());
    std::mt19937 random(99);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> block = real;
        for (int i = 0, flips = 1 + int(random() % 6); i < flips; ++i) {
            size_t at = random() % block.size();
            block[at] ^= uint8_t(1u << (random() % 8));
        }
        // The claimed root length bounds the walk; give the buffer exactly that many bytes.
        size_t claimed = size_t(block[0]) | size_t(block[1]) << 8;
        block.resize(std::max<size_t>(claimed, 2));
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectContained(block);
    }
}

} // namespace
