#include "TestSupport.h"
#include "color/BuiltinProfiles.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/ColorTransform.h"
#include "color/ProfileManager.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>

using namespace orvanta;

namespace {

// Every folder the profile code looks at lives in a scratch folder, set up
// before the first test touches the shared managers.
test::ScratchDir &sandbox() {
    static test::ScratchDir dir;
    return dir;
}
const bool kSandboxed = [] {
    const std::string root = sandbox().path();
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (root + "/system").c_str(), 1);
    return true;
}();

std::string iccFolder() {
    const std::string f = sandbox().path() + "/data/icc";
    mkdir((sandbox().path() + "/data").c_str(), 0700);
    mkdir(f.c_str(), 0700);
    return f;
}

void saveProfile(cmsHPROFILE h, const std::string &path) {
    ASSERT_TRUE(cmsSaveProfileToFile(h, path.c_str()));
    cmsCloseProfile(h);
}

cmsHPROFILE srgbNamed(const char *description) {
    cmsHPROFILE h = cmsCreate_sRGBProfile();
    if (description) {
        cmsMLU *mlu = cmsMLUalloc(nullptr, 1);
        cmsMLUsetASCII(mlu, "en", "US", description);
        cmsWriteTag(h, cmsSigProfileDescriptionTag, mlu);
        cmsMLUfree(mlu);
    } else {
        cmsWriteTag(h, cmsSigProfileDescriptionTag, nullptr);
    }
    return h;
}

std::vector<std::string> descriptions(const ProfileManager::ProfileList &list) {
    std::vector<std::string> out;
    for (const auto &p : list)
        out.push_back(p->description());
    return out;
}

const std::vector<std::string> kPhotoCD = {"E-6, Pre-4 series scanner",        "E-6, 4 Series scanner",
                                           "Kodachrome, Pre-4 series scanner", "Kodachrome, 4 Series scanner",
                                           "Negative, all scanners",           "Generic PCD"};

} // namespace

TEST(BuiltinProfiles, OpenReportTheirHeaderAndWhite) {
    ASSERT_TRUE(kSandboxed);
    auto &pm = ProfileManager::sharedManager();
    struct Case {
        std::shared_ptr<ColorSyncProfileWrap> p;
        const char *description, *cls;
        cmsColorSpaceSignature pcs;
        double white[3];
        bool chad;
    } cases[] = {
        {pm.getProPhotoGamma1Profile(),
         "SoftProof ProPhoto Gamma 1",
         "mntr",
         cmsSigXYZData,
         {0.96417, 1.0, 0.82521},
         true},
        {pm.getProPhotoGamma1_D65Profile(),
         "SoftProof ProPhoto Gamma 1",
         "mntr",
         cmsSigXYZData,
         {0.95044, 1.0, 1.08884},
         true},
        {pm.getRec709Gamma1Profile(), "Rec 709 Gamma 1", "mntr", cmsSigXYZData, {0.95042, 1.0, 1.0889}, true},
        {pm.getQuenfoldXgProfile(), "Generic PCD", "scnr", cmsSigXYZData, {0.96422, 1.0, 0.8252}, false},
        {pm.getQuenfold2eProfile(),
         "E-6, Pre-4 series scanner",
         "scnr",
         cmsSigLabData,
         {0.96422, 1.0, 0.8252},
         false},
        {pm.getQuenfoldXnProfile(),
         "Negative, all scanners",
         "scnr",
         cmsSigLabData,
         {0.96422, 1.0, 0.8252},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.description);
        ASSERT_TRUE(c.p);
        EXPECT_EQ(c.p->description(), c.description);
        EXPECT_EQ(c.p->classType(), fourCC(*reinterpret_cast<const char(*)[5]>(c.cls)));
        EXPECT_EQ(c.p->spaceType(), fourCC("RGB "));
        // Any ICC reader opens the bytes.
        const auto bytes = c.p->iccData();
        cmsHPROFILE h = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
        ASSERT_TRUE(h);
        EXPECT_EQ(cmsGetPCS(h), c.pcs);
        auto *wtpt = static_cast<cmsCIEXYZ *>(cmsReadTag(h, cmsSigMediaWhitePointTag));
        ASSERT_TRUE(wtpt);
        EXPECT_NEAR(wtpt->X, c.white[0], 1e-4);
        EXPECT_NEAR(wtpt->Y, c.white[1], 1e-4);
        EXPECT_NEAR(wtpt->Z, c.white[2], 1e-4);
        EXPECT_EQ(cmsIsTag(h, cmsSigChromaticAdaptationTag), c.chad);
        EXPECT_EQ(cmsGetHeaderRenderingIntent(h), 0u);
        cmsCloseProfile(h);
    }
    EXPECT_EQ(pm.getProPhotoGamma1Profile(), pm.getProPhotoGamma1Profile()) << "made once";
}

