#include "pcdToDNG.h"

#include "color/ColorSyncProfileWrap.h"
#include "color/ColorTransform.h"
#include "color/DngToneCurve.h"
#include "color/ProfileManager.h"
#include "orvanta/Version.h"
#include "platform/FileUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <lcms2.h>
#include <mutex>
#include <tiffio.h>

namespace orvanta {

namespace {

// DNG tags this libtiff does not know.
constexpr ttag_t kProfileName = 50936;
constexpr ttag_t kPreviewApplicationName = 50966, kPreviewApplicationVersion = 50967,
                 kPreviewSettingsName = 50968, kPreviewColorSpace = 50970, kPreviewDateTime = 50971;

const TIFFFieldInfo kDngFields[] = {
    {kProfileName, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("ProfileName")},
    {kPreviewApplicationName, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
     const_cast<char *>("PreviewApplicationName")},
    {kPreviewApplicationVersion, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0,
     const_cast<char *>("PreviewApplicationVersion")},
    {kPreviewSettingsName, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("PreviewSettingsName")},
    {kPreviewColorSpace, 1, 1, TIFF_LONG, FIELD_CUSTOM, 1, 0, const_cast<char *>("PreviewColorSpace")},
    {kPreviewDateTime, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char *>("PreviewDateTime")},
};

TIFFExtendProc previousExtender = nullptr;
void extendTags(TIFF *tif) {
    TIFFMergeFieldInfo(tif, kDngFields, sizeof kDngFields / sizeof kDngFields[0]);
    if (previousExtender) previousExtender(tif);
}
void registerTags() {
    static std::once_flag once;
    std::call_once(once, [] { previousExtender = TIFFSetTagExtender(extendTags); });
}

// The time now: EXIF's local "YYYY:MM:DD hh:mm:ss", or ISO 8601 in UTC.
std::string nowText(bool iso = false) {
    char out[40];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    if (iso)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
    std::strftime(out, sizeof out, iso ? "%Y-%m-%dT%H:%M:%SZ" : "%Y:%m:%d %H:%M:%S", &tm);
    return out;
}

// Text into a field, whether the field is ASCII or counted bytes (as some
// DNG text fields are).
void setText(TIFF *tif, ttag_t tag, const std::string &text) {
    if (text.empty()) return;
    const TIFFField *f = TIFFFieldWithTag(tif, tag);
    if (f && TIFFFieldPassCount(f))
        TIFFSetField(tif, tag, static_cast<std::uint32_t>(text.size() + 1), text.c_str());
    else
        TIFFSetField(tif, tag, text.c_str());
}

// A number in a field of whatever numeric type the field has; fields of
// other types (undefined bytes, text) are left out.
void setNumber(TIFF *tif, ttag_t tag, double v) {
    const TIFFField *f = TIFFFieldWithTag(tif, tag);
    if (!f || !std::isfinite(v)) return;
    const TIFFDataType type = TIFFFieldDataType(f);
    if (TIFFFieldPassCount(f)) {
        if (type != TIFF_SHORT) return;
        const std::uint16_t s = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
        TIFFSetField(tif, tag, 1, &s);
        return;
    }
    switch (type) {
    case TIFF_RATIONAL:
        if (v >= 0) TIFFSetField(tif, tag, v);
        break;
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
    case TIFF_DOUBLE:
        TIFFSetField(tif, tag, v);
        break;
    case TIFF_SHORT:
        TIFFSetField(tif, tag, static_cast<int>(std::clamp(v, 0.0, 65535.0)));
        break;
    case TIFF_LONG:
        TIFFSetField(tif, tag, static_cast<std::uint32_t>(std::clamp(v, 0.0, 4294967295.0)));
        break;
    default:
        break;
    }
}

} // namespace

pcdToDNG::pcdToDNG(int width, int height) : width_(width), height_(height) {
    registerTags();
}

void pcdToDNG::colorMatrix(double m[9]) {
    // ProPhoto RGB to XYZ (D50), then its inverse.
    const double a[9] = {0.7977, 0.1352, 0.0313, 0.2880, 0.7119, 0.0001, 0, 0, 0.8249};
    const double det = a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
                       a[2] * (a[3] * a[7] - a[4] * a[6]);
    m[0] = (a[4] * a[8] - a[5] * a[7]) / det;
    m[1] = (a[2] * a[7] - a[1] * a[8]) / det;
    m[2] = (a[1] * a[5] - a[2] * a[4]) / det;
    m[3] = (a[5] * a[6] - a[3] * a[8]) / det;
    m[4] = (a[0] * a[8] - a[2] * a[6]) / det;
    m[5] = (a[2] * a[3] - a[0] * a[5]) / det;
    m[6] = (a[3] * a[7] - a[4] * a[6]) / det;
    m[7] = (a[1] * a[6] - a[0] * a[7]) / det;
    m[8] = (a[0] * a[4] - a[1] * a[3]) / det;
}

void pcdToDNG::renderDefault(const float in[3], float out[3]) {
    // The tone curve on the largest and smallest channel, the middle one
    // kept in proportion, so hues do not shift.
    float v[3];
    for (int c = 0; c < 3; ++c)
        v[c] = std::clamp(in[c], 0.0f, 1.0f);
    int hi = 0, lo = 0;
    for (int c = 1; c < 3; ++c) {
        if (v[c] > v[hi]) hi = c;
        if (v[c] < v[lo]) lo = c;
    }
    if (hi == lo) {
        const float t = static_cast<float>(dng::acr3Default(v[0]));
        out[0] = out[1] = out[2] = t;
        return;
    }
    const int mid = 3 - hi - lo;
    const float th = static_cast<float>(dng::acr3Default(v[hi])),
                tl = static_cast<float>(dng::acr3Default(v[lo]));
    out[hi] = th, out[lo] = tl;
    out[mid] = tl + (th - tl) * (v[mid] - v[lo]) / (v[hi] - v[lo]);
}

float pcdToDNG::prophotoEncode(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return v < 1.0f / 512 ? 16.0f * v : std::pow(v, 1.0f / 1.8f);
}

std::vector<std::uint8_t> pcdToDNG::prophotoProfile() {
    const cmsCIExyY white = {0.3457, 0.3585, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.7347, 0.2653, 1.0}, {0.1596, 0.8404, 1.0}, {0.0366, 0.0001, 1.0}};
    // Decoding: linear = encoded / 16 below 1/32, else encoded ^ 1.8.
    const double params[5] = {1.8, 1.0, 0.0, 1.0 / 16, 1.0 / 32};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    std::vector<std::uint8_t> bytes;
    if (p) {
        cmsMLU *desc = cmsMLUalloc(nullptr, 1);
        cmsMLUsetASCII(desc, "en", "US", "ProPhoto RGB");
        cmsWriteTag(p, cmsSigProfileDescriptionTag, desc);
        cmsMLUfree(desc);
        cmsUInt32Number size = 0;
        if (cmsSaveProfileToMem(p, nullptr, &size) && size) {
            bytes.resize(size);
            if (!cmsSaveProfileToMem(p, bytes.data(), &size)) bytes.clear();
        }
        cmsCloseProfile(p);
    }
    cmsFreeToneCurve(curve);
    return bytes;
}

