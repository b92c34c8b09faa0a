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

void buildLabTables(const float rgbCam[3][4], LabTables &t) {
    for (int i = 0; i < 0x10000; ++i) {
        const float r = static_cast<float>(i / 65535.0);
        t.cbrt[i] = r > 0.008856 ? std::pow(r, 1.f / 3.0f) : 7.787f * r + 16.f / 116.0f;
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float acc = 0;
            for (int k = 0; k < 3; ++k)
                acc += kXyzRgb[i][k] * rgbCam[k][j] / kD65White[i];
            t.xyzCam[i][j] = acc;
        }
}

inline void cielab(const LabTables &t, const std::uint16_t rgb[3], std::int16_t lab[3]) {
    float x = 0.5f, y = 0.5f, z = 0.5f;
    for (int c = 0; c < 3; ++c) {
        x += t.xyzCam[0][c] * rgb[c];
        y += t.xyzCam[1][c] * rgb[c];
        z += t.xyzCam[2][c] * rgb[c];
    }
    x = t.cbrt[clip16(static_cast<int>(x))];
    y = t.cbrt[clip16(static_cast<int>(y))];
    z = t.cbrt[clip16(static_cast<int>(z))];
    lab[0] = static_cast<std::int16_t>(64 * (116 * y - 16));
    lab[1] = static_cast<std::int16_t>(64 * 500 * (x - y));
    lab[2] = static_cast<std::int16_t>(64 * 200 * (y - z));
}

// Per-band scratch: 26 bytes per tile pixel.
struct Scratch {
    std::uint16_t rgb[2][TS][TS][3];
    std::int16_t lab[2][TS][TS][3];
    std::uint8_t homo[TS][TS][2];
};
static_assert(sizeof(Scratch) == 26 * TS * TS);

struct Context {
    RawImage &img;
    const Mosaic &m;
    const PatternTable &pattern;
    const LabTables &lab;
    const NeighbourLists *lists; // X-Trans only
};

// Green along rows (direction 0) and along columns (1) at red and blue sites.
void greenHV(const Context &cx, Scratch &s, int top, int left, int rows) {
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

// Red and blue for both candidates, then CIELab.
void redBlueLab(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowLimit = std::min(top + rows - 1, H - 3), colLimit = std::min(left + TS - 1, W - 3);
    const long ws = cx.m.stride();
    for (int d = 0; d < 2; ++d) {
        for (int row = top + 1; row < rowLimit; ++row) {
            const std::uint16_t *p = cx.m.row(row);
            const int tr = row - top;
            for (int col = left + 1; col < colLimit; ++col) {
                const int tc = col - left;
                std::uint16_t(*rix)[3] = &s.rgb[d][tr][tc];
                const std::uint16_t *q = p + col;
                const int own = cx.pattern.at(row, col);
                int c = 2 - own, val;
                if (c == 1) {
                    c = cx.pattern.at(row + 1, col);
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
                cielab(cx.lab, rix[0], s.lab[d][tr][tc]);
            }
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
                cielab(cx.lab, px, s.lab[d][row - top][col - left]);
            }
    }
}

void homogeneityMap(const Context &cx, Scratch &s, int top, int left, int rows) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowLimit = std::min(top + rows - 2, H - 4), colLimit = std::min(left + TS - 2, W - 4);
    std::memset(s.homo, 0, sizeof s.homo[0] * static_cast<std::size_t>(std::min(rows, TS)));
    static const int dir[4] = {-3, 3, -3 * TS, 3 * TS}; // in int16 units of a lab row
    for (int row = top + 2; row < rowLimit; ++row) {
        const int tr = row - top;
        for (int col = left + 2; col < colLimit; ++col) {
            const int tc = col - left;
            std::uint32_t ldiff[2][4], abdiff[2][4];
            for (int d = 0; d < 2; ++d) {
                const std::int16_t *lix = s.lab[d][tr][tc];
                for (int i = 0; i < 4; ++i) {
                    const std::int16_t *adj = lix + dir[i];
                    ldiff[d][i] = static_cast<std::uint32_t>(std::abs(lix[0] - adj[0]));
                    const std::int64_t da = lix[1] - adj[1], db = lix[2] - adj[2];
                    // The library squares in int and lets the sum wrap; unsigned
                    // arithmetic gives the same bits without the overflow.
                    abdiff[d][i] = static_cast<std::uint32_t>(da * da) + static_cast<std::uint32_t>(db * db);
                }
            }
            const std::uint32_t leps =
                std::min(std::max(ldiff[0][0], ldiff[0][1]), std::max(ldiff[1][2], ldiff[1][3]));
            const std::uint32_t abeps =
                std::min(std::max(abdiff[0][0], abdiff[0][1]), std::max(abdiff[1][2], abdiff[1][3]));
            for (int d = 0; d < 2; ++d) {
                int h = 0;
                for (int i = 0; i < 4; ++i)
                    h += ldiff[d][i] <= leps && abdiff[d][i] <= abeps;
                s.homo[tr][tc][d] = static_cast<std::uint8_t>(h);
            }
        }
    }
}

// Writes the chosen candidate for rows [writeFirst, writeLast) of the tile.
// The own-colour sample is the same in both candidates and stays as it is.
void combine(const Context &cx, Scratch &s, int top, int left, int rows, int writeFirst, int writeLast) {
    const int W = cx.img.width, H = cx.img.height;
    const int rowFirst = std::max(top + 3, writeFirst);
    const int rowLimit = std::min({top + rows - 3, H - 5, writeLast});
    const int colLimit = std::min(left + TS - 3, W - 5);
    for (int row = rowFirst; row < rowLimit; ++row) {
        const int tr = row - top;
        Pixel *pix = &cx.img.at(row, 0);
        for (int col = left + 3; col < colLimit; ++col) {
            const int tc = col - left;
            int hm[2] = {0, 0};
            for (int i = tr - 1; i <= tr + 1; ++i)
                for (int j = tc - 1; j <= tc + 1; ++j) {
                    hm[0] += s.homo[i][j][0];
                    hm[1] += s.homo[i][j][1];
                }
            const int own = cx.pattern.at(row, col);
            const std::uint16_t *a = s.rgb[0][tr][tc], *b = s.rgb[1][tr][tc];
            for (int c = 0; c < 3; ++c) {
                if (c == own) continue;
                pix[col][c] = hm[0] != hm[1] ? (hm[1] > hm[0] ? b[c] : a[c])
                                             : static_cast<std::uint16_t>((a[c] + b[c]) >> 1);
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
