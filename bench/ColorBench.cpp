// Float RGBA ProPhoto (D65) → sRGB over a 24-megapixel buffer on all cores,
// beside a plain copy of the same buffer in the same run.

#include "color/ColorTransform.h"
#include "color/ProfileManager.h"

#include <benchmark/benchmark.h>
#include <cstring>
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

} // namespace

BENCHMARK(BM_CopyFloatRGBA)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ProPhotoD65ToSRGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
