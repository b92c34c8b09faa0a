#include "PcdDecode.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

namespace orvanta {

namespace {

struct FilmEntry {
    int code;
    const char *name;
};

// Film term codes and names, in the order of the scanner's table.
const FilmEntry kFilms[] = {
    {1, "3M ScotchColor AT 100"},
    {2, "3M ScotchColor AT 200"},
    {3, "3M ScotchColor HR2 400"},
    {7, "3M Scotch HR 200 Gen 2"},
    {9, "3M Scotch HR 400 Gen 2"},
    {16, "AGFA AGFACOLOR XRS 400 Gen 1"},
    {17, "AGFA AGFACOLOR XRG/XRS 400"},
    {18, "AGFA AGFACOLOR XRG/XRS 200"},
    {19, "AGFA AGFACOLOR XRS 1000 Gen 2"},
    {20, "AGFA AGFACOLOR XRS 400 Gen 2"},
    {21, "AGFA AGFACOLOR XRS/XRC 100"},
    {26, "FUJI Reala 100 (JAPAN)"},
    {27, "FUJI Reala 100 Gen 1"},
    {28, "FUJI Reala 100 Gen 2"},
    {29, "FUJI SHR 400 Gen 2"},
    {30, "FUJI Super HG 100"},
    {31, "FUJI Super HG 1600 Gen 1"},
    {32, "FUJI Super HG 200"},
    {33, "FUJI Super HG 400"},
    {34, "FUJI Super HG 100 Gen 2"},
    {35, "FUJI Super HR 100 Gen 1"},
    {36, "FUJI Super HR 100 Gen 2"},
    {37, "FUJI Super HR 1600 Gen 2"},
    {38, "FUJI Super HR 200 Gen 1"},
    {39, "FUJI Super HR 200 Gen 2"},
    {40, "FUJI Super HR 400 Gen 1"},
    {43, "FUJI NSP 160S (PRO)"},
    {45, "KODAK KODACOLOR VR 100 Gen 2"},
    {47, "KODAK GOLD 400 Gen 3"},
    {55, "KODAK EKTAR 100 Gen 1"},
    {56, "KODAK EKTAR 1000 Gen 1"},
    {57, "KODAK EKTAR 125 Gen 1"},
    {58, "KODAK ROYAL GOLD 25 RZ"},
    {60, "KODAK GOLD 1600 Gen 1"},
    {61, "KODAK GOLD 200 Gen 2"},
    {62, "KODAK GOLD 400 Gen 2"},
    {65, "KODAK KODACOLOR VR 100 Gen 1"},
    {66, "KODAK KODACOLOR VR 1000 Gen 2"},
    {67, "KODAK KODACOLOR VR 1000 Gen 1"},
    {68, "KODAK KODACOLOR VR 200 Gen 1"},
    {69, "KODAK KODACOLOR VR 400 Gen 1"},
    {70, "KODAK KODACOLOR VR 200 Gen 2"},
    {71, "KODAK KODACOLOR VRG 100 Gen 1"},
    {72, "KODAK GOLD 100 Gen 2"},
    {73, "KODAK KODACOLOR VRG 200 Gen 1"},
    {74, "KODAK GOLD 400 Gen 1"},
    {87, "KODAK EKTACOLOR GOLD 160"},
    {88, "KODAK EKTAPRESS 1600 Gen 1 PPC"},
    {89, "KODAK EKTAPRESS GOLD 100 Gen 1 PPA"},
    {90, "KODAK EKTAPRESS GOLD 400 PPB-3"},
    {92, "KODAK EKTAR 25 Professional PHR"},
    {97, "KODAK T-MAX 100 Professional"},
    {98, "KODAK T-MAX 3200 Professional"},
    {99, "KODAK T-MAX 400 Professional"},
    {101, "KODAK VERICOLOR 400 Prof VPH"},
    {102, "KODAK VERICOLOR III Pro"},
    {121, "KONICA KONICA COLOR SR-G 3200"},
    {122, "KONICA KONICA COLOR SUPER SR100"},
    {123, "KONICA KONICA COLOR SUPER SR 400"},
    {138, "KODAK GOLD UNKNOWN"},
    {139, "KODAK UNKNOWN NEG A-"},
    {143, "KODAK EKTAR 100 Gen 2"},
    {147, "KODAK KODACOLOR CII"},
    {148, "KODAK KODACOLOR II"},
    {149, "KODAK GOLD Plus 200 Gen 3"},
    {150, "KODAK Internegative +10% Contrast"},
    {151, "AGFA AGFACOLOR Ultra 50"},
    {152, "FUJI NHG 400"},
    {153, "AGFA AGFACOLOR XRG 100"},
    {154, "KODAK GOLD Plus 100 Gen 3"},
    {155, "KONICA KONICA COLOR SUPER SR200 GEN 1"},
    {156, "KONICA KONICA COLOR SR-G 160"},
    {157, "AGFA AGFACOLOR OPTIMA 125"},
    {158, "AGFA AGFACOLOR PORTRAIT 160"},
    {162, "KODAK KODACOLOR VRG 400 Gen 1"},
    {163, "KODAK GOLD 200 Gen 1"},
    {164, "KODAK KODACOLOR VRG 100 Gen 2"},
    {174, "KODAK Internegative +20% Contrast"},
    {175, "KODAK Internegative +30% Contrast"},
    {176, "KODAK Internegative +40% Contrast"},
    {184, "KODAK TMAX-100 D-76 CI = .40"},
    {185, "KODAK TMAX-100 D-76 CI = .50"},
    {186, "KODAK TMAX-100 D-76 CI = .55"},
    {187, "KODAK TMAX-100 D-76 CI = .70"},
    {188, "KODAK TMAX-100 D-76 CI = .80"},
    {189, "KODAK TMAX-100 TMAX CI = .40"},
    {190, "KODAK TMAX-100 TMAX CI = .50"},
    {191, "KODAK TMAX-100 TMAX CI = .55"},
    {192, "KODAK TMAX-100 TMAX CI = .70"},
    {193, "KODAK TMAX-100 TMAX CI = .80"},
    {195, "KODAK TMAX-400 D-76 CI = .40"},
    {196, "KODAK TMAX-400 D-76 CI = .50"},
    {197, "KODAK TMAX-400 D-76 CI = .55"},
    {198, "KODAK TMAX-400 D-76 CI = .70"},
    {214, "KODAK TMAX-400 D-76 CI = .80"},
    {215, "KODAK TMAX-400 TMAX CI = .40"},
    {216, "KODAK TMAX-400 TMAX CI = .50"},
    {217, "KODAK TMAX-400 TMAX CI = .55"},
    {218, "KODAK TMAX-400 TMAX CI = .70"},
    {219, "KODAK TMAX-400 TMAX CI = .80"},
    {224, "3M ScotchColor ATG 400/EXL 400"},
    {266, "AGFA AGFACOLOR OPTIMA 200"},
    {267, "KONICA IMPRESSA 50"},
    {268, "POLAROID POLAROID CP 200"},
    {269, "KONICA KONICA COLOR SUPER SR200 GEN 2"},
    {270, "ILFORD XP2 400"},
    {271, "POLAROID POLAROID COLOR HD2 100"},
    {272, "POLAROID POLAROID COLOR HD2 400"},
    {273, "POLAROID POLAROID COLOR HD2 200"},
    {282, "3M ScotchColor ATG-1 200"},
    {284, "KONICA XG 400"},
    {307, "KODAK UNIVERSAL REVERSAL B / W"},
    {308, "KODAK RPC COPY FILM Gen 1"},
    {312, "KODAK UNIVERSAL E6"},
    {324, "KODAK GOLD Ultra 400 Gen 4"},
    {328, "FUJI Super G 100"},
    {329, "FUJI Super G 200"},
    {330, "FUJI Super G 400 Gen 2"},
    {333, "KODAK UNIVERSAL K14"},
    {334, "FUJI Super G 400 Gen 1"},
    {366, "KODAK VERICOLOR HC 6329 VHC"},
    {367, "KODAK VERICOLOR HC 4329 VHC"},
    {368, "KODAK VERICOLOR L 6013 VPL"},
    {369, "KODAK VERICOLOR L 4013 VPL"},
    {418, "KODAK EKTACOLOR Gold II 400 Prof"},
    {430, "KODAK ROYAL GOLD 1000"},
    {431, "KODAK KODACOLOR VR 200 / 5093"},
    {432, "KODAK GOLD Plus 100 Gen 4"},
    {443, "KODAK ROYAL GOLD 100"},
    {444, "KODAK ROYAL GOLD 400"},
    {445, "KODAK UNIVERSAL E6 auto-balance"},
    {446, "KODAK UNIVERSAL E6 illum. corr."},
    {447, "KODAK UNIVERSAL K14 auto-balance"},
    {448, "KODAK UNIVERSAL K14 illum. corr."},
    {449, "KODAK EKTAR 100 Gen 3 SY"},
    {456, "KODAK EKTAR 25"},
    {457, "KODAK EKTAR 100 Gen 3 CX"},
    {458, "KODAK EKTAPRESS PLUS 100 Prof PJA-1"},
    {459, "KODAK EKTAPRESS GOLD II 100 Prof"},
    {460, "KODAK Pro 100 PRN"},
    {461, "KODAK VERICOLOR HC 100 Prof VHC-2"},
    {462, "KODAK Prof Color Neg 100"},
    {463, "KODAK EKTAR 1000 Gen 2"},
    {464, "KODAK EKTAPRESS PLUS 1600 Pro PJC-1"},
    {465, "KODAK EKTAPRESS GOLD II 1600 Prof"},
    {466, "KODAK SUPER GOLD 1600 GF Gen 2"},
    {467, "KODAK KODACOLOR 100 Print Gen 4"},
    {468, "KODAK SUPER GOLD 100 Gen 4"},
    {469, "KODAK GOLD 100 Gen 4"},
    {470, "KODAK GOLD III 100 Gen 4"},
    {471, "KODAK FUNTIME 100 FA"},
    {472, "KODAK FUNTIME 200 FB"},
    {473, "KODAK KODACOLOR VR 200 Gen 4"},
    {474, "KODAK GOLD Super 200 Gen 4"},
    {475, "KODAK KODACOLOR 200 Print Gen 4"},
    {476, "KODAK SUPER GOLD 200 Gen 4"},
    {477, "KODAK GOLD 200 Gen 4"},
    {478, "KODAK GOLD III 200 Gen 4"},
    {479, "KODAK GOLD Ultra 400 Gen 5"},
    {480, "KODAK SUPER GOLD 400 Gen 5"},
    {481, "KODAK GOLD 400 Gen 5"},
    {482, "KODAK GOLD III 400 Gen 5"},
    {483, "KODAK KODACOLOR 400 Print Gen 5"},
    {484, "KODAK EKTAPRESS PLUS 400 Prof PJB-2"},
    {485, "KODAK EKTAPRESS GOLD II 400 Prof G5"},
    {486, "KODAK Pro 400 PPF-2"},
    {487, "KODAK EKTACOLOR GOLD II 400 EGP-4"},
    {488, "KODAK EKTACOLOR GOLD 400 Prof EGP-4"},
    {489, "KODAK EKTAPRESS GOLD II Multspd PJM"},
    {490, "KODAK Pro 400 MC PMC"},
    {491, "KODAK VERICOLOR 400 Prof VPH-2"},
    {492, "KODAK VERICOLOR 400 PLUS Prof VPH-2"},
    {493, "KODAK UNKNOWN NEG Product Code 83"},
    {505, "KODAK EKTACOLOR PRO GOLD 160 GPX"},
    {508, "KODAK ROYAL GOLD 200"},
    {517, "KODAK 4050000000"},
    {519, "KODAK GOLD Plus 100 Gen 5"},
    {520, "KODAK GOLD 800 Gen 1"},
    {521, "KODAK GOLD Super 200 Gen 5"},
    {522, "KODAK EKTAPRESS PLUS 200 Prof"},
    {523, "KODAK 4050 E6 auto-balance"},
    {524, "KODAK 4050 E6 ilum. corr."},
    {525, "KODAK 4050 K14"},
    {526, "KODAK 4050 K14 auto-balance"},
    {527, "KODAK 4050 K14 ilum. corr."},
    {528, "KODAK 4050 REVERSAL B&W"},
    {532, "KODAK ADVANTIX 200"},
    {533, "KODAK ADVANTIX 400"},
    {534, "KODAK ADVANTIX 100"},
    {535, "KODAK EKTAPRESS Multspd Prof PJM-2"},
    {536, "KODAK KODACOLOR VR 200 Gen 5"},
    {537, "KODAK FUNTIME 200 FB Gen 2"},
    {538, "KODAK Commercial 200"},
    {539, "KODAK Royal Gold 25 Copystand"},
    {540, "KODAK KODACOLOR DA 100 Gen 5"},
    {545, "KODAK KODACOLOR VR 400 Gen 2"},
    {546, "KODAK GOLD 100 Gen 6"},
    {547, "KODAK GOLD 200 Gen 6"},
    {548, "KODAK GOLD 400 Gen 6"},
    {549, "KODAK ROYAL GOLD 100 Gen 2"},
    {550, "KODAK ROYAL GOLD 200 Gen 2"},
    {551, "KODAK ROYAL GOLD 400 Gen 2"},
    {552, "KODAK GOLD MAX 800 GEN 2"},
    {554, "KODAK 4050 E6 high contrast"},
    {555, "KODAK 4050 E6 low saturation high contrast"},
    {556, "KODAK 4050 E6 low saturation"},
    {557, "KODAK Universal E-6 Low Saturation"},
    {558, "KODAK T-MAX T400 CN"},
    {563, "KODAK EKTAPRESS PJ100"},
    {564, "KODAK EKTAPRESS PJ400"},
    {565, "KODAK EKTAPRESS PJ800"},
    {567, "KODAK PORTRA 160NC"},
    {568, "KODAK PORTRA 160VC"},
    {569, "KODAK PORTRA 400NC"},
    {570, "KODAK PORTRA 400VC"},
    {575, "KODAK ADVANTIX 100-2"},
    {576, "KODAK ADVANTIX 200-2"},
    {577, "KODAK ADVANTIX Black & White + 400"},
    {578, "KODAK EKTAPRESS PJ800-2"},
};

constexpr int kIPI = 2048; // the image-pack information sector
constexpr int kPlainSector[3] = {4, 23, 96};

const char *const kMedium[10] = {"color negative",
                                 "color reversal",
                                 "color hard copy",
                                 "thermal hard copy",
                                 "black and white negative",
                                 "black and white reversal",
                                 "black and white hard copy",
                                 "internegative",
                                 "synthetic image",
                                 "chromogenic"};
const char *const kSBACommand[4] = {"neutral SBA on, color SBA on", "neutral SBA off, color SBA off",
                                    "neutral SBA on, color SBA off", "neutral SBA off, color SBA on"};
const char *const kCompression[4] = {"class 1 - 35mm film; pictoral hard copy", "class 2 - large format film",
                                     "class 3 - text and graphics, high resolution",
                                     "class 4 - text and graphics, high dynamic range"};
const char *const kItemNames[pcdDecode::kMetadataItems] = {"PCD specification version",
                                                           "Authoring software Release number",
                                                           "Scanning time",
                                                           "Last modification time",
                                                           "Image medium",
                                                           "Product type",
                                                           "Scanner vendor identity",
                                                           "Scanner product identity",
                                                           "Scanner firmware revision",
                                                           "Scanner firmware date",
                                                           "Scanner serial number",
                                                           "Scanner pixel size (microns)",
                                                           "Image workstation equipment manufacturer",
                                                           "Photo finisher name",
                                                           "Scene balance algorithm revision",
                                                           "Scene balance algorithm command",
                                                           "Scene balance algorithm film identification",
                                                           "Copyright status",
                                                           "Copyright file name",
                                                           "Compression"};

std::uint32_t be32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
unsigned be16(const std::uint8_t *p) {
    return unsigned(p[0]) << 8 | p[1];
}

std::string textField(const std::uint8_t *p, int n) {
    std::string s(reinterpret_cast<const char *>(p), n);
    if (auto z = s.find('\0'); z != std::string::npos) s.resize(z);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

struct File {
    std::FILE *f = nullptr;
    explicit File(const char *path) : f(path ? std::fopen(path, "rb") : nullptr) {}
    ~File() {
        if (f) std::fclose(f);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
};

// Reads up to n bytes, retrying short reads until the end of the file.
std::size_t readFully(std::FILE *f, void *dst, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const std::size_t k = std::fread(static_cast<char *>(dst) + got, 1, n - got, f);
        if (k == 0) break;
        got += k;
    }
    return got;
}

} // namespace

const char *pcdDecode::filmName(int code) {
    for (const auto &e : kFilms)
        if (e.code == code) return e.name;
    return "Unknown film";
}

bool pcdDecode::Plane::allocate(int width, int height, bool zero) {
    reset();
    // One spare byte after the plane, as the plain reader writes whole rows.
    const std::size_t n = std::size_t(width) * height + 1;
    data.reset(zero ? new (std::nothrow) std::uint8_t[n]() : new (std::nothrow) std::uint8_t[n]);
    if (!data) return false;
    w = width, h = height;
    return true;
}

// A Huffman table expanded into a direct lookup by the next 16 bits.
struct pcdDecode::Huffman {
    std::uint8_t value[65536];
    std::uint8_t length[65536]; // 31: no code starts with these bits
    int codes = 0;

