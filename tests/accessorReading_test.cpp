// Reading samples and time lookup through the accessor, against a recording in-memory fake
// of the data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "qzCacheFileIffIO.h"

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
        std::filesystem::remove(qztest::fsPath(frame(name)));
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
    for (auto distribution :
         {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
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
    qztest::writeFileBytes(s.dir.file("otherFrame1.kc"), {});
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

// --- Round trips through the IFF data files ------------------------------------------------

namespace {

// Bit patterns that a lossy path would change: signed zero, a denormal, extremes, a NaN.
std::vector<double> doublePattern(int time, std::size_t scalars) {
    std::vector<double> values(scalars);
    const double unusual[] = {-0.0, 4.9e-324, 1.7976931348623157e308, -1e-300,
                              std::numeric_limits<double>::quiet_NaN()};
    for (std::size_t i = 0; i < scalars; ++i) {
        values[i] = i % 3 == 0 ? unusual[(i / 3) % 5] : time + 0.1 * static_cast<double>(i);
    }
    return values;
}

std::vector<unsigned char> pattern(qzCacheData::qzCacheDataType type, int time,
                                   unsigned int count) {
    const std::size_t scalars = count * qzCacheData::scalarsPerElement(type);
    std::vector<unsigned char> bytes(count * qzCacheData::elementSize(type));
    if (type == qzCacheData::kDoubleArray || type == qzCacheData::kDoubleVectorArray) {
        const std::vector<double> d = doublePattern(time, scalars);
        std::memcpy(bytes.data(), d.data(), bytes.size());
    } else if (type == qzCacheData::kInt32Array) {
        for (std::size_t i = 0; i < scalars; ++i) {
            const int low = std::numeric_limits<int>::min() + (time & 0xffff);
            const int v = i % 2 ? -time - static_cast<int>(i) : low;
            std::memcpy(bytes.data() + 4 * i, &v, 4);
        }
    } else {
        const std::vector<double> d = doublePattern(time, scalars);
        for (std::size_t i = 0; i < scalars; ++i) {
            const float v = static_cast<float>(i % 3 == 0 ? -0.0 : d[i]);
            std::memcpy(bytes.data() + 4 * i, &v, 4);
        }
    }
    return bytes;
}

const qzCacheData::qzCacheDataType kArrayTypes[] = {
    qzCacheData::kDoubleArray, qzCacheData::kDoubleVectorArray, qzCacheData::kInt32Array,
    qzCacheData::kFloatArray, qzCacheData::kFloatVectorArray};

// A cache on disk with one channel per array type, written through the IFF writer.
struct DiskCache {
    qztest::TempDir dir;
    std::string format;
    qzCacheFileAccessor::qzCacheFileDistribution distribution;

    DiskCache(const std::string& cacheFormat, qzCacheFileAccessor::qzCacheFileDistribution d)
        : format(cacheFormat), distribution(d) {}

    void setUp(qzCacheFileAccessor& accessor) const {
        accessor.setStorageLocation(text(dir.path()));
        accessor.setBaseFileName(text("cache"));
        accessor.setCacheFormat(text(format));
        accessor.setDistribution(distribution);
    }
    void addChannels(qzCacheFileAccessor& accessor) const {
        for (auto type : kArrayTypes) {
            unsigned int index = 0;
            accessor.addChannel(text("c" + std::to_string(type)), text(""), type, index);
        }
    }
    // The locations, the channels and a writer.
    void startWriting(qzCacheFileAccessor& accessor) const {
        setUp(accessor);
        addChannels(accessor);
        installWriter(accessor);
    }
    // Installs a writer (one-file: opened, header written).
    void installWriter(qzCacheFileAccessor& accessor) const {
        auto* writer = new qzCacheFileIffIO(qzCacheFileIO::kWrite, text(format));
        accessor.setFileAccessor(writer);
        if (distribution == qzCacheFileAccessor::kOneFile) {
            ASSERT_TRUE(writer->open(accessor.constructDataFilePathForOneFile()));
            ASSERT_TRUE(writer->writeHeader(text("0.1"), 0, 1));
        }
    }
    void installReader(qzCacheFileAccessor& accessor) const {
        qzCacheFileIO* old = accessor.fileAccessor();
        auto* reader = new qzCacheFileIffIO(qzCacheFileIO::kRead, text(format));
        accessor.setFileAccessor(reader);
        delete old;
        if (distribution == qzCacheFileAccessor::kOneFile) {
            ASSERT_TRUE(reader->open(accessor.constructDataFilePathForOneFile()));
        }
    }
    static void writeTime(qzCacheFileAccessor& accessor, int time, unsigned int count) {
        accessor.beginWriteAtTime(time);
        for (unsigned int channel = 0; channel < 5; ++channel) {
            std::vector<unsigned char> bytes = pattern(kArrayTypes[channel], time, count);
            EXPECT_TRUE(accessor.addArrayData(channel, time, bytes.data(), count));
        }
        accessor.endWriteAtTime();
    }
    static void expectTime(qzCacheFileAccessor& accessor, int time, unsigned int count) {
        for (unsigned int channel = 0; channel < 5; ++channel) {
            const std::vector<unsigned char> expected = pattern(kArrayTypes[channel], time, count);
            std::vector<unsigned char> got(expected.size() + 1, 0xEE);
            void* data = got.data();
            unsigned int length = 0;
            ASSERT_TRUE(accessor.getArrayDataAtTime(channel, time, count, data, length))
                << "channel " << channel << " time " << time;
            ASSERT_EQ(length, count);
            ASSERT_EQ(std::memcmp(data, expected.data(), expected.size()), 0)
                << "channel " << channel << " time " << time;
        }
    }
};

}  // namespace

TEST(RoundTrip, EveryArrayTypeBitForBitInEveryLayout) {
    for (const char* format : {"kcc", "kcx"}) {
        for (auto distribution :
             {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
            SCOPED_TRACE(std::string(format) + " distribution " + std::to_string(distribution));
            DiskCache disk(format, distribution);
            AccessorRef writer;
            disk.startWriting(*writer);
            for (int t : {-250, 0, 250, 500, 510}) DiskCache::writeTime(*writer, t, 7);
            disk.installReader(*writer);
            for (int t : {510, -250, 250, 0, 500}) DiskCache::expectTime(*writer, t, 7);

            // A cache that knows only its channels learns the times from the files.
            AccessorRef reader;
            disk.setUp(*reader);
            disk.addChannels(*reader);
            disk.installReader(*reader);
            for (unsigned int channel = 0; channel < 5; ++channel) {
                // The range a description gives; the directory listing keeps times inside it.
                reader->setChannelStartTime(channel, -250);
                reader->setChannelEndTime(channel, 510);
                reader->setChannelSamplingType(channel, qzCacheChannel::kIrregular);
                EXPECT_EQ(reader->getDataCount(channel), 5u);
            }
            for (int t : {0, 510, 250, -250, 500}) DiskCache::expectTime(*reader, t, 7);
        }
    }
}

TEST(RoundTrip, DescribedCacheReadsBackInEveryLayout) {
    for (const char* format : {"kcc", "kcx"}) {
        for (auto distribution :
             {qzCacheFileAccessor::kOneFile, qzCacheFileAccessor::kOneFilePerFrame}) {
            SCOPED_TRACE(std::string(format) + " distribution " + std::to_string(distribution));
            DiskCache disk(format, distribution);
            {
                AccessorRef writer;
                disk.startWriting(*writer);
                for (int t : {-250, 0, 250, 500, 510}) DiskCache::writeTime(*writer, t, 7);
                ASSERT_TRUE(writer->endFileWrite());
            }
            AccessorRef reader;
            ASSERT_TRUE(reader->readDescriptionFile(text("cache"), text(disk.dir.path())));
            disk.installReader(*reader);
            ASSERT_EQ(reader->numChannels(), 5u);
            for (int t : {510, -250, 250, 0, 500}) DiskCache::expectTime(*reader, t, 7);
            // The description states the record the writes left: the grid broke at 510.
            EXPECT_FALSE(reader->isChannelSamplingRegular(0));
            EXPECT_EQ(reader->getDataCount(0), 5u);
            int start = 0;
            int end = 0;
            reader->getChannelStartTime(4, start);
            reader->getChannelEndTime(4, end);
            EXPECT_EQ(start, -250);
            EXPECT_EQ(end, 510);
        }
    }
}

TEST(RoundTrip, RegularWritesAreDescribedWithTheirRate) {
    DiskCache disk("kcc", qzCacheFileAccessor::kOneFilePerFrame);
    {
        AccessorRef writer;
        disk.startWriting(*writer);
        for (int t : {0, 125, 250}) DiskCache::writeTime(*writer, t, 2);
        ASSERT_TRUE(writer->endFileWrite());
    }
    AccessorRef reader;
    ASSERT_TRUE(reader->readDescriptionFile(text("cache"), text(disk.dir.path())));
    disk.installReader(*reader);
    int rate = 0;
    EXPECT_TRUE(reader->channelSamplingRate(2, rate));
    EXPECT_EQ(rate, 125);
    EXPECT_EQ(reader->getDataFileCount(), 4);
    DiskCache::expectTime(*reader, 125, 2);
}

// The channels of one time are read one request after another from the frame file the first
// opened; a file replaced or rewritten between two of them is read afresh.
TEST(RoundTrip, FrameFileReplacedBetweenTwoRequestsIsReadAfresh) {
    DiskCache disk("kcc", qzCacheFileAccessor::kOneFilePerFrame);
    AccessorRef cache;
    disk.startWriting(*cache);
    for (int t : {0, 250, 500}) DiskCache::writeTime(*cache, t, 7);
    DiskCache::writeTime(*cache, 750, 9);
    disk.installReader(*cache);
    const auto frame = [&](int time) {
        return qztest::fsPath(cache->constructDataFilePathForOneFilePerFrame(time).asUTF8());
    };
    // Channel `channel` at 250 holds what was written at `written` with `count` elements.
    const auto holds = [&](unsigned int channel, int written, unsigned int count) {
        const std::vector<unsigned char> expected = pattern(kArrayTypes[channel], written, count);
        std::vector<unsigned char> got(expected.size(), 0xEE);
        void* data = got.data();
        unsigned int length = 0;
        return cache->getArrayDataAtTime(channel, 250, count, data, length) && length == count &&
               got == expected;
    };
    struct Replacement {
        const char* what;
        int source;  // the time whose frame file takes the place of 250's
        unsigned int count;
        bool rename;
    };
    const Replacement replacements[] = {{"the same length, renamed over it", 500, 7, true},
                                        {"another length, copied over it", 750, 9, false}};
    int written = 250;
    unsigned int count = 7;
    for (const Replacement& replacement : replacements) {
        SCOPED_TRACE(replacement.what);
        EXPECT_TRUE(holds(0, written, count));
        EXPECT_TRUE(holds(1, written, count));
        if (replacement.rename) {
            std::filesystem::rename(frame(replacement.source), frame(250));
        } else {
            std::filesystem::copy_file(frame(replacement.source), frame(250),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        written = replacement.source;
        count = replacement.count;
        EXPECT_TRUE(holds(2, written, count));
        EXPECT_TRUE(holds(0, written, count));
    }
}

TEST(RoundTrip, DirectCountMismatchAndMemoryLending) {
    DiskCache disk("kcx", qzCacheFileAccessor::kOneFile);
    AccessorRef accessor;
    disk.startWriting(*accessor);
    accessor->setMemoryCache(true);
    DiskCache::writeTime(*accessor, 0, 4);
    DiskCache::writeTime(*accessor, 250, 4);
    // Memory mode lends the channel's own copy.
    void* lent = nullptr;
    unsigned int length = 0;
    ASSERT_TRUE(accessor->getArrayDataAtTime(2, 250, 0, lent, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::memcmp(lent, pattern(kArrayTypes[2], 250, 4).data(), 16), 0);
    accessor->setMemoryCache(false);
    disk.installReader(*accessor);
    std::vector<int> buffer(3, 42);
    void* data = buffer.data();
    EXPECT_FALSE(accessor->getArrayDataAtTime(2, 250, 3, data, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(buffer, std::vector<int>(3, 42));
    EXPECT_FALSE(accessor->getArrayDataAtTime(2, 100, 3, data, length));
    EXPECT_EQ(buffer, std::vector<int>(3, 42));
    DiskCache::expectTime(*accessor, 0, 4);
}

TEST(RoundTrip, TwoThousandTimesInAnyOrder) {
    DiskCache disk("kcc", qzCacheFileAccessor::kOneFile);
    AccessorRef accessor;
    disk.setUp(*accessor);
    unsigned int channel = 0;
    accessor->addChannel(text("v"), text(""), qzCacheData::kInt32Array, channel);
    disk.installWriter(*accessor);
    for (int t = 0; t < 2000; ++t) {
        std::vector<int> values = {t, -t, t * 3};
        accessor->beginWriteAtTime(t * 10);
        ASSERT_TRUE(accessor->addArrayData(channel, t * 10, values.data(), 3));
        accessor->endWriteAtTime();
    }
    disk.installReader(*accessor);
    std::vector<int> order(2000);
    std::iota(order.begin(), order.end(), 0);
    std::vector<int> backwards(order.rbegin(), order.rend());
    std::vector<int> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
    for (const std::vector<int>* sequence : {&order, &backwards, &shuffled}) {
        for (int t : *sequence) {
            std::vector<int> values(3, 0);
            void* data = values.data();
            unsigned int length = 0;
            ASSERT_TRUE(accessor->getArrayDataAtTime(channel, t * 10, 3, data, length)) << t;
            ASSERT_EQ(values, (std::vector<int>{t, -t, t * 3})) << t;
        }
    }
}

TEST(RoundTrip, InterpolatedReadsOnTwoThreadsEachGetTheirOwnBlend) {
    // Interpolated requests borrow the accessor's kept blocks for their neighbours; requests
    // on two threads at once must never blend each other's samples.
    DiskCache disk("kcc", qzCacheFileAccessor::kOneFile);
    AccessorRef accessor;
    disk.setUp(*accessor);
    unsigned int channel = 0;
    accessor->addChannel(text("f"), text(""), qzCacheData::kFloatArray, channel);
    disk.installWriter(*accessor);
    const unsigned int count = 20000;
    for (int t = 0; t <= 200; t += 10) {
        std::vector<float> values(count);
        for (unsigned int i = 0; i < count; ++i) values[i] = float(t) + float(i % 64);
        accessor->beginWriteAtTime(t);
        ASSERT_TRUE(accessor->addArrayData(channel, t, values.data(), count));
        accessor->endWriteAtTime();
    }
    disk.installReader(*accessor);
    qzCacheChannel::qzCacheInterpolation linear = qzCacheChannel::kLinear;
    ASSERT_TRUE(accessor->setChannelInterpolation(channel, linear));
    std::atomic<int> wrong{0};
    auto reader = [&](int first) {
        std::vector<float> got(count);
        for (int round = 0; round < 200; ++round) {
            const int t = first + 10 * (round % 19);
            void* data = got.data();
            unsigned int length = 0;
            if (!accessor->getArrayDataAtTime(channel, t, count, data, length) || length != count) {
                ++wrong;
                continue;
            }
            for (unsigned int i = 0; i < count; ++i) {
                if (got[i] != float(t) + float(i % 64)) {
                    ++wrong;
                    break;
                }
            }
        }
    };
    std::thread a(reader, 5);
    std::thread b(reader, 15);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ReadBesideWriter, OneFileCacheBeingWrittenStaysIntact) {
    DiskCache disk("kcc", qzCacheFileAccessor::kOneFile);
    AccessorRef accessor;
    disk.startWriting(*accessor);
    DiskCache::writeTime(*accessor, 0, 3);
    DiskCache::writeTime(*accessor, 250, 3);
    // Reads, lengths, existence and a scan while the writer is installed.
    DiskCache::expectTime(*accessor, 250, 3);
    unsigned int length = 0;
    EXPECT_TRUE(accessor->getArrayLengthAtTime(1, 0, length));
    EXPECT_EQ(length, 3u);
    EXPECT_TRUE(accessor->hasDataAtTime(3, 0));
    accessor->setChannelSamplingType(4, qzCacheChannel::kIrregular);
    EXPECT_EQ(accessor->getDataCount(4), 2u);
    DiskCache::writeTime(*accessor, 500, 3);
    disk.installReader(*accessor);
    for (int t : {0, 250, 500}) DiskCache::expectTime(*accessor, t, 3);
}

TEST(ReadBesideWriter, ReOpenLeavesEveryFrameFileUnchanged) {
    DiskCache disk("kcx", qzCacheFileAccessor::kOneFilePerFrame);
    {
        AccessorRef writer;
        disk.startWriting(*writer);
        for (int t : {0, 250, 300}) DiskCache::writeTime(*writer, t, 2);
    }
    std::map<std::string, std::vector<std::uint8_t>> before;
    for (const auto& entry : std::filesystem::directory_iterator(qztest::fsPath(disk.dir.path()))) {
        before[entry.path().u8string()] = qztest::readFileBytes(entry.path().u8string());
    }
    ASSERT_EQ(before.size(), 3u);
    // As a description of irregular channels leaves them: times unknown until scanned.
    AccessorRef accessor;
    disk.setUp(*accessor);
    disk.addChannels(*accessor);
    for (unsigned int channel = 0; channel < 5; ++channel) {
        accessor->setChannelEndTime(channel, 300);
        accessor->setChannelSamplingType(channel, qzCacheChannel::kIrregular);
    }
    ASSERT_TRUE(
        accessor->reOpenForWrite(new qzCacheFileIffIO(qzCacheFileIO::kWrite, text("kcx"))));
    EXPECT_EQ(accessor->getDataCount(0), 3u);
    EXPECT_EQ(accessor->getDataCount(4), 3u);
    unsigned int length = 0;
    EXPECT_TRUE(accessor->getArrayLengthAtTime(0, 300, length));
    EXPECT_EQ(length, 2u);
    EXPECT_TRUE(accessor->hasDataAtTime(1, 250));
    DiskCache::expectTime(*accessor, 250, 2);
    EXPECT_EQ(accessor->getDataFileCount(), 4);
    for (const auto& [path, bytes] : before) {
        EXPECT_EQ(qztest::readFileBytes(path), bytes) << path;
    }
    // Writing on adds a frame beside the others.
    DiskCache::writeTime(*accessor, 400, 2);
    disk.installReader(*accessor);
    for (int t : {0, 250, 300, 400}) DiskCache::expectTime(*accessor, t, 2);
    for (const auto& [path, bytes] : before) {
        EXPECT_EQ(qztest::readFileBytes(path), bytes) << path;
    }
}
