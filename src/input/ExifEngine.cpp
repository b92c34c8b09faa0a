#include "ExifEngine.h"

#include "platform/ImagePropertyKeys.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace orvanta {

namespace ip = imageprops;

ExifSource::~ExifSource() = default;

std::size_t MemoryExifSource::read(void *buffer, std::size_t size) {
    const std::size_t n = pos_ < size_ ? std::min(size, size_ - pos_) : 0;
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
}

bool MemoryExifSource::seek(std::int64_t position) {
    if (position < 0 || static_cast<std::uint64_t>(position) > size_) return false;
    pos_ = static_cast<std::size_t>(position);
    return true;
}

namespace {

// Value kinds of the tag tables.
enum Kind : int { kAsType = 7, kVersion = 16, kUserComment = 17, kComponents = 18 };

struct TagRow {
    unsigned tag;
    const char *name;
    const char *group; // sub-dictionary, or null for the top level
    const char *key;   // property key, or null
    int kind;
    bool store;
};

#define STORED(tag, name, group, key)                                                                        \
    { tag, name, group, key, kAsType, true }
#define KNOWN(tag, name)                                                                                     \
    { tag, name, nullptr, nullptr, kAsType, false }

// The main table: 46 stored tags and 82 that are recognised only.
const TagRow kMainTable[] = {
    KNOWN(46, "JpgFromRaw"),
    KNOWN(254, "NewSubFileType"),
    KNOWN(255, "SubFileType"),
    STORED(256, "ImageWidth", nullptr, ip::kPixelWidth),
    STORED(257, "ImageLength", nullptr, ip::kPixelHeight),
    STORED(258, "BitsPerSample", nullptr, ip::kDepth),
    KNOWN(259, "Compression"),
    KNOWN(262, "PhotometricInterpretation"),
    KNOWN(263, "Thresholding"),
    KNOWN(264, "CellWidth"),
    KNOWN(265, "CellLength"),
    KNOWN(266, "FillOrder"),
    STORED(270, "ImageDescription", ip::kTIFFDictionary, ip::kTIFFImageDescription),
    STORED(271, "Make", ip::kTIFFDictionary, ip::kTIFFMake),
    STORED(272, "Model", ip::kTIFFDictionary, ip::kTIFFModel),
    KNOWN(273, "StripOffsets"),
    KNOWN(274, "Orientation"),
    KNOWN(277, "SamplesPerPixel"),
    KNOWN(278, "RowsPerStrip"),
    KNOWN(279, "StripByteCounts"),
    KNOWN(280, "MinSampleValue"),
    KNOWN(281, "MaxSampleValue"),
    KNOWN(282, "XResolution"),
    KNOWN(283, "YResolution"),
    KNOWN(284, "PlanarConfiguration"),
    KNOWN(288, "FreeOffsets"),
    KNOWN(289, "FreeByteCounts"),
    KNOWN(290, "GrayResponseUnit"),
    KNOWN(291, "GrayResponseCurve"),
    KNOWN(296, "ResolutionUnit"),
    KNOWN(301, "TransferFunction"),
    STORED(305, "Software", ip::kTIFFDictionary, ip::kTIFFSoftware),
    STORED(306, "DateTime", ip::kTIFFDictionary, ip::kTIFFDateTime),
    STORED(315, "Artist", ip::kTIFFDictionary, ip::kTIFFArtist),
    STORED(316, "HostComputer", ip::kTIFFDictionary, ip::kTIFFHostComputer),
    KNOWN(317, "Predictor"),
    KNOWN(318, "WhitePoint"),
    KNOWN(319, "PrimaryChromaticities"),
    KNOWN(320, "ColorMap"),
    KNOWN(322, "TileWidth"),
    KNOWN(323, "TileLength"),
    KNOWN(324, "TileOffsets"),
    KNOWN(325, "TileByteCounts"),
    KNOWN(330, "SubIFDs"),
    KNOWN(338, "ExtraSamples"),
    KNOWN(339, "SampleFormat"),
    KNOWN(347, "JPEGTables"),
    KNOWN(512, "JPEGProc"),
    KNOWN(513, "JPEGInterchangeFormat"),
    KNOWN(514, "JPEGInterchangeFormatLength"),
    KNOWN(529, "YCbCrCoefficients"),
    KNOWN(530, "YCbCrSubSampling"),
    KNOWN(531, "YCbCrPositioning"),
    KNOWN(532, "ReferenceBlackWhite"),
    KNOWN(700, "XMP"),
    KNOWN(33405, "KodakCameraSerialNumber"),
    KNOWN(33421, "CFARepeatPatternDim"),
    KNOWN(33422, "CFAPattern"),
    KNOWN(33423, "BatteryLevel"),
    KNOWN(33424, "KodakDCRPrivateIFD"),
    STORED(33432, "Copyright", ip::kTIFFDictionary, ip::kTIFFCopyright),
    STORED(33434, "ExposureTime", ip::kExifDictionary, ip::kExifExposureTime),
    STORED(33437, "FNumber", ip::kExifDictionary, ip::kExifFNumber),
    KNOWN(33723, "IPTC_NAA"),
    KNOWN(34310, "LeafPKTS"),
    KNOWN(34377, "AdobeData"),
    KNOWN(34665, "ExifIFD"),
    KNOWN(34675, "ICCProfile"),
    STORED(34850, "ExposureProgram", ip::kExifDictionary, ip::kExifExposureProgram),
    KNOWN(34852, "SpectralSensitivity"),
    KNOWN(34853, "GPSInfo"),
    STORED(34855, "ISOSpeedRatings", ip::kExifDictionary, ip::kExifISOSpeedRatings),
    KNOWN(34856, "OECF"),
    KNOWN(34857, "Interlace"),
    KNOWN(34858, "TimeZoneOffset"),
    KNOWN(34859, "SelfTimerMode"),
    {36864, "ExifVersion", ip::kExifDictionary, ip::kExifVersion, kVersion, true},
    STORED(36867, "DateTimeOriginal", ip::kExifDictionary, ip::kExifDateTimeOriginal),
    STORED(36868, "DateTimeDigitized", ip::kExifDictionary, ip::kExifDateTimeDigitized),
    {37121, "ComponentsConfiguration", nullptr, nullptr, kComponents, false},
    STORED(37122, "CompressedBitsPerPixel", ip::kExifDictionary, ip::kExifCompressedBitsPerPixel),
    STORED(37377, "ShutterSpeedValue", ip::kExifDictionary, ip::kExifShutterSpeedValue),
    STORED(37378, "ApertureValue", ip::kExifDictionary, ip::kExifApertureValue),
    STORED(37379, "BrightnessValue", ip::kExifDictionary, ip::kExifBrightnessValue),
    STORED(37380, "ExposureBiasValue", ip::kExifDictionary, ip::kExifExposureBiasValue),
    STORED(37381, "MaxApertureValue", ip::kExifDictionary, ip::kExifMaxApertureValue),
    STORED(37382, "SubjectDistance", ip::kExifDictionary, ip::kExifSubjectDistance),
    STORED(37383, "MeteringMode", ip::kExifDictionary, ip::kExifMeteringMode),
    STORED(37384, "LightSource", ip::kExifDictionary, ip::kExifLightSource),
    STORED(37385, "Flash", ip::kExifDictionary, ip::kExifFlash),
    STORED(37386, "FocalLength", ip::kExifDictionary, ip::kExifFocalLength),
    KNOWN(37387, "FlashEnergy"),
    KNOWN(37388, "SpatialFrequencyResponse"),
    KNOWN(37389, "Noise"),
    KNOWN(37390, "FocalPlaneXResolution"),
    KNOWN(37391, "FocalPlaneYResolution"),
    KNOWN(37392, "FocalPlaneResolutionUnit"),
    KNOWN(37393, "ImageNumber"),
    KNOWN(37394, "SecurityClassification"),
    KNOWN(37395, "ImageHistory"),
    STORED(37396, "SubjectArea", ip::kExifDictionary, ip::kExifSubjectArea),
    KNOWN(37397, "ExposureIndex"),
    KNOWN(37398, "TIFF_EP_StandardID"),
    KNOWN(37399, "SensingMethod"),
    KNOWN(37500, "MakerNote"),
    {37510, "UserComment", ip::kExifDictionary, ip::kExifUserComment, kUserComment, true},
    STORED(37520, "SubsecTime", ip::kExifDictionary, ip::kExifSubsecTime),
    STORED(37521, "SubsecTimeOriginal", ip::kExifDictionary, ip::kExifSubsecTimeOriginal),
    STORED(37522, "SubsecTimeDigitized", ip::kExifDictionary, ip::kExifSubsecTimeDigitized),
    KNOWN(37724, "AdobeLayerData"),
    {40960, "FlashPixVersion", ip::kExifDictionary, ip::kExifFlashPixVersion, kVersion, true},
    KNOWN(40961, "ColorSpace"),
    KNOWN(40962, "PixelXDimension"),
    KNOWN(40963, "PixelYDimension"),
    KNOWN(40964, "RelatedSoundFile"),
    KNOWN(40965, "InteroperabilityIFD"),
    KNOWN(41483, "FlashEnergyExif"),
    STORED(41484, "SpatialFrequencyResponse", ip::kExifDictionary, ip::kExifSpatialFrequencyResponse),
    STORED(41486, "FocalPlaneXResolution", ip::kExifDictionary, ip::kExifFocalPlaneXResolution),
    STORED(41487, "FocalPlaneYResolution", ip::kExifDictionary, ip::kExifFocalPlaneYResolution),
    STORED(41488, "FocalPlaneResolutionUnit", ip::kExifDictionary, ip::kExifFocalPlaneResolutionUnit),
    STORED(41492, "SubjectLocation", ip::kExifDictionary, ip::kExifSubjectLocation),
    STORED(41493, "ExposureIndex", ip::kExifDictionary, ip::kExifExposureIndex),
    STORED(41495, "SensingMethod", ip::kExifDictionary, ip::kExifSensingMethod),
    STORED(41728, "FileSource", ip::kExifDictionary, ip::kExifFileSource),
    STORED(41729, "SceneType", ip::kExifDictionary, ip::kExifSceneType),
    STORED(41730, "CFAPattern", ip::kExifDictionary, ip::kExifCFAPattern),
    STORED(41985, "CustomRendered", ip::kExifDictionary, ip::kExifCustomRendered),
};
static_assert(sizeof kMainTable / sizeof kMainTable[0] == 128);

#define GPS(tag, name, key)                                                                                  \
    { tag, name, ip::kGPSDictionary, key, kAsType, true }
const TagRow kGPSTable[] = {
    GPS(1, "North or South Latitude", ip::kGPSLatitudeRef),
    GPS(2, "Latitude", ip::kGPSLatitude),
    GPS(3, "East or West Longitude", ip::kGPSLongitudeRef),
    GPS(4, "Longitude", ip::kGPSLongitude),
    GPS(5, "Altitude reference", ip::kGPSAltitudeRef),
    GPS(6, "Altitude", ip::kGPSAltitude),
    GPS(7, "GPS time (atomic clock)", ip::kGPSTimeStamp),
    GPS(8, "GPS satellites used for measurement", ip::kGPSSatellites),
    GPS(9, "GPS receiver status", ip::kGPSStatus),
    GPS(10, "GPS measurement mode", ip::kGPSMeasureMode),
    GPS(11, "Measurement precision", ip::kGPSDOP),
    GPS(12, "Speed unit", ip::kGPSSpeedRef),
    GPS(13, "Speed of GPS receiver", ip::kGPSSpeed),
    GPS(14, "Reference for direction of movement", ip::kGPSTrackRef),
    GPS(15, "Direction of movement", ip::kGPSTrack),
    GPS(16, "Reference for direction of image", ip::kGPSImgDirectionRef),
    GPS(17, "Direction of image", ip::kGPSImgDirection),
    GPS(18, "Geodetic survey data used", ip::kGPSMapDatum),
    GPS(19, "Reference for latitude of destination", ip::kGPSDestLatitudeRef),
    GPS(20, "Latitude of destination", ip::kGPSDestLatitude),
    GPS(21, "Reference for longitude of destination", ip::kGPSDestLongitudeRef),
    GPS(22, "Longitude of destination", ip::kGPSDestLongitude),
    GPS(23, "Reference for bearing of destination", ip::kGPSDestBearingRef),
    GPS(24, "Bearing of destination", ip::kGPSDestBearing),
    GPS(25, "Reference for distance to destination", ip::kGPSDestDistanceRef),
    GPS(26, "Distance to destination", ip::kGPSDestDistance),
    GPS(27, "Name of GPS processing method", ip::kGPSProcessingMethod),
    GPS(28, "Name of GPS area", ip::kGPSAreaInformation),
    GPS(29, "GPS date", ip::kGPSDateStamp),
    GPS(30, "GPS differential correction", ip::kGPSDifferental),
};
static_assert(sizeof kGPSTable / sizeof kGPSTable[0] == 30);

const TagRow *lookup(unsigned tag, int kind) {
    if (kind == exifEngine::kGPSDirectory) {
        for (const auto &r : kGPSTable)
            if (r.tag == tag) return &r;
        return nullptr;
    }
    for (const auto &r : kMainTable)
        if (r.tag == tag) return &r;
    return nullptr;
}

int typeSize(int type) {
    static const int sizes[19] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
    return type >= 0 && type < 19 ? sizes[type] : 0;
}

// Bytes as text: ASCII stays, other bytes are read as Latin-1 so that the
// string is always valid UTF-8.
std::string latin1ToUtf8(const char *p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string utf16ToUtf8(const std::vector<std::uint16_t> &units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp < 0xE000)
            cp = 0xFFFD;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// JIS X 0208-1983 text (two bytes a character) to UTF-8; Latin-1 when the
// converter is missing or the bytes are not JIS.
std::string jisToUtf8(const char *p, std::size_t n) {
    iconv_t cd = iconv_open("UTF-8", "JIS_C6226-1983");
    if (cd == reinterpret_cast<iconv_t>(-1)) return latin1ToUtf8(p, n);
    std::string in(p, n), out(n * 3 + 8, '\0');
    char *inp = in.data(), *outp = out.data();
    std::size_t inLeft = n, outLeft = out.size();
    const std::size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return latin1ToUtf8(p, n);
    out.resize(out.size() - outLeft);
    return out;
}

class Reader {
public:
    Reader(const std::uint8_t *b, bool little) : b_(b), little_(little) {}
    std::uint16_t u16(std::size_t i) const {
        const std::uint8_t *p = b_ + i;
        return little_ ? static_cast<std::uint16_t>(p[0] | p[1] << 8)
                       : static_cast<std::uint16_t>(p[0] << 8 | p[1]);
    }
    std::uint32_t u32(std::size_t i) const {
        const std::uint8_t *p = b_ + i;
        return little_ ? (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                          std::uint32_t(p[3]) << 24)
                       : (std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
                          std::uint32_t(p[3]));
    }
    std::uint64_t u64(std::size_t i) const {
        const std::uint64_t a = u32(i), b = u32(i + 4);
        return little_ ? (b << 32 | a) : (a << 32 | b);
    }

private:
    const std::uint8_t *b_;
    bool little_;
};

} // namespace

void exifEngine::store(const char *group, const char *key, Value v) {
    any_ = true;
    if (!group) {
        dict_.set(key, std::move(v));
        return;
    }
    Value *sub = dict_.find(group);
    if (!sub || !sub->dictionary()) {
        dict_.set(group, Dictionary{});
        sub = dict_.find(group);
    }
    sub->dictionary()->set(key, std::move(v));
}

std::optional<Dictionary> exifEngine::dictionary() const {
    if (!any_) return std::nullopt;
    return dict_;
}

void exifEngine::recordTag(ExifSource &file, unsigned tag, int type, std::uint32_t count, int directoryKind) {
    const std::int64_t start = file.tell();
    struct Restore {
        ExifSource &f;
        std::int64_t pos;
        ~Restore() { f.seek(pos); }
    } restore{file, start};

    if (directoryKind == kTIFFDirectory && (tag == 50706 || tag == 50707)) {
        // The DNG version tags are read as bytes, half the count.
        type = kByte;
        count /= 2;
    }
    if (directoryKind == kTIFFDirectory && tag == 46) {
        recordEmbeddedJpeg(file, count);
        return;
    }
    const TagRow *row = lookup(tag, directoryKind);
    if (!row || !row->store || !row->key) return;
    if (type == kIFD || type == kIFD8) return;

    int kind = type == kUndefined ? row->kind : kAsType;
    const int unit = kind == kAsType ? typeSize(type) : 1;
    if (unit == 0 || count == 0) return;
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * unit;
    const std::int64_t size = file.size();
    if (bytes > kMaxValueBytes || start < 0 ||
        (size >= 0 && static_cast<std::uint64_t>(size - start) < bytes))
        return; // runs past the file, or absurd
    std::vector<std::uint8_t> buf(bytes);
    if (file.read(buf.data(), buf.size()) != buf.size()) return;
    const Reader rd(buf.data(), littleEndian_);

    std::optional<Value> value;
    auto numbers = [&](auto get) {
        if (count == 1) {
            value = get(0);
            return;
        }
        Array a;
        a.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i)
            a.push_back(get(i));
        value = Value(std::move(a));
    };

