#pragma once
// The built-in ICC profiles, generated with LittleCMS as real ICC byte blocks:
// the two "SoftProof ProPhoto Gamma 1" rendering spaces (D50 white, and D65
// white with a Bradford adaptation tag), "Rec 709 Gamma 1", "Generic PCD",
// the five Photo CD film-scanner profiles (lut16 A2B0 on a 31³ grid) and an
// sRGB profile described "sRGB IEC61966-2.1".

#include <cstdint>
#include <vector>

namespace orvanta::builtin {

enum class Profile {
    ProPhotoG1,
    ProPhotoG1_D65,
    Rec709G1,
    GenericPCD,
    Pcd2e,
    Pcd4e,
    Pcd2k,
    Pcd4k,
    PcdXn,
    SRGB
};

// The profile's bytes; empty if LittleCMS could not build it.
std::vector<std::uint8_t> bytes(Profile which);

// The Photo CD film-scanner grids' telling points: L*, a*, b* at grid
// (0,0,0), (15,15,15) and (30,30,30).
struct TellingPoints {
    double lab[3][3];
};
TellingPoints tellingPoints(Profile which);

// The inverse of the Rec. 709 transfer function at signal v (0…1).
double inverseRec709(double v);

} // namespace orvanta::builtin
