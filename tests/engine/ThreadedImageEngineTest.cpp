#include "engine/ThreadedImageEngine.h"

#include "MemoryWrapper.h"
#include "TestSupport.h"
#include "color/DNGCameraProfile.h"
#include "color/ProfileManager.h"
#include "engine/CoreTiledEngine.h"
#include "engine/FilterEngines.h"
#include "engine/IntermediateProductCache.h"
#include "engine/RawCombineTiledEngine.h"
#include "input/CGImageBitMap.h"
#include "input/DngFixture.h"
#include "input/RawWrapper.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace orvanta;
using namespace std::chrono_literals;

namespace {

test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}

// Counts the callbacks; a test may hold the render thread in DidFinish.
class Recorder : public ThreadedImageEngineDelegate {
public:
    void CIImageEngineDidStart(ThreadedImageEngine *) override { bump(starts); }
    void CIImageEngineNewMetaData(ThreadedImageEngine *) override { bump(metas); }
    void CIImageEngineDidFinish(ThreadedImageEngine *) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(m);
            hook = std::move(onFinish);
            onFinish = nullptr;
        }
        if (hook) hook();
        bump(finishes);
    }
    // Waits until DidFinish has been called n times in all.
    bool waitForFinishes(int n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, 60s, [&] { return finishes >= n; });
    }
    struct Counts {
        int starts, metas, finishes;
    };
    Counts counts() {
        std::lock_guard lock(m);
        return {starts, metas, finishes};
    }
    void armFinishHook(std::function<void()> f) {
        std::lock_guard lock(m);
        onFinish = std::move(f);
    }

private:
    void bump(int &n) {
        {
            std::lock_guard lock(m);
            ++n;
        }
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    int starts = 0, metas = 0, finishes = 0;
    std::function<void()> onFinish;
};

// A lone waiter for the test thread to release the render thread.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, open = false;
    void pass() {
        std::unique_lock lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    void waitEntered() {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    }
};

// Waits for the expected callbacks, then long enough that a stray extra one
// would have shown up.
Recorder::Counts settle(Recorder &r, int finishes) {
    EXPECT_TRUE(r.waitForFinishes(finishes));
    std::this_thread::sleep_for(50ms);
    return r.counts();
}

std::shared_ptr<test::MemoryWrapper> texturedWrapper(int w, int h) {
    auto raw = std::make_shared<test::MemoryWrapper>(w, h, true);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float a = 0.1f + 0.3f * ((x * 7 + y * 13) % 17) / 17.0f;
            raw->set(raw->master, x, y, a, 0.2f, 0.25f);
            raw->set(raw->alternate, x, y, 0.2f, a, 0.25f);
        }
    return raw;
}

struct TileCounts {
    std::uint64_t combine, median0, median2, mean, sharp;
};
TileCounts tileCounts(ThreadedImageEngine &p) {
    return {p.demosaicedImage()->tilesProcessed.load(), p.medianEngine0()->tilesProcessed.load(),
            p.medianEngine2()->tilesProcessed.load(), p.meanEngine()->tilesProcessed.load(),
            p.sharpEngine()->tilesProcessed.load()};
}

using Keys = std::vector<std::string>;

// A raw file opened in a pipeline with a recording delegate and rendered once.
struct Developed {
    std::shared_ptr<rawWrapper> wrapper;
    std::shared_ptr<ThreadedImageEngine> pipeline;
    std::shared_ptr<Recorder> rec = std::make_shared<Recorder>();
    Dictionary settings;
    int renders = 0;

    explicit Developed(const std::string &path)
        : wrapper(std::make_shared<rawWrapper>(path, path)),
          pipeline(ThreadedImageEngine::create(wrapper, false)) {
        pipeline->setDelegate(rec);
        pipeline->invalidateImageStage(std::nullopt, settings, Rect::null());
        EXPECT_TRUE(rec->waitForFinishes(++renders));
    }
    // A stage-4 change, waited for.
    void set(const std::string &key, float value) {
        settings.set(key, value);
        pipeline->invalidateImageStage(Keys{key}, settings, Rect::null());
        EXPECT_TRUE(rec->waitForFinishes(++renders));
    }
};

} // namespace

