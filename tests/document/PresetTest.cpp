#include "DocumentSandbox.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

int filesIn(const std::string &folder) {
    int n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

} // namespace

// The first test of this binary: the process's first look at the folder
// creates it with the built-in presets.
TEST(Presets, FirstRunWritesTheFourBuiltIns) {
    ASSERT_TRUE(kSandboxed);
    auto *pm = PresetManager::sharedPresetManager();
    const auto folder = pm->presetDirectory();
    ASSERT_TRUE(folder);
    EXPECT_EQ(filesIn(*folder), 4);
    const auto menu = pm->presetListForMenu();
    ASSERT_EQ(menu.size(), 5u);
    EXPECT_EQ(menu[0], (Dictionary{{"displayName", kSelectPresetPlaceholder}}));

    const std::regex identity("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> ids;
    for (std::size_t i = 1; i < menu.size(); ++i) {
        const std::string id = PresetManager::profileUUID(menu[i]);
        EXPECT_TRUE(std::regex_match(id, identity)) << id;
        EXPECT_TRUE(fs::exists(*folder + "/" + id + ".plist"));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);

    auto mono = pm->presetNamed("Monochrome");
    ASSERT_TRUE(mono);
    EXPECT_EQ(mono->size(), 3u) << "name, identity and saturation";
    EXPECT_EQ(mono->floatFor("Orvanta_Filter_inputSaturation", 1), 0.0f);
    auto zero = pm->presetNamed("Zero'd");
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->floatFor("Orvanta_Filter_inputIntensity", 1), 0.0f);
    EXPECT_FALSE(zero->boolFor("Orvanta_MaintainWhites", true));
    EXPECT_FALSE(zero->contains("Orvanta_ExportFileType"));
    auto standard = pm->presetNamed("Default");
    ASSERT_TRUE(standard);
    EXPECT_TRUE(standard->boolFor("Orvanta_KodakProcessing"));
    EXPECT_EQ(standard->get("Orvanta_ExportFileType")->type(), Value::Type::Int64)
        << "an integer in the file";
    EXPECT_EQ(standard->intFor("Orvanta_ExportFileType", -1), 0);
    EXPECT_EQ(standard->floatFor("Orvanta_JPEGQuality"), 10.0f);
    EXPECT_FALSE(standard->contains("Orvanta_Filter_inputTemperature"));
    auto tiff = pm->presetNamed("Default TIFF export");
    ASSERT_TRUE(tiff);
    EXPECT_EQ(tiff->intFor("Orvanta_ExportFileType"), 1);
    EXPECT_EQ(tiff->size(), standard->size()) << "the Default entries and its own";
}

TEST(Presets, SavingByNameFilesAndNotifications) {
    ASSERT_TRUE(kSandboxed);
    auto *pm = PresetManager::sharedPresetManager();
    const std::string folder = *pm->presetDirectory();
    int notified = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(kPresetsChangedNotification, pm,
                                                                 [&](const Notification &) { ++notified; });
    const std::string defaultId = PresetManager::profileUUID(*pm->presetNamed("Default"));
    const int files = filesIn(folder);

    Dictionary replacement{{"displayName", "Default"}, {"Orvanta_Filter_inputEV", 0.5f}};
    Error error;
    EXPECT_TRUE(pm->addPreset(replacement, &error));
    EXPECT_EQ(PresetManager::profileUUID(replacement), defaultId) << "same name, same file";
    EXPECT_EQ(filesIn(folder), files);
    EXPECT_EQ(pm->presetNamed("Default")->floatFor("Orvanta_Filter_inputEV"), 0.5f);
    Dictionary other{{"displayName", "default"}};
    EXPECT_TRUE(pm->addPreset(other, &error));
    EXPECT_NE(PresetManager::profileUUID(other), defaultId) << "names compare exactly";
    EXPECT_EQ(filesIn(folder), files + 1);

    // Only files ending in plist, in any case, are presets.
    test::writeText(folder + "/notes.txt", "not a preset");
    ASSERT_TRUE(plist::writeFile(folder + "/UPPER.PLIST", Value(Dictionary{{"displayName", "Upper"}})));
    test::writeText(folder + "/broken.plist", "<plist><dict><key>");
    EXPECT_TRUE(pm->presetNamed("Upper"));
    EXPECT_EQ(pm->presetList(false).size(), static_cast<std::size_t>(files + 2));

    EXPECT_TRUE(pm->removePreset(other, &error));
    EXPECT_FALSE(pm->presetNamed("default"));
    EXPECT_FALSE(pm->removePreset(other, &error)) << "already gone";
    EXPECT_EQ(notified, 4);
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(Presets, ApplyingAndMakingPresets) {
    ASSERT_TRUE(kSandboxed);
    auto *pm = PresetManager::sharedPresetManager();
    auto doc = MyDocument::create();
    const Dictionary before = doc->getSettingsDictionary();
    auto mono = pm->presetNamed("Monochrome");
    ASSERT_TRUE(mono);
    doc->addSettingValues(&*mono);
    const Dictionary &after = doc->getSettingsDictionary();
    for (const auto &[key, value] : after) {
        if (key == "Orvanta_Filter_inputSaturation" || key == "displayName" || key == "Orvanta_PresetUUID")
            continue;
        ASSERT_TRUE(before.contains(key)) << key;
        EXPECT_EQ(*before.get(key), value) << key;
    }
    EXPECT_EQ(after.floatFor("Orvanta_Filter_inputSaturation", 1), 0.0f);
    EXPECT_EQ(after.stringFor("displayName"), "Monochrome");

    // From the image, with only "White Balance" ticked.
    const Dictionary settings{{"Orvanta_Filter_inputTemperature", 5200.0f},
                              {"Orvanta_Filter_inputTint", 4.0f},
                              {"Orvanta_Filter_inputEV", 1.0f}};
    const auto &groups = PresetManager::settingGroups();
    ASSERT_EQ(groups.size(), 11u);
    EXPECT_STREQ(groups[8].title, "White Balance");
    Error error;
    auto wb = PresetManager::presetFromSettings("Daylight", settings, {8}, &error);
    ASSERT_TRUE(wb);
    ASSERT_TRUE(pm->addPreset(*wb, &error));
    auto saved = pm->presetNamed("Daylight");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->size(), 4u) << "name, identity, temperature and tint";
    EXPECT_EQ(saved->floatFor("Orvanta_Filter_inputTemperature"), 5200.0f);
    EXPECT_FALSE(PresetManager::presetFromSettings("", settings, {8}, &error));
    EXPECT_EQ(error.code, -14);
    EXPECT_EQ(error.reason, "Must have a valid name");
}

TEST(Presets, AfterDeletingAllASaveStillLands) {
    ASSERT_TRUE(kSandboxed);
    auto *pm = PresetManager::sharedPresetManager();
    const std::string folder = *pm->presetDirectory();
    Error error;
    ASSERT_TRUE(pm->deleteAllPresets(&error));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(pm->presetNamed("Default")) << "not recreated in the same run";
    Dictionary p{{"displayName", "Kept"}, {"Orvanta_Filter_inputEV", 1.0f}};
    EXPECT_TRUE(pm->addPreset(p, &error)) << error.reason;
    EXPECT_TRUE(pm->presetNamed("Kept")) << "the folder is made again for it";
    EXPECT_EQ(filesIn(folder), 1);
}
