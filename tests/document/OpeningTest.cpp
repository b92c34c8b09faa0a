#include "DocumentSandbox.h"
#include "document/MultiDataStore.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "input/DngFixture.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

// A raw folder of the test's own, holding the named (empty) files.
struct RawFolder {
    std::string root;
    explicit RawFolder(const std::string &name, std::initializer_list<const char *> files)
        : root(test::documentSandbox().file(name)) {
        fs::remove_all(root);
        fs::create_directories(root);
        for (const char *f : files) {
            fs::create_directories(fs::path(root + "/" + f).parent_path());
            test::writeText(root + "/" + f, "");
        }
    }
    std::string operator/(const char *f) const { return root + "/" + f; }
};

std::map<std::string, int> table() {
    return MyDocument::extensionPriorityTable();
}

} // namespace

TEST(Opening, BaseNames) {
    const std::pair<const char *, const char *> cases[] = {
        {"IMG_0042-edit", "IMG_0042"},
        {"IMG_0042.EDIT", "IMG_0042"},
        {"IMG_0042_v2", "IMG_0042"},
        {"IMG_0042-3", "IMG_0042"},
        {"Scan-edit-2", "Scan"},
        {"IMG_0042", "IMG"},
        {"DSC01234", nullptr},
        {"IMG_0042-V2", nullptr},
        {"IMG 0042 2", "IMG 0042"},
        {"Photo-abc2", "Photo"},
        {"IMG_v42", "IMG"},
        {"IMG_a42", nullptr},
        {"IMG-42b", nullptr},
        {"A_1", nullptr},
        {"", nullptr},
    };
    for (const auto &[name, base] : cases) {
        const auto got = MyDocument::parseToBaseName(name);
        if (base)
            EXPECT_EQ(got.value_or("(none)"), base) << name;
        else
            EXPECT_FALSE(got) << name << " gave " << *got;
    }
}

TEST(Opening, SearchPrefersRawFilesAndSkipsHiddenFolders) {
    ASSERT_TRUE(kSandboxed);
    const struct {
        std::initializer_list<const char *> files;
        const char *want; // relative to the raw folder, or none
    } cases[] = {
        {{"a/IMG_0042.CR2", "IMG_0042.dng", "b/IMG_0042.tif"}, "a/IMG_0042.CR2"},
        {{"IMG_0042.dng", "b/IMG_0042.tif", ".hidden/IMG_0042.CR2"}, "IMG_0042.dng"},
        {{"b/IMG_0042.tif", ".hidden/IMG_0042.CR2"}, "b/IMG_0042.tif"},
        {{"IMG_0042.jpg", "IMG_0042.xmp"}, nullptr},
        {{"IMG_0042.xyz", "IMG_0042.tif"}, "IMG_0042.xyz"},
        {{"IMG_0042.xyz", "IMG_0042.DNG"}, "IMG_0042.DNG"},
        {{"deep/er/img_0042.cr2"}, "deep/er/img_0042.cr2"},
        {{"IMG_00421.CR2"}, nullptr},
    };
    int n = 0;
    for (const auto &c : cases) {
        RawFolder raw("search" + std::to_string(n++), c.files);
        const auto found = MyDocument::searchDirectory(raw.root, "IMG_0042", table());
        if (c.want)
            EXPECT_EQ(found.value_or("(none)"), raw / c.want);
        else
            EXPECT_FALSE(found) << *found;
    }
    EXPECT_FALSE(MyDocument::searchDirectory("/no/such/folder", "IMG_0042", table()));
}

