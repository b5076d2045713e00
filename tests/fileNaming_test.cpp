#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzString.h"
#include "stubFileIO.h"
#include "testSupport.h"

using qzString::IString;

namespace {

class TestAccessor : public qzCacheFileAccessor {
public:
    using qzCacheFileAccessor::constructDescriptionFileFullPath;
    using qzCacheFileAccessor::searchDirectoryForDataTimes;
};

struct Unref {
    void operator()(qzCacheFileAccessor* accessor) const {
        if (accessor) accessor->unref();
    }
};
using Accessor = std::unique_ptr<TestAccessor, Unref>;

Accessor makeAccessor(const std::string& location, const char* base = "shot") {
    Accessor accessor(new TestAccessor());
    accessor->setStorageLocation(IString(location.c_str(), 0));
    accessor->setBaseFileName(IString(base, 0));
    return accessor;
}

// One channel covering [start, end], so that discovery keeps the times inside it.
void addRange(qzCacheFileAccessor& accessor, int start, int end) {
    unsigned int index = 0;
    ASSERT_TRUE(accessor.addChannel(IString("P", 0), IString("Points", 0),
                                    qzCacheData::kFloatVectorArray, index));
    ASSERT_TRUE(accessor.setChannelStartTime(index, start));
    ASSERT_TRUE(accessor.setChannelEndTime(index, end));
}

std::string frameFile(qzCacheFileAccessor& accessor, int time) {
    return accessor.constructDataFilePathForOneFilePerFrame(time).asUTF8();
}

std::vector<int> discover(TestAccessor& accessor, bool expectListed = true) {
    std::vector<int> times = {999999};
    EXPECT_EQ(accessor.searchDirectoryForDataTimes(times), expectListed);
    std::sort(times.begin(), times.end());
    return times;
}

void touch(const qztest::TempDir& dir, const std::string& name) {
    qztest::writeFileBytes(dir.file(name), {0});
}

}  // namespace

TEST(FileNaming, PathsFromTheSettings) {
    Accessor accessor = makeAccessor("D:/anim/");
    struct Case {
        int time;
        const char* path;
    };
    for (const Case& c : {Case{0, "D:/anim/shotFrame0.kc"}, Case{250, "D:/anim/shotFrame1.kc"},
                          Case{375, "D:/anim/shotFrame1Tick125.kc"},
                          Case{2625, "D:/anim/shotFrame10Tick125.kc"},
                          Case{-250, "D:/anim/shotFrame-1.kc"}, Case{-750, "D:/anim/shotFrame-3.kc"},
                          Case{1, "D:/anim/shotFrame0Tick1.kc"},
                          Case{249, "D:/anim/shotFrame0Tick249.kc"}}) {
        EXPECT_EQ(frameFile(*accessor, c.time), c.path) << c.time;
    }
    EXPECT_STREQ(accessor->constructDataFilePathForOneFile().asUTF8(), "D:/anim/shot.kc");
    EXPECT_STREQ(TestAccessor::constructDescriptionFileFullPath(IString("D:/anim/", 0),
                                                                IString("shot", 0))
                     .asUTF8(),
                 "D:/anim/shot.xml");

    // The location is used as given: no separator is added.
    Accessor bare = makeAccessor("D:/anim");
    EXPECT_EQ(frameFile(*bare, 250), "D:/animshotFrame1.kc");
    EXPECT_STREQ(TestAccessor::constructDescriptionFileFullPath(IString(), IString("shot", 0)).asUTF8(),
                 "shot.xml");

    accessor->setCacheFormat(IString("kcx", 0));
    EXPECT_EQ(frameFile(*accessor, 375), "D:/anim/shotFrame1Tick125.kcx");
    EXPECT_STREQ(accessor->constructDataFilePathForOneFile().asUTF8(), "D:/anim/shot.kcx");

    // Another frame length moves the frame and tick parts.
    accessor->setTimePerFrame(100);
    EXPECT_EQ(frameFile(*accessor, 375), "D:/anim/shotFrame3Tick75.kcx");
}

