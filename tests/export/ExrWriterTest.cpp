#include "TestSupport.h"
#include "export/exrWrapper.h"
#include "platform/ImagePropertyKeys.h"

#include <ImfChannelList.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfPreviewImageAttribute.h>
#include <ImfStringAttribute.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <vector>

using namespace orvanta;
namespace ip = imageprops;

namespace {

test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}

std::vector<float> ramp(int w, int h) {
    std::vector<float> px(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float *p = &px[(static_cast<std::size_t>(y) * w + x) * 4];
            p[0] = x / float(w), p[1] = y / float(h), p[2] = 0.25f + 3.0f * (x == 5), p[3] = 0.75f;
        }
    return px;
}

} // namespace

TEST(ExrWriter, FormatsChannelsAndPixels) {
    const int W = 64, H = 48;
    const auto px = ramp(W, H);
    const struct {
        int format;
        Imf::PixelType type;
        bool alpha;
    } cases[] = {{0, Imf::HALF, true},
                 {1, Imf::FLOAT, true},
                 {2, Imf::HALF, false},
                 {3, Imf::FLOAT, false},
                 {9, Imf::HALF, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.format);
        const std::string path = sandbox().file("f" + std::to_string(c.format) + ".exr");
        exrWrapper writer(W, H);
        ASSERT_EQ(writer.writeToFile(px.data(), c.format, path, {}, "com.ilm.openexr-image"), 0u);
        Imf::InputFile in(path.c_str());
        const Imf::Header &h = in.header();
        EXPECT_EQ(h.compression(), Imf::ZIP_COMPRESSION);
        int channels = 0;
        for (auto it = h.channels().begin(); it != h.channels().end(); ++it, ++channels)
            EXPECT_EQ(it.channel().type, c.type) << it.name();
        EXPECT_EQ(channels, c.alpha ? 4 : 3);
        EXPECT_EQ(h.channels().findChannel("A") != nullptr, c.alpha);
        ASSERT_TRUE(h.hasPreviewImage());
        EXPECT_EQ(h.previewImage().width(), 8u);
        EXPECT_EQ(h.previewImage().height(), 6u);
        std::vector<float> back(px.size());
        Imf::FrameBuffer fb;
        for (int ch = 0; ch < 4; ++ch)
            fb.insert(std::string(1, "RGBA"[ch]),
                      Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(back.data() + ch), 16, 16 * W, 1, 1,
                                 ch == 3 ? 1.0 : 0.0));
        in.setFrameBuffer(fb);
        in.readPixels(0, H - 1);
        const float tolerance = c.type == Imf::HALF ? 2e-3f : 0.0f;
        for (std::size_t i = 0; i < px.size(); ++i) {
            const float want = (i % 4 == 3 && !c.alpha) ? 1.0f : px[i];
            ASSERT_NEAR(back[i], want, tolerance * std::max(1.0f, want)) << i;
        }
    }
}

TEST(ExrWriter, MetadataPreviewAndFailures) {
    const Dictionary meta{
        {ip::kTIFFDictionary, Dictionary{{ip::kTIFFMake, "Maker"},
                                         {ip::kTIFFModel, "Model 1"},
                                         {ip::kTIFFArtist, "Someone"},
                                         {ip::kTIFFCopyright, "(c) Someone Else"},
                                         {ip::kTIFFDateTime, "2026:12:11 10:00:00"}}},
        {ip::kExifDictionary, Dictionary{{ip::kExifShutterSpeedValue, 8.0},
                                         {ip::kExifISOSpeedRatings, Array{Value(400), Value(800)}},
                                         {ip::kExifApertureValue, 4.0},
                                         {ip::kExifUserComment, "a comment"}}},
        {ip::kExifAuxDictionary, Dictionary{{ip::kExifAuxLensModel, "50mm"}}},
    };
    const auto px = ramp(7, 16);
    const std::string path = sandbox().file("meta.exr");
    exrWrapper writer(7, 16);
    ASSERT_EQ(writer.writeToFile(px.data(), 0, path, meta, "com.ilm.openexr-image"), 0u);
    Imf::InputFile in(path.c_str());
    const Imf::Header &h = in.header();
    auto text = [&](const char *name) {
        auto *a = h.findTypedAttribute<Imf::StringAttribute>(name);
        return a ? a->value() : std::string("(none)");
    };
    auto number = [&](const char *name) {
        auto *a = h.findTypedAttribute<Imf::FloatAttribute>(name);
        return a ? a->value() : -1.0f;
    };
    EXPECT_EQ(text("make"), "Maker");
    EXPECT_EQ(text("model"), "Model 1");
    EXPECT_EQ(text("owner"), "(c) Someone Else") << "the copyright wins over the artist";
    EXPECT_EQ(text("capDate"), "2026:12:11 10:00:00");
    EXPECT_EQ(text("comments"), "a comment");
    EXPECT_EQ(text("lensModel"), "50mm");
    EXPECT_FLOAT_EQ(number("expTime"), 1.0f / 256);
    EXPECT_FLOAT_EQ(number("isoSpeed"), 400.0f);
    EXPECT_FLOAT_EQ(number("aperture"), 4.0f);
    EXPECT_EQ(h.previewImage().width(), 0u) << "7 pixels wide";
    EXPECT_EQ(exrWrapper::previewValue(0.18f), 84);
    EXPECT_EQ(exrWrapper::previewValue(-1.0f), 0);
    EXPECT_EQ(exrWrapper::previewValue(100.0f), 255);

    // An independent reader agrees.
    const std::string header = test::runCommand("exrheader '" + path + "' 2>&1");
    if (header.find("not found") == std::string::npos && !header.empty()) {
        EXPECT_NE(header.find("zip"), std::string::npos) << header;
        EXPECT_NE(header.find("preview"), std::string::npos) << header;
        EXPECT_NE(header.find("A, 16-bit floating-point"), std::string::npos) << header;
    }

    exrWrapper bad(4, 4);
    const auto small = ramp(4, 4);
    EXPECT_EQ(bad.writeToFile(small.data(), 0, "/no/such/folder/x.exr", {}, ""), 1u);
    EXPECT_FALSE(bad.errorStringForCode(1).empty());
}
