#pragma once
// Two-profile colour transforms: the source profile from device to the
// connection space, the destination from it to device, the rendering intent
// from the source's header. Pixels are four channels (RGB and an alpha that
// is copied through), 32-bit float or 16-bit, rows at explicit strides, so a
// crop view of a larger buffer converts only its own pixels. A transform is
// made once per profile pair and shared; converting is safe from any number
// of threads at once.

#include "ColorSyncProfileWrap.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvanta {

class ColorTransform {
public:
    // Null when either profile is missing or no transform can be made.
    static std::shared_ptr<ColorTransform> create(const std::shared_ptr<ColorSyncProfileWrap> &source,
                                                  const std::shared_ptr<ColorSyncProfileWrap> &destination);
    ~ColorTransform();

    // in and out may be the same buffer. Row strides are in bytes. Large
    // areas are split over the shared pool.
    void convert(const float *in, std::size_t inRowBytes, float *out, std::size_t outRowBytes, int width,
                 int height) const;
    void convert(const std::uint16_t *in, std::size_t inRowBytes, std::uint16_t *out, std::size_t outRowBytes,
                 int width, int height) const;
    // Whether 16-bit pixels take the table path (tests).
    bool hasShaper() const { return shaper_ != nullptr; }

    ColorTransform(const ColorTransform &) = delete;
    ColorTransform &operator=(const ColorTransform &) = delete;

private:
    ColorTransform() = default;
    void run(void *xform, const void *in, std::size_t inRowBytes, void *out, std::size_t outRowBytes,
             int width, int height) const;

    // Two matrix/curve profiles make a 16-bit transform of three table
    // look-ups and a 3 × 3 matrix, which LittleCMS would otherwise evaluate
    // curve by curve for every pixel.
    struct Shaper {
        std::vector<float> in[3];  // device 16-bit → linear, per channel
        std::vector<float> out[3]; // linear 0…1 (kOutSteps + 1 entries) → device 0…1
        double m[3][3];            // source linear RGB → destination linear RGB
    };
    static constexpr int kOutSteps = 16384;
    static std::unique_ptr<Shaper> makeShaper(void *src, void *dst);
    void runShaper(const std::uint16_t *in, std::size_t inRowBytes, std::uint16_t *out,
                   std::size_t outRowBytes, int width, int height) const;

    std::shared_ptr<ColorSyncProfileWrap> source_, destination_; // kept alive while the transform lives
    void *floatTransform_ = nullptr;                             // cmsHTRANSFORM
    void *shortTransform_ = nullptr;
    std::unique_ptr<Shaper> shaper_;
};

} // namespace orvanta
