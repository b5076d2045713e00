// Converting a cache channel to a PC2 or MDD file and such a file to a cache. The rules both
// formats share run over both; each format's own timing follows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "qzCacheFileInterface.h"
#include "pointFileBytes.h"
#include "testCache.h"
#include "testSupport.h"

namespace {

using namespace qztest;
constexpr double kFps = 24.0;  // of the MDD files of the shared tests
const float kInfinity = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<int> regularTimes(int first, int last, int step) {
    std::vector<int> times;
    for (int t = first; t <= last; t += step) times.push_back(t);
    return times;
}

// The times and samples of channel 0 of a cache, read at its stored times.
struct Stored {
    std::vector<int> times;
    std::vector<std::vector<double>> samples;
};

Stored readBack(const std::string& dir, const char* base, unsigned int points) {
    Stored stored;
    qzCacheFileInterface cache;
    EXPECT_TRUE(cache.initFileRead(base, dir.c_str()));
    for (unsigned int k = 0; k < cache.getDataCount(0); ++k) {
        int time = 0;
        std::vector<double> sample(points * 3, 0.0);
        void* data = sample.data();
        unsigned int length = points;
        EXPECT_TRUE(cache.getDataTime(0, k, time) && cache.getArrayDataAtTime(0, time, data, length)) << k;
        stored.times.push_back(time);
        stored.samples.push_back(sample);
    }
    return stored;
}

// One cache of the channels a conversion meets: float and double vectors, floats and doubles in
// triples, ints, floats not in triples.
TestCache pointCache(const std::string& location) {
    TestCache cache{location};
    cache.channels = {{"points", qzCacheData::kFloatVectorArray, 4}, {"vectors", qzCacheData::kDoubleVectorArray, 4},
                      {"floats", qzCacheData::kFloatArray, 6},        {"weights", qzCacheData::kDoubleArray, 6},
                      {"ids", qzCacheData::kInt32Array, 6},           {"odd", qzCacheData::kFloatArray, 4}};
    cache.times = regularTimes(250, 2500, 250);
    return cache;
}

// Run over both formats: false for PC2, true for MDD.
class PointConversion : public ::testing::TestWithParam<bool> {
protected:
    bool mdd() const { return GetParam(); }
    std::string file(const std::string& stem) const { return dir.file(stem + (mdd() ? ".mdd" : ".pc2")); }
    std::size_t header(int frames) const { return mdd() ? 8 + 4 * std::size_t(frames) : 32; }
    bool to(const std::string& out, const char* base, unsigned int channel, int step) const {
        const char* at = dir.path().c_str();
        return mdd() ? qzCacheFileInterface::convertToMdd(out.c_str(), at, base, channel, step, kFps)
                     : qzCacheFileInterface::convertToPc2(out.c_str(), at, base, channel, step);
    }
    bool from(const std::string& in, const std::string& at, const char* base, Layout layout = kPerFrame,
              const char* format = "kcc", int ticks = 250) const {
        return mdd() ? qzCacheFileInterface::convertFromMdd(in.c_str(), at.c_str(), base, layout, format, ticks, kFps)
                     : qzCacheFileInterface::convertFromPc2(in.c_str(), at.c_str(), base, layout, format, ticks);
    }
    // A file of `points` points, `frames` frames one frame apart from frame `first`.
    Bytes make(std::int32_t points, float first, std::int32_t frames, const std::vector<float>& values) const {
        if (!mdd()) return makePc2(points, first, 1.0f, frames, values);
        std::vector<float> seconds;
        for (int k = 0; k < frames; ++k) seconds.push_back(float((first + k) / kFps));
        return makeMdd(points, seconds, values);
    }
    // The time of frame k of a file, in ticks at 250 per frame.
    int ticks(const Bytes& bytes, int k) const {
        if (mdd()) return int(std::lround(load32<float>(bytes, 8 + 4 * std::size_t(k), true) * kFps * 250));
        return int(std::lround((double(load32<float>(bytes, 20, false)) + k * double(load32<float>(bytes, 24, false))) * 250));
    }
    TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Formats, PointConversion, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Mdd" : "Pc2"; });

}  // namespace


// The file's bytes are the float vectors' floats in the format's byte order; double vectors
// are rounded to the nearest float; floats in triples go as points. Back in a cache the floats
// are the same, in a channel named after the file (not after a dot in its directory).
TEST_P(PointConversion, ChannelsRoundTripBitForBit) {
    const TestCache cache = pointCache(dir.path());
    writeTestCache(cache);
    std::filesystem::create_directory(fsPath(dir.file("take.v2")));
    const std::string out = dir.file(std::string("take.v2/wave") + (mdd() ? ".mdd" : ".pc2"));
    Bytes points;  // the last channel's floats as the file holds them
    for (unsigned int channel : {2u, 1u, 0u}) {
        const TestChannel& c = cache.channels[channel];
        const unsigned int scalars = c.elements * qzCacheData::scalarsPerElement(c.type);
        ASSERT_TRUE(to(out, "shot", channel, 0)) << channel;
        const Bytes bytes = readFileBytes(out);
        ASSERT_EQ(bytes.size(), header(10) + 10u * scalars * 4) << channel;
        EXPECT_EQ(load32<std::int32_t>(bytes, mdd() ? 4 : 16, mdd()), int(scalars / 3));  // points
        EXPECT_EQ(load32<std::int32_t>(bytes, mdd() ? 0 : 28, mdd()), 10);               // frames
        points.clear();
        for (int k = 0; k < 10; ++k) {
            EXPECT_EQ(ticks(bytes, k), cache.times[k]) << k;
            const std::vector<unsigned char> sample = sampleBytes(c, channel, cache.times[k]);
            for (unsigned int i = 0; i < scalars; ++i) {
                float value = 0;
                if (c.type == qzCacheData::kDoubleVectorArray) {
                    double wide = 0;
                    std::memcpy(&wide, sample.data() + 8 * i, 8);
                    value = static_cast<float>(wide);
                } else {
                    std::memcpy(&value, sample.data() + 4 * i, 4);
                }
                append32(points, value, mdd());
            }
        }
        EXPECT_TRUE(std::equal(points.begin(), points.end(), bytes.begin() + header(10))) << channel;
    }

    TempDir back;
    ASSERT_TRUE(from(out, back.path(), "back"));
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("back", back.path().c_str()));
    unsigned int index = 9;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    EXPECT_TRUE(reader.numChannels() == 1 && reader.hasChannelByName("wave", index) && index == 0);
    EXPECT_TRUE(reader.channelDataType(0, type) && type == qzCacheData::kDoubleVectorArray);
    char* interpretation = nullptr;
    ASSERT_TRUE(reader.channelInterpretation(0, &interpretation));
    EXPECT_STREQ(interpretation, "Points");
    std::free(interpretation);
    const Stored stored = readBack(back.path(), "back", 4);
    EXPECT_EQ(stored.times, cache.times);
    Bytes again;
    for (const std::vector<double>& sample : stored.samples) {
        for (double value : sample) append32(again, static_cast<float>(value), mdd());
    }
    EXPECT_EQ(again, points);
}

