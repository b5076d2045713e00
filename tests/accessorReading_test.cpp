// Reading samples and time lookup through the accessor, against a recording in-memory fake
// of the data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

#include "recordingFileIO.h"
#include "testSupport.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::FakeDisk;
using qztest::RecordingFileIO;
using qztest::text;

namespace {

// A cache of one double-vector channel "points" (2 vectors, first scalar = time) and one
// int channel "ids" (3 values), written through the fake and then opened for reading.
struct ReadSetup {
    qztest::TempDir dir;
    FakeDisk disk;
    CallLog log;
    AccessorRef accessor;
    RecordingFileIO* reader = nullptr;
    unsigned int points = 0;
    unsigned int ids = 0;

    ReadSetup(qzCacheFileAccessor::qzCacheFileDistribution distribution,
              const std::vector<int>& times) {
        accessor->setStorageLocation(text(dir.path()));
        accessor->setBaseFileName(text("take"));
        accessor->setDistribution(distribution);
        accessor->addChannel(text("points"), text(""), qzCacheData::kDoubleVectorArray, points);
        accessor->addChannel(text("ids"), text(""), qzCacheData::kInt32Array, ids);
        auto* writer = new RecordingFileIO(qzCacheFileIO::kWrite, disk, log);
        writer->touchRealFiles = true;
        accessor->setFileAccessor(writer);
        if (distribution == qzCacheFileAccessor::kOneFile) writer->open(text(oneFile()));
        for (int t : times) {
            std::vector<double> p = {double(t), 1.0, 2.0, 3.0, 4.0, 5.0};
            std::vector<int> i = {t, t + 1, t + 2};
            accessor->beginWriteAtTime(t);
            accessor->addArrayData(points, t, p.data(), 2);
            accessor->addArrayData(ids, t, i.data(), 3);
            accessor->endWriteAtTime();
        }
        reader = new RecordingFileIO(qzCacheFileIO::kRead, disk, log);
        accessor->setFileAccessor(reader);
        delete writer;
        if (distribution == qzCacheFileAccessor::kOneFile) reader->open(text(oneFile()));
        log.clear();
    }
    std::string oneFile() const { return dir.path() + "take.kc"; }
    std::string frame(const std::string& name) const { return dir.path() + "take" + name + ".kc"; }
    void removeFrame(const std::string& name) {
        disk.erase(frame(name));
        std::remove(frame(name).c_str());
    }
};

std::vector<double> readPoints(qzCacheFileAccessor& accessor, unsigned int channel, int time,
                               bool& ok) {
    std::vector<double> values(6, -7.0);
    void* data = values.data();
    unsigned int length = 0;
    ok = accessor.getArrayDataAtTime(channel, time, 2, data, length) && length == 2 &&
         data == values.data();
    return values;
}

}  // namespace

