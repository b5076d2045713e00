// The accessor's channel registry and writing: creation under failed allocations, refused
// definitions and indexes, the calls a write makes to the data files, memory storing and the
// failures a write reports.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "allocationProbe.h"
#include "recordingFileIO.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::FakeCache;
using qztest::RecordingFileIO;
using qztest::text;

namespace {

unsigned int add(qzCacheFileAccessor& accessor, const char* name,
                 qzCacheData::qzCacheDataType type = qzCacheData::kFloatVectorArray) {
    unsigned int index = 12345;
    EXPECT_TRUE(accessor.addChannel(text(name), text("Points"), type, index)) << name;
    return index;
}

std::pair<int, int> range(qzCacheFileAccessor& accessor, unsigned int channel) {
    std::pair<int, int> r{INT_MIN, INT_MIN};
    EXPECT_TRUE(accessor.getChannelStartTime(channel, r.first));
    EXPECT_TRUE(accessor.getChannelEndTime(channel, r.second));
    return r;
}

}  // namespace

TEST(AccessorLifetime, CreationReportsFailedAllocationsAsNull) {
    // Every allocation of the creation is failed once, until one creation meets no failure.
    for (int allowed = 0; allowed < 100; ++allowed) {
        qzCacheFileAccessor* accessor = nullptr;
        bool failed = false;
        {
            const qztest::FailingAllocation failure(allowed);
            EXPECT_NO_THROW(accessor = qzCacheFileAccessor::createQzCacheFileAccessor()) << allowed;
            failed = failure.happened();
        }
        EXPECT_EQ(accessor == nullptr, failed) << "allocation " << allowed;
        if (accessor) accessor->unref();
        if (!failed) {
            EXPECT_GT(allowed, 0) << "no allocation was failed";
            return;
        }
    }
    FAIL() << "the creation never completed";
}

TEST(AccessorRegistry, DuplicateNamesAreRefusedAndChangeNothing) {
    AccessorRef ref;
    qzCacheFileAccessor& accessor = *ref;
    EXPECT_EQ(add(accessor, "a"), 0u);
    EXPECT_EQ(add(accessor, "b", qzCacheData::kDouble), 1u);
    unsigned int index = 77;
    EXPECT_FALSE(accessor.addChannel(text("a"), text("other"), qzCacheData::kInt32Array, index));
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(accessor.numChannels(), 2u);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(accessor.channelDataType(0, type) && type == qzCacheData::kFloatVectorArray);
    // Names that differ only in case or beyond ASCII are different names.
    EXPECT_EQ(add(accessor, "\xC3\xA9"), 2u);
    EXPECT_EQ(add(accessor, "e"), 3u);
    index = 77;
    EXPECT_FALSE(accessor.hasChannelByName(text("A"), index) || accessor.hasChannelByName(text(""), index));
    EXPECT_EQ(index, 77u);
    EXPECT_TRUE(accessor.hasChannelByName(text("\xC3\xA9"), index) && index == 2);
}

