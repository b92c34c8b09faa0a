// The command-line front end.

#include "engine/QueueEngine.h"
#include "orvanta/Version.h"

#include <cstdio>
#include <cstring>

namespace {

void printUsage(std::FILE *out) {
    std::fprintf(out, "Usage: orvanta [--version] [--help]\n"
                      "\n"
                      "Orvanta develops camera raw files into JPEG, 16-bit TIFF, DNG and OpenEXR.\n"
                      "  --version   print the version and the machine's processing width\n"
                      "  --help      print this text\n");
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        printUsage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") != 0) {
        std::fprintf(stderr, "orvanta: unknown option %s\n", argv[1]);
        printUsage(stderr);
        return 2;
    }
    std::printf(
        "Orvanta %s (%llu processing threads)\n", orvanta::kVersionString,
        static_cast<unsigned long long>(orvanta::QueueEngine::sharedQueueEngine()->optimalNumberOfTasks()));
    if (argc < 2) printUsage(stdout);
    return 0;
}
