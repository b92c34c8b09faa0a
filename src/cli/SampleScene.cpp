#include "SampleScene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tiffio.h>
#include <vector>

namespace orvanta {

namespace {

// Linear sRGB reflectances of a colour-checker-like chart, row by row.
constexpr float kPatches[24][3] = {
    {0.17f, 0.09f, 0.06f}, {0.54f, 0.30f, 0.22f}, {0.12f, 0.20f, 0.34f}, {0.10f, 0.15f, 0.06f},
    {0.24f, 0.22f, 0.44f}, {0.13f, 0.51f, 0.41f}, {0.68f, 0.20f, 0.03f}, {0.07f, 0.10f, 0.39f},
    {0.53f, 0.09f, 0.12f}, {0.10f, 0.04f, 0.14f}, {0.34f, 0.50f, 0.05f}, {0.76f, 0.36f, 0.02f},
    {0.03f, 0.05f, 0.29f}, {0.06f, 0.29f, 0.07f}, {0.44f, 0.03f, 0.04f}, {0.82f, 0.59f, 0.01f},
    {0.50f, 0.08f, 0.29f}, {0.00f, 0.23f, 0.38f}, {0.88f, 0.88f, 0.86f}, {0.58f, 0.59f, 0.59f},
    {0.36f, 0.36f, 0.36f}, {0.19f, 0.19f, 0.19f}, {0.09f, 0.09f, 0.09f}, {0.03f, 0.03f, 0.03f},
};

// Linear sRGB (D65) to linear ProPhoto RGB (D50), Bradford-adapted.
constexpr float kSRGBToProPhoto[3][3] = {
    {0.5293f, 0.3300f, 0.1407f}, {0.0983f, 0.8734f, 0.0283f}, {0.0169f, 0.1177f, 0.8654f}};

void scene(int x, int y, int w, int h, float out[3]) {
    float rgb[3] = {0.18f, 0.18f, 0.18f};
    const float u = float(x) / w, v = float(y) / h;
    if (v < 0.62f) {
        // The chart: 6 × 4 patches with dark gaps.
        const float pu = u * 6, pv = v / 0.62f * 4;
        const int col = std::min(5, static_cast<int>(pu)), row = std::min(3, static_cast<int>(pv));
        const bool gap = pu - col < 0.08f || pu - col > 0.92f || pv - row < 0.08f || pv - row > 0.92f;
        for (int c = 0; c < 3; ++c)
            rgb[c] = gap ? 0.02f : kPatches[row * 6 + col][c];
    } else if (v < 0.78f) {
        // A grey ramp in eleven steps of half a stop.
        const int step = std::min(10, static_cast<int>(u * 11));
        const float g = 0.9f * std::exp2(-0.5f * static_cast<float>(10 - step));
        rgb[0] = rgb[1] = rgb[2] = g;
    } else {
        // Fine detail: a zone plate and a row of thin lines.
        if (u < 0.5f) {
            const float dx = (u - 0.25f) * w, dy = (v - 0.89f) * h;
            const float s = 0.5f + 0.5f * std::cos(0.0025f * (dx * dx + dy * dy));
            rgb[0] = rgb[1] = rgb[2] = 0.05f + 0.5f * s;
        } else {
            const bool line = (x / 2) % 2 == 0;
            rgb[0] = line ? 0.6f : 0.05f, rgb[1] = line ? 0.5f : 0.05f, rgb[2] = line ? 0.2f : 0.05f;
        }
    }
    for (int r = 0; r < 3; ++r)
        out[r] =
            kSRGBToProPhoto[r][0] * rgb[0] + kSRGBToProPhoto[r][1] * rgb[1] + kSRGBToProPhoto[r][2] * rgb[2];
}

} // namespace

bool writeSampleDng(const std::string &path, int width, int height, std::string *message) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (!tif) {
        if (message) *message = "cannot create " + path;
        return false;
    }
    const std::uint8_t version[4] = {1, 4, 0, 0};
    const std::uint16_t dims[2] = {2, 2};
    const std::uint8_t pattern[4] = {0, 1, 1, 2};
    // XYZ (D50) to camera: the inverse of ProPhoto RGB to XYZ.
    const float matrix[9] = {1.3459f, -0.2556f, -0.0511f, -0.5446f, 1.5082f, 0.0205f, 0.0f, 0.0f, 1.2123f};
    const float neutral[3] = {1, 1, 1};
    const std::uint32_t white = 65535;
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 32803); // colour filter array
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 64);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, 1);
    TIFFSetField(tif, TIFFTAG_MAKE, "Orvanta");
    TIFFSetField(tif, TIFFTAG_MODEL, "Sample Scene");
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "orvanta make-sample");
    TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, version);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Orvanta Sample Scene");
    TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dims);
    TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
    TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, matrix);
    TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 23);
    TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);
    std::vector<std::uint16_t> row(static_cast<std::size_t>(width));
    bool ok = true;
    for (int y = 0; y < height && ok; ++y) {
        for (int x = 0; x < width; ++x) {
            float rgb[3];
            scene(x, y, width, height, rgb);
            const int c = pattern[(y % 2) * 2 + (x % 2)];
            row[static_cast<std::size_t>(x)] =
                static_cast<std::uint16_t>(std::lround(std::clamp(rgb[c], 0.0f, 1.0f) * 65535.0f));
        }
        ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) >= 0;
    }
    TIFFClose(tif);
    if (!ok && message) *message = "cannot write " + path;
    return ok;
}

} // namespace orvanta
