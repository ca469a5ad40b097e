// Resources of modules: packed at build time, found through the platform's
// resource functions on data-file handles and on loaded modules, and read
// safely from files that are not what they claim to be.
#include <windows.h>

#include "ascii_text.h"
#include "elf_builder.h"
#include "machine_root.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using tonwell::test::BuildElf;
using tonwell::test::ElfImage;
using tonwell::test::ElfSpec;
using tonwell::test::ReadBytes;
using tonwell::test::WriteBytes;

namespace {

using ResourceTest = tonwell::test::MachineRootFixture;

using tonwell::test::Wide;

std::string ModulePath(const char* name) { return std::string(TONWELL_RSRC_MODULES) + "/" + name; }

std::vector<uint8_t> DataFile(const char* name) { return ReadBytes(std::string(TONWELL_RSRC_DATA) + "/" + name); }

HMODULE LoadAsData(const std::string& path, DWORD flags = LOAD_LIBRARY_AS_DATAFILE)
{
    return LoadLibraryExW(Wide(path).c_str(), nullptr, flags);
}

// The resource's bytes, read in full (so that the sanitizer sees every byte
// the reader hands out), or nullopt with the error.
struct Found {
    bool ok = false;
    DWORD error = 0;
    std::vector<uint8_t> bytes;
};

Found Read(HMODULE h, LPCWSTR type, LPCWSTR name, WORD lang = 0, bool ex = false)
{
    Found f;
    SetLastError(0);
    HRSRC res = ex ? FindResourceExW(h, type, name, lang) : FindResourceW(h, name, type);
    if (!res) {
        f.error = GetLastError();
        return f;
    }
    HGLOBAL data = LoadResource(h, res);
    DWORD size = SizeofResource(h, res);
    if (!data) {
        f.error = GetLastError();
        return f;
    }
    auto* p = static_cast<const uint8_t*>(LockResource(data));
    f.bytes.assign(p, p + size);
    f.ok = true;
    return f;
}

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

void ExpectResourcesOfTestModule(HMODULE h)
{
    const std::vector<uint8_t> binary = DataFile("binary.bin");
    const std::vector<uint8_t> script = DataFile("script.rgs");
    // By number, by name in any case, and "#N".
    EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(1)).bytes, binary);
    EXPECT_EQ(Read(h, u"typelib", u"#1").bytes, binary);
    EXPECT_EQ(Read(h, u"TypeLib", u"#0001").bytes, binary);
    EXPECT_EQ(Read(h, u"REGISTRY", MAKEINTRESOURCEW(101)).bytes, script);
    EXPECT_EQ(Read(h, u"Registry", u"#101").bytes, script);
    EXPECT_EQ(Read(h, u"greeting", u"WELCOME").bytes, Bytes("Hello"));
    // A number type, and an empty resource, which still has an address.
    Found empty = Read(h, RT_RCDATA, MAKEINTRESOURCEW(7));
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_TRUE(Read(h, u"#10", u"#7").ok);
    // The A form takes the process code page.
    HRSRC a = FindResourceA(h, "#101", "registry");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SizeofResource(h, a), script.size());
}

