#pragma once
// One ICC profile: opened from memory, from a file, from the list of
// installed profiles (opened only when first needed), or the "Automatic"
// placeholder. Owns its LittleCMS profile.

#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvanta {

// A four-character code as the ICC header stores it ('mntr' → 0x6D6E7472).
constexpr std::int32_t fourCC(const char (&s)[5]) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8 |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])));
}

class ColorSyncProfileWrap : public Object {
public:
    // What the installed-profile listing reports for one profile.
    struct IterateData {
        std::int32_t profileClass = 0, space = 0;
        std::string description;
        std::string path;
    };

    static std::shared_ptr<ColorSyncProfileWrap> initAsAutoProfile();
    // Null for no bytes, or bytes that do not open as a profile.
    static std::shared_ptr<ColorSyncProfileWrap> initWithBuffer(const void *bytes, std::uint32_t size);
    static std::shared_ptr<ColorSyncProfileWrap> initWithCFPath(const std::string &path);
    static std::shared_ptr<ColorSyncProfileWrap> initWithIterateData(const IterateData &data);
    // From the serialised form: the file, else the listed profile of that
    // description (may be null), else "Automatic".
    static std::shared_ptr<ColorSyncProfileWrap> initFromPList(const Dictionary &plist);

    ~ColorSyncProfileWrap() override;

    Dictionary objectSerializeForPList() const;

    // The opened LittleCMS profile (cmsHPROFILE); opens a listed file on
    // first use. Null for the placeholder or a file that no longer opens.
    void *csRef() const;
    // The profile's bytes (for embedding in exported files); empty when none.
    std::vector<std::uint8_t> iccData() const;

    std::string description() const;
    std::int32_t classType() const { return mClass; }
    std::int32_t spaceType() const { return mSpace; }
    // The file the profile came from; empty for profiles opened from memory.
    const std::string &path() const { return mURL; }
    bool isAutoProfile() const { return !mRef && mURL.empty() && mBytes.empty(); }

    std::string className() const override { return "ColorSyncProfileWrap"; }
    // Equal when both come from the same file; profiles without a file are
    // equal only to themselves.
    bool isEqual(const Object &other) const override;
    std::size_t hash() const override;

private:
    ColorSyncProfileWrap() = default;
    bool openLocked() const;

    mutable std::mutex m_;
    mutable void *mRef = nullptr; // cmsHPROFILE
    std::int32_t mClass = 0, mSpace = 0;
    mutable std::optional<std::string> mName;
    std::string mURL;
    std::vector<std::uint8_t> mBytes; // profiles opened from memory keep their bytes
};

} // namespace orvanta
