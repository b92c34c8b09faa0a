#include "DocumentSandbox.h"
#include "color/ProfileManager.h"
#include "document/MyDocument.h"
#include "input/DngFixture.h"
#include "input/ImageWrapper.h"
#include "platform/ImagePropertyKeys.h"

#include <ImfChannelList.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <tiffio.h>

using namespace orvanta;
namespace ip = imageprops;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

std::string sceneDng() {
    static const std::string path = [] {
        test::DngLayout layout;
        layout.width = 600;
        layout.height = 400;
        const std::string p = test::documentSandbox().file("scene.dng");
        EXPECT_TRUE(test::writeCfaDng(p, layout));
        return p;
    }();
    return path;
}

std::shared_ptr<MyDocument> openScene() {
    auto doc = MyDocument::create();
    Error error;
    EXPECT_TRUE(doc->readFromURL(sceneDng(), "", &error)) << error.reason;
    return doc;
}

struct Tiff {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint16_t> rgb;
};

Tiff readTiff(const std::string &path) {
    Tiff t;
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return t;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &t.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &t.height);
    t.rgb.resize(static_cast<std::size_t>(t.width) * t.height * 3);
    for (std::uint32_t y = 0; y < t.height; ++y)
        TIFFReadScanline(tif, t.rgb.data() + static_cast<std::size_t>(y) * t.width * 3, y, 0);
    TIFFClose(tif);
    return t;
}

} // namespace

TEST(Export, TypesIndicesAndMenu) {
    const struct {
        std::int64_t index;
        const char *type;
        int exr;
    } cases[] = {
        {0, "public.jpeg", 0},           {1, "public.tiff", 0},           {2, "com.adobe.dng", 0},
        {3, "com.ilm.openexr-image", 0}, {4, "com.ilm.openexr-image", 2}, {5, "com.ilm.openexr-image", 1},
        {6, "com.ilm.openexr-image", 3}, {9, "public.jpeg", 0},           {-1, "public.jpeg", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(MyDocument::exportTypeForIndex(c.index), c.type) << c.index;
        EXPECT_EQ(MyDocument::exrCodeForIndex(c.index), c.exr) << c.index;
    }
    EXPECT_EQ(MyDocument::ExportFileTypeMenuList().size(), 7u);
    EXPECT_EQ(MyDocument::ExportFileTypeMenuList()[6], "EXR 32-bit RGB");
}

TEST(Export, EveryTypeAndTheCropFlip) {
    ASSERT_TRUE(kSandboxed);
    auto doc = openScene();
    const Rect whole(-1, -1, -1, -1);
    Error error;
    const std::string tif = test::documentSandbox().file("whole.tif");
    ASSERT_TRUE(doc->exportToURL(tif, "public.tiff", whole, false, &error)) << error.reason;
    const Tiff full = readTiff(tif);
    ASSERT_EQ(full.width, 600u);
    ASSERT_EQ(full.height, 400u);
    // A crop is given with a top-left origin: its first pixel is the whole
    // image's (10, 20).
    const std::string cropped = test::documentSandbox().file("crop.tif");
    ASSERT_TRUE(doc->exportToURL(cropped, "public.tiff", Rect(10, 20, 300, 200), false, &error))
        << error.reason;
    const Tiff part = readTiff(cropped);
    ASSERT_EQ(part.width, 300u);
    ASSERT_EQ(part.height, 200u);
    for (const auto &[x, y] : {std::pair{0, 0}, {150, 100}, {299, 199}})
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(part.rgb[(static_cast<std::size_t>(y) * 300 + x) * 3 + c],
                      full.rgb[(static_cast<std::size_t>(y + 20) * 600 + x + 10) * 3 + c])
                << x << "," << y;

    // JPEG at the settings' quality, with the software entry.
    doc->setValue(Value(7.0f), "Orvanta_JPEGQuality");
    ASSERT_TRUE(
        doc->exportToURL(test::documentSandbox().file("out.jpg"), "public.jpeg", whole, false, &error))
        << error.reason;
    const Dictionary &meta = doc->displayEngine()->rawFileWrapper()->metaData();
    EXPECT_FLOAT_EQ(meta.floatFor(ip::kLossyCompressionQuality), 0.7f);
    EXPECT_EQ(meta.intFor(ip::kOrientation), 1);
    EXPECT_EQ(meta.get(ip::kTIFFDictionary)->dictionary()->stringFor(ip::kTIFFSoftware), "Orvanta V0.1.0");

    // DNG, and OpenEXR with the format of the export type index.
    ASSERT_TRUE(
        doc->exportToURL(test::documentSandbox().file("out.dng"), "com.adobe.dng", whole, false, &error))
        << error.reason;
    doc->setValue(Value(std::int32_t{4}), "Orvanta_ExportFileType");
    const std::string exr = test::documentSandbox().file("out.exr");
    ASSERT_TRUE(doc->exportToURL(exr, "com.ilm.openexr-image", whole, false, &error)) << error.reason;
    Imf::InputFile in(exr.c_str());
    EXPECT_FALSE(in.header().channels().findChannel("A")) << "type 4: half RGB";
    EXPECT_EQ(in.header().channels().findChannel("R")->type, Imf::HALF);
}

TEST(Export, ThePipelineGoesBackToDisplayUnlessReleased) {
    ASSERT_TRUE(kSandboxed);
    auto doc = openScene();
    doc->documentIsForDisplay(true);
    auto engine = doc->displayEngine();
    auto &pm = ProfileManager::sharedManager();
    Error error;
    ASSERT_TRUE(
        doc->exportToURL(test::documentSandbox().file("a.jpg"), "public.jpeg", Rect(), false, &error));
    EXPECT_EQ(engine->delegate().get(), doc.get());
    EXPECT_EQ(engine->renderingSpace(), pm.getProPhotoGamma1_D65Profile());
    ASSERT_TRUE(doc->exportToURL(test::documentSandbox().file("b.jpg"), "public.jpeg", Rect(), true, &error));
    EXPECT_FALSE(engine->delegate()) << "the caller closes the document";
    EXPECT_EQ(engine->renderingSpace(), pm.getSRGBProfile());
}

TEST(Export, FailuresCarryTheirCodes) {
    ASSERT_TRUE(kSandboxed);
    Error error;
    EXPECT_FALSE(MyDocument::create()->exportToURL("/tmp/x.jpg", "public.jpeg", Rect(), false, &error));
    EXPECT_EQ(error.code, -7);
    EXPECT_EQ(error.reason, "Internal Error - finalCGImage does not exist");
    auto doc = openScene();
    EXPECT_FALSE(doc->exportToURL("/no/such/folder/x.dng", "com.adobe.dng", Rect(), false, &error));
    EXPECT_EQ(error.code, -13);
    EXPECT_EQ(error.reason, "Could not open file.");
    EXPECT_FALSE(doc->exportToURL("/no/such/folder/x.jpg", "public.jpeg", Rect(), false, &error));
    EXPECT_EQ(error.code, -11);
    EXPECT_EQ(error.reason, "Could not create output destination");
}
