#include "TestSupport.h"
#include "color/DNGCameraProfile.h"
#include "color/DcpReader.h"
#include "color/DngToneCurve.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace orvanta;

namespace {

// A camera-profile file built in the test, either byte order.
struct DcpBuilder {
    bool little = true;
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> data;
    };
    std::vector<Entry> entries;
    std::uint16_t magic = 0x4352;

    void put16(std::vector<std::uint8_t> &d, std::uint16_t v) const {
        if (little)
            d.push_back(v & 0xff), d.push_back(v >> 8);
        else
            d.push_back(v >> 8), d.push_back(v & 0xff);
    }
    void put32(std::vector<std::uint8_t> &d, std::uint32_t v) const {
        for (int i = 0; i < 4; ++i)
            d.push_back((v >> (little ? 8 * i : 24 - 8 * i)) & 0xff);
    }
    void text(std::uint16_t tag, const std::string &s) {
        std::vector<std::uint8_t> d(s.begin(), s.end());
        d.push_back(0);
        entries.push_back({tag, 2, static_cast<std::uint32_t>(d.size()), d});
    }
    void matrix(std::uint16_t tag, const std::vector<double> &m) {
        std::vector<std::uint8_t> d;
        for (double v : m)
            put32(d, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 10000)))),
                put32(d, 10000);
        entries.push_back({tag, 10, static_cast<std::uint32_t>(m.size()), d});
    }
    void curve(const std::vector<std::pair<float, float>> &pts) {
        std::vector<std::uint8_t> d;
        for (auto [h, v] : pts) {
            std::uint32_t a, b;
            std::memcpy(&a, &h, 4);
            std::memcpy(&b, &v, 4);
            put32(d, a), put32(d, b);
        }
        entries.push_back({50940, 11, static_cast<std::uint32_t>(2 * pts.size()), d});
    }
    std::vector<std::uint8_t> build() const {
        std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(little ? 'I' : 'M'),
                                         static_cast<std::uint8_t>(little ? 'I' : 'M')};
        put16(out, magic);
        put32(out, 8);
        put16(out, static_cast<std::uint16_t>(entries.size()));
        std::uint32_t valuesAt = 8 + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
        std::vector<std::uint8_t> values;
        for (const auto &e : entries) {
            put16(out, e.tag);
            put16(out, e.type);
            put32(out, e.count);
            if (e.data.size() <= 4) {
                auto inl = e.data;
                inl.resize(4, 0);
                out.insert(out.end(), inl.begin(), inl.end());
            } else {
                put32(out, valuesAt + static_cast<std::uint32_t>(values.size()));
                values.insert(values.end(), e.data.begin(), e.data.end());
            }
        }
        put32(out, 0);
        out.insert(out.end(), values.begin(), values.end());
        return out;
    }
};

const std::vector<double> kM1 = {0.7, -0.2, -0.05, -0.4, 1.2, 0.2, -0.1, 0.2, 0.6};
const std::vector<double> kM2 = {0.9, -0.3, -0.1, -0.45, 1.3, 0.15, -0.08, 0.15, 0.7};

DcpBuilder fixture(bool little) {
    DcpBuilder b;
    b.little = little;
    b.text(50708, "Orvanta Fixture Cam");
    b.matrix(50721, kM1);
    b.matrix(50722, kM2);
    b.text(50936, "Fixture Standard");
    b.curve({{0, 0}, {0.25f, 0.18f}, {0.5f, 0.52f}, {0.75f, 0.82f}, {1, 1}});
    return b;
}

void writeBytes(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    test::writeText(path, std::string(bytes.begin(), bytes.end()));
}

// Profile folder and friends live in a scratch sandbox.
test::ScratchDir &sandbox() {
    static test::ScratchDir d;
    return d;
}

} // namespace

TEST(DcpReader, ReadsTheFixtureInBothByteOrders) {
    for (bool little : {true, false}) {
        const auto bytes = fixture(little).build();
        std::string why;
        auto p = dcp::parse(bytes.data(), bytes.size(), &why);
        ASSERT_TRUE(p) << why;
        EXPECT_EQ(p->name, "Fixture Standard");
        EXPECT_EQ(p->uniqueCameraModel, "Orvanta Fixture Cam");
        ASSERT_EQ(p->colorMatrix1.rows, 3);
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(p->colorMatrix1.values[i], kM1[i], 1e-12);
            EXPECT_NEAR(p->colorMatrix2.values[i], kM2[i], 1e-12);
        }
        ASSERT_EQ(p->toneCurve.size(), 5u);
        EXPECT_FLOAT_EQ(static_cast<float>(p->toneCurve[1].second), 0.18f);
    }
}