// An irregular channel goes out at a step, each sample as the cache reads at its time.
TEST_P(PointConversion, IrregularChannelIsResampledAtTheStep) {
    writeTestCache({dir.path(), "shot", kOneFile, "kcc", 250, {{"points", qzCacheData::kFloatVectorArray, 1}}, {0, 100, 400}});
    const std::string out = file("i");
    EXPECT_FALSE(to(out, "shot", 0, 0));  // an irregular channel has no step of its own
    EXPECT_FALSE(to(out, "shot", 0, -150));
    ASSERT_TRUE(to(out, "shot", 0, 150));
    const Bytes bytes = readFileBytes(out);
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("shot", dir.path().c_str()));
    Bytes expected;  // at 0, 150 and 300; 450 lies past the end
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(ticks(bytes, k), 150 * k) << k;
        float xyz[3];
        void* data = xyz;
        unsigned int length = 1;
        ASSERT_TRUE(reader.getArrayDataAtTime(0, 150 * k, data, length));
        for (float value : xyz) append32(expected, value, mdd());
    }
    ASSERT_EQ(bytes.size(), header(3) + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + header(3)));
}

// Channels that hold no points, an index past the end, floats not in triples, a missing cache,
// no frame length: refused, the output (opened first) left empty. Conversions into a cache with
// bad arguments write nothing.
TEST_P(PointConversion, UnsuitableChannelsAndArgumentsAreRefused) {
    writeTestCache(pointCache(dir.path()));
    TestCache zero = pointCache(dir.path());
    zero.name = "zero";
    zero.ticksPerFrame = 0;
    writeTestCache(zero);
    const std::string out = file("x");
    const std::pair<const char*, unsigned int> refused[] = {{"shot", 3}, {"shot", 4}, {"shot", 5},
                                                            {"shot", 6}, {"none", 0}, {"zero", 0}};
    for (const auto& c : refused) {
        writeFileBytes(out, {1, 2, 3});
        EXPECT_FALSE(to(out, c.first, c.second, 250)) << c.first << c.second;
        EXPECT_TRUE(fileExists(out) && readFileBytes(out).empty()) << c.first << c.second;
    }
    EXPECT_FALSE(to(dir.file("no/such/dir/x.pc2"), "shot", 0, 250));
    EXPECT_FALSE(to(out, nullptr, 0, 250));

    TempDir empty;
    writeFileBytes(out, make(1, 0.0f, 1, {1, 2, 3}));
    EXPECT_FALSE(from(dir.file("missing"), empty.path(), "c"));
    EXPECT_FALSE(from(out, empty.path(), nullptr));
    EXPECT_FALSE(from(out, empty.path(), "c", kPerFrame, nullptr));
    for (int ticks : {0, -250}) EXPECT_FALSE(from(out, empty.path(), "c", kOneFile, "kcc", ticks));
    for (int layout : {2, -1}) EXPECT_FALSE(from(out, empty.path(), "c", static_cast<Layout>(layout)));
    EXPECT_TRUE(std::filesystem::is_empty(fsPath(empty.path())));
}

