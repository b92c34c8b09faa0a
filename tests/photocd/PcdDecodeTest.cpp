// The decoder on synthetic packs: header checks, metadata, plain levels,
// residual streams, 64Base extension files and the reconstruction.

#include "PcdFixture.h"
#include "PcdTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace orvanta::test {
namespace {

constexpr int kBase16 = 0, kBase4 = 1, kBase = 2, k4Base = 3, k16Base = 4, k64Base = 5;

// Index of an 8-bit luma value with neutral chroma in colour mode 0.
int greyIndex(int y) {
    return std::min(5573 * y >> 10, 1388);
}
std::uint16_t u16(int index) {
    return std::uint16_t(index * 65535 / 1388);
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint16_t> px; // RGB
    std::uint16_t at(int x, int y, int c) const { return px[(std::size_t(y) * width + x) * 3 + c]; }
};

Decoded read16(pcdDecode &d) {
    Decoded out;
    d.postProcess();
    out.width = d.getWidth(), out.height = d.getHeight();
    out.px.assign(std::size_t(out.width) * out.height * 3, 0xDEAD);
    EXPECT_TRUE(d.readImage(out.px.data(), out.px.data() + 1, out.px.data() + 2, nullptr, 3));
    return out;
}

// Residual level blocks with one row of each plane that has a buffer and a
// terminator, so that the levels above Base parse cleanly.
Bytes quietFourBase(std::int8_t value = 0, int pad = 0) {
    return levelBlock(
        1, rowStream({{0, 0, 0, std::vector<std::int8_t>(1536, value)}, {0, 1024, 0, {}}}, false, pad));
}
Bytes quietSixteenBase(std::int8_t value = 0) {
    return levelBlock(3, rowStream({{0, 0, 0, std::vector<std::int8_t>(3072, value)},
                                    {2, 0, 0, std::vector<std::int8_t>(1536, 0)},
                                    {3, 0, 0, std::vector<std::int8_t>(1536, 0)},
                                    {0, 2048, 0, {}}},
                                   false, 3));
}

struct Fixture {
    ScratchDir dir;
    std::string write(const PcdLayout &layout, const std::string &name = "IMG.PCD") {
        const std::string path = dir.file(name);
        EXPECT_TRUE(writeBytes(path, makePcd(layout)));
        return path;
    }
};

TEST(PcdDecode, HeaderChecks) {
    Fixture fx;
    PcdLayout good;
    PcdLayout notPcd;
    notPcd.ipi = false;
    PcdLayout audio;
    audio.interleave = 2;
    PcdLayout unset; // other writers leave the ratio at 0
    unset.interleave = 0;
    PcdLayout shortFile;
    shortFile.truncateAt = 6143;
    const struct {
        const char *name;
        PcdLayout layout;
        bool ok;
        const char *text;
    } cases[] = {
        {"good", good, true, ""},
        {"short", shortFile, false, "PCD file is too small to be valid"},
        {"no marks", notPcd, false, "That is not a valid PCD file"},
        {"audio", audio, false, "The file contains interleaved audio"},
        {"ratio 0", unset, true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pcdDecode d;
        EXPECT_EQ(d.parseFile(fx.write(c.layout).c_str(), "", kBase), c.ok);
        EXPECT_EQ(d.getErrorString(), c.text);
    }
    pcdDecode d;
    EXPECT_FALSE(d.parseFile(fx.dir.file("missing.pcd").c_str(), "", 0));
    EXPECT_EQ(d.getErrorString(), "Could not open PCD file - may be a file permissions problem");
    std::string name, value;
    EXPECT_FALSE(d.getMetadataItem(0, name, value));
    EXPECT_EQ(name, "Error");
    EXPECT_EQ(value, "Error");
}

TEST(PcdDecode, OverviewMarkWithoutInformationSectorIsAccepted) {
    Fixture fx;
    PcdLayout layout;
    layout.opa = true, layout.ipi = false;
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", kBase16));
    for (int i = 0; i < pcdDecode::kMetadataItems; ++i) {
        std::string name, value;
        EXPECT_TRUE(d.getMetadataItem(i, name, value));
        EXPECT_EQ(value, "-") << name;
    }
    EXPECT_EQ(d.getScanTime(), 0u);
}

TEST(PcdDecode, MetadataItems) {
    Fixture fx;
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(fx.write(PcdLayout{}).c_str(), "", kBase16));
    std::string name, value;
    const struct {
        int index;
        const char *name, *value;
    } cases[] = {
        {0, "PCD specification version", "1.0"},
        {3, "Last modification time", "-"}, // 00 00 FF FF: not available
        {4, "Image medium", "color reversal"},
        {5, "Product type", "PHOTO CD"},
        {6, "Scanner vendor identity", "-"},
        {7, "Scanner product identity", "PCD 4045"},
        {14, "Scene balance algorithm revision", "-"}, // no "SBA"
        {17, "Copyright status", "Copyright restrictions not specified"},
        {19, "Compression", "class 1 - 35mm film; pictoral hard copy"},
        {20, "Error", "Error"},
        {-1, "Error", "Error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.index);
        d.getMetadataItem(c.index, name, value);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(value, c.value);
    }
    EXPECT_EQ(d.getScanTime(), 795176800u);
    EXPECT_STREQ(pcdDecode::filmName(578), "KODAK EKTAPRESS PJ800-2");
    EXPECT_STREQ(pcdDecode::filmName(4), "Unknown film");
}

// Each orientation puts the source corners where the turn takes them.
TEST(PcdDecode, OrientationsTurnTheImage) {
    Fixture fx;
    // Distinct luma in the four corners of Base/16, neutral chroma.
    const auto corner = [](int, int plane, int x, int y) -> std::uint8_t {
        if (plane) return plane == 1 ? 156 : 137;
        if (x == 0 && y == 0) return 40;      // top left
        if (x == 191 && y == 0) return 80;    // top right
        if (x == 0 && y == 127) return 120;   // bottom left
        if (x == 191 && y == 127) return 160; // bottom right
        return 200;
    };
    const struct {
        int orientation, width, height;
        int tl, tr, bl, br; // output pixel index of each source corner
    } cases[] = {
        {0, 192, 128, 0, 191, 127 * 192, 128 * 192 - 1},
        {1, 128, 192, 191 * 128, 0, 192 * 128 - 1, 127}, // 90° counter-clockwise
        {2, 192, 128, 128 * 192 - 1, 127 * 192, 191, 0},
        {3, 128, 192, 127, 192 * 128 - 1, 0, 191 * 128}, // 90° clockwise
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.orientation);
        PcdLayout layout;
        layout.attributes = c.orientation;
        layout.pixel = corner;
        pcdDecode d;
        d.setInterpolation(0);
        ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", kBase16));
        EXPECT_EQ(d.getOrientation(), c.orientation);
        const Decoded img = read16(d);
        ASSERT_EQ(img.width, c.width);
        ASSERT_EQ(img.height, c.height);
        const auto grey = [&](int index) { return img.px[std::size_t(index) * 3 + 1]; };
        EXPECT_EQ(grey(c.tl), u16(greyIndex(40)));
        EXPECT_EQ(grey(c.tr), u16(greyIndex(80)));
        EXPECT_EQ(grey(c.bl), u16(greyIndex(120)));
        EXPECT_EQ(grey(c.br), u16(greyIndex(160)));
    }
}

TEST(PcdDecode, PlainImagesThatEndEarly) {
    Fixture fx;
    PcdLayout layout;
    layout.attributes = 0x08; // claims 16Base
    // Base/4 breaks off half-way: Base/16 is delivered without a complaint.
    layout.truncateAt = 23 * 2048 + 40000;
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", kBase));
    EXPECT_EQ(d.getErrorString(), "");
    EXPECT_EQ(d.resolution(), kBase16);
    EXPECT_EQ(d.getWidth(), 192);
    // Inside Base/16 nothing is left.
    layout.truncateAt = 4 * 2048 + 100;
    EXPECT_FALSE(d.parseFile(fx.write(layout).c_str(), "", kBase));
    EXPECT_EQ(d.getErrorString(), "File ended unexpectedly");
    // A request above what the header offers gets the highest level.
    PcdLayout base;
    base.attributes = 0x00;
    ASSERT_TRUE(d.parseFile(fx.write(base).c_str(), "", k16Base));
    EXPECT_EQ(d.resolution(), kBase);
}

TEST(PcdDecode, ColourConversionValues) {
    Fixture fx;
    const struct {
        int y, c1, c2, mode;
        bool lumaOnly;
        int r, g, b; // expected indices
    } cases[] = {
        {255, 156, 137, 0, false, 1387, 1387, 1387},
        {0, 156, 137, 0, false, 0, 0, 0},
        {188, 188, 94, 3, false, 1024, 1024, 512},
        {200, 40, 250, 0, true, greyIndex(200), greyIndex(200), greyIndex(200)},
        {188, 40, 250, 3, true, 1024, 1024, 1024},
        // Strong red difference: R clips at 1388.
        {255, 0, 255, 0, false, 1388,
         std::clamp((5573 * 255 >> 10) + 9085 * -156 / -5278 + 7461 * 118 / -2012, 0, 1388),
         (5573 * 255 - 9085 * 156) >> 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.y << "/" << c.c1 << "/" << c.c2 << " mode " << c.mode);
        PcdLayout layout;
        layout.pixel = [&](int, int plane, int, int) {
            return std::uint8_t(plane == 0 ? c.y : plane == 1 ? c.c1 : c.c2);
        };
        pcdDecode d;
        d.setColorMode(c.mode);
        d.setLumaOnly(c.lumaOnly);
        ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", kBase16));
        const Decoded img = read16(d);
        for (int i : {0, 5000, 192 * 128 - 1}) {
            EXPECT_EQ(img.px[3 * i], u16(c.r));
            EXPECT_EQ(img.px[3 * i + 1], u16(c.g));
            EXPECT_EQ(img.px[3 * i + 2], u16(c.b));
        }
    }
    // The other sample forms use the same indices.
    PcdLayout white;
    white.pixel = [](int, int plane, int, int) {
        return std::uint8_t(plane == 0 ? 255 : plane == 1 ? 156 : 137);
    };
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(fx.write(white).c_str(), "", kBase16));
    std::vector<float> f(192 * 128 * 4);
    std::vector<std::uint8_t> b(192 * 128 * 4);
    ASSERT_TRUE(d.readImage(f.data(), f.data() + 1, f.data() + 2, f.data() + 3, 4));
    ASSERT_TRUE(d.readImage(b.data(), b.data() + 1, b.data() + 2, b.data() + 3, 4));
    EXPECT_FLOAT_EQ(f[0], 1387.0f / 1388.0f);
    EXPECT_EQ(f[3], 1.0f);
    EXPECT_EQ(b[0], 1387 * 255 / 1388);
    EXPECT_EQ(b[3], 255);
}

