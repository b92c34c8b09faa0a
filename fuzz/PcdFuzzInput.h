#pragma once
// The layout of a Photo CD fuzzing input, shared by the target and the seed
// writer: two option bytes, then five chunks each led by a big-endian 16-bit
// length — the pack's header (up to 6144 bytes), the 4Base block (tables
// sector and rows, placed at sector 388), the 16Base block (placed at sector
// S + 12), the 64Base information file and the extension-file data.
//
// Option byte 0: requested level (mod 6). Byte 1: bits 0–1 interpolation,
// 2–3 colour mode, 4 luma only, 5 colour matrix, 6–7 where the pack ends
// (0 after its last block, 1 inside Base, 2 inside Base/4, 3 inside Base/16).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvanta::fuzz {

struct PcdInput {
    int level = 0, options = 0;
    std::vector<std::uint8_t> chunk[5];

    static PcdInput parse(const std::uint8_t *data, std::size_t size) {
        PcdInput in;
        if (size < 2) return in;
        in.level = data[0] % 6, in.options = data[1];
        std::size_t at = 2;
        for (auto &c : in.chunk) {
            if (at + 2 > size) break;
            const std::size_t n =
                std::min<std::size_t>(std::size_t(data[at]) << 8 | data[at + 1], size - at - 2);
            c.assign(data + at + 2, data + at + 2 + n);
            at += 2 + n;
        }
        return in;
    }

    std::vector<std::uint8_t> serialise() const {
        std::vector<std::uint8_t> out{std::uint8_t(level), std::uint8_t(options)};
        for (const auto &c : chunk) {
            const std::size_t n = std::min<std::size_t>(c.size(), 65535);
            out.push_back(std::uint8_t(n >> 8)), out.push_back(std::uint8_t(n));
            out.insert(out.end(), c.begin(), c.begin() + long(n));
        }
        return out;
    }
};

} // namespace orvanta::fuzz
