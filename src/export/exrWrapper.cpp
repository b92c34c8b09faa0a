#include "exrWrapper.h"

#include "MetadataDecode.h"
#include "platform/FileUtil.h"
#include "platform/ImagePropertyKeys.h"

#include <ImfChannelList.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfPreviewImage.h>
#include <ImfStringAttribute.h>
#include <ImfThreading.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <half.h>
#include <memory>
#include <stdexcept>
#include <vector>

namespace orvanta {

namespace ip = imageprops;

// The system's own small class around the library: the header and the
// choices one write needs.
class exrWriter {
public:
    exrWriter(int w, int h)
        : width(w), height(h),
          header(w, h, 1.0f, Imath::V2f(0, 0), 1.0f, Imf::INCREASING_Y, Imf::ZIP_COMPRESSION) {}

    void setString(const char *name, const std::string &text) {
        header.insert(name, Imf::StringAttribute(text));
    }
    void setFloat(const char *name, float v) { header.insert(name, Imf::FloatAttribute(v)); }
    bool has(const char *name) const { return header.find(name) != header.end(); }

    int width, height;
    bool floatSamples = false, chromaticities = false, noAlpha = false;
    Imf::Header header;
    std::string errorText;
};

exrWrapper::exrWrapper(int width, int height) {
    try {
        writer_ = std::make_unique<exrWriter>(std::max(width, 1), std::max(height, 1));
        writer_->width = width, writer_->height = height;
    } catch (const std::exception &) {
        writer_.reset();
    }
}

exrWrapper::~exrWrapper() = default;

std::uint8_t exrWrapper::previewValue(float c) {
    const double v = 84.66 * std::pow(5.5555 * std::max(0.0f, c), 0.4545);
    return static_cast<std::uint8_t>(std::floor(std::clamp(v, 0.0, 255.0)));
}

void exrWrapper::addMetaData(const Dictionary &metaData) {
    if (!writer_) return;
    exrWriter &w = *writer_;
    for (const auto &[group, value] : metaData) {
        const Dictionary *d = value.dictionary();
        if (!d) continue;
        for (const auto &[key, ignored] : *d) {
            std::int64_t i = 0;
            double f = 0;
            const auto text = decodeObject(*d, key, &i, &f);
            if (!text) continue;
            if (group == ip::kTIFFDictionary) {
                if (key == ip::kTIFFMake)
                    w.setString("make", *text);
                else if (key == ip::kTIFFModel)
                    w.setString("model", *text);
                else if (key == ip::kTIFFSoftware)
                    w.setString("software", *text);
                else if (key == ip::kTIFFDateTime)
                    w.setString("capDate", *text);
                else if (key == ip::kTIFFArtist) {
                    if (!w.has("owner")) w.setString("owner", *text);
                } else if (key == ip::kTIFFCopyright)
                    w.setString("owner", *text);
            } else if (group == ip::kExifDictionary) {
                if (key == ip::kExifExposureTime)
                    w.setFloat("expTime", static_cast<float>(f));
                else if (key == ip::kExifShutterSpeedValue)
                    w.setFloat("expTime", static_cast<float>(1.0 / std::exp2(f)));
                else if (key == ip::kExifISOSpeedRatings)
                    w.setFloat("isoSpeed", static_cast<float>(f));
                else if (key == ip::kExifApertureValue)
                    w.setFloat("aperture", static_cast<float>(std::exp2(f / 2)));
                else if (key == ip::kExifSubjectDistance)
                    w.setFloat("focus", static_cast<float>(f));
                else if (key == ip::kExifUserComment)
                    w.setString("comments", *text);
                else if (key == ip::kExifDateTimeDigitized)
                    w.setString("capDate", *text);
            } else if (group == ip::kExifAuxDictionary && key == ip::kExifAuxLensModel) {
                w.setString("lensModel", *text);
            }
        }
    }
    // A copyright is the owner whatever came first.
    if (const Value *tiff = metaData.get(ip::kTIFFDictionary); tiff && tiff->dictionary())
        if (auto c = decodeObject(*tiff->dictionary(), ip::kTIFFCopyright, nullptr, nullptr))
            w.setString("owner", *c);
}

std::uint32_t exrWrapper::writeToFile(const float *rgba, int outputFormat, const std::string &path,
                                      const Dictionary &metaData, const std::string &) {
    if (!writer_) return 0xFFFFFFFFu;
    exrWriter &w = *writer_;
    w.chromaticities = false;
    if (outputFormat >= 0 && outputFormat <= 3) {
        w.floatSamples = (outputFormat & 1) != 0;
        w.noAlpha = outputFormat >= 2;
    }
    try {
        if (!rgba || w.width <= 0 || w.height <= 0) throw std::invalid_argument("no pixels to write");
        addMetaData(metaData);
        const int pw = w.width / 8, ph = w.height / 8;
        Imf::PreviewImage preview(static_cast<unsigned>(pw), static_cast<unsigned>(ph));
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) {
                const float *p =
                    rgba + (static_cast<std::size_t>(y) * 8 * w.width + static_cast<std::size_t>(x) * 8) * 4;
                Imf::PreviewRgba &o = preview.pixel(static_cast<unsigned>(x), static_cast<unsigned>(y));
                o.r = previewValue(p[0]), o.g = previewValue(p[1]), o.b = previewValue(p[2]);
                o.a = static_cast<unsigned char>(std::floor(std::clamp(255.0f * p[3], 0.0f, 255.0f) + 0.5f));
            }
        w.header.setPreviewImage(preview);
        if (!w.chromaticities) w.header.erase("chromaticities");
        const Imf::PixelType type = w.floatSamples ? Imf::FLOAT : Imf::HALF;
        const char *names[4] = {"R", "G", "B", "A"};
        const int channels = w.noAlpha ? 3 : 4;
        for (int c = 0; c < channels; ++c)
            w.header.channels().insert(names[c], Imf::Channel(type));
        // Written beside the destination and renamed into place when whole.
        Error fileError;
        ReplacementFile target(path, &fileError);
        if (!target.ok()) throw std::runtime_error("Cannot open " + path + ": " + fileError.reason);
        auto file =
            std::make_unique<Imf::OutputFile>(target.path().c_str(), w.header, Imf::globalThreadCount());
        Imf::FrameBuffer frame;
        const std::size_t n = static_cast<std::size_t>(w.width) * w.height;
        std::vector<half> halves;
        if (w.floatSamples) {
            for (int c = 0; c < channels; ++c)
                frame.insert(names[c],
                             Imf::Slice(Imf::FLOAT, reinterpret_cast<char *>(const_cast<float *>(rgba) + c),
                                        16, 16 * static_cast<std::size_t>(w.width)));
        } else {
            halves.resize(n * 4);
            for (std::size_t i = 0; i < n * 4; ++i)
                halves[i] = half(rgba[i]);
            for (int c = 0; c < channels; ++c)
                frame.insert(names[c], Imf::Slice(Imf::HALF, reinterpret_cast<char *>(halves.data() + c), 8,
                                                  8 * static_cast<std::size_t>(w.width)));
        }
        file->setFrameBuffer(frame);
        file->writePixels(w.height);
        file.reset(); // closes the file
        if (!target.commit(&fileError))
            throw std::runtime_error("Cannot write " + path + ": " + fileError.reason);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        w.errorText = std::string(e.what()).substr(0, 767);
        return 1;
    }
    return 0;
}

std::string exrWrapper::errorStringForCode(std::uint32_t) const {
    return writer_ ? writer_->errorText : "No exrWriter object";
}

} // namespace orvanta
