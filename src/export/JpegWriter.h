#pragma once
// JPEG export with libjpeg-turbo: 8-bit RGB at a quality of 0…1, the sRGB
// profile embedded, and the export's image properties (TIFF, EXIF and
// EXIF-auxiliary entries, the orientation) written as EXIF with Exiv2. The
// file is replaced atomically: a failed write leaves no partial file.

#include "platform/Value.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta {

class JpegWriter {
public:
    // rgb: width × height pixels of three 16-bit samples (the rendered,
    // already encoded picture), rows packed. False with *message on failure.
    static bool write(const std::string &path, const std::uint16_t *rgb, int width, int height, float quality,
                      const Dictionary &metaData, const std::vector<std::uint8_t> &iccProfile,
                      std::string *message);

    // The libjpeg quality (1…100) of an export quality of 0…1.
    static int libjpegQuality(float quality);
};

} // namespace orvanta
