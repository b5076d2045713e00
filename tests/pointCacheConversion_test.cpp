// Converting a cache channel to a PC2 or MDD file and such a file to a cache. The rules both
// formats share run over both; each format's own timing follows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "qzCacheFileInterface.h"
#include "testSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Format = qzCacheFileInterface::cacheFileFormat;
constexpr Format kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Format kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;
constexpr double kFps = 24.0;  // of the MDD files of the shared tests
const float kInfinity = std::numeric_limits<float>::infinity();

// A 4-byte value at `offset`, read as the independent reader of each format would.
template <typename T>
T load(const Bytes& bytes, std::size_t offset, bool bigEndian) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | bytes.at(offset + std::size_t(bigEndian ? i : 3 - i));
    T result;
    std::memcpy(&result, &value, 4);
    return result;
}

template <typename T>
void append(Bytes& bytes, T value, bool bigEndian) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, &value, 4);
    for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(raw >> (bigEndian ? 24 - 8 * i : 8 * i)));
}

Bytes makePc2(std::int32_t points, float startFrame, float sampleRate, std::int32_t samples,
              const std::vector<float>& values) {
    Bytes bytes = {'P', 'O', 'I', 'N', 'T', 'C', 'A', 'C', 'H', 'E', '2', 0};
    append(bytes, std::int32_t(1), false);
    append(bytes, points, false);
    append(bytes, startFrame, false);
    append(bytes, sampleRate, false);
    append(bytes, samples, false);
    for (float v : values) append(bytes, v, false);
    return bytes;
}

Bytes makeMdd(std::int32_t points, const std::vector<float>& seconds, const std::vector<float>& values) {
    Bytes bytes;
    append(bytes, std::int32_t(seconds.size()), true);
    append(bytes, points, true);
    for (float s : seconds) append(bytes, s, true);
    for (float v : values) append(bytes, v, true);
    return bytes;
}

// One point file format as the shared tests drive it.
struct PointFormat {
    const char* name;
    const char* extension;
    bool bigEndian;
    std::size_t (*headerBytes)(int frames);
    // A file of `points` points per frame, `frames` frames from frame `first`, one per frame.
    Bytes (*make)(std::int32_t points, float first, std::int32_t frames, const std::vector<float>& values);
    // The time of frame k of a file in ticks at `ticksPerFrame`.
    int (*ticks)(const Bytes& file, int k, int ticksPerFrame);
    bool (*to)(const std::string& file, const std::string& dir, const char* base, unsigned int channel, int step);
    bool (*from)(const std::string& file, const std::string& dir, const char* base, Format layout,
                 const char* cacheFormat, int ticksPerFrame);
};

const PointFormat kPc2 = {
    "Pc2", ".pc2", false, [](int) { return std::size_t(32); },
    [](std::int32_t points, float first, std::int32_t frames, const std::vector<float>& values) {
        return makePc2(points, first, 1.0f, frames, values);
    },
    [](const Bytes& file, int k, int ticksPerFrame) {
        const float start = load<float>(file, 20, false);
        const float rate = load<float>(file, 24, false);
        return int(std::lround((double(start) + k * double(rate)) * ticksPerFrame));
    },
    [](const std::string& file, const std::string& dir, const char* base, unsigned int channel, int step) {
        return qzCacheFileInterface::convertToPc2(file.c_str(), dir.c_str(), base, channel, step);
    },
    [](const std::string& file, const std::string& dir, const char* base, Format layout,
       const char* cacheFormat, int ticksPerFrame) {
        return qzCacheFileInterface::convertFromPc2(file.c_str(), dir.c_str(), base, layout,
                                                    cacheFormat, ticksPerFrame);
    },
};

