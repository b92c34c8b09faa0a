#include "engine/FilterEngines.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

using namespace orvanta;

namespace {

const TileRegion kAll{0, -1, -1, -1, -1};

// The first engine of a test chain: serves a prepared picture it owns.
class PictureEngine : public TiledEngine {
public:
    explicit PictureEngine(std::shared_ptr<ImageBufferU16> picture)
        : TiledEngine(Size{double(picture->imageWidth), double(picture->imageHeight)}, std::nullopt, false) {
        picture->bufferOwner = this;
        setLocalOutputBuffer(picture);
        for (const auto &t : mainMap().tileMap())
            t->state = tileIsClean;
    }
    void processTile(int, int, int, int, ImageBuffer *, ImageBuffer *, int) override {}
};

std::shared_ptr<ImageBufferU16> picture(int w, int h) {
    auto b = ImageBufferU16::create(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint16_t *p = b->bufferU16ForRow(y, x);
            const double t = std::sin(x * 0.05) * std::cos(y * 0.07);
            p[1] = static_cast<std::uint16_t>(30000 + 8000 * t);
            p[0] = static_cast<std::uint16_t>(p[1] - 4000 + ((x * 7 + y * 13) % 23) * 300); // speckled chroma
            p[2] = static_cast<std::uint16_t>(p[1] + 3000 - ((x * 11 + y * 5) % 19) * 250);
            p[3] = 65535;
        }
    return b;
}

std::vector<std::uint16_t> bytesOf(const ImageBuffer &b) {
    std::vector<std::uint16_t> out;
    for (int y = 0; y < b.imageHeight; ++y)
        out.insert(out.end(), b.bufferU16ForRow(y), b.bufferU16ForRow(y) + b.imageWidth * 4);
    return out;
}

} // namespace

TEST(FilterEngines, PassTable) {
    struct Case {
        float filter;
        bool kodak;
        int median, mean;
    } cases[] = {{0, false, 4, 0},      {0, true, 0, 2},         {1 / 6.f, false, 6, 0},
                 {2 / 6.f, true, 4, 2}, {3 / 6.f, false, 10, 0}, {4 / 6.f, false, 10, 2},
                 {5 / 6.f, true, 6, 6}, {1.0f, false, 10, 6},    {1.0f, true, 6, 8}};
    for (const auto &c : cases) {
        auto src = std::make_shared<PictureEngine>(picture(8, 8));
        auto median = std::make_shared<MedianTiledEngine>(src, std::nullopt, false, 0);
        auto mean = std::make_shared<MeanTiledEngine>(median, std::nullopt, false);
        mean->setParameters(
            nullptr, Dictionary{{"Orvanta_ArtifactFilter", c.filter}, {"Orvanta_KodakProcessing", c.kodak}});
        EXPECT_EQ(median->medianFilterPasses, c.median) << c.filter << " " << c.kodak;
        EXPECT_EQ(median->numberOfPasses, std::max(c.median, 1));
        EXPECT_EQ(mean->numberOfFilterPasses, c.mean) << c.filter << " " << c.kodak;
    }
}

TEST(FilterEngines, OneMedianPassRemovesAHotPixel) {
    auto pic = ImageBufferU16::create(40, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            std::uint16_t *p = pic->bufferU16ForRow(y, x);
            p[0] = 20000, p[1] = 30000, p[2] = 25000, p[3] = 65535;
        }
    pic->bufferU16ForRow(20, 20)[0] = 60000;
    auto src = std::make_shared<PictureEngine>(pic);
    auto median = std::make_shared<MedianTiledEngine>(src, std::nullopt, false, 0);
    median->medianFilterPasses = 1;
    median->numberOfPasses = 1;
    auto out = median->runProcessToCompletion(kAll);
    ASSERT_TRUE(out && out->buffer);
    EXPECT_NE(out->buffer, pic) << "the source is owned: a buffer of its own";
    EXPECT_EQ(out->buffer->bufferU16ForRow(20, 20)[0], 20000);
    EXPECT_EQ(out->buffer->bufferU16ForRow(20, 20)[1], 30000) << "green untouched";
    EXPECT_EQ(out->buffer->bufferU16ForRow(20, 20)[2], 25000) << "blue is the other engine's";
}

