// Scheduling overhead of the tiled engine base and the cost of buffer
// resampling, on a 24-megapixel image, beside a plain memcpy of the same
// buffer in the same run.

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

void BM_Memcpy24MP(benchmark::State &state) {
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
    auto source = std::make_shared<SourceEngine>();
    auto e = std::make_shared<CopyEngine>(source, std::nullopt, false);
    e->runProcessToCompletion(kAll);
    for (auto _ : state) {
        e->markAllDirty();
        e->runProcessToCompletion(kAll);
    }
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
BENCHMARK(BM_ResizeQuarter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ResizeTo512)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