TEST(RenderPipeline, StageTableAndRenderingSpaces) {
    auto p = ThreadedImageEngine::create(nullptr, false);
    const std::pair<const char *, int> rows[] = {
        {"Orvanta_CameraProfile", 0},
        {"Orvanta_MaintainWhites", 0},
        {"Orvanta_ArtifactSuppression", 1},
        {"Orvanta_ChromaArtifactSuppression", 1},
        {"Orvanta_ArtifactFilter", 2},
        {"Orvanta_KodakProcessing", 2},
        {"Orvanta_Filter_inputRadius", 3},
        {"Orvanta_Filter_inputIntensity", 3},
        {"Orvanta_Filter_inputEV", 4},
        {"Orvanta_Filter_inputTint", 4},
        {"Orvanta_IRUVSensor", 4},
        {"Orvanta_JPEGQuality", -1},
        {"displayName", -1},
        {"Orvanta_ActiveRectDirty", 0},
        {"Orvanta_NoSuchKey", 0},
    };
    for (const auto &[key, stage] : rows) {
        const std::string k = key;
        EXPECT_EQ(p->invalidatedStageForKey(&k), stage) << key;
    }
    EXPECT_EQ(p->invalidatedStageForKey(nullptr), 0);

    auto &pm = ProfileManager::sharedManager();
    const struct {
        std::optional<std::string> type;
        bool wide;
        std::shared_ptr<ColorSyncProfileWrap> expected;
    } spaces[] = {
        {std::nullopt, false, pm.getProPhotoGamma1_D65Profile()},
        {"com.adobe.dng", false, pm.getProPhotoGamma1Profile()},
        {"public.tiff", false, pm.getProPhotoGamma1Profile()},
        {"com.ilm.openexr-image", true, pm.getProPhotoGamma1Profile()},
        {"com.ilm.openexr-image", false, pm.getRec709Gamma1Profile()},
        {"public.jpeg", true, pm.getSRGBProfile()},
    };
    for (const auto &s : spaces) {
        p->configureRenderingSpaceForType(s.type, s.wide);
        EXPECT_EQ(p->renderingSpace(), s.expected) << s.type.value_or("none") << " " << s.wide;
    }
    // Different pipelines never share cache keys.
    EXPECT_NE(p->cacheEngine(), ThreadedImageEngine::create(nullptr, false)->cacheEngine());
}

