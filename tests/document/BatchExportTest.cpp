#include "document/BatchExport.h"

#include "DocumentSandbox.h"
#include "document/MultiDataStore.h"
#include "document/MyDocument.h"
#include "input/DngFixture.h"
#include "platform/FileUtil.h"
#include "platform/UserDefaults.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

const bool kSandboxed = test::sandboxDocumentFolders();

std::string folder(const std::string &name) {
    const std::string f = test::documentSandbox().file(name);
    fs::remove_all(f);
    fs::create_directories(f);
    return f;
}

std::string magic(const std::string &path) {
    const auto bytes = readWholeFile(path);
    return bytes ? bytes->substr(0, 4) : std::string();
}

} // namespace

TEST(BatchExport, NamesThatDoNotOverwrite) {
    ASSERT_TRUE(kSandboxed);
    const std::string out = folder("names");
    test::writeText(out + "/IMG_1.jpg", "");
    test::writeText(out + "/IMG_1_1.jpg", "");
    EXPECT_EQ(BatchExport::destinationFor("/raw/IMG_1.CR2", out, "jpg", false), out + "/IMG_1_2.jpg");
    EXPECT_EQ(BatchExport::destinationFor("/raw/IMG_1.CR2", out, "jpg", true), out + "/IMG_1.jpg");
    EXPECT_EQ(BatchExport::destinationFor(out + "/IMG_1.CR2", std::nullopt, "tif", false), out + "/IMG_1.tif")
        << "beside the source";
    const std::pair<std::optional<std::int64_t>, const char *> extensions[] = {{std::nullopt, "jpg"},
                                                                               {0, "jpg"},
                                                                               {1, "tif"},
                                                                               {2, "dng"},
                                                                               {3, "exr"},
                                                                               {5, "exr"},
                                                                               {6, "exr"},
                                                                               {7, "jpg"}};
    for (const auto &[index, ext] : extensions)
        EXPECT_EQ(BatchExport::extensionForIndex(index), ext);
    EXPECT_DOUBLE_EQ(BatchExport::progressPercent(1, 3), 25.0);
    EXPECT_DOUBLE_EQ(BatchExport::progressPercent(0, 0), 99.0);
}

TEST(BatchExport, ExportsEachFileUntilTheFirstError) {
    ASSERT_TRUE(kSandboxed);
    const std::string raws = folder("batch-raws"), out = folder("batch-out");
    test::DngLayout layout;
    layout.width = 200, layout.height = 120;
    ASSERT_TRUE(test::writeCfaDng(raws + "/A.dng", layout));
    ASSERT_TRUE(test::writeCfaDng(raws + "/B.dng", layout));
    auto store = MultiDataStore::sharedMultiDataStore()->dataStoreForStore(kCatalogStoreName);
    store->deleteCurrentCatalog(nullptr);

    BatchExport batch;
    std::vector<std::string> seen;
    batch.progressUpdate = [&](std::size_t, std::size_t, const std::string &source, const std::string &) {
        seen.push_back(fs::path(source).filename().string());
    };
    BatchExport::Options options;
    options.exportFolder = out;
    options.preset = Dictionary{{"displayName", "EXR"}, {"Orvanta_ExportFileType", std::int32_t{5}}};
    auto error = batch.runWorker({raws + "/A.dng", raws + "/B.dng"}, options);
    ASSERT_FALSE(error) << error->reason;
    EXPECT_EQ(seen, (std::vector<std::string>{"A.dng", "B.dng"}));
    EXPECT_EQ(batch.written, (std::vector<std::string>{out + "/A.exr", out + "/B.exr"}));
    EXPECT_EQ(magic(out + "/A.exr"), std::string("\x76\x2f\x31\x01", 4));
    EXPECT_FALSE(store->getItemForUUID(raws + "/A.dng")) << "batch documents leave the catalog alone";

    // A missing file stops the batch after the files before it.
    BatchExport second;
    error =
        second.runWorker({raws + "/A.dng", raws + "/missing.dng", raws + "/B.dng"}, BatchExport::Options{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kRawOpenErrorDomain) << "the decoder's own reason";
    EXPECT_EQ(second.written, (std::vector<std::string>{raws + "/A.jpg"}));
    EXPECT_FALSE(fs::exists(raws + "/B.jpg"));

    BatchExport cancelled;
    cancelled.cancel = true;
    EXPECT_FALSE(cancelled.runWorker({raws + "/A.dng"}, BatchExport::Options{}));
    EXPECT_TRUE(cancelled.written.empty());
}

TEST(BatchExport, ExternalEditorUpdateByExtension) {
    ASSERT_TRUE(kSandboxed);
    const std::string raws = folder("editor-raws"), edits = folder("editor-edits");
    test::DngLayout layout;
    layout.width = 160, layout.height = 100;
    ASSERT_TRUE(test::writeCfaDng(raws + "/PIC_7.dng", layout));
    UserDefaults::standard().set("rawSearchDirectoryBookmark", Value(raws));
    for (const auto &[name, want] : {std::pair{"PIC_7-edit.JPEG", "\xff\xd8\xff"}, {"PIC_7.tiff", "II*"}}) {
        const std::string handed = edits + "/" + name;
        test::writeText(handed, "the editor's old pixels");
        auto doc = MyDocument::create();
        Error error;
        ASSERT_TRUE(doc->readFromURL(handed, "", &error)) << error.reason;
        doc->cropRectChanged(Rect(10, 10, 50, 50));
        ASSERT_TRUE(doc->extEditorUpdate(&error)) << error.reason;
        EXPECT_EQ(magic(handed).substr(0, std::strlen(want)), want) << name;
    }
    UserDefaults::standard().remove("rawSearchDirectoryBookmark");
    Error error;
    EXPECT_FALSE(MyDocument::create()->extEditorUpdate(&error)) << "not opened from an editor";
}