void pcdToDNG::setImageTags(TIFF *tif, int w, int h, int bits, int photometric) const {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, std::max(1, (1 << 20) / (w * 3 * bits / 8)));
}

void pcdToDNG::setIdentification(TIFF *tif) const {
    TIFFSetField(tif, TIFFTAG_ORIENTATION, orientation_);
    setText(tif, TIFFTAG_MAKE, make);
    setText(tif, TIFFTAG_MODEL, model);
    setText(tif, TIFFTAG_SOFTWARE, software);
    setText(tif, TIFFTAG_ARTIST, artist);
    setText(tif, TIFFTAG_COPYRIGHT, copyright);
    setText(tif, TIFFTAG_IMAGEDESCRIPTION, imageDescription);
    TIFFSetField(tif, TIFFTAG_DATETIME, nowText().c_str());
}

int pcdToDNG::prepare(const std::uint16_t *rgb, int orientation) {
    if (!rgb || width_ <= 0 || height_ <= 0) return dng_error_bad_format;
    pixels_ = rgb;
    orientation_ = orientation >= 1 && orientation <= 8 ? orientation : 1;
    return dng_error_none;
}

std::vector<std::uint8_t> pcdToDNG::preview(int &pw, int &ph) const {
    const double f = std::max(1.0, std::max(width_, height_) / 256.0);
    pw = std::max(1, static_cast<int>(width_ / f));
    ph = std::max(1, static_cast<int>(height_ / f));
    // Box-average each preview pixel's area, render it, then to sRGB.
    std::vector<float> rgba(static_cast<std::size_t>(pw) * ph * 4);
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x) {
            const int x0 = static_cast<int>(x * f), x1 = std::max(x0 + 1, static_cast<int>((x + 1) * f));
            const int y0 = static_cast<int>(y * f), y1 = std::max(y0 + 1, static_cast<int>((y + 1) * f));
            double sum[3] = {0, 0, 0};
            int n = 0;
            for (int yy = y0; yy < std::min(y1, height_); ++yy)
                for (int xx = x0; xx < std::min(x1, width_); ++xx, ++n)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += pixels_[(static_cast<std::size_t>(yy) * width_ + xx) * 3 + c];
            float lin[3];
            for (int c = 0; c < 3; ++c)
                lin[c] = n ? static_cast<float>(sum[c] / n / 65535.0) : 0.0f;
            float *o = &rgba[(static_cast<std::size_t>(y) * pw + x) * 4];
            renderDefault(lin, o);
            o[3] = 1;
        }
    auto &pm = ProfileManager::sharedManager();
    if (auto t = ColorTransform::create(pm.getProPhotoGamma1Profile(), pm.getSRGBProfile()))
        t->convert(rgba.data(), static_cast<std::size_t>(pw) * 16, rgba.data(),
                   static_cast<std::size_t>(pw) * 16, pw, ph);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(pw) * ph * 3);
    for (std::size_t i = 0, j = 0; i < rgba.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            out[j++] = static_cast<std::uint8_t>(std::lround(std::clamp(rgba[i + c], 0.0f, 1.0f) * 255));
    return out;
}

