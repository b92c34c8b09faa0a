#include "RawSteps.h"

#include <algorithm>
#include <atomic>
#include <limits.h>
#include <pthread.h>

namespace orvanta::rawsteps {
namespace {

std::atomic<bool> gInlineOnly{false};

// All large data lives in the per-band scratch areas, so the band threads
// need only small stacks. Sanitizers inflate frames, so they get more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kBandStack = 1 << 20;
#else
constexpr std::size_t kBandStack = 16 * 1024;
#endif

struct BandJob {
    const std::function<void(int, int)> *fn;
    int first, last;
};

void *bandThread(void *arg) {
    auto *job = static_cast<BandJob *>(arg);
    (*job->fn)(job->first, job->last);
    return nullptr;
}

} // namespace

void setBandsRunInline(bool inlineOnly) {
    gInlineOnly = inlineOnly;
}

void bandEnds(int first, int limit, bool evenEnds, int ends[kBandCount], int bandRows) {
    const int step = bandRows > 0 ? bandRows : limit / kBandCount;
    int previous = first;
    for (int k = 0; k < kBandCount; ++k) {
        int end = k == kBandCount - 1 ? limit : step * (k + 1);
        if (evenEnds && k < kBandCount - 1) end &= ~1;
        end = std::max(std::min(end, limit), previous); // small images: empty bands, never reversed
        ends[k] = end;
        previous = end;
    }
}

void runBands(int first, int limit, const std::function<void(int, int)> &band, bool evenEnds, int bandRows) {
    int ends[kBandCount];
    bandEnds(first, limit, evenEnds, ends, bandRows);
    BandJob jobs[kBandCount];
    pthread_t threads[kBandCount - 1];
    bool started[kBandCount - 1] = {};
    int start = first;
    for (int k = 0; k < kBandCount; ++k) {
        jobs[k] = BandJob{&band, start, ends[k]};
        start = ends[k];
    }
    const bool inlineOnly = gInlineOnly.load();
    pthread_attr_t attr;
    bool haveAttr = !inlineOnly && pthread_attr_init(&attr) == 0;
    if (haveAttr) pthread_attr_setstacksize(&attr, std::max<std::size_t>(kBandStack, PTHREAD_STACK_MIN));
    for (int k = 0; k < kBandCount - 1; ++k) {
        if (haveAttr && pthread_create(&threads[k], &attr, bandThread, &jobs[k]) == 0)
            started[k] = true;
        else
            bandThread(&jobs[k]); // no thread to be had: run the band here
    }
    if (haveAttr) pthread_attr_destroy(&attr);
    bandThread(&jobs[kBandCount - 1]);
    for (int k = 0; k < kBandCount - 1; ++k)
        if (started[k]) pthread_join(threads[k], nullptr);
}

int RawImage::fcol(int row, int col) const {
    // The Leaf 16 × 16 colour-filter table of the raw decoder library.
    static const char kLeaf[16][16] = {
        {2, 1, 1, 3, 2, 3, 2, 0, 3, 2, 3, 0, 1, 2, 1, 0}, {0, 3, 0, 2, 0, 1, 3, 1, 0, 1, 1, 2, 0, 3, 3, 2},
        {2, 3, 3, 2, 3, 1, 1, 3, 3, 1, 2, 1, 2, 0, 0, 3}, {0, 1, 0, 1, 0, 2, 0, 2, 2, 0, 3, 0, 1, 3, 2, 1},
        {3, 1, 1, 2, 0, 1, 0, 2, 1, 3, 1, 3, 0, 1, 3, 0}, {2, 0, 0, 3, 3, 2, 3, 1, 2, 0, 2, 0, 3, 2, 2, 1},
        {2, 3, 3, 1, 2, 1, 2, 1, 2, 1, 1, 2, 3, 0, 0, 1}, {1, 0, 0, 2, 3, 0, 0, 3, 0, 3, 0, 3, 2, 1, 2, 3},
        {2, 3, 3, 1, 1, 2, 1, 0, 3, 2, 3, 0, 2, 3, 1, 3}, {1, 0, 2, 0, 3, 0, 3, 2, 0, 1, 1, 2, 0, 1, 0, 2},
        {0, 1, 1, 3, 3, 2, 2, 1, 1, 3, 3, 0, 2, 1, 3, 2}, {2, 3, 2, 0, 0, 1, 3, 0, 2, 0, 1, 2, 3, 0, 1, 0},
        {1, 3, 1, 2, 3, 2, 3, 2, 0, 2, 0, 1, 1, 0, 3, 0}, {0, 2, 0, 3, 1, 0, 0, 1, 1, 3, 3, 2, 3, 2, 2, 1},
        {2, 1, 3, 2, 3, 1, 2, 1, 0, 3, 0, 2, 0, 2, 0, 2}, {0, 3, 1, 0, 0, 2, 0, 3, 2, 1, 3, 1, 1, 3, 1, 3}};
    if (filters == kPatternLeaf16x16) return kLeaf[(row + topMargin) & 15][(col + leftMargin) & 15];
    if (filters == kPatternXTrans) return xtrans[((row % 6) + 6) % 6][((col % 6) + 6) % 6] & 3;
    return bayerColor(filters, row, col);
}

} // namespace orvanta::rawsteps
