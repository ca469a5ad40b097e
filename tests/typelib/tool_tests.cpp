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
    ToolRun r = RunShell(Show("show " + kTonwellTlb));
    ASSERT_EQ(r.exit, 0) << r.out;
    for (const char* line : {"library TONWELLOBJLib\n", "    importlib(\"stdole2.tlb\");\n",
                             "        uuid(9D2F309B-5941-468F-B357-EFDD74ED99BD),\n        dual,\n",
                             "    interface ITonwellExposure : IDispatch\n",
                             "        [id(2), helpstring(\"method SetImage\")]\n"
                             "        HRESULT SetImage([in] unsigned char* pImage, [in] unsigned long dwWidth, "
                             "[in] unsigned long dwHeight, [in] unsigned long dwStride);\n",
                             "    coclass TonwellExposure\n    {\n        [default] interface ITonwellExposure;\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n--- in ---\n" << r.out;
}

TEST_F(TypelibShow, TheTextCompilesBackToTheSameBytes)
{
    for (const std::string& source : {kTonwellTlb, kStdole2Tlb}) {
        ToolRun shown = RunShell(Show("show " + source + " > " + Path("shown.idl")));
        ASSERT_EQ(shown.exit, 0) << shown.out;
        ToolRun compiled = RunShell(std::string(TONWELL_TEST_MIDL) + " -L " +
                                    fs::path(kStdole2Tlb).parent_path().string() + " --tlb " + Path("again.tlb") + " " +
                                    Path("shown.idl"));
        ASSERT_EQ(compiled.exit, 0) << compiled.out;
        EXPECT_EQ(ReadBytes(Path("again.tlb")), ReadBytes(source)) << source;
    }
}

TEST_F(TypelibShow, ReportsWhatItCannotRead)
{
    std::vector<uint8_t> bytes = ReadBytes(kTonwellTlb);
    bytes.resize(bytes.size() - 1);
    WriteBytes(Path("cut.tlb"), bytes);
    ToolRun r = RunShell(Show("show " + Path("cut.tlb")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find(Path("cut.tlb") + ": 0x80028CA2: "), std::string::npos) << r.out;

    r = RunShell(Show("show " + Path("missing.tlb")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("cannot open"), std::string::npos) << r.out;

    WriteBytes(Path("text.txt"), {'n', 'o'});
    r = RunShell(Show("show " + Path("text.txt")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("neither a type library nor a module"), std::string::npos) << r.out;

    EXPECT_EQ(RunShell(Show("")).exit, 2);
    EXPECT_EQ(RunShell(Show("list")).exit, 2);
    EXPECT_EQ(RunShell(Show("--help")).exit, 0);
}

TEST_F(TypelibShow, ShowsTheTypeLibraryOfAModule)
{
#ifndef TONWELL_TEST_RESOURCE_MODULE
    GTEST_SKIP() << "this build cannot pack module resources (tonwell_add_resources)";
#else
    ToolRun r = RunShell(Show("show " + std::string(TONWELL_TEST_RESOURCE_MODULE)));
    if (r.exit != 0 && r.out.find("has no TYPELIB resource") != std::string::npos)
        GTEST_SKIP() << "module resources are not in this build yet";
    ASSERT_EQ(r.exit, 0) << r.out;
    EXPECT_NE(r.out.find("library TONWELLOBJLib"), std::string::npos);
    r = RunShell(Show("show '" + std::string(TONWELL_TEST_RESOURCE_MODULE) + "\\2'"));
    ASSERT_EQ(r.exit, 0) << r.out;
    EXPECT_NE(r.out.find("library stdole"), std::string::npos);
#endif
}

} // namespace
