#include "PngFile.h"

#include "platform/FileUtil.h"

#include <csetjmp>
#include <cstdio>
#include <png.h>

namespace orvanta {

namespace {

constexpr const char *kDomain = "PngFileErrorDomain";

struct ErrorText {
    std::string text;
};

void onError(png_structp png, png_const_charp message) {
    static_cast<ErrorText *>(png_get_error_ptr(png))->text = message ? message : "PNG error";
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

int colorType(int channels) {
    switch (channels) {
    case 1:
        return PNG_COLOR_TYPE_GRAY;
    case 2:
        return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 3:
        return PNG_COLOR_TYPE_RGB;
    default:
        return PNG_COLOR_TYPE_RGB_ALPHA;
    }
}

} // namespace

bool writePng(const std::string &path, int width, int height, int channels, int bitDepth,
              const std::uint16_t *samples, Error *error) {
    if (width <= 0 || height <= 0 || channels < 1 || channels > 4 || (bitDepth != 8 && bitDepth != 16) ||
        !samples) {
        setError(error, Error(kDomain, -1, "Invalid image for a PNG file"));
        return false;
    }
    ReplacementFile out(path, error);
    if (!out.ok()) return false;
    std::FILE *f = std::fopen(out.path().c_str(), "wb");
    if (!f) {
        setError(error, Error(kDomain, -2, "Could not create " + path));
        return false;
    }
    ErrorText failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const std::size_t rowSamples = std::size_t(width) * channels;
    std::vector<png_byte> row(rowSamples * (bitDepth / 8));
    volatile bool ok = png && info;
    if (ok && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bitDepth, colorType(channels),
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y) {
            const std::uint16_t *s = samples + std::size_t(y) * rowSamples;
            for (std::size_t i = 0; i < rowSamples; ++i) {
                if (bitDepth == 8) {
                    row[i] = png_byte(s[i]);
                } else { // PNG stores 16-bit samples big-endian
                    row[2 * i] = png_byte(s[i] >> 8);
                    row[2 * i + 1] = png_byte(s[i]);
                }
            }
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
    } else {
        ok = false;
    }
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        setError(error, Error(kDomain, -3, failure.text.empty() ? "Could not write " + path : failure.text));
        return false;
    }
    return out.commit(error);
}

std::optional<PngImage> readPng(const std::string &path, Error *error) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        setError(error, Error(kDomain, -4, "Could not open " + path));
        return std::nullopt;
    }
    ErrorText failure;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::optional<PngImage> result;
    std::vector<png_byte> row;
    if (png && info && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        png_set_expand(png); // palettes and low bit depths to 8 bits
        png_read_update_info(png, info);
        PngImage image;
        image.width = int(png_get_image_width(png, info));
        image.height = int(png_get_image_height(png, info));
        image.channels = png_get_channels(png, info);
        image.bitDepth = png_get_bit_depth(png, info);
        const std::size_t rowBytes = png_get_rowbytes(png, info);
        const std::size_t rowSamples = std::size_t(image.width) * image.channels;
        std::vector<png_bytep> rows(image.height);
        row.resize(rowBytes * image.height);
        for (int y = 0; y < image.height; ++y)
            rows[y] = row.data() + rowBytes * y;
        png_read_image(png, rows.data());
        image.samples.resize(rowSamples * image.height);
        for (int y = 0; y < image.height; ++y) {
            const png_byte *r = rows[y];
            std::uint16_t *dst = image.samples.data() + rowSamples * y;
            for (std::size_t i = 0; i < rowSamples; ++i)
                dst[i] = image.bitDepth == 16 ? std::uint16_t(r[2 * i] << 8 | r[2 * i + 1]) : r[i];
        }
        png_read_end(png, nullptr);
        result = std::move(image);
    }
    png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
    std::fclose(f);
    if (!result)
        setError(error, Error(kDomain, -5, failure.text.empty() ? "Could not read " + path : failure.text));
    return result;
}

} // namespace orvanta
