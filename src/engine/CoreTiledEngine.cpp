#include "CoreTiledEngine.h"

#include "ComputeMatrixAndLUT.h"
#include "RawCombineTiledEngine.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvanta {
namespace {

const char *const kKeys[] = {"Orvanta_Filter_inputEV",         "Orvanta_Filter_inputContrast",
                             "Orvanta_Filter_inputBrightness", "Orvanta_Filter_inputFillLight",
                             "Orvanta_Filter_inputHighLight",  "Orvanta_Filter_inputKneeHigh",
                             "Orvanta_Filter_inputKneeLow",    "Orvanta_Filter_inputSaturation",
                             "Orvanta_Filter_inputAngle",      "Orvanta_ettrAdjust",
                             "Orvanta_SceneReferred",          "Orvanta_MaintainWhites",
                             "Orvanta_toneCurveAdjust",        "Orvanta_CameraProfile",
                             "Orvanta_Filter_monochromeRed",   "Orvanta_Filter_monochromeYellow",
                             "Orvanta_Filter_monochromeGreen", "Orvanta_Filter_monochromeCyan",
                             "Orvanta_Filter_monochromeBlue",  "Orvanta_Filter_inputTemperature",
                             "Orvanta_Filter_inputTint"};

constexpr float kDefaultMatrix[16] = {1, 0, 0, 1228.8f, 0, 1, 0, 2457.6f, 0, 0, 1, 409.6f, 0, 0, 0, 0};

class ReadLock {
public:
    explicit ReadLock(ReadWriteLock *l) : l_(l) { l_->lockForRead(); }
    ~ReadLock() { l_->unlock(); }

private:
    ReadWriteLock *l_;
};

} // namespace

CoreTiledEngine::CoreTiledEngine(std::shared_ptr<TiledEngine> source, std::optional<std::string> cacheId,
                                 bool release)
    : TiledEngine(std::move(source), std::move(cacheId), release), _settingsLock(ReadWriteLock::create()) {
    std::copy(std::begin(kDefaultMatrix), std::end(kDefaultMatrix), matrix);
    auto v = UserDefaults::standard().object("enableCinematic");
    enableCinematic = v ? UserDefaults::standard().boolForKey("enableCinematic") : true;
}

CoreTiledEngine::CoreTiledEngine(Size size, std::optional<std::string> cacheId, bool release)
    : TiledEngine(size, std::move(cacheId), release), _settingsLock(ReadWriteLock::create()) {
    std::copy(std::begin(kDefaultMatrix), std::end(kDefaultMatrix), matrix);
}

std::string CoreTiledEngine::engineName() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "OrvantaCoreEngine_%p", static_cast<const void *>(this));
    return buf;
}

int CoreTiledEngine::zoomKey(float scale) {
    const float f = std::max(1.0f, 1.0f / scale);
    return static_cast<int>(std::floor(100.0f / f));
}

void CoreTiledEngine::setParameters(const std::string *key, const Dictionary &parameters) {
    const bool mine =
        !key || std::any_of(std::begin(kKeys), std::end(kKeys), [&](const char *k) { return *key == k; });
    if (mine) {
        {
            std::lock_guard lock(thumbLock);
            processsedThumbBuf.reset();
        }
        edgesDone = false;
        auto self = weak_from_this().lock();
        const std::uint64_t generation = ++requestedGeneration_;
        if (haveTables_ && self) {
            dispatch::globalQueue(dispatch::Priority::High)
                ->async(recomputations_,
                        [self, generation, settings = parameters] { self->recompute(settings, generation); });
        } else {
            recompute(parameters, generation);
        }
    }
    TiledEngine::setParameters(key, parameters);
}

void CoreTiledEngine::waitForSettings() {
    recomputations_.wait();
}

