// The memory cache: which times are kept around a request, loading a whole time into memory,
// eviction, the queue size, the work check and the worker's start and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIO.h"
#include "qzString.h"

namespace {

using qzString::IString;

IString str(const char* text) { return IString(text, 0); }

// Reaches the protected members under test.
class TestAccessor : public qzCacheFileAccessor {
public:
    static TestAccessor* create() { return new TestAccessor(); }
    // Fulfilled by the destructor, on whichever thread lets go last.
    std::promise<void>* destroyed = nullptr;

    using qzCacheFileAccessor::getDataTimesToBeCached;
    using qzCacheFileAccessor::getStoredArrayDataAtTime;
    qzCacheChannel& channel(unsigned int index) { return *m_channels[index]; }
    void setVerbose(bool on) { m_verbose = on; }
    const void* syncObject(int which) const {
        const void* objects[] = {m_stateMutex, m_workerWakeSemaphore, m_workerEventSemaphore,
                                 m_lastRequestedTimeMutex, m_threadWorkingMutex};
        return objects[which];
    }

private:
    ~TestAccessor() override {
        if (destroyed) destroyed->set_value();
    }
};

struct Holder {
    TestAccessor* accessor = TestAccessor::create();
    ~Holder() {
        if (accessor) accessor->unref();
    }
    TestAccessor* operator->() const { return accessor; }
};

// An in-memory one-file data file: time groups of channel records. Strict like a chunked
// file: a record's array must be read (or skipped) before the next name can be read, and an
// array read with the wrong type or count consumes the array and fails.
class FakeReader : public qzCacheFileIO {
public:
    struct Record {
        std::string name;
        qzCacheData::qzCacheDataType type;
        unsigned int count;
        std::vector<unsigned char> bytes;
    };

    FakeReader() : qzCacheFileIO(kRead) {}

    template <typename T>
    void add(int time, const std::string& name, qzCacheData::qzCacheDataType type,
             const std::vector<T>& values, unsigned int count) {
        Record record{name, type, count, std::vector<unsigned char>(values.size() * sizeof(T))};
        std::memcpy(record.bytes.data(), values.data(), record.bytes.size());
        m_groups[time].push_back(record);
    }

    int findTimeCalls = 0;
    int arrayReads = 0;

    bool open(const IString&) override { return true; }
    void close() override {}
    bool isValid() override { return true; }
    bool readHeader() override { return false; }
    bool writeHeader(IString, int, int) override { return false; }
    void beginWriteChunk() override {}
    void endWriteChunk() override {}
    bool beginReadChunk() override { return false; }
    void endReadChunk() override { m_group = nullptr; }
    bool writeTime(int) override { return false; }
    bool readTime(int&) override { return false; }
    bool findTime(int time, int& found) override {
        ++findTimeCalls;
        auto at = m_groups.find(time);
        if (at == m_groups.end()) return false;
        m_group = &at->second;
        m_next = 0;
        m_pending = false;
        found = time;
        return true;
    }
    bool readNextTime(int&) override { return false; }
    unsigned int readArraySize() override {
        return m_pending ? (*m_group)[m_next - 1].count : 0;
    }
    bool writeDoubleArray(const double*, unsigned int) override { return false; }
    bool readDoubleArray(double* d, unsigned int n) override {
        return read(d, n, qzCacheData::kDoubleArray);
    }
    bool writeFloatArray(const float*, unsigned int) override { return false; }
    bool readInt32Array(int* d, unsigned int n) override {
        return read(d, n, qzCacheData::kInt32Array);
    }
    bool writeInt32Array(const int*, unsigned int) override { return false; }
    bool readFloatArray(float* d, unsigned int n) override {
        return read(d, n, qzCacheData::kFloatArray);
    }
    bool writeDoubleVectorArray(const double*, unsigned int) override { return false; }
    bool readDoubleVectorArray(double* d, unsigned int n) override {
        return read(d, n, qzCacheData::kDoubleVectorArray);
    }
    bool writeFloatVectorArray(const float*, unsigned int) override { return false; }
    bool readFloatVectorArray(float* d, unsigned int n) override {
        return read(d, n, qzCacheData::kFloatVectorArray);
    }
    bool writeChannelName(const IString&) override { return false; }
    bool findChannelName(const IString&) override { return false; }
    bool readChannelName(IString& name) override {
        if (!m_group || m_pending || m_next >= m_group->size()) return false;
        name = str((*m_group)[m_next].name.c_str());
        ++m_next;
        m_pending = true;
        return true;
    }
    bool rewind() override { return true; }
    IString extension() override { return str("fake"); }

private:
    bool read(void* data, unsigned int count, qzCacheData::qzCacheDataType type) {
        if (!m_group || !m_pending) return false;
        m_pending = false;
        const Record& record = (*m_group)[m_next - 1];
        if (record.type != type || record.count != count) return false;
        ++arrayReads;
        if (!record.bytes.empty()) std::memcpy(data, record.bytes.data(), record.bytes.size());
        return true;
    }

