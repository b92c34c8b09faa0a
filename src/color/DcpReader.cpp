#include "DcpReader.h"

#include "platform/FileUtil.h"

#include <cmath>
#include <cstring>

namespace orvanta::dcp {
namespace {

constexpr std::uint16_t kMagic = 0x4352;
constexpr std::uint32_t kMaxEntries = 4096;
// A tone curve of more points than this is not a real profile's.
constexpr std::uint32_t kMaxCurvePoints = 1 << 16;

enum Tag : std::uint16_t {
    kUniqueCameraModel = 50708,
    kColorMatrix1 = 50721,
    kColorMatrix2 = 50722,
    kProfileName = 50936,
    kProfileToneCurve = 50940,
};

class Bytes {
public:
    Bytes(const std::uint8_t *d, std::size_t n, bool little) : d_(d), n_(n), little_(little) {}
    bool has(std::uint64_t offset, std::uint64_t count) const { return offset <= n_ && count <= n_ - offset; }
    std::uint16_t u16(std::size_t o) const {
        return little_ ? static_cast<std::uint16_t>(d_[o] | d_[o + 1] << 8)
                       : static_cast<std::uint16_t>(d_[o] << 8 | d_[o + 1]);
    }
    std::uint32_t u32(std::size_t o) const {
        return little_ ? (std::uint32_t(d_[o]) | std::uint32_t(d_[o + 1]) << 8 |
                          std::uint32_t(d_[o + 2]) << 16 | std::uint32_t(d_[o + 3]) << 24)
                       : (std::uint32_t(d_[o]) << 24 | std::uint32_t(d_[o + 1]) << 16 |
                          std::uint32_t(d_[o + 2]) << 8 | std::uint32_t(d_[o + 3]));
    }
    const std::uint8_t *at(std::size_t o) const { return d_ + o; }
    bool little() const { return little_; }

private:
    const std::uint8_t *d_;
    std::size_t n_;
    bool little_;
};

int typeSize(int type) {
    static const int sizes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type > 0 && type < 14 ? sizes[type] : 0;
}

std::optional<double> number(const Bytes &b, int type, std::size_t at) {
    switch (type) {
    case 3:
        return b.u16(at);
    case 4:
        return b.u32(at);
    case 8:
        return static_cast<std::int16_t>(b.u16(at));
    case 9:
        return static_cast<std::int32_t>(b.u32(at));
    case 5: {
        const std::uint32_t d = b.u32(at + 4);
        return d ? static_cast<double>(b.u32(at)) / d : 0.0;
    }
    case 10: {
        const auto n = static_cast<std::int32_t>(b.u32(at)), d = static_cast<std::int32_t>(b.u32(at + 4));
        return d ? static_cast<double>(n) / d : 0.0;
    }
    case 11: {
        const std::uint32_t bits = b.u32(at);
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    case 12: {
        std::uint64_t bits = b.u32(at);
        const std::uint64_t second = b.u32(at + 4);
        // u32 already honours the byte order of each half; put them together.
        bits = b.little() ? (second << 32 | bits) : (bits << 32 | second);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<ProfileData> parse(const std::uint8_t *data, std::size_t size, std::string *why) {
    auto fail = [&](const char *reason) -> std::optional<ProfileData> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (!data || size < 8) return fail("file too small");
    const bool little = data[0] == 'I' && data[1] == 'I';
    if (!little && !(data[0] == 'M' && data[1] == 'M')) return fail("unknown byte order");
    const Bytes b(data, size, little);
    if (b.u16(2) != kMagic) return fail("not a camera profile (magic)");
    const std::uint32_t ifd = b.u32(4);
    if (!b.has(ifd, 2)) return fail("directory offset past the end");
    const std::uint32_t entries = b.u16(ifd);
    if (entries == 0 || entries > kMaxEntries || !b.has(ifd + 2ull, 12ull * entries))
        return fail("directory past the end");

    ProfileData out;
    bool haveMatrix1 = false;
    for (std::uint32_t e = 0; e < entries; ++e) {
        const std::size_t at = ifd + 2 + 12 * e;
        const std::uint16_t tag = b.u16(at), type = b.u16(at + 2);
        const std::uint32_t count = b.u32(at + 4);
        const int unit = typeSize(type);
        if (unit == 0) continue; // a type we do not know: the tag is skipped
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * unit;
        const std::uint64_t valueAt = bytes <= 4 ? at + 8 : b.u32(at + 8);
        if (tag != kUniqueCameraModel && tag != kColorMatrix1 && tag != kColorMatrix2 &&
            tag != kProfileName && tag != kProfileToneCurve)
            continue; // parsed by the reference reader, not used here
        if (!b.has(valueAt, bytes)) return fail("value past the end");
        switch (tag) {
        case kProfileName:
        case kUniqueCameraModel: {
            if (type != 2 && type != 1 && type != 7) return fail("text tag of a wrong type");
            const char *p = reinterpret_cast<const char *>(b.at(valueAt));
            std::string s(p, strnlen(p, count));
            (tag == kProfileName ? out.name : out.uniqueCameraModel) = s;
            break;
        }
        case kColorMatrix1:
        case kColorMatrix2: {
            if (count == 0 || count % 3 != 0 || count > 12) return fail("colour matrix of a wrong size");
            Matrix m;
            m.rows = static_cast<int>(count / 3);
            for (std::uint32_t i = 0; i < count; ++i) {
                auto v = number(b, type, valueAt + static_cast<std::size_t>(i) * unit);
                if (!v || !std::isfinite(*v)) return fail("colour matrix unreadable");
                m.values.push_back(*v);
            }
            (tag == kColorMatrix1 ? out.colorMatrix1 : out.colorMatrix2) = std::move(m);
            haveMatrix1 |= tag == kColorMatrix1;
            break;
        }
        case kProfileToneCurve: {
            if (type != 11 || count % 2 != 0 || count / 2 > kMaxCurvePoints)
                return fail("tone curve of a wrong form");
            for (std::uint32_t i = 0; i < count; i += 2) {
                const double h = *number(b, 11, valueAt + 4ull * i),
                             v = *number(b, 11, valueAt + 4ull * (i + 1));
                out.toneCurve.emplace_back(h, v);
            }
            break;
        }
        default:
            break;
        }
    }
    if (!haveMatrix1) return fail("no ColorMatrix1");
    if (!out.colorMatrix2.values.empty() && out.colorMatrix2.rows != out.colorMatrix1.rows)
        return fail("colour matrices of different sizes");
    if (!out.toneCurve.empty()) {
        // A curve that is present must be usable.
        bool ok = out.toneCurve.size() >= 2;
        for (std::size_t j = 0; ok && j < out.toneCurve.size(); ++j) {
            const auto [h, v] = out.toneCurve[j];
            ok = h >= 0 && h <= 1 && v >= 0 && v <= 1 && (j == 0 || h > out.toneCurve[j - 1].first);
        }
        if (!ok) return fail("invalid tone curve");
    }
    return out;
}

std::optional<ProfileData> parseFile(const std::string &path, std::string *why) {
    auto bytes = readWholeFile(path);
    if (!bytes) {
        if (why) *why = "cannot read " + path;
        return std::nullopt;
    }
    return parse(reinterpret_cast<const std::uint8_t *>(bytes->data()), bytes->size(), why);
}

} // namespace orvanta::dcp
