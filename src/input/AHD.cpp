// AHD demosaic: per 256 × 256 tile, green interpolated along rows and along
// columns, red and blue for both candidates, both converted to CIELab, a
// homogeneity map over 3 × 3 windows, and per pixel the more homogeneous
// candidate. The arithmetic is integer and single-precision exactly as the
// raw decoder library's AHD, so results agree with it sample for sample.

#include "RawStepsInternal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvanta::rawsteps {
namespace {

using namespace detail;

// Hot loops get an AVX2 variant chosen at run time; AVX2 brings no fused
// multiply-add, so every result is the same as the baseline build's. The
// sanitizers instrument the variant resolver, which runs before they are
// set up, so their builds keep one variant.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORVANTA_HOT_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ORVANTA_HOT_CLONES
#endif

constexpr int TS = 256;       // tile side read
constexpr int kStep = TS - 6; // tiles advance by 250 and write adjoining areas

// sRGB (D65) to XYZ and the D65 white, as the library defines them.
constexpr double kXyzRgb[3][3] = {
    {0.4124564, 0.3575761, 0.1804375}, {0.2126729, 0.7151522, 0.0721750}, {0.0193339, 0.1191920, 0.9503041}};
constexpr float kD65White[3] = {0.95047f, 1.00000f, 1.08883f};

struct LabTables {
    float cbrt[0x10000];
    float xyzCam[3][3];
};

// The cube-root table does not depend on the camera: built once per process.
const float *cubeRootTable() {
    static const auto *table = [] {
        auto *t = new float[0x10000];
        for (int i = 0; i < 0x10000; ++i) {
            const float r = static_cast<float>(i / 65535.0);
            t[i] = r > 0.008856 ? std::pow(r, 1.f / 3.0f) : 7.787f * r + 16.f / 116.0f;
        }
        return t;
    }();
    return table;
}

void buildLabTables(const float rgbCam[3][4], LabTables &t) {
    std::copy(cubeRootTable(), cubeRootTable() + 0x10000, t.cbrt);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float acc = 0;
            for (int k = 0; k < 3; ++k)
                acc += kXyzRgb[i][k] * rgbCam[k][j] / kD65White[i];
            t.xyzCam[i][j] = acc;
        }
}

inline void cielab(const LabTables &t, const std::uint16_t rgb[3], std::int16_t &L, std::int16_t &A,
                   std::int16_t &B) {
    float x = 0.5f, y = 0.5f, z = 0.5f;
    for (int c = 0; c < 3; ++c) {
        x += t.xyzCam[0][c] * rgb[c];
        y += t.xyzCam[1][c] * rgb[c];
        z += t.xyzCam[2][c] * rgb[c];
    }
    x = t.cbrt[clip16(static_cast<int>(x))];
    y = t.cbrt[clip16(static_cast<int>(y))];
    z = t.cbrt[clip16(static_cast<int>(z))];
    L = static_cast<std::int16_t>(64 * (116 * y - 16));
    A = static_cast<std::int16_t>(64 * 500 * (x - y));
    B = static_cast<std::int16_t>(64 * 200 * (y - z));
}

// Per-band scratch: 26 bytes per tile pixel, and row buffers.
struct Scratch {
    std::uint16_t rgb[2][TS][TS][3];
    std::int16_t lab[2][3][TS][TS]; // planes of L, a and b per direction
    std::uint8_t homo[TS][TS][2];
    // Row buffers of the homogeneity map (kept here: band threads have small stacks).
    std::uint32_t lr[2][TS], abr[2][TS], lu[2][TS], abu[2][TS], ld[2][TS], abd[2][TS];
    std::uint8_t colSum[TS][2];
    std::uint32_t leps[TS], abeps[TS];
    std::uint8_t count[2][TS];
    float fr[TS], fg[TS], fb[TS], cx[TS], cy[TS], cz[TS];
    int ix[TS], iy[TS], iz[TS];
};
static_assert(sizeof(Scratch) >= 26 * TS * TS);

struct Context {
    RawImage &img;
    const Mosaic &m;
    const PatternTable &pattern;
    const LabTables &lab;
    const NeighbourLists *lists; // X-Trans only
};

// Green along rows (direction 0) and along columns (1) at red and blue sites.
ORVANTA_HOT_CLONES void greenHV(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowLimit = std::min(top + rows, H - 2), colLimit = std::min(left + TS, W - 2);
    const long ws = cx.m.stride();
    for (int row = top; row < rowLimit; ++row) {
        int col = left + (cx.pattern.at(row, left) & 1);
        const std::uint16_t *p = cx.m.row(row);
        for (; col < colLimit; col += 2) {
            const std::uint16_t *q = p + col;
            int val = ((q[-1] + q[0] + q[1]) * 2 - q[-2] - q[2]) >> 2;
            s.rgb[0][row - top][col - left][1] = static_cast<std::uint16_t>(ulim<int>(val, q[-1], q[1]));
            val = ((q[-ws] + q[0] + q[ws]) * 2 - q[-2 * ws] - q[2 * ws]) >> 2;
            s.rgb[1][row - top][col - left][1] = static_cast<std::uint16_t>(ulim<int>(val, q[-ws], q[ws]));
        }
    }
}

