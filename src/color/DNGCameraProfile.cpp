#include "DNGCameraProfile.h"

#include "platform/FileUtil.h"
#include "platform/Folders.h"
#include "platform/Log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <unistd.h>

namespace orvanta {
namespace {

std::string lastComponent(const std::string &path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool hasDcpExtension(const std::string &name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char &ch : ext)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext == ".dcp";
}

void copyTopLeft(const dcp::Matrix &m, float out[3][3]) {
    for (int r = 0; r < std::min(m.rows, 3); ++r)
        for (int col = 0; col < 3; ++col)
            out[r][col] = static_cast<float>(m.values[static_cast<std::size_t>(r) * 3 + col]);
}

// The curve C of the tone table: the profile's spline, or the default curve.
class ToneCurve {
public:
    explicit ToneCurve(const std::vector<std::pair<double, double>> &points) {
        if (!dng::isValidToneCurve(points)) return;
        for (const auto &[h, v] : points)
            spline_.add(h, v);
        spline_.solve();
        useSpline_ = true;
    }
    double operator()(double x) const {
        if (useSpline_) return spline_.evaluate(x);
        return std::clamp(dng::acr3Default(x), 0.0, 1.0);
    }

private:
    dng::SplineSolver spline_;
    bool useSpline_ = false;
};

} // namespace

DNGCameraProfileAbstract::CurveAdjust DNGCameraProfileAbstract::CurveAdjust::forExposure(float e) {
    CurveAdjust k;
    k.fSlope = static_cast<float>(std::pow(2.0, static_cast<double>(e)));
    if (e >= 0) {
        k.a = 0;
        k.b = k.fSlope;
        k.c = 0;
    } else {
        k.a = static_cast<float>((1.0 - static_cast<double>(k.fSlope)) * 16.0 / 9.0);
        k.b = static_cast<float>(static_cast<double>(k.fSlope) - static_cast<double>(k.a) / 2.0);
        k.c = static_cast<float>(1.0 - static_cast<double>(k.a) - static_cast<double>(k.b));
    }
    return k;
}

void DNGCameraProfileAbstract::computecurveAdjust(float exposure) {
    const CurveAdjust k = CurveAdjust::forExposure(exposure);
    fSlope = k.fSlope;
    a = k.a;
    b = k.b;
    c = k.c;
}

std::shared_ptr<DNGCameraProfileAbstract> DNGCameraProfileAbstract::initAsAutoProfile() {
    std::shared_ptr<DNGCameraProfileAbstract> p(new DNGCameraProfileAbstract);
    p->name = kBuiltinName;
    return p;
}

std::shared_ptr<DNGCameraProfileAbstract> DNGCameraProfileAbstract::initFromFile(const std::string &path) {
    if (path.empty()) return nullptr;
    auto data = dcp::parseFile(path);
    if (!data) return nullptr;
    std::shared_ptr<DNGCameraProfileAbstract> p(new DNGCameraProfileAbstract);
    p->name = data->name;
    p->uniqueCameraModelRestriction = data->uniqueCameraModel;
    p->profileURL = path;
    p->icon = imageWithPreviewOfFileAtPath(path, 128, 128, false);
    // A single-illuminant profile gets its one matrix in both fields.
    const dcp::Matrix &m1 = data->colorMatrix1.rows == 3 || data->colorMatrix2.values.empty()
                                ? data->colorMatrix1
                                : data->colorMatrix2;
    const dcp::Matrix &m2 = data->colorMatrix2.rows == 3 ? data->colorMatrix2 : data->colorMatrix1;
    copyTopLeft(m1, p->colorMatrix1);
    copyTopLeft(m2, p->colorMatrix2);
    p->toneCurvePoints = data->toneCurve;
    return p;
}

std::shared_ptr<DNGCameraProfileAbstract> DNGCameraProfileAbstract::initFromPList(const Dictionary &plist) {
    const std::string file = plist.stringFor("FileName");
    const std::string folder = CameraProfileManager::profileDirectory();
    // Only a plain file name of the profile folder; never a path elsewhere.
    if (!file.empty() && !folder.empty() && file.find('/') == std::string::npos && file != "." &&
        file != "..")
        if (auto p = initFromFile(folder + "/" + file)) return p;
    return initAsAutoProfile();
}

Dictionary DNGCameraProfileAbstract::objectSerializeForPList() const {
    Dictionary d{{"Class_of_serialized_Object", "DNGCameraProfileAbstract"}};
    if (!isAutoProfile()) d.set("FileName", lastComponent(profileURL));
    return d;
}

std::string DNGCameraProfileAbstract::displayName() const {
    return uniqueCameraModelRestriction.empty() ? name : uniqueCameraModelRestriction + " : " + name;
}

double DNGCameraProfileAbstract::dng_tone_curve_acr3_default(double x, double from, double to) {
    if (x < from || x > to || !(to > from)) return x;
    return dng::acr3Default((x - from) / (to - from));
}

double DNGCameraProfileAbstract::dng_tone_curve_acr3_default_normalized(double x, double from, double to) {
    return dng_tone_curve_acr3_default(x, from, to);
}

void DNGCameraProfileAbstract::generateLUT(std::uint16_t *lut, float *fLut, std::uint32_t lutSize,
                                           float baselineExposure, bool processAsOutputReferred,
                                           bool clipWhites, float toneCurve) const {
    if (!lut && !fLut) return;
    const std::uint32_t n = lutSize;
    std::vector<float> temporary;
    if (!fLut) {
        temporary.resize(n);
        fLut = temporary.data();
    }
    // The coefficients stay local: one profile object may serve several
    // engines at once.
    const CurveAdjust adjust = CurveAdjust::forExposure(baselineExposure);
    const ToneCurve curve(toneCurvePoints);
    const bool darken = baselineExposure < 0 && !clipWhites;
    const bool outputReferred = processAsOutputReferred;
    const double k = toneCurve;
    const double last = n > 1 ? static_cast<double>(n - 1) : 1.0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const double x = i / last;
        double f;
        if (outputReferred && darken) {
            f = adjust(static_cast<float>(x));
        } else if (darken) {
            const double t = adjust(static_cast<float>(x));
            f = t + k * (curve(t) - t);
        } else if (outputReferred) {
            f = x;
        } else {
            f = x + k * (curve(x) - x);
        }
        fLut[i] = static_cast<float>(f);
    }
    if (lut && n >= 2)
        for (std::uint32_t i = 1; i < n; ++i)
            lut[i] = static_cast<std::uint16_t>(std::clamp(fLut[i] * last, 0.0, 65535.0));
    if (n >= 2)
        for (std::uint32_t i = 1; i < n; ++i)
            fLut[i] = static_cast<float>(fLut[i] / (i / last));
}

