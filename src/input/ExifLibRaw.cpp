// Adapter between the raw decoder library's EXIF parser callback and the
// EXIF reader.

#include "ExifEngine.h"

#include <libraw/libraw.h>

namespace orvanta {
namespace {

class LibRawStream : public ExifSource {
public:
    explicit LibRawStream(LibRaw_abstract_datastream *s) : s_(s) {}
    std::size_t read(void *buffer, std::size_t size) override {
        const int n = s_->read(buffer, 1, size);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    bool seek(std::int64_t position) override { return s_->seek(position, SEEK_SET) == 0; }
    std::int64_t tell() override { return s_->tell(); }
    std::int64_t size() override { return s_->size(); }

private:
    LibRaw_abstract_datastream *s_;
};

} // namespace

void exifEngine::libRawCallback(void *context, int tag, int type, int len, unsigned int ord, void *ifp,
                                long long /*base: the stream is already at the value*/) {
    auto *engine = static_cast<exifEngine *>(context);
    if (!engine || !ifp || len < 0) return;
    // The library marks where a tag came from in the bits above the tag
    // number: 0x50000 the GPS directory; 0x20000 Kodak's and 0x40000 the
    // interoperability directories, whose numbers mean other things; the
    // rest are TIFF and EXIF directories.
    const unsigned number = static_cast<unsigned>(tag) & 0xFFFF;
    const unsigned marker = (static_cast<unsigned>(tag) >> 16) & 0xF;
    int kind;
    if (marker == 5)
        kind = kGPSDirectory;
    else if (marker == 2 || marker == 4)
        return;
    else
        kind = kTIFFDirectory;
    engine->setByteOrder(ord == 0x4949);
    LibRawStream stream(static_cast<LibRaw_abstract_datastream *>(ifp));
    engine->recordTag(stream, number, type, static_cast<std::uint32_t>(len), kind);
}

} // namespace orvanta
