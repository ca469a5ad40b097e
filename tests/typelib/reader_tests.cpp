// The binary form's reader on damaged input: every truncation, random byte flips, and
// hand-made faults, through the reader itself and through LoadTypeLib, which must then
// serve whatever it accepted without fault.
#include "typelib_test_support.h"

#include "machine_root.h"

#include <random>

using namespace tonwell::test;
namespace tl = tonwell::typelib;

namespace {

HRESULT ReadResult(const std::vector<uint8_t>& bytes, std::string* message = nullptr)
{
    tl::Library lib;
    std::string text;
    HRESULT hr = tl::Read(bytes.data(), bytes.size(), lib, text);
    if (message)
        *message = text;
    return hr;
}

void PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Everything a client might ask of a loaded library, so that a library the reader
// accepted is also one the runtime serves without fault.
void Exercise(ITypeLib* lib)
{
    TLIBATTR* la = nullptr;
    if (SUCCEEDED(lib->GetLibAttr(&la)))
        lib->ReleaseTLibAttr(la);
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 0;
    if (SUCCEEDED(lib->GetDocumentation(-1, &name, &doc, &context, &file))) {
        SysFreeString(name);
        SysFreeString(doc);
        SysFreeString(file);
    }
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        Ptr<ITypeInfo> info;
        ASSERT_EQ(lib->GetTypeInfo(i, info.Out()), S_OK);
        TYPEATTR* ta = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&ta), S_OK);
        for (UINT f = 0; f < ta->cFuncs; ++f) {
            FUNCDESC* fd = nullptr;
            ASSERT_EQ(info->GetFuncDesc(f, &fd), S_OK);
            BSTR names[8] = {};
            UINT count = 0;
            if (SUCCEEDED(info->GetNames(fd->memid, names, 8, &count)))
                for (UINT k = 0; k < count; ++k)
                    SysFreeString(names[k]);
            for (SHORT p = 0; p < fd->cParams; ++p) {
                const TYPEDESC* t = &fd->lprgelemdescParam[p].tdesc;
                while (t->vt == VT_PTR)
                    t = t->lptdesc;
                if (t->vt == VT_USERDEFINED) {
                    Ptr<ITypeInfo> ref;
                    info->GetRefTypeInfo(t->hreftype, ref.Out());
                }
            }
            info->ReleaseFuncDesc(fd);
        }
        for (UINT k = 0; k < ta->cImplTypes; ++k) {
            HREFTYPE href = 0;
            ASSERT_EQ(info->GetRefTypeOfImplType(k, &href), S_OK);
            Ptr<ITypeInfo> ref;
            info->GetRefTypeInfo(href, ref.Out());
        }
        OLECHAR probe[] = u"Initialize";
        LPOLESTR names[] = {probe};
        MEMBERID memid = 0;
        info->GetIDsOfNames(names, 1, &memid);
        info->ReleaseTypeAttr(ta);
    }
}

class DamagedTypeLibraries : public MachineRootFixture {
protected:
    std::string Path(const char* name) const { return (Root() / name).string(); }
};

TEST_F(DamagedTypeLibraries, EveryTruncationIsRefused)
{
    for (const std::string& source : {kTonwellTlb, kStdole2Tlb}) {
        std::vector<uint8_t> whole = ReadBytes(source);
        ASSERT_GT(whole.size(), 84u);
        ASSERT_EQ(ReadResult(whole), S_OK);
        for (size_t n = 0; n < whole.size(); ++n) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + ptrdiff_t(n));
            HRESULT hr = ReadResult(cut);
            // Too short for the signature: not a type library at all; else short of what it declares.
            EXPECT_EQ(hr, n < 4 ? TYPE_E_CANTLOADLIBRARY : TYPE_E_IOERROR) << source << " cut to " << n;
        }
        // And through LoadTypeLib, at a spread of points.
        for (size_t n : {size_t(0), size_t(3), size_t(83), whole.size() / 2, whole.size() - 1}) {
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + ptrdiff_t(n));
            WriteBytes(Path("cut.tlb"), cut);
            Ptr<ITypeLib> lib;
            HRESULT hr = LoadTypeLib(U16(Path("cut.tlb")).c_str(), lib.Out());
            EXPECT_TRUE(FAILED(hr)) << n;
            EXPECT_FALSE(lib) << n;
        }
    }
}

