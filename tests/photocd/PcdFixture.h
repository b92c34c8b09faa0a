#pragma once
// Writes small synthetic Photo CD packs and 64Base extension sets: a header
// with chosen attributes, plain planes from functions, residual rows coded
// with a 9-bit Huffman table (all-ones left free), and information files with
// chosen file lists. Used by the tests and to make fuzzing seeds.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace orvanta::test {

using Bytes = std::vector<std::uint8_t>;

inline void putBE16(Bytes &b, std::size_t at, unsigned v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = std::uint8_t(v >> 8), b[at + 1] = std::uint8_t(v);
}
inline void putBE32(Bytes &b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i)
        b[at + i] = std::uint8_t(v >> (24 - 8 * i));
}
inline void putText(Bytes &b, std::size_t at, const std::string &s, std::size_t field) {
    if (b.size() < at + field) b.resize(at + field);
    for (std::size_t i = 0; i < field; ++i)
        b[at + i] = i < s.size() ? std::uint8_t(s[i]) : ' ';
}
inline bool writeBytes(const std::string &path, const Bytes &b) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

// Most-significant-bit-first bit writer.
class BitWriter {
public:
    void put(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used_ == 0) out.push_back(0);
            if ((value >> i) & 1) out.back() |= std::uint8_t(0x80 >> used_);
            used_ = (used_ + 1) & 7;
        }
    }
    Bytes out;

private:
    int used_ = 0;
};

// The table: every byte value v has the 9-bit code v.
inline Bytes huffmanTable() {
    Bytes t{255};
    for (int v = 0; v < 256; ++v) {
        const unsigned code = unsigned(v) << 7; // 9 bits, left-aligned in 16
        t.insert(t.end(), {8, std::uint8_t(code >> 8), std::uint8_t(code), std::uint8_t(v)});
    }
    return t;
}

// Residual rows: (plane type, row, stripe, residuals).
struct ResidualRow {
    int type; // 4Base/16Base: 0 luma, 2 C1, 3 C2; 64Base: 0, 2, 4
    int row;
    int stripe = 0;
    std::vector<std::int8_t> values;
};

inline Bytes rowStream(const std::vector<ResidualRow> &rows, bool ipe, int pad = 0) {
    BitWriter w;
    w.put(0, pad); // start at an arbitrary bit offset
    for (const auto &r : rows) {
        w.put(0xFFFFFE, 24);
        if (ipe)
            w.put(std::uint32_t(r.type / 2) << 20 | std::uint32_t(r.row) << 6 | std::uint32_t(r.stripe) << 1,
                  24);
        else
            w.put(std::uint32_t(r.type) << 14 | std::uint32_t(r.row) << 1, 16);
        for (std::int8_t v : r.values)
            w.put(std::uint8_t(v), 9);
    }
    w.put(0, 32);
    return w.out;
}

struct PcdLayout {
    int attributes = 0; // orientation, highest resolution − 2 (bits 2–3), class
    int interleave = 1;
    bool opa = false, ipi = true;
    unsigned sixteenBaseSector = 700; // S
    int plainLevels = 3;              // how many plain levels are written whole
    std::function<std::uint8_t(int level, int plane, int x, int y)> pixel = [](int, int plane, int, int) {
        return std::uint8_t(plane == 0 ? 128 : plane == 1 ? 156 : 137);
    };
    Bytes fourBase, sixteenBase; // table sector followed by row data, or empty
    std::size_t truncateAt = 0;  // non-zero: the file ends here
    int medium = 1;              // colour reversal
    std::string scanner = "PCD 4045";
    int film = -1; // film term code; with one, scene-balance data are present
    std::uint32_t scanTime = 795176800;
};

