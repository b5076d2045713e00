// Writing samples through the accessor: the writer calls, memory storing, sampling records
// and copying one sample between caches.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocationProbe.h"
#include "recordingFileIO.h"
#include "testSupport.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::FakeDisk;
using qztest::RecordingFileIO;
using qztest::text;

namespace {

struct WriteSetup {
    qztest::TempDir dir;
    FakeDisk disk;
    CallLog log;
    AccessorRef accessor;
    RecordingFileIO* writer = nullptr;
    unsigned int points = 0;
    unsigned int weights = 0;

    explicit WriteSetup(qzCacheFileAccessor::qzCacheFileDistribution distribution) {
        accessor->setStorageLocation(text(dir.path()));
        accessor->setBaseFileName(text("shot"));
        accessor->setDistribution(distribution);
        writer = new RecordingFileIO(qzCacheFileIO::kWrite, disk, log);
        accessor->setFileAccessor(writer);
        accessor->addChannel(text("points"), text("Points"), qzCacheData::kDoubleVectorArray,
                             points);
        accessor->addChannel(text("weights"), text(""), qzCacheData::kFloatArray, weights);
    }
    std::string frame(const std::string& name) const { return dir.path() + "shot" + name + ".kc"; }
};

// `written`: whether the writer takes the arrays; addArrayData answers that.
void writeTime(qzCacheFileAccessor& accessor, unsigned int points, unsigned int weights, int t,
               bool written = true) {
    std::vector<double> p = {1.0 * t, 2.0, 3.0, 4.0, 5.0, 6.0};
    std::vector<float> w = {0.5f * static_cast<float>(t)};
    accessor.beginWriteAtTime(t);
    EXPECT_EQ(accessor.addArrayData(points, t, p.data(), 2), written);
    EXPECT_EQ(accessor.addArrayData(weights, t, w.data(), 1), written);
    accessor.endWriteAtTime();
}

}  // namespace

TEST(WriteSequence, OneFilePerFrameOpensWritesAndClosesEachFrame) {
    WriteSetup s(qzCacheFileAccessor::kOneFilePerFrame);
    writeTime(*s.accessor, s.points, s.weights, 0);
    writeTime(*s.accessor, s.points, s.weights, 375);
    const CallLog expected = {
        "open(" + s.frame("Frame0") + ")", "writeHeader(0.1,0,0)", "isValid", "beginWriteChunk",
        "isValid", "writeChannelName(points)", "write DVCA(2)",
        "isValid", "writeChannelName(weights)", "write FBCA(1)",
        "isValid", "endWriteChunk", "close",
        "open(" + s.frame("Frame1Tick125") + ")", "writeHeader(0.1,375,375)", "isValid",
        "beginWriteChunk",
        "isValid", "writeChannelName(points)", "write DVCA(2)",
        "isValid", "writeChannelName(weights)", "write FBCA(1)",
        "isValid", "endWriteChunk", "close"};
    EXPECT_EQ(s.log, expected);
    const qztest::FakeFile& second = s.disk.at(s.frame("Frame1Tick125"));
    EXPECT_EQ(second.start, 375);
    EXPECT_EQ(second.end, 375);
    ASSERT_EQ(second.chunks.size(), 1u);
    EXPECT_FALSE(second.chunks[0].hasTime);
    ASSERT_EQ(second.chunks[0].records.size(), 2u);
    double first = 0.0;
    std::memcpy(&first, second.chunks[0].records[0].bytes.data(), sizeof first);
    EXPECT_EQ(first, 375.0);
}

