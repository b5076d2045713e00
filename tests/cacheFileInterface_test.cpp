// The flat interface: opening sequences, string results, forwarding and its own lifetime.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileInterface.h"
#include "testSupport.h"

namespace {

using Format = qzCacheFileInterface::cacheFileFormat;

// Takes a malloc'ed result and frees it.
std::string take(char* text) {
    std::string copy = text ? text : "<null>";
    std::free(text);
    return copy;
}

struct Sample {
    int time;
    std::vector<float> points;   // x, y, z per point
    std::vector<double> weights;
};

std::vector<Sample> makeSamples() {
    std::vector<Sample> samples;
    for (int i = 0; i < 3; ++i) {
        Sample s;
        s.time = 250 * (i + 1);
        s.points = {1.5f * i, -2.25f, 0.1f + i, 3.0f, 4.0f * i, -1e-3f};
        s.weights = {0.5 * i, 1.0 / 3.0, -7.0 - i, 1e300};
        samples.push_back(s);
    }
    return samples;
}

// Writes channel 0 "pos" (two float vectors) and channel 1 "w" (four doubles) at 250, 500, 750.
void writeCache(const std::string& dir, const char* base, Format layout, const char* format,
                int ticksPerFrame = 250) {
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileWrite(dir.c_str(), base, layout, format, ticksPerFrame));
    unsigned int pos = 99, w = 99;
    ASSERT_TRUE(cache.addChannel("pos", "Points", qzCacheData::kFloatVectorArray, pos));
    ASSERT_TRUE(cache.addChannel("w", "Weights", qzCacheData::kDoubleArray, w));
    ASSERT_EQ(pos, 0u);
    ASSERT_EQ(w, 1u);
    for (Sample& s : makeSamples()) {
        cache.beginWriteAtTime(s.time);
        EXPECT_TRUE(cache.addArrayData(pos, s.time, s.points.data(), 2));
        EXPECT_TRUE(cache.addArrayData(w, s.time, s.weights.data(), 4));
        cache.endWriteAtTime();
    }
    ASSERT_TRUE(cache.endFileWrite());
}

std::vector<std::string> dataFiles(qzCacheFileInterface& cache) {
    std::vector<std::string> paths;
    const int count = cache.getDataFileCount();
    for (int i = 1; i < count; ++i) {
        char* path = nullptr;
        if (cache.getDataFilePath(static_cast<unsigned int>(i), &path)) paths.push_back(take(path));
    }
    return paths;
}

}  // namespace

TEST(CacheFileInterfaceTest, FreshFacadeHasAccessorDefaults) {
    qzCacheFileInterface cache;
    ASSERT_NE(cache.accessor(), nullptr);
    EXPECT_EQ(cache.format(), qzCacheFileInterface::kFormatOneFilePerFrame);
    EXPECT_EQ(cache.numChannels(), 0u);
    EXPECT_EQ(cache.getTicksPerFrame(), 250);
    EXPECT_EQ(take(cache.baseFileName()), "");
    EXPECT_EQ(take(cache.storageLocation()), "");
    EXPECT_FALSE(cache.isInMultiThreadReadMode());
    EXPECT_FALSE(cache.stopMultiThreadRead());
}

TEST(CacheFileInterfaceTest, NullArgumentsAreRefused) {
    qztest::TempDir dir;
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileRead(nullptr, dir.path().c_str()));
    EXPECT_FALSE(cache.initFileRead("shot", nullptr));
    EXPECT_FALSE(cache.initFileWrite(nullptr, "shot", qzCacheFileInterface::kFormatOneFile, "kcc", 250));
    EXPECT_FALSE(cache.initFileWrite(dir.path().c_str(), nullptr, qzCacheFileInterface::kFormatOneFile, "kcc", 250));
    EXPECT_FALSE(cache.initFileWrite(dir.path().c_str(), "shot", qzCacheFileInterface::kFormatOneFile, nullptr, 250));
    unsigned int index = 7;
    EXPECT_FALSE(cache.addChannel(nullptr, "Points", qzCacheData::kFloatArray, index));
    EXPECT_FALSE(cache.addChannel("a", nullptr, qzCacheData::kFloatArray, index));
    EXPECT_EQ(cache.numChannels(), 0u);
    EXPECT_FALSE(cache.hasChannelByName(nullptr, index));
    EXPECT_EQ(index, 7u);
    ASSERT_TRUE(cache.addChannel("a", "Points", qzCacheData::kFloatArray, index));
    EXPECT_FALSE(cache.channelName(0, nullptr));
    EXPECT_FALSE(cache.channelInterpretation(0, nullptr));
    EXPECT_FALSE(cache.getDataFilePath(0, nullptr));
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(dir.path())));
}