void CoreTiledEngine::recompute(const Dictionary &settings, std::uint64_t generation) {
    _settingsLock->lockForWrite();
    // Recomputations run in parallel on the queue and may take the lock out
    // of order: one for older settings than the tables already hold is
    // dropped, so the last change always wins.
    if (generation < appliedGeneration_) {
        _settingsLock->unlock();
        return;
    }
    appliedGeneration_ = generation;
    std::copy(std::begin(kDefaultMatrix), std::end(kDefaultMatrix), matrix);
    ettrMul = std::exp2(settings.floatFor("Orvanta_ettrAdjust", 0) + highlightExposureAdjust);
    LUT = ImageBufferF32::create(4096, 1);
    outputOffset = 0;
    ComputeMatrixAndLUT c;
    c.setEnableCinematic(enableCinematic);
    c.setCameraParameters(cameraParameters);
    c.setImageParameters(settings);
    c.populateFloatLUTAndMatrix(LUT.get(), matrix, &outputOffset, &kneeLow, &kneeF);
    if (const Value *t = settings.get("Orvanta_toneCurveAdjust"))
        toneCurve = t->toFloat();
    else
        toneCurve.reset();
    const Value *profile = settings.get("Orvanta_CameraProfile");
    cameraProfile = profile ? profile->objectAs<DNGCameraProfileAbstract>() : nullptr;
    processAsOutputReferred = !settings.boolFor("Orvanta_SceneReferred");
    clipWhites = !settings.boolFor("Orvanta_MaintainWhites");
    ettrMul = std::exp2(settings.floatFor("Orvanta_ettrAdjust", 0) + highlightExposureAdjust);
    if (cameraProfile) {
        fLut.resize(65536);
        const float baseline = !clipWhites && cameraBaselineExposure < 0 ? cameraBaselineExposure : 0.f;
        cameraProfile->generateLUT16(nullptr, fLut.data(), baseline, processAsOutputReferred, clipWhites,
                                     toneCurve.value_or(1.0f));
    } else {
        fLut.clear();
    }
    haveTables_ = true;
    _settingsLock->unlock();
}

std::shared_ptr<TileProcess> CoreTiledEngine::runProcessToCompletion(const TileRegion &region) {
    auto source = sourceBuf();
    if (source) {
        auto prev = source->runProcessToCompletion(region);
        if (prev) {
            if (!prev->dirtyList.empty()) cachedImageIsDirty = true;
            tileSourceBuffer = prev->buffer;
        }
    }
    return std::make_shared<TileProcess>();
}

float CoreTiledEngine::processKnee(float v) const {
    float y = (v + outputOffset) * 5.5555553f;
    if (y > kneeLow) y = std::log((y - kneeLow) * kneeF + 1) / kneeF + kneeLow;
    return y / 5.5555553f;
}

void CoreTiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *src, ImageBuffer *dst, int) {
    if (!src || !dst || src->isFloat() || c1 <= c0 || r1 <= r0) return;
    ReadLock lock(_settingsLock.get());
    if (!LUT) {
        logMessage("%s ERROR ERROR ERROR - NULL LUT",
                   "-[CoreTiledEngine processTile:colEnd:rowStart:rowEnd:srcBuffer:destBuffer:pass:]");
        return;
    }
    const float *lut = LUT->bufferFloatForRow(0);
    const float *profileGain = fLut.empty() ? nullptr : fLut.data();
    const bool knee = kneeF >= 0.0001f;
    const float scale = ettrMul / 65325.0f;
    const int w = c1 - c0;
    std::vector<float> rgb(static_cast<std::size_t>(w) * 4); // one row at a time: no per-pixel allocation
    for (int y = r0; y < r1; ++y) {
        const std::uint16_t *in = src->bufferU16ForRow(y) + 4 * static_cast<std::size_t>(c0);
        for (int i = 0; i < w * 4; ++i)
            rgb[i] = in[i] * scale;
        if (profileGain) {
            for (int x = 0; x < w; ++x) {
                float *p = &rgb[4 * x];
                const std::int64_t R = static_cast<std::int64_t>(p[0] * 65535.0f),
                                   G = static_cast<std::int64_t>(p[1] * 65535.0f),
                                   B = static_cast<std::int64_t>(p[2] * 65535.0f);
                const std::int64_t idx =
                    std::clamp<std::int64_t>((R * 4899 + G * 9618 + B * 1867) >> 14, 0, 65535);
                const float g = profileGain[idx];
                p[0] *= g, p[1] *= g, p[2] *= g;
            }
        }
        float *outF = dst->isFloat() ? dst->bufferFloatForRow(y) + 4 * static_cast<std::size_t>(c0) : nullptr;
        std::uint16_t *out16 =
            dst->isFloat() ? nullptr : dst->bufferU16ForRow(y) + 4 * static_cast<std::size_t>(c0);
        for (int x = 0; x < w; ++x) {
            const float R = rgb[4 * x], G = rgb[4 * x + 1], B = rgb[4 * x + 2], A = rgb[4 * x + 3];
            float o[4];
            for (int j = 0; j < 4; ++j)
                o[j] = R * matrix[j] + G * matrix[4 + j] + B * matrix[8 + j] + A * matrix[12 + j];
            const int n = std::clamp(static_cast<int>(o[3]), 0, 4095);
            const float gain = lut[4 * n];
            for (int c = 0; c < 3; ++c)
                o[c] = knee ? processKnee(o[c]) : o[c] * gain + outputOffset;
            if (outF) {
                outF[4 * x] = o[0], outF[4 * x + 1] = o[1], outF[4 * x + 2] = o[2], outF[4 * x + 3] = 1.0f;
            } else {
                for (int c = 0; c < 3; ++c) {
                    const float v = o[c] * 65325.0f;
                    out16[4 * x + c] = v >= 65536.0f ? 65535 : v < 1.0f ? 0 : static_cast<std::uint16_t>(v);
                }
                out16[4 * x + 3] = 65535;
            }
        }
    }
}

