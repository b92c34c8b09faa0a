#include "RawStepsInternal.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace orvanta::rawsteps {
namespace {

// True for the Bayer arrangements whose two greens are the distinct colours 1
// and 3: a 2 × 2 repeat holding each of 0…3 once, with 1 and 3 diagonal.
bool hasTwoDistinctGreens(unsigned filters) {
    if (filters < 1000) return false;
    const unsigned byte = filters & 0xff;
    if (filters != byte * 0x01010101u) return false;
    int seen = 0;
    for (int i = 0; i < 4; ++i)
        seen |= 1 << ((byte >> (2 * i)) & 3);
    if (seen != 0xf) return false;
    const int c00 = byte & 3, c01 = (byte >> 2) & 3, c10 = (byte >> 4) & 3, c11 = (byte >> 6) & 3;
    return ((c00 & 1) && (c11 & 1)) || ((c01 & 1) && (c10 & 1));
}

} // namespace

bool greenMatching(RawImage &img, int threshold) {
    if (!img.image || !hasTwoDistinctGreens(img.filters)) return false;
    const int W = img.width, H = img.height;
    const unsigned filters = img.filters;
    const int T = threshold;
    const int gate = std::max(1024, 3 * T);

    // The first row of each band as it was before any band ran: the band
    // above reads it while the band below may already be correcting it.
    int ends[kBandCount];
    bandEnds(0, H, true, ends);
    std::vector<std::vector<std::uint16_t>> firstRows(kBandCount);
    std::vector<int> firstRowIndex(kBandCount, -1);
    for (int k = 1; k < kBandCount; ++k) {
        const int r = ends[k - 1];
        if (r >= H || r == ends[k]) continue;
        firstRowIndex[k] = r;
        firstRows[k].resize(static_cast<std::size_t>(W) * 4);
        std::copy(&img.at(r, 0)[0], &img.at(r, 0)[0] + static_cast<std::size_t>(W) * 4, firstRows[k].begin());
    }

    runBands(
        0, H,
        [&](int first, int last) {
            if (first >= last) return;
            // The saved copy of the next band's first row, if this band reads it.
            const std::uint16_t *nextFirst = nullptr;
            for (int k = 1; k < kBandCount; ++k)
                if (firstRowIndex[k] == last) nextFirst = firstRows[k].data();
            auto sample = [&](int r, int c, int ch) -> int {
                if (r == last && nextFirst) return nextFirst[static_cast<std::size_t>(c) * 4 + ch];
                return img.at(r, c)[ch];
            };
            float d = 1.f;
            std::vector<float> smooth((W + 1) / 2, 1.f);
            auto mergeRow = [&](int r) {
                for (int c = 0; c < W; ++c)
                    if (bayerColor(filters, r, c) == 3) img.at(r, c)[1] = img.at(r, c)[3];
            };
            for (int r = first; r < last; ++r) {
                const bool even = (r & 1) == 0;
                // The green columns of this row: one of each pair.
                const int g0 = (bayerColor(filters, r, 0) & 1) ? 0 : 1;
                const int n = g0 < W ? (W - 1 - g0) / 2 + 1 : 0;
                for (int i = 0; i < n; ++i) {
                    const int c = even ? g0 + 2 * i : g0 + 2 * (n - 1 - i);
                    const int own = bayerColor(filters, r, c);
                    const int other = own == 1 ? 3 : 1;
                    if (r >= 2 && r <= H - 2 && c >= 2 && c <= W - 2) {
                        const int g = img.at(r, c)[own];
                        const int h = sample(r - 1, c + 1, other), l = sample(r + 1, c - 1, other);
                        const int m = sample(r + 1, c + 1, other), o = sample(r - 1, c - 1, other);
                        if (g > gate && std::abs(h - g) < T && std::abs(h - l) < T && std::abs(m - o) < T) {
                            const int t = (h + l + m + o) / 4;
                            if (t > 0) {
                                const float ratio =
                                    even ? static_cast<float>(g) / t : static_cast<float>(t) / g;
                                d = 0.98f * d + 0.02f * ratio;
                            }
                        }
                    }
                    float &s = smooth[c / 2];
                    s = r == first ? d : 0.05f * d + 0.95f * s;
                    // Darken the brighter green, never brighten; only this band's rows.
                    if (r - 1 >= first) {
                        if (even && s < 1.f && c >= 1) {
                            std::uint16_t &v = img.at(r - 1, c - 1)[other];
                            v = static_cast<std::uint16_t>(v * s);
                        } else if (!even && s > 1.f && c + 1 < W) {
                            std::uint16_t &v = img.at(r - 1, c + 1)[other];
                            v = static_cast<std::uint16_t>(v / s);
                        }
                    }
                }
                if (r - 2 >= first) mergeRow(r - 2);
            }
            for (int r = std::max(first, last - 2); r < last; ++r)
                mergeRow(r);
        },
        true);

    img.filters &= ~((img.filters & 0x55555555u) << 1);
    img.colors = 3;
    return true;
}

void borderFill(RawImage &img, int border) {
    if (!img.image) return;
    const int W = img.width, H = img.height;
    for (int row = 0; row < H; ++row) {
        for (int col = 0; col < W; ++col) {
            if (col == border && row >= border && row < H - border) col = std::max(col, W - border);
            if (col >= W) break;
            int sum[4] = {}, count[4] = {};
            for (int y = row - 2; y <= row + 2; ++y) {
                if (y < 0 || y >= H) continue;
                for (int x = col - 2; x <= col + 2; ++x) {
                    if (x < 0 || x >= W) continue;
                    const int f = img.fcol(y, x) & 3;
                    sum[f] += img.at(y, x)[f];
                    count[f]++;
                }
            }
            const int own = img.fcol(row, col) & 3;
            for (int c = 0; c < 3; ++c)
                if (c != own && count[c]) img.at(row, col)[c] = static_cast<std::uint16_t>(sum[c] / count[c]);
        }
    }
}

} // namespace orvanta::rawsteps
