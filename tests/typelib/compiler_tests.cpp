// tonwell-midl: errors at their positions, what the type library and the header get
// from a declaration, and the command line's all-or-nothing outputs.
#include "typelib_test_support.h"

#include "compiler.h"
#include "machine_root.h"
#include "parser.h"

#include <sys/wait.h>

using namespace tonwell::midl;
using namespace tonwell::test;
namespace tl = tonwell::typelib;
namespace fs = std::filesystem;

namespace {

const std::string kStdoleDir = fs::path(kStdole2Tlb).parent_path().string();

CompileResult CompileText(const std::string& idl, bool header = true)
{
    IdlFile file = Parse(idl);
    CompileOptions options;
    options.libraryPath = {kStdoleDir};
    options.header = header;
    options.headerName = "Out.h";
    options.sourceName = "in.idl";
    return Compile(file, options);
}

struct Expected {
    int line;
    int column;
    std::string fragment;
};

void ExpectError(const std::string& idl, Expected expected)
{
    SCOPED_TRACE(idl);
    try {
        CompileText(idl);
        ADD_FAILURE() << "no error; expected '" << expected.fragment << "'";
    } catch (const SyntaxError& e) {
        EXPECT_EQ(e.position.line, expected.line) << e.what();
        EXPECT_EQ(e.position.column, expected.column) << e.what();
        EXPECT_NE(std::string(e.what()).find(expected.fragment), std::string::npos) << e.what();
    }
}

// A valid dual interface and library around `body` (methods of IX).
std::string Library(const std::string& body, const std::string& ifaceAttrs = "object, dual, ")
{
    return "import \"oaidl.idl\";\n"
           "[" + ifaceAttrs + "uuid(11111111-2222-3333-4444-555555555555)]\n"
           "interface IX : IDispatch\n{\n" + body + "};\n"
           "[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.0)]\n"
           "library XLib\n{\n    importlib(\"stdole2.tlb\");\n"
           "    [uuid(99999999-8888-7777-6666-555555555555)] coclass X { [default] interface IX; };\n};\n";
}

TEST(IdlCompilerErrors, LexicalFaultsPointAtTheirCharacter)
{
    ExpectError("/* never closed", {1, 1, "comment is not closed"});
    ExpectError("cpp_quote(\"abc\n", {1, 11, "string is not closed"});
    ExpectError("cpp_quote(\"a\\q\")", {1, 13, "unknown escape \\q"});
    ExpectError("\n\n#include <x.h>", {3, 1, "preprocessor"});
    ExpectError("import \"oaidl.idl\";\n    @", {2, 5, "unexpected '@'"});
    ExpectError("[id(12ab)]", {1, 7, "after the number 12"});
    // Columns count characters, not bytes: the two-byte 'é' is one column.
    ExpectError("// é\ncpp_quote(\"é\") $", {2, 16, "unexpected '$'"});
}

TEST(IdlCompilerErrors, GrammarFaultsPointAtTheOffendingToken)
{
    ExpectError(Library("    [id(1)] HRESULT F(DWORD a)\n"), {6, 1, "expected ';'"});
    ExpectError(Library("    [id(1)] HRESULT F(DWORD a,);\n"), {5, 31, "expected a type"});
    ExpectError("coclass C {};", {1, 1, "belongs inside the library"});
    ExpectError("importlib(\"stdole2.tlb\");", {1, 1, "belongs inside the library"});
    ExpectError("[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE)] library A {};\n"
                "[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEF)] library B {};",
                {2, 46, "one library"});
    ExpectError("typedef long X;", {1, 1, "'typedef' is not supported"});
    ExpectError(Library("    [id(1)] HRESULT F(const BYTE* p);\n"), {5, 23, "'const' is not supported"});
    ExpectError("[object, uuid(11111111-2222-3333-4444-555555555555)] interface A : IUnknown {",
                {1, 78, "is not closed"});
}

TEST(IdlCompilerErrors, AttributesMustFitTheirDeclaration)
{
    ExpectError(Library("", "object, dual, helpfile(\"x\"), "), {2, 16, "'helpfile' does not apply to an interface"});
    ExpectError(Library("", "object, dual, dual, "), {2, 16, "given twice"});
    ExpectError("[object, uuid(1234)] interface A {};", {1, 15, "not a GUID"});
    ExpectError("[object, uuid] interface A {};", {1, 10, "takes a GUID"});
    ExpectError("[object] interface A {};", {1, 20, "needs the attribute 'uuid'"});
    ExpectError("[uuid(11111111-2222-3333-4444-555555555555)] interface A {};", {1, 56, "'object'"});
    ExpectError("[object, uuid(00000000-0000-0000-0000-000000000000)] interface A {};", {1, 15, "null GUID"});
    ExpectError(Library("    [id(-1)] HRESULT F();\n"), {5, 9, "-1 is no member's id"});
    ExpectError(Library("    [id(1), propget] HRESULT F();\n"), {5, 13, "'propget' does not apply to a method"});
    ExpectError(Library("    [id(1), helpstring(3)] HRESULT F();\n"), {5, 24, "takes a string"});
    ExpectError("[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(70000.0)] library L {};",
                {1, 54, "not a version"});
    ExpectError(Library("    [id(1), helpstring(\"\xff\")] HRESULT F();\n"), {5, 24, "not valid UTF-8"});
}

TEST(IdlCompilerErrors, NamesAndTypesMustResolve)
{
    ExpectError(Library("    [id(1)] HRESULT F(FOO x);\n"), {5, 23, "unknown type FOO"});
    ExpectError(Library("    [id(1)] HRESULT F(IX x);\n"), {5, 23, "passed by value"});
    ExpectError(Library("    [id(1)] HRESULT F(X* x);\n"), {5, 23, "is a class"});
    ExpectError(Library("    [id(1)] HRESULT F(void x);\n"), {5, 23, "void is not a parameter type"});
    ExpectError(Library("    [id(1)] HRESULT F(HRESULT* x);\n"), {5, 23, "only a result type"});
    ExpectError(Library("    [id(1)] HRESULT F(BYTE**** x);\n"), {5, 23, "three levels"});
    std::string base = Library("");
    base.replace(base.find(": IDispatch"), 11, ": IMissing");
    ExpectError(base, {3, 16, "unknown base interface IMissing"});
    std::string noImport = Library("");
    noImport.replace(noImport.find("    importlib(\"stdole2.tlb\");\n"), 29, "");
    ExpectError(noImport, {3, 16, "importlib(\"stdole2.tlb\")"});
    std::string missing = Library("");
    missing.replace(missing.find("stdole2.tlb"), 11, "nothere.tlb");
    ExpectError(missing, {9, 15, "cannot find nothere.tlb"});
    ExpectError("[object, uuid(11111111-2222-3333-4444-555555555555)] interface A : B {};\n"
                "[object, uuid(11111111-2222-3333-4444-555555555556)] interface B : A {};\n"
                "[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE)] library L { interface A; };",
                {2, 64, "derives from itself"});
    ExpectError("[object, uuid(11111111-2222-3333-4444-555555555555)] interface A {};\n"
                "[object, uuid(11111111-2222-3333-4444-555555555556)] interface A {};",
                {2, 64, "already defined at line 1"});
    ExpectError("interface A;", {1, 11, "never defined"});
    ExpectError(Library("").replace(Library("").find("interface IX; }"), 15, "interface X; }"),
                {10, 82, "is a class"});
    ExpectError("import \"ocidl.idl\";\n" + Library("").substr(Library("").find('\n') + 1), {1, 8, "cannot import"});
}

TEST(IdlCompilerErrors, DeclarationsMustMakeSense)
{
    ExpectError(Library("", "object, dual, ").replace(Library("").find(": IDispatch"), 11, ": IUnknown"),
                {2, 10, "must derive from IDispatch"});
    ExpectError(Library("    [id(1)] HRESULT F();\n    [id(1)] HRESULT G();\n"), {6, 9, "repeats a member id"});
    ExpectError(Library("    [id(1)] HRESULT F();\n    [id(2)] HRESULT f();\n"), {6, 21, "already declared"});
    ExpectError(Library("    [id(1)] HRESULT F([out] DWORD x);\n"), {5, 35, "must be a pointer"});
    ExpectError(Library("    [id(1)] HRESULT F([out, retval] DWORD* x, DWORD y);\n"), {5, 44, "must be the last"});
    ExpectError(Library("    [id(1)] HRESULT F([retval] DWORD* x);\n"), {5, 24, "must also be [out]"});
    ExpectError(Library("    [id(1)] HRESULT F(DWORD a, DWORD A);\n"), {5, 38, "already declared"});
    ExpectError(Library("    [id(1)] long F();\n"), {5, 13, "must return HRESULT"});
    std::string sameGuid = Library("");
    sameGuid.replace(sameGuid.find("99999999-8888-7777-6666-555555555555"), 36, "11111111-2222-3333-4444-555555555555");
    ExpectError(sameGuid, {10, 58, "already that of IX"});
    ExpectError("[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE)] library L {\n"
                "    importlib(\"stdole2.tlb\");\n"
                "    [object, uuid(11111111-2222-3333-4444-555555555555)] interface IDispatch : IUnknown {};\n};",
                {3, 68, "also defined by the imported"});
}

TEST(IdlCompiler, TheTypeLibraryCarriesWhatTheDeclarationsSay)
{
    CompileResult r = CompileText(
        "import \"oaidl.idl\";\n"
        "[object, uuid(11111111-2222-3333-4444-555555555555), oleautomation, helpstring(\"Base\")]\n"
        "interface IBase : IDispatch { HRESULT A(DWORD x); HRESULT B([out, retval] BSTR* s); };\n"
        "[object, uuid(11111111-2222-3333-4444-555555555556)]\n"
        "interface IUnused : IUnknown { HRESULT Z(); };\n"
        "[uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(2.3), lcid(0x409), helpstring(\"L\")]\n"
        "library L\n{\n    importlib(\"stdole2.tlb\");\n"
        "    [uuid(99999999-8888-7777-6666-555555555555), noncreatable] coclass C { interface IDerived; };\n"
        "    [object, uuid(11111111-2222-3333-4444-555555555557), dual]\n"
        "    interface IDerived : IBase { [id(5)] HRESULT D([in] IBase* other, [in, out] IUnknown** u); };\n"
        "};\n");
    ASSERT_TRUE(r.hasLibrary);
    const tl::Library& lib = r.library;
    EXPECT_EQ(lib.String(lib.name), u"L");
    EXPECT_EQ(lib.major, 2);
    EXPECT_EQ(lib.minor, 3);
    EXPECT_EQ(lib.lcid, 0x409u);
    EXPECT_EQ(lib.syskind, SYS_WIN32);

    // An interface outside the library enters it just before the first type that uses it
    // (IBase before IDerived, not before C, which uses IDerived); one nothing uses stays out.
    ASSERT_EQ(lib.types.size(), 3u);
    EXPECT_EQ(lib.String(lib.types[0].name), u"C");
    EXPECT_EQ(lib.String(lib.types[1].name), u"IBase");
    EXPECT_EQ(lib.String(lib.types[2].name), u"IDerived");

    const tl::Type& base = lib.types[1];
    EXPECT_EQ(base.flags, TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(base.inheritedSlots, 7);
    ASSERT_EQ(base.impls.size(), 1u);
    const tl::Ref& dispatch = lib.refs[base.impls[0].ref];
    EXPECT_TRUE(dispatch.IsImported());
    EXPECT_EQ(lib.String(dispatch.name), u"IDispatch");
    EXPECT_EQ(dispatch.guid, IID_IDispatch);
    // Without [id]: 0x60000000, the depth below IUnknown (IDispatch is 1) and the index.
    EXPECT_EQ(base.funcs[0].memid, 0x60020000);
    EXPECT_EQ(base.funcs[1].memid, 0x60020001);
    // No direction is [in].
    EXPECT_EQ(base.funcs[0].params[0].flags, PARAMFLAG_FIN);
    EXPECT_EQ(base.funcs[1].params[0].flags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    EXPECT_EQ(base.funcs[1].params[0].type, (tl::TypeDesc{VT_BSTR, 1, tl::kNone}));

    const tl::Type& cls = lib.types[0];
    EXPECT_EQ(cls.kind, TKIND_COCLASS);
    EXPECT_EQ(cls.flags, 0); // noncreatable
    ASSERT_EQ(cls.impls.size(), 1u);
    EXPECT_EQ(cls.impls[0].flags, 0u);
    EXPECT_EQ(lib.refs[cls.impls[0].ref].type, 2u);

    const tl::Type& derived = lib.types[2];
    EXPECT_EQ(derived.flags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(derived.inheritedSlots, 9);
    const tl::Func& d = derived.funcs[0];
    EXPECT_EQ(d.memid, 5);
    EXPECT_EQ(d.params[0].type.vt, VT_USERDEFINED);
    EXPECT_EQ(d.params[0].type.pointers, 1);
    EXPECT_EQ(lib.refs[d.params[0].type.ref].type, 1u);
    // IUnknown* is VT_UNKNOWN itself, so IUnknown** is one pointer to it.
    EXPECT_EQ(d.params[1].type, (tl::TypeDesc{VT_UNKNOWN, 1, tl::kNone}));
    EXPECT_EQ(d.params[1].flags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
}

TEST(IdlCompiler, TheHeaderHasBothFormsAndTheQuotedTextInPlace)
{
    CompileResult r = CompileText("cpp_quote(\"/* first */\")\n"
                                  "import \"unknwn.idl\";\n"
                                  "[object, uuid(11111111-2222-3333-4444-555555555555)]\n"
                                  "interface IA : IUnknown { HRESULT Get([out] long* value); };\n"
                                  "[object, uuid(11111111-2222-3333-4444-555555555556)]\n"
                                  "interface IB : IA { unsigned long Count(); };\n"
                                  "cpp_quote(\"#define LAST 1\")\n");
    EXPECT_FALSE(r.hasLibrary);
    const std::string& h = r.header;
    EXPECT_EQ(h.rfind("/* Generated by tonwell-midl from in.idl: do not edit. */\n#ifndef OUT_H\n#define OUT_H\n", 0),
              0u);
    EXPECT_NE(h.find("#include <unknwn.h>\n"), std::string::npos);
    EXPECT_LT(h.find("/* first */"), h.find("struct IA : public IUnknown {"));
    EXPECT_LT(h.find("struct IB : public IA {"), h.find("#define LAST 1"));
    EXPECT_NE(h.find("static const IID IID_IA __attribute__((unused)) = {\n"
                     "    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};"),
              std::string::npos);
    EXPECT_NE(h.find("    virtual HRESULT STDMETHODCALLTYPE Get(LONG* value) = 0;"), std::string::npos);
    EXPECT_NE(h.find("    virtual ULONG STDMETHODCALLTYPE Count() = 0;"), std::string::npos);
    // The C vtable lists every slot from IUnknown down, with the platform's own types.
    size_t vtbl = h.find("typedef struct IBVtbl {");
    ASSERT_NE(vtbl, std::string::npos);
    std::string c = h.substr(vtbl, h.find("} IBVtbl;") - vtbl);
    EXPECT_NE(c.find("HRESULT(STDMETHODCALLTYPE* QueryInterface)(IB* This, REFIID riid, void** ppvObject);"),
              std::string::npos);
    EXPECT_LT(c.find("Release"), c.find("Get)(IB* This, LONG* value);"));
    EXPECT_LT(c.find("Get)"), c.find("ULONG(STDMETHODCALLTYPE* Count)(IB* This);"));
    EXPECT_EQ(h.compare(h.size() - 7, 7, "#endif\n"), 0);

    // The header needs the declarations of the bases it derives from.
    ExpectError("[object, uuid(11111111-2222-3333-4444-555555555555)] interface IA : IUnknown {};",
                {1, 69, "not declared for the header (import \"oaidl.idl\")"});
}

// --- the command line ----------------------------------------------------------------

class IdlCompilerCommand : public MachineRootFixture {
protected:
    std::string Path(const char* name) const { return (Root() / name).string(); }
    std::string Midl(const std::string& args) const { return std::string(TONWELL_TEST_MIDL) + " " + args; }
};

TEST_F(IdlCompilerCommand, AnErrorNamesFileLineAndColumnAndWritesNothing)
{
    WriteBytes(Path("bad.idl"), std::vector<uint8_t>{'\n', ' ', ' ', '@'});
    WriteBytes(Path("old.h"), {'o', 'l', 'd'});
    ToolRun r = RunShell(Midl("--header " + Path("old.h") + " --tlb " + Path("new.tlb") + " " + Path("bad.idl")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(r.out, Path("bad.idl") + ":2:3: error: unexpected '@'\n");
    EXPECT_EQ(ReadBytes(Path("old.h")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_FALSE(fs::exists(Path("new.tlb")));
    for (const auto& entry : fs::directory_iterator(Root()))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(IdlCompilerCommand, MakesTheHeaderAndTheLibraryThatReadsBack)
{
    std::string idl = Library("    [id(1)] HRESULT F(DWORD a);\n");
    WriteBytes(Path("x.idl"), std::vector<uint8_t>(idl.begin(), idl.end()));
    ToolRun r = RunShell(Midl("-L " + kStdoleDir + " --header " + Path("X.h") + " --tlb " + Path("x.tlb") + " " +
                           Path("x.idl")));
    ASSERT_EQ(r.exit, 0) << r.out;
    tl::Library lib = ReadLibrary(Path("x.tlb"));
    EXPECT_EQ(lib.String(lib.name), u"XLib");
    std::vector<uint8_t> header = ReadBytes(Path("X.h"));
    EXPECT_NE(std::string(header.begin(), header.end()).find("#ifndef X_H"), std::string::npos);

    // A type library needs a library; usage errors are not compile errors.
    std::string headerOnly = "cpp_quote(\"x\")\n";
    WriteBytes(Path("h.idl"), std::vector<uint8_t>(headerOnly.begin(), headerOnly.end()));
    r = RunShell(Midl("--tlb " + Path("h.tlb") + " " + Path("h.idl")));
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find(":1:1: error: a type library needs a library block"), std::string::npos);
    EXPECT_EQ(RunShell(Midl(Path("h.idl"))).exit, 2);
    EXPECT_EQ(RunShell(Midl("--bogus " + Path("h.idl"))).exit, 2);
}

} // namespace