std::unique_ptr<CGImageBitMap>
CoreTiledEngine::renderPiece(const ImageBuffer &picture, const Rect &crop, bool fromThumbnail,
                             const std::shared_ptr<ColorSyncProfileWrap> &destProfile, bool createFloat,
                             int orientation) {
    auto piece = picture.croppedImageFromBuffer(crop);
    std::shared_ptr<ImageBuffer> rendered;
    if (piece) {
        if (fromThumbnail) {
            // The thumbnail is rendered already: rendering it again would
            // apply the colour steps twice. A copy, so that the profile
            // conversion below cannot alter the kept thumbnail.
            if (createFloat)
                rendered = ImageBufferF32::initWithCopyFrom(*piece);
            else
                rendered = ImageBufferU16::initWithCopyFrom(*piece);
        } else {
            if (createFloat)
                rendered = ImageBufferF32::create(piece->imageWidth, piece->imageHeight, nullptr,
                                                  piece->bufferProfile);
            else
                rendered = ImageBufferU16::create(piece->imageWidth, piece->imageHeight, nullptr,
                                                  piece->bufferProfile);
            if (rendered) {
                // Rows are independent: a large piece (an export) is rendered
                // in bands on the shared pool.
                const int w = piece->imageWidth, h = piece->imageHeight;
                constexpr int kBand = 256;
                if (static_cast<std::int64_t>(w) * h < (1 << 20))
                    processTile(0, w, 0, h, piece.get(), rendered.get(), 0);
                else
                    dispatch::apply(static_cast<std::size_t>((h + kBand - 1) / kBand), [&](std::size_t b) {
                        const int r0 = static_cast<int>(b) * kBand;
                        processTile(0, w, r0, std::min(h, r0 + kBand), piece.get(), rendered.get(), 0);
                    });
            }
        }
    }
    std::unique_ptr<CGImageBitMap> result;
    if (rendered) {
        if (destProfile && picture.bufferProfile && !destProfile->isEqual(*picture.bufferProfile) &&
            destProfile != picture.bufferProfile) {
            ColorMatchTiledEngine cm(Size{double(rendered->imageWidth), double(rendered->imageHeight)});
            cm.srcProfile = picture.bufferProfile;
            cm.destProfile = destProfile;
            cm.convertBuffer(*rendered);
        }
        result = rendered->getCGImageBitMapForOrientation(orientation);
    }
    return result;
}

