// Interpolation between stored samples: the methods, clamping, and the fall-back to the times
// the data files really hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "recordingFileIO.h"
#include "testSupport.h"

using qztest::AccessorRef;
using qztest::CallLog;
using qztest::FakeDisk;
using qztest::RecordingFileIO;
using qztest::text;

namespace {

struct Probe : qzCacheFileAccessor {
    using qzCacheFileAccessor::catmullRom;
};

// A pure in-memory cache with one channel of one-element samples.
struct MemoryCache {
    AccessorRef accessor;
    unsigned int channel = 0;

    MemoryCache(qzCacheData::qzCacheDataType type, qzCacheChannel::qzCacheInterpolation method) {
        accessor->setMemoryCache(true);
        accessor->addChannel(text("c"), text(""), type, channel);
        accessor->setChannelInterpolation(channel, method);
    }
    template <typename T>
    void add(int time, std::vector<T> values, unsigned int count) {
        ASSERT_TRUE(accessor->addArrayData(channel, time, values.data(), count));
    }
    template <typename T>
    bool get(int time, std::vector<T>& out, unsigned int count) {
        void* data = out.data();
        unsigned int length = 0;
        const bool ok = accessor->getArrayDataAtTime(channel, time, count, data, length);
        if (ok && data != out.data()) {  // lent from memory: copy for the caller
            const T* lent = static_cast<const T*>(data);
            out.assign(lent, lent + out.size());
        }
        return ok && length == count;
    }
};

}  // namespace