    std::map<int, std::vector<Record>> m_groups;
    std::vector<Record>* m_group = nullptr;
    size_t m_next = 0;
    bool m_pending = false;
};

// Two double-array channels "a" and "b" on the grid 0, 250, ... 2500.
void addGridChannels(TestAccessor* accessor, int channels = 2) {
    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < channels; ++i) {
        unsigned int index = 0;
        ASSERT_TRUE(accessor->addChannel(str(names[i]), str("test"), qzCacheData::kDoubleArray,
                                         index));
        accessor->setChannelStartTime(index, 0);
        accessor->setChannelEndTime(index, 2500);
        accessor->setChannelSamplingRate(index, 250);
    }
}

void storeAt(TestAccessor* accessor, unsigned int channel, int time, double value) {
    double data[2] = {value, value + 0.5};
    ASSERT_TRUE(accessor->channel(channel).storeArrayData(data, 2, true, time, false));
}

bool stored(TestAccessor* accessor, unsigned int channel, int time) {
    unsigned int position = 0;
    return accessor->channel(channel).findData(time, position, true);
}

}  // namespace

TEST(MemoryCacheTimes, KeepsRequestedThenFollowingThenPrevious) {
    Holder accessor;
    addGridChannels(accessor.accessor);

    std::vector<int> times;
    accessor->getDataTimesToBeCached(1000, times);
    EXPECT_EQ(times, (std::vector<int>{1000, 1250, 750}));

    accessor->setMemoryPreLoadQueueSize(5);
    times.clear();
    accessor->getDataTimesToBeCached(1000, times);
    EXPECT_EQ(times, (std::vector<int>{1000, 1250, 1500, 1750, 750}));

    // Between grid times and at both ends of the data.
    times.clear();
    accessor->getDataTimesToBeCached(1100, times);
    EXPECT_EQ(times, (std::vector<int>{1100, 1250, 1500, 1750, 1000}));
    times.clear();
    accessor->getDataTimesToBeCached(2250, times);
    EXPECT_EQ(times, (std::vector<int>{2250, 2500, 2000}));
    accessor->setMemoryPreLoadQueueSize(3);
    times.clear();
    accessor->getDataTimesToBeCached(0, times);
    EXPECT_EQ(times, (std::vector<int>{0, 250}));
}

TEST(MemoryCacheTimes, FollowingTimesComeFromAnyChannel) {
    Holder accessor;
    unsigned int a = 0, b = 0;
    ASSERT_TRUE(accessor->addChannel(str("a"), str(""), qzCacheData::kFloatArray, a));
    ASSERT_TRUE(accessor->addChannel(str("b"), str(""), qzCacheData::kFloatArray, b));
    for (int t : {0, 10, 20}) accessor->channel(a).addTime(t);
    for (int t : {5, 15}) accessor->channel(b).addTime(t);
    accessor->setMemoryPreLoadQueueSize(4);
    std::vector<int> times;
    accessor->getDataTimesToBeCached(10, times);
    EXPECT_EQ(times, (std::vector<int>{10, 15, 20, 5}));
}

