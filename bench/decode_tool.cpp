// Decodes one raw file the way a document does (master and alternate) and
// prints the wall time; run under /usr/bin/time for the peak memory.

#include <chrono>
#include <cstdio>

#include "input/RawWrapper.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: decode_tool file.dng\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    orvanta::rawWrapper wrapper(argv[1], argv[1]);
    const bool master = wrapper.masterImageBytes() != nullptr;
    const bool alternate = wrapper.alternateImageBytes() != nullptr;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %d x %d, master %d, alternate %d, %.3f s\n", argv[1], wrapper.imageWidth(), wrapper.imageHeight(),
                master, alternate, seconds);
    return master ? 0 : 1;
}