TEST(DcpReader, MalformedProfilesGiveNoObject) {
    const auto good = fixture(true).build();
    struct Case {
        const char *name;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"truncated header", std::vector<std::uint8_t>(good.begin(), good.begin() + 6)});
    cases.push_back({"truncated values", std::vector<std::uint8_t>(good.begin(), good.end() - 20)});
    cases.push_back({"truncated directory", std::vector<std::uint8_t>(good.begin(), good.begin() + 30)});
    auto wrongMagic = fixture(true);
    wrongMagic.magic = 42;
    cases.push_back({"plain TIFF magic", wrongMagic.build()});
    auto offset = good;
    offset[4] = 0xF0, offset[5] = 0xFF;
    cases.push_back({"directory offset past the end", offset});
    auto decreasing = fixture(true);
    decreasing.entries.pop_back();
    decreasing.curve({{0, 0}, {0.6f, 0.5f}, {0.4f, 0.7f}, {1, 1}});
    cases.push_back({"decreasing tone-curve inputs", decreasing.build()});
    auto outOfRange = fixture(true);
    outOfRange.entries.pop_back();
    outOfRange.curve({{0, 0}, {0.5f, 1.5f}, {1, 1}});
    cases.push_back({"tone curve above 1", outOfRange.build()});
    DcpBuilder noMatrix;
    noMatrix.text(50936, "No matrix");
    cases.push_back({"no colour matrix", noMatrix.build()});
    auto hugeCount = good;
    // The first entry's count (UniqueCameraModel) set to 2^31.
    hugeCount[10 + 4] = 0, hugeCount[10 + 5] = 0, hugeCount[10 + 6] = 0, hugeCount[10 + 7] = 0x80;
    cases.push_back({"count of 2^31", hugeCount});
    for (const auto &c : cases) {
        std::string why;
        EXPECT_FALSE(dcp::parse(c.bytes.data(), c.bytes.size(), &why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

TEST(DNGCameraProfile, RealProfiles) {
    auto dir = test::testDataDir();
    if (!dir) GTEST_SKIP() << "test data not found (set ORVANTA_TESTDATA)";
    auto nikon = DNGCameraProfileAbstract::initFromFile(*dir + "/dcp/NIKON D7100.dcp");
    auto canon = DNGCameraProfileAbstract::initFromFile(*dir + "/dcp/Canon EOS 5D.dcp");
    ASSERT_TRUE(nikon);
    ASSERT_TRUE(canon);
    std::printf("%s | %s\n", nikon->displayName().c_str(), canon->displayName().c_str());
    EXPECT_EQ(nikon->uniqueCameraModelRestriction, "NIKON D7100");
    EXPECT_EQ(canon->uniqueCameraModelRestriction, "Canon EOS 5D");
    EXPECT_FALSE(nikon->name.empty());
    EXPECT_EQ(nikon->displayName(), "NIKON D7100 : " + nikon->name);
    // Dual illuminant: two different matrices; single: the one matrix twice.
    bool differ = false;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            differ |= nikon->getcolorMatrix1(r, c) != nikon->getcolorMatrix2(r, c);
            EXPECT_EQ(canon->getcolorMatrix2(r, c), canon->getcolorMatrix1(r, c));
            EXPECT_LT(std::fabs(canon->getcolorMatrix1(r, c)), 3.0f);
        }
    EXPECT_TRUE(differ);
    // The Nikon file carries a two-point identity curve, the Canon file none.
    EXPECT_EQ(nikon->toneCurvePoints.size(), 2u);
    EXPECT_TRUE(canon->toneCurvePoints.empty());
    ASSERT_TRUE(nikon->icon);
    EXPECT_EQ(nikon->icon->width, 128);
    EXPECT_EQ(nikon->icon->pixels.size(), 128u * 128 * 4);
}

TEST(DNGCameraProfile, ToneTables) {
    auto placeholder = DNGCameraProfileAbstract::initAsAutoProfile();
    EXPECT_EQ(placeholder->name, "<Orvanta built-in profile>");
    EXPECT_TRUE(placeholder->isAutoProfile());
    std::vector<float> f(65536);
    std::vector<std::uint16_t> t(65536, 7);

    // No profile curve, k = 1, scene-referred, e = 0: the default curve's gains.
    placeholder->generateLUT16(t.data(), f.data(), 0, false, false, 1.0f);
    EXPECT_NEAR(f[32768], 1.61, 0.005);
    const double x = 32768.0 / 65535.0;
    EXPECT_NEAR(f[32768], dng::acr3Default(x) / x, 1e-5);
    EXPECT_EQ(t[0], 7) << "entry 0 of the 16-bit table is the caller's";
    EXPECT_EQ(t[32768], static_cast<std::uint16_t>(static_cast<float>(dng::acr3Default(x)) * 65535.0));

    // Output-referred with e ≥ 0, or clipped whites: ones from index 1.
    for (auto [e, clip] : {std::pair{0.0f, false}, std::pair{0.5f, false}, std::pair{-1.0f, true}}) {
        placeholder->generateLUT16(nullptr, f.data(), e, true, clip, 1.0f);
        for (std::size_t i = 1; i < f.size(); i += 997)
            ASSERT_NEAR(f[i], 1.0f, 1e-6f) << e << " " << i;
    }

    // e = −1, whites kept, output-referred: 0.5 up to 0.25, rising to 1.
    placeholder->generateLUT16(nullptr, f.data(), -1.0f, true, false, 1.0f);
    EXPECT_NEAR(f[1], 0.5f, 1e-6f);
    EXPECT_NEAR(f[16383], 0.5f, 1e-6f);
    EXPECT_GT(f[40000], 0.5f);
    EXPECT_NEAR(f[65535], 1.0f, 1e-6f);
    for (std::size_t i = 16384; i + 1 < f.size(); i += 101)
        ASSERT_LE(f[i], f[i + 101 < f.size() ? i + 101 : i] + 1e-6f);

    // No table at all: nothing happens; a 16-bit table alone is filled.
    placeholder->generateLUT(nullptr, nullptr, 16, 0, false, false, 1);
    std::vector<std::uint16_t> small(16, 9);
    placeholder->generateLUT(small.data(), nullptr, 16, 0, true, false, 1);
    EXPECT_EQ(small[0], 9);
    EXPECT_EQ(small[15], 15);

    // The exposure-adjust curve joins with the same value and slope at 0.25.
    placeholder->computecurveAdjust(-1.0f);
    EXPECT_NEAR(placeholder->curveAdjust(0.25f), 0.125f, 1e-6f);
    EXPECT_NEAR(placeholder->curveAdjust(0.2501f) - placeholder->curveAdjust(0.25f), 0.0001f * 0.5f, 1e-6f);
    EXPECT_NEAR(placeholder->curveAdjust(1.0f), 1.0f, 1e-6f);
}

TEST(DngToneCurve, DefaultCurveAndSpline) {
    EXPECT_NEAR(dng::acr3Default(256.0 / 1024), 0.52069, 1e-6);
    EXPECT_NEAR(dng::acr3Default(512.0 / 1024), 0.80486, 1e-6);
    EXPECT_NEAR(dng::acr3Default(768.0 / 1024), 0.93986, 1e-6);
    EXPECT_EQ(dng::acr3Default(0.0005), 0.0005) << "passes through below 1/1024";
    EXPECT_EQ(dng::acr3Default(1.0), 1.0);
    EXPECT_EQ(dng::acr3Default(1.7), 1.7) << "passes through from 1.0 up";
    EXPECT_EQ(DNGCameraProfileAbstract::dng_tone_curve_acr3_default(0.7, 0.0, 0.5), 0.7);
    EXPECT_NEAR(DNGCameraProfileAbstract::dng_tone_curve_acr3_default(0.25, 0.0, 0.5), 0.80486, 1e-6);

    // The reference implementation's own numbers.
    struct Vec {
        std::vector<std::pair<double, double>> pts;
        std::vector<double> slopes;
        std::vector<std::pair<double, double>> values;
    } vecs[] = {
        {{{0, 0}, {0.25, 0.18}, {0.5, 0.52}, {0.75, 0.82}, {1, 1}},
         {0.545714285714286, 1.06857142857143, 1.42, 0.931428571428571, 0.614285714285715},
         {{0.05, 0.0276342857142857},
          {0.1, 0.05736},
          {0.3, 0.238194285714286},
          {0.333, 0.280982034422857},
          {0.6, 0.654365714285714},
          {0.9, 0.93688},
          {-0.1, 0},
          {1.2, 1}}},
        {{{0, 0.05}, {0.5, 0.3}, {1, 0.9}},
         {0.325, 0.85, 1.375},
         {{0.05, 0.0663375}, {0.2, 0.1206}, {0.333, 0.1840732259}, {0.6, 0.3948}, {0.95, 0.8313375}}},
        {{{0.1, 0}, {0.4, 0.5}, {0.9, 1}},
         {1.79166666666667, 1.41666666666667, 0.791666666666667},
         {{0.05, 0}, {0.2, 0.177777777777778}, {0.3, 0.347222222222222}, {0.6, 0.74}, {0.95, 1}}},
    };
    for (const auto &v : vecs) {
        dng::SplineSolver s;
        for (auto [x, y] : v.pts)
            s.add(x, y);
        s.solve();
        for (std::size_t i = 0; i < v.slopes.size(); ++i)
            EXPECT_NEAR(s.S[i], v.slopes[i], 1e-13);
        for (auto [x, y] : v.values)
            EXPECT_NEAR(s.evaluate(x), y, 1e-9) << x;
        for (auto [x, y] : v.pts)
            EXPECT_EQ(s.evaluate(x), y) << "control points exactly";
    }
    EXPECT_TRUE(dng::isValidToneCurve({{0, 0}, {1, 1}}));
    EXPECT_FALSE(dng::isValidToneCurve({{0, 0}}));
    EXPECT_FALSE(dng::isValidToneCurve({{0, 0}, {0, 1}}));
    EXPECT_FALSE(dng::isValidToneCurve({{0, 0}, {1, 1.01}}));
    EXPECT_FALSE(dng::isValidToneCurve({{0, 0}, {std::nan(""), 1}}));
}

TEST(CameraProfileManager, FolderListingImportAndRemoval) {
    test::ScopedEnv data("XDG_DATA_HOME", sandbox().file("data"));
    auto &manager = CameraProfileManager::sharedCameraProfileManager();
    const std::string folder = CameraProfileManager::profileDirectory();
    ASSERT_EQ(folder, sandbox().file("data") + "/Orvanta/Profiles");

    auto list = manager.profileList(true);
    ASSERT_EQ(list.size(), 1u) << "an empty folder lists only the placeholder";
    EXPECT_TRUE(list[0]->isAutoProfile());

    test::ScratchDir incoming;
    writeBytes(incoming.file("Fixture.DCP"), fixture(true).build());
    writeBytes(incoming.file("Other.dcp"), fixture(false).build());
    test::writeText(incoming.file("display.icc"), "an ICC profile is not a camera profile");
    test::writeText(incoming.file("broken.dcp"), "not a profile");
    for (const char *f : {"Fixture.DCP", "Other.dcp", "display.icc", "broken.dcp"}) {
        Error error;
        EXPECT_TRUE(manager.addProfile(incoming.file(f), &error)) << error.description();
    }
    list = manager.profileList(false);
    ASSERT_EQ(list.size(), 2u) << "upper-case extension listed, ICC and unreadable files skipped";
    EXPECT_EQ(list[0]->profileURL, folder + "/Fixture.DCP");

    // Importing an existing name keeps the old file and reports the error.
    const std::string before = test::readText(folder + "/Fixture.DCP");
    writeBytes(incoming.file("Fixture.DCP"), std::vector<std::uint8_t>(100, 1));
    Error error;
    EXPECT_FALSE(manager.addProfile(incoming.file("Fixture.DCP"), &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_EQ(test::readText(folder + "/Fixture.DCP"), before);

    // Serialised by file name; a missing file comes back as the placeholder.
    const Dictionary stored = list[0]->objectSerializeForPList();
    EXPECT_EQ(stored, (Dictionary{{"Class_of_serialized_Object", "DNGCameraProfileAbstract"},
                                  {"FileName", "Fixture.DCP"}}));
    auto back = DNGCameraProfileAbstract::initFromPList(stored);
    EXPECT_TRUE(back->isEqual(*list[0]));
    EXPECT_EQ(back->hash(), list[0]->hash());
    EXPECT_EQ(DNGCameraProfileAbstract::initAsAutoProfile()->objectSerializeForPList().size(), 1u);
    EXPECT_TRUE(DNGCameraProfileAbstract::initFromPList(
                    Dictionary{{"Class_of_serialized_Object", "DNGCameraProfileAbstract"},
                               {"FileName", "../../etc/passwd"}})
                    ->isAutoProfile());

    EXPECT_TRUE(manager.removeProfile(*list[0], &error));
    EXPECT_TRUE(DNGCameraProfileAbstract::initFromPList(stored)->isAutoProfile());
    EXPECT_EQ(manager.profileList(true).size(), 2u);
    EXPECT_FALSE(manager.removeProfile(*DNGCameraProfileAbstract::initAsAutoProfile(), &error));
}
