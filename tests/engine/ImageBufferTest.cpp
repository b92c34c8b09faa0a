#include "engine/ImageBuffer.h"

#include "engine/TileMap.h"
#include "input/CGImageBitMap.h"
#include "platform/Log.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

using namespace orvanta;

namespace {
std::shared_ptr<BitmapImage> bitmap(int w, int h, int bpc, std::uint32_t info,
                                    std::vector<std::uint8_t> bytes) {
    auto store = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
    auto img = std::make_shared<BitmapImage>();
    img->width = w;
    img->height = h;
    img->bitsPerComponent = bpc;
    img->bitsPerPixel = 4 * bpc;
    img->bytesPerRow = static_cast<std::size_t>(w) * 4 * bpc / 8;
    img->bitmapInfo = info;
    img->data = store->data();
    img->owner = store;
    return img;
}
std::vector<std::uint8_t> floats(std::initializer_list<float> v) {
    std::vector<std::uint8_t> out(v.size() * 4);
    std::memcpy(out.data(), std::data(v), out.size());
    return out;
}
} // namespace

TEST(CGImageBitMap, Conversions) {
    // Float, little-endian, alpha skipped last: (2.0, 1.0, 0.5) keeps its hue.
    auto f = CGImageBitMap::initWithCGImageRef(bitmap(
        1, 1, 32,
        BitmapImage::kFloatComponents | BitmapImage::kByteOrder32Little | BitmapImage::kAlphaNoneSkipLast,
        floats({2.0f, 1.0f, 0.5f, 1.0f})));
    std::uint16_t rgb[3];
    ASSERT_TRUE(f->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_EQ(rgb[1], 32767);
    EXPECT_EQ(rgb[2], 16383);

    // Premultiplied 8-bit, alpha last: red 0.25 at alpha 0.5 reads as 0.5.
    auto p = CGImageBitMap::initWithCGImageRef(
        bitmap(1, 1, 8, BitmapImage::kAlphaPremultipliedLast, {64, 0, 0, 128}));
    float rgba[4];
    ASSERT_TRUE(p->getFloatRBGABuffer(rgba));
    EXPECT_NEAR(rgba[0], (64 / 255.0) / (128 / 255.0), 1e-6);
    EXPECT_NEAR(rgba[3], 128 / 255.0, 1e-6);
    ASSERT_TRUE(p->getLinearBuffer(rgb));
    EXPECT_EQ(rgb[0], static_cast<int>(std::floor(0.5 * 65535)));

    // Alpha first: red is the second component; 16-bit big-endian by default.
    auto a = CGImageBitMap::initWithCGImageRef(
        bitmap(1, 1, 16, BitmapImage::kAlphaFirst, {0xff, 0xff, 0x80, 0x00, 0x40, 0x00, 0x20, 0x00}));
    double v[4];
    ASSERT_TRUE(a->getPixelValues(0, 0, v));
    EXPECT_NEAR(v[0], 0x8000 / 65535.0, 1e-9);
    EXPECT_NEAR(v[2], 0x2000 / 65535.0, 1e-9);
    EXPECT_FALSE(a->getPixelValues(1, 0, v));
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[3], 1);

    auto bad = CGImageBitMap::initWithCGImageRef(bitmap(1, 1, 8, 7, {1, 2, 3, 4}));
    EXPECT_FALSE(bad->getLinearBuffer(rgb)) << "alpha kinds above 6 are not supported";
    EXPECT_FALSE(CGImageBitMap::initWithCGImageRef(nullptr));
}

TEST(ImageBuffer, CropViewsShareAndClip) {
    auto b = ImageBufferU16::create(1000, 300);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->rowStepInBytes, 8000u);
    auto view = b->croppedImageFromBuffer(Rect(10, 20, 100, 50));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->cropOffset, 10u * 8 + 20u * 8000);
    EXPECT_EQ(view->rowStepInBytes, 8000u);
    EXPECT_EQ(view->imageWidth, 100);
    view->bufferU16ForRow(0, 0)[0] = 4242;
    EXPECT_EQ(b->bufferU16ForRow(20, 10)[0], 4242) << "writes go through to the parent";

    struct Case {
        Rect request, expected;
    } cases[] = {
        {Rect(900, 0, 500, 10), Rect(900, 0, 100, 10)},     // wider than the buffer: clipped
        {Rect(-5, -5, 20, 20), Rect(0, 0, 15, 15)},         // starts outside
        {Rect(999.5, 10, 0.5, 10), Rect(998.5, 10, 1, 10)}, // a sliver at the edge: one whole pixel
    };
    for (const auto &c : cases) {
        auto v = b->croppedImageFromBuffer(c.request);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->imageWidth, static_cast<int>(c.expected.size.width)) << c.request.description();
        EXPECT_EQ(v->imageHeight, static_cast<int>(c.expected.size.height)) << c.request.description();
    }
    EXPECT_FALSE(b->croppedImageFromBuffer(Rect(2000, 0, 10, 10))) << "nothing of it inside";
    EXPECT_FALSE(b->bufferFloatForRow(0)) << "the float accessor answers only on float buffers";
}

