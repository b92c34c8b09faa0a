#pragma once
// A linear 16-bit RGB image as a DNG "negative": linear raw data whose camera
// space is linear ProPhoto RGB (D50), written as a DNG 1.4 file (an 8-bit
// sRGB preview in IFD 0, the image in a SubIFD) or as a 16-bit ProPhoto RGB
// TIFF rendered from the negative as a DNG reader renders it by default
// (exposure 0, the default tone curve applied hue-preservingly). Files are
// written beside the destination and renamed into place, so a failure never
// leaves a partial file behind. Results are the DNG error codes below.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct tiff; // libtiff's TIFF

namespace orvanta {

enum DngErrorCode : int {
    dng_error_none = 0,
    dng_error_unknown = 100000,
    dng_error_not_yet_implemented = 100001,
    dng_error_silent = 100002,
    dng_error_user_canceled = 100003,
    dng_error_host_insufficient = 100004,
    dng_error_memory = 100005,
    dng_error_bad_format = 100006,
    dng_error_matrix_math = 100007,
    dng_error_open_file = 100008,
    dng_error_read_file = 100009,
    dng_error_write_file = 100010,
    dng_error_end_of_file = 100011,
    dng_error_file_is_damaged = 100012,
    dng_error_image_too_big_dng = 100013,
    dng_error_image_too_big_tiff = 100014,
};

class pcdToDNG {
public:
    pcdToDNG(int width, int height);

    // rgb: width × height × 3 samples, rows packed; kept (not copied) until
    // write. orientation: EXIF code 1…8, anything else normal.
    int prepare(const std::uint16_t *rgb, int orientation);
    // type: contains "dng" → DNG; else contains "tif" → rendered TIFF.
    int write(const std::string &path, const std::optional<std::string> &embedFile, const std::string &type);

    // XYZ (D50) to camera: the inverse of ProPhoto RGB to XYZ.
    static void colorMatrix(double m[9]);
    // The default rendering of one linear ProPhoto pixel (tone curve, hue kept).
    static void renderDefault(const float in[3], float out[3]);
    // ProPhoto RGB (ROMM) encoding of a linear value.
    static float prophotoEncode(float v);
    // The ICC profile embedded in the TIFF: ProPhoto RGB with that encoding.
    static std::vector<std::uint8_t> prophotoProfile();

    // EXIF identification and descriptive fields.
    std::string make = "Unknown", model = "Generic PCD scanner", software = "Quenfold V1.0.0";
    std::string imageDescription, copyright, artist, userComment, dateTimeOriginal, dateTimeDigitized;
    std::string originalRawFileName;
    // Further EXIF fields by tag number, written in the EXIF IFD as the
    // field's standard type.
    std::map<std::uint32_t, std::string> exifText;
    std::map<std::uint32_t, double> exifNumber;

    int width() const { return width_; }
    int height() const { return height_; }

private:
    void setImageTags(::tiff *tif, int w, int h, int bits, int photometric) const;
    void setIdentification(::tiff *tif) const;
    int writeDNG(const std::string &path);
    int writeTIFF(const std::string &path);
    std::vector<std::uint8_t> preview(int &pw, int &ph) const;

    int width_, height_;
    const std::uint16_t *pixels_ = nullptr;
    int orientation_ = 1;
};

} // namespace orvanta
