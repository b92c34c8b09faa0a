// The Photo CD wrapper: resolution choice, thumbnails, full-size images in
// the working space, the scanner-profile choice, metadata and parameters.

#include "photocd/dcpWrapper.h"

#include "PcdFixture.h"
#include "TestSupport.h"
#include "color/ProfileManager.h"
#include "platform/ImagePropertyKeys.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace orvanta::test {
namespace {

// The user defaults of this binary live in a scratch folder.
ScratchDir &sandbox() {
    static ScratchDir d;
    static const bool set = [] {
        setenv("XDG_CONFIG_HOME", (d.path() + "/config").c_str(), 1);
        return true;
    }();
    (void)set;
    return d;
}
// Before any test reads a user default.
const bool kSandboxed = (sandbox(), true);

// Sets user defaults for a scope and removes them afterwards.
class Defaults {
public:
    Defaults(std::initializer_list<std::pair<const char *, Value>> values) {
        sandbox();
        for (const auto &[k, v] : values) {
            UserDefaults::standard().set(k, v);
            keys_.push_back(k);
        }
    }
    ~Defaults() {
        for (const auto &k : keys_)
            UserDefaults::standard().remove(k);
    }

private:
    std::vector<std::string> keys_;
};

struct Pack {
    ScratchDir dir;
    std::string path;
    explicit Pack(const PcdLayout &layout) {
        mkdir(dir.file("IMAGES").c_str(), 0755);
        path = dir.file("IMAGES/IMG0001.PCD");
        EXPECT_TRUE(writeBytes(path, makePcd(layout)));
    }
};

PcdLayout rotatedReversal() {
    PcdLayout s;
    s.attributes = 0x01; // turned, Base
    s.film = 447;        // KODAK UNIVERSAL K14 auto-balance
    return s;
}

TEST(DcpWrapper, ThumbnailIsAlwaysBaseSixteen) {
    Defaults d{{"ResolutionSelect", Value(std::int64_t(5))}};
    Pack pack(rotatedReversal());
    dcpWrapper w(pack.path, pack.path, true);
    const auto picture = w.getImageRep();
    ASSERT_TRUE(picture);
    EXPECT_EQ(w.ipeStatus(), 0u);
    EXPECT_EQ(w.resolution(), 0);
    ASSERT_EQ(picture->bitmap->width, 128);
    ASSERT_EQ(picture->bitmap->height, 192);
    EXPECT_EQ(picture->bitmap->bitsPerComponent, 16);
    EXPECT_EQ(picture->colorSpace, ProfileManager::sharedManager().getSRGBProfile());
    const auto *px = reinterpret_cast<const std::uint16_t *>(picture->bitmap->data);
    // Grey 128 with neutral chroma, opaque.
    const std::uint16_t grey = std::uint16_t((5573 * 128 >> 10) * 65535 / 1388);
    for (int i : {0, 1000, 128 * 192 - 1}) {
        EXPECT_EQ(px[4 * i], grey);
        EXPECT_EQ(px[4 * i + 1], grey);
        EXPECT_EQ(px[4 * i + 3], 65535);
    }
    EXPECT_EQ(w.masterImageBytes(), nullptr); // thumbnails have no hand-over block
}

TEST(DcpWrapper, FullSizeImageInTheWorkingSpace) {
    Defaults d{{"ResolutionSelect", Value(std::int64_t(2))}};
    Pack pack(rotatedReversal());
    dcpWrapper w(pack.path, "uuid-1", false);
    EXPECT_FALSE(w.genCIImage());
    const std::uint16_t *px = w.masterImageBytes();
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w.imageWidth(), 512);
    EXPECT_EQ(w.imageHeight(), 768);
    EXPECT_TRUE(w.isOutputReferred());
    EXPECT_EQ(w.bufferProfile(), ProfileManager::sharedManager().getProPhotoGamma1_D65Profile());
    // A neutral grey stays neutral and lands in the linear working space.
    const std::size_t mid = (std::size_t(300) * 512 + 200) * 3;
    EXPECT_GT(px[mid + 1], 1000);
    EXPECT_LT(px[mid + 1], 60000);
    // Another scanner profile converts again.
    const std::vector<std::uint16_t> before(px, px + 30);
    w.setScannerProfile(ProfileManager::sharedManager().getQuenfoldXnProfile());
    const std::uint16_t *again = w.masterImageBytes();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(std::vector<std::uint16_t>(again, again + 30), before);

