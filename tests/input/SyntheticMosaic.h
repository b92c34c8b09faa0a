#pragma once
// Synthetic scenes sampled through colour-filter patterns, for the raw step
// tests and benchmarks.

#include "input/RawSteps.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace orvanta::test {

enum class Scene { Edges, Objects, Gradients, Texture, Stripes };

inline constexpr unsigned kRGGB = 0x94949494u, kBGGR = 0x16161616u, kGRBG = 0x61616161u, kGBRG = 0x49494949u;
inline constexpr unsigned kBayerPatterns[4] = {kRGGB, kBGGR, kGRBG, kGBRG};
inline constexpr char kXTrans[6][6] = {{1, 1, 0, 1, 1, 2}, {1, 1, 2, 1, 1, 0}, {2, 0, 1, 0, 2, 1},
                                       {1, 1, 2, 1, 1, 0}, {1, 1, 0, 1, 1, 2}, {0, 2, 1, 2, 0, 1}};

// Linear RGB of a scene at a pixel, each in 0…1.
inline void sceneColor(Scene scene, double x, double y, int w, int h, double rgb[3]) {
    const double u = x / w, v = y / h;
    switch (scene) {
    case Scene::Edges: {
        // Coloured rectangles and a disc on a grey ground, with hard edges.
        rgb[0] = rgb[1] = rgb[2] = 0.35;
        if (u > 0.1 && u < 0.45 && v > 0.1 && v < 0.5) rgb[0] = 0.85, rgb[1] = 0.2, rgb[2] = 0.1;
        if (u > 0.5 && u < 0.9 && v > 0.2 && v < 0.7) rgb[0] = 0.1, rgb[1] = 0.6, rgb[2] = 0.9;
        const double dx = u - 0.3, dy = v - 0.75;
        if (dx * dx + dy * dy < 0.02) rgb[0] = 0.9, rgb[1] = 0.85, rgb[2] = 0.2;
        if (std::fabs(u - v) < 0.01) rgb[0] = rgb[1] = rgb[2] = 0.95; // a diagonal line
        break;
    }
    case Scene::Objects: {
        // Shapes lighter and darker than a warm ground, edges mostly in
        // brightness, as edges in photographs mostly are.
        double lum = 0.45, tint[3] = {1.0, 0.9, 0.75};
        if (u > 0.1 && u < 0.45 && v > 0.1 && v < 0.5) lum = 0.15, tint[2] = 0.9;
        if (u > 0.5 && u < 0.9 && v > 0.2 && v < 0.7) lum = 0.8;
        const double dx = u - 0.3, dy = v - 0.75;
        if (dx * dx + dy * dy < 0.02) lum = 0.95, tint[0] = 0.9, tint[1] = 0.95;
        if (std::fabs(u - v) < 0.01) lum = 0.05;
        for (int c = 0; c < 3; ++c)
            rgb[c] = lum * tint[c];
        break;
    }
    case Scene::Gradients:
        rgb[0] = 0.05 + 0.9 * u;
        rgb[1] = 0.05 + 0.9 * v;
        rgb[2] = 0.5 + 0.45 * std::sin(6.28 * (u + v));
        break;
    case Scene::Texture: {
        // Fine luminance detail over slowly changing colour, as in most
        // photographs: the channels move together.
        const double lum =
            0.5 + 0.35 * std::sin(x * 0.9) * std::sin(y * 0.7) + 0.1 * std::sin((x + 2 * y) * 0.31);
        rgb[0] = lum * (0.75 + 0.2 * u);
        rgb[1] = lum * 0.8;
        rgb[2] = lum * (0.55 + 0.3 * v);
        break;
    }
    case Scene::Stripes: {
        // Stripes two to three pixels wide at several angles, slightly tinted.
        const double t = std::sin(0.012 * (x * x + y * y) / (1 + 0.004 * (x + y)));
        const double lum = 0.45 + 0.4 * t;
        rgb[0] = lum * 0.95;
        rgb[1] = lum * 0.85;
        rgb[2] = lum * 0.7;
        break;
    }
    }
}

