#pragma once
// Turns one image's settings and its decoder's camera parameters into what
// the core colour engine renders with: a 4 × 4 colour matrix (white balance,
// exposure, saturation and hue; its fourth column the weights that index the
// tone table), a tone table of gains with an output offset, and the two
// parameters of the optional highlight knee. All arithmetic in 32-bit floats.

#include "ImageBuffer.h"
#include "platform/Value.h"

#include <optional>

namespace orvanta {

class ComputeMatrixAndLUT {
public:
    void setCameraParameters(Dictionary d) {
        cameraParameters = std::move(d);
        haveCamera_ = true;
    }
    void setImageParameters(Dictionary d) {
        imageParameters = std::move(d);
        haveImage_ = true;
    }
    void setEnableCinematic(bool v) { enableCinematic = v; }

    // Fills the tone table (an F32 buffer of N × 1 pixels), the 16-float
    // matrix and the three scalars; false, writing nothing, when an input is
    // missing.
    bool populateFloatLUTAndMatrix(ImageBuffer *lut, float matrix[16], float *outputOffset, float *kneeLow,
                                   float *kneeF);

    // The knee's k: the solution of ln(1 + k·a) / k = b.
    static float solveKnee(float a, float b);

    Dictionary cameraParameters, imageParameters;
    bool haveTemperature = false, haveBaseline = false;
    float camFromXYZ[3][3] = {}, camFromRGB[3][3] = {};
    float asShotMultiplier[3] = {1, 1, 1};
    float wbMultiplier[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    float xformMatrix[3][3] = {};
    float baselineExposure = 0;
    bool enableCinematic = false;

private:
    bool haveCamera_ = false, haveImage_ = false;
};

} // namespace orvanta