TEST(WriteSequence, OneFileWritesTimeRecordsIntoTheOpenFile) {
    WriteSetup s(qzCacheFileAccessor::kOneFile);
    const std::string path = s.accessor->constructDataFilePathForOneFile().utf8();
    ASSERT_TRUE(s.writer->open(text(path)));
    s.writer->writeHeader(text("0.1"), 0, 1);
    s.log.clear();
    writeTime(*s.accessor, s.points, s.weights, 0);
    writeTime(*s.accessor, s.points, s.weights, 250);
    CallLog expected;
    for (int t : {0, 250}) {
        const CallLog one = {"isValid", "beginWriteChunk", "writeTime(" + std::to_string(t) + ")",
                             "isValid", "writeChannelName(points)", "write DVCA(2)",
                             "isValid", "writeChannelName(weights)", "write FBCA(1)",
                             "isValid", "endWriteChunk"};
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(s.log, expected);
    ASSERT_EQ(s.disk.at(path).chunks.size(), 2u);
    EXPECT_EQ(s.disk.at(path).chunks[1].time, 250);
}

TEST(WriteSequence, FrameFileThatCannotBeNamedIsNeverOpened) {
    WriteSetup s(qzCacheFileAccessor::kOneFilePerFrame);
    s.accessor->setTimePerFrame(0);
    std::vector<double> p(6, 1.0);
    s.accessor->beginWriteAtTime(250);
    EXPECT_FALSE(s.accessor->addArrayData(s.points, 250, p.data(), 2));
    s.accessor->endWriteAtTime();
    for (const std::string& call : s.log) EXPECT_EQ(call.find("open("), std::string::npos);
    EXPECT_TRUE(s.disk.empty());
}

TEST(WriteSequence, NonArrayChannelWritesNothingAndKeepsNothing) {
    for (bool memory : {false, true}) {
        WriteSetup s(qzCacheFileAccessor::kOneFile);
        s.accessor->setMemoryCache(memory);
        unsigned int scalar = 0;
        unsigned int unknown = 0;
        ASSERT_TRUE(s.accessor->addChannel(text("scalar"), text(""), qzCacheData::kDouble, scalar));
        ASSERT_TRUE(
            s.accessor->addChannel(text("other"), text(""), qzCacheData::kUnknownData, unknown));
        ASSERT_TRUE(s.writer->open(text(s.accessor->constructDataFilePathForOneFile().utf8())));
        s.log.clear();
        std::vector<double> values = {1.0, 2.0};
        s.accessor->beginWriteAtTime(0);
        EXPECT_FALSE(s.accessor->addArrayData(scalar, 0, values.data(), 2));
        EXPECT_FALSE(s.accessor->addArrayData(unknown, 0, values.data(), 2));
        s.accessor->endWriteAtTime();
        for (const std::string& call : s.log) {
            EXPECT_EQ(call.find("writeChannelName"), std::string::npos) << call;
            EXPECT_EQ(call.find("write "), std::string::npos) << call;
        }
        // Nothing of the caller's buffer is kept: no sample can be found in memory.
        s.accessor->setMemoryCache(true);
        EXPECT_FALSE(s.accessor->hasDataAtTime(scalar, 0));
        EXPECT_FALSE(s.accessor->hasDataAtTime(unknown, 0));
    }
}

TEST(WriteMemory, NoDistributionWithoutMemoryOnlyRecordsTheTime) {
    AccessorRef accessor;
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kInt32Array, channel);
    std::vector<int> values = {1, 2, 3};
    EXPECT_TRUE(accessor->addArrayData(channel, 500, values.data(), 3));
    EXPECT_EQ(accessor->getDataCount(channel), 1u);
    accessor->setMemoryCache(true);
    EXPECT_FALSE(accessor->hasDataAtTime(channel, 500));
}

TEST(WriteMemory, NoDistributionWithMemoryIsAPureMemoryCache) {
    AccessorRef accessor;
    accessor->setMemoryCache(true);
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kFloatVectorArray, channel);
    std::vector<float> values = {1.f, 2.f, 3.f, 4.f, 5.f, 6.f};
    EXPECT_TRUE(accessor->addArrayData(channel, 250, values.data(), 2));
    values.assign(6, 0.f);  // the channel holds its own copy
    void* data = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(accessor->getArrayDataAtTime(channel, 250, 0, data, length));
    ASSERT_EQ(length, 2u);
    ASSERT_NE(data, values.data());
    EXPECT_EQ(static_cast<float*>(data)[5], 6.f);

    // A second sample at the same time replaces the first and leaves the record alone.
    std::vector<float> other = {9.f, 9.f, 9.f};
    EXPECT_TRUE(accessor->addArrayData(channel, 250, other.data(), 1));
    ASSERT_TRUE(accessor->getArrayDataAtTime(channel, 250, 0, data, length));
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(static_cast<float*>(data)[0], 9.f);
    EXPECT_EQ(accessor->getDataCount(channel), 1u);
}

