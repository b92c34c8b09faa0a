#pragma once
// The threaded raw processing steps that the raw decoder driver runs on the
// raw decoder library's in-memory image: green matching, border fill, the
// AHD (master) and LMMSE (alternate) demosaics, colour conversion and the
// oriented hand-over.
//
// The image is height × width pixels of four unsigned 16-bit samples (0 red,
// 1 green, 2 blue, 3 the second green of a Bayer sensor and later the fourth
// output sample), rows packed. Before demosaicing only the sample of the
// pixel's own filter colour is set.
//
// Threading: every step splits its rows into 16 bands; bands 0…14 run on
// joinable threads with small stacks, band 15 on the caller, and the step
// joins them all before it returns. Each band writes only its own rows and
// reads only samples that no band changes, so results do not depend on how
// the threads are scheduled.

#include <cstdint>
#include <functional>

namespace orvanta::rawsteps {

using Pixel = std::uint16_t[4];

// Pattern codes of the raw decoder library.
inline constexpr unsigned kPatternLeaf16x16 = 1;
inline constexpr unsigned kPatternXTrans = 9;

struct RawImage {
    Pixel *image = nullptr;
    int width = 0;
    int height = 0;
    unsigned filters = 0; // the pattern code
    int colors = 3;
    char xtrans[6][6] = {};            // the 6 × 6 pattern for code 9
    int topMargin = 0, leftMargin = 0; // origin of the 16 × 16 table of code 1

    // The filter colour of the pixel at (row, col): for codes ≥ 1000 the
    // Bayer formula, code 9 the X-Trans table, code 1 the 16 × 16 table.
    int fcol(int row, int col) const;
    bool isBayer() const { return filters >= 1000; }
    Pixel &at(int row, int col) const { return image[static_cast<long>(row) * width + col]; }
};

// Bayer colour of (row, col) for a pattern code of 1000 and above.
inline int bayerColor(unsigned filters, int row, int col) {
    return static_cast<int>(filters >> ((((row << 1) & 14) | (col & 1)) << 1) & 3);
}

// --- banding -----------------------------------------------------------
inline constexpr int kBandCount = 16;

// Runs band(first, last) for the 16 bands of rows first…limit (last
// exclusive): band k (k < 15) ends at ⌊limit / 16⌋ × (k + 1), or at
// bandRows × (k + 1) when bandRows is given; band 15 ends at limit. With
// evenEnds, band ends are rounded down to even rows. Bands never run
// backwards: on small images most of them are empty.
void runBands(int first, int limit, const std::function<void(int, int)> &band, bool evenEnds = false,
              int bandRows = 0);
// Band boundaries as runBands computes them: ends[k] for k = 0…15.
void bandEnds(int first, int limit, bool evenEnds, int ends[kBandCount], int bandRows = 0);
// Tests force every band onto the calling thread, in order.
void setBandsRunInline(bool inlineOnly);

// --- steps -------------------------------------------------------------

// Matches the two greens of a Bayer image whose greens are the distinct
// colours 1 and 3 (threshold 512 in the driver). Afterwards both greens are
// colour 1 and the colour count is 3. Returns false, changing nothing, for
// any other pattern.
bool greenMatching(RawImage &img, int threshold = 512);

// For every pixel less than border rows or columns from an edge, each colour
// 0…2 other than its own becomes the integer mean of that colour's samples
// in the 5 × 5 window around it.
void borderFill(RawImage &img, int border);

// AHD demosaic (the master image). rgbCam is the library's camera-to-output
// matrix, which sets the CIELab conversion behind the homogeneity test. For
// X-Trans (code 9) the candidates come from the neighbour lists.
void ahdDemosaic(RawImage &img, const float rgbCam[3][4]);

// LMMSE demosaic (the alternate image; three-colour images only). With
// recoverHighlights, or for X-Trans, the list-based worker runs.
void lmmseDemosaic(RawImage &img, bool recoverHighlights);

// Colour conversion with the 3 × 4 matrix for images of fewer than four
// colours; the fourth sample becomes the luminance. A monochrome image is
// copied into all four samples and counts as three-colour afterwards.
void colorConvert(RawImage &img, const float matrix[3][4]);

// Size after orientation code flip (4 transposes).
inline void orientedSize(int width, int height, int flip, int *outWidth, int *outHeight) {
    *outWidth = (flip & 4) ? height : width;
    *outHeight = (flip & 4) ? width : height;
}
// Copies img into dst (of the oriented size) for orientation code flip:
// 4 transposes, 2 reverses the row order, 1 the column order. Colour samples
// are copied unchanged and the fourth becomes 65535. A non-zero sharpening
// value copies nothing (each band prints the refusal on standard output).
void orientedHandover(const RawImage &img, int flip, int sharpening, Pixel *dst);
// The same into samples (3: red, green, blue only; 4: as above) per pixel;
// code 0 copies the image as it stands.
void orientedHandover(const RawImage &img, int flip, int sharpening, std::uint16_t *dst, int samples);

} // namespace orvanta::rawsteps