TEST(CatmullRom, WorkedValues) {
    for (double v : {-3.5, 0.0, 7.25}) {
        for (double w : {0.0, 0.3, 0.5, 1.0}) {
            EXPECT_DOUBLE_EQ(Probe::catmullRom(v, v, v, v, w), v);
            const float f = static_cast<float>(v);
            EXPECT_FLOAT_EQ(Probe::catmullRom(f, f, f, f, static_cast<float>(w)), f);
        }
    }
    EXPECT_DOUBLE_EQ(Probe::catmullRom(0.0, 1.0, 2.0, 3.0, 0.5), 1.5);
    EXPECT_FLOAT_EQ(Probe::catmullRom(0.f, 1.f, 2.f, 3.f, 0.5f), 1.5f);
    EXPECT_DOUBLE_EQ(Probe::catmullRom(9.0, 1.0, 2.0, 9.0, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(Probe::catmullRom(9.0, 1.0, 2.0, 9.0, 1.0), 2.0);
    // 0.5 * (2 * .125 + (-2) * .25 + 2 * .5 + 2 * 1): c3 = 2, c2 = -2, c1 = 2
    EXPECT_DOUBLE_EQ(Probe::catmullRom(0.0, 1.0, 2.0, 5.0, 0.5), 1.375);
    EXPECT_FLOAT_EQ(Probe::catmullRom(0.f, 1.f, 2.f, 5.f, 0.5f), 1.375f);
}

TEST(Linear, WorkedValues) {
    MemoryCache d(qzCacheData::kDoubleArray, qzCacheChannel::kLinear);
    d.add<double>(0, {0.0}, 1);
    d.add<double>(250, {10.0}, 1);
    std::vector<double> out(1);
    ASSERT_TRUE(d.get(100, out, 1));
    EXPECT_DOUBLE_EQ(out[0], 4.0);

    MemoryCache i(qzCacheData::kInt32Array, qzCacheChannel::kLinear);
    i.add<int>(0, {0, 0}, 2);
    i.add<int>(10, {3, -3}, 2);
    std::vector<int> ints(2);
    ASSERT_TRUE(i.get(5, ints, 2));
    EXPECT_EQ(ints, (std::vector<int>{1, -1}));

    MemoryCache v(qzCacheData::kFloatVectorArray, qzCacheChannel::kLinear);
    v.add<float>(0, {0.f, 1.f, 2.f}, 1);
    v.add<float>(4, {4.f, 5.f, -2.f}, 1);
    std::vector<float> vec(3);
    ASSERT_TRUE(v.get(1, vec, 1));
    EXPECT_EQ(vec, (std::vector<float>{1.f, 2.f, 1.f}));
}

TEST(Spline, FourNeighboursAndTheEnds) {
    MemoryCache s(qzCacheData::kDoubleArray, qzCacheChannel::kCatmullRom);
    const std::vector<double> values = {5.0, 1.0, 3.0, 8.0};
    for (int k = 0; k < 4; ++k) s.add<double>(k * 250, {values[static_cast<std::size_t>(k)]}, 1);
    std::vector<double> out(1);
    ASSERT_TRUE(s.get(375, out, 1));
    EXPECT_DOUBLE_EQ(out[0], Probe::catmullRom(5.0, 1.0, 3.0, 8.0, 0.5));
    // First interval: P1 stands in for P0; last interval: P2 for P3.
    ASSERT_TRUE(s.get(125, out, 1));
    EXPECT_DOUBLE_EQ(out[0], Probe::catmullRom(5.0, 5.0, 1.0, 3.0, 0.5));
    ASSERT_TRUE(s.get(700, out, 1));
    EXPECT_DOUBLE_EQ(out[0], Probe::catmullRom(1.0, 3.0, 8.0, 8.0, 0.8));

    MemoryCache i(qzCacheData::kInt32Array, qzCacheChannel::kCatmullRom);
    for (int k = 0; k < 4; ++k) i.add<int>(k * 10, {k * 7}, 1);
    std::vector<int> ints(1);
    ASSERT_TRUE(i.get(15, ints, 1));
    EXPECT_EQ(ints[0], 10);  // 10.5 truncated
}

TEST(Clamping, EveryMethodButNoneAnswersWithTheEndSamples) {
    for (auto method : {qzCacheChannel::kStepPrevious, qzCacheChannel::kStepNext,
                        qzCacheChannel::kLinear, qzCacheChannel::kCatmullRom,
                        qzCacheChannel::kNoInterpolation}) {
        MemoryCache c(qzCacheData::kFloatArray, method);
        c.add<float>(250, {1.f}, 1);
        c.add<float>(500, {2.f}, 1);
        c.add<float>(750, {4.f}, 1);
        std::vector<float> out(1, 0.f);
        const bool interpolates = method != qzCacheChannel::kNoInterpolation;
        EXPECT_EQ(c.get(-1000, out, 1), interpolates);
        if (interpolates) {
            EXPECT_EQ(out[0], 1.f);
        }
        EXPECT_EQ(c.get(9000, out, 1), interpolates);
        if (interpolates) {
            EXPECT_EQ(out[0], 4.f);
        }
        EXPECT_EQ(c.get(300, out, 1), interpolates);
        if (method == qzCacheChannel::kStepPrevious) {
            EXPECT_EQ(out[0], 1.f);
        }
        if (method == qzCacheChannel::kStepNext) {
            EXPECT_EQ(out[0], 2.f);
        }
        EXPECT_TRUE(c.get(500, out, 1));
        EXPECT_EQ(out[0], 2.f);
    }
}

TEST(Clamping, NoNeighbourAfterTheSettersMovedTheRange) {
    MemoryCache c(qzCacheData::kDoubleArray, qzCacheChannel::kLinear);
    for (int t : {0, 250, 500}) c.add<double>(t, {1.0 * t}, 1);
    std::vector<double> out(1);
    c.accessor->setChannelEndTime(c.channel, 600);
    EXPECT_FALSE(c.get(550, out, 1));  // no grid time after 500 up to 600
    c.accessor->setChannelEndTime(c.channel, 500);
    c.accessor->setChannelSamplingRate(c.channel, 0);
    EXPECT_FALSE(c.get(100, out, 1));  // no grid at all
    EXPECT_TRUE(c.get(0, out, 1));
}

TEST(Memory, LentNeighboursOfAnotherCount) {
    MemoryCache c(qzCacheData::kDoubleArray, qzCacheChannel::kLinear);
    c.add<double>(0, {0.0, 10.0, 99.0}, 3);
    c.add<double>(10, {10.0, 20.0, 99.0}, 3);
    std::vector<double> out(2);
    ASSERT_TRUE(c.get(5, out, 2));  // longer neighbours give their first elements
    EXPECT_EQ(out, (std::vector<double>{5.0, 15.0}));
    std::vector<double> four(4, -1.0);
    void* data = four.data();
    unsigned int length = 0;
    EXPECT_FALSE(c.accessor->getArrayDataAtTime(c.channel, 5, 4, data, length));
    EXPECT_EQ(four, std::vector<double>(4, -1.0));
    EXPECT_TRUE(c.accessor->isChannelSamplingRegular(c.channel));
}

namespace {

// A per-frame cache of one double channel, one value per frame, read through the fake.
struct FrameCache {
    qztest::TempDir dir;
    FakeDisk disk;
    CallLog log;
    AccessorRef accessor;
    unsigned int channel = 0;

    explicit FrameCache(const std::vector<int>& times) {
        accessor->setStorageLocation(text(dir.path()));
        accessor->setBaseFileName(text("f"));
        accessor->setDistribution(qzCacheFileAccessor::kOneFilePerFrame);
        accessor->addChannel(text("c"), text(""), qzCacheData::kDoubleArray, channel);
        auto* writer = new RecordingFileIO(qzCacheFileIO::kWrite, disk, log);
        writer->touchRealFiles = true;
        accessor->setFileAccessor(writer);
        for (int t : times) {
            double value = t / 10.0;
            accessor->beginWriteAtTime(t);
            accessor->addArrayData(channel, t, &value, 1);
            accessor->endWriteAtTime();
        }
        accessor->setFileAccessor(new RecordingFileIO(qzCacheFileIO::kRead, disk, log));
        delete writer;
    }
    void remove(int time) {
        const std::string path = accessor->constructDataFilePathForOneFilePerFrame(time).utf8();
        disk.erase(path);
        std::filesystem::remove(qztest::fsPath(path));
    }
    bool get(int time, double& value, unsigned int count = 1) {
        std::vector<double> out(count, -1.0);
        void* data = out.data();
        unsigned int length = 0;
        const bool ok = accessor->getArrayDataAtTime(channel, time, count, data, length);
        value = out[0];
        return ok;
    }
};

}  // namespace

TEST(Fallback, MissingFrameTurnsTheGridIrregularAndBlendsTheRealNeighbours) {
    FrameCache c({0, 250, 500, 750});
    c.remove(500);
    double value = 0.0;
    ASSERT_TRUE(c.get(600, value));
    EXPECT_DOUBLE_EQ(value, 25.0 + 0.7 * 50.0);
    EXPECT_FALSE(c.accessor->isChannelSamplingRegular(c.channel));
    EXPECT_EQ(c.accessor->getDataCount(c.channel), 3u);
    // Irregular now: a further missing neighbour is no answer.
    c.remove(750);
    EXPECT_FALSE(c.get(600, value));
}

TEST(Fallback, MissingGridTimeIsBlendedFromItsGridNeighbours) {
    FrameCache c({0, 250, 500});
    c.remove(250);
    double value = 0.0;
    ASSERT_TRUE(c.get(250, value));
    EXPECT_DOUBLE_EQ(value, 25.0);
    EXPECT_TRUE(c.accessor->isChannelSamplingRegular(c.channel));
}

TEST(Fallback, CountMismatchNeverChangesTheRecord) {
    FrameCache c({0, 250, 500});
    double value = 0.0;
    EXPECT_FALSE(c.get(100, value, 2));
    EXPECT_FALSE(c.get(250, value, 2));
    EXPECT_TRUE(c.accessor->isChannelSamplingRegular(c.channel));
    qzCacheChannel::qzCacheInterpolation spline = qzCacheChannel::kCatmullRom;
    c.accessor->setChannelInterpolation(c.channel, spline);
    EXPECT_FALSE(c.get(100, value, 2));
    EXPECT_TRUE(c.accessor->isChannelSamplingRegular(c.channel));
    ASSERT_TRUE(c.get(100, value, 1));
    EXPECT_GT(value, 0.0);
}
