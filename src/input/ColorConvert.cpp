#include "RawStepsInternal.h"

#include <cstdio>

namespace orvanta::rawsteps {

using detail::clip16;

void colorConvert(RawImage &img, const float matrix[3][4]) {
    if (!img.image || img.colors >= 4) return;
    const int W = img.width, H = img.height;
    if (img.colors == 1) {
        // Monochrome: the single value in every sample, three colours from now on.
        runBands(0, H, [&](int first, int last) {
            for (int r = first; r < last; ++r) {
                Pixel *pix = &img.at(r, 0);
                for (int c = 0; c < W; ++c)
                    pix[c][1] = pix[c][2] = pix[c][3] = pix[c][0];
            }
        });
        img.colors = 3;
        return;
    }
    const int colors = img.colors;
    runBands(0, H, [&](int first, int last) {
        for (int r = first; r < last; ++r) {
            Pixel *pix = &img.at(r, 0);
            for (int c = 0; c < W; ++c) {
                float out[3] = {0, 0, 0};
                for (int k = 0; k < colors; ++k) {
                    out[0] += matrix[0][k] * pix[c][k];
                    out[1] += matrix[1][k] * pix[c][k];
                    out[2] += matrix[2][k] * pix[c][k];
                }
                const float luminance = 0.299f * out[0] + 0.587f * out[1] + 0.114f * out[2];
                for (int k = 0; k < 3; ++k)
                    pix[c][k] = static_cast<std::uint16_t>(clip16(static_cast<int>(out[k])));
                pix[c][3] = static_cast<std::uint16_t>(clip16(static_cast<int>(luminance)));
            }
        }
    });
}

void orientedHandover(const RawImage &img, int flip, int sharpening, Pixel *dst) {
    orientedHandover(img, flip, sharpening, reinterpret_cast<std::uint16_t *>(dst), 4);
}

void orientedHandover(const RawImage &img, int flip, int sharpening, std::uint16_t *dst, int samples) {
    if (!img.image || !dst || (samples != 3 && samples != 4)) return;
    const int W = img.width, H = img.height;
    int outW, outH;
    orientedSize(W, H, flip, &outW, &outH);
    const bool threeColor = img.colors == 3;
    if (!threeColor) std::printf("Non three color image passed to createCGImage\n");
    // Bands of ⌊height / 16⌋ output rows rounded down to even, the last to the end.
    const int bandRows = (outH / kBandCount) & ~1;
    runBands(
        0, outH,
        [&](int first, int last) {
            if (first >= last) return;
            if (sharpening != 0) {
                std::printf("Illegal call to bufferWriteToBuffer16_core with non-zero sharpening\n");
                return;
            }
            for (int r = first; r < last; ++r) {
                std::uint16_t *out = dst + static_cast<long>(r) * outW * samples;
                for (int c = 0; c < outW; ++c, out += samples) {
                    int sr = r, sc = c;
                    if (flip & 4) std::swap(sr, sc);
                    if (flip & 2) sr = H - 1 - sr;
                    if (flip & 1) sc = W - 1 - sc;
                    const Pixel &in = img.at(sr, sc);
                    out[0] = in[0];
                    out[1] = in[1];
                    out[2] = in[2];
                    if (samples == 4) out[3] = threeColor ? 65535 : in[3];
                }
            }
        },
        false, bandRows);
}

} // namespace orvanta::rawsteps
