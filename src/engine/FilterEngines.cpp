#include "FilterEngines.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace orvanta {
namespace {

std::string named(const char *format, const void *p, int extra = -1) {
    char buf[96];
    if (extra >= 0)
        std::snprintf(buf, sizeof buf, format, p, extra);
    else
        std::snprintf(buf, sizeof buf, format, p);
    return buf;
}

bool concerns(const std::string *key, std::initializer_list<const char *> keys) {
    if (!key) return true;
    for (const char *k : keys)
        if (*key == k) return true;
    return false;
}

int artifactLevel(const Dictionary &p) {
    return static_cast<int>(p.floatFor("Orvanta_ArtifactFilter", 0) * 6);
}

inline int clampSample(int v) {
    return v < 1 ? 0 : v > 65535 ? 65535 : v;
}

// The nine-value median by a fixed compare-exchange network.
constexpr int kMedianPairs[19][2] = {{1, 2}, {4, 5}, {7, 8}, {0, 1}, {3, 4}, {6, 7}, {1, 2},
                                     {4, 5}, {7, 8}, {0, 3}, {5, 8}, {4, 7}, {3, 6}, {1, 4},
                                     {2, 5}, {4, 7}, {4, 2}, {6, 4}, {4, 2}};

inline int median9(int v[9]) {
    for (const auto &p : kMedianPairs) {
        // min/max rather than a swap under a branch: the comparisons are
        // unpredictable on real images.
        const int a = v[p[0]], b = v[p[1]];
        v[p[0]] = std::min(a, b), v[p[1]] = std::max(a, b);
    }
    return v[4];
}

// The same network over a run of pixels at once: lane i of the nine rows
// holds pixel i's neighbourhood; afterwards row 4 holds the medians. A fixed
// run length lets the compiler vectorise every step.
constexpr int kMedianRun = 256;
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void median9Run(int (&v)[9][kMedianRun]) {
    for (const auto &p : kMedianPairs) {
        int *__restrict a = v[p[0]], *__restrict b = v[p[1]]; // two different rows
#pragma GCC ivdep
        for (int i = 0; i < kMedianRun; ++i) {
            const int x = a[i], y = b[i];
            a[i] = std::min(x, y), b[i] = std::max(x, y);
        }
    }
}

} // namespace

int medianPassesFor(int level, bool kodak) {
    switch (level) {
    case 1:
        return kodak ? 2 : 6;
    case 2:
        return kodak ? 4 : 8;
    case 3:
    case 4:
    case 5:
    case 6:
        return kodak ? 6 : 10;
    default:
        return kodak ? 0 : 4;
    }
}

int meanPassesFor(int level, bool kodak) {
    switch (level) {
    case 4:
        return kodak ? 4 : 2;
    case 5:
        return kodak ? 6 : 4;
    case 6:
        return kodak ? 8 : 6;
    default:
        return kodak ? 2 : 0;
    }
}

// ----- median --------------------------------------------------------------

MedianTiledEngine::MedianTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId,
                                     bool release, int color)
    : TiledEngine(std::move(source), std::move(cacheId), release), colorToProcess(color) {
    numberOfPasses = std::max(medianFilterPasses, 1);
}

std::string MedianTiledEngine::engineName() const {
    return named("OrvantaMedianEngine_%p_%i", this, colorToProcess);
}

void MedianTiledEngine::setParameters(const std::string *key, const Dictionary &p) {
    if (concerns(key, {"Orvanta_ArtifactFilter", "Orvanta_KodakProcessing"})) {
        medianFilterPasses = medianPassesFor(artifactLevel(p), p.boolFor("Orvanta_KodakProcessing"));
        numberOfPasses = std::max(medianFilterPasses, 1);
        markAllDirty();
        edgesDone = false;
    }
    TiledEngine::setParameters(key, p);
}

void MedianTiledEngine::beforePass(int pass, const TileRegion &region, ImageBuffer *src, ImageBuffer *dst) {
    if (medianFilterPasses < 1 || !dst) return;
    ImageBuffer *from = pass == 0 && src ? src : dst;
    const int W = from->imageWidth, H = from->imageHeight, ch = colorToProcess;
    before_.resize(static_cast<std::size_t>(W) * H);
    // Tiles of the region read one pixel around themselves; the rest of the
    // copy is never read in this pass.
    int x0 = 0, x1 = W, y0 = 0, y1 = H;
    if (!region.isAll()) {
        x0 = std::max(region.firstTileX * kTileSize - 1, 0);
        x1 = std::min((region.lastTileX + 1) * kTileSize + 1, W);
        y0 = std::max(region.firstTileY * kTileSize - 1, 0);
        y1 = std::min((region.lastTileY + 1) * kTileSize + 1, H);
    }
    if (x1 <= x0 || y1 <= y0) return;
    constexpr int kRows = 64;
    dispatch::apply(static_cast<std::size_t>((y1 - y0 + kRows - 1) / kRows), [&](std::size_t band) {
        const int first = y0 + static_cast<int>(band) * kRows, last = std::min(first + kRows, y1);
        for (int y = first; y < last; ++y) {
            const std::uint16_t *row = from->bufferU16ForRow(y);
            std::uint16_t *out = before_.data() + static_cast<std::size_t>(y) * W;
            for (int x = x0; x < x1; ++x)
                out[x] = row[4 * x + ch];
        }
    });
}

void MedianTiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst,
                                    int pass) {
    if (!dst) return;
    if (medianFilterPasses < 1) {
        if (src && src != dst) copyTile(c0, c1, r0, r1, src, dst);
        return;
    }
    ImageBuffer *greenFrom = src ? src : dst; // green is never changed here
    const int W = dst->imageWidth, H = dst->imageHeight, ch = colorToProcess;
    if (pass == 0 && src && src != dst) copyTile(c0, c1, r0, r1, src, dst);
    int run[9][kMedianRun] = {};
    for (int y = r0; y < r1; ++y) {
        std::uint16_t *out = dst->bufferU16ForRow(y);
        const std::uint16_t *g[3], *b[3];
        for (int dy = -1; dy <= 1; ++dy) {
            const int yy = std::clamp(y + dy, 0, H - 1);
            g[dy + 1] = greenFrom->bufferU16ForRow(yy);
            b[dy + 1] = before_.data() + static_cast<std::size_t>(yy) * W;
        }
        // Filtered channel minus green, the median of the nine around, plus
        // green again. Alpha keeps the channel's value from before the pass,
        // as its scratch copy.
        auto edgePixel = [&](int x) {
            const int xs[3] = {std::max(x - 1, 0), x, std::min(x + 1, W - 1)};
            int v[9], k = 0;
            for (int r = 0; r < 3; ++r)
                for (int xx : xs)
                    v[k++] = static_cast<int>(b[r][xx]) - static_cast<int>(g[r][4 * xx + 1]);
            std::uint16_t *p = out + 4 * static_cast<std::size_t>(x);
            p[3] = b[1][x];
            p[ch] = static_cast<std::uint16_t>(clampSample(g[1][4 * x + 1] + median9(v)));
        };
        const int xa = std::max(c0, 1), xb = std::min(c1, W - 1);
        for (int x = c0; x < std::min(xa, c1); ++x)
            edgePixel(x);
        for (int x0 = xa; x0 < xb; x0 += kMedianRun) {
            const int n = std::min(kMedianRun, xb - x0);
            for (int r = 0, k = 0; r < 3; ++r)
                for (int dx = -1; dx <= 1; ++dx, ++k) {
                    const std::uint16_t *bb = b[r] + x0 + dx, *gg = g[r] + 4 * (x0 + dx) + 1;
                    for (int i = 0; i < n; ++i)
                        run[k][i] = static_cast<int>(bb[i]) - static_cast<int>(gg[4 * i]);
                }
            median9Run(run);
            for (int i = 0; i < n; ++i) {
                const int x = x0 + i;
                std::uint16_t *p = out + 4 * static_cast<std::size_t>(x);
                p[3] = b[1][x];
                p[ch] = static_cast<std::uint16_t>(clampSample(g[1][4 * x + 1] + run[4][i]));
            }
        }
        for (int x = std::max(xb, std::max(xa, c0)); x < c1; ++x)
            edgePixel(x);
    }
}

// ----- mean ----------------------------------------------------------------

MeanTiledEngine::MeanTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId,
                                 bool release)
    : TiledEngine(std::move(source), std::move(cacheId), release) {}

std::string MeanTiledEngine::engineName() const {
    return named("OrvantaMeanEngine_%p", this);
}

void MeanTiledEngine::setParameters(const std::string *key, const Dictionary &p) {
    if (concerns(key, {"Orvanta_ArtifactFilter", "Orvanta_KodakProcessing"})) {
        numberOfFilterPasses = meanPassesFor(artifactLevel(p), p.boolFor("Orvanta_KodakProcessing"));
        markAllDirty();
        edgesDone = false;
    }
    TiledEngine::setParameters(key, p);
}

std::shared_ptr<TileProcess> MeanTiledEngine::runProcessToCompletion(const TileRegion &region) {
    auto process = TiledEngine::runProcessToCompletion(region);
    if (process && process->buffer) process->buffer->bufferOwner = this;
    snapshot_.clear();
    snapshot_.shrink_to_fit();
    return process;
}

