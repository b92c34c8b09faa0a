#include "DocumentSandbox.h"
#include "color/ColorHelper.h"
#include "color/DNGCameraProfile.h"
#include "document/MultiDataStore.h"
#include "document/MyDocument.h"
#include "document/PresetManager.h"
#include "input/DngFixture.h"
#include "input/ImageWrapper.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace orvanta;
using namespace std::chrono_literals;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

// A window controller that records what the document tells it.
struct TestWindow : DocumentWindowController {
    Rect area = Rect::null();
    float temperature = 0, tint = 0;
    int closes = 0;
    std::optional<bool> sceneReferred;
    Rect activeTiledRect() override { return area; }
    void setTempAndTint(float t, float ti) override { temperature = t, tint = ti; }
    void setSceneReferred(bool s) override { sceneReferred = s; }
    void performClose() override { ++closes; }
};

// A DNG with a patch that is grey under the as-shot light.
std::string greyDng() {
    static const std::string path = [] {
        test::DngLayout layout;
        layout.width = 600;
        layout.height = 400;
        layout.greyPatch[0] = 200, layout.greyPatch[1] = 360, layout.greyPatch[2] = 120,
        layout.greyPatch[3] = 280;
        const std::string p = test::documentSandbox().file("grey.dng");
        EXPECT_TRUE(test::writeCfaDng(p, layout));
        return p;
    }();
    return path;
}

// Counts the document's notifications, delivered on the main queue.
struct Posts {
    int started = 0, processed = 0;
    std::vector<NotificationCenter::Token> tokens;
    explicit Posts(MyDocument *doc) {
        auto &c = NotificationCenter::defaultCenter();
        tokens.push_back(
            c.addObserver(kEngineDidStartNotification, doc, [this](const Notification &) { ++started; }));
        tokens.push_back(c.addObserver(kNewProcessedImageNotification, doc,
                                       [this](const Notification &) { ++processed; }));
    }
    ~Posts() {
        for (auto t : tokens)
            NotificationCenter::defaultCenter().removeObserver(t);
    }
    // Runs the main queue until n renders have been announced, then a little
    // longer so that a stray one would be counted too.
    bool waitProcessed(int n) {
        const bool ok = dispatch::runMainQueueUntil([&] { return processed >= n; }, 60s);
        settle();
        return ok;
    }
    void settle() {
        dispatch::runMainQueueUntil([] { return false; }, 200ms);
    }
};

// The grey DNG opened, shown with a test window and rendered once.
struct Shown {
    std::shared_ptr<TestWindow> window = std::make_shared<TestWindow>();
    std::shared_ptr<MyDocument> doc = MyDocument::create();
    Posts posts{doc.get()};
    explicit Shown(Rect area = Rect::null()) {
        window->area = area;
        Error error;
        EXPECT_TRUE(doc->readFromURL(greyDng(), "", &error)) << error.reason;
        doc->addWindowController(window);
        doc->documentIsForDisplay(true);
        EXPECT_TRUE(posts.waitProcessed(1));
    }
};

} // namespace

TEST(Document, NewSettingsAndWhatTheFirstRenderSets) {
    ASSERT_TRUE(kSandboxed);
    // No presets: the image keeps the document defaults.
    PresetManager::sharedPresetManager()->deleteAllPresets(nullptr);
    auto fresh = MyDocument::create();
    const Dictionary &s = fresh->getSettingsDictionary();
    EXPECT_TRUE(s.boolFor("Orvanta_UseAsShotWB"));
    EXPECT_FALSE(s.contains("Orvanta_Filter_inputTemperature"));
    EXPECT_FALSE(s.contains("Orvanta_SceneReferred"));
    EXPECT_EQ(s.floatFor("Orvanta_Filter_inputKneeHigh"), 3.5f);
    EXPECT_EQ(s.get("Orvanta_ExportFileType")->type(), Value::Type::Int32);
    EXPECT_TRUE(s.get("Orvanta_CameraProfile")->objectAs<DNGCameraProfileAbstract>());
    EXPECT_FALSE(fresh->imageDefaultsCopy().contains("Orvanta_UseAsShotWB"));

    Shown shown;
    auto &doc = shown.doc;
    auto &window = shown.window;
    EXPECT_GE(shown.posts.started, 1);
    const Dictionary &after = doc->getSettingsDictionary();
    auto asShot = doc->wbFromMetaData();
    ASSERT_TRUE(asShot);
    EXPECT_FLOAT_EQ(after.floatFor("Orvanta_Filter_inputTemperature"), asShot->fTemperature());
    EXPECT_FLOAT_EQ(after.floatFor("Orvanta_Filter_inputTint"), asShot->fTint());
    EXPECT_EQ(window->temperature, asShot->fTemperature()) << "the sliders follow";
    EXPECT_TRUE(after.boolFor("Orvanta_SceneReferred")) << "a raw file is not output-referred";
    EXPECT_EQ(window->sceneReferred, true);
    EXPECT_FALSE(after.contains("Orvanta_UseAsShotWB"));
    // The as-shot white became the default that a reset returns to.
    EXPECT_FLOAT_EQ(doc->imageDefaultsCopy().floatFor("Orvanta_Filter_inputTemperature"),
                    asShot->fTemperature());
    doc->setValue(Value(3000.0f), "Orvanta_Filter_inputTemperature");
    doc->setToDefault("Orvanta_Filter_inputTemperature");
    EXPECT_FLOAT_EQ(after.floatFor("Orvanta_Filter_inputTemperature"), asShot->fTemperature());
    // The metadata pseudo-key, with anything after it.
    auto meta = doc->valueForKey("Orvanta_metaDataForInspector");
    ASSERT_TRUE(meta && meta->isDictionary());
    EXPECT_FALSE(meta->dictionary()->empty());
    doc->close();
}

