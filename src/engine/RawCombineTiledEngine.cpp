#include "RawCombineTiledEngine.h"

#include "color/ColorTransform.h"
#include "input/ImageWrapper.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvanta {

namespace {
std::string withAddress(const char *format, const void *p) {
    char buf[96];
    std::snprintf(buf, sizeof buf, format, p);
    return buf;
}
} // namespace

RawCombineTiledEngine::RawCombineTiledEngine(std::shared_ptr<ImageWrapper> raw, bool releasePrecursors)
    : TiledEngine(Size{raw ? static_cast<double>(raw->imageWidth()) : 0,
                       raw ? static_cast<double>(raw->imageHeight()) : 0},
                  std::nullopt, releasePrecursors),
      rawImage(std::move(raw)) {}

std::string RawCombineTiledEngine::engineName() const {
    return withAddress("OrvantaRawCombineEngine_%p", this);
}

void RawCombineTiledEngine::setParameters(const std::string *key, const Dictionary &parameters) {
    const bool concerns = !key || *key == "Orvanta_ArtifactSuppression" ||
                          *key == "Orvanta_ChromaArtifactSuppression" || *key == "Orvanta_MonochromeSensor";
    if (concerns) {
        artifactSuppression = std::clamp(parameters.floatFor("Orvanta_ArtifactSuppression", 0.f), 0.f, 1.f);
        chromaArtifactSuppression =
            std::clamp(parameters.floatFor("Orvanta_ChromaArtifactSuppression", 0.f), 0.f, 1.f);
        markAllDirty();
        edgesDone = false;
    }
    TiledEngine::setParameters(key, parameters);
}

std::shared_ptr<TileProcess> RawCombineTiledEngine::runProcessToCompletion(const TileRegion &region) {
    {
        std::lock_guard lock(thumbLock);
        thumbnailIsDirty = true;
    }
    auto process = TiledEngine::runProcessToCompletion(region);
    if (process && process->buffer) {
        process->buffer->bufferProfile = rawImage ? rawImage->bufferProfile() : nullptr;
        process->buffer->bufferOwner = this; // later engines may not work in place on it
        if (!shouldReleasePrecursors) {
            pixelValueBuffer = process->buffer;
            buildThumbnail();
        }
    }
    return process;
}

void RawCombineTiledEngine::processTile(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *dst,
                                        int) {
    processArea(c0, c1, r0, r1, artifactSuppression, chromaArtifactSuppression, dst);
}

void RawCombineTiledEngine::processEdge(int c0, int c1, int r0, int r1, ImageBuffer *, ImageBuffer *dst,
                                        int) {
    processArea(c0, c1, r0, r1, 0.f, 0.f, dst); // the frame comes from the master alone
}

void RawCombineTiledEngine::rgbToHsv(float r, float g, float b, float *h, float *s, float *v) {
    const float mx = std::max({r, g, b}), mn = std::min({r, g, b}), d = mx - mn;
    *v = mx;
    if (d > 0) {
        float hue;
        if (mx == r) {
            hue = (g - b) / d;
            if (hue < 0) hue += 6;
        } else if (mx == g) {
            hue = (b - r) / d + 2;
        } else {
            hue = (r - g) / d + 4;
        }
        *h = hue;
        *s = d / mx;
    } else {
        *h = *s = 0;
    }
}

void RawCombineTiledEngine::hsvToRgb(float h, float s, float v, float *r, float *g, float *b) {
    if (s <= 0) {
        *r = *g = *b = v;
        return;
    }
    if (h < 0) h += 6;
    if (h >= 6) h -= 6;
    const int i = std::clamp(static_cast<int>(h), 0, 5);
    const float f = h - static_cast<float>(i);
    const float p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    switch (i) {
    case 0:
        *r = v, *g = t, *b = p;
        break;
    case 1:
        *r = q, *g = v, *b = p;
        break;
    case 2:
        *r = p, *g = v, *b = t;
        break;
    case 3:
        *r = p, *g = q, *b = v;
        break;
    case 4:
        *r = t, *g = p, *b = v;
        break;
    default:
        *r = v, *g = p, *b = q;
        break;
    }
}