const PointFormat kMdd = {
    "Mdd", ".mdd", true, [](int frames) { return 8 + 4 * std::size_t(frames); },
    [](std::int32_t points, float first, std::int32_t frames, const std::vector<float>& values) {
        std::vector<float> seconds;
        for (int k = 0; k < frames; ++k) seconds.push_back(float((first + k) / kFps));
        return makeMdd(points, seconds, values);
    },
    [](const Bytes& file, int k, int ticksPerFrame) {
        return int(std::lround(load<float>(file, 8 + 4 * std::size_t(k), true) * kFps * ticksPerFrame));
    },
    [](const std::string& file, const std::string& dir, const char* base, unsigned int channel, int step) {
        return qzCacheFileInterface::convertToMdd(file.c_str(), dir.c_str(), base, channel, step, kFps);
    },
    [](const std::string& file, const std::string& dir, const char* base, Format layout,
       const char* cacheFormat, int ticksPerFrame) {
        return qzCacheFileInterface::convertFromMdd(file.c_str(), dir.c_str(), base, layout,
                                                    cacheFormat, ticksPerFrame, kFps);
    },
};

// One channel named "ch" of the given type at the given times; sample k holds values[k].
template <typename T>
void writeChannel(const std::string& dir, const char* base, qzCacheData::qzCacheDataType type,
                  const std::vector<int>& times, const std::vector<std::vector<T>>& values,
                  unsigned int length, Format layout = kPerFrame, int ticksPerFrame = 250) {
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileWrite(dir.c_str(), base, layout, "kcc", ticksPerFrame));
    unsigned int index = 0;
    ASSERT_TRUE(cache.addChannel("ch", "Points", type, index));
    for (std::size_t k = 0; k < times.size(); ++k) {
        std::vector<T> sample = values[k];
        cache.beginWriteAtTime(times[k]);
        ASSERT_TRUE(cache.addArrayData(index, times[k], sample.data(), length));
        cache.endWriteAtTime();
    }
    ASSERT_TRUE(cache.endFileWrite());
}

std::vector<int> regularTimes(int first, int last, int step) {
    std::vector<int> times;
    for (int t = first; t <= last; t += step) times.push_back(t);
    return times;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    return bits;
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
    const std::uint64_t count = cache.getDataCount(0);
    for (unsigned int k = 0; k < count; ++k) {
        int time = 0;
        EXPECT_TRUE(cache.getDataTime(0, k, time));
        std::vector<double> sample(points * 3, 0.0);
        void* data = sample.data();
        unsigned int length = points;
        EXPECT_TRUE(cache.getArrayDataAtTime(0, time, data, length)) << time;
        stored.times.push_back(time);
        stored.samples.push_back(sample);
    }
    return stored;
}

void PrintTo(const PointFormat& format, std::ostream* out) { *out << format.name; }

class PointConversionTest : public ::testing::TestWithParam<PointFormat> {
protected:
    const PointFormat& format() const { return GetParam(); }
    std::string file(const std::string& stem) const { return dir.file(stem + format().extension); }
    // The floats of frame k of a file of `frames` frames.
    std::vector<float> frame(const Bytes& bytes, int frames, int points, int k) const {
        std::vector<float> values;
        const std::size_t begin = format().headerBytes(frames) + std::size_t(k) * std::size_t(points) * 12;
        for (int i = 0; i < points * 3; ++i)
            values.push_back(load<float>(bytes, begin + 4 * std::size_t(i), format().bigEndian));
        return values;
    }

    qztest::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Formats, PointConversionTest, ::testing::Values(kPc2, kMdd),
                         [](const ::testing::TestParamInfo<PointFormat>& param) { return param.param.name; });

}  // namespace