// Colour modes 1 and 2 linearise (and re-encode) monotonically; the matrix
// applies only to them.
TEST(PcdDecode, LinearisingModes) {
    Fixture fx;
    PcdLayout layout;
    layout.pixel = [](int, int plane, int x, int) {
        return std::uint8_t(plane == 0 ? std::min(255, x * 255 / 180) : plane == 1 ? 156 : 137);
    };
    const std::string path = fx.write(layout);
    std::vector<std::vector<std::uint16_t>> rows;
    for (int mode : {0, 1, 2}) {
        for (int matrix : {0, 1}) {
            pcdDecode d;
            d.setColorMode(mode);
            d.setColorMatrix(matrix);
            ASSERT_TRUE(d.parseFile(path.c_str(), "", kBase16));
            const Decoded img = read16(d);
            std::vector<std::uint16_t> row;
            for (int x = 0; x < 192; ++x)
                row.push_back(img.at(x, 64, 1));
            EXPECT_EQ(row.front(), 0);
            EXPECT_TRUE(std::is_sorted(row.begin(), row.end())) << "mode " << mode;
            for (int x : {40, 120, 191}) {
                if (matrix == 0 || mode == 0) // grey stays grey
                    EXPECT_NEAR(img.at(x, 64, 0), img.at(x, 64, 2), 65535 * 0.01);
                else if (mode == 1) // the matrix weighs red by (5930 − 143 + 393) / 8192
                    EXPECT_NEAR(img.at(x, 64, 0), 6180.0 / 8192 * img.at(x, 64, 2), 65535 * 0.01);
                else
                    EXPECT_LT(img.at(x, 64, 0), img.at(x, 64, 2));
            }
            if (matrix == 0) rows.push_back(row);
        }
    }
    // Linear light sits below the encoded values, and the sRGB re-encoding
    // lifts it above them again in the shadows.
    EXPECT_LT(rows[1][90], rows[0][90]);
    EXPECT_GT(rows[2][30], rows[1][30]);
}

