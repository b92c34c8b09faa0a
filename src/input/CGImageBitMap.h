#pragma once
// Raw access to the pixels of an immutable bitmap image whatever its layout,
// and conversion into the two layouts the writers need: packed 16-bit RGB
// and 32-bit float RGBA.

#include "platform/Geometry.h"

#include <cstdint>
#include <memory>

namespace orvanta {

// An immutable bitmap: the stand-in for the platform's image type. The
// pixels are shared, not copied: owner keeps the memory alive.
struct BitmapImage {
    // Bitmap information: alpha kind in the low 5 bits, float flag, byte order.
    enum : std::uint32_t {
        kAlphaMask = 0x1F,
        kFloatComponents = 1u << 8,
        kByteOrderMask = 7u << 12,
        kByteOrderDefault = 0,
        kByteOrder16Little = 1u << 12,
        kByteOrder32Little = 2u << 12,
        kByteOrder16Big = 3u << 12,
        kByteOrder32Big = 4u << 12,
    };
    enum AlphaKind : std::uint32_t {
        kAlphaNone = 0,
        kAlphaPremultipliedLast,
        kAlphaPremultipliedFirst,
        kAlphaLast,
        kAlphaFirst,
        kAlphaNoneSkipLast,
        kAlphaNoneSkipFirst
    };

    int width = 0, height = 0;
    int bitsPerComponent = 8, bitsPerPixel = 32;
    std::size_t bytesPerRow = 0;
    std::uint32_t bitmapInfo = 0;
    const std::uint8_t *data = nullptr; // first byte of the first row
    std::shared_ptr<const void> owner;  // keeps data alive
};

class CGImageBitMap {
public:
    // Null for no image.
    static std::unique_ptr<CGImageBitMap> initWithCGImageRef(std::shared_ptr<const BitmapImage> image);

    std::shared_ptr<const BitmapImage> getImageRef() const { return myImage; }
    int getWidth() const { return myImage ? myImage->width : 0; }
    int getHeight() const { return myImage ? myImage->height : 0; }
    Rect extent() const { return myImage ? Rect(0, 0, getWidth(), getHeight()) : Rect(); }

    // Destination: width × height × 3 samples, rows packed.
    bool getLinearBuffer(std::uint16_t *dst);
    // Destination: width × height × 4 floats, rows packed.
    bool getFloatRBGABuffer(float *dst);
    // Red, green, blue, alpha of one pixel; outside: (0, 0, 0, 1) and false.
    bool getPixelValues(int col, int row, double values[4]);

private:
    CGImageBitMap() = default;
    bool getDataProvider(const char *caller);
    double sample(const std::uint8_t *pixel, int component) const;
    void readPixel(int col, int row, double rgba[4]) const;

    std::shared_ptr<const BitmapImage> myImage;
    std::uint32_t bitMap = 0;
    int bitsPerComponent = 0;
    std::size_t bytesPerRow = 0;
    enum class ByteOrder { Little32, Big16, Big32, Little16 } byteOrder = ByteOrder::Big32;
    int rIndex = 0, alphaIndex = 3;
    int bufferInc = 4;
    bool premultipliedAlpha = false, hasAlpha = false;
    bool prepared_ = false, usable_ = false;
};

} // namespace orvanta
