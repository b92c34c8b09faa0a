#include "BuiltinProfiles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <lcms2.h>

namespace orvanta::builtin {
namespace {

struct Xyz {
    double X, Y, Z;
};

// The film characterisations pass through these points of the neutral axis
// (measured values; the rest of each grid is ours, see buildLut).
const TellingPoints kTelling[5] = {
    {{{0.83, 0.32, -1.48}, {81.23, -1.14, -2.70}, {100.0, -2.36, -1.63}}}, // 2e
    {{{0.22, -0.32, 0.83}, {82.96, -0.39, 1.55}, {100.0, -1.08, 4.81}}},   // 4e
    {{{2.25, -0.05, -1.05}, {85.20, -5.00, 2.58}, {100.0, -8.52, 4.55}}},  // 2k
    {{{0.00, -0.12, 0.09}, {82.34, -7.38, 1.43}, {100.0, -5.23, 4.25}}},   // 4k
    {{{0.03, 0.03, 0.03}, {79.04, -0.04, 0.02}, {100.0, 0.04, 0.36}}},     // Xn
};

int pcdIndex(Profile p) {
    switch (p) {
    case Profile::Pcd2e:
        return 0;
    case Profile::Pcd4e:
        return 1;
    case Profile::Pcd2k:
        return 2;
    case Profile::Pcd4k:
        return 3;
    case Profile::PcdXn:
        return 4;
    default:
        return -1;
    }
}

const char *pcdDescription(Profile p) {
    switch (p) {
    case Profile::Pcd2e:
        return "E-6, Pre-4 series scanner";
    case Profile::Pcd4e:
        return "E-6, 4 Series scanner";
    case Profile::Pcd2k:
        return "Kodachrome, Pre-4 series scanner";
    case Profile::Pcd4k:
        return "Kodachrome, 4 Series scanner";
    case Profile::PcdXn:
        return "Negative, all scanners";
    default:
        return "";
    }
}

// D50-adapted Rec. 709 primaries, the columns of linear RGB → XYZ.
constexpr Xyz kRec709R{0.43604, 0.22249, 0.01392}, kRec709G{0.38512, 0.71692, 0.09708},
    kRec709B{0.14304, 0.06061, 0.7139};
constexpr Xyz kD50{0.9642, 1.0, 0.8249};

bool writeText(cmsHPROFILE h, cmsTagSignature sig, const char *text) {
    cmsMLU *mlu = cmsMLUalloc(nullptr, 1);
    if (!mlu) return false;
    const bool ok = cmsMLUsetASCII(mlu, "en", "US", text) && cmsWriteTag(h, sig, mlu);
    cmsMLUfree(mlu);
    return ok;
}

bool writeXyz(cmsHPROFILE h, cmsTagSignature sig, Xyz v) {
    cmsCIEXYZ xyz{v.X, v.Y, v.Z};
    return cmsWriteTag(h, sig, &xyz);
}

bool writeChromaticity(cmsHPROFILE h, double rx, double ry, double gx, double gy, double bx, double by) {
    cmsCIExyYTRIPLE t{{rx, ry, 1.0}, {gx, gy, 1.0}, {bx, by, 1.0}};
    return cmsWriteTag(h, cmsSigChromaticityTag, &t);
}

// Bradford adaptation from white w to the D50 PCS white, as a "chad" tag
// (nine numbers, row by row).
bool writeChad(cmsHPROFILE h, Xyz w) {
    static const double mb[3][3] = {
        {0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}};
    static const double mbInv[3][3] = {{0.9869929, -0.1470543, 0.1599627},
                                       {0.4323053, 0.5183603, 0.0492912},
                                       {-0.0085287, 0.0400428, 0.9684867}};
    const double src[3] = {w.X, w.Y, w.Z};
    const cmsCIEXYZ *d50 = cmsD50_XYZ();
    const double dst[3] = {d50->X, d50->Y, d50->Z};
    double gain[3];
    for (int i = 0; i < 3; ++i) {
        const double a = mb[i][0] * src[0] + mb[i][1] * src[1] + mb[i][2] * src[2];
        const double b = mb[i][0] * dst[0] + mb[i][1] * dst[1] + mb[i][2] * dst[2];
        gain[i] = b / a;
    }
    double m[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                v += mbInv[i][k] * gain[k] * mb[k][j];
            m[3 * i + j] = v;
        }
    return cmsWriteTag(h, cmsSigChromaticAdaptationTag, m);
}

bool writeCurves(cmsHPROFILE h, cmsToneCurve *curve) {
    return curve && cmsWriteTag(h, cmsSigRedTRCTag, curve) && cmsWriteTag(h, cmsSigGreenTRCTag, curve) &&
           cmsWriteTag(h, cmsSigBlueTRCTag, curve);
}

cmsToneCurve *inverseRec709Curve() {
    std::vector<cmsUInt16Number> t(4096);
    for (int i = 0; i < 4096; ++i)
        t[i] = static_cast<cmsUInt16Number>(std::lround(inverseRec709(i / 4095.0) * 65535.0));
    return cmsBuildTabulatedToneCurve16(nullptr, 4096, t.data());
}

cmsHPROFILE placeholder(double version, cmsProfileClassSignature cls, cmsColorSpaceSignature pcs) {
    cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
    if (!h) return nullptr;
    cmsSetProfileVersion(h, version);
    cmsSetDeviceClass(h, cls);
    cmsSetColorSpace(h, cmsSigRgbData);
    cmsSetPCS(h, pcs);
    cmsSetHeaderRenderingIntent(h, INTENT_PERCEPTUAL);
    return h;
}

std::vector<std::uint8_t> save(cmsHPROFILE h, bool ok) {
    std::vector<std::uint8_t> out;
    cmsUInt32Number size = 0;
    if (ok && cmsSaveProfileToMem(h, nullptr, &size) && size > 0) {
        out.resize(size);
        if (!cmsSaveProfileToMem(h, out.data(), &size)) out.clear();
    }
    cmsCloseProfile(h);
    return out;
}

std::vector<std::uint8_t> renderingSpace(Profile which) {
    const bool rec709 = which == Profile::Rec709G1;
    cmsHPROFILE h = placeholder(rec709 ? 2.3 : 2.0, cmsSigDisplayClass, cmsSigXYZData);
    if (!h) return {};
    bool ok = true;
    Xyz white;
    if (rec709) {
        ok &= writeText(h, cmsSigProfileDescriptionTag, "Rec 709 Gamma 1");
        ok &= writeText(h, cmsSigDeviceMfgDescTag, "Quenfold");
        ok &= writeChromaticity(h, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06);
        ok &= writeXyz(h, cmsSigRedColorantTag, kRec709R) && writeXyz(h, cmsSigGreenColorantTag, kRec709G) &&
              writeXyz(h, cmsSigBlueColorantTag, kRec709B);
        white = {0.95042, 1.0, 1.0889};
    } else {
        ok &= writeText(h, cmsSigProfileDescriptionTag, "SoftProof ProPhoto Gamma 1");
        ok &= writeXyz(h, cmsSigRedColorantTag, {0.79768, 0.28804, 0.0}) &&
              writeXyz(h, cmsSigGreenColorantTag, {0.13519, 0.71188, 0.0}) &&
              writeXyz(h, cmsSigBlueColorantTag, {0.03148, 0.00009, 0.82845});
        white = which == Profile::ProPhotoG1_D65 ? Xyz{0.95044, 1.0, 1.08884} : Xyz{0.96417, 1.0, 0.82521};
    }
    ok &= writeText(h, cmsSigCopyrightTag, "No copyright, use freely");
    ok &= writeXyz(h, cmsSigMediaWhitePointTag, white);
    ok &= writeChad(h, white);
    cmsToneCurve *linear = cmsBuildGamma(nullptr, 1.0);
    ok &= writeCurves(h, linear);
    if (linear) cmsFreeToneCurve(linear);
    return save(h, ok);
}

std::vector<std::uint8_t> genericPcd() {
    cmsHPROFILE h = placeholder(2.3, cmsSigInputClass, cmsSigXYZData);
    if (!h) return {};
    bool ok = writeText(h, cmsSigProfileDescriptionTag, "Generic PCD");
    ok &= writeText(h, cmsSigDeviceMfgDescTag, "Quenfold");
    ok &= writeText(h, cmsSigCopyrightTag, "No copyright, use freely");
    ok &= writeXyz(h, cmsSigMediaWhitePointTag, {0.96422, 1.0, 0.8252});
    ok &= writeXyz(h, cmsSigRedColorantTag, {0.46901, 0.25311, 0.02232}) &&
          writeXyz(h, cmsSigGreenColorantTag, {0.35651, 0.68425, 0.10922}) &&
          writeXyz(h, cmsSigBlueColorantTag, {0.13869, 0.06264, 0.69336});
    ok &= writeChromaticity(h, 0.630, 0.340, 0.310, 0.595, 0.155, 0.070);
    cmsToneCurve *curve = inverseRec709Curve();
    ok &= writeCurves(h, curve);
    if (curve) cmsFreeToneCurve(curve);
    return save(h, ok);
}

// CIE L*a*b* (D50) of linear Rec. 709 RGB.
void baseLab(double r, double g, double b, double lab[3]) {
    const double X = kRec709R.X * r + kRec709G.X * g + kRec709B.X * b;
    const double Y = kRec709R.Y * r + kRec709G.Y * g + kRec709B.Y * b;
    const double Z = kRec709R.Z * r + kRec709G.Z * g + kRec709B.Z * b;
    auto f = [](double t) {
        return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0;
    };
    const double fx = f(X / kD50.X), fy = f(Y / kD50.Y), fz = f(Z / kD50.Z);
    lab[0] = 116.0 * fy - 16.0;
    lab[1] = 500.0 * (fx - fy);
    lab[2] = 200.0 * (fy - fz);
}

// A film's characterisation on the 31³ grid of linearised RGB: the Lab of
// Rec. 709 primaries, plus a correction that varies smoothly (quadratically)
// with the luminance of the grid point and equals the measured offset at the
// three telling points of the neutral axis.
std::vector<cmsUInt16Number> lutGrid(const TellingPoints &tp) {
    double corr[3][3]; // per telling point, measured minus base
    const double ts[3] = {0.0, 0.5, 1.0};
    for (int k = 0; k < 3; ++k) {
        double base[3];
        baseLab(ts[k], ts[k], ts[k], base);
        for (int c = 0; c < 3; ++c)
            corr[k][c] = tp.lab[k][c] - base[c];
    }
    auto correction = [&](double y, int c) {
        // Lagrange through (0, c0), (0.5, c1), (1, c2).
        const double c0 = corr[0][c], c1 = corr[1][c], c2 = corr[2][c];
        return c0 * (y - 0.5) * (y - 1.0) / 0.5 + c1 * y * (y - 1.0) / -0.25 + c2 * y * (y - 0.5) / 0.5;
    };
    std::vector<cmsUInt16Number> grid(31 * 31 * 31 * 3);
    std::size_t n = 0;
    for (int ri = 0; ri < 31; ++ri)
        for (int gi = 0; gi < 31; ++gi)
            for (int bi = 0; bi < 31; ++bi) {
                const double r = ri / 30.0, g = gi / 30.0, b = bi / 30.0;
                double lab[3];
                baseLab(r, g, b, lab);
                const double y = kRec709R.Y * r + kRec709G.Y * g + kRec709B.Y * b;
                cmsCIELab v{lab[0] + correction(y, 0), lab[1] + correction(y, 1), lab[2] + correction(y, 2)};
                v.L = std::clamp(v.L, 0.0, 100.0);
                cmsUInt16Number enc[3];
                cmsFloat2LabEncodedV2(enc, &v);
                grid[n++] = enc[0];
                grid[n++] = enc[1];
                grid[n++] = enc[2];
            }
    return grid;
}

std::vector<std::uint8_t> filmScanner(Profile which) {
    const int index = pcdIndex(which);
    cmsHPROFILE h = placeholder(2.3, cmsSigInputClass, cmsSigLabData);
    if (!h) return {};
    bool ok = writeText(h, cmsSigProfileDescriptionTag, pcdDescription(which));
    ok &= writeText(h, cmsSigDeviceMfgDescTag, "Quenfold");
    ok &= writeText(h, cmsSigDeviceModelDescTag, pcdDescription(which));
    ok &= writeText(h, cmsSigCopyrightTag, "No copyright, use freely");
    ok &= writeXyz(h, cmsSigMediaWhitePointTag, {0.96422, 1.0, 0.8252});

    cmsPipeline *lut = cmsPipelineAlloc(nullptr, 3, 3);
    cmsToneCurve *in = inverseRec709Curve();
    const cmsUInt16Number identity[2] = {0, 65535};
    cmsToneCurve *out = cmsBuildTabulatedToneCurve16(nullptr, 2, identity);
    const std::vector<cmsUInt16Number> grid = lutGrid(kTelling[index]);
    if (lut && in && out) {
        cmsToneCurve *ins[3] = {in, in, in}, *outs[3] = {out, out, out};
        ok &=
            cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, ins)) &&
            cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocCLut16bit(nullptr, 31, 3, 3, grid.data())) &&
            cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, outs));
        ok &= cmsWriteTag(h, cmsSigAToB0Tag, lut);
    } else {
        ok = false;
    }
    if (in) cmsFreeToneCurve(in);
    if (out) cmsFreeToneCurve(out);
    if (lut) cmsPipelineFree(lut);
    return save(h, ok);
}

std::vector<std::uint8_t> srgb() {
    cmsHPROFILE h = cmsCreate_sRGBProfile();
    if (!h) return {};
    const bool ok = writeText(h, cmsSigProfileDescriptionTag, "sRGB IEC61966-2.1");
    return save(h, ok);
}

} // namespace

double inverseRec709(double v) {
    return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}

TellingPoints tellingPoints(Profile which) {
    const int i = pcdIndex(which);
    return i >= 0 ? kTelling[i] : TellingPoints{};
}

std::vector<std::uint8_t> bytes(Profile which) {
    switch (which) {
    case Profile::ProPhotoG1:
    case Profile::ProPhotoG1_D65:
    case Profile::Rec709G1:
        return renderingSpace(which);
    case Profile::GenericPCD:
        return genericPcd();
    case Profile::SRGB:
        return srgb();
    default:
        return filmScanner(which);
    }
}

} // namespace orvanta::builtin
