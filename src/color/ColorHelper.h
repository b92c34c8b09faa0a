#pragma once
// White balance as a colour temperature and tint, converted to and from a
// CIE 1931 chromaticity or an XYZ white by Robertson's method (the DNG
// reference table and tint scale, in single precision), the fixed matrices
// and illuminants of the white-balance code, and the linearised-Bradford
// white mapping.

namespace orvanta {

class ColorHelper {
public:
    // Class operations: constants.
    static void XYZFromsRGB_D50(float m[3][3]);
    static void XYZFromsRGB_D65(float m[3][3]);
    static void XYZFromProPhoto(float m[3][3]);
    static void StdA_xy_coord(float *x, float *y);
    static void D50_xy_coord(float *x, float *y);
    static void D55_xy_coord(float *x, float *y);
    static void D65_xy_coord(float *x, float *y);
    static void D75_xy_coord(float *x, float *y);

    // (X / S, Y / S), S = X + Y + Z; the D50 chromaticity when S ≤ 0.
    static void XYZtoXY(const float xyz[3], float xy[2]);
    // (x / y, 1, (1 − x − y) / y), x and y clamped to 0.000001…0.999999 and
    // scaled so that x + y ≤ 0.999999.
    static void XYtoXYZ(const float xy[2], float xyz[3]);
    static void ProPhotoRGBtoXYZ(float r, float g, float b, float xyz[3]);
    // The matrix that maps white 1 to white 2 (linearised Bradford), each
    // diagonal gain limited to 0.1…10.
    static void MapWhiteMatrix(const float white1[2], const float white2[2], float out[3][3]);
    static void dumpMatrix(const float m[3][3]);

    // Instance: one white balance.
    void setFromxyCoord(float x, float y);
    void setFromXYZCoord(const float xyz[3]);
    void setFromProPhotoRGB(float r, float g, float b);
    void getxyCoord(float *x, float *y) const;
    void getXYZCoord(float xyz[3]) const;

    float fTemperature() const { return fTemperature_; }
    void setFTemperature(float t) { fTemperature_ = t; }
    float fTint() const { return fTint_; }
    void setFTint(float t) { fTint_ = t; }

    static constexpr float kMinTemperature = 1000.f, kMaxTemperature = 14000.f;
    static constexpr float kMaxTint = 150.f;

private:
    float fTint_ = 0;
    float fTemperature_ = 5000;
};

} // namespace orvanta
