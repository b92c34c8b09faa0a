#include "color/ColorHelper.h"

#include "platform/Log.h"

#include <cmath>
#include <gtest/gtest.h>

using orvanta::ColorHelper;

TEST(ColorHelper, IlluminantsGiveTheirTemperatureAndTint) {
    struct Case {
        const char *name;
        float x, y, kelvin, tint;
    } cases[] = {
        {"D65", 0.3127f, 0.3290f, 6504, 9.8f},
        {"D50", 0.3457f, 0.3585f, 5001, 9.6f},
        {"A", 0.4476f, 0.4074f, 2855, 0.0f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ColorHelper h;
        h.setFromxyCoord(c.x, c.y);
        EXPECT_NEAR(h.fTemperature(), c.kelvin, 2.0f);
        EXPECT_NEAR(h.fTint(), c.tint, 0.3f);
    }
}

TEST(ColorHelper, TemperatureAndTintAreClamped) {
    ColorHelper blue;
    blue.setFromxyCoord(0.24f, 0.24f);
    EXPECT_EQ(blue.fTemperature(), 14000.f);
    // Positive tint lies on the green side of the locus (D65 is +9.8).
    ColorHelper green, magenta;
    green.setFromxyCoord(0.30f, 0.45f);
    magenta.setFromxyCoord(0.33f, 0.22f);
    EXPECT_EQ(green.fTint(), 150.f);
    EXPECT_EQ(magenta.fTint(), -150.f);
    // The table ends at 600 mired, so chromaticities alone never reach the
    // lower clamp; the setters store what they are given.
    ColorHelper red;
    red.setFromxyCoord(0.62f, 0.37f);
    EXPECT_NEAR(red.fTemperature(), 1e6f / 600, 0.01f);
    red.setFTemperature(500);
    EXPECT_EQ(red.fTemperature(), 500.f);
}

TEST(ColorHelper, ChromaticityRoundTripsAcrossTheGrid) {
    for (float kelvin = 2000; kelvin <= 12000; kelvin += 500)
        for (float tint = -100; tint <= 100; tint += 25) {
            ColorHelper a;
            a.setFTemperature(kelvin);
            a.setFTint(tint);
            float x, y;
            a.getxyCoord(&x, &y);
            ColorHelper b;
            b.setFromxyCoord(x, y);
            float x2, y2;
            b.getxyCoord(&x2, &y2);
            // Between 300 and 350 mired the table's published u at 325 (kept
            // to agree with the DNG reference) bends the locus, and the two
            // directions of Robertson's method disagree by up to 1e-5 even in
            // double precision; elsewhere they agree to single precision.
            const float mired = 1e6f / kelvin;
            const float tolerance = mired > 300 && mired < 350 ? 1.5e-5f : 2e-6f;
            EXPECT_NEAR(x2, x, tolerance) << kelvin << " K, tint " << tint;
            EXPECT_NEAR(y2, y, tolerance) << kelvin << " K, tint " << tint;
            EXPECT_NEAR(b.fTemperature(), kelvin, kelvin * 1e-4f);
            EXPECT_NEAR(b.fTint(), tint, 0.05f);
        }
}

TEST(ColorHelper, XYZConversions) {
    float xy[2];
    const float black[3] = {0, 0, 0};
    ColorHelper::XYZtoXY(black, xy);
    EXPECT_FLOAT_EQ(xy[0], 0.3457f);
    EXPECT_FLOAT_EQ(xy[1], 0.3585f);

    // (0.6, 0.6) sums past 0.999999 and is scaled back onto it first.
    const float over[2] = {0.6f, 0.6f};
    float xyz[3];
    ColorHelper::XYtoXYZ(over, xyz);
    const float s = 0.999999f / 1.2f;
    EXPECT_FLOAT_EQ(xyz[0], (0.6f * s) / (0.6f * s));
    EXPECT_FLOAT_EQ(xyz[1], 1.0f);
    EXPECT_NEAR(xyz[2], 0.000001f / (0.6f * s), 1e-6f);

    const float d65[2] = {0.3127f, 0.3290f};
    ColorHelper::XYtoXYZ(d65, xyz);
    float back[2];
    ColorHelper::XYZtoXY(xyz, back);
    EXPECT_NEAR(back[0], d65[0], 1e-6f);
    EXPECT_NEAR(back[1], d65[1], 1e-6f);

    // ProPhoto white (1, 1, 1) is D50.
    ColorHelper h;
    h.setFromProPhotoRGB(1, 1, 1);
    EXPECT_NEAR(h.fTemperature(), 5000, 30);
}

TEST(ColorHelper, WhiteMapping) {
    const float d65[2] = {0.3127f, 0.3290f}, a[2] = {0.4476f, 0.4074f};
    float m[3][3];
    ColorHelper::MapWhiteMatrix(d65, d65, m);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(m[i][j], i == j ? 1.0f : 0.0f, 1e-5f);

    // The matrix takes white 1 to white 2.
    ColorHelper::MapWhiteMatrix(d65, a, m);
    float w1[3], w2[3], mapped[3];
    ColorHelper::XYtoXYZ(d65, w1);
    ColorHelper::XYtoXYZ(a, w2);
    for (int i = 0; i < 3; ++i)
        mapped[i] = m[i][0] * w1[0] + m[i][1] * w1[1] + m[i][2] * w1[2];
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(mapped[i], w2[i], 1e-4f);

    orvanta::LogCapture log;
    ColorHelper::dumpMatrix(m);
    EXPECT_EQ(log.count("\n"), 4u);
}
