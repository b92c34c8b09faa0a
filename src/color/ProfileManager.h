#pragma once
// The built-in profiles (each made once per process) and the list of ICC
// profiles a user can pick as an image's input profile: the six Photo CD
// profiles, then, when the user default "ShowExternalProfiles" is on, the
// installed RGB, grey, CMYK and three-colour monitor, printer, scanner and
// colour-space profiles that have a description.

#include "ColorSyncProfileWrap.h"
#include "platform/Error.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta {

class ProfileManager {
public:
    using ProfileList = std::vector<std::shared_ptr<ColorSyncProfileWrap>>;

    static ProfileManager &sharedManager();

    // The list, with a fresh "Automatic" placeholder first when asked.
    ProfileList arrayOfAllProfiles(bool withAutomatic);
    // Every installed profile found in the freedesktop folders, in file order.
    ProfileList arrayOfAllExternalProfiles();
    void buildProfilesArray();
    // The first list entry (placeholder included) of that description,
    // compared without regard to case; null when there is none.
    std::shared_ptr<ColorSyncProfileWrap> findMatchingProfile(const std::string &description);

    std::shared_ptr<ColorSyncProfileWrap> getProPhotoGamma1Profile();
    std::shared_ptr<ColorSyncProfileWrap> getProPhotoGamma1_D65Profile();
    std::shared_ptr<ColorSyncProfileWrap> getRec709Gamma1Profile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfold2eProfile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfold4eProfile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfold2kProfile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfold4kProfile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfoldXnProfile();
    std::shared_ptr<ColorSyncProfileWrap> getQuenfoldXgProfile();
    // The list entry "sRGB IEC61966-2.1"; when no installed profile has that
    // description, a built-in sRGB profile of that description, so that sRGB
    // export always has its rendering space.
    std::shared_ptr<ColorSyncProfileWrap> getSRGBProfile();

    // The folders searched for installed profiles.
    static std::vector<std::string> searchFolders();

private:
    ProfileManager();

    std::recursive_mutex m_;
    ProfileList privateProfiles;
    std::shared_ptr<ColorSyncProfileWrap> mProPhotoG1, mProPhotoG1_D65, mSRGB, mpcd4e, mpcd2e, mpcd4k, mpcd2k,
        mpcdXn, mpcdXg, Rec709Gamma1, mBuiltinSRGB;
};

// The ICC list presented like the camera-profile manager's list.
class iccProfileManager {
public:
    static iccProfileManager &sharediccProfileManager();
    ProfileManager::ProfileList profileList(bool withAutomatic);
    ProfileManager::ProfileList profileListForMenu() { return profileList(true); }
    static std::string profileDirectory() { return {}; } // ICC profiles have no folder of their own
    bool addProfile(const std::string &path, Error *error = nullptr);
    void iterateProfiles();

private:
    iccProfileManager() = default;
};

} // namespace orvanta