    const auto params = w.getParameters();
    ASSERT_TRUE(params);
    EXPECT_EQ(params->stringFor("UUID"), "uuid-1");
    EXPECT_EQ(params->intFor("width"), 512);
    EXPECT_EQ(params->stringFor("model"), "PCD 4045");
    EXPECT_NEAR(params->doubleFor("asShotWhitex"), 0.3127, 1e-6);
    EXPECT_NEAR(params->doubleFor("cameraFromXYZ11"), 0.715152, 1e-6);
    EXPECT_EQ(params->intFor("ipeStatus"), 0);
    EXPECT_EQ(params->stringFor("status"), "Ok");
    EXPECT_TRUE(params->contains("cameraMetadata"));
}

TEST(DcpWrapper, ScannerProfileChoice) {
    auto &pm = ProfileManager::sharedManager();
    const struct {
        int medium, film;
        const char *scanner;
        bool automatic;
        std::shared_ptr<ColorSyncProfileWrap> expected;
    } cases[] = {
        {1, 447, "PCD 4045", true, pm.getQuenfold4kProfile()},
        {1, 447, "PCD 2000", true, pm.getQuenfold2kProfile()},
        {1, 523, "PCD 4045", true, pm.getQuenfold4eProfile()}, // KODAK 4050 E6: not K14
        {1, 523, "PCD 2000", true, pm.getQuenfold2eProfile()},
        {1, -1, "PCD 2000", true, pm.getQuenfold2eProfile()}, // no film given
        {0, 469, "PCD 4045", true, pm.getQuenfoldXnProfile()},
        {4, 469, "PCD 4045", true, pm.getQuenfoldXgProfile()},
        {1, 447, "PCD 4045", false, pm.getQuenfoldXgProfile()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.medium << " " << c.film << " " << c.scanner << " " << c.automatic);
        Defaults d{{"AutomaticColorProfile", Value(c.automatic)}};
        PcdLayout layout;
        layout.medium = c.medium, layout.film = c.film, layout.scanner = c.scanner;
        Pack pack(layout);
        dcpWrapper w(pack.path, pack.path, true);
        ASSERT_TRUE(w.preProcess());
        EXPECT_EQ(w.detectScannerProfile(), c.expected);
    }
}

TEST(DcpWrapper, MetadataDictionary) {
    ScopedEnv tz("TZ", "UTC");
    tzset();
    PcdLayout layout;
    layout.film = 447;
    Pack pack(layout);
    dcpWrapper w(pack.path, pack.path, true);
    ASSERT_TRUE(w.preProcess());
    namespace ip = imageprops;
    const Dictionary &meta = w.metaData();
    const Dictionary &exif = *meta.get(ip::kExifDictionary)->dictionary();
    const Dictionary &tiff = *meta.get(ip::kTIFFDictionary)->dictionary();
    EXPECT_EQ(exif.stringFor(ip::kExifDateTimeOriginal), "1995:03:14 10:26:40");
    EXPECT_EQ(exif.stringFor(ip::kExifUserComment),
              "color reversal: KODAK UNIVERSAL K14 auto-balance. SBA settings neutral SBA on, color SBA on");
    EXPECT_EQ(exif.intFor(ip::kExifFileSource), 1);
    EXPECT_EQ(tiff.stringFor("DocumentName"), "IMG0001.PCD");
    EXPECT_EQ(tiff.stringFor(ip::kTIFFSoftware), "Converted from Photo CD format by Quenfold V1.4");
    EXPECT_EQ(tiff.stringFor(ip::kTIFFModel), "PCD 4045");
    EXPECT_EQ(tiff.stringFor(ip::kTIFFDateTime), "1995:03:14 10:26:40");
    EXPECT_EQ(w.metaDataName(16), "Scene balance algorithm film identification");
    EXPECT_EQ(w.metaDataValue(20), "Error");

    // Without a scanning time every date is empty.
    layout.scanTime = 0;
    Pack undated(layout);
    dcpWrapper u(undated.path, undated.path, true);
    ASSERT_TRUE(u.preProcess());
    EXPECT_EQ(u.getEXIFDateTime(), "");
    const Dictionary &uexif = *u.metaData().get(ip::kExifDictionary)->dictionary();
    EXPECT_EQ(uexif.stringFor(ip::kExifDateTimeOriginal), "");
    EXPECT_EQ(uexif.stringFor(ip::kExifDateTimeDigitized), "");
    EXPECT_EQ(u.metaData().get(ip::kTIFFDictionary)->dictionary()->stringFor(ip::kTIFFDateTime), "");
}