    if (kind == kVersion) {
        if (count < 4) return;
        auto digit = [&](int i) { return static_cast<int>(buf[i]) - '0'; };
        const int major = 10 * digit(0) + digit(1);
        const int minor = buf[3] != '0' ? 10 * digit(2) + digit(3) : digit(2);
        value = Value(Array{major, minor});
    } else if (kind == kUserComment) {
        if (count < 9) return;
        const char *p = reinterpret_cast<const char *>(buf.data());
        if (std::strncmp(p, "UNICODE", 7) == 0) {
            std::vector<std::uint16_t> units;
            const std::size_t n = count / 2 >= 4 ? count / 2 - 4 : 0;
            for (std::size_t i = 0; i < n; ++i)
                units.push_back(rd.u16(8 + 2 * i));
            while (!units.empty() && (units.back() == 0 || units.back() == ' '))
                units.pop_back();
            if (units.empty()) return;
            value = Value(utf16ToUtf8(units));
        } else {
            std::size_t end = count;
            while (end > 8 && (buf[end - 1] == 0 || buf[end - 1] == ' '))
                --end;
            if (end <= 8) return; // nothing but the prefix
            value = Value(std::strncmp(p, "JIS", 3) == 0 ? jisToUtf8(p + 8, end - 8)
                                                         : latin1ToUtf8(p + 8, end - 8));
        }
    } else if (kind == kComponents) {
        numbers([&](std::uint32_t i) { return Value(static_cast<std::int32_t>(buf[i])); });
    } else {
        switch (type) {
        case kByte:
        case kUndefined:
            numbers([&](std::uint32_t i) { return Value(static_cast<std::int32_t>(buf[i])); });
            break;
        case kSByte:
            numbers([&](std::uint32_t i) {
                return Value(static_cast<std::int32_t>(static_cast<std::int8_t>(buf[i])));
            });
            break;
        case kAscii: {
            if (count < 2) return;
            const char *p = reinterpret_cast<const char *>(buf.data());
            const std::size_t n = strnlen(p, count - 1);
            if (n == 0) return;
            value = Value(latin1ToUtf8(p, n));
            break;
        }
        case kShort:
            numbers([&](std::uint32_t i) { return Value(static_cast<std::int32_t>(rd.u16(2 * i))); });
            break;
        case kSShort:
            numbers([&](std::uint32_t i) {
                return Value(static_cast<std::int32_t>(static_cast<std::int16_t>(rd.u16(2 * i))));
            });
            break;
        case kLong:
            numbers([&](std::uint32_t i) { return Value(static_cast<std::int64_t>(rd.u32(4 * i))); });
            break;
        case kSLong:
            numbers([&](std::uint32_t i) { return Value(static_cast<std::int32_t>(rd.u32(4 * i))); });
            break;
        case kRational:
            numbers([&](std::uint32_t i) {
                const std::uint32_t n = rd.u32(8 * i), d = rd.u32(8 * i + 4);
                return Value(d ? static_cast<double>(n) / d : 0.0);
            });
            break;
        case kSRational:
            numbers([&](std::uint32_t i) {
                const auto n = static_cast<std::int32_t>(rd.u32(8 * i)),
                           d = static_cast<std::int32_t>(rd.u32(8 * i + 4));
                return Value(d ? static_cast<double>(n) / d : 0.0);
            });
            break;
        case kFloat:
            numbers([&](std::uint32_t i) {
                const std::uint32_t bits = rd.u32(4 * i);
                float f;
                std::memcpy(&f, &bits, 4);
                return Value(static_cast<double>(f));
            });
            break;
        case kDouble:
            numbers([&](std::uint32_t i) {
                const std::uint64_t bits = rd.u64(8 * i);
                double d;
                std::memcpy(&d, &bits, 8);
                return Value(d);
            });
            break;
        case kLong8:
        case kSLong8:
            numbers([&](std::uint32_t i) { return Value(static_cast<std::int64_t>(rd.u64(8 * i))); });
            break;
        default:
            return;
        }
    }
    if (!value) return;