TEST(Opening, ExternalEditorFilesOpenTheirRawFile) {
    ASSERT_TRUE(kSandboxed);
    auto &defaults = UserDefaults::standard();
    RawFolder raw("raws", {"2024/IMG_0042.CR2", "IMG_0042.tif", "DSC01234.dng"});
    RawFolder edits("edits", {"IMG_0042-edit.jpg", "IMG_0042.tif", "DSC01234.tif", "IMG_0042-V2.jpg"});

    // Without a raw folder: −15; a raw file opens all the same.
    defaults.remove("rawSearchDirectoryBookmark");
    auto doc = MyDocument::create();
    Error error;
    EXPECT_FALSE(doc->readFromURL(edits / "IMG_0042-edit.jpg", "", &error));
    EXPECT_EQ(error.code, -15);
    EXPECT_EQ(error.reason,
              "No valid raw search location available - Set the search location in Preferences to "
              "the folder containing your raw image files.");
    EXPECT_TRUE(MyDocument::create()->readFromURL(raw / "DSC01234.dng", "", &error));

    defaults.set("rawSearchDirectoryBookmark", Value(raw.root));
    const struct {
        const char *opened, *rawFile;
    } cases[] = {
        {"IMG_0042-edit.jpg", "2024/IMG_0042.CR2"},
        {"IMG_0042.tif", "2024/IMG_0042.CR2"}, // base "IMG" finds nothing, the whole name does
        {"DSC01234.tif", "DSC01234.dng"},
    };
    for (const auto &c : cases) {
        auto d = MyDocument::create();
        ASSERT_TRUE(d->readFromURL("file://" + (edits / c.opened), "", &error))
            << c.opened << ": " << error.reason;
        EXPECT_EQ(d->getSettingsDictionary().stringFor("Orvanta_UUID"), raw / c.rawFile);
        EXPECT_EQ(d->extEditorURL().value_or(""), edits / c.opened);
        EXPECT_TRUE(d->openedFromExternal());
        EXPECT_EQ(d->displayName(), fs::path(c.rawFile).filename().string());
    }
    auto missing = MyDocument::create();
    EXPECT_FALSE(missing->readFromURL(edits / "IMG_0042-V2.jpg", "", &error));
    EXPECT_EQ(error.code, -17);
    EXPECT_EQ(error.reason,
              "Could not find the raw file corresponding to IMG_0042-V2 in search location " + raw.root +
                  ". Set the search location in Preferences to the folder containing your raw image "
                  "files.");
    EXPECT_FALSE(missing->readFromURL(edits / "IMG_0042-V2.jpg", "", &error)) << "a second search";
    EXPECT_EQ(error.code, -16);
    defaults.remove("rawSearchDirectoryBookmark");
}

TEST(Opening, FailuresCarryTheirCodesAndTexts) {
    ASSERT_TRUE(kSandboxed);
    RawFolder folder("failures", {"scan.pcd", "sub/x.CR2"});
    const struct {
        std::string url;
        int code;
        const char *reason;
    } cases[] = {
        {"http://example.com/IMG_0042.CR2", -5, "Quenfold could not resolve the file location."},
        {folder / "sub", -4, "directory read operation."},
        {folder / "scan.pcd", -2, "Quenfold could not create a decoder object - may be too little memory."},
    };
    for (const auto &c : cases) {
        Error error;
        EXPECT_FALSE(MyDocument::create()->readFromURL(c.url, "", &error)) << c.url;
        EXPECT_EQ(error.domain, kOrvantaErrorDomain);
        EXPECT_EQ(error.code, c.code) << c.url;
        EXPECT_EQ(error.reason, c.reason);
    }
}

TEST(Opening, SettingsFromTheCatalogOrTheDefaultPreset) {
    ASSERT_TRUE(kSandboxed);
    const std::string path = test::documentSandbox().file("catalogued.dng");
    ASSERT_TRUE(test::writeCfaDng(path, {}));
    const std::string link = test::documentSandbox().file("other-way.dng");
    fs::remove(link);
    fs::create_symlink(path, link);
    auto *store = MultiDataStore::sharedMultiDataStore();
    const Dictionary entry =
        store->serializeToPList(Dictionary{{"Orvanta_UUID", path}, {"Orvanta_Filter_inputEV", 1.5f}});
    ASSERT_TRUE(store->dataStoreForStore(kCatalogStoreName)->addItem(&entry));

    auto doc = MyDocument::create();
    ASSERT_TRUE(doc->readFromURL(path, "", nullptr));
    EXPECT_EQ(doc->getSettingsDictionary().floatFor("Orvanta_Filter_inputEV"), 1.5f);
    EXPECT_FALSE(doc->getSettingsDictionary().contains("displayName"));
    ASSERT_TRUE(doc->displayEngine());

    // The identity is the path: another path to the same file is another image.
    auto other = MyDocument::create();
    ASSERT_TRUE(other->readFromURL(link, "", nullptr));
    EXPECT_EQ(other->getSettingsDictionary().stringFor("displayName"), "Default");
    EXPECT_EQ(other->getSettingsDictionary().floatFor("Orvanta_Filter_inputEV"), 0.0f);
    EXPECT_EQ(other->getSettingsDictionary().stringFor("Orvanta_UUID"), link);
}
