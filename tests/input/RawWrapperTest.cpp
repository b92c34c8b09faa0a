#include "input/RawWrapper.h"

#include "DngFixture.h"
#include "TestSupport.h"
#include "color/DNGCameraProfile.h"
#include "input/DCRaw.h"
#include "platform/ImagePropertyKeys.h"
#include "platform/UserDefaults.h"

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <libraw/libraw.h>

using namespace orvanta;

namespace {

test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}
// User defaults and folders of these tests live in the sandbox.
const bool kSandboxed = [] {
    setenv("XDG_CONFIG_HOME", (sandbox().path() + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (sandbox().path() + "/data").c_str(), 1);
    return true;
}();

std::string fixtureDng(const std::string &name, const test::DngLayout &layout = {}) {
    const std::string path = sandbox().file(name);
    EXPECT_TRUE(test::writeCfaDng(path, layout));
    return path;
}

std::string rawPath(const char *name) {
    auto dir = test::testDataDir();
    return dir ? *dir + "/raw/" + name : std::string();
}

} // namespace

TEST(RawWrapper, DecodesTheFixtureDngWithItsCameraParameters) {
    ASSERT_TRUE(kSandboxed);
    rawWrapper w(fixtureDng("plain.dng"), "plain.dng");
    ASSERT_TRUE(w.parseOK());
    ASSERT_TRUE(w.masterImageBytes()) << (w.error() ? w.error()->reason : "");
    EXPECT_TRUE(w.alternateImageBytes());
    EXPECT_FALSE(w.error());
    EXPECT_EQ(w.imageWidth(), 96);
    EXPECT_EQ(w.imageHeight(), 64);
    EXPECT_EQ(w.dcMake(), "Orvanta");
    EXPECT_EQ(w.dcStatus(), "ok");
    EXPECT_NEAR(w.cameraBaselineExposure(), 0.25f, 1e-4f);
    EXPECT_NEAR(w.cameraFromXYZ(1, 1), 1.2f, 1e-4f) << "the file's colour matrix";
    EXPECT_EQ(w.highlightExposureAdjust(), 0.0f) << "highlights clipped normally";
    // The as-shot white is the XYZ that the matrix maps to the neutral.
    EXPECT_GT(w.dcWhitex(), 0.2f);
    EXPECT_LT(w.dcWhitex(), 0.5f);
    auto params = w.getParameters();
    ASSERT_TRUE(params);
    EXPECT_EQ(params->stringFor("UUID"), "plain.dng");
    EXPECT_EQ(params->intFor("width"), 96);
    EXPECT_TRUE(params->contains("cameraFromXYZ22"));
    EXPECT_TRUE(params->contains("cameraMetadata"));
    const Dictionary &meta = *params->find("cameraMetadata")->dictionary();
    EXPECT_EQ(meta.intFor(imageprops::kPixelWidth), 96);
    EXPECT_TRUE(w.bufferProfile());

    rawWrapper anonymous(fixtureDng("anon.dng"), "");
    anonymous.masterImageBytes();
    EXPECT_TRUE(anonymous.getParameters()->empty()) << "no identity: no parameters";
}

TEST(RawWrapper, HighlightRuleAndOrientation) {
    rawWrapper keep(fixtureDng("hl.dng"), "hl");
    keep.setMaintainHighlights(true);
    ASSERT_TRUE(keep.masterImageBytes());
    EXPECT_NEAR(keep.highlightExposureAdjust(), 1.0f, 1e-4f) << "multipliers 2, 1, 1.5";

    test::DngLayout turned;
    turned.orientation = 6; // a quarter turn: width and height swap
    rawWrapper r(fixtureDng("turned.dng", turned), "turned");
    ASSERT_TRUE(r.masterImageBytes());
    EXPECT_EQ(r.imageWidth(), 64);
    EXPECT_EQ(r.imageHeight(), 96);
}

TEST(RawWrapper, SettersDiscardOnlyOnChange) {
    rawWrapper w(fixtureDng("setters.dng"), "setters");
    const std::uint16_t *first = w.masterImageBytes();
    ASSERT_TRUE(first);
    w.setMaintainHighlights(false); // the value it has
    w.setProcessAsMonchromeSensor(false);
    w.setCameraProfile(nullptr);
    EXPECT_EQ(w.masterImageBytes(), first) << "equal values change nothing";
    w.setProcessAsMonchromeSensor(true);
    ASSERT_TRUE(w.masterImageBytes());
    EXPECT_FALSE(w.alternateImageBytes()) << "monochrome: no alternate";
    w.setProcessAsMonchromeSensor(false);
    EXPECT_TRUE(w.alternateImageBytes());
}