TEST(WriteMemory, AddDataNeedsTheMemoryCache) {
    AccessorRef accessor;
    unsigned int channel = 0;
    accessor->addChannel(text("d"), text(""), qzCacheData::kDouble, channel);
    EXPECT_FALSE(accessor->addData(channel, 10, 2.5));
    EXPECT_EQ(accessor->getDataCount(channel), 0u);
    accessor->setMemoryCache(true);
    EXPECT_TRUE(accessor->addData(channel, 10, 2.5));
    EXPECT_FALSE(accessor->addData(channel + 1, 10, 2.5));
    double value = 0.0;
    ASSERT_TRUE(accessor->getDataAtTime(channel, 10, value));
    EXPECT_EQ(value, 2.5);
    EXPECT_FALSE(accessor->getDataAtTime(channel, 11, value));
    accessor->setMemoryCache(false);
    EXPECT_FALSE(accessor->getDataAtTime(channel, 10, value));
}

TEST(WriteMemory, ASampleMemoryCannotHoldIsReportedLost) {
    // A pure memory cache holds samples at 0, 10 and 20 (a grid); 25 turns the record into a
    // list. Each allocation of that last store fails in turn: the call reports false, and the
    // sample is neither in memory nor in the record; what was stored before stays.
    for (int allowed = 0;; ++allowed) {
        ASSERT_LT(allowed, 50) << "the store never completed";
        AccessorRef accessor;
        accessor->setMemoryCache(true);
        unsigned int points = 0;
        unsigned int numbers = 0;
        accessor->addChannel(text("points"), text(""), qzCacheData::kFloatVectorArray, points);
        accessor->addChannel(text("numbers"), text(""), qzCacheData::kDouble, numbers);
        std::vector<float> values(6, 1.f);
        for (int t : {0, 10, 20}) {
            ASSERT_TRUE(accessor->addArrayData(points, t, values.data(), 2));
            ASSERT_TRUE(accessor->addData(numbers, t, 1.0));
        }
        bool added[2] = {false, false};
        bool failed[2] = {false, false};
        {
            const qztest::FailingAllocation failure(allowed);
            added[0] = accessor->addArrayData(points, 25, values.data(), 2);
            failed[0] = failure.happened();
        }
        {
            const qztest::FailingAllocation failure(allowed);
            added[1] = accessor->addData(numbers, 25, 2.0);
            failed[1] = failure.happened();
        }
        for (unsigned int channel : {points, numbers}) {
            SCOPED_TRACE("allocation " + std::to_string(allowed) + ", channel " +
                         std::to_string(channel));
            EXPECT_EQ(added[channel], !failed[channel]);
            EXPECT_EQ(accessor->hasDataAtTime(channel, 25), !failed[channel]);
            EXPECT_EQ(accessor->getDataCount(channel), failed[channel] ? 3u : 4u);
            EXPECT_EQ(accessor->isChannelSamplingRegular(channel), failed[channel]);
            EXPECT_TRUE(accessor->hasDataAtTime(channel, 20));
        }
        if (!failed[0] && !failed[1]) break;
    }

    // With data files behind it, the refused sample is not written either.
    WriteSetup s(qzCacheFileAccessor::kOneFilePerFrame);
    s.accessor->setMemoryCache(true);
    s.accessor->beginWriteAtTime(0);
    const std::size_t calls = s.log.size();
    std::vector<double> p(6, 1.0);
    {
        const qztest::FailingAllocation failure(0);
        EXPECT_FALSE(s.accessor->addArrayData(s.points, 0, p.data(), 2));
    }
    EXPECT_EQ(s.log.size(), calls);
    s.accessor->endWriteAtTime();
    EXPECT_TRUE(s.disk.at(s.frame("Frame0")).chunks.at(0).records.empty());
}

