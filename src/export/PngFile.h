#pragma once
// PNG files through libpng: 8- or 16-bit grey, grey+alpha, RGB or RGBA.
// Used for thumbnails written by the command line and for reading reference
// pictures.

#include "platform/Error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

struct PngImage {
    int width = 0, height = 0, channels = 0, bitDepth = 0;
    // Samples in row order; 8-bit images use the low byte of each entry.
    std::vector<std::uint16_t> samples;
    std::uint16_t at(int x, int y, int c) const {
        return samples[(std::size_t(y) * width + x) * channels + c];
    }
};

// Writes the file beside its destination and renames it into place when it is
// complete. `samples` holds width × height × channels values of bitDepth bits.
bool writePng(const std::string &path, int width, int height, int channels, int bitDepth,
              const std::uint16_t *samples, Error *error = nullptr);
// Reads a PNG; palettes are expanded to RGB. Null with the library's text.
std::optional<PngImage> readPng(const std::string &path, Error *error = nullptr);

} // namespace orvanta
