// The PC2 and MDD point cache files: what both share as typed tests, then each format's own
// header rules and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>

#include "qzMddIO.h"
#include "qzPointCache2IO.h"
#include "pointFileBytes.h"
#include "testSupport.h"

namespace {

using namespace qztest;

std::vector<float> sampleValues(int sample, int points) {
    std::vector<float> values(static_cast<std::size_t>(points) * 3);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(sample) * 100.0f + static_cast<float>(i) + 0.25f;
    }
    return values;
}

// The two file classes behind one shape, for the rules they share. The header is that of a
// file of `points` points and `frames` frames, one per frame from frame 1.
struct Pc2 {
    using File = qzPointCache2IO;
    static constexpr bool kBigEndian = false;
    static constexpr std::size_t kFramesField = 28;
    static std::size_t headerBytes(int) { return 32; }
    static Bytes header(int points, int frames) { return makePc2(points, 1.0f, 1.0f, frames, {}); }
    static bool writeHeader(File& file, int points, int frames) { return file.writeHeader(points, frames, 1.0f, 1.0f); }
    static bool writeFrame(File& file, int index, const float* points) { return file.writeSample(index, points); }
    static bool readFrame(File& file, int index, float* points, unsigned int& count) {
        return file.readSample(index, points, count);
    }
    static int frames(const File& file) { return file.numSamples(); }
    static int held(const File& file) { return file.samplesHeld(); }
};

struct Mdd {
    using File = qzMddIO;
    static constexpr bool kBigEndian = true;
    static constexpr std::size_t kFramesField = 0;
    static std::size_t headerBytes(int frames) { return 8 + 4 * std::size_t(frames); }
    static Bytes header(int points, int frames) {
        std::vector<float> seconds;
        for (int k = 0; k < frames; ++k) seconds.push_back((k + 1) / 24.0f);
        return makeMdd(points, seconds, {});
    }
    static bool writeHeader(File& file, int points, int frames) { return file.writeHeader(frames, points); }
    static bool writeFrame(File& file, int index, const float* points) {
        return file.writeFrame(index, (index + 1) / 24.0f, points);
    }
    static bool readFrame(File& file, int index, float* points, unsigned int& count) {
        return file.readFrame(index, points, count);
    }
    static int frames(const File& file) { return file.numFrames(); }
    static int held(const File& file) { return file.framesHeld(); }
};

template <typename Kind>
class PointFileTest : public ::testing::Test {
protected:
    using File = typename Kind::File;

    // Writes `frames` frames of sampleValues and returns the path.
    std::string writeExample(int points = 2, int frames = 3) {
        const std::string path = dir.file("example");
        File file;
        EXPECT_TRUE(file.open(path.c_str(), true));
        EXPECT_TRUE(Kind::writeHeader(file, points, frames));
        for (int s = 0; s < frames; ++s)
            EXPECT_TRUE(Kind::writeFrame(file, s, sampleValues(s, points).data()));
        file.close();
        return path;
    }

    // Opens `bytes` for reading; the frames the file holds, or -1 when it is refused.
    int heldWhenOpened(const Bytes& bytes) {
        const std::string path = dir.file("probe");
        qztest::writeFileBytes(path, bytes);
        File file;
        return file.open(path.c_str(), false) ? Kind::held(file) : -1;
    }

    qztest::TempDir dir;
};

using Kinds = ::testing::Types<Pc2, Mdd>;
TYPED_TEST_SUITE(PointFileTest, Kinds);

TYPED_TEST(PointFileTest, WrittenFileHasItsHeaderThenEveryFrameInTheFormatsByteOrder) {
    const Bytes bytes = qztest::readFileBytes(this->writeExample());
    const std::size_t header = TypeParam::headerBytes(3);
    ASSERT_EQ(bytes.size(), header + 3 * 24);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(header)), TypeParam::header(2, 3));
    // The first point of frame 1 begins right after frame 0: 100.25.
    Bytes expected;
    append32(expected, 100.25f, TypeParam::kBigEndian);
    EXPECT_EQ(Bytes(bytes.begin() + std::ptrdiff_t(header + 24), bytes.begin() + std::ptrdiff_t(header + 28)),
              expected);
}

