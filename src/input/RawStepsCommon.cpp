#include "RawStepsInternal.h"

#include <cstdlib>
#include <new>

namespace orvanta::rawsteps::detail {

bool Mosaic::build(const RawImage &img, Mosaic &out) {
    out.stride_ = img.width + 2 * kPad;
    const std::size_t total = static_cast<std::size_t>(out.stride_) * (img.height + 2 * kPad);
    out.data_ = std::unique_ptr<std::uint16_t[], Free>(
        static_cast<std::uint16_t *>(allocateLarge(total * sizeof(std::uint16_t))),
        Free{total * sizeof(std::uint16_t)});
    if (!out.data_) return false;
    std::uint16_t *base = out.data_.get();
    std::fill(base, base + static_cast<std::size_t>(out.stride_) * kPad, 0);
    std::fill(base + total - static_cast<std::size_t>(out.stride_) * kPad, base + total, 0);
    PatternTable pattern(img);
    runBands(0, img.height, [&](int first, int last) {
        for (int r = first; r < last; ++r) {
            std::uint16_t *dst = base + static_cast<long>(r + kPad) * out.stride_ + kPad;
            std::fill(dst - kPad, dst, 0);
            std::fill(dst + img.width, dst + img.width + kPad, 0);
            const Pixel *src = &img.at(r, 0);
            for (int c = 0; c < img.width; ++c) {
                int f =
                    img.filters >= 1000 || img.filters == kPatternXTrans ? pattern.raw(r, c) : img.fcol(r, c);
                dst[c] = src[c][f & 3];
            }
        }
    });
    return true;
}

PatternTable::PatternTable(const RawImage &img) {
    period = img.filters == kPatternXTrans ? 6 : 2;
    for (int r = 0; r < period; ++r)
        for (int c = 0; c < period; ++c) {
            color[r][c] = static_cast<std::uint8_t>(img.fcol(r, c) & 3);
            merged[r][c] = color[r][c] == 3 ? 1 : color[r][c];
        }
}

namespace {

// One direction's green list at a position of colour k.
SampleList greenList(const RawImage &img, int r, int c, int k, int dir) {
    const int dr = dir == 0 ? 1 : 0, dc = dir == 0 ? 0 : 1;
    const int ar = dc, ac = dr; // across
    auto colorAt = [&](int rr, int cc) { return mergedColor(img, r + rr + 60, c + cc + 60); };
    SampleList list;
    int ownWeight = 0, sameCount = 0;
    std::vector<ListTerm> corrections, greens;
    for (int side : {-1, 1}) {
        const int br = 2 * side * dr, bc = 2 * side * dc;
        if (colorAt(br, bc) == k) {
            ownWeight += 2;
            corrections.push_back({br, bc, -2, false});
            ++sameCount;
        } else {
            for (int a : {-1, 1}) {
                if (colorAt(br + a * ar, bc + a * ac) == k) {
                    ownWeight += 2;
                    corrections.push_back({br + a * ar, bc + a * ac, -2, false});
                    ++sameCount;
                }
            }
        }
    }
    for (int side : {-1, 1}) {
        const int nr = side * dr, nc = side * dc;
        if (colorAt(nr, nc) == 1) {
            greens.push_back({nr, nc, 4, false});
        } else if (colorAt(2 * nr, 2 * nc) == 1) {
            greens.push_back({2 * nr, 2 * nc, 2, false});
        } else {
            for (int a : {-1, 1})
                if (colorAt(nr + a * ar, nc + a * ac) == 1)
                    greens.push_back({nr + a * ar, nc + a * ac, 2, false});
        }
    }
    int G = 0;
    for (const auto &t : greens) {
        G += t.weight;
        list.range.emplace_back(t.dr, t.dc);
    }
    const int C = 8 * sameCount;
    int correctionScale = 1, greenScale = 1;
    if (G && C) {
        correctionScale = G;
        greenScale = C;
        list.divisor = G * C;
    } else if (G) {
        list.divisor = G;
    } else {
        list.divisor = C;
    }
    if (ownWeight) list.terms.push_back({0, 0, ownWeight * correctionScale, false});
    for (auto t : corrections) {
        t.weight *= correctionScale;
        list.terms.push_back(t);
    }
    for (auto t : greens) {
        t.weight *= greenScale;
        list.terms.push_back(t);
    }
    return list;
}

SampleList colorListFor(const RawImage &img, int r, int c, int j) {
    SampleList list;
    for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc) {
            if (!dr && !dc) continue;
            if (mergedColor(img, r + dr + 60, c + dc + 60) != j) continue;
            list.terms.push_back({dr, dc, 1, false});
            list.terms.push_back({dr, dc, -1, true});
            ++list.divisor;
        }
    return list;
}

} // namespace

void buildNeighbourLists(const RawImage &img, NeighbourLists &out) {
    out.period = img.filters == kPatternXTrans ? 6 : 2;
    for (int r = 0; r < out.period; ++r)
        for (int c = 0; c < out.period; ++c) {
            PositionLists &e = out.entries[r][c];
            e = PositionLists{};
            // Offsets of 60 keep the pattern lookups at non-negative rows and
            // columns without changing the position within either repeat.
            e.color = mergedColor(img, r + 60, c + 60);
            if (e.color != 1)
                for (int dir = 0; dir < 2; ++dir)
                    e.green[dir] = greenList(img, r, c, e.color, dir);
            for (int j : {0, 2})
                if (j != e.color) e.colorList[j] = colorListFor(img, r, c, j);
        }
}

int listGreen(const SampleList &list, const Mosaic &m, int row, int col, int own) {
    if (list.divisor == 0) return own;
    long sum = 0;
    for (const auto &t : list.terms)
        sum += static_cast<long>(t.weight) * m.at(row + t.dr, col + t.dc);
    long v = sum / list.divisor;
    if (!list.range.empty()) {
        int lo = 65535, hi = 0;
        for (auto [dr, dc] : list.range) {
            int s = m.at(row + dr, col + dc);
            lo = std::min(lo, s);
            hi = std::max(hi, s);
        }
        v = lim<long>(v, lo, hi);
    }
    return clip16(static_cast<int>(v));
}

} // namespace orvanta::rawsteps::detail