TEST(ImageBuffer, ConversionsUseThe65325Factor) {
    auto f = ImageBufferF32::create(2, 1);
    float *p = f->bufferFloatForRow(0);
    const float in[8] = {1.0f, 0.5f, 0.0f, 1.0f, 1.01f, -0.2f, 2.0f, 0.25f};
    std::memcpy(p, in, sizeof in);
    auto u = ImageBufferU16::initWithCopyFrom(*f);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->bufferU16ForRow(0)[0], 65325);
    EXPECT_EQ(u->bufferU16ForRow(0)[1], 32663);
    EXPECT_EQ(u->bufferU16ForRow(0)[4], 65535) << "1.01 × 65325 clamps";
    EXPECT_EQ(u->bufferU16ForRow(0)[5], 0) << "negatives clamp to 0";
    auto back = ImageBufferF32::initWithCopyFrom(*u);
    EXPECT_FLOAT_EQ(back->bufferFloatForRow(0)[0], 1.0f);
    EXPECT_NEAR(back->bufferFloatForRow(0)[4], 65535 * kU16ToFloat, 1e-6f);
    EXPECT_NEAR(65535 * kU16ToFloat, 1.0032, 1e-4);
}

TEST(ImageBuffer, PatchAverages) {
    auto b = ImageBufferU16::create(10, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            std::uint16_t *p = b->bufferU16ForRow(y, x);
            p[0] = static_cast<std::uint16_t>(x * 1000);
            p[1] = static_cast<std::uint16_t>(y * 1000);
            p[2] = 65535;
            p[3] = 0;
        }
    double r, g, bl, a;
    ASSERT_TRUE(b->sampleValues(0, 0, 5, &r, &g, &bl, &a));
    EXPECT_NEAR(r, 1000.0 / 65535, 1e-12) << "the corner averages pixels 0…2 in both directions";
    EXPECT_NEAR(g, 1000.0 / 65535, 1e-12);
    EXPECT_NEAR(bl, 1.0, 1e-12);
    ASSERT_TRUE(b->sampleValues(9, 9, 3, &r, &g, &bl, &a));
    EXPECT_NEAR(r, 8500.0 / 65535, 1e-12);
}

TEST(ImageBuffer, ReadOnlyRegistry) {
    auto b = ImageBufferU16::create(4, 4);
    int engines[40];
    for (int i = 0; i < 32; ++i)
        EXPECT_FALSE(b->testReadOnlyAndAddtoEngineList(&engines[i])) << i;
    EXPECT_FALSE(b->testReadOnlyAndAddtoEngineList(&engines[5])) << "already registered";
    EXPECT_TRUE(b->testReadOnlyAndAddtoEngineList(&engines[32])) << "the thirty-third is told read-only";
    auto owned = ImageBufferU16::create(4, 4);
    owned->bufferOwner = &engines[0];
    EXPECT_FALSE(owned->testReadOnlyAndAddtoEngineList(&engines[0])) << "never the owner";
    EXPECT_TRUE(owned->testReadOnlyAndAddtoEngineList(&engines[1]));
}

TEST(ImageBuffer, ImagesAndOrientations) {
    auto b = ImageBufferU16::create(300, 200);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) {
            std::uint16_t *p = b->bufferU16ForRow(y, x);
            p[0] = static_cast<std::uint16_t>(x), p[1] = static_cast<std::uint16_t>(y), p[2] = 0,
            p[3] = 65535;
        }
    auto img = b->createCGImage();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->data, reinterpret_cast<const std::uint8_t *>(b->bufferU16ForRow(0))) << "no copy";
    EXPECT_FALSE(ImageBufferU16::create(0, 10)->createCGImage());

    // Where the stored top-left pixel (0, 0) lands for each orientation,
    // and the size of the result.
    struct Case {
        int orientation, w, h, x00, y00;
    } cases[] = {{1, 300, 200, 0, 0}, {2, 300, 200, 299, 0}, {3, 300, 200, 299, 199}, {4, 300, 200, 0, 199},
                 {5, 200, 300, 0, 0}, {6, 200, 300, 199, 0}, {7, 200, 300, 199, 299}, {8, 200, 300, 0, 299}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.orientation);
        LogCapture log;
        auto turned = b->getCGImageBitMapForOrientation(c.orientation);
        ASSERT_TRUE(turned);
        EXPECT_EQ(turned->getWidth(), c.w);
        EXPECT_EQ(turned->getHeight(), c.h);
        double v[4];
        ASSERT_TRUE(turned->getPixelValues(c.x00, c.y00, v));
        EXPECT_EQ(std::lround(v[0] * 65535), 0);
        EXPECT_EQ(std::lround(v[1] * 65535), 0);
        const bool mirrored =
            c.orientation == 2 || c.orientation == 4 || c.orientation == 5 || c.orientation == 7;
        EXPECT_EQ(log.contains("Invalid image rotate"), mirrored);
    }
}

