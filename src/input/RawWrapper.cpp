#include "RawWrapper.h"

#include "DCRaw.h"
#include "color/ColorHelper.h"
#include "color/DNGCameraProfile.h"
#include "color/ProfileManager.h"
#include "platform/Dispatch.h"
#include "platform/ImagePropertyKeys.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <cctype>

namespace orvanta {

rawWrapper::rawWrapper(std::string path, std::string fileUUID, bool thumbNail)
    : ImageWrapper(std::move(path), std::move(fileUUID), thumbNail) {}

void rawWrapper::invalidate() {
    masterImage_.reset();
    alternateImage_.reset();
}

void rawWrapper::setCameraProfile(std::shared_ptr<DNGCameraProfileAbstract> p) {
    std::lock_guard lock(m_);
    const bool same = p == cameraProfile_ || (p && cameraProfile_ && p->isEqual(*cameraProfile_));
    if (same) return;
    cameraProfile_ = std::move(p);
    invalidate();
}

void rawWrapper::setProcessAsMonchromeSensor(bool v) {
    std::lock_guard lock(m_);
    if (v == processAsMonchromeSensor_) return;
    processAsMonchromeSensor_ = v;
    invalidate();
}

void rawWrapper::setMaintainHighlights(bool v) {
    std::lock_guard lock(m_);
    if (v == maintainHighlights_) return;
    maintainHighlights_ = v;
    invalidate();
}

const std::uint16_t *rawWrapper::masterImageBytes() {
    genImages();
    std::lock_guard lock(m_);
    return masterImage_.empty() ? nullptr : masterImage_.data();
}

const std::uint16_t *rawWrapper::alternateImageBytes() {
    genImages();
    std::lock_guard lock(m_);
    return alternateImage_.empty() ? nullptr : alternateImage_.data();
}

void rawWrapper::genImages() {
    std::lock_guard lock(m_);
    if (masterImage_.empty() && !createBitMap(0)) return;
    if (alternateImage_.empty() && !processAsMonchromeSensor_ && !isOutputReferred_) createBitMap(1);
}

bool rawWrapper::createBitMap(int algorithm) {
    std::lock_guard decodeLock(DCRaw::lock());
    bool ok = false;
    try {
        DCRaw dc;
        dc.doGreenChannelMatch = UserDefaults::standard().object("enableNewPV").has_value()
                                     ? UserDefaults::standard().boolForKey("enableNewPV")
                                     : true;
        dc.outputColorSpace = 4;
        dc.cameraProfile = cameraProfile_;
        dc.algoSelect = algorithm;
        dc.conversionMode = 0;
        dc.recoverHighlights = maintainHighlights_;
        dc.handOverRGB = true; // packed during the hand-over
        PixelBlock rgba;
        int w = 0, h = 0;
        std::size_t size = 0;
        if (dc.loadFile(fileSource_, &size)) {
            std::string datName = fileSource_;
            if (auto dot = datName.find_last_of('.'); dot != std::string::npos) datName.resize(dot);
            ok = dc.processFileAndCreateBuffer(datName + ".DAT", &rgba, 0, &w, &h);
        }
        dcStatus_ = dc.dcStatus;
        dcMake_ = dc.dcMake;
        dcModel_ = dc.dcModel;
        std::string make = dc.dcMake;
        std::transform(make.begin(), make.end(), make.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (make == "kodak" && dc.dcWhitex < 1e-5f) {
            // No as-shot white: D65 and the sRGB matrix.
            ColorHelper::D65_xy_coord(&dcWhitex_, &dcWhitey_);
            ColorHelper::XYZFromsRGB_D65(cameraFromXYZ_);
        } else {
            dcWhitex_ = dc.dcWhitex;
            dcWhitey_ = dc.dcWhitey;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    cameraFromXYZ_[i][j] = dc.cameraFromXYZ[i][j];
        }
        cameraBaselineExposure_ = dc.cameraBaselineExposure;
        highlightExposureAdjust_ = dc.highlightExposureAdjust;
        isOutputReferred_ = dc.isOutputReferred;
        metaData_ = dc.metaData;
        if (ok) {
            imageWidth_ = static_cast<std::uint16_t>(w);
            imageHeight_ = static_cast<std::uint16_t>(h);
            (algorithm == 0 ? masterImage_ : alternateImage_) = std::move(rgba);
            error_.reset();
        } else {
            imageWidth_ = imageHeight_ = 0;
            error_ = Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, dcStatus_);
        }
        if (!metaData_.contains(imageprops::kPixelHeight) || !metaData_.contains(imageprops::kPixelWidth)) {
            metaData_.set(imageprops::kPixelHeight, static_cast<std::int64_t>(imageHeight_));
            metaData_.set(imageprops::kPixelWidth, static_cast<std::int64_t>(imageWidth_));
        }
    } catch (...) {
        error_ = Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, "Raw format not recognized.");
        ok = false;
    }
    return ok;
}

