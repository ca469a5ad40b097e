// CTonwellExposure through its interface, created in the direct standalone form.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "DirectCreate.h"
#include "Tonwell.h"
#include "TonwellObj.h"

namespace {

struct Released {
    void operator()(ITonwellExposure* p) const { p->Release(); }
};
using ExposurePtr = std::unique_ptr<ITonwellExposure, Released>;

ExposurePtr Create()
{
    ITonwellExposure* p = nullptr;
    EXPECT_EQ(CreateTonwellExposureDirect(&p), S_OK);
    return ExposurePtr(p);
}

// A 10 x 10 grey image with rows padded to 32 bytes; the padding must survive.
struct GreyImage {
    static constexpr DWORD kWidth = 10, kHeight = 10, kStride = 32;
    std::vector<BYTE> bytes;
    explicit GreyImage(BYTE v) : bytes(kStride * kHeight, 0xA5)
    {
        for (DWORD y = 0; y < kHeight; ++y)
            std::fill_n(&bytes[y * kStride], kWidth * 3, v);
    }
    HRESULT Run(ITonwellExposure* p) { return p->SetImage(bytes.data(), kWidth, kHeight, kStride); }
    // The one value of every colour byte, or -1 when they differ; padding must be intact.
    int Value() const
    {
        int v = bytes[0];
        for (DWORD y = 0; y < kHeight; ++y) {
            for (DWORD i = 0; i < kStride; ++i) {
                const BYTE b = bytes[y * kStride + i];
                if (i >= kWidth * 3 ? b != 0xA5 : b != v)
                    return -1;
            }
        }
        return v;
    }
};

} // namespace

TEST(Component, StrengthFollowsInitialize)
{
    const struct {
        std::vector<DWORD> flags;
        HRESULT hr;
        int grey128;
    } cases[] = {
        {{}, S_FALSE, 128},
        {{0}, S_FALSE, 128},
        {{10}, S_FALSE, 128},
        {{11}, S_OK, 137},
        {{15}, S_OK, 165},
        {{15, 0}, S_OK, 165},
        {{15, 10}, S_FALSE, 128},
        {{0x7FFFFFFF}, S_OK, 255},
        {{0x80000000}, S_FALSE, 128},
        {{0xFFFFFFFF}, S_FALSE, 128},
    };
    for (const auto& c : cases) {
        ExposurePtr p = Create();
        for (DWORD f : c.flags)
            EXPECT_EQ(p->Initialize(f), S_OK);
        GreyImage image(128);
        EXPECT_EQ(image.Run(p.get()), c.hr) << testing::PrintToString(c.flags);
        EXPECT_EQ(image.Value(), c.grey128) << testing::PrintToString(c.flags);
    }
}

TEST(Component, DarkBrightAndNarrowImagesAreCorrectedAtAnyStrength)
{
    for (DWORD flags : {DWORD(0), DWORD(15), DWORD(0x80000000)}) {
        ExposurePtr p = Create();
        p->Initialize(flags);
        GreyImage dark(50);
        EXPECT_EQ(dark.Run(p.get()), S_OK);
        EXPECT_EQ(dark.Value(), 107);
        GreyImage bright(220);
        EXPECT_EQ(bright.Run(p.get()), S_OK);
        EXPECT_EQ(bright.Value(), 175);
        GreyImage black(0);
        EXPECT_EQ(black.Run(p.get()), S_OK);
        EXPECT_EQ(black.Value(), 128);
    }
}

TEST(Component, EachSetImageAnalysesAfresh)
{
    ExposurePtr p = Create();
    GreyImage image(50);
    ASSERT_EQ(image.Run(p.get()), S_OK);
    ASSERT_EQ(image.Value(), 107);
    // Grey 107 is normal: nothing more to do at the default strength.
    EXPECT_EQ(image.Run(p.get()), S_FALSE);
    EXPECT_EQ(image.Value(), 107);
}

