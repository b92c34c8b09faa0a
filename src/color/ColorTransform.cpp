#include "ColorTransform.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <lcms2.h>
#include <map>
#include <mutex>

namespace orvanta {
namespace {

// LittleCMS profiles are not to be read by two threads at once, and making a
// transform reads both; one lock covers every creation.
std::mutex &creationLock() {
    static std::mutex m;
    return m;
}

// Transforms by profile pair. An entry keeps its profiles alive, so a key's
// addresses cannot be reused by other profiles while it is cached.
constexpr std::size_t kCacheLimit = 32;
using Key = std::pair<const ColorSyncProfileWrap *, const ColorSyncProfileWrap *>;
std::map<Key, std::shared_ptr<ColorTransform>> &cache() {
    static auto *c = new std::map<Key, std::shared_ptr<ColorTransform>>;
    return *c;
}

} // namespace

std::shared_ptr<ColorTransform>
ColorTransform::create(const std::shared_ptr<ColorSyncProfileWrap> &source,
                       const std::shared_ptr<ColorSyncProfileWrap> &destination) {
    if (!source || !destination) return nullptr;
    std::lock_guard lock(creationLock());
    const Key key{source.get(), destination.get()};
    auto &c = cache();
    if (auto it = c.find(key); it != c.end()) return it->second;
    auto *src = static_cast<cmsHPROFILE>(source->csRef());
    auto *dst = static_cast<cmsHPROFILE>(destination->csRef());
    if (!src || !dst) return nullptr;
    const cmsUInt32Number intent = cmsGetHeaderRenderingIntent(src);
    const cmsUInt32Number flags = cmsFLAGS_NOCACHE | cmsFLAGS_COPY_ALPHA;
    std::shared_ptr<ColorTransform> t(new ColorTransform);
    t->source_ = source;
    t->destination_ = destination;
    t->floatTransform_ = cmsCreateTransform(src, TYPE_RGBA_FLT, dst, TYPE_RGBA_FLT, intent, flags);
    t->shortTransform_ = cmsCreateTransform(src, TYPE_RGBA_16, dst, TYPE_RGBA_16, intent, flags);
    if (intent != INTENT_ABSOLUTE_COLORIMETRIC) t->shaper_ = makeShaper(src, dst);
    if (!t->floatTransform_ || !t->shortTransform_) {
        logMessage(">> %s",
                   ("no colour transform from " + source->description() + " to " + destination->description())
                       .c_str());
        return nullptr;
    }
    // Past the limit, forget the transforms nobody else holds.
    if (c.size() >= kCacheLimit) std::erase_if(c, [](const auto &e) { return e.second.use_count() == 1; });
    if (c.size() < kCacheLimit) c[key] = t;
    return t;
}

ColorTransform::~ColorTransform() {
    if (floatTransform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(floatTransform_));
    if (shortTransform_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(shortTransform_));
}

void ColorTransform::run(void *xform, const void *in, std::size_t inRowBytes, void *out,
                         std::size_t outRowBytes, int width, int height) const {
    if (width <= 0 || height <= 0) return;
    // About 64 K pixels a task keeps the pool busy without drowning it.
    const int rowsPerTask = std::max(1, 65536 / width);
    const int tasks = (height + rowsPerTask - 1) / rowsPerTask;
    dispatch::apply(static_cast<std::size_t>(tasks), [&](std::size_t t) {
        const int first = static_cast<int>(t) * rowsPerTask;
        const int rows = std::min(rowsPerTask, height - first);
        const auto *src = static_cast<const std::uint8_t *>(in) + first * inRowBytes;
        auto *dst = static_cast<std::uint8_t *>(out) + first * outRowBytes;
        cmsDoTransformLineStride(static_cast<cmsHTRANSFORM>(xform), src, dst,
                                 static_cast<cmsUInt32Number>(width), static_cast<cmsUInt32Number>(rows),
                                 static_cast<cmsUInt32Number>(inRowBytes),
                                 static_cast<cmsUInt32Number>(outRowBytes), 0, 0);
    });
}

void ColorTransform::convert(const float *in, std::size_t inRowBytes, float *out, std::size_t outRowBytes,
                             int width, int height) const {
    run(floatTransform_, in, inRowBytes, out, outRowBytes, width, height);
}

void ColorTransform::convert(const std::uint16_t *in, std::size_t inRowBytes, std::uint16_t *out,
                             std::size_t outRowBytes, int width, int height) const {
    if (shaper_)
        runShaper(in, inRowBytes, out, outRowBytes, width, height);
    else
        run(shortTransform_, in, inRowBytes, out, outRowBytes, width, height);
}

std::unique_ptr<ColorTransform::Shaper> ColorTransform::makeShaper(void *srcProfile, void *dstProfile) {
    auto *src = static_cast<cmsHPROFILE>(srcProfile);
    auto *dst = static_cast<cmsHPROFILE>(dstProfile);
    if (!cmsIsMatrixShaper(src) || !cmsIsMatrixShaper(dst) || cmsGetColorSpace(src) != cmsSigRgbData ||
        cmsGetColorSpace(dst) != cmsSigRgbData)
        return nullptr;
    const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                          cmsSigBlueColorantTag};
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    // Columns: the colorants in the connection space (D50, adapted already).
    double ms[3][3], md[3][3];
    for (int c = 0; c < 3; ++c) {
        auto *a = static_cast<const cmsCIEXYZ *>(cmsReadTag(src, colorants[c]));
        auto *b = static_cast<const cmsCIEXYZ *>(cmsReadTag(dst, colorants[c]));
        if (!a || !b) return nullptr;
        ms[0][c] = a->X, ms[1][c] = a->Y, ms[2][c] = a->Z;
        md[0][c] = b->X, md[1][c] = b->Y, md[2][c] = b->Z;
    }
    // The inverse of the destination's matrix, by cofactors.
    const double det = md[0][0] * (md[1][1] * md[2][2] - md[1][2] * md[2][1]) -
                       md[0][1] * (md[1][0] * md[2][2] - md[1][2] * md[2][0]) +
                       md[0][2] * (md[1][0] * md[2][1] - md[1][1] * md[2][0]);
    if (std::fabs(det) < 1e-12) return nullptr;
    double inv[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
            inv[i][j] = (md[i1][j1] * md[i2][j2] - md[i1][j2] * md[i2][j1]) / det;
        }
    auto s = std::make_unique<Shaper>();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            s->m[i][j] = inv[i][0] * ms[0][j] + inv[i][1] * ms[1][j] + inv[i][2] * ms[2][j];
    for (int c = 0; c < 3; ++c) {
        auto *in = static_cast<const cmsToneCurve *>(cmsReadTag(src, curves[c]));
        auto *out = static_cast<const cmsToneCurve *>(cmsReadTag(dst, curves[c]));
        if (!in || !out) return nullptr;
        cmsToneCurve *reversed = cmsReverseToneCurveEx(65536, out);
        if (!reversed) return nullptr;
        s->in[c].resize(65536);
        for (int i = 0; i < 65536; ++i)
            s->in[c][i] = cmsEvalToneCurveFloat(in, static_cast<float>(i / 65535.0));
        s->out[c].resize(kOutSteps + 1);
        for (int i = 0; i <= kOutSteps; ++i)
            s->out[c][i] = std::clamp(
                cmsEvalToneCurveFloat(reversed, static_cast<float>(double(i) / kOutSteps)), 0.0f, 1.0f);
        cmsFreeToneCurve(reversed);
    }
    return s;
}

