// The decoder against the Photo CD packs of the shared test data.

#include "PcdTestSupport.h"
#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <time.h>

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

TEST(PcdData, MetadataItemsOfThePack) {
    REQUIRE_PACKS(p);
    ScopedEnv tz("TZ", "UTC");
    tzset();
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(p->image("IMG0001.PCD").c_str(), "", 0));
    const char *expected[pcdDecode::kMetadataItems] = {
        "1.0",
        "3.1",
        "Tue Mar 14 10:26:40 1995",
        "Wed Mar 15 08:00:00 1995",
        "color negative",
        "PHOTO CD MASTER",
        "KODAK",
        "PCD SCANNER 2000",
        "2.10",
        "05/12/94",
        "SN 002417",
        "10.50",
        "KODAK",
        "PCDGEN TEST LAB",
        "1.0", // the same value as item 0, not the decoy bytes after "SBA"
        "neutral SBA on, color SBA on",
        "KODAK GOLD 100 Gen 4",
        "Copyright restrictions apply - see copyright file on original CD-ROM for details",
        "RIGHTS.TXT;1",
        "class 1 - 35mm film; pictoral hard copy",
    };
    for (int i = 0; i < pcdDecode::kMetadataItems; ++i) {
        std::string name, value;
        EXPECT_TRUE(d.getMetadataItem(i, name, value));
        EXPECT_EQ(value, expected[i]) << i << " " << name;
    }
    EXPECT_EQ(d.getScanTime(), 795176800u);
    EXPECT_EQ(d.highestResolution(), 4);
    EXPECT_EQ(d.compressionClass(), 0);
}

// IMG0003 breaks off inside the 16Base luma rows; IMG0004 inside Base.
TEST(PcdData, PacksThatEndEarly) {
    REQUIRE_PACKS(p);
    const auto ref = readPng(p->source("landscape_3072x2048.png"));
    ASSERT_TRUE(ref);
    pcdDecode cut16;
    ASSERT_TRUE(cut16.parseFile(p->image("IMG0003.PCD").c_str(), "", 4));
    EXPECT_EQ(cut16.getErrorString(), "Unexpected end of file in Huffman sequence");
    EXPECT_EQ(cut16.resolution(), 4);
    const Rgb8 img = decodeRgb8(cut16);
    ASSERT_EQ(img.width, 3072);
    // The upper half has its luma residuals; the lower half is 4Base
    // up-sampled, and so is all of the chroma.
    Rgb8 top = img, bottom = img;
    top.height = bottom.height = 1000;
    top.px.resize(std::size_t(3072) * 1000 * 3);
    bottom.px.assign(img.px.end() - long(3072) * 1000 * 3, img.px.end());
    PngImage refTop = *ref, refBottom = *ref;
    refTop.height = refBottom.height = 1000;
    refTop.samples.resize(std::size_t(3072) * 1000 * ref->channels);
    refBottom.samples.assign(ref->samples.end() - long(3072) * 1000 * ref->channels, ref->samples.end());
    const double dbTop = psnr(top, refTop), dbBottom = psnr(bottom, refBottom);
    EXPECT_GT(dbTop, dbBottom + 3) << dbTop << " / " << dbBottom;

    pcdDecode cutBase;
    ASSERT_TRUE(cutBase.parseFile(p->image("IMG0004.PCD").c_str(), "", 4));
    EXPECT_EQ(cutBase.getErrorString(), "");
    EXPECT_EQ(cutBase.resolution(), 1);
    EXPECT_EQ(cutBase.baseLevelRead(), 1);
    EXPECT_EQ(decodeRgb8(cutBase).width, 384);
}

TEST(PcdData, OtherWritersFiles) {
    REQUIRE_PACKS(p);
    const std::string hopper = p->root + "/pcd/hopper.pcd";
    for (int level = 0; level <= 2; ++level) {
        SCOPED_TRACE(level);
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(hopper.c_str(), "", level)) << d.getErrorString();
        EXPECT_EQ(d.resolution(), level);
        const Rgb8 img = decodeRgb8(d);
        ASSERT_EQ(img.width, 192 << level);
        // A real picture: not flat.
        const auto [lo, hi] = std::minmax_element(img.px.begin(), img.px.end());
        EXPECT_GT(*hi - *lo, 100);
    }
    // Asking more of it than Base gives Base.
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(hopper.c_str(), "", 4));
    EXPECT_EQ(d.resolution(), 2);

    pcdDecode header;
    EXPECT_FALSE(header.parseFile((p->root + "/pcd/exiftool_PhotoCD_header_only.pcd").c_str(), "", 0));
    EXPECT_EQ(header.getErrorString(), "PCD file is too small to be valid");
    std::string name, value;
    ASSERT_TRUE(header.getMetadataItem(5, name, value));
    EXPECT_EQ(value, "080/11 SPD 0100");
    ASSERT_TRUE(header.getMetadataItem(0, name, value));
    EXPECT_EQ(value, "0.6");
    EXPECT_EQ(header.getWidth(), 0);
    std::vector<std::uint16_t> px(192 * 128 * 3, 7);
    EXPECT_FALSE(header.readImage(px.data(), px.data() + 1, px.data() + 2, nullptr, 3));
    EXPECT_EQ(px[0], 7);
}

// Damaged copies of the pack end with an error text or an image, never a
// crash (the sanitizer build runs this too).
TEST(PcdData, DamagedCopies) {
    REQUIRE_PACKS(p);
    std::ifstream in(p->image("IMG0001.PCD"), std::ios::binary);
    const std::vector<std::uint8_t> pack((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    ASSERT_GT(pack.size(), 1000000u);
    ScratchDir dir;
    const std::string path = dir.file("DAMAGED.PCD");
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    const long s = long(pack[2048 + 1539]) << 8 | pack[2048 + 1540];
    // Where to damage: header, Base, the 4Base tables and rows, 16Base.
    const std::size_t regions[][2] = {{2048, 4096},
                                      {96 * 2048, 384 * 2048},
                                      {388 * 2048, 389 * 2048},
                                      {389 * 2048, 600 * 2048},
                                      {std::size_t(s + 12) * 2048, pack.size()}};
    int images = 0, failures = 0;
    for (int round = 0; round < 24; ++round) {
        std::vector<std::uint8_t> copy = pack;
        const auto &r = regions[round % 5];
        if (round % 3 == 0) {
            copy.resize(r[0] + next() % (r[1] - r[0]));
        } else {
            for (int k = 0; k < 1 + round; ++k)
                copy[r[0] + next() % (r[1] - r[0])] ^= std::uint8_t(1 << (next() % 8));
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(copy.data()), long(copy.size()));
        pcdDecode d;
        if (!d.parseFile(path.c_str(), "", 1 + round % 4)) {
            EXPECT_NE(d.getErrorString(), "");
            ++failures;
            continue;
        }
        const Rgb8 img = decodeRgb8(d);
        EXPECT_EQ(img.width, d.getWidth());
        ++images;
    }
    EXPECT_GT(images, 0);
}

} // namespace
} // namespace orvanta::test
