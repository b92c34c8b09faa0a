#include "DocumentSandbox.h"
#include "color/ColorSyncProfileWrap.h"
#include "color/DNGCameraProfile.h"
#include "document/MultiDataStore.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

using namespace orvanta;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

std::shared_ptr<DataStoreItem> freshCatalog() {
    auto store = MultiDataStore::sharedMultiDataStore()->dataStoreForStore(kCatalogStoreName);
    store->deleteCurrentCatalog(nullptr);
    return store;
}

Dictionary entry(const std::string &uuid, float ev) {
    return Dictionary{
        {"Orvanta_UUID", uuid}, {"Orvanta_Filter_inputEV", ev}, {"Orvanta_SceneReferred", true}};
}

std::vector<std::string> uuids(DataStoreItem &store) {
    std::vector<std::string> out;
    for (const Value &v : store.imageData().value_or(Array{}))
        out.push_back(v.dictionary() ? v.dictionary()->stringFor("Orvanta_UUID") : "?");
    return out;
}

} // namespace

TEST(Catalog, OneEntryPerImageInTheOrderOfLastClose) {
    ASSERT_TRUE(kSandboxed);
    auto store = freshCatalog();
    const auto path = store->storeFilePath();
    ASSERT_TRUE(path);
    EXPECT_EQ(std::filesystem::path(*path).filename(), "OrvantaCatalog.plist");
    EXPECT_EQ(std::filesystem::path(*path).parent_path().filename(), "Catalog");

    const Dictionary a = entry("/raw/a.CR2", 0.5f), b = entry("/raw/b.CR2", 0),
                     a2 = entry("/raw/a.CR2", 1.5f);
    ASSERT_TRUE(store->addItem(&a));
    ASSERT_TRUE(store->addItem(&b));
    ASSERT_TRUE(store->addItem(&a2));
    EXPECT_EQ(uuids(*store), (std::vector<std::string>{"/raw/b.CR2", "/raw/a.CR2"}));
    auto found = store->getItemForUUID("/raw/a.CR2");
    ASSERT_TRUE(found);
    // Types survive the file: a real stays a real, a bool a bool.
    EXPECT_EQ(found->get("Orvanta_Filter_inputEV")->type(), Value::Type::Double);
    EXPECT_EQ(found->floatFor("Orvanta_Filter_inputEV"), 1.5f);
    EXPECT_TRUE(found->get("Orvanta_SceneReferred")->isBool());

    const Dictionary change{{"Orvanta_UUID", "/raw/b.CR2"}, {"Orvanta_Filter_inputEV", 2.0f}};
    ASSERT_TRUE(store->updateItem(&change));
    EXPECT_EQ(uuids(*store), (std::vector<std::string>{"/raw/a.CR2", "/raw/b.CR2"}));
    EXPECT_TRUE(store->getItemForUUID("/raw/b.CR2")->boolFor("Orvanta_SceneReferred"))
        << "merged, not replaced";
    ASSERT_TRUE(store->removeItem(&a));
    EXPECT_EQ(uuids(*store), (std::vector<std::string>{"/raw/b.CR2"}));
    EXPECT_FALSE(store->addItem(nullptr));

    Error error;
    EXPECT_TRUE(store->deleteCurrentCatalog(&error));
    EXPECT_FALSE(store->deleteCurrentCatalog(&error)) << "no file to delete";
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
}

TEST(Catalog, ReadsAHandWrittenCatalogAndSurvivesBadOnes) {
    ASSERT_TRUE(kSandboxed);
    auto store = freshCatalog();
    const std::string path = *store->storeFilePath();
    // The platform's own XML form, as an existing catalog holds it.
    test::writeText(path, R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<array>
	<dict>
		<key>Orvanta_UUID</key>
		<string>/Users/someone/Pictures/IMG_0042.CR2</string>
		<key>Orvanta_Filter_inputEV</key>
		<real>0.75</real>
		<key>Orvanta_ExportFileType</key>
		<integer>1</integer>
		<key>Orvanta_MaintainWhites</key>
		<true/>
		<key>Orvanta_CameraProfile</key>
		<dict>
			<key>Class_of_serialized_Object</key>
			<string>DNGCameraProfileAbstract</string>
		</dict>
	</dict>
</array>
</plist>
)");
    auto found = store->getItemForUUID("/Users/someone/Pictures/IMG_0042.CR2");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->get("Orvanta_ExportFileType")->type(), Value::Type::Int64);
    const Dictionary settings = MultiDataStore::sharedMultiDataStore()->deserializeFromPList(*found);
    auto profile = settings.get("Orvanta_CameraProfile")->objectAs<DNGCameraProfileAbstract>();
    ASSERT_TRUE(profile);
    EXPECT_TRUE(profile->isAutoProfile());

    // Not a property list: no entry; the next close replaces the file.
    test::writeText(path, "this is not a catalog");
    EXPECT_FALSE(store->getItemForUUID("/Users/someone/Pictures/IMG_0042.CR2"));
    const Dictionary e = entry("/raw/new.CR2", 0);
    ASSERT_TRUE(store->addItem(&e));
    EXPECT_EQ(uuids(*store), (std::vector<std::string>{"/raw/new.CR2"}));

    // A settings dictionary that cannot be written leaves the file as it was.
    Dictionary bad = entry("/raw/bad.CR2", 0);
    bad.set("Orvanta_Filter_inputTint", Value::null());
    EXPECT_FALSE(store->addItem(&bad));
    EXPECT_EQ(uuids(*store), (std::vector<std::string>{"/raw/new.CR2"}));
}

