// The Photo CD decoder on arbitrary packs and 64Base extension sets:
// parseFile, postProcess and readImage. Inputs are laid out as PcdFuzzInput.h
// describes; the files are written into a private folder for each run.
//
// Levels above 4Base are rebuilt but not converted: the conversion is the
// same code at every level, and converting 6 or 25 million pixels per run
// would leave the fuzzer little time for the parsers.

#include "PcdFuzzInput.h"
#include "photocd/PcdDecode.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folder() {
    static const std::string root = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvanta-pcdfuzz-XXXXXX";
        if (!mkdtemp(t.data())) std::abort();
        for (const char *sub : {"/IMAGES", "/IPE", "/IPE/IMG0001", "/IPE/IMG0001/64BASE"})
            mkdir((t + sub).c_str(), 0700);
        return t;
    }();
    return root;
}

void put(std::FILE *f, long at, const std::vector<std::uint8_t> &bytes) {
    if (bytes.empty()) return;
    std::fseek(f, at, SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
}

void writeFile(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    put(f, 0, bytes);
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using orvanta::pcdDecode;
    const auto in = orvanta::fuzz::PcdInput::parse(data, size);
    const std::string root = folder();
    const std::string image = root + "/IMAGES/IMG0001.PCD", ipe = root + "/IPE/IMG0001/64BASE/";

    // The pack: header, plain levels with a pattern, the residual blocks.
    std::FILE *f = std::fopen(image.c_str(), "wb");
    if (!f) std::abort();
    std::vector<std::uint8_t> header = in.chunk[0];
    header.resize(std::min<std::size_t>(header.size(), 6144));
    put(f, 0, header);
    long end = 6144;
    static const std::vector<std::uint8_t> plain = [] {
        std::vector<std::uint8_t> p((384 - 4) * 2048);
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = std::uint8_t((i * 131 + (i >> 11) * 7) ^ (i >> 9));
        return p;
    }();
    const long plainEnd[4] = {384 * 2048L, 96 * 2048L + 300000, 23 * 2048L + 70000, 4 * 2048L + 10000};
    const int cut = (in.options >> 6) & 3;
    put(f, 4 * 2048, std::vector<std::uint8_t>(plain.begin(), plain.begin() + (plainEnd[cut] - 4 * 2048)));
    end = plainEnd[cut];
    if (cut == 0) {
        put(f, 388 * 2048L, in.chunk[1]);
        end = std::max<long>(end, 388 * 2048L + long(in.chunk[1].size()));
        if (header.size() >= 2048 + 1541) {
            const long s = long(header[2048 + 1539]) << 8 | header[2048 + 1540];
            put(f, (s + 12) * 2048, in.chunk[2]);
            end = std::max<long>(end, (s + 12) * 2048 + long(in.chunk[2].size()));
        }
    }
    std::fclose(f);
    if (truncate(image.c_str(), end) != 0) std::abort();

    writeFile(ipe + "INFO.IC", in.chunk[3]);
    writeFile(ipe + "A.ICR", in.chunk[4]);
    writeFile(ipe + "B.ICR", in.chunk[4]);

    pcdDecode d;
    d.setInterpolation(in.options & 3);
    d.setColorMode((in.options >> 2) & 3);
    d.setLumaOnly(in.options & 16);
    d.setColorMatrix((in.options >> 5) & 1);
    std::string name, value;
    for (int i = 0; i < pcdDecode::kMetadataItems; ++i)
        d.getMetadataItem(i, name, value);
    if (!d.parseFile(image.c_str(), (ipe + "INFO.IC").c_str(), in.level)) return 0;
    d.postProcess();
    if (d.resolution() > 3) return 0;
    const std::size_t pixels = std::size_t(d.getWidth()) * d.getHeight();
    std::vector<std::uint16_t> out(pixels * 4);
    d.readImage(out.data(), out.data() + 1, out.data() + 2, out.data() + 3, 4);
    return 0;
}
