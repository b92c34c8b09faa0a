#pragma once
// The image wrapper for camera raw and DNG files: decodes the file twice,
// the master with AHD and the alternate with LMMSE (skipped for monochrome
// and output-referred images), into linear 16-bit ProPhoto (D65) RGB.

#include "ImageWrapper.h"

#include <mutex>
#include <vector>

namespace orvanta {

class rawWrapper : public ImageWrapper {
public:
    rawWrapper(std::string path, std::string fileUUID, bool thumbNail = false);

    const std::uint16_t *masterImageBytes() override;
    const std::uint16_t *alternateImageBytes() override;
    std::optional<Dictionary> getParameters() override;
    std::shared_ptr<ColorSyncProfileWrap> bufferProfile() override;

    // These discard both images when the value changes.
    void setCameraProfile(std::shared_ptr<DNGCameraProfileAbstract> p) override;
    void setProcessAsMonchromeSensor(bool v) override;
    void setMaintainHighlights(bool v) override;

    // Decodes what is missing.
    void genImages();

    const std::string &dcStatus() const { return dcStatus_; }
    const std::string &dcMake() const { return dcMake_; }
    const std::string &dcModel() const { return dcModel_; }
    float dcWhitex() const { return dcWhitex_; }
    float dcWhitey() const { return dcWhitey_; }
    float cameraFromXYZ(int i, int j) const { return cameraFromXYZ_[i][j]; }

    // Packs four-sample pixels into three-sample ones on the shared queue.
    static PixelBlock createRGBBufferFromRGBA(const PixelBlock &rgba, std::size_t numPixels);

private:
    bool createBitMap(int algorithm);
    void invalidate();

    std::recursive_mutex m_;
    PixelBlock masterImage_, alternateImage_;
    std::string dcModel_, dcMake_, dcStatus_;
    float dcWhitex_ = 0, dcWhitey_ = 0;
    float cameraFromXYZ_[3][3] = {};
};

} // namespace orvanta
