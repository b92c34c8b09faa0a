#include "ColorHelper.h"

#include "platform/Log.h"

#include <algorithm>
#include <cmath>

namespace orvanta {
namespace {

// Robertson's isotemperature lines: reciprocal temperature (mired), the
// Planckian point (u, v) in CIE 1960 UCS, and the line's slope. The row at
// 325 mired keeps the published u = 0.24702 so that results agree with the
// DNG reference implementation.
struct Line {
    float r, u, v, t;
};
constexpr Line kTable[31] = {
    {0, 0.18006f, 0.26352f, -0.24341f},   {10, 0.18066f, 0.26589f, -0.25479f},
    {20, 0.18133f, 0.26846f, -0.26876f},  {30, 0.18208f, 0.27119f, -0.28539f},
    {40, 0.18293f, 0.27407f, -0.30470f},  {50, 0.18388f, 0.27709f, -0.32675f},
    {60, 0.18494f, 0.28021f, -0.35156f},  {70, 0.18611f, 0.28342f, -0.37915f},
    {80, 0.18740f, 0.28668f, -0.40955f},  {90, 0.18880f, 0.28997f, -0.44278f},
    {100, 0.19032f, 0.29326f, -0.47888f}, {125, 0.19462f, 0.30141f, -0.58204f},
    {150, 0.19962f, 0.30921f, -0.70471f}, {175, 0.20525f, 0.31647f, -0.84901f},
    {200, 0.21142f, 0.32312f, -1.0182f},  {225, 0.21807f, 0.32909f, -1.2168f},
    {250, 0.22511f, 0.33439f, -1.4512f},  {275, 0.23247f, 0.33904f, -1.7298f},
    {300, 0.24010f, 0.34308f, -2.0637f},  {325, 0.24702f, 0.34655f, -2.4681f},
    {350, 0.25591f, 0.34951f, -2.9641f},  {375, 0.26400f, 0.35200f, -3.5814f},
    {400, 0.27218f, 0.35407f, -4.3633f},  {425, 0.28039f, 0.35577f, -5.3762f},
    {450, 0.28863f, 0.35714f, -6.7262f},  {475, 0.29685f, 0.35823f, -8.5955f},
    {500, 0.30505f, 0.35907f, -11.324f},  {525, 0.31320f, 0.35968f, -15.628f},
    {550, 0.32129f, 0.36011f, -23.325f},  {575, 0.32931f, 0.36038f, -40.770f},
    {600, 0.33724f, 0.36051f, -116.45f},
};
constexpr float kTintScale = -3000.0f;

constexpr float kBradford[3][3] = {
    {0.8951f, 0.2664f, -0.1614f}, {-0.7502f, 1.7135f, 0.0367f}, {0.0389f, -0.0685f, 1.0296f}};

void copy3(const float src[3][3], float dst[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            dst[i][j] = src[i][j];
}

void mul3(const float a[3][3], const float b[3][3], float out[3][3]) {
    float t[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            t[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    copy3(t, out);
}

void mulVec(const float m[3][3], const float v[3], float out[3]) {
    float t[3];
    for (int i = 0; i < 3; ++i)
        t[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    out[0] = t[0], out[1] = t[1], out[2] = t[2];
}

bool invert3(const float m[3][3], float out[3][3]) {
    const double a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0],
                 h = m[2][1], k = m[2][2];
    const double A = e * k - f * h, B = -(d * k - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (std::fabs(det) < 1e-12) return false;
    out[0][0] = static_cast<float>(A / det);
    out[1][0] = static_cast<float>(B / det);
    out[2][0] = static_cast<float>(C / det);
    out[0][1] = static_cast<float>(-(b * k - c * h) / det);
    out[1][1] = static_cast<float>((a * k - c * g) / det);
    out[2][1] = static_cast<float>(-(a * h - b * g) / det);
    out[0][2] = static_cast<float>((b * f - c * e) / det);
    out[1][2] = static_cast<float>(-(a * f - c * d) / det);
    out[2][2] = static_cast<float>((a * e - b * d) / det);
    return true;
}

} // namespace

void ColorHelper::XYZFromsRGB_D50(float m[3][3]) {
    static constexpr float k[3][3] = {
        {0.4361f, 0.3851f, 0.1431f}, {0.2225f, 0.7169f, 0.0606f}, {0.0139f, 0.0971f, 0.7141f}};
    copy3(k, m);
}

void ColorHelper::XYZFromsRGB_D65(float m[3][3]) {
    static constexpr float k[3][3] = {{0.412456f, 0.357576f, 0.180438f},
                                      {0.212673f, 0.715152f, 0.072175f},
                                      {0.019334f, 0.119192f, 0.950304f}};
    copy3(k, m);
}

void ColorHelper::XYZFromProPhoto(float m[3][3]) {
    static constexpr float k[3][3] = {
        {0.7977f, 0.1352f, 0.0313f}, {0.2880f, 0.7119f, 0.0001f}, {0.0f, 0.0f, 0.8249f}};
    copy3(k, m);
}

void ColorHelper::StdA_xy_coord(float *x, float *y) {
    *x = 0.4476f, *y = 0.4074f;
}
void ColorHelper::D50_xy_coord(float *x, float *y) {
    *x = 0.3457f, *y = 0.3585f;
}
void ColorHelper::D55_xy_coord(float *x, float *y) {
    *x = 0.3324f, *y = 0.3474f;
}
void ColorHelper::D65_xy_coord(float *x, float *y) {
    *x = 0.3127f, *y = 0.3290f;
}
void ColorHelper::D75_xy_coord(float *x, float *y) {
    *x = 0.2990f, *y = 0.3149f;
}

void ColorHelper::XYZtoXY(const float xyz[3], float xy[2]) {
    const float s = xyz[0] + xyz[1] + xyz[2];
    if (s > 0) {
        xy[0] = xyz[0] / s;
        xy[1] = xyz[1] / s;
    } else {
        D50_xy_coord(&xy[0], &xy[1]);
    }
}

void ColorHelper::XYtoXYZ(const float xyIn[2], float xyz[3]) {
    float x = std::clamp(xyIn[0], 0.000001f, 0.999999f);
    float y = std::clamp(xyIn[1], 0.000001f, 0.999999f);
    if (x + y > 0.999999f) {
        const float scale = 0.999999f / (x + y);
        x *= scale;
        y *= scale;
    }
    xyz[0] = x / y;
    xyz[1] = 1.0f;
    xyz[2] = (1.0f - x - y) / y;
}

void ColorHelper::ProPhotoRGBtoXYZ(float r, float g, float b, float xyz[3]) {
    float m[3][3];
    XYZFromProPhoto(m);
    const float rgb[3] = {r, g, b};
    mulVec(m, rgb, xyz);
}

void ColorHelper::MapWhiteMatrix(const float white1[2], const float white2[2], float out[3][3]) {
    float xyz1[3], xyz2[3], w1[3], w2[3];
    XYtoXYZ(white1, xyz1);
    XYtoXYZ(white2, xyz2);
    mulVec(kBradford, xyz1, w1);
    mulVec(kBradford, xyz2, w2);
    float a[3][3] = {};
    for (int k = 0; k < 3; ++k) {
        w1[k] = std::max(w1[k], 0.0f);
        w2[k] = std::max(w2[k], 0.0f);
        const float gain = w1[k] > 0 ? w2[k] / w1[k] : 10.0f;
        a[k][k] = std::clamp(gain, 0.1f, 10.0f);
    }
    float inverse[3][3];
    if (!invert3(kBradford, inverse)) {
        logMessage("%s - could not invert matrix; dterminant not found",
                   "+[ColorHelper MapWhiteMatrix:toWhite:whiteMatrix:]");
        return;
    }
    float t[3][3];
    mul3(a, kBradford, t);
    mul3(inverse, t, out);
}

void ColorHelper::dumpMatrix(const float m[3][3]) {
    for (int i = 0; i < 3; ++i)
        logMessage("%0.4f %0.4f %0.4f", m[i][0], m[i][1], m[i][2]);
    logMessage("%s", "");
}

void ColorHelper::setFromxyCoord(float x, float y) {
    const float denom = 1.5f - x + 6.0f * y;
    const float u = 2.0f * x / denom;
    const float v = 3.0f * y / denom;

    float lastDt = 0, lastDu = 0, lastDv = 0;
    float temperature = 0, tint = 0;
    for (int index = 1; index <= 30; ++index) {
        // The line's unit direction and the signed distance of (u, v) from it.
        float du = 1.0f, dv = kTable[index].t;
        const float len = std::sqrt(1.0f + dv * dv);
        du /= len;
        dv /= len;
        float dt = -(u - kTable[index].u) * dv + (v - kTable[index].v) * du;
        if (dt <= 0.0f || index == 30) {
            if (dt > 0.0f) dt = 0.0f;
            dt = -dt;
            const float f = index == 1 ? 0.0f : dt / (lastDt + dt);
            temperature = 1.0e6f / (kTable[index - 1].r * f + kTable[index].r * (1.0f - f));
            const float uu = u - (kTable[index - 1].u * f + kTable[index].u * (1.0f - f));
            const float vv = v - (kTable[index - 1].v * f + kTable[index].v * (1.0f - f));
            du = du * (1.0f - f) + lastDu * f;
            dv = dv * (1.0f - f) + lastDv * f;
            const float l = std::sqrt(du * du + dv * dv);
            du /= l;
            dv /= l;
            tint = (uu * du + vv * dv) * kTintScale;
            break;
        }
        lastDt = dt;
        lastDu = du;
        lastDv = dv;
    }
    fTemperature_ = std::clamp(temperature, kMinTemperature, kMaxTemperature);
    fTint_ = std::clamp(tint, -kMaxTint, kMaxTint);
}

void ColorHelper::setFromXYZCoord(const float xyz[3]) {
    float xy[2];
    XYZtoXY(xyz, xy);
    setFromxyCoord(xy[0], xy[1]);
}

void ColorHelper::setFromProPhotoRGB(float r, float g, float b) {
    float xyz[3];
    ProPhotoRGBtoXYZ(r, g, b, xyz);
    setFromXYZCoord(xyz);
}

void ColorHelper::getxyCoord(float *x, float *y) const {
    const float r = 1.0e6f / fTemperature_;
    const float offset = fTint_ * (1.0f / kTintScale);
    int index = 0;
    while (index < 29 && !(r < kTable[index + 1].r))
        ++index;
    const float f = (kTable[index + 1].r - r) / (kTable[index + 1].r - kTable[index].r);
    float u = kTable[index].u * f + kTable[index + 1].u * (1.0f - f);
    float v = kTable[index].v * f + kTable[index + 1].v * (1.0f - f);
    const float len1 = std::sqrt(1.0f + kTable[index].t * kTable[index].t);
    const float len2 = std::sqrt(1.0f + kTable[index + 1].t * kTable[index + 1].t);
    float du = (1.0f / len1) * f + (1.0f / len2) * (1.0f - f);
    float dv = (kTable[index].t / len1) * f + (kTable[index + 1].t / len2) * (1.0f - f);
    const float l = std::sqrt(du * du + dv * dv);
    du /= l;
    dv /= l;
    u += du * offset;
    v += dv * offset;
    *x = 1.5f * u / (u - 4.0f * v + 2.0f);
    *y = v / (u - 4.0f * v + 2.0f);
}

void ColorHelper::getXYZCoord(float xyz[3]) const {
    float xy[2];
    getxyCoord(&xy[0], &xy[1]);
    XYtoXYZ(xy, xyz);
}

} // namespace orvanta
