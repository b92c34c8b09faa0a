#include "ImageBuffer.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvanta {
namespace {

template <class Buffer>
std::shared_ptr<Buffer> makeBuffer(std::shared_ptr<Buffer> b, int width, int height, int bytesPerPixel,
                                   std::shared_ptr<FileBackedFactoryNSData> data,
                                   std::shared_ptr<ColorSyncProfileWrap> profile) {
    if (width < 0 || height < 0 || width > 65535 || height > 65535) return nullptr;
    b->imageWidth = static_cast<std::uint16_t>(width);
    b->imageHeight = static_cast<std::uint16_t>(height);
    b->rowStepInBytes = static_cast<std::uint64_t>(width) * bytesPerPixel;
    const std::uint64_t bytes = b->rowStepInBytes * static_cast<std::uint64_t>(height);
    if (data) {
        if (data->length() < bytes) return nullptr; // too small to hold the image
        b->bitmapData = std::move(data);
    } else {
        b->bitmapData = FileBackedFactoryNSData::create(static_cast<std::size_t>(bytes), false);
        if (!b->bitmapData) return nullptr;
    }
    b->bufferProfile = std::move(profile);
    b->validRegion = Rect::null();
    return b;
}

// Lanczos-3 weights of one output sample: first input index and weights.
struct Contribution {
    int first = 0;
    std::vector<float> w;
};

std::vector<Contribution> contributions(int inSize, int outSize) {
    std::vector<Contribution> out(outSize);
    const double scale = static_cast<double>(outSize) / inSize;
    const double stretch = scale < 1 ? 1 / scale : 1; // widen the kernel when shrinking
    const double support = 3.0 * stretch;
    auto lanczos = [](double x) {
        x = std::fabs(x);
        if (x < 1e-9) return 1.0;
        if (x >= 3) return 0.0;
        const double px = M_PI * x;
        return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
    };
    for (int o = 0; o < outSize; ++o) {
        const double center = (o + 0.5) / scale - 0.5;
        const int lo = static_cast<int>(std::floor(center - support)) + 1;
        const int hi = static_cast<int>(std::floor(center + support));
        Contribution &c = out[o];
        c.first = std::max(lo, 0);
        double sum = 0;
        for (int i = lo; i <= hi; ++i) {
            const double wgt = lanczos((i - center) / stretch);
            const int idx = std::clamp(i, 0, inSize - 1);
            if (idx - c.first >= static_cast<int>(c.w.size())) c.w.resize(idx - c.first + 1, 0.f);
            c.w[idx - c.first] += static_cast<float>(wgt);
            sum += wgt;
        }
        if (sum != 0)
            for (float &v : c.w)
                v = static_cast<float>(v / sum);
    }
    return out;
}

} // namespace

ImageBuffer::~ImageBuffer() = default;

std::uint8_t *ImageBuffer::rowBytes(int row) const {
    if (!bitmapData || !bitmapData->bytes()) return nullptr;
    return static_cast<std::uint8_t *>(const_cast<void *>(bitmapData->bytes())) + cropOffset +
           static_cast<std::uint64_t>(row) * rowStepInBytes;
}
std::uint16_t *ImageBuffer::bufferU16ForRow(int row) const {
    return isFloat_ ? nullptr : reinterpret_cast<std::uint16_t *>(rowBytes(row));
}
std::uint16_t *ImageBuffer::bufferU16ForRow(int row, int col) const {
    auto *p = bufferU16ForRow(row);
    return p ? p + 4 * static_cast<std::ptrdiff_t>(col) : nullptr;
}
float *ImageBuffer::bufferFloatForRow(int row) const {
    return isFloat_ ? reinterpret_cast<float *>(rowBytes(row)) : nullptr;
}
float *ImageBuffer::bufferFloatForRow(int row, int col) const {
    auto *p = bufferFloatForRow(row);
    return p ? p + 4 * static_cast<std::ptrdiff_t>(col) : nullptr;
}