TEST(CacheFileInterfaceTest, BadFormatValueKeepsLocationAndWritesNothing) {
    qztest::TempDir dir;
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileWrite(dir.path().c_str(), "shot", static_cast<Format>(2), "kcc", 500));
    EXPECT_EQ(take(cache.storageLocation()), dir.path());
    EXPECT_EQ(take(cache.baseFileName()), "shot");
    EXPECT_EQ(cache.accessor()->fileAccessor(), nullptr);
    EXPECT_EQ(cache.getTicksPerFrame(), 250);
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(dir.path())));
}

TEST(CacheFileInterfaceTest, StringResultsAreFreshUtf8Copies) {
    qztest::TempDir dir;
    const std::string base = "sh\xC3\xB6t";  // "shöt"
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), base.c_str(),
                                    qzCacheFileInterface::kFormatOneFile, "kcc", 250));
    unsigned int index = 0;
    ASSERT_TRUE(cache.addChannel("\xE2\x82\xAC" "uro", "Gr\xC3\xBC" "n", qzCacheData::kFloatArray, index));
    EXPECT_TRUE(cache.hasChannelByName("\xE2\x82\xAC" "uro", index));
    EXPECT_EQ(index, 0u);

    char* first = cache.baseFileName();
    char* second = cache.baseFileName();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::string(first), base);
    EXPECT_EQ(std::string(second), base);
    std::free(first);
    std::free(second);
    EXPECT_EQ(take(cache.baseFileName()), base);

    char* location1 = cache.storageLocation();
    char* location2 = cache.storageLocation();
    EXPECT_NE(location1, location2);
    EXPECT_EQ(take(location1), dir.path());
    EXPECT_EQ(take(location2), dir.path());

    char* name1 = nullptr;
    char* name2 = nullptr;
    ASSERT_TRUE(cache.channelName(0, &name1));
    ASSERT_TRUE(cache.channelName(0, &name2));
    EXPECT_NE(name1, name2);
    EXPECT_EQ(take(name1), "\xE2\x82\xAC" "uro");
    EXPECT_EQ(take(name2), "\xE2\x82\xAC" "uro");
    char* interpretation = nullptr;
    ASSERT_TRUE(cache.channelInterpretation(0, &interpretation));
    EXPECT_EQ(take(interpretation), "Gr\xC3\xBCn");

    char* path1 = nullptr;
    char* path2 = nullptr;
    ASSERT_TRUE(cache.getDataFilePath(1, &path1));
    ASSERT_TRUE(cache.getDataFilePath(1, &path2));
    EXPECT_NE(path1, path2);
    EXPECT_EQ(take(path1), dir.path() + base + ".kc");
    EXPECT_EQ(take(path2), dir.path() + base + ".kc");
}

TEST(CacheFileInterfaceTest, FailedStringGettersLeaveThePointer) {
    qzCacheFileInterface cache;
    unsigned int index = 0;
    ASSERT_TRUE(cache.addChannel("a", "Points", qzCacheData::kFloatArray, index));
    char marker[] = "untouched";
    char* name = marker;
    EXPECT_FALSE(cache.channelName(1, &name));
    EXPECT_EQ(name, marker);
    EXPECT_FALSE(cache.channelInterpretation(1, &name));
    EXPECT_EQ(name, marker);
    // No distribution chosen: the cache has no files.
    EXPECT_FALSE(cache.getDataFilePath(0, &name));
    EXPECT_EQ(name, marker);
    EXPECT_STREQ(marker, "untouched");
}

TEST(CacheFileInterfaceTest, MissingDescriptionFailsToOpen) {
    qztest::TempDir dir;
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileRead("nothing", dir.path().c_str()));
    EXPECT_EQ(cache.accessor()->fileAccessor(), nullptr);
    EXPECT_EQ(cache.numChannels(), 0u);
}

class CacheFileInterfaceRoundTrip
    : public ::testing::TestWithParam<std::tuple<Format, const char*>> {};

