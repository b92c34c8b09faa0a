#pragma once
// OpenEXR export: half or float channels, with or without alpha, ZIP
// compression, header attributes from the export metadata and an 8-bit
// preview. Library failures never escape: they become result 1 with the
// library's message as the error text.

#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <string>

namespace orvanta {

class exrWriter;

class exrWrapper {
public:
    exrWrapper(int width, int height); // initWithSize:height:
    ~exrWrapper();

    // rgba: width × height pixels of four floats, rows packed. Output format
    // 0 half RGBA, 1 float RGBA, 2 half RGB, 3 float RGB; others keep half RGBA.
    // 0 on success, 1 on failure, 0xFFFFFFFF without a writer.
    std::uint32_t writeToFile(const float *rgba, int outputFormat, const std::string &path,
                              const Dictionary &metaData, const std::string &type);
    void addMetaData(const Dictionary &metaData);
    std::string errorStringForCode(std::uint32_t code) const;

    // The preview's 8-bit value of a linear channel value.
    static std::uint8_t previewValue(float c);

private:
    std::unique_ptr<exrWriter> writer_;
};

} // namespace orvanta