TEST(WriteMemory, BadArgumentsAreRefused) {
    AccessorRef accessor;
    accessor->setMemoryCache(true);
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kDoubleArray, channel);
    double value = 1.0;
    EXPECT_FALSE(accessor->addArrayData(channel + 1, 0, &value, 1));
    EXPECT_FALSE(accessor->addArrayData(channel, 0, nullptr, 4));
    EXPECT_EQ(accessor->getDataCount(channel), 0u);
}

TEST(WriteRecord, EvenTimesStayRegularAndAnOffGridTimeTurnsIrregular) {
    AccessorRef accessor;
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kDoubleArray, channel);
    double value = 1.0;
    for (int t : {0, 10, 20}) accessor->addArrayData(channel, t, &value, 1);
    int rate = 0;
    int start = 1;
    int end = 0;
    EXPECT_TRUE(accessor->channelSamplingRate(channel, rate));
    EXPECT_EQ(rate, 10);
    accessor->getChannelStartTime(channel, start);
    accessor->getChannelEndTime(channel, end);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 20);
    accessor->addArrayData(channel, 25, &value, 1);
    EXPECT_FALSE(accessor->isChannelSamplingRegular(channel));
    std::vector<int> times;
    for (unsigned int i = 0; i < accessor->getDataCount(channel); ++i) {
        int t = 0;
        ASSERT_TRUE(accessor->getDataTime(channel, i, t));
        times.push_back(t);
    }
    EXPECT_EQ(times, (std::vector<int>{0, 10, 20, 25}));
}

TEST(ReOpen, OnlyAPerFrameCacheTakesANewWriter) {
    WriteSetup s(qzCacheFileAccessor::kOneFile);
    CallLog otherLog;
    RecordingFileIO other(qzCacheFileIO::kWrite, s.disk, otherLog);
    EXPECT_FALSE(s.accessor->reOpenForWrite(&other));
    EXPECT_EQ(s.accessor->fileAccessor(), s.writer);
    ASSERT_TRUE(s.writer->open(text(s.accessor->constructDataFilePathForOneFile().utf8())));
    writeTime(*s.accessor, s.points, s.weights, 0);
    EXPECT_TRUE(otherLog.empty());
}

TEST(ReOpen, NeverReadsThroughTheNewWriter) {
    CallLog newLog;  // outlives the accessor, which closes its writer when it goes
    WriteSetup s(qzCacheFileAccessor::kOneFilePerFrame);
    s.writer->touchRealFiles = true;
    writeTime(*s.accessor, s.points, s.weights, 0);
    s.accessor->setChannelSamplingType(s.points, qzCacheChannel::kIrregular);
    auto* next = new RecordingFileIO(qzCacheFileIO::kWrite, s.disk, newLog);
    ASSERT_TRUE(s.accessor->reOpenForWrite(next));
    EXPECT_EQ(s.accessor->fileAccessor(), next);
    // The rescan and later reads go beside the writer: it is never opened nor rewound.
    unsigned int length = 0;
    s.accessor->hasDataAtTime(s.points, 0);
    s.accessor->getArrayLengthAtTime(s.points, 0, length);
    for (const std::string& call : newLog) {
        EXPECT_EQ(call.find("open("), std::string::npos) << call;
        EXPECT_NE(call, "rewind");
    }
    EXPECT_EQ(s.disk.at(s.frame("Frame0")).chunks.size(), 1u);
}

