// Failed writes are reported by the call that meets them, and what was stored before stays
// readable: a data file on a full device, a file that outgrows its size limit, a directory
// that cannot hold files, a description that cannot be saved.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#if defined(__unix__)
#include <csignal>
#include <sys/resource.h>
#endif

#include "qzCacheFileInterface.h"
#include "testSupport.h"
#include "writtenCache.h"

namespace fs = std::filesystem;
using qztest::Layout;

namespace {

constexpr Layout kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Layout kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;

std::string extensionOf(const std::string& format) { return format == "kcx" ? ".kcx" : ".kc"; }

// A device on which every write fails with "no space left".
bool haveFullDevice() {
    std::error_code error;
    return fs::is_character_file("/dev/full", error);
}

class WriteFailure : public ::testing::TestWithParam<std::string> {
protected:
    std::string format() const { return GetParam(); }
    qztest::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Formats, WriteFailure, ::testing::Values("kcc", "kcx"));

}  // namespace

TEST_P(WriteFailure, OneFileCacheOnAFullDeviceFailsAtItsHeader) {
    if (!haveFullDevice()) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", dir.file("shot" + extensionOf(format())));
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileWrite(dir.path().c_str(), "shot", kOneFile, format().c_str(), 250));
    ASSERT_TRUE(qztest::addChannels(cache));
    EXPECT_FALSE(qztest::writeTime(cache, 250));
    EXPECT_FALSE(qztest::writeTime(cache, 500));
    EXPECT_FALSE(cache.endFileWrite());
    // The description is written all the same: it is not on the full device.
    EXPECT_TRUE(qztest::fileExists(dir.file("shot.xml")));
}

TEST_P(WriteFailure, PerFrameCacheReportsTheFrameOnAFullDeviceAndKeepsTheOthers) {
    if (!haveFullDevice()) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", dir.file("shotFrame2" + extensionOf(format())));
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), "shot", kPerFrame, format().c_str(), 250));
        ASSERT_TRUE(qztest::addChannels(cache));
        EXPECT_TRUE(qztest::writeTime(cache, 250));
        EXPECT_FALSE(qztest::writeTime(cache, 500));
        // The next frame is a file of its own and is written normally.
        EXPECT_TRUE(qztest::writeTime(cache, 750));
        EXPECT_TRUE(qztest::writeTime(cache, 1000));
        EXPECT_FALSE(cache.endFileWrite());
    }
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    for (int time : {250, 750, 1000}) EXPECT_TRUE(qztest::readsBack(cache, time)) << time;
    EXPECT_FALSE(qztest::readsBack(cache, 500));
}

#if defined(__unix__)
// A file size limit makes writes past it fail (EFBIG) part way through the data file, the
// way a disk that fills up does.
TEST_P(WriteFailure, OneFileCacheThatOutgrowsItsLimitKeepsTheTimesBefore) {
    constexpr rlim_t kLimit = 4096;
    std::vector<bool> added;
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), "shot", kOneFile, format().c_str(), 250));
        ASSERT_TRUE(qztest::addChannels(cache));
        struct rlimit previous {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
        struct rlimit limited = previous;
        limited.rlim_cur = kLimit;
        std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        for (int frame = 1; frame <= 40; ++frame) added.push_back(qztest::writeTime(cache, frame * 250));
        // The description is far below the limit and is still saved.
        EXPECT_FALSE(cache.endFileWrite());
        setrlimit(RLIMIT_FSIZE, &previous);
    }
    EXPECT_LE(qztest::readFileBytes(dir.file("shot" + extensionOf(format()))).size(), kLimit);
    // Every time is reported until the failure, and every time after it.
    std::size_t firstRefused = 0;
    while (firstRefused < added.size() && added[firstRefused]) ++firstRefused;
    ASSERT_GE(firstRefused, 2u);
    ASSERT_LT(firstRefused, added.size());
    for (std::size_t i = firstRefused; i < added.size(); ++i) EXPECT_FALSE(added[i]) << i;

    // The failure showed when the time before the first refused one was handed over; every
    // time before that one reads back.
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    for (std::size_t i = 0; i + 1 < firstRefused; ++i) {
        const int time = static_cast<int>(i + 1) * 250;
        EXPECT_TRUE(qztest::readsBack(cache, time)) << time;
    }
    for (std::size_t i = firstRefused; i < added.size(); ++i) {
        EXPECT_FALSE(qztest::readsBack(cache, static_cast<int>(i + 1) * 250)) << i;
    }
}
#endif

TEST_P(WriteFailure, StorageThatIsAFileFailsEveryWrite) {
    // A regular file where the directory should be: no file opens below it, even for root.
    qztest::writeFileBytes(dir.file("plain"), {1, 2, 3});
    const std::string location = dir.file("plain") + "/";
    for (Layout layout : {kOneFile, kPerFrame}) {
        qzCacheFileInterface cache;
        EXPECT_EQ(cache.initFileWrite(location.c_str(), "shot", layout, format().c_str(), 250),
                  layout == kPerFrame);
        ASSERT_TRUE(qztest::addChannels(cache));
        EXPECT_FALSE(qztest::writeTime(cache, 250));
        EXPECT_FALSE(cache.endFileWrite());
    }
    EXPECT_EQ(qztest::readFileBytes(dir.file("plain")), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_P(WriteFailure, DescriptionThatCannotBeSavedIsReportedAndCanBeSavedLater) {
    for (Layout layout : {kOneFile, kPerFrame}) {
        qztest::TempDir own;
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileWrite(own.path().c_str(), "shot", layout, format().c_str(), 250));
        ASSERT_TRUE(qztest::addChannels(cache));
        for (int time : {250, 500, 750}) EXPECT_TRUE(qztest::writeTime(cache, time));
        // A directory in the description's place: the rename over it fails.
        fs::create_directory(qztest::fsPath(own.file("shot.xml")));
        EXPECT_FALSE(cache.endFileWrite());
        EXPECT_TRUE(fs::is_directory(qztest::fsPath(own.file("shot.xml"))));
        const fs::path folder = qztest::fsPath(own.path());
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            EXPECT_EQ(entry.path().u8string().find(".tmp"), std::string::npos) << entry.path();
        }
        fs::remove(qztest::fsPath(own.file("shot.xml")));
        // The data was never touched: once the way is clear the description follows.
        EXPECT_TRUE(cache.endFileWrite());
        qzCacheFileInterface reader;
        ASSERT_TRUE(reader.initFileRead("shot", own.path().c_str()));
        for (int time : {250, 500, 750}) EXPECT_TRUE(qztest::readsBack(reader, time)) << time;
    }
}