std::shared_ptr<ImageBufferU16> ImageBufferU16::create(int width, int height,
                                                       std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
                                                       std::shared_ptr<ColorSyncProfileWrap> profile) {
    return makeBuffer(std::shared_ptr<ImageBufferU16>(new ImageBufferU16), width, height, 8,
                      std::move(usingBuffer), std::move(profile));
}

std::shared_ptr<ImageBufferF32> ImageBufferF32::create(int width, int height,
                                                       std::shared_ptr<FileBackedFactoryNSData> usingBuffer,
                                                       std::shared_ptr<ColorSyncProfileWrap> profile) {
    return makeBuffer(std::shared_ptr<ImageBufferF32>(new ImageBufferF32), width, height, 16,
                      std::move(usingBuffer), std::move(profile));
}

std::shared_ptr<ImageBuffer> ImageBufferU16::makeEmpty() const {
    return std::shared_ptr<ImageBufferU16>(new ImageBufferU16);
}
std::shared_ptr<ImageBuffer> ImageBufferF32::makeEmpty() const {
    return std::shared_ptr<ImageBufferF32>(new ImageBufferF32);
}

std::shared_ptr<ImageBufferU16> ImageBufferU16::initWithCopyFrom(const ImageBuffer &src) {
    auto b = create(src.imageWidth, src.imageHeight, nullptr, src.bufferProfile);
    if (!b || !src.rowBytes(0)) return b;
    for (int y = 0; y < src.imageHeight; ++y) {
        std::uint16_t *out = b->bufferU16ForRow(y);
        if (!src.isFloat()) {
            std::memcpy(out, src.bufferU16ForRow(y), static_cast<std::size_t>(src.imageWidth) * 8);
        } else {
            const float *in = src.bufferFloatForRow(y);
            for (int i = 0; i < src.imageWidth * 4; ++i)
                out[i] = floatToU16(in[i]);
        }
    }
    return b;
}

std::shared_ptr<ImageBufferF32> ImageBufferF32::initWithCopyFrom(const ImageBuffer &src) {
    auto b = create(src.imageWidth, src.imageHeight, nullptr, src.bufferProfile);
    if (!b || !src.rowBytes(0)) return b;
    for (int y = 0; y < src.imageHeight; ++y) {
        float *out = b->bufferFloatForRow(y);
        if (src.isFloat()) {
            std::memcpy(out, src.bufferFloatForRow(y), static_cast<std::size_t>(src.imageWidth) * 16);
        } else {
            const std::uint16_t *in = src.bufferU16ForRow(y);
            for (int i = 0; i < src.imageWidth * 4; ++i)
                out[i] = in[i] * kU16ToFloat;
        }
    }
    return b;
}

bool ImageBuffer::copyPixelsFrom(const ImageBuffer &other) {
    if (other.imageWidth != imageWidth || other.imageHeight != imageHeight || other.isFloat() != isFloat() ||
        !rowBytes(0) || !other.rowBytes(0))
        return false;
    const std::size_t bytes = static_cast<std::size_t>(imageWidth) * bytesPerPixel();
    constexpr int kRows = 128;
    dispatch::apply(static_cast<std::size_t>((imageHeight + kRows - 1) / kRows), [&](std::size_t band) {
        const int first = static_cast<int>(band) * kRows, last = std::min<int>(first + kRows, imageHeight);
        for (int y = first; y < last; ++y)
            std::memcpy(rowBytes(y), other.rowBytes(y), bytes);
    });
    validRegion = other.validRegion;
    bufferProfile = other.bufferProfile;
    return true;
}