// CIELab of one tile row, columns [c0, c1), as cielab() per pixel but in
// passes over arrays: the float arithmetic, in the same order per pixel,
// vectorises; only the table lookups stay one by one.
ORVANTA_HOT_CLONES void labRow(const LabTables &t, Scratch &s, const std::uint16_t (*rgb)[3], std::int16_t *L,
                               std::int16_t *A, std::int16_t *B, int c0, int c1) {
    for (int i = c0; i < c1; ++i) {
        s.fr[i] = rgb[i][0];
        s.fg[i] = rgb[i][1];
        s.fb[i] = rgb[i][2];
    }
    const float m00 = t.xyzCam[0][0], m01 = t.xyzCam[0][1], m02 = t.xyzCam[0][2];
    const float m10 = t.xyzCam[1][0], m11 = t.xyzCam[1][1], m12 = t.xyzCam[1][2];
    const float m20 = t.xyzCam[2][0], m21 = t.xyzCam[2][1], m22 = t.xyzCam[2][2];
    for (int i = c0; i < c1; ++i) {
        float x = 0.5f, y = 0.5f, z = 0.5f;
        x += m00 * s.fr[i];
        y += m10 * s.fr[i];
        z += m20 * s.fr[i];
        x += m01 * s.fg[i];
        y += m11 * s.fg[i];
        z += m21 * s.fg[i];
        x += m02 * s.fb[i];
        y += m12 * s.fb[i];
        z += m22 * s.fb[i];
        s.ix[i] = clip16(static_cast<int>(x));
        s.iy[i] = clip16(static_cast<int>(y));
        s.iz[i] = clip16(static_cast<int>(z));
    }
    for (int i = c0; i < c1; ++i) {
        s.cx[i] = t.cbrt[s.ix[i]];
        s.cy[i] = t.cbrt[s.iy[i]];
        s.cz[i] = t.cbrt[s.iz[i]];
    }
    for (int i = c0; i < c1; ++i) {
        L[i] = static_cast<std::int16_t>(64 * (116 * s.cy[i] - 16));
        A[i] = static_cast<std::int16_t>(64 * 500 * (s.cx[i] - s.cy[i]));
        B[i] = static_cast<std::int16_t>(64 * 200 * (s.cy[i] - s.cz[i]));
    }
}

// Red and blue for both candidates, then CIELab.
ORVANTA_HOT_CLONES void redBlueLab(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowLimit = std::min(top + rows - 1, H - 3), colLimit = std::min(left + TS - 1, W - 3);
    const long ws = cx.m.stride();
    for (int d = 0; d < 2; ++d) {
        for (int row = top + 1; row < rowLimit; ++row) {
            const std::uint16_t *p = cx.m.row(row);
            const int tr = row - top;
            // Bayer only here: the colour repeats every two columns.
            const std::uint8_t *rc = cx.pattern.rowColors(row), *rcBelow = cx.pattern.rowColors(row + 1);
            for (int col = left + 1; col < colLimit; ++col) {
                const int tc = col - left;
                std::uint16_t(*rix)[3] = &s.rgb[d][tr][tc];
                const std::uint16_t *q = p + col;
                const int own = rc[col & 1];
                int c = 2 - own, val;
                if (c == 1) {
                    c = rcBelow[col & 1];
                    const int t1 = 2 - c;
                    val = q[0] + ((q[-1] + q[1] - rix[-1][1] - rix[1][1]) >> 1);
                    rix[0][t1] = static_cast<std::uint16_t>(clip16(val));
                    val = q[0] + ((q[-ws] + q[ws] - rix[-TS][1] - rix[TS][1]) >> 1);
                } else {
                    val = rix[0][1] + ((q[-ws - 1] + q[-ws + 1] + q[ws - 1] + q[ws + 1] - rix[-TS - 1][1] -
                                        rix[-TS + 1][1] - rix[TS - 1][1] - rix[TS + 1][1] + 1) >>
                                       2);
                }
                rix[0][c] = static_cast<std::uint16_t>(clip16(val));
                rix[0][own] = q[0];
            }
            labRow(cx.lab, s, s.rgb[d][tr], s.lab[d][0][tr], s.lab[d][1][tr], s.lab[d][2][tr],
                   left + 1 - left, colLimit - left);
        }
    }
}