TEST_P(PointConversionTest, FloatVectorChannelRoundTripsBitForBit) {
    const std::vector<int> times = regularTimes(250, 2500, 250);
    std::vector<std::vector<float>> values;
    for (std::size_t k = 0; k < times.size(); ++k) {
        const float f = static_cast<float>(k);
        values.push_back({0.1f * f, -1e-40f, 3.4e38f, 1.0f / 3.0f + f, -0.0f, 7.25f,
                          std::numeric_limits<float>::min(), -123456.789f, 1e-7f * f,
                          2.0f, 0.3f, -f});
    }
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, times, values, 4);

    const std::string out = file("out");
    ASSERT_TRUE(format().to(out, dir.path(), "shot", 0, 0));
    const Bytes bytes = qztest::readFileBytes(out);
    ASSERT_EQ(bytes.size(), format().headerBytes(10) + 10u * 4u * 12u);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(format().ticks(bytes, k, 250), times[k]) << k;
        const std::vector<float> sample = frame(bytes, 10, 4, k);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(bitsOf(sample[i]), bitsOf(values[k][i])) << k << " " << i;
    }

    qztest::TempDir back;
    ASSERT_TRUE(format().from(out, back.path(), "back", kPerFrame, "kcc", 250));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("back", back.path().c_str()));
    ASSERT_EQ(cache.numChannels(), 1u);
    char* name = nullptr;
    ASSERT_TRUE(cache.channelName(0, &name));
    EXPECT_STREQ(name, "out");
    std::free(name);
    char* interpretation = nullptr;
    ASSERT_TRUE(cache.channelInterpretation(0, &interpretation));
    EXPECT_STREQ(interpretation, "Points");
    std::free(interpretation);
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    ASSERT_TRUE(cache.channelDataType(0, type));
    EXPECT_EQ(type, qzCacheData::kDoubleVectorArray);
    int rate = 0;
    ASSERT_TRUE(cache.channelSamplingRate(0, rate));
    EXPECT_EQ(rate, 250);
    const Stored stored = readBack(back.path(), "back", 4);
    EXPECT_EQ(stored.times, times);
    ASSERT_EQ(stored.samples.size(), 10u);
    for (int k = 0; k < 10; ++k) {
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(bitsOf(static_cast<float>(stored.samples[k][i])), bitsOf(values[k][i])) << k << " " << i;
    }
}

TEST_P(PointConversionTest, DoubleVectorsRoundToNearestAndFloatArraysGoAsTriples) {
    const double ulpHalf = std::ldexp(1.0, -24);  // half a float step at 1.0
    // Truncation would give 1.0f for the third and fourth values and 1 + 2^-23 for the fifth.
    const std::vector<double> sample = {0.1, 1.0 + ulpHalf, 1.0 + ulpHalf + std::ldexp(1.0, -40),
                                        -(1.0 + ulpHalf + std::ldexp(1.0, -40)),
                                        1.0 + 3 * ulpHalf, 1e-50};
    const std::vector<float> expected = {0.1f, 1.0f, 1.0f + std::ldexp(1.0f, -23),
                                         -(1.0f + std::ldexp(1.0f, -23)),
                                         1.0f + std::ldexp(1.0f, -22), 0.0f};
    writeChannel(dir.path(), "d", qzCacheData::kDoubleVectorArray, {0, 250},
                 std::vector<std::vector<double>>{sample, sample}, 2);
    ASSERT_TRUE(format().to(file("d"), dir.path(), "d", 0, 0));
    Bytes bytes = qztest::readFileBytes(file("d"));
    ASSERT_EQ(bytes.size(), format().headerBytes(2) + 2 * 24);
    for (int k = 0; k < 2; ++k) {
        const std::vector<float> got = frame(bytes, 2, 2, k);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(bitsOf(got[i]), bitsOf(expected[i])) << i;
    }

    const std::vector<std::vector<float>> floats = {{1, 2, 3, 4, 5, 6}, {-1, -2, -3, -4, -5, -6}};
    writeChannel(dir.path(), "f", qzCacheData::kFloatArray, {0, 250}, floats, 6);
    ASSERT_TRUE(format().to(file("f"), dir.path(), "f", 0, 0));
    bytes = qztest::readFileBytes(file("f"));
    ASSERT_EQ(bytes.size(), format().headerBytes(2) + 2 * 24);
    EXPECT_EQ(frame(bytes, 2, 2, 0), floats[0]);
    EXPECT_EQ(frame(bytes, 2, 2, 1), floats[1]);
}