// What each kind of change costs, counted through the delegate and the
// engines' tile counters, on a 1100 × 700 image (3 × 2 tiles).
TEST(RenderPipeline, EachChangeRedoesOnlyItsStages) {
    constexpr std::uint64_t kTiles = 6;
    auto raw = texturedWrapper(1100, 700);
    auto pipeline = ThreadedImageEngine::create(raw, false);
    auto rec = std::make_shared<Recorder>();
    pipeline->setDelegate(rec);
    int metadataPosts = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(
        kNewImageMetadataNotification, rec.get(), [&](const Notification &) { ++metadataPosts; });
    Dictionary settings{{"Orvanta_ArtifactFilter", 0.0f}};

    // The document's first call: no keys, its settings, no rectangle.
    pipeline->invalidateImageStage(std::nullopt, settings, Rect::null());
    auto c = settle(*rec, 1);
    EXPECT_EQ(c.starts, 1);
    EXPECT_EQ(c.metas, 1);
    EXPECT_EQ(c.finishes, 1);
    EXPECT_EQ(metadataPosts, 1);
    EXPECT_EQ(pipeline->decodeCount(), 1);
    EXPECT_EQ(pipeline->chainRunCount(), 1);
    auto out = pipeline->outputImage();
    ASSERT_TRUE(out);
    EXPECT_EQ(out, std::static_pointer_cast<TiledEngine>(pipeline->coreEngine()));
    EXPECT_EQ(out->sourceBuf(), std::static_pointer_cast<TiledEngine>(pipeline->sharpEngine()));
    EXPECT_EQ(pipeline->demosaicedImage()->tilesProcessed.load(), kTiles);
    double before[4], after[4];
    ASSERT_TRUE(pipeline->getPixelValues(600, 300, before));

    // Exposure: the core engine's tables only.
    const auto engines0 = tileCounts(*pipeline);
    settings.set("Orvanta_Filter_inputEV", 1.0f);
    pipeline->invalidateImageStage(Keys{"Orvanta_Filter_inputEV"}, settings, Rect(0, 0, 1100, 700));
    c = settle(*rec, 2);
    EXPECT_EQ(c.starts, 1) << "no cycle";
    EXPECT_EQ(c.finishes, 2);
    EXPECT_EQ(pipeline->decodeCount(), 1);
    EXPECT_EQ(pipeline->chainRunCount(), 1);
    EXPECT_EQ(tileCounts(*pipeline).combine, engines0.combine);
    ASSERT_TRUE(pipeline->getPixelValues(600, 300, after));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(after[i], 2 * before[i], 0.01 * before[i] + 1e-4) << "the new tables are in place";

    // Artifact filter: the filters and sharpening redo every tile, raw
    // combine none, no decode.
    const auto engines1 = tileCounts(*pipeline);
    settings.set("Orvanta_ArtifactFilter", 0.5f);
    pipeline->invalidateImageStage(Keys{"Orvanta_ArtifactFilter"}, settings, Rect::null());
    c = settle(*rec, 3);
    EXPECT_EQ(c.starts, 2);
    EXPECT_EQ(pipeline->decodeCount(), 1);
    EXPECT_EQ(pipeline->chainRunCount(), 2);
    const auto engines2 = tileCounts(*pipeline);
    EXPECT_EQ(engines2.combine, engines1.combine);
    EXPECT_EQ(engines2.median0 - engines1.median0, kTiles * pipeline->medianEngine0()->numberOfPasses);
    EXPECT_EQ(pipeline->medianEngine0()->numberOfPasses, 10) << "level 3";
    EXPECT_EQ(engines2.median2 - engines1.median2, kTiles * pipeline->medianEngine2()->numberOfPasses);
    EXPECT_EQ(engines2.mean - engines1.mean, kTiles * pipeline->meanEngine()->numberOfPasses);
    EXPECT_EQ(engines2.sharp - engines1.sharp, kTiles * pipeline->sharpEngine()->numberOfPasses);

    // Camera profile: decodes again into the same engines, each of which
    // redoes every tile.
    const std::vector<const void *> objects = {
        pipeline->demosaicedImage().get(), pipeline->medianEngine0().get(), pipeline->medianEngine2().get(),
        pipeline->meanEngine().get(),      pipeline->sharpEngine().get(),   pipeline->coreEngine().get()};
    settings.set("Orvanta_CameraProfile", Value(DNGCameraProfileAbstract::initAsAutoProfile()));
    pipeline->invalidateImageStage(Keys{"Orvanta_CameraProfile"}, settings, Rect::null());
    c = settle(*rec, 4);
    EXPECT_EQ(c.starts, 3);
    EXPECT_EQ(c.metas, 2);
    EXPECT_EQ(metadataPosts, 2);
    EXPECT_EQ(pipeline->decodeCount(), 2);
    EXPECT_EQ(raw->cameraProfile(),
              settings.get("Orvanta_CameraProfile")->objectAs<DNGCameraProfileAbstract>());
    const std::vector<const void *> objectsAfter = {
        pipeline->demosaicedImage().get(), pipeline->medianEngine0().get(), pipeline->medianEngine2().get(),
        pipeline->meanEngine().get(),      pipeline->sharpEngine().get(),   pipeline->coreEngine().get()};
    EXPECT_EQ(objectsAfter, objects);
    const auto engines3 = tileCounts(*pipeline);
    EXPECT_EQ(engines3.combine - engines2.combine, kTiles);
    EXPECT_EQ(engines3.median0 - engines2.median0, kTiles * 10);
    EXPECT_EQ(engines3.sharp - engines2.sharp, kTiles * pipeline->sharpEngine()->numberOfPasses);

    // A key without effect: nothing at all.
    settings.set("Orvanta_JPEGQuality", 0.5f);
    pipeline->invalidateImageStage(Keys{"Orvanta_JPEGQuality"}, settings, Rect::null());
    c = settle(*rec, 4);
    EXPECT_EQ(c.starts, 3);
    EXPECT_EQ(c.finishes, 4);
    EXPECT_EQ(pipeline->chainRunCount(), 3);
    NotificationCenter::defaultCenter().removeObserver(token);
}

