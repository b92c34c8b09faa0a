#pragma once
// Writes small CFA DNG files with libtiff: a known scene sampled through an
// RGGB pattern, with a colour matrix, as-shot neutral, baseline exposure and
// orientation of the test's choosing.

#include <algorithm>
#include <cmath>
#include <string>
#include <tiffio.h>
#include <vector>

namespace orvanta::test {

struct DngLayout {
    int width = 96, height = 64;
    float asShotNeutral[3] = {0.5f, 1.0f, 0.6666667f}; // camera multipliers 2, 1, 1.5
    float baselineExposure = 0.25f;
    int orientation = 1; // TIFF orientation
    std::string make = "Orvanta", model = "Fixture DNG";
    // XYZ to camera (a plausible camera's).
    float colorMatrix[9] = {0.7f, -0.2f, -0.05f, -0.4f, 1.2f, 0.2f, -0.1f, 0.2f, 0.6f};
    bool xtrans = false;          // a 6 × 6 X-Trans pattern instead of RGGB
    float secondGreenGain = 1.0f; // the odd-row green reads this much brighter
    // A neutral patch [x0, x1) × [y0, y1): the camera's response to a grey of
    // greyLevel under the as-shot light, so it must develop grey.
    int greyPatch[4] = {0, 0, 0, 0};
    float greyLevel = 0.25f;
};

inline constexpr std::uint8_t kXTransPattern[36] = {1, 1, 0, 1, 1, 2, 1, 1, 2, 1, 1, 0, 2, 0, 1, 0, 2, 1,
                                                    1, 1, 2, 1, 1, 0, 1, 1, 0, 1, 1, 2, 0, 2, 1, 2, 0, 1};

// Scene value of colour c (0 red, 1 green, 2 blue) at (x, y), 12-bit range.
inline int dngSceneValue(int x, int y, int c, int w, int h) {
    const double u = double(x) / w, v = double(y) / h;
    double val = c == 0 ? 0.2 + 0.6 * u : c == 1 ? 0.3 + 0.5 * v : 0.25 + 0.2 * std::sin(6 * u + 4 * v);
    if ((x / 16 + y / 16) % 2) val *= 0.6; // checks with edges
    return static_cast<int>(val * 4000);
}

inline bool writeCfaDng(const std::string &path, const DngLayout &s) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return false;
    const std::uint8_t version[4] = {1, 4, 0, 0};
    const std::uint16_t dims[2] = {static_cast<std::uint16_t>(s.xtrans ? 6 : 2),
                                   static_cast<std::uint16_t>(s.xtrans ? 6 : 2)};
    const std::uint8_t bayer[4] = {0, 1, 1, 2};
    const std::uint8_t *pattern = s.xtrans ? kXTransPattern : bayer;
    const int period = s.xtrans ? 6 : 2;
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 32803); // CFA
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.height);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, s.orientation);
    TIFFSetField(tif, TIFFTAG_MAKE, s.make.c_str());
    TIFFSetField(tif, TIFFTAG_MODEL, s.model.c_str());
    TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, version);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, (s.make + " " + s.model).c_str());
    TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dims);
    TIFFSetField(tif, TIFFTAG_CFAPATTERN, period * period, pattern);
    TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, s.colorMatrix);
    TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);
    TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, s.asShotNeutral);
    TIFFSetField(tif, TIFFTAG_BASELINEEXPOSURE, static_cast<double>(s.baselineExposure));
    const std::uint32_t white = 4095;
    TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);
    std::vector<std::uint16_t> row(s.width);
    bool ok = true;
    for (int y = 0; y < s.height && ok; ++y) {
        for (int x = 0; x < s.width; ++x) {
            const int c = pattern[(y % period) * period + (x % period)];
            double v = dngSceneValue(x, y, c, s.width, s.height);
            if (x >= s.greyPatch[0] && x < s.greyPatch[1] && y >= s.greyPatch[2] && y < s.greyPatch[3])
                v = s.greyLevel * s.asShotNeutral[c] * 4095.0;
            if (c == 1 && !s.xtrans && (y & 1)) v *= s.secondGreenGain;
            row[x] = static_cast<std::uint16_t>(std::min(v, 4095.0));
        }
        ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

} // namespace orvanta::test
