// Converting a cache channel to a PC2 file and a PC2 file to a cache.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "qzCacheFileInterface.h"
#include "testSupport.h"

namespace {

using Format = qzCacheFileInterface::cacheFileFormat;
constexpr Format kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Format kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;

struct Pc2Header {
    std::string signature;
    std::int32_t version = 0;
    std::int32_t points = 0;
    float startFrame = 0.0f;
    float sampleRate = 0.0f;
    std::int32_t samples = 0;
};

template <typename T>
T little(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + static_cast<std::size_t>(i));
    T result;
    std::memcpy(&result, &value, 4);
    return result;
}

Pc2Header readHeader(const std::vector<std::uint8_t>& bytes) {
    Pc2Header header;
    if (bytes.size() < 32) return header;
    header.signature.assign(bytes.begin(), bytes.begin() + 12);
    header.version = little<std::int32_t>(bytes, 12);
    header.points = little<std::int32_t>(bytes, 16);
    header.startFrame = little<float>(bytes, 20);
    header.sampleRate = little<float>(bytes, 24);
    header.samples = little<std::int32_t>(bytes, 28);
    return header;
}

std::vector<float> pc2Sample(const std::vector<std::uint8_t>& bytes, int points, int index) {
    std::vector<float> values;
    const std::size_t begin = 32 + std::size_t(index) * std::size_t(points) * 12;
    for (int i = 0; i < points * 3; ++i) values.push_back(little<float>(bytes, begin + 4 * std::size_t(i)));
    return values;
}

template <typename T>
void putLittle(std::vector<std::uint8_t>& bytes, T value) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, &value, 4);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
}

std::vector<std::uint8_t> makePc2(std::int32_t points, float startFrame, float sampleRate,
                                  std::int32_t samples, const std::vector<float>& values) {
    const char signature[12] = "POINTCACHE2";
    std::vector<std::uint8_t> bytes(signature, signature + 12);
    putLittle(bytes, std::int32_t(1));
    putLittle(bytes, points);
    putLittle(bytes, startFrame);
    putLittle(bytes, sampleRate);
    putLittle(bytes, samples);
    for (float v : values) putLittle(bytes, v);
    return bytes;
}

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

// The samples of channel 0 of a cache, read at its stored times.
std::vector<std::vector<double>> readBack(qzCacheFileInterface& cache, unsigned int points) {
    std::vector<std::vector<double>> samples;
    const std::uint64_t count = cache.getDataCount(0);
    for (unsigned int k = 0; k < count; ++k) {
        int time = 0;
        EXPECT_TRUE(cache.getDataTime(0, k, time));
        std::vector<double> sample(points * 3, 0.0);
        void* data = sample.data();
        unsigned int length = points;
        EXPECT_TRUE(cache.getArrayDataAtTime(0, time, data, length)) << time;
        samples.push_back(sample);
    }
    return samples;
}

}  // namespace

TEST(Pc2ConversionTest, FloatVectorChannelRoundTripsBitForBit) {
    qztest::TempDir dir;
    const std::vector<int> times = regularTimes(250, 2500, 250);
    std::vector<std::vector<float>> values;
    for (std::size_t k = 0; k < times.size(); ++k) {
        const float f = static_cast<float>(k);
        values.push_back({0.1f * f, -1e-40f, 3.4e38f, 1.0f / 3.0f + f, -0.0f, 7.25f,
                          std::numeric_limits<float>::min(), -123456.789f, 1e-7f * f,
                          2.0f, 0.3f, -f});
    }
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, times, values, 4);

    const std::string pc2 = dir.file("out.pc2");
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(pc2);
    const Pc2Header header = readHeader(bytes);
    EXPECT_EQ(header.signature, std::string("POINTCACHE2\0", 12));
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.points, 4);
    EXPECT_EQ(header.samples, 10);
    EXPECT_EQ(header.startFrame, 1.0f);
    EXPECT_EQ(header.sampleRate, 1.0f);
    ASSERT_EQ(bytes.size(), 32u + 10u * 4u * 12u);
    for (int k = 0; k < 10; ++k) {
        const std::vector<float> sample = pc2Sample(bytes, 4, k);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(bitsOf(sample[i]), bitsOf(values[k][i])) << k << " " << i;
    }

    qztest::TempDir back;
    ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), back.path().c_str(), "back",
                                                     kPerFrame, "kcc", 250));
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
    ASSERT_EQ(cache.getDataCount(0), 10u);
    const std::vector<std::vector<double>> samples = readBack(cache, 4);
    for (int k = 0; k < 10; ++k) {
        int time = 0;
        ASSERT_TRUE(cache.getDataTime(0, static_cast<unsigned int>(k), time));
        EXPECT_EQ(time, times[k]);
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(bitsOf(static_cast<float>(samples[k][i])), bitsOf(values[k][i])) << k << " " << i;
    }
}