// Changes that arrive while a cycle runs are folded into exactly one more.
TEST(RenderPipeline, ChangesDuringACycleMakeOneMoreCycle) {
    auto pipeline = ThreadedImageEngine::create(texturedWrapper(1100, 700), false);
    auto rec = std::make_shared<Recorder>();
    pipeline->setDelegate(rec);
    Dictionary settings;
    pipeline->invalidateImageStage(std::nullopt, settings, Rect::null());
    ASSERT_TRUE(rec->waitForFinishes(1));
    std::this_thread::sleep_for(20ms);

    Gate gate;
    rec->armFinishHook([&] { gate.pass(); });
    settings.set("Orvanta_Filter_inputRadius", 1.5f);
    settings.set("Orvanta_Filter_inputIntensity", 0.5f);
    pipeline->invalidateImageStage(Keys{"Orvanta_Filter_inputRadius"}, settings, Rect::null());
    gate.waitEntered(); // the render thread is inside the cycle's DidFinish
    const int runs = pipeline->chainRunCount();
    const Keys changes[] = {{"Orvanta_Filter_inputEV"},        {"Orvanta_ArtifactFilter"},
                            {"Orvanta_Filter_inputIntensity"}, {"Orvanta_ActiveRectDirty"},
                            {"Orvanta_Filter_inputContrast"},  {"Orvanta_ArtifactSuppression"},
                            {"Orvanta_Filter_inputRadius"},    {"Orvanta_KodakProcessing"},
                            {"Orvanta_Filter_inputTint"},      {"Orvanta_Filter_inputSaturation"}};
    for (int i = 0; i < 10; ++i) {
        settings.set("Orvanta_ArtifactFilter", 0.1f * i);
        // The pseudo-key comes without settings, as the core engine sends it.
        const bool area = changes[i][0] == kActiveRectDirtyKey;
        pipeline->invalidateImageStage(changes[i], area ? std::nullopt : std::optional(settings),
                                       Rect::null());
    }
    gate.release();
    const auto c = settle(*rec, 3);
    EXPECT_EQ(c.starts, 3) << "the first render, the radius change and one more";
    EXPECT_EQ(c.finishes, 3);
    EXPECT_EQ(pipeline->chainRunCount(), runs + 1);
    EXPECT_FALSE(pipeline->isRunning());
    // The last artifact level reached the filters in the extra cycle.
    EXPECT_EQ(pipeline->medianEngine0()->medianFilterPasses, medianPassesFor(5, false));
}

// An exposure change that reaches a loop after its last DidFinish is still
// reported: otherwise the display would never re-render for it.
TEST(RenderPipeline, AStageFourChangeAtTheEndOfALoopIsReported) {
    auto pipeline = ThreadedImageEngine::create(texturedWrapper(600, 400), false);
    auto rec = std::make_shared<Recorder>();
    pipeline->setDelegate(rec);
    Gate gate;
    rec->armFinishHook([&] { gate.pass(); });
    Dictionary settings;
    pipeline->invalidateImageStage(std::nullopt, settings, Rect::null());
    gate.waitEntered(); // inside the only cycle's DidFinish, the loop still running
    settings.set("Orvanta_Filter_inputEV", 1.0f);
    pipeline->invalidateImageStage(Keys{"Orvanta_Filter_inputEV"}, settings, Rect::null());
    gate.release();
    const auto c = settle(*rec, 2);
    EXPECT_EQ(c.starts, 1) << "no cycle for it";
    EXPECT_EQ(c.finishes, 2);
}

TEST(RenderPipeline, WithoutADelegateTheCallRendersBeforeReturning) {
    auto pipeline = ThreadedImageEngine::create(texturedWrapper(700, 600), false);
    pipeline->invalidateImageStage(std::nullopt, Dictionary{}, Rect::null());
    EXPECT_EQ(pipeline->decodeCount(), 1);
    auto out = pipeline->outputImage();
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->sourceBuf()->mainMap().isClean());
    double v[4];
    EXPECT_TRUE(pipeline->getPixelValues(650, 550, v));

    // An area-only call renders only the tiles of the area.
    const auto combined = pipeline->demosaicedImage()->tilesProcessed.load();
    pipeline->invalidateImageStage(Keys{"Orvanta_ArtifactSuppression"},
                                   Dictionary{{"Orvanta_ArtifactSuppression", 0.5f}}, Rect(0, 0, 100, 100));
    EXPECT_EQ(pipeline->demosaicedImage()->tilesProcessed.load(), combined + 1);
    EXPECT_FALSE(pipeline->getPixelValues(650, 550, v)) << "outside the area the product is stale";
}

