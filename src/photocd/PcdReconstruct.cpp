// Reconstruction of the delivered image: level-by-level 2× up-sampling with
// residual addition, chroma up-sampling, the fixed-point PhotoYCC → RGB
// conversion, the sample tables and the orientation.

#include "PcdDecode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <pthread.h>
#include <type_traits>
#include <unistd.h>

namespace orvanta {

namespace {

constexpr int kBands = 8;
constexpr int kIndexCount = 1389; // RGB indices 0…1388

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kBandStack = 1 << 20; // sanitizer runtimes need far more than the loops do
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kBandStack = 1 << 20;
#else
constexpr std::size_t kBandStack = 16 << 10;
#endif
#else
constexpr std::size_t kBandStack = 16 << 10;
#endif

struct BandJob {
    void (*call)(void *, int);
    void *context;
    int band;
};

void *runJob(void *p) {
    auto *job = static_cast<BandJob *>(p);
    job->call(job->context, job->band);
    return nullptr;
}

// Runs fn(band) for the 8 bands: 7 on threads of their own with small
// stacks, the last on the caller. A thread that cannot be started has its
// band done at once here.
template <typename F> void inBands(F &&fn) {
    using Fn = std::remove_reference_t<F>;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    const long minimum = sysconf(_SC_THREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr,
                              std::max<std::size_t>(kBandStack, minimum > 0 ? std::size_t(minimum) : 0));
    BandJob jobs[kBands - 1];
    pthread_t threads[kBands - 1];
    bool started[kBands - 1];
    for (int b = 0; b < kBands - 1; ++b) {
        jobs[b] = {[](void *c, int band) { (*static_cast<Fn *>(c))(band); }, &fn, b};
        started[b] = pthread_create(&threads[b], &attr, runJob, &jobs[b]) == 0;
        if (!started[b]) fn(b);
    }
    fn(kBands - 1);
    for (int b = 0; b < kBands - 1; ++b)
        if (started[b]) pthread_join(threads[b], nullptr);
    pthread_attr_destroy(&attr);
}

int bandStart(int rows, int band) {
    return int(std::int64_t(rows) * band / kBands);
}

std::uint8_t clampByte(int v) {
    return std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Stores v, or v plus the signed residual already there.
inline void put(std::uint8_t *d, int v, bool add) {
    *d = add ? clampByte(int(static_cast<std::int8_t>(*d)) + v) : std::uint8_t(v);
}

using Plane = pcdDecode::Plane;

void upsampleReplicate(const Plane &s, Plane &d, bool add) {
    for (int y = 0; y < d.h; ++y) {
        const std::uint8_t *src = s.row(std::min(y / 2, s.h - 1));
        std::uint8_t *dst = d.row(y);
        for (int x = 0; x < d.w; ++x)
            put(dst + x, src[std::min(x / 2, s.w - 1)], add);
    }
}

void upsampleBilinear(const Plane &s, Plane &d, bool add) {
    inBands([&](int band) {
        for (int y = bandStart(s.h, band); y < bandStart(s.h, band + 1); ++y) {
            const std::uint8_t *a = s.row(y), *b = s.row(std::min(y + 1, s.h - 1));
            std::uint8_t *d0 = d.row(2 * y), *d1 = d.row(2 * y + 1);
            for (int x = 0; x < s.w; ++x) {
                const int x1 = std::min(x + 1, s.w - 1);
                const int p = a[x], q = a[x1], r = b[x], t = b[x1];
                put(d0 + 2 * x, p, add);
                put(d0 + 2 * x + 1, (p + q + 1) / 2, add);
                put(d1 + 2 * x, (p + r + 1) / 2, add);
                put(d1 + 2 * x + 1, (p + q + r + t + 2) / 4, add);
            }
        }
    });
}

// Interpolates between chroma o and r where the luma goes from e to f through
// d, clamped between o and r.
inline std::uint8_t guided(int o, int r, int d, int e, int f) {
    const int v = e == f ? (o + r + 1) / 2 : o + (d - e) * (r - o) / (f - e);
    return clampByte(std::clamp(v, std::min(o, r), std::max(o, r)));
}

// Chroma up-sampling that follows the edges of the full-size luma plane L.
void upsampleGuided(const Plane &s, const Plane &L, Plane &d) {
    const auto lum = [&](int y, int x) { return int(L.row(std::min(y, L.h - 1))[std::min(x, L.w - 1)]); };
    inBands([&](int band) {
        for (int y = bandStart(s.h, band); y < bandStart(s.h, band + 1); ++y) {
            const std::uint8_t *row = s.row(y), *below = s.row(std::min(y + 1, s.h - 1));
            std::uint8_t *d0 = d.row(2 * y), *d1 = d.row(2 * y + 1);
            for (int x = 0; x < s.w; ++x) {
                const int m = row[x], h = row[std::min(x + 1, s.w - 1)], A = below[x];
                d0[2 * x] = std::uint8_t(m);
                d0[2 * x + 1] = guided(m, h, lum(2 * y, 2 * x + 1), lum(2 * y, 2 * x), lum(2 * y, 2 * x + 2));
                d1[2 * x] = guided(m, A, lum(2 * y + 1, 2 * x), lum(2 * y, 2 * x), lum(2 * y + 2, 2 * x));
            }
        }
    });
    std::uint8_t *last = d.row(d.h - 1);
    for (int x = 0; x < d.w; ++x)
        last[x] = s.row(s.h - 1)[x / 2];
    for (int y = 0; y < d.h; ++y)
        d.row(y)[d.w - 1] = s.row(y / 2)[s.w - 1];
    inBands([&](int band) {
        for (int y = std::max(1, 2 * bandStart(s.h, band) + 1);
             y < std::min(d.h - 1, 2 * bandStart(s.h, band + 1)); y += 2) {
            std::uint8_t *out = d.row(y);
            const std::uint8_t *up = d.row(y - 1), *down = d.row(y + 1);
            const std::uint8_t *l = L.row(y), *lu = L.row(y - 1), *ld = L.row(y + 1);
            for (int x = 1; x < d.w - 1; x += 2) {
                const int c = l[x], e = l[x - 1], f = l[x + 1], u = lu[x], v = ld[x];
                out[x] = std::abs(e + f - 2 * c) < std::abs(u + v - 2 * c)
                             ? guided(out[x - 1], out[x + 1], c, e, f)
                             : guided(up[x], down[x], c, u, v);
            }
        }
    });
}

struct Tables {
    std::uint16_t u16[kIndexCount];
    std::uint8_t u8[kIndexCount];
    float f32[kIndexCount];
    std::uint16_t srgb[kIndexCount];
    std::uint16_t linear[kIndexCount];

    Tables() {
        for (int i = 0; i < kIndexCount; ++i) {
            u16[i] = std::uint16_t(i * 65535 / 1388);
            u8[i] = std::uint8_t(i * 255 / 1388);
            f32[i] = float(i) / 1388.0f;
            const double x = i / 1388.0;
            const double s = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
            srgb[i] = std::uint16_t(std::clamp(int(std::floor(1388 * s)), 0, 1388));
        }
        // The indices carry the Rec. 709 transfer curve with white (1.0) at
        // index 1388 × 1.0 / 1.402 and highlights to 1.402 above it: invert
        // that curve and scale so that the top index lands on 1387.
        const auto inverse709 = [](double v) {
            return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45);
        };
        const double top = inverse709(1.402);
        for (int i = 0; i < kIndexCount; ++i)
            linear[i] = std::uint16_t(std::floor(1387.0 * inverse709(i * 1.402 / 1388.0) / top + 1e-9));
    }
    static const Tables &get() {
        static const Tables t;
        return t;
    }
};

template <typename T> T sample(const Tables &t, int index) {
    if constexpr (std::is_same_v<T, float>)
        return t.f32[index];
    else if constexpr (std::is_same_v<T, std::uint16_t>)
        return t.u16[index];
    else
        return t.u8[index];
}

template <typename T> constexpr T opaque() {
    if constexpr (std::is_same_v<T, float>)
        return 1.0f;
    else
        return std::numeric_limits<T>::max();
}

} // namespace

void pcdDecode::postProcess() {
    if (!header_ || lumaLevel_ < 0) return;
    const bool bilinear = interpolation_ > 0;
    for (int level = 3; level < kLevels; ++level) {
        Plane *res = residual_[level - 3];
        if (!res[0]) continue;
        const int w = 2 * luma_.w, h = 2 * luma_.h;
        if (level != lumaLevel_ + 1 || res[0].w != w || res[0].h != h) break;
        // New chroma planes first, so that a failure leaves this level's
        // planes as they were.
        Plane fresh[2];
        bool ok = true;
        for (int p = 1; p < 3 && ok; ++p)
            if (!res[p] || res[p].w != w / 2 || res[p].h != h / 2)
                ok = fresh[p - 1].allocate(w / 2, h / 2, false);
        if (!ok) {
            error_ = "memory allocation error";
            break;
        }
        const auto up = [&](const Plane &s, Plane &d, bool add) {
            bilinear ? upsampleBilinear(s, d, add) : upsampleReplicate(s, d, add);
        };
        up(luma_, res[0], true);
        luma_ = std::move(res[0]);
        Plane *chroma[2] = {&c1_, &c2_};
        for (int p = 1; p < 3; ++p) {
            const bool add = !fresh[p - 1];
            Plane &dst = add ? res[p] : fresh[p - 1];
            up(*chroma[p - 1], dst, add);
            *chroma[p - 1] = std::move(dst);
        }
        lumaLevel_ = level;
    }
    for (auto &level : residual_)
        for (auto &p : level)
            p.reset();
    resolution_ = lumaLevel_;
}

template <typename T> bool pcdDecode::writePixels(T *r, T *g, T *b, T *a, int step) {
    if (!header_ || lumaLevel_ < 0 || !r || !g || !b) return false;
    if (lumaLevel_ != resolution_) postProcess();
    const int W = luma_.w, H = luma_.h;
    const bool chroma = !lumaOnly_;
    Plane fullC1, fullC2;
    if (chroma && interpolation_ > 0) {
        if (!fullC1.allocate(W, H, false) || !fullC2.allocate(W, H, false)) {
            error_ = "Memory Error!";
            return false;
        }
        if (interpolation_ >= 2) {
            upsampleGuided(c1_, luma_, fullC1);
            upsampleGuided(c2_, luma_, fullC2);
        } else {
            upsampleBilinear(c1_, fullC1, false);
            upsampleBilinear(c2_, fullC2, false);
        }
    }
    const Tables &t = Tables::get();
    const int mode = colorMode_, orientation = orientation_;
    const bool matrix = colorMatrix_ == 1;
    inBands([&](int band) {
        for (int i = bandStart(H, band); i < bandStart(H, band + 1); ++i) {
            const std::uint8_t *Y = luma_.row(i);
            const std::uint8_t *C1 = fullC1 ? fullC1.row(i) : c1_.row(i / 2);
            const std::uint8_t *C2 = fullC2 ? fullC2.row(i) : c2_.row(i / 2);
            for (int j = 0; j < W; ++j) {
                const int y = Y[j];
                const int c1 = chroma ? (fullC1 ? C1[j] : C1[j / 2]) : 156;
                const int c2 = chroma ? (fullC2 ? C2[j] : C2[j / 2]) : 137;
                int rgb[3];
                if (mode == 3) {
                    rgb[0] = 1024 * y / 188;
                    rgb[1] = chroma ? 1024 * c1 / 188 : rgb[0];
                    rgb[2] = chroma ? 1024 * c2 / 188 : rgb[0];
                } else {
                    const int U = chroma ? 9085 * (c1 - 156) : 0, V = chroma ? 7461 * (c2 - 137) : 0;
                    const int K = 5573 * y;
                    const auto edge = [](int sum) {
                        return sum < 0 ? 0 : sum >= 1389 * 1024 ? 1388 : sum >> 10;
                    };
                    rgb[0] = edge(K + V);
                    rgb[1] = std::clamp((K >> 10) + U / -5278 + V / -2012, 0, 1388);
                    rgb[2] = edge(K + U);
                    if (mode == 1 || mode == 2) {
                        for (int &c : rgb)
                            c = t.linear[c];
                        if (matrix) {
                            const int R = rgb[0], G = rgb[1], B = rgb[2];
                            rgb[0] = std::clamp((5930 * R - 143 * G + 393 * B) >> 13, 0, 1388);
                            rgb[1] = std::clamp((-176 * R + 6268 * G + 131 * B) >> 13, 0, 1388);
                            rgb[2] = std::clamp((76 * R - 128 * G + 8256 * B) >> 13, 0, 1388);
                        }
                        if (mode == 2)
                            for (int &c : rgb)
                                c = t.srgb[c];
                    }
                }
                std::size_t at;
                switch (orientation) {
                case 1:
                    at = std::size_t(W - 1 - j) * H + i;
                    break;
                case 2:
                    at = std::size_t(H - 1 - i) * W + (W - 1 - j);
                    break;
                case 3:
                    at = std::size_t(j) * H + (H - 1 - i);
                    break;
                default:
                    at = std::size_t(i) * W + j;
                    break;
                }
                at *= std::size_t(step);
                r[at] = sample<T>(t, rgb[0]);
                g[at] = sample<T>(t, rgb[1]);
                b[at] = sample<T>(t, rgb[2]);
                if (a) a[at] = opaque<T>();
            }
        }
    });
    return true;
}

bool pcdDecode::readImage(float *r, float *g, float *b, float *a, int step) {
    return writePixels(r, g, b, a, step);
}
bool pcdDecode::readImage(std::uint16_t *r, std::uint16_t *g, std::uint16_t *b, std::uint16_t *a, int step) {
    return writePixels(r, g, b, a, step);
}
bool pcdDecode::readImage(std::uint8_t *r, std::uint8_t *g, std::uint8_t *b, std::uint8_t *a, int step) {
    return writePixels(r, g, b, a, step);
}

} // namespace orvanta