TEST_F(ResourceTest, DataFileFindsResourcesByNumberAndByName)
{
    HMODULE h = LoadAsData(ModulePath("tonwellrsrcdata.so"));
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) & 3, 1u) << "a data-file handle is tagged";
    ExpectResourcesOfTestModule(h);
    EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(ResourceTest, MissingTypesNamesAndLanguagesHaveTheirOwnCodes)
{
    HMODULE h = LoadAsData(ModulePath("tonwellrsrcdata.so"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Read(h, u"NOSUCHTYPE", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(Read(h, MAKEINTRESOURCEW(99), MAKEINTRESOURCEW(1)).error, DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(2)).error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Read(h, u"TYPELIB", u"one").error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    // A name that only looks like a number is a name; "#" with a number too large is text.
    EXPECT_EQ(Read(h, u"REGISTRY", u"#101x").error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Read(h, u"REGISTRY", u"#65637").error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Read(h, u"REGISTRY", u"101").error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Read(h, u"Greeting", u"Only", 0x040C, true).error, DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(FindResourceW(h, nullptr, u"TYPELIB"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    FreeLibrary(h);

    // A module without resources, and the program, which has none either.
    h = LoadAsData(TONWELL_TEST_MODULE);
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    FreeLibrary(h);
    EXPECT_EQ(Read(nullptr, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST_F(ResourceTest, LanguagesFallBackFromSublanguageToNeutral)
{
    HMODULE h = LoadAsData(ModulePath("tonwellrsrcdata.so"));
    ASSERT_NE(h, nullptr);
    auto ex = [&](LPCWSTR name, WORD lang) { return Read(h, u"Greeting", name, lang, true); };
    EXPECT_EQ(ex(u"Welcome", 0x0409).bytes, Bytes("Hello"));
    EXPECT_EQ(ex(u"Welcome", 0x0407).bytes, Bytes("Hallo"));
    EXPECT_EQ(ex(u"Welcome", 0x0C07).bytes, Bytes("Servus"));
    EXPECT_EQ(ex(u"Welcome", 0x0807).bytes, Bytes("Guten Tag")) << "de-CH takes German without sublanguage";
    EXPECT_EQ(ex(u"Welcome", 0x040C).error, DWORD(ERROR_RESOURCE_LANG_NOT_FOUND)) << "no French, no neutral";
    EXPECT_EQ(ex(u"Farewell", 0x040C).bytes, Bytes("Goodbye, in any language")) << "neutral serves every language";
    EXPECT_EQ(ex(u"Only", 0x0407).bytes, Bytes("Nur Deutsch"));
    // A neutral request: neutral, then US English, then whatever there is.
    EXPECT_EQ(Read(h, u"Greeting", u"Welcome").bytes, Bytes("Hello"));
    EXPECT_EQ(ex(u"Welcome", MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)).bytes, Bytes("Hello"));
    EXPECT_EQ(Read(h, u"Greeting", u"Farewell").bytes, Bytes("Goodbye, in any language"));
    EXPECT_EQ(Read(h, u"Greeting", u"Only").bytes, Bytes("Nur Deutsch"));
    FreeLibrary(h);
}

// Reading the module whose constructor aborts proves that no code of it runs.
TEST_F(ResourceTest, DataFileHandlesRunNothingAndServeOnlyResources)
{
    const std::string path = ModulePath("tonwellrsrcdata.so");
    HMODULE h1 = LoadAsData(path);
    HMODULE h2 = LoadAsData(path, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HMODULE h3 = LoadAsData(path, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE);
    ASSERT_TRUE(h1 && h2 && h3);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h2) & 3, 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h3) & 3, 1u);
    EXPECT_NE(h1, h3) << "every data-file load is a copy of its own";
    EXPECT_EQ(GetModuleHandleW(u"tonwellrsrcdata.dll"), nullptr) << "not loaded";

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h1, "RsrcModuleAnswer"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    char16_t name[512];
    EXPECT_EQ(GetModuleFileNameW(h1, name, 512), 0u);

    // A resource of one module is not one of another's.
    HRSRC res = FindResourceW(h1, MAKEINTRESOURCEW(101), u"REGISTRY");
    ASSERT_NE(res, nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadResource(h2, res), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SizeofResource(h2, res), 0u);
    EXPECT_EQ(LoadResource(h1, nullptr), nullptr);
    EXPECT_NE(LoadResource(h1, res), nullptr);
    EXPECT_FALSE(FreeResource(LoadResource(h1, res)));

    EXPECT_TRUE(FreeLibrary(h1));
    EXPECT_TRUE(FreeLibrary(h2));
    EXPECT_TRUE(FreeLibrary(h3));
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(h1)) << "freed once only";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(Read(h1, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(ResourceTest, LoadedModulesServeTheirResourcesUntilUnloaded)
{
    const std::string path = ModulePath("tonwellrsrcload.so");
    HMODULE h = LoadLibraryW(Wide(path).c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) & 0xFFF, 0u) << "a load base";
    auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(h, "RsrcModuleAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    ExpectResourcesOfTestModule(h);

    // The same handle found another way, and the data stays put while loaded.
    HMODULE again = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, u"tonwellrsrcload.dll", &again));
    EXPECT_EQ(again, h);
    HRSRC res = FindResourceW(h, MAKEINTRESOURCEW(1), u"TYPELIB");
    const void* first = LockResource(LoadResource(h, res));
    EXPECT_EQ(LockResource(LoadResource(h, FindResourceW(again, u"#1", u"TYPELIB"))), first);

    EXPECT_TRUE(FreeLibrary(h));
    ASSERT_EQ(GetModuleHandleW(u"tonwellrsrcload.dll"), nullptr) << "unloaded";
    EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_MOD_NOT_FOUND));

    // Loaded again (perhaps at the same base), it is read afresh.
    h = LoadLibraryW(Wide(path).c_str());
    ASSERT_NE(h, nullptr);
    ExpectResourcesOfTestModule(h);
    FreeLibrary(h);
}

TEST_F(ResourceTest, FilesThatAreNotModulesGiveClearErrors)
{
    const std::string dir = Root().string();
    SetLastError(0);
    EXPECT_EQ(LoadAsData(dir + "/missing.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(LoadAsData(dir + "/no/such/folder/x.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(LoadAsData("missing-bare-name.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    fs::create_directory(dir + "/folder.so");
    EXPECT_EQ(LoadAsData(dir + "/folder.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    auto expectNotModule = [&](const std::string& file, const std::vector<uint8_t>& bytes) {
        WriteBytes(dir + "/" + file, bytes);
        SetLastError(0);
        EXPECT_EQ(LoadAsData(dir + "/" + file), nullptr) << file;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT)) << file;
    };
    expectNotModule("empty.so", {});
    expectNotModule("text.so", Bytes("HKCR\r\n{\r\n}\r\n, which is no module at all"));
    ElfSpec relocatable;
    relocatable.type = ET_REL;
    expectNotModule("object.o", BuildElf(relocatable).bytes);

    // A FIFO under a module's name must not hang the reader.
    ASSERT_EQ(mkfifo((dir + "/fifo.so").c_str(), 0600), 0);
    EXPECT_EQ(LoadAsData(dir + "/fifo.so"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));

    // A module without a section table is sound but has no resources.
    ElfSpec stripped;
    ElfImage image = BuildElf(stripped);
    std::fill(image.bytes.begin() + 40, image.bytes.begin() + 48, 0); // e_shoff
    WriteBytes(dir + "/stripped.so", image.bytes);
    HMODULE h = LoadAsData(dir + "/stripped.so");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    FreeLibrary(h);
}

struct Machine {
    bool is64, big;
    uint16_t machine;
    const char* name;
};
const Machine kMachines[] = {{false, true, EM_PPC, "elf32-powerpc"},
                             {false, false, EM_ARM, "elf32-arm"},
                             {true, true, EM_S390, "elf64-s390"},
                             {true, false, EM_AARCH64, "elf64-aarch64"}};

ElfSpec SpecFor(const Machine& m)
{
    ElfSpec spec;
    spec.is64 = m.is64;
    spec.bigEndian = m.big;
    spec.machine = m.machine;
    spec.section = ReadBytes(TONWELL_RSRC_BLOB);
    return spec;
}

TEST_F(ResourceTest, ModulesOfOtherMachinesReadAsWell)
{
    for (const Machine& m : kMachines) {
        SCOPED_TRACE(m.name);
        const std::string path = Root().string() + "/" + m.name + ".so";
        WriteBytes(path, BuildElf(SpecFor(m)).bytes);
        HMODULE h = LoadAsData(path, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(h, nullptr) << GetLastError();
        ExpectResourcesOfTestModule(h);
        FreeLibrary(h);
        EXPECT_GT(GetFileVersionInfoSizeW(Wide(path).c_str(), nullptr), 0u);
    }
}

// Every length the file can be cut to is an error at load, never a read past the end.
TEST_F(ResourceTest, TruncatedFilesAreRejectedAtEveryLength)
{
    // Both classes and both byte orders.
    for (const Machine& m : {kMachines[0], kMachines[3]}) {
        SCOPED_TRACE(m.name);
        const std::vector<uint8_t> whole = BuildElf(SpecFor(m)).bytes;
        const std::string path = Root().string() + "/cut.so";
        for (size_t length = 0; length < whole.size(); ++length) {
            WriteBytes(path, std::vector<uint8_t>(whole.begin(), whole.begin() + ptrdiff_t(length)));
            SetLastError(0);
            HMODULE h = LoadAsData(path);
            EXPECT_EQ(h, nullptr) << "cut to " << length;
            EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT)) << "cut to " << length;
            if (h)
                FreeLibrary(h);
        }
    }
}

// A section that claims less than its blob: the container is sound, the resources are not.
TEST_F(ResourceTest, ResourceSectionsCutShortAreInvalidData)
{
    const Machine& m = kMachines[0];
    ElfSpec spec = SpecFor(m);
    ElfImage image = BuildElf(spec);
    const std::string path = Root().string() + "/short.so";
    for (uint64_t size = 0; size < spec.section.size(); ++size) {
        SetSectionSize(image, spec, size);
        WriteBytes(path, image.bytes);
        HMODULE h = LoadAsData(path);
        ASSERT_NE(h, nullptr) << "section of " << size;
        EXPECT_EQ(Read(h, u"TYPELIB", MAKEINTRESOURCEW(1)).error, DWORD(ERROR_INVALID_DATA)) << size;
        FreeLibrary(h);
    }
    // And one that claims more than the file has.
    SetSectionSize(image, spec, spec.section.size() + 1);
    WriteBytes(path, image.bytes);
    EXPECT_EQ(LoadAsData(path), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
}

// Everything the reader may answer for a damaged file, resource by resource.
void ProbeDamagedFile(const std::string& path)
{
    static const DWORD kLoadErrors[] = {ERROR_BAD_EXE_FORMAT};
    static const DWORD kFindErrors[] = {ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_INVALID_DATA, ERROR_RESOURCE_TYPE_NOT_FOUND,
                                        ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND};
    auto expectOneOf = [](DWORD error, auto& set) {
        EXPECT_NE(std::find(std::begin(set), std::end(set), error), std::end(set)) << "error " << error;
    };
    HMODULE h = LoadAsData(path);
    if (!h) {
        expectOneOf(GetLastError(), kLoadErrors);
        return;
    }
    const std::pair<LPCWSTR, LPCWSTR> lookups[] = {{u"TYPELIB", MAKEINTRESOURCEW(1)},
                                                   {u"REGISTRY", u"#101"},
                                                   {u"Greeting", u"Welcome"},
                                                   {RT_RCDATA, MAKEINTRESOURCEW(7)},
                                                   {RT_VERSION, MAKEINTRESOURCEW(1)}};
    for (auto [type, name] : lookups) {
        Found f = Read(h, type, name);
        if (!f.ok)
            expectOneOf(f.error, kFindErrors);
    }
    FreeLibrary(h);
    // The version functions walk whatever block survived.
    const std::u16string wide = Wide(path);
    DWORD size = GetFileVersionInfoSizeW(wide.c_str(), nullptr);
    if (size) {
        std::vector<uint8_t> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(wide.c_str(), 0, size, block.data()));
        for (LPCWSTR sub : {u"\\", u"\\StringFileInfo\\040904B0\\FileVersion", u"\\VarFileInfo\\Translation"}) {
            void* value = nullptr;
            UINT length = 0;
            if (VerQueryValueW(block.data(), sub, &value, &length)) {
                auto* p = static_cast<const uint8_t*>(value);
                EXPECT_GE(p, block.data());
                EXPECT_LE(p, block.data() + block.size());
            }
        }
    }
}

TEST_F(ResourceTest, RandomlyDamagedFilesNeverReadOutOfBounds)
{
    std::mt19937 random(20240613);
    ElfSpec spec = SpecFor(kMachines[3]);
    const ElfImage image = BuildElf(spec);
    const std::string path = Root().string() + "/damaged.so";
    for (int round = 0; round < 1500; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<uint8_t> bytes = image.bytes;
        const int flips = 1 + int(random() % 4);
        for (int i = 0; i < flips; ++i) {
            // Mostly the blob's header, entries and strings, where every word is an offset or size.
            size_t at = random() % 4 == 0 ? random() % bytes.size()
                                          : image.sectionOffset + random() % std::min<size_t>(spec.section.size(), 256);
            bytes[at] ^= uint8_t(1u << (random() % 8));
        }
        WriteBytes(path, bytes);
        ProbeDamagedFile(path);
    }
}

// The same on the real module: its ELF header, section table and names, and its resource section.
TEST_F(ResourceTest, RandomlyDamagedModulesNeverReadOutOfBounds)
{
    const std::vector<uint8_t> module = ReadBytes(ModulePath("tonwellrsrcdata.so"));
    ASSERT_GE(module.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr ehdr;
    std::memcpy(&ehdr, module.data(), sizeof ehdr);
    ASSERT_EQ(ehdr.e_ident[EI_CLASS], ELFCLASS64) << "the host's own modules are ELF64 here";
    std::vector<std::pair<size_t, size_t>> regions = {{0, sizeof ehdr},
                                                      {ehdr.e_shoff, size_t(ehdr.e_shnum) * ehdr.e_shentsize}};
    auto sectionAt = [&](unsigned i) {
        Elf64_Shdr shdr;
        std::memcpy(&shdr, module.data() + ehdr.e_shoff + i * ehdr.e_shentsize, sizeof shdr);
        return shdr;
    };
    const Elf64_Shdr names = sectionAt(ehdr.e_shstrndx);
    regions.push_back({names.sh_offset, names.sh_size});
    for (unsigned i = 0; i < ehdr.e_shnum; ++i) {
        const Elf64_Shdr shdr = sectionAt(i);
        if (std::strcmp(reinterpret_cast<const char*>(module.data() + names.sh_offset + shdr.sh_name),
                        ".tonwell_rsrc") == 0)
            regions.push_back({shdr.sh_offset, std::min<size_t>(shdr.sh_size, 512)});
    }
    ASSERT_EQ(regions.size(), 4u) << "header, table, names and resources";

    std::mt19937 random(7);
    const std::string path = Root().string() + "/damaged-module.so";
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<uint8_t> bytes = module;
        for (int i = 0; i < 3; ++i) {
            auto [start, length] = regions[random() % regions.size()];
            bytes[start + random() % length] ^= uint8_t(1u << (random() % 8));
        }
        WriteBytes(path, bytes);
        ProbeDamagedFile(path);
    }
}

TEST_F(ResourceTest, ConcurrentReadersAndDataFileChurn)
{
    const std::string data = ModulePath("tonwellrsrcdata.so");
    const std::string load = ModulePath("tonwellrsrcload.so");
    HMODULE loaded = LoadLibraryW(Wide(load).c_str());
    ASSERT_NE(loaded, nullptr);
    const std::vector<uint8_t> script = DataFile("script.rgs");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                HMODULE h = LoadAsData(data);
                if (!h || Read(h, u"REGISTRY", u"#101").bytes != script || !FreeLibrary(h))
                    ++failures;
                if (Read(loaded, u"REGISTRY", u"#101").bytes != script)
                    ++failures;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    FreeLibrary(loaded);
}

// ---- The packer ----------------------------------------------------------

tonwell::test::ToolRun Pack(const std::string& args)
{
    return tonwell::test::RunShell(tonwell::test::ShellQuote(TONWELL_RESPACK) + " " + args);
}

TEST_F(ResourceTest, PackerRefusesBadInputAndLeavesNoOutput)
{
    const std::string dir = Root().string();
    const std::string data = TONWELL_RSRC_DATA;
    const std::string outputs = " --blob '" + dir + "/out.rsrc' --source '" + dir + "/out.c'";
    const std::string script = " '" + data + "/script.rgs'";
    const struct {
        std::string args;
        const char* message;
    } cases[] = {
        {"--resource TYPELIB 1 0" + script + " --resource typelib '#1' 0" + script, "given twice"},
        {"--resource TYPELIB '#abc' 0" + script, "neither a number nor a name"},
        {"--resource TYPELIB 0 0" + script, "start at 1"},
        {"--resource TYPELIB 65536 0" + script, "not a number"},
        {"--resource TYPELIB 1 0x10000" + script, "not a number"},
        {"--resource TYPELIB 1 0 '" + dir + "/missing.bin'", "cannot read"},
        {"--version 1 0x409" + script, "unknown directive"},
        {"--resource TYPELIB 1", "needs 4 argument"},
    };
    for (const auto& c : cases) {
        tonwell::test::ToolRun run = Pack(outputs + " " + c.args);
        EXPECT_EQ(run.exit, 1) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(dir + "/out.rsrc"));
        EXPECT_FALSE(fs::exists(dir + "/out.c"));
    }
    EXPECT_EQ(Pack("--resource TYPELIB 1 0" + script).exit, 2) << "no outputs named";

    // The same input packs to the same bytes.
    ASSERT_EQ(Pack("--resource TYPELIB 1 0" + script + outputs).exit, 0);
    std::vector<uint8_t> first = ReadBytes(dir + "/out.rsrc");
    ASSERT_EQ(Pack("--resource TYPELIB 1 0" + script + outputs).exit, 0);
    EXPECT_EQ(ReadBytes(dir + "/out.rsrc"), first);
    EXPECT_EQ(first.size() % 8, 0u);
    std::vector<uint8_t> source = ReadBytes(dir + "/out.c");
    EXPECT_NE(std::string(source.begin(), source.end()).find("section(\".tonwell_rsrc\")"), std::string::npos);
}

} // namespace