std::optional<RgbaBitmap> DNGCameraProfileAbstract::imageWithPreviewOfFileAtPath(const std::string &path,
                                                                                 int width, int height,
                                                                                 bool asIcon) {
    if (path.empty() || width <= 0 || height <= 0 || width > 4096 || height > 4096) return std::nullopt;
    auto data = dcp::parseFile(path);
    const ToneCurve curve(data ? data->toneCurve : std::vector<std::pair<double, double>>{});
    RgbaBitmap bm;
    bm.width = width;
    bm.height = height;
    // An icon has a clear ground; a preview a white one.
    bm.pixels.assign(static_cast<std::size_t>(width) * height * 4, asIcon ? 0 : 255);
    auto plot = [&](int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        if (x < 0 || y < 0 || x >= width || y >= height) return;
        std::uint8_t *p = &bm.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        p[0] = r, p[1] = g, p[2] = b, p[3] = 255;
    };
    for (int q = 1; q < 4; ++q) {
        for (int y = 0; y < height; ++y)
            plot(q * (width - 1) / 4, y, 220, 220, 220);
        for (int x = 0; x < width; ++x)
            plot(x, q * (height - 1) / 4, 220, 220, 220);
    }
    for (int x = 0; x < width; ++x)
        plot(x, height - 1 - x * (height - 1) / std::max(1, width - 1), 170, 170, 170);
    int previous = -1;
    for (int x = 0; x < width; ++x) {
        const double v = std::clamp(curve(static_cast<double>(x) / std::max(1, width - 1)), 0.0, 1.0);
        const int y = height - 1 - static_cast<int>(std::lround(v * (height - 1)));
        const int from = previous < 0 ? y : std::min(previous, y),
                  to = previous < 0 ? y : std::max(previous, y);
        for (int yy = from; yy <= to; ++yy) {
            plot(x, yy, 20, 60, 160);
            plot(x + 1, yy, 20, 60, 160);
        }
        previous = y;
    }
    return bm;
}