TEST(Document, SettingValuesWhiteBalanceCropOrientation) {
    ASSERT_TRUE(kSandboxed);
    auto doc = MyDocument::create();
    const Dictionary lowerCase{{"orvanta_filter_inputtemperature", 5000.0f}};
    doc->addSettingValues(&lowerCase);
    EXPECT_FALSE(doc->getSettingsDictionary().contains("Orvanta_UseAsShotWB"));
    // A dictionary value merges into the one stored.
    const Dictionary first{{"Orvanta_Nested", Dictionary{{"a", 1}, {"b", 2}}}};
    const Dictionary second{{"Orvanta_Nested", Dictionary{{"b", 3}}}};
    doc->addSettingValues(&first);
    doc->addSettingValues(&second);
    EXPECT_EQ(*doc->getSettingsDictionary().get("Orvanta_Nested")->dictionary(),
              (Dictionary{{"a", 1}, {"b", 3}}));

    const struct {
        float temperature, tint, wantTemperature, wantTint;
    } clamps[] = {{500, 0, 1000, 0}, {20000, 0, 14000, 0}, {5000, -300, 5000, -150}, {6500, 200, 6500, 150}};
    for (const auto &c : clamps) {
        ColorHelper color;
        color.setFTemperature(c.temperature);
        color.setFTint(c.tint);
        doc->setWBFromColor(color);
        EXPECT_EQ(doc->getSettingsDictionary().floatFor("Orvanta_Filter_inputTemperature"),
                  c.wantTemperature);
        EXPECT_EQ(doc->getSettingsDictionary().floatFor("Orvanta_Filter_inputTint"), c.wantTint);
        EXPECT_EQ(color.fTemperature(), c.wantTemperature) << "written back to the colour";
    }

    const Rect none(-1, -1, -1, -1);
    EXPECT_EQ(doc->getCropRect(), none);
    doc->cropRectChanged(Rect(10, 20, 15.9, 100));
    EXPECT_EQ(doc->getCropRect(), none) << "narrower than 16";
    doc->cropRectChanged(Rect(10, 20, 300, 200));
    EXPECT_EQ(doc->getCropRect(), Rect(10, 20, 300, 200));
    doc->setValue(std::nullopt, "Orvanta_CropRect_height");
    EXPECT_EQ(doc->getCropRect(), none) << "no height";
    EXPECT_EQ(doc->getOrientation(), 1);
    doc->orientationChanged(6);
    EXPECT_EQ(doc->getSettingsDictionary().get("Orvanta_ImageOrientation")->type(), Value::Type::Float);
    EXPECT_EQ(doc->getOrientation(), 6);

    const struct {
        double v[3];
        const char *text;
    } readOuts[] = {{{0.0031308, 1.0, -0.2}, "R:  4.0, G:100.0, B:  0.0"},
                    {{0.18, 0.5, 0.0}, "R: 46.1, G: 73.5, B:  0.0"}};
    for (const auto &r : readOuts)
        EXPECT_EQ(MyDocument::formatPixelValues(r.v), r.text);
    EXPECT_EQ(doc->pixelValueString(10, 10), "-") << "no pipeline";
    Error error;
    EXPECT_FALSE(doc->dataOfType("public.jpeg", &error));
    EXPECT_EQ(error.code, -4);
}