PixelBlock rawWrapper::createRGBBufferFromRGBA(const PixelBlock &rgba, std::size_t numPixels) {
    if (rgba.size() < numPixels * 4) {
        logMessage("ERROR in %s RGBA buffer is NULL", "-[rawWrapper createRGBBufferFromRGBA:numpixels:]");
        return {};
    }
    PixelBlock rgb(numPixels * 3);
    if (rgb.empty() && numPixels > 0) {
        logMessage("ERROR in %s could not malloc buffer of %i pixels",
                   "-[rawWrapper createRGBBufferFromRGBA:numpixels:]", static_cast<int>(numPixels));
        return {};
    }
    // One task per processor on the shared queue (the input layer sits below
    // the engine, so it asks the pool for its width directly).
    const std::size_t n = dispatch::poolWidth();
    const std::size_t per = numPixels / n + 1;
    auto queue = dispatch::globalQueue(dispatch::Priority::Default);
    dispatch::Group group;
    for (std::size_t start = 0; start < numPixels; start += per) {
        const std::size_t end = std::min(numPixels, start + per);
        queue->async(group, [&, start, end] {
            const std::uint16_t *in = rgba.data();
            std::uint16_t *out = rgb.data();
            for (std::size_t i = start; i < end; ++i) {
                out[3 * i + 0] = in[4 * i + 0];
                out[3 * i + 1] = in[4 * i + 1];
                out[3 * i + 2] = in[4 * i + 2];
            }
        });
    }
    group.wait();
    return rgb;
}

std::optional<Dictionary> rawWrapper::getParameters() {
    std::lock_guard lock(m_);
    auto opt = [](auto v) { return std::optional<Value>(Value(v)); };
    std::vector<std::pair<const char *, std::optional<Value>>> list = {
        {"UUID", uuid_.empty() ? std::nullopt : opt(uuid_)},
        {"width", opt(static_cast<std::int64_t>(imageWidth_))},
        {"height", opt(static_cast<std::int64_t>(imageHeight_))},
        {"model", opt(dcModel_)},
        {"make", opt(dcMake_)},
        {"status", opt(dcStatus_)},
        {"asShotWhitex", opt(dcWhitex_)},
        {"asShotWhitey", opt(dcWhitey_)},
    };
    static const char *keys[3][3] = {{"cameraFromXYZ00", "cameraFromXYZ01", "cameraFromXYZ02"},
                                     {"cameraFromXYZ10", "cameraFromXYZ11", "cameraFromXYZ12"},
                                     {"cameraFromXYZ20", "cameraFromXYZ21", "cameraFromXYZ22"}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            list.emplace_back(keys[i][j], opt(cameraFromXYZ_[i][j]));
    list.emplace_back("cameraBaselineExposure", opt(cameraBaselineExposure_));
    list.emplace_back("isOutputReferred", opt(isOutputReferred_));
    list.emplace_back("cameraMetadata", metaData_.empty() ? std::nullopt : opt(metaData_));
    return parametersFrom(list);
}

std::shared_ptr<ColorSyncProfileWrap> rawWrapper::bufferProfile() {
    return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile();
}

} // namespace orvanta
