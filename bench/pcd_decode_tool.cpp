// Decodes a Photo CD pack at one level to interleaved 16-bit RGB, as the
// Photo CD wrapper does, and discards the pixels. For timing whole processes
// against other readers: pcd_decode_tool FILE LEVEL [IPE-INFO]

#include "photocd/PcdDecode.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "Usage: pcd_decode_tool FILE LEVEL [IPE-INFO]\n");
        return 2;
    }
    orvanta::pcdDecode d;
    if (!d.parseFile(argv[1], argc > 3 ? argv[3] : "", std::atoi(argv[2]))) {
        std::fprintf(stderr, "%s\n", d.getErrorString().c_str());
        return 1;
    }
    d.postProcess();
    // Written whole by readImage, so not cleared first.
    const std::size_t n = std::size_t(d.getWidth()) * d.getHeight() * 3;
    const std::unique_ptr<std::uint16_t[]> px(new std::uint16_t[n]);
    if (!d.readImage(px.get(), px.get() + 1, px.get() + 2, nullptr, 3)) return 1;
    std::printf("%d x %d, checksum %llu\n", d.getWidth(), d.getHeight(),
                static_cast<unsigned long long>(px[n / 2] + px[n / 3]));
    return 0;
}
