#include "engine/TiledEngine.h"

#include "engine/IntermediateProductCache.h"
#include "platform/Log.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <vector>

using namespace orvanta;

namespace {

struct Call {
    int c0, c1, r0, r1, pass;
    long seq;
    bool edge;
};

// Records every call; adds 1 to the first channel of its tile (so a chain's
// in-place or owned work shows in the pixels).
class RecordingEngine : public TiledEngine {
public:
    using TiledEngine::TiledEngine;
    void processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int pass) override {
        if (src && src != dst) copyTile(c0, c1, r0, r1, src, dst);
        for (int r = r0; r < r1; ++r)
            for (int c = c0; c < c1; ++c)
                dst->bufferU16ForRow(r, c)[0]++;
        record(c0, c1, r0, r1, pass, false);
    }
    void processEdge(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *, int pass) override {
        record(c0, c1, r0, r1, pass, true);
    }
    std::vector<Call> calls() {
        std::lock_guard lock(m_);
        return calls_;
    }
    std::vector<Call> tileCalls() {
        auto all = calls();
        std::erase_if(all, [](const Call &c) { return c.edge; });
        return all;
    }
    void clear() {
        std::lock_guard lock(m_);
        calls_.clear();
    }

private:
    void record(int c0, int c1, int r0, int r1, int pass, bool edge) {
        std::lock_guard lock(m_);
        calls_.push_back({c0, c1, r0, r1, pass, seq_++, edge});
    }
    std::mutex m_;
    std::vector<Call> calls_;
    long seq_ = 0;
};

const TileRegion kAll{0, -1, -1, -1, -1};

} // namespace

TEST(TiledEngine, ChainCleansEveryTileAndSecondRunDoesNothing) {
    auto first = std::make_shared<RecordingEngine>(Size{1000, 600}, std::nullopt, false);
    auto second = std::make_shared<RecordingEngine>(first, std::nullopt, false);
    auto process = second->runProcessToCompletion(kAll);
    ASSERT_TRUE(process && process->buffer);
    EXPECT_TRUE(first->mainMap().isClean());
    EXPECT_TRUE(second->mainMap().isClean());
    EXPECT_EQ(first->tileCalls().size(), 4u);
    EXPECT_EQ(second->tileCalls().size(), 4u);
    EXPECT_EQ(process->buffer->validRegion.isNull(), true) << "the region of −1s";
    // The first engine's buffer has no owner: the second works in place on it.
    EXPECT_EQ(process->buffer->bufferU16ForRow(300, 700)[0], 2);

    first->clear();
    second->clear();
    second->cachedImageIsDirty = false;
    second->runProcessToCompletion(kAll);
    EXPECT_TRUE(first->tileCalls().empty());
    EXPECT_TRUE(second->tileCalls().empty());
    EXPECT_FALSE(second->cachedImageIsDirty) << "nothing changed";

    second->markAllDirty();
    second->runProcessToCompletion(kAll);
    EXPECT_EQ(second->tileCalls().size(), 4u) << "after markAllDirty every tile again";
    EXPECT_TRUE(first->tileCalls().empty());
}