TEST(AccessorRegistry, AnIndexOutOfRangeIsRefusedAndChangesNothing) {
    AccessorRef accessor;
    accessor->setMemoryCache(true);
    add(*accessor, "a", qzCacheData::kDoubleArray);
    for (unsigned int bad : {1u, 1000u, UINT_MAX}) {
        qzString::IString name = text("keep");
        qzCacheData::qzCacheDataType type = qzCacheData::kFloatArray;
        auto interpolation = qzCacheChannel::kStepNext;
        auto sampling = qzCacheChannel::kIrregular;
        int time = 4242;
        double value = 1.0;
        const bool refused[] = {
            accessor->channelName(bad, name), accessor->channelInterpretation(bad, name),
            accessor->channelDataType(bad, type), accessor->channelInterpolation(bad, interpolation),
            accessor->setChannelInterpolation(bad, interpolation), accessor->channelSamplingType(bad, sampling),
            accessor->setChannelSamplingType(bad, sampling), accessor->getChannelStartTime(bad, time),
            accessor->getChannelEndTime(bad, time), accessor->setChannelStartTime(bad, -7),
            accessor->setChannelEndTime(bad, -7), accessor->setChannelSamplingRate(bad, 7),
            accessor->isArrayData(bad), accessor->isChannelSamplingRegular(bad),
            accessor->addArrayData(bad, 0, &value, 1), accessor->addData(bad, 0, 1.0),
            accessor->allocateDataForChannel(bad, 4) != nullptr, accessor->channelSamplingRate(bad, time)};
        for (std::size_t i = 0; i < sizeof refused; ++i) EXPECT_FALSE(refused[i]) << "call " << i << " at " << bad;
        accessor->getDescriptionInfo(bad, name);
        EXPECT_EQ(name.utf8(), "keep");
    }
    EXPECT_FALSE(accessor->addArrayData(0, 0, nullptr, 4));
    // The one channel kept its fields and record.
    EXPECT_EQ(range(*accessor, 0), std::make_pair(0, -1));
    EXPECT_EQ(accessor->getDataCount(0), 0u);
}

TEST(AccessorRegistry, TheCacheRangeSpansEveryChannel) {
    // The channels' ranges, then the span; {0, -1} is an empty channel, and it takes part.
    const std::vector<int> cases[] = {
        {750, 1000, 500, 900, 500, 1000}, {-900, -100, -900, -100}, {500, 1000, 0, -1, 0, 1000}};
    for (const std::vector<int>& c : cases) {
        AccessorRef accessor;
        for (unsigned int i = 0; 2 * i + 2 < c.size(); ++i) {
            add(*accessor, std::to_string(i).c_str());
            accessor->setChannelStartTime(i, c[2 * i]);
            accessor->setChannelEndTime(i, c[2 * i + 1]);
        }
        std::pair<int, int> got;
        EXPECT_TRUE(accessor->getStartEndTime(got.first, got.second));
        EXPECT_EQ(got, std::make_pair(c[c.size() - 2], c.back()));
    }
}

TEST(AccessorRegistry, CopyChannelsCarriesDefinitionsAndLinesAndStopsAtADuplicate) {
    AccessorRef source;
    add(*source, "points", qzCacheData::kFloatVectorArray);
    add(*source, "ids", qzCacheData::kInt32Array);
    source->setMemoryCache(true);
    float points[3] = {1, 2, 3};
    for (int t : {-250, 0, 250, 500, 750}) source->addArrayData(0, t, points, 1);
    for (int t : {0, 40, 100}) source->addArrayData(1, t, points, 1);
    source->addDescriptionInfo(text("first line"));
    source->addDescriptionInfo(text("second \xC3\xA9"));

    AccessorRef destination;
    EXPECT_TRUE(source->copyChannels(*destination));
    ASSERT_EQ(destination->numChannels(), 2u);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(destination->channelDataType(1, type) && type == qzCacheData::kInt32Array);
    EXPECT_EQ(range(*destination, 0), std::make_pair(-250, 750));
    EXPECT_TRUE(destination->isChannelSamplingRegular(0) && destination->getDataCount(1) == 3);
    qzString::IString line;
    destination->getDescriptionInfo(1, line);
    EXPECT_EQ(line.utf8(), "second \xC3\xA9");
    EXPECT_EQ(destination->descriptionInfoCount(), 2u);

    AccessorRef clash;
    add(*clash, "ids", qzCacheData::kDouble);
    EXPECT_FALSE(source->copyChannels(*clash));
    EXPECT_EQ(clash->numChannels(), 2u);  // "points" came before the duplicate
    EXPECT_TRUE(clash->channelDataType(0, type) && type == qzCacheData::kDouble);
    EXPECT_EQ(clash->descriptionInfoCount(), 0u);
}

