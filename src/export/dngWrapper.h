#pragma once
// DNG and 16-bit TIFF export through the DNG negative writer: sets the
// identification fields, maps the export's image properties to DNG EXIF
// fields, and turns the writer's result code into a message.

#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace orvanta {

class pcdToDNG;

class dngWrapper {
public:
    dngWrapper(int width, int height); // initWithSize:height:
    ~dngWrapper();

    // rgb: width × height × 3 linear 16-bit samples in the export working
    // space. type: "com.adobe.dng" or "public.tiff". 0 on success.
    std::uint32_t writeToFile(const std::uint16_t *rgb, int outputFormat, const std::string &path,
                              const std::optional<std::string> &embedFile, const Dictionary &metaData,
                              const std::string &type);
    void addMetaData(const Dictionary &metaData);
    void setEXIFFromMacImageProperty(const std::string &key, const Dictionary &properties);
    std::string errorStringForCode(std::uint32_t code) const;

    pcdToDNG *writer() { return dngWriter.get(); }

private:
    std::unique_ptr<pcdToDNG> dngWriter;
};

} // namespace orvanta