TEST(Pc2ConversionTest, DoubleVectorsRoundToNearest) {
    qztest::TempDir dir;
    const double ulpHalf = std::ldexp(1.0, -24);  // half a float step at 1.0
    // Truncation would give 1.0f for the third and fourth values and 1 + 2^-23 for the fifth.
    const std::vector<double> sample = {0.1, 1.0 + ulpHalf, 1.0 + ulpHalf + std::ldexp(1.0, -40),
                                        -(1.0 + ulpHalf + std::ldexp(1.0, -40)),
                                        1.0 + 3 * ulpHalf, 1e-50};
    const std::vector<float> expected = {0.1f, 1.0f, 1.0f + std::ldexp(1.0f, -23),
                                         -(1.0f + std::ldexp(1.0f, -23)),
                                         1.0f + std::ldexp(1.0f, -22), 0.0f};
    writeChannel(dir.path(), "shot", qzCacheData::kDoubleVectorArray, {0, 250},
                 std::vector<std::vector<double>>{sample, sample}, 2);
    const std::string pc2 = dir.file("d.pc2");
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(pc2);
    const Pc2Header header = readHeader(bytes);
    EXPECT_EQ(header.points, 2);
    EXPECT_EQ(header.samples, 2);
    EXPECT_EQ(header.startFrame, 0.0f);
    for (int k = 0; k < 2; ++k) {
        const std::vector<float> got = pc2Sample(bytes, 2, k);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(bitsOf(got[i]), bitsOf(expected[i])) << i;
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
    const Pc2Header header = readHeader(qztest::readFileBytes(pc2));
    EXPECT_EQ(header.startFrame, 0.25f);
    EXPECT_EQ(header.sampleRate, 0.25f);
    EXPECT_EQ(header.samples, 3);
    EXPECT_EQ(pc2Sample(qztest::readFileBytes(pc2), 1, 2), values[2]);
}

TEST(Pc2ConversionTest, FloatArrayIsReadAsTriples) {
    qztest::TempDir dir;
    const std::vector<std::vector<float>> values = {{1, 2, 3, 4, 5, 6}, {-1, -2, -3, -4, -5, -6}};
    writeChannel(dir.path(), "shot", qzCacheData::kFloatArray, {0, 250}, values, 6);
    const std::string pc2 = dir.file("f.pc2");
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(pc2);
    EXPECT_EQ(readHeader(bytes).points, 2);
    ASSERT_EQ(bytes.size(), 32u + 2u * 24u);
    EXPECT_EQ(pc2Sample(bytes, 2, 0), values[0]);
    EXPECT_EQ(pc2Sample(bytes, 2, 1), values[1]);
}

TEST(Pc2ConversionTest, FloatArrayNotInTriplesIsRefused) {
    qztest::TempDir dir;
    writeChannel(dir.path(), "shot", qzCacheData::kFloatArray, {0, 250},
                 std::vector<std::vector<float>>{{1, 2, 3, 4}, {5, 6, 7, 8}}, 4);
    const std::string pc2 = dir.file("f.pc2");
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    EXPECT_TRUE(qztest::readFileBytes(pc2).empty());
}

TEST(Pc2ConversionTest, IrregularChannelIsResampledAtTheStep) {
    qztest::TempDir dir;
    // x goes 0, 10, 40 at times 0, 100, 400; y and z stay constant.
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, {0, 100, 400},
                 std::vector<std::vector<float>>{{0, 1, 2}, {10, 1, 2}, {40, 1, 2}}, 1);
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        ASSERT_FALSE(cache.isChannelSamplingRegular(0));
    }
    const std::string pc2 = dir.file("i.pc2");
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, -150));
    ASSERT_TRUE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 150));
    const std::vector<std::uint8_t> bytes = qztest::readFileBytes(pc2);
    const Pc2Header header = readHeader(bytes);
    // 0, 150 and 300; 450 lies past the end.
    EXPECT_EQ(header.samples, 3);
    EXPECT_EQ(header.startFrame, 0.0f);
    EXPECT_EQ(header.sampleRate, 0.6f);
    ASSERT_EQ(bytes.size(), 32u + 3u * 12u);
    const std::vector<float> at150 = pc2Sample(bytes, 1, 1);
    const std::vector<float> at300 = pc2Sample(bytes, 1, 2);
    EXPECT_FLOAT_EQ(pc2Sample(bytes, 1, 0)[0], 0.0f);
    EXPECT_FLOAT_EQ(at150[0], 15.0f);
    EXPECT_FLOAT_EQ(at300[0], 30.0f);
    EXPECT_FLOAT_EQ(at300[1], 1.0f);
    EXPECT_FLOAT_EQ(at300[2], 2.0f);
}