TEST_P(CacheFileInterfaceRoundTrip, WrittenCacheReadsBackThroughTheFacade) {
    const Format layout = std::get<0>(GetParam());
    const std::string format = std::get<1>(GetParam());
    const bool wide = format == "kcx";
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", layout, format.c_str(), 500);

    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    EXPECT_EQ(cache.format(), layout);
    EXPECT_EQ(cache.getTicksPerFrame(), 500);
    ASSERT_EQ(cache.numChannels(), 2u);
    unsigned int w = 0;
    ASSERT_TRUE(cache.hasChannelByName("w", w));
    EXPECT_EQ(w, 1u);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    ASSERT_TRUE(cache.channelDataType(0, type));
    EXPECT_EQ(type, qzCacheData::kFloatVectorArray);
    ASSERT_TRUE(cache.channelDataType(1, type));
    EXPECT_EQ(type, qzCacheData::kDoubleArray);
    EXPECT_TRUE(cache.isChannelSamplingRegular(0));
    int rate = 0, start = 0, end = 0;
    ASSERT_TRUE(cache.channelSamplingRate(0, rate));
    ASSERT_TRUE(cache.getChannelStartTime(0, start));
    ASSERT_TRUE(cache.getChannelEndTime(0, end));
    EXPECT_EQ(rate, 250);
    EXPECT_EQ(start, 250);
    EXPECT_EQ(end, 750);
    EXPECT_EQ(cache.getDataCount(1), 3u);
    int time = 0;
    ASSERT_TRUE(cache.getDataTime(1, 2, time));
    EXPECT_EQ(time, 750);
    ASSERT_TRUE(cache.getNextTimeWithData(250, time));
    EXPECT_EQ(time, 500);
    ASSERT_TRUE(cache.getNextTimeWithData(1u, 500, time));
    EXPECT_EQ(time, 750);
    EXPECT_FALSE(cache.getNextTimeWithData(750, time));

    for (const Sample& s : makeSamples()) {
        unsigned int length = 0;
        ASSERT_TRUE(cache.getArrayLengthAtTime(0, s.time, length));
        EXPECT_EQ(length, 2u);
        std::vector<float> points(6, -1.0f);
        void* data = points.data();
        length = 2;
        ASSERT_TRUE(cache.getArrayDataAtTime(0, s.time, data, length));
        EXPECT_EQ(length, 2u);
        EXPECT_EQ(0, std::memcmp(data, s.points.data(), 6 * sizeof(float)));
        std::vector<double> weights(4, -1.0);
        data = weights.data();
        length = 4;
        ASSERT_TRUE(cache.getArrayDataAtTime(1, s.time, data, length));
        EXPECT_EQ(0, std::memcmp(data, s.weights.data(), 4 * sizeof(double)));
    }
    // Halfway between two samples the linear default blends them.
    std::vector<double> weights(4, -1.0);
    void* data = weights.data();
    unsigned int length = 4;
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 625, data, length));
    EXPECT_DOUBLE_EQ(weights[0], 0.75);
    EXPECT_DOUBLE_EQ(weights[2], -8.5);

    const std::vector<std::string> files = dataFiles(cache);
    const std::string extension = wide ? ".kcx" : ".kc";
    if (layout == qzCacheFileInterface::kFormatOneFile) {
        EXPECT_EQ(cache.getDataFileCount(), 2);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0], dir.path() + "shot" + extension);
    } else {
        EXPECT_EQ(cache.getDataFileCount(), 4);
        ASSERT_EQ(files.size(), 3u);
        // 250 ticks at 500 per frame are half a frame.
        EXPECT_EQ(files[0], dir.path() + "shotFrame0Tick250" + extension);
        EXPECT_EQ(files[2], dir.path() + "shotFrame1Tick250" + extension);
    }
    for (const std::string& file : files) {
        const std::vector<std::uint8_t> bytes = qztest::readFileBytes(file);
        ASSERT_GE(bytes.size(), 4u) << file;
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), wide ? "FOR8" : "FOR4");
    }
    char* description = nullptr;
    ASSERT_TRUE(cache.getDataFilePath(0, &description));
    EXPECT_EQ(take(description), dir.path() + "shot.xml");
}

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndFormats, CacheFileInterfaceRoundTrip,
    ::testing::Combine(::testing::Values(qzCacheFileInterface::kFormatOneFile,
                                         qzCacheFileInterface::kFormatOneFilePerFrame),
                       ::testing::Values("kcc", "kcx")));