TEST(MemoryCacheQueue, SizeNeverBelowThreeAndShrinksByATenth) {
    Holder accessor;
    EXPECT_EQ(accessor->memoryPreLoadQueueSize(), 3u);
    accessor->setMemoryPreLoadQueueSize(2);
    EXPECT_EQ(accessor->memoryPreLoadQueueSize(), 3u);
    accessor->setMemoryPreLoadQueueSize(0);
    EXPECT_EQ(accessor->memoryPreLoadQueueSize(), 3u);

    const unsigned int steps[][2] = {{3, 3}, {4, 3}, {10, 9}, {19, 18}, {25, 23}, {100, 90}};
    for (const auto& step : steps) {
        accessor->setMemoryPreLoadQueueSize(step[0]);
        ASSERT_EQ(accessor->memoryPreLoadQueueSize(), step[0]);
        accessor->reduceMemoryPreLoadQueueSize();
        EXPECT_EQ(accessor->memoryPreLoadQueueSize(), step[1]) << "from " << step[0];
    }
}

TEST(MemoryCacheWork, NothingToDoBeforeTheFirstRequest) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    int time = -7;
    EXPECT_FALSE(accessor->preLoadWorkAvailable(time));
    EXPECT_EQ(time, -7);
    EXPECT_FALSE(accessor->getLastRequestedTime(time));

    accessor->setLastRequestedTime(500);
    ASSERT_TRUE(accessor->getLastRequestedTime(time));
    EXPECT_EQ(time, 500);
    int work = 0;
    ASSERT_TRUE(accessor->preLoadWorkAvailable(work));
    EXPECT_EQ(work, 500);
}

TEST(MemoryCacheWork, FirstMissingTimeAndFillLine) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    accessor->setVerbose(true);
    accessor->setLastRequestedTime(1000);  // keep list [1000, 1250, 750]

    // The requested time is complete for both channels; 1250 lacks channel b only.
    storeAt(accessor.accessor, 0, 1000, 1.0);
    storeAt(accessor.accessor, 1, 1000, 2.0);
    storeAt(accessor.accessor, 0, 1250, 3.0);
    int work = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(accessor->preLoadWorkAvailable(work));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cacheBuffer 33% full\n");
    EXPECT_EQ(work, 1250);

    storeAt(accessor.accessor, 1, 1250, 4.0);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(accessor->preLoadWorkAvailable(work));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cacheBuffer 66% full\n");
    EXPECT_EQ(work, 750);

    storeAt(accessor.accessor, 0, 750, 5.0);
    storeAt(accessor.accessor, 1, 750, 6.0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(accessor->preLoadWorkAvailable(work));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Without the flag nothing is printed.
    accessor->setVerbose(false);
    accessor->setLastRequestedTime(2000);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(accessor->preLoadWorkAvailable(work));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(work, 2000);
}

TEST(MemoryCacheLoad, WholeTimeInOnePassReplacingWhatIsStored) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    FakeReader reader;
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    reader.add<double>(500, "a", qzCacheData::kDoubleArray, {1, 2, 3}, 3);
    reader.add<double>(500, "b", qzCacheData::kDoubleArray, {4, 5}, 2);

    storeAt(accessor.accessor, 0, 500, 99.0);
    std::vector<int> keep{500};
    ASSERT_TRUE(accessor->readAllDataAtTimeAndStoreInMemory(500, keep, &reader));
    EXPECT_EQ(reader.findTimeCalls, 1);
    EXPECT_EQ(accessor->channel(0).storedDataCount(), 1u);
    EXPECT_EQ(accessor->channel(1).storedDataCount(), 1u);
    double a[3] = {0, 0, 0};
    ASSERT_TRUE(accessor->channel(0).copyArrayData(a, 3, 500));
    EXPECT_EQ(a[2], 3.0);
    double b[2] = {0, 0};
    ASSERT_TRUE(accessor->channel(1).copyArrayData(b, 2, 500));
    EXPECT_EQ(b[1], 5.0);
    // Loading keeps the sampling record as it is.
    EXPECT_EQ(accessor->channel(0).timeCount(), 11u);

    // Loaded again: replaced, not added.
    ASSERT_TRUE(accessor->readAllDataAtTimeAndStoreInMemory(500, keep, &reader));
    EXPECT_EQ(accessor->channel(0).storedDataCount(), 1u);

    // A time the file does not hold, and a load without a reader or distribution.
    EXPECT_FALSE(accessor->readAllDataAtTimeAndStoreInMemory(750, keep, &reader));
    EXPECT_FALSE(accessor->readAllDataAtTimeAndStoreInMemory(500, keep, nullptr));
    accessor->setDistribution(qzCacheFileAccessor::kNoDistribution);
    EXPECT_FALSE(accessor->readAllDataAtTimeAndStoreInMemory(500, keep, &reader));
}

