// The list of a cache's files: how many, and the path of each by index.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "recordingFileIO.h"
#include "testSupport.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::FakeDisk;
using qztest::RecordingFileIO;
using qztest::text;

namespace {

struct Files {
    FakeDisk disk;
    CallLog log;
    AccessorRef accessor;
    unsigned int first = 0;
    unsigned int second = 0;

    explicit Files(qzCacheFileAccessor::qzCacheFileDistribution distribution) {
        accessor->setStorageLocation(text("D:/anim/"));
        accessor->setBaseFileName(text("shot"));
        accessor->setDistribution(distribution);
        accessor->setFileAccessor(new RecordingFileIO(qzCacheFileIO::kRead, disk, log));
        accessor->addChannel(text("a"), text(""), qzCacheData::kDoubleArray, first);
        accessor->addChannel(text("b"), text(""), qzCacheData::kDoubleArray, second);
    }
    std::string path(unsigned int index) {
        qzString::IString result = text("unchanged");
        if (!accessor->getDataFilePath(index, result)) return "false";
        return result.utf8();
    }
};

}  // namespace

TEST(CacheFiles, OneFileCacheHasTwoFilesAlways) {
    Files f(qzCacheFileAccessor::kOneFile);
    EXPECT_EQ(f.accessor->getDataFileCount(), 2);
    EXPECT_EQ(f.path(0), "D:/anim/shot.xml");
    EXPECT_EQ(f.path(1), "D:/anim/shot.kc");
    EXPECT_EQ(f.path(2), "false");
}

TEST(CacheFiles, PerFrameCacheListsOneFilePerRecordedTime) {
    Files f(qzCacheFileAccessor::kOneFilePerFrame);
    double value = 0.0;
    for (int t : {0, 250, 500}) f.accessor->addArrayData(f.first, t, &value, 1);
    EXPECT_EQ(f.accessor->getDataFileCount(), 4);
    EXPECT_EQ(f.path(0), "D:/anim/shot.xml");
    EXPECT_EQ(f.path(1), "D:/anim/shotFrame0.kc");
    EXPECT_EQ(f.path(2), "D:/anim/shotFrame1.kc");
    EXPECT_EQ(f.path(3), "D:/anim/shotFrame2.kc");
    EXPECT_EQ(f.path(4), "false");
    // Times of several channels merge in order; a shared time is one file.
    for (int t : {375, 500, 1000}) f.accessor->addArrayData(f.second, t, &value, 1);
    EXPECT_EQ(f.accessor->getDataFileCount(), 6);
    EXPECT_EQ(f.path(3), "D:/anim/shotFrame1Tick125.kc");
    EXPECT_EQ(f.path(5), "D:/anim/shotFrame4.kc");
}

TEST(CacheFiles, EmptyChannelsAddNoFile) {
    Files f(qzCacheFileAccessor::kOneFilePerFrame);
    EXPECT_EQ(f.accessor->getDataFileCount(), 0);
    EXPECT_EQ(f.path(0), "D:/anim/shot.xml");
    EXPECT_EQ(f.path(1), "false");
    // An empty channel's default range (0 to -1) must not put time 0 in front.
    double value = 0.0;
    for (int t : {500, 750, 1000}) f.accessor->addArrayData(f.second, t, &value, 1);
    EXPECT_EQ(f.accessor->getDataFileCount(), 4);
    EXPECT_EQ(f.path(1), "D:/anim/shotFrame2.kc");
}

TEST(CacheFiles, NoDistributionHasNoFiles) {
    Files f(qzCacheFileAccessor::kNoDistribution);
    double value = 0.0;
    f.accessor->addArrayData(f.first, 0, &value, 1);
    EXPECT_EQ(f.accessor->getDataFileCount(), 0);
    EXPECT_EQ(f.path(0), "false");
    EXPECT_EQ(f.path(1), "false");
}

TEST(CacheFiles, NoFrameFileWithoutAFrameLength) {
    Files f(qzCacheFileAccessor::kOneFilePerFrame);
    double value = 0.0;
    f.accessor->addArrayData(f.first, 0, &value, 1);
    f.accessor->setTimePerFrame(0);
    EXPECT_EQ(f.path(1), "false");
    EXPECT_EQ(f.path(0), "D:/anim/shot.xml");
}

// Reproduces tests/corpus/description/hang-huge-regular-grid-per-frame: a channel claiming a
// sample at every tick of the 32-bit range made the file list walk 2^32 times.
TEST(CacheFiles, AGridOfMoreThanAMillionFilesGivesNoCount) {
    Files f(qzCacheFileAccessor::kOneFilePerFrame);
    f.accessor->setChannelStartTime(f.first, INT_MIN);
    f.accessor->setChannelEndTime(f.first, INT_MAX);
    f.accessor->setChannelSamplingRate(f.first, 1);
    EXPECT_EQ(f.accessor->getDataFileCount(), -1);
    EXPECT_EQ(f.path(1), "D:/anim/shotFrame-8589934Tick-148.kc");
    EXPECT_NE(f.path(1u << 20), "false");
    EXPECT_EQ(f.path((1u << 20) + 1), "false");
    // A time off the grid cannot be recorded, so the sample is refused rather than lost.
    f.accessor->setChannelSamplingRate(f.first, 2);
    double value = 0.0;
    EXPECT_FALSE(f.accessor->addArrayData(f.first, 1, &value, 1));
    EXPECT_TRUE(f.accessor->isChannelSamplingRegular(f.first));
    int end = 0;
    EXPECT_TRUE(f.accessor->getChannelEndTime(f.first, end));
    EXPECT_EQ(end, INT_MAX);
}

TEST(CacheFiles, AMillionFilesAreStillListed) {
    Files f(qzCacheFileAccessor::kOneFilePerFrame);
    const int files = 1 << 20;
    f.accessor->setChannelStartTime(f.first, 0);
    f.accessor->setChannelEndTime(f.first, (files - 1) * 250);
    f.accessor->setChannelSamplingRate(f.first, 250);
    // The second channel's times interleave; shared ones count once.
    f.accessor->setChannelStartTime(f.second, 0);
    f.accessor->setChannelEndTime(f.second, 0);
    EXPECT_EQ(f.accessor->getDataFileCount(), files + 1);
    EXPECT_EQ(f.path(files), "D:/anim/shotFrame" + std::to_string(files - 1) + ".kc");
    EXPECT_EQ(f.path(files + 1), "false");
}
