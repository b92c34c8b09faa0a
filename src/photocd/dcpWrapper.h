#pragma once
// The image wrapper for Photo CD files: one decoder per file, the resolution
// from the user defaults (thumbnails always Base/16), the automatic scanner
// profile from the image's own description of medium, film and scanner, the
// metadata dictionary, and the pixels either as a small RGBA picture for the
// browser or as a 16-bit image converted to the engine's working space.

#include "input/CGImageBitMap.h"
#include "input/ImageWrapper.h"
#include "photocd/PcdDecode.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace orvanta {

class ImageBufferU16;

// A picture for the browser: 16-bit RGBA pixels and the colour space they
// are in.
struct PhotoCDPicture {
    std::shared_ptr<const BitmapImage> bitmap;
    std::shared_ptr<ColorSyncProfileWrap> colorSpace;
};

class dcpWrapper : public ImageWrapper {
public:
    enum IpeStatus : unsigned { kIpeNotRequested = 0, kIpeMissing = 1, kIpeUnreadable = 2, kIpeReadable = 3 };

    dcpWrapper(std::string path, std::string fileUUID, bool thumbNail);
    ~dcpWrapper() override;

    // Creates and parses the decoder on the first call; later calls return
    // the first result.
    bool preProcess();
    // Decodes into theImage (and converts a full-size image).
    void genImages();
    // The thumbnail picture; null when the file cannot be parsed.
    std::optional<PhotoCDPicture> getImageRep(std::shared_ptr<ColorSyncProfileWrap> profile = nullptr);
    std::optional<PhotoCDPicture> genCIImage(std::shared_ptr<ColorSyncProfileWrap> profile = nullptr);

    const std::uint16_t *masterImageBytes() override;
    std::optional<Dictionary> getParameters() override;
    std::shared_ptr<ColorSyncProfileWrap> detectScannerProfile() override;
    void setScannerProfile(std::shared_ptr<ColorSyncProfileWrap> p) override;
    std::shared_ptr<ColorSyncProfileWrap> bufferProfile() override;

    std::optional<std::string> getErrorString();
    std::string getEXIFDateTime();
    std::string metaDataValue(int item);
    std::string metaDataName(int item);
    Dictionary metaDataDictionary();
    unsigned ipeStatus() const { return ipeStatus_; }
    // The level the decoder delivers, or −1 before a successful parse.
    int resolution() const;
    // The IPE information file that belongs to an image path.
    static std::string ipeInfoPath(const std::string &imagePath);

private:
    bool preProcessLocked();
    void genImagesLocked();

    std::recursive_mutex m_;
    std::unique_ptr<pcdDecode> decoder;
    unsigned ipeStatus_ = kIpeNotRequested;
    std::shared_ptr<ImageBufferU16> theImage;
    int imageColorMode_ = -1; // the colour mode theImage was made in
    bool havePostProcessed = false, triedParse_ = false;
    PixelBlock master_; // packed RGB hand-over copy of theImage
};

} // namespace orvanta