TEST(AccessorRegistry, AllocatedBlocksHoldTheirElements) {
    AccessorRef accessor;
    for (auto type : {qzCacheData::kDoubleArray, qzCacheData::kDoubleVectorArray, qzCacheData::kInt32Array,
                      qzCacheData::kFloatArray, qzCacheData::kFloatVectorArray, qzCacheData::kDouble,
                      qzCacheData::kUnknownData}) {
        const unsigned int index = add(*accessor, std::to_string(type).c_str(), type);
        void* block = accessor->allocateDataForChannel(index, 7);
        EXPECT_EQ(block == nullptr, qzCacheData::elementSize(type) == 0) << type;
        // Writing the whole block: the address sanitizer catches one that is too small.
        if (block) std::memset(block, 0x5A, 7 * qzCacheData::elementSize(type));
        std::free(block);
        std::free(accessor->allocateDataForChannel(index, 0));
    }
}

TEST(WriteSequence, EachLayoutMakesTheDocumentedCalls) {
    for (auto distribution : {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
        FakeCache s(distribution);
        const bool perFrame = distribution == qzCacheFileAccessor::kOneFilePerFrame;
        EXPECT_TRUE(s.writeTime(0));
        EXPECT_TRUE(s.writeTime(375));
        CallLog expected;
        for (const char* time : {"0", "375"}) {
            const std::string name = time == std::string("0") ? "Frame0" : "Frame1Tick125";
            if (perFrame) {
                expected.insert(expected.end(), {"open(" + s.frame(name) + ")",
                                                 std::string("writeHeader(0.1,") + time + "," + time + ")"});
            }
            expected.insert(expected.end(), {"isValid", "beginWriteChunk"});
            if (!perFrame) expected.push_back(std::string("writeTime(") + time + ")");
            expected.insert(expected.end(), {"isValid", "writeChannelName(points)", "write DVCA(2)", "isValid",
                                             "writeChannelName(ids)", "write INTA(3)", "isValid",
                                             "endWriteChunk"});
            if (perFrame) expected.push_back("close");
        }
        EXPECT_EQ(s.log, expected) << "per frame " << perFrame;
    }
}

TEST(WriteSequence, WhatCannotBeWrittenIsNeverOpenedNorKept) {
    // A frame file that cannot be named (no frame length) is never opened.
    FakeCache unnamed(qzCacheFileAccessor::kOneFilePerFrame);
    unnamed.accessor->setTimePerFrame(0);
    EXPECT_FALSE(unnamed.writeTime(250));
    EXPECT_EQ(qztest::callCount(unnamed.log, "open("), 0);
    EXPECT_TRUE(unnamed.disk.empty());
    // A one-file cache's reader finds times only while they increase: a time not after the
    // last one written is refused whole. Frame files take any order.
    for (auto distribution : {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
        FakeCache s(distribution);
        const bool oneFile = distribution == qzCacheFileAccessor::kOneFile;
        for (const auto& [time, taken] : {std::pair{500, true}, {500, !oneFile}, {-250, !oneFile}, {750, true}})
            EXPECT_EQ(s.writeTime(time), taken) << time;
        EXPECT_EQ(qztest::callCount(s.log, "beginWriteChunk"), oneFile ? 2 : 4);
        std::vector<int> times;
        ASSERT_TRUE(s.accessor->getDataTimes(0, times));
        EXPECT_EQ(times, (oneFile ? std::vector<int>{500, 750} : std::vector<int>{-250, 500, 750}));
    }
    // Channels without arrays write nothing and keep nothing of the caller's buffer.
    FakeCache s(qzCacheFileAccessor::kOneFile);
    s.accessor->setMemoryCache(true);
    std::vector<double> values = {1.0, 2.0};
    s.accessor->beginWriteAtTime(0);
    for (auto type : {qzCacheData::kDouble, qzCacheData::kUnknownData}) {
        const unsigned int channel = add(*s.accessor, std::to_string(type).c_str(), type);
        EXPECT_FALSE(s.accessor->addArrayData(channel, 0, values.data(), 2));
        EXPECT_FALSE(s.accessor->hasDataAtTime(channel, 0));
    }
    s.accessor->endWriteAtTime();
    EXPECT_EQ(qztest::callCount(s.log, "writeChannelName") + qztest::callCount(s.log, "write "), 0);
}

TEST(WriteMemory, WithoutDataFilesOnlyTheMemoryCacheKeepsSamples) {
    AccessorRef accessor;
    const unsigned int points = add(*accessor, "points", qzCacheData::kFloatVectorArray);
    const unsigned int number = add(*accessor, "number", qzCacheData::kDouble);
    std::vector<float> values = {1.f, 2.f, 3.f, 4.f, 5.f, 6.f};
    // Without the memory cache only the time is recorded.
    EXPECT_TRUE(accessor->addArrayData(points, 500, values.data(), 2) && !accessor->addData(number, 10, 2.5));
    EXPECT_EQ(accessor->getDataCount(points), 1u);
    EXPECT_EQ(accessor->getDataCount(number), 0u);
    accessor->setMemoryCache(true);
    EXPECT_FALSE(accessor->hasDataAtTime(points, 500));

    EXPECT_TRUE(accessor->addArrayData(points, 250, values.data(), 2));
    values.assign(6, 0.f);  // the channel holds its own copy, and lends it
    void* data = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(accessor->getArrayDataAtTime(points, 250, 0, data, length) && length == 2);
    EXPECT_EQ(static_cast<float*>(data)[5], 6.f);
    // A second sample at the same time replaces the first and leaves the record alone.
    std::vector<float> other = {9.f, 9.f, 9.f};
    EXPECT_TRUE(accessor->addArrayData(points, 250, other.data(), 1));
    ASSERT_TRUE(accessor->getArrayDataAtTime(points, 250, 0, data, length) && length == 1);
    EXPECT_EQ(static_cast<float*>(data)[0], 9.f);
    EXPECT_EQ(accessor->getDataCount(points), 2u);

    EXPECT_TRUE(accessor->addData(number, 10, 1.25) && accessor->addData(number, 10, 2.5));
    double value = 0.0;
    EXPECT_TRUE(accessor->getDataAtTime(number, 10, value) && value == 2.5);
    EXPECT_FALSE(accessor->getDataAtTime(number, 11, value));
}

TEST(WriteMemory, ASampleMemoryCannotHoldIsReportedLost) {
    // A pure memory cache holds samples at 0, 10 and 20 (a grid); 25 turns the record into a
    // list. Each allocation of that last store fails in turn: the call reports false, and the
    // sample is neither in memory nor in the record; what was stored before stays.
    for (int allowed = 0;; ++allowed) {
        ASSERT_LT(allowed, 50) << "the store never completed";
        AccessorRef accessor;
        accessor->setMemoryCache(true);
        const unsigned int points = add(*accessor, "points", qzCacheData::kFloatVectorArray);
        const unsigned int numbers = add(*accessor, "numbers", qzCacheData::kDouble);
        std::vector<float> values(6, 1.f);
        for (int t : {0, 10, 20}) {
            ASSERT_TRUE(accessor->addArrayData(points, t, values.data(), 2));
            ASSERT_TRUE(accessor->addData(numbers, t, 1.0));
        }
        bool added[2] = {false, false};
        bool failed[2] = {false, false};
        for (unsigned int channel : {points, numbers}) {
            const qztest::FailingAllocation failure(allowed);
            added[channel] = channel == points ? accessor->addArrayData(points, 25, values.data(), 2)
                                               : accessor->addData(numbers, 25, 2.0);
            failed[channel] = failure.happened();
        }
        for (unsigned int channel : {points, numbers}) {
            SCOPED_TRACE("allocation " + std::to_string(allowed) + ", channel " + std::to_string(channel));
            EXPECT_EQ(added[channel], !failed[channel]);
            EXPECT_EQ(accessor->hasDataAtTime(channel, 25), !failed[channel]);
            EXPECT_EQ(accessor->getDataCount(channel), failed[channel] ? 3u : 4u);
            EXPECT_EQ(accessor->isChannelSamplingRegular(channel), failed[channel]);
            EXPECT_TRUE(accessor->hasDataAtTime(channel, 20));
        }
        if (!failed[0] && !failed[1]) break;
    }
    // With data files behind it, the refused sample is not written either.
    FakeCache s(qzCacheFileAccessor::kOneFilePerFrame);
    s.accessor->setMemoryCache(true);
    s.accessor->beginWriteAtTime(0);
    std::vector<double> p(6, 1.0);
    {
        const qztest::FailingAllocation failure(0);
        EXPECT_FALSE(s.accessor->addArrayData(0, 0, p.data(), 2));
    }
    s.accessor->endWriteAtTime();
    EXPECT_TRUE(s.disk.at(s.frame("Frame0")).chunks.at(0).records.empty());
}

TEST(CopyChannel, CopiesOneSampleBetweenCaches) {
    AccessorRef source;
    AccessorRef destination;
    source->setMemoryCache(true);
    destination->setMemoryCache(true);
    const unsigned int from = add(*source, "p", qzCacheData::kDoubleArray);
    const unsigned int to = add(*destination, "q", qzCacheData::kDoubleArray);
    const unsigned int ints = add(*destination, "i", qzCacheData::kInt32Array);
    std::vector<double> zero = {0.0, 0.0, 0.0};
    std::vector<double> ten = {10.0, 20.0, 30.0};
    source->addArrayData(from, 0, zero.data(), 3);
    source->addArrayData(from, 250, ten.data(), 3);

    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, ints, 250, false));
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, text("p"), *destination, text("missing"), 250, false));
    ASSERT_TRUE(qzCacheFileAccessor::copyChannelData(*source, text("p"), *destination, text("q"), 250, false));
    void* data = nullptr;
    unsigned int length = 0;
    // The source lent its own buffer for the copy; it is still intact.
    for (qzCacheFileAccessor* cache : {destination.get(), source.get()}) {
        ASSERT_TRUE(cache->getArrayDataAtTime(0, 250, 3, data, length) && length == 3);
        EXPECT_EQ(std::memcmp(data, ten.data(), 3 * sizeof(double)), 0);
    }
    // Between stored times only the fall-back finds a count; the data are interpolated.
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, 100, false));
    ASSERT_TRUE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, 100, true));
    ASSERT_TRUE(destination->getArrayDataAtTime(to, 100, 3, data, length));
    EXPECT_DOUBLE_EQ(static_cast<double*>(data)[2], 12.0);
    // Nothing before the first time: no count to take.
    EXPECT_FALSE(qzCacheFileAccessor::copyChannelData(*source, from, *destination, to, -10, true));
}

// Failures of real writes, and the description written all the same, are the write-failure
// tests' own; here a failure stays reported until a new data-file writer is installed.
TEST(EndFileWrite, ReportsLostArraysUntilANewWriter) {
    FakeCache s(qzCacheFileAccessor::kOneFilePerFrame);
    EXPECT_TRUE(s.writeTime(0));
    s.io->failWrites = true;
    EXPECT_FALSE(s.writeTime(250));
    EXPECT_FALSE(s.accessor->endFileWrite());
    EXPECT_FALSE(s.accessor->endFileWrite());
    s.accessor->setFileAccessor(new RecordingFileIO(qzCacheFileIO::kWrite, s.disk, s.log));
    delete s.io;
    EXPECT_TRUE(s.accessor->endFileWrite());

    // A one-file writer that was never opened loses every array.
    FakeCache unopened(qzCacheFileAccessor::kOneFile);
    unopened.io->close();
    EXPECT_FALSE(unopened.writeTime(0));
    EXPECT_FALSE(unopened.accessor->endFileWrite());
}
