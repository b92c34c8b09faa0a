#include "dngWrapper.h"

#include "MetadataDecode.h"
#include "pcdToDNG.h"
#include "platform/ImagePropertyKeys.h"

#include <cmath>
#include <map>
#include <tiff.h>

namespace orvanta {

namespace ip = imageprops;

namespace {

// Image-property key → EXIF tag, for the numeric fields written. (The
// auxiliary LensID, Firmware and FlashCompensation and the undefined-byte
// FileSource and SceneType have no numeric EXIF field to go to.)
const std::map<std::string, std::uint32_t> &numericFields() {
    static const std::map<std::string, std::uint32_t> m = {
        {"ExposureTime", EXIFTAG_EXPOSURETIME},
        {"FNumber", EXIFTAG_FNUMBER},
        {"ShutterSpeedValue", EXIFTAG_SHUTTERSPEEDVALUE},
        {"ApertureValue", EXIFTAG_APERTUREVALUE},
        {"BrightnessValue", EXIFTAG_BRIGHTNESSVALUE},
        {"ExposureBiasValue", EXIFTAG_EXPOSUREBIASVALUE},
        {"MaxApertureValue", EXIFTAG_MAXAPERTUREVALUE},
        {"SubjectDistance", EXIFTAG_SUBJECTDISTANCE},
        {"FocalLength", EXIFTAG_FOCALLENGTH},
        {"ExposureIndex", EXIFTAG_EXPOSUREINDEX},
        {"DigitalZoomRatio", EXIFTAG_DIGITALZOOMRATIO},
        {"ExposureProgram", EXIFTAG_EXPOSUREPROGRAM},
        {"ExposureMode", EXIFTAG_EXPOSUREMODE},
        {"ISOSpeedRatings", EXIFTAG_ISOSPEEDRATINGS},
        {"MeteringMode", EXIFTAG_METERINGMODE},
        {"LightSource", EXIFTAG_LIGHTSOURCE},
        {"Flash", EXIFTAG_FLASH},
        {"SensingMethod", EXIFTAG_SENSINGMETHOD},
        {"CustomRendered", EXIFTAG_CUSTOMRENDERED},
        {"WhiteBalance", EXIFTAG_WHITEBALANCE},
        {"FocalLenIn35mmFilm", EXIFTAG_FOCALLENGTHIN35MMFILM},
        {"SceneCaptureType", EXIFTAG_SCENECAPTURETYPE},
        {"GainControl", EXIFTAG_GAINCONTROL},
        {"Contrast", EXIFTAG_CONTRAST},
        {"Saturation", EXIFTAG_SATURATION},
        {"Sharpness", EXIFTAG_SHARPNESS},
        {"SubjectDistRange", EXIFTAG_SUBJECTDISTANCERANGE},
    };
    return m;
}

const std::map<std::string, std::uint32_t> &textFields() {
    static const std::map<std::string, std::uint32_t> m = {
        {"LensModel", EXIFTAG_LENSMODEL},
        {"SerialNumber", EXIFTAG_BODYSERIALNUMBER},
        {"LensSerialNumber", EXIFTAG_LENSSERIALNUMBER},
        {"OwnerName", EXIFTAG_CAMERAOWNERNAME},
    };
    return m;
}

} // namespace

dngWrapper::dngWrapper(int width, int height) : dngWriter(std::make_unique<pcdToDNG>(width, height)) {}

dngWrapper::~dngWrapper() = default;

void dngWrapper::setEXIFFromMacImageProperty(const std::string &key, const Dictionary &properties) {
    if (!dngWriter) return;
    pcdToDNG &w = *dngWriter;
    std::int64_t i = 0;
    double f = 0;
    const auto text = decodeObject(properties, key, &i, &f);
    if (!text) return;
    if (key == ip::kTIFFImageDescription)
        w.imageDescription = *text;
    else if (key == ip::kTIFFMake)
        w.make = *text;
    else if (key == ip::kTIFFModel)
        w.model = *text;
    else if (key == ip::kTIFFSoftware)
        w.software = *text;
    else if (key == ip::kTIFFArtist)
        w.artist = *text;
    else if (key == ip::kTIFFCopyright)
        w.copyright = *text;
    else if (key == ip::kExifUserComment)
        w.userComment = *text;
    else if (auto t = textFields().find(key); t != textFields().end())
        w.exifText[t->second] = *text;
    else if (auto n = numericFields().find(key); n != numericFields().end() && std::isfinite(f))
        w.exifNumber[n->second] = f;
}

void dngWrapper::addMetaData(const Dictionary &metaData) {
    if (!dngWriter) return;
    pcdToDNG &w = *dngWriter;
    for (const auto &[group, value] : metaData) {
        const Dictionary *d = value.dictionary();
        if (!d) continue;
        for (const auto &[key, ignored] : *d) {
            const auto text = decodeObject(*d, key, nullptr, nullptr);
            if (group == ip::kExifDictionary) {
                if (key == ip::kExifDateTimeOriginal || key == ip::kExifDateTimeDigitized) {
                    if (text) w.dateTimeOriginal = w.dateTimeDigitized = *text;
                } else if (key == ip::kExifUserComment) {
                    if (text) w.userComment = *text;
                } else {
                    setEXIFFromMacImageProperty(key, *d);
                }
            } else if (group == ip::kTIFFDictionary) {
                if (key == ip::kTIFFDateTime) {
                    if (text) w.dateTimeOriginal = w.dateTimeDigitized = *text;
                } else if (key == "DocumentName") {
                    if (text) w.originalRawFileName = w.imageDescription = *text;
                } else {
                    setEXIFFromMacImageProperty(key, *d);
                }
            } else if (group == ip::kExifAuxDictionary) {
                setEXIFFromMacImageProperty(key, *d);
            }
        }
    }
}

std::uint32_t dngWrapper::writeToFile(const std::uint16_t *rgb, int, const std::string &path,
                                      const std::optional<std::string> &embedFile, const Dictionary &metaData,
                                      const std::string &type) {
    if (!dngWriter) return 0xFFFFFFFFu;
    pcdToDNG &w = *dngWriter;
    const int prepared = w.prepare(rgb, 0);
    w.make = "Dizez Iruz app";
    w.model = "Virtual camera";
    w.software = "Dizez Iruz";
    addMetaData(metaData);
    if (prepared != dng_error_none) return static_cast<std::uint32_t>(prepared);
    if (embedFile) w.imageDescription = embedFile->substr(embedFile->find_last_of('/') + 1);
    return static_cast<std::uint32_t>(w.write(path, embedFile, type));
}

std::string dngWrapper::errorStringForCode(std::uint32_t code) const {
    if (!dngWriter) return "No dngWriter object";
    switch (code) {
    case 0:
        return "No error. Success.";
    case 100001:
        return "Functionality requested is not yet implemented.";
    case 100002:
        return "An error which should not be signalled to user.";
    case 100003:
        return "Processing stopped by user (or host application) request.";
    case 100004:
        return "Necessary host functionality is not present.";
    case 100005:
        return "Out of memory.";
    case 100006:
        return "File format is not valid.";
    case 100007:
        return "Matrix has wrong shape, is badly conditioned, or similar problem.";
    case 100008:
        return "Could not open file.";
    case 100009:
        return "Error reading file.";
    case 100010:
        return "Error writing file.";
    case 100011:
        return "Unexpected end of file.";
    case 100012:
        return "File is damaged in some way.";
    case 100013:
        return "Image is too big to save as DNG.";
    case 100014:
        return "Image is too big to save as TIFF.";
    default:
        return "Logic or program error or other unclassifiable error.";
    }
}

} // namespace orvanta