TEST(CacheFileInterfaceTest, PerFrameReadOpensNoDataFile) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFilePerFrame, "kcc");
    for (const char* frame : {"shotFrame1.kc", "shotFrame2.kc", "shotFrame3.kc"})
        ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(dir.file(frame)))) << frame;
    qzCacheFileInterface cache;
    EXPECT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    ASSERT_NE(cache.accessor()->fileAccessor(), nullptr);
    EXPECT_FALSE(cache.accessor()->fileAccessor()->isValid());
    EXPECT_EQ(cache.accessor()->fileAccessor()->fileAccessMode(), qzCacheFileIO::kRead);
    EXPECT_EQ(cache.numChannels(), 2u);
}

TEST(CacheFileInterfaceTest, OneFileReadFailsWithoutItsDataFile) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFile, "kcx");
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(dir.file("shot.kcx"))));
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileRead("shot", dir.path().c_str()));
    // The description was read and the reader stays installed.
    EXPECT_EQ(cache.numChannels(), 2u);
    ASSERT_NE(cache.accessor()->fileAccessor(), nullptr);
    EXPECT_FALSE(cache.accessor()->fileAccessor()->isValid());
}

TEST(CacheFileInterfaceTest, LengthZeroOnEntryReportsTheStoredLength) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFilePerFrame, "kcc");
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    std::vector<double> weights(4, -1.0);
    void* data = weights.data();
    unsigned int length = 0;
    EXPECT_FALSE(cache.getArrayDataAtTime(1, 500, data, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(data, weights.data());
    EXPECT_EQ(weights, std::vector<double>(4, -1.0));
    // Asked again with that length, the read succeeds.
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 500, data, length));
    EXPECT_DOUBLE_EQ(weights[0], 0.5);
}

TEST(CacheFileInterfaceTest, ReOpenForWriteContinuesPerFrameCache) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFilePerFrame, "kcx");
    std::vector<std::vector<std::uint8_t>> before;
    for (const char* frame : {"shotFrame1.kcx", "shotFrame2.kcx", "shotFrame3.kcx"})
        before.push_back(qztest::readFileBytes(dir.file(frame)));
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        ASSERT_TRUE(cache.reOpenForWrite());
        ASSERT_NE(cache.accessor()->fileAccessor(), nullptr);
        EXPECT_EQ(cache.accessor()->fileAccessor()->fileAccessMode(), qzCacheFileIO::kWrite);
        std::vector<float> points = {9.0f, 8.0f, 7.0f, 6.0f, 5.0f, 4.0f};
        std::vector<double> weights = {1.0, 2.0, 3.0, 4.0};
        cache.beginWriteAtTime(1000);
        EXPECT_TRUE(cache.addArrayData(0, 1000, points.data(), 2));
        EXPECT_TRUE(cache.addArrayData(1, 1000, weights.data(), 4));
        cache.endWriteAtTime();
        ASSERT_TRUE(cache.endFileWrite());
    }
    const char* frames[] = {"shotFrame1.kcx", "shotFrame2.kcx", "shotFrame3.kcx"};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(qztest::readFileBytes(dir.file(frames[i])), before[i]) << frames[i];
    ASSERT_TRUE(qztest::fileExists(dir.file("shotFrame4.kcx")));

    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    EXPECT_EQ(cache.getDataCount(0), 4u);
    int end = 0;
    ASSERT_TRUE(cache.getChannelEndTime(1, end));
    EXPECT_EQ(end, 1000);
    std::vector<double> weights(4, 0.0);
    void* data = weights.data();
    unsigned int length = 4;
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 1000, data, length));
    EXPECT_EQ(weights, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
    data = weights.data();
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 250, data, length));
    EXPECT_DOUBLE_EQ(weights[2], -7.0);
}

TEST(CacheFileInterfaceTest, ReOpenForWriteRefusesOneFileCache) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFile, "kcc");
    const std::vector<std::uint8_t> before = qztest::readFileBytes(dir.file("shot.kc"));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
    qzCacheFileIO* reader = cache.accessor()->fileAccessor();
    EXPECT_FALSE(cache.reOpenForWrite());
    EXPECT_EQ(cache.accessor()->fileAccessor(), reader);
    std::vector<double> weights(4, 0.0);
    void* data = weights.data();
    unsigned int length = 4;
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 750, data, length));
    EXPECT_DOUBLE_EQ(weights[2], -9.0);
    EXPECT_EQ(qztest::readFileBytes(dir.file("shot.kc")), before);
}