TEST_P(PointConversionTest, IrregularChannelIsResampledAtTheStep) {
    // x goes 0, 10, 40 at times 0, 100, 400; y and z stay constant.
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, {0, 100, 400},
                 std::vector<std::vector<float>>{{0, 1, 2}, {10, 1, 2}, {40, 1, 2}}, 1);
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        ASSERT_FALSE(cache.isChannelSamplingRegular(0));
    }
    const std::string out = file("i");
    EXPECT_FALSE(format().to(out, dir.path(), "shot", 0, 0));
    EXPECT_FALSE(format().to(out, dir.path(), "shot", 0, -150));
    ASSERT_TRUE(format().to(out, dir.path(), "shot", 0, 150));
    const Bytes bytes = qztest::readFileBytes(out);
    // 0, 150 and 300; 450 lies past the end.
    ASSERT_EQ(bytes.size(), format().headerBytes(3) + 3u * 12u);
    const float x[] = {0.0f, 15.0f, 30.0f};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(format().ticks(bytes, k, 250), 150 * k) << k;
        const std::vector<float> point = frame(bytes, 3, 1, k);
        EXPECT_FLOAT_EQ(point[0], x[k]) << k;
        EXPECT_FLOAT_EQ(point[1], 1.0f);
        EXPECT_FLOAT_EQ(point[2], 2.0f);
    }
}

// Channels that hold no points, an index past the end, a float array not in triples: the
// file was opened for writing first and stays, empty.
TEST_P(PointConversionTest, UnsuitableChannelsAreRefused) {
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), "shot", kOneFile, "kcc", 250));
        unsigned int d = 0, i = 0, s = 0, f = 0;
        ASSERT_TRUE(cache.addChannel("d", "Values", qzCacheData::kDoubleArray, d));
        ASSERT_TRUE(cache.addChannel("i", "Ids", qzCacheData::kInt32Array, i));
        ASSERT_TRUE(cache.addChannel("s", "Scalar", qzCacheData::kDouble, s));
        ASSERT_TRUE(cache.addChannel("f", "Floats", qzCacheData::kFloatArray, f));
        std::vector<double> doubles = {1, 2, 3, 4, 5, 6};
        std::vector<int> ints = {1, 2, 3, 4, 5, 6};
        std::vector<float> floats = {1, 2, 3, 4};
        for (int t : {0, 250}) {
            cache.beginWriteAtTime(t);
            ASSERT_TRUE(cache.addArrayData(d, t, doubles.data(), 6));
            ASSERT_TRUE(cache.addArrayData(i, t, ints.data(), 6));
            ASSERT_TRUE(cache.addArrayData(f, t, floats.data(), 4));
            cache.endWriteAtTime();
        }
        ASSERT_TRUE(cache.endFileWrite());
    }
    const std::string out = file("x");
    for (unsigned int channel = 0; channel < 5; ++channel) {
        qztest::writeFileBytes(out, {1, 2, 3});
        EXPECT_FALSE(format().to(out, dir.path(), "shot", channel, 250)) << channel;
        ASSERT_TRUE(qztest::fileExists(out));
        EXPECT_TRUE(qztest::readFileBytes(out).empty()) << channel;
    }
}

TEST_P(PointConversionTest, MissingCacheOrBadPathsFail) {
    const std::string out = file("x");
    EXPECT_FALSE(format().to(out, dir.path(), "none", 0, 250));
    EXPECT_TRUE(qztest::fileExists(out));
    EXPECT_FALSE(format().to(dir.file("no/such/dir") + format().extension, dir.path(), "none", 0, 250));
    EXPECT_FALSE(format().to(out, dir.path(), nullptr, 0, 250));
    EXPECT_FALSE(format().from(dir.file("missing"), dir.path(), "c", kPerFrame, "kcc", 250));
    qztest::writeFileBytes(out, format().make(1, 0.0f, 1, {1, 2, 3}));
    EXPECT_FALSE(format().from(out, dir.path(), nullptr, kPerFrame, "kcc", 250));
    EXPECT_FALSE(format().from(out, dir.path(), "c", kPerFrame, nullptr, 250));
    EXPECT_FALSE(qztest::fileExists(dir.file("c.xml")));
}

TEST_P(PointConversionTest, ZeroTicksPerFrameIsRefused) {
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, {0, 250},
                 std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}}, 1, kOneFile, 0);
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        ASSERT_EQ(cache.getTicksPerFrame(), 0);
    }
    const std::string out = file("z");
    EXPECT_FALSE(format().to(out, dir.path(), "shot", 0, 0));
    EXPECT_TRUE(qztest::readFileBytes(out).empty());

    qztest::TempDir empty;
    qztest::writeFileBytes(out, format().make(1, 0.0f, 1, {1, 2, 3}));
    EXPECT_FALSE(format().from(out, empty.path(), "c", kOneFile, "kcc", 0));
    EXPECT_FALSE(format().from(out, empty.path(), "c", kOneFile, "kcc", -250));
    EXPECT_FALSE(format().from(out, empty.path(), "c", static_cast<Format>(2), "kcc", 250));
    EXPECT_FALSE(format().from(out, empty.path(), "c", static_cast<Format>(-1), "kcc", 250));
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(empty.path())));
}