// Chroma of one column differs: how each interpolation mode spreads it.
TEST(PcdDecode, ChromaUpSampling) {
    Fixture fx;
    PcdLayout layout;
    layout.pixel = [](int, int plane, int x, int y) {
        if (plane == 0) return std::uint8_t(128);
        if (plane == 2) return std::uint8_t(137);
        return std::uint8_t(x == 10 && y == 10 ? 220 : 156);
    };
    const std::string path = fx.write(layout);
    // Replication: the sample covers exactly its 2 × 2 pixels.
    pcdDecode rep;
    rep.setInterpolation(0);
    ASSERT_TRUE(rep.parseFile(path.c_str(), "", kBase16));
    const Decoded r = read16(rep);
    const std::uint16_t inside = r.at(20, 20, 2), outside = r.at(19, 20, 2);
    EXPECT_NE(inside, outside);
    for (auto [x, y] : {std::pair{20, 20}, {21, 20}, {20, 21}, {21, 21}})
        EXPECT_EQ(r.at(x, y, 2), inside);
    for (auto [x, y] : {std::pair{19, 20}, {22, 20}, {20, 19}, {20, 22}})
        EXPECT_EQ(r.at(x, y, 2), outside);
    // Bilinear: the neighbours take half of the difference.
    pcdDecode bil;
    bil.setInterpolation(1);
    ASSERT_TRUE(bil.parseFile(path.c_str(), "", kBase16));
    const Decoded b = read16(bil);
    EXPECT_EQ(b.at(20, 20, 2), inside);
    EXPECT_GT(b.at(21, 20, 2), outside);
    EXPECT_LT(b.at(21, 20, 2), inside);
    EXPECT_EQ(b.at(22, 20, 2), outside);
}

