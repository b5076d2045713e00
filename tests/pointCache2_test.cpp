#include "qzPointCache2IO.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "testSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The header of a file with 2 points, 3 samples, start frame 1.0 and sample rate 1.0.
const Bytes kExampleHeader = {
    0x50, 0x4f, 0x49, 0x4e, 0x54, 0x43, 0x41, 0x43, 0x48, 0x45, 0x32, 0x00,  // POINTCACHE2
    0x01, 0x00, 0x00, 0x00,  // version 1
    0x02, 0x00, 0x00, 0x00,  // 2 points
    0x00, 0x00, 0x80, 0x3f,  // start frame 1.0
    0x00, 0x00, 0x80, 0x3f,  // sample rate 1.0
    0x03, 0x00, 0x00, 0x00,  // 3 samples
};

void putLE32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putFloat(Bytes& bytes, std::size_t offset, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    putLE32(bytes, offset, bits);
}

std::vector<float> sampleValues(int sample, int points) {
    std::vector<float> values(static_cast<std::size_t>(points) * 3);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(sample) * 100.0f + static_cast<float>(i) + 0.25f;
    }
    return values;
}

class PointCache2Test : public ::testing::Test {
protected:
    // Writes the 2-point, 3-sample example and returns its path.
    std::string writeExample() {
        const std::string path = dir.file("example.pc2");
        qzPointCache2IO pc2;
        EXPECT_TRUE(pc2.open(path.c_str(), true));
        EXPECT_TRUE(pc2.writeHeader(2, 3, 1.0f, 1.0f));
        for (int s = 0; s < 3; ++s) EXPECT_TRUE(pc2.writeSample(s, sampleValues(s, 2).data()));
        pc2.close();
        return path;
    }

    bool opensForReading(const Bytes& bytes) {
        const std::string path = dir.file("probe.pc2");
        qztest::writeFileBytes(path, bytes);
        qzPointCache2IO pc2;
        return pc2.open(path.c_str(), false);
    }

    qztest::TempDir dir;
};

TEST_F(PointCache2Test, ExampleHeaderBytesAndLength) {
    const Bytes bytes = qztest::readFileBytes(writeExample());
    ASSERT_EQ(bytes.size(), 104u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 32), kExampleHeader);
    // The first point of sample 1 begins right after sample 0: 100.25 little-endian.
    Bytes expected(4);
    putFloat(expected, 0, 100.25f);
    EXPECT_EQ(Bytes(bytes.begin() + 56, bytes.begin() + 60), expected);
    EXPECT_EQ(qzPointCache2IO::headerSize(), 32);
}

TEST_F(PointCache2Test, ReadsBackHeaderAndEverySampleInAnyOrder) {
    const std::string path = writeExample();
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    EXPECT_EQ(pc2.fileVersion(), 1);
    EXPECT_EQ(pc2.numPoints(), 2);
    EXPECT_EQ(pc2.numSamples(), 3);
    EXPECT_EQ(pc2.startFrame(), 1.0f);
    EXPECT_EQ(pc2.sampleRate(), 1.0f);
    for (int s : {2, 0, 1, 2}) {
        std::vector<float> buffer(6, -1.0f);
        unsigned int count = 2;
        ASSERT_TRUE(pc2.readSample(s, buffer.data(), count)) << s;
        EXPECT_EQ(buffer, sampleValues(s, 2)) << s;
    }
}

