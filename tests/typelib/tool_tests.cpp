// tonwell typelib show: readable IDL that compiles back to the very same bytes.
#include "typelib_test_support.h"

#include "machine_root.h"

using namespace tonwell::test;
namespace fs = std::filesystem;

namespace {

class TypelibShow : public MachineRootFixture {
protected:
    std::string Path(const char* name) const { return (Root() / name).string(); }
    static std::string Show(const std::string& args) { return std::string(TONWELL_TEST_TONWELL) + " typelib " + args; }
};

TEST_F(TypelibShow, PrintsTheInterfaceAsIdl)
{
    RunResult r = RunCommand(Show("show " + kTonwellTlb));
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* line : {"library TONWELLOBJLib\n", "    importlib(\"stdole2.tlb\");\n",
                             "        uuid(9D2F309B-5941-468F-B357-EFDD74ED99BD),\n        dual,\n",
                             "    interface ITonwellExposure : IDispatch\n",
                             "        [id(2), helpstring(\"method SetImage\")]\n"
                             "        HRESULT SetImage([in] unsigned char* pImage, [in] unsigned long dwWidth, "
                             "[in] unsigned long dwHeight, [in] unsigned long dwStride);\n",
                             "    coclass TonwellExposure\n    {\n        [default] interface ITonwellExposure;\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n--- in ---\n" << r.output;
}

TEST_F(TypelibShow, TheTextCompilesBackToTheSameBytes)
{
    for (const std::string& source : {kTonwellTlb, kStdole2Tlb}) {
        RunResult shown = RunCommand(Show("show " + source + " > " + Path("shown.idl")));
        ASSERT_EQ(shown.status, 0) << shown.output;
        RunResult compiled = RunCommand(std::string(TONWELL_TEST_MIDL) + " -L " + fs::path(kStdole2Tlb).parent_path().string() +
                                 " --tlb " + Path("again.tlb") + " " + Path("shown.idl"));
        ASSERT_EQ(compiled.status, 0) << compiled.output;
        EXPECT_EQ(ReadBytes(Path("again.tlb")), ReadBytes(source)) << source;
    }
}

TEST_F(TypelibShow, ReportsWhatItCannotRead)
{
    std::vector<uint8_t> bytes = ReadBytes(kTonwellTlb);
    bytes.resize(bytes.size() - 1);
    WriteBytes(Path("cut.tlb"), bytes);
    RunResult r = RunCommand(Show("show " + Path("cut.tlb")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(Path("cut.tlb") + ": 0x80028CA2: "), std::string::npos) << r.output;

    r = RunCommand(Show("show " + Path("missing.tlb")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cannot open"), std::string::npos) << r.output;

    WriteBytes(Path("text.txt"), {'n', 'o'});
    r = RunCommand(Show("show " + Path("text.txt")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("neither a type library nor a module"), std::string::npos) << r.output;

    EXPECT_EQ(RunCommand(Show("")).status, 2);
    EXPECT_EQ(RunCommand(Show("list")).status, 2);
    EXPECT_EQ(RunCommand(Show("--help")).status, 0);
}

TEST_F(TypelibShow, ShowsTheTypeLibraryOfAModule)
{
#ifndef TONWELL_TEST_RESOURCE_MODULE
    GTEST_SKIP() << "this build cannot pack module resources (tonwell_add_resources)";
#else
    RunResult r = RunCommand(Show("show " + std::string(TONWELL_TEST_RESOURCE_MODULE)));
    if (r.status != 0 && r.output.find("has no TYPELIB resource") != std::string::npos)
        GTEST_SKIP() << "module resources are not in this build yet";
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("library TONWELLOBJLib"), std::string::npos);
    r = RunCommand(Show("show '" + std::string(TONWELL_TEST_RESOURCE_MODULE) + "\\2'"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("library stdole"), std::string::npos);
#endif
}

} // namespace