TEST(Pc2ConversionTest, UnsuitableChannelsAreRefused) {
    qztest::TempDir dir;
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), "shot", kOneFile, "kcc", 250));
        unsigned int d = 0, i = 0, s = 0;
        ASSERT_TRUE(cache.addChannel("d", "Values", qzCacheData::kDoubleArray, d));
        ASSERT_TRUE(cache.addChannel("i", "Ids", qzCacheData::kInt32Array, i));
        ASSERT_TRUE(cache.addChannel("s", "Scalar", qzCacheData::kDouble, s));
        std::vector<double> doubles = {1, 2, 3, 4, 5, 6};
        std::vector<int> ints = {1, 2, 3, 4, 5, 6};
        for (int t : {0, 250}) {
            cache.beginWriteAtTime(t);
            ASSERT_TRUE(cache.addArrayData(d, t, doubles.data(), 6));
            ASSERT_TRUE(cache.addArrayData(i, t, ints.data(), 6));
            cache.endWriteAtTime();
        }
        ASSERT_TRUE(cache.endFileWrite());
    }
    const std::string pc2 = dir.file("x.pc2");
    for (unsigned int channel = 0; channel < 4; ++channel) {
        qztest::writeFileBytes(pc2, {1, 2, 3});
        EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot",
                                                        channel, 250))
            << channel;
        // The file was opened for writing first and stays, empty.
        ASSERT_TRUE(qztest::fileExists(pc2));
        EXPECT_TRUE(qztest::readFileBytes(pc2).empty()) << channel;
    }
}

TEST(Pc2ConversionTest, MissingCacheOrBadPathsFail) {
    qztest::TempDir dir;
    const std::string pc2 = dir.file("x.pc2");
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "none", 0, 250));
    EXPECT_TRUE(qztest::fileExists(pc2));
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(dir.file("no/such/dir.pc2").c_str(),
                                                    dir.path().c_str(), "none", 0, 250));
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(nullptr, dir.path().c_str(), "none", 0, 250));
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), nullptr, "none", 0, 250));
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), nullptr, 0, 250));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(dir.file("missing.pc2").c_str(),
                                                      dir.path().c_str(), "c", kPerFrame, "kcc", 250));
    qztest::writeFileBytes(pc2, makePc2(1, 0.0f, 1.0f, 1, {1, 2, 3}));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(nullptr, dir.path().c_str(), "c", kPerFrame, "kcc", 250));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), nullptr, "c", kPerFrame, "kcc", 250));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), dir.path().c_str(), nullptr, kPerFrame, "kcc", 250));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), dir.path().c_str(), "c", kPerFrame, nullptr, 250));
    EXPECT_FALSE(qztest::fileExists(dir.file("c.xml")));
}