// A sample that does not read (its array's tag damaged) fails the conversion rather than going
// out as whatever the buffer held.
TEST_P(PointConversion, ASampleThatDoesNotReadFailsTheConversion) {
    writeTestCache({dir.path(), "shot", kPerFrame, "kcc", 250, {{"points", qzCacheData::kFloatVectorArray, 2}},
                    regularTimes(250, 1250, 250)});
    const std::string frame = dir.file("shotFrame3.kc");
    Bytes bytes = readFileBytes(frame);
    const char* tag = "FVCA";
    *std::search(bytes.begin(), bytes.end(), tag, tag + 4) ^= 1;
    writeFileBytes(frame, bytes);
    EXPECT_FALSE(to(file("x"), "shot", 0, 0));
}

// A file cut short keeps the frames it holds: they are converted and described, and the
// conversion reports false. Files that cannot back their header, and times no cache can hold,
// are refused before anything is written.
TEST_P(PointConversion, CutShortFilesKeepTheirFramesAndHostileOnesWriteNothing) {
    struct Case {
        const char* what;
        Bytes bytes;
        unsigned int salvaged;  // frames of one point each converted; 0: refused, nothing written
    };
    std::vector<float> values(17);  // five frames of one point and two thirds of a sixth
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5f * float(i) - 2.0f;
    std::vector<Case> cases = {
        {"last frame cut short", make(1, 1.0f, 6, values), 5},
        {"no whole frame", make(2, 1.0f, 3, {values[0], values[1], values[2]}), 0},
        {"huge point count", make(0x7fffffff, 1.0f, 1, {1, 2, 3}), 0},
        {"times beyond the tick range", make(1, 1e10f, 1, {1, 2, 3}), 0},
        {"infinite time", make(1, kInfinity, 1, {1, 2, 3}), 0},
    };
    const std::vector<float> two = {1, 2, 3, 4, 5, 6};
    if (mdd()) {
        cases.insert(cases.end(), {
            {"times not in order", makeMdd(1, {2 / 24.0f, 1 / 24.0f}, two), 0},
            {"a time repeated", makeMdd(1, {1 / 24.0f, 1 / 24.0f}, two), 0},
            // Distinct seconds, one tick once rounded at 250 ticks per frame and 24 fps.
            {"two frames on one tick", makeMdd(1, {1.0f, 1.0f + 1e-5f}, two), 0},
            {"a time not a number", makeMdd(1, {0.0f, kNaN}, two), 0},
            // A bad time beyond the frames held does not matter.
            {"bad time of a missing frame", makeMdd(1, {0.0f, 1 / 24.0f, kNaN}, {values.begin(), values.begin() + 6}), 2},
        });
    } else {
        cases.insert(cases.end(), {
            {"header claims far more samples", makePc2(1, 1.0f, 1.0f, 0x7fffffff, {values[0], values[1], values[2]}), 1},
            {"both huge", makePc2(0x40000000, 1.0f, 1.0f, 0x40000000, {1, 2, 3}), 0},
            {"last time beyond the tick range", makePc2(1, 0.0f, 1e7f, 2, two), 0},
        });
    }
    const std::string in = file("bad");
    for (const Case& c : cases) {
        TempDir out;
        writeFileBytes(in, c.bytes);
        EXPECT_FALSE(from(in, out.path(), "c")) << c.what;
        if (c.salvaged == 0) {
            EXPECT_TRUE(std::filesystem::is_empty(fsPath(out.path()))) << c.what;
            continue;
        }
        const Stored stored = readBack(out.path(), "c", 1);
        ASSERT_EQ(stored.samples.size(), c.salvaged) << c.what;
        for (unsigned int k = 0; k < c.salvaged; ++k) {
            for (unsigned int i = 0; i < 3; ++i) EXPECT_EQ(stored.samples[k][i], values[k * 3 + i]) << c.what;
        }
    }
}

