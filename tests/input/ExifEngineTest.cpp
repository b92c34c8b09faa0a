#include "input/ExifEngine.h"

#include "TestSupport.h"
#include "TiffFixture.h"
#include "platform/ImagePropertyKeys.h"

#include <cmath>
#include <gtest/gtest.h>
#include <libraw/libraw.h>

using namespace orvanta;
namespace ip = orvanta::imageprops;

namespace {

// Runs the raw decoder library's parser over bytes with the reader attached.
Dictionary readThroughLibRaw(const std::vector<std::uint8_t> &file) {
    exifEngine engine;
    LibRaw raw;
    raw.set_exifparser_handler(&exifEngine::libRawCallback, &engine);
    raw.open_buffer(const_cast<std::uint8_t *>(file.data()), file.size());
    return engine.dictionary().value_or(Dictionary{});
}

const Value *sub(const Dictionary &d, const char *group, const char *key) {
    const Value *g = d.find(group);
    return g && g->dictionary() ? g->dictionary()->find(key) : nullptr;
}

std::vector<std::uint8_t> jpegWithExif(const std::vector<std::uint8_t> &tiff) {
    std::vector<std::uint8_t> j = {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 'J', 'F'}; // a short APP0 first
    const std::size_t len = 2 + 6 + tiff.size();
    j.insert(j.end(),
             {0xFF, 0xE1, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len & 0xff)});
    j.insert(j.end(), {'E', 'x', 'i', 'f', 0, 0});
    j.insert(j.end(), tiff.begin(), tiff.end());
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

} // namespace

TEST(ExifEngine, ReadsACameraFileInBothByteOrdersThroughTheLibrary) {
    for (bool little : {true, false})
        for (bool thumbnailFirst : {true, false}) {
            SCOPED_TRACE(std::string(little ? "II" : "MM") +
                         (thumbnailFirst ? " thumbnail first" : " main first"));
            const Dictionary d = readThroughLibRaw(test::cameraTiff(little, thumbnailFirst));
            EXPECT_EQ(d.intFor(ip::kPixelWidth), 6000) << "the largest image wins";
            EXPECT_EQ(d.intFor(ip::kPixelHeight), 4000);
            ASSERT_TRUE(sub(d, ip::kTIFFDictionary, ip::kTIFFMake));
            EXPECT_EQ(*sub(d, ip::kTIFFDictionary, ip::kTIFFMake)->string(), "Orvanta Optics");
            EXPECT_EQ(*sub(d, ip::kTIFFDictionary, ip::kTIFFModel)->string(), "Fixture One");
            EXPECT_EQ(*sub(d, ip::kTIFFDictionary, ip::kTIFFDateTime)->string(), "2026:12:11 10:20:30");
            EXPECT_DOUBLE_EQ(*sub(d, ip::kExifDictionary, ip::kExifExposureTime)->toDouble(), 1.0 / 250);
            EXPECT_DOUBLE_EQ(*sub(d, ip::kExifDictionary, ip::kExifFNumber)->toDouble(), 5.6);
            EXPECT_DOUBLE_EQ(*sub(d, ip::kExifDictionary, ip::kExifExposureBiasValue)->toDouble(), -1.0 / 3);
            const Value *iso = sub(d, ip::kExifDictionary, ip::kExifISOSpeedRatings);
            ASSERT_TRUE(iso && iso->isArray()) << "ISO is always an array";
            EXPECT_EQ(*iso, Value(Array{200}));
            EXPECT_EQ(*sub(d, ip::kExifDictionary, ip::kExifVersion), Value(Array{2, 3}));
            EXPECT_EQ(*sub(d, ip::kExifDictionary, ip::kExifDateTimeOriginal)->string(),
                      "2026:12:11 10:20:29");
            EXPECT_EQ(sub(d, ip::kExifDictionary, ip::kExifUserComment), nullptr)
                << "a blank comment is no entry";
            const Value *lat = sub(d, ip::kGPSDictionary, ip::kGPSLatitude);
            ASSERT_TRUE(lat);
            EXPECT_NEAR(*lat->toDouble(), 52.51, 1e-12);
            EXPECT_NEAR(*sub(d, ip::kGPSDictionary, ip::kGPSLongitude)->toDouble(), 13.4, 1e-12);
            EXPECT_EQ(*sub(d, ip::kGPSDictionary, ip::kGPSLatitudeRef)->string(), "N");
            EXPECT_EQ(*sub(d, ip::kGPSDictionary, ip::kGPSTimeStamp)->string(), " 9: 5:3.00");
            EXPECT_EQ(*sub(d, ip::kGPSDictionary, ip::kGPSDateStamp)->string(), "2026:12:11");
            EXPECT_EQ(d.find(ip::kDepth)->array()->size(), 3u);
        }
}

