// The component reached through the module corrects images exactly as the
// engine does when called directly with the same strength.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Tonwell.h"
#include "machine_root.h"
#include "module_support.h"

namespace {

using tonwell::test::LoadedModule;

struct TestImage {
    DWORD dwWidth;
    DWORD dwHeight;
    DWORD dwStride;
    std::vector<BYTE> bytes;
};

// Pixels spread around a random level, so that every exposure class turns up.
TestImage RandomImage(std::mt19937& rng)
{
    TestImage image;
    image.dwWidth = std::uniform_int_distribution<DWORD>(1, 97)(rng);
    image.dwHeight = std::uniform_int_distribution<DWORD>(1, 41)(rng);
    image.dwStride = image.dwWidth * 3 + std::uniform_int_distribution<DWORD>(0, 9)(rng);
    image.bytes.resize(static_cast<size_t>(image.dwStride) * image.dwHeight);
    const int level = std::uniform_int_distribution<int>(0, 255)(rng);
    const int spread = std::uniform_int_distribution<int>(0, 255)(rng);
    std::uniform_int_distribution<int> offset(-spread / 2, spread / 2);
    for (BYTE& b : image.bytes)
        b = static_cast<BYTE>(std::clamp(level + offset(rng), 0, 255));
    return image;
}

class ServerEndToEndTest : public tonwell::test::MachineRootFixture {};

TEST_F(ServerEndToEndTest, ModuleAndEngineGiveTheSameBytes)
{
    LoadedModule module;
    ASSERT_TRUE(module.Ok());
    IClassFactory* pFactory = module.ClassFactory();
    ASSERT_NE(pFactory, nullptr);

    std::mt19937 rng(20261208);
    const DWORD flagValues[] = {0, 1, 10, 11, 15, 25, 0x7FFFFFFF, 0x80000000};
    int changed = 0;
    for (int round = 0; round < 200; ++round) {
        TestImage original = RandomImage(rng);
        const DWORD dwFlags = flagValues[round % 8];

        std::vector<BYTE> direct = original.bytes;
        CTonwell engine(direct.data(), original.dwWidth, original.dwHeight, original.dwStride, 3);
        engine.SetStrength(static_cast<double>(static_cast<LONG>(dwFlags)) * 0.1);
        const HRESULT hrDirect = engine.Fix(0);

        ITonwellExposure* pExposure = nullptr;
        ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_ITonwellExposure, reinterpret_cast<void**>(&pExposure)), S_OK);
        std::vector<BYTE> viaModule = original.bytes;
        ASSERT_EQ(pExposure->Initialize(dwFlags), S_OK);
        const HRESULT hrModule =
            pExposure->SetImage(viaModule.data(), original.dwWidth, original.dwHeight, original.dwStride);
        EXPECT_EQ(pExposure->Release(), 0u);

        ASSERT_EQ(hrModule, hrDirect) << "round " << round;
        ASSERT_EQ(viaModule, direct) << "round " << round << ", " << original.dwWidth << "x" << original.dwHeight;
        changed += viaModule != original.bytes;
    }
    EXPECT_GT(changed, 50) << "the images should exercise the corrections, not only pass through";
    pFactory->Release();
    EXPECT_EQ(module.pfnCanUnloadNow(), S_OK);
}

} // namespace
