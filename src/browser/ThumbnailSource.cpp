#include "ThumbnailSource.h"

#include "export/PngFile.h"
#include "input/DCRaw.h"
#include "photocd/dcpWrapper.h"

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <libraw/libraw.h>
#include <memory>
#include <mutex>
#include <tiffio.h>

namespace orvanta {

namespace {

constexpr const char *kDomain = "ThumbnailErrorDomain";

std::string lowerExtension(const std::string &path) {
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = path.substr(dot + 1);
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return e;
}

// Shrinks by averaging whole source boxes so that both sides fit maxSize.
Thumbnail fit(Thumbnail t, int maxSize) {
    if (maxSize <= 0 || (t.width <= maxSize && t.height <= maxSize)) return t;
    const double scale = double(maxSize) / std::max(t.width, t.height);
    Thumbnail out;
    out.width = std::max(1, int(t.width * scale + 0.5));
    out.height = std::max(1, int(t.height * scale + 0.5));
    out.rgba.resize(std::size_t(out.width) * out.height * 4);
    for (int y = 0; y < out.height; ++y) {
        const int y0 = int(std::int64_t(y) * t.height / out.height),
                  y1 = std::max(y0 + 1, int(std::int64_t(y + 1) * t.height / out.height));
        for (int x = 0; x < out.width; ++x) {
            const int x0 = int(std::int64_t(x) * t.width / out.width),
                      x1 = std::max(x0 + 1, int(std::int64_t(x + 1) * t.width / out.width));
            unsigned sum[4] = {};
            for (int sy = y0; sy < y1; ++sy)
                for (int sx = x0; sx < x1; ++sx)
                    for (int c = 0; c < 4; ++c)
                        sum[c] += t.rgba[(std::size_t(sy) * t.width + sx) * 4 + c];
            const unsigned n = unsigned((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 4; ++c)
                out.rgba[(std::size_t(y) * out.width + x) * 4 + c] = std::uint8_t((sum[c] + n / 2) / n);
        }
    }
    return out;
}

// Turns a picture by a LibRaw flip code (3: 180°, 5: 90° counter-clockwise,
// 6: 90° clockwise).
Thumbnail turned(const Thumbnail &t, int flip) {
    if (flip != 3 && flip != 5 && flip != 6) return t;
    Thumbnail out;
    out.width = flip == 3 ? t.width : t.height;
    out.height = flip == 3 ? t.height : t.width;
    out.rgba.resize(t.rgba.size());
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x) {
            int ox, oy;
            if (flip == 3)
                ox = t.width - 1 - x, oy = t.height - 1 - y;
            else if (flip == 5)
                ox = y, oy = t.width - 1 - x;
            else
                ox = t.height - 1 - y, oy = x;
            std::memcpy(&out.rgba[(std::size_t(oy) * out.width + ox) * 4],
                        &t.rgba[(std::size_t(y) * t.width + x) * 4], 4);
        }
    return out;
}

Thumbnail fromRgb8(int w, int h, const std::uint8_t *rgb, std::size_t rowBytes, int channels) {
    Thumbnail t;
    t.width = w, t.height = h;
    t.rgba.resize(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t *p = rgb + y * rowBytes + std::size_t(x) * channels;
            std::uint8_t *o = &t.rgba[(std::size_t(y) * w + x) * 4];
            o[0] = p[0], o[1] = channels >= 3 ? p[1] : p[0], o[2] = channels >= 3 ? p[2] : p[0], o[3] = 255;
        }
    return t;
}

struct JpegFailure {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

void onJpegError(j_common_ptr info) {
    auto *f = reinterpret_cast<JpegFailure *>(info->err);
    info->err->format_message(info, f->text);
    std::longjmp(f->jump, 1);
}

// Decodes a JPEG from memory, scaled down by the library to no less than
// maxSize where it can.
std::optional<Thumbnail> decodeJpeg(const std::uint8_t *data, std::size_t size, int maxSize, Error *error) {
    jpeg_decompress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.mgr);
    failure.mgr.error_exit = onJpegError;
    std::vector<std::uint8_t> pixels;
    int w = 0, h = 0;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&info);
        setError(error, Error(kDomain, -2, failure.text));
        return std::nullopt;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    const int longest = int(std::max(info.image_width, info.image_height));
    info.scale_num = 1, info.scale_denom = 1;
    for (int d : {8, 4, 2})
        if (maxSize > 0 && longest / d >= maxSize) {
            info.scale_denom = unsigned(d);
            break;
        }
    jpeg_start_decompress(&info);
    w = int(info.output_width), h = int(info.output_height);
    pixels.resize(std::size_t(w) * h * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + std::size_t(info.output_scanline) * w * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return fromRgb8(w, h, pixels.data(), std::size_t(w) * 3, 3);
}

std::optional<Thumbnail> photoCD(const std::string &path, Error *error) {
    dcpWrapper wrapper(path, path, true);
    const auto picture = wrapper.getImageRep();
    if (!picture) {
        setError(error, wrapper.error() ? *wrapper.error() : Error(kDomain, -1, "No picture in " + path));
        return std::nullopt;
    }
    const BitmapImage &b = *picture->bitmap;
    Thumbnail t;
    t.width = b.width, t.height = b.height;
    t.rgba.resize(std::size_t(t.width) * t.height * 4);
    for (int y = 0; y < t.height; ++y) {
        const auto *row = reinterpret_cast<const std::uint16_t *>(b.data + y * b.bytesPerRow);
        for (int i = 0; i < t.width * 4; ++i)
            t.rgba[std::size_t(y) * t.width * 4 + i] = std::uint8_t((row[i] * 255u + 32767u) / 65535u);
    }
    return t;
}

std::optional<Thumbnail> png(const std::string &path, Error *error) {
    const auto image = readPng(path, error);
    if (!image) return std::nullopt;
    Thumbnail t;
    t.width = image->width, t.height = image->height;
    t.rgba.resize(std::size_t(t.width) * t.height * 4);
    const int shift = image->bitDepth == 16 ? 8 : 0;
    for (std::size_t i = 0; i < std::size_t(t.width) * t.height; ++i) {
        const std::uint16_t *p = &image->samples[i * image->channels];
        const bool colour = image->channels >= 3, alpha = image->channels == 2 || image->channels == 4;
        t.rgba[4 * i] = std::uint8_t(p[0] >> shift);
        t.rgba[4 * i + 1] = std::uint8_t((colour ? p[1] : p[0]) >> shift);
        t.rgba[4 * i + 2] = std::uint8_t((colour ? p[2] : p[0]) >> shift);
        t.rgba[4 * i + 3] = alpha ? std::uint8_t(p[image->channels - 1] >> shift) : 255;
    }
    return t;
}

std::optional<Thumbnail> tiff(const std::string &path, Error *error) {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    std::unique_ptr<TIFF, void (*)(TIFF *)> tif(TIFFOpen(path.c_str(), "r"), [](TIFF *t) {
        if (t) TIFFClose(t);
    });
    std::uint32_t w = 0, h = 0;
    if (!tif || !TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) ||
        !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h) || w == 0 || h == 0 ||
        std::uint64_t(w) * h > (std::uint64_t(1) << 28)) {
        setError(error, Error(kDomain, -3, "Not a readable TIFF file"));
        return std::nullopt;
    }
    Thumbnail t;
    t.width = int(w), t.height = int(h);
    std::vector<std::uint32_t> raster(std::size_t(w) * h);
    if (!TIFFReadRGBAImageOriented(tif.get(), w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
        setError(error, Error(kDomain, -3, "Not a readable TIFF file"));
        return std::nullopt;
    }
    t.rgba.resize(raster.size() * 4);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        const std::uint32_t p = raster[i];
        t.rgba[4 * i] = TIFFGetR(p), t.rgba[4 * i + 1] = TIFFGetG(p), t.rgba[4 * i + 2] = TIFFGetB(p),
                   t.rgba[4 * i + 3] = TIFFGetA(p);
    }
    return t;
}