std::unique_ptr<CGImageBitMap> CoreTiledEngine::imageTile(float scale, const Rect &rect,
                                                          std::shared_ptr<ColorSyncProfileWrap> destProfile,
                                                          bool *tileIsThumbnail, bool createFloat,
                                                          int orientation) {
    auto source = tileSourceBuffer;
    if (!source) return nullptr;
    const double H = source->imageHeight;
    Rect r = Rect(rect.origin.x, H - rect.origin.y - rect.size.height, rect.size.width, rect.size.height)
                 .intersection(source->extent());
    if (r.isNull() || r.size.width < 1 || r.size.height < 1)
        logMessage(
            "%s ERROR zero width",
            "-[CoreTiledEngine imageTile:scale:rect:destProfile:tileIsThumbnail:createFloat:orientation:]");
    if (r.isNull()) return nullptr;
    const float f = std::max(1.0f, 1.0f / scale);
    const int key = zoomKey(scale);

    // The export's request (no thumbnail flag) at full size: rendered from
    // the product itself, held against runs for the while, rather than from
    // a full-size copy of it.
    if (!tileIsThumbnail && f == 1.0f) {
        auto engine = sourceBuf();
        std::unique_ptr<CGImageBitMap> direct;
        source->lock(this);
        if (engine && engine->mainMap().isCleanInRect(r))
            direct = renderPiece(*source, r, false, destProfile, createFloat, orientation);
        source->unlock(this);
        if (direct) return direct;
    }

    ReadWriteLock *cl = cacheLock();
    // Most requests find their copy made: asking for the write lock first
    // would make every tile wait for the renders of all others.
    cl->lockForRead();
    bool build = !haveCache_ || cachedImageIsDirty || !cachedImages.count(key);
    cl->unlock();
    if (build) cl->lockForWrite();
    if (build && (!haveCache_ || cachedImageIsDirty || !cachedImages.count(key))) {
        if (source->tryLock(this)) {
            // A stale full-size copy nobody else holds is refilled in place.
            std::shared_ptr<ImageBuffer> reuse;
            if (!haveCache_ || cachedImageIsDirty) {
                if (auto old = cachedImages.find(key);
                    old != cachedImages.end() && old->second.use_count() == 1)
                    reuse = std::move(old->second);
                cachedImages.clear();
                haveCache_ = true;
                cachedImageIsDirty = false;
            }
            const int sw = static_cast<int>(source->imageWidth / f),
                      sh = static_cast<int>(source->imageHeight / f);
            std::shared_ptr<ImageBuffer> scaled;
            if (reuse && sw == source->imageWidth && sh == source->imageHeight &&
                reuse->copyPixelsFrom(*source))
                scaled = std::move(reuse);
            else
                scaled = source->resizedImageFromBuffer(sw, sh);
            // A run over the whole image leaves a null valid region (the
            // "everything" region has no rectangle); a clean source map means
            // the whole product is valid, so the copy is too.
            auto engine = sourceBuf();
            if (scaled && scaled->validRegion.isNull() && engine && engine->mainMap().isClean())
                scaled->validRegion = source->extent();
            if (!scaled || scaled->validRegion.size.width < 1 || scaled->validRegion.size.height < 1)
                logMessage("%s warning validRegion in scaledImage invalid %f %f",
                           "-[CoreTiledEngine imageTile:]", scaled ? scaled->validRegion.size.width : 0.0,
                           scaled ? scaled->validRegion.size.height : 0.0);
            if (scaled) cachedImages[key] = scaled;
            source->unlock(this);
        }
    }
    if (build) cl->unlock();

    cl->lockForRead();
    std::shared_ptr<ImageBuffer> picture;
    double factor = f;
    bool stale = false, fromThumbnail = false;
    auto it = cachedImages.find(key);
    if (it != cachedImages.end() && it->second->validRegion.contains(r)) {
        picture = it->second;
        if (tileIsThumbnail) *tileIsThumbnail = false;
        const Rect &valid = picture->validRegion;
        if (valid.size.width < 1 || valid.size.height < 1)
            logMessage("%s warning validRegion in cachedImage invalid %f %f", "-[CoreTiledEngine imageTile:]",
                       valid.size.width, valid.size.height);
    } else {
        stale = it != cachedImages.end();
        cl->unlock();
        picture = getThumbnail(false);
        cl->lockForRead();
        if (!picture) {
            cl->unlock();
            logMessage("%s No cached or thumbnail image available", "-[CoreTiledEngine imageTile:]");
            return nullptr;
        }
        fromThumbnail = true;
        if (tileIsThumbnail) *tileIsThumbnail = true;
        factor = static_cast<double>(source->imageWidth) / picture->imageWidth;
    }
    const Rect crop(std::round(r.origin.x / factor), std::round(r.origin.y / factor),
                    std::round(r.size.width / factor), std::round(r.size.height / factor));
    std::unique_ptr<CGImageBitMap> result =
        renderPiece(*picture, crop, fromThumbnail, destProfile, createFloat, orientation);
    cl->unlock();
    if (stale)
        if (auto d = delegate.lock()) d->engineActiveRectDirty(this);
    return result;
}

std::shared_ptr<ImageBuffer> CoreTiledEngine::getThumbnail(bool flag) {
    auto source = sourceBuf();
    auto thumb = source ? source->getThumbnail(flag) : nullptr;
    std::lock_guard lock(thumbLock);
    if (thumb != thumbBuf) {
        thumbBuf = thumb;
        processsedThumbBuf.reset();
    }
    if (thumbBuf && !processsedThumbBuf) {
        auto out = ImageBufferU16::create(thumbBuf->imageWidth, thumbBuf->imageHeight, nullptr,
                                          thumbBuf->bufferProfile);
        if (out) {
            processTile(0, thumbBuf->imageWidth, 0, thumbBuf->imageHeight, thumbBuf.get(), out.get(), 0);
            out->validRegion = out->extent();
        }
        processsedThumbBuf = out;
    }
    return processsedThumbBuf;
}

bool CoreTiledEngine::getPixelValues(int x, int y, int p, double values[4]) {
    values[0] = values[1] = values[2] = 0;
    values[3] = 1;
    const int h = p / 2;
    const Rect r = Rect(x - h, y - h, p, p).intersection(extent());
    auto source = sourceBuf();
    if (!tileSourceBuffer || !source || !source->mainMap().isCleanInRect(r)) return false;
    auto crop = tileSourceBuffer->croppedImageFromBuffer(r);
    if (!crop) return false;
    auto out = ImageBufferU16::create(crop->imageWidth, crop->imageHeight);
    if (!out) return false;
    processTile(0, crop->imageWidth, 0, crop->imageHeight, crop.get(), out.get(), 0);
    return out->sampleValues(h, h, p, &values[0], &values[1], &values[2], &values[3]);
}

} // namespace orvanta
