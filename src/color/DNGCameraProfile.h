#pragma once
// DNG camera profiles: one profile read from a ".dcp" file (its colour
// matrices, name, camera-model restriction and tone curve), or the built-in
// placeholder that stands for the decoder's own colour data and the default
// tone curve; and the manager of the user's profile folder.

#include "DcpReader.h"
#include "DngToneCurve.h"
#include "platform/Error.h"
#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

// A small RGBA picture (8 bits a sample, rows packed).
struct RgbaBitmap {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
};

class DNGCameraProfileAbstract : public Object {
public:
    static constexpr const char *kBuiltinName = "<Orvanta built-in profile>";

    static std::shared_ptr<DNGCameraProfileAbstract> initFromFile(const std::string &path);
    static std::shared_ptr<DNGCameraProfileAbstract> initAsAutoProfile();
    // The file named by "FileName" in the profile folder; the placeholder
    // when the key is absent or the file does not read.
    static std::shared_ptr<DNGCameraProfileAbstract> initFromPList(const Dictionary &plist);
    Dictionary objectSerializeForPList() const;

    std::string displayName() const;
    std::string description() const { return displayName(); }
    bool isAutoProfile() const { return profileURL.empty(); }

    float getcolorMatrix1(int row, int col) const { return colorMatrix1[row][col]; }
    float getcolorMatrix2(int row, int col) const { return colorMatrix2[row][col]; }
    void setcolorMatrix1(int row, int col, float v) { colorMatrix1[row][col] = v; }
    void setcolorMatrix2(int row, int col, float v) { colorMatrix2[row][col] = v; }

    // The exposure-adjust curve: a line of slope 2^e, for e < 0 joined at
    // 0.25 to a parabola that reaches 1 at 1.
    struct CurveAdjust {
        float fSlope = 1, a = 0, b = 1, c = 0;
        static CurveAdjust forExposure(float e);
        float operator()(float x) const { return x <= 0.25f ? x * fSlope : (a * x + b) * x + c; }
    };
    void computecurveAdjust(float exposure);
    float curveAdjust(float x) const { return CurveAdjust{fSlope, a, b, c}(x); }

    // Fills a tone table of lutSize entries: the float table ends up holding
    // output ÷ input gains. Safe to call for one profile from several threads.
    void generateLUT(std::uint16_t *lut, float *fLut, std::uint32_t lutSize, float baselineExposure,
                     bool processAsOutputReferred, bool clipWhites, float toneCurve) const;
    void generateLUT16(std::uint16_t *lut, float *fLut, float baselineExposure, bool processAsOutputReferred,
                       bool clipWhites, float toneCurve) const {
        generateLUT(lut, fLut, 65536, baselineExposure, processAsOutputReferred, clipWhites, toneCurve);
    }

    static double dng_tone_curve_acr3_default(double x) { return dng::acr3Default(x); }
    static double dng_tone_curve_acr3_default(double x, double from, double to); // inRangeFrom:to:
    static double dng_tone_curve_acr3_default_normalized(double x, double from,
                                                         double to); // forNormalizedRangeFrom:to:

    // A picture of the profile's tone curve (the default curve when it has
    // none), for the profile browser.
    static std::optional<RgbaBitmap> imageWithPreviewOfFileAtPath(const std::string &path, int width,
                                                                  int height, bool asIcon);

    std::string className() const override { return "DNGCameraProfileAbstract"; }
    bool isEqual(const Object &other) const override;
    std::size_t hash() const override;

    float colorMatrix1[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    float colorMatrix2[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    std::string name;
    std::string uniqueCameraModelRestriction;
    std::optional<RgbaBitmap> icon;
    std::string profileURL; // the file; empty exactly for the placeholder
    float fSlope = 1, a = 0, b = 1, c = 0;
    std::vector<std::pair<double, double>> toneCurvePoints; // empty: no usable profile curve

private:
    DNGCameraProfileAbstract() = default;
};

class CameraProfileManager {
public:
    using ProfileList = std::vector<std::shared_ptr<DNGCameraProfileAbstract>>;

    static CameraProfileManager &sharedCameraProfileManager();
    // The folder "Profiles" in the application-support folder; empty when it
    // can be neither found nor created.
    static std::string profileDirectory();

    void iterateProfiles();
    ProfileList profileList(bool withAutomatic);
    ProfileList profileListForMenu() { return profileList(true); }
    // Copies the file into the folder under its own name; an existing file of
    // that name is kept and the copy fails with the file error.
    bool addProfile(const std::string &path, Error *error = nullptr);
    bool removeProfile(const DNGCameraProfileAbstract &profile, Error *error = nullptr);

private:
    CameraProfileManager() = default;
    ProfileList _profileList;
};

} // namespace orvanta
