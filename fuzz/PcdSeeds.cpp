// Writes seed inputs for pcd_fuzz: synthetic packs at every level (with a
// small 64Base extension set) and, when given the test packs' folder, the
// header and the first sectors of the residual blocks of a real pack.
//   pcd_seeds OUTDIR [PHOTO_CD folder]

#include "../tests/photocd/PcdFixture.h"
#include "PcdFuzzInput.h"

#include <cstdio>
#include <fstream>
#include <iterator>

using namespace orvanta;
using namespace orvanta::test;

namespace {

std::vector<std::int8_t> ramp(int n, int step) {
    std::vector<std::int8_t> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = std::int8_t((i * step) % 64 - 32);
    return v;
}

Bytes slice(const Bytes &b, std::size_t at, std::size_t n) {
    if (at >= b.size()) return {};
    return Bytes(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + n)));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const std::string out = argv[1];
    int written = 0;
    const auto save = [&](const fuzz::PcdInput &in) {
        writeBytes(out + "/seed" + std::to_string(written++), in.serialise());
    };

    const Bytes fourBase = levelBlock(
        1,
        rowStream(
            {{0, 0, 0, ramp(1536, 3)}, {0, 5, 0, ramp(1536, 5)}, {2, 0, 0, ramp(768, 1)}, {0, 1024, 0, {}}},
            false, 3));
    const Bytes sixteenBase = levelBlock(
        3,
        rowStream(
            {{0, 0, 0, ramp(3072, 7)}, {2, 0, 0, ramp(1536, 3)}, {3, 2, 0, ramp(1536, 2)}, {0, 2048, 0, {}}},
            false, 5));
    PcdLayout layout;
    layout.sixteenBaseSector = 400;
    Bytes header = makePcd(layout);
    header.resize(6144);
    for (int level = 0; level < 6; ++level)
        for (int options : {0x00, 0x01, 0x06, 0x13, 0x2A, 0x40, 0xC0}) {
            fuzz::PcdInput in;
            in.level = level, in.options = options;
            in.chunk[0] = header;
            in.chunk[0][2048 + 1538] = std::uint8_t((level > 2 ? (level - 2) << 2 : 0) | (options & 3));
            in.chunk[1] = fourBase;
            in.chunk[2] = sixteenBase;
            if (level == 5) {
                std::vector<ResidualRow> rows;
                for (int s = 0; s < 3; ++s)
                    rows.push_back({0, 1, s, ramp(2048, s + 1)});
                rows.push_back({2, 0, 0, ramp(1024, 9)});
                rows.push_back({4, 3, 1, ramp(1024, 4)});
                in.chunk[4] = rowStream(rows, true, 6);
                IpeLayer luma{6144, 1, 2048, 0, {{0, 0}, {0, 0}, {1, 0}}};
                IpeLayer c1{3072, 1, 1024, 0, {{1, 0}, {0, 0}, {0, 0}}};
                IpeLayer c2{3072, 1, 1024, 0, {{0, 0}, {1, 0}, {1, 0}}};
                in.chunk[3] = makeInfo(options & 16 ? std::vector{luma} : std::vector{luma, c1, c2},
                                       {"A.ICR", "B.ICR"});
            }
            save(in);
        }

    if (argc > 2) {
        std::ifstream f(std::string(argv[2]) + "/IMAGES/IMG0001.PCD", std::ios::binary);
        const Bytes pack((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (pack.size() > 6144) {
            const unsigned s = unsigned(pack[2048 + 1539]) << 8 | pack[2048 + 1540];
            for (int level : {3, 4}) {
                fuzz::PcdInput in;
                in.level = level;
                in.chunk[0] = slice(pack, 0, 6144);
                in.chunk[1] = slice(pack, 388 * 2048, 6 * 2048);
                in.chunk[2] = slice(pack, (s + 12) * 2048, 6 * 2048);
                save(in);
            }
        }
    }
    std::printf("%d seeds in %s\n", written, out.c_str());
    return 0;
}