TEST_F(DamagedTypeLibraries, RandomByteFlipsNeverCrashAndWhatLoadsServes)
{
    std::vector<uint8_t> whole = ReadBytes(kTonwellTlb);
    std::mt19937 random(20240611);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes = whole;
        int flips = 1 + int(random() % 3);
        for (int k = 0; k < flips; ++k)
            bytes[random() % bytes.size()] ^= uint8_t(1u << (random() % 8));
        tl::Library lib;
        std::string message;
        HRESULT hr = tl::Read(bytes.data(), bytes.size(), lib, message);
        if (FAILED(hr)) {
            EXPECT_FALSE(message.empty());
            continue;
        }
        // Accepted: it must write back to exactly these bytes, and load and serve.
        EXPECT_EQ(tl::Write(lib), bytes);
        if (++accepted % 10 == 0) {
            WriteBytes(Path("flipped.tlb"), bytes);
            Ptr<ITypeLib> loaded;
            ASSERT_EQ(LoadTypeLib(U16(Path("flipped.tlb")).c_str(), loaded.Out()), S_OK);
            Exercise(loaded.get());
        }
    }
    // Flips in help strings, GUIDs and flag-free fields are legitimate libraries.
    EXPECT_GT(accepted, 0);
}

TEST_F(DamagedTypeLibraries, HandMadeFaultsGiveTheirResults)
{
    std::vector<uint8_t> whole = ReadBytes(kTonwellTlb);
    std::string message;

    std::vector<uint8_t> bytes = whole;
    bytes[0] = 'X';
    EXPECT_EQ(ReadResult(bytes), TYPE_E_CANTLOADLIBRARY);

    bytes = whole;
    bytes[4] = 2; // format 2.0
    EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_UNSUPFORMAT);
    EXPECT_NE(message.find("2.0"), std::string::npos);

    bytes = whole;
    bytes.push_back(0);
    EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_INVALIDSTATE) << "trailing byte";
    PutU32(bytes, 8, uint32_t(bytes.size()));
    EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_INVALIDSTATE) << "a byte no table owns";

    // Counts so large that their tables would wrap a 32-bit size.
    for (size_t field : {12u, 16u, 20u, 24u, 28u, 32u, 36u}) {
        bytes = whole;
        PutU32(bytes, field, 0xFFFFFFFFu);
        EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_INVALIDSTATE) << field;
        EXPECT_NE(message.find("record counts"), std::string::npos) << message;
    }

    // The library's name pointing past the string table.
    bytes = whole;
    PutU32(bytes, 68, 1000);
    EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_INVALIDSTATE);
    EXPECT_NE(message.find("library name"), std::string::npos) << message;

    // Through the API too, with nothing handed out.
    WriteBytes(Path("bad.tlb"), bytes);
    ITypeLib* lib = reinterpret_cast<ITypeLib*>(0x1);
    EXPECT_EQ(LoadTypeLib(U16(Path("bad.tlb")).c_str(), &lib), TYPE_E_INVALIDSTATE);
    EXPECT_EQ(lib, nullptr);
}

// Faults the compiler never makes, built on the model and written out.
TEST_F(DamagedTypeLibraries, InconsistentLibrariesAreRefused)
{
    const tl::Library good = ReadLibrary(kTonwellTlb);
    auto expectRefused = [&](tl::Library lib, const char* fragment) {
        std::vector<uint8_t> bytes = tl::Write(lib);
        std::string message;
        EXPECT_EQ(ReadResult(bytes, &message), TYPE_E_INVALIDSTATE) << fragment;
        EXPECT_NE(message.find(fragment), std::string::npos) << message;
    };

    // Two interfaces that derive from each other.
    tl::Library cycle = good;
    for (const char16_t* name : {u"ISecond", u"IThird"}) {
        tl::Type copy = cycle.types[0];
        copy.name = cycle.Intern(name);
        copy.guid.Data1 ^= uint32_t(cycle.types.size());
        cycle.types.push_back(copy);
        tl::Ref ref;
        ref.type = uint32_t(cycle.types.size() - 1);
        cycle.refs.push_back(ref);
    }
    cycle.types[2].impls[0].ref = uint32_t(cycle.refs.size() - 1); // ISecond : IThird
    cycle.types[3].impls[0].ref = uint32_t(cycle.refs.size() - 2); // IThird : ISecond
    expectRefused(cycle, "form a cycle");

    tl::Library slots = good;
    slots.types[0].inheritedSlots = 6;
    slots.types.push_back(slots.types[0]);
    slots.types.back().name = slots.Intern(u"IThird");
    slots.types.back().guid.Data1 ^= 2;
    tl::Ref toFirstType;
    toFirstType.type = 0;
    bool have = false;
    for (const tl::Ref& r : slots.refs)
        have |= !r.IsImported() && r.type == 0;
    ASSERT_TRUE(have);
    for (uint32_t i = 0; i < slots.refs.size(); ++i)
        if (!slots.refs[i].IsImported() && slots.refs[i].type == 0)
            slots.types.back().impls[0].ref = i;
    slots.types.back().inheritedSlots = 7; // its base has 6 + 3
    expectRefused(slots, "inherits 7 slots, its base has 9");

    tl::Library unused = good;
    unused.Intern(u"nobody uses me");
    expectRefused(unused, "is not used");

    tl::Library surrogate = good;
    surrogate.strings[surrogate.types[0].doc] = std::u16string(1, char16_t(0xD800)) + u"x";
    expectRefused(surrogate, "unpaired surrogate");

    tl::Library nul = good;
    nul.strings[nul.types[0].doc] = std::u16string(u"a\0b", 3);
    expectRefused(nul, "NUL");

    tl::Library badName = good;
    badName.strings[badName.types[0].funcs[0].name] = u"Not A Name";
    expectRefused(badName, "not an identifier");

    tl::Library sameName = good;
    sameName.types[0].funcs[1].name = sameName.types[0].funcs[0].name;
    expectRefused(sameName, "repeats an earlier method name");
    tl::Library sameId = good;
    sameId.types[0].funcs[1].memid = sameId.types[0].funcs[0].memid;
    expectRefused(sameId, "repeats the member id");

    tl::Library outByValue = good;
    outByValue.types[0].funcs[0].params[0].flags = PARAMFLAG_FOUT;
    expectRefused(outByValue, "not a pointer");

    tl::Library classAsBase = good;
    for (uint32_t i = 0; i < classAsBase.refs.size(); ++i)
        if (!classAsBase.refs[i].IsImported())
            classAsBase.refs[i].type = 1; // the coclass
    expectRefused(classAsBase, "where an interface belongs");

    tl::Library badVt = good;
    badVt.types[0].funcs[0].params[0].type.vt = VT_SAFEARRAY;
    expectRefused(badVt, "variant type");

    tl::Library dualFlags = good;
    dualFlags.types[0].flags = TYPEFLAG_FDUAL;
    expectRefused(dualFlags, "dual but not");
}