TEST(RawWrapper, MasterEqualsTheLibrarysOwnProcessing) {
    // Same settings on both sides; green matching off, so that the
    // library's pre-interpolation runs in both.
    UserDefaults::standard().set("enableNewPV", false);
    const std::string path = fixtureDng("compare.dng");
    rawWrapper w(path, "compare");
    const std::uint16_t *ours = w.masterImageBytes();
    ASSERT_TRUE(ours);
    UserDefaults::standard().remove("enableNewPV");

    LibRaw lib;
    auto &P = lib.imgdata.params;
    P.output_color = 4;
    P.output_bps = 16;
    P.gamm[0] = P.gamm[1] = 1.0;
    P.use_camera_wb = 1;
    P.no_auto_bright = 1;
    P.highlight = 0;
    P.user_qual = 3;
    P.use_camera_matrix = 0;
    ASSERT_EQ(lib.open_file(path.c_str()), LIBRAW_SUCCESS);
    ASSERT_EQ(lib.unpack(), LIBRAW_SUCCESS);
    ASSERT_EQ(lib.dcraw_process(), LIBRAW_SUCCESS);
    const int W = lib.imgdata.sizes.iwidth, H = lib.imgdata.sizes.iheight;
    ASSERT_EQ(W, w.imageWidth());
    ASSERT_EQ(H, w.imageHeight());
    long differing = 0;
    for (int y = 5; y < H - 5; ++y)
        for (int x = 5; x < W - 5; ++x)
            for (int c = 0; c < 3; ++c) {
                const int theirs = lib.imgdata.image[y * W + x][c];
                const int mine = ours[(static_cast<std::size_t>(y) * W + x) * 3 + c];
                if (theirs != mine && differing++ < 3)
                    ADD_FAILURE() << "(" << y << ", " << x << ") channel " << c << ": " << mine << " vs "
                                  << theirs;
            }
    EXPECT_EQ(differing, 0);
}

TEST(RawWrapper, FailuresCarryTheirTexts) {
    const std::string text = sandbox().file("notes.dng");
    test::writeText(text, "this is not a raw file at all, just some words in a file with a raw extension");
    rawWrapper notRaw(text, "n");
    EXPECT_FALSE(notRaw.masterImageBytes());
    ASSERT_TRUE(notRaw.error());
    EXPECT_EQ(notRaw.error()->domain, kRawOpenErrorDomain);
    EXPECT_EQ(notRaw.error()->code, -5);
    EXPECT_EQ(notRaw.error()->reason, "Image does not appear to be in raw format.");
    EXPECT_FALSE(notRaw.alternateImageBytes());
    EXPECT_EQ(notRaw.imageWidth(), 0);

    rawWrapper missing(sandbox().file("gone.nef"), "g");
    EXPECT_FALSE(missing.parseOK());
    EXPECT_FALSE(missing.masterImageBytes());
    ASSERT_TRUE(missing.error());
    EXPECT_EQ(missing.error()->reason, "No such file or directory");

    // A raw file cut short: the library's own message, no crash.
    const std::string whole = fixtureDng("whole.dng");
    const std::string bytes = test::readText(whole);
    const std::string cut = sandbox().file("cut.dng");
    test::writeText(cut, bytes.substr(0, bytes.size() / 2));
    rawWrapper truncated(cut, "t");
    truncated.masterImageBytes();
    ASSERT_TRUE(truncated.error());
    EXPECT_FALSE(truncated.error()->reason.empty());

    // A large DNG whose directories are intact but whose pixel data is cut
    // short opens, then fails while loading with the library's own text.
    auto dir = test::testDataDir();
    if (!dir) return;
    const std::string big = test::readText(*dir + "/bench/synth_24mp.dng");
    if (big.size() < 30000000) return;
    const std::string cutBig = sandbox().file("cut24.dng");
    test::writeText(cutBig, big.substr(0, 30000000));
    rawWrapper partial(cutBig, "p");
    EXPECT_FALSE(partial.masterImageBytes());
    ASSERT_TRUE(partial.error());
    EXPECT_EQ(partial.error()->reason, libraw_strerror(LIBRAW_IO_ERROR));
    EXPECT_EQ(partial.dcMake(), "Synthetic") << "what was read before the failure is kept";
}