// Candidates from the neighbour lists (X-Trans), then CIELab.
void listCandidatesLab(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int r0 = std::max(top, 0), r1 = std::min(top + rows, H);
    const int c0 = std::max(left, 0), c1 = std::min(left + TS, W);
    for (int d = 0; d < 2; ++d) {
        for (int row = r0; row < r1; ++row)
            for (int col = c0; col < c1; ++col) {
                const PositionLists &e = cx.lists->at(row, col);
                const int own = cx.m.at(row, col);
                s.rgb[d][row - top][col - left][1] = static_cast<std::uint16_t>(
                    e.color == 1 ? own : listGreen(e.green[d], cx.m, row, col, own));
            }
        // Red and blue need the neighbours' candidate greens: one cell in.
        for (int row = r0 + 1; row < r1 - 1; ++row)
            for (int col = c0 + 1; col < c1 - 1; ++col) {
                const PositionLists &e = cx.lists->at(row, col);
                std::uint16_t *px = s.rgb[d][row - top][col - left];
                for (int j : {0, 2}) {
                    if (j == e.color) {
                        px[j] = cx.m.at(row, col);
                        continue;
                    }
                    const SampleList &list = e.colorList[j];
                    long sum = 0;
                    for (const auto &t : list.terms)
                        sum += t.weight *
                               static_cast<long>(t.candidateGreen
                                                     ? s.rgb[d][row - top + t.dr][col - left + t.dc][1]
                                                     : cx.m.at(row + t.dr, col + t.dc));
                    const long diff = list.divisor ? sum / list.divisor : 0;
                    px[j] = static_cast<std::uint16_t>(clip16(static_cast<int>(px[1] + diff)));
                }
                const int tr = row - top, tc = col - left;
                cielab(cx.lab, px, s.lab[d][0][tr][tc], s.lab[d][1][tr][tc], s.lab[d][2][tr][tc]);
            }
    }
}

inline std::uint32_t absDiff(int a, int b) {
    return static_cast<std::uint32_t>(a > b ? a - b : b - a);
}
// The library squares in int and lets the sum wrap; unsigned arithmetic gives
// the same bits without the overflow.
inline std::uint32_t sqDiff(int a, int b) {
    const std::uint32_t d = static_cast<std::uint32_t>(a - b);
    return d * d;
}

ORVANTA_HOT_CLONES void homogeneityMap(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowLimit = std::min(top + rows - 2, H - 4), colLimit = std::min(left + TS - 2, W - 4);
    std::memset(s.homo, 0, sizeof s.homo[0] * static_cast<std::size_t>(std::min(rows, TS)));
    const int c0 = 2, c1 = colLimit - left;
    if (c1 <= c0) return;
    // Per direction: the differences to the right-hand, upper and lower
    // neighbours along the row; the left-hand one is the right-hand one of
    // the column before.
    auto &lr = s.lr, &abr = s.abr, &lu = s.lu, &abu = s.abu, &ld = s.ld, &abd = s.abd;
    for (int row = top + 2; row < rowLimit; ++row) {
        const int tr = row - top;
        for (int d = 0; d < 2; ++d) {
            const std::int16_t *L = s.lab[d][0][tr], *A = s.lab[d][1][tr], *B = s.lab[d][2][tr];
            const std::int16_t *Lu = s.lab[d][0][tr - 1], *Au = s.lab[d][1][tr - 1],
                               *Bu = s.lab[d][2][tr - 1];
            const std::int16_t *Ld = s.lab[d][0][tr + 1], *Ad = s.lab[d][1][tr + 1],
                               *Bd = s.lab[d][2][tr + 1];
            for (int tc = c0 - 1; tc < c1; ++tc) {
                lr[d][tc] = absDiff(L[tc], L[tc + 1]);
                abr[d][tc] = sqDiff(A[tc], A[tc + 1]) + sqDiff(B[tc], B[tc + 1]);
            }
            for (int tc = c0; tc < c1; ++tc) {
                lu[d][tc] = absDiff(L[tc], Lu[tc]);
                abu[d][tc] = sqDiff(A[tc], Au[tc]) + sqDiff(B[tc], Bu[tc]);
                ld[d][tc] = absDiff(L[tc], Ld[tc]);
                abd[d][tc] = sqDiff(A[tc], Ad[tc]) + sqDiff(B[tc], Bd[tc]);
            }
        }
        // Plain loops over arrays, so that they vectorise.
        std::uint32_t *leps = s.leps, *abeps = s.abeps;
        for (int tc = c0; tc < c1; ++tc) {
            leps[tc] = std::min(std::max(lr[0][tc - 1], lr[0][tc]), std::max(lu[1][tc], ld[1][tc]));
            abeps[tc] = std::min(std::max(abr[0][tc - 1], abr[0][tc]), std::max(abu[1][tc], abd[1][tc]));
        }
        for (int d = 0; d < 2; ++d) {
            std::uint8_t *h = s.count[d];
            for (int tc = c0; tc < c1; ++tc)
                h[tc] =
                    static_cast<std::uint8_t>(((lr[d][tc - 1] <= leps[tc]) & (abr[d][tc - 1] <= abeps[tc])) +
                                              ((lr[d][tc] <= leps[tc]) & (abr[d][tc] <= abeps[tc])) +
                                              ((lu[d][tc] <= leps[tc]) & (abu[d][tc] <= abeps[tc])) +
                                              ((ld[d][tc] <= leps[tc]) & (abd[d][tc] <= abeps[tc])));
        }
        for (int tc = c0; tc < c1; ++tc) {
            s.homo[tr][tc][0] = s.count[0][tc];
            s.homo[tr][tc][1] = s.count[1][tc];
        }
    }
}