TEST(ExifEngine, ValueKinds) {
    struct Case {
        const char *name;
        unsigned tag;
        int type;
        std::vector<std::uint8_t> bytes;
        std::uint32_t count;
        Value expected; // the null marker: no entry
    } cases[] = {
        {"version 0221", 36864, 7, {'0', '2', '2', '1'}, 4, Value(Array{2, 21})},
        {"flashpix 0100", 40960, 7, {'0', '1', '0', '0'}, 4, Value(Array{1, 0})},
        {"comment ascii", 37510, 7, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'h', 'i', ' ', 0}, 12, Value("hi")},
        {"comment unicode",
         37510,
         7,
         {'U', 'N', 'I', 'C', 'O', 'D', 'E', 0, 'o', 0, 'k', 0},
         12,
         Value("ok")},
        {"comment too short", 37510, 7, {'A', 'S', 'C', 'I', 'I', 0, 0, 0}, 8, Value()},
        {"empty ascii", 271, 2, {0}, 1, Value()},
        {"ascii cut at nul", 271, 2, {'A', 0, 'B', 0}, 4, Value("A")},
        {"byte array", 41730, 7, {0, 1, 1, 2}, 4, Value(Array{0, 1, 1, 2})},
        {"one byte", 41728, 7, {3}, 1, Value(3)},
        {"zero denominator", 33437, 5, {5, 0, 0, 0, 0, 0, 0, 0}, 1, Value(0.0)},
        {"ifd type", 271, 13, {1, 0, 0, 0}, 1, Value()},
        {"not stored", 274, 3, {1, 0}, 1, Value()},
        {"unknown tag", 65000, 3, {1, 0}, 1, Value()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exifEngine e;
        e.setByteOrder(true);
        MemoryExifSource src(c.bytes.data(), c.bytes.size());
        e.recordTag(src, c.tag, c.type, c.count, exifEngine::kTIFFDirectory);
        EXPECT_EQ(src.tell(), 0) << "the file is left where it was";
        auto d = e.dictionary();
        if (c.expected.isNull()) {
            EXPECT_FALSE(d) << d->begin()->first;
            continue;
        }
        ASSERT_TRUE(d);
        const Value *found = nullptr;
        for (const auto &[k, v] : *d) {
            if (v.dictionary())
                for (const auto &[k2, v2] : *v.dictionary())
                    found = &v2;
            else
                found = &v;
        }
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, c.expected) << found->description();
    }
}

TEST(ExifEngine, OversizedAndTruncatedValuesAreSkipped) {
    const std::vector<std::uint8_t> bytes = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 0};
    for (std::uint32_t count : {9u, 1u << 31, 0xFFFFFFFFu}) {
        exifEngine e;
        MemoryExifSource src(bytes.data(), bytes.size());
        e.recordTag(src, 271, 2, count, exifEngine::kTIFFDirectory);
        e.recordTag(src, 256, 4, count, exifEngine::kTIFFDirectory);
        e.recordTag(src, 2, 5, count, exifEngine::kGPSDirectory);
        EXPECT_FALSE(e.dictionary()) << count;
    }
    // The same tag within the file is read.
    exifEngine e;
    MemoryExifSource src(bytes.data(), bytes.size());
    e.recordTag(src, 271, 2, 8, exifEngine::kTIFFDirectory);
    ASSERT_TRUE(e.dictionary());
}

TEST(ExifEngine, EmbeddedJpegExifIsParsed) {
    test::TiffBuilder inner(false);
    const int ifd0 = inner.addIfd(), exif = inner.addIfd();
    inner.ascii(ifd0, 271, "Embedded Make");
    inner.pointer(ifd0, 34665, exif);
    inner.shorts(exif, 34855, {800});
    const std::vector<std::uint8_t> jpeg = jpegWithExif(inner.build());

    test::TiffBuilder outer(true);
    const int o = outer.addIfd();
    outer.ascii(o, 272, "Outer Model");
    outer.undefined(o, 46, jpeg);
    const Dictionary d = readThroughLibRaw(outer.build());
    ASSERT_TRUE(sub(d, ip::kTIFFDictionary, ip::kTIFFMake));
    EXPECT_EQ(*sub(d, ip::kTIFFDictionary, ip::kTIFFMake)->string(), "Embedded Make");
    EXPECT_EQ(*sub(d, ip::kTIFFDictionary, ip::kTIFFModel)->string(), "Outer Model");
    EXPECT_EQ(*sub(d, ip::kExifDictionary, ip::kExifISOSpeedRatings), Value(Array{800}));
}