    // Parses one table at p (at most `avail` bytes); returns the bytes used.
    std::size_t parse(const std::uint8_t *p, std::size_t avail) {
        if (avail < 1) throw DecodeFailure{"Huffman code error!!"};
        const int n = p[0] + 1;
        if (avail < 1 + std::size_t(n) * 4) throw DecodeFailure{"Huffman code error!!"};
        std::memset(length, 31, sizeof length);
        std::memset(value, 0, sizeof value);
        for (int i = 0; i < n; ++i) {
            const std::uint8_t *e = p + 1 + 4 * i;
            const int len = e[0] + 1;
            if (len > 16) throw DecodeFailure{"Huffman code error!!"};
            const unsigned span = 1u << (16 - len);
            const unsigned first = be16(e + 1) & ~(span - 1);
            std::memset(value + first, e[3], span);
            std::memset(length + first, len, span);
        }
        codes = n;
        return 1 + std::size_t(n) * 4;
    }
};

// Most-significant-bit-first reader over whole sectors. The 32-bit window
// that the row headers and codes are read from is always whole: 64Base row
// headers use its lowest bits, and rows may start at any bit offset. Reading
// past the end of the data raises "Unexpected end of file in Huffman
// sequence"; merely looking ahead of it does not.
class pcdDecode::BitReader {
public:
    // `allowance`, when given, is the number of bytes that all readers
    // sharing it may still read.
    explicit BitReader(std::FILE *f, std::size_t *allowance = nullptr) : f_(f), allowance_(allowance) {}