TEST(DcpWrapper, FailuresAndTheExtensionStatus) {
    PcdLayout broken;
    broken.truncateAt = 5000;
    Pack bad(broken);
    dcpWrapper w(bad.path, bad.path, true);
    EXPECT_FALSE(w.getImageRep());
    ASSERT_TRUE(w.error());
    EXPECT_EQ(w.error()->domain, "RawOpenErrorDomain");
    EXPECT_EQ(w.error()->code, -15);
    EXPECT_EQ(w.error()->reason, "PCD file is too small to be valid");
    EXPECT_EQ(*w.getErrorString(), "PCD file is too small to be valid");

    // 64Base asked of a pack without extension files: 16Base, no error.
    Defaults d{{"ResolutionSelect", Value(std::int64_t(7))}};
    PcdLayout layout;
    layout.attributes = 0x0C;
    layout.fourBase =
        levelBlock(1, rowStream({{0, 0, 0, std::vector<std::int8_t>(1536, 0)}, {0, 1024, 0, {}}}, false));
    layout.sixteenBase = levelBlock(3, rowStream({{0, 0, 0, std::vector<std::int8_t>(3072, 0)},
                                                  {2, 0, 0, std::vector<std::int8_t>(1536, 0)},
                                                  {3, 0, 0, std::vector<std::int8_t>(1536, 0)},
                                                  {0, 2048, 0, {}}},
                                                 false));
    Pack pack(layout);
    dcpWrapper full(pack.path, pack.path, false);
    ASSERT_TRUE(full.preProcess());
    EXPECT_EQ(full.ipeStatus(), 1u);
    EXPECT_EQ(full.resolution(), 4);
    EXPECT_FALSE(full.error());
    EXPECT_EQ(*full.getErrorString(), "Could not open 64Base IPE file");
    EXPECT_EQ(full.getParameters()->intFor("ipeStatus"), 1);
    EXPECT_EQ(dcpWrapper::ipeInfoPath("/cd/IMAGES/IMG0001.PCD"), "/cd/IPE/IMG0001/64BASE/INFO.IC");
}

TEST(DcpWrapper, TestPackFullSizeAndExtension) {
    const auto data = testDataDir();
    if (!data || !fileExists(*data + "/pcd/PHOTO_CD/IMAGES/IMG0001.PCD"))
        GTEST_SKIP() << "Photo CD test packs not found (set ORVANTA_TESTDATA)";
    const std::string image = *data + "/pcd/PHOTO_CD/IMAGES/IMG0001.PCD";
    {
        dcpWrapper thumb(image, image, true);
        ASSERT_TRUE(thumb.preProcess());
        ASSERT_NE(thumb.detectScannerProfile(), nullptr);
        EXPECT_EQ(thumb.detectScannerProfile()->description(), "Negative, all scanners");
    }
    Defaults d{{"ResolutionSelect", Value(std::int64_t(5))}};
    dcpWrapper w(image, image, false);
    ASSERT_TRUE(w.preProcess());
    EXPECT_EQ(w.ipeStatus(), 3u);
    EXPECT_EQ(w.resolution(), 5);
    EXPECT_EQ(w.imageWidth(), 6144);
    EXPECT_FALSE(w.getErrorString());
}

} // namespace
} // namespace orvanta::test
