#include "ColorSyncProfileWrap.h"

#include "ProfileManager.h"
#include "platform/FileUtil.h"
#include "platform/Log.h"

#include <cstring>
#include <functional>
#include <lcms2.h>

namespace orvanta {
namespace {

std::string profileDescription(cmsHPROFILE h) {
    const cmsUInt32Number n = cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", nullptr, 0);
    if (n == 0) return {};
    std::string s(n, '\0');
    cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", s.data(), n);
    s.resize(std::strlen(s.c_str()));
    return s;
}

} // namespace

ColorSyncProfileWrap::~ColorSyncProfileWrap() {
    if (mRef) cmsCloseProfile(static_cast<cmsHPROFILE>(mRef));
}

std::shared_ptr<ColorSyncProfileWrap> ColorSyncProfileWrap::initAsAutoProfile() {
    std::shared_ptr<ColorSyncProfileWrap> p(new ColorSyncProfileWrap);
    p->mName = "Automatic";
    return p;
}

std::shared_ptr<ColorSyncProfileWrap> ColorSyncProfileWrap::initWithBuffer(const void *bytes,
                                                                           std::uint32_t size) {
    if (!bytes || size < 128) return nullptr;
    std::shared_ptr<ColorSyncProfileWrap> p(new ColorSyncProfileWrap);
    p->mBytes.assign(static_cast<const std::uint8_t *>(bytes),
                     static_cast<const std::uint8_t *>(bytes) + size);
    cmsHPROFILE h = cmsOpenProfileFromMem(p->mBytes.data(), size);
    if (!h) {
        logMessage(">> %s", "the profile data could not be opened");
        return nullptr;
    }
    p->mRef = h;
    p->mClass = static_cast<std::int32_t>(cmsGetDeviceClass(h));
    p->mSpace = static_cast<std::int32_t>(cmsGetColorSpace(h));
    return p;
}

std::shared_ptr<ColorSyncProfileWrap> ColorSyncProfileWrap::initWithCFPath(const std::string &path) {
    if (path.empty()) return nullptr;
    cmsHPROFILE h = cmsOpenProfileFromFile(path.c_str(), "r");
    if (!h) {
        logMessage(">> %s", ("the profile " + path + " could not be opened").c_str());
        return nullptr;
    }
    std::shared_ptr<ColorSyncProfileWrap> p(new ColorSyncProfileWrap);
    p->mRef = h;
    p->mURL = path;
    p->mClass = static_cast<std::int32_t>(cmsGetDeviceClass(h));
    p->mSpace = static_cast<std::int32_t>(cmsGetColorSpace(h));
    return p;
}

std::shared_ptr<ColorSyncProfileWrap> ColorSyncProfileWrap::initWithIterateData(const IterateData &data) {
    if (data.path.empty()) return nullptr;
    std::shared_ptr<ColorSyncProfileWrap> p(new ColorSyncProfileWrap);
    p->mClass = data.profileClass;
    p->mSpace = data.space;
    p->mName = data.description;
    p->mURL = data.path;
    return p;
}

std::shared_ptr<ColorSyncProfileWrap> ColorSyncProfileWrap::initFromPList(const Dictionary &plist) {
    std::string path = plist.stringFor("ScannerProfilePath");
    if (path.empty()) {
        // An older form kept a file URL.
        std::string url = plist.stringFor("ScannerProfileURL");
        if (url.rfind("file://", 0) == 0) url = url.substr(7);
        path = url;
    }
    if (!path.empty()) {
        if (auto p = initWithCFPath(path)) return p;
        return initAsAutoProfile();
    }
    if (const Value *d = plist.get("ScannerProfileDescription"); d && d->string())
        return ProfileManager::sharedManager().findMatchingProfile(*d->string());
    return initAsAutoProfile();
}

Dictionary ColorSyncProfileWrap::objectSerializeForPList() const {
    Dictionary d{{"Class_of_serialized_Object", "ColorSyncProfileWrap"}};
    if (!mURL.empty() || !mBytes.empty()) d.set("ScannerProfileDescription", description());
    if (!mURL.empty()) d.set("ScannerProfilePath", mURL);
    return d;
}

bool ColorSyncProfileWrap::openLocked() const {
    if (mRef) return true;
    if (mURL.empty()) return false;
    mRef = cmsOpenProfileFromFile(mURL.c_str(), "r");
    if (!mRef) logMessage(">> %s", ("the profile " + mURL + " could not be opened").c_str());
    return mRef != nullptr;
}

void *ColorSyncProfileWrap::csRef() const {
    std::lock_guard lock(m_);
    openLocked();
    return mRef;
}

std::vector<std::uint8_t> ColorSyncProfileWrap::iccData() const {
    if (!mBytes.empty()) return mBytes;
    if (!mURL.empty())
        if (auto file = readWholeFile(mURL)) return std::vector<std::uint8_t>(file->begin(), file->end());
    return {};
}

std::string ColorSyncProfileWrap::description() const {
    std::lock_guard lock(m_);
    if (mName) return *mName;
    if (!openLocked()) return {};
    mName = profileDescription(static_cast<cmsHPROFILE>(mRef));
    return *mName;
}

bool ColorSyncProfileWrap::isEqual(const Object &other) const {
    auto *o = dynamic_cast<const ColorSyncProfileWrap *>(&other);
    if (!o) return false;
    if (o == this) return true;
    return !mURL.empty() && mURL == o->mURL;
}

std::size_t ColorSyncProfileWrap::hash() const {
    if (!mURL.empty()) return std::hash<std::string>()(mURL.substr(mURL.find_last_of('/') + 1));
    return std::hash<std::string>()(description());
}

} // namespace orvanta
