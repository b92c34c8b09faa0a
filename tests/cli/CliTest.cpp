// The command-line tool as a user runs it: results on standard output,
// errors as one line with the reason and a non-zero status.

#include "TestSupport.h"
#include "export/PngFile.h"
#include "photocd/PcdFixture.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

orvanta::test::ScratchDir &sandbox() {
    static orvanta::test::ScratchDir d;
    return d;
}

struct Result {
    int status = -1;
    std::string out;
};

// Runs the tool with its folders in the sandbox; standard error joins the output.
Result run(const std::string &arguments) {
    const std::string command = "cd '" + sandbox().path() + "' && XDG_DATA_HOME='" + sandbox().path() +
                                "/data' XDG_CONFIG_HOME='" + sandbox().path() +
                                "/config' '" ORVANTA_CLI "' " + arguments + " 2>&1";
    Result r;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
            r.out.append(buf, n);
        const int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return r;
}

} // namespace

TEST(Cli, DevelopsTheSampleToEveryType) {
    ASSERT_EQ(run("make-sample scene.dng").status, 0);
    const struct {
        const char *type, *ext;
    } types[] = {{"jpeg", "jpg"}, {"tiff", "tif"}, {"dng", "dng"}, {"exr32-rgb", "exr"}};
    for (const auto &t : types) {
        const Result r =
            run(std::string("develop scene.dng --type ") + t.type + " --set Orvanta_Filter_inputEV=0.5");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(fs::exists(sandbox().file(std::string("scene.") + t.ext))) << t.type << ": " << r.out;
    }
    // A second JPEG gets a new name; --overwrite writes over the first.
    EXPECT_NE(run("develop scene.dng").out.find("scene_1.jpg"), std::string::npos);
    EXPECT_NE(run("develop scene.dng --overwrite").out.find("scene.jpg"), std::string::npos);
    const Result cropped = run("develop scene.dng --crop 10,20,300,200 -o crop.jpg");
    EXPECT_EQ(cropped.status, 0) << cropped.out;
    EXPECT_TRUE(fs::exists(sandbox().file("crop.jpg")));
    EXPECT_NE(run("presets").out.find("Default TIFF export"), std::string::npos);

    // The product does not depend on how many workers make it.
    ASSERT_EQ(run("develop scene.dng --type exr32-rgb --threads 1 -o one.exr").status, 0);
    ASSERT_EQ(run("develop scene.dng --type exr32-rgb --threads 3 -o three.exr").status, 0);
    const auto one = orvanta::test::readText(sandbox().file("one.exr")),
               three = orvanta::test::readText(sandbox().file("three.exr"));
    EXPECT_FALSE(one.empty());
    EXPECT_TRUE(one == three) << "files differ";

    // Profiles by file; an unknown one is refused.
    if (auto dir = orvanta::test::testDataDir()) {
        const Result withProfile =
            run("develop scene.dng --camera-profile '" + *dir + "/dcp/Canon EOS 5D.dcp' -o cp.jpg");
        EXPECT_EQ(withProfile.status, 0) << withProfile.out;
    }
    EXPECT_EQ(run("develop scene.dng --input-profile 'No Such Profile' -o ip.jpg").status, 2);
    EXPECT_FALSE(fs::exists(sandbox().file("ip.jpg")));

    const Result info = run("info scene.dng");
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("Camera parameters"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Pixel Width: 1536"), std::string::npos) << info.out;
}

TEST(Cli, BadInputFailsClearlyAndEarlierFilesStillExport) {
    ASSERT_EQ(run("make-sample good.dng").status, 0);
    orvanta::test::writeText(sandbox().file("notes.dng"), "this is not an image");
    {
        const auto bytes = fs::file_size(sandbox().file("good.dng"));
        fs::copy_file(sandbox().file("good.dng"), sandbox().file("cut.dng"));
        fs::resize_file(sandbox().file("cut.dng"), bytes / 3);
    }
    fs::create_directories(sandbox().file("folder.dng"));
    const struct {
        const char *file, *reason;
    } cases[] = {
        {"missing.dng", "missing.dng: No such file or directory"},
        {"notes.dng", "notes.dng: "},
        {"cut.dng", "cut.dng: "},
        {"folder.dng", "folder.dng: directory read operation."},
    };
    for (const auto &c : cases) {
        fs::remove(sandbox().file("good.jpg"));
        const Result r = run(std::string("develop good.dng ") + c.file);
        EXPECT_NE(r.status, 0) << c.file;
        EXPECT_NE(r.out.find(std::string("orvanta: ") + c.reason), std::string::npos) << r.out;
        EXPECT_TRUE(fs::exists(sandbox().file("good.jpg"))) << "the file before it was exported";
        EXPECT_FALSE(fs::exists(sandbox().file(fs::path(c.file).stem().string() + ".jpg")));
    }
    // A folder nothing can be written into (root included): an error, no file.
    const Result r = run("develop good.dng --out-dir /proc");
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.out.find("cannot write into /proc") != std::string::npos ||
                r.out.find("good.dng: Could not") != std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists("/proc/good.jpg"));
    EXPECT_EQ(run("develop").status, 2);
    EXPECT_EQ(run("develop good.dng --type gif").status, 2);
    EXPECT_EQ(run("develop good.dng --preset Nonexistent").status, 2);
}

