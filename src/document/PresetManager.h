#pragma once
// Presets: named, partial settings dictionaries, one XML property list per
// preset in the "presets" folder, named by the preset's identity. The four
// built-in presets are written when the folder is first created.

#include "OrvantaError.h"
#include "platform/Error.h"
#include "platform/Value.h"

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvanta {

inline constexpr const char *kPresetsChangedNotification = "Quenfold_PresetsChanged";
inline constexpr const char *kSelectPresetPlaceholder = "Select preset....";

// A group of settings offered when a preset is made from an image.
struct PresetGroup {
    const char *title;
    std::vector<const char *> keys;
};

class PresetManager {
public:
    static PresetManager *sharedPresetManager();

    // The presets folder; the first call creates it, with the built-in
    // presets, when it does not exist.
    std::optional<std::string> presetDirectory();
    static std::string uuidString();
    static std::string profileUUID(const Dictionary &preset) {
        return preset.stringFor("Orvanta_PresetUUID");
    }

    void iteratePresets();
    // Every call rereads the folder.
    std::vector<Dictionary> presetList(bool withPlaceholder);
    std::vector<Dictionary> presetListForMenu() { return presetList(true); }
    std::optional<Dictionary> presetNamed(const std::string &name);

    // Saves the preset (giving it the identity of a preset of the same name,
    // or a new one); preset is changed in place. False with the error filled
    // when the file cannot be written.
    bool addPreset(Dictionary &preset, Error *error);
    bool removePreset(const Dictionary &preset, Error *error);
    bool deleteAllPresets(Error *error);
    void notifyPresetsChanged();

    static const std::vector<PresetGroup> &settingGroups();
    // A preset named name holding, of the ticked groups (indices of
    // settingGroups), the keys that settings hold; error −14 for no name.
    static std::optional<Dictionary> presetFromSettings(const std::string &name, const Dictionary &settings,
                                                        const std::vector<int> &groups, Error *error);

    PresetManager(const PresetManager &) = delete;
    PresetManager &operator=(const PresetManager &) = delete;

private:
    PresetManager() = default;
    bool writePreset(const Dictionary &preset, Error *error);
    void writeBuiltInPresets();

    std::recursive_mutex lock_; // the folder cache and the list (main and batch threads)
    std::optional<std::string> folder_;
    std::vector<Dictionary> _presetList;
};

} // namespace orvanta