void ColorTransform::runShaper(const std::uint16_t *in, std::size_t inRowBytes, std::uint16_t *out,
                               std::size_t outRowBytes, int width, int height) const {
    if (width <= 0 || height <= 0) return;
    const Shaper &s = *shaper_;
    float m[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = static_cast<float>(s.m[i][j]);
    auto encode = [&](int c, float v) -> std::uint16_t {
        v = std::clamp(v, 0.0f, 1.0f) * kOutSteps;
        const int k = std::min(static_cast<int>(v), kOutSteps - 1);
        const float f = v - k;
        const float e = s.out[c][k] + (s.out[c][k + 1] - s.out[c][k]) * f;
        return static_cast<std::uint16_t>(e * 65535.0f + 0.5f);
    };
    // Display tiles arrive in parallel already; only areas of export size
    // are worth splitting over the pool.
    const int rowsPerTask = std::max(1, (1 << 20) / width);
    const int tasks = (height + rowsPerTask - 1) / rowsPerTask;
    auto rows = [&](int first, int count) {
        for (int y = first; y < first + count; ++y) {
            const auto *p = reinterpret_cast<const std::uint16_t *>(
                reinterpret_cast<const std::uint8_t *>(in) + y * inRowBytes);
            auto *q =
                reinterpret_cast<std::uint16_t *>(reinterpret_cast<std::uint8_t *>(out) + y * outRowBytes);
            for (int x = 0; x < width; ++x, p += 4, q += 4) {
                const float r = s.in[0][p[0]], g = s.in[1][p[1]], b = s.in[2][p[2]];
                const std::uint16_t a = p[3];
                q[0] = encode(0, m[0][0] * r + m[0][1] * g + m[0][2] * b);
                q[1] = encode(1, m[1][0] * r + m[1][1] * g + m[1][2] * b);
                q[2] = encode(2, m[2][0] * r + m[2][1] * g + m[2][2] * b);
                q[3] = a;
            }
        }
    };
    if (tasks == 1) {
        rows(0, height);
        return;
    }
    dispatch::apply(static_cast<std::size_t>(tasks), [&](std::size_t t) {
        const int first = static_cast<int>(t) * rowsPerTask;
        rows(first, std::min(rowsPerTask, height - first));
    });
}

} // namespace orvanta