TEST(Component, BadArgumentsAndTrivialCalls)
{
    ExposurePtr p = Create();
    EXPECT_EQ(p->SetImage(nullptr, 10, 10, 30), static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(p->GetResults(nullptr, 0), S_OK);
    BYTE results[4] = {9, 9, 9, 9};
    EXPECT_EQ(p->GetResults(results, sizeof(results)), S_OK);
    EXPECT_EQ(results[0], 9);
    EXPECT_EQ(results[3], 9);

    GreyImage untouched(50);
    EXPECT_EQ(p->SetImage(untouched.bytes.data(), 0, 10, 32), S_FALSE);
    EXPECT_EQ(p->SetImage(untouched.bytes.data(), 10, 0, 32), S_FALSE);
    EXPECT_EQ(untouched.Value(), 50);
}

TEST(Component, DirectFormHasOneIdentity)
{
    EXPECT_EQ(CreateTonwellExposureDirect(nullptr), E_POINTER);
    ExposurePtr p = Create();
    void* pUnknown = nullptr;
    void* pDispatch = nullptr;
    void* pExposure = nullptr;
    ASSERT_EQ(p->QueryInterface(IID_IUnknown, &pUnknown), S_OK);
    ASSERT_EQ(p->QueryInterface(IID_IDispatch, &pDispatch), S_OK);
    ASSERT_EQ(p->QueryInterface(IID_ITonwellExposure, &pExposure), S_OK);
    EXPECT_EQ(pUnknown, static_cast<void*>(p.get()));
    EXPECT_EQ(pDispatch, pUnknown);
    EXPECT_EQ(pExposure, pUnknown);

    void* pOther = reinterpret_cast<void*>(1);
    EXPECT_EQ(p->QueryInterface(IID_IClassFactory, &pOther), E_NOINTERFACE);
    EXPECT_EQ(pOther, nullptr);
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // One reference from creation plus three from the queries.
    EXPECT_EQ(p->AddRef(), 5u);
    EXPECT_EQ(p->Release(), 4u);
    for (ULONG expected : {3u, 2u, 1u})
        EXPECT_EQ(p->Release(), expected);
}

TEST(Component, TheEngineDecisionSaysWhatSetImageDoes)
{
    // What `tonwell analyze` reports (the engine's decision at the strength the
    // flags stand for) against what SetImage then does to the same bytes.
    std::mt19937 rng(1208);
    const DWORD flagValues[] = {0, 10, 11, 15, 40, 0x80000000};
    std::set<int> seen;
    for (int round = 0; round < 150; ++round) {
        const DWORD flags = flagValues[round % 6];
        const DWORD width = std::uniform_int_distribution<DWORD>(1, 64)(rng);
        const DWORD height = std::uniform_int_distribution<DWORD>(1, 16)(rng);
        const DWORD stride = width * 3 + std::uniform_int_distribution<DWORD>(0, 5)(rng);
        const int level = std::uniform_int_distribution<int>(0, 255)(rng);
        const int spread = std::uniform_int_distribution<int>(1, 256)(rng);
        std::vector<BYTE> original(static_cast<size_t>(stride) * height);
        for (BYTE& b : original)
            b = static_cast<BYTE>(std::clamp(level - spread / 2 + static_cast<int>(rng() % spread), 0, 255));

        std::vector<BYTE> analysed = original;
        CTonwell engine(analysed.data(), width, height, stride, 3);
        engine.SetStrength(StrengthFromFlags(flags));
        ExposureDecision decision{};
        ASSERT_EQ(engine.Decide(&decision), S_OK);
        seen.insert(decision.correction);

        ExposurePtr p = Create();
        ASSERT_EQ(p->Initialize(flags), S_OK);
        std::vector<BYTE> fixed = original;
        const HRESULT hr = p->SetImage(fixed.data(), width, height, stride);
        if (decision.correction == CorrectionNone) {
            EXPECT_EQ(hr, S_FALSE) << "round " << round;
            EXPECT_EQ(fixed, original) << "round " << round;
        } else {
            EXPECT_EQ(hr, S_OK) << "round " << round;
            ASSERT_EQ(engine.Fix(0), S_OK);
            EXPECT_EQ(fixed, analysed) << "round " << round << " correction " << decision.correction;
        }
    }
    EXPECT_EQ(seen.size(), 5u) << "every correction should have turned up";
}
