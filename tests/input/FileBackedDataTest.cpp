#include "input/FileBackedData.h"

#include "TestSupport.h"
#include "platform/Folders.h"
#include "platform/Log.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

using namespace orvanta;

namespace {
constexpr const char *kPrefix = "kestranatempfile.";

class FileBackedDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto t = folders::temporaryDirectory();
        ASSERT_TRUE(t);
        tmp = *t;
    }
    int tempFiles() const { return test::countEntriesWithPrefix(tmp, kPrefix); }
    void settle() { FileBackedDataManager::sharedFileBackedDataManager().waitForPendingReleases(); }

    test::ScratchDir scratch;
    test::ScopedEnv env{"TMPDIR", scratch.path()};
    std::string tmp;
};

bool allZero(const FileBackedFactoryNSData &d) {
    auto p = static_cast<const std::uint8_t *>(d.bytes());
    for (std::size_t i = 0; i < d.length(); ++i)
        if (p[i]) return false;
    return true;
}
} // namespace

TEST_F(FileBackedDataTest, OrdinaryMemoryNeverCreatesATemporaryFile) {
    auto d = FileBackedFactoryNSData::create(1 << 20, false);
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->isFileBacked());
    EXPECT_EQ(d->length(), 1u << 20);
    EXPECT_TRUE(allZero(*d));
    EXPECT_EQ(tempFiles(), 0);
}

TEST_F(FileBackedDataTest, PreferredFileBackingIsZeroedAndRemovedOnRelease) {
    auto d = FileBackedFactoryNSData::create(3 * 4096 + 17, true);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->isFileBacked());
    EXPECT_TRUE(allZero(*d));
    auto path = FileBackedDataManager::sharedFileBackedDataManager().pathForAddress(d->bytes());
    ASSERT_TRUE(path);
    EXPECT_EQ(path->rfind(tmp + "/" + kPrefix, 0), 0u) << *path;
    EXPECT_TRUE(test::fileExists(*path));

    // The memory is the file: what is written lands in it.
    std::memset(d->mutableBytes(), 0xAB, d->length());
    EXPECT_EQ(static_cast<const std::uint8_t *>(d->bytes())[d->length() - 1], 0xAB);

    d->doneWithData();
    EXPECT_EQ(d->length(), 0u);
    EXPECT_EQ(d->bytes(), nullptr);
    settle();
    EXPECT_FALSE(test::fileExists(*path));
    EXPECT_EQ(tempFiles(), 0);
}

TEST_F(FileBackedDataTest, DestructionReleasesTheFileToo) {
    std::string path;
    {
        auto d = FileBackedFactoryNSData::create(100, true);
        ASSERT_TRUE(d);
        path = *FileBackedDataManager::sharedFileBackedDataManager().pathForAddress(d->bytes());
    }
    settle();
    EXPECT_FALSE(test::fileExists(path));
}

TEST_F(FileBackedDataTest, OverrunIsLoggedAndCopiesNothing) {
    auto d = FileBackedFactoryNSData::create(8, false);
    ASSERT_TRUE(d);
    const char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    LogCapture log;
    EXPECT_FALSE(d->writeToData(ten, 10));
    EXPECT_TRUE(log.contains("FileBackedFactoryNSData writeToData buffer overrun failure"));
    EXPECT_TRUE(allZero(*d)) << "a refused write leaves the buffer unchanged";

    // Sequential writes fill the buffer exactly, and one byte more is refused.
    EXPECT_TRUE(d->writeToData(ten, 5));
    EXPECT_TRUE(d->writeToData(ten + 5, 3));
    EXPECT_EQ(std::memcmp(d->bytes(), ten, 8), 0);
    EXPECT_FALSE(d->writeToData(ten, 1));
    EXPECT_EQ(log.count("buffer overrun failure"), 2u);

    auto src = FileBackedFactoryNSData::create(4, false);
    auto dst = FileBackedFactoryNSData::create(4, false);
    std::memset(src->mutableBytes(), 7, 4);
    EXPECT_TRUE(dst->appendBytes(*src));
    EXPECT_EQ(static_cast<const std::uint8_t *>(dst->bytes())[3], 7);
}

TEST_F(FileBackedDataTest, FallsBackToAFileWhenMemoryRunsOut) {
    // With heuristic overcommit, ordinary memory far beyond the machine's is
    // refused while a sparse file mapping of the same size is not.
    std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
    int mode = -1;
    overcommit >> mode;
    if (mode != 0) GTEST_SKIP() << "needs heuristic overcommit (mode 0), have " << mode;
    const std::size_t huge = std::size_t(1) << 40; // 1 TiB
    LogCapture log;
    auto d = FileBackedFactoryNSData::create(huge, false);
    if (!d) GTEST_SKIP() << "this file system cannot hold a 1 TiB sparse file";
    EXPECT_TRUE(log.contains(">>>>> Warning: real memory could not be assigned; falling back to virtual"));
    EXPECT_TRUE(d->isFileBacked());
    EXPECT_EQ(tempFiles(), 1);
    d.reset();
    settle();
    EXPECT_EQ(tempFiles(), 0);
}

TEST_F(FileBackedDataTest, NoMemoryAtAllGivesNullAndLeavesNoFile) {
    // No temporary folder can be made under a TMPDIR that is a plain file.
    test::writeText(scratch.file("plainfile"), "x");
    test::ScopedEnv bad("TMPDIR", scratch.file("plainfile"));
    LogCapture log;
    auto d = FileBackedFactoryNSData::create(64, true);
    EXPECT_FALSE(d);
    EXPECT_TRUE(log.contains("FileBackedFactoryNSData failed - no memory"));
}

TEST_F(FileBackedDataTest, UnknownAddressesAreLeftAlone) {
    int local = 0;
    LogCapture log;
    FileBackedDataManager::sharedFileBackedDataManager().deallocVM(&local);
    EXPECT_TRUE(log.contains("is not a file-backed block"));
}