inline Bytes makePcd(const PcdLayout &s) {
    Bytes b(6144, 0);
    if (s.opa) std::memcpy(b.data(), "PCD_OPA", 7);
    if (s.ipi) {
        std::memcpy(b.data() + 2048, "PCD_IPI", 7);
        b[2048 + 7] = 1, b[2048 + 8] = 0;
        putBE32(b, 2048 + 13, s.scanTime);
        putBE32(b, 2048 + 17, 0x0000FFFF); // not available
        b[2048 + 21] = std::uint8_t(s.medium);
        putText(b, 2048 + 22, "PHOTO CD", 20);
        putText(b, 2048 + 62, s.scanner, 16);
        if (s.film >= 0) {
            std::memcpy(b.data() + 2048 + 225, "SBA", 3);
            putBE16(b, 2048 + 325, unsigned(s.film));
        }
        b[2048 + 1538] = std::uint8_t(s.attributes);
        putBE16(b, 2048 + 1539, s.sixteenBaseSector);
        b[2048 + 1545] = std::uint8_t(s.interleave);
    }
    const int sectors[3] = {4, 23, 96};
    for (int level = 0; level < s.plainLevels; ++level) {
        const int w = 192 << level, h = 128 << level;
        std::size_t at = std::size_t(sectors[level]) * 2048;
        b.resize(std::max(b.size(), at + std::size_t(w) * h * 3 / 2));
        for (int y = 0; y < h; y += 2) {
            for (int r = 0; r < 2; ++r)
                for (int x = 0; x < w; ++x)
                    b[at++] = s.pixel(level, 0, x, y + r);
            for (int p = 1; p < 3; ++p)
                for (int x = 0; x < w / 2; ++x)
                    b[at++] = s.pixel(level, p, x, y / 2);
        }
    }
    const auto place = [&b](std::size_t sector, const Bytes &data) {
        if (data.empty()) return;
        const std::size_t at = sector * 2048;
        b.resize(std::max(b.size(), at + data.size()));
        std::memcpy(b.data() + at, data.data(), data.size());
    };
    place(388, s.fourBase);
    place(s.sixteenBaseSector + 12, s.sixteenBase);
    b.resize((b.size() + 2047) / 2048 * 2048);
    if (s.truncateAt) b.resize(s.truncateAt);
    return b;
}

// A residual level block: the tables (one or three), padded to whole sectors
// as the decoder reads them, then the rows.
inline Bytes levelBlock(int tables, const Bytes &rows) {
    Bytes b;
    for (int t = 0; t < tables; ++t) {
        const Bytes h = huffmanTable();
        b.insert(b.end(), h.begin(), h.end());
    }
    b.resize(tables == 1 ? 2048 : 4096);
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

// A 64Base information file: one layer per entry of `layers`, each with its
// stripe width and its entries (file index, byte offset); `files` the names.
struct IpeLayer {
    unsigned width, height, stripeWidth, columnOffset = 0;
    std::vector<std::pair<unsigned, std::uint32_t>> entries;
};

inline Bytes makeInfo(const std::vector<IpeLayer> &layers, const std::vector<std::string> &files) {
    Bytes b(2048, 0);
    const std::size_t layerAt = 64, recordSize = 18;
    putBE32(b, 44, std::uint32_t(layerAt));
    putBE16(b, layerAt, unsigned(layers.size()));
    std::size_t filesAt = 512;
    putBE32(b, 48, std::uint32_t(filesAt));
    putBE16(b, filesAt, unsigned(files.size()));
    for (std::size_t i = 0; i < files.size(); ++i) {
        b.resize(std::max(b.size(), filesAt + 2 + 16 * (i + 1)));
        std::memcpy(b.data() + filesAt + 2 + 16 * i, files[i].data(),
                    std::min<std::size_t>(12, files[i].size()));
    }
    std::size_t tablesAt = 1024;
    putBE32(b, 56, std::uint32_t(tablesAt));
    for (std::size_t t = 0; t < layers.size(); ++t) {
        const Bytes h = huffmanTable();
        b.resize(std::max(b.size(), tablesAt + h.size()));
        std::memcpy(b.data() + tablesAt, h.data(), h.size());
        tablesAt += h.size();
    }
    std::size_t entriesAt = (tablesAt + 15) / 16 * 16;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const std::size_t r = layerAt + 2 + recordSize * l;
        putBE16(b, r, unsigned(recordSize));
        putBE16(b, r + 2, unsigned(l));
        putBE16(b, r + 4, layers[l].width);
        putBE16(b, r + 6, layers[l].height);
        putBE16(b, r + 8, layers[l].columnOffset);
        putBE32(b, r + 10, layers[l].stripeWidth);
        putBE32(b, r + 14, std::uint32_t(entriesAt));
        for (const auto &[index, offset] : layers[l].entries) {
            putBE16(b, entriesAt, index);
            putBE32(b, entriesAt + 2, offset);
            entriesAt += 6;
        }
    }
    b.resize((b.size() + 2047) / 2048 * 2048);
    return b;
}

} // namespace orvanta::test
