#include "MemoryWrapper.h"
#include "engine/CoreTiledEngine.h"
#include "engine/RawCombineTiledEngine.h"

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace orvanta;
using test::MemoryWrapper;

namespace {

const TileRegion kAll{0, -1, -1, -1, -1};

struct Delegate : OrvantaTiledEngineDelegate {
    std::atomic<int> calls{0};
    void engineActiveRectDirty(TiledEngine *) override { calls++; }
};

// raw combine → core over a flat picture of the given 16-bit value.
struct Chain {
    std::shared_ptr<MemoryWrapper> raw;
    std::shared_ptr<RawCombineTiledEngine> combine;
    std::shared_ptr<CoreTiledEngine> core;
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    Chain(int w, int h, std::uint16_t value, Dictionary settings = {}) {
        raw = std::make_shared<MemoryWrapper>(w, h, false);
        for (auto &v : raw->master)
            v = value;
        combine = std::make_shared<RawCombineTiledEngine>(raw, false);
        core = std::make_shared<CoreTiledEngine>(combine, std::nullopt, false);
        core->delegate = delegate;
        core->setParameters(nullptr, settings);
        core->waitForSettings();
    }
};

std::shared_ptr<ImageBufferU16> flat(int w, int h, std::uint16_t v) {
    auto b = ImageBufferU16::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 4; ++i)
            b->bufferU16ForRow(y)[i] = v;
    return b;
}

} // namespace

TEST(CoreEngine, ZoomKeys) {
    EXPECT_EQ(CoreTiledEngine::zoomKey(2.0f), 100);
    EXPECT_EQ(CoreTiledEngine::zoomKey(1.0f), 100);
    EXPECT_EQ(CoreTiledEngine::zoomKey(0.5f), 50);
    EXPECT_EQ(CoreTiledEngine::zoomKey(0.25f), 25);
}

TEST(CoreEngine, PixelRenderingKneeAndClamps) {
    CoreTiledEngine core(Size{4, 4}, std::nullopt, false);
    core.setParameters(nullptr, Dictionary{});
    // A grey of 65325 indexes the table at 4096, clamped to 4095: the curve's
    // value at 1.0 (1.0 with neutral settings) times 65325.
    auto src = flat(4, 4, 65325), dst = ImageBufferU16::create(4, 4);
    core.processTile(0, 4, 0, 4, src.get(), dst.get(), 0);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(dst->bufferU16ForRow(1, 1)[c], 65325, 40);
    EXPECT_EQ(dst->bufferU16ForRow(1, 1)[3], 65535);

    // Clamps: far over range → 65535; black → 0.
    CoreTiledEngine bright(Size{4, 4}, std::nullopt, false);
    bright.setParameters(nullptr, Dictionary{{"Orvanta_Filter_inputEV", 3.0f}});
    auto over = ImageBufferU16::create(4, 4);
    bright.processTile(0, 4, 0, 4, src.get(), over.get(), 0);
    EXPECT_EQ(over->bufferU16ForRow(0, 0)[0], 65535);
    auto black = flat(4, 4, 0), out = ImageBufferU16::create(4, 4);
    core.processTile(0, 4, 0, 4, black.get(), out.get(), 0);
    EXPECT_EQ(out->bufferU16ForRow(0, 0)[0], 0);

    // The knee passes values below its start through (plus the offset).
    core.setKnee(10.0f, 0.5f);
    EXPECT_NEAR(core.processKnee(0.5f), 0.5f + core.outputOffsetValue(), 1e-6f);
    EXPECT_LT(core.processKnee(8.0f), 8.0f) << "above the knee, compressed";

    // Float output: alpha 1.
    auto fdst = ImageBufferF32::create(4, 4);
    core.setKnee(0, -1);
    core.processTile(0, 4, 0, 4, src.get(), fdst.get(), 0);
    EXPECT_EQ(fdst->bufferFloatForRow(0, 0)[3], 1.0f);
}

