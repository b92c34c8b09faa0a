#include "platform/Folders.h"

#include "TestSupport.h"
#include "platform/Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvanta;

TEST(Folders, FollowTheXdgVariables) {
    test::ScratchDir dir;
    test::ScopedEnv data("XDG_DATA_HOME", dir.file("data"));
    test::ScopedEnv config("XDG_CONFIG_HOME", dir.file("config"));
    EXPECT_EQ(*folders::applicationSupportDirectory(), dir.file("data/Orvanta"));
    EXPECT_EQ(*folders::configDirectory(), dir.file("config/Orvanta"));
    EXPECT_TRUE(test::fileExists(dir.file("data/Orvanta")));

    EXPECT_EQ(folders::picturesDirectory(), folders::homeDirectory() + "/Pictures");
    mkdir(dir.file("config").c_str(), 0700);
    test::writeText(dir.file("config/user-dirs.dirs"), "# comment\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    EXPECT_EQ(folders::picturesDirectory(), folders::homeDirectory() + "/Bilder");
}

TEST(Folders, TemporaryFolderIsPrivateAndNeverBorrowed) {
    test::ScratchDir dir;
    test::ScopedEnv tmp("TMPDIR", dir.path());
    auto t = folders::temporaryDirectory();
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, dir.path() + "/Orvanta-" + std::to_string(geteuid()));
    struct stat st {};
    ASSERT_EQ(stat(t->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(*folders::temporaryDirectory(), *t) << "the same folder on every call";

    // A folder of that name open to others (or a link planted there) is not used.
    test::ScratchDir other;
    test::ScopedEnv tmp2("TMPDIR", other.path());
    const std::string expected = other.path() + "/Orvanta-" + std::to_string(geteuid());
    ASSERT_EQ(symlink("/", expected.c_str()), 0);
    LogCapture log;
    auto fallback = folders::temporaryDirectory();
    ASSERT_TRUE(fallback);
    EXPECT_NE(*fallback, expected);
    EXPECT_EQ(fallback->rfind(expected + "-", 0), 0u);
    EXPECT_TRUE(log.contains("is not private"));
}

TEST(Folders, CleanDirectoryEmptiesButKeepsTheFolder) {
    test::ScratchDir dir;
    test::writeText(dir.file("a"), "1");
    mkdir(dir.file("sub").c_str(), 0700);
    test::writeText(dir.file("sub/b"), "2");
    folders::cleanDirectory(dir.path());
    EXPECT_TRUE(test::fileExists(dir.path()));
    EXPECT_FALSE(test::fileExists(dir.file("a")));
    EXPECT_FALSE(test::fileExists(dir.file("sub")));
}
