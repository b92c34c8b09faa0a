#include "JpegWriter.h"

#include "MetadataDecode.h"
#include "platform/FileUtil.h"
#include "platform/ImagePropertyKeys.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <jpeglib.h>
#include <memory>
#include <string_view>

namespace orvanta {

namespace ip = imageprops;

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr cinfo) {
    auto *e = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}

// The libjpeg part, free of C++ objects that a longjmp would skip:
// compresses into a malloc'ed buffer; false with the library's message.
bool compressRaw(const std::uint16_t *rgb, int w, int h, int quality, const std::uint8_t *icc,
                 unsigned iccSize, JSAMPLE *row, unsigned char **buffer, unsigned long *size, char *message) {
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    if (setjmp(err.jump)) {
        std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, buffer, size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (iccSize) jpeg_write_icc_profile(&cinfo, icc, iccSize);
    for (int y = 0; y < h; ++y) {
        const std::uint16_t *in = rgb + static_cast<std::size_t>(y) * w * 3;
        for (int i = 0; i < w * 3; ++i)
            row[i] = static_cast<JSAMPLE>((in[i] * 255u + 32767u) / 65535u);
        JSAMPROW p = row;
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bool compress(const std::uint16_t *rgb, int w, int h, int quality, const std::vector<std::uint8_t> &icc,
              std::string &out, std::string *message) {
    std::vector<JSAMPLE> row(static_cast<std::size_t>(w) * 3);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    char text[JMSG_LENGTH_MAX] = {};
    const bool ok = compressRaw(rgb, w, h, quality, icc.data(), static_cast<unsigned>(icc.size()), row.data(),
                                &buffer, &size, text);
    if (ok) out.assign(reinterpret_cast<const char *>(buffer), size);
    std::free(buffer);
    if (!ok && message) *message = text;
    return ok;
}

void setText(Exiv2::ExifData &exif, const char *key, const Dictionary &d, const char *property) {
    if (auto t = decodeObject(d, property, nullptr, nullptr)) exif[key] = *t;
}

void setRational(Exiv2::ExifData &exif, const char *key, const Dictionary &d, const char *property,
                 bool isSigned) {
    double f = 0;
    if (!decodeObject(d, property, nullptr, &f) || !std::isfinite(f)) return;
    if (isSigned)
        exif[key] = Exiv2::floatToRationalCast(static_cast<float>(f));
    else if (f >= 0) {
        const Exiv2::Rational r = Exiv2::floatToRationalCast(static_cast<float>(f));
        exif[key] =
            Exiv2::URational(static_cast<std::uint32_t>(r.first), static_cast<std::uint32_t>(r.second));
    }
}

void setShort(Exiv2::ExifData &exif, const char *key, const Dictionary &d, const char *property) {
    std::int64_t i = 0;
    if (decodeObject(d, property, &i, nullptr) && i >= 0 && i <= 65535)
        exif[key] = static_cast<std::uint16_t>(i);
}

// The image properties as EXIF; the pixels are upright, so orientation 1.
void fillExif(Exiv2::ExifData &exif, const Dictionary &meta) {
    exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(1);
    if (const Value *t = meta.get(ip::kTIFFDictionary); t && t->dictionary()) {
        const Dictionary &d = *t->dictionary();
        setText(exif, "Exif.Image.Make", d, ip::kTIFFMake);
        setText(exif, "Exif.Image.Model", d, ip::kTIFFModel);
        setText(exif, "Exif.Image.Software", d, ip::kTIFFSoftware);
        setText(exif, "Exif.Image.DateTime", d, ip::kTIFFDateTime);
        setText(exif, "Exif.Image.Artist", d, ip::kTIFFArtist);
        setText(exif, "Exif.Image.Copyright", d, ip::kTIFFCopyright);
        setText(exif, "Exif.Image.ImageDescription", d, ip::kTIFFImageDescription);
    }
    if (const Value *e = meta.get(ip::kExifDictionary); e && e->dictionary()) {
        const Dictionary &d = *e->dictionary();
        setRational(exif, "Exif.Photo.ExposureTime", d, ip::kExifExposureTime, false);
        setRational(exif, "Exif.Photo.FNumber", d, ip::kExifFNumber, false);
        setShort(exif, "Exif.Photo.ExposureProgram", d, ip::kExifExposureProgram);
        setShort(exif, "Exif.Photo.ISOSpeedRatings", d, ip::kExifISOSpeedRatings);
        setText(exif, "Exif.Photo.DateTimeOriginal", d, ip::kExifDateTimeOriginal);
        setText(exif, "Exif.Photo.DateTimeDigitized", d, ip::kExifDateTimeDigitized);
        setRational(exif, "Exif.Photo.ShutterSpeedValue", d, ip::kExifShutterSpeedValue, true);
        setRational(exif, "Exif.Photo.ApertureValue", d, ip::kExifApertureValue, false);
        setRational(exif, "Exif.Photo.ExposureBiasValue", d, ip::kExifExposureBiasValue, true);
        setRational(exif, "Exif.Photo.MaxApertureValue", d, ip::kExifMaxApertureValue, false);
        setRational(exif, "Exif.Photo.SubjectDistance", d, ip::kExifSubjectDistance, false);
        setShort(exif, "Exif.Photo.MeteringMode", d, ip::kExifMeteringMode);
        setShort(exif, "Exif.Photo.LightSource", d, ip::kExifLightSource);
        setShort(exif, "Exif.Photo.Flash", d, ip::kExifFlash);
        setRational(exif, "Exif.Photo.FocalLength", d, ip::kExifFocalLength, false);
        if (auto c = decodeObject(d, ip::kExifUserComment, nullptr, nullptr))
            exif["Exif.Photo.UserComment"] = "charset=Ascii " + *c;
        setText(exif, "Exif.Photo.LensModel", d, ip::kExifLensModel);
    }
    if (const Value *a = meta.get(ip::kExifAuxDictionary); a && a->dictionary())
        setText(exif, "Exif.Photo.LensModel", *a->dictionary(), ip::kExifAuxLensModel);
}

} // namespace

int JpegWriter::libjpegQuality(float quality) {
    if (!std::isfinite(quality)) quality = 1;
    return std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
}

bool JpegWriter::write(const std::string &path, const std::uint16_t *rgb, int width, int height,
                       float quality, const Dictionary &metaData, const std::vector<std::uint8_t> &iccProfile,
                       std::string *message) {
    if (!rgb || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        if (message) *message = "The image cannot be written as JPEG.";
        return false;
    }
    std::string bytes;
    if (!compress(rgb, width, height, libjpegQuality(quality), iccProfile, bytes, message)) return false;
    try {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(bytes.data()),
                                               static_cast<long>(bytes.size()));
        image->readMetadata();
        fillExif(image->exifData(), metaData);
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf data = io.read(static_cast<long>(io.size()));
        bytes.assign(reinterpret_cast<const char *>(data.pData_), static_cast<std::size_t>(data.size_));
    } catch (const std::exception &e) {
        if (message) *message = e.what();
        return false;
    }
    Error error;
    if (!writeFileAtomically(path, bytes, &error)) {
        if (message) *message = error.reason;
        return false;
    }
    return true;
}

} // namespace orvanta