TEST(Pc2ConversionTest, ZeroTicksPerFrameIsRefused) {
    qztest::TempDir dir;
    writeChannel(dir.path(), "shot", qzCacheData::kFloatVectorArray, {0, 250},
                 std::vector<std::vector<float>>{{1, 2, 3}, {4, 5, 6}}, 1, kOneFile, 0);
    {
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        ASSERT_EQ(cache.getTicksPerFrame(), 0);
    }
    const std::string pc2 = dir.file("z.pc2");
    EXPECT_FALSE(qzCacheFileInterface::convertToPc2(pc2.c_str(), dir.path().c_str(), "shot", 0, 0));
    EXPECT_TRUE(qztest::readFileBytes(pc2).empty());

    qztest::TempDir out;
    qztest::writeFileBytes(pc2, makePc2(1, 0.0f, 1.0f, 1, {1, 2, 3}));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "c",
                                                      kOneFile, "kcc", 0));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "c",
                                                      kOneFile, "kcc", -250));
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(out.path())));
}

TEST(Pc2ConversionTest, HalfFramesLandOnHalfFrameTimes) {
    qztest::TempDir dir;
    const std::string pc2 = dir.file("half.pc2");
    const std::vector<float> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    qztest::writeFileBytes(pc2, makePc2(2, 0.5f, 0.5f, 3, values));
    ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), dir.path().c_str(), "half",
                                                     kOneFile, "kcx", 250));
    EXPECT_TRUE(qztest::fileExists(dir.file("half.kcx")));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("half", dir.path().c_str()));
    ASSERT_EQ(cache.getDataCount(0), 3u);
    const int expected[] = {125, 250, 375};
    for (unsigned int k = 0; k < 3; ++k) {
        int time = 0;
        ASSERT_TRUE(cache.getDataTime(0, k, time));
        EXPECT_EQ(time, expected[k]);
    }
    const std::vector<std::vector<double>> samples = readBack(cache, 2);
    ASSERT_EQ(samples.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(samples[k][i], values[k * 6 + i]);
}

TEST(Pc2ConversionTest, SampleTimesAreComputedInSinglePrecision) {
    qztest::TempDir dir;
    const std::string pc2 = dir.file("fine.pc2");
    // A hundredth of a frame: in single precision 2 x 0.01f x 250 comes to 5 exactly, while
    // the same sum in double precision stays just below 5.
    qztest::writeFileBytes(pc2, makePc2(1, 0.0f, 0.01f, 5, std::vector<float>(15, 1.0f)));
    ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), dir.path().c_str(), "fine",
                                                     kOneFile, "kcc", 250));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("fine", dir.path().c_str()));
    ASSERT_EQ(cache.getDataCount(0), 5u);
    const int expected[] = {0, 2, 5, 7, 10};
    for (unsigned int k = 0; k < 5; ++k) {
        int time = -1;
        ASSERT_TRUE(cache.getDataTime(0, k, time));
        EXPECT_EQ(time, expected[k]) << k;
    }
}