TYPED_TEST(PointFileTest, ReadsEveryFrameInAnyOrderAndNegotiatesThePointCount) {
    const std::string path = this->writeExample(5000, 3);  // more floats than one conversion block
    const Bytes written = qztest::readFileBytes(path);
    typename TypeParam::File file;
    ASSERT_TRUE(file.open(path.c_str(), false));
    EXPECT_EQ(TypeParam::frames(file), 3);
    EXPECT_EQ(TypeParam::held(file), 3);
    std::vector<float> buffer(5000 * 3 + 3, -1.0f);
    for (int s : {2, 0, 1, 2}) {
        unsigned int count = 5000;
        ASSERT_TRUE(TypeParam::readFrame(file, s, buffer.data(), count)) << s;
        EXPECT_EQ(std::vector<float>(buffer.begin(), buffer.end() - 3), sampleValues(s, 5000)) << s;
        EXPECT_EQ(buffer.back(), -1.0f);
    }
    // Another count than the file's: nothing read, nothing written; the file's count is told.
    std::fill(buffer.begin(), buffer.end(), 7.0f);
    for (unsigned int wrong : {4999u, 0u, 5001u}) {
        unsigned int count = wrong;
        EXPECT_FALSE(TypeParam::readFrame(file, 0, buffer.data(), count)) << wrong;
        EXPECT_EQ(count, 5000u);
    }
    EXPECT_EQ(buffer, std::vector<float>(buffer.size(), 7.0f));
    unsigned int count = 5000;
    for (int outside : {3, -1, std::numeric_limits<int>::min()}) {
        EXPECT_FALSE(TypeParam::readFrame(file, outside, buffer.data(), count)) << outside;
    }
    // A reader does not write.
    EXPECT_FALSE(TypeParam::writeHeader(file, 2, 3) || TypeParam::writeFrame(file, 0, buffer.data()));
    file.close();
    EXPECT_FALSE(TypeParam::readFrame(file, 2, buffer.data(), count));
    EXPECT_EQ(qztest::readFileBytes(path), written);
}

// A header cut short, or a missing file, is refused; a file cut inside its frames opens, tells
// the frames it holds, and reads those only.
TYPED_TEST(PointFileTest, CutFilesHoldTheirWholeFrames) {
    const Bytes whole = qztest::readFileBytes(this->writeExample());
    const std::size_t header = TypeParam::headerBytes(3);
    for (std::size_t length = 0; length < whole.size(); ++length) {
        EXPECT_EQ(this->heldWhenOpened(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(length))),
                  length < header ? -1 : int((length - header) / 24))
            << length;
    }
    typename TypeParam::File file;
    ASSERT_TRUE(file.open(this->dir.file("probe").c_str(), false));  // the last probe: one byte short
    std::vector<float> buffer(6);
    unsigned int count = 2;
    EXPECT_FALSE(TypeParam::readFrame(file, 2, buffer.data(), count));
    EXPECT_TRUE(TypeParam::readFrame(file, 1, buffer.data(), count));
    EXPECT_EQ(buffer, sampleValues(1, 2));
    EXPECT_FALSE(file.open(this->dir.file("absent").c_str(), false));
    EXPECT_FALSE(file.open(this->dir.file("no/such/dir").c_str(), true));
    EXPECT_FALSE(file.open(nullptr, false));
}

TYPED_TEST(PointFileTest, WritesTheHeaderOnceAndFramesOnlyInOrder) {
    const std::string path = this->dir.file("order");
    const std::vector<float> values = sampleValues(0, 2);
    {
        typename TypeParam::File file;
        EXPECT_FALSE(TypeParam::writeHeader(file, 2, 2));  // nothing open
        ASSERT_TRUE(file.open(path.c_str(), true));
        EXPECT_FALSE(TypeParam::writeHeader(file, -1, 2));
        EXPECT_FALSE(TypeParam::writeHeader(file, 2, -1));
        EXPECT_FALSE(TypeParam::writeFrame(file, 0, values.data()));  // before the header
        ASSERT_TRUE(TypeParam::writeHeader(file, 2, 2));
        EXPECT_FALSE(TypeParam::writeHeader(file, 2, 2));  // a second header would corrupt it
        EXPECT_FALSE(TypeParam::writeFrame(file, 1, values.data()));
        EXPECT_FALSE(TypeParam::writeFrame(file, -1, values.data()));
        EXPECT_EQ(qztest::readFileBytes(path).size(), TypeParam::headerBytes(0));
        EXPECT_TRUE(TypeParam::writeFrame(file, 0, values.data()));
        EXPECT_FALSE(TypeParam::writeFrame(file, 0, values.data()));  // repeated
        EXPECT_TRUE(TypeParam::writeFrame(file, 1, values.data()));
        EXPECT_FALSE(TypeParam::writeFrame(file, 2, values.data()));  // beyond the last frame
    }  // the destructor closes
    EXPECT_EQ(qztest::readFileBytes(path).size(), TypeParam::headerBytes(2) + 2 * 24);
}

