#include "DCRaw.h"

#include "ExifEngine.h"
#include "RawSteps.h"
#include "color/DNGCameraProfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <libraw/libraw.h>
#include <sys/stat.h>

namespace orvanta {

// LibRaw with its protected steps reachable.
class LibRawDriver : public LibRaw {
public:
    using LibRaw::adjust_bl;
    using LibRaw::blend_highlights;
    using LibRaw::cam_xyz_coeff;
    using LibRaw::convert_to_rgb;
    using LibRaw::fuji_rotate;
    using LibRaw::pre_interpolate;
    using LibRaw::remove_zeroes;
    using LibRaw::scale_colors;
    using LibRaw::stretch;
    using LibRaw::vng_interpolate;

    auto &iop() { return libraw_internal_data.internal_output_params; }
    void *allocate(std::size_t n) { return malloc(n); }
};

namespace {

// XYZ of the as-shot white from the camera matrix and multipliers:
// M⁻¹ × (m1 / m0, 1, m1 / m2).
bool asShotWhite(const double m[3][3], const float mul[4], double xyz[3]) {
    if (!(mul[0] > 0 && mul[1] > 0 && mul[2] > 0)) return false;
    const double a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0],
                 h = m[2][1], k = m[2][2];
    const double A = e * k - f * h, B = -(d * k - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (std::fabs(det) < 1e-12) return false;
    const double inv[3][3] = {{A / det, -(b * k - c * h) / det, (b * f - c * e) / det},
                              {B / det, (a * k - c * g) / det, -(a * f - c * d) / det},
                              {C / det, -(a * h - b * g) / det, (a * e - b * d) / det}};
    const double cam[3] = {mul[1] / mul[0], 1.0, mul[1] / mul[2]};
    for (int i = 0; i < 3; ++i)
        xyz[i] = inv[i][0] * cam[0] + inv[i][1] * cam[1] + inv[i][2] * cam[2];
    return true;
}

} // namespace

const std::vector<std::string> &rawExtensions() {
    static const std::vector<std::string> exts = {
        "3fr", "ari", "arw", "srf", "sr2", "arq", "bay", "crw", "cr2", "cr3", "cap", "iiq", "eip",
        "dcs", "dcr", "drf", "k25", "kdc", "dng", "erf", "fff", "mef", "mos", "mrw", "nef", "nrw",
        "orf", "pef", "ptx", "pxn", "r3d", "raf", "raw", "rw2", "rwl", "rwz", "srw", "x3f", "pcd"};
    return exts;
}

bool isRawExtension(const std::string &path) {
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto &all = rawExtensions();
    return std::find(all.begin(), all.end(), ext) != all.end();
}

std::mutex &DCRaw::lock() {
    static std::mutex m;
    return m;
}

DCRaw::DCRaw() : lib_(std::make_unique<LibRawDriver>()), exif_(std::make_unique<exifEngine>()) {}
DCRaw::~DCRaw() = default;

bool DCRaw::loadFile(const std::string &path, std::size_t *pixelSize) {
    if (pixelSize) *pixelSize = 0;
    auto &P = lib_->imgdata.params;
    P.output_color = outputColorSpace == 0 ? 1 : outputColorSpace;
    P.output_bps = 16;
    P.gamm[0] = P.gamm[1] = 1.0;
    P.use_camera_wb = 1;
    P.no_auto_bright = 1;
    P.highlight = recoverHighlights ? 2 : 0;
    P.med_passes = 0;
    P.use_camera_matrix = 0;
    dcStatus.clear();
    isOutputReferred = false;
    cameraBaselineExposure = 0;
    dcWhitex = dcWhitey = 0;

    lib_->set_exifparser_handler(&exifEngine::libRawCallback, exif_.get());

    // The system's text for a file that cannot be opened.
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
    } else {
        dcStatus = std::strerror(errno);
        return false;
    }
    const int ret = lib_->open_file(path.c_str());
    if (ret == LIBRAW_FILE_UNSUPPORTED) {
        // Opened, but not a raw file: processing says so.
        opened_ = true;
        isRaw_ = false;
        if (auto d = exif_->dictionary()) metaData = *d;
        dcStatus = "Could not parse raw file";
        return true;
    }
    if (ret != LIBRAW_SUCCESS) {
        dcStatus = libraw_strerror(ret);
        return false;
    }
    opened_ = isRaw_ = true;
    auto &C = lib_->imgdata.color;
    auto &S = lib_->imgdata.sizes;
    auto &I = lib_->imgdata.idata;