void MeanTiledEngine::beforePass(int pass, const TileRegion &region, ImageBuffer *, ImageBuffer *dst) {
    if (pass != 0 || !dst || numberOfFilterPasses < 1) return;
    const int W = dst->imageWidth, H = dst->imageHeight;
    // Only the rows that tiles of the region read: theirs and two around.
    int y0 = 0, y1 = H;
    if (!region.isAll()) {
        y0 = std::clamp(region.firstTileY * kTileSize - 2, 0, H);
        y1 = std::clamp((region.lastTileY + 1) * kTileSize + 2, y0, H);
    }
    snapshotY0_ = y0;
    snapshot_.resize(static_cast<std::size_t>(W) * (y1 - y0) * 4);
    constexpr int kRows = 64;
    dispatch::apply(static_cast<std::size_t>((y1 - y0 + kRows - 1) / kRows), [&](std::size_t band) {
        const int first = y0 + static_cast<int>(band) * kRows, last = std::min(first + kRows, y1);
        for (int y = first; y < last; ++y)
            std::memcpy(snapshot_.data() + static_cast<std::size_t>(y - y0) * W * 4, dst->bufferU16ForRow(y),
                        static_cast<std::size_t>(W) * 8);
    });
}

void MeanTiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *dst, int) {
    if (!dst || numberOfFilterPasses < 1 || c1 <= c0 || r1 <= r0) return;
    const int W = dst->imageWidth, H = dst->imageHeight;
    // The tile and a ring of two pixels from the snapshot; only the tile's
    // pixels change, so the ring is the same whatever its neighbours do.
    const int ax0 = std::max(c0 - 2, 0), ax1 = std::min(c1 + 2, W), ay0 = std::max(r0 - 2, 0),
              ay1 = std::min(r1 + 2, H);
    const int aw = ax1 - ax0, ah = ay1 - ay0;
    std::vector<int> diff[2] = {std::vector<int>(static_cast<std::size_t>(aw) * ah),
                                std::vector<int>(static_cast<std::size_t>(aw) * ah)};
    std::vector<int> green(static_cast<std::size_t>(aw) * ah);
    for (int y = ay0; y < ay1; ++y)
        for (int x = ax0; x < ax1; ++x) {
            const std::uint16_t *p =
                snapshot_.data() + (static_cast<std::size_t>(y - snapshotY0_) * W + x) * 4;
            const std::size_t i = static_cast<std::size_t>(y - ay0) * aw + (x - ax0);
            green[i] = p[1];
            diff[0][i] = p[0] - p[1];
            diff[1][i] = p[2] - p[1];
        }
    // The sweep is in place: each pixel sees the updated values before it.
    // Column sums over the five (clamped) rows are taken at the start of each
    // row and kept current as the row's pixels change, which gives the same
    // sums as adding the 25 samples directly.
    std::vector<int> col(static_cast<std::size_t>(aw));
    for (int pass = 0; pass < numberOfFilterPasses; ++pass)
        for (int which = 0; which < 2; ++which) {
            std::vector<int> &d = diff[which];
            for (int y = r0; y < r1; ++y) {
                int rows[5], weight = 0;
                for (int dy = -2; dy <= 2; ++dy) {
                    rows[dy + 2] = std::clamp(y + dy, ay0, ay1 - 1) - ay0;
                    weight += rows[dy + 2] == y - ay0;
                }
                for (int xx = 0; xx < aw; ++xx) {
                    int s = 0;
                    for (int k = 0; k < 5; ++k)
                        s += d[static_cast<std::size_t>(rows[k]) * aw + xx];
                    col[xx] = s;
                }
                for (int x = c0; x < c1; ++x) {
                    int s = 0;
                    for (int dx = -2; dx <= 2; ++dx)
                        s += col[std::clamp(x + dx, ax0, ax1 - 1) - ax0];
                    const std::size_t i = static_cast<std::size_t>(y - ay0) * aw + (x - ax0);
                    // The stored sample is clamped; the sweep goes on from it.
                    const int updated = clampSample(green[i] + s / 25) - green[i];
                    col[x - ax0] += (updated - d[i]) * weight;
                    d[i] = updated;
                }
            }
        }
    for (int y = r0; y < r1; ++y) {
        std::uint16_t *out = dst->bufferU16ForRow(y);
        for (int x = c0; x < c1; ++x) {
            const std::size_t i = static_cast<std::size_t>(y - ay0) * aw + (x - ax0);
            out[4 * x + 0] = static_cast<std::uint16_t>(green[i] + diff[0][i]);
            out[4 * x + 2] = static_cast<std::uint16_t>(green[i] + diff[1][i]);
        }
    }
}

// ----- sharpening -------------------------------------------------------------