// Every pixel of one median pass against the nine values sorted, corners and
// edges (repeated samples) included, on a speckled picture.
TEST(FilterEngines, MedianPassMatchesSortedNeighbourhood) {
    const int W = 23, H = 17;
    auto pic = picture(W, H);
    for (int ch : {0, 2}) {
        auto src = std::make_shared<PictureEngine>(picture(W, H));
        auto median = std::make_shared<MedianTiledEngine>(src, std::nullopt, false, ch);
        median->medianFilterPasses = 1;
        median->numberOfPasses = 1;
        auto out = median->runProcessToCompletion(kAll);
        ASSERT_TRUE(out && out->buffer);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                std::vector<int> v;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const std::uint16_t *q =
                            pic->bufferU16ForRow(std::clamp(y + dy, 0, H - 1), std::clamp(x + dx, 0, W - 1));
                        v.push_back(q[ch] - q[1]);
                    }
                std::nth_element(v.begin(), v.begin() + 4, v.end());
                const int want = std::clamp(pic->bufferU16ForRow(y, x)[1] + v[4], 0, 65535);
                ASSERT_EQ(out->buffer->bufferU16ForRow(y, x)[ch], want) << ch << " at " << x << "," << y;
            }
    }
}

TEST(FilterEngines, SharpeningKernelAndIdentity) {
    struct Case {
        float radius;
        int length;
    } cases[] = {{0.01f, 3}, {4.0f, 5}, {9.0f, 7}};
    auto src = std::make_shared<PictureEngine>(picture(64, 64));
    for (const auto &c : cases) {
        SharpeningTiledEngine s(src, std::nullopt, false);
        s.radius = c.radius;
        s.intensity = 1;
        ASSERT_TRUE(s.buildKernel());
        EXPECT_EQ(s.length, c.length) << c.radius;
        float sum = 0;
        for (float v : s.kernel)
            sum += v;
        EXPECT_NEAR(sum, 1.0f, 1e-5f);
    }
    EXPECT_FLOAT_EQ(SharpeningTiledEngine(src, std::nullopt, false).radius, 0.05f);

    auto sharp = std::make_shared<SharpeningTiledEngine>(src, std::nullopt, false);
    sharp->radius = 2;
    sharp->intensity = 0; // a single 1 at the centre
    auto out = sharp->runProcessToCompletion(kAll);
    ASSERT_TRUE(out && out->buffer);
    auto in = src->localOutputBuffer();
    for (auto [x, y] : {std::pair{10, 10}, {0, 0}, {63, 40}})
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(out->buffer->bufferU16ForRow(y, x)[c],
                        in->bufferU16ForRow(y, x)[c] * 65325.0 / 65535.0, 1.0);
    EXPECT_EQ(out->buffer->bufferU16ForRow(5, 5)[3], 65325);
    EXPECT_EQ(out->buffer->bufferOwner, sharp.get());
}