bool DNGCameraProfileAbstract::isEqual(const Object &other) const {
    auto *o = dynamic_cast<const DNGCameraProfileAbstract *>(&other);
    if (!o) return false;
    if (o == this) return true;
    return !profileURL.empty() && lastComponent(profileURL) == lastComponent(o->profileURL);
}

std::size_t DNGCameraProfileAbstract::hash() const {
    return std::hash<std::string>()(lastComponent(profileURL));
}

CameraProfileManager &CameraProfileManager::sharedCameraProfileManager() {
    static std::mutex classLock;
    static CameraProfileManager *instance = nullptr;
    std::lock_guard lock(classLock);
    if (!instance) instance = new CameraProfileManager;
    return *instance;
}

std::string CameraProfileManager::profileDirectory() {
    Error error;
    auto support = folders::applicationSupportDirectory(&error);
    if (!support) {
        logMessage("Could not access Library directory\n%s", error.description().c_str());
        return {};
    }
    const std::string folder = *support + "/Profiles";
    if (!createDirectories(folder, &error)) {
        logMessage("Could not create directory %s\n%s", folder.c_str(), error.description().c_str());
        return {};
    }
    return folder;
}

void CameraProfileManager::iterateProfiles() {
    _profileList.clear();
    const std::string folder = profileDirectory();
    if (folder.empty()) return;
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (hasDcpExtension(e->d_name)) names.push_back(e->d_name);
        closedir(d);
    }
    // Sorted, so that the menu keeps its order from one listing to the next.
    std::sort(names.begin(), names.end());
    for (const auto &n : names)
        if (auto p = DNGCameraProfileAbstract::initFromFile(folder + "/" + n))
            _profileList.push_back(std::move(p));
}

CameraProfileManager::ProfileList CameraProfileManager::profileList(bool withAutomatic) {
    iterateProfiles();
    if (withAutomatic)
        _profileList.insert(_profileList.begin(), DNGCameraProfileAbstract::initAsAutoProfile());
    return _profileList;
}

bool CameraProfileManager::addProfile(const std::string &path, Error *error) {
    const std::string folder = profileDirectory();
    if (folder.empty()) {
        setError(error, Error::posix(ENOENT, "profile folder"));
        return false;
    }
    auto bytes = readWholeFile(path, error);
    if (!bytes) return false;
    const std::string target = folder + "/" + lastComponent(path);
    // O_EXCL: an existing profile of that name is never overwritten.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error, Error::posix(errno, target));
        return false;
    }
    const char *p = bytes->data();
    std::size_t left = bytes->size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            ::unlink(target.c_str()); // no half-copied profile stays behind
            setError(error, Error::posix(e, target));
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(target.c_str());
        setError(error, Error::posix(e, target));
        return false;
    }
    return true;
}

bool CameraProfileManager::removeProfile(const DNGCameraProfileAbstract &profile, Error *error) {
    if (profile.isAutoProfile()) {
        setError(error, Error::posix(EINVAL, "the built-in profile has no file"));
        return false;
    }
    if (::unlink(profile.profileURL.c_str()) != 0) {
        setError(error, Error::posix(errno, profile.profileURL));
        return false;
    }
    return true;
}

} // namespace orvanta