TEST_P(PointConversionTest, ChannelIsNamedAfterTheFile) {
    std::filesystem::create_directory(qztest::fsPath(dir.file("take.v2")));
    const std::string in = dir.file(std::string("take.v2/wave") + format().extension);
    qztest::writeFileBytes(in, format().make(1, 1.0f, 2, {1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(format().from(in, dir.path(), "c", kPerFrame, "kcc", 250));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("c", dir.path().c_str()));
    unsigned int index = 9;
    EXPECT_TRUE(cache.hasChannelByName("wave", index));
    EXPECT_EQ(index, 0u);
    // One frame apart from frame 1 at 250 ticks per frame.
    EXPECT_TRUE(qztest::fileExists(dir.file("cFrame1.kc")));
    EXPECT_TRUE(qztest::fileExists(dir.file("cFrame2.kc")));
}

// A file cut short keeps the frames it holds: they are converted and described, and the
// conversion reports false. Files that cannot back their header, and times no cache can hold,
// are refused before anything is written.
TEST_P(PointConversionTest, CutShortFilesKeepTheirFramesAndHostileOnesWriteNothing) {
    struct Case {
        const char* what;
        Bytes bytes;
        unsigned int salvaged;  // frames of one point each converted; 0: refused, nothing written
    };
    std::vector<float> values(17);  // five frames of one point and two thirds of a sixth
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5f * float(i) - 2.0f;
    const PointFormat& f = format();
    std::vector<Case> cases = {
        {"last frame cut short", f.make(1, 1.0f, 6, values), 5},
        {"no whole frame", f.make(2, 1.0f, 3, {values[0], values[1], values[2]}), 0},
        {"huge point count", f.make(0x7fffffff, 1.0f, 1, {1, 2, 3}), 0},
        {"times beyond the tick range", f.make(1, 1e10f, 1, {1, 2, 3}), 0},
        {"infinite time", f.make(1, kInfinity, 1, {1, 2, 3}), 0},
    };
    if (f.bigEndian) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const std::vector<float> two = {1, 2, 3, 4, 5, 6};
        cases.push_back({"times not in order", makeMdd(1, {2 / 24.0f, 1 / 24.0f}, two), 0});
        cases.push_back({"a time repeated", makeMdd(1, {1 / 24.0f, 1 / 24.0f}, two), 0});
        // Distinct seconds, one tick once rounded at 250 ticks per frame and 24 fps.
        cases.push_back({"two frames on one tick", makeMdd(1, {1.0f, 1.0f + 1e-5f}, two), 0});
        cases.push_back({"a time not a number", makeMdd(1, {0.0f, nan}, two), 0});
        Bytes noTable = makeMdd(1, {0.0f}, {1, 2, 3});
        noTable[0] = 0x7f;  // the most frames, without their times
        cases.push_back({"time table cut short", noTable, 0});
        // A bad time beyond the frames held does not matter.
        cases.push_back({"bad time of a missing frame",
                         makeMdd(1, {0.0f, 1 / 24.0f, nan}, {values.begin(), values.begin() + 6}), 2});
    } else {
        Bytes headerOnly = makePc2(2, 1.0f, 1.0f, 3, {});
        headerOnly.resize(20);
        cases.push_back({"header cut short", headerOnly, 0});
        cases.push_back({"header claims far more samples",
                         makePc2(1, 1.0f, 1.0f, 0x7fffffff, {values[0], values[1], values[2]}), 1});
        cases.push_back({"both huge", makePc2(0x40000000, 1.0f, 1.0f, 0x40000000, {1, 2, 3}), 0});
        cases.push_back({"last time beyond the tick range", makePc2(1, 0.0f, 1e7f, 2, {1, 2, 3, 4, 5, 6}), 0});
    }
    const std::string in = file("bad");
    for (const Case& c : cases) {
        qztest::TempDir out;
        qztest::writeFileBytes(in, c.bytes);
        EXPECT_FALSE(f.from(in, out.path(), "c", kPerFrame, "kcc", 250)) << c.what;
        if (c.salvaged == 0) {
            EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(out.path()))) << c.what;
            continue;
        }
        const Stored stored = readBack(out.path(), "c", 1);
        ASSERT_EQ(stored.samples.size(), c.salvaged) << c.what;
        for (unsigned int k = 0; k < c.salvaged; ++k) {
            for (unsigned int i = 0; i < 3; ++i)
                EXPECT_EQ(stored.samples[k][i], values[k * 3 + i]) << c.what;
        }
    }
}

