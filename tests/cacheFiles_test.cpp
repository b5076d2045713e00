// The list of a cache's files: how many, and the path of each by index.
#include <gtest/gtest.h>

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
