// SetImage on a 6000 x 4000 RGB image for each correction path. Each benchmark
// times SetImage alone (manual time) and, in the same iterations, a memcpy of the
// same buffer and OpenCV doing the equivalent work (RGB to grey, 256-bin
// histogram and, when the path writes, a 256-entry LUT over the RGB bytes), and
// reports its time over theirs as the counters vs_memcpy and vs_opencv.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DirectCreate.h"
#include "Tonwell.h"
#include "TonwellKernels.h"
#include "TonwellObj.h"

namespace {

constexpr DWORD kWidth = 6000;
constexpr DWORD kHeight = 4000;
constexpr DWORD kStride = kWidth * 3;
constexpr size_t kBytes = size_t(kStride) * kHeight;

enum class Scene { Dark, Bright, LowContrast, Normal };

// A smooth diagonal gradient with noise, shaped per scene; photo-like enough that
// neighbouring pixels often share a luminance.
std::vector<BYTE> MakeImage(Scene scene)
{
    std::vector<BYTE> image(kBytes);
    uint32_t state = 0x9E3779B9u;
    for (DWORD y = 0; y < kHeight; ++y) {
        BYTE* row = &image[size_t(y) * kStride];
        for (DWORD x = 0; x < kWidth; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            double t = 0.5 * x / kWidth + 0.5 * y / kHeight + ((state & 0xFF) / 255.0 - 0.5) * 0.12;
            t = std::clamp(t, 0.0, 1.0);
            double v = 0;
            switch (scene) {
            case Scene::Dark: v = 170.0 * std::pow(t, 2.0); break;
            case Scene::Bright: v = 249.0 - 120.0 * std::pow(1.0 - t, 2.0); break;
            case Scene::LowContrast: v = 90.0 + 70.0 * t; break;
            case Scene::Normal: v = 250.0 * t; break;
            }
            for (int c = 0; c < 3; ++c) {
                const double tint = (c == 0 ? 6.0 : c == 2 ? -6.0 : 0.0) * (t - 0.5);
                row[3 * x + c] = static_cast<BYTE>(std::clamp(v + tint, 0.0, 255.0));
            }
        }
    }
    return image;
}

const std::vector<BYTE>& Pristine(Scene scene)
{
    static std::vector<BYTE> images[4];
    std::vector<BYTE>& image = images[static_cast<int>(scene)];
    if (image.empty())
        image = MakeImage(scene);
    return image;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

struct OpenCvWork {
    cv::Mat gray;
    cv::Mat hist;
    cv::Mat lut;
    OpenCvWork() : lut(1, 256, CV_8U)
    {
        for (int i = 0; i < 256; ++i)
            lut.at<uchar>(i) = static_cast<uchar>(255 - i);
    }
    void Run(BYTE* pImage, bool bWrites)
    {
        cv::Mat rgb(static_cast<int>(kHeight), static_cast<int>(kWidth), CV_8UC3, pImage, kStride);
        cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
        const int channels[] = {0};
        const int histSize[] = {256};
        const float range[] = {0.0f, 256.0f};
        const float* ranges[] = {range};
        cv::calcHist(&gray, 1, channels, cv::Mat(), hist, 1, histSize, ranges);
        if (bWrites)
            cv::LUT(rgb, lut, rgb);
    }
};

void RunPath(benchmark::State& state, Scene scene, DWORD dwFlags, ExposureType expectedType, HRESULT hrExpected)
{
    const std::vector<BYTE>& pristine = Pristine(scene);

    // Make sure the image takes the path this benchmark is named after.
    {
        std::vector<BYTE> copy = pristine;
        CTonwell engine(copy.data(), kWidth, kHeight, kStride, 3);
        ExposureType type = ExposureNormal;
        if (engine.ClassifyExposureType(&type) != S_OK || type != expectedType) {
            state.SkipWithError("the test image is not classified as intended");
            return;
        }
    }

    ITonwellExposure* pExposure = nullptr;
    if (CreateTonwellExposureDirect(&pExposure) != S_OK) {
        state.SkipWithError("cannot create the component");
        return;
    }
    if (dwFlags != 0)
        pExposure->Initialize(dwFlags);

    const bool bWrites = hrExpected == S_OK;
    std::vector<BYTE> image = pristine;
    std::vector<BYTE> scratch(kBytes);
    OpenCvWork opencv;
    double dOurs = 0, dMemcpy = 0, dOpenCv = 0;

    for (auto _ : state) {
        // A memcpy of the same buffer, then OpenCV on that copy.
        auto t0 = std::chrono::steady_clock::now();
        std::memcpy(scratch.data(), pristine.data(), kBytes);
        auto t1 = std::chrono::steady_clock::now();
        opencv.Run(scratch.data(), bWrites);
        auto t2 = std::chrono::steady_clock::now();
        dMemcpy += Seconds(t1 - t0);
        dOpenCv += Seconds(t2 - t1);

        // Every iteration corrects the same, uncorrected image.
        if (bWrites)
            std::memcpy(image.data(), pristine.data(), kBytes);

        auto t3 = std::chrono::steady_clock::now();
        const HRESULT hr = pExposure->SetImage(image.data(), kWidth, kHeight, kStride);
        auto t4 = std::chrono::steady_clock::now();
        benchmark::ClobberMemory();
        if (hr != hrExpected) {
            state.SkipWithError("SetImage gave an unexpected result");
            break;
        }
        const double d = Seconds(t4 - t3);
        dOurs += d;
        state.SetIterationTime(d);
    }
    pExposure->Release();

    if (dMemcpy > 0 && dOpenCv > 0) {
        state.counters["vs_memcpy"] = dOurs / dMemcpy;
        state.counters["vs_opencv"] = dOurs / dOpenCv;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
    state.SetLabel(tonwell::kernels::ImplName(tonwell::kernels::Impl::Best) + std::string(", opencv threads ") +
                   std::to_string(cv::getNumThreads()));
}

void BM_SetImage_Dark(benchmark::State& state) { RunPath(state, Scene::Dark, 0, ExposureDark, S_OK); }
void BM_SetImage_Bright(benchmark::State& state) { RunPath(state, Scene::Bright, 0, ExposureBright, S_OK); }
void BM_SetImage_LowContrast(benchmark::State& state)
{
    RunPath(state, Scene::LowContrast, 0, ExposureLowContrast, S_OK);
}
void BM_SetImage_NormalStrength15(benchmark::State& state)
{
    RunPath(state, Scene::Normal, 15, ExposureNormal, S_OK);
}
void BM_SetImage_NormalUnchanged(benchmark::State& state)
{
    RunPath(state, Scene::Normal, 0, ExposureNormal, S_FALSE);
}

} // namespace

BENCHMARK(BM_SetImage_Dark)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SetImage_Bright)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SetImage_LowContrast)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SetImage_NormalStrength15)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SetImage_NormalUnchanged)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The engine runs on the caller's thread; compare with OpenCV on one thread too
// unless TONWELL_BENCH_OPENCV_THREADS says otherwise.
int main(int argc, char** argv)
{
    const char* threads = std::getenv("TONWELL_BENCH_OPENCV_THREADS");
    cv::setNumThreads(threads ? std::atoi(threads) : 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
