#pragma once
// The thumbnail the browser shows for a file, without a window system:
// Photo CD packs through the Photo CD wrapper (Base/16), camera raws through
// their embedded preview (or a quick half-size development when they have
// none), JPEG, PNG and TIFF files through their libraries. Pixels are 8-bit
// sRGB RGBA.

#include "platform/Error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

struct Thumbnail {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgba;
};

// Fits the picture into maxSize × maxSize (never enlarged); null with the
// reason when the file gives no picture.
std::optional<Thumbnail> makeThumbnail(const std::string &path, int maxSize, Error *error = nullptr);

// Whether the file is a Photo CD pack (by extension, without regard to case).
bool isPhotoCDFile(const std::string &path);

} // namespace orvanta