TEST(BuiltinProfiles, FilmScannerGridsPassThroughTheirTellingPoints) {
    using builtin::Profile;
    auto &pm = ProfileManager::sharedManager();
    const std::pair<Profile, std::shared_ptr<ColorSyncProfileWrap>> films[] = {
        {Profile::Pcd2e, pm.getQuenfold2eProfile()},
        {Profile::Pcd4e, pm.getQuenfold4eProfile()},
        {Profile::Pcd2k, pm.getQuenfold2kProfile()},
        {Profile::Pcd4k, pm.getQuenfold4kProfile()},
        {Profile::PcdXn, pm.getQuenfoldXnProfile()}};
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    for (const auto &[which, p] : films) {
        SCOPED_TRACE(p->description());
        cmsHTRANSFORM t =
            cmsCreateTransform(static_cast<cmsHPROFILE>(p->csRef()), TYPE_RGB_DBL, lab, TYPE_Lab_DBL,
                               INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
        ASSERT_TRUE(t);
        const auto tp = builtin::tellingPoints(which);
        const double linear[3] = {0.0, 0.5, 1.0};
        for (int k = 0; k < 3; ++k) {
            // The signal whose linearised value is the grid node.
            const double s = linear[k] < 0.018 ? 4.5 * linear[k] : 1.099 * std::pow(linear[k], 0.45) - 0.099;
            const double rgb[3] = {s, s, s};
            cmsCIELab out;
            cmsDoTransform(t, rgb, &out, 1);
            EXPECT_NEAR(out.L, tp.lab[k][0], 0.01) << "grid node " << 15 * k;
            EXPECT_NEAR(out.a, tp.lab[k][1], 0.01) << "grid node " << 15 * k;
            EXPECT_NEAR(out.b, tp.lab[k][2], 0.01) << "grid node " << 15 * k;
        }
        cmsDeleteTransform(t);
        std::printf("%s: %zu bytes\n", p->description().c_str(), p->iccData().size());
    }
    cmsCloseProfile(lab);
}

TEST(ProfileList, PhotoCDFirstThenInstalledProfilesWhenAsked) {
    const std::string folder = iccFolder();
    saveProfile(srgbNamed("Test Monitor RGB"), folder + "/b-monitor.icc");
    saveProfile(srgbNamed(nullptr), folder + "/c-nodescription.icc");
    cmsHPROFILE abstract = cmsCreateBCHSWabstractProfile(17, 0, 1, 0, 0, 5000, 5000);
    saveProfile(abstract, folder + "/d-abstract.ICM");
    test::writeText(folder + "/e-notaprofile.icc", "not an ICC profile at all");
    mkdir((folder + "/sub").c_str(), 0700);
    saveProfile(srgbNamed("Nested Gray? no, RGB"), folder + "/sub/a.icm");

    auto &defaults = UserDefaults::standard();
    defaults.set("ShowExternalProfiles", false);
    auto &pm = ProfileManager::sharedManager();
    auto list = descriptions(pm.arrayOfAllProfiles(true));
    std::vector<std::string> expected = {"Automatic"};
    expected.insert(expected.end(), kPhotoCD.begin(), kPhotoCD.end());
    EXPECT_EQ(list, expected);
    EXPECT_EQ(pm.arrayOfAllProfiles(false).size(), 6u);

    defaults.set("ShowExternalProfiles", true); // the list rebuilds itself
    list = descriptions(pm.arrayOfAllProfiles(false));
    ASSERT_GE(list.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.begin() + 6), kPhotoCD);
    EXPECT_EQ(std::vector<std::string>(list.begin() + 6, list.end()),
              (std::vector<std::string>{"Test Monitor RGB", "Nested Gray? no, RGB"}))
        << "profiles without a description, of another class, or not profiles are skipped";

    // Installed profiles are opened only when needed.
    auto installed = pm.findMatchingProfile("test monitor rgb");
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->path(), folder + "/b-monitor.icc");
    EXPECT_TRUE(installed->csRef());
    defaults.set("ShowExternalProfiles", false);
    EXPECT_EQ(pm.arrayOfAllProfiles(true).size(), 7u);
}