TEST(TiledEngine, PassesRunInOrderWithAWaitBetween) {
    auto e = std::make_shared<RecordingEngine>(Size{2100, 1600}, std::nullopt, false);
    e->numberOfPasses = 3;
    e->runProcessToCompletion(kAll);
    const auto calls = e->tileCalls();
    ASSERT_EQ(calls.size(), 5u * 4 * 3);
    for (int p = 0; p + 1 < 3; ++p) {
        long lastOfPass = -1, firstOfNext = 1L << 40;
        for (const auto &c : calls) {
            if (c.pass == p) lastOfPass = std::max(lastOfPass, c.seq);
            if (c.pass == p + 1) firstOfNext = std::min(firstOfNext, c.seq);
        }
        EXPECT_LT(lastOfPass, firstOfNext)
            << "no tile sees pass " << p + 1 << " before all finished pass " << p;
    }
    std::map<std::pair<int, int>, std::vector<int>> perTile;
    for (const auto &c : calls)
        perTile[{c.c0, c.r0}].push_back(c.pass);
    for (const auto &[tile, passes] : perTile)
        EXPECT_EQ(passes, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(e->mainMap().isClean());
}

TEST(TiledEngine, BorderBandsAndClippedTiles) {
    auto e = std::make_shared<RecordingEngine>(Size{1000, 600}, std::nullopt, false);
    e->verticalBorder = e->horizontalBorder = 8;
    e->ignoreEdges = false;
    e->runProcessToCompletion(kAll);
    std::set<std::tuple<int, int, int, int>> edges, tiles;
    for (const auto &c : e->calls())
        (c.edge ? edges : tiles).insert({c.c0, c.c1, c.r0, c.r1});
    EXPECT_EQ(edges, (std::set<std::tuple<int, int, int, int>>{
                         {0, 1000, 0, 8}, {0, 1000, 592, 600}, {0, 8, 8, 592}, {992, 1000, 8, 592}}));
    EXPECT_EQ(tiles, (std::set<std::tuple<int, int, int, int>>{
                         {8, 512, 8, 512}, {512, 992, 8, 512}, {8, 512, 512, 592}, {512, 992, 512, 592}}));
    EXPECT_TRUE(e->edgesDone);
    e->clear();
    e->markAllDirty();
    e->runProcessToCompletion(kAll);
    const auto again = e->calls();
    EXPECT_EQ(std::count_if(again.begin(), again.end(), [](const Call &c) { return c.edge; }), 4)
        << "bands again after a parameter change";
}

TEST(TiledEngine, OneUpstreamTileReprocessesExactlyThatTileDownstream) {
    for (bool edges : {false, true}) {
        SCOPED_TRACE(edges ? "with edge re-processing" : "plain");
        auto first = std::make_shared<RecordingEngine>(Size{1600, 1600}, std::nullopt, false);
        auto second = std::make_shared<RecordingEngine>(first, std::nullopt, false);
        second->reprocessEdgeTiles = edges;
        second->runProcessToCompletion(kAll);
        first->clear();
        second->clear();
        // Something changed in the upstream tile (1, 1) only.
        first->mainMap().getTileTracker(1, 1)->state = tileIsDirty;
        first->mainMap().getTileTracker(1, 1)->passTrack = -1;
        second->runProcessToCompletion({0, 0, 0, 3, 3});
        ASSERT_EQ(first->tileCalls().size(), 1u);
        std::set<std::pair<int, int>> done;
        for (const auto &c : second->tileCalls())
            done.insert({c.c0 / 512, c.r0 / 512});
        EXPECT_EQ(done, (std::set<std::pair<int, int>>{{1, 1}}));
        if (!edges) continue;
        // A second change: the downstream tile (2, 2) dirty of its own; its
        // clean diagonal neighbours inside the region come along.
        second->clear();
        second->mainMap().getTileTracker(2, 2)->state = tileIsDirty;
        second->mainMap().getTileTracker(2, 2)->passTrack = -1;
        second->runProcessToCompletion({0, 1, 1, 3, 3});
        done.clear();
        for (const auto &c : second->tileCalls())
            done.insert({c.c0 / 512, c.r0 / 512});
        EXPECT_TRUE(done.count({2, 2}));
        EXPECT_TRUE(done.count({1, 1}) && done.count({3, 3}) && done.count({1, 3}) && done.count({3, 1}));
        EXPECT_FALSE(done.count({2, 1})) << "edge neighbours are not examined";
        EXPECT_FALSE(done.count({0, 0})) << "outside the region";
    }
}

TEST(TiledEngine, InPlaceOrOwnedByOwnership) {
    auto first = std::make_shared<RecordingEngine>(Size{600, 600}, std::nullopt, false);
    auto second = std::make_shared<RecordingEngine>(first, std::nullopt, false);
    auto p1 = first->runProcessToCompletion(kAll);
    p1->buffer->bufferOwner = first.get(); // the first engine keeps its product
    first->markAllDirty();
    auto p2 = second->runProcessToCompletion(kAll);
    EXPECT_NE(p2->buffer, first->localOutputBuffer()) << "an owned source: a buffer of its own";
    EXPECT_EQ(p2->buffer->bufferU16ForRow(10, 10)[0], 3) << "copied (two upstream runs) and processed once";
    EXPECT_EQ(first->localOutputBuffer()->bufferU16ForRow(10, 10)[0], 2) << "the source's product untouched";
}

TEST(TiledEngine, CachedOutputAndDefaults) {
    IntermediateProductCache::sharedIntermediateProductCache()->removeAllObjects();
    auto first = std::make_shared<RecordingEngine>(Size{300, 300}, std::string("0xfeed"), false);
    first->runProcessToCompletion(kAll);
    auto cached = IntermediateProductCache::sharedIntermediateProductCache()->retrieveItem(
        "0xfeedOrvantaDefaultEngine");
    EXPECT_TRUE(cached);
    EXPECT_EQ(first->localOutputBuffer(), cached);
    // Evicted: the next run allocates again and recomputes every tile.
    IntermediateProductCache::sharedIntermediateProductCache()->removeAllObjects();
    first->clear();
    first->runProcessToCompletion(kAll);
    EXPECT_EQ(first->tileCalls().size(), 1u);
    first->flushCache();
    EXPECT_FALSE(IntermediateProductCache::sharedIntermediateProductCache()->retrieveItem(
        "0xfeedOrvantaDefaultEngine"));
    EXPECT_FALSE(first->idForCache);

    TiledEngine base(Size{10, 10}, std::nullopt, false);
    LogCapture log;
    double v[4];
    EXPECT_FALSE(base.getPixelValues(0, 0, v));
    EXPECT_TRUE(log.contains(">>>>>>>>>> ERROR OrvantaDefaultEngine engine not getPixelValues capable"));
    base.runProcessToCompletion(kAll);
    EXPECT_TRUE(log.contains("processTile:colEnd:rowStart:rowEnd:srcBuffer:destBuffer:pass:] 0 10 0 10"));
    EXPECT_FALSE(base.getThumbnail(true));
    EXPECT_FALSE(base.imageTile(1.0f, Rect(0, 0, 5, 5), nullptr, nullptr, false, 1));
    EXPECT_TRUE(log.contains(">>>>>>>>>> ERROR OrvantaDefaultEngine engine not tile capable"));
}