    // The camera matrix (XYZ to camera): a chosen profile's mean of its two
    // matrices, else the file's DNG matrix, else the library's table entry.
    double m[3][3] = {};
    bool haveMatrix = false;
    if (cameraProfile && !cameraProfile->isAutoProfile()) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m[i][j] = 0.5 * (cameraProfile->getcolorMatrix1(i, j) + cameraProfile->getcolorMatrix2(i, j));
        haveMatrix = true;
    } else if (I.dng_version) {
        // The D65 matrix when the file has one, else the first.
        int pick = -1;
        for (int k = 0; k < 2; ++k)
            if (C.dng_color[k].colormatrix[0][0] != 0 || C.dng_color[k].colormatrix[1][1] != 0)
                if (pick < 0 || C.dng_color[k].illuminant == 21) pick = k;
        if (pick >= 0) {
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    m[i][j] = C.dng_color[pick].colormatrix[i][j];
            haveMatrix = true;
        }
    }
    if (!haveMatrix) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m[i][j] = C.cam_xyz[i][j];
        haveMatrix = m[0][0] != 0 || m[1][1] != 0 || m[2][2] != 0;
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            cameraFromXYZ[i][j] = static_cast<float>(m[i][j]);

    // Kodak YCbCr files: odd sizes grow by one.
    int height = S.height, width = S.width;
    if (decoderName.empty()) {
        libraw_decoder_info_t di{};
        if (lib_->get_decoder_info(&di) == LIBRAW_SUCCESS && di.decoder_name) decoderName = di.decoder_name;
    }
    if (decoderName.find("ycbcr") != std::string::npos) {
        height += height & 1;
        width += width & 1;
    }
    if (pixelSize)
        *pixelSize =
            (static_cast<std::size_t>(height) * 8 + 1024) * static_cast<std::size_t>(width) + 1703936;

    double xyz[3];
    if (haveMatrix && asShotWhite(m, C.cam_mul, xyz) && xyz[0] + xyz[1] + xyz[2] > 0) {
        dcWhitex = static_cast<float>(xyz[0] / (xyz[0] + xyz[1] + xyz[2]));
        dcWhitey = static_cast<float>(xyz[1] / (xyz[0] + xyz[1] + xyz[2]));
    }

    // Baseline exposure: the DNG tag (the library keeps -999 for none), with
    // the Fujifilm development dynamic range adjustment.
    float baseline = C.dng_levels.baseline_exposure > -999.f ? C.dng_levels.baseline_exposure : 0.f;
    const unsigned dr = lib_->imgdata.makernotes.fuji.DevelopmentDynamicRange;
    if (dr == 100 || dr == 200 || dr == 400 || dr == 800) {
        const int D = dr == 200 ? 1 : dr == 400 ? 2 : dr == 800 ? 3 : 0;
        const float iso = lib_->imgdata.other.iso_speed;
        baseline += iso < 150    ? -1.f
                    : iso < 300  ? 0.f
                    : iso < 600  ? std::min(D, 1)
                    : iso < 1200 ? std::min(D, 2)
                                 : D;
    }
    cameraBaselineExposure = baseline;

    static const char *kOutputReferred[] = {"eight_bit_load_raw()", "kodak_jpeg_load_raw()",
                                            "nikon_load_sraw()", "nikon_yuv_load_raw()",
                                            "kodak_radc_load_raw()"};
    for (const char *n : kOutputReferred)
        isOutputReferred |= decoderName == n;

    dcMake = I.make;
    dcModel = I.model;
    if (auto d = exif_->dictionary()) metaData = *d;
    dcStatus = "ok";
    return true;
}

