#include "ColorTransform.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <algorithm>
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
    run(shortTransform_, in, inRowBytes, out, outRowBytes, width, height);
}

} // namespace orvanta
