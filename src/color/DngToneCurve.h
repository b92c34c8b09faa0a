#pragma once
// Tone-curve mathematics of DNG camera profiles: the natural cubic spline
// through a profile's tone-curve points and the default (ACR3) tone curve,
// computed as the DNG reference implementation computes them.

#include <utility>
#include <vector>

namespace orvanta::dng {

extern const float kAcr3ToneTable[1025];

// The default tone curve: linear interpolation in the 1025-entry table; below
// 1/1024 and from 1.0 up the input passes through unchanged.
double acr3Default(double x);

// A natural cubic spline in Hermite form, held flat outside its points.
class SplineSolver {
public:
    void add(double x, double y) {
        X.push_back(x);
        Y.push_back(y);
    }
    void reset() { X.clear(), Y.clear(), S.clear(); }
    // Needs at least two points with strictly increasing x.
    void solve();
    double evaluate(double x) const;

    std::vector<double> X, Y, S;
};

// A profile's tone curve is usable when it has at least two points, every
// coordinate lies within 0…1, and the inputs strictly increase.
bool isValidToneCurve(const std::vector<std::pair<double, double>> &points);

} // namespace orvanta::dng
