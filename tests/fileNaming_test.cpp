// Names of a cache's files: the path of each time, the times found in a directory listing, and
// the list of a cache's files by index.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "recordingFileIO.h"

using qztest::text;

namespace {

class TestAccessor : public qzCacheFileAccessor {
public:
    using qzCacheFileAccessor::constructDescriptionFileFullPath;
    using qzCacheFileAccessor::searchDirectoryForDataTimes;
};

struct Named {
    TestAccessor* accessor = new TestAccessor;
    qztest::AccessorRef ref{accessor};
    unsigned int first = 0;
    unsigned int second = 0;

    explicit Named(const std::string& location, int ticks = 250) {
        accessor->setStorageLocation(text(location));
        accessor->setBaseFileName(text("shot"));
        accessor->setTimePerFrame(ticks);
    }
    // Channels "a" and "b"; discovery keeps the times inside their range.
    void addChannels(int start, int end) {
        EXPECT_TRUE(accessor->addChannel(text("a"), text(""), qzCacheData::kDoubleArray, first));
        EXPECT_TRUE(accessor->addChannel(text("b"), text(""), qzCacheData::kDoubleArray, second));
        accessor->setChannelStartTime(first, start);
        accessor->setChannelEndTime(first, end);
    }
    std::string frame(int time) { return accessor->constructDataFilePathForOneFilePerFrame(time).utf8(); }
    std::vector<int> discover(bool expectListed = true) {
        std::vector<int> times = {999999};
        EXPECT_EQ(accessor->searchDirectoryForDataTimes(times), expectListed);
        std::sort(times.begin(), times.end());
        return times;
    }
    std::string path(unsigned int index) {
        qzString::IString result = text("unchanged");
        return accessor->getDataFilePath(index, result) ? result.utf8() : "false";
    }
};

}  // namespace

TEST(FileNaming, PathsFromTheSettings) {
    Named named("D:/anim/");
    const std::pair<int, const char*> cases[] = {
        {0, "D:/anim/shotFrame0.kc"}, {2625, "D:/anim/shotFrame10Tick125.kc"}, {-750, "D:/anim/shotFrame-3.kc"},
        {249, "D:/anim/shotFrame0Tick249.kc"}, {-125, "D:/anim/shotFrame0Tick-125.kc"},
        {-375, "D:/anim/shotFrame-1Tick-125.kc"}};
    for (const auto& [time, path] : cases) EXPECT_EQ(named.frame(time), path) << time;
    EXPECT_EQ(named.accessor->constructDataFilePathForOneFile().utf8(), "D:/anim/shot.kc");
    EXPECT_EQ(TestAccessor::constructDescriptionFileFullPath(text("D:/anim/"), text("shot")).utf8(),
              "D:/anim/shot.xml");
    named.accessor->setCacheFormat(text("kcx"));
    EXPECT_EQ(named.frame(375), "D:/anim/shotFrame1Tick125.kcx");
    named.accessor->setTimePerFrame(100);
    EXPECT_EQ(named.frame(375), "D:/anim/shotFrame3Tick75.kcx");
    // An installed data-file object decides the extension.
    named.accessor->setFileAccessor(new qztest::RecordingFileIO(qzCacheFileIO::kWrite, "pcx"));
    EXPECT_EQ(named.frame(500), "D:/anim/shotFrame5.pcx");
    EXPECT_EQ(named.accessor->constructDataFilePathForOneFile().utf8(), "D:/anim/shot.pcx");
}

TEST(FileNaming, EveryTimeParsesBackFromItsOwnName) {
    for (int ticks : {250, 100, 1, 7}) {
        qztest::TempDir dir;
        Named named(dir.path(), ticks);
        named.addChannels(-1000, 1000);
        // Two times sharing a name, or a name outside the directory, would be found fewer.
        std::vector<int> expected;
        for (int t = -1000; t <= 1000; t += 37) {
            qztest::writeFileBytes(named.frame(t), {0});
            expected.push_back(t);
        }
        EXPECT_EQ(named.discover(), expected) << ticks << " ticks per frame";
    }
}