TEST(ImageBuffer, Resampling) {
    auto b = ImageBufferU16::create(400, 300);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) {
            std::uint16_t *p = b->bufferU16ForRow(y, x);
            p[0] = 20000, p[1] = static_cast<std::uint16_t>(x * 100), p[2] = 65535, p[3] = 65535;
        }
    b->validRegion = Rect(0, 0, 400, 300);
    auto small = b->resizedImageFromBuffer(100, 75);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->imageWidth, 100);
    EXPECT_EQ(small->validRegion, Rect(0, 0, 400, 300)) << "the valid region is kept as it was";
    EXPECT_EQ(small->bufferU16ForRow(40, 50)[0], 20000) << "flat areas stay flat";
    EXPECT_EQ(small->bufferU16ForRow(40, 50)[2], 65535) << "no overshoot past full scale on a flat maximum";
    EXPECT_NEAR(small->bufferU16ForRow(40, 50)[1], 50 * 4 * 100 + 150, 200) << "a ramp keeps its slope";
    auto same = b->resizedImageFromBuffer(400, 300);
    EXPECT_EQ(same->bufferU16ForRow(10, 10)[1], 1000);
}

TEST(TileMap, Geometry) {
    struct Case {
        double w, h;
        int xTiles, yTiles;
    } cases[] = {{1000, 600, 2, 2}, {512, 512, 1, 1}, {513, 512, 2, 1}, {1, 1, 1, 1}};
    for (const auto &c : cases) {
        TileMap m(Size{c.w, c.h});
        EXPECT_EQ(m.xTiles(), c.xTiles) << c.w;
        EXPECT_EQ(m.yTiles(), c.yTiles) << c.h;
        EXPECT_EQ(m.tileMap().size(), static_cast<std::size_t>(c.xTiles * c.yTiles));
    }
    TileMap m(Size{1000, 600});
    EXPECT_EQ(m.getTileTracker(1, 1)->location, Rect(512, 512, 488, 88));
    EXPECT_FALSE(m.getTileTracker(2, 0));
    EXPECT_FALSE(m.getTileTracker(-1, 0));

    struct RegionCase {
        Rect r;
        TileRegion expected;
    } regions[] = {
        {Rect(100, 100, 10, 10), {3, 0, 0, 0, 0}},
        {Rect(0, 0, 512, 512), {3, 0, 0, 1, 1}}, // the "+ 1": ends on a boundary, takes the next tile
        {Rect(0, 0, 510, 510), {3, 0, 0, 0, 0}},
        {Rect::null(), {3, -1, -1, -1, -1}},
        {Rect::infinite(), {3, -1, -1, -1, -1}},
        {Rect(5, 5, 0, 10), {3, -1, -1, -1, -1}},
    };
    for (const auto &c : regions)
        EXPECT_EQ(m.regionForRect(c.r, 3), c.expected) << c.r.description();
    EXPECT_EQ(m.rectForRegion({0, 1, 1, 1, 1}), Rect(512, 512, 488, 88));
    EXPECT_TRUE(m.rectForRegion({0, -1, -1, -1, -1}).isNull());
    EXPECT_FALSE(m.isCleanInRect(Rect::null()));

    auto a = m.getTileTracker(0, 0), b = m.getTileTracker(1, 0);
    TileTracker twin;
    twin.location = Rect(1024, 512, 5, 5);
    TileTracker other;
    other.location = Rect(1024.7, 512.2, 1, 1);
    EXPECT_TRUE(twin.isEqual(other));
    EXPECT_EQ(twin.hash(), other.hash());
    EXPECT_EQ(twin.hash(), static_cast<std::size_t>(1024 | (512 << 12)));
    EXPECT_FALSE(a->isEqual(*b));

    EXPECT_FALSE(m.isClean());
    for (const auto &t : m.tileMap())
        t->state = tileIsClean;
    EXPECT_TRUE(m.isClean());
    EXPECT_TRUE(m.isCleanInRect(Rect(0, 0, 100, 100)));
    m.getTileTracker(1, 1)->state = tileIsDirty;
    EXPECT_EQ(m.dirtyList().size(), 1u);
    m.resetTiles();
    EXPECT_EQ(m.dirtyList().size(), 4u) << "rebuilt dirty";
}