TEST(Pc2ConversionTest, FrameAndRateFollowTicksPerFrame) {
    qztest::TempDir dir;
    // Start 125 and step 125 at 500 ticks per frame: frame 0.25, rate 0.25.
    const std::vector<std::vector<float>> values = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, {125, 250, 375}, values, 1,
                 kOneFile, 500);
    const std::string pc2 = dir.file("r.pc2");
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    const Bytes bytes = qztest::readFileBytes(pc2);
    EXPECT_EQ(load<float>(bytes, 20, false), 0.25f);
    EXPECT_EQ(load<float>(bytes, 24, false), 0.25f);
    EXPECT_EQ(load<std::int32_t>(bytes, 28, false), 3);
}

// Sample i lands at (start frame + i x rate) x ticks per frame, computed in single precision
// and truncated: a hundredth of a frame gives 0, 2, 5, 7, 10 (2 x 0.01f x 250 comes to 5
// exactly in single precision, just below it in double); half frames land on half frames.
TEST(Pc2ConversionTest, SampleTimesFollowStartFrameAndRateInSinglePrecision) {
    qztest::TempDir dir;
    const std::string pc2 = dir.file("fine.pc2");
    const struct {
        float start;
        float rate;
        std::vector<int> times;
    } cases[] = {{0.0f, 0.01f, {0, 2, 5, 7, 10}}, {0.5f, 0.5f, {125, 250, 375}}};
    for (const auto& c : cases) {
        qztest::TempDir out;
        const int samples = int(c.times.size());
        qztest::writeFileBytes(pc2, makePc2(1, c.start, c.rate, samples, std::vector<float>(3 * samples, 1.0f)));
        ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "fine",
                                                         kOneFile, "kcx", 250));
        EXPECT_TRUE(qztest::fileExists(out.file("fine.kcx")));
        EXPECT_EQ(readBack(out.path(), "fine", 1).times, c.times) << c.rate;
    }
}

// The bytes of a small MDD file from a known channel: 2 points at frames 1 and 2 of 250
// ticks, at 25 frames per second.
TEST(MddConversionTest, WritesTheExactBytesOfAKnownChannel) {
    qztest::TempDir dir;
    writeChannel(dir.path(), "known", qzCacheData::kFloatVectorArray, {250, 500},
                 std::vector<std::vector<float>>{{1.0f, -2.0f, 0.5f, 3.0f, 4.0f, -0.25f},
                                                 {0.0f, 1.5f, -1.0f, 2.0f, 0.125f, 8.0f}},
                 2, kOneFile);
    const std::string mdd = dir.file("known.mdd");
    ASSERT_TRUE(qzCacheFileInterface::convertToMdd(mdd.c_str(), dir.path().c_str(), "known", 0, 0, 25.0));
    const Bytes expected = {
        0x00, 0x00, 0x00, 0x02,  // 2 frames
        0x00, 0x00, 0x00, 0x02,  // 2 points
        0x3d, 0x23, 0xd7, 0x0a,  // 0.04 s: frame 1
        0x3d, 0xa3, 0xd7, 0x0a,  // 0.08 s: frame 2
        0x3f, 0x80, 0x00, 0x00, 0xc0, 0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00,  // 1 -2 0.5
        0x40, 0x40, 0x00, 0x00, 0x40, 0x80, 0x00, 0x00, 0xbe, 0x80, 0x00, 0x00,  // 3 4 -0.25
        0x00, 0x00, 0x00, 0x00, 0x3f, 0xc0, 0x00, 0x00, 0xbf, 0x80, 0x00, 0x00,  // 0 1.5 -1
        0x40, 0x00, 0x00, 0x00, 0x3e, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00,  // 2 0.125 8
    };
    EXPECT_EQ(qztest::readFileBytes(mdd), expected);
}