// Start frame and rate follow the ticks per frame; back, sample i lands at (start + i x rate) x
// ticks per frame, computed in single precision and truncated: a hundredth of a frame gives 0,
// 2, 5, 7, 10 (2 x 0.01f x 250 is 5 exactly in single precision, just below it in double).
TEST(Pc2Conversion, SampleTimesFollowStartFrameRateAndTicksPerFrame) {
    TempDir dir;
    writeTestCache({dir.path(), "shot", kOneFile, "kcc", 500, {{"points", qzCacheData::kFloatVectorArray, 1}}, {125, 250, 375}});
    const std::string pc2 = dir.file("r.pc2");
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    const Bytes bytes = readFileBytes(pc2);
    EXPECT_EQ(load32<float>(bytes, 20, false), 0.25f);
    EXPECT_EQ(load32<float>(bytes, 24, false), 0.25f);
    EXPECT_EQ(load32<std::int32_t>(bytes, 28, false), 3);
    const struct {
        float start;
        float rate;
        std::vector<int> times;
    } cases[] = {{0.0f, 0.01f, {0, 2, 5, 7, 10}}, {0.5f, 0.5f, {125, 250, 375}}};
    for (const auto& c : cases) {
        TempDir out;
        const int samples = int(c.times.size());
        writeFileBytes(pc2, makePc2(1, c.start, c.rate, samples, std::vector<float>(3 * samples, 1.0f)));
        ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "fine", kOneFile, "kcx", 250));
        EXPECT_TRUE(fileExists(out.file("fine.kcx")));
        EXPECT_EQ(readBack(out.path(), "fine", 1).times, c.times) << c.rate;
    }
}

