// One on-disk cache for every test that needs a cache to read: written through the flat
// interface in either layout and format, with channels of any array type whose values are
// known from (channel, time, element) and include NaN, -0, a denormal and the extremes, so that
// a wrong byte, a lost sample or a neighbour blended in never passes for the stored value.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "qzCacheData.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileIffIO.h"
#include "qzCacheFileInterface.h"
#include "testSupport.h"

namespace qztest {

using Layout = qzCacheFileInterface::cacheFileFormat;
constexpr Layout kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Layout kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;

// Every layout in every format, for parameterised tests.
struct LayoutCase {
    Layout layout;
    const char* format;
};
inline std::vector<LayoutCase> everyLayout() {
    return {{kOneFile, "kcc"}, {kOneFile, "kcx"}, {kPerFrame, "kcc"}, {kPerFrame, "kcx"}};
}
inline std::string layoutName(Layout layout, const std::string& format) {
    return (layout == kOneFile ? "OneFile_" : "PerFrame_") + format;
}
inline std::string layoutCaseName(const ::testing::TestParamInfo<LayoutCase>& info) {
    return layoutName(info.param.layout, info.param.format);
}

struct TestChannel {
    std::string name;
    qzCacheData::qzCacheDataType type;
    unsigned int elements;
};

// A channel of every array type, a few elements each.
inline std::vector<TestChannel> everyArrayType(unsigned int elements = 5) {
    return {{"points", qzCacheData::kFloatVectorArray, elements},
            {"vectors", qzCacheData::kDoubleVectorArray, elements},
            {"weights", qzCacheData::kDoubleArray, elements},
            {"floats", qzCacheData::kFloatArray, elements},
            {"ids", qzCacheData::kInt32Array, elements}};
}

// Those with a channel "big" second, whose sample is larger than the container's buffers, so
// that a time being written reaches the file in parts.
inline std::vector<TestChannel> withBigChannel() {
    std::vector<TestChannel> channels = everyArrayType(3);
    channels.insert(channels.begin() + 1, TestChannel{"big", qzCacheData::kFloatArray, 20000});
    return channels;
}

struct TestCache {
    std::string location;  // a directory with a trailing "/"
    std::string name = "shot";
    Layout layout = kOneFile;
    std::string format = "kcc";
    int ticksPerFrame = 250;
    std::vector<TestChannel> channels = everyArrayType();
    std::vector<int> times = {250, 500, 750, 1000};
    // Values of `time + salt`: two caches holding one time can be told apart.
    int salt = 0;
    bool live = false;  // the description replaced after every time

    std::string description() const { return location + name + ".xml"; }
};

// Scalar k of a channel's sample at `time`: not linear in time, so an interpolated value never
// equals a stored one; every seventh scalar from the third is a special value.
inline double scalarAt(unsigned int channel, int time, unsigned int k) {
    static const double specials[] = {std::numeric_limits<double>::quiet_NaN(), -0.0,
                                      std::numeric_limits<float>::denorm_min(),
                                      std::numeric_limits<float>::max(), -1.0e-30};
    if (k % 7 == 2) return specials[(k / 7 + channel) % 5];
    const double frame = time / 250.0;
    return frame * frame * (channel + 1) - 0.5 * k + 1.0 / (k + 3.0);
}

// The first scalar of the double channel (2 of everyArrayType()): as written at `time`, and as
// read there asking for `count` elements (NaN when the request fails).
inline double weightAt(int time) { return scalarAt(2, time, 0); }
inline double readWeight(qzCacheFileAccessor& reader, int time, unsigned int count = 5) {
    std::vector<double> values(count, -1.0);
    void* data = values.data();
    unsigned int length = 0;
    return reader.getArrayDataAtTime(2, time, count, data, length) ? static_cast<double*>(data)[0]
                                                                   : std::numeric_limits<double>::quiet_NaN();
}

// The sample's bytes as the channel's type holds them in memory.
inline std::vector<unsigned char> sampleBytes(const TestChannel& c, unsigned int channel, int time) {
    const unsigned int scalars = c.elements * qzCacheData::scalarsPerElement(c.type);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(c.elements) * qzCacheData::elementSize(c.type));
    for (unsigned int k = 0; k < scalars; ++k) {
        const double value = scalarAt(channel, time, k);
        switch (c.type) {
        case qzCacheData::kFloatVectorArray:
        case qzCacheData::kFloatArray: {
            const float f = static_cast<float>(value);
            std::memcpy(bytes.data() + 4 * k, &f, 4);
            break;
        }
        case qzCacheData::kInt32Array: {
            const std::int32_t i = std::isfinite(value) ? static_cast<std::int32_t>(std::fmod(value * 1000.0, 2.0e9))
                                                        : static_cast<std::int32_t>(0x80000000u + k);
            std::memcpy(bytes.data() + 4 * k, &i, 4);
            break;
        }
        default: std::memcpy(bytes.data() + 8 * k, &value, 8);
        }
    }
    return bytes;
}