TEST(RawWrapper, RealRawFiles) {
    if (!test::testDataDir()) GTEST_SKIP() << "test data not found (set ORVANTA_TESTDATA)";
    struct Case {
        const char *file;
        int width, height;
        bool alternate, decodes;
    } cases[] = {
        {"RAW_KODAK_DC50.KDC", 768, 512, false, true},                  // Kodak RADC: output-referred
        {"Canon_EOS_D30.CRW", 2176, 1448, true, true},                  // Bayer, never green-matched
        {"RAW_KODAK_C330_FORMAT_NONE_YRGB.raw", 1216, 912, true, true}, // no colour filter array
        {"GoPro_HERO8.GPR", 0, 0, false, false},                        // VC-5: the library cannot decode it
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        rawWrapper w(rawPath(c.file), c.file);
        const std::uint16_t *master = w.masterImageBytes();
        std::printf("%s: %s %s %s, %d x %d, white (%.4f, %.4f), output-referred %d\n", c.file,
                    w.dcStatus().c_str(), w.dcMake().c_str(), w.dcModel().c_str(), w.imageWidth(),
                    w.imageHeight(), w.dcWhitex(), w.dcWhitey(), w.isOutputReferred());
        if (!c.decodes) {
            EXPECT_FALSE(master);
            ASSERT_TRUE(w.error());
            continue;
        }
        ASSERT_TRUE(master) << (w.error() ? w.error()->reason : "");
        EXPECT_EQ(w.imageWidth(), c.width);
        EXPECT_EQ(w.imageHeight(), c.height);
        EXPECT_EQ(w.alternateImageBytes() != nullptr, c.alternate);
        EXPECT_FALSE(w.dcMake().empty());
        EXPECT_TRUE(w.metaData().contains(imageprops::kPixelWidth));
        // Kodak without an as-shot white falls back to D65 and the sRGB matrix.
        if (w.dcMake() == "Kodak" && std::fabs(w.dcWhitex() - 0.3127f) < 1e-6f) {
            EXPECT_NEAR(w.cameraFromXYZ(0, 0), 0.412456f, 1e-6f);
        }
        // Something was decoded: the image is not black.
        double sum = 0;
        for (std::size_t i = 0; i < std::size_t(w.imageWidth()) * w.imageHeight() * 3; i += 997)
            sum += master[i];
        EXPECT_GT(sum, 0);
    }
}

TEST(RawWrapper, XTransDecodesThroughTheNeighbourLists) {
    test::DngLayout layout;
    layout.xtrans = true;
    layout.width = 120;
    layout.height = 90;
    const std::string path = fixtureDng("xtrans.dng", layout);
    LibRaw probe;
    ASSERT_EQ(probe.open_file(path.c_str()), LIBRAW_SUCCESS);
    ASSERT_EQ(probe.imgdata.idata.filters, 9u) << "the library reads a 6 × 6 pattern as X-Trans";
    rawWrapper w(path, "x");
    ASSERT_TRUE(w.masterImageBytes()) << (w.error() ? w.error()->reason : "");
    ASSERT_TRUE(w.alternateImageBytes());
    // Interior pixels carry all three colours, close to the scene's balance.
    const std::uint16_t *m = w.masterImageBytes();
    const std::size_t mid = (static_cast<std::size_t>(45) * w.imageWidth() + 60) * 3;
    EXPECT_GT(m[mid], 0);
    EXPECT_GT(m[mid + 1], 0);
    EXPECT_GT(m[mid + 2], 0);
}

TEST(RawWrapper, GreenMatchingSkippedForSomeMakers) {
    // Greens 1.5 % apart: matching changes the image unless the maker is one
    // of those whose greens are left to the library.
    auto decode = [](const std::string &name, const std::string &make, bool match) {
        test::DngLayout layout;
        layout.make = make;
        layout.secondGreenGain = 1.015f;
        layout.width = 128;
        layout.height = 96;
        UserDefaults::standard().set("enableNewPV", match);
        rawWrapper w(fixtureDng(name, layout), name);
        std::vector<std::uint16_t> out(
            w.masterImageBytes(), w.masterImageBytes() + std::size_t(w.imageWidth()) * w.imageHeight() * 3);
        return out;
    };
    EXPECT_NE(decode("own-on.dng", "Orvanta", true), decode("own-off.dng", "Orvanta", false));
    for (const char *make : {"Canon", "NIKON", "Sony", "Nokia"})
        EXPECT_EQ(decode(std::string(make) + "-on.dng", make, true),
                  decode(std::string(make) + "-off.dng", make, false))
            << make;
    UserDefaults::standard().remove("enableNewPV");
}

TEST(RawWrapper, RawExtensions) {
    EXPECT_TRUE(isRawExtension("/a/b/IMG_0001.CR2"));
    EXPECT_TRUE(isRawExtension("x.dng"));
    EXPECT_TRUE(isRawExtension("x.pcd"));
    EXPECT_FALSE(isRawExtension("x.jpg"));
    EXPECT_FALSE(isRawExtension("/a.dng/file"));
    EXPECT_EQ(rawExtensions().size(), 39u);
}