std::optional<Thumbnail> raw(const std::string &path, int maxSize, Error *error) try {
    // One raw decode at a time, as for documents: a half-size development
    // of a large raw takes hundreds of megabytes.
    std::lock_guard decodeLock(DCRaw::lock());
    auto lr = std::make_unique<LibRaw>();
    int status = lr->open_file(path.c_str());
    if (status != LIBRAW_SUCCESS) {
        setError(error, Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, libraw_strerror(status)));
        return std::nullopt;
    }
    const int flip = lr->imgdata.sizes.flip;
    std::optional<Thumbnail> t;
    if (lr->unpack_thumb() == LIBRAW_SUCCESS) {
        const auto &th = lr->imgdata.thumbnail;
        if (th.tformat == LIBRAW_THUMBNAIL_JPEG && th.thumb && th.tlength)
            t = decodeJpeg(reinterpret_cast<const std::uint8_t *>(th.thumb), th.tlength, maxSize, nullptr);
        else if (th.tformat == LIBRAW_THUMBNAIL_BITMAP && th.thumb && th.tcolors == 3 &&
                 std::size_t(th.twidth) * th.theight * 3 <= th.tlength)
            t = fromRgb8(th.twidth, th.theight, reinterpret_cast<const std::uint8_t *>(th.thumb),
                         std::size_t(th.twidth) * 3, 3);
        if (t) return turned(*t, flip);
    }
    // No usable preview: a quick half-size development (already turned).
    lr->imgdata.params.half_size = 1;
    lr->imgdata.params.use_camera_wb = 1;
    if ((status = lr->unpack()) != LIBRAW_SUCCESS || (status = lr->dcraw_process()) != LIBRAW_SUCCESS) {
        setError(error, Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, libraw_strerror(status)));
        return std::nullopt;
    }
    libraw_processed_image_t *img = lr->dcraw_make_mem_image(&status);
    if (!img || img->type != LIBRAW_IMAGE_BITMAP || img->bits != 8 ||
        (img->colors != 3 && img->colors != 1)) {
        if (img) LibRaw::dcraw_clear_mem(img);
        setError(error, Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, libraw_strerror(status)));
        return std::nullopt;
    }
    t = fromRgb8(img->width, img->height, img->data, std::size_t(img->width) * img->colors, img->colors);
    LibRaw::dcraw_clear_mem(img);
    return t;
} catch (...) { // the library's exceptions and allocation failures stay here
    setError(error, Error(kRawOpenErrorDomain, kRawOpenDecodeFailed, "Raw format not recognized."));
    return std::nullopt;
}

} // namespace

bool isPhotoCDFile(const std::string &path) {
    return lowerExtension(path) == "pcd";
}

std::optional<Thumbnail> makeThumbnail(const std::string &path, int maxSize, Error *error) {
    const std::string ext = lowerExtension(path);
    std::optional<Thumbnail> t;
    if (ext == "pcd") {
        t = photoCD(path, error);
    } else if (ext == "jpg" || ext == "jpeg") {
        std::FILE *f = std::fopen(path.c_str(), "rb");
        if (!f) {
            setError(error, Error(kDomain, -4, "Could not open " + path));
            return std::nullopt;
        }
        std::vector<std::uint8_t> bytes;
        std::uint8_t buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
        t = decodeJpeg(bytes.data(), bytes.size(), maxSize, error);
    } else if (ext == "png") {
        t = png(path, error);
    } else if (ext == "tif" || ext == "tiff") {
        t = tiff(path, error);
    } else {
        t = raw(path, maxSize, error);
    }
    if (!t) return std::nullopt;
    return fit(std::move(*t), maxSize);
}

} // namespace orvanta