std::shared_ptr<ImageBuffer> ImageBuffer::resizedImageFromBuffer(int width, int height) const {
    if (width == imageWidth && height == imageHeight) {
        auto copy = copyOfKind(*this);
        if (copy) copy->validRegion = validRegion;
        return copy;
    }
    if (width <= 0 || height <= 0 || imageWidth == 0 || imageHeight == 0) return nullptr;
    std::shared_ptr<ImageBuffer> out;
    if (isFloat_)
        out = ImageBufferF32::create(width, height, nullptr, bufferProfile);
    else
        out = ImageBufferU16::create(width, height, nullptr, bufferProfile);
    if (!out) return nullptr;
    out->validRegion = validRegion;
    // Two separable passes: along rows into a float image of the new width,
    // then along columns; rows in parallel.
    const auto across = contributions(imageWidth, width), down = contributions(imageHeight, height);
    std::vector<float> mid(static_cast<std::size_t>(width) * imageHeight * 4);
    const int srcH = imageHeight;
    dispatch::apply(static_cast<std::size_t>(srcH), [&](std::size_t y) {
        // The source row as floats once, then plain weighted sums.
        std::vector<float> row(static_cast<std::size_t>(imageWidth) * 4);
        if (isFloat_) {
            std::memcpy(row.data(), bufferFloatForRow(static_cast<int>(y)), row.size() * sizeof(float));
        } else {
            const std::uint16_t *in = bufferU16ForRow(static_cast<int>(y));
            for (std::size_t i = 0; i < row.size(); ++i)
                row[i] = in[i];
        }
        float *o = mid.data() + y * width * 4;
        for (int x = 0; x < width; ++x) {
            const Contribution &c = across[x];
            const float *in = row.data() + static_cast<std::size_t>(c.first) * 4;
            float acc[4] = {0, 0, 0, 0};
            for (std::size_t k = 0; k < c.w.size(); ++k)
                for (int ch = 0; ch < 4; ++ch)
                    acc[ch] += c.w[k] * in[4 * k + ch];
            for (int ch = 0; ch < 4; ++ch)
                o[4 * x + ch] = acc[ch];
        }
    });
    const bool toFloat = isFloat_;
    dispatch::apply(static_cast<std::size_t>(height), [&](std::size_t y) {
        // Whole rows at a time: each tap adds one contiguous row of mid.
        const Contribution &c = down[y];
        std::vector<float> acc(static_cast<std::size_t>(width) * 4, 0.0f);
        for (std::size_t k = 0; k < c.w.size(); ++k) {
            const float wk = c.w[k];
            const float *m = mid.data() + (c.first + k) * static_cast<std::size_t>(width) * 4;
            for (std::size_t i = 0; i < acc.size(); ++i)
                acc[i] += wk * m[i];
        }
        if (toFloat) {
            std::memcpy(out->bufferFloatForRow(static_cast<int>(y)), acc.data(), acc.size() * sizeof(float));
        } else {
            std::uint16_t *p = out->bufferU16ForRow(static_cast<int>(y));
            for (std::size_t i = 0; i < acc.size(); ++i)
                p[i] = static_cast<std::uint16_t>(std::clamp(std::lround(acc[i]), 0L, 65535L));
        }
    });
    return out;
}

std::shared_ptr<ImageBuffer> ImageBuffer::croppedImageFromBuffer(const Rect &request) const {
    Rect r = request.intersection(extent());
    if (r.isNull()) return nullptr;
    double x = r.origin.x, y = r.origin.y, w = r.size.width, h = r.size.height;
    if (!isFloat_) {
        if (w <= 1 && x > 1) w = 1, x -= 1;
        if (h <= 1 && y > 1) h = 1, y -= 1;
    }
    auto view = makeEmpty();
    view->imageWidth = static_cast<std::uint16_t>(static_cast<std::uint64_t>(w) % 65536);
    view->imageHeight = static_cast<std::uint16_t>(static_cast<std::uint64_t>(h) % 65536);
    view->bitmapData = bitmapData;
    view->bufferProfile = bufferProfile;
    view->rowStepInBytes = rowStepInBytes;
    view->cropOffset = static_cast<std::uint64_t>(static_cast<double>(cropOffset) + x * bytesPerPixel() +
                                                  y * static_cast<double>(rowStepInBytes));
    view->validRegion = validRegion;
    return view;
}

