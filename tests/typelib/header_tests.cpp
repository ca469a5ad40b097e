// The generated header against what code built on it expects: the C++ form's shape, the
// C form's slots (header_check.c), identifiers that match the type library, and the
// GUIDs hosts and registrations were built with.
#include "typelib_test_support.h"

#include "TonwellObj.h"

#include <type_traits>

using namespace tonwell::test;

extern "C" int TonwellHeaderCheckC(void);

namespace {

static_assert(std::is_base_of_v<IDispatch, ITonwellExposure>);
static_assert(std::is_abstract_v<ITonwellExposure>);
static_assert(std::is_same_v<decltype(&ITonwellExposure::Initialize), HRESULT (ITonwellExposure::*)(DWORD)>);
static_assert(std::is_same_v<decltype(&ITonwellExposure::SetImage),
                             HRESULT (ITonwellExposure::*)(BYTE*, DWORD, DWORD, DWORD)>);
static_assert(std::is_same_v<decltype(&ITonwellExposure::GetResults), HRESULT (ITonwellExposure::*)(BYTE*, DWORD)>);
static_assert(std::is_same_v<LPFNGETCLASSOBJECT, HRESULT (*)(REFCLSID, REFIID, LPVOID*)>);
static_assert(std::is_same_v<LPFNCANUNLOADNOW, HRESULT (*)(void)>);

TEST(GeneratedHeader, TheCFormCallsThroughItsSlots) { EXPECT_EQ(TonwellHeaderCheckC(), 0); }

TEST(GeneratedHeader, IdentifiersAreTheOnesHostsWereBuiltWith)
{
    EXPECT_EQ(CLSID_TonwellExposure,
              (GUID{0x83af37a6, 0x1013, 0x4638, {0x95, 0x68, 0x8a, 0x25, 0xee, 0x23, 0x7c, 0x79}}));
    EXPECT_EQ(IID_ITonwellExposure,
              (GUID{0x9d2f309b, 0x5941, 0x468f, {0xb3, 0x57, 0xef, 0xdd, 0x74, 0xed, 0x99, 0xbd}}));
    EXPECT_EQ(LIBID_TONWELLOBJLib,
              (GUID{0x4404c7f2, 0xcb2b, 0x4cee, {0xae, 0x75, 0x56, 0x40, 0x6c, 0xa5, 0x0f, 0x0d}}));
    EXPECT_STREQ(TONWELL_PROGID, "TonwellObj.TonwellExposure.1");
    EXPECT_STREQ(TONWELL_VERSION_INDEPENDENT_PROGID, "TonwellObj.TonwellExposure");
}

TEST(GeneratedHeader, AgreesWithTheTypeLibrary)
{
    Ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(U16(kTonwellTlb).c_str(), lib.Out()), S_OK);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_TONWELLOBJLib);
    lib->ReleaseTLibAttr(attr);
    Ptr<ITypeInfo> cls, iface;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(CLSID_TonwellExposure, cls.Out()), S_OK);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ITonwellExposure, iface.Out()), S_OK);
    // The DISPID macros are quoted text beside the [id]s: they must say the same.
    const std::pair<const char16_t*, MEMBERID> methods[] = {{u"Initialize", DISPID_TONWELL_INITIALIZE},
                                                            {u"SetImage", DISPID_TONWELL_SETIMAGE},
                                                            {u"GetResults", DISPID_TONWELL_GETRESULTS}};
    for (const auto& [name, dispid] : methods) {
        std::u16string text(name);
        LPOLESTR names[] = {text.data()};
        MEMBERID id = 0;
        ASSERT_EQ(iface->GetIDsOfNames(names, 1, &id), S_OK);
        EXPECT_EQ(id, dispid);
    }
}

} // namespace
