// The document's export: a full-size render through its pipeline in the
// output type's rendering space, handed to the JPEG, DNG/TIFF or OpenEXR
// writer with the image's metadata.

#include "MyDocument.h"
#include "color/ColorSyncProfileWrap.h"
#include "engine/TiledEngine.h"
#include "export/JpegWriter.h"
#include "export/dngWrapper.h"
#include "export/exrWrapper.h"
#include "input/CGImageBitMap.h"
#include "input/ImageWrapper.h"
#include "orvanta/Version.h"
#include "platform/ImagePropertyKeys.h"
#include "platform/Log.h"

#include <filesystem>
#include <new>
#include <unistd.h>

namespace orvanta {

namespace ip = imageprops;

namespace {

constexpr const char *kJPEG = "public.jpeg", *kTIFF = "public.tiff", *kDNG = "com.adobe.dng",
                     *kEXR = "com.ilm.openexr-image";

template <class T> std::unique_ptr<T[]> tryAllocate(std::size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

} // namespace

bool MyDocument::extEditorUpdate(Error *error) {
    if (!extEditorURL_) {
        fail(error, kOrvantaCannotResolve, "Quenfold could not resolve the file location.");
        return false;
    }
    std::string ext = std::filesystem::path(*extEditorURL_).extension().string();
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char *type = ext == ".jpg" || ext == ".jpeg" ? kJPEG : kTIFF;
    return exportToURL(*extEditorURL_, type, Rect(0, 0, 0, 0), false, error);
}

std::string MyDocument::exportTypeForIndex(std::int64_t index) {
    switch (index) {
    case 1:
        return kTIFF;
    case 2:
        return kDNG;
    case 3:
    case 4:
    case 5:
    case 6:
        return kEXR;
    default:
        return kJPEG;
    }
}

int MyDocument::exrCodeForIndex(std::int64_t index) {
    return index == 4 ? 2 : index == 5 ? 1 : index == 6 ? 3 : 0;
}

const std::vector<std::string> &MyDocument::ExportFileTypeMenuList() {
    static const std::vector<std::string> titles = {"JPEG",    "TIFF",       "DNG",           "EXR",
                                                    "EXR RGB", "EXR 32-bit", "EXR 32-bit RGB"};
    return titles;
}

bool MyDocument::exportToURL(const std::string &path, const std::string &type, const Rect &crop,
                             bool canReleaseImages, Error *error) {
    const Value *indexValue = imageParameters.get("Orvanta_ExportFileType");
    const std::int64_t index = indexValue ? indexValue->toInt64().value_or(0) : 0;
    const int exrCode = exrCodeForIndex(index);
    const bool isEXR = type == kEXR, isDNGorTIFF = type == kDNG || type == kTIFF;

    auto engine = displayEngine_;
    if (!engine) {
        fail(error, -7, "Internal Error - finalCGImage does not exist");
        return false;
    }
    // Without a delegate the pipeline renders at once, on this thread.
    auto previousDelegate = engine->delegate();
    engine->setDelegate(nullptr);
    engine->configureRenderingSpaceForType(type, false);
    engine->engineActiveRectDirty(nullptr);
    auto restore = [&] {
        if (canReleaseImages) return;
        engine->configureRenderingSpaceForType(std::nullopt, false);
        if (previousDelegate) engine->setDelegate(previousDelegate);
    };
    if (!engine->outputImage()) {
        restore();
        // A file that could not be decoded says why, rather than that the
        // picture is missing.
        auto w = engine->rawFileWrapper();
        if (w && w->error()) {
            if (error) *error = *w->error();
        } else {
            fail(error, -7, "Internal Error - finalCGImage does not exist");
        }
        return false;
    }
    const Value *o = imageParameters.get("Orvanta_ImageOrientation");
    const int orientation = o && o->toFloat() ? static_cast<int>(*o->toFloat()) : 1;

    std::unique_ptr<CGImageBitMap> picture;
    std::shared_ptr<ColorSyncProfileWrap> space;
    auto wrapper = engine->rawFileWrapper();
    Dictionary meta = wrapper ? wrapper->metaData() : Dictionary{};
    {
        std::lock_guard lock(monitor_);
        auto out = engine->outputImage();
        out->flushCache();
        space = engine->renderingSpace();
        const Rect extent = out->extent();
        Rect rect = extent;
        if (crop.size.width >= 1 && crop.size.height >= 1)
            rect = Rect(crop.origin.x, extent.size.height - crop.size.height - crop.origin.y, crop.size.width,
                        crop.size.height);
        picture = out->imageTile(1.0f, rect, space, nullptr, isEXR, orientation);
    }
    restore();
    if (!picture) {
        fail(error, -7, "Internal Error - finalCGImage does not exist");
        return false;
    }

    float quality = 1.0f;
    if (type == kJPEG) {
        const Value *q = imageParameters.get("Orvanta_JPEGQuality");
        quality = (q && q->toFloat() ? *q->toFloat() : 10.0f) / 10.0f;
    }
    meta.set(ip::kOrientation, 1);
    meta.set(ip::kHasAlpha, false);
    meta.set(ip::kLossyCompressionQuality, quality);
    Dictionary tiff;
    if (const Value *t = meta.get(ip::kTIFFDictionary); t && t->dictionary()) tiff = *t->dictionary();
    tiff.set(ip::kTIFFSoftware, std::string("Orvanta V") + kVersionString);
    meta.set(ip::kTIFFDictionary, tiff);
    if (wrapper) wrapper->setMetaData(meta);

    const int w = picture->getWidth(), h = picture->getHeight();
    const std::size_t pixels = static_cast<std::size_t>(w) * h;
    if (isEXR) {
        exrWrapper writer(w, h);
        auto buffer = tryAllocate<float>(pixels * 4);
        if (!buffer) {
            fail(error, -10, "Not enough memory to complete operation");
            return false;
        }
        if (!picture->getFloatRBGABuffer(buffer.get())) {
            fail(error, -9, "Internal Error - could not get linear buffer to export");
            return false;
        }
        const std::uint32_t code = writer.writeToFile(buffer.get(), exrCode, path, meta, type);
        if (code) {
            fail(error, -13, writer.errorStringForCode(code));
            return false;
        }
        return true;
    }
    auto buffer = tryAllocate<std::uint16_t>(pixels * 3);
    if (!buffer) {
        fail(error, -10, "Not enough memory to complete operation");
        return false;
    }
    if (!picture->getLinearBuffer(buffer.get())) {
        fail(error, -9, "Internal Error - could not get linear buffer to export");
        return false;
    }
    picture.reset();
    if (isDNGorTIFF) {
        dngWrapper writer(w, h);
        const std::uint32_t code = writer.writeToFile(buffer.get(), 0, path, std::nullopt, meta, type);
        if (code) {
            fail(error, -13, writer.errorStringForCode(code));
            return false;
        }
        return true;
    }
    // JPEG: a destination that cannot be made at all is −11; a failed write
    // is tried once more without the EXIF entries before giving up (−12).
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0) {
        fail(error, -11, "Could not create output destination");
        return false;
    }
    const std::vector<std::uint8_t> icc = space ? space->iccData() : std::vector<std::uint8_t>{};
    std::string message;
    if (JpegWriter::write(path, buffer.get(), w, h, quality, meta, icc, &message)) return true;
    meta.remove(ip::kExifDictionary);
    if (wrapper) wrapper->setMetaData(meta);
    if (JpegWriter::write(path, buffer.get(), w, h, quality, meta, icc, &message)) return true;
    logMessage(">> %s", message.c_str());
    fail(error, -12, "Could not finalize output destination");
    return false;
}

} // namespace orvanta
