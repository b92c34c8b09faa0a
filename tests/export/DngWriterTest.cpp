#include "TestSupport.h"
#include "color/ColorTransform.h"
#include "color/ProfileManager.h"
#include "export/dngWrapper.h"
#include "export/pcdToDNG.h"
#include "input/RawWrapper.h"
#include "platform/ImagePropertyKeys.h"

#include <cmath>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <gtest/gtest.h>
#include <tiffio.h>

using namespace orvanta;
namespace ip = imageprops;

namespace {

test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}

// Linear ProPhoto (D50) test picture: ramps and a few flat patches.
std::vector<std::uint16_t> picture(int w, int h) {
    std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint16_t *p = &px[(static_cast<std::size_t>(y) * w + x) * 3];
            const double u = double(x) / w, v = double(y) / h;
            p[0] = static_cast<std::uint16_t>(65535 * (0.05 + 0.5 * u));
            p[1] = static_cast<std::uint16_t>(65535 * (0.05 + 0.4 * v));
            p[2] = static_cast<std::uint16_t>(65535 * (0.2 + 0.1 * std::sin(8 * u)));
        }
    return px;
}

const Dictionary kMeta{
    {ip::kTIFFDictionary, Dictionary{{ip::kTIFFMake, "Maker"},
                                     {ip::kTIFFModel, "Model 1"},
                                     {ip::kTIFFCopyright, "(c) Someone"},
                                     {ip::kTIFFDateTime, "2026:12:11 09:30:00"}}},
    {ip::kExifDictionary, Dictionary{{ip::kExifExposureTime, 0.01},
                                     {ip::kExifFNumber, 4.0},
                                     {ip::kExifISOSpeedRatings, Array{Value(200), Value(400)}},
                                     {ip::kExifFlash, 16},
                                     {ip::kExifUserComment, "hello"}}},
    {ip::kExifAuxDictionary, Dictionary{{ip::kExifAuxLensModel, "50mm f/1.8"}}},
};

} // namespace

TEST(DngWriter, ADngThatOtherReadersDevelopToOurColours) {
    const int W = 300, H = 200;
    const auto px = picture(W, H);
    const std::string path = sandbox().file("out.dng");
    dngWrapper writer(W, H);
    ASSERT_EQ(writer.writeToFile(px.data(), 0, path, std::nullopt, kMeta, "com.adobe.dng"), 0u);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::others_read)
        << "an ordinary file, not a private temporary one";

    // EXIF as another reader sees it.
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    Exiv2::ExifData &exif = image->exifData();
    EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Maker");
    EXPECT_EQ(exif["Exif.Image.UniqueCameraModel"].toString(), "Maker Model 1");
    EXPECT_EQ(exif["Exif.Image.Copyright"].toString(), "(c) Someone");
    EXPECT_NEAR(exif["Exif.Photo.ExposureTime"].toFloat(), 0.01, 1e-6);
    EXPECT_NEAR(exif["Exif.Photo.FNumber"].toFloat(), 4.0, 1e-6);
    EXPECT_EQ(exif["Exif.Photo.ISOSpeedRatings"].toLong(), 200) << "the first of an array";
    EXPECT_EQ(exif["Exif.Photo.LensModel"].toString(), "50mm f/1.8");
    EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:12:11 09:30:00");
    EXPECT_EQ(exif["Exif.Image.CalibrationIlluminant1"].toLong(), 23);

    // The layout: an 8-bit preview in IFD 0, the linear raw image below it.
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    ASSERT_TRUE(tif);
    std::uint32_t pw = 0, ph = 0;
    std::uint16_t bits = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &pw);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &ph);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    EXPECT_EQ(pw, 256u);
    EXPECT_EQ(ph, 170u);
    EXPECT_EQ(bits, 8);
    TIFFClose(tif);

    // Developed by LibRaw back to linear ProPhoto, the pixels match ours.
    rawWrapper raw(path, path);
    const std::uint16_t *master = raw.masterImageBytes();
    ASSERT_TRUE(master) << (raw.error() ? raw.error()->reason : "");
    ASSERT_EQ(raw.imageWidth(), W);
    ASSERT_EQ(raw.imageHeight(), H);
    // Ours are D50 ProPhoto; the wrapper hands over D65 ProPhoto.
    auto &pm = ProfileManager::sharedManager();
    auto toD65 = ColorTransform::create(pm.getProPhotoGamma1Profile(), pm.getProPhotoGamma1_D65Profile());
    ASSERT_TRUE(toD65);
    double worst = 0;
    for (int y = 10; y < H; y += 37)
        for (int x = 10; x < W; x += 41) {
            const std::uint16_t *p = &px[(static_cast<std::size_t>(y) * W + x) * 3];
            float want[4] = {p[0] / 65535.0f, p[1] / 65535.0f, p[2] / 65535.0f, 1};
            toD65->convert(want, 16, want, 16, 1, 1);
            const std::uint16_t *got = master + (static_cast<std::size_t>(y) * W + x) * 3;
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(got[c] / 65535.0 - want[c]) / std::max(0.05f, want[c]));
        }
    EXPECT_LT(worst, 0.01) << "relative difference";

    // And by LibRaw's own developer: linear 16-bit ProPhoto, no white
    // balance change, no auto-brightening, bilinear (no mosaic to interpolate).
    const std::string developed = path + ".tiff";
    test::runCommand("dcraw_emu -4 -T -o 4 -w -W -q 0 '" + path + "' 2>&1");
    if (TIFF *dev = TIFFOpen(developed.c_str(), "r")) {
        std::uint32_t dw = 0, dh = 0;
        TIFFGetField(dev, TIFFTAG_IMAGEWIDTH, &dw);
        TIFFGetField(dev, TIFFTAG_IMAGELENGTH, &dh);
        ASSERT_EQ(dw, static_cast<std::uint32_t>(W));
        ASSERT_EQ(dh, static_cast<std::uint32_t>(H));
        std::vector<std::uint16_t> row(static_cast<std::size_t>(W) * 3);
        double worstEmu = 0;
        for (int y = 10; y < H; y += 37) {
            ASSERT_EQ(TIFFReadScanline(dev, row.data(), static_cast<std::uint32_t>(y), 0), 1);
            for (int x = 10; x < W; x += 41)
                for (int c = 0; c < 3; ++c) {
                    const double want = px[(static_cast<std::size_t>(y) * W + x) * 3 + c] / 65535.0;
                    worstEmu = std::max(worstEmu, std::fabs(row[3 * x + c] / 65535.0 - want));
                }
        }
        TIFFClose(dev);
        // LibRaw's own ProPhoto output takes its colours through its sRGB
        // matrices: greys agree to 0.5 %, saturated colours to about 1.5 %
        // of full scale.
        std::printf("dcraw_emu: worst difference %.4f of full scale\n", worstEmu);
        EXPECT_LT(worstEmu, 0.02);
    } else {
        ADD_FAILURE() << "dcraw_emu wrote no TIFF";
    }

    const std::string tags = test::runCommand("exiv2 -pt '" + path + "' 2>&1");
    EXPECT_NE(tags.find("Exif.Photo.ExposureTime"), std::string::npos) << tags;
    EXPECT_NE(tags.find("Exif.Image.ColorMatrix1"), std::string::npos) << tags;
    const std::string info = test::runCommand("raw-identify -v '" + path + "' 2>&1");
    EXPECT_NE(info.find("Maker"), std::string::npos) << info;
}

