// The raw steps on a 24-megapixel synthetic Bayer mosaic, each in
// megapixels per second, beside the raw decoder library's own AHD and a plain
// copy of the image in the same run. Ratios between the rows are the figures
// that matter: the machine changes, the ratios should not.

#include "LibRawOracle.h"
#include "SyntheticMosaic.h"
#include "input/RawSteps.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace {

using namespace orvanta;

constexpr int kW = 6000, kH = 4000;
constexpr float kCam[3][4] = {{1.8f, -0.6f, -0.2f, 0}, {-0.2f, 1.5f, -0.3f, 0}, {0.05f, -0.5f, 1.45f, 0}};

const test::Mosaic &source(unsigned filters) {
    static test::Mosaic bayer = test::makeMosaic(test::Scene::Texture, kW, kH, test::kRGGB, 200, 1, true);
    static test::Mosaic twoGreens = [] {
        test::Mosaic m = bayer;
        m.filters = 0xb4b4b4b4u; // the second green as colour 3
        rawsteps::RawImage v = m.view();
        for (int y = 1; y < kH; y += 2)
            for (int x = 0; x < kW; x += 2)
                std::swap(m.px(y, x, 1), m.px(y, x, 3));
        (void)v;
        return m;
    }();
    return filters == 0xb4b4b4b4u ? twoGreens : bayer;
}

template <class F> void runStep(benchmark::State &state, unsigned filters, F step) {
    const test::Mosaic &src = source(filters);
    test::Mosaic work = src;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.pixels.data(), src.pixels.data(), src.pixels.size() * 2);
        state.ResumeTiming();
        rawsteps::RawImage v = work.view();
        step(v, work);
        benchmark::DoNotOptimize(work.pixels.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_PlainCopy(benchmark::State &state) {
    const test::Mosaic &src = source(test::kRGGB);
    std::vector<std::uint16_t> dst(src.pixels.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.pixels.data(), src.pixels.size() * 2);
        benchmark::DoNotOptimize(dst.data());
    }
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_GreenMatching(benchmark::State &s) {
    runStep(s, 0xb4b4b4b4u, [](rawsteps::RawImage &v, test::Mosaic &) { rawsteps::greenMatching(v); });
}
void BM_AHD(benchmark::State &s) {
    runStep(s, test::kRGGB, [](rawsteps::RawImage &v, test::Mosaic &) { rawsteps::ahdDemosaic(v, kCam); });
}
void BM_LibRawAHD(benchmark::State &s) {
    runStep(s, test::kRGGB, [](rawsteps::RawImage &, test::Mosaic &m) {
        test::LibRawOracle oracle;
        oracle.ahd(m.pixels, kW, kH, test::kRGGB, kCam);
    });
}
void BM_LMMSE(benchmark::State &s) {
    runStep(s, test::kRGGB, [](rawsteps::RawImage &v, test::Mosaic &) { rawsteps::lmmseDemosaic(v, false); });
}
void BM_LMMSELists(benchmark::State &s) {
    runStep(s, test::kRGGB, [](rawsteps::RawImage &v, test::Mosaic &) { rawsteps::lmmseDemosaic(v, true); });
}
void BM_ColorConvert(benchmark::State &s) {
    runStep(s, test::kRGGB, [](rawsteps::RawImage &v, test::Mosaic &) { rawsteps::colorConvert(v, kCam); });
}

} // namespace

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GreenMatching)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AHD)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibRawAHD)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LMMSE)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LMMSELists)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColorConvert)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
