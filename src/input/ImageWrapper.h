#pragma once
// The one interface through which the rest of the system obtains a decoded
// image: its pixel blocks (linear 16-bit RGB triples, rows packed, in the
// colour space of bufferProfile), its size, the camera parameters colour
// processing needs, its metadata and any decoding error.

#include "platform/Error.h"
#include "platform/LargeAlloc.h"
#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

class ColorSyncProfileWrap;
class DNGCameraProfileAbstract;

enum RawOpenErrorCode : int {
    kRawOpenDecodeFailed = -5, // the reason is the decoder's status text
    kRawOpenInvalidCall = -15, // invalid call, or a Photo CD parse failure
};

// A block of 16-bit samples left uninitialised: image buffers are written
// whole right after they are allocated, so zeroing hundreds of megabytes
// first would be wasted work.
class PixelBlock {
public:
    PixelBlock() = default;
    explicit PixelBlock(std::size_t count)
        : p_(static_cast<std::uint16_t *>(allocateLarge(count * sizeof(std::uint16_t)))), n_(p_ ? count : 0) {
    }
    PixelBlock(PixelBlock &&o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr, o.n_ = 0; }
    PixelBlock &operator=(PixelBlock &&o) noexcept {
        if (this != &o) {
            reset();
            p_ = o.p_, n_ = o.n_;
            o.p_ = nullptr, o.n_ = 0;
        }
        return *this;
    }
    PixelBlock(const PixelBlock &) = delete;
    PixelBlock &operator=(const PixelBlock &) = delete;
    ~PixelBlock() { reset(); }
    std::uint16_t *data() { return p_; }
    const std::uint16_t *data() const { return p_; }
    std::size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    void reset() {
        freeLarge(p_, n_ * sizeof(std::uint16_t));
        p_ = nullptr;
        n_ = 0;
    }

private:
    std::uint16_t *p_ = nullptr;
    std::size_t n_ = 0;
};

class ImageWrapper {
public:
    ImageWrapper(std::string path, std::string fileUUID, bool thumbNail);
    virtual ~ImageWrapper();

    // Pixel blocks: imageWidth × imageHeight × 3 samples, or null.
    virtual const std::uint16_t *masterImageBytes() { return nullptr; }
    virtual const std::uint16_t *alternateImageBytes() { return nullptr; }
    virtual std::shared_ptr<ColorSyncProfileWrap> detectScannerProfile() { return nullptr; }
    virtual std::optional<Dictionary> getParameters() { return std::nullopt; }
    virtual std::shared_ptr<ColorSyncProfileWrap> bufferProfile() { return nullptr; }

    std::shared_ptr<ColorSyncProfileWrap> scannerProfile() const { return scannerProfile_; }
    virtual void setScannerProfile(std::shared_ptr<ColorSyncProfileWrap> p) {
        scannerProfile_ = std::move(p);
    }
    std::shared_ptr<DNGCameraProfileAbstract> cameraProfile() const { return cameraProfile_; }
    virtual void setCameraProfile(std::shared_ptr<DNGCameraProfileAbstract> p) {
        cameraProfile_ = std::move(p);
    }
    bool processAsMonchromeSensor() const { return processAsMonchromeSensor_; }
    virtual void setProcessAsMonchromeSensor(bool v) { processAsMonchromeSensor_ = v; }
    bool maintainHighlights() const { return maintainHighlights_; }
    virtual void setMaintainHighlights(bool v) { maintainHighlights_ = v; }

    const Dictionary &metaData() const { return metaData_; }
    void setMetaData(Dictionary d) { metaData_ = std::move(d); }
    const std::optional<Error> &error() const { return error_; }
    void setError(std::optional<Error> e) { error_ = std::move(e); }
    bool isOutputReferred() const { return isOutputReferred_; }
    void setIsOutputReferred(bool v) { isOutputReferred_ = v; }
    float cameraBaselineExposure() const { return cameraBaselineExposure_; }
    void setCameraBaselineExposure(float v) { cameraBaselineExposure_ = v; }
    float highlightExposureAdjust() const { return highlightExposureAdjust_; }
    void setHighlightExposureAdjust(float v) { highlightExposureAdjust_ = v; }
    const std::string &uuid() const { return uuid_; }
    void setUuid(std::string v) { uuid_ = std::move(v); }

    std::uint16_t imageWidth() const { return imageWidth_; }
    std::uint16_t imageHeight() const { return imageHeight_; }
    bool parseOK() const { return parseOK_; }
    const std::string &fileSource() const { return fileSource_; }
    bool wantThumbNail() const { return wantThumbNail_; }

    // The sRGB-to-XYZ (D65) matrix and white used where a wrapper has no
    // camera matrix of its own.
    static void sRGBCameraMatrix(float m[3][3], float *whitex, float *whitey);

    ImageWrapper(const ImageWrapper &) = delete;
    ImageWrapper &operator=(const ImageWrapper &) = delete;

protected:
    // The camera-parameters dictionary from an ordered list of key–value
    // pairs that ends at the first missing value.
    static Dictionary parametersFrom(const std::vector<std::pair<const char *, std::optional<Value>>> &list);

    std::uint16_t imageWidth_ = 0, imageHeight_ = 0;
    float cameraBaselineExposure_ = 0, highlightExposureAdjust_ = 0;
    Dictionary metaData_;
    std::optional<Error> error_;
    std::shared_ptr<DNGCameraProfileAbstract> cameraProfile_;
    std::shared_ptr<ColorSyncProfileWrap> scannerProfile_;
    bool processAsMonchromeSensor_ = false, isOutputReferred_ = false;
    std::string uuid_;
    bool maintainHighlights_ = false, parseOK_ = false;
    std::string fileSource_;
    bool wantThumbNail_ = false;
};

} // namespace orvanta