TEST(ProfileList, FindingAndTheSRGBRenderingSpace) {
    auto &pm = ProfileManager::sharedManager();
    auto generic = pm.findMatchingProfile("generic pcd");
    ASSERT_TRUE(generic);
    EXPECT_EQ(generic, pm.getQuenfoldXgProfile());
    auto automatic = pm.findMatchingProfile("AUTOMATIC");
    ASSERT_TRUE(automatic);
    EXPECT_TRUE(automatic->isAutoProfile());
    EXPECT_FALSE(pm.findMatchingProfile("no such profile"));

    // No installed profile carries the exact name here: the built-in one serves.
    auto srgb = pm.getSRGBProfile();
    ASSERT_TRUE(srgb);
    EXPECT_EQ(srgb->description(), "sRGB IEC61966-2.1");
    EXPECT_EQ(srgb->classType(), fourCC("mntr"));
}

TEST(ProfileSerialisation, RoundTrips) {
    auto &pm = ProfileManager::sharedManager();
    UserDefaults::standard().set("ShowExternalProfiles", false);

    const Dictionary pcd = pm.getQuenfold4kProfile()->objectSerializeForPList();
    EXPECT_EQ(pcd, (Dictionary{{"Class_of_serialized_Object", "ColorSyncProfileWrap"},
                               {"ScannerProfileDescription", "Kodachrome, 4 Series scanner"}}));
    EXPECT_EQ(ColorSyncProfileWrap::initFromPList(pcd), pm.getQuenfold4kProfile())
        << "the same cached object";

    EXPECT_FALSE(
        ColorSyncProfileWrap::initFromPList(pm.getProPhotoGamma1Profile()->objectSerializeForPList()))
        << "a rendering space is not in the list";

    const Dictionary automatic = ColorSyncProfileWrap::initAsAutoProfile()->objectSerializeForPList();
    EXPECT_EQ(automatic.size(), 1u);
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(automatic)->isAutoProfile());

    test::ScratchDir dir;
    const std::string path = dir.file("Film Scan.icc");
    saveProfile(srgbNamed("Film Scan"), path);
    auto file = ColorSyncProfileWrap::initWithCFPath(path);
    ASSERT_TRUE(file);
    const Dictionary stored = file->objectSerializeForPList();
    EXPECT_EQ(stored.stringFor("ScannerProfilePath"), path);
    EXPECT_EQ(stored.stringFor("ScannerProfileDescription"), "Film Scan");
    auto back = ColorSyncProfileWrap::initFromPList(stored);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*file));
    EXPECT_EQ(back->hash(), file->hash());

    Dictionary old{{"Class_of_serialized_Object", "ColorSyncProfileWrap"},
                   {"ScannerProfileURL", "file://" + path}};
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(old)->isEqual(*file)) << "the older URL form is read";

    std::remove(path.c_str());
    EXPECT_TRUE(ColorSyncProfileWrap::initFromPList(stored)->isAutoProfile())
        << "a deleted file is Automatic";

    EXPECT_FALSE(ColorSyncProfileWrap::initWithBuffer(nullptr, 10));
    const char junk[200] = {};
    EXPECT_FALSE(ColorSyncProfileWrap::initWithBuffer(junk, sizeof junk));
    EXPECT_FALSE(ColorSyncProfileWrap::initWithCFPath(""));
}

TEST(ColorTransform, WhitesRoundTripsAndCropViews) {
    auto &pm = ProfileManager::sharedManager();
    auto d65 = pm.getProPhotoGamma1_D65Profile(), d50 = pm.getProPhotoGamma1Profile(),
         srgb = pm.getSRGBProfile();
    auto toSRGB = ColorTransform::create(d65, srgb);
    ASSERT_TRUE(toSRGB);
    EXPECT_EQ(ColorTransform::create(d65, srgb), toSRGB) << "one transform per profile pair";

    float white[4] = {1, 1, 1, 0.25f};
    toSRGB->convert(white, sizeof white, white, sizeof white, 1, 1);
    // The D65 white of the ProPhoto profile and the one of the sRGB profile
    // differ in their last digits, hence a few thousandths.
    EXPECT_NEAR(white[0], 1.0f, 3e-3f);
    EXPECT_NEAR(white[1], 1.0f, 3e-3f);
    EXPECT_NEAR(white[2], 1.0f, 3e-3f);
    EXPECT_EQ(white[3], 0.25f) << "alpha passes through";

    auto there = ColorTransform::create(d65, d50), back = ColorTransform::create(d50, d65);
    ASSERT_TRUE(there && back);
    const int W = 64, H = 48;
    std::vector<float> px(W * H * 4), orig;
    for (int i = 0; i < W * H; ++i) {
        px[4 * i + 0] = (i % W) / float(W);
        px[4 * i + 1] = (i / W) / float(H);
        px[4 * i + 2] = 0.5f + 0.4f * std::sin(i * 0.1f);
        px[4 * i + 3] = 1.0f;
    }
    orig = px;
    there->convert(px.data(), W * 16, px.data(), W * 16, W, H);
    back->convert(px.data(), W * 16, px.data(), W * 16, W, H);
    float worst = 0;
    for (std::size_t i = 0; i < px.size(); ++i)
        worst = std::max(worst, std::fabs(px[i] - orig[i]));
    EXPECT_LT(worst, 1e-4f);

    // A crop view: 10 × 7 pixels at (20, 11) of the same buffer.
    std::vector<float> view = orig;
    float *start = view.data() + (11 * W + 20) * 4;
    toSRGB->convert(start, W * 16, start, W * 16, 10, 7);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const bool inside = x >= 20 && x < 30 && y >= 11 && y < 18;
            const std::size_t i = (static_cast<std::size_t>(y) * W + x) * 4;
            if (!inside) {
                ASSERT_EQ(view[i], orig[i]) << x << "," << y;
            } else if (orig[i] > 0.05f) {
                ASSERT_NE(view[i], orig[i]) << x << "," << y;
            }
        }

    // Sixteen-bit pixels take the same path.
    std::uint16_t w16[4] = {65535, 65535, 65535, 1234};
    toSRGB->convert(w16, 8, w16, 8, 1, 1);
    EXPECT_GE(w16[0], 65400);
    EXPECT_EQ(w16[3], 1234);

    EXPECT_FALSE(ColorTransform::create(nullptr, srgb));
    EXPECT_FALSE(ColorTransform::create(ColorSyncProfileWrap::initAsAutoProfile(), srgb));
}

