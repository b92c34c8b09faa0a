#include "PresetManager.h"

#include "MultiDataStore.h"
#include "platform/FileUtil.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <strings.h>
#include <system_error>

namespace orvanta {

namespace fs = std::filesystem;

PresetManager *PresetManager::sharedPresetManager() {
    static PresetManager *instance = new PresetManager; // lives for the process
    return instance;
}

std::string PresetManager::uuidString() {
    static std::mutex m;
    static std::random_device device;
    std::uint8_t b[16];
    {
        std::lock_guard lock(m);
        for (int i = 0; i < 16; i += 4) {
            const std::uint32_t r = device();
            for (int k = 0; k < 4; ++k)
                b[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
        }
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40); // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80); // RFC 4122 variant
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return out;
}

std::optional<std::string> PresetManager::presetDirectory() {
    std::lock_guard lock(lock_);
    if (folder_) return folder_;
    Error error;
    const auto support = folders::applicationSupportDirectory(&error);
    if (!support) {
        logMessage("Could not access Library directory\n%s", error.description().c_str());
        return std::nullopt;
    }
    const std::string path = *support + "/presets";
    std::error_code ec;
    const bool existed = fs::is_directory(path, ec);
    if (!existed && !createDirectories(path, &error)) {
        logMessage("Could not create directory %s\n%s", path.c_str(), error.description().c_str());
        return std::nullopt;
    }
    folder_ = path;
    if (!existed) writeBuiltInPresets();
    return folder_;
}

void PresetManager::writeBuiltInPresets() {
    // One dictionary, reused: each preset keeps what the ones before it set
    // unless it overwrites it.
    Dictionary p{{"displayName", "Monochrome"}, {"Orvanta_Filter_inputSaturation", 0.0f}};
    Error error;
    auto save = [&] {
        p.set("Orvanta_PresetUUID", uuidString());
        if (!writePreset(p, &error)) logMessage(">> %s", error.description().c_str());
        p.remove("Orvanta_PresetUUID");
    };
    save();
    p.set("displayName", "Zero'd");
    for (const auto &[key, value] :
         std::initializer_list<std::pair<const char *, Value>>{{"Orvanta_Filter_inputSaturation", 1.0f},
                                                               {"Orvanta_Filter_inputRadius", 0.8f},
                                                               {"Orvanta_Filter_inputIntensity", 0.0f},
                                                               {"Orvanta_Filter_inputEV", 0.0f},
                                                               {"Orvanta_Filter_inputContrast", 0.0f},
                                                               {"Orvanta_Filter_inputBrightness", 0.0f},
                                                               {"Orvanta_Filter_inputFillLight", 0.0f},
                                                               {"Orvanta_Filter_inputHighLight", 0.0f},
                                                               {"Orvanta_Filter_inputKneeLow", 0.0f},
                                                               {"Orvanta_Filter_inputAngle", 0.0f},
                                                               {"Orvanta_Filter_inputKneeHigh", 3.5f},
                                                               {"Orvanta_SceneReferred", false},
                                                               {"Orvanta_MaintainWhites", false},
                                                               {"Orvanta_MonochromeSensor", false},
                                                               {"Orvanta_IRUVSensor", false},
                                                               {"Orvanta_ArtifactSuppression", 1.0f},
                                                               {"Orvanta_ChromaArtifactSuppression", 1.0f},
                                                               {"Orvanta_ettrAdjust", 0.0f},
                                                               {"Orvanta_toneCurveAdjust", 1.0f},
                                                               {"Orvanta_ArtifactFilter", 0.0f},
                                                               {"Orvanta_KodakProcessing", false},
                                                               {"Orvanta_Filter_monochromeRed", 1.0f},
                                                               {"Orvanta_Filter_monochromeYellow", 1.0f},
                                                               {"Orvanta_Filter_monochromeGreen", 1.0f},
                                                               {"Orvanta_Filter_monochromeCyan", 1.0f},
                                                               {"Orvanta_Filter_monochromeBlue", 1.0f}})
        p.set(key, value);
    save();
    p.set("displayName", "Default");
    p.set("Orvanta_Filter_inputIntensity", 1.0f);
    p.set("Orvanta_MaintainWhites", true);
    p.set("Orvanta_KodakProcessing", true);
    p.set("Orvanta_ExportFileType", std::int32_t{0});
    p.set("Orvanta_JPEGQuality", 10.0f);
    save();
    p.set("displayName", "Default TIFF export");
    p.set("Orvanta_ExportFileType", std::int32_t{1});
    save();
}

bool PresetManager::writePreset(const Dictionary &preset, Error *error) {
    std::optional<std::string> folder;
    {
        std::lock_guard lock(lock_);
        folder = folder_;
    }
    if (!folder) folder = presetDirectory();
    if (!folder) {
        if (error)
            *error = Error(kOrvantaErrorDomain, kOrvantaNoPath, "The presets folder cannot be created.");
        return false;
    }
    // The folder may have been deleted since (all presets deleted): make it
    // again rather than lose the preset.
    if (!createDirectories(*folder, error)) return false;
    const std::string path = *folder + "/" + profileUUID(preset) + ".plist";
    return plist::writeFile(path, Value(MultiDataStore::sharedMultiDataStore()->serializeToPList(preset)),
                            error);
}

void PresetManager::iteratePresets() {
    const auto folder = presetDirectory();
    std::lock_guard lock(lock_);
    _presetList.clear();
    if (!folder) return;
    std::error_code ec;
    for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &path = it->path();
        const std::string ext = path.extension().string();
        if (strcasecmp(ext.c_str(), ".plist") != 0) continue;
        auto root = plist::readFile(path.string());
        if (!root || !root->isDictionary()) continue; // unreadable or not a preset: skipped
        _presetList.push_back(
            MultiDataStore::sharedMultiDataStore()->deserializeFromPList(*root->dictionary()));
    }
}

std::vector<Dictionary> PresetManager::presetList(bool withPlaceholder) {
    iteratePresets();
    std::lock_guard lock(lock_);
    std::vector<Dictionary> list;
    if (withPlaceholder) list.push_back(Dictionary{{"displayName", kSelectPresetPlaceholder}});
    list.insert(list.end(), _presetList.begin(), _presetList.end());
    return list;
}

std::optional<Dictionary> PresetManager::presetNamed(const std::string &name) {
    iteratePresets();
    std::lock_guard lock(lock_);
    for (const auto &p : _presetList)
        if (const Value *n = p.get("displayName"); n && n->string() && *n->string() == name) return p;
    return std::nullopt;
}

bool PresetManager::addPreset(Dictionary &preset, Error *error) {
    const std::string name = preset.stringFor("displayName");
    if (auto existing = presetNamed(name)) {
        const std::string id = profileUUID(*existing);
        if (!id.empty()) preset.set("Orvanta_PresetUUID", id);
    }
    if (profileUUID(preset).empty()) preset.set("Orvanta_PresetUUID", uuidString());
    const bool ok = writePreset(preset, error);
    notifyPresetsChanged();
    return ok;
}

bool PresetManager::removePreset(const Dictionary &preset, Error *error) {
    bool ok = false;
    const std::string id = profileUUID(preset);
    if (const auto folder = presetDirectory(); folder && !id.empty() && id.find('/') == std::string::npos) {
        const std::string path = *folder + "/" + id + ".plist";
        ok = std::remove(path.c_str()) == 0;
        if (!ok && error) *error = Error::posix(errno, "cannot delete " + path);
    } else if (error) {
        *error = Error::posix(ENOENT, "no preset file");
    }
    notifyPresetsChanged();
    return ok;
}

bool PresetManager::deleteAllPresets(Error *error) {
    bool ok = false;
    if (const auto folder = presetDirectory()) {
        std::error_code ec;
        ok = fs::remove_all(*folder, ec) != static_cast<std::uintmax_t>(-1) && !ec;
        if (!ok && error) *error = Error::posix(ec.value(), "cannot delete " + *folder);
    }
    notifyPresetsChanged();
    return ok;
}

void PresetManager::notifyPresetsChanged() {
    NotificationCenter::defaultCenter().post(kPresetsChangedNotification, this);
}

const std::vector<PresetGroup> &PresetManager::settingGroups() {
    static const std::vector<PresetGroup> groups = {
        {"Chroma Artifact Suppression", {"Orvanta_ChromaArtifactSuppression"}},
        {"Kodak Processing", {"Orvanta_KodakProcessing"}},
        {"Luma Artifact Suppression", {"Orvanta_ArtifactSuppression"}},
        {"Post-demosaic Filter", {"Orvanta_ArtifactFilter"}},
        {"Exposure",
         {"Orvanta_Filter_inputEV", "Orvanta_Filter_inputContrast", "Orvanta_Filter_inputBrightness",
          "Orvanta_Filter_inputFillLight", "Orvanta_Filter_inputHighLight", "Orvanta_Filter_inputKneeLow",
          "Orvanta_Filter_inputKneeHigh"}},
        {"Camera Profile", {"Orvanta_CameraProfile"}},
        {"Saturation", {"Orvanta_Filter_inputSaturation"}},
        {"Hue", {"Orvanta_Filter_inputAngle"}},
        {"White Balance", {"Orvanta_Filter_inputTemperature", "Orvanta_Filter_inputTint"}},
        {"Sharpening", {"Orvanta_Filter_inputIntensity", "Orvanta_Filter_inputRadius"}},
        {"Export Settings", {"Orvanta_ExportFileType", "Orvanta_JPEGQuality"}},
    };
    return groups;
}

std::optional<Dictionary> PresetManager::presetFromSettings(const std::string &name,
                                                            const Dictionary &settings,
                                                            const std::vector<int> &groups, Error *error) {
    if (name.empty()) {
        if (error) *error = Error(kOrvantaErrorDomain, kOrvantaPresetNeedsName, "Must have a valid name");
        return std::nullopt;
    }
    Dictionary preset{{"displayName", name}};
    const auto &table = settingGroups();
    for (int g : groups) {
        if (g < 0 || g >= static_cast<int>(table.size())) continue;
        for (const char *key : table[static_cast<std::size_t>(g)].keys)
            if (const Value *v = settings.get(key)) preset.set(key, *v);
    }
    return preset;
}

} // namespace orvanta
