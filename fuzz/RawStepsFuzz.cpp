// Runs every raw step on arbitrary small mosaics, sizes and pattern codes.
// Errors are fine; crashes, overruns and undefined behaviour are not.

#include "input/RawSteps.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace orvanta::rawsteps;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 12) return 0;
    static const bool once = [] {
        setBandsRunInline(true); // one thread: faster runs, same results
        return true;
    }();
    (void)once;
    const int width = 1 + data[0] % 72, height = 1 + data[1] % 72;
    static const unsigned kCodes[] = {0x94949494u, 0x16161616u, 0x61616161u, 0x49494949u, 0xb4b4b4b4u,
                                      0x1e1e1e1eu, 9u,          1u,          0u};
    unsigned filters;
    std::memcpy(&filters, data + 2, 4);
    if (data[6] < 200) filters = kCodes[data[6] % (sizeof kCodes / sizeof kCodes[0])];
    const int flags = data[7], flip = data[8] & 7;
    data += 12;
    size -= 12;

    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size() && size > 0; ++i) {
        pixels[i] = static_cast<std::uint16_t>(data[(2 * i) % size] | data[(2 * i + 1) % size] << 8);
    }
    RawImage img;
    img.image = reinterpret_cast<Pixel *>(pixels.data());
    img.width = width;
    img.height = height;
    img.filters = filters;
    img.colors = (flags & 3) == 3 ? 1 : 3;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c)
            img.xtrans[r][c] = static_cast<char>((r * 7 + c * 3 + flags) % 3);
    const float cam[3][4] = {{1.5f, -0.3f, -0.2f, 0}, {-0.1f, 1.2f, -0.1f, 0}, {0, -0.4f, 1.4f, 0}};

    greenMatching(img);
    if (flags & 4)
        ahdDemosaic(img, cam);
    else
        lmmseDemosaic(img, (flags & 8) != 0);
    colorConvert(img, cam);
    int ow, oh;
    orientedSize(width, height, flip, &ow, &oh);
    std::vector<std::uint16_t> out(static_cast<std::size_t>(ow) * oh * 4);
    orientedHandover(img, flip, 0, reinterpret_cast<Pixel *>(out.data()));
    return 0;
}