TEST(CacheFileInterfaceTest, OpeningAgainReplacesTheFileAccessor) {
    qztest::TempDir dir;
    writeCache(dir.path(), "first", qzCacheFileInterface::kFormatOneFile, "kcc");
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("first", dir.path().c_str()));
    // The one-file reader still holds its file when the writer of another cache replaces it.
    ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), "second",
                                    qzCacheFileInterface::kFormatOneFile, "kcx", 250));
    EXPECT_EQ(cache.accessor()->fileAccessor()->fileAccessMode(), qzCacheFileIO::kWrite);
    EXPECT_TRUE(qztest::fileExists(dir.file("second.kcx")));
}

TEST(CacheFileInterfaceTest, CopyChannelDataCopiesOneSample) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFile, "kcc");
    qzCacheFileInterface source;
    ASSERT_TRUE(source.initFileRead("shot", dir.path().c_str()));
    qzCacheFileInterface target;
    ASSERT_TRUE(target.initFileWrite(dir.path().c_str(), "copy",
                                     qzCacheFileInterface::kFormatOneFilePerFrame, "kcc", 250));
    unsigned int w = 0, pos = 0;
    ASSERT_TRUE(target.addChannel("w", "Weights", qzCacheData::kDoubleArray, w));
    ASSERT_TRUE(target.addChannel("pos", "Points", qzCacheData::kFloatVectorArray, pos));
    target.beginWriteAtTime(500);
    EXPECT_TRUE(qzCacheFileInterface::copyChannelData(*source.accessor(), 1, *target.accessor(),
                                                      w, 500));
    // Types differ: refused.
    EXPECT_FALSE(qzCacheFileInterface::copyChannelData(*source.accessor(), 1,
                                                       *target.accessor(), pos, 500));
    target.endWriteAtTime();
    ASSERT_TRUE(target.endFileWrite());

    qzCacheFileInterface copy;
    ASSERT_TRUE(copy.initFileRead("copy", dir.path().c_str()));
    std::vector<double> weights(4, 0.0);
    void* data = weights.data();
    unsigned int length = 4;
    ASSERT_TRUE(copy.getArrayDataAtTime(0, 500, data, length));
    EXPECT_EQ(weights, makeSamples()[1].weights);
}

namespace {

// Reads the holder count under the accessor's own state lock; both are protected members,
// reached through member pointers taken inside a derived class.
struct AccessorPeek : qzCacheFileAccessor {
    static int refCount(qzCacheFileAccessor& accessor) {
        qzThread::Mutex* qzCacheFileAccessor::*mutex = &AccessorPeek::m_stateMutex;
        int qzCacheFileAccessor::*count = &AccessorPeek::m_refCount;
        qzThread::MutexOp lock(*(accessor.*mutex), true);
        return accessor.*count;
    }
};

void startWorkerAndRead(qzCacheFileInterface& cache, const std::string& dir) {
    ASSERT_TRUE(cache.initFileRead("shot", dir.c_str()));
    ASSERT_TRUE(cache.startMultiThreadRead(false));
    ASSERT_TRUE(cache.isInMultiThreadReadMode());
    std::vector<double> weights(4, 0.0);
    void* data = weights.data();
    unsigned int length = 4;
    ASSERT_TRUE(cache.getArrayDataAtTime(1, 500, data, length));
    EXPECT_EQ(weights, makeSamples()[1].weights);
}

}  // namespace

TEST(CacheFileInterfaceTest, DestroyedFacadeStopsItsWorker) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFilePerFrame, "kcc");
    qzCacheFileAccessor* accessor = nullptr;
    {
        qzCacheFileInterface cache;
        startWorkerAndRead(cache, dir.path());
        accessor = cache.accessor();
        accessor->ref();
    }
    const bool stillOn = accessor->isInMultiThreadReadMode();
    EXPECT_FALSE(stillOn);
    if (stillOn) accessor->stopMultiThreadRead();
    // The worker gives back its holder once it has left its loop.
    while (AccessorPeek::refCount(*accessor) != 1) std::this_thread::yield();
    accessor->unref();
}

TEST(CacheFileInterfaceTest, DestroyingFacadeWithRunningWorkerIsSafe) {
    qztest::TempDir dir;
    writeCache(dir.path(), "shot", qzCacheFileInterface::kFormatOneFile, "kcc");
    for (int round = 0; round < 20; ++round) {
        qzCacheFileInterface cache;
        startWorkerAndRead(cache, dir.path());
    }
}
