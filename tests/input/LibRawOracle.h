#pragma once
// The raw decoder library's own AHD, run on our in-memory mosaics, as the
// reference the AHD step must agree with.

#include <cstdint>
#include <cstring>
#include <libraw/libraw.h>
#include <vector>

namespace orvanta::test {

class LibRawOracle : public LibRaw {
public:
    // Demosaics pixels (height × width × 4, own colour set) in place with the
    // library's ahd_interpolate.
    void ahd(std::vector<std::uint16_t> &pixels, int width, int height, unsigned filters,
             const float rgbCam[3][4]) {
        prepare(pixels, width, height, filters, rgbCam);
        ahd_interpolate();
        finish(pixels);
    }

    // The library's CIELab conversion of one colour (after ahd setup).
    void lab(const float rgbCam[3][4], const std::uint16_t rgb[3], short out[3]) {
        imgdata.idata.colors = 3;
        std::memcpy(imgdata.color.rgb_cam, rgbCam, sizeof imgdata.color.rgb_cam);
        cielab(nullptr, nullptr);
        std::uint16_t copy[3] = {rgb[0], rgb[1], rgb[2]};
        cielab(copy, out);
    }

private:
    void prepare(std::vector<std::uint16_t> &pixels, int width, int height, unsigned filters,
                 const float rgbCam[3][4]) {
        imgdata.sizes.width = imgdata.sizes.iwidth = static_cast<ushort>(width);
        imgdata.sizes.height = imgdata.sizes.iheight = static_cast<ushort>(height);
        imgdata.idata.filters = filters;
        imgdata.idata.colors = 3;
        std::memcpy(imgdata.color.rgb_cam, rgbCam, sizeof imgdata.color.rgb_cam);
        imgdata.image = reinterpret_cast<ushort(*)[4]>(pixels.data());
    }
    void finish(std::vector<std::uint16_t> &) { imgdata.image = nullptr; } // the vector owns the pixels
};

} // namespace orvanta::test