// A constant picture stays constant through every up-sampling, edges included.
TEST(PcdDecode, ConstantPlanesStayConstant) {
    Fixture fx;
    PcdLayout layout;
    layout.attributes = 0x04; // 4Base
    layout.pixel = [](int, int plane, int, int) {
        return std::uint8_t(plane == 0 ? 90 : plane == 1 ? 170 : 120);
    };
    layout.fourBase = quietFourBase();
    const std::string path = fx.write(layout);
    for (int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        pcdDecode d;
        d.setInterpolation(mode);
        ASSERT_TRUE(d.parseFile(path.c_str(), "", k4Base)) << d.getErrorString();
        EXPECT_EQ(d.getErrorString(), "");
        const Decoded img = read16(d);
        ASSERT_EQ(img.width, 1536);
        for (std::size_t i = 3; i < img.px.size(); ++i)
            ASSERT_EQ(img.px[i], img.px[i % 3]) << i;
    }
}

// Residual rows start at any bit offset, go where their header says, and a
// code that no table entry covers ends its row without harming the next.
TEST(PcdDecode, ResidualRows) {
    Fixture fx;
    PcdLayout layout;
    layout.attributes = 0x04;
    layout.pixel = [](int, int plane, int, int) {
        return std::uint8_t(plane == 0 ? 100 : plane == 1 ? 156 : 137);
    };
    std::vector<std::int8_t> broken(1536, 5);
    std::vector<ResidualRow> rows = {
        {0, 7, 0, std::vector<std::int8_t>(1536, 20)},
        {2, 4, 0, std::vector<std::int8_t>(768, 90)}, // 4Base chroma: skipped
        {0, 3, 0, std::vector<std::int8_t>(1536, -30)},
        {0, 9, 0, broken},
        {0, 10, 0, std::vector<std::int8_t>(1536, 11)},
        {0, 1024, 0, {}},
    };
    Bytes stream = rowStream(rows, false, 5);
    // Corrupt row 9 at pixel 100 with the all-ones code.
    {
        BitWriter w;
        w.put(0, 5);
        std::size_t bit = 5;
        for (int r = 0; r < 3; ++r)
            bit += 24 + 16 + 9 * rows[r].values.size();
        bit += 24 + 16 + 9 * 100;
        for (int i = 0; i < 9; ++i, ++bit)
            stream[bit / 8] |= std::uint8_t(0x80 >> (bit % 8));
    }
    layout.fourBase = levelBlock(1, stream);
    pcdDecode d;
    d.setInterpolation(0);
    d.setLumaOnly(true);
    ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", k4Base)) << d.getErrorString();
    EXPECT_EQ(d.getErrorString(), "");
    const Decoded img = read16(d);
    const auto luma = [&](int x, int y) { return img.at(x, y, 0); };
    EXPECT_EQ(luma(0, 7), u16(greyIndex(120)));
    EXPECT_EQ(luma(1535, 3), u16(greyIndex(70)));
    EXPECT_EQ(luma(50, 9), u16(greyIndex(105)));
    EXPECT_EQ(luma(99, 9), u16(greyIndex(105)));
    EXPECT_EQ(luma(100, 9), u16(greyIndex(100))); // cleared after the bad code
    EXPECT_EQ(luma(1535, 9), u16(greyIndex(100)));
    EXPECT_EQ(luma(700, 10), u16(greyIndex(111)));
    EXPECT_EQ(luma(700, 8), u16(greyIndex(100)));
}

