#include "export/JpegWriter.h"

#include "TestSupport.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/ProfileManager.h"
#include "platform/FileUtil.h"
#include "platform/ImagePropertyKeys.h"

#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <gtest/gtest.h>
#include <jpeglib.h>

using namespace orvanta;
namespace ip = imageprops;

namespace {

test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}

std::vector<std::uint16_t> gradient(int w, int h) {
    std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint16_t *p = &px[(static_cast<std::size_t>(y) * w + x) * 3];
            p[0] = static_cast<std::uint16_t>(65535 * x / (w - 1));
            p[1] = static_cast<std::uint16_t>(65535 * y / (h - 1));
            p[2] = 30000;
        }
    return px;
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb, icc;
};

Decoded decode(const std::string &path) {
    Decoded d;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return d;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    JOCTET *icc = nullptr;
    unsigned len = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &len)) d.icc.assign(icc, icc + len), std::free(icc);
    jpeg_start_decompress(&cinfo);
    d.width = static_cast<int>(cinfo.output_width), d.height = static_cast<int>(cinfo.output_height);
    d.rgb.resize(static_cast<std::size_t>(d.width) * d.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = d.rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * d.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return d;
}

} // namespace

TEST(JpegWriter, PixelsProfileAndExif) {
    const int W = 96, H = 64;
    const auto px = gradient(W, H);
    const auto icc = ProfileManager::sharedManager().getSRGBProfile()->iccData();
    ASSERT_FALSE(icc.empty());
    const Dictionary meta{
        {ip::kOrientation, 1},
        {ip::kTIFFDictionary, Dictionary{{ip::kTIFFMake, "Maker"},
                                         {ip::kTIFFModel, "Model 1"},
                                         {ip::kTIFFSoftware, "Orvanta V0.1.0"}}},
        {ip::kExifDictionary, Dictionary{{ip::kExifExposureTime, 0.004},
                                         {ip::kExifFNumber, 5.6},
                                         {ip::kExifISOSpeedRatings, Array{Value(200)}},
                                         {ip::kExifDateTimeOriginal, "2026:12:11 09:30:00"}}},
    };
    const std::string path = sandbox().file("out.jpg");
    std::string message;
    ASSERT_TRUE(JpegWriter::write(path, px.data(), W, H, 1.0f, meta, icc, &message)) << message;
    const Decoded d = decode(path);
    ASSERT_EQ(d.width, W);
    ASSERT_EQ(d.height, H);
    EXPECT_EQ(d.icc, icc) << "the sRGB profile is embedded";
    int worst = 0;
    for (std::size_t i = 0; i < px.size(); ++i)
        worst = std::max(worst, std::abs(int(d.rgb[i]) - int((px[i] * 255u + 32767u) / 65535u)));
    EXPECT_LE(worst, 6);

    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    Exiv2::ExifData &exif = image->exifData();
    EXPECT_EQ(exif["Exif.Image.Make"].toString(), "Maker");
    EXPECT_EQ(exif["Exif.Image.Software"].toString(), "Orvanta V0.1.0");
    EXPECT_EQ(exif["Exif.Image.Orientation"].toLong(), 1);
    EXPECT_EQ(exif["Exif.Photo.ISOSpeedRatings"].toLong(), 200);
    EXPECT_NEAR(exif["Exif.Photo.ExposureTime"].toFloat(), 0.004, 1e-6);
    EXPECT_NEAR(exif["Exif.Photo.FNumber"].toFloat(), 5.6, 1e-3);
    EXPECT_EQ(exif["Exif.Photo.DateTimeOriginal"].toString(), "2026:12:11 09:30:00");

    // The quality reaches the encoder.
    const std::string low = sandbox().file("low.jpg");
    ASSERT_TRUE(JpegWriter::write(low, px.data(), W, H, 0.3f, meta, icc, &message));
    EXPECT_LT(std::filesystem::file_size(low), std::filesystem::file_size(path));
    EXPECT_EQ(JpegWriter::libjpegQuality(0.7f), 70);
    EXPECT_EQ(JpegWriter::libjpegQuality(0.0f), 1);
}

TEST(JpegWriter, FailuresLeaveNoFile) {
    const auto px = gradient(16, 16);
    std::string message;
    EXPECT_FALSE(JpegWriter::write("/no/such/folder/x.jpg", px.data(), 16, 16, 1.0f, {}, {}, &message));
    EXPECT_FALSE(message.empty());
    const std::string path = sandbox().file("none.jpg");
    EXPECT_FALSE(JpegWriter::write(path, nullptr, 16, 16, 1.0f, {}, {}, &message));
    EXPECT_FALSE(JpegWriter::write(path, px.data(), 0, 16, 1.0f, {}, {}, &message));
    EXPECT_FALSE(std::filesystem::exists(path));
}