TEST(FileNaming, InstalledFileIODecidesTheExtension) {
    Accessor accessor = makeAccessor("/cache/");
    accessor->setCacheFormat(IString("kcx", 0));
    accessor->setFileAccessor(new qztest::StubFileIO(qzCacheFileIO::kWrite, "pcx"));
    EXPECT_EQ(frameFile(*accessor, 500), "/cache/shotFrame2.pcx");
    EXPECT_STREQ(accessor->constructDataFilePathForOneFile().asUTF8(), "/cache/shot.pcx");
}

TEST(FileNaming, NegativeTimesBetweenFramesHaveTheirOwnNames) {
    Accessor accessor = makeAccessor("D:/anim/");
    EXPECT_EQ(frameFile(*accessor, -125), "D:/anim/shotFrame0Tick-125.kc");
    EXPECT_EQ(frameFile(*accessor, -375), "D:/anim/shotFrame-1Tick-125.kc");
    EXPECT_EQ(frameFile(*accessor, -1), "D:/anim/shotFrame0Tick-1.kc");
    EXPECT_NE(frameFile(*accessor, -125), frameFile(*accessor, 0));
    EXPECT_NE(frameFile(*accessor, -375), frameFile(*accessor, -250));
}

TEST(FileNaming, EveryTimeParsesBackFromItsName) {
    for (int ticks : {250, 100, 1, 7}) {
        qztest::TempDir dir;
        Accessor accessor = makeAccessor(dir.path());
        accessor->setTimePerFrame(ticks);
        addRange(*accessor, -1000, 1000);
        std::vector<int> expected;
        std::set<std::string> names;
        for (int t = -1000; t <= 1000; t += 37) {
            const std::string path = frameFile(*accessor, t);
            ASSERT_EQ(path.compare(0, dir.path().size(), dir.path()), 0) << path;
            EXPECT_TRUE(names.insert(path).second) << "two times share " << path;
            qztest::writeFileBytes(path, {0});
            expected.push_back(t);
        }
        EXPECT_EQ(discover(*accessor), expected) << ticks << " ticks per frame";
    }
}

TEST(FileNaming, FrameLengthZeroOrBelowNamesNothing) {
    qztest::TempDir dir;
    touch(dir, "shotFrame0.kc");
    touch(dir, "shotFrame1.kc");
    touch(dir, "shotFrame-1Tick5.kc");
    for (int ticks : {0, -1, -250}) {
        Accessor accessor = makeAccessor(dir.path());
        accessor->setTimePerFrame(ticks);
        addRange(*accessor, INT_MIN, INT_MAX);
        for (int time : {0, 250, -250, 375, INT_MIN, INT_MAX}) {
            EXPECT_EQ(frameFile(*accessor, time), "") << ticks << " " << time;
        }
        std::vector<int> times = {1};
        accessor->searchDirectoryForDataTimes(times);
        EXPECT_TRUE(times.empty()) << ticks;
    }
}

TEST(FileDiscovery, ParsesFrameAndTickParts) {
    qztest::TempDir dir;
    for (const char* name : {"shotFrame10Tick125.kc", "shotFrame-3.kc", "shotFrame7.kc",
                             "shotFrame7.kcx", "shotFrameTick5.kc", "shot.xml", "take2Frame1.kc",
                             "xshotFrame1.kc", "shotframe2.kc", "other.txt"}) {
        touch(dir, name);
    }
    Accessor accessor = makeAccessor(dir.path());
    addRange(*accessor, -1000, 3000);
    EXPECT_EQ(discover(*accessor), (std::vector<int>{-750, 5, 1750, 1750, 2625}));

    // The location may use "\" separators.
    std::string backslashed = dir.path();
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    Accessor other = makeAccessor(backslashed);
    addRange(*other, -1000, 3000);
    EXPECT_EQ(discover(*other), (std::vector<int>{-750, 5, 1750, 1750, 2625}));
}