TEST(PcdDecode, ResidualStreamFailures) {
    Fixture fx;
    PcdLayout layout;
    layout.attributes = 0x04;
    layout.pixel = [](int, int plane, int, int) {
        return std::uint8_t(plane == 0 ? 100 : plane == 1 ? 156 : 137);
    };
    Bytes badTable = quietFourBase();
    badTable[1] = 16; // a code of 17 bits
    Bytes cut = quietFourBase(9);
    cut.resize(2048 + 600); // inside row 0
    Bytes corrupt = levelBlock(1, rowStream({{1, 0, 0, {}}}, false));
    const struct {
        const char *name;
        Bytes block;
        const char *text;
    } cases[] = {
        {"table", badTable, "Huffman code error!!"},
        {"cut", cut, "Unexpected end of file in Huffman sequence"},
        {"plane type 1", corrupt, "Corrupt Image"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        layout.fourBase = c.block;
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(fx.write(layout).c_str(), "", k4Base));
        EXPECT_EQ(d.getErrorString(), c.text);
        EXPECT_EQ(d.resolution(), k4Base);
        EXPECT_EQ(read16(d).width, 1536);
    }
}

struct IpeSet {
    ScratchDir dir;
    std::string image, info;

    // Base constant 100; rows 0–1 of 64Base from the first file (+10),
    // rows 2–3 from the second (+20), three stripes per row.
    explicit IpeSet(bool lowerCase) {
        PcdLayout layout;
        layout.attributes = 0x0C; // 64Base
        layout.pixel = [](int, int plane, int, int) {
            return std::uint8_t(plane == 0 ? 100 : plane == 1 ? 156 : 137);
        };
        layout.fourBase = quietFourBase();
        layout.sixteenBase = quietSixteenBase();
        mkdir(dir.file("IMAGES").c_str(), 0755);
        image = dir.file("IMAGES/IMG0001.PCD");
        EXPECT_TRUE(writeBytes(image, makePcd(layout)));
        const std::string folder = dir.file(lowerCase ? "ipe/img0001/64base" : "IPE/IMG0001/64BASE");
        EXPECT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
        info = folder + (lowerCase ? "/info.ic" : "/INFO.IC");
        IpeLayer layer{6144, 4, 2048, 0, {}};
        const std::string names[2] = {"FIRST.ICR", "SECOND.ICR"};
        for (int f = 0; f < 2; ++f) {
            std::vector<ResidualRow> rows;
            for (int r = 0; r < 2; ++r)
                for (int s = 0; s < 3; ++s)
                    rows.push_back({0, 2 * f + r, s, std::vector<std::int8_t>(2048, 10 * (f + 1))});
            const Bytes data = rowStream(rows, true, 3);
            for (int k = 0; k < 6; ++k)
                layer.entries.push_back({unsigned(f), 0});
            std::string name = names[f];
            if (lowerCase) std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            EXPECT_TRUE(writeBytes(folder + "/" + name, data));
        }
        EXPECT_TRUE(writeBytes(info, makeInfo({layer}, {names[0], names[1]})));
    }
};

