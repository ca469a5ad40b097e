// The platform's component category manager, created like any in-process class.
#include "machine_root.h"

#include <comcat.h>
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

using namespace tonwell::test;

namespace {

const CLSID kClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const CATID kCatA = {0xAAAAAAAA, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}};
const CATID kCatB = {0xBBBBBBBB, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 2}};

class Categories : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                   reinterpret_cast<void**>(&m_cat)),
                  S_OK);
    }
    void TearDown() override
    {
        if (m_cat)
            m_cat->Release();
        MachineRootFixture::TearDown();
    }
    static bool Exists(const char16_t* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    ICatRegister* m_cat = nullptr;
};

const char16_t kImplA[] =
    u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Implemented Categories\\{AAAAAAAA-0000-0000-0000-000000000001}";
const char16_t kReqB[] =
    u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Required Categories\\{BBBBBBBB-0000-0000-0000-000000000002}";

TEST_F(Categories, ClassCategoriesComeAndGo)
{
    CATID a = kCatA, b = kCatB;
    ASSERT_EQ(m_cat->RegisterClassImplCategories(kClass, 1, &a), S_OK);
    ASSERT_EQ(m_cat->RegisterClassReqCategories(kClass, 1, &b), S_OK);
    EXPECT_TRUE(Exists(kImplA));
    EXPECT_TRUE(Exists(kReqB));

    ASSERT_EQ(m_cat->UnRegisterClassImplCategories(kClass, 1, &a), S_OK);
    EXPECT_FALSE(Exists(kImplA));
    EXPECT_FALSE(Exists(u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Implemented Categories"));
    EXPECT_TRUE(Exists(kReqB));
    // What is not registered unregisters without error.
    EXPECT_EQ(m_cat->UnRegisterClassImplCategories(kClass, 1, &a), S_OK);
    EXPECT_EQ(m_cat->RegisterClassImplCategories(kClass, 1, nullptr), E_POINTER);
}

TEST_F(Categories, DescriptionsByLocale)
{
    CATEGORYINFO info{};
    info.catid = kCatA;
    info.lcid = 0x409;
    const char16_t text[] = u"Tonwell test category";
    std::copy(std::begin(text), std::end(text), info.szDescription);
    ASSERT_EQ(m_cat->RegisterCategories(1, &info), S_OK);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Component Categories\\{AAAAAAAA-0000-0000-0000-000000000001}", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    WCHAR data[128] = {};
    DWORD cb = sizeof data, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"409", nullptr, &type, reinterpret_cast<BYTE*>(data), &cb), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::u16string(data), text);
    EXPECT_EQ(cb, sizeof text);

    CATID a = kCatA;
    ASSERT_EQ(m_cat->UnRegisterCategories(1, &a), S_OK);
    EXPECT_FALSE(Exists(u"Component Categories\\{AAAAAAAA-0000-0000-0000-000000000001}"));
}

TEST(CategoryManager, ServedByThePlatformOnly)
{
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&unknown)),
              E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_StdComponentCategoriesMgr, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown,
                                      reinterpret_cast<void**>(&unknown)),
              CLASS_E_NOAGGREGATION);
    factory->Release();
}

} // namespace
