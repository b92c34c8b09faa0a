#pragma once
// Decoder of Photo CD image packs (".pcd") and their 64Base extension
// (IPE) files. Self-contained: no platform or library dependency.
//
// Levels: 0 Base/16 (192 × 128), 1 Base/4, 2 Base (plain 8-bit PhotoYCC
// planes), 3 4Base, 4 16Base (Huffman-coded residuals in the pack), 5 64Base
// (residuals in the IPE files). parseFile reads the header, the plain image
// and the residual planes up to the requested level; postProcess rebuilds the
// higher levels (2× up-sampling plus residuals); readImage converts to RGB
// samples in the image's orientation.
//
// Every length, offset, row number, stripe and code read from a file is
// checked before it is used: a damaged file ends with an error text or a
// partial image, never with a read or write outside a buffer.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace orvanta {

class pcdDecode {
public:
    static constexpr int kLevels = 6;
    static constexpr int kMetadataItems = 20;
    static constexpr int kHeaderSize = 6144;
    static constexpr int kSectorSize = 2048;

    static int lumaWidth(int level) { return 192 << level; }
    static int lumaHeight(int level) { return 128 << level; }

    pcdDecode();
    virtual ~pcdDecode();
    pcdDecode(const pcdDecode &) = delete;
    pcdDecode &operator=(const pcdDecode &) = delete;

    // Reads the file up to `level` (0–5); ipePath is the 64Base information
    // file (may be empty). False with an error text when nothing can be
    // delivered; a later level that fails leaves the text set but still
    // succeeds with what was read.
    virtual bool parseFile(const char *path, const char *ipePath, int level);
    // Builds the delivered level from the base planes and the residuals.
    virtual void postProcess();
    virtual int getWidth() const;
    virtual int getHeight() const;
    virtual bool isLumaOnly() const { return lumaOnly_; }
    virtual void setLumaOnly(bool on) { lumaOnly_ = lumaOnly_ || on; }
    virtual int getOrientation() const { return orientation_; }
    virtual std::uint32_t getScanTime() const;
    virtual void setInterpolation(int mode) { interpolation_ = mode; }
    virtual void setColorMode(int mode) { colorMode_ = mode < 0 ? 0 : mode > 3 ? 3 : mode; }
    virtual int getColorMode() const { return colorMode_; }
    virtual void setColorMatrix(int on) { colorMatrix_ = on; }
    virtual const std::string &getErrorString() const { return error_; }
    // Pixel conversion into caller-owned arrays (alpha may be null); `step`
    // is the distance between pixels in samples. False with "Memory Error!"
    // when a work plane cannot be allocated; without a header nothing is
    // written and the result is false.
    virtual bool readImage(float *r, float *g, float *b, float *a, int step);
    virtual bool readImage(std::uint16_t *r, std::uint16_t *g, std::uint16_t *b, std::uint16_t *a, int step);
    virtual bool readImage(std::uint8_t *r, std::uint8_t *g, std::uint8_t *b, std::uint8_t *a, int step);
    // Name and value of metadata item 0–19; "Error" for both otherwise.
    virtual bool getMetadataItem(int index, std::string &name, std::string &value) const;
    virtual bool read64Base(const char *ipePath);

    // The level that will be delivered, and the level of the plain image read.
    int resolution() const { return resolution_; }
    int baseLevelRead() const { return baseLevel_; }
    int highestResolution() const { return highest_; }
    int compressionClass() const { return compression_; }
    int ipeLayers() const { return ipeLayers_; }
    int ipeFileCount() const { return ipeFiles_; }

    // The film name for a film term code, or "Unknown film".
    static const char *filmName(int code);

    struct Plane {
        std::unique_ptr<std::uint8_t[]> data;
        int w = 0, h = 0;
        bool allocate(int width, int height, bool zero);
        void reset() { data.reset(), w = 0, h = 0; }
        std::uint8_t *row(int y) const { return data.get() + std::size_t(y) * w; }
        explicit operator bool() const { return data != nullptr; }
    };

private:
    struct Huffman;
    class BitReader;
    struct DecodeFailure {
        std::string text;
    };

    template <typename T> bool writePixels(T *r, T *g, T *b, T *a, int step);
    void freeAll();
    bool readHeader(std::FILE *f);
    bool readPlain(std::FILE *f, int level);
    void readResiduals(std::FILE *f, int level);
    void decodeRows(BitReader &in, int level, const Huffman *tables, int budget, int stripeWidth,
                    int columnOffset);
    bool ipeAlloc();

    std::unique_ptr<std::uint8_t[]> header_;
    bool haveIPI_ = false;
    Plane luma_, c1_, c2_;
    int lumaLevel_ = -1;   // level of the current planes
    Plane residual_[3][3]; // [level − 3][0 luma, 1 C1, 2 C2]
    int interpolation_ = 2, colorMode_ = 0, colorMatrix_ = 0;
    bool lumaOnly_ = false;
    int orientation_ = 0, highest_ = 2, compression_ = 0, baseLevel_ = -1, resolution_ = -1;
    int ipeLayers_ = 0, ipeFiles_ = 0;
    std::string error_;
};

} // namespace orvanta
