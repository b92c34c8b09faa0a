#pragma once
// Builds small TIFF files in memory, in either byte order, for the EXIF
// reader tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orvanta::test {

class TiffBuilder {
public:
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> data; // value bytes in the file's order
        int child = -1;                 // sub-directory this entry points to
    };

    explicit TiffBuilder(bool little) : little_(little) {}

    int addIfd() {
        ifds_.emplace_back();
        next_.push_back(-1);
        return static_cast<int>(ifds_.size()) - 1;
    }
    void chain(int from, int to) { next_[from] = to; }

    void ascii(int ifd, std::uint16_t tag, const std::string &s) {
        std::vector<std::uint8_t> d(s.begin(), s.end());
        d.push_back(0);
        raw(ifd, tag, 2, static_cast<std::uint32_t>(d.size()), d);
    }
    void shorts(int ifd, std::uint16_t tag, std::vector<std::uint16_t> v) {
        std::vector<std::uint8_t> d;
        for (auto x : v)
            put16(d, x);
        raw(ifd, tag, 3, static_cast<std::uint32_t>(v.size()), d);
    }
    void longs(int ifd, std::uint16_t tag, std::vector<std::uint32_t> v) {
        std::vector<std::uint8_t> d;
        for (auto x : v)
            put32(d, x);
        raw(ifd, tag, 4, static_cast<std::uint32_t>(v.size()), d);
    }
    void rationals(int ifd, std::uint16_t tag, std::vector<std::pair<std::uint32_t, std::uint32_t>> v,
                   bool signedType = false) {
        std::vector<std::uint8_t> d;
        for (auto [n, den] : v)
            put32(d, n), put32(d, den);
        raw(ifd, tag, signedType ? 10 : 5, static_cast<std::uint32_t>(v.size()), d);
    }
    void undefined(int ifd, std::uint16_t tag, const std::vector<std::uint8_t> &bytes) {
        raw(ifd, tag, 7, static_cast<std::uint32_t>(bytes.size()), bytes);
    }
    void raw(int ifd, std::uint16_t tag, std::uint16_t type, std::uint32_t count,
             std::vector<std::uint8_t> data) {
        ifds_[ifd].push_back(Entry{tag, type, count, std::move(data), -1});
    }
    void pointer(int ifd, std::uint16_t tag, int child) {
        ifds_[ifd].push_back(Entry{tag, 4, 1, {0, 0, 0, 0}, child});
    }

    std::vector<std::uint8_t> build() const {
        std::vector<std::uint8_t> out;
        out.push_back(little_ ? 'I' : 'M');
        out.push_back(little_ ? 'I' : 'M');
        put16(out, 42);
        put32(out, 8);
        // Directories first, then out-of-line values.
        std::vector<std::uint32_t> ifdOffset(ifds_.size());
        std::uint32_t pos = 8;
        for (std::size_t i = 0; i < ifds_.size(); ++i) {
            ifdOffset[i] = pos;
            pos += 2 + 12 * static_cast<std::uint32_t>(ifds_[i].size()) + 4;
        }
        std::vector<std::uint8_t> values;
        for (std::size_t i = 0; i < ifds_.size(); ++i) {
            put16(out, static_cast<std::uint16_t>(ifds_[i].size()));
            for (const auto &e : ifds_[i]) {
                put16(out, e.tag);
                put16(out, e.type);
                put32(out, e.count);
                if (e.child >= 0) {
                    put32(out, ifdOffset[e.child]);
                } else if (e.data.size() <= 4) {
                    std::vector<std::uint8_t> inl = e.data;
                    inl.resize(4, 0);
                    out.insert(out.end(), inl.begin(), inl.end());
                } else {
                    put32(out, pos + static_cast<std::uint32_t>(values.size()));
                    values.insert(values.end(), e.data.begin(), e.data.end());
                    if (values.size() & 1) values.push_back(0);
                }
            }
            put32(out, next_[i] >= 0 ? ifdOffset[next_[i]] : 0);
        }
        out.insert(out.end(), values.begin(), values.end());
        return out;
    }

private:
    void put16(std::vector<std::uint8_t> &d, std::uint16_t v) const {
        if (little_)
            d.push_back(v & 0xff), d.push_back(v >> 8);
        else
            d.push_back(v >> 8), d.push_back(v & 0xff);
    }
    void put32(std::vector<std::uint8_t> &d, std::uint32_t v) const {
        if (little_) {
            for (int i = 0; i < 4; ++i)
                d.push_back((v >> (8 * i)) & 0xff);
        } else {
            for (int i = 3; i >= 0; --i)
                d.push_back((v >> (8 * i)) & 0xff);
        }
    }

    bool little_;
    std::vector<std::vector<Entry>> ifds_;
    std::vector<int> next_;
};

// A camera-like file: a 160 × 120 thumbnail directory and a 6000 × 4000 main
// one (in the given order), EXIF and GPS directories.
inline std::vector<std::uint8_t> cameraTiff(bool little, bool thumbnailFirst) {
    TiffBuilder b(little);
    const int ifd0 = b.addIfd(), ifd1 = b.addIfd(), exif = b.addIfd(), gps = b.addIfd();
    b.chain(ifd0, ifd1);
    const int small = thumbnailFirst ? ifd0 : ifd1, big = thumbnailFirst ? ifd1 : ifd0;
    b.shorts(small, 256, {160});
    b.shorts(small, 257, {120});
    b.longs(big, 256, {6000});
    b.longs(big, 257, {4000});
    b.shorts(ifd0, 258, {16, 16, 16});
    b.ascii(ifd0, 271, "Orvanta Optics");
    b.ascii(ifd0, 272, "Fixture One");
    b.ascii(ifd0, 306, "2026:12:11 10:20:30");
    b.pointer(ifd0, 34665, exif);
    b.pointer(ifd0, 34853, gps);
    b.rationals(exif, 33434, {{1, 250}});
    b.rationals(exif, 33437, {{56, 10}});
    b.shorts(exif, 34855, {200});
    b.undefined(exif, 36864, {'0', '2', '3', '0'});
    b.ascii(exif, 36867, "2026:12:11 10:20:29");
    b.rationals(exif, 37380, {{static_cast<std::uint32_t>(-1), 3}}, true);
    b.rationals(exif, 37386, {{50, 1}});
    b.undefined(exif, 37510, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, ' ', ' ', ' ', ' '});
    b.ascii(gps, 1, "N");
    b.rationals(gps, 2, {{52, 1}, {30, 1}, {36, 1}});
    b.ascii(gps, 3, "E");
    b.rationals(gps, 4, {{13, 1}, {24, 1}, {0, 1}});
    b.rationals(gps, 7, {{9, 1}, {5, 1}, {3, 1}});
    b.ascii(gps, 29, "2026:12:11");
    return b.build();
}

} // namespace orvanta::test