    void start(long byteOffset) {
        if (std::fseek(f_, byteOffset, SEEK_SET) != 0)
            throw DecodeFailure{"Unexpected end of file in Huffman sequence"};
        pos_ = len_ = 0;
        acc_ = 0;
        bits_ = 0;
        end_ = false;
        fill();
    }
    std::uint32_t window() const { return std::uint32_t(acc_ >> 32); }
    // n ≤ 32.
    void skip(int n) {
        if (n > bits_) throw DecodeFailure{"Unexpected end of file in Huffman sequence"};
        acc_ <<= n;
        bits_ -= n;
        if (bits_ <= 32) fill();
    }
    void synchronise() {
        while ((window() & 0xFFF000u) != 0xFFF000u)
            skip(8);
        while ((window() >> 8) != 0xFFFFFEu)
            skip(1);
    }

private:
    void fill() {
        while (bits_ <= 56 && !end_) {
            if (pos_ >= len_) {
                len_ = int(readFully(f_, buffer_, sizeof buffer_));
                pos_ = 0;
                if (allowance_) {
                    if (*allowance_ < std::size_t(len_)) throw DecodeFailure{"Corrupt Image"};
                    *allowance_ -= std::size_t(len_);
                }
                if (len_ == 0) {
                    end_ = true;
                    break;
                }
            }
            acc_ |= std::uint64_t(buffer_[pos_++]) << (56 - bits_);
            bits_ += 8;
        }
    }