bool DCRaw::processFileAndCreateBuffer(const std::string &, PixelBlock *createdBuffer, int sharpening,
                                       int *bufferWidth, int *bufferHeight) {
    auto fail = [&](const std::string &why) {
        dcStatus = why.empty() ? "Could not parse raw file" : why;
        lib_->free_image();
        if (bufferWidth) *bufferWidth = 0;
        if (bufferHeight) *bufferHeight = 0;
        return false;
    };
    if (!opened_ || !isRaw_) return fail("Image does not appear to be in raw format.");
    auto &L = *lib_;
    auto &P = L.imgdata.params;
    auto &C = L.imgdata.color;
    auto &S = L.imgdata.sizes;
    auto &I = L.imgdata.idata;
    try {
        if (I.is_foveon) return fail("Foveron sensors aren't supported");
        int ret = L.unpack();
        if (ret != LIBRAW_SUCCESS) return fail(libraw_strerror(ret));

        // The library's own order (as its one-call processing runs it).
        const bool noCrop = !(~P.cropbox[2] && ~P.cropbox[3]);
        (void)noCrop;
        libraw_decoder_info_t di{};
        L.get_decoder_info(&di);
        const int subtractInline =
            !P.bad_pixels && !P.dark_frame && (I.filters || I.colors == 1) && !L.iop().zero_is_bad;
        ret = L.raw2image_ex(subtractInline);
        if (ret != LIBRAW_SUCCESS) return fail(libraw_strerror(ret));
        if (L.iop().zero_is_bad) L.remove_zeroes();
        if (!subtractInline || !C.data_maximum) {
            L.adjust_bl();
            L.subtract_black_internal();
        }
        if (!(di.decoder_flags & LIBRAW_DECODER_FIXEDMAXC)) L.adjust_maximum();

        // A chosen camera profile replaces the camera's colour data.
        if (cameraProfile && !cameraProfile->isAutoProfile()) {
            double camXyz[4][3] = {};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    camXyz[i][j] = cameraFromXYZ[i][j];
            L.cam_xyz_coeff(C.rgb_cam, camXyz);
        }

        // White balance and scaling; the highlight rule.
        L.scale_colors();
        if (P.highlight == 2) {
            float lo = 1e30f, hi = 0;
            for (int c = 0; c < (I.colors == 4 ? 4 : 3); ++c) {
                lo = std::min(lo, C.pre_mul[c]);
                hi = std::max(hi, C.pre_mul[c]);
            }
            highlightExposureAdjust = lo > 0 && hi > 0 ? static_cast<float>(std::log2(hi / lo)) : 0.f;
        } else {
            highlightExposureAdjust = 0;
        }

        rawsteps::RawImage img;
        auto view = [&] {
            img.image = reinterpret_cast<rawsteps::Pixel *>(L.imgdata.image);
            img.width = S.iwidth;
            img.height = S.iheight;
            img.filters = I.filters;
            img.colors = I.colors;
            std::memcpy(img.xtrans, I.xtrans, sizeof img.xtrans);
            img.topMargin = S.top_margin;
            img.leftMargin = S.left_margin;
        };
        view();
        if (I.colors > 1) {
            // The library spells some makers its own way ("Nikon" for
            // "NIKON"), so the names compare without regard to case.
            std::string make = I.make;
            for (char &ch : make)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            const bool skipMatch = make == "nikon" || make == "sony" || make == "canon" || make == "nokia";
            bool matched = false;
            if (I.filters >= 1000 && doGreenChannelMatch && !skipMatch) {
                matched = rawsteps::greenMatching(img);
                if (matched) {
                    I.filters = img.filters;
                    I.colors = 3;
                }
            }
            if (!matched) L.pre_interpolate();
        } else {
            L.pre_interpolate();
        }
        view();

        if (I.filters) {
            if (algoSelect != 0 && I.colors == 3) {
                rawsteps::lmmseDemosaic(img, recoverHighlights);
            } else if (I.colors < 4) {
                rawsteps::ahdDemosaic(img, C.rgb_cam);
            } else {
                L.vng_interpolate();
            }
        }
        if (L.iop().mix_green) {
            I.colors = 3;
            for (std::size_t i = 0; i < static_cast<std::size_t>(S.iheight) * S.iwidth; ++i)
                L.imgdata.image[i][1] =
                    static_cast<ushort>((L.imgdata.image[i][1] + L.imgdata.image[i][3]) >> 1);
        }
        if (P.highlight == 2) L.blend_highlights();
        if (P.use_fuji_rotate) L.fuji_rotate();
        view();

        if (I.colors < 4) {
            // The camera-to-output matrix exactly as the library forms it.
            float outCam[3][4];
            std::memcpy(outCam, C.rgb_cam, sizeof outCam);
            const int oc = P.output_color;
            const bool rawColor = L.iop().raw_color || I.colors == 1 || oc < 1 || oc > 8;
            static const double(*kOut[])[3] = {LibRaw_constants::rgb_rgb,  LibRaw_constants::adobe_rgb,
                                               LibRaw_constants::wide_rgb, LibRaw_constants::prophoto_rgb,
                                               LibRaw_constants::xyz_rgb,  LibRaw_constants::aces_rgb};
            if (!rawColor && oc <= 6) {
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < I.colors; ++j) {
                        outCam[i][j] = 0;
                        for (int k = 0; k < 3; ++k)
                            outCam[i][j] += kOut[oc - 1][i][k] * C.rgb_cam[k][j];
                    }
            }
            rawsteps::colorConvert(img, outCam);
            I.colors = static_cast<ushort>(img.colors);
        } else {
            P.output_color = 1;
            if (!L.imgdata.image) return fail("Could not allocate memory");
            auto &out = L.get_internal_data_pointer()->output_data;
            if (!out.histogram)
                out.histogram = static_cast<int(*)[LIBRAW_HISTOGRAM_SIZE]>(
                    L.allocate(sizeof(int[LIBRAW_HISTOGRAM_SIZE]) * 4));
            L.convert_to_rgb();
        }
        if (P.use_fuji_rotate) L.stretch();
        view();

        int w, h;
        rawsteps::orientedSize(S.iwidth, S.iheight, S.flip, &w, &h);
        if (createdBuffer) {
            const int samples = handOverRGB ? 3 : 4;
            *createdBuffer = PixelBlock(static_cast<std::size_t>(w) * h * samples);
            if (createdBuffer->empty()) return fail("Could not allocate memory");
            rawsteps::orientedHandover(img, S.flip, sharpening, createdBuffer->data(), samples);
        }
        L.free_image();
        if (bufferWidth) *bufferWidth = w;
        if (bufferHeight) *bufferHeight = h;
        dcStatus = "ok";
        return true;
    } catch (const std::bad_alloc &) {
        return fail("Could not allocate memory");
    } catch (const LibRaw_exceptions &e) {
        return fail(libraw_strerror(static_cast<int>(e) == LIBRAW_EXCEPTION_IO_EOF ? LIBRAW_IO_ERROR
                                                                                   : LIBRAW_DATA_ERROR));
    } catch (...) {
        return fail("Unknown error demosaicing raw image");
    }
}

} // namespace orvanta
