#pragma once
// The EXIF reader: collects a raw file's metadata while the raw decoder
// library parses the file's TIFF structure. The library reports every tag it
// visits with the file positioned at the tag's value; the reader looks the
// tag up in its tables, decodes the value and files it in an
// image-properties dictionary (top level, {TIFF}, {Exif}, {GPS}).
//
// Reading is bounded: a value that would run past the end of the file, or of
// absurd size, is skipped; nothing is read outside the file and no
// allocation follows a count without a limit.

#include "platform/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

// A readable file positioned at a tag's value.
class ExifSource {
public:
    virtual ~ExifSource();
    // Reads up to size bytes; returns how many were read.
    virtual std::size_t read(void *buffer, std::size_t size) = 0;
    virtual bool seek(std::int64_t position) = 0;
    virtual std::int64_t tell() = 0;
    virtual std::int64_t size() = 0;
};

// A byte block as an ExifSource.
class MemoryExifSource : public ExifSource {
public:
    MemoryExifSource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::size_t read(void *buffer, std::size_t size) override;
    bool seek(std::int64_t position) override;
    std::int64_t tell() override { return static_cast<std::int64_t>(pos_); }
    std::int64_t size() override { return static_cast<std::int64_t>(size_); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

class exifEngine {
public:
    enum DirectoryKind { kTIFFDirectory = 0, kGPSDirectory = 1 };

    // TIFF field types.
    enum : int {
        kByte = 1,
        kAscii = 2,
        kShort = 3,
        kLong = 4,
        kRational = 5,
        kSByte = 6,
        kUndefined = 7,
        kSShort = 8,
        kSLong = 9,
        kSRational = 10,
        kFloat = 11,
        kDouble = 12,
        kIFD = 13,
        kLong8 = 16,
        kSLong8 = 17,
        kIFD8 = 18
    };

    void setByteOrder(bool littleEndian) { littleEndian_ = littleEndian; }
    bool littleEndian() const { return littleEndian_; }

    // Records one tag; the file is positioned at its value and is left where
    // it was found.
    void recordTag(ExifSource &file, unsigned tag, int type, std::uint32_t count, int directoryKind);

    // The collected metadata, or nullopt when nothing was stored.
    std::optional<Dictionary> dictionary() const;

    // Parses a TIFF structure held in memory (the EXIF block of an embedded
    // JPEG), recording its tags. Returns "ok" or the failure text.
    std::string parseEmbeddedTiff(const std::uint8_t *data, std::size_t size);
    // The status of the last embedded parse ("ok" when none failed).
    const std::string &embeddedStatus() const { return embeddedStatus_; }

    // The raw decoder library's EXIF parser callback; context is an exifEngine.
    static void libRawCallback(void *context, int tag, int type, int len, unsigned int ord, void *ifp,
                               long long base);

    // Largest value (bytes) read for one tag; larger values are skipped.
    static constexpr std::uint64_t kMaxValueBytes = 16u << 20;

private:
    void recordEmbeddedJpeg(ExifSource &file, std::uint32_t count);
    void parseIfd(MemoryExifSource &src, std::uint32_t offset, int kind, int depth);
    void store(const char *group, const char *key, Value v);

    bool littleEndian_ = true;
    std::uint32_t largestWidth_ = 0, largestHeight_ = 0;
    Dictionary dict_;
    bool any_ = false;
    int embeddedDepth_ = 0;
    std::string embeddedStatus_ = "ok";
};

} // namespace orvanta