    std::FILE *f_;
    std::size_t *allowance_;
    std::uint8_t buffer_[kSectorSize];
    int pos_ = 0, len_ = 0;
    std::uint64_t acc_ = 0;
    int bits_ = 0; // valid bits at the top of acc_
    bool end_ = false;
};

pcdDecode::pcdDecode() = default;

pcdDecode::~pcdDecode() {
    freeAll();
}

void pcdDecode::freeAll() {
    header_.reset();
    haveIPI_ = false;
    luma_.reset(), c1_.reset(), c2_.reset();
    for (auto &level : residual_)
        for (auto &p : level)
            p.reset();
    lumaLevel_ = baseLevel_ = resolution_ = -1;
    orientation_ = compression_ = 0;
    highest_ = 2;
    ipeLayers_ = ipeFiles_ = 0;
}

int pcdDecode::getWidth() const {
    if (resolution_ < 0) return 0;
    return (orientation_ & 1) ? lumaHeight(resolution_) : lumaWidth(resolution_);
}

int pcdDecode::getHeight() const {
    if (resolution_ < 0) return 0;
    return (orientation_ & 1) ? lumaWidth(resolution_) : lumaHeight(resolution_);
}

std::uint32_t pcdDecode::getScanTime() const {
    return haveIPI_ ? be32(header_.get() + kIPI + 13) : 0;
}

bool pcdDecode::readHeader(std::FILE *f) {
    header_.reset(new (std::nothrow) std::uint8_t[kHeaderSize]());
    if (!header_) {
        error_ = "Memory allocation error";
        return false;
    }
    const std::size_t got = readFully(f, header_.get(), kHeaderSize);
    const std::uint8_t *h = header_.get();
    const bool opa = got >= 7 && std::memcmp(h, "PCD_OPA", 7) == 0;
    haveIPI_ = got >= kIPI + 7 && std::memcmp(h + kIPI, "PCD_IPI", 7) == 0;
    if (got < std::size_t(kHeaderSize)) {
        // A file that stops after its information sector still describes
        // itself: keep that header for the metadata, but there is no image.
        error_ = "PCD file is too small to be valid";
        if (!(haveIPI_ && got >= kIPI + 1546)) header_.reset(), haveIPI_ = false;
        return false;
    }
    if (!opa && !haveIPI_) {
        error_ = "That is not a valid PCD file";
        header_.reset();
        return false;
    }
    // 1 means no audio between the image sectors. Other writers leave the
    // byte at 0, which describes no interleaving either.
    if (haveIPI_ && h[kIPI + 1545] > 1) {
        error_ = "The file contains interleaved audio";
        header_.reset(), haveIPI_ = false;
        return false;
    }
    const int attributes = haveIPI_ ? h[kIPI + 1538] : 0;
    orientation_ = attributes & 3;
    highest_ = ((attributes >> 2) & 3) + 2;
    compression_ = (attributes >> 5) & 3;
    return true;
}

// The plain image of a level: H/2 row pairs of two luma rows, one C1 row and
// one C2 row.
bool pcdDecode::readPlain(std::FILE *f, int level) {
    const int w = lumaWidth(level), h = lumaHeight(level);
    luma_.reset(), c1_.reset(), c2_.reset();
    if (!luma_.allocate(w, h, false) || !c1_.allocate(w / 2, h / 2, false) ||
        !c2_.allocate(w / 2, h / 2, false)) {
        luma_.reset(), c1_.reset(), c2_.reset();
        error_ = "Memory allocation error";
        return false;
    }
    std::vector<std::uint8_t> pair(std::size_t(w) * 3);
    bool complete = std::fseek(f, long(kPlainSector[level]) * kSectorSize, SEEK_SET) == 0;
    for (int y = 0; complete && y < h / 2; ++y) {
        if (readFully(f, pair.data(), pair.size()) != pair.size()) {
            complete = false;
            break;
        }
        std::memcpy(luma_.row(2 * y), pair.data(), std::size_t(w) * 2);
        std::memcpy(c1_.row(y), pair.data() + 2 * w, w / 2);
        std::memcpy(c2_.row(y), pair.data() + 2 * w + w / 2, w / 2);
    }
    if (!complete) {
        luma_.reset(), c1_.reset(), c2_.reset();
        error_ = "File ended unexpectedly";
        return false;
    }
    lumaLevel_ = baseLevel_ = level;
    return true;
}

bool pcdDecode::parseFile(const char *path, const char *ipePath, int level) {
    freeAll();
    error_.clear();
    File file(path);
    if (!file.f) {
        error_ = "Could not open PCD file - may be a file permissions problem";
        return false;
    }
    if (!readHeader(file.f)) return false;

    level = std::clamp(level, 0, kLevels - 1);
    resolution_ = highest_ >= 4 ? level : std::min(level, highest_);

    const int plain = std::min(resolution_, 2);
    int read = plain;
    while (read >= 0 && !readPlain(file.f, read))
        --read;
    if (read < 0) {
        resolution_ = -1;
        return false; // the text of the last attempt stays
    }
    if (read < plain) {
        resolution_ = read;
        error_.clear(); // a lower plain level is delivered as it is
    }
    for (int l = 3; l <= std::min(resolution_, 4); ++l) {
        const int reached = resolution_;
        readResiduals(file.f, l);
        if (resolution_ < reached || !error_.empty()) {
            resolution_ = std::min(resolution_, l); // nothing above a damaged level
            return true;
        }
    }
    if (resolution_ == 5 && !read64Base(ipePath)) {
        resolution_ = 4;
        if (error_.empty()) error_ = "Error while processing 64Base image";
    }
    return true;
}

// Reads the residuals of 4Base (level 3) or 16Base (level 4) from the pack.
// A level whose buffers or tables cannot be had is not delivered; a stream
// that breaks off keeps the rows decoded before the break.
void pcdDecode::readResiduals(std::FILE *f, int level) {
    const int w = lumaWidth(level), h = lumaHeight(level);
    Plane *res = residual_[level - 3];
    const bool chroma = level == 4 && !lumaOnly_;
    if (!res[0].allocate(w, h, true) ||
        (chroma && (!res[1].allocate(w / 2, h / 2, true) || !res[2].allocate(w / 2, h / 2, true)))) {
        for (int p = 0; p < 3; ++p)
            res[p].reset();
        error_ = "memory allocation error";
        resolution_ = level - 1;
        return;
    }
    std::unique_ptr<Huffman[]> tables(new (std::nothrow) Huffman[3]);
    if (!tables) {
        for (int p = 0; p < 3; ++p)
            res[p].reset();
        error_ = "Could not allocate huffman tables";
        resolution_ = level - 1;
        return;
    }
    const long tableSector = level == 3 ? 388 : long(be16(header_.get() + kIPI + 1539)) + 12;
    try {
        const int count = chroma ? 3 : 1;
        std::vector<std::uint8_t> block(count == 1 ? kSectorSize : 2 * kSectorSize);
        if (std::fseek(f, tableSector * kSectorSize, SEEK_SET) != 0 ||
            readFully(f, block.data(), block.size()) < block.size())
            throw DecodeFailure{"Unexpected end of file in Huffman sequence"};
        std::size_t at = 0;
        for (int t = 0; t < count; ++t) {
            at += tables[t].parse(block.data() + at, block.size() - at);
            if (t > 0 && tables[t].codes <= 3) tables[t] = tables[t - 1];
        }
        BitReader in(f);
        in.start((tableSector + (level == 3 ? 1 : 2)) * kSectorSize);
        decodeRows(in, level, tables.get(), level == 3 ? 1536 : 4096, 0, 0);
    } catch (const DecodeFailure &e) {
        error_ = e.text;
    }
}

// Decodes rows of one level until the budget is used up or, once every plane
// with a buffer has been seen, a row number falls outside its plane.
void pcdDecode::decodeRows(BitReader &in, int level, const Huffman *tables, int budget, int stripeWidth,
                           int columnOffset) {
    Plane *res = residual_[level - 3];
    const int lumaH = lumaHeight(level);
    bool seen[3] = {!res[0], !res[1], !res[2]};
    int highestStripe = -1, extraRows = 0;
    if (budget <= 0) budget = 1;
    while (budget > 0) {
        in.synchronise();
        in.skip(16);
        const std::uint32_t header = in.window();
        int row, plane, stripe = 0;
        if (level == 5) {
            row = (header >> 6) & 0x3FFF;
            const int type = (header >> 19) & 6;
            if (type == 6) throw DecodeFailure{"Corrupt Image"};
            plane = type / 2;
            stripe = (header >> 1) & 0xF;
            in.skip(32);
        } else {
            row = (header >> 9) & 0x1FFF;
            const int type = (header >> 22) & 3;
            if (type == 1) throw DecodeFailure{"Corrupt Image"};
            plane = type == 0 ? 0 : type - 1;
            in.skip(24);
        }
        // A run that falls short still finishes its row of stripes; stripe
        // numbers have 4 bits, so that takes at most 15 more rows.
        if (!(budget == 1 && stripe < highestStripe && ++extraRows <= 15)) --budget;
        highestStripe = std::max(highestStripe, stripe);

        const int factor = level == 5 && plane > 0 ? 2 : 1;
        const bool inside = row * factor < lumaH;
        if (inside && res[plane]) {
            seen[plane] = true;
            Plane &dst = res[plane];
            const int y = level < 5 && plane > 0 ? row / 2 : row;
            int x0 = 0, n = dst.w;
            if (level == 5) {
                x0 = stripe * stripeWidth + (plane > 0 ? columnOffset / 2 : columnOffset);
                n = std::max(0, std::min(stripeWidth, dst.w - x0));
            }
            if (y < dst.h && n > 0) {
                std::uint8_t *out = dst.row(y) + x0;
                const Huffman &table = tables[plane];
                for (int i = 0; i < n; ++i) {
                    const unsigned bits = in.window() >> 16;
                    const int len = table.length[bits];
                    if (len == 31) {
                        std::memset(out + i, 0, n - i); // resynchronise at the next row
                        break;
                    }
                    out[i] = table.value[bits];
                    in.skip(len);
                }
            }
        }
        if (!inside && seen[0] && seen[1] && seen[2]) break;
    }
}

bool pcdDecode::ipeAlloc() {
    const bool chroma = ipeLayers_ == 3;
    Plane *res = residual_[2];
    if (res[0].allocate(6144, 4096, true) &&
        (!chroma || (res[1].allocate(3072, 2048, true) && res[2].allocate(3072, 2048, true))))
        return true;
    for (int p = 0; p < 3; ++p)
        res[p].reset();
    return false;
}

bool pcdDecode::read64Base(const char *ipePath) {
    const std::string info = ipePath ? ipePath : "";
    if (info.size() <= 9) {
        error_ = "IPE filename too short to be valid";
        return false;
    }
    const bool lowerCase = info[info.size() - 9] == 'e';
    std::vector<std::uint8_t> ic;
    {
        File file(info.c_str());
        if (!file.f) {
            error_ = "Could not open 64Base IPE file";
            return false;
        }
        std::uint8_t sector[kSectorSize];
        for (std::size_t k; (k = readFully(file.f, sector, sizeof sector)) == sizeof sector;)
            ic.insert(ic.end(), sector, sector + k);
        if (std::ferror(file.f)) {
            error_ = "Could not read 64Base IPE file";
            return false;
        }
    }
    Plane *res = residual_[2];
    // Each run seeks to its own offset, so a damaged list could make every run
    // scan the same files to their ends. A whole 64Base set is under 80 MB
    // even with the longest codes; reading more than this means damage.
    std::size_t allowance = std::size_t(256) << 20;
    try {
        const auto need = [&](std::size_t at, std::size_t n) {
            if (at > ic.size() || n > ic.size() - at) throw DecodeFailure{"IC File too small"};
            return ic.data() + at;
        };
        need(0, 60);
        const std::size_t layers = be32(ic.data() + 44);
        ipeLayers_ = int(be16(need(layers, 2)));
        if (ipeLayers_ != 1 && ipeLayers_ != 3) throw DecodeFailure{"Invalid number of layers"};
        if (lumaOnly_) ipeLayers_ = 1;
        const std::size_t files = be32(ic.data() + 48);
        ipeFiles_ = int(be16(need(files, 2)));
        if (ipeFiles_ < 1 || ipeFiles_ > 10 || ipeFiles_ < ipeLayers_)
            throw DecodeFailure{"Invalid number of IPE files"};
        need(files + 2, std::size_t(ipeFiles_) * 16);

        std::unique_ptr<Huffman[]> tables(new (std::nothrow) Huffman[3]);
        if (!tables) {
            error_ = "Could not allocate huffman tables";
            return false;
        }
        std::size_t at = be32(ic.data() + 56);
        for (int t = 0; t < ipeLayers_; ++t) {
            need(at, 1);
            at += tables[t].parse(ic.data() + at, ic.size() - at);
        }
        for (int t = ipeLayers_; t < 3; ++t)
            tables[t] = tables[0];
        if (!ipeAlloc()) throw DecodeFailure{"memory allocation error"};

        std::size_t record = layers + 2;
        for (int layer = 0; layer < ipeLayers_; ++layer) {
            const std::uint8_t *r = need(record, 18);
            const unsigned recordLength = be16(r);
            const std::uint32_t stripeWidth = be32(r + 10);
            const int columnOffset = int(be16(r + 8));
            if (stripeWidth == 0 || stripeWidth > 6144) throw DecodeFailure{"Corrupt Image"};
            const std::size_t count = std::size_t(be16(r + 4)) * be16(r + 6) / stripeWidth;
            const std::uint8_t *entries = need(be32(r + 14), count * 6);
            std::size_t counter = 0;
            unsigned index = count ? be16(entries) : 0;
            std::uint32_t offset = count ? be32(entries + 2) : 0;
            for (std::size_t k = 0; k < count; ++k) {
                const unsigned entryIndex = be16(entries + 6 * k);
                if (k + 1 < count && entryIndex == index) {
                    ++counter;
                    continue;
                }
                // Decode the run that this entry closes.
                if (index >= unsigned(ipeFiles_)) throw DecodeFailure{"Corrupt Image"};
                std::string name = textField(ic.data() + files + 2 + 16 * index, 12);
                if (lowerCase)
                    std::transform(name.begin(), name.end(), name.begin(),
                                   [](unsigned char c) { return char(std::tolower(c)); });
                const std::string path = info.substr(0, info.size() - 7) + name;
                File part(path.c_str());
                if (!part.f) throw DecodeFailure{"Could not open 64Base extension image"};
                BitReader in(part.f, &allowance);
                in.start(long(offset));
                decodeRows(in, 5, tables.get(), int(std::min<std::size_t>(counter, 1 << 24)),
                           int(stripeWidth), columnOffset);
                counter = 0;
                index = entryIndex;
                offset = be32(entries + 6 * k + 2);
            }
            if (recordLength < 2) throw DecodeFailure{"Corrupt Image"};
            record += recordLength;
        }
        return true;
    } catch (const DecodeFailure &e) {
        if (error_.empty()) error_ = e.text + " while processing 64Base image";
    } catch (...) {
        error_ = "Error while processing 64Base image";
    }
    for (int p = 0; p < 3; ++p)
        res[p].reset();
    return false;
}

bool pcdDecode::getMetadataItem(int index, std::string &name, std::string &value) const {
    if (index < 0 || index >= kMetadataItems || !header_) {
        name = value = "Error";
        return false;
    }
    name = kItemNames[index];
    value = "-";
    if (!haveIPI_) return true;
    const std::uint8_t *ipi = header_.get() + kIPI;
    const auto available = [](const std::uint8_t *p) {
        return !(p[0] == 0 && p[1] == 0 && p[2] == 0xFF && p[3] == 0xFF);
    };
    const auto version = [&](int at) {
        return available(ipi + at) ? std::to_string(ipi[at]) + "." + std::to_string(ipi[at + 1])
                                   : std::string("-");
    };
    const auto time = [&](int at) {
        if (!available(ipi + at)) return std::string("-");
        const std::time_t t = std::time_t(be32(ipi + at));
        std::tm tm{};
        char text[64] = {};
        if (!localtime_r(&t, &tm) || !asctime_r(&tm, text)) return std::string("-");
        std::string s(text);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    };
    const bool sba = std::memcmp(ipi + 225, "SBA", 3) == 0;
    switch (index) {
    case 0:
        value = version(7);
        break;
    case 1:
        value = version(9);
        break;
    case 2:
        value = time(13);
        break;
    case 3:
        value = time(17);
        break;
    case 4:
        if (ipi[21] < 10) value = kMedium[ipi[21]];
        break;
    case 5:
        value = textField(ipi + 22, 20);
        break;
    case 6:
        value = textField(ipi + 42, 20);
        break;
    case 7:
        value = textField(ipi + 62, 16);
        break;
    case 8:
        value = textField(ipi + 78, 4);
        break;
    case 9:
        value = textField(ipi + 82, 8);
        break;
    case 10:
        value = textField(ipi + 90, 20);
        break;
    case 11: {
        char text[16];
        std::snprintf(text, sizeof text, "%d%d.%d%d", ipi[110] >> 4, ipi[110] & 15, ipi[111] >> 4,
                      ipi[111] & 15);
        value = text;
        break;
    }
    case 12:
        value = textField(ipi + 112, 20);
        break;
    case 13:
        if (ipi[132] <= 4) value = textField(ipi + 165, 20);
        break;
    case 14:
        if (sba) value = version(7);
        break;
    case 15:
        if (sba && ipi[230] < 4) value = kSBACommand[ipi[230]];
        break;
    case 16:
        if (sba) value = filmName(int(be16(ipi + 325)));
        break;
    case 17:
        value = ipi[331] == 1
                    ? "Copyright restrictions apply - see copyright file on original CD-ROM for details"
                    : "Copyright restrictions not specified";
        break;
    case 18:
        if (ipi[331] == 1) value = textField(ipi + 332, 12);
        break;
    case 19:
        value = kCompression[compression_];
        break;
    }
    if (value.empty()) value = "-";
    return true;
}

} // namespace orvanta
