// Float RGBA ProPhoto (D65) → sRGB over a 24-megapixel buffer on all cores,
// beside a plain copy of the same buffer in the same run.

#include "color/ColorTransform.h"
#include "color/ProfileManager.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <algorithm>
#include <vector>

namespace {

constexpr int kW = 6000, kH = 4000;

std::vector<float> &pixels() {
    static std::vector<float> px = [] {
        std::vector<float> v(static_cast<std::size_t>(kW) * kH * 4);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000.f;
        return v;
    }();
    return px;
}

void BM_CopyFloatRGBA(benchmark::State &state) {
    auto &src = pixels();
    std::vector<float> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size() * sizeof(float));
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_ProPhotoD65ToSRGB(benchmark::State &state) {
    auto &pm = orvanta::ProfileManager::sharedManager();
    auto t = orvanta::ColorTransform::create(pm.getProPhotoGamma1_D65Profile(), pm.getSRGBProfile());
    auto &src = pixels();
    std::vector<float> dst(src.size());
    for (auto _ : state) {
        t->convert(src.data(), kW * 16, dst.data(), kW * 16, kW, kH);
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

// The same pixels as 16-bit samples, the form display tiles take.
void BM_ProPhotoD65ToSRGB16(benchmark::State &state) {
    auto &pm = orvanta::ProfileManager::sharedManager();
    auto t = orvanta::ColorTransform::create(pm.getProPhotoGamma1_D65Profile(), pm.getSRGBProfile());
    const auto &f = pixels();
    std::vector<std::uint16_t> src(f.size()), dst(f.size());
    for (std::size_t i = 0; i < f.size(); ++i)
        src[i] = static_cast<std::uint16_t>(std::clamp(f[i], 0.0f, 1.0f) * 65535.0f);
    for (auto _ : state) {
        t->convert(src.data(), kW * 8, dst.data(), kW * 8, kW, kH);
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_CopyFloatRGBA)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProPhotoD65ToSRGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProPhotoD65ToSRGB16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
