// Cost of the shared work queue against running the same work inline: the
// ratio shows what a tile pass pays for being split into pool tasks.

#include "engine/QueueEngine.h"
#include "input/FileBackedData.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

namespace {

// One "tile" of arithmetic, about the work of a cheap per-pixel step.
double work(std::size_t seed, int n) {
    double acc = 0;
    for (int i = 0; i < n; ++i)
        acc += std::sqrt(static_cast<double>(seed + i));
    return acc;
}

void BM_TilesInline(benchmark::State &state) {
    const int tiles = 64, perTile = static_cast<int>(state.range(0));
    for (auto _ : state) {
        double sum = 0;
        for (int t = 0; t < tiles; ++t)
            sum += work(t, perTile);
        benchmark::DoNotOptimize(sum);
    }
}

void BM_TilesOnSharedQueue(benchmark::State &state) {
    const int tiles = 64, perTile = static_cast<int>(state.range(0));
    auto *engine = orvanta::QueueEngine::sharedQueueEngine();
    auto queue = engine->sharedQueue();
    std::vector<double> out(tiles);
    for (auto _ : state) {
        orvanta::dispatch::Group group;
        for (int t = 0; t < tiles; ++t)
            queue->async(group, [&, t] { out[t] = work(t, perTile); });
        group.wait();
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_BufferOrdinary(benchmark::State &state) {
    for (auto _ : state) {
        auto d = orvanta::FileBackedFactoryNSData::create(static_cast<std::size_t>(state.range(0)), false);
        static_cast<char *>(d->mutableBytes())[0] = 1;
        benchmark::DoNotOptimize(d->bytes());
    }
}

void BM_BufferFileBacked(benchmark::State &state) {
    for (auto _ : state) {
        auto d = orvanta::FileBackedFactoryNSData::create(static_cast<std::size_t>(state.range(0)), true);
        static_cast<char *>(d->mutableBytes())[0] = 1;
        benchmark::DoNotOptimize(d->bytes());
    }
    orvanta::FileBackedDataManager::sharedFileBackedDataManager().waitForPendingReleases();
}

} // namespace

BENCHMARK(BM_TilesInline)->Arg(1000)->Arg(100000);
BENCHMARK(BM_TilesOnSharedQueue)->Arg(1000)->Arg(100000)->UseRealTime();
BENCHMARK(BM_BufferOrdinary)->Arg(64 << 20);
BENCHMARK(BM_BufferFileBacked)->Arg(64 << 20)->UseRealTime();
BENCHMARK_MAIN();