TEST_F(PointCache2Test, ReadSampleNegotiatesThePointCount) {
    const std::string path = writeExample();
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    // A buffer one point short: nothing read, nothing written past it.
    std::vector<float> small(4 + 1, 7.0f);
    unsigned int count = 1;
    EXPECT_FALSE(pc2.readSample(0, small.data(), count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(small, std::vector<float>(5, 7.0f));

    count = 0;
    std::vector<float> buffer(6);
    EXPECT_FALSE(pc2.readSample(1, buffer.data(), count));
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(pc2.readSample(1, buffer.data(), count));
    EXPECT_EQ(buffer, sampleValues(1, 2));

    count = 5;
    EXPECT_FALSE(pc2.readSample(1, buffer.data(), count));
    EXPECT_EQ(count, 2u);
}

TEST_F(PointCache2Test, ReadSampleRefusesIndicesOutsideTheFile) {
    const std::string path = writeExample();
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    std::vector<float> buffer(6);
    unsigned int count = 2;
    EXPECT_FALSE(pc2.readSample(3, buffer.data(), count));
    EXPECT_FALSE(pc2.readSample(-1, buffer.data(), count));
    EXPECT_FALSE(pc2.readSample(-2147483647 - 1, buffer.data(), count));
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(pc2.readSample(2, buffer.data(), count));
    pc2.close();
    EXPECT_FALSE(pc2.readSample(2, buffer.data(), count));
}

TEST_F(PointCache2Test, ReadSampleOfAFileCutShortFails) {
    Bytes bytes = qztest::readFileBytes(writeExample());
    bytes.resize(bytes.size() - 1);
    const std::string path = dir.file("short.pc2");
    qztest::writeFileBytes(path, bytes);
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    std::vector<float> buffer(6);
    unsigned int count = 2;
    EXPECT_TRUE(pc2.readSample(1, buffer.data(), count));
    EXPECT_FALSE(pc2.readSample(2, buffer.data(), count));
}

TEST_F(PointCache2Test, RefusesEveryBadHeaderField) {
    Bytes good = kExampleHeader;
    good.resize(104);
    ASSERT_TRUE(opensForReading(good));

    Bytes bad = good;
    bad[11] = '!';  // "POINTCACHE2" not followed by its terminator
    EXPECT_FALSE(opensForReading(bad));
    bad = good;
    bad[0] = 'p';
    EXPECT_FALSE(opensForReading(bad));

    const struct {
        std::size_t offset;
        std::uint32_t value;
        const char* what;
    } intCases[] = {{12, 2, "version 2"},       {12, 0, "version 0"},
                    {16, 0, "no points"},       {16, 0xffffffffu, "-1 points"},
                    {28, 0, "no samples"},      {28, 0x80000000u, "negative samples"}};
    for (const auto& c : intCases) {
        bad = good;
        putLE32(bad, c.offset, c.value);
        EXPECT_FALSE(opensForReading(bad)) << c.what;
    }
    for (float rate : {0.0f, -0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        bad = good;
        putFloat(bad, 24, rate);
        EXPECT_FALSE(opensForReading(bad)) << rate;
    }
    // Any start frame is fine, negative too.
    bad = good;
    putFloat(bad, 20, -12.5f);
    EXPECT_TRUE(opensForReading(bad));
}

TEST_F(PointCache2Test, RefusesAHeaderCutAtEveryLength) {
    for (std::size_t length = 0; length < 32; ++length) {
        const Bytes cut(kExampleHeader.begin(), kExampleHeader.begin() + length);
        EXPECT_FALSE(opensForReading(cut)) << length;
    }
    EXPECT_TRUE(opensForReading(kExampleHeader));  // samples missing: found only on reading
}

TEST_F(PointCache2Test, OpenFailsForAMissingFile) {
    qzPointCache2IO pc2;
    EXPECT_FALSE(pc2.open(dir.file("absent.pc2").c_str(), false));
    EXPECT_FALSE(pc2.open(dir.file("no/such/dir.pc2").c_str(), true));
    EXPECT_FALSE(pc2.open(nullptr, false));
}

TEST_F(PointCache2Test, WriteHeaderChecksItsArguments) {
    const std::string path = dir.file("w.pc2");
    qzPointCache2IO pc2;
    EXPECT_FALSE(pc2.writeHeader(1, 1, 0.0f, 1.0f));  // nothing open
    ASSERT_TRUE(pc2.open(path.c_str(), true));
    EXPECT_FALSE(pc2.writeHeader(-1, 1, 0.0f, 1.0f));
    EXPECT_FALSE(pc2.writeHeader(1, -1, 0.0f, 1.0f));
    EXPECT_FALSE(pc2.writeHeader(1, 1, 0.0f, 0.0f));
    EXPECT_FALSE(pc2.writeHeader(1, 1, 0.0f, -2.0f));
    pc2.close();
    EXPECT_TRUE(qztest::readFileBytes(path).empty());

    ASSERT_TRUE(pc2.open(path.c_str(), true));
    EXPECT_TRUE(pc2.writeHeader(0, 0, 0.0f, 0.5f));
    EXPECT_EQ(pc2.fileVersion(), 1);
    EXPECT_FALSE(pc2.writeHeader(0, 0, 0.0f, 0.5f));  // a second header would corrupt the file
    pc2.close();
    EXPECT_EQ(qztest::readFileBytes(path).size(), 32u);
}

TEST_F(PointCache2Test, WritesSamplesOnlyInOrder) {
    const std::string path = dir.file("order.pc2");
    const std::vector<float> values = sampleValues(0, 2);
    {
        qzPointCache2IO pc2;
        ASSERT_TRUE(pc2.open(path.c_str(), true));
        EXPECT_FALSE(pc2.writeSample(0, values.data()));  // before the header
        ASSERT_TRUE(pc2.writeHeader(2, 2, 0.0f, 1.0f));
        EXPECT_FALSE(pc2.writeSample(1, values.data()));
        EXPECT_FALSE(pc2.writeSample(-1, values.data()));
        std::fflush(nullptr);
        EXPECT_EQ(qztest::readFileBytes(path).size(), 32u);
        EXPECT_TRUE(pc2.writeSample(0, values.data()));
        EXPECT_FALSE(pc2.writeSample(0, values.data()));  // repeated
        EXPECT_TRUE(pc2.writeSample(1, values.data()));
        EXPECT_EQ(pc2.nextSampleIndex(), 2);
        EXPECT_FALSE(pc2.writeSample(2, values.data()));  // beyond numSamples - 1
    }  // the destructor closes
    EXPECT_EQ(qztest::readFileBytes(path).size(), 32u + 2 * 2 * 12);
}

TEST_F(PointCache2Test, ReaderDoesNotWriteAndWriterDoesNotRead) {
    const std::string path = writeExample();
    const Bytes before = qztest::readFileBytes(path);
    {
        qzPointCache2IO pc2;
        ASSERT_TRUE(pc2.open(path.c_str(), false));
        EXPECT_FALSE(pc2.writeHeader(2, 3, 1.0f, 1.0f));
        EXPECT_FALSE(pc2.writeSample(0, sampleValues(9, 2).data()));
    }
    EXPECT_EQ(qztest::readFileBytes(path), before);
}

TEST_F(PointCache2Test, LargeSamplesSpanSeveralWriteBlocks) {
    const int points = 5000;  // more floats than one conversion block
    const std::string path = dir.file("large.pc2");
    {
        qzPointCache2IO pc2;
        ASSERT_TRUE(pc2.open(path.c_str(), true));
        ASSERT_TRUE(pc2.writeHeader(points, 2, 0.0f, 1.0f));
        ASSERT_TRUE(pc2.writeSample(0, sampleValues(0, points).data()));
        ASSERT_TRUE(pc2.writeSample(1, sampleValues(1, points).data()));
    }
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    std::vector<float> buffer(points * 3);
    unsigned int count = points;
    ASSERT_TRUE(pc2.readSample(1, buffer.data(), count));
    EXPECT_EQ(buffer, sampleValues(1, points));
}

TEST(PointCache2Offsets, AreComputedIn64Bits) {
    EXPECT_EQ(qzPointCache2IO::sampleOffset(0, 2), 32);
    EXPECT_EQ(qzPointCache2IO::sampleOffset(2, 2), 32 + 48);
    EXPECT_EQ(qzPointCache2IO::sampleOffset(200000000, 1), 2400000032LL);
    EXPECT_EQ(qzPointCache2IO::sampleOffset(2147483647, 1), 32 + 2147483647LL * 12);
    EXPECT_EQ(qzPointCache2IO::sampleOffset(2147483647, 2147483647), -1);  // beyond 64 bits
    EXPECT_GT(qzPointCache2IO::sampleOffset(2147483647, 300000000), 0);
    EXPECT_EQ(qzPointCache2IO::sampleOffset(-1, 2), -1);
}

// A sparse file of about 2.4 GB whose one written sample lies beyond 2^31 bytes.
TEST_F(PointCache2Test, ReadsASampleBeyondTwoGigabytes) {
    const int samples = 200000001;
    const int index = 200000000;
    const std::string path = dir.file("big.pc2");
    Bytes header = kExampleHeader;
    putLE32(header, 16, 1);
    putLE32(header, 28, samples);
    qztest::writeFileBytes(path, header);
    const std::uint64_t size = 32 + static_cast<std::uint64_t>(samples) * 12;
    std::error_code error;
    std::filesystem::resize_file(qztest::fsPath(path), size, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    {
        Bytes sample(12);
        putFloat(sample, 0, 1.5f);
        putFloat(sample, 4, -2.5f);
        putFloat(sample, 8, 3.5f);
        std::fstream out(qztest::fsPath(path), std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(qzPointCache2IO::sampleOffset(index, 1)));
        out.write(reinterpret_cast<const char*>(sample.data()), 12);
        ASSERT_TRUE(out.good());
    }
    qzPointCache2IO pc2;
    ASSERT_TRUE(pc2.open(path.c_str(), false));
    float buffer[3] = {0, 0, 0};
    unsigned int count = 1;
    ASSERT_TRUE(pc2.readSample(index, buffer, count));
    EXPECT_EQ(buffer[0], 1.5f);
    EXPECT_EQ(buffer[1], -2.5f);
    EXPECT_EQ(buffer[2], 3.5f);
    EXPECT_TRUE(pc2.readSample(index - 1, buffer, count));  // a hole reads as zeros
    EXPECT_EQ(buffer[0], 0.0f);
}

}  // namespace