TEST(ReadDirect, OneFileRequestMakesTheDocumentedCalls) {
    ReadSetup s(qzCacheFileAccessor::kOneFile, {0, 250, 500});
    bool ok = false;
    const std::vector<double> values = readPoints(*s.accessor, s.points, 250, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(values, (std::vector<double>{250.0, 1.0, 2.0, 3.0, 4.0, 5.0}));
    const CallLog expected = {"isValid", "findTime(250)", "findChannelName(points)",
                              "readArraySize", "read DVCA(2)", "endReadChunk"};
    EXPECT_EQ(s.log, expected);
}

TEST(ReadDirect, PerFrameRequestOpensAndClosesTheFrameFile) {
    ReadSetup s(qzCacheFileAccessor::kOneFilePerFrame, {0, 250, 500});
    bool ok = false;
    const std::vector<double> values = readPoints(*s.accessor, s.points, 500, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(values[0], 500.0);
    const CallLog expected = {"open(" + s.frame("Frame2") + ")", "isValid", "beginReadChunk",
                              "findChannelName(points)", "readArraySize", "read DVCA(2)",
                              "endReadChunk", "close"};
    EXPECT_EQ(s.log, expected);
}

TEST(ReadDirect, OtherCountAtAStoredTimeReportsTheCountAndDoesNotInterpolate) {
    for (auto distribution : {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
        ReadSetup s(distribution, {0, 250, 500});
        std::vector<int> buffer(8, -1);
        void* data = buffer.data();
        unsigned int length = 99;
        EXPECT_FALSE(s.accessor->getArrayDataAtTime(s.ids, 250, 2, data, length));
        EXPECT_EQ(length, 3u);
        EXPECT_EQ(data, buffer.data());
        EXPECT_EQ(buffer, std::vector<int>(8, -1));
        // A count of 0 is the usual way to ask for the count.
        EXPECT_FALSE(s.accessor->getArrayDataAtTime(s.ids, 250, 0, data, length));
        EXPECT_EQ(length, 3u);
        // No neighbour was read and the record still promises the grid.
        const auto reads = std::count(s.log.begin(), s.log.end(), "readArraySize");
        EXPECT_EQ(reads, 2);
        EXPECT_TRUE(s.accessor->isChannelSamplingRegular(s.ids));
        EXPECT_TRUE(s.accessor->getArrayDataAtTime(s.ids, 250, 3, data, length));
        EXPECT_EQ(buffer[2], 252);
    }
}

TEST(ReadDirect, MissingFileOrChannelIsNoSample) {
    ReadSetup s(qzCacheFileAccessor::kOneFilePerFrame, {0, 250, 500});
    s.removeFrame("Frame1");
    EXPECT_FALSE(s.accessor->hasDataAtTime(s.points, 250));
    EXPECT_TRUE(s.accessor->hasDataAtTime(s.points, 500));
    EXPECT_FALSE(s.accessor->hasDataAtTime(s.points, 375));
    EXPECT_FALSE(s.accessor->hasDataAtTime(s.points + 5, 500));
    qzCacheChannel::qzCacheInterpolation none = qzCacheChannel::kNoInterpolation;
    s.accessor->setChannelInterpolation(s.points, none);
    bool ok = true;
    readPoints(*s.accessor, s.points, 250, ok);
    EXPECT_FALSE(ok);
    // Outside the channel's range nothing is read from a file.
    s.log.clear();
    unsigned int length = 0;
    std::vector<double> values(6);
    void* data = values.data();
    EXPECT_FALSE(s.accessor->getArrayDataAtTime(s.points, 750, 2, data, length));
    EXPECT_TRUE(s.log.empty());
}

TEST(ReadDirect, RandomOrderOneFileReadsNeedNoRewind) {
    std::vector<int> times(2000);
    for (int i = 0; i < 2000; ++i) times[static_cast<std::size_t>(i)] = i * 10;
    ReadSetup s(qzCacheFileAccessor::kOneFile, times);
    std::vector<int> order = times;
    std::reverse(order.begin(), order.end());
    std::vector<int> shuffled = times;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (const std::vector<int>* sequence : {&times, &order, &shuffled}) {
        for (int t : *sequence) {
            std::vector<int> ids(3, 0);
            void* data = ids.data();
            unsigned int length = 0;
            ASSERT_TRUE(s.accessor->getArrayDataAtTime(s.ids, t, 3, data, length)) << t;
            ASSERT_EQ(ids, (std::vector<int>{t, t + 1, t + 2}));
        }
    }
    EXPECT_EQ(std::count(s.log.begin(), s.log.end(), "rewind"), 0);
}

TEST(ReadMemory, LendsTheStoredBuffer) {
    AccessorRef accessor;
    accessor->setMemoryCache(true);
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kFloatArray, channel);
    std::vector<float> values = {1.f, 2.f, 3.f, 4.f};
    accessor->addArrayData(channel, 0, values.data(), 4);
    std::vector<float> mine(1, -1.f);
    void* data = mine.data();
    unsigned int length = 0;
    ASSERT_TRUE(accessor->getArrayDataAtTime(channel, 0, 1, data, length));
    EXPECT_NE(data, mine.data());
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(static_cast<float*>(data)[3], 4.f);
    EXPECT_EQ(mine[0], -1.f);
    ASSERT_TRUE(accessor->getArrayLengthAtTime(channel, 0, length));
    EXPECT_EQ(length, 4u);
    EXPECT_FALSE(accessor->getArrayLengthAtTime(channel, 10, length));
}

TEST(ReadLength, TakesTheCountAtOrBeforeTheTime) {
    ReadSetup s(qzCacheFileAccessor::kOneFilePerFrame, {250, 500});
    unsigned int length = 0;
    ASSERT_TRUE(s.accessor->getArrayLengthAtTime(s.ids, 400, length));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(s.log.front(), "open(" + s.frame("Frame1") + ")");
    s.log.clear();
    length = 0;
    ASSERT_TRUE(s.accessor->readArrayLengthAtTime(s.points, 0, length));
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(s.log.front(), "open(" + s.frame("Frame1") + ")");
    EXPECT_FALSE(s.accessor->getArrayLengthAtTime(9, 0, length));
}

TEST(Scan, OneFileScanLearnsTheTimesOfAnIrregularChannel) {
    ReadSetup s(qzCacheFileAccessor::kOneFile, {0, 100, 200});
    ASSERT_TRUE(s.accessor->setChannelSamplingType(s.points, qzCacheChannel::kIrregular));
    const CallLog expected = {"isValid", "rewind", "beginReadChunk", "readNextTime",
                              "findChannelName(points)", "endReadChunk"};
    ASSERT_GE(s.log.size(), expected.size());
    EXPECT_EQ(CallLog(s.log.begin(), s.log.begin() + 6), expected);
    EXPECT_EQ(s.log.back(), "beginReadChunk");
    EXPECT_EQ(s.accessor->getDataCount(s.points), 3u);
    int t = 0;
    ASSERT_TRUE(s.accessor->getDataTime(s.points, 2, t));
    EXPECT_EQ(t, 200);
    ASSERT_TRUE(s.accessor->getNextTimeWithData(s.points, 100, t));
    EXPECT_EQ(t, 200);
    // Reads after the scan find their times from the end of the file.
    bool ok = false;
    EXPECT_EQ(readPoints(*s.accessor, s.points, 100, ok)[0], 100.0);
    EXPECT_TRUE(ok);
}

TEST(Scan, PerFrameScanOpensEachListedFileAndSortsTheTimes) {
    ReadSetup s(qzCacheFileAccessor::kOneFilePerFrame, {0, 250, 500, 750});
    s.removeFrame("Frame2");
    // A file of another cache and a file with a channel the others lack.
    std::FILE* stray = std::fopen(s.dir.file("otherFrame1.kc").c_str(), "wb");
    std::fclose(stray);
    ASSERT_TRUE(s.accessor->setChannelSamplingType(s.points, qzCacheChannel::kIrregular));
    std::vector<int> times;
    for (unsigned int i = 0; i < s.accessor->getDataCount(s.points); ++i) {
        int t = 0;
        s.accessor->getDataTime(s.points, i, t);
        times.push_back(t);
    }
    EXPECT_EQ(times, (std::vector<int>{0, 250, 750}));
    for (const std::string& call : s.log) EXPECT_EQ(call.find("other"), std::string::npos);
}

TEST(Scan, ScanWithoutAReaderFails) {
    AccessorRef accessor;
    qztest::TempDir dir;
    accessor->setStorageLocation(text(dir.path()));
    accessor->setBaseFileName(text("x"));
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kDoubleArray, channel);
    accessor->setChannelSamplingType(channel, qzCacheChannel::kIrregular);
    EXPECT_EQ(accessor->getDataCount(channel), 0u);
    int next = 0;
    EXPECT_FALSE(accessor->getNextTimeWithData(0, next));
}

TEST(TimeQuestions, AnswersOverAllChannels) {
    AccessorRef accessor;
    unsigned int a = 0;
    unsigned int b = 0;
    int next = 0;
    int previous = 0;
    EXPECT_FALSE(accessor->getNextTimeWithData(0, next));
    accessor->addChannel(text("a"), text(""), qzCacheData::kDoubleArray, a);
    accessor->addChannel(text("b"), text(""), qzCacheData::kDoubleArray, b);
    double value = 0.0;
    for (int t : {0, 10, 20}) accessor->addArrayData(a, t, &value, 1);
    for (int t : {5, 15}) accessor->addArrayData(b, t, &value, 1);
    ASSERT_TRUE(accessor->getNextTimeWithData(10, next));
    EXPECT_EQ(next, 15);
    ASSERT_TRUE(accessor->getPrevTimeWithData(10, previous));
    EXPECT_EQ(previous, 5);
    for (int t = -5; t < 30; ++t) {
        int p1 = 1234;
        int p2 = 1234;
        EXPECT_EQ(accessor->getPrevTimeWithData(t, p1), accessor->getPreviousTimeWithData(t, p2));
        EXPECT_EQ(p1, p2);
    }
    EXPECT_FALSE(accessor->getNextTimeWithData(20, next));
    EXPECT_FALSE(accessor->getPrevTimeWithData(0, previous));
    EXPECT_EQ(accessor->getDataCount(7), 0u);
    EXPECT_FALSE(accessor->getDataTime(a, 3, next));
}
