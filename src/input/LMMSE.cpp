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
                float mu = 0;
                for (int k = -4; k <= 4; ++k)
                    mu += L[k * step];
                mu /= 9.0f;
                float vs = 1e-7f, vn = 1e-7f;
                for (int k = -4; k <= 4; ++k) {
                    const float a = L[k * step] - mu, b = D[k * step] - L[k * step];
                    vs += a * a;
                    vn += b * b;
                }
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

void listTile(const RawImage &img, const Mosaic &m, const NeighbourLists &lists, const ListFilter &f,
              ListScratch &w, int top, int bottom, int left, int right) {
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
    for (int d = 0; d < 2; ++d) {
        std::uint16_t *cd = w.cand[d].data();
        for (int i = 0; i < R; ++i)
            for (int j = 0; j < C; ++j) {
                std::uint16_t *px = cd + 3 * idx(i, j);
                if (!inside(i, j)) {
                    px[0] = px[1] = px[2] = 0;
                    continue;
                }
                const PositionLists &e = entry(i, j);
                const int row = r0 + i, col = c0 + j, ownSample = m.at(row, col);
                px[1] = static_cast<std::uint16_t>(
                    e.color == 1 ? ownSample : listGreen(e.green[d], m, row, col, ownSample));
                px[e.color] = static_cast<std::uint16_t>(ownSample);
            }
        for (int i = 1; i < R - 1; ++i)
            for (int j = 1; j < C - 1; ++j) {
                if (!inside(i, j)) continue;
                const PositionLists &e = entry(i, j);
                std::uint16_t *px = cd + 3 * idx(i, j);
                for (int jc : {0, 2}) {
                    if (jc == e.color) continue;
                    const SampleList &list = e.colorList[jc];
                    long sum = 0;
                    for (const auto &t : list.terms)
                        sum += t.weight * static_cast<long>(t.candidateGreen
                                                                ? cd[3 * idx(i + t.dr, j + t.dc) + 1]
                                                                : m.at(r0 + i + t.dr, c0 + j + t.dc));
                    const long diff = list.divisor ? sum / list.divisor : 0;
                    px[jc] = static_cast<std::uint16_t>(clip16(static_cast<int>(px[1] + diff)));
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
                    float mu = 0;
                    for (int k = -4; k <= 4; ++k)
                        mu += Lw[k * step];
                    mu /= 9.0f;
                    float vs = 1e-7f, vn = 1e-7f;
                    for (int k = -4; k <= 4; ++k) {
                        const float a = Lw[k * step] - mu, b = Dw[k * step] - Lw[k * step];
                        vs += a * a;
                        vn += b * b;
                    }
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
            const int own = entry(i, j).color;
            float out[3];
            out[1] = w.fusedG[p];
            if (own != 1) out[own] = w.fusedOwn[p];
            for (int c : {0, 2}) {
                if (c == own) continue;
                float sum = 0;
                int count = 0;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc) {
                        if ((!dr && !dc) || entry(i + dr, j + dc).color != c) continue;
                        const std::size_t q = idx(i + dr, j + dc);
                        sum += w.fusedOwn[q] - w.fusedG[q];
                        ++count;
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
                listTile(img, m, *lists, listFilter, *w, t, b, l, r);
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