TEST(Catalog, AFailedWriteLeavesTheCatalogWhole) {
    ASSERT_TRUE(kSandboxed);
    auto store = freshCatalog();
    for (int i = 0; i < 3; ++i) {
        const Dictionary e = entry("/raw/" + std::to_string(i) + ".CR2", float(i));
        ASSERT_TRUE(store->addItem(&e));
    }
    const std::string before = *readWholeFile(*store->storeFilePath());
    // The disk fills up half-way through the next write.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Dictionary big = entry("/raw/big.CR2", 0);
    big.set("notes", std::string(100000, 'x'));
    const bool written = store->addItem(&big);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(*readWholeFile(*store->storeFilePath()), before);
    EXPECT_EQ(uuids(*store).size(), 3u);
}

TEST(Catalog, ConcurrentClosesLoseNoEntry) {
    ASSERT_TRUE(kSandboxed);
    auto store = freshCatalog();
    auto closer = [&](const std::string &prefix) {
        for (int i = 0; i < 25; ++i) {
            const Dictionary e = entry(prefix + std::to_string(i), 0);
            store->addItem(&e);
        }
    };
    std::thread a(closer, "/a/"), b(closer, "/b/");
    a.join();
    b.join();
    EXPECT_EQ(uuids(*store).size(), 50u);
}

TEST(Catalog, ProfileMarkersAndDepth) {
    ASSERT_TRUE(kSandboxed);
    auto *m = MultiDataStore::sharedMultiDataStore();
    EXPECT_EQ(m->depthToConvert(), 2);
    const Dictionary settings{{"Orvanta_CameraProfile", Value(DNGCameraProfileAbstract::initAsAutoProfile())},
                              {"Orvanta_iccProfile", Value(ColorSyncProfileWrap::initAsAutoProfile())},
                              {"Orvanta_Filter_inputEV", 1.0f}};
    const Dictionary plist = m->serializeToPList(settings);
    const Dictionary *camera = plist.get("Orvanta_CameraProfile")->dictionary();
    ASSERT_TRUE(camera);
    EXPECT_EQ(*camera, (Dictionary{{kSerializedClassKey, "DNGCameraProfileAbstract"}}))
        << "the automatic profile";
    ASSERT_TRUE(plist.get("Orvanta_iccProfile")->dictionary());
    EXPECT_EQ(plist.get("Orvanta_iccProfile")->dictionary()->stringFor(kSerializedClassKey),
              "ColorSyncProfileWrap");
    EXPECT_TRUE(plist::toXML(Value(plist))) << "the whole entry is a property list";

    // A profile from a file is stored by its file name.
    if (auto dir = test::testDataDir()) {
        auto fromFile = DNGCameraProfileAbstract::initFromFile(*dir + "/dcp/Canon EOS 5D.dcp");
        ASSERT_TRUE(fromFile);
        const Dictionary p = m->serializeToPList(Dictionary{{"Orvanta_CameraProfile", Value(fromFile)}});
        EXPECT_EQ(*p.get("Orvanta_CameraProfile")->dictionary(),
                  (Dictionary{{kSerializedClassKey, "DNGCameraProfileAbstract"},
                              {"FileName", "Canon EOS 5D.dcp"}}));
    }

    // Reading: class names without regard to case, unknown classes dropped,
    // markers below the second level left as they are.
    const Dictionary marker{{kSerializedClassKey, "dngcameraprofileabstract"}};
    const Dictionary stored{
        {"Orvanta_CameraProfile", marker},
        {"Orvanta_Other", Dictionary{{kSerializedClassKey, "NSColor"}}},
        {"one", Dictionary{{"two", Dictionary{{"three", Dictionary{{"four", marker}}}}}}},
        {"near", Dictionary{{"p", marker}}},
    };
    const Dictionary back = m->deserializeFromPList(stored);
    EXPECT_TRUE(back.get("Orvanta_CameraProfile")->objectAs<DNGCameraProfileAbstract>());
    EXPECT_FALSE(back.contains("Orvanta_Other"));
    EXPECT_TRUE(back.get("near")->dictionary()->get("p")->isObject()) << "second level converted";
    const Value *deep =
        back.get("one")->dictionary()->get("two")->dictionary()->get("three")->dictionary()->get("four");
    ASSERT_TRUE(deep);
    EXPECT_TRUE(deep->isDictionary()) << "third level copied unconverted";
}