SharpeningTiledEngine::SharpeningTiledEngine(std::shared_ptr<TiledEngine> source,
                                             std::optional<std::string> cacheId, bool release)
    : TiledEngine(std::move(source), std::move(cacheId), release) {}

std::string SharpeningTiledEngine::engineName() const {
    return named("OrvantaSharpeningEngine_%p", this);
}

void SharpeningTiledEngine::setParameters(const std::string *key, const Dictionary &p) {
    if (concerns(key, {"Orvanta_Filter_inputRadius", "Orvanta_Filter_inputIntensity"})) {
        radius = p.floatFor("Orvanta_Filter_inputRadius", radius);
        intensity = p.floatFor("Orvanta_Filter_inputIntensity", intensity);
        markAllDirty();
        edgesDone = false;
    }
    TiledEngine::setParameters(key, p);
}

bool SharpeningTiledEngine::buildKernel() {
    radius = std::max(radius, 0.05f);
    const float sigma = radius < 1 ? radius : std::sqrt(radius);
    length = std::max(static_cast<int>(2 * sigma + 1), 3);
    if (length % 2 == 0) ++length;
    const int n = length / 2;
    try {
        kernel.assign(static_cast<std::size_t>(length) * length, 0.f);
    } catch (const std::bad_alloc &) {
        logMessage("%s could not malloc kernel: %i", "-[SharpeningTiledEngine runProcessToCompletion:]",
                   length);
        return false;
    }
    float sum = 0;
    for (int y = -n; y <= n; ++y)
        for (int x = -n; x <= n; ++x) {
            const float v = -intensity * std::exp(-(x * x + y * y) / (2 * sigma * sigma)) /
                            (2 * static_cast<float>(M_PI) * sigma * sigma);
            kernel[static_cast<std::size_t>(y + n) * length + (x + n)] = v;
            sum += v;
        }
    kernel[static_cast<std::size_t>(n) * length + n] = 1 - sum;
    float total = 0;
    for (float v : kernel)
        total += v;
    if (total != 0)
        for (float &v : kernel)
            v /= total;
    return true;
}

std::shared_ptr<TileProcess> SharpeningTiledEngine::runProcessToCompletion(const TileRegion &region) {
    if (!buildKernel()) return nullptr;
    numberOfPasses = 4;
    auto process = TiledEngine::runProcessToCompletion(region);
    if (process && process->buffer) process->buffer->bufferOwner = this;
    return process;
}

void SharpeningTiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst,
                                        int pass) {
    // Every pass computes the same product from the unchanged source; only
    // the last one needs to.
    if (pass != numberOfPasses - 1 || !src || !dst || c1 <= c0 || r1 <= r0) return;
    const int W = src->imageWidth, H = src->imageHeight, n = length / 2;
    const int ax0 = std::max(c0 - n, 0), ax1 = std::min(c1 + n, W), ay0 = std::max(r0 - n, 0),
              ay1 = std::min(r1 + n, H);
    const int aw = ax1 - ax0, ah = ay1 - ay0;
    std::vector<float> area(static_cast<std::size_t>(aw) * ah * 3);
    for (int y = ay0; y < ay1; ++y) {
        const std::uint16_t *in = src->bufferU16ForRow(y);
        for (int x = ax0; x < ax1; ++x)
            for (int c = 0; c < 3; ++c)
                area[(static_cast<std::size_t>(y - ay0) * aw + (x - ax0)) * 3 + c] =
                    std::sqrt(in[4 * x + c] / 65535.0f);
    }
    for (int y = r0; y < r1; ++y) {
        std::uint16_t *out = dst->bufferU16ForRow(y);
        for (int x = c0; x < c1; ++x) {
            const std::size_t centre = (static_cast<std::size_t>(y - ay0) * aw + (x - ax0)) * 3;
            float acc[3];
            if (x - n < ax0 || x + n >= ax1 || y - n < ay0 || y + n >= ay1) {
                // The kernel would reach outside the image: the pixel as it is.
                for (int c = 0; c < 3; ++c)
                    acc[c] = area[centre + c];
            } else {
                acc[0] = acc[1] = acc[2] = 0;
                for (int ky = -n; ky <= n; ++ky) {
                    const float *row =
                        area.data() + (static_cast<std::size_t>(y + ky - ay0) * aw + (x - n - ax0)) * 3;
                    const float *k = kernel.data() + static_cast<std::size_t>(ky + n) * length;
                    for (int kx = 0; kx < length; ++kx)
                        for (int c = 0; c < 3; ++c)
                            acc[c] += k[kx] * row[3 * kx + c];
                }
            }
            for (int c = 0; c < 3; ++c)
                out[4 * x + c] = floatToU16(acc[c] * acc[c]);
            out[4 * x + 3] = 65325;
        }
    }
}

} // namespace orvanta
