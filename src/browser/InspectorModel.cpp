#include "InspectorModel.h"

#include "platform/ImagePropertyKeys.h"
#include "platform/Log.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <strings.h>

namespace orvanta {

namespace {

struct Entry {
    const char *key;
    int format;
    const char *name; // or null: made from the key
};

// The platform's image-property keys, in the table's order, with their
// format codes (0 hides a property) and display names.
const Entry kTable[] = {
    {"PixelWidth", 1, nullptr},
    {"PixelHeight", 1, nullptr},
    {"Depth", 1, nullptr},
    {"Compression", 1, nullptr},
    {"PhotometricInterpretation", 2, nullptr},
    {"ImageDescription", 1, nullptr},
    {"Make", 1, nullptr},
    {"Model", 1, nullptr},
    {"Orientation", 1, nullptr},
    {"XResolution", 1, nullptr},
    {"YResolution", 1, nullptr},
    {"ResolutionUnit", 1, nullptr},
    {"TransferFunction", 1, nullptr},
    {"Software", 1, nullptr},
    {"DateTime", 1, nullptr},
    {"Artist", 1, nullptr},
    {"HostComputer", 1, nullptr},
    {"WhitePoint", 1, nullptr},
    {"PrimaryChromaticities", 1, nullptr},
    {"Copyright", 1, nullptr},
    {"ExposureTime", 3, nullptr},
    {"FNumber", 4, nullptr},
    {"ExposureProgram", 5, nullptr},
    {"SpectralSensitivity", 0, nullptr},
    {"ISOSpeedRatings", 1, "ISO Speed Ratings"},
    {"OECF", 0, "OECF"},
    {"ExifVersion", 6, nullptr},
    {"DateTimeOriginal", 1, nullptr},
    {"DateTimeDigitized", 1, nullptr},
    {"ComponentsConfiguration", 1, nullptr},
    {"CompressedBitsPerPixel", 1, nullptr},
    {"ShutterSpeedValue", 7, nullptr},
    {"ApertureValue", 8, nullptr},
    {"BrightnessValue", 9, nullptr},
    {"ExposureBiasValue", 1, nullptr},
    {"MaxApertureValue", 8, nullptr},
    {"SubjectDistance", 1, nullptr},
    {"MeteringMode", 10, nullptr},
    {"LightSource", 11, nullptr},
    {"Flash", 12, nullptr},
    {"FocalLength", 1, nullptr},
    {"SubjectArea", 1, nullptr},
    {"MakerNote", 0, nullptr},
    {"UserComment", 1, nullptr},
    {"SubsecTime", 1, nullptr},
    {"SubsecTimeOriginal", 1, nullptr},
    {"SubsecTimeDigitized", 1, nullptr},
    {"FlashPixVersion", 6, "FlashPix Version"},
    {"ColorSpace", 1, nullptr},
    {"PixelXDimension", 1, nullptr},
    {"PixelYDimension", 1, nullptr},
    {"RelatedSoundFile", 1, nullptr},
    {"FlashEnergy", 13, nullptr},
    {"SpatialFrequencyResponse", 1, nullptr},
    {"FocalPlaneXResolution", 1, nullptr},
    {"FocalPlaneYResolution", 1, nullptr},
    {"FocalPlaneResolutionUnit", 23, nullptr},
    {"SubjectLocation", 1, nullptr},
    {"ExposureIndex", 1, nullptr},
    {"SensingMethod", 14, nullptr},
    {"FileSource", 15, nullptr},
    {"SceneType", 16, nullptr},
    {"CFAPattern", 1, "CFA Pattern"},
    {"CustomRendered", 17, nullptr},
    {"ExposureMode", 18, nullptr},
    {"WhiteBalance", 19, nullptr},
    {"DigitalZoomRatio", 1, nullptr},
    {"FocalLenIn35mmFilm", 1, "Focal Length In 35mm Film"},
    {"SceneCaptureType", 20, nullptr},
    {"GainControl", 21, nullptr},
    {"Contrast", 22, nullptr},
    {"Saturation", 22, nullptr},
    {"Sharpness", 22, nullptr},
    {"DeviceSettingDescription", 1, nullptr},
    {"SubjectDistRange", 1, nullptr},
    {"ImageUniqueID", 1, "Image Unique ID"},
    {"SerialNumber", 1, nullptr},
    {"OwnerName", 1, nullptr},
    {"LensInfo", 1, nullptr},
    {"LensModel", 1, nullptr},
    {"LensSerialNumber", 1, nullptr},
    {"Gamma", 1, nullptr},
    {"DNGVersion", 6, "DNG Version"},
    {"DNGBackwardVersion", 6, "DNG Backward Version"},
    {"UniqueCameraModel", 1, nullptr},
    {"LocalizedCameraModel", 1, nullptr},
    {"CameraSerialNumber", 1, nullptr},
    {"LensInfo", 1, nullptr},
    {"GPSVersion", 6, "GPS Version"},
    {"LatitudeRef", 25, nullptr},
    {"Latitude", 24, nullptr},
    {"LongitudeRef", 25, nullptr},
    {"Longitude", 24, nullptr},
    {"AltitudeRef", 26, nullptr},
    {"Altitude", 1, nullptr},
    {"TimeStamp", 1, nullptr},
    {"Satellites", 1, nullptr},
    {"Status", 1, nullptr},
    {"MeasureMode", 1, nullptr},
    {"DOP", 1, nullptr},
    {"SpeedRef", 1, nullptr},
    {"Speed", 1, nullptr},
    {"TrackRef", 1, nullptr},
    {"Track", 1, nullptr},
    {"ImgDirectionRef", 1, nullptr},
    {"ImgDirection", 1, nullptr},
    {"MapDatum", 1, nullptr},
    {"DestLatitudeRef", 25, nullptr},
    {"DestLatitude", 24, nullptr},
    {"DestLongitudeRef", 25, nullptr},
    {"DestLongitude", 24, nullptr},
    {"DestBearingRef", 1, nullptr},
    {"DestBearing", 1, nullptr},
    {"DestDistanceRef", 1, nullptr},
    {"DestDistance", 1, nullptr},
    {"ProcessingMethod", 1, nullptr},
    {"AreaInformation", 1, nullptr},
    {"DateStamp", 1, nullptr},
    {"Differental", 1, nullptr},
};

std::string trimmed(const std::string &s) {
    const auto b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string format(const char *f, double v) {
    char out[64];
    std::snprintf(out, sizeof out, f, v);
    return out;
}

std::string exposure(double f) {
    if (f < 1) return format("1/%1.0f", 1 / f);
    return format(f < 10 ? "%1.1f" : "%1.0f", f);
}

std::string aperture(double f) {
    return format(f < 1 ? "%1.2f" : "%1.1f", f);
}

std::string pick(std::int64_t i, std::initializer_list<std::pair<int, const char *>> words,
                 const char *other) {
    for (const auto &[k, w] : words)
        if (k == i) return w;
    return other ? other : "";
}

std::string plain(const Value &v);

std::string flash(std::int64_t i) {
    std::string s = (i & 1) ? "Flash fired" : "Flash did not fire";
    const auto append = [&](const char *t) { s = InspectorModel::appendWithSeparator(s, t, "; "); };
    if (((i >> 1) & 3) == 2) append("strobe return light not detected");
    if (((i >> 1) & 3) == 3) append("strobe return light detected");
    if (((i >> 3) & 3) == 1) append("compulsory flash firing");
    if (((i >> 3) & 3) == 2) append("compulsory flash suppression");
    if (((i >> 3) & 3) == 3) append("auto mode");
    append((i & 32) ? "no flash function present" : "flash function present");
    if (i & 64) append("red-eye reduction supported");
    return s;
}

std::string plain(const Value &v) {
    if (const std::string *s = v.string()) return trimmed(*s);
    if (v.isReal()) {
        const double f = v.toDouble().value_or(0);
        return format(f >= 1000 ? "%.5g" : "%.3g", f);
    }
    if (v.isInteger() || v.isBool()) {
        char out[32];
        std::snprintf(out, sizeof out, "%i", static_cast<int>(v.toInt64().value_or(0)));
        return out;
    }
    if (const Array *a = v.array()) {
        if (a->size() == 1) return plain(a->front());
        std::string joined;
        for (const Value &e : *a)
            joined = InspectorModel::appendWithSeparator(joined, plain(e), ", ");
        if (joined.size() > 20) joined = joined.substr(0, 17) + "...";
        return "( " + joined + " )";
    }
    return v.description();
}

} // namespace

std::string InspectorModel::appendWithSeparator(const std::string &s, const std::string &addition,
                                                const std::string &separator) {
    return s.empty() ? s + addition : s + separator + addition;
}

int InspectorModel::itemIndex(const std::string &key) {
    for (std::size_t i = 0; i < sizeof kTable / sizeof kTable[0]; ++i)
        if (key == kTable[i].key) return static_cast<int>(i);
    return -1;
}

std::string InspectorModel::prettyName(const std::string &key) {
    if (key.size() <= 2) return key;
    // A space before each upper-case letter from the second character on,
    // while at least two characters remain to look at.
    std::string out = key;
    std::size_t i = 1;
    while (out.size() - i >= 2) {
        std::size_t j = i;
        while (j < out.size() && !std::isupper(static_cast<unsigned char>(out[j])))
            ++j;
        if (j >= out.size()) break;
        out.insert(j, " ");
        i = j + 2;
    }
    return out;
}

std::string InspectorModel::prettyValue(const Value &value, int index) {
    const int code =
        index >= 0 && index < static_cast<int>(sizeof kTable / sizeof kTable[0]) ? kTable[index].format : 1;
    const std::int64_t i = value.isNumber() ? value.toInt64().value_or(0) : 0;
    double f = value.isNumber() ? value.toDouble().value_or(0) : 0;
    std::string text;
    switch (code) {
    case 2:
        if (i == 2) text = "RGB";
        break;
    case 3:
        if (value.isNumber()) text = exposure(f);
        break;
    case 4:
        if (value.isNumber()) text = aperture(f);
        break;
    case 5:
        text = pick(i,
                    {{0, "Undefined"},
                     {1, "Manual"},
                     {2, "Normal program"},
                     {3, "Aperture priority"},
                     {4, "Shutter priority"},
                     {5, "Creative program"},
                     {6, "Action program"},
                     {7, "Portrait mode"},
                     {8, "Landscape mode"}},
                    nullptr);
        break;
    case 6: {
        const Array *a = value.array();
        if (!a) return "";
        for (std::size_t k = 0; k < a->size(); ++k)
            text += (k ? "." : "") + plain((*a)[k]);
        return text;
    }
    case 7:
        if (value.isNumber()) text = exposure(std::exp2(-f));
        break;
    case 8:
        if (value.isNumber()) text = aperture(std::exp2(f / 2));
        break;
    case 9:
        if (value.isNumber()) text = format("%1.5g ft-L", std::exp2(f));
        break;
    case 10:
        text = pick(i,
                    {{1, "Average"},
                     {2, "Center Weighted Average"},
                     {3, "Spot"},
                     {4, "MultiSpot"},
                     {5, "Pattern"},
                     {6, "Partial"}},
                    "Other");
        break;
    case 11:
        text = pick(i,
                    {{0, "Unknown"},
                     {1, "Daylight"},
                     {2, "Fluorescent"},
                     {3, "Tungsten (incandescent light)"},
                     {4, "Flash"},
                     {9, "Fine weather"},
                     {10, "Cloudy weather"},
                     {11, "Shade"},
                     {12, "Daylight fluorescent (D 5700 - 7100K)"},
                     {13, "Day white fluorescent (N 4600 - 5500K)"},
                     {14, "Cool white fluorescent (W 3800 - 4500K)"},
                     {15, "White fluorescent (WW 3250 - 3800K)"},
                     {16, "Warm white fluorescent (L 2600 - 3250K)"},
                     {17, "Standard light A"},
                     {18, "Standard light B"},
                     {19, "Standard light C"},
                     {20, "D55"},
                     {21, "D65"},
                     {22, "D75"},
                     {23, "D50"},
                     {24, "ISO studio tungsten"}},
                    "Other");
        break;
    case 12:
        if (value.isNumber()) text = flash(i);
        break;
    case 13:
        if (value.isNumber()) text = format("%1.5g BCPS", f);
        break;
    case 14:
        text = pick(i,
                    {{0, "None"},
                     {1, "Not defined"},
                     {2, "One-chip color area sensor"},
                     {3, "Two-chip color area sensor"},
                     {4, "Three-chip color area sensor"},
                     {5, "Color sequential area sensor"},
                     {7, "Trilinear sensor"},
                     {8, "Color sequential linear sensor"}},
                    "Other");
        break;
    case 15:
        text = pick(i,
                    {{0, "Others"},
                     {1, "Scanner of transparent type"},
                     {2, "Scanner of reflex type"},
                     {3, "Digital camera"}},
                    "Other");
        break;
    case 16:
        if (i == 1) text = "A directly photographed image";
        break;
    case 17:
        text = pick(i, {{0, "Normal process"}, {1, "Custom process"}}, nullptr);
        break;
    case 18:
        text = pick(i, {{0, "Auto exposure"}, {1, "Manual exposure"}, {2, "Auto bracket"}}, "Other");
        break;
    case 19:
        text = pick(i, {{0, "Auto white balance"}, {1, "Manual white balance"}}, nullptr);
        break;
    case 20:
        text = pick(i, {{0, "Standard"}, {1, "Landscape"}, {2, "Portrait"}, {3, "Night scene"}}, nullptr);
        break;
    case 21:
        text = pick(i,
                    {{0, "None"},
                     {1, "Low gain up"},
                     {2, "High gain up"},
                     {3, "Low gain down"},
                     {4, "High gain down"}},
                    nullptr);
        break;
    case 22:
        text = pick(i, {{0, "Normal"}, {1, "Low"}, {2, "High"}}, nullptr);
        break;
    case 23:
        text = pick(i, {{2, "Inches"}, {3, "Centimeters"}}, nullptr);
        break;
    case 24:
        if (value.isNumber()) {
            const int d = static_cast<int>(f);
            const double m = (f - d) * 60;
            const double s = (m - static_cast<int>(m)) * 60;
            char out[64];
            std::snprintf(out, sizeof out, "%i\u00b0 %i\" %2.2f'", d, static_cast<int>(m), s);
            text = out;
        }
        break;
    case 25:
        if (const std::string *s = value.string()) {
            const std::string t = trimmed(*s);
            text = strcasecmp(t.c_str(), "E") == 0   ? "East"
                   : strcasecmp(t.c_str(), "W") == 0 ? "West"
                   : strcasecmp(t.c_str(), "S") == 0 ? "South"
                   : strcasecmp(t.c_str(), "N") == 0 ? "North"
                                                     : t;
        }
        break;
    case 26:
        text = pick(i, {{0, "Sea level"}, {1, "Sea level reference (negative value)"}}, nullptr);
        break;
    default:
        break;
    }
    return text.empty() ? plain(value) : text;
}

std::vector<InspectorNode> InspectorModel::propTree(const Dictionary &metaData) {
    namespace ip = imageprops;
    std::vector<InspectorNode> nodes;
    for (const auto &[key, value] : metaData) {
        try {
            if (const Dictionary *d = value.dictionary()) {
                const char *name = strcasecmp(key.c_str(), ip::kTIFFDictionary) == 0   ? "TIFF Metadata"
                                   : strcasecmp(key.c_str(), ip::kExifDictionary) == 0 ? "EXIF Metadata"
                                   : strcasecmp(key.c_str(), ip::kExifAuxDictionary) == 0
                                       ? "EXIF Auxiliary Metadata"
                                   : strcasecmp(key.c_str(), ip::kDNGDictionary) == 0 ? "DNG Metadata"
                                   : strcasecmp(key.c_str(), ip::kGPSDictionary) == 0 ? "GPS Data"
                                                                                      : nullptr;
                nodes.push_back({name ? name : key, "", propTree(*d)});
                continue;
            }
            const int index = itemIndex(key);
            if (index < 0 || kTable[index].format == 0) continue;
            nodes.push_back(
                {kTable[index].name ? kTable[index].name : prettyName(key), prettyValue(value, index), {}});
        } catch (const std::exception &e) {
            logMessage("MetaData exception: %s - %s", "-[InspectorController propTree:]", e.what());
        }
    }
    return nodes;
}

} // namespace orvanta