// Writes the chosen candidate for rows [writeFirst, writeLast) of the tile.
// The own-colour sample is the same in both candidates and stays as it is.
ORVANTA_HOT_CLONES void combine(const Context &cx, Scratch &s, int top, int left, int rows, int writeFirst,
                                int writeLast) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowFirst = std::max(top + 3, writeFirst);
    const int rowLimit = std::min({top + rows - 3, H - 5, writeLast});
    const int colLimit = std::min(left + TS - 3, W - 5);
    // Sums of each column's three homogeneity values around the row, so that
    // a pixel's 3 × 3 sum takes three additions.
    auto &colSum = s.colSum;
    for (int row = rowFirst; row < rowLimit; ++row) {
        const int tr = row - top;
        for (int tc = 2; tc < colLimit - left + 1; ++tc)
            for (int d = 0; d < 2; ++d)
                colSum[tc][d] = static_cast<std::uint8_t>(s.homo[tr - 1][tc][d] + s.homo[tr][tc][d] +
                                                          s.homo[tr + 1][tc][d]);
        Pixel *pix = &cx.img.at(row, 0);
        const std::uint8_t *rc = cx.pattern.rowColors(row);
        const bool bayer = cx.pattern.period == 2;
        for (int col = left + 3; col < colLimit; ++col) {
            const int tc = col - left;
            const int hm0 = colSum[tc - 1][0] + colSum[tc][0] + colSum[tc + 1][0];
            const int hm1 = colSum[tc - 1][1] + colSum[tc][1] + colSum[tc + 1][1];
            const int own = rc[bayer ? col & 1 : col % 6];
            const std::uint16_t *a = s.rgb[0][tr][tc], *b = s.rgb[1][tr][tc];
            for (int c = 0; c < 3; ++c) {
                if (c == own) continue;
                pix[col][c] =
                    hm0 != hm1 ? (hm1 > hm0 ? b[c] : a[c]) : static_cast<std::uint16_t>((a[c] + b[c]) >> 1);
            }
        }
    }
}

} // namespace

void ahdDemosaic(RawImage &img, const float rgbCam[3][4]) {
    if (!img.image || img.width <= 0 || img.height <= 0) return;
    borderFill(img, 5);
    const bool xtrans = img.filters == kPatternXTrans;
    auto lists = std::make_unique<NeighbourLists>();
    if (xtrans) buildNeighbourLists(img, *lists);
    Mosaic m;
    if (!Mosaic::build(img, m)) {
        std::fputs("ahd_interpolate() calloc failure\n", stderr);
        return;
    }
    auto lab = std::make_unique<LabTables>();
    buildLabTables(rgbCam, *lab);
    const PatternTable pattern(img);
    const Context cx{img, m, pattern, *lab, xtrans ? lists.get() : nullptr};
    const int H = img.height, W = img.width;

    runBands(2, H - 5, [&](int first, int last) {
        if (first >= last) return;
        std::unique_ptr<Scratch, decltype(&std::free)> s(
            static_cast<Scratch *>(std::calloc(1, sizeof(Scratch))), &std::free);
        if (!s) {
            std::fputs("ahd_interpolate() calloc failure\n", stderr);
            return;
        }
        // A band writes rows [first + 3, last + 3): the rows just past its
        // end belong to it, its first three to the band above.
        const int writeFirst = first + 3, writeLast = last + 3;
        for (int top = first; top < last; top += kStep) {
            const int rows = std::min(TS, writeLast - top + 3);
            for (int left = 2; left < W - 5; left += kStep) {
                if (xtrans) {
                    listCandidatesLab(cx, *s, top, left, rows);
                } else {
                    greenHV(cx, *s, top, left, rows);
                    redBlueLab(cx, *s, top, left, rows);
                }
                homogeneityMap(cx, *s, top, left, rows);
                combine(cx, *s, top, left, rows, writeFirst, writeLast);
            }
        }
    });
}

} // namespace orvanta::rawsteps