struct Mosaic {
    int width = 0, height = 0;
    unsigned filters = kRGGB;
    std::vector<std::uint16_t> scene;  // three samples per pixel
    std::vector<std::uint16_t> pixels; // four samples per pixel, own colour set

    rawsteps::RawImage view() {
        rawsteps::RawImage img;
        img.image = reinterpret_cast<rawsteps::Pixel *>(pixels.data());
        img.width = width;
        img.height = height;
        img.filters = filters;
        img.colors = 3;
        std::copy(&kXTrans[0][0], &kXTrans[0][0] + 36, &img.xtrans[0][0]);
        return img;
    }
    std::uint16_t sceneAt(int y, int x, int c) const {
        return scene[(static_cast<std::size_t>(y) * width + x) * 3 + c];
    }
    std::uint16_t &px(int y, int x, int c) {
        return pixels[(static_cast<std::size_t>(y) * width + x) * 4 + c];
    }
};

// The scene sampled through the pattern: each pixel keeps only its own
// colour. A pixel integrates the scene over its area (4 × 4 samples) unless
// fast is set. With noise, Gaussian noise of that many 16-bit steps is added.
inline Mosaic makeMosaic(Scene scene, int w, int h, unsigned filters, double noise = 0, unsigned seed = 1,
                         bool fast = false) {
    Mosaic m;
    m.width = w;
    m.height = h;
    m.filters = filters;
    m.scene.resize(static_cast<std::size_t>(w) * h * 3);
    m.pixels.assign(static_cast<std::size_t>(w) * h * 4, 0);
    rawsteps::RawImage view = m.view();
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0, noise > 0 ? noise : 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double rgb[3] = {0, 0, 0};
            const int n = fast ? 1 : 4;
            for (int sy = 0; sy < n; ++sy)
                for (int sx = 0; sx < n; ++sx) {
                    double one[3];
                    sceneColor(scene, x + (sx + 0.5) / n, y + (sy + 0.5) / n, w, h, one);
                    for (int c = 0; c < 3; ++c)
                        rgb[c] += one[c] / (n * n);
                }
            for (int c = 0; c < 3; ++c)
                m.scene[(static_cast<std::size_t>(y) * w + x) * 3 + c] =
                    static_cast<std::uint16_t>(std::lround(rgb[c] * 60000));
            const int f = view.fcol(y, x);
            const int c = f == 3 ? 1 : f;
            double v = rgb[c] * 60000 + (noise > 0 ? gauss(rng) : 0);
            m.px(y, x, f) = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
        }
    return m;
}

// PSNR (dB, 16-bit peak) of the demosaiced colours against the scene over
// pixels at least margin from every edge.
inline double psnr(const Mosaic &m, int margin) {
    double se = 0;
    long n = 0;
    for (int y = margin; y < m.height - margin; ++y)
        for (int x = margin; x < m.width - margin; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = double(m.pixels[(static_cast<std::size_t>(y) * m.width + x) * 4 + c]) -
                                 m.sceneAt(y, x, c);
                se += d * d;
                ++n;
            }
    return 10 * std::log10(65535.0 * 65535.0 / (se / n));
}

// Plain bilinear interpolation: the baseline the demosaics must beat.
inline void bilinear(Mosaic &m) {
    rawsteps::RawImage v = m.view();
    std::vector<std::uint16_t> out = m.pixels;
    for (int y = 1; y < m.height - 1; ++y)
        for (int x = 1; x < m.width - 1; ++x) {
            int own = v.fcol(y, x);
            own = own == 3 ? 1 : own;
            double sum[3] = {}, cnt[3] = {};
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    int f = v.fcol(y + dy, x + dx);
                    const int c = f == 3 ? 1 : f;
                    // Axial neighbours count double, as in bilinear weights.
                    const double wgt = (dx == 0 || dy == 0) ? 2 : 1;
                    sum[c] += wgt * m.px(y + dy, x + dx, f);
                    cnt[c] += wgt;
                }
            for (int c = 0; c < 3; ++c)
                if (c != own && cnt[c] > 0)
                    out[(static_cast<std::size_t>(y) * m.width + x) * 4 + c] =
                        static_cast<std::uint16_t>(std::lround(sum[c] / cnt[c]));
        }
    m.pixels = out;
}

} // namespace orvanta::test