// Which settings changes reach the pipeline.
TEST(Document, ChangesThatRenderAndChangesThatDoNot) {
    ASSERT_TRUE(kSandboxed);
    Shown shown;
    auto &doc = shown.doc;
    auto &posts = shown.posts;
    // The first render's own follow-ups (scene-referred) settle first.
    posts.settle();
    auto engine = doc->displayEngine();
    const int decodes = engine->decodeCount();
    int processed = posts.processed;

    doc->setValue(Value(true), "Orvanta_IRUVSensor");
    posts.settle();
    EXPECT_EQ(posts.processed, processed) << "kept, but not rendered";

    doc->setValue(Value(0.5f), "Orvanta_Filter_monochromeRed");
    EXPECT_TRUE(posts.waitProcessed(processed + 1)) << "every filter key renders";
    EXPECT_EQ(engine->decodeCount(), decodes);
    processed = posts.processed;

    doc->setValue(Value(true), "Orvanta_MonochromeSensor");
    EXPECT_TRUE(posts.waitProcessed(processed + 1));
    EXPECT_EQ(engine->decodeCount(), decodes + 1) << "an observed key: decoded again";
    doc->close();
}

TEST(Document, EyedropperOnAGreyPatchGivesTheAsShotWhite) {
    ASSERT_TRUE(kSandboxed);
    Shown shown(Rect(0, 0, 600, 400));
    auto &doc = shown.doc;
    auto &posts = shown.posts;
    auto asShot = doc->wbFromMetaData();
    ASSERT_TRUE(asShot);
    // Start from a wrong white, then pick the patch.
    ColorHelper warm;
    warm.setFTemperature(3000);
    warm.setFTint(20);
    doc->setWBFromColor(warm);
    doc->setWBFromPoint(280, 200);
    const Dictionary &s = doc->getSettingsDictionary();
    EXPECT_NEAR(s.floatFor("Orvanta_Filter_inputTemperature"), asShot->fTemperature(),
                0.01 * asShot->fTemperature());
    EXPECT_NEAR(s.floatFor("Orvanta_Filter_inputTint"), asShot->fTint(), 1.0);
    // Off the image: a warning, the white balance stays.
    const float before = s.floatFor("Orvanta_Filter_inputTemperature");
    doc->setWBFromPoint(5000, 5000);
    EXPECT_EQ(s.floatFor("Orvanta_Filter_inputTemperature"), before);
    // And the patch reads grey once rendered with that white.
    ASSERT_TRUE(posts.waitProcessed(posts.processed + 1));
    const std::string readOut = doc->pixelValueString(280, 200);
    float r = 0, g = 0, b = 0;
    ASSERT_EQ(std::sscanf(readOut.c_str(), "R:%f, G:%f, B:%f", &r, &g, &b), 3) << readOut;
    EXPECT_NEAR(r, g, 1.0);
    EXPECT_NEAR(b, g, 1.0);
    doc->close();
}

TEST(Document, OnlyDisplayedDocumentsAreStoredAtClose) {
    ASSERT_TRUE(kSandboxed);
    auto store = MultiDataStore::sharedMultiDataStore()->dataStoreForStore(kCatalogStoreName);
    store->deleteCurrentCatalog(nullptr);
    auto batch = MyDocument::create();
    ASSERT_TRUE(batch->readFromURL(greyDng(), "", nullptr));
    batch->close();
    EXPECT_FALSE(store->getItemForUUID(greyDng())) << "a batch document leaves the catalog alone";

    Shown shown;
    auto &doc = shown.doc;
    doc->setValue(Value(0.75f), "Orvanta_Filter_inputEV");
    doc->close();
    auto entry = store->getItemForUUID(greyDng());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->floatFor("Orvanta_Filter_inputEV"), 0.75f);
    EXPECT_EQ(entry->get("Orvanta_CameraProfile")->dictionary()->stringFor(kSerializedClassKey),
              "DNGCameraProfileAbstract");
    // Reopening restores it.
    auto again = MyDocument::create();
    ASSERT_TRUE(again->readFromURL(greyDng(), "", nullptr));
    EXPECT_EQ(again->getSettingsDictionary().floatFor("Orvanta_Filter_inputEV"), 0.75f);
}

// A camera that reports no as-shot white ((0, 0)) gets no white balance from
// it: no temperature rather than an absurd one.
TEST(Document, NoAsShotWhiteGivesNoTemperature) {
    ASSERT_TRUE(kSandboxed);
    const auto dir = test::testDataDir();
    if (!dir) GTEST_SKIP() << "test data not found (set ORVANTA_TESTDATA)";
    auto doc = MyDocument::create();
    Posts posts(doc.get());
    ASSERT_TRUE(doc->readFromURL(*dir + "/raw/Canon_EOS_D30.CRW", "", nullptr));
    doc->documentIsForDisplay(true);
    ASSERT_TRUE(posts.waitProcessed(1));
    EXPECT_EQ(doc->getCameraParameters()->floatFor("asShotWhitex", -1), 0.0f) << "the premise";
    EXPECT_FALSE(doc->wbFromMetaData());
    EXPECT_FALSE(doc->getSettingsDictionary().contains("Orvanta_Filter_inputTemperature"));
    doc->close();
}