TEST(Pc2ConversionTest, ChannelIsNamedAfterThePc2File) {
    qztest::TempDir dir;
    std::filesystem::create_directory(qztest::fsPath(dir.file("take.v2")));
    const std::string pc2 = dir.file("take.v2/wave.pc2");
    qztest::writeFileBytes(pc2, makePc2(1, 1.0f, 1.0f, 2, {1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), dir.path().c_str(), "c",
                                                     kPerFrame, "kcc", 250));
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileRead("c", dir.path().c_str()));
    unsigned int index = 9;
    EXPECT_TRUE(cache.hasChannelByName("wave", index));
    EXPECT_EQ(index, 0u);
    char* interpretation = nullptr;
    ASSERT_TRUE(cache.channelInterpretation(0, &interpretation));
    EXPECT_STREQ(interpretation, "Points");
    std::free(interpretation);
    // Sample rate 1 from frame 1 at 250 ticks per frame.
    EXPECT_TRUE(qztest::fileExists(dir.file("cFrame1.kc")));
    EXPECT_TRUE(qztest::fileExists(dir.file("cFrame2.kc")));
}

TEST(Pc2ConversionTest, BadLayoutFailsBeforeAnySampleIsRead) {
    qztest::TempDir dir;
    qztest::TempDir out;
    const std::string pc2 = dir.file("p.pc2");
    qztest::writeFileBytes(pc2, makePc2(1, 1.0f, 1.0f, 2, {1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "c",
                                                      static_cast<Format>(2), "kcc", 250));
    EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "c",
                                                      static_cast<Format>(-1), "kcc", 250));
    EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(out.path())));
}

// A file cut short keeps the samples it holds: they are converted and described, and the
// conversion reports false. Headers the file cannot back are refused before anything is written.
TEST(Pc2ConversionTest, CutShortFilesKeepTheirSamplesAndHostileOnesWriteNothing) {
    qztest::TempDir dir;
    const std::string pc2 = dir.file("bad.pc2");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        unsigned int salvaged;  // samples of one point each converted; 0: refused, nothing written
    };
    std::vector<float> values(17);  // five samples of one point and two thirds of a sixth
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5f * float(i) - 2.0f;
    std::vector<std::uint8_t> headerOnly = makePc2(2, 1.0f, 1.0f, 3, {});
    headerOnly.resize(20);
    const std::vector<Case> cases = {
        {"last sample cut short", makePc2(1, 1.0f, 1.0f, 6, values), 5},
        {"header claims far more samples", makePc2(1, 1.0f, 1.0f, 0x7fffffff, {values[0], values[1], values[2]}), 1},
        {"no whole sample", makePc2(2, 1.0f, 1.0f, 3, {values[0], values[1], values[2]}), 0},
        {"header cut short", headerOnly, 0},
        {"huge point count", makePc2(0x7fffffff, 1.0f, 1.0f, 1, {1, 2, 3}), 0},
        {"both huge", makePc2(0x40000000, 1.0f, 1.0f, 0x40000000, {1, 2, 3}), 0},
        {"times beyond the tick range", makePc2(1, 1e10f, 1.0f, 1, {1, 2, 3}), 0},
        {"last time beyond the tick range", makePc2(1, 0.0f, 1e7f, 2, {1, 2, 3, 4, 5, 6}), 0},
        {"infinite start", makePc2(1, std::numeric_limits<float>::infinity(), 1.0f, 1, {1, 2, 3}), 0},
    };
    for (const Case& c : cases) {
        qztest::TempDir out;
        qztest::writeFileBytes(pc2, c.bytes);
        EXPECT_FALSE(qzCacheFileInterface::convertFromPc2(pc2.c_str(), out.path().c_str(), "c",
                                                          kPerFrame, "kcc", 250))
            << c.what;
        if (c.salvaged == 0) {
            EXPECT_TRUE(std::filesystem::is_empty(qztest::fsPath(out.path()))) << c.what;
            continue;
        }
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("c", out.path().c_str())) << c.what;
        const std::vector<std::vector<double>> samples = readBack(cache, 1);
        ASSERT_EQ(samples.size(), c.salvaged) << c.what;
        for (unsigned int k = 0; k < c.salvaged; ++k) {
            for (unsigned int i = 0; i < 3; ++i) EXPECT_EQ(samples[k][i], values[k * 3 + i]) << c.what;
        }
    }
}