// Indices count from 0 into the file list: a list without repeated names
// opens the file each index names.
TEST(PcdDecode, SixtyFourBaseFromTheExtensionFiles) {
    for (bool lowerCase : {false, true}) {
        SCOPED_TRACE(lowerCase);
        IpeSet set(lowerCase);
        pcdDecode d;
        d.setInterpolation(0);
        ASSERT_TRUE(d.parseFile(set.image.c_str(), set.info.c_str(), k64Base));
        EXPECT_EQ(d.getErrorString(), "");
        ASSERT_EQ(d.resolution(), k64Base);
        EXPECT_EQ(d.ipeLayers(), 1);
        EXPECT_EQ(d.ipeFileCount(), 2);
        const Decoded img = read16(d);
        ASSERT_EQ(img.width, 6144);
        for (int y : {0, 1})
            EXPECT_EQ(img.at(6143, y, 1), u16(greyIndex(110)));
        for (int y : {2, 3})
            EXPECT_EQ(img.at(0, y, 1), u16(greyIndex(120)));
        EXPECT_EQ(img.at(3000, 4, 1), u16(greyIndex(100)));
    }
}

// A run that falls short finishes its row of stripes, but a damaged file
// whose stripes never come back up does not keep it reading.
TEST(PcdDecode, ShortRunsFinishTheirStripesOnly) {
    IpeSet set(false);
    std::vector<ResidualRow> rows = {{0, 0, 2, std::vector<std::int8_t>(2048, 10)}};
    for (int r = 1; r <= 40; ++r)
        rows.push_back({0, r, 0, std::vector<std::int8_t>(2048, 10)});
    ASSERT_TRUE(writeBytes(set.dir.file("IPE/IMG0001/64BASE/FIRST.ICR"), rowStream(rows, true)));
    IpeLayer layer{6144, 1, 2048, 0, {{0, 0}, {0, 0}, {0, 0}}}; // a run of two rows
    ASSERT_TRUE(writeBytes(set.info, makeInfo({layer}, {"FIRST.ICR"})));
    pcdDecode d;
    d.setInterpolation(0);
    ASSERT_TRUE(d.parseFile(set.image.c_str(), set.info.c_str(), k64Base));
    EXPECT_EQ(d.getErrorString(), "");
    const Decoded img = read16(d);
    EXPECT_EQ(img.at(4096, 0, 1), u16(greyIndex(110)));
    for (int y : {1, 16})
        EXPECT_EQ(img.at(0, y, 1), u16(greyIndex(110))) << y;
    for (int y : {17, 40})
        EXPECT_EQ(img.at(0, y, 1), u16(greyIndex(100))) << y;
}

TEST(PcdDecode, SixtyFourBaseFailuresDeliverSixteenBase) {
    IpeSet set(false);
    const std::string shortFile = set.dir.file("IPE/IMG0001/64BASE/SHORT.IC");
    writeBytes(shortFile, Bytes(100, 0));
    const struct {
        std::string info;
        const char *text;
    } cases[] = {
        {"", "IPE filename too short to be valid"},
        {set.dir.file("IPE/IMG0001/64BASE/MISSING.IC"), "Could not open 64Base IPE file"},
        {shortFile, "IC File too small while processing 64Base image"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        pcdDecode d;
        ASSERT_TRUE(d.parseFile(set.image.c_str(), c.info.c_str(), k64Base));
        EXPECT_EQ(d.getErrorString(), c.text);
        EXPECT_EQ(d.resolution(), k16Base);
        EXPECT_EQ(d.getWidth(), 3072);
    }
    // An extension file that has gone.
    std::remove(set.dir.file("IPE/IMG0001/64BASE/SECOND.ICR").c_str());
    pcdDecode d;
    ASSERT_TRUE(d.parseFile(set.image.c_str(), set.info.c_str(), k64Base));
    EXPECT_EQ(d.getErrorString(), "Could not open 64Base extension image while processing 64Base image");
    EXPECT_EQ(d.resolution(), k16Base);
}

} // namespace
} // namespace orvanta::test
