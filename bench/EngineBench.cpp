// Scheduling overhead of the tiled engine base, the cost of buffer
// resampling and a full pass of each filter engine and of the render, on a
// 24-megapixel image, beside a plain memcpy of the same buffer and a copy
// engine in the same run (the baselines the figures are read against).

#include "engine/CoreTiledEngine.h"
#include "engine/FilterEngines.h"
#include "engine/ImageBuffer.h"
#include "engine/TiledEngine.h"

#include <benchmark/benchmark.h>
#include <cstring>

namespace {

using namespace orvanta;
constexpr int kW = 6000, kH = 4000;
const TileRegion kAll{0, -1, -1, -1, -1};

class NoOpEngine : public TiledEngine {
public:
    using TiledEngine::TiledEngine;
    void processTile(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}
};

class CopyEngine : public TiledEngine {
public:
    using TiledEngine::TiledEngine;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int) override {
        copyTile(c0, c1, r0, r1, src, dst);
    }
};

std::shared_ptr<ImageBufferU16> &image() {
    static auto b = [] {
        auto buf = ImageBufferU16::create(kW, kH);
        for (int y = 0; y < kH; ++y) {
            std::uint16_t *p = buf->bufferU16ForRow(y);
            for (int i = 0; i < kW * 4; ++i)
                p[i] = static_cast<std::uint16_t>((i * 31 + y) & 0xffff);
        }
        return buf;
    }();
    return b;
}

// Megapixels of the whole image processed per second (of real time).
void megapixels(benchmark::State &state) {
    state.counters["MP/s"] =
        benchmark::Counter(double(kW) * kH / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Memcpy24MP(benchmark::State &state) {
    megapixels(state);
    auto &src = image();
    auto dst = ImageBufferU16::create(kW, kH);
    for (auto _ : state) {
        std::memcpy(dst->bufferU16ForRow(0), src->bufferU16ForRow(0), static_cast<std::size_t>(kW) * kH * 8);
        benchmark::DoNotOptimize(dst->bufferU16ForRow(0));
    }
}

void BM_NoOpPass(benchmark::State &state) {
    auto e = std::make_shared<NoOpEngine>(Size{kW, kH}, std::nullopt, false);
    e->runProcessToCompletion(kAll);
    for (auto _ : state) {
        e->markAllDirty();
        e->runProcessToCompletion(kAll);
    }
    state.counters["tiles"] = e->mainMap().xTiles() * e->mainMap().yTiles();
}

// A source engine whose product is the prepared image, owned, so that the
// copy engine must write into a buffer of its own.
class SourceEngine : public TiledEngine {
public:
    SourceEngine() : TiledEngine(Size{kW, kH}, std::nullopt, false) {
        image()->bufferOwner = this;
        setLocalOutputBuffer(image());
        for (const auto &t : mainMap().tileMap())
            t->state = tileIsClean;
    }
    void processTile(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}
};

void BM_CopyTileEngine(benchmark::State &state) {
    megapixels(state);
    auto source = std::make_shared<SourceEngine>();
    auto e = std::make_shared<CopyEngine>(source, std::nullopt, false);
    e->runProcessToCompletion(kAll);
    for (auto _ : state) {
        e->markAllDirty();
        e->runProcessToCompletion(kAll);
    }
}

// One full run of a filter engine fed by the prepared image, with the
// borders the chain uses.
template <class Engine, class... Args> void runFilter(benchmark::State &state, Args... args) {
    megapixels(state);
    auto source = std::make_shared<SourceEngine>();
    auto e = std::make_shared<Engine>(source, std::nullopt, false, args...);
    e->verticalBorder = e->horizontalBorder = 2;
    e->reprocessEdgeTiles = true;
    e->setParameters(nullptr, Dictionary{{"Orvanta_ArtifactFilter", 5 / 6.f}});
    e->runProcessToCompletion(kAll);
    for (auto _ : state) {
        e->markAllDirty();
        e->runProcessToCompletion(kAll);
    }
}

void BM_MedianEngine(benchmark::State &state) {
    runFilter<MedianTiledEngine>(state, 0);
}
void BM_MeanEngine(benchmark::State &state) {
    runFilter<MeanTiledEngine>(state);
}

void BM_SharpeningEngine(benchmark::State &state) {
    megapixels(state);
    auto source = std::make_shared<SourceEngine>();
    auto e = std::make_shared<SharpeningTiledEngine>(source, std::nullopt, false);
    e->setParameters(
        nullptr, Dictionary{{"Orvanta_Filter_inputRadius", 4.0f}, {"Orvanta_Filter_inputIntensity", 0.8f}});
    e->runProcessToCompletion(kAll);
    for (auto _ : state) {
        e->markAllDirty();
        e->runProcessToCompletion(kAll);
    }
}

// The render of the whole picture, split into rows of tiles across the pool
// as the display's tile requests would be.
void BM_CoreRender(benchmark::State &state) {
    megapixels(state);
    CoreTiledEngine core(Size{kW, kH}, std::nullopt, false);
    core.setParameters(
        nullptr, Dictionary{{"Orvanta_Filter_inputEV", 0.5f}, {"Orvanta_Filter_inputSaturation", 1.2f}});
    auto &src = image();
    auto dst = ImageBufferU16::create(kW, kH);
    constexpr int kBand = 512;
    for (auto _ : state) {
        dispatch::apply((kH + kBand - 1) / kBand, [&](std::size_t i) {
            const int r0 = static_cast<int>(i) * kBand, r1 = std::min(kH, r0 + kBand);
            auto s = src->croppedImageFromBuffer(Rect(0, r0, kW, r1 - r0));
            auto d = dst->croppedImageFromBuffer(Rect(0, r0, kW, r1 - r0));
            core.processTile(0, kW, 0, r1 - r0, s.get(), d.get(), 0);
        });
        benchmark::DoNotOptimize(dst->bufferU16ForRow(0));
    }
}

// One 512 × 512 display tile from the core engine at scale 1 and at 0.25
// (a 2048 × 2048 area of the image), with the zoom level's copy already
// made: the cost of a tile request while the user pans.
void BM_CoreDisplayTile(benchmark::State &state) {
    const float scale = 1.0f / static_cast<float>(state.range(0));
    auto source = std::make_shared<SourceEngine>();
    auto core = std::make_shared<CoreTiledEngine>(source, std::nullopt, false);
    core->setParameters(nullptr, Dictionary{{"Orvanta_Filter_inputEV", 0.5f}});
    core->waitForSettings();
    core->runProcessToCompletion(kAll);
    const double side = 512 / scale;
    const Rect area(1000, 1000, side, side);
    bool fromThumbnail = true;
    if (!core->imageTile(scale, area, nullptr, &fromThumbnail, false, 1) || fromThumbnail) {
        state.SkipWithError("no tile from the cached copy");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(core->imageTile(scale, area, nullptr, &fromThumbnail, false, 1));
}

void BM_ResizeQuarter(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(image()->resizedImageFromBuffer(kW / 4, kH / 4));
}

void BM_ResizeTo512(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(image()->resizedImageFromBuffer(512, 512 * kH / kW));
}

} // namespace

BENCHMARK(BM_Memcpy24MP)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NoOpPass)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CopyTileEngine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MedianEngine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MeanEngine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SharpeningEngine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreRender)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreDisplayTile)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResizeQuarter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResizeTo512)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
