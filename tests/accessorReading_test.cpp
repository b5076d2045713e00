// Reading through the accessor: the calls a request makes, time lookup and scans, round trips
// of real cache files in every layout, and interpolation between stored samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "recordingFileIO.h"
#include "testCache.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::TestCache;
using qztest::text;

namespace {

// The fake's cache written at `times`, then read back through the fake.
struct FakeCache : qztest::FakeCache {
    FakeCache(qzCacheFileAccessor::qzCacheFileDistribution distribution, const std::vector<int>& times)
        : qztest::FakeCache(distribution) {
        for (int t : times) EXPECT_TRUE(writeTime(t));
        read();
    }
    // The first scalar of "points" at `time`, or -7 when the request fails.
    double point(int time) {
        std::vector<double> values(6, -7.0);
        void* data = values.data();
        unsigned int length = 0;
        return accessor->getArrayDataAtTime(0, time, 2, data, length) && length == 2 ? values[0] : -7.0;
    }
};

struct Reader : qzCacheFileAccessor {};
using DiskCache = qztest::CacheOnDisk<Reader>;

}  // namespace

TEST(ReadDirect, EachLayoutMakesTheDocumentedCallsAndAnOtherCountOnlyReportsIt) {
    for (auto distribution : {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
        FakeCache s(distribution, {0, 250, 500});
        EXPECT_EQ(s.point(500), 500.0);
        const CallLog read = {"findChannelName(points)", "readArraySize", "read DVCA(2)", "endReadChunk"};
        CallLog expected = {"open(" + s.frame("Frame2") + ")", "isValid", "beginReadChunk"};
        if (distribution == qzCacheFileAccessor::kOneFile) expected = {"isValid", "findTime(500)"};
        expected.insert(expected.end(), read.begin(), read.end());
        if (distribution != qzCacheFileAccessor::kOneFile) expected.push_back("close");
        EXPECT_EQ(s.log, expected);
        // Another count at a stored time reports the count and does not interpolate.
        s.log.clear();
        std::vector<int> buffer(8, -1);
        void* data = buffer.data();
        for (unsigned int asked : {2u, 0u}) {  // 0 is the usual way to ask for the count
            unsigned int length = 99;
            EXPECT_FALSE(s.accessor->getArrayDataAtTime(1, 250, asked, data, length));
            EXPECT_EQ(length, 3u);
        }
        EXPECT_EQ(data, buffer.data());
        EXPECT_EQ(buffer, std::vector<int>(8, -1));
        // No neighbour was read and the record still promises the grid.
        EXPECT_EQ(qztest::callCount(s.log, "readArraySize"), 2);
        EXPECT_TRUE(s.accessor->isChannelSamplingRegular(1));
    }
}

TEST(ReadDirect, MissingFileChannelOrTimeIsNoSample) {
    FakeCache s(qzCacheFileAccessor::kOneFilePerFrame, {0, 250, 500});
    s.disk.erase(s.frame("Frame1"));
    std::filesystem::remove(qztest::fsPath(s.frame("Frame1")));
    EXPECT_TRUE(s.accessor->hasDataAtTime(0, 500));
    for (const auto& [channel, time] : {std::make_pair(0u, 250), {0u, 375}, {5u, 500}})
        EXPECT_FALSE(s.accessor->hasDataAtTime(channel, time)) << channel << " at " << time;
    qzCacheChannel::qzCacheInterpolation none = qzCacheChannel::kNoInterpolation;
    s.accessor->setChannelInterpolation(0, none);
    EXPECT_EQ(s.point(250), -7.0);
    // Outside the channel's range nothing is read from a file.
    s.log.clear();
    EXPECT_EQ(s.point(750), -7.0);
    EXPECT_TRUE(s.log.empty());
    // The count at or before a time comes from the file of that time.
    unsigned int length = 0;
    EXPECT_TRUE(s.accessor->getArrayLengthAtTime(1, 600, length) && length == 3);
    EXPECT_EQ(s.log.at(0), "open(" + s.frame("Frame2") + ")");
    EXPECT_FALSE(s.accessor->getArrayLengthAtTime(9, 0, length));
}

class RoundTrip : public testing::TestWithParam<qztest::LayoutCase> {};

// Byte-exact round trips through the facade are its own tests; here the accessor learns the
// times from the files when it knows only its channels and their range (which files belong to
// the cache is the file-discovery tests' own).
TEST_P(RoundTrip, EveryArrayTypeBitForBitAfterAScan) {
    DiskCache disk(GetParam().layout, GetParam().format, {-250, 0, 250, 500, 510});
    for (unsigned int channel = 0; channel < 5; ++channel) {
        EXPECT_FALSE(disk.reader->isChannelSamplingRegular(channel));  // the grid broke at 510
        disk.reader->setChannelSamplingType(channel, qzCacheChannel::kRegular);
        disk.reader->setChannelSamplingRate(channel, 0);
        disk.reader->setChannelSamplingType(channel, qzCacheChannel::kIrregular);
        EXPECT_EQ(disk.reader->getDataCount(channel), 5u);
    }
    EXPECT_TRUE(qztest::readsBackWhole(*disk.reader, disk.cache));
    // Regular writes are described with their rate.
    DiskCache regular(GetParam().layout, GetParam().format, {0, 125, 250});
    int rate = 0;
    EXPECT_TRUE(regular.reader->channelSamplingRate(2, rate) && rate == 125);
    // Without a reader there is nothing to learn.
    delete regular.reader->fileAccessor();
    regular.reader->setFileAccessor(nullptr);
    regular.reader->setChannelSamplingType(2, qzCacheChannel::kIrregular);
    EXPECT_EQ(regular.reader->getDataCount(2), 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RoundTrip, testing::ValuesIn(qztest::everyLayout()), qztest::layoutCaseName);

TEST(ReadDisk, TwoThousandTimesInAnyOrder) {
    std::vector<int> times(2000);
    std::iota(times.begin(), times.end(), 0);
    DiskCache disk(qztest::kOneFile, "kcc", times, {{"ids", qzCacheData::kInt32Array, 3}});
    std::vector<int> backwards(times.rbegin(), times.rend());
    std::vector<int> shuffled = times;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    for (const std::vector<int>* sequence : {&times, &backwards, &shuffled})
        for (int t : *sequence) ASSERT_TRUE(qztest::readsBack(*disk.reader, disk.cache, 0, t));
}

// The channels of one time are read one request after another from the frame file the first
// opened; a file replaced or rewritten between two of them is read afresh.
TEST(ReadDisk, FrameFileReplacedBetweenTwoRequestsIsReadAfresh) {
    DiskCache disk(qztest::kPerFrame, "kcc", {0, 250, 500});
    TestCache other = disk.cache;  // another length and other values
    other.name = "other";
    other.salt = 1000;
    other.channels = qztest::everyArrayType(9);
    qztest::writeTestCache(other);
    const auto holds = [&](const TestCache& written, std::vector<unsigned int> channels) {
        for (unsigned int c : channels) EXPECT_TRUE(qztest::readsBack(*disk.reader, written, c, 250));
    };
    holds(disk.cache, {0, 1});
    qztest::writeFileBytes(disk.frame(250).u8string(), qztest::readFileBytes(other.location + "otherFrame1.kc"));
    holds(other, {2, 0, 1});
    // The same length, renamed over it. Windows refuses to replace a file a handle holds: there
    // the reader first lets go of it, as it does when it reads another frame.
    if (qztest::kReplacingAHeldFileMayBeRefused) qztest::readWeight(*disk.reader, 0);
    std::filesystem::rename(disk.frame(500), disk.frame(250));
    TestCache moved = disk.cache;
    moved.salt = 250;
    holds(moved, {2, 0});
}

// Interpolated requests borrow the accessor's kept blocks for their neighbours; requests on two
// threads at once must never blend each other's samples.
TEST(ReadDisk, InterpolatedReadsOnTwoThreadsEachGetTheirOwnBlend) {
    std::vector<int> times;
    for (int t = 0; t <= 200; t += 10) times.push_back(t);
    DiskCache disk(qztest::kOneFile, "kcc", times, {{"f", qzCacheData::kFloatArray, 20000}});
    qzCacheChannel::qzCacheInterpolation linear = qzCacheChannel::kLinear;
    ASSERT_TRUE(disk.reader->setChannelInterpolation(0, linear));
    const auto blend = [&](int t) {
        std::vector<float> got(20000);
        void* data = got.data();
        unsigned int length = 0;
        if (!disk.reader->getArrayDataAtTime(0, t, 20000, data, length)) return std::vector<unsigned char>();
        const auto* bytes = static_cast<unsigned char*>(data);
        return std::vector<unsigned char>(bytes, bytes + 4 * length);
    };
    std::map<int, std::vector<unsigned char>> alone;  // each read on one thread
    for (int t = 5; t < 200; t += 10) ASSERT_FALSE((alone[t] = blend(t)).empty()) << t;
    std::atomic<int> wrong{0};
    auto reader = [&](int first) {
        for (int round = 0; round < 200; ++round) {
            const int t = first + 10 * (round % 19);
            wrong += blend(t) != alone.at(t);
        }
    };
    std::thread a(reader, 5);
    std::thread b(reader, 15);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

namespace {

// A pure memory cache of one channel.
struct MemoryCache {
    AccessorRef accessor;

    MemoryCache(qzCacheData::qzCacheDataType type, qzCacheChannel::qzCacheInterpolation method) {
        accessor->setMemoryCache(true);
        unsigned int index = 0;
        accessor->addChannel(text("c"), text(""), type, index);
        accessor->setChannelInterpolation(0, method);
    }
    // Samples of `count` elements at the times 0, step, 2 step, ...
    template <typename T>
    void add(int step, unsigned int count, std::vector<std::vector<T>> samples) {
        for (std::size_t k = 0; k < samples.size(); ++k)
            ASSERT_TRUE(accessor->addArrayData(0, step * static_cast<int>(k), samples[k].data(), count));
    }
    // The first `count` elements at `time`, or nothing when the request fails.
    template <typename T>
    std::vector<T> get(int time, unsigned int count, std::size_t scalars) {
        std::vector<T> out(scalars);
        void* data = out.data();
        unsigned int length = 0;
        if (!accessor->getArrayDataAtTime(0, time, count, data, length) || length != count) return {};
        const T* got = static_cast<const T*>(data);  // lent from memory, or the buffer given
        return std::vector<T>(got, got + scalars);
    }
};

struct Probe : qzCacheFileAccessor {
    using qzCacheFileAccessor::catmullRom;
};

}  // namespace

TEST(Interpolation, EachMethodBlendsOrStepsAndEveryOneButNoneHoldsTheEnds) {
    EXPECT_DOUBLE_EQ(Probe::catmullRom(9.0, 1.0, 2.0, 9.0, 1.0), 2.0);
    EXPECT_DOUBLE_EQ(Probe::catmullRom(0.0, 1.0, 2.0, 5.0, 0.5), 1.375);
    EXPECT_FLOAT_EQ(Probe::catmullRom(0.f, 1.f, 2.f, 5.f, 0.5f), 1.375f);

    // Samples 5, 1, 3 and 8 at 0, 250, 500 and 750.
    using C = qzCacheChannel;
    constexpr double no = -99.0;  // no answer
    const struct {
        C::qzCacheInterpolation method;
        int time;
        double value;
    } cases[] = {{C::kStepPrevious, 375, 1.0}, {C::kStepNext, 375, 3.0}, {C::kLinear, 375, 2.0},
                 {C::kNoInterpolation, 375, no}, {C::kCatmullRom, 375, Probe::catmullRom(5.0, 1.0, 3.0, 8.0, 0.5)},
                 // First interval: P1 stands in for P0; last interval: P2 for P3.
                 {C::kCatmullRom, 125, Probe::catmullRom(5.0, 5.0, 1.0, 3.0, 0.5)},
                 {C::kCatmullRom, 700, Probe::catmullRom(1.0, 3.0, 8.0, 8.0, 0.8)},
                 {C::kStepPrevious, -1000, 5.0}, {C::kStepNext, -1000, 5.0}, {C::kLinear, -1000, 5.0},
                 {C::kNoInterpolation, -1000, no}, {C::kStepPrevious, 9000, 8.0}, {C::kStepNext, 9000, 8.0},
                 {C::kLinear, 9000, 8.0}, {C::kNoInterpolation, 9000, no}, {C::kNoInterpolation, 500, 3.0},
                 {C::kCatmullRom, 500, 3.0}};
    for (const auto& c : cases) {
        MemoryCache m(qzCacheData::kDoubleArray, c.method);
        m.add<double>(250, 1, {{5.0}, {1.0}, {3.0}, {8.0}});
        EXPECT_EQ(m.get<double>(c.time, 1, 1), c.value == no ? std::vector<double>() : std::vector<double>{c.value})
            << c.method << " at " << c.time;
    }

    MemoryCache d(qzCacheData::kDoubleArray, qzCacheChannel::kLinear);
    d.add<double>(250, 3, {{0.0, 10.0, 99.0}, {10.0, 20.0, 99.0}});
    EXPECT_EQ(d.get<double>(100, 3, 3), (std::vector<double>{4.0, 14.0, 99.0}));
    // Longer neighbours give their first elements; shorter ones none.
    EXPECT_EQ(d.get<double>(125, 2, 2), (std::vector<double>{5.0, 15.0}));
    EXPECT_TRUE(d.get<double>(125, 4, 4).empty());
    EXPECT_TRUE(d.accessor->isChannelSamplingRegular(0));
    // No neighbour once the setters moved the range past the samples, nor without a grid.
    d.accessor->setChannelEndTime(0, 500);
    EXPECT_TRUE(d.get<double>(375, 3, 3).empty());
    d.accessor->setChannelEndTime(0, 250);
    d.accessor->setChannelSamplingRate(0, 0);
    EXPECT_TRUE(d.get<double>(100, 3, 3).empty());
    EXPECT_EQ(d.get<double>(0, 3, 3), (std::vector<double>{0.0, 10.0, 99.0}));
    MemoryCache i(qzCacheData::kInt32Array, qzCacheChannel::kLinear);
    i.add<int>(10, 2, {{0, 0}, {3, -3}});
    EXPECT_EQ(i.get<int>(5, 2, 2), (std::vector<int>{1, -1}));
    MemoryCache v(qzCacheData::kFloatVectorArray, qzCacheChannel::kLinear);
    v.add<float>(4, 1, {{0.f, 1.f, 2.f}, {4.f, 5.f, -2.f}});
    EXPECT_EQ(v.get<float>(1, 1, 3), (std::vector<float>{1.f, 2.f, 1.f}));
    MemoryCache si(qzCacheData::kInt32Array, qzCacheChannel::kCatmullRom);
    si.add<int>(10, 1, {{0}, {7}, {14}, {21}});
    EXPECT_EQ(si.get<int>(15, 1, 1), std::vector<int>{10});  // 10.5 truncated
}

TEST(Interpolation, MissingFramesFallBackToTheTimesOnDisk) {
    using qztest::readWeight;
    using qztest::weightAt;
    DiskCache disk(qztest::kPerFrame, "kcc", {0, 250, 500, 750});
    // A count that does not match never changes the record.
    qzCacheChannel::qzCacheInterpolation spline = qzCacheChannel::kCatmullRom;
    for (int time : {100, 250}) EXPECT_TRUE(std::isnan(readWeight(*disk.reader, time, 2)));
    disk.reader->setChannelInterpolation(2, spline);
    EXPECT_TRUE(std::isnan(readWeight(*disk.reader, 100, 2)));
    EXPECT_TRUE(disk.reader->isChannelSamplingRegular(2));
    spline = qzCacheChannel::kLinear;
    disk.reader->setChannelInterpolation(2, spline);
    // A missing grid time is blended from its grid neighbours. The reader lets go of the frame
    // file it read last once it reads another: wine still opens a removed file a handle holds.
    readWeight(*disk.reader, 750);
    ASSERT_TRUE(std::filesystem::remove(disk.frame(250)));
    EXPECT_DOUBLE_EQ(readWeight(*disk.reader, 250), (weightAt(0) + weightAt(500)) / 2);
    EXPECT_TRUE(disk.reader->isChannelSamplingRegular(2));
    // A missing neighbour turns the grid into the times on disk.
    EXPECT_DOUBLE_EQ(readWeight(*disk.reader, 100), weightAt(0) + 0.2 * (weightAt(500) - weightAt(0)));
    EXPECT_FALSE(disk.reader->isChannelSamplingRegular(2));
    EXPECT_EQ(disk.reader->getDataCount(2), 3u);
    // Irregular now: a further missing neighbour is no answer.
    readWeight(*disk.reader, 750);
    std::filesystem::remove(disk.frame(500));
    EXPECT_TRUE(std::isnan(readWeight(*disk.reader, 400)));
}
