#pragma once
// Decoding helpers shared by the Photo CD tests.

#include "export/PngFile.h"
#include "photocd/PcdDecode.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::test {

struct Rgb8 {
    int width = 0, height = 0;
    std::vector<std::uint8_t> px; // interleaved RGB
};

// Decodes a file at a level in colour mode 0 to interleaved 8-bit RGB.
inline Rgb8 decodeRgb8(pcdDecode &d) {
    Rgb8 out;
    d.postProcess();
    out.width = d.getWidth(), out.height = d.getHeight();
    out.px.assign(std::size_t(out.width) * out.height * 3, 0);
    d.readImage(out.px.data(), out.px.data() + 1, out.px.data() + 2, nullptr, 3);
    return out;
}

// PSNR in dB of an 8-bit RGB image against the RGB of a PNG of the same size.
inline double psnr(const Rgb8 &img, const PngImage &ref) {
    if (img.width != ref.width || img.height != ref.height || ref.channels < 3) return 0;
    double sum = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double e = double(img.px[(std::size_t(y) * img.width + x) * 3 + c]) - ref.at(x, y, c);
                sum += e * e;
            }
    const double mse = sum / (double(img.width) * img.height * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace orvanta::test