int pcdToDNG::write(const std::string &path, const std::optional<std::string> &embedFile,
                    const std::string &type) {
    if (!pixels_) return dng_error_unknown;
    if (embedFile) originalRawFileName = embedFile->substr(embedFile->find_last_of('/') + 1);
    std::string lower = type;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("dng") != std::string::npos) return writeDNG(path);
    if (lower.find("tif") != std::string::npos) return writeTIFF(path);
    return dng_error_unknown;
}

int pcdToDNG::writeDNG(const std::string &path) {
    // Classic TIFF offsets are 32-bit: the image must fit in 4 GiB.
    const std::uint64_t bytes = static_cast<std::uint64_t>(width_) * height_ * 6;
    if (bytes >= (1ull << 32) - (1ull << 24)) return dng_error_image_too_big_dng;
    int pw = 0, ph = 0;
    const std::vector<std::uint8_t> small = preview(pw, ph);
    ReplacementFile file(path);
    if (!file.ok()) return dng_error_open_file;
    int result = dng_error_write_file;
    TIFF *tif = TIFFOpen(file.path().c_str(), "w");
    if (tif) {
        bool ok = true;
        // The EXIF directory first, so that IFD 0 can point at it.
        TIFFCreateEXIFDirectory(tif);
        TIFFSetField(tif, EXIFTAG_EXIFVERSION, "0230");
        setText(tif, EXIFTAG_DATETIMEORIGINAL, dateTimeOriginal);
        setText(tif, EXIFTAG_DATETIMEDIGITIZED, dateTimeDigitized);
        if (!userComment.empty()) {
            std::string comment = std::string("ASCII\0\0\0", 8) + userComment;
            TIFFSetField(tif, EXIFTAG_USERCOMMENT, static_cast<std::uint32_t>(comment.size()),
                         comment.data());
        }
        for (const auto &[tag, text] : exifText)
            setText(tif, tag, text);
        for (const auto &[tag, v] : exifNumber)
            setNumber(tif, tag, v);
        std::uint64_t exifOffset = 0;
        ok = TIFFWriteCustomDirectory(tif, &exifOffset);
        TIFFFreeDirectory(tif);
        TIFFCreateDirectory(tif);

        // IFD 0: the preview and the DNG tags.
        const std::uint8_t version[4] = {1, 4, 0, 0}, backward[4] = {1, 1, 0, 0};
        double matrix[9];
        colorMatrix(matrix);
        float cm[9];
        for (int i = 0; i < 9; ++i)
            cm[i] = static_cast<float>(matrix[i]);
        // The as-shot white is D50, the camera space's own white, whose
        // neutral is (1, 1, 1): written as AsShotNeutral, the form every
        // reader understands (the two tags are not to be written together).
        const float asShotNeutral[3] = {1.0f, 1.0f, 1.0f};
        const std::string unique = make + " " + model;
        std::uint64_t subOffset = 0;
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
        setImageTags(tif, pw, ph, 8, PHOTOMETRIC_RGB);
        setIdentification(tif);
        TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
        TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backward);
        setText(tif, TIFFTAG_UNIQUECAMERAMODEL, unique);
        setText(tif, TIFFTAG_LOCALIZEDCAMERAMODEL, unique);
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, cm);
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 23);
        TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, asShotNeutral);
        TIFFSetField(tif, kProfileName, "Orvanta DNG Profile");
        setText(tif, TIFFTAG_ORIGINALRAWFILENAME, originalRawFileName);
        TIFFSetField(tif, kPreviewApplicationName, software.empty() ? "Orvanta" : software.c_str());
        TIFFSetField(tif, kPreviewApplicationVersion, "1.0");
        TIFFSetField(tif, kPreviewSettingsName, "Default");
        TIFFSetField(tif, kPreviewColorSpace, 2u); // sRGB
        TIFFSetField(tif, kPreviewDateTime, nowText(true).c_str());
        TIFFSetField(tif, TIFFTAG_EXIFIFD, exifOffset);
        TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &subOffset);
        for (int y = 0; ok && y < ph; ++y)
            ok = TIFFWriteScanline(
                     tif, const_cast<std::uint8_t *>(small.data()) + static_cast<std::size_t>(y) * pw * 3,
                     static_cast<std::uint32_t>(y), 0) >= 0;
        ok = ok && TIFFWriteDirectory(tif);

        // The SubIFD: the linear raw image.
        const std::uint32_t white = 65535;
        const float black[3] = {0, 0, 0};
        const std::uint16_t blackRepeat[2] = {1, 1};
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
        setImageTags(tif, width_, height_, 16, 34892); // LinearRaw
        TIFFSetField(tif, TIFFTAG_BLACKLEVELREPEATDIM, blackRepeat);
        TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 3, black);
        TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);
        for (int y = 0; ok && y < height_; ++y)
            ok = TIFFWriteScanline(
                     tif, const_cast<std::uint16_t *>(pixels_) + static_cast<std::size_t>(y) * width_ * 3,
                     static_cast<std::uint32_t>(y), 0) >= 0;
        ok = ok && TIFFWriteDirectory(tif);
        TIFFClose(tif);
        if (ok) result = file.commit() ? dng_error_none : dng_error_write_file;
    }
    return result;
}