// Export mode: one synchronous render whose precursors are freed on the way,
// leaving the rendered product readable.
TEST(RenderPipeline, ExportModeFreesThePrecursors) {
    auto pipeline = ThreadedImageEngine::create(texturedWrapper(700, 600), true);
    EXPECT_TRUE(pipeline->highRes());
    pipeline->configureRenderingSpaceForType("public.tiff", false);
    pipeline->invalidateImageStage(std::nullopt, Dictionary{}, Rect::null());
    EXPECT_FALSE(pipeline->demosaicedImage()) << "dropped before the run";
    auto out = pipeline->outputImage();
    ASSERT_TRUE(out);
    EXPECT_FALSE(pipeline->medianEngine0()->sourceBuf()) << "each engine let go of its source";
    EXPECT_FALSE(pipeline->sharpEngine()->sourceBuf());
    bool fromThumbnail = true;
    auto tile =
        out->imageTile(1.0f, Rect(0, 0, 700, 600), pipeline->renderingSpace(), &fromThumbnail, true, 1);
    ASSERT_TRUE(tile);
    EXPECT_FALSE(fromThumbnail);
    EXPECT_EQ(tile->getWidth(), 700);
}

TEST(RenderPipeline, WrappersThatYieldNothingEndTheLoop) {
    // No image and no error: a bounded number of decodes, then a message.
    struct Empty : ImageWrapper {
        Empty() : ImageWrapper("", "empty", false) {}
    };
    {
        LogCapture log;
        auto pipeline = ThreadedImageEngine::create(std::make_shared<Empty>(), false);
        pipeline->invalidateImageStage(std::nullopt, Dictionary{}, Rect::null());
        EXPECT_EQ(pipeline->decodeCount(), ThreadedImageEngine::kMaxDecodesWithoutImage);
        EXPECT_FALSE(pipeline->outputImage());
        EXPECT_TRUE(log.contains(" No master image in "));
        EXPECT_TRUE(log.contains("giving up"));
    }
    // A decoding error: one cycle, one DidFinish, the error logged.
    struct Failing : ImageWrapper {
        Failing() : ImageWrapper("", "failing", false) {}
        const std::uint16_t *masterImageBytes() override {
            setError(Error("RawOpenErrorDomain", kRawOpenDecodeFailed, "bad data"));
            return nullptr;
        }
    };
    LogCapture log;
    auto pipeline = ThreadedImageEngine::create(std::make_shared<Failing>(), false);
    auto rec = std::make_shared<Recorder>();
    pipeline->setDelegate(rec);
    pipeline->invalidateImageStage(std::nullopt, Dictionary{}, Rect::null());
    auto c = settle(*rec, 1);
    EXPECT_EQ(c.starts, 1);
    EXPECT_EQ(c.finishes, 1);
    EXPECT_EQ(c.metas, 0);
    EXPECT_EQ(pipeline->decodeCount(), 1);
    EXPECT_TRUE(log.contains("Raw file error: ")) << log.text();
    // Later changes find the error and do not decode again.
    pipeline->invalidateImageStage(Keys{"Orvanta_CameraProfile"}, Dictionary{}, Rect::null());
    c = settle(*rec, 2);
    EXPECT_EQ(c.starts, 1);
    EXPECT_EQ(pipeline->decodeCount(), 1);
}

TEST(RenderPipeline, TeardownRemovesItsCacheEntries) {
    auto pipeline = ThreadedImageEngine::create(texturedWrapper(600, 600), false);
    pipeline->invalidateImageStage(std::nullopt, Dictionary{{"Orvanta_ArtifactFilter", 0.8f}}, Rect::null());
    auto *cache = IntermediateProductCache::sharedIntermediateProductCache();
    const std::string prefix = pipeline->cacheEngine();
    const std::vector<std::string> keys = {prefix + pipeline->medianEngine0()->engineName(),
                                           prefix + pipeline->medianEngine2()->engineName(),
                                           prefix + pipeline->meanEngine()->engineName()};
    int present = 0;
    for (const auto &k : keys)
        present += cache->retrieveItem(k) != nullptr;
    EXPECT_GT(present, 0) << "the filters cache their products under the pipeline's prefix";
    pipeline.reset();
    for (const auto &k : keys)
        EXPECT_FALSE(cache->retrieveItem(k)) << k;
}