TEST(MemoryCacheLoad, UnknownChannelIsSkippedAndTheOthersStored) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    FakeReader reader;
    reader.add<double>(250, "a", qzCacheData::kDoubleArray, {1, 2}, 2);
    reader.add<float>(250, "ghost", qzCacheData::kFloatVectorArray, {1, 2, 3, 4, 5, 6}, 2);
    reader.add<int>(250, "ghost2", qzCacheData::kInt32Array, {7}, 1);
    reader.add<double>(250, "b", qzCacheData::kDoubleArray, {3, 4, 5}, 3);

    std::vector<int> keep{250};
    EXPECT_TRUE(accessor->readAllDataAtTimeAndStoreInMemory(250, keep, &reader));
    EXPECT_TRUE(stored(accessor.accessor, 0, 250));
    double b[3] = {0, 0, 0};
    ASSERT_TRUE(accessor->channel(1).copyArrayData(b, 3, 250));
    EXPECT_EQ(b[0], 3.0);
    EXPECT_EQ(b[2], 5.0);
}

TEST(MemoryCacheLoad, AFailedRecordKeepsWhatWasStoredBeforeIt) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    FakeReader reader;
    reader.add<double>(250, "a", qzCacheData::kDoubleArray, {1, 2}, 2);
    // Its array does not hold what its count says.
    reader.add<float>(250, "b", qzCacheData::kFloatArray, {1, 2}, 2);

    std::vector<int> keep{250};
    EXPECT_FALSE(accessor->readAllDataAtTimeAndStoreInMemory(250, keep, &reader));
    EXPECT_TRUE(stored(accessor.accessor, 0, 250));
    EXPECT_FALSE(stored(accessor.accessor, 1, 250));
}

TEST(MemoryCacheLoad, EvictionKeepsAtMostQPlusOneAndNeverAKeptTime) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    FakeReader reader;
    for (int t = 0; t <= 2500; t += 250) {
        reader.add<double>(t, "a", qzCacheData::kDoubleArray, {t * 1.0}, 1);
        reader.add<double>(t, "b", qzCacheData::kDoubleArray, {t * 2.0}, 1);
    }

    for (unsigned int q : {3u, 5u}) {
        accessor->setMemoryPreLoadQueueSize(q);
        for (int t = 0; t <= 2500; t += 250) {
            std::vector<int> keep;
            accessor->getDataTimesToBeCached(t, keep);
            for (int k : keep) {
                ASSERT_TRUE(accessor->readAllDataAtTimeAndStoreInMemory(k, keep, &reader));
                for (unsigned int c = 0; c < 2; ++c)
                    EXPECT_LE(accessor->channel(c).storedDataCount(), q + 1) << t;
            }
            for (int k : keep) {
                EXPECT_TRUE(stored(accessor.accessor, 0, k)) << "evicted kept " << k;
                EXPECT_TRUE(stored(accessor.accessor, 1, k)) << "evicted kept " << k;
            }
        }
    }

    // After the queue shrinks, every load removes one surplus sample per channel.
    accessor->setMemoryPreLoadQueueSize(3);
    std::vector<int> keep{2500};
    const unsigned int before = accessor->channel(0).storedDataCount();
    ASSERT_GT(before, 4u);
    ASSERT_TRUE(accessor->readAllDataAtTimeAndStoreInMemory(2500, keep, &reader));
    EXPECT_EQ(accessor->channel(0).storedDataCount(), before - 1);
    EXPECT_TRUE(stored(accessor.accessor, 0, 2500));
}

