// LMMSE demosaic for the alternate image: directional green-minus-colour
// differences, low-passed, fused by their local signal and noise variances.
// Two workers: the Bayer worker (9-tap filter), and the list-based worker
// (neighbour lists, 17-tap filter) used for X-Trans and when highlights are
// to be recovered.

#include "RawStepsInternal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace orvanta::rawsteps {
namespace {

using namespace detail;

constexpr int kOut = 256; // output area of a tile

inline std::uint16_t toSample(float v) {
    return static_cast<std::uint16_t>(clip16(static_cast<int>(65535.0 * v + 0.5)));
}

// Signal and noise variances over the 9 cells centred on D[0] and L[0]
// along step: Vs of the low-passed values, Vn of raw minus low-passed.
inline void windowVariances(const float *D, const float *L, long step, float &vs, float &vn) {
    float mu = 0;
    for (int k = -4; k <= 4; ++k)
        mu += L[k * step];
    mu /= 9.0f;
    vs = 1e-7f;
    vn = 1e-7f;
    for (int k = -4; k <= 4; ++k) {
        const float a = L[k * step] - mu, b = D[k * step] - L[k * step];
        vs += a * a;
        vn += b * b;
    }
}

// Rows each band writes: [first, last), the last band reaching down to
// height − 14; columns [14, width − 14).
struct Area {
    int rowFirst, rowLast, colFirst, colLast;
};

// Visits the output tiles of a band's area.
template <class F> void forTiles(const Area &a, F &&tile) {
    for (int top = a.rowFirst; top < a.rowLast; top += kOut)
        for (int left = a.colFirst; left < a.colLast; left += kOut)
            tile(top, std::min(top + kOut, a.rowLast), left, std::min(left + kOut, a.colLast));
}

// ----- Bayer worker --------------------------------------------------------

constexpr int kApron = 14;

struct BayerFilter {
    float h[5];
    BayerFilter() {
        // exp(−k² / 8), normalised to sum 1.
        h[0] = 1.0f;
        for (int k = 1; k < 5; ++k)
            h[k] = static_cast<float>(std::exp(-(k * k) / 8.0));
        const float sum = h[0] + 2 * (h[1] + h[2] + h[3] + h[4]);
        for (float &v : h)
            v /= sum;
    }
};

// A scratch plane left uninitialised: every value a tile reads, it wrote
// first, so zeroing megabytes per band would be wasted work.
template <class T> struct Plane {
    std::unique_ptr<T[]> p;
    void assign(std::size_t n, T) { p.reset(new T[n]); }
    T *data() { return p.get(); }
    const T *data() const { return p.get(); }
    T &operator[](std::size_t i) { return p[i]; }
    const T &operator[](std::size_t i) const { return p[i]; }
};

struct BayerScratch {
    int n; // cells per side
    Plane<float> s, dh, dv, lh, lv, rgb[3];
    explicit BayerScratch(int side) : n(side) {
        const std::size_t cells = static_cast<std::size_t>(side) * side;
        for (auto *v : {&s, &dh, &dv, &lh, &lv, &rgb[0], &rgb[1], &rgb[2]})
            v->assign(cells, 0.f);
    }
};

void bayerTile(const RawImage &img, const Mosaic &m, const PatternTable &pat, const BayerFilter &f,
               BayerScratch &w, int top, int bottom, int left, int right) {
    const int H = img.height, W = img.width;
    const int R = bottom - top + 2 * kApron, C = right - left + 2 * kApron, n = w.n;
    const int r0 = top - kApron, c0 = left - kApron;
    auto idx = [n](int i, int j) { return static_cast<std::size_t>(i) * n + j; };
    auto colorAt = [&](int i, int j) { return pat.at(r0 + i + 60, c0 + j + 60); };

    // Own samples, scaled to 0…1; cells outside the image read 0.
    for (int i = 0; i < R; ++i) {
        const int row = r0 + i;
        for (int j = 0; j < C; ++j) {
            const int col = c0 + j;
            w.s[idx(i, j)] = row >= 0 && row < H && col >= 0 && col < W ? m.at(row, col) / 65535.0f : 0.f;
        }
    }
    const float *s = w.s.data();
    // Directional green-minus-colour differences.
    for (int i = 2; i < R - 2; ++i)
        for (int j = 2; j < C - 2; ++j) {
            const std::size_t p = idx(i, j);
            const float s0 = s[p];
            const float hl1 = s[p - 1], hr1 = s[p + 1], hl2 = s[p - 2], hr2 = s[p + 2];
            const float vu1 = s[p - n], vd1 = s[p + n], vu2 = s[p - 2 * n], vd2 = s[p + 2 * n];
            if (colorAt(i, j) != 1) {
                const float v0 =
                    0.0625f * (s[p - n - 1] + s[p - n + 1] + s[p + n - 1] + s[p + n + 1]) + 0.25f * s0;
                float e = -0.25f * (hl2 + hr2) + 0.5f * (hl1 + s0 + hr1);
                e = s0 > 1.75f * (v0 + 0.5f * e) ? ulim(e, hl1, hr1) : lim(e, 0.f, 1.f);
                w.dh[p] = e - s0;
                e = -0.25f * (vu2 + vd2) + 0.5f * (vu1 + s0 + vd1);
                e = s0 > 1.75f * (v0 + 0.5f * e) ? ulim(e, vu1, vd1) : lim(e, 0.f, 1.f);
                w.dv[p] = e - s0;
            } else {
                w.dh[p] = lim(0.25f * (hl2 + hr2) - 0.5f * (hl1 + s0 + hr1), -1.f, 0.f) + s0;
                w.dv[p] = lim(0.25f * (vu2 + vd2) - 0.5f * (vu1 + s0 + vd1), -1.f, 0.f) + s0;
            }
        }
    // Low-pass: rows for the horizontal, columns for the vertical differences.
    const float *h = f.h;
    for (int i = 6; i < R - 6; ++i)
        for (int j = 6; j < C - 6; ++j) {
            const std::size_t p = idx(i, j);
            const float *a = w.dh.data() + p, *b = w.dv.data() + p;
            w.lh[p] = h[0] * a[0] + h[1] * (a[-1] + a[1]) + h[2] * (a[-2] + a[2]) + h[3] * (a[-3] + a[3]) +
                      h[4] * (a[-4] + a[4]);
            w.lv[p] = h[0] * b[0] + h[1] * (b[-n] + b[n]) + h[2] * (b[-2 * n] + b[2 * n]) +
                      h[3] * (b[-3 * n] + b[3 * n]) + h[4] * (b[-4 * n] + b[4 * n]);
        }
    // Fusion at red and blue sites; greens.
    for (int i = 10; i < R - 10; ++i)
        for (int j = 10; j < C - 10; ++j) {
            const std::size_t p = idx(i, j);
            const int own = colorAt(i, j);
            if (own == 1) {
                w.rgb[1][p] = s[p];
                continue;
            }
            float est[2], var[2];
            for (int d = 0; d < 2; ++d) {
                const float *D = (d == 0 ? w.dh : w.dv).data() + p, *L = (d == 0 ? w.lh : w.lv).data() + p;
                const long step = d == 0 ? 1 : n;
                float vs, vn;
                windowVariances(D, L, step, vs, vn);
                est[d] = (D[0] * vs + L[0] * vn) / (vs + vn);
                var[d] = vs * vn / (vs + vn);
            }
            const float diff = (est[0] * var[1] + est[1] * var[0]) / (var[0] + var[1]);
            w.rgb[1][p] = s[p] + diff;
            w.rgb[own][p] = s[p];
        }
    // Red and blue at green sites from the row and column neighbours.
    for (int i = 11; i < R - 11; ++i)
        for (int j = 11; j < C - 11; ++j) {
            if (colorAt(i, j) != 1) continue;
            const std::size_t p = idx(i, j);
            const float *g = w.rgb[1].data();
            const int ch = colorAt(i, j + 1), cv = 2 - ch;
            const float *xh = w.rgb[ch].data(), *xv = w.rgb[cv].data();
            w.rgb[ch][p] = g[p] + 0.5f * (xh[p - 1] - g[p - 1] + xh[p + 1] - g[p + 1]);
            w.rgb[cv][p] = g[p] + 0.5f * (xv[p - n] - g[p - n] + xv[p + n] - g[p + n]);
        }
    // The other of red and blue at red and blue sites, from the four axial neighbours.
    for (int i = 12; i < R - 12; ++i)
        for (int j = 12; j < C - 12; ++j) {
            const int own = colorAt(i, j);
            if (own == 1) continue;
            const std::size_t p = idx(i, j);
            const int c = 2 - own;
            const float *g = w.rgb[1].data(), *x = w.rgb[c].data();
            w.rgb[c][p] = g[p] + 0.25f * (x[p - n] - g[p - n] + x[p - 1] - g[p - 1] + x[p + 1] - g[p + 1] +
                                          x[p + n] - g[p + n]);
        }
    // Output: the colours other than the own one; the fourth sample 0.
    for (int row = top; row < bottom; ++row) {
        Pixel *pix = &img.at(row, 0);
        for (int col = left; col < right; ++col) {
            const std::size_t p = idx(row - r0, col - c0);
            const int own = pat.at(row, col);
            for (int c = 0; c < 3; ++c)
                if (c != own) pix[col][c] = toSample(w.rgb[c][p]);
            pix[col][3] = 0;
        }
    }
}

// ----- list-based worker --------------------------------------------------

// The neighbour lists as plain offsets into the padded own-colour plane and
// into a tile's candidate plane, so that the per-cell sums are tight loops.
struct FlatGreen {
    int count = 0, divisor = 0, ranges = 0;
    int off[12] = {}, weight[12] = {}, range[4] = {};
    // The list's estimate at q (a pointer into the own-colour plane).
    int estimate(const std::uint16_t *q, int own) const {
        if (divisor == 0) return own;
        int sum = 0;
        for (int k = 0; k < count; ++k)
            sum += weight[k] * q[off[k]];
        int v = sum / divisor;
        if (ranges) {
            int lo = 65535, hi = 0;
            for (int k = 0; k < ranges; ++k) {
                lo = std::min<int>(lo, q[range[k]]);
                hi = std::max<int>(hi, q[range[k]]);
            }
            v = lim(v, lo, hi);
        }
        return clip16(v);
    }
};
struct FlatColour {
    int count = 0;    // neighbours of the colour; also the divisor
    int moff[8] = {}; // their samples in the own-colour plane
    int coff[8] = {}; // their candidate greens, relative to the cell's three samples
};
struct FlatPos {
    int color = 1;
    FlatGreen green[2];
    FlatColour colour[3];
};
struct FlatLists {
    int period = 2;
    FlatPos pos[6][6];
    const FlatPos *row(int r) const { return pos[period == 2 ? r & 1 : r % 6]; }
    int column(int c) const { return period == 2 ? c & 1 : c % 6; }