// The whole path on a DNG: decode, chain, display tiles.
TEST(RenderPipeline, DevelopsAFixtureDng) {
    test::DngLayout layout;
    layout.width = 1100;
    layout.height = 600;
    layout.greyPatch[0] = 440, layout.greyPatch[1] = 600, layout.greyPatch[2] = 200,
    layout.greyPatch[3] = 400;
    layout.greyLevel = 0.2f;
    const std::string path = sandbox().file("grey.dng");
    ASSERT_TRUE(test::writeCfaDng(path, layout));
    Developed dev(path);
    auto &pipeline = dev.pipeline;
    ASSERT_TRUE(pipeline->outputImage()) << (dev.wrapper->error() ? dev.wrapper->error()->reason : "");
    EXPECT_TRUE(pipeline->cameraParameters().contains("cameraFromXYZ22"));

    // The patch (it straddles a tile boundary) is grey under the as-shot white.
    double grey[4];
    for (const auto &[x, y] : {std::pair{500, 300}, {520, 250}}) {
        ASSERT_TRUE(pipeline->getPixelValues(x, y, grey));
        EXPECT_GT(grey[1], 0.05);
        EXPECT_NEAR(grey[0] / grey[1], 1.0, 0.02) << x << "," << y;
        EXPECT_NEAR(grey[2] / grey[1], 1.0, 0.02) << x << "," << y;
    }
    // A display tile over the patch (bottom-left origin) is grey too and is
    // not the thumbnail.
    bool fromThumbnail = true;
    auto tile = pipeline->outputImage()->imageTile(1.0f, Rect(480, 600 - 380, 100, 160),
                                                   ProfileManager::sharedManager().getSRGBProfile(),
                                                   &fromThumbnail, false, 1);
    ASSERT_TRUE(tile);
    EXPECT_FALSE(fromThumbnail);
    std::vector<std::uint16_t> px(std::size_t(tile->getWidth()) * tile->getHeight() * 3);
    ASSERT_TRUE(tile->getLinearBuffer(px.data()));
    const std::size_t mid =
        (std::size_t(tile->getHeight() / 2) * tile->getWidth() + tile->getWidth() / 2) * 3;
    EXPECT_NEAR(px[mid], px[mid + 1], 0.02 * px[mid + 1]);
    EXPECT_NEAR(px[mid + 2], px[mid + 1], 0.02 * px[mid + 1]);

    // One stop more doubles the linear output below the shoulder.
    dev.set("Orvanta_Filter_inputEV", 1.0f);
    double brighter[4];
    ASSERT_TRUE(pipeline->getPixelValues(500, 300, brighter));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(brighter[i] / grey[i], 2.0, 0.02);
}

TEST(RenderPipeline, DevelopsRealRawFiles) {
    const auto dir = test::testDataDir();
    if (!dir) GTEST_SKIP() << "test data not found (set ORVANTA_TESTDATA)";
    {
        Developed dev(*dir + "/raw/Canon_EOS_D30.CRW");
        auto &pipeline = dev.pipeline;
        ASSERT_TRUE(pipeline->outputImage());
        // Plausible colours: finite, in range, not black, and a dark pixel
        // doubles with one stop more.
        double sum = 0, v[4];
        int darkX = -1, darkY = -1;
        for (int y = 50; y < 1448; y += 97)
            for (int x = 50; x < 2176; x += 131) {
                ASSERT_TRUE(pipeline->getPixelValues(x, y, v));
                for (int c = 0; c < 3; ++c) {
                    ASSERT_TRUE(std::isfinite(v[c]));
                    EXPECT_GE(v[c], 0.0);
                    EXPECT_LE(v[c], 1.01);
                    sum += v[c];
                }
                if (darkX < 0 && v[0] > 0.02 && v[1] > 0.02 && v[2] > 0.02 && v[0] < 0.3 && v[1] < 0.3 &&
                    v[2] < 0.3)
                    darkX = x, darkY = y;
            }
        EXPECT_GT(sum, 0.5);
        ASSERT_GE(darkX, 0) << "a mid-dark pixel";
        double before[4], after[4];
        ASSERT_TRUE(pipeline->getPixelValues(darkX, darkY, before));
        dev.set("Orvanta_Filter_inputEV", 1.0f);
        ASSERT_TRUE(pipeline->getPixelValues(darkX, darkY, after));
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(after[c] / before[c], 2.0, 0.03);
    }
    // A file the library cannot decode: an error, no engines, the loop ends.
    const std::string path = *dir + "/raw/GoPro_HERO8.GPR";
    auto pipeline = ThreadedImageEngine::create(std::make_shared<rawWrapper>(path, path), false);
    LogCapture log;
    pipeline->invalidateImageStage(std::nullopt, Dictionary{}, Rect::null());
    EXPECT_FALSE(pipeline->outputImage());
    EXPECT_EQ(pipeline->decodeCount(), 1);
    EXPECT_TRUE(log.contains("Raw file error: "));
}
