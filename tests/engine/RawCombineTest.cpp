#include "MemoryWrapper.h"
#include "color/ProfileManager.h"
#include "engine/RawCombineTiledEngine.h"
#include "input/ImageWrapper.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvanta;

using test::MemoryWrapper;

namespace {

const TileRegion kAll{0, -1, -1, -1, -1};

std::shared_ptr<TileProcess> combine(const std::shared_ptr<RawCombineTiledEngine> &e, float wv, float wc) {
    e->setParameters(
        nullptr, Dictionary{{"Orvanta_ArtifactSuppression", wv}, {"Orvanta_ChromaArtifactSuppression", wc}});
    return e->runProcessToCompletion(kAll);
}

} // namespace

TEST(RawCombine, SuppressionChoosesBetweenMasterAndAlternate) {
    auto raw = std::make_shared<MemoryWrapper>(64, 48, true);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            raw->set(raw->master, x, y, 0.2f + x / 100.f, 0.5f, 0.1f + y / 100.f);
            raw->set(raw->alternate, x, y, 0.6f, 0.3f + y / 200.f, 0.25f);
        }
    auto e = std::make_shared<RawCombineTiledEngine>(raw, false);
    struct Case {
        float wv, wc;
        std::vector<std::uint16_t> *expected;
    } cases[] = {{0, 0, &raw->master}, {1, 1, &raw->alternate}};
    for (const auto &c : cases) {
        auto p = combine(e, c.wv, c.wc);
        ASSERT_TRUE(p->buffer);
        for (int y = 0; y < 48; y += 7)
            for (int x = 0; x < 64; x += 5)
                for (int ch = 0; ch < 3; ++ch)
                    ASSERT_NEAR(p->buffer->bufferU16ForRow(y, x)[ch], (*c.expected)[(y * 64 + x) * 3 + ch], 1)
                        << c.wv << " at " << x << "," << y;
        EXPECT_EQ(p->buffer->bufferU16ForRow(0, 0)[3], 65535);
        EXPECT_EQ(p->buffer->bufferOwner, e.get()) << "the engine owns its product";
        EXPECT_TRUE(p->buffer->bufferProfile);
    }
}

TEST(RawCombine, HueWrapsTheShortWayAndGreyStaysGrey) {
    float r, g, b, h, s, v;
    RawCombineTiledEngine::hsvToRgb(5.9f, 1, 1, &r, &g, &b);
    RawCombineTiledEngine::rgbToHsv(r, g, b, &h, &s, &v);
    EXPECT_NEAR(h, 5.9f, 1e-5f);
    auto raw = std::make_shared<MemoryWrapper>(16, 16, true);
    float mr, mg, mb, ar, ag, ab;
    RawCombineTiledEngine::hsvToRgb(5.9f, 1, 1, &mr, &mg, &mb);
    RawCombineTiledEngine::hsvToRgb(0.1f, 1, 1, &ar, &ag, &ab);
    raw->set(raw->master, 3, 3, mr, mg, mb);
    raw->set(raw->alternate, 3, 3, ar, ag, ab);
    raw->set(raw->master, 5, 5, 0.4f, 0.4f, 0.4f);
    raw->set(raw->alternate, 5, 5, 0.1f, 0.5f, 0.2f);
    auto e = std::make_shared<RawCombineTiledEngine>(raw, false);
    auto p = combine(e, 0.0f, 0.5f);
    const std::uint16_t *px = p->buffer->bufferU16ForRow(3, 3);
    EXPECT_GT(px[0], 65000) << "red, not cyan";
    EXPECT_LT(px[1], 200);
    EXPECT_LT(px[2], 200);
    p = combine(e, 0.0f, 0.0f);
    const std::uint16_t *grey = p->buffer->bufferU16ForRow(5, 5);
    EXPECT_EQ(grey[0], grey[1]);
    EXPECT_EQ(grey[1], grey[2]);
}

TEST(RawCombine, WithoutAlternateSettingsDoNothingAndTheFrameIsMaster) {
    auto raw = std::make_shared<MemoryWrapper>(100, 80, false);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 100; ++x)
            raw->set(raw->master, x, y, x / 100.f, y / 80.f, 0.3f);
    auto e = std::make_shared<RawCombineTiledEngine>(raw, false);
    auto a = combine(e, 0, 0);
    std::vector<std::uint16_t> first(a->buffer->bufferU16ForRow(0),
                                     a->buffer->bufferU16ForRow(0) + 100 * 80 * 4);
    auto b = combine(e, 1, 1);
    EXPECT_EQ(std::vector<std::uint16_t>(b->buffer->bufferU16ForRow(0),
                                         b->buffer->bufferU16ForRow(0) + 100 * 80 * 4),
              first);

    // With an alternate, the 8-pixel frame comes from the master alone.
    auto both = std::make_shared<MemoryWrapper>(100, 80, true);
    both->master = raw->master;
    for (auto &v : both->alternate)
        v = 40000;
    auto f = std::make_shared<RawCombineTiledEngine>(both, false);
    f->verticalBorder = f->horizontalBorder = 8;
    f->ignoreEdges = false;
    auto out = combine(f, 1, 1);
    for (auto [x, y] : {std::pair{0, 0}, {7, 40}, {50, 79}, {99, 10}})
        EXPECT_NEAR(out->buffer->bufferU16ForRow(y, x)[0], both->master[(y * 100 + x) * 3], 1)
            << x << "," << y;
    EXPECT_NEAR(out->buffer->bufferU16ForRow(40, 50)[0], 40000, 1) << "inside, the alternate";
}

TEST(RawCombine, ThumbnailAndReadOuts) {
    auto raw = std::make_shared<MemoryWrapper>(1200, 800, true);
    for (auto &v : raw->master)
        v = 30000;
    auto e = std::make_shared<RawCombineTiledEngine>(raw, false);
    double values[4];
    EXPECT_FALSE(e->getPixelValues(10, 10, 3, values)) << "before the first run";
    EXPECT_FALSE(e->getThumbnail(true));
    combine(e, 0, 0);
    auto thumb = e->getThumbnail(true);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->imageWidth, 512);
    EXPECT_EQ(thumb->imageHeight, 341) << "as a 6000 × 4000 image gets";
    ASSERT_TRUE(e->getPixelValues(600, 400, 5, values));
    EXPECT_NEAR(values[0], 30000 / 65535.0, 1e-4);
}

TEST(ColorMatch, ConvertsOnlyTheCropAndTagsTheBuffer) {
    auto &pm = ProfileManager::sharedManager();
    auto buffer = ImageBufferF32::create(32, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            float *p = buffer->bufferFloatForRow(y, x);
            p[0] = 0.5f, p[1] = 0.25f, p[2] = 0.75f, p[3] = 1;
        }
    ColorMatchTiledEngine cm(Size{8, 8});
    cm.srcProfile = pm.getProPhotoGamma1_D65Profile();
    cm.destProfile = pm.getSRGBProfile();
    auto crop = buffer->croppedImageFromBuffer(Rect(4, 4, 8, 8));
    cm.convertBuffer(*crop);
    EXPECT_EQ(crop->bufferProfile, cm.destProfile);
    EXPECT_NE(buffer->bufferFloatForRow(5, 5)[0], 0.5f) << "inside the crop";
    EXPECT_EQ(buffer->bufferFloatForRow(3, 3)[0], 0.5f) << "outside untouched";
    EXPECT_EQ(buffer->bufferFloatForRow(12, 12)[0], 0.5f);
    EXPECT_EQ(buffer->bufferFloatForRow(5, 5)[3], 1.0f) << "alpha through";
}
