#include "ComputeMatrixAndLUT.h"

#include "color/ColorHelper.h"
#include "color/DNGCameraProfile.h"

#include <cmath>

namespace orvanta {
namespace {

constexpr float kRGBtoYIQ[3][3] = {
    {0.299f, 0.587f, 0.114f}, {0.596f, -0.274f, -0.322f}, {0.212f, -0.523f, 0.311f}};
constexpr float kYIQtoRGB[3][3] = {{1, 0.956f, 0.621f}, {1, -0.272f, -0.647f}, {1, -1.105f, 1.702f}};

void mul(const float a[3][3], const float b[3][3], float out[3][3]) {
    float t[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            t[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = t[i][j];
}

void mulVec(const float m[3][3], const float v[3], float out[3]) {
    const float t0 = m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2];
    const float t1 = m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2];
    const float t2 = m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2];
    out[0] = t0, out[1] = t1, out[2] = t2;
}

// The adjugate over the determinant; the matrix itself when singular.
void inverseOrSelf(const float m[3][3], float out[3][3]) {
    const float det = m[0][0] * (m[1][1] * m[2][2] - m[2][1] * m[1][2]) -
                      m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                      m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (std::fabs(det) < 1e-10f) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                out[i][j] = m[i][j];
        return;
    }
    out[0][0] = (m[1][1] * m[2][2] - m[2][1] * m[1][2]) / det;
    out[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
    out[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    out[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
    out[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
    out[1][2] = (m[1][0] * m[0][2] - m[0][0] * m[1][2]) / det;
    out[2][0] = (m[1][0] * m[2][1] - m[2][0] * m[1][1]) / det;
    out[2][1] = (m[2][0] * m[0][1] - m[0][0] * m[2][1]) / det;
    out[2][2] = (m[0][0] * m[1][1] - m[1][0] * m[0][1]) / det;
}

std::optional<float> number(const Dictionary &d, const char *key) {
    const Value *v = d.get(key);
    if (!v) return std::nullopt;
    auto f = v->toFloat();
    return f;
}

} // namespace

float ComputeMatrixAndLUT::solveKnee(float a, float b) {
    float kLo, kHi;
    if (std::log(1.0f + a) > b) {
        kLo = 1;
        float k = 2;
        for (int guard = 0; std::log(1.0f + k * a) / k > b && guard < 128; ++guard) {
            kLo = k;
            k *= 2;
        }
        kHi = k;
    } else {
        kLo = 0;
        kHi = 1;
    }
    float m = (kLo + kHi) / 2;
    for (int i = 0; i < 30; ++i) {
        const float f = std::log(1.0f + m * a) / m;
        if (f < b)
            kHi = m;
        else
            kLo = m;
        m = (kLo + kHi) / 2;
    }
    return m;
}

bool ComputeMatrixAndLUT::populateFloatLUTAndMatrix(ImageBuffer *lut, float matrix[16], float *outputOffset,
                                                    float *kneeLow, float *kneeF) {
    if (!haveImage_ || !haveCamera_ || !lut || !lut->isFloat() || !matrix || lut->imageWidth < 2)
        return false;
    const Dictionary &img = imageParameters;
    const Dictionary &cam = cameraParameters;

    // 1–2. The knee.
    float kl = 0, kf = -1;
    const auto kneeLowStops = number(img, "Orvanta_Filter_inputKneeLow");
    const auto kneeHighStops = number(img, "Orvanta_Filter_inputKneeHigh");
    if (enableCinematic && kneeLowStops && kneeHighStops) {
        kl = std::exp2(*kneeLowStops);
        const float a = std::exp2(*kneeHighStops) - kl, b = 11.313708f - kl;
        kf = solveKnee(a, b);
    }

    // 3. The as-shot white and the camera matrices.
    const auto whitex = number(cam, "asShotWhitex"), whitey = number(cam, "asShotWhitey");
    float xyzFromProPhoto[3][3];
    ColorHelper::XYZFromProPhoto(xyzFromProPhoto);
    if (!haveTemperature && whitex && *whitex > 0 && whitey) {
        ColorHelper white;
        white.setFromxyCoord(*whitex, *whitey);
        float xyzAs[3];
        white.getXYZCoord(xyzAs);
        static const char *keys[3][3] = {{"cameraFromXYZ00", "cameraFromXYZ01", "cameraFromXYZ02"},
                                         {"cameraFromXYZ10", "cameraFromXYZ11", "cameraFromXYZ12"},
                                         {"cameraFromXYZ20", "cameraFromXYZ21", "cameraFromXYZ22"}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                camFromXYZ[i][j] = number(cam, keys[i][j]).value_or(0.f);
        float camAs[3], camW[3];
        mulVec(camFromXYZ, xyzAs, camAs);
        mul(camFromXYZ, xyzFromProPhoto, camFromRGB);
        const float ones[3] = {1, 1, 1};
        mulVec(camFromRGB, ones, camW);
        for (int i = 0; i < 3; ++i)
            asShotMultiplier[i] = camW[i] != 0 ? camAs[i] / camW[i] : 1.f;
        haveTemperature = true;
    }

    // 4. White balance by temperature and tint.
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            wbMultiplier[i][j] = i == j ? 1.f : 0.f;
    const auto temperature = number(img, "Orvanta_Filter_inputTemperature");
    const auto tint = number(img, "Orvanta_Filter_inputTint");
    if (!img.boolFor("Orvanta_UseAsShotWB") && haveTemperature && (temperature || tint) && temperature &&
        *temperature > 1.0f && whitex) {
        ColorHelper wb;
        wb.setFTemperature(*temperature);
        wb.setFTint(tint.value_or(0.f));
        float xyzT[3], c[3], rgb[3], inverse[3][3];
        wb.getXYZCoord(xyzT);
        mulVec(camFromXYZ, xyzT, c);
        for (int i = 0; i < 3; ++i)
            c[i] /= asShotMultiplier[i];
        inverseOrSelf(camFromRGB, inverse);
        mulVec(inverse, c, rgb);
        for (float &v : rgb)
            v = std::max(v, 0.01f);
        const float Y = 0.299f * rgb[0] + 0.587f * rgb[1] + 0.114f * rgb[2];
        for (int i = 0; i < 3; ++i)
            wbMultiplier[i][i] = Y / rgb[i];
    }

    // 5–9. Saturation, hue, exposure.
    const float s = number(img, "Orvanta_Filter_inputSaturation").value_or(1.f);
    const float theta = number(img, "Orvanta_Filter_inputAngle").value_or(0.f);
    if (!haveBaseline) {
        baselineExposure = number(cam, "cameraBaselineExposure").value_or(0.f);
        haveBaseline = true;
    }
    const float ev = number(img, "Orvanta_Filter_inputEV").value_or(0.f);
    const float B =
        img.boolFor("Orvanta_MaintainWhites") ? std::max(baselineExposure, 0.f) : baselineExposure;
    const float G = std::exp2(ev + B);
    const float hs[3][3] = {{G, 0, 0},
                            {0, G * s * std::cos(theta), -G * s * std::sin(theta)},
                            {0, G * s * std::sin(theta), G * s * std::cos(theta)}};
    float t[3][3];
    mul(kYIQtoRGB, hs, t);
    mul(t, kRGBtoYIQ, t);
    mul(t, wbMultiplier, xformMatrix);

    // 10. The output matrix: the transpose, and the tone-index weights.
    for (int i = 0; i < 16; ++i)
        matrix[i] = 0;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            matrix[4 * row + col] = xformMatrix[col][row];
    matrix[3] = 1228.8f;
    matrix[7] = 2457.6f;
    matrix[11] = 409.6f;

    // 11. The tone curve, built in a square-root domain.
    const int N = lut->imageWidth;
    float *e = lut->bufferFloatForRow(0);
    const float Kc = std::exp2(number(img, "Orvanta_Filter_inputContrast").value_or(0.f));
    const float Br = number(img, "Orvanta_Filter_inputBrightness").value_or(0.f);
    const float F = std::exp2(number(img, "Orvanta_Filter_inputFillLight").value_or(0.f));
    const float H = number(img, "Orvanta_Filter_inputHighLight").value_or(0.f);
    auto A = [](float x) {
        return static_cast<float>(DNGCameraProfileAbstract::dng_tone_curve_acr3_default(x));
    };
    auto Aprime = [&](float x) { return x >= 0.25f && x <= 1.0f ? A((x - 0.25f) / 0.75f) : x; };
    for (int i = 0; i < N; ++i) {
        const float x = static_cast<float>(i) / static_cast<float>(N - 1);
        e[4 * i + 1] = x;
        const float tt = std::sqrt(std::max((x - 0.0625f) * Kc + 0.0625f, 0.0f));
        float v = (A(tt) - tt) * tt * Br + tt;
        if (v < 0.353f) v = v * (tt * (1.0f - F) / 0.353f + F);
        const float u = (Aprime(v) - v) * v * H + v;
        e[4 * i] = u * u;
    }

    // 12. Monotonic repair.
    const int n = N / 8;
    if (N >= 16) {
        float r = e[4 * n];
        for (int j = n - 1; j >= 1; --j) {
            if (e[4 * j] > r) e[4 * j] = r;
            r = e[4 * j];
        }
    }
    if (n <= N && n < N) {
        float r = e[4 * n];
        for (int j = std::max(n - 1, 0); j <= N - 1; ++j) {
            if (r > e[4 * j]) e[4 * j] = r;
            r = e[4 * j];
        }
    }

    // 13. Gains.
    const float offset = e[0];
    e[0] = e[1] = e[2] = e[3] = 1.0f;
    for (int i = 1; i < N; ++i) {
        const float g = (e[4 * i] - offset) / e[4 * i + 1];
        e[4 * i] = e[4 * i + 1] = e[4 * i + 2] = g;
        e[4 * i + 3] = 1.0f;
    }
    if (outputOffset) *outputOffset = offset;
    if (kneeLow) *kneeLow = kl;
    if (kneeF) *kneeF = kf;
    return true;
}

} // namespace orvanta