TEST(CopyChannel, CopiesOneSampleBetweenCaches) {
    AccessorRef source;
    AccessorRef destination;
    source->setMemoryCache(true);
    destination->setMemoryCache(true);
    unsigned int from = 0;
    unsigned int to = 0;
    unsigned int ints = 0;
    source->addChannel(text("p"), text(""), qzCacheData::kDoubleArray, from);
    destination->addChannel(text("q"), text(""), qzCacheData::kDoubleArray, to);
    destination->addChannel(text("i"), text(""), qzCacheData::kInt32Array, ints);
    std::vector<double> zero = {0.0, 0.0, 0.0};
    std::vector<double> ten = {10.0, 20.0, 30.0};
    source->addArrayData(from, 0, zero.data(), 3);
    source->addArrayData(from, 250, ten.data(), 3);

    EXPECT_FALSE(
        qzCacheFileAccessor::copyChannelData(*source, from, *destination, ints, 250, false));
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, text("p"), *destination,
                                                      text("missing"), 250, false));
    ASSERT_TRUE(qzCacheFileAccessor::copyChannelData(*source, text("p"), *destination, text("q"),
                                                     250, false));
    void* data = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(destination->getArrayDataAtTime(to, 250, 3, data, length));
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(std::memcmp(data, ten.data(), 3 * sizeof(double)), 0);
    // The source lent its own buffer for the copy; it is still intact.
    ASSERT_TRUE(source->getArrayDataAtTime(from, 250, 3, data, length));
    EXPECT_EQ(std::memcmp(data, ten.data(), 3 * sizeof(double)), 0);

    // Between stored times only the fall-back finds a count; the data are interpolated.
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, 100, false));
    ASSERT_TRUE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, 100, true));
    ASSERT_TRUE(destination->getArrayDataAtTime(to, 100, 3, data, length));
    EXPECT_DOUBLE_EQ(static_cast<double*>(data)[2], 12.0);
    // Nothing before the first time: no count to take.
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, -10, true));
}

TEST(EndFileWrite, ReportsAFailedDataWriteAndStillDescribes) {
    WriteSetup s(qzCacheFileAccessor::kOneFilePerFrame);
    const std::string description = s.dir.file("shot.xml");
    writeTime(*s.accessor, s.points, s.weights, 0);
    EXPECT_TRUE(s.accessor->endFileWrite());
    s.writer->failWrites = true;
    writeTime(*s.accessor, s.points, s.weights, 250, false);
    std::filesystem::remove(qztest::fsPath(description));
    EXPECT_FALSE(s.accessor->endFileWrite());
    EXPECT_TRUE(qztest::fileExists(description));
    EXPECT_FALSE(s.accessor->endFileWrite());  // stays reported until a new writer
    s.accessor->setFileAccessor(new RecordingFileIO(qzCacheFileIO::kWrite, s.disk, s.log));
    delete s.writer;
    EXPECT_TRUE(s.accessor->endFileWrite());
}

TEST(EndFileWrite, LostArraysAreReported) {
    // A one-file writer that was never opened loses every array.
    WriteSetup s(qzCacheFileAccessor::kOneFile);
    std::vector<double> p(6, 1.0);
    s.accessor->beginWriteAtTime(0);
    EXPECT_FALSE(s.accessor->addArrayData(s.points, 0, p.data(), 2));
    s.accessor->endWriteAtTime();
    EXPECT_FALSE(s.accessor->endFileWrite());
}

TEST(EndFileWrite, NoDistributionWritesNoDescription) {
    AccessorRef accessor;
    qztest::TempDir dir;
    accessor->setStorageLocation(text(dir.path()));
    accessor->setBaseFileName(text("mem"));
    accessor->setMemoryCache(true);
    unsigned int channel = 0;
    accessor->addChannel(text("c"), text(""), qzCacheData::kDoubleArray, channel);
    double value = 1.0;
    accessor->addArrayData(channel, 0, &value, 1);
    EXPECT_FALSE(accessor->endFileWrite());
    EXPECT_FALSE(qztest::fileExists(dir.file("mem.xml")));
    EXPECT_FALSE(accessor->hasDataAtTime(channel, 0));  // the memory cache is off now
}