void RawCombineTiledEngine::processArea(int c0, int c1, int r0, int r1, float Wv, float Wc,
                                        ImageBuffer *dst) {
    if (!rawImage || !dst || dst->isFloat()) return;
    const std::uint16_t *master = rawImage->masterImageBytes();
    const std::uint16_t *alternate = rawImage->alternateImageBytes();
    if (!master) return;
    const int W = rawImage->imageWidth();
    constexpr float k = 1.0f / 65535.0f;
    auto to16 = [](float x) {
        const float s = x * 65535.0f;
        return static_cast<std::uint16_t>(s <= 0 ? 0 : s >= 65535.0f ? 65535 : static_cast<int>(s));
    };
    for (int y = r0; y < r1; ++y) {
        std::uint16_t *out = dst->bufferU16ForRow(y);
        for (int x = c0; x < c1; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * W + x) * 3;
            float h, s, v;
            rgbToHsv(master[i] * k, master[i + 1] * k, master[i + 2] * k, &h, &s, &v);
            if (alternate) {
                float hA, sA, vA;
                rgbToHsv(alternate[i] * k, alternate[i + 1] * k, alternate[i + 2] * k, &hA, &sA, &vA);
                // Blend hues the short way round the circle.
                if (hA > h && hA - h > 3)
                    h += 6;
                else if (hA <= h && h - hA > 3)
                    hA += 6;
                h = h * (1 - Wc) + hA * Wc;
                s = s * (1 - Wc) + sA * Wc;
                v = v * (1 - Wv) + vA * Wv;
            }
            float r, g, b;
            hsvToRgb(h, s, v, &r, &g, &b);
            std::uint16_t *p = out + 4 * static_cast<std::size_t>(x);
            p[0] = to16(r);
            p[1] = to16(g);
            p[2] = to16(b);
            p[3] = 65535;
        }
    }
}

void RawCombineTiledEngine::buildThumbnail() {
    if (!mainMap().isClean() || !pixelValueBuffer) {
        std::lock_guard lock(thumbLock);
        thumbnailIsDirty = true;
        return;
    }
    std::lock_guard lock(thumbLock);
    if (!thumbnailIsDirty && thumbnail) return;
    thumbnailIsDirty = false;
    const double w = pixelValueBuffer->imageWidth, h = pixelValueBuffer->imageHeight;
    const double k = 512.5 / std::max(w, h);
    thumbnail = pixelValueBuffer->resizedImageFromBuffer(static_cast<int>(w * k), static_cast<int>(h * k));
}

std::shared_ptr<ImageBuffer> RawCombineTiledEngine::getThumbnail(bool) {
    std::lock_guard lock(thumbLock);
    if (!thumbnail) thumbnailIsDirty = true;
    return thumbnail;
}

bool RawCombineTiledEngine::getPixelValues(int x, int y, int p, double values[4]) {
    values[0] = values[1] = values[2] = 0;
    values[3] = 1;
    auto buffer = pixelValueBuffer;
    if (!buffer) return false;
    const Rect r = Rect(x - p / 2, y - p / 2, p, p).intersection(extent());
    std::lock_guard lock(buffer->bufferLock());
    auto crop = buffer->croppedImageFromBuffer(r);
    if (!crop) return false;
    return crop->sampleValues(p / 2, p / 2, p, &values[0], &values[1], &values[2], &values[3]);
}

std::string ColorMatchTiledEngine::engineName() const {
    return withAddress("OrvantaRawColorMatchEngine_%p", this);
}

void ColorMatchTiledEngine::convertBuffer(ImageBuffer &buffer) {
    auto transform = ColorTransform::create(srcProfile, destProfile);
    std::uint8_t *start = buffer.rowBytes(0);
    if (!transform || !start) {
        logMessage("%s error in ColorSyncTransformConvert", "-[ColorMatchTiledEngine convertBuffer:]");
    } else if (buffer.isFloat()) {
        transform->convert(reinterpret_cast<const float *>(start), buffer.rowStepInBytes,
                           reinterpret_cast<float *>(start), buffer.rowStepInBytes, buffer.imageWidth,
                           buffer.imageHeight);
    } else {
        transform->convert(reinterpret_cast<const std::uint16_t *>(start), buffer.rowStepInBytes,
                           reinterpret_cast<std::uint16_t *>(start), buffer.rowStepInBytes, buffer.imageWidth,
                           buffer.imageHeight);
    }
    buffer.bufferProfile = destProfile;
}

} // namespace orvanta