TEST(FilterEngines, ProductDoesNotDependOnWorkersOrTileOrder) {
    // Large enough for 3 × 2 tiles, so that tile borders are crossed.
    const int W = 1300, H = 900;
    auto render = [&](int workers, bool reverse) {
        auto src = std::make_shared<PictureEngine>(picture(W, H));
        auto m0 = std::make_shared<MedianTiledEngine>(src, std::nullopt, false, 0);
        auto m2 = std::make_shared<MedianTiledEngine>(m0, std::nullopt, false, 2);
        auto mean = std::make_shared<MeanTiledEngine>(m2, std::nullopt, false);
        auto sharp = std::make_shared<SharpeningTiledEngine>(mean, std::nullopt, false);
        for (TiledEngine *e :
             std::initializer_list<TiledEngine *>{m0.get(), m2.get(), mean.get(), sharp.get()}) {
            e->verticalBorder = e->horizontalBorder = 2;
            e->reprocessEdgeTiles = true;
            e->workersPerPass = workers;
            e->reverseSweep = reverse;
        }
        sharp->verticalBorder = sharp->horizontalBorder = 0;
        sharp->setParameters(nullptr, Dictionary{{"Orvanta_ArtifactFilter", 5 / 6.f},
                                                 {"Orvanta_Filter_inputRadius", 4.0f},
                                                 {"Orvanta_Filter_inputIntensity", 0.8f}});
        auto out = sharp->runProcessToCompletion(kAll);
        // The median, median and mean product (they share the first median's buffer) and the sharpened one.
        return std::make_pair(bytesOf(*out->buffer), bytesOf(*m0->localOutputBuffer()));
    };
    const auto base = render(0, false);
    EXPECT_EQ(render(1, false), base) << "one worker";
    EXPECT_EQ(render(0, true), base) << "tiles in reverse order";
    EXPECT_EQ(render(1, true), base);
}

// The mean's in-place sweep against the 25 samples added directly, over the
// whole image and over an inner tile whose ring is clamped to its area, with
// pixels at the extremes so that the clamp of the stored sample takes part.
TEST(FilterEngines, MeanSweepMatchesDirectSums) {
    const int W = 40, H = 30;
    auto pic = picture(W, H);
    pic->bufferU16ForRow(5, 5)[0] = 65535, pic->bufferU16ForRow(5, 5)[1] = 500;
    pic->bufferU16ForRow(20, 30)[2] = 0, pic->bufferU16ForRow(20, 30)[1] = 64000;
    auto clampSample = [](int v) { return v < 1 ? 0 : v > 65535 ? 65535 : v; };
    struct Box {
        int c0, c1, r0, r1;
    };
    for (Box b : {Box{0, W, 0, H}, Box{3, 37, 2, 28}}) {
        auto src = std::make_shared<PictureEngine>(picture(W, H));
        MeanTiledEngine mean(src, std::nullopt, false);
        mean.numberOfFilterPasses = 4;
        auto dst = ImageBufferU16::create(W, H);
        for (int y = 0; y < H; ++y)
            std::memcpy(dst->bufferU16ForRow(y), pic->bufferU16ForRow(y), W * 8);
        mean.beforePass(0, kAll, nullptr, dst.get());
        mean.processTile(b.c0, b.c1, b.r0, b.r1, nullptr, dst.get(), 0);

        const int ax0 = std::max(b.c0 - 2, 0), ax1 = std::min(b.c1 + 2, W), ay0 = std::max(b.r0 - 2, 0),
                  ay1 = std::min(b.r1 + 2, H);
        for (int ch : {0, 2}) {
            std::vector<int> d(W * H), g(W * H);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    g[y * W + x] = pic->bufferU16ForRow(y, x)[1];
                    d[y * W + x] = pic->bufferU16ForRow(y, x)[ch] - g[y * W + x];
                }
            for (int pass = 0; pass < 4; ++pass)
                for (int y = b.r0; y < b.r1; ++y)
                    for (int x = b.c0; x < b.c1; ++x) {
                        int s = 0;
                        for (int dy = -2; dy <= 2; ++dy)
                            for (int dx = -2; dx <= 2; ++dx)
                                s += d[std::clamp(y + dy, ay0, ay1 - 1) * W +
                                       std::clamp(x + dx, ax0, ax1 - 1)];
                        d[y * W + x] = clampSample(g[y * W + x] + s / 25) - g[y * W + x];
                    }
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const bool inside = x >= b.c0 && x < b.c1 && y >= b.r0 && y < b.r1;
                    const int want = inside ? g[y * W + x] + d[y * W + x] : pic->bufferU16ForRow(y, x)[ch];
                    ASSERT_EQ(dst->bufferU16ForRow(y, x)[ch], want)
                        << "channel " << ch << " at " << x << "," << y;
                }
        }
    }
}
