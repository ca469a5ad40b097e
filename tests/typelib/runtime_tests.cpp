// The platform's type library objects over TonwellObj.tlb and stdole2.tlb: attributes,
// method descriptions, names, member ids, the base interface across libraries, Invoke's
// look-up, reference counts and use from many threads.
#include "typelib_test_support.h"

#include "TonwellObj.h"
#include "fixed_dispatch.h"
#include "machine_root.h"

#include <atomic>
#include <thread>

using namespace tonwell::test;

namespace {

// Ptr is not movable; these tests hold one per scope.
#define LOAD_TONWELL(lib)                                                     \
    Ptr<ITypeLib> lib;                                                        \
    ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), lib.Out()), S_OK);

#define EXPOSURE_INFO(lib, info)                                              \
    Ptr<ITypeInfo> info;                                                      \
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ITonwellExposure, info.Out()), S_OK);

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

TEST(TypeLibrary, LibraryAttributesAndDocumentation)
{
    LOAD_TONWELL(lib);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_TONWELLOBJLib);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wLibFlags, 0);
    lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 99;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &context, &file), S_OK);
    EXPECT_EQ(Text(name), "TONWELLOBJLib");
    EXPECT_EQ(Text(doc), "TonwellObj 1.0 Type Library");
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(file, nullptr);
    SysFreeString(name);
    SysFreeString(doc);
    ASSERT_EQ(lib->GetDocumentation(1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "TonwellExposure");
    EXPECT_EQ(Text(doc), "TonwellExposure Class");
    SysFreeString(name);
    SysFreeString(doc);
    EXPECT_EQ(lib->GetDocumentation(2, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    ASSERT_EQ(lib->GetTypeInfoCount(), 2u);
    TYPEKIND kind;
    ASSERT_EQ(lib->GetTypeInfoType(0, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_INTERFACE);
    ASSERT_EQ(lib->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(lib->GetTypeInfoType(2, &kind), TYPE_E_ELEMENTNOTFOUND);

    Ptr<ITypeInfo> byIndex, byGuid, missing;
    ASSERT_EQ(lib->GetTypeInfo(0, byIndex.Out()), S_OK);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ITonwellExposure, byGuid.Out()), S_OK);
    EXPECT_EQ(byIndex.get(), byGuid.get());
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, missing.Out()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_FALSE(missing);
    EXPECT_EQ(lib->GetTypeInfo(2, missing.Out()), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibrary, TheInterfaceAndItsMethods)
{
    LOAD_TONWELL(lib);
    EXPOSURE_INFO(lib, info);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ITonwellExposure);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->cFuncs, 3);
    EXPECT_EQ(attr->cVars, 0);
    EXPECT_EQ(attr->cImplTypes, 1);
    EXPECT_EQ(attr->cbSizeVft, 10 * sizeof(void*));
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr->memidConstructor, MEMBERID_NIL);
    info->ReleaseTypeAttr(attr);

    struct Expected {
        MEMBERID memid;
        const char* name;
        const char* doc;
        std::vector<std::pair<const char*, bool>> params; // name, pointer to a byte
    };
    const Expected methods[] = {
        {1, "Initialize", "method Initialize", {{"dwFlags", false}}},
        {2, "SetImage", "method SetImage", {{"pImage", true}, {"dwWidth", false}, {"dwHeight", false}, {"dwStride", false}}},
        {3, "GetResults", "method GetResults", {{"lpResults", true}, {"cbSize", false}}},
    };
    for (UINT i = 0; i < 3; ++i) {
        const Expected& e = methods[i];
        FUNCDESC* fd = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &fd), S_OK);
        EXPECT_EQ(fd->memid, e.memid);
        EXPECT_EQ(fd->funckind, FUNC_PUREVIRTUAL);
        EXPECT_EQ(fd->invkind, INVOKE_FUNC);
        EXPECT_EQ(fd->callconv, CC_STDCALL);
        // Slots 0-2 are IUnknown's, 3-6 IDispatch's: the first own method is slot 7.
        EXPECT_EQ(fd->oVft, SHORT((7 + i) * sizeof(void*)));
        EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT);
        ASSERT_EQ(fd->cParams, SHORT(e.params.size()));
        EXPECT_EQ(fd->cParamsOpt, 0);
        for (size_t p = 0; p < e.params.size(); ++p) {
            const ELEMDESC& ed = fd->lprgelemdescParam[p];
            EXPECT_EQ(ed.paramdesc.wParamFlags, PARAMFLAG_FIN);
            if (e.params[p].second) {
                ASSERT_EQ(ed.tdesc.vt, VT_PTR);
                EXPECT_EQ(ed.tdesc.lptdesc->vt, VT_UI1);
            } else {
                EXPECT_EQ(ed.tdesc.vt, VT_UI4);
            }
        }
        info->ReleaseFuncDesc(fd);

        BSTR names[6] = {};
        UINT count = 0;
        ASSERT_EQ(info->GetNames(e.memid, names, 6, &count), S_OK);
        ASSERT_EQ(count, 1 + e.params.size());
        EXPECT_EQ(Text(names[0]), e.name);
        for (size_t p = 0; p < e.params.size(); ++p)
            EXPECT_EQ(Text(names[p + 1]), e.params[p].first);
        for (UINT k = 0; k < count; ++k)
            SysFreeString(names[k]);

        BSTR name = nullptr, doc = nullptr;
        ASSERT_EQ(info->GetDocumentation(e.memid, &name, &doc, nullptr, nullptr), S_OK);
        EXPECT_EQ(Text(name), e.name);
        EXPECT_EQ(Text(doc), e.doc);
        SysFreeString(name);
        SysFreeString(doc);
    }
    FUNCDESC* fd = reinterpret_cast<FUNCDESC*>(0x1);
    EXPECT_EQ(info->GetFuncDesc(3, &fd), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(fd, nullptr);
    BSTR names[2] = {};
    UINT count = 7;
    EXPECT_EQ(info->GetNames(42, names, 2, &count), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(count, 0u);
    // Fewer slots than names: the first ones.
    ASSERT_EQ(info->GetNames(2, names, 2, &count), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Text(names[1]), "pImage");
    SysFreeString(names[0]);
    SysFreeString(names[1]);
}

TEST(TypeLibrary, TheBaseInterfaceComesFromStdole2)
{
    LOAD_TONWELL(lib);
    EXPOSURE_INFO(lib, info);
    HREFTYPE href = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(0, &href), S_OK);
    INT flags = -1;
    ASSERT_EQ(info->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(info->GetRefTypeOfImplType(1, &href), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info->GetRefTypeOfImplType(UINT(-1), &href), TYPE_E_ELEMENTNOTFOUND);
    ASSERT_EQ(info->GetRefTypeOfImplType(0, &href), S_OK);

    Ptr<ITypeInfo> dispatch;
    ASSERT_EQ(info->GetRefTypeInfo(href, dispatch.Out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(dispatch->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IDispatch);
    EXPECT_EQ(attr->cbSizeVft, 7 * sizeof(void*));
    EXPECT_EQ(attr->cFuncs, 4);
    dispatch->ReleaseTypeAttr(attr);
    BSTR name = nullptr;
    ASSERT_EQ(dispatch->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "IDispatch");
    SysFreeString(name);

    Ptr<ITypeLib> stdole;
    UINT index = 99;
    ASSERT_EQ(dispatch->GetContainingTypeLib(stdole.Out(), &index), S_OK);
    TLIBATTR* la = nullptr;
    ASSERT_EQ(stdole->GetLibAttr(&la), S_OK);
    EXPECT_EQ(la->guid, (GUID{0x00020430, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}));
    EXPECT_EQ(la->wMajorVerNum, 2);
    stdole->ReleaseTLibAttr(la);
    EXPECT_EQ(index, 1u);

    // A second resolution gives the same object.
    Ptr<ITypeInfo> again;
    ASSERT_EQ(info->GetRefTypeInfo(href, again.Out()), S_OK);
    EXPECT_EQ(again.get(), dispatch.get());
    EXPECT_EQ(info->GetRefTypeInfo(1000, again.Out()), TYPE_E_ELEMENTNOTFOUND);

    // The standard library also loads by its bare name.
    Ptr<ITypeLib> byName;
    ASSERT_EQ(LoadTypeLib(u"stdole2.tlb", byName.Out()), S_OK);
    Ptr<ITypeInfo> unknown;
    EXPECT_EQ(byName->GetTypeInfoOfGuid(IID_IUnknown, unknown.Out()), S_OK);
}

TEST(TypeLibrary, TheClassAndItsDefaultInterface)
{
    LOAD_TONWELL(lib);
    Ptr<ITypeInfo> cls, iface;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(CLSID_TonwellExposure, cls.Out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(cls->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr->cImplTypes, 1);
    EXPECT_EQ(attr->cFuncs, 0);
    cls->ReleaseTypeAttr(attr);
    INT flags = 0;
    ASSERT_EQ(cls->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE href = 0;
    ASSERT_EQ(cls->GetRefTypeOfImplType(0, &href), S_OK);
    ASSERT_EQ(cls->GetRefTypeInfo(href, iface.Out()), S_OK);
    Ptr<ITypeInfo> first;
    ASSERT_EQ(lib->GetTypeInfo(0, first.Out()), S_OK);
    EXPECT_EQ(iface.get(), first.get());

    // What only module types and classes do.
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(iface->CreateInstance(nullptr, IID_IUnknown, &p), TYPE_E_WRONGTYPEKIND);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(iface->AddressOfMember(1, INVOKE_FUNC, &p), TYPE_E_BADMODULEKIND);
    BSTR dll = nullptr, entry = nullptr;
    WORD ordinal = 0;
    EXPECT_EQ(iface->GetDllEntry(1, INVOKE_FUNC, &dll, &entry, &ordinal), TYPE_E_BADMODULEKIND);
    VARDESC* vd = nullptr;
    EXPECT_EQ(iface->GetVarDesc(0, &vd), TYPE_E_ELEMENTNOTFOUND);
    BSTR mops = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(iface->GetMops(1, &mops), S_OK);
    EXPECT_EQ(mops, nullptr);
}

TEST(TypeLibrary, ITypeInfo2AnswersWhatExists)
{
    LOAD_TONWELL(lib);
    EXPOSURE_INFO(lib, info);
    Ptr<ITypeInfo2> info2;
    ASSERT_EQ(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(info2.Out())), S_OK);
    Ptr<IUnknown> unknown1, unknown2;
    ASSERT_EQ(info->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown1.Out())), S_OK);
    ASSERT_EQ(info2->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown2.Out())), S_OK);
    EXPECT_EQ(unknown1.get(), unknown2.get());

    TYPEKIND kind;
    ASSERT_EQ(info2->GetTypeKind(&kind), S_OK);
    EXPECT_EQ(kind, TKIND_INTERFACE);
    ULONG flags = 0;
    ASSERT_EQ(info2->GetTypeFlags(&flags), S_OK);
    EXPECT_EQ(flags, ULONG(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    UINT index = 0;
    ASSERT_EQ(info2->GetFuncIndexOfMemId(3, INVOKE_FUNC, &index), S_OK);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(info2->GetFuncIndexOfMemId(3, INVOKE_PROPERTYGET, &index), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info2->GetFuncIndexOfMemId(4, INVOKE_FUNC, &index), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info2->GetVarIndexOfMemId(1, &index), TYPE_E_ELEMENTNOTFOUND);

    BSTR help = nullptr;
    DWORD context = 7;
    BSTR dll = reinterpret_cast<BSTR>(0x1);
    ASSERT_EQ(info2->GetDocumentation2(2, 0x409, &help, &context, &dll), S_OK);
    EXPECT_EQ(Text(help), "method SetImage");
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(dll, nullptr);
    SysFreeString(help);
    EXPECT_EQ(info2->GetDocumentation2(9, 0, &help, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    // No custom data is recorded: present items answer VT_EMPTY, absent ones are not found.
    VARIANT v;
    v.vt = VT_I4;
    ASSERT_EQ(info2->GetCustData(GUID_NULL, &v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_I4;
    ASSERT_EQ(info2->GetParamCustData(1, 3, GUID_NULL, &v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(info2->GetParamCustData(1, 4, GUID_NULL, &v), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info2->GetFuncCustData(3, GUID_NULL, &v), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info2->GetVarCustData(0, GUID_NULL, &v), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(info2->GetImplTypeCustData(0, GUID_NULL, &v), S_OK);
    CUSTDATA all{5, reinterpret_cast<CUSTDATAITEM*>(0x1)};
    ASSERT_EQ(info2->GetAllFuncCustData(0, &all), S_OK);
    EXPECT_EQ(all.cCustData, 0u);
    EXPECT_EQ(all.prgCustData, nullptr);
    EXPECT_EQ(info2->GetAllImplTypeCustData(1, &all), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibrary, FindNameAndIsNameTakeTheLibrarysSpelling)
{
    LOAD_TONWELL(lib);
    OLECHAR name[] = u"setIMAGE";
    BOOL found = FALSE;
    ASSERT_EQ(lib->IsName(name, 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(std::u16string(name), u"SetImage");
    OLECHAR other[] = u"pImage"; // a parameter is not a type or member
    ASSERT_EQ(lib->IsName(other, 0, &found), S_OK);
    EXPECT_FALSE(found);

    OLECHAR type[] = u"tonwellexposure";
    ITypeInfo* infos[2] = {};
    MEMBERID ids[2] = {};
    USHORT count = 2;
    ASSERT_EQ(lib->FindName(type, 0, infos, ids, &count), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(ids[0], MEMBERID_NIL);
    EXPECT_EQ(std::u16string(type), u"TonwellExposure");
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(infos[0]->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, CLSID_TonwellExposure);
    infos[0]->ReleaseTypeAttr(attr);
    infos[0]->Release();

    OLECHAR method[] = u"GetResults";
    count = 2;
    ASSERT_EQ(lib->FindName(method, 0, infos, ids, &count), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(ids[0], 3);
    infos[0]->Release();
}

TEST(TypeLibrary, GetIDsOfNames)
{
    LOAD_TONWELL(lib);
    EXPOSURE_INFO(lib, info);
    auto ids = [&](std::vector<const char16_t*> names, HRESULT expected) {
        std::vector<std::u16string> storage(names.begin(), names.end());
        std::vector<LPOLESTR> pointers;
        for (std::u16string& s : storage)
            pointers.push_back(s.data());
        std::vector<MEMBERID> out(names.size(), 12345);
        EXPECT_EQ(info->GetIDsOfNames(pointers.data(), UINT(pointers.size()), out.data()), expected);
        return out;
    };
    EXPECT_EQ(ids({u"SetImage"}, S_OK), (std::vector<MEMBERID>{2}));
    // Without regard to case, member and parameters alike.
    EXPECT_EQ(ids({u"sEtImAgE"}, S_OK), (std::vector<MEMBERID>{2}));
    EXPECT_EQ(ids({u"SETIMAGE", u"dwstride", u"PIMAGE"}, S_OK), (std::vector<MEMBERID>{2, 3, 0}));
    EXPECT_EQ(ids({u"GetResults", u"cbSize"}, S_OK), (std::vector<MEMBERID>{3, 1}));
    // An unknown parameter: its slot says so, the others are still filled.
    EXPECT_EQ(ids({u"SetImage", u"bogus", u"dwWidth"}, DISP_E_UNKNOWNNAME),
              (std::vector<MEMBERID>{2, DISPID_UNKNOWN, 1}));
    // A parameter of another method is not one of this method's.
    EXPECT_EQ(ids({u"Initialize", u"pImage"}, DISP_E_UNKNOWNNAME), (std::vector<MEMBERID>{1, DISPID_UNKNOWN}));
    // An unknown member: every slot unknown.
    EXPECT_EQ(ids({u"Bogus", u"dwFlags"}, DISP_E_UNKNOWNNAME),
              (std::vector<MEMBERID>{DISPID_UNKNOWN, DISPID_UNKNOWN}));
    EXPECT_EQ(ids({u"SetImag"}, DISP_E_UNKNOWNNAME), (std::vector<MEMBERID>{DISPID_UNKNOWN}));
    // Inherited members answer through the base interfaces in stdole2.
    EXPECT_EQ(ids({u"queryinterface"}, S_OK), (std::vector<MEMBERID>{0x60000000}));
    EXPECT_EQ(ids({u"Invoke", u"wFlags"}, S_OK), (std::vector<MEMBERID>{0x60010003, 3}));

    MEMBERID one = 0;
    EXPECT_EQ(info->GetIDsOfNames(nullptr, 1, &one), E_INVALIDARG);
    LPOLESTR none[] = {nullptr};
    EXPECT_EQ(info->GetIDsOfNames(none, 1, &one), E_INVALIDARG);
}

// An object with the interface's vtable, to see where Invoke lands.
class Exposure final : public UncountedDispatch<ITonwellExposure> {
public:
    HRESULT STDMETHODCALLTYPE Initialize(DWORD dwFlags) override
    {
        flags = dwFlags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetImage(BYTE*, DWORD, DWORD, DWORD) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE GetResults(BYTE*, DWORD) override { return S_OK; }
    DWORD flags = 0;
};

TEST(TypeLibrary, InvokeFindsTheMemberByIdAndKind)
{
    LOAD_TONWELL(lib);
    EXPOSURE_INFO(lib, info);
    Exposure object;
    VARIANT arg;
    arg.vt = VT_I4;
    arg.lVal = 10;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    result.vt = VT_I4;
    EXCEPINFO excep{};
    UINT argErr = 0;
    EXPECT_EQ(info->Invoke(&object, 99, DISPATCH_METHOD, &params, &result, &excep, &argErr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(info->Invoke(&object, 1, DISPATCH_PROPERTYPUT, &params, &result, &excep, &argErr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(info->Invoke(&object, 1, 0, &params, &result, &excep, &argErr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(info->Invoke(nullptr, 1, DISPATCH_METHOD, &params, &result, &excep, &argErr), E_INVALIDARG);
    EXPECT_EQ(info->Invoke(&object, 1, DISPATCH_METHOD, nullptr, &result, &excep, &argErr), E_INVALIDARG);
    EXPECT_EQ(object.flags, 0u);

    Ptr<ITypeInfo> cls;
    ASSERT_EQ(lib->GetTypeInfo(1, cls.Out()), S_OK);
    EXPECT_EQ(cls->Invoke(&object, 1, DISPATCH_METHOD, &params, &result, &excep, &argErr), TYPE_E_WRONGTYPEKIND);

    // A method answers DISPATCH_METHOD, also together with DISPATCH_PROPERTYGET.
    HRESULT hr = info->Invoke(&object, 1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &result, &excep, &argErr);
    if (hr == E_NOTIMPL)
        GTEST_SKIP() << "the generic call (InvokeFuncDesc) is not in this build yet";
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(object.flags, 10u);
    EXPECT_EQ(result.vt, VT_EMPTY);
}

TEST(TypeLibrary, ReferenceCountsAreSharedAndKeepTheLibraryAlive)
{
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), &lib), S_OK);
    EXPECT_EQ(RefCount(lib), 1u);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(0, &info), S_OK);
    EXPECT_EQ(RefCount(lib), 2u);
    EXPECT_EQ(lib->Release(), 1u);
    // The type information alone keeps everything alive.
    BSTR name = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "ITonwellExposure");
    SysFreeString(name);
    ITypeLib* back = nullptr;
    UINT index = 9;
    ASSERT_EQ(info->GetContainingTypeLib(&back, &index), S_OK);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(back->Release(), 1u);
    EXPECT_EQ(info->Release(), 0u);

    Ptr<ITypeLib> other;
    ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), other.Out()), S_OK);
    Ptr<IUnknown> unknown;
    EXPECT_EQ(other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Out())), S_OK);
    void* nothing = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(other->QueryInterface(IID_IDispatch, &nothing), E_NOINTERFACE);
    EXPECT_EQ(nothing, nullptr);
}

TEST(TypeLibrary, ManyThreadsResolveTheBaseAndReadAtOnce)
{
    for (int round = 0; round < 5; ++round) {
        LOAD_TONWELL(lib);
        EXPOSURE_INFO(lib, info);
        std::atomic<int> failures{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                while (!go)
                    std::this_thread::yield();
                for (int i = 0; i < 50; ++i) {
                    OLECHAR name[] = u"AddRef";
                    LPOLESTR names[] = {name};
                    MEMBERID id = 0;
                    if (info->GetIDsOfNames(names, 1, &id) != S_OK || id != 0x60000001)
                        ++failures;
                    HREFTYPE href = 0;
                    ITypeInfo* base = nullptr;
                    if (info->GetRefTypeOfImplType(0, &href) != S_OK || info->GetRefTypeInfo(href, &base) != S_OK)
                        ++failures;
                    else
                        base->Release();
                    FUNCDESC* fd = nullptr;
                    if (info->GetFuncDesc(UINT(i % 3), &fd) != S_OK)
                        ++failures;
                    else
                        info->ReleaseFuncDesc(fd);
                }
            });
        go = true;
        for (std::thread& t : threads)
            t.join();
        EXPECT_EQ(failures.load(), 0);
        // Nothing leaked: the library's one and the type information's one (they share a count).
        EXPECT_EQ(RefCount(lib.get()), 2u);
    }
}

class TypeLibraryFiles : public MachineRootFixture {};

TEST_F(TypeLibraryFiles, WhatIsNotATypeLibraryIsRefused)
{
    EXPECT_EQ(LoadTypeLib(u"/no/such/file.tlb", nullptr), E_POINTER);
    ITypeLib* lib = nullptr;
    EXPECT_EQ(LoadTypeLib(nullptr, &lib), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"", &lib), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"/no/such/file.tlb", &lib), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"nosuch.tlb", &lib), TYPE_E_CANTLOADLIBRARY);
    std::string text = (Root() / "notes.txt").string();
    WriteBytes(text, {'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(LoadTypeLib(U16(text).c_str(), &lib), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(U16(Root().string()).c_str(), &lib), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLibEx(nullptr, REGKIND_NONE, &lib), E_INVALIDARG);
    EXPECT_EQ(lib, nullptr);
}

// A module carrying type libraries as resources 1 and 2 ("TYPELIB").
TEST(TypeLibraryModules, LoadsTheTypelibResourceOfAModule)
{
#ifndef TONWELL_TEST_RESOURCE_MODULE
    GTEST_SKIP() << "this build cannot pack module resources (tonwell_add_resources)";
#else
    const std::string module = TONWELL_TEST_RESOURCE_MODULE;
    HMODULE h = LoadLibraryExW(U16(module).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr);
    HRSRC found = FindResourceW(h, MAKEINTRESOURCEW(1), u"TYPELIB");
    DWORD error = GetLastError();
    FreeLibrary(h);
    if (!found && error == ERROR_NOT_SUPPORTED)
        GTEST_SKIP() << "module resources are not in this build yet";
    ASSERT_NE(found, nullptr) << error;

    Ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(U16(module).c_str(), lib.Out()), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_TONWELLOBJLib);
    lib->ReleaseTLibAttr(attr);

    // "\2" picks resource 2: the standard library, packed as a second type library.
    ASSERT_EQ(LoadTypeLib(U16(module + "\\2").c_str(), lib.Out()), S_OK);
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->wMajorVerNum, 2);
    lib->ReleaseTLibAttr(attr);
    EXPECT_EQ(LoadTypeLib(U16(module + "\\3").c_str(), lib.Out()), TYPE_E_CANTLOADLIBRARY);
#endif
}

} // namespace