bool ImageBuffer::sampleValues(int x, int y, int patchSize, double *red, double *green, double *blue,
                               double *alpha) const {
    if (!bitmapData || !bitmapData->bytes() || imageWidth == 0 || imageHeight == 0) return false;
    const int h = patchSize / 2;
    const int r0 = std::max(y - h, 0), r1 = y + h < imageHeight ? y + h : imageHeight - 1;
    const int c0 = std::max(x - h, 0), c1 = x + h < imageWidth ? x + h : imageWidth - 1;
    double sum[4] = {0, 0, 0, 0};
    long n = 0;
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c, ++n)
            for (int ch = 0; ch < 4; ++ch)
                sum[ch] += isFloat_ ? bufferFloatForRow(r, c)[ch] : bufferU16ForRow(r, c)[ch] / 65535.0;
    if (n == 0) return false;
    *red = sum[0] / n;
    *green = sum[1] / n;
    *blue = sum[2] / n;
    *alpha = sum[3] / n;
    return true;
}

bool ImageBuffer::testReadOnlyAndAddtoEngineList(const void *engine) {
    std::lock_guard lock(monitor_);
    if (engine == bufferOwner) return false;
    auto slot = std::find_if(engineList.begin(), engineList.end(),
                             [&](const void *e) { return e == nullptr || e == engine; });
    if (slot != engineList.end() && *slot == engine) return false;
    if (slot == engineList.end() || bufferOwner) return true;
    *slot = engine;
    return false;
}

std::shared_ptr<const BitmapImage> ImageBuffer::createCGImage() const {
    std::lock_guard lock(monitor_);
    if (!bitmapData || !bitmapData->bytes() || imageWidth == 0 || imageHeight == 0) return nullptr;
    auto img = std::make_shared<BitmapImage>();
    img->width = imageWidth;
    img->height = imageHeight;
    img->bitsPerComponent = isFloat_ ? 32 : 16;
    img->bitsPerPixel = isFloat_ ? 128 : 64;
    img->bytesPerRow = rowStepInBytes;
    img->bitmapInfo = BitmapImage::kAlphaPremultipliedLast |
                      (isFloat_ ? BitmapImage::kFloatComponents | BitmapImage::kByteOrder32Little
                                : BitmapImage::kByteOrder16Little);
    img->data = rowBytes(0);
    img->owner = bitmapData; // keeps the backing block alive, not the buffer
    return img;
}

std::unique_ptr<CGImageBitMap> ImageBuffer::getCGImageBitMapForOrientation(int orientation) const {
    auto image = createCGImage();
    if (!image) return nullptr;
    if (orientation <= 1) return CGImageBitMap::initWithCGImageRef(image);
    if (orientation == 2 || orientation == 4 || orientation == 5 || orientation == 7 || orientation > 8)
        logMessage("Invalid image rotate %i in %s", orientation,
                   "-[ImageBuffer getCGImageBitMapForOrientation:]");
    if (orientation > 8) return CGImageBitMap::initWithCGImageRef(image);
    // Each EXIF orientation rendered upright: out(x, y) = in(sx, sy).
    const int w = image->width, h = image->height, bpp = bytesPerPixel();
    const bool swap = orientation >= 5;
    const int ow = swap ? h : w, oh = swap ? w : h;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(ow) * oh * bpp);
    for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
            int sx, sy;
            switch (orientation) {
            case 2:
                sx = w - 1 - x, sy = y;
                break;
            case 3:
                sx = w - 1 - x, sy = h - 1 - y;
                break;
            case 4:
                sx = x, sy = h - 1 - y;
                break;
            case 5:
                sx = y, sy = x;
                break;
            case 6:
                sx = y, sy = h - 1 - x;
                break;
            case 7:
                sx = w - 1 - y, sy = h - 1 - x;
                break;
            default:
                sx = w - 1 - y, sy = x;
                break; // 8
            }
            std::memcpy(pixels->data() + (static_cast<std::size_t>(y) * ow + x) * bpp,
                        image->data + static_cast<std::size_t>(sy) * image->bytesPerRow +
                            static_cast<std::size_t>(sx) * bpp,
                        bpp);
        }
    auto turned = std::make_shared<BitmapImage>(*image);
    turned->width = ow;
    turned->height = oh;
    turned->bytesPerRow = static_cast<std::size_t>(ow) * bpp;
    turned->data = pixels->data();
    turned->owner = pixels;
    return CGImageBitMap::initWithCGImageRef(turned);
}

} // namespace orvanta
