#pragma once
// Reads the camera-profile file layout: byte order "II" or "MM", magic
// 0x4352, one directory of camera-profile tags. Only the tags the program
// uses are kept; the parse never reads outside the data and fails (returns
// nullopt with a reason) on anything malformed.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvanta::dcp {

struct Matrix {
    int rows = 0, cols = 3;
    std::vector<double> values; // row-major
};

struct ProfileData {
    std::string name;                                 // ProfileName (50936)
    std::string uniqueCameraModel;                    // UniqueCameraModel (50708)
    Matrix colorMatrix1, colorMatrix2;                // 50721, 50722 (XYZ to camera)
    std::vector<std::pair<double, double>> toneCurve; // ProfileToneCurve (50940), empty when absent
};

std::optional<ProfileData> parse(const std::uint8_t *data, std::size_t size, std::string *why = nullptr);
std::optional<ProfileData> parseFile(const std::string &path, std::string *why = nullptr);

} // namespace orvanta::dcp
