#pragma once
// The raw decoder driver: runs the raw decoder library's steps one by one in
// a fixed order and puts the system's own threaded steps (green matching,
// AHD and LMMSE demosaicing, colour conversion, oriented hand-over) in place
// of some of them. One decode at a time in the whole process (lock()).

#include "ImageWrapper.h"
#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta {

class DNGCameraProfileAbstract;
class exifEngine;
class LibRawDriver;

class DCRaw {
public:
    DCRaw();
    ~DCRaw();

    // The process-wide decode lock.
    static std::mutex &lock();

    // Opens and identifies the file; fills make, model, white, matrix,
    // baseline exposure, the output-referred flag and metadata. pixelSize
    // receives an estimate of the bytes the decode will need (0 on failure).
    bool loadFile(const std::string &path, std::size_t *pixelSize);
    // Decodes and hands over the oriented image: width × height pixels of
    // four samples (red, green, blue, a fourth the wrapper drops).
    bool processFileAndCreateBuffer(const std::string &fileName, PixelBlock *createdBuffer, int sharpening,
                                    int *bufferWidth, int *bufferHeight);

    // Settings.
    bool doGreenChannelMatch = false;
    int outputColorSpace = 0; // 0 means 1 (sRGB)
    std::shared_ptr<DNGCameraProfileAbstract> cameraProfile;
    int algoSelect = 0; // 0 AHD (master), otherwise LMMSE (alternate)
    int conversionMode = 0;
    bool recoverHighlights = false;
    bool useVirtualMemory = false;
    // Hand over three samples a pixel (the wrapper's format) instead of four,
    // sparing a full-size intermediate block and the packing pass.
    bool handOverRGB = false;

    // Results.
    std::string dcStatus, dcMake, dcModel;
    float dcWhitex = 0, dcWhitey = 0;
    float cameraFromXYZ[3][3] = {};
    Dictionary metaData;
    float cameraBaselineExposure = 0, highlightExposureAdjust = 0;
    bool isOutputReferred = false;
    // The library's name of the format loader ("packed_dng_load_raw()" …).
    std::string decoderName;

    DCRaw(const DCRaw &) = delete;
    DCRaw &operator=(const DCRaw &) = delete;

private:
    std::unique_ptr<LibRawDriver> lib_;
    std::unique_ptr<exifEngine> exif_;
    bool opened_ = false, isRaw_ = false;
};

// Whether a file name's extension is one of the raw extensions.
bool isRawExtension(const std::string &path);
const std::vector<std::string> &rawExtensions();

} // namespace orvanta