    // Adjustments.
    if (directoryKind == kTIFFDirectory && (tag == 256 || tag == 257)) {
        // The full image is the largest of the file's images.
        const auto v = value->toInt64();
        if (!v || *v < 0) return;
        std::uint32_t &largest = tag == 256 ? largestWidth_ : largestHeight_;
        if (static_cast<std::uint64_t>(*v) <= largest && largest != 0) return;
        largest = static_cast<std::uint32_t>(*v);
    }
    if (directoryKind == kTIFFDirectory && tag == 34855 && !value->isArray()) value = Value(Array{*value});
    if (directoryKind == kGPSDirectory && (tag == 2 || tag == 4 || tag == 20 || tag == 22) &&
        value->isArray() && value->array()->size() == 3) {
        const Array &a = *value->array();
        value = Value(a[0].toDouble().value_or(0) + a[1].toDouble().value_or(0) / 60 +
                      a[2].toDouble().value_or(0) / 3600);
    }
    if (directoryKind == kGPSDirectory && tag == 7 && value->isArray() && value->array()->size() == 3) {
        const Array &a = *value->array();
        char text[96];
        std::snprintf(text, sizeof text, "%2.0f:%2.0f:%2.2f", a[0].toDouble().value_or(0),
                      a[1].toDouble().value_or(0), a[2].toDouble().value_or(0));
        value = Value(std::string(text));
    }
    store(row->group, row->key, std::move(*value));
}