TEST(ProfileList, IccManagerPresentsTheSameList) {
    auto &icc = iccProfileManager::sharediccProfileManager();
    EXPECT_EQ(icc.profileListForMenu().front()->description(), "Automatic");
    EXPECT_EQ(icc.profileList(false).size(),
              ProfileManager::sharedManager().arrayOfAllProfiles(false).size());
    EXPECT_TRUE(iccProfileManager::profileDirectory().empty());
    LogCapture log;
    EXPECT_FALSE(icc.addProfile("/tmp/x.icc"));
    icc.iterateProfiles();
    EXPECT_EQ(log.count("ERROR : invalid function call"), 2u);
}

// Sixteen-bit pixels between matrix/curve profiles go through tables; they
// must agree with the exact (float) evaluation to within two codes.
TEST(ColorTransform, SixteenBitTablesAgreeWithTheExactTransform) {
    auto &pm = ProfileManager::sharedManager();
    const auto d65 = pm.getProPhotoGamma1_D65Profile(), d50 = pm.getProPhotoGamma1Profile(),
               srgb = pm.getSRGBProfile(), rec709 = pm.getRec709Gamma1Profile();
    const std::pair<std::shared_ptr<ColorSyncProfileWrap>, std::shared_ptr<ColorSyncProfileWrap>> pairs[] = {
        {d65, srgb}, {d65, d50}, {d65, rec709}, {srgb, d65}, {d50, srgb}};
    const int N = 4096;
    std::vector<std::uint16_t> px(N * 4);
    std::uint32_t seed = 12345;
    for (int i = 0; i < N * 4; ++i) {
        seed = seed * 1664525u + 1013904223u;
        px[i] = static_cast<std::uint16_t>(seed >> 16);
    }
    // Black, white, the darkest codes (where curves are steepest).
    for (int c = 0; c < 3; ++c)
        px[c] = 0, px[4 + c] = 65535, px[8 + c] = 1, px[12 + c] = 40;
    for (const auto &[from, to] : pairs) {
        SCOPED_TRACE(from->description() + " -> " + to->description());
        auto t = ColorTransform::create(from, to);
        ASSERT_TRUE(t);
        EXPECT_TRUE(t->hasShaper());
        std::vector<std::uint16_t> fast = px;
        t->convert(fast.data(), N * 8, fast.data(), N * 8, N, 1);
        std::vector<float> exact(N * 4);
        for (int i = 0; i < N * 4; ++i)
            exact[i] = px[i] / 65535.0f;
        t->convert(exact.data(), N * 16, exact.data(), N * 16, N, 1);
        int worst = 0;
        for (int i = 0; i < N; ++i) {
            for (int c = 0; c < 3; ++c) {
                const int want =
                    static_cast<int>(std::lround(std::clamp(exact[4 * i + c], 0.0f, 1.0f) * 65535));
                worst = std::max(worst, std::abs(want - int(fast[4 * i + c])));
            }
            ASSERT_EQ(fast[4 * i + 3], px[4 * i + 3]) << "alpha passes through";
        }
        EXPECT_LE(worst, 2) << "codes of 65535";
    }
}
