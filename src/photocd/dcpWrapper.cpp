#include "dcpWrapper.h"

#include "color/ProfileManager.h"
#include "engine/ImageBuffer.h"
#include "engine/RawCombineTiledEngine.h"
#include "platform/ImagePropertyKeys.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <cstring>
#include <ctime>
#include <lcms2.h>
#include <unistd.h>

namespace orvanta {

namespace {

// The user default, or the registered default of that key when the
// application has not registered one (command line, tests).
bool boolDefault(const char *key, bool fallback) {
    const auto v = UserDefaults::standard().object(key);
    return v ? UserDefaults::standard().boolForKey(key) : fallback;
}
std::int64_t integerDefault(const char *key, std::int64_t fallback) {
    const auto v = UserDefaults::standard().object(key);
    return v ? UserDefaults::standard().integerForKey(key) : fallback;
}

std::string lastComponent(const std::string &path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

dcpWrapper::dcpWrapper(std::string path, std::string fileUUID, bool thumbNail)
    : ImageWrapper(std::move(path), std::move(fileUUID), thumbNail) {}

dcpWrapper::~dcpWrapper() = default;

std::string dcpWrapper::ipeInfoPath(const std::string &imagePath) {
    // <Photo CD>/IMAGES/IMG0001.PCD → <Photo CD>/IPE/IMG0001/64BASE/INFO.IC
    const std::string name = lastComponent(imagePath);
    const std::string folder =
        imagePath.size() > name.size() ? imagePath.substr(0, imagePath.size() - name.size() - 1) : ".";
    const auto slash = folder.find_last_of('/');
    const std::string root = slash == std::string::npos ? "." : folder.substr(0, slash);
    const auto dot = name.find_last_of('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    return root + "/IPE/" + stem + "/64BASE/INFO.IC";
}

bool dcpWrapper::preProcess() {
    std::lock_guard lock(m_);
    return preProcessLocked();
}

bool dcpWrapper::preProcessLocked() {
    if (triedParse_) return parseOK_;
    triedParse_ = true;
    decoder = std::make_unique<pcdDecode>();
    isOutputReferred_ = true;
    decoder->setInterpolation(boolDefault("UseAdvancedInterpolation", true) ? 2 : 1);
    decoder->setColorMode(2);

    const std::string info = ipeInfoPath(fileSource_);
    const std::int64_t setting = std::max<std::int64_t>(0, integerDefault("ResolutionSelect", 4));
    const int level = wantThumbNail_ ? 0 : int(std::min<std::int64_t>(setting, 5));
    ipeStatus_ = kIpeNotRequested;
    if (setting > 4 && !wantThumbNail_) {
        ipeStatus_ = kIpeMissing;
        if (::access(info.c_str(), F_OK) == 0)
            ipeStatus_ = ::access(info.c_str(), R_OK) == 0 ? kIpeReadable : kIpeUnreadable;
    }
    parseOK_ = decoder->parseFile(fileSource_.c_str(), info.c_str(), level);
    if (parseOK_) {
        imageWidth_ = std::uint16_t(decoder->getWidth());
        imageHeight_ = std::uint16_t(decoder->getHeight());
        metaData_ = metaDataDictionary();
        error_.reset();
    } else if (!decoder->getErrorString().empty()) {
        error_ = Error(kRawOpenErrorDomain, kRawOpenInvalidCall, decoder->getErrorString());
    } else {
        error_.reset();
    }
    return parseOK_;
}

int dcpWrapper::resolution() const {
    return parseOK_ && decoder ? decoder->resolution() : -1;
}

void dcpWrapper::genImages() {
    std::lock_guard lock(m_);
    genImagesLocked();
}

void dcpWrapper::genImagesLocked() {
    if (!preProcessLocked()) return;
    if (!havePostProcessed) {
        decoder->postProcess();
        havePostProcessed = true;
        // A level that could not be rebuilt leaves the one below it.
        imageWidth_ = std::uint16_t(decoder->getWidth());
        imageHeight_ = std::uint16_t(decoder->getHeight());
    }
    auto profile = scannerProfile_;
    if (!profile || profile->isAutoProfile()) profile = detectScannerProfile();
    const int mode = profile && profile->spaceType() != std::int32_t(cmsSigRgbData) ? 3 : 0;
    if (theImage && imageColorMode_ == mode) return;
    const bool reused = theImage != nullptr;
    if (!theImage) {
        theImage = ImageBufferU16::create(imageWidth_, imageHeight_, nullptr, profile);
        if (!theImage) return;
    }
    master_.reset();
    decoder->setColorMode(mode);
    imageColorMode_ = mode;
    std::uint16_t *px = theImage->bufferU16ForRow(0);
    // A new buffer comes zeroed; a reused one still holds the last decode.
    if (reused) std::memset(px, 0, std::size_t(theImage->rowStepInBytes) * theImage->imageHeight);
    // Rows of the buffer are packed (4 samples a pixel), so the decoder can
    // write the whole image through one step.
    if (!decoder->readImage(px, px + 1, px + 2, wantThumbNail_ ? px + 3 : nullptr, 4)) {
        theImage.reset();
        imageColorMode_ = -1;
        return;
    }
    theImage->bufferProfile = profile;
    if (wantThumbNail_) return;
    ColorMatchTiledEngine match(Size{double(imageWidth_), double(imageHeight_)});
    match.srcProfile = profile;
    match.destProfile = bufferProfile();
    match.convertBuffer(*theImage);
}

std::optional<PhotoCDPicture> dcpWrapper::genCIImage(std::shared_ptr<ColorSyncProfileWrap> profile) {
    std::lock_guard lock(m_);
    if (!wantThumbNail_) {
        logMessage("Error - %s call on non-thumbnail image\n", "-[dcpWrapper genCIImage:]");
        return std::nullopt;
    }
    genImagesLocked();
    if (!theImage) return std::nullopt;
    auto &pm = ProfileManager::sharedManager();
    auto space = profile                        ? profile
                 : decoder->getColorMode() == 1 ? pm.getRec709Gamma1Profile()
                                                : pm.getSRGBProfile();
    const std::size_t bytes = std::size_t(imageWidth_) * imageHeight_ * 8;
    auto copy = std::shared_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes]);
    if (!copy) return std::nullopt;
    for (int y = 0; y < imageHeight_; ++y)
        std::memcpy(copy.get() + std::size_t(y) * imageWidth_ * 8, theImage->rowBytes(y),
                    std::size_t(imageWidth_) * 8);
    auto bitmap = std::make_shared<BitmapImage>();
    bitmap->width = imageWidth_, bitmap->height = imageHeight_;
    bitmap->bitsPerComponent = 16, bitmap->bitsPerPixel = 64;
    bitmap->bytesPerRow = std::size_t(imageWidth_) * 8;
    bitmap->bitmapInfo = std::uint32_t(BitmapImage::kAlphaLast) | BitmapImage::kByteOrder16Little;
    bitmap->data = copy.get();
    bitmap->owner = copy;
    return PhotoCDPicture{bitmap, space};
}

std::optional<PhotoCDPicture> dcpWrapper::getImageRep(std::shared_ptr<ColorSyncProfileWrap> profile) {
    std::lock_guard lock(m_);
    if (!preProcessLocked()) return std::nullopt;
    return genCIImage(std::move(profile));
}

const std::uint16_t *dcpWrapper::masterImageBytes() {
    std::lock_guard lock(m_);
    if (wantThumbNail_) {
        logMessage("Error - %s call on thumbnail image\n", "-[dcpWrapper masterImageBytes]");
        return nullptr;
    }
    genImagesLocked();
    if (!theImage) return nullptr;
    if (master_.empty()) {
        // The hand-over format is packed RGB triples.
        master_ = PixelBlock(std::size_t(imageWidth_) * imageHeight_ * 3);
        if (master_.empty()) return nullptr;
        std::uint16_t *out = master_.data();
        for (int y = 0; y < imageHeight_; ++y) {
            const std::uint16_t *in = theImage->bufferU16ForRow(y);
            for (int x = 0; x < imageWidth_; ++x, in += 4, out += 3)
                out[0] = in[0], out[1] = in[1], out[2] = in[2];
        }
    }
    return master_.data();
}

void dcpWrapper::setScannerProfile(std::shared_ptr<ColorSyncProfileWrap> p) {
    std::lock_guard lock(m_);
    ImageWrapper::setScannerProfile(std::move(p));
    theImage.reset();
    master_.reset();
    imageColorMode_ = -1;
}

std::shared_ptr<ColorSyncProfileWrap> dcpWrapper::bufferProfile() {
    return ProfileManager::sharedManager().getProPhotoGamma1_D65Profile();
}

std::shared_ptr<ColorSyncProfileWrap> dcpWrapper::detectScannerProfile() {
    std::lock_guard lock(m_);
    auto &pm = ProfileManager::sharedManager();
    if (!boolDefault("AutomaticColorProfile", true)) return pm.getQuenfoldXgProfile();
    const std::string scanner = metaDataValue(7), medium = metaDataValue(4), film = metaDataValue(16);
    const bool fourSeries = scanner.find('4') != std::string::npos;
    if (medium == "color reversal") {
        const bool k14 = film.rfind("KODAK 4050 K14", 0) == 0 || film.rfind("KODAK UNIVERSAL K14", 0) == 0;
        if (k14) return fourSeries ? pm.getQuenfold4kProfile() : pm.getQuenfold2kProfile();
        return fourSeries ? pm.getQuenfold4eProfile() : pm.getQuenfold2eProfile();
    }
    if (medium == "color negative") return pm.getQuenfoldXnProfile();
    return pm.getQuenfoldXgProfile();
}

std::optional<std::string> dcpWrapper::getErrorString() {
    std::lock_guard lock(m_);
    if (!decoder || decoder->getErrorString().empty()) return std::nullopt;
    return decoder->getErrorString();
}

std::string dcpWrapper::getEXIFDateTime() {
    std::lock_guard lock(m_);
    const std::uint32_t t = decoder ? decoder->getScanTime() : 0;
    if (t == 0) return "";
    const std::time_t time = std::time_t(t);
    std::tm tm{};
    char text[32];
    if (!localtime_r(&time, &tm) || !std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &tm)) return "";
    return text;
}

std::string dcpWrapper::metaDataValue(int item) {
    std::lock_guard lock(m_);
    std::string name, value;
    if (!decoder) return "Error";
    decoder->getMetadataItem(item, name, value);
    return value;
}

std::string dcpWrapper::metaDataName(int item) {
    std::lock_guard lock(m_);
    std::string name, value;
    if (!decoder) return "Error";
    decoder->getMetadataItem(item, name, value);
    return name;
}

Dictionary dcpWrapper::metaDataDictionary() {
    std::lock_guard lock(m_);
    namespace ip = imageprops;
    const std::string date = getEXIFDateTime();
    const std::string comment =
        metaDataValue(4) + ": " + metaDataValue(16) + ". SBA settings " + metaDataValue(15);
    // Each sub-dictionary stops at its first missing value.
    const auto ordered = [](std::vector<std::pair<const char *, std::optional<Value>>> list) {
        Dictionary d;
        for (auto &[key, value] : list) {
            if (!value) break;
            d[key] = std::move(*value);
        }
        return d;
    };
    Dictionary exif = ordered({{ip::kExifDateTimeOriginal, Value(date)},
                               {ip::kExifDateTimeDigitized, Value(date)},
                               {ip::kExifUserComment, Value(comment)},
                               {ip::kExifFileSource, Value(std::int64_t(1))}});
    Dictionary tiff =
        ordered({{ip::kTIFFImageDescription, Value(comment)},
                 {"DocumentName", Value(lastComponent(fileSource_))},
                 {ip::kTIFFSoftware, Value(std::string("Converted from Photo CD format by Quenfold V1.4"))},
                 {ip::kTIFFMake, Value(metaDataValue(6))},
                 {ip::kTIFFModel, Value(metaDataValue(7))},
                 {ip::kTIFFCopyright, Value(metaDataValue(17))},
                 {ip::kTIFFDateTime, Value(date)}});
    return Dictionary{{ip::kExifDictionary, Value(std::move(exif))},
                      {ip::kTIFFDictionary, Value(std::move(tiff))}};
}

std::optional<Dictionary> dcpWrapper::getParameters() {
    std::lock_guard lock(m_);
    auto opt = [](auto v) { return std::optional<Value>(Value(v)); };
    float m[3][3], wx, wy;
    sRGBCameraMatrix(m, &wx, &wy);
    std::vector<std::pair<const char *, std::optional<Value>>> list = {
        {"UUID", uuid_.empty() ? std::nullopt : opt(uuid_)},
        {"width", opt(static_cast<std::int64_t>(imageWidth_))},
        {"height", opt(static_cast<std::int64_t>(imageHeight_))},
        {"model", opt(metaDataValue(7))},
        {"make", opt(metaDataValue(6))},
        {"asShotWhitex", opt(wx)},
        {"asShotWhitey", opt(wy)},
    };
    static const char *keys[3][3] = {{"cameraFromXYZ00", "cameraFromXYZ01", "cameraFromXYZ02"},
                                     {"cameraFromXYZ10", "cameraFromXYZ11", "cameraFromXYZ12"},
                                     {"cameraFromXYZ20", "cameraFromXYZ21", "cameraFromXYZ22"}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            list.emplace_back(keys[i][j], opt(m[i][j]));
    list.emplace_back("ipeStatus", opt(static_cast<std::int64_t>(ipeStatus_)));
    list.emplace_back("isOutputReferred", opt(isOutputReferred_));
    list.emplace_back("status", opt(error_ ? error_->reason : std::string("Ok")));
    list.emplace_back("cameraMetadata", metaData_.empty() ? std::nullopt : opt(metaData_));
    return parametersFrom(list);
}

} // namespace orvanta