TEST(FileDiscovery, NamesAreReadLikeAtol) {
    qztest::TempDir dir;
    for (const char* name : {"shotFrame2x.kc", "shotFrame+3.kc", "shotFrame4Tick1y.kc",
                             "shotFrameabc.kc", "shotFrame5Tick.kc", "shotFrame-0Tick-10.kc",
                             "shotFrame1.tar.gz"}) {
        touch(dir, name);
    }
    Accessor accessor = makeAccessor(dir.path());
    addRange(*accessor, -1000, 3000);
    // 2x -> 500; +3 -> 750; 4 tick 1y -> 1001; abc -> 0; 5 tick "" -> 1250; -0 tick -10 -> -10;
    // "shotFrame1.tar" -> 250.
    EXPECT_EQ(discover(*accessor), (std::vector<int>{-10, 0, 250, 500, 750, 1001, 1250}));
}

TEST(FileDiscovery, WithoutChannelsOnlyTimeZeroCounts) {
    qztest::TempDir dir;
    for (const char* name : {"shotFrame0.kc", "shotFrame1.kc", "shotFrame-1.kc",
                             "shotFrame0Tick5.kc", "shotFrame0Tick-5.kc"}) {
        touch(dir, name);
    }
    Accessor accessor = makeAccessor(dir.path());
    EXPECT_EQ(discover(*accessor), std::vector<int>{0});
}

TEST(FileDiscovery, TimesOutsideTheChannelsAreIgnored) {
    qztest::TempDir dir;
    for (const char* name : {"shotFrame0.kc", "shotFrame1Tick125.kc", "shotFrame2.kc",
                             "shotFrame2Tick1.kc", "shotFrame3.kc", "shotFrame-1.kc",
                             "shotFrame0Tick-1.kc"}) {
        touch(dir, name);
    }
    Accessor accessor = makeAccessor(dir.path());
    addRange(*accessor, 0, 500);
    EXPECT_EQ(discover(*accessor), (std::vector<int>{0, 375, 500}));
}

TEST(FileDiscovery, UnlistableDirectoryGivesFalseAndNoTimes) {
    qztest::TempDir dir;
    touch(dir, "notADirectory");
    for (const std::string& location : {dir.file("missing/"), dir.file("notADirectory/")}) {
        Accessor accessor = makeAccessor(location);
        addRange(*accessor, -1000, 1000);
        EXPECT_TRUE(discover(*accessor, false).empty()) << location;
    }
}

TEST(FileDiscovery, HugeNumbersInNamesAreSkipped) {
    qztest::TempDir dir;
    for (const char* name : {"shotFrame99999999999999999999999.kc", "shotFrame8589934592.kc",
                             "shotFrame2147483647.kc", "shotFrame-2147483648.kc",
                             "shotFrame8589935.kc", "shotFrame-8589935.kc",
                             "shotFrame8589934Tick147.kc", "shotFrame8589934Tick148.kc",
                             "shotFrame-8589934Tick-148.kc", "shotFrame-8589934Tick-149.kc",
                             "shotFrame1Tick99999999999999.kc", "shotFrame1Tick4294967546.kc",
                             "shotFrame3.kc"}) {
        touch(dir, name);
    }
    Accessor accessor = makeAccessor(dir.path());
    addRange(*accessor, INT_MIN, INT_MAX);
    // At 250 ticks per frame only these name times that fit in 32 bits.
    EXPECT_EQ(discover(*accessor), (std::vector<int>{INT_MIN, 750, INT_MAX}));

    accessor->setTimePerFrame(1);
    EXPECT_EQ(discover(*accessor), (std::vector<int>{INT_MIN, -8590083, -8590082, -8589935, 3,
                                                     8589935, 8590081, 8590082, INT_MAX}));
}