// A sparse file whose one written frame lies beyond 2^31 bytes.
TYPED_TEST(PointFileTest, ReadsAFrameBeyondTwoGigabytes) {
    const int frames = 200000001;
    const int index = 200000000;
    const std::string path = this->dir.file("big");
    Bytes header = TypeParam::header(1, 1);
    header.resize(TypeParam::headerBytes(0));  // the times of an MDD file read as zeros
    store32(header, TypeParam::kFramesField, frames, TypeParam::kBigEndian);
    qztest::writeFileBytes(path, header);
    const std::uint64_t offset = TypeParam::headerBytes(frames) + std::uint64_t(index) * 12;
    std::error_code error;
    std::filesystem::resize_file(qztest::fsPath(path), offset + 12, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    {
        Bytes sample;
        for (float value : {1.5f, -2.5f, 3.5f}) append32(sample, value, TypeParam::kBigEndian);
        std::fstream out(qztest::fsPath(path), std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(offset));
        out.write(reinterpret_cast<const char*>(sample.data()), 12);
        ASSERT_TRUE(out.good());
    }
    typename TypeParam::File file;
    ASSERT_TRUE(file.open(path.c_str(), false));
    EXPECT_EQ(TypeParam::held(file), frames);
    float buffer[3] = {0, 0, 0};
    unsigned int count = 1;
    ASSERT_TRUE(TypeParam::readFrame(file, index, buffer, count));
    EXPECT_EQ(std::vector<float>(buffer, buffer + 3), (std::vector<float>{1.5f, -2.5f, 3.5f}));
    EXPECT_TRUE(TypeParam::readFrame(file, index - 1, buffer, count));  // a hole reads as zeros
    EXPECT_EQ(buffer[0], 0.0f);
}

TEST(Pc2FileTest, RefusesEveryBadHeaderField) {
    qztest::TempDir dir;
    const std::string path = dir.file("probe.pc2");
    const auto opens = [&path](const Bytes& bytes) {
        qztest::writeFileBytes(path, bytes);
        qzPointCache2IO pc2;
        return pc2.open(path.c_str(), false);
    };
    Bytes good = Pc2::header(2, 3);
    good.resize(104);
    ASSERT_TRUE(opens(good));
    const auto with = [&good](std::size_t offset, std::uint32_t value) {
        Bytes bytes = good;
        store32(bytes, offset, value, false);
        return bytes;
    };
    const auto rate = [](float value) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return bits;
    };
    EXPECT_TRUE(opens(with(20, rate(-12.5f))));  // any start frame, negative too
    const std::pair<std::size_t, std::uint32_t> refused[] = {
        {8, 0x21324548},  // "POINTCACHE2!": no terminator
        {0, 0x4E494F70},  // "pOIN"
        {12, 2}, {12, 0}, {16, 0}, {16, 0xffffffffu}, {28, 0}, {28, 0x80000000u},
        {24, rate(0.0f)}, {24, rate(-0.0f)}, {24, rate(-1.0f)}, {24, rate(std::numeric_limits<float>::quiet_NaN())}};
    for (const auto& [offset, value] : refused) EXPECT_FALSE(opens(with(offset, value))) << offset << ": " << value;
    qzPointCache2IO writer;
    ASSERT_TRUE(writer.open(dir.file("w.pc2").c_str(), true));
    for (float bad : {0.0f, -0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_FALSE(writer.writeHeader(1, 1, 0.0f, bad)) << bad;
    }
}

// With no signature, the MDD counts are only believed as far as the file's length backs them.
TEST(MddFileTest, CountsAreCheckedAgainstTheFileLength) {
    qztest::TempDir dir;
    const std::string path = dir.file("probe.mdd");
    const struct {
        const char* what;
        std::uint32_t frames;
        std::uint32_t points;
        std::size_t length;  // bytes of the file, the counts included
        int held;            // -1: refused
    } cases[] = {
        {"no frames", 0, 2, 8 + 24, -1},
        {"negative frames", 0x80000000u, 2, 64, -1},
        {"no points", 1, 0, 8 + 4 + 12, -1},
        {"negative points", 1, 0xffffffffu, 64, -1},
        {"time table cut short", 3, 1, 8 + 8, -1},
        {"the most frames, no table", 0x7fffffffu, 1, 8 + 4 + 12, -1},
        {"the most points, one frame", 1, 0x7fffffffu, 8 + 4 + 12, 0},
        {"two frames and a half", 3, 2, 8 + 12 + 2 * 24 + 12, 2},
        {"more bytes than frames", 1, 1, 8 + 4 + 12 * 5, 1},
    };
    for (const auto& c : cases) {
        Bytes bytes(c.length);
        store32(bytes, 0, c.frames, true);
        store32(bytes, 4, c.points, true);
        qztest::writeFileBytes(path, bytes);
        qzMddIO mdd;
        const bool opened = mdd.open(path.c_str(), false);
        EXPECT_EQ(opened ? mdd.framesHeld() : -1, c.held) << c.what;
    }
}

}  // namespace