TEST(CoreEngine, TilesCacheAndThumbnailFallback) {
    Chain chain(1200, 800, 20000, Dictionary{{"Orvanta_Filter_inputEV", 1.0f}});
    double v[4];
    EXPECT_FALSE(chain.core->getPixelValues(10, 10, 3, v)) << "before any run";
    chain.core->runProcessToCompletion(kAll);
    bool fromThumb = true;
    auto tile = chain.core->imageTile(1.0f, Rect(0, 0, 256, 256), nullptr, &fromThumb, false, 1);
    ASSERT_TRUE(tile);
    EXPECT_FALSE(fromThumb);
    EXPECT_EQ(tile->getWidth(), 256);
    auto quarter = chain.core->imageTile(0.25f, Rect(0, 0, 400, 400), nullptr, &fromThumb, false, 1);
    ASSERT_TRUE(quarter);
    EXPECT_EQ(quarter->getWidth(), 100) << "cut from a copy of a quarter of the size";
    EXPECT_EQ(chain.delegate->calls.load(), 0);
    ASSERT_TRUE(chain.core->getPixelValues(600, 400, 3, v));
    EXPECT_GT(v[0], 0.3);

    // Upstream changes in one tile only: the copy is rebuilt from a product
    // valid there alone; a request elsewhere gets the thumbnail and asks for
    // a render.
    chain.combine->mainMap().getTileTracker(0, 0)->state = tileIsDirty;
    chain.combine->mainMap().getTileTracker(0, 0)->passTrack = -1;
    chain.core->runProcessToCompletion({0, 0, 0, 0, 0});
    // The export's request (no flag) over a clean part renders the product
    // itself, not a copy and not the thumbnail.
    auto direct = chain.core->imageTile(1.0f, Rect(700, 0, 200, 200), nullptr, nullptr, false, 1);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->getWidth(), 200);
    EXPECT_EQ(chain.delegate->calls.load(), 0);
    // Now that part goes stale too (changed upstream, not yet re-rendered).
    chain.combine->mainMap().getTileTracker(1, 1)->state = tileIsDirty;
    auto elsewhere = chain.core->imageTile(1.0f, Rect(700, 0, 200, 200), nullptr, &fromThumb, false, 1);
    ASSERT_TRUE(elsewhere);
    EXPECT_TRUE(fromThumb);
    EXPECT_EQ(chain.delegate->calls.load(), 1);
    // Without a flag pointer (the export's request) the thumbnail is not
    // rendered a second time: the same pixels as with one.
    auto unflagged = chain.core->imageTile(1.0f, Rect(700, 0, 200, 200), nullptr, nullptr, false, 1);
    ASSERT_TRUE(unflagged);
    ASSERT_EQ(unflagged->getWidth(), elsewhere->getWidth());
    std::vector<std::uint16_t> a(std::size_t(elsewhere->getWidth()) * elsewhere->getHeight() * 3),
        b(a.size());
    ASSERT_TRUE(elsewhere->getLinearBuffer(a.data()) && unflagged->getLinearBuffer(b.data()));
    EXPECT_EQ(a, b);
    EXPECT_EQ(chain.delegate->calls.load(), 2);

    // While a run holds the source buffer, a zoom level with no copy is
    // served from the thumbnail and does not ask for a render.
    auto source = chain.combine->localOutputBuffer();
    std::atomic<bool> held{false}, release{false};
    std::thread runner([&] {
        source->lock();
        held = true;
        while (!release)
            std::this_thread::yield();
        source->unlock();
    });
    while (!held)
        std::this_thread::yield();
    auto during = chain.core->imageTile(0.5f, Rect(0, 0, 300, 300), nullptr, &fromThumb, false, 1);
    release = true;
    runner.join();
    ASSERT_TRUE(during);
    EXPECT_TRUE(fromThumb);
    EXPECT_EQ(chain.delegate->calls.load(), 2);
}

TEST(CoreEngine, ReadOutOverUncleanTilesAnswersFalse) {
    Chain chain(1100, 600, 20000);
    chain.core->runProcessToCompletion({0, 0, 0, 0, 0}); // only tile (0, 0)
    double v[4];
    EXPECT_TRUE(chain.core->getPixelValues(100, 100, 3, v));
    EXPECT_FALSE(chain.core->getPixelValues(1000, 500, 3, v));
}

// Recomputations run in parallel on the queue; the tables always end with
// the last settings given, whatever order the workers take the lock in.
TEST(CoreEngine, LastSettingsWinOverQueuedRecomputations) {
    Chain chain(64, 64, 20000, Dictionary{{"Orvanta_Filter_inputEV", 0.0f}});
    const float m0 = chain.core->matrixAt(0);
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 30; ++i)
            chain.core->setParameters(nullptr,
                                      Dictionary{{"Orvanta_Filter_inputEV", (i % 2) ? -2.0f : 2.0f}});
        chain.core->setParameters(nullptr, Dictionary{{"Orvanta_Filter_inputEV", 1.0f}});
        chain.core->waitForSettings();
        ASSERT_NEAR(chain.core->matrixAt(0), 2 * m0, 1e-4f * m0) << "round " << round;
    }
}