void exifEngine::recordEmbeddedJpeg(ExifSource &file, std::uint32_t count) {
    // Only the start of the JPEG matters: SOI, then segments up to an APP1
    // "Exif\0\0" block of at most 64 KiB.
    const std::int64_t start = file.tell(), size = file.size();
    if (start < 0 || size < start) return;
    const std::uint64_t available = static_cast<std::uint64_t>(size - start);
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>({std::uint64_t{count}, available, std::uint64_t{1} << 20}));
    std::vector<std::uint8_t> head(want);
    if (want < 4 || file.read(head.data(), want) != want) return;
    if (head[0] != 0xFF || head[1] != 0xD8) return;
    std::size_t pos = 2;
    while (pos + 4 <= want && head[pos] == 0xFF) {
        const int marker = head[pos + 1];
        const std::size_t len = static_cast<std::size_t>(head[pos + 2]) << 8 | head[pos + 3];
        if (len < 2) return;
        if (marker == 0xE1) {
            const std::size_t body = pos + 4, end = std::min(want, pos + 2 + len);
            if (end >= body + 6 && std::memcmp(head.data() + body, "Exif\0\0", 6) == 0 &&
                embeddedDepth_ < 2) {
                ++embeddedDepth_;
                const bool saved = littleEndian_;
                parseEmbeddedTiff(head.data() + body + 6, end - body - 6);
                littleEndian_ = saved;
                --embeddedDepth_;
            }
            return;
        }
        if (marker == 0xDA || marker == 0xD9) return; // image data: no EXIF block before it
        pos += 2 + len;
    }
}