// Ticks become seconds and seconds ticks again at the common rates, every tick near zero and
// up to 2^23 - 1, where single-precision seconds stop telling ticks apart; and the frames of
// another program, whose seconds are frame / fps in single precision, land on frames.
TEST(MddConversionTest, TimesSurviveSecondsBothWaysAtCommonRates) {
    qztest::TempDir dir;
    const int ticksPerFrame = 250;
    const int count = 2000;
    const int firstTicks[] = {-1000, (1 << 23) - count};
    for (int first : firstTicks) {
        const std::string base = "t" + std::to_string(first);
        writeChannel(dir.path(), base.c_str(), qzCacheData::kFloatVectorArray, regularTimes(first, first + count - 1, 1),
                     std::vector<std::vector<float>>(count, {0.0f, 1.0f, 2.0f}), 1, kOneFile, ticksPerFrame);
    }
    for (double fps : {24.0, 25.0, 30.0, 30000.0 / 1001.0}) {
        const std::string mdd = dir.file("t.mdd");
        for (int first : firstTicks) {
            const std::string base = "t" + std::to_string(first);
            ASSERT_TRUE(qzCacheFileInterface::convertToMdd(mdd.c_str(), dir.path().c_str(), base.c_str(), 0, 0, fps));
            const Bytes bytes = qztest::readFileBytes(mdd);
            for (int k = 0; k < count; k += 7) {
                EXPECT_EQ(load<float>(bytes, 8 + 4 * std::size_t(k), true),
                          float((first + k) / (ticksPerFrame * fps))) << fps << " " << k;
            }
            qztest::TempDir back;
            ASSERT_TRUE(qzCacheFileInterface::convertFromMdd(mdd.c_str(), back.path().c_str(), "b",
                                                             kOneFile, "kcc", ticksPerFrame, fps));
            EXPECT_EQ(readBack(back.path(), "b", 1).times, regularTimes(first, first + count - 1, 1)) << fps;
        }

        std::vector<float> seconds;
        for (int k = 0; k < count; ++k) seconds.push_back(float(k) / float(fps));
        qztest::writeFileBytes(mdd, makeMdd(1, seconds, std::vector<float>(3 * seconds.size(), 0.0f)));
        qztest::TempDir in;
        ASSERT_TRUE(qzCacheFileInterface::convertFromMdd(mdd.c_str(), in.path().c_str(), "f",
                                                         kOneFile, "kcc", ticksPerFrame, fps));
        EXPECT_EQ(readBack(in.path(), "f", 1).times, regularTimes(0, (count - 1) * ticksPerFrame, ticksPerFrame)) << fps;
    }
}

TEST(MddConversionTest, RatesThatAreNoRatesAreRefusedBeforeAnyFileIsTouched) {
    qztest::TempDir dir;
    writeChannel(dir.path(), "r", qzCacheData::kFloatVectorArray, {0, 250},
                 std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}}, 1);
    const std::string mdd = dir.file("r.mdd");
    const std::string in = dir.file("in.mdd");
    qztest::writeFileBytes(in, makeMdd(1, {0.0f}, {1, 2, 3}));
    qztest::TempDir out;
    for (double fps : {0.0, -24.0, std::nan(""), double(kInfinity)}) {
        EXPECT_FALSE(qzCacheFileInterface::convertToMdd(mdd.c_str(), dir.path().c_str(), "r", 0, 0, fps)) << fps;
        EXPECT_FALSE(qztest::fileExists(mdd)) << fps;
        EXPECT_FALSE(qzCacheFileInterface::convertFromMdd(in.c_str(), out.path().c_str(), "c", kOneFile,
                                                          "kcc", 250, fps)) << fps;
    }
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(out.path())));
}
