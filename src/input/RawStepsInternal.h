#pragma once
// Shared pieces of the raw steps: the own-colour plane and small helpers.

#include "RawSteps.h"
#include "platform/LargeAlloc.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvanta::rawsteps::detail {

template <class T> inline T lim(T x, T lo, T hi) {
    return std::max(lo, std::min(x, hi));
}
// x limited to the range spanned by y and z, whichever is larger.
template <class T> inline T ulim(T x, T y, T z) {
    return y < z ? lim(x, y, z) : lim(x, z, y);
}
inline int clip16(int x) {
    return lim(x, 0, 65535);
}

// A copy of each pixel's own-colour sample, padded by kPad pixels of zeros on
// every side. The demosaics read only these samples, from this copy, so what
// they write into the image can never feed back into what another band reads.
class Mosaic {
public:
    static constexpr int kPad = 4;

    // Null when the memory cannot be had.
    static bool build(const RawImage &img, Mosaic &out);

    const std::uint16_t *row(int r) const {
        return data_.get() + static_cast<long>(r + kPad) * stride_ + kPad;
    }
    std::uint16_t at(int r, int c) const { return row(r)[c]; }
    int stride() const { return stride_; }

private:
    struct Free {
        std::size_t bytes;
        void operator()(std::uint16_t *p) const { freeLarge(p, bytes); }
    };
    std::unique_ptr<std::uint16_t[], Free> data_{nullptr, Free{0}}; // only the padding is zeroed
    int stride_ = 0;
};

// The filter colour with the two greens merged (colour 3 reads as 1).
inline int mergedColor(const RawImage &img, int row, int col) {
    int c = img.fcol(row, col);
    return c == 3 ? 1 : c;
}

// Colours of a 2 × 2 (Bayer) or 6 × 6 (X-Trans) repeat, for per-pixel lookups
// without the general pattern code path.
struct PatternTable {
    int period = 2;
    std::uint8_t color[6][6] = {};  // the filter colour
    std::uint8_t merged[6][6] = {}; // with colour 3 read as green
    explicit PatternTable(const RawImage &img);
    int raw(int row, int col) const {
        return period == 2 ? color[row & 1][col & 1] : color[row % 6][col % 6];
    }
    int at(int row, int col) const {
        return period == 2 ? merged[row & 1][col & 1] : merged[row % 6][col % 6];
    }
    // The merged colours of a row, indexed by column modulo the period.
    const std::uint8_t *rowColors(int row) const { return merged[period == 2 ? row & 1 : row % 6]; }
};

// Neighbour lists: per position of the pattern's repeat, the interpolation
// terms for the green of each direction and for the red and blue differences.
struct ListTerm {
    int dr, dc;
    int weight;
    bool candidateGreen; // colour lists: the neighbour's candidate green, not its sample
};
struct SampleList {
    std::vector<ListTerm> terms;
    int divisor = 0;
    std::vector<std::pair<int, int>> range; // greens the estimate is clamped between
};
struct PositionLists {
    int color = 1;
    SampleList green[2];     // 0 vertical, 1 horizontal
    SampleList colorList[3]; // for red (0) and blue (2) other than the own colour
};
struct NeighbourLists {
    int period = 2;
    PositionLists entries[6][6];
    const PositionLists &at(int row, int col) const { return entries[row % period][col % period]; }
};
void buildNeighbourLists(const RawImage &img, NeighbourLists &out);

// Candidate of one direction from the lists: the green estimate and, given the
// neighbours' candidate greens through candGreen(dr, dc), red and blue.
int listGreen(const SampleList &list, const Mosaic &m, int row, int col, int own);

} // namespace orvanta::rawsteps::detail