int pcdToDNG::writeTIFF(const std::string &path) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(width_) * height_ * 6;
    if (bytes >= (1ull << 32) - (1ull << 24)) return dng_error_image_too_big_tiff;
    ReplacementFile file(path);
    if (!file.ok()) return dng_error_open_file;
    const std::vector<std::uint8_t> icc = prophotoProfile();
    // The encoding as a table over the 16-bit linear values.
    std::vector<std::uint16_t> encode(65536);
    for (int i = 0; i < 65536; ++i)
        encode[i] = static_cast<std::uint16_t>(std::lround(prophotoEncode(i / 65535.0f) * 65535));
    int result = dng_error_write_file;
    if (TIFF *tif = TIFFOpen(file.path().c_str(), "w")) {
        setImageTags(tif, width_, height_, 16, PHOTOMETRIC_RGB);
        setIdentification(tif);
        if (!icc.empty())
            TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
        std::vector<std::uint16_t> row(static_cast<std::size_t>(width_) * 3);
        bool ok = true;
        for (int y = 0; ok && y < height_; ++y) {
            const std::uint16_t *in = pixels_ + static_cast<std::size_t>(y) * width_ * 3;
            for (int x = 0; x < width_; ++x) {
                float lin[3], toned[3];
                for (int c = 0; c < 3; ++c)
                    lin[c] = in[3 * x + c] / 65535.0f;
                renderDefault(lin, toned);
                for (int c = 0; c < 3; ++c)
                    row[3 * static_cast<std::size_t>(x) + c] = encode[static_cast<std::size_t>(
                        std::lround(std::clamp(toned[c], 0.0f, 1.0f) * 65535))];
            }
            ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) >= 0;
        }
        ok = ok && TIFFWriteDirectory(tif);
        TIFFClose(tif);
        if (ok) result = file.commit() ? dng_error_none : dng_error_write_file;
    }
    return result;
}

} // namespace orvanta