// The channels, then one time of every channel; false when the writer refused a call.
inline bool writeTestChannels(qzCacheFileInterface& writer, const TestCache& cache) {
    for (const TestChannel& c : cache.channels) {
        unsigned int index = 0;
        if (!writer.addChannel(c.name.c_str(), "test", c.type, index)) return false;
    }
    return true;
}

inline bool writeTestTime(qzCacheFileInterface& writer, const TestCache& cache, int time) {
    bool added = true;
    writer.beginWriteAtTime(time);
    for (unsigned int i = 0; i < cache.channels.size(); ++i) {
        std::vector<unsigned char> bytes = sampleBytes(cache.channels[i], i, time + cache.salt);
        added = writer.addArrayData(i, time, bytes.data(), cache.channels[i].elements) && added;
    }
    writer.endWriteAtTime();
    return added;
}

// Writes the cache and its description; a failure of any call fails the test.
inline void writeTestCache(const TestCache& cache) {
    qzCacheFileInterface writer;
    ASSERT_TRUE(writer.initFileWrite(cache.location.c_str(), cache.name.c_str(), cache.layout,
                                     cache.format.c_str(), cache.ticksPerFrame));
    ASSERT_TRUE(writeTestChannels(writer, cache));
    writer.setLiveWrite(cache.live, 0);
    for (int time : cache.times) ASSERT_TRUE(writeTestTime(writer, cache, time)) << "at " << time;
    ASSERT_TRUE(writer.endFileWrite());
}

// Makes the accessor read the cache: its description, and a data-file reader opened on it.
inline ::testing::AssertionResult openTestCache(qzCacheFileAccessor& accessor, const TestCache& cache) {
    if (!accessor.readDescriptionFile(text(cache.name), text(cache.location))) {
        return ::testing::AssertionFailure() << cache.description() << " does not read";
    }
    auto* reader = new qzCacheFileIffIO(qzCacheFileIO::kRead, text(cache.format));
    delete accessor.fileAccessor();
    accessor.setFileAccessor(reader);
    if (cache.layout == kOneFile && !reader->open(accessor.constructDataFilePathForOneFile())) {
        return ::testing::AssertionFailure() << "the data file of " << cache.name << " does not open";
    }
    return ::testing::AssertionSuccess();
}

// Whether the channel's sample at `time` reads back as written, byte for byte (NaN payloads and
// the sign of zero included), whether it landed in the buffer given or was lent from memory.
template <typename Reader>
::testing::AssertionResult readsBack(Reader& reader, const TestCache& cache, unsigned int channel, int time) {
    const TestChannel& c = cache.channels.at(channel);
    const std::vector<unsigned char> expected = sampleBytes(c, channel, time + cache.salt);
    std::vector<unsigned char> got(expected.size() + 8, 0xEE);
    void* data = got.data();
    unsigned int length = c.elements;
    bool read = false;
    if constexpr (std::is_base_of_v<qzCacheFileAccessor, Reader>) {
        read = reader.getArrayDataAtTime(channel, time, c.elements, data, length);
    } else {
        read = reader.getArrayDataAtTime(channel, time, data, length);
    }
    if (!read) return ::testing::AssertionFailure() << c.name << " at " << time << " does not read";
    if (length != c.elements || std::memcmp(data, expected.data(), expected.size()) != 0 ||
        (data == got.data() && got[expected.size()] != 0xEE)) {
        return ::testing::AssertionFailure() << c.name << " at " << time << " reads other bytes";
    }
    return ::testing::AssertionSuccess();
}

// Every channel at `time`.
template <typename Reader>
::testing::AssertionResult readsBackTime(Reader& reader, const TestCache& cache, int time) {
    for (unsigned int channel = 0; channel < cache.channels.size(); ++channel) {
        ::testing::AssertionResult result = readsBack(reader, cache, channel, time);
        if (!result) return result;
    }
    return ::testing::AssertionSuccess();
}

// Every channel at every time of the cache.
template <typename Reader>
::testing::AssertionResult readsBackWhole(Reader& reader, const TestCache& cache) {
    for (int time : cache.times) {
        ::testing::AssertionResult result = readsBackTime(reader, cache, time);
        if (!result) return result;
    }
    return ::testing::AssertionSuccess();
}

// A cache written into a temporary directory of its own, and an accessor of type A (a test's
// class derived from qzCacheFileAccessor) reading it.
template <typename A>
struct CacheOnDisk {
    TempDir dir;
    TestCache cache;
    A* reader = new A;
    AccessorRef ref{reader};

    CacheOnDisk(Layout layout, const char* format, std::vector<int> times,
                std::vector<TestChannel> channels = everyArrayType())
        : cache{dir.path(), "shot", layout, format, 250, std::move(channels), std::move(times)} {
        writeTestCache(cache);
        EXPECT_TRUE(openTestCache(*reader, cache));
    }
    std::filesystem::path frame(int time) const {
        return fsPath(reader->constructDataFilePathForOneFilePerFrame(time).utf8());
    }
};

}  // namespace qztest
