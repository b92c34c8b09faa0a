#include "engine/ComputeMatrixAndLUT.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvanta;

namespace {

Dictionary camera(float baseline = 0) {
    Dictionary d{{"asShotWhitex", 0.3457f}, {"asShotWhitey", 0.3585f}, {"cameraBaselineExposure", baseline}};
    // A plausible camera matrix (XYZ to camera).
    const float m[3][3] = {{0.7f, -0.2f, -0.05f}, {-0.4f, 1.2f, 0.2f}, {-0.1f, 0.2f, 0.6f}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            d.set("cameraFromXYZ" + std::to_string(i) + std::to_string(j), m[i][j]);
    return d;
}

struct Result {
    ComputeMatrixAndLUT c;
    float matrix[16];
    float offset = -9, kneeLow = -9, kneeF = -9;
    std::shared_ptr<ImageBufferF32> lut = ImageBufferF32::create(4096, 1);
    bool ok;
    Result(Dictionary img, Dictionary cam, bool cinematic = false) {
        c.setImageParameters(std::move(img));
        c.setCameraParameters(std::move(cam));
        c.setEnableCinematic(cinematic);
        ok = c.populateFloatLUTAndMatrix(lut.get(), matrix, &offset, &kneeLow, &kneeF);
    }
};

} // namespace

TEST(ComputeMatrixAndLUT, NeutralSettingsGiveTheIdentity) {
    Result r(Dictionary{}, camera());
    ASSERT_TRUE(r.ok);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(r.c.xformMatrix[i][j], i == j ? 1.0f : 0.0f, 2e-3f) << i << j;
    EXPECT_FLOAT_EQ(r.matrix[3], 1228.8f);
    EXPECT_FLOAT_EQ(r.matrix[7], 2457.6f);
    EXPECT_FLOAT_EQ(r.matrix[11], 409.6f);
    for (int i = 12; i < 16; ++i)
        EXPECT_EQ(r.matrix[i], 0.0f);
    EXPECT_EQ(r.matrix[1], r.c.xformMatrix[1][0]) << "the output holds the transpose";
    // The identity curve: no offset, every gain 1.
    EXPECT_NEAR(r.offset, 0.0f, 1e-6f);
    const float *e = r.lut->bufferFloatForRow(0);
    for (int i = 0; i < 4096; i += 37)
        EXPECT_NEAR(e[4 * i], 1.0f, 1e-4f) << i;
    EXPECT_EQ(e[3], 1.0f);
    EXPECT_EQ(r.kneeLow, 0.0f);
    EXPECT_EQ(r.kneeF, -1.0f) << "no cinematic mode: no knee";
}

TEST(ComputeMatrixAndLUT, SaturationExposureAndBaseline) {
    Result grey(Dictionary{{"Orvanta_Filter_inputSaturation", 0.0f}}, camera());
    for (int row = 0; row < 3; ++row) {
        EXPECT_NEAR(grey.c.xformMatrix[row][0], 0.299f, 1e-4f);
        EXPECT_NEAR(grey.c.xformMatrix[row][1], 0.587f, 1e-4f);
        EXPECT_NEAR(grey.c.xformMatrix[row][2], 0.114f, 1e-4f);
    }
    Result base(Dictionary{}, camera()), plusOne(Dictionary{{"Orvanta_Filter_inputEV", 1.0f}}, camera());
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(plusOne.c.xformMatrix[i][j], 2 * base.c.xformMatrix[i][j], 1e-6f);
    EXPECT_EQ(plusOne.matrix[3], base.matrix[3]);

    struct Case {
        float baseline;
        bool maintain;
        float gain;
    } cases[] = {{-0.5f, true, 1.0f}, {0.5f, true, std::exp2(0.5f)}, {-0.5f, false, std::exp2(-0.5f)}};
    for (const auto &c : cases) {
        Result r(Dictionary{{"Orvanta_MaintainWhites", c.maintain}}, camera(c.baseline));
        EXPECT_NEAR(r.c.xformMatrix[0][0], c.gain * base.c.xformMatrix[0][0], 1e-5f)
            << c.baseline << " " << c.maintain;
    }
}

TEST(ComputeMatrixAndLUT, WhiteBalance) {
    Result one(Dictionary{{"Orvanta_Filter_inputTemperature", 1.0f}, {"Orvanta_Filter_inputTint", 10.0f}},
               camera());
    EXPECT_EQ(one.c.wbMultiplier[0][0], 1.0f) << "a temperature of 1.0 leaves the white balance alone";
    EXPECT_EQ(one.c.wbMultiplier[2][2], 1.0f);
    Result asShot(Dictionary{{"Orvanta_Filter_inputTemperature", 3000.0f}, {"Orvanta_UseAsShotWB", true}},
                  camera());
    EXPECT_EQ(asShot.c.wbMultiplier[0][0], 1.0f);
    // Warmer than the as-shot white: red is turned down, blue up.
    Result warm(Dictionary{{"Orvanta_Filter_inputTemperature", 3000.0f}, {"Orvanta_Filter_inputTint", 0.0f}},
                camera());
    EXPECT_LT(warm.c.wbMultiplier[0][0], 1.0f);
    EXPECT_GT(warm.c.wbMultiplier[2][2], 1.0f);
    EXPECT_EQ(warm.c.wbMultiplier[0][1], 0.0f) << "only the diagonal";
}

TEST(ComputeMatrixAndLUT, KneeAndCurve) {
    // a = b = 2^3.5 − 1: the search starts from 0…1 and ends close to 0.
    Result k(Dictionary{{"Orvanta_Filter_inputKneeLow", 0.0f}, {"Orvanta_Filter_inputKneeHigh", 3.5f}},
             camera(), true);
    EXPECT_EQ(k.kneeLow, 1.0f);
    EXPECT_LT(k.kneeF, 1e-3f);
    EXPECT_GE(k.kneeF, 0.0f);
    // A real solution satisfies its equation.
    const float a = 16.0f, b = 5.0f, kk = ComputeMatrixAndLUT::solveKnee(a, b);
    EXPECT_NEAR(std::log(1 + kk * a) / kk, b, 1e-3f);

    // Brightness lifts the mid-tones; the repaired curve never falls.
    Result bright(Dictionary{{"Orvanta_Filter_inputBrightness", 1.0f}}, camera());
    const float *e = bright.lut->bufferFloatForRow(0);
    EXPECT_GT(e[4 * 1024], 1.0f);
    float previous = bright.offset;
    for (int i = 1; i < 4096; ++i) {
        const float value = bright.offset + (i / 4095.0f) * e[4 * i];
        ASSERT_GE(value + 1e-6f, previous) << i;
        previous = value;
    }

    Result missing(Dictionary{}, camera());
    ComputeMatrixAndLUT empty;
    float m[16];
    EXPECT_FALSE(empty.populateFloatLUTAndMatrix(missing.lut.get(), m, nullptr, nullptr, nullptr));
}
