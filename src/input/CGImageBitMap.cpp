#include "CGImageBitMap.h"

#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvanta {

std::unique_ptr<CGImageBitMap> CGImageBitMap::initWithCGImageRef(std::shared_ptr<const BitmapImage> image) {
    if (!image) return nullptr;
    std::unique_ptr<CGImageBitMap> b(new CGImageBitMap);
    b->myImage = std::move(image);
    return b;
}

bool CGImageBitMap::getDataProvider(const char *caller) {
    if (prepared_) return usable_;
    prepared_ = true;
    if (!myImage) {
        logMessage("%s: myImage NULL", caller);
        return false;
    }
    if (!myImage->data) {
        logMessage("%s: Could not get a CGImageGetDataProvider - no image data is available", caller);
        return false;
    }
    if (myImage->bytesPerRow == 0 || myImage->height <= 0) {
        logMessage("%s: Could not get data from CGDataProviderCopyData - zero length buffer", caller);
        return false;
    }
    bitMap = myImage->bitmapInfo;
    bitsPerComponent = myImage->bitsPerComponent;
    bytesPerRow = myImage->bytesPerRow;
    bufferInc = bitsPerComponent > 0 ? myImage->bitsPerPixel / bitsPerComponent : 0;
    const std::uint32_t alpha = bitMap & BitmapImage::kAlphaMask;
    if (alpha > 6) return false; // not a supported layout
    static const int kRIndex[7] = {0, 0, 1, 0, 1, 0, 1};
    rIndex = kRIndex[alpha];
    alphaIndex = rIndex == 0 ? 3 : 0;
    hasAlpha = alpha >= 1 && alpha <= 4;
    premultipliedAlpha = alpha == 1 || alpha == 2;
    switch (bitMap & BitmapImage::kByteOrderMask) {
    case BitmapImage::kByteOrder32Little:
        byteOrder = ByteOrder::Little32;
        break;
    case BitmapImage::kByteOrder16Little:
        byteOrder = ByteOrder::Little16;
        break;
    case BitmapImage::kByteOrder16Big:
        byteOrder = ByteOrder::Big16;
        break;
    case BitmapImage::kByteOrder32Big:
        byteOrder = ByteOrder::Big32;
        break;
    default:
        byteOrder = bitsPerComponent == 16 ? ByteOrder::Big16 : ByteOrder::Big32;
    }
    usable_ = (bitsPerComponent == 8 || bitsPerComponent == 16 || bitsPerComponent == 32) && bufferInc >= 3;
    return usable_;
}

double CGImageBitMap::sample(const std::uint8_t *pixel, int component) const {
    const bool little = byteOrder == ByteOrder::Little32 || byteOrder == ByteOrder::Little16;
    switch (bitsPerComponent) {
    case 8:
        return pixel[component] / 255.0;
    case 16: {
        const std::uint8_t *p = pixel + 2 * component;
        const unsigned v = little ? (p[0] | p[1] << 8) : (p[0] << 8 | p[1]);
        return v / 65535.0;
    }
    case 32: {
        const std::uint8_t *p = pixel + 4 * component;
        const std::uint32_t v = little ? (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                          std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24)
                                       : (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                                          std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]));
        if (bitMap & BitmapImage::kFloatComponents) {
            float f;
            std::memcpy(&f, &v, 4);
            return f;
        }
        return v * std::ldexp(1.0, -32);
    }
    default:
        return 0;
    }
}

void CGImageBitMap::readPixel(int col, int row, double rgba[4]) const {
    const std::uint8_t *pixel = myImage->data + static_cast<std::size_t>(row) * bytesPerRow +
                                static_cast<std::size_t>(col) * bufferInc * (bitsPerComponent / 8);
    double a = hasAlpha ? sample(pixel, alphaIndex) : 1.0;
    for (int c = 0; c < 3; ++c) {
        double v = sample(pixel, rIndex + c);
        if (premultipliedAlpha && a != 0) v /= a;
        rgba[c] = v;
    }
    rgba[3] = premultipliedAlpha ? a : 1.0;
}

bool CGImageBitMap::getLinearBuffer(std::uint16_t *dst) {
    if (!getDataProvider("-[CGImageBitMap getLinearBuffer:]") || !dst) return false;
    const int W = getWidth(), H = getHeight();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double p[4];
            readPixel(x, y, p);
            // Over-range colours keep their hue.
            const double m = std::max({p[0], p[1], p[2], 1.0});
            std::uint16_t *o = dst + (static_cast<std::size_t>(y) * W + x) * 3;
            for (int c = 0; c < 3; ++c) {
                const double v = p[c] / m;
                o[c] = v < 0 ? 0 : static_cast<std::uint16_t>(std::floor(v * 65535.0));
            }
        }
    return true;
}

bool CGImageBitMap::getFloatRBGABuffer(float *dst) {
    if (!getDataProvider("-[CGImageBitMap getFloatRBGABuffer:]") || !dst) return false;
    const int W = getWidth(), H = getHeight();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            double p[4];
            readPixel(x, y, p);
            float *o = dst + (static_cast<std::size_t>(y) * W + x) * 4;
            for (int c = 0; c < 4; ++c)
                o[c] = static_cast<float>(p[c]);
        }
    return true;
}

bool CGImageBitMap::getPixelValues(int col, int row, double values[4]) {
    values[0] = values[1] = values[2] = 0;
    values[3] = 1;
    if (col < 0 || row < 0 || col >= getWidth() || row >= getHeight()) return false;
    if (!getDataProvider("-[CGImageBitMap getPixelValues:row:values:]")) {
        logMessage("%s: getDataProvider returned NULL", "-[CGImageBitMap getPixelValues:row:values:]");
        return false;
    }
    readPixel(col, row, values);
    return true;
}

} // namespace orvanta