// The bytes of the worked example in docs/file-format.md: 2 points at frames 1 and 2 of 250
// ticks, at 25 frames per second.
TEST(MddConversion, WritesTheExactBytesOfAKnownChannel) {
    TempDir dir;
    qzCacheFileInterface writer;
    unsigned int channel = 0;
    ASSERT_TRUE(writer.initFileWrite(dir.path().c_str(), "known", kOneFile, "kcc", 250) &&
                writer.addChannel("p", "Points", qzCacheData::kFloatVectorArray, channel));
    float samples[2][6] = {{1.0f, -2.0f, 0.5f, 3.0f, 4.0f, -0.25f}, {0.0f, 1.5f, -1.0f, 2.0f, 0.125f, 8.0f}};
    for (int k = 0; k < 2; ++k) {
        writer.beginWriteAtTime(250 * (k + 1));
        ASSERT_TRUE(writer.addArrayData(channel, 250 * (k + 1), samples[k], 2));
        writer.endWriteAtTime();
    }
    ASSERT_TRUE(writer.endFileWrite());
    const std::string mdd = dir.file("known.mdd");
    ASSERT_TRUE(qzCacheFileInterface::convertToMdd(mdd.c_str(), dir.path().c_str(), "known", 0, 0, 25.0));
    const Bytes expected = {
        0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02,  // 2 frames, 2 points
        0x3d, 0x23, 0xd7, 0x0a, 0x3d, 0xa3, 0xd7, 0x0a,  // 0.04 s and 0.08 s: frames 1 and 2
        0x3f, 0x80, 0x00, 0x00, 0xc0, 0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00,  // 1 -2 0.5
        0x40, 0x40, 0x00, 0x00, 0x40, 0x80, 0x00, 0x00, 0xbe, 0x80, 0x00, 0x00,  // 3 4 -0.25
        0x00, 0x00, 0x00, 0x00, 0x3f, 0xc0, 0x00, 0x00, 0xbf, 0x80, 0x00, 0x00,  // 0 1.5 -1
        0x40, 0x00, 0x00, 0x00, 0x3e, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00,  // 2 0.125 8
    };
    EXPECT_EQ(readFileBytes(mdd), expected);
}

// Ticks become seconds and seconds ticks again at the common rates, every tick near zero and
// up to 2^23 - 1, where single-precision seconds stop telling ticks apart; and the frames of
// another program, whose seconds are frame / fps in single precision, land on frames. Rates
// that are no rates are refused before any file is touched.
TEST(MddConversion, TimesSurviveSecondsBothWaysAtCommonRates) {
    TempDir dir;
    const int count = 2000;
    const int firstTicks[] = {-1000, (1 << 23) - count};
    for (int first : firstTicks) {
        writeTestCache({dir.path(), "t" + std::to_string(first), kOneFile, "kcc", 250,
                        {{"points", qzCacheData::kFloatVectorArray, 1}}, regularTimes(first, first + count - 1, 1)});
    }
    const std::string mdd = dir.file("t.mdd");
    for (double fps : {24.0, 25.0, 30.0, 30000.0 / 1001.0}) {
        for (int first : firstTicks) {
            const std::string base = "t" + std::to_string(first);
            ASSERT_TRUE(qzCacheFileInterface::convertToMdd(mdd.c_str(), dir.path().c_str(), base.c_str(), 0, 0, fps));
            const Bytes bytes = readFileBytes(mdd);
            for (int k = 0; k < count; k += 7) {
                EXPECT_EQ(load32<float>(bytes, 8 + 4 * std::size_t(k), true), float((first + k) / (250 * fps))) << fps << " " << k;
            }
            TempDir back;
            ASSERT_TRUE(qzCacheFileInterface::convertFromMdd(mdd.c_str(), back.path().c_str(), "b", kOneFile, "kcc", 250, fps));
            EXPECT_EQ(readBack(back.path(), "b", 1).times, regularTimes(first, first + count - 1, 1)) << fps;
        }
        std::vector<float> seconds;
        for (int k = 0; k < count; ++k) seconds.push_back(float(k) / float(fps));
        writeFileBytes(mdd, makeMdd(1, seconds, std::vector<float>(3 * seconds.size(), 0.0f)));
        TempDir in;
        ASSERT_TRUE(qzCacheFileInterface::convertFromMdd(mdd.c_str(), in.path().c_str(), "f", kOneFile, "kcc", 250, fps));
        EXPECT_EQ(readBack(in.path(), "f", 1).times, regularTimes(0, (count - 1) * 250, 250)) << fps;
    }
    TempDir out;
    for (double fps : {0.0, -24.0, std::nan(""), double(kInfinity)}) {
        const std::string fresh = dir.file("fresh.mdd");
        EXPECT_FALSE(qzCacheFileInterface::convertToMdd(fresh.c_str(), dir.path().c_str(), "t-1000", 0, 0, fps)) << fps;
        EXPECT_FALSE(fileExists(fresh)) << fps;
        EXPECT_FALSE(qzCacheFileInterface::convertFromMdd(mdd.c_str(), out.path().c_str(), "c", kOneFile, "kcc", 250, fps));
    }
    EXPECT_TRUE(std::filesystem::is_empty(fsPath(out.path())));
}