TEST(ExifEngine, MalformedEmbeddedTiffKeepsWhatCouldBeRead) {
    const std::vector<std::uint8_t> good = [] {
        test::TiffBuilder b(true);
        const int i = b.addIfd();
        b.ascii(i, 271, "Make Here");
        b.ascii(i, 272, "Model Here");
        return b.build();
    }();
    struct Case {
        const char *name;
        std::vector<std::uint8_t> data;
        const char *status;
        int stored;
    } cases[] = {
        {"too small", {'I', 'I', 42, 0}, "TIFF file is too small to be valid", 0},
        {"bad magic", {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0}, "File magic number did not match", 0},
        {"bad order", {'X', 'X', 42, 0, 8, 0, 0, 0, 0, 0}, "File magic number did not match", 0},
        {"ifd past end", {'I', 'I', 42, 0, 0xff, 0xff, 0, 0, 0, 0}, "IFD Offset could not be read", 0},
        {"entries past end", {'I', 'I', 42, 0, 8, 0, 0, 0, 0x30, 0}, "IFD could not be read", 0},
        {"whole", good, "ok", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        exifEngine e;
        EXPECT_EQ(e.parseEmbeddedTiff(c.data.data(), c.data.size()), c.status);
        const auto d = e.dictionary();
        const int stored = d ? static_cast<int>(d->find(ip::kTIFFDictionary)->dictionary()->size()) : 0;
        EXPECT_EQ(stored, c.stored);
    }
    // Cut inside the values: the make survives, the model's value is gone.
    std::vector<std::uint8_t> cut(good.begin(), good.end() - 8);
    exifEngine e;
    e.parseEmbeddedTiff(cut.data(), cut.size());
    ASSERT_TRUE(e.dictionary());
    EXPECT_TRUE(sub(*e.dictionary(), ip::kTIFFDictionary, ip::kTIFFMake));
    EXPECT_FALSE(sub(*e.dictionary(), ip::kTIFFDictionary, ip::kTIFFModel));
}

TEST(ExifEngine, TruncatedFilesThroughTheLibrary) {
    const auto full = test::cameraTiff(true, true);
    for (std::size_t keep : {std::size_t(8), std::size_t(40), full.size() / 2, full.size() - 3}) {
        std::vector<std::uint8_t> part(full.begin(), full.begin() + keep);
        readThroughLibRaw(part); // no crash, no reads past the end (sanitizers watch)
    }
}

TEST(ExifEngine, RealRawFilesAgreeWithTheLibrarysOwnFields) {
    auto dir = test::testDataDir();
    if (!dir) GTEST_SKIP() << "test data not found (set ORVANTA_TESTDATA)";
    int checked = 0;
    for (const char *name : {"raw/RAW_KODAK_DC50.KDC", "raw/Canon_EOS_D30.CRW", "raw/GoPro_HERO8.GPR",
                             "raw/RAW_KODAK_C330_FORMAT_NONE_YRGB.raw"}) {
        SCOPED_TRACE(name);
        const std::string path = *dir + "/" + name;
        if (!test::fileExists(path)) continue;
        exifEngine engine;
        LibRaw raw;
        raw.set_exifparser_handler(&exifEngine::libRawCallback, &engine);
        raw.open_file(path.c_str());
        auto d = engine.dictionary();
        std::printf("%s: %s\n", name, d ? Value(*d).description().c_str() : "(no metadata)");
        if (!d) continue;
        // Where the reader found a make, model, exposure or ISO, it matches
        // what the library itself parsed from the same tags.
        if (const Value *make = sub(*d, ip::kTIFFDictionary, ip::kTIFFMake)) {
            EXPECT_NE(make->string()->find(raw.imgdata.idata.make), std::string::npos);
            ++checked;
        }
        if (const Value *t = sub(*d, ip::kExifDictionary, ip::kExifExposureTime)) {
            EXPECT_NEAR(*t->toDouble(), raw.imgdata.other.shutter, 1e-6);
        }
        if (const Value *iso = sub(*d, ip::kExifDictionary, ip::kExifISOSpeedRatings)) {
            EXPECT_NEAR(*(*iso->array())[0].toDouble(), raw.imgdata.other.iso_speed, 0.5);
        }
        if (const Value *f = sub(*d, ip::kExifDictionary, ip::kExifFNumber)) {
            EXPECT_NEAR(*f->toDouble(), raw.imgdata.other.aperture, 0.05);
        }
    }
    EXPECT_GT(checked, 0) << "at least one real file carries TIFF metadata";
}