TEST(MemoryCacheCopying, OneLoadServesEveryChannelOfTheTime) {
    Holder accessor;
    addGridChannels(accessor.accessor);
    accessor->setDistribution(qzCacheFileAccessor::kOneFile);
    auto* reader = new FakeReader;
    for (int t = 0; t <= 2500; t += 250) {
        reader->add<double>(t, "a", qzCacheData::kDoubleArray, {t + 0.25, t + 0.5}, 2);
        reader->add<double>(t, "b", qzCacheData::kDoubleArray, {-t * 1.0}, 1);
    }
    accessor->setFileAccessor(reader);
    accessor->setOptimizeMultiChannelRead(true);

    double a[2] = {0, 0};
    void* data = a;
    unsigned int length = 9;
    ASSERT_TRUE(accessor->getStoredArrayDataAtTime(0, 750, 2, data, length));
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(data, static_cast<void*>(a));
    EXPECT_EQ(a[1], 750.5);
    EXPECT_EQ(reader->findTimeCalls, 1);
    int last = 0;
    ASSERT_TRUE(accessor->getLastRequestedTime(last));
    EXPECT_EQ(last, 750);

    double b = 1;
    data = &b;
    ASSERT_TRUE(accessor->getStoredArrayDataAtTime(1, 750, 1, data, length));
    EXPECT_EQ(b, -750.0);
    EXPECT_EQ(reader->findTimeCalls, 1) << "the second channel was read from the file again";

    // A wrong count fails without touching the buffer; a time off the record fails at once.
    double wrong[3] = {7, 7, 7};
    data = wrong;
    EXPECT_FALSE(accessor->getStoredArrayDataAtTime(0, 750, 3, data, length));
    EXPECT_EQ(wrong[0], 7.0);
    EXPECT_FALSE(accessor->getStoredArrayDataAtTime(0, 800, 2, data, length));
    EXPECT_EQ(length, 0u);
}

TEST(MemoryCacheThreads, StartStopAndReuseOfTheSynchronisationObjects) {
    std::promise<void> destroyed;
    std::future<void> gone = destroyed.get_future();
    Holder accessor;
    accessor->destroyed = &destroyed;
    EXPECT_FALSE(accessor->isInMultiThreadReadMode());
    EXPECT_FALSE(accessor->stopMultiThreadRead());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(accessor->syncObject(i), nullptr);

    ASSERT_TRUE(accessor->startMultiThreadRead(false));
    EXPECT_TRUE(accessor->isInMultiThreadReadMode());
    EXPECT_FALSE(accessor->startMultiThreadRead(false));
    const void* first[5];
    for (int i = 0; i < 5; ++i) {
        first[i] = accessor->syncObject(i);
        EXPECT_NE(first[i], nullptr);
    }
    EXPECT_TRUE(accessor->stopMultiThreadRead());
    EXPECT_FALSE(accessor->isInMultiThreadReadMode());
    EXPECT_FALSE(accessor->stopMultiThreadRead());

    // Restarted at once, while the first worker may still be leaving.
    ASSERT_TRUE(accessor->startMultiThreadRead(false));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(accessor->syncObject(i), first[i]);
    accessor->setMemoryPreLoadQueueSize(7);
    EXPECT_EQ(accessor->memoryPreLoadQueueSize(), 7u);
    EXPECT_TRUE(accessor->stopMultiThreadRead());

    // The worker's reference outlives the creator's; its release destroys the accessor.
    accessor->unref();
    accessor.accessor = nullptr;
    EXPECT_EQ(gone.wait_for(std::chrono::minutes(2)), std::future_status::ready);
}
