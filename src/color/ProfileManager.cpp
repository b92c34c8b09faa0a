#include "ProfileManager.h"

#include "BuiltinProfiles.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <lcms2.h>
#include <sys/stat.h>

namespace orvanta {
namespace {

bool equalsIgnoringCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool hasIccExtension(const std::string &name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".icc" || ext == ".icm";
}

// Reads class, space and description of a profile file without keeping it
// open; false for files that are not ICC profiles.
bool readIterateData(const std::string &path, ColorSyncProfileWrap::IterateData &out) {
    cmsHPROFILE h = cmsOpenProfileFromFile(path.c_str(), "r");
    if (!h) return false;
    out.profileClass = static_cast<std::int32_t>(cmsGetDeviceClass(h));
    out.space = static_cast<std::int32_t>(cmsGetColorSpace(h));
    const cmsUInt32Number n = cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", nullptr, 0);
    out.description.clear();
    if (n > 0) {
        std::string s(n, '\0');
        cmsGetProfileInfoASCII(h, cmsInfoDescription, "en", "US", s.data(), n);
        out.description = s.c_str();
    }
    out.path = path;
    cmsCloseProfile(h);
    return true;
}

void scanFolder(const std::string &folder, int depth, std::vector<std::string> &files) {
    if (depth > 4) return;
    DIR *d = opendir(folder.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto &n : names) {
        const std::string p = folder + "/" + n;
        struct stat st {};
        if (stat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            scanFolder(p, depth + 1, files);
        else if (S_ISREG(st.st_mode) && hasIccExtension(n))
            files.push_back(p);
    }
}

void silenceLittleCms() {
    // Unreadable files in the profile folders are expected; say nothing about them.
    static std::once_flag once;
    std::call_once(once, [] { cmsSetLogErrorHandler([](cmsContext, cmsUInt32Number, const char *) {}); });
}

std::shared_ptr<ColorSyncProfileWrap> makeBuiltin(builtin::Profile which) {
    const auto bytes = builtin::bytes(which);
    auto p = ColorSyncProfileWrap::initWithBuffer(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (!p) logMessage("could not build a built-in colour profile (%d)", static_cast<int>(which));
    return p;
}

} // namespace

ProfileManager &ProfileManager::sharedManager() {
    static std::mutex classLock;
    static ProfileManager *instance = nullptr;
    std::lock_guard lock(classLock);
    if (!instance) {
        silenceLittleCms();
        instance = new ProfileManager;
        instance->buildProfilesArray();
        UserDefaults::standard().addObserver(
            "ShowExternalProfiles", [](const std::string &) { sharedManager().buildProfilesArray(); });
    }
    return *instance;
}

ProfileManager::ProfileManager() = default;

std::vector<std::string> ProfileManager::searchFolders() {
    std::vector<std::string> out;
    const std::string home = folders::homeDirectory();
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    const std::string userData = dataHome && dataHome[0] == '/' ? dataHome : home + "/.local/share";
    out.push_back(userData + "/icc");
    out.push_back(userData + "/color/icc");
    out.push_back(home + "/.color/icc");
    const char *dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string dirs = dataDirs && dataDirs[0] ? dataDirs : "/usr/local/share:/usr/share";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t colon = dirs.find(':', start);
        const std::string d =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!d.empty() && d[0] == '/') out.push_back(d + "/color/icc");
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    out.push_back("/var/lib/colord/icc");
    out.push_back("/var/lib/color/icc");
    return out;
}

ProfileManager::ProfileList ProfileManager::arrayOfAllExternalProfiles() {
    ProfileList list;
    std::vector<std::string> files;
    for (const auto &folder : searchFolders())
        scanFolder(folder, 0, files);
    for (const auto &f : files) {
        ColorSyncProfileWrap::IterateData data;
        if (!readIterateData(f, data)) continue;
        if (auto p = ColorSyncProfileWrap::initWithIterateData(data)) list.push_back(std::move(p));
    }
    return list;
}

void ProfileManager::buildProfilesArray() {
    const ProfileList external = arrayOfAllExternalProfiles();
    ProfileList list = {getQuenfold2eProfile(), getQuenfold4eProfile(), getQuenfold2kProfile(),
                        getQuenfold4kProfile(), getQuenfoldXnProfile(), getQuenfoldXgProfile()};
    std::erase(list, nullptr);
    if (UserDefaults::standard().boolForKey("ShowExternalProfiles")) {
        static const std::int32_t spaces[] = {fourCC("3CLR"), fourCC("CMYK"), fourCC("GRAY"), fourCC("RGB ")};
        static const std::int32_t classes[] = {fourCC("mntr"), fourCC("prtr"), fourCC("scnr"),
                                               fourCC("spac")};
        for (const auto &p : external) {
            const bool spaceOk =
                std::find(std::begin(spaces), std::end(spaces), p->spaceType()) != std::end(spaces);
            const bool classOk =
                std::find(std::begin(classes), std::end(classes), p->classType()) != std::end(classes);
            if (spaceOk && classOk && !p->description().empty()) list.push_back(p);
        }
    }
    std::lock_guard lock(m_);
    privateProfiles = std::move(list);
}

ProfileManager::ProfileList ProfileManager::arrayOfAllProfiles(bool withAutomatic) {
    std::lock_guard lock(m_);
    ProfileList out = privateProfiles;
    if (withAutomatic) out.insert(out.begin(), ColorSyncProfileWrap::initAsAutoProfile());
    return out;
}

std::shared_ptr<ColorSyncProfileWrap> ProfileManager::findMatchingProfile(const std::string &description) {
    for (const auto &p : arrayOfAllProfiles(true))
        if (equalsIgnoringCase(p->description(), description)) return p;
    return nullptr;
}

#define BUILTIN_GETTER(name, slot, which)                                                                    \
    std::shared_ptr<ColorSyncProfileWrap> ProfileManager::name() {                                           \
        std::lock_guard lock(m_);                                                                            \
        if (!slot) slot = makeBuiltin(builtin::Profile::which);                                              \
        return slot;                                                                                         \
    }
BUILTIN_GETTER(getProPhotoGamma1Profile, mProPhotoG1, ProPhotoG1)
BUILTIN_GETTER(getProPhotoGamma1_D65Profile, mProPhotoG1_D65, ProPhotoG1_D65)
BUILTIN_GETTER(getRec709Gamma1Profile, Rec709Gamma1, Rec709G1)
BUILTIN_GETTER(getQuenfold2eProfile, mpcd2e, Pcd2e)
BUILTIN_GETTER(getQuenfold4eProfile, mpcd4e, Pcd4e)
BUILTIN_GETTER(getQuenfold2kProfile, mpcd2k, Pcd2k)
BUILTIN_GETTER(getQuenfold4kProfile, mpcd4k, Pcd4k)
BUILTIN_GETTER(getQuenfoldXnProfile, mpcdXn, PcdXn)
BUILTIN_GETTER(getQuenfoldXgProfile, mpcdXg, GenericPCD)
#undef BUILTIN_GETTER

std::shared_ptr<ColorSyncProfileWrap> ProfileManager::getSRGBProfile() {
    {
        std::lock_guard lock(m_);
        if (mSRGB) return mSRGB;
    }
    auto listed = findMatchingProfile("sRGB IEC61966-2.1");
    std::lock_guard lock(m_);
    if (listed && !listed->isAutoProfile()) {
        mSRGB = listed;
        return mSRGB;
    }
    if (!mBuiltinSRGB) mBuiltinSRGB = makeBuiltin(builtin::Profile::SRGB);
    return mBuiltinSRGB;
}

iccProfileManager &iccProfileManager::sharediccProfileManager() {
    static std::mutex classLock;
    static iccProfileManager *instance = nullptr;
    std::lock_guard lock(classLock);
    if (!instance) instance = new iccProfileManager;
    return *instance;
}

ProfileManager::ProfileList iccProfileManager::profileList(bool withAutomatic) {
    return ProfileManager::sharedManager().arrayOfAllProfiles(withAutomatic);
}

bool iccProfileManager::addProfile(const std::string &, Error *) {
    logMessage("ERROR : invalid function call %s", "-[iccProfileManager addProfile:error:]");
    return false;
}

void iccProfileManager::iterateProfiles() {
    logMessage("ERROR : invalid function call %s", "-[iccProfileManager iterateProfiles]");
}

} // namespace orvanta