// An interface whose one base is `other`, imported from `otherFile`.
tl::Library Circular(const std::u16string& self, const GUID& libid, const GUID& iid, const std::u16string& otherFile,
                     const GUID& otherLibid, const std::u16string& other, const GUID& otherIid)
{
    tl::Library lib;
    lib.name = lib.Intern(self + u"Lib");
    lib.libid = libid;
    lib.major = 1;
    tl::Import im;
    im.file = lib.Intern(otherFile);
    im.libid = otherLibid;
    im.major = 1;
    lib.imports.push_back(im);
    tl::Ref ref;
    ref.import = 0;
    ref.name = lib.Intern(other);
    ref.guid = otherIid;
    lib.refs.push_back(ref);
    tl::Type t;
    t.name = lib.Intern(self);
    t.guid = iid;
    t.inheritedSlots = 3;
    t.impls.push_back({0, 0});
    tl::Func f;
    f.memid = 1;
    f.name = lib.Intern(u"M" + self);
    f.result = {VT_HRESULT, 0, tl::kNone};
    t.funcs.push_back(f);
    lib.types.push_back(t);
    return lib;
}

TEST_F(DamagedTypeLibraries, BasesThatCircleThroughTwoLibrariesAreCutShort)
{
    const GUID libA{0xA, 0, 0, {1}}, libB{0xB, 0, 0, {1}}, iidA{0xA, 1, 0, {1}}, iidB{0xB, 1, 0, {1}};
    WriteBytes(Path("a.tlb"), tl::Write(Circular(u"IA", libA, iidA, u"b.tlb", libB, u"IB", iidB)));
    WriteBytes(Path("b.tlb"), tl::Write(Circular(u"IB", libB, iidB, u"a.tlb", libA, u"IA", iidA)));
    Ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(U16(Path("a.tlb")).c_str(), lib.Out()), S_OK);
    Ptr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfo(0, info.Out()), S_OK);

    auto id = [&](const char16_t* name, MEMBERID* out) {
        std::u16string text(name);
        LPOLESTR names[] = {text.data()};
        return info->GetIDsOfNames(names, 1, out);
    };
    MEMBERID memid = 0;
    EXPECT_EQ(id(u"MIA", &memid), S_OK);
    EXPECT_EQ(id(u"MIB", &memid), S_OK); // one step down is fine
    EXPECT_EQ(id(u"Nowhere", &memid), TYPE_E_INVALIDSTATE);
    BSTR names[1];
    UINT count = 0;
    EXPECT_EQ(info->GetNames(99, names, 1, &count), TYPE_E_INVALIDSTATE);
    EXPECT_EQ(info->GetDocumentation(99, nullptr, nullptr, nullptr, nullptr), TYPE_E_INVALIDSTATE);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    int instance = 0;
    EXPECT_EQ(info->Invoke(&instance, 99, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), TYPE_E_INVALIDSTATE);
}

TEST(TypeLibraryBinaryForm, WritesBackExactlyWhatItRead)
{
    for (const std::string& source : {kTonwellTlb, kStdole2Tlb}) {
        std::vector<uint8_t> bytes = ReadBytes(source);
        tl::Library lib;
        std::string message;
        ASSERT_EQ(tl::Read(bytes.data(), bytes.size(), lib, message), S_OK) << message;
        EXPECT_EQ(tl::Write(lib), bytes) << source;
    }
}

} // namespace