std::string exifEngine::parseEmbeddedTiff(const std::uint8_t *data, std::size_t size) {
    auto fail = [&](const char *why) {
        embeddedStatus_ = why;
        return std::string(why);
    };
    if (!data || size < 8) return fail("TIFF file is too small to be valid");
    const bool little = data[0] == 'I' && data[1] == 'I';
    const bool big = data[0] == 'M' && data[1] == 'M';
    if (!little && !big) return fail("File magic number did not match");
    littleEndian_ = little;
    const Reader rd(data, little);
    if (rd.u16(2) != 42) return fail("File magic number did not match");
    const std::uint32_t ifd = rd.u32(4);
    if (ifd < 8 || ifd >= size) return fail("IFD Offset could not be read");
    MemoryExifSource src(data, size);
    embeddedStatus_ = "ok";
    parseIfd(src, ifd, kTIFFDirectory, 0);
    return embeddedStatus_;
}

void exifEngine::parseIfd(MemoryExifSource &src, std::uint32_t offset, int kind, int depth) {
    if (depth > 2) return; // IFD0, then the EXIF and GPS directories it points to
    std::uint8_t two[2];
    if (!src.seek(offset) || src.read(two, 2) != 2) {
        embeddedStatus_ = "IFD could not be read";
        return;
    }
    const std::uint16_t entries = littleEndian_ ? static_cast<std::uint16_t>(two[0] | two[1] << 8)
                                                : static_cast<std::uint16_t>(two[0] << 8 | two[1]);
    if (static_cast<std::uint64_t>(offset) + 2 + 12ull * entries > static_cast<std::uint64_t>(src.size())) {
        embeddedStatus_ = "IFD could not be read";
        return;
    }
    std::vector<std::pair<std::uint32_t, int>> children;
    for (unsigned e = 0; e < entries; ++e) {
        std::uint8_t ent[12];
        const std::int64_t at = offset + 2 + 12ll * e;
        if (!src.seek(at) || src.read(ent, 12) != 12) {
            embeddedStatus_ = "Data Error reading file";
            return;
        }
        const Reader rd(ent, littleEndian_);
        const unsigned tag = rd.u16(0);
        const int type = rd.u16(2);
        const std::uint32_t count = rd.u32(4);
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * typeSize(type);
        if (kind == kTIFFDirectory && (tag == 34665 || tag == 34853) && count >= 1) {
            children.emplace_back(rd.u32(8), tag == 34853 ? kGPSDirectory : kTIFFDirectory);
            continue;
        }
        const std::int64_t valueAt = bytes > 4 ? static_cast<std::int64_t>(rd.u32(8)) : at + 8;
        if (!src.seek(valueAt)) continue; // its value lies outside the block
        recordTag(src, tag, type, count, kind);
    }
    for (auto [child, childKind] : children)
        if (child >= 8 && child < src.size() && child != offset) parseIfd(src, child, childKind, depth + 1);
}

} // namespace orvanta
