#pragma once
// Image buffers: a rectangle of four-channel pixels (red, green, blue,
// alpha) in one backing block, 16-bit unsigned or 32-bit float per channel.
// Crop views share the backing block. 16-bit and float samples convert with
// the engine's one factor, 65325 (float 1.0 is the integer 65325).
//
// Pixel memory is not locked per access: engines write disjoint tiles from
// many threads. bufferLock() is held around a whole engine run and tried by
// tile readers.

#include "input/CGImageBitMap.h"
#include "input/FileBackedData.h"
#include "platform/Geometry.h"
#include "platform/Value.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

namespace orvanta {

class ColorSyncProfileWrap;

inline constexpr float kU16ToFloat = 0.000015308075f; // 1 / 65325
inline constexpr float kFloatToU16 = 65325.0f;

inline std::uint16_t floatToU16(float v) {
    const float s = v * kFloatToU16 + 0.5f;
    if (!(s > 0)) return 0; // also NaN
    return s >= 65535.0f ? 65535 : static_cast<std::uint16_t>(s);
}

class ImageBuffer : public Object, public std::enable_shared_from_this<ImageBuffer> {
public:
    static constexpr int kEngineSlots = 32;

    ~ImageBuffer() override;
    std::string className() const override { return isFloat() ? "ImageBufferF32" : "ImageBufferU16"; }

    // A buffer of the same kind, size and profile holding other's pixels
    // (converted between kinds); null on failure.
    virtual std::shared_ptr<ImageBuffer> copyOfKind(const ImageBuffer &other) const = 0;
    // Resampled to the new size (high-quality separable Lanczos-3); a copy
    // when the size is the same. Keeps the profile and valid region.
    std::shared_ptr<ImageBuffer> resizedImageFromBuffer(int width, int height) const;
    // A view of part of this buffer, sharing its memory.
    std::shared_ptr<ImageBuffer> croppedImageFromBuffer(const Rect &r) const;
    // Copies other's pixels and valid region into this buffer, rows in
    // parallel; false (nothing copied) unless size and kind are the same.
    // Refilling a buffer spares the page faults of a new one.
    bool copyPixelsFrom(const ImageBuffer &other);

    std::uint16_t *bufferU16ForRow(int row) const;
    std::uint16_t *bufferU16ForRow(int row, int col) const;
    float *bufferFloatForRow(int row) const;
    float *bufferFloatForRow(int row, int col) const;
    std::uint8_t *rowBytes(int row) const;

    Rect extent() const { return Rect(0, 0, imageWidth, imageHeight); }
    bool isFloat() const { return isFloat_; }
    int bytesPerPixel() const { return isFloat_ ? 16 : 8; }

    // Mean of each channel over a square patch (16-bit samples ÷ 65535).
    bool sampleValues(int x, int y, int patchSize, double *red, double *green, double *blue,
                      double *alpha) const;

    std::recursive_mutex &bufferLock() { return _bufferLock; }
    void lock(const void * = nullptr) { _bufferLock.lock(); }
    bool tryLock(const void * = nullptr) { return _bufferLock.try_lock(); }
    void unlock(const void * = nullptr) { _bufferLock.unlock(); }

    // Whether engine must treat this buffer as read-only; registers it as a
    // reader-in-place when it may write.
    bool testReadOnlyAndAddtoEngineList(const void *engine);

    // A bitmap over the buffer's own memory (no copy), keeping the backing
    // block alive; null without data or with a zero dimension.
    std::shared_ptr<const BitmapImage> createCGImage() const;
    // The buffer turned to an EXIF orientation (1–8); mirrored orientations
    // are rendered as such after the logged message.
    std::unique_ptr<CGImageBitMap> getCGImageBitMapForOrientation(int orientation) const;

    std::uint16_t imageWidth = 0, imageHeight = 0;
    std::uint64_t rowStepInBytes = 0;
    std::uint64_t cropOffset = 0;
    std::shared_ptr<FileBackedFactoryNSData> bitmapData;
    const void *bufferOwner = nullptr; // the engine that owns and writes it; not retained
    Rect validRegion = Rect::null();
    std::shared_ptr<ColorSyncProfileWrap> bufferProfile;
    std::array<const void *, kEngineSlots> engineList{};

protected:
    explicit ImageBuffer(bool isFloat) : isFloat_(isFloat) {}
    virtual std::shared_ptr<ImageBuffer> makeEmpty() const = 0;

private:
    const bool isFloat_;
    std::recursive_mutex _bufferLock;
    mutable std::mutex monitor_;
};

class ImageBufferU16 : public ImageBuffer {
public:
    // Over data (shared) or, without it, a new zeroed block; null on failure.
    static std::shared_ptr<ImageBufferU16>
    create(int width, int height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer = nullptr,
           std::shared_ptr<ColorSyncProfileWrap> profile = nullptr);
    static std::shared_ptr<ImageBufferU16> initWithCopyFrom(const ImageBuffer &source);
    std::shared_ptr<ImageBuffer> copyOfKind(const ImageBuffer &other) const override {
        return initWithCopyFrom(other);
    }

private:
    ImageBufferU16() : ImageBuffer(false) {}
    std::shared_ptr<ImageBuffer> makeEmpty() const override;
};

class ImageBufferF32 : public ImageBuffer {
public:
    static std::shared_ptr<ImageBufferF32>
    create(int width, int height, std::shared_ptr<FileBackedFactoryNSData> usingBuffer = nullptr,
           std::shared_ptr<ColorSyncProfileWrap> profile = nullptr);
    static std::shared_ptr<ImageBufferF32> initWithCopyFrom(const ImageBuffer &source);
    std::shared_ptr<ImageBuffer> copyOfKind(const ImageBuffer &other) const override {
        return initWithCopyFrom(other);
    }

private:
    ImageBufferF32() : ImageBuffer(true) {}
    std::shared_ptr<ImageBuffer> makeEmpty() const override;
};

} // namespace orvanta
