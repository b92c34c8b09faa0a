// The EXIF reader on arbitrary bytes: the embedded-TIFF parser, the embedded
// JPEG path and single tags of any number, type and count.

#include "input/ExifEngine.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace orvanta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    {
        exifEngine e;
        e.parseEmbeddedTiff(data, size);
        (void)e.dictionary();
    }
    if (size >= 10) {
        exifEngine e;
        e.setByteOrder(data[0] & 1);
        std::uint16_t tag;
        std::uint32_t count;
        std::memcpy(&tag, data + 1, 2);
        std::memcpy(&count, data + 3, 4);
        const int type = data[7] % 20, kind = data[8] & 1;
        MemoryExifSource src(data + 9, size - 9);
        e.recordTag(src, data[9] & 1 ? 46 : tag, type, count, kind);
        e.recordTag(src, tag, type, count, kind);
        (void)e.dictionary();
    }
    return 0;
}