    FlatLists(const NeighbourLists &lists, long planeStride, long tileStride) {
        period = lists.period;
        for (int r = 0; r < period; ++r)
            for (int c = 0; c < period; ++c) {
                const PositionLists &src = lists.entries[r][c];
                FlatPos &dst = pos[r][c];
                dst.color = src.color;
                for (int d = 0; d < 2; ++d) {
                    const SampleList &g = src.green[d];
                    FlatGreen &f = dst.green[d];
                    f.divisor = g.divisor;
                    for (const auto &t : g.terms) {
                        if (f.count == 12) break;
                        f.off[f.count] = static_cast<int>(t.dr * planeStride + t.dc);
                        f.weight[f.count++] = t.weight;
                    }
                    for (auto [dr, dc] : g.range)
                        if (f.ranges < 4) f.range[f.ranges++] = static_cast<int>(dr * planeStride + dc);
                }
                for (int j : {0, 2}) {
                    FlatColour &f = dst.colour[j];
                    for (const auto &t : src.colorList[j].terms) {
                        if (t.candidateGreen || f.count == 8) continue;
                        f.moff[f.count] = static_cast<int>(t.dr * planeStride + t.dc);
                        f.coff[f.count++] = static_cast<int>(3 * (t.dr * tileStride + t.dc) + 1);
                    }
                }
            }
    }
};

// 16 cells of apron cover the reach of the 17-tap filter, the fusion window
// and the neighbour lists, so a pixel's result does not depend on its tile.
constexpr int kListApron = 16;

struct ListFilter {
    float h[9];
    ListFilter() {
        // exp(−k² / 32), k = −8…8, normalised to sum 1.
        float sum = 0;
        for (int k = 0; k < 9; ++k) {
            h[k] = static_cast<float>(std::exp(-(k * k) / 32.0));
            sum += k ? 2 * h[k] : h[k];
        }
        for (float &v : h)
            v /= sum;
    }
};

struct ListScratch {
    int n;
    Plane<std::uint16_t> cand[2]; // three samples per cell and direction
    // Differences (green − red, green − blue) per direction, both greens, the
    // own sample, the four low-passed differences, and the fused results.
    Plane<float> dgr[2], dgb[2], g[2], own, lgr[2], lgb[2], fusedG, fusedOwn;
    explicit ListScratch(int side) : n(side) {
        const std::size_t cells = static_cast<std::size_t>(side) * side;
        for (auto &c : cand)
            c.assign(cells * 3, 0);
        for (auto *v : {&dgr[0], &dgr[1], &dgb[0], &dgb[1], &g[0], &g[1], &own, &lgr[0], &lgr[1], &lgb[0],
                        &lgb[1], &fusedG, &fusedOwn})
            v->assign(cells, 0.f);
    }
};

void listTile(const RawImage &img, const Mosaic &m, const NeighbourLists &lists, const FlatLists &flat,
              const ListFilter &f, ListScratch &w, int top, int bottom, int left, int right) {
    const int H = img.height, W = img.width;
    const int R = bottom - top + 2 * kListApron, C = right - left + 2 * kListApron, n = w.n;
    const int r0 = top - kListApron, c0 = left - kListApron;
    auto idx = [n](int i, int j) { return static_cast<std::size_t>(i) * n + j; };
    auto inside = [&](int i, int j) {
        const int row = r0 + i, col = c0 + j;
        return row >= 0 && row < H && col >= 0 && col < W;
    };
    auto entry = [&](int i, int j) -> const PositionLists & { return lists.at(r0 + i + 60, c0 + j + 60); };

    // 1. Candidates: greens everywhere, then red and blue one cell in.
    const int jIn0 = std::max(0, -c0), jIn1 = std::min(C, W - c0); // columns inside the image
    for (int d = 0; d < 2; ++d) {
        std::uint16_t *cd = w.cand[d].data();
        for (int i = 0; i < R; ++i) {
            const int row = r0 + i;
            std::uint16_t *line = cd + 3 * idx(i, 0);
            if (row < 0 || row >= H) {
                std::fill(line, line + 3 * C, 0);
                continue;
            }
            std::fill(line, line + 3 * jIn0, 0);
            std::fill(line + 3 * jIn1, line + 3 * C, 0);
            const std::uint16_t *mrow = m.row(row);
            const FlatPos *prow = flat.row(row);
            for (int j = jIn0; j < jIn1; ++j) {
                const int col = c0 + j;
                const FlatPos &e = prow[flat.column(col)];
                const std::uint16_t *q = mrow + col;
                const int own = q[0];
                std::uint16_t *px = line + 3 * j;
                px[1] = static_cast<std::uint16_t>(e.color == 1 ? own : e.green[d].estimate(q, own));
                px[e.color] = static_cast<std::uint16_t>(own);
            }
        }
        for (int i = 1; i < R - 1; ++i) {
            const int row = r0 + i;
            if (row < 0 || row >= H) continue;
            const std::uint16_t *mrow = m.row(row);
            const FlatPos *prow = flat.row(row);
            for (int j = std::max(1, jIn0); j < std::min(C - 1, jIn1); ++j) {
                const int col = c0 + j;
                const FlatPos &e = prow[flat.column(col)];
                std::uint16_t *px = cd + 3 * idx(i, j);
                const std::uint16_t *q = mrow + col;
                for (int jc : {0, 2}) {
                    if (jc == e.color) continue;
                    const FlatColour &list = e.colour[jc];
                    int sum = 0;
                    for (int k = 0; k < list.count; ++k)
                        sum += q[list.moff[k]] - px[list.coff[k]];
                    const int diff = list.count ? sum / list.count : 0;
                    px[jc] = static_cast<std::uint16_t>(clip16(px[1] + diff));
                }
            }
        }
    }
    // 2. Differences in units of the full scale.
    constexpr float kScale = 1.0f / 65535.0f;
    for (int i = 1; i < R - 1; ++i)
        for (int j = 1; j < C - 1; ++j) {
            const std::size_t p = idx(i, j);
            for (int d = 0; d < 2; ++d) {
                const std::uint16_t *px = w.cand[d].data() + 3 * p;
                w.dgr[d][p] = (px[1] - px[0]) * kScale;
                w.dgb[d][p] = (px[1] - px[2]) * kScale;
                w.g[d][p] = px[1] * kScale;
            }
            w.own[p] = inside(i, j) ? m.at(r0 + i, c0 + j) * kScale : 0.f;
        }
    // 3. Low-pass with 17 taps: horizontal candidates along rows, vertical
    // along columns; one plain loop per plane so that it vectorises.
    const float *h = f.h;
    for (int i = 9; i < R - 9; ++i) {
        const std::size_t row = idx(i, 0);
        for (int which = 0; which < 2; ++which) {
            const float *a = (which ? w.dgb[0] : w.dgr[0]).data() + row;
            float *out = (which ? w.lgb[0] : w.lgr[0]).data() + row;
            for (int j = 9; j < C - 9; ++j) {
                float sum = h[0] * a[j];
                for (int k = 1; k <= 8; ++k)
                    sum += h[k] * (a[j - k] + a[j + k]);
                out[j] = sum;
            }
            const float *b = (which ? w.dgb[1] : w.dgr[1]).data() + row;
            float *outV = (which ? w.lgb[1] : w.lgr[1]).data() + row;
            for (int j = 9; j < C - 9; ++j)
                outV[j] = h[0] * b[j];
            for (int k = 1; k <= 8; ++k) {
                const float *up = b - static_cast<long>(k) * n, *down = b + static_cast<long>(k) * n;
                for (int j = 9; j < C - 9; ++j)
                    outV[j] += h[k] * (up[j] + down[j]);
            }
        }
    }
    // 4. Fusion at red and blue sites.
    for (int i = 13; i < R - 13; ++i)
        for (int j = 13; j < C - 13; ++j) {
            const std::size_t p = idx(i, j);
            const int own = entry(i, j).color;
            if (own == 1) {
                w.fusedG[p] = w.own[p];
                w.fusedOwn[p] = w.own[p];
                continue;
            }
            // Per set (0: green − red, 1: green − blue) and direction.
            float x[2][2], v[2][2], vnoise[2][2];
            for (int set = 0; set < 2; ++set)
                for (int d = 0; d < 2; ++d) {
                    const long step = d == 0 ? 1 : n;
                    const float *Dw = (set ? w.dgb[d] : w.dgr[d]).data() + p;
                    const float *Lw = (set ? w.lgb[d] : w.lgr[d]).data() + p;
                    const float D0 = (own == 0 ? w.dgr[d] : w.dgb[d])[p];
                    const float L0 = (own == 0 ? w.lgr[d] : w.lgb[d])[p];
                    float vs, vn;
                    windowVariances(Dw, Lw, step, vs, vn);
                    x[set][d] = (L0 * vn + D0 * vs) / (vs + vn);
                    v[set][d] = vs * vn / (vs + vn);
                    vnoise[set][d] = vn;
                }
            const int set = vnoise[0][0] <= vnoise[1][0] ? 1 : 0;
            const float delta = (x[set][0] * v[set][1] + x[set][1] * v[set][0]) / (v[set][0] + v[set][1]);
            const float green =
                (w.g[0][p] * vnoise[set][1] + w.g[1][p] * vnoise[set][0]) / (vnoise[set][0] + vnoise[set][1]);
            w.fusedG[p] = green;
            w.fusedOwn[p] = green - delta;
        }
    // 5–6. Missing colours from the 8 neighbours, and output.
    for (int row = top; row < bottom; ++row) {
        Pixel *pix = &img.at(row, 0);
        for (int col = left; col < right; ++col) {
            const int i = row - r0, j = col - c0;
            const std::size_t p = idx(i, j);
            const FlatPos &e = flat.row(row)[flat.column(col)];
            const int own = e.color;
            float out[3];
            out[1] = w.fusedG[p];
            if (own != 1) out[own] = w.fusedOwn[p];
            for (int c : {0, 2}) {
                if (c == own) continue;
                // The neighbours of colour c, in the colour list's order.
                const FlatColour &list = e.colour[c];
                float sum = 0;
                const int count = list.count;
                for (int k = 0; k < count; ++k) {
                    const std::size_t q = p + (list.coff[k] - 1) / 3;
                    sum += w.fusedOwn[q] - w.fusedG[q];
                }
                if (count) {
                    out[c] = out[1] + sum / count;
                } else {
                    // No neighbour of that colour: the candidates' mean.
                    out[c] = (w.cand[0][3 * p + c] + w.cand[1][3 * p + c]) * (0.5f * kScale);
                }
            }
            for (int c = 0; c < 3; ++c)
                pix[col][c] = toSample(out[c]);
        }
    }
}

} // namespace

