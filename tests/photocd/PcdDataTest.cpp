// The decoder against the Photo CD packs of the shared test data.

#include "PcdTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <map>

namespace orvanta::test {
namespace {

struct Packs {
    std::string root;
    std::string image(const char *name) const { return root + "/pcd/PHOTO_CD/IMAGES/" + name; }
    std::string ipe() const { return root + "/pcd/PHOTO_CD/IPE/IMG0001/64BASE/INFO.IC"; }
    std::string source(const char *name) const { return root + "/pcd/source/" + name; }
};

std::optional<Packs> packs() {
    auto dir = testDataDir();
    if (!dir || !fileExists(*dir + "/pcd/PHOTO_CD/IMAGES/IMG0001.PCD")) return std::nullopt;
    return Packs{*dir};
}

#define REQUIRE_PACKS(p)                                                                                     \
    const auto p = packs();                                                                                  \
    if (!p) GTEST_SKIP() << "Photo CD test packs not found (set ORVANTA_TESTDATA)"

TEST(PcdData, EveryLevelOfThePackDecodes) {
    REQUIRE_PACKS(p);
    for (int level = 0; level <= 4; ++level) {
        SCOPED_TRACE(level);
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(p->image("IMG0001.PCD").c_str(), "", level)) << d.getErrorString();
        EXPECT_EQ(d.getErrorString(), "");
        EXPECT_EQ(d.resolution(), level);
        const Rgb8 img = decodeRgb8(d);
        EXPECT_EQ(img.width, 192 << level);
        EXPECT_EQ(img.height, 128 << level);
    }
}

TEST(PcdData, SixteenBaseMatchesTheSourcePicture) {
    REQUIRE_PACKS(p);
    const auto ref = readPng(p->source("landscape_3072x2048.png"));
    ASSERT_TRUE(ref);
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(p->image("IMG0001.PCD").c_str(), "", 4));
    const double db = psnr(decodeRgb8(d), *ref);
    RecordProperty("psnr16Base", std::to_string(db));
    EXPECT_GE(db, 40.0);
}

// Bilinear ×2 of an 8-bit RGB image, edges repeated.
Rgb8 doubled(const Rgb8 &s) {
    Rgb8 d;
    d.width = 2 * s.width, d.height = 2 * s.height;
    d.px.resize(std::size_t(d.width) * d.height * 3);
    const auto at = [&](int x, int y, int c) {
        return int(
            s.px[(std::size_t(std::min(y, s.height - 1)) * s.width + std::min(x, s.width - 1)) * 3 + c]);
    };
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const int x0 = x / 2, y0 = y / 2, dx = x & 1, dy = y & 1;
                const int v =
                    at(x0, y0, c) + at(x0 + dx, y0, c) + at(x0, y0 + dy, c) + at(x0 + dx, y0 + dy, c);
                d.px[(std::size_t(y) * d.width + x) * 3 + c] = std::uint8_t((v + 2) / 4);
            }
    return d;
}

TEST(PcdData, SixtyFourBaseBeatsSixteenBaseUpSampled) {
    REQUIRE_PACKS(p);
    const auto ref = readPng(p->source("landscape_6144x4096.png"));
    ASSERT_TRUE(ref);
    pcdDecode d64;
    ASSERT_TRUE(d64.parseFile(p->image("IMG0001.PCD").c_str(), p->ipe().c_str(), 5));
    EXPECT_EQ(d64.getErrorString(), "");
    ASSERT_EQ(d64.resolution(), 5);
    EXPECT_EQ(d64.ipeLayers(), 3);
    const double db64 = psnr(decodeRgb8(d64), *ref);

    pcdDecode d16;
    ASSERT_TRUE(d16.parseFile(p->image("IMG0001.PCD").c_str(), "", 4));
    const double db16 = psnr(doubled(decodeRgb8(d16)), *ref);
    RecordProperty("psnr64Base", std::to_string(db64));
    RecordProperty("psnr16BaseDoubled", std::to_string(db16));
    EXPECT_GT(db64, db16 + 3.0) << db64 << " dB against " << db16 << " dB";
}

} // namespace
} // namespace orvanta::test