TEST(FileDiscovery, TimesFoundInADirectoryListing) {
    struct Case {
        const char* what;
        std::vector<const char*> files;
        int start, end;  // of channel "a"; start > end: no channels
        int ticks;
        std::vector<int> times;
    };
    std::vector<Case> cases = {
        {"frame and tick parts",
         {"shotFrame10Tick125.kc", "shotFrame-3.kc", "shotFrame7.kc", "shotFrame7.kcx", "shotFrameTick5.kc",
          "shot.xml", "take2Frame1.kc", "xshotFrame1.kc", "shotframe2.kc", "other.txt"},
         -1000, 3000, 250, {-750, 5, 1750, 1750, 2625}},
        // 2x: 500; +3: 750; 4 tick 1y: 1001; abc: 0; 5 tick "": 1250; -0 tick -10: -10; 1.tar: 250;
        // " 6": 1500.
        {"numbers read like atol",
         {"shotFrame2x.kc", "shotFrame+3.kc", "shotFrame4Tick1y.kc", "shotFrameabc.kc", "shotFrame5Tick.kc",
          "shotFrame-0Tick-10.kc", "shotFrame1.tar.gz", "shotFrame 6.kc"},
         -1000, 3000, 250, {-10, 0, 250, 500, 750, 1001, 1250, 1500}},
        {"without channels only time 0",
         {"shotFrame0.kc", "shotFrame1.kc", "shotFrame-1.kc", "shotFrame0Tick5.kc", "shotFrame0Tick-5.kc"},
         1, 0, 250, {0}},
        {"outside the channels",
         {"shotFrame0.kc", "shotFrame1Tick125.kc", "shotFrame2.kc", "shotFrame2Tick1.kc", "shotFrame3.kc",
          "shotFrame-1.kc", "shotFrame0Tick-1.kc"},
         0, 500, 250, {0, 375, 500}},
        {"frame length 0 or below names nothing", {"shotFrame0.kc", "shotFrame1.kc", "shotFrame-1Tick5.kc"},
         INT_MIN, INT_MAX, 0, {}},
        {"negative frame length", {"shotFrame0.kc", "shotFrame1.kc"}, INT_MIN, INT_MAX, -250, {}},
    };
    const std::vector<const char*> huge = {
        "shotFrame99999999999999999999999.kc", "shotFrame8589934592.kc", "shotFrame2147483647.kc",
        "shotFrame-2147483648.kc", "shotFrame8589935.kc", "shotFrame-8589935.kc", "shotFrame8589934Tick147.kc",
        "shotFrame8589934Tick148.kc", "shotFrame-8589934Tick-148.kc", "shotFrame-8589934Tick-149.kc",
        "shotFrame1Tick99999999999999.kc", "shotFrame1Tick4294967546.kc", "shotFrame3.kc"};
    cases.push_back({"huge numbers at 250 ticks", huge, INT_MIN, INT_MAX, 250, {INT_MIN, 750, INT_MAX}});
    cases.push_back({"huge numbers at 1 tick", huge, INT_MIN, INT_MAX, 1,
                     {INT_MIN, -8590083, -8590082, -8589935, 3, 8589935, 8590081, 8590082, INT_MAX}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qztest::TempDir dir;
        for (const char* name : c.files) qztest::writeFileBytes(dir.file(name), {0});
        // The location may use "\" separators.
        std::string backslashed = dir.path();
        std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
        for (const std::string& location : {dir.path(), backslashed}) {
            Named named(location, c.ticks);
            if (c.start <= c.end) named.addChannels(c.start, c.end);
            EXPECT_EQ(named.discover(), c.times);
        }
    }
    // A location that cannot be listed gives false and no times.
    qztest::TempDir dir;
    qztest::writeFileBytes(dir.file("notADirectory"), {0});
    for (const std::string& location : {dir.file("missing/"), dir.file("notADirectory/")}) {
        Named named(location);
        named.addChannels(-1000, 1000);
        EXPECT_TRUE(named.discover(false).empty()) << location;
    }
}

TEST(CacheFiles, TheListOfACachesFilesByIndex) {
    struct Case {
        const char* what;
        qzCacheFileAccessor::qzCacheFileDistribution distribution;
        std::vector<int> first, second;  // times of the two channels
        int ticks;
        int count;
        std::vector<std::string> paths;  // by index, then "false"
    };
    const qzCacheFileAccessor::qzCacheFileDistribution oneFile = qzCacheFileAccessor::kOneFile;
    const qzCacheFileAccessor::qzCacheFileDistribution perFrame = qzCacheFileAccessor::kOneFilePerFrame;
    const Case cases[] = {
        {"one file", oneFile, {0, 250}, {}, 250, 2, {"D:/anim/shot.xml", "D:/anim/shot.kc"}},
        // Times of several channels merge in order; a shared time is one file.
        {"two channels", perFrame, {0, 250, 500}, {375, 500, 1000}, 250, 6,
         {"D:/anim/shot.xml", "D:/anim/shotFrame0.kc", "D:/anim/shotFrame1.kc", "D:/anim/shotFrame1Tick125.kc",
          "D:/anim/shotFrame2.kc", "D:/anim/shotFrame4.kc"}},
        {"empty channels", perFrame, {}, {}, 250, 0, {"D:/anim/shot.xml"}},
        // An empty channel's default range (0 to -1) must not put time 0 in front.
        {"one empty channel", perFrame, {}, {500}, 250, 2, {"D:/anim/shot.xml", "D:/anim/shotFrame2.kc"}},
        {"no distribution", qzCacheFileAccessor::kNoDistribution, {0}, {}, 250, 0, {}},
        {"no frame length", perFrame, {0}, {}, 0, 2, {"D:/anim/shot.xml"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Named named("D:/anim/", c.ticks);
        named.accessor->setDistribution(c.distribution);
        named.accessor->setFileAccessor(new qztest::RecordingFileIO(qzCacheFileIO::kRead, "kc"));
        named.addChannels(0, -1);
        double value = 0.0;
        for (int t : c.first) named.accessor->addArrayData(named.first, t, &value, 1);
        for (int t : c.second) named.accessor->addArrayData(named.second, t, &value, 1);
        EXPECT_EQ(c.ticks > 0 ? named.accessor->getDataFileCount() : c.count, c.count);
        for (unsigned int i = 0; i <= c.paths.size(); ++i)
            EXPECT_EQ(named.path(i), i < c.paths.size() ? c.paths[i] : "false") << i;
    }
}

// Reproduces tests/corpus/description/hang-huge-regular-grid-per-frame: a channel claiming a
// sample at every tick of the 32-bit range made the file list walk 2^32 times.
TEST(CacheFiles, AGridOfMoreThanAMillionFilesGivesNoCountAndAMillionIsListed) {
    Named named("D:/anim/");
    named.accessor->setDistribution(qzCacheFileAccessor::kOneFilePerFrame);
    named.addChannels(INT_MIN, INT_MAX);
    named.accessor->setChannelSamplingRate(named.first, 1);
    EXPECT_EQ(named.accessor->getDataFileCount(), -1);
    EXPECT_EQ(named.path(1), "D:/anim/shotFrame-8589934Tick-148.kc");
    EXPECT_NE(named.path(1u << 20), "false");
    EXPECT_EQ(named.path((1u << 20) + 1), "false");
    // A time off the grid cannot be recorded, so the sample is refused rather than lost.
    named.accessor->setChannelSamplingRate(named.first, 2);
    double value = 0.0;
    EXPECT_FALSE(named.accessor->addArrayData(named.first, 1, &value, 1));
    EXPECT_TRUE(named.accessor->isChannelSamplingRegular(named.first));

    const int files = 1 << 20;
    named.accessor->setChannelStartTime(named.first, 0);
    named.accessor->setChannelEndTime(named.first, (files - 1) * 250);
    named.accessor->setChannelSamplingRate(named.first, 250);
    named.accessor->setChannelEndTime(named.second, 0);  // time 0 again: counted once
    EXPECT_EQ(named.accessor->getDataFileCount(), files + 1);
    EXPECT_EQ(named.path(files), "D:/anim/shotFrame" + std::to_string(files - 1) + ".kc");
    EXPECT_EQ(named.path(files + 1), "false");
}