TEST(DngWriter, TiffIsRenderedSixteenBitProPhotoWithItsProfile) {
    const int W = 120, H = 80;
    const auto px = picture(W, H);
    const std::string path = sandbox().file("out.tif");
    dngWrapper writer(W, H);
    ASSERT_EQ(writer.writeToFile(px.data(), 0, path, std::nullopt, {}, "public.tiff"), 0u);
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    ASSERT_TRUE(tif);
    std::uint16_t bits = 0, samples = 0, photometric = 0;
    std::uint32_t iccSize = 0;
    void *icc = nullptr;
    char *make = nullptr;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc));
    ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_MAKE, &make));
    EXPECT_STREQ(make, "Dizez Iruz app") << "no metadata: the writer's own name";
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
    EXPECT_GT(iccSize, 0u);
    // A mid grey is toned and encoded as a DNG reader renders it.
    std::vector<std::uint16_t> row(static_cast<std::size_t>(W) * 3);
    ASSERT_EQ(TIFFReadScanline(tif, row.data(), 40, 0), 1);
    TIFFClose(tif);
    const std::uint16_t *p = &px[(static_cast<std::size_t>(40) * W + 60) * 3];
    const float lin[3] = {p[0] / 65535.0f, p[1] / 65535.0f, p[2] / 65535.0f};
    float toned[3];
    pcdToDNG::renderDefault(lin, toned);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(row[60 * 3 + c] / 65535.0, pcdToDNG::prophotoEncode(toned[c]), 2e-4);
    const std::string info = test::runCommand("tiffinfo '" + path + "' 2>&1");
    EXPECT_NE(info.find("Bits/Sample: 16"), std::string::npos) << info;
    EXPECT_NE(info.find("ICC Profile"), std::string::npos) << info;
}

TEST(DngWriter, CodesAndMessages) {
    std::vector<std::uint16_t> one(3, 0);
    dngWrapper huge(70000, 70000);
    EXPECT_EQ(huge.writeToFile(one.data(), 0, sandbox().file("big.tif"), std::nullopt, {}, "public.tiff"),
              100014u);
    EXPECT_EQ(huge.errorStringForCode(100014), "Image is too big to save as TIFF.");
    EXPECT_EQ(huge.writeToFile(one.data(), 0, sandbox().file("big.dng"), std::nullopt, {}, "com.adobe.dng"),
              100013u);
    EXPECT_FALSE(std::filesystem::exists(sandbox().file("big.dng")));
    EXPECT_EQ(huge.errorStringForCode(100000), "Logic or program error or other unclassifiable error.");
    EXPECT_EQ(huge.errorStringForCode(0), "No error. Success.");

    const auto px = picture(16, 16);
    dngWrapper small(16, 16);
    EXPECT_EQ(small.writeToFile(px.data(), 0, "/no/such/folder/x.dng", std::nullopt, {}, "com.adobe.dng"),
              100008u);
    EXPECT_EQ(small.writeToFile(px.data(), 0, sandbox().file("x.png"), std::nullopt, {}, "public.png"),
              100000u);
    EXPECT_EQ(small.writeToFile(nullptr, 0, sandbox().file("y.dng"), std::nullopt, {}, "com.adobe.dng"),
              100006u);
}