// The thumbnail of every kind of file the browser shows, and Photo CD packs
// described by `info`.
TEST(Cli, ThumbnailsAndPhotoCD) {
    using namespace orvanta::test;
    ASSERT_EQ(run("make-sample thumbs.dng").status, 0);
    ASSERT_EQ(run("develop thumbs.dng -o thumbs.jpg").status, 0);
    ASSERT_EQ(run("develop thumbs.dng --type tiff -o thumbs.tif").status, 0);
    PcdLayout layout;
    layout.attributes = 0x01; // turned
    ASSERT_TRUE(writeBytes(sandbox().file("scan.PCD"), makePcd(layout)));
    const struct {
        std::string input;
        int width, height;
    } cases[] = {
        {"thumbs.dng", 256, 171}, // the sample is 1536 × 1024
        {"thumbs.jpg", 256, 171},
        {"thumbs.tif", 256, 171},
        {"scan.PCD", 128, 192},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        const Result r = run("thumbnail " + c.input + " -o " + c.input + ".png");
        ASSERT_EQ(r.status, 0) << r.out;
        const auto png = orvanta::readPng(sandbox().file(c.input + ".png"));
        ASSERT_TRUE(png);
        EXPECT_NEAR(png->width, c.width, 1);
        EXPECT_NEAR(png->height, c.height, 1);
        EXPECT_EQ(png->channels, 4);
    }
    // A PNG thumbnail of a PNG, at a chosen size.
    const Result again = run("thumbnail thumbs.dng.png --size 64 -o small.png");
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(orvanta::readPng(sandbox().file("small.png"))->width, 64);

    const Result info = run("info scan.PCD");
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("Scanner product identity: PCD 4045\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Image medium: color reversal\n"), std::string::npos);

    // Photo CD packs are not developed; a damaged one has no thumbnail.
    const Result develop = run("develop scan.PCD -o scan.jpg");
    EXPECT_NE(develop.status, 0);
    EXPECT_NE(develop.out.find("could not create a decoder object"), std::string::npos) << develop.out;
    layout.truncateAt = 3000;
    ASSERT_TRUE(writeBytes(sandbox().file("cut.pcd"), makePcd(layout)));
    const Result cut = run("thumbnail cut.pcd -o cut.png");
    EXPECT_NE(cut.status, 0);
    EXPECT_NE(cut.out.find("cut.pcd: PCD file is too small to be valid"), std::string::npos) << cut.out;
    EXPECT_FALSE(fileExists(sandbox().file("cut.png")));
}
