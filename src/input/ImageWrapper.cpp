#include "ImageWrapper.h"

#include <sys/stat.h>

namespace orvanta {

ImageWrapper::ImageWrapper(std::string path, std::string fileUUID, bool thumbNail)
    : uuid_(std::move(fileUUID)), fileSource_(std::move(path)), wantThumbNail_(thumbNail) {
    struct stat st {};
    parseOK_ = !fileSource_.empty() && ::stat(fileSource_.c_str(), &st) == 0;
}

ImageWrapper::~ImageWrapper() = default;

void ImageWrapper::sRGBCameraMatrix(float m[3][3], float *whitex, float *whitey) {
    static constexpr float k[3][3] = {{0.412456f, 0.357576f, 0.180438f},
                                      {0.212673f, 0.715152f, 0.072175f},
                                      {0.019334f, 0.119192f, 0.950304f}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = k[i][j];
    *whitex = 0.3127f;
    *whitey = 0.3290f;
}

Dictionary
ImageWrapper::parametersFrom(const std::vector<std::pair<const char *, std::optional<Value>>> &list) {
    Dictionary d;
    for (const auto &[key, value] : list) {
        if (!value) break; // the list ends at the first missing value
        d.set(key, *value);
    }
    return d;
}

} // namespace orvanta