void lmmseDemosaic(RawImage &img, bool recoverHighlights) {
    if (!img.image || img.colors != 3 || img.width <= 0 || img.height <= 0) return;
    borderFill(img, 16);
    const bool useLists = recoverHighlights || img.filters == kPatternXTrans;
    Mosaic m;
    if (!Mosaic::build(img, m)) {
        std::fputs(useLists ? "lmmse_interpolate_core2() calloc failure\n"
                            : "lmmse_interpolate() calloc failure\n",
                   stderr);
        return;
    }
    const PatternTable pattern(img);
    auto lists = std::make_unique<NeighbourLists>();
    if (useLists) buildNeighbourLists(img, *lists);
    const FlatLists flat(*lists, m.stride(), kOut + 2 * kListApron);
    const BayerFilter bayerFilter;
    const ListFilter listFilter;
    const int H = img.height, W = img.width;

    runBands(16, H - 16, [&](int first, int last) {
        Area area{first, last == H - 16 ? H - 14 : last, 14, W - 14};
        if (area.rowFirst >= area.rowLast || area.colFirst >= area.colLast) return;
        if (useLists) {
            std::unique_ptr<ListScratch> w;
            try {
                w = std::make_unique<ListScratch>(kOut + 2 * kListApron);
            } catch (const std::bad_alloc &) {
                std::fputs("lmmse_interpolate_core2() calloc failure\n", stderr);
                return;
            }
            forTiles(area, [&](int t, int b, int l, int r) {
                listTile(img, m, *lists, flat, listFilter, *w, t, b, l, r);
            });
        } else {
            std::unique_ptr<BayerScratch> w;
            try {
                w = std::make_unique<BayerScratch>(kOut + 2 * kApron);
            } catch (const std::bad_alloc &) {
                std::fputs("lmmse_interpolate() calloc failure\n", stderr);
                return;
            }
            forTiles(area, [&](int t, int b, int l, int r) {
                bayerTile(img, m, pattern, bayerFilter, *w, t, b, l, r);
            });
        }
    });
}

} // namespace orvanta::rawsteps
