#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffIOPrivate.h"
#include "qzFaultFileSystem.h"
#include "qzFileSystem.h"
#include "qzIffFile.h"
#include "qzIffTag.h"
#include "qzMemoryFileSystem.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using qzString::IString;

IString str(const char* text) { return IString(text, 0); }

// Exposes the protected parts and counts rewinds, so that the search strategy shows.
class TestIO : public qzCacheFileIffIO {
public:
    using qzCacheFileIffIO::qzCacheFileIffIO;
    int start() const { return m_startTime; }
    int end() const { return m_endTime; }
    const IString& version() const { return m_version; }
    using qzCacheFileIffIO::readbool;
    using qzCacheFileIffIO::readIstring;
    using qzCacheFileIffIO::writebool;
    bool rewind() override {
        ++rewinds;
        return qzCacheFileIffIO::rewind();
    }
    int rewinds = 0;
};

Bytes tagBytes(const char* tag) { return Bytes(tag, tag + 4); }

// A chunk as found in a file: declared size and payload. The size field follows the tag
// and is 4 bytes wide in "FOR4" files and 8 in "FOR8" files.
struct Chunk {
    bool found = false;
    std::uint64_t size = 0;
    Bytes payload;
};

Chunk findChunk(const Bytes& file, const char* tag, unsigned sizeFieldBytes) {
    Chunk chunk;
    for (std::size_t at = 0; at + 4 + sizeFieldBytes <= file.size(); ++at) {
        const std::size_t start = at + 4 + sizeFieldBytes;
        for (unsigned i = 0; i < sizeFieldBytes; ++i) {
            chunk.size = (chunk.size << 8) | file[at + 4 + i];
        }
        if (std::memcmp(&file[at], tag, 4) == 0 && start + chunk.size <= file.size()) {
            chunk.found = true;
            chunk.payload.assign(&file[start], &file[start] + chunk.size);
            return chunk;
        }
        chunk.size = 0;
    }
    return chunk;
}

template <typename T>
Bytes bigEndian(const std::vector<T>& values) {
    Bytes out;
    for (const T& value : values) {
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        for (std::size_t i = sizeof(T); i > 0; --i) {
            out.push_back(raw[i - 1]);
        }
    }
    return out;
}

struct Variant {
    const char* format;
    const char* groupTag;
    const char* extension;
    unsigned sizeFieldBytes;
};

const Variant kVariants[] = {{"kcc", "FOR4", "kc", 4}, {"kcx", "FOR8", "kcx", 8}};

enum class Kind { kDouble, kFloat, kInt, kDoubleVector, kFloatVector };

// The array reader of one kind, on a buffer large enough for `count` of its elements.
bool readAs(qzCacheFileIffIO& io, Kind kind, void* buffer, unsigned count) {
    switch (kind) {
    case Kind::kDouble: return io.readDoubleArray(static_cast<double*>(buffer), count);
    case Kind::kFloat: return io.readFloatArray(static_cast<float*>(buffer), count);
    case Kind::kInt: return io.readInt32Array(static_cast<int*>(buffer), count);
    case Kind::kDoubleVector: return io.readDoubleVectorArray(static_cast<double*>(buffer), count);
    case Kind::kFloatVector: return io.readFloatVectorArray(static_cast<float*>(buffer), count);
    }
    return false;
}

bool writeAs(qzCacheFileIffIO& io, Kind kind, const void* data, unsigned count) {
    switch (kind) {
    case Kind::kDouble: return io.writeDoubleArray(static_cast<const double*>(data), count);
    case Kind::kFloat: return io.writeFloatArray(static_cast<const float*>(data), count);
    case Kind::kInt: return io.writeInt32Array(static_cast<const int*>(data), count);
    case Kind::kDoubleVector:
        return io.writeDoubleVectorArray(static_cast<const double*>(data), count);
    case Kind::kFloatVector: return io.writeFloatVectorArray(static_cast<const float*>(data), count);
    }
    return false;
}

class IffIOTest : public ::testing::Test {
protected:
    std::string path(const char* name = "data.kc") const { return m_dir.file(name); }

    // Header, one time group at time 250 with one channel, written by `body`.
    template <typename Body>
    Bytes writeOneRecord(const char* format, Body body) {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format));
        EXPECT_TRUE(io.open(str(path().c_str())));
        EXPECT_TRUE(io.writeHeader(str("0.1"), 0, 1));
        io.beginWriteChunk();
        EXPECT_TRUE(io.writeTime(250));
        EXPECT_TRUE(io.writeChannelName(str("ch")));
        body(io);
        io.endWriteChunk();
        io.close();
        return qztest::readFileBytes(path());
    }

    // Opens the file written by writeOneRecord and stands after the channel's "SIZE".
    unsigned int openAtArray(TestIO& io) {
        EXPECT_TRUE(io.open(str(path().c_str())));
        int time = 0;
        EXPECT_TRUE(io.findTime(250, time));
        EXPECT_TRUE(io.findChannelName(str("ch")));
        return io.readArraySize();
    }

    // Writes `values` as one array of `kind`, checks the stored count and bytes, and reads
    // them back.
    template <typename T>
    void expectStored(const Variant& v, Kind kind, const char* tag, const std::vector<T>& values) {
        SCOPED_TRACE(std::string(tag) + " x" + std::to_string(values.size()));
        const bool vectors = kind == Kind::kDoubleVector || kind == Kind::kFloatVector;
        const unsigned count = static_cast<unsigned>(values.size() / (vectors ? 3 : 1));
        const std::vector<T> copy = values;
        const Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(writeAs(io, kind, values.data(), count));
        });
        EXPECT_TRUE(values == copy);
        EXPECT_EQ(findChunk(file, "SIZE", v.sizeFieldBytes).payload,
            bigEndian(std::vector<std::uint32_t>{count}));
        const Chunk array = findChunk(file, tag, v.sizeFieldBytes);
        EXPECT_EQ(array.size, values.size() * sizeof(T));
        EXPECT_TRUE(array.payload == bigEndian(values));
        TestIO in(qzCacheFileIO::kRead, str(v.format));
        ASSERT_EQ(openAtArray(in), count);
        std::vector<T> back(values.size());
        EXPECT_TRUE(readAs(in, kind, back.data(), count));
        EXPECT_TRUE(back == values);
    }

    qztest::TempDir m_dir;
};

TEST_F(IffIOTest, ArraysAreStoredBigEndianAfterTheirCount) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const float f = 1.0f;
        const int i = 1;
        const double d = 1.0;
        const Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeFloatArray(&f, 1));
            EXPECT_TRUE(io.writeChannelName(str("i")));
            EXPECT_TRUE(io.writeInt32Array(&i, 1));
            EXPECT_TRUE(io.writeChannelName(str("d")));
            EXPECT_TRUE(io.writeDoubleArray(&d, 1));
        });
        EXPECT_EQ(findChunk(file, "SIZE", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(findChunk(file, "FBCA", v.sizeFieldBytes).payload, (Bytes{0x3F, 0x80, 0, 0}));
        EXPECT_EQ(findChunk(file, "INTA", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(findChunk(file, "DBLA", v.sizeFieldBytes).payload,
            (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(findChunk(file, "TIME", v.sizeFieldBytes).payload, (Bytes{0, 0, 0x00, 0xFA}));
        EXPECT_EQ(findChunk(file, "STIM", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(findChunk(file, "ETIM", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        const Chunk version = findChunk(file, "VRSN", v.sizeFieldBytes);
        ASSERT_GE(version.payload.size(), 3u);
        EXPECT_EQ(std::string(version.payload.begin(), version.payload.begin() + 3), "0.1");

        // Vectors count vectors and keep x, y, z order: 2 float vectors are 24 bytes.
        expectStored<float>(v, Kind::kFloatVector, "FVCA", {1.f, -2.f, 3.5f, 4.f, 5.f, -6.25f});
        expectStored<double>(v, Kind::kDoubleVector, "DVCA", {0.5, -1e300, 3, 4.25, 1e-300, -6});
        expectStored<int>(v, Kind::kInt, "INTA", {-2147483647 - 1, -1, 0, 2147483647});
        expectStored<float>(v, Kind::kFloat, "FBCA", {-0.0f, 1e-40f, 3e38f});
        // Both sides of 64 KiB of payload, and well beyond.
        for (std::size_t count : {8192u, 8193u, 100000u}) {
            std::vector<double> values(count);
            for (std::size_t k = 0; k < count; ++k) {
                values[k] = static_cast<double>(k) * 0.25 - 1000.0;
            }
            expectStored<double>(v, Kind::kDouble, "DBLA", values);
        }
    }
}

TEST_F(IffIOTest, VariantFollowsFormatOrExistingFile) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const int one = 1;
        const Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            io.writeInt32Array(&one, 1);
        });
        EXPECT_EQ(Bytes(file.begin(), file.begin() + std::min<long>(4, file.size())),
            tagBytes(v.groupTag));
        EXPECT_EQ(qzCacheFileIffIO(qzCacheFileIO::kWrite, str(v.format)).extension().utf8(),
            v.extension);

        // A reader that does not know the format takes the variant from the file.
        TestIO reader(qzCacheFileIO::kRead, str(""));
        ASSERT_EQ(openAtArray(reader), 1u);
        int value = 0;
        EXPECT_TRUE(reader.readInt32Array(&value, 1));
        EXPECT_EQ(value, 1);
    }
    // A writer that does not know the format writes the 64-bit variant.
    const Bytes file = writeOneRecord("pc2", [](qzCacheFileIffIO&) {});
    EXPECT_EQ(Bytes(file.begin(), file.begin() + std::min<long>(4, file.size())), tagBytes("FOR8"));
    EXPECT_EQ(qzCacheFileIffIO(qzCacheFileIO::kWrite, str("pc2")).extension().utf8(), "kc");
}

TEST_F(IffIOTest, EmptyArraysReadBackEmpty) {
    writeOneRecord("kcc", [](qzCacheFileIffIO& io) {
        EXPECT_TRUE(io.writeFloatArray(nullptr, 0));
        EXPECT_TRUE(io.writeChannelName(str("second")));
        EXPECT_TRUE(io.writeDoubleVectorArray(nullptr, 0));
    });
    const Bytes file = qztest::readFileBytes(path());
    EXPECT_EQ(findChunk(file, "SIZE", 4).payload, (Bytes{0, 0, 0, 0}));
    Chunk array = findChunk(file, "FBCA", 4);
    EXPECT_TRUE(array.found);
    EXPECT_EQ(array.size, 0u);
    TestIO in(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_EQ(openAtArray(in), 0u);
    float untouched = 7.f;
    EXPECT_TRUE(in.readFloatArray(&untouched, 0));
    EXPECT_EQ(untouched, 7.f);
    EXPECT_TRUE(in.findChannelName(str("second")));
    EXPECT_EQ(in.readArraySize(), 0u);
    EXPECT_TRUE(in.readDoubleVectorArray(nullptr, 0));
}

// Every type: a wrong count or another type's reader fails, leaves the buffer alone and
// consumes the chunk, so that trying again with the right call fails as well.
TEST_F(IffIOTest, MismatchedReadsFailAndConsumeTheChunk) {
    const double d[3] = {1, 2, 3};
    const float f[3] = {1, 2, 3};
    const int n[3] = {1, 2, 3};
    writeOneRecord("kcx", [&](qzCacheFileIffIO& io) {
        io.writeDoubleArray(d, 3);
        io.writeChannelName(str("ch"));
        io.writeFloatArray(f, 3);
        io.writeChannelName(str("ch"));
        io.writeInt32Array(n, 3);
        io.writeChannelName(str("ch"));
        io.writeDoubleVectorArray(d, 1);
        io.writeChannelName(str("ch"));
        io.writeFloatVectorArray(f, 1);
    });
    struct Case {
        int record;  // position of the record in the time group
        Kind wrongKind;
        unsigned wrongCount;  // equal byte sizes test the tag
        Kind kind;
        unsigned count;
    };
    const Case cases[] = {
        {0, Kind::kDouble, 2, Kind::kDouble, 3},
        {0, Kind::kFloat, 6, Kind::kDouble, 3},
        {1, Kind::kFloat, 4, Kind::kFloat, 3},
        {1, Kind::kInt, 3, Kind::kFloat, 3},
        {2, Kind::kInt, 1, Kind::kInt, 3},
        {2, Kind::kFloat, 3, Kind::kInt, 3},
        {3, Kind::kDouble, 3, Kind::kDoubleVector, 1},
        {3, Kind::kDoubleVector, 3, Kind::kDoubleVector, 1},
        {4, Kind::kFloat, 3, Kind::kFloatVector, 1},
        {4, Kind::kInt, 3, Kind::kFloatVector, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("record " + std::to_string(c.record) + " read as " +
            std::to_string(static_cast<int>(c.wrongKind)) + " x" + std::to_string(c.wrongCount));
        TestIO in(qzCacheFileIO::kRead, str("kcx"));
        ASSERT_TRUE(in.open(str(path().c_str())));
        int time = 0;
        ASSERT_TRUE(in.findTime(250, time));
        IString name;
        for (int r = 0; r <= c.record; ++r) {
            ASSERT_TRUE(in.readChannelName(name));
            ASSERT_NE(in.readArraySize(), 0u);
            if (r < c.record) {
                double skip[3];
                in.readDoubleArray(skip, 3);  // consumed whatever it is
            }
        }
        unsigned char buffer[64];
        std::memset(buffer, 0xAB, sizeof buffer);
        EXPECT_FALSE(readAs(in, c.wrongKind, buffer, c.wrongCount));
        for (unsigned char byte : buffer) {
            ASSERT_EQ(byte, 0xAB);
        }
        // The second try meets the next record's name (or the group's end) and takes it,
        // so that the next record's count follows.
        EXPECT_FALSE(readAs(in, c.kind, buffer, c.count));
        if (c.record < 4) {
            EXPECT_NE(in.readArraySize(), 0u);
        }
    }
    // An array reader standing at the count fails on it and consumes it.
    TestIO in(qzCacheFileIO::kRead, str("kcx"));
    ASSERT_TRUE(in.open(str(path().c_str())));
    int time = 0;
    ASSERT_TRUE(in.findTime(250, time));
    EXPECT_TRUE(in.findChannelName(str("ch")));
    double one = 0;
    EXPECT_FALSE(in.readDoubleArray(&one, 1));
    EXPECT_EQ(in.readArraySize(), 0u);  // the array chunk, consumed as well
    IString name;
    EXPECT_TRUE(in.readChannelName(name));
}

TEST_F(IffIOTest, ArraysBeyondFourGigabytesAreRefused) {
    qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
    io.beginWriteChunk();
    ASSERT_TRUE(io.flush());
    const Bytes before = qztest::readFileBytes(path());
    const double d[3] = {};
    const float f[3] = {};
    const int n[3] = {};
    // Each of these wraps to a small size in 32 bits; none is looked at.
    EXPECT_FALSE(io.writeDoubleArray(d, 0x20000000u));
    EXPECT_FALSE(io.writeInt32Array(n, 0x40000000u));
    EXPECT_FALSE(io.writeFloatArray(f, 0xFFFFFFFFu));
    EXPECT_FALSE(io.writeDoubleVectorArray(d, 0x0AAAAAABu));
    EXPECT_FALSE(io.writeFloatVectorArray(f, 0x15555556u));
    EXPECT_FALSE(io.hasWriteError());
    ASSERT_TRUE(io.flush());
    EXPECT_EQ(qztest::readFileBytes(path()), before);
}

// Time groups with the channels "a" (the time) and "b" (twice the time); without a time
// record when `withTime` is false.
void writeTimes(const std::string& file, const char* format, const std::vector<int>& times,
    qzCacheFileIO::qzCacheFileAccess access = qzCacheFileIO::kWrite, bool withTime = true) {
    qzCacheFileIffIO io(access, str(format));
    ASSERT_TRUE(io.open(str(file.c_str())));
    if (access == qzCacheFileIO::kWrite) {
        ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
    }
    for (int time : times) {
        io.beginWriteChunk();
        ASSERT_TRUE(!withTime || io.writeTime(time));
        ASSERT_TRUE(io.writeChannelName(str("a")));
        ASSERT_TRUE(io.writeInt32Array(&time, 1));
        ASSERT_TRUE(io.writeChannelName(str("b")));
        const int doubled = 2 * time;
        ASSERT_TRUE(io.writeInt32Array(&doubled, 1));
        io.endWriteChunk();
    }
}

int readChannel(TestIO& io, const char* name) {
    if (!io.findChannelName(str(name)) || io.readArraySize() != 1) {
        return -1;
    }
    int value = -1;
    return io.readInt32Array(&value, 1) ? value : -1;
}

TEST_F(IffIOTest, FindTimeSearchesForwardAndRewindsAtMostOnce) {
    writeTimes(path(), "kcc", {250, 500, 750});
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    int found = 0;
    ASSERT_TRUE(io.findTime(500, found));
    EXPECT_EQ(readChannel(io, "b"), 1000);
    io.endReadChunk();
    EXPECT_EQ(io.rewinds, 0);

    // Meets 750 first, goes back to the start and finds 250 there.
    ASSERT_TRUE(io.findTime(250, found));
    EXPECT_EQ(found, 250);
    EXPECT_EQ(io.rewinds, 1);
    EXPECT_EQ(readChannel(io, "a"), 250);
    io.endReadChunk();

    // Having passed 250 it knows 1000 cannot lie before: no rewind.
    ASSERT_TRUE(io.rewind());
    io.rewinds = 0;
    found = -7;
    EXPECT_FALSE(io.findTime(1000, found));
    EXPECT_EQ(found, -7);
    EXPECT_EQ(io.rewinds, 0);

    // A time between stored ones: 750 passed after 250, no rewind, not found.
    ASSERT_TRUE(io.rewind());
    io.rewinds = 0;
    EXPECT_FALSE(io.findTime(600, found));
    EXPECT_EQ(io.rewinds, 0);

    // From the end: rewinds once and finds the first group.
    EXPECT_TRUE(io.findTime(250, found));
    EXPECT_EQ(io.rewinds, 1);
}

TEST_F(IffIOTest, FindTimeWithoutTimeGroupsRewindsOnce) {
    writeTimes(path(), "kcx", {});
    TestIO io(qzCacheFileIO::kRead, str("kcx"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    int found = 0;
    EXPECT_FALSE(io.findTime(10, found));
    EXPECT_EQ(io.rewinds, 1);
    EXPECT_FALSE(io.beginReadChunk());
}

TEST_F(IffIOTest, FindTimePassesOverGroupsWithoutTime) {
    writeTimes(path(), "kcc", {99}, qzCacheFileIO::kWrite, false);  // per-frame style
    writeTimes(path(), "kcc", {500}, qzCacheFileIO::kReadWrite);
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    int found = 0;
    ASSERT_TRUE(io.findTime(500, found));
    EXPECT_EQ(readChannel(io, "a"), 500);
    io.endReadChunk();
    EXPECT_EQ(io.rewinds, 0);
    EXPECT_FALSE(io.findTime(42, found));
    EXPECT_EQ(io.rewinds, 1);
}

// The search as a plain walk over the groups of a file, for comparison: where it ends and how
// many times it starts over. A group's entry is its time, or none. Where the walk would start
// over only to come back to the group it found last since it last started over, the reader
// enters that group again without a rewind; those are counted apart.
struct WalkModel {
    std::vector<std::pair<bool, int>> groups;  // has a time, the time
    std::size_t next = 0;   // the next group at the top level
    bool inside = false;    // inside group `current`
    std::size_t current = 0;
    int rewinds = 0;
    int reentries = 0;
    std::size_t lastFound = SIZE_MAX;

    // Where a walk from the first group stops for `wanted`.
    std::size_t decisiveFromStart(int wanted) const {
        for (std::size_t i = 0; i < groups.size(); ++i) {
            if (groups[i].first && groups[i].second >= wanted) return i;
        }
        return SIZE_MAX;
    }
    // The start over of the walk; true when it is the reentry, which finds the time.
    bool startOver(int wanted) {
        if (lastFound != SIZE_MAX && decisiveFromStart(wanted) == lastFound &&
            groups[lastFound].second == wanted) {
            ++reentries;
            inside = true;
            current = lastFound;
            return true;
        }
        ++rewinds;
        lastFound = SIZE_MAX;  // a rewind looks at the file anew
        return false;
    }
    bool found(std::size_t i) {
        inside = true;
        current = i;
        lastFound = i;
        return true;
    }

    bool findTime(int wanted) {
        bool mayRewind = true;
        std::size_t i = next;
        if (inside) {  // no group can begin inside a group: start over
            inside = false;
            mayRewind = false;
            if (startOver(wanted)) return true;
            i = 0;
        }
        for (;;) {
            if (i >= groups.size()) {
                if (!mayRewind) {
                    next = groups.size();
                    return false;
                }
                mayRewind = false;
                if (startOver(wanted)) return true;
                i = 0;
                continue;
            }
            if (groups[i].first) {
                const int t = groups[i].second;
                if (t == wanted) return found(i);
                if (t > wanted && !mayRewind) {
                    inside = true;
                    current = i;
                    return false;
                }
                if (t > wanted) {
                    mayRewind = false;
                    if (startOver(wanted)) return true;
                    i = 0;
                    continue;
                }
                mayRewind = false;
            }
            ++i;
        }
    }
    void endReadChunk() {
        if (inside) next = current + 1;
        inside = false;
    }
};

// Channel "a" of every group tells which group the reader stands in.
void checkSearchAgainstWalk(const std::string& file, const std::vector<std::pair<bool, int>>& groups,
    unsigned seed) {
    writeTimes(file, "kcc", {});
    std::vector<int> marks;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const int mark = groups[i].first ? groups[i].second : 100000 + int(i);
        writeTimes(file, "kcc", {mark}, qzCacheFileIO::kReadWrite, groups[i].first);
        marks.push_back(mark);
    }
    WalkModel model;
    model.groups = groups;
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(file.c_str())));
    std::mt19937 random(seed);
    int previous = 0;
    for (int step = 0; step < 400; ++step) {
        // Now and then the same time again, as for the next channel of a frame.
        const int wanted = step > 0 && random() % 4 == 0 ? previous : int(random() % 70) * 5;
        previous = wanted;
        int found = -1;
        const bool expected = model.findTime(wanted);
        ASSERT_EQ(io.findTime(wanted, found), expected) << "step " << step << " time " << wanted;
        ASSERT_EQ(io.rewinds, model.rewinds) << "step " << step << " time " << wanted;
        if (expected) {
            ASSERT_EQ(found, wanted);
        }
        if (model.inside && random() % 2 == 0) {
            ASSERT_EQ(readChannel(io, "a"), marks[model.current]) << "step " << step;
        }
        if (random() % 4 != 0) {
            io.endReadChunk();
            model.endReadChunk();
        }
    }
    EXPECT_GT(model.reentries, 0);
}

TEST_F(IffIOTest, FindTimeJumpsExactlyWhereThePlainWalkLands) {
    std::vector<std::pair<bool, int>> increasing;
    for (int i = 0; i < 60; ++i) {
        // Every seventh group has no time; every third time is missing.
        if (i % 7 == 3) increasing.push_back({false, 0});
        if (i % 3 != 1) increasing.push_back({true, i * 5});
    }
    checkSearchAgainstWalk(path("increasing.kc"), increasing, 1);

    // Out of order: the walk's answers stand all the same.
    std::vector<std::pair<bool, int>> unordered = {{true, 50}, {true, 20}, {false, 0}, {true, 200},
        {true, 10}, {true, 300}, {true, 250}, {false, 0}, {true, 5}};
    checkSearchAgainstWalk(path("unordered.kc"), unordered, 2);
}

TEST_F(IffIOTest, RewindAfterTheFileGrewLandsOnTheRightGroup) {
    writeTimes(path(), "kcc", {250, 500, 750});
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    int found = 0;
    ASSERT_TRUE(io.findTime(750, found));
    io.endReadChunk();
    ASSERT_TRUE(io.findTime(500, found));  // known groups from here on
    io.endReadChunk();
    EXPECT_EQ(io.rewinds, 1);

    // Another writer appends two groups; the reader's open file still ends after 750.
    writeTimes(path(), "kcc", {1000, 1250}, qzCacheFileIO::kReadWrite);
    ASSERT_TRUE(io.findTime(250, found));
    EXPECT_EQ(readChannel(io, "a"), 250);
    io.endReadChunk();
    EXPECT_EQ(io.rewinds, 2);
    ASSERT_TRUE(io.findTime(1250, found));
    EXPECT_EQ(readChannel(io, "b"), 2500);
    io.endReadChunk();
    ASSERT_TRUE(io.findTime(1000, found));
    EXPECT_EQ(readChannel(io, "a"), 1000);
    io.endReadChunk();
    EXPECT_EQ(io.rewinds, 3);

    // Rewritten with other times at the same length: nothing known is trusted.
    writeTimes(path(), "kcc", {300, 550, 800, 1050, 1300});
    io.endReadChunk();
    ASSERT_TRUE(io.rewind());
    ASSERT_TRUE(io.findTime(550, found));
    EXPECT_EQ(readChannel(io, "a"), 550);
    io.endReadChunk();
    EXPECT_FALSE(io.findTime(1000, found));
}

// Records of a time group in a mixed order, a name twice, some large enough to be read past
// the container's buffer, and a chunk that is no record between them; every other group has
// the names of the group before but for its last record. Each array's one value after its
// first tells which record it is.
void writeMixedRecords(const std::string& file, const char* format, int groups) {
    qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format));
    ASSERT_TRUE(io.open(str(file.c_str())));
    ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
    const char* names[] = {"p", "q", "r", "s"};
    std::mt19937 random(11);
    std::vector<const char*> order(7);
    for (int g = 0; g < groups; ++g) {
        io.beginWriteChunk();
        ASSERT_TRUE(io.writeTime(g * 10));
        for (int r = 0; r < 7; ++r) {
            if (g % 2 == 0 || r == 6) order[r] = r == 5 ? "q" : names[random() % 4];
            const char* name = order[r];
            ASSERT_TRUE(io.writeChannelName(str(name)));
            std::vector<int> values(random() % 3 == 0 ? 40000 : 3, 0);
            values[1] = g * 100 + r;
            ASSERT_TRUE(io.writeInt32Array(values.data(), static_cast<unsigned>(values.size())));
            if (r == 2) {
                ASSERT_TRUE(io.writeInt32(7));
            }
        }
        io.endWriteChunk();
    }
}

// Which record a search found: its count and marking value; {-1, -1} when none.
std::pair<int, int> foundRecord(TestIO& io, const char* name) {
    if (!io.findChannelName(str(name))) return {-1, -1};
    const unsigned count = io.readArraySize();
    std::vector<int> values(count, -1);
    if (count < 2 || !io.readInt32Array(values.data(), count)) return {int(count), -1};
    return {int(count), values[1]};
}

TEST_F(IffIOTest, ChannelSearchesAgainAnswerAsTheFirstScan) {
    // Read time after time and name after name by one reader, which learns where records
    // begin, each search must find what a reader that never saw the file finds.
    for (const Variant& v : kVariants) {
        const std::string file = path((std::string("records.") + v.extension).c_str());
        writeMixedRecords(file, v.format, 6);
        TestIO io(qzCacheFileIO::kRead, str(v.format));
        ASSERT_TRUE(io.open(str(file.c_str())));
        std::mt19937 random(5);
        const char* names[] = {"p", "q", "r", "s", "absent"};
        for (int step = 0; step < 300; ++step) {
            const int time = int(random() % 6) * 10;
            std::vector<const char*> asked;
            for (unsigned n = 1 + random() % 3; n > 0; --n) asked.push_back(names[random() % 5]);
            // As playback asks: every name in a row, as often in stored order.
            if (step % 3 == 0) asked.assign({"p", "q", "r", "s", "p", "q", "r", "s"});
            TestIO fresh(qzCacheFileIO::kRead, str(v.format));
            ASSERT_TRUE(fresh.open(str(file.c_str())));
            int found = 0;
            ASSERT_TRUE(io.findTime(time, found));
            ASSERT_TRUE(fresh.findTime(time, found));
            for (const char* name : asked) {
                ASSERT_EQ(foundRecord(io, name), foundRecord(fresh, name))
                    << v.format << " step " << step << " time " << time << " " << name;
            }
            io.endReadChunk();
        }
    }
    // More names than the reader numbers: it starts its numbers over part way and still answers
    // as a plain scan for names on either side of that point.
    const std::string many = path("many.kc");
    {
        qzCacheFileIffIO out(qzCacheFileIO::kWrite, str("kcc"));
        ASSERT_TRUE(out.open(str(many.c_str())));
        ASSERT_TRUE(out.writeHeader(str("0.1"), 0, 1));
        out.beginWriteChunk();
        ASSERT_TRUE(out.writeTime(0));
        for (int r = 0; r < 70000; ++r) {
            const int values[2] = {0, r};
            ASSERT_TRUE(out.writeChannelName(str(("n" + std::to_string(r)).c_str())));
            ASSERT_TRUE(out.writeInt32Array(values, 2));
        }
        out.endWriteChunk();
    }
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(many.c_str())));
    for (const int r : {69999, 10, 65535, 65536, 69998, 3, 70000}) {
        int found = 0;
        ASSERT_TRUE(io.findTime(0, found));
        EXPECT_EQ(foundRecord(io, ("n" + std::to_string(r)).c_str()), r < 70000 ? std::make_pair(2, r)
                                                                            : std::make_pair(-1, -1)) << r;
        io.endReadChunk();
    }
}

// Offset of the first occurrence of a four-letter tag in a file's bytes.
std::size_t tagOffset(const Bytes& file, const char* tag) {
    for (std::size_t i = 0; i + 4 <= file.size(); ++i) {
        if (std::memcmp(file.data() + i, tag, 4) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << tag << " not found";
    return 0;
}

TEST_F(IffIOTest, RewindAndReopenReadTheFileAsItIsNow) {
    // Unchanged, a file a reader closed is taken back by the next open of its name: the system
    // opens it once however often it is read.
    writeTimes(path(), "kcc", {250, 500, 750});
    {
        qzOS::FaultFileSystem files(qzOS::systemFileSystem());
        const std::unique_ptr<qzCacheFileIffIO> reader = qzCreateIffIO(qzCacheFileIO::kRead, str("kcc"), files);
        for (const int time : {500, 250, 750, 500}) {
            ASSERT_TRUE(reader->open(str(path().c_str())));
            int found = 0;
            EXPECT_TRUE(reader->findTime(time, found)) << time;
            reader->close();
            EXPECT_FALSE(reader->isValid());
        }
        const std::vector<qzOS::FaultFileSystem::Call> calls = files.calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const qzOS::FaultFileSystem::Call& call) {
            return call.operation == qzOS::FaultFileSystem::Operation::kOpen;
        }), 1);
    }
    // Whatever became of the file since it was opened, a rewind, and an open of its name after
    // a close, read it as a fresh open would: cut short, replaced under its name, changed or
    // damaged in place.
    for (const bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "closed and opened again" : "rewound");
        writeTimes(path(), "kcc", {250, 500, 750});
        TestIO io(qzCacheFileIO::kRead, str("kcc"));
        ASSERT_TRUE(io.open(str(path().c_str())));
        const auto again = [&] {
            if (!reopen) return io.rewind();
            io.close();
            return io.open(str(path().c_str()));
        };
        int found = 0;
        ASSERT_TRUE(io.findTime(750, found));
        io.endReadChunk();

        writeTimes(path(), "kcc", {250});
        ASSERT_TRUE(again());
        ASSERT_TRUE(io.findTime(250, found));
        EXPECT_EQ(readChannel(io, "b"), 500);
        io.endReadChunk();
        EXPECT_FALSE(io.findTime(500, found));

        // Same length, another file under the name. The modification time moves on as it does
        // for any later write; set here, so that a coarse file system clock cannot hide a change
        // in place.
        const auto rewriteInPlace = [this](const Bytes& content) {
            const auto before = std::filesystem::last_write_time(qztest::fsPath(path()));
            qztest::writeFileBytes(path(), content);
            std::filesystem::last_write_time(qztest::fsPath(path()), before + std::chrono::seconds(1));
        };
        writeTimes(path(), "kcc", {250, 500, 750});
        ASSERT_TRUE(again());
        ASSERT_TRUE(io.findTime(750, found));
        io.endReadChunk();
        const std::string other = m_dir.file("other.kc");
        writeTimes(other, "kcc", {300, 550, 800});
        ASSERT_EQ(qztest::readFileBytes(other).size(), qztest::readFileBytes(path()).size());
        if (!qzOS::systemFileSystem().renameReplacing(other.c_str(), path().c_str())) {
            // Refused while the reader holds the file: it reads the file as it was, and the
            // other's bytes then come in place.
            ASSERT_TRUE(qztest::kReplacingAHeldFileMayBeRefused) << "the replace was refused";
            ASSERT_TRUE(again());
            ASSERT_TRUE(io.findTime(750, found));
            io.endReadChunk();
            rewriteInPlace(qztest::readFileBytes(other));
        }
        ASSERT_TRUE(again());
        EXPECT_FALSE(io.findTime(500, found));
        ASSERT_TRUE(io.findTime(550, found));
        EXPECT_EQ(readChannel(io, "a"), 550);
        io.endReadChunk();

        // A header field changed in place is read again.
        Bytes bytes = qztest::readFileBytes(path());
        const std::size_t start = tagOffset(bytes, "STIM") + 8;
        bytes[start + 3] = 7;
        rewriteInPlace(bytes);
        ASSERT_TRUE(io.findTime(800, found));
        io.endReadChunk();
        EXPECT_EQ(io.start(), 0);
        ASSERT_TRUE(again());
        EXPECT_EQ(io.start(), 7);
        EXPECT_EQ(io.end(), 1);
        ASSERT_TRUE(io.findTime(300, found));
        EXPECT_EQ(readChannel(io, "b"), 600);
        io.endReadChunk();

        // A header damaged in place fails the rewind, as it fails an open.
        bytes[tagOffset(bytes, "CACH")] = 'X';
        rewriteInPlace(bytes);
        EXPECT_FALSE(again());
        TestIO fresh(qzCacheFileIO::kRead, str("kcc"));
        EXPECT_FALSE(fresh.open(str(path().c_str())));
    }
}

TEST_F(IffIOTest, ChannelSearchStaysInsideItsTimeGroup) {
    writeOneRecord("kcc", [](qzCacheFileIffIO& io) {
        const float f = 2.5f;
        const int ids[2] = {1, 2};
        io.writeFloatArray(&f, 1);
        io.writeChannelName(str("id"));
        io.writeInt32Array(&ids[0], 1);
        io.writeChannelName(str("id"));
        io.writeInt32Array(&ids[1], 1);
    });
    writeTimes(path(), "kcc", {500}, qzCacheFileIO::kReadWrite);
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.beginReadChunk());
    int time = -1;
    ASSERT_TRUE(io.readNextTime(time));
    EXPECT_EQ(time, 250);
    EXPECT_EQ(readChannel(io, "id"), 1);  // the first of two records with the name
    EXPECT_FALSE(io.findChannelName(str("ch")));  // lies behind: not found
    EXPECT_FALSE(io.findChannelName(str("a")));  // belongs to the next group
    io.endReadChunk();
    ASSERT_TRUE(io.beginReadChunk());
    ASSERT_TRUE(io.readNextTime(time));
    EXPECT_EQ(time, 500);
    EXPECT_EQ(readChannel(io, "a"), 500);
    io.endReadChunk();
    EXPECT_FALSE(io.beginReadChunk());
}

// Writes a file through the container directly, for records the class never writes.
template <typename Body>
void writeRaw(const std::string& file, Body body) {
    iff::qzIffFile4 raw;
    ASSERT_TRUE(raw.open(file.c_str(), "w", 0, 0));
    body(raw);
    EXPECT_EQ(raw.close(), 0);
}

void rawHeader(iff::qzIffFile& raw, unsigned startBytes = 4, unsigned endBytes = 4) {
    const unsigned char zeros[8] = {};
    raw.beginWriteGroup(iff::qzIffTag::kFOR4, iff::qzIffTag("CACH"));
    raw.beginPut(iff::qzIffTag("VRSN"));
    raw.putString("0.1");
    raw.endPut();
    raw.putChunk(iff::qzIffTag("STIM"), startBytes, zeros);
    raw.putChunk(iff::qzIffTag("ETIM"), endBytes, zeros);
    raw.endWriteGroup();
}

TEST_F(IffIOTest, EmptyStringChunksAreNeverTakenForNames) {
    writeRaw(path(), [](iff::qzIffFile& raw) {
        rawHeader(raw);
        const unsigned char bytes[4] = {0, 0, 0, 1};
        raw.beginWriteGroup(iff::qzIffTag::kFOR4, iff::qzIffTag("KLCH"));
        raw.putChunk(iff::qzIffTag("CHNM"), 0, bytes);
        raw.beginPut(iff::qzIffTag("CHNM"));
        raw.putString("a");
        raw.endPut();
        raw.putChunk(iff::qzIffTag("SIZE"), 4, bytes);
        raw.putChunk(iff::qzIffTag("INTA"), 4, bytes);
        raw.putChunk(iff::qzIffTag("BOOL"), 1, "T");
        raw.putChunk(iff::qzIffTag("BOOL"), 1, "X");
        raw.putChunk(iff::qzIffTag("BOOL"), 2, "FF");
        raw.putChunk(iff::qzIffTag("BOOL"), 1, "F");
        raw.endWriteGroup();
    });
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.beginReadChunk());
    IString name = str("kept");
    EXPECT_FALSE(io.readChannelName(name));
    EXPECT_EQ(name.utf8(), "kept");
    EXPECT_TRUE(io.readChannelName(name));  // the empty one was consumed
    EXPECT_EQ(name.utf8(), "a");
    io.endReadChunk();

    ASSERT_TRUE(io.rewind());
    ASSERT_TRUE(io.beginReadChunk());
    EXPECT_FALSE(io.readIstring(iff::qzIffTag("CHNM"), name));
    EXPECT_FALSE(io.readIstring(iff::qzIffTag("VRSN"), name));  // wrong tag, consumed too
    EXPECT_EQ(io.readArraySize(), 1u);
    io.endReadChunk();

    ASSERT_TRUE(io.rewind());
    ASSERT_TRUE(io.beginReadChunk());
    EXPECT_EQ(readChannel(io, "a"), 1);
    bool value = false;
    EXPECT_TRUE(io.readbool(value));
    EXPECT_TRUE(value);
    EXPECT_FALSE(io.readbool(value));  // "X"
    EXPECT_FALSE(io.readbool(value));  // two bytes
    EXPECT_TRUE(io.readbool(value));
    EXPECT_FALSE(value);
    EXPECT_FALSE(io.readbool(value));  // end of the group
}

TEST_F(IffIOTest, ExtraRecordsRoundTrip) {
    {
        TestIO io(qzCacheFileIO::kWrite, str("kcx"));
        ASSERT_TRUE(io.open(str(path().c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
        io.beginWriteChunk();
        EXPECT_TRUE(io.writeInt32(-5) && io.writebool(true) && io.writebool(false));
        EXPECT_TRUE(io.writeInt32(7));
    }
    const Bytes file = qztest::readFileBytes(path());
    EXPECT_EQ(findChunk(file, "INT3", 8).payload, (Bytes{0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(findChunk(file, "BOOL", 8).payload, (Bytes{0x54}));
    TestIO io(qzCacheFileIO::kRead, str("kcx"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.beginReadChunk());
    EXPECT_EQ(io.readInt32(), -5);
    bool value = false;
    EXPECT_TRUE(io.readbool(value) && value);
    EXPECT_EQ(io.readInt32(), 0);  // the "F" chunk: not an integer, consumed
    EXPECT_EQ(io.readInt32(), 7);
}

TEST_F(IffIOTest, OpenReadsTheHeaderAndRejectsBadOnes) {
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
        ASSERT_TRUE(io.open(str(path("h.kc").c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), -3, 123456789));
    }
    TestIO header(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(header.open(str(path("h.kc").c_str())));
    EXPECT_EQ(header.start(), -3);
    EXPECT_EQ(header.end(), 123456789);
    EXPECT_EQ(header.version().utf8(), "0.1");

    auto opens = [&](const std::string& file) {
        TestIO io(qzCacheFileIO::kRead, str(""));
        return io.open(str(file.c_str()));
    };
    writeRaw(path("a.kc"), [](iff::qzIffFile& raw) {
        raw.beginWriteGroup(iff::qzIffTag::kFOR4, iff::qzIffTag("KLCH"));
        raw.endWriteGroup();
        rawHeader(raw);
    });
    EXPECT_FALSE(opens(path("a.kc")));
    writeRaw(path("b.kc"), [](iff::qzIffFile& raw) { rawHeader(raw, 3, 4); });
    EXPECT_FALSE(opens(path("b.kc")));
    writeRaw(path("c.kc"), [](iff::qzIffFile& raw) { rawHeader(raw, 4, 8); });
    EXPECT_FALSE(opens(path("c.kc")));
    writeRaw(path("d.kc"), [](iff::qzIffFile& raw) { rawHeader(raw, 4, 4); });
    EXPECT_TRUE(opens(path("d.kc")));

    qztest::writeFileBytes(path("e.kc"), {});
    EXPECT_FALSE(opens(path("e.kc")));
    qztest::writeFileBytes(path("f.kc"), tagBytes("FOR4"));
    EXPECT_FALSE(opens(path("f.kc")));
    qztest::writeFileBytes(path("g.kc"), {'F', 'O', 'R', '8', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFF, 0xFF, 'C', 'A', 'C', 'H'});
    EXPECT_FALSE(opens(path("g.kc")));
    EXPECT_FALSE(opens(path("none.kc")));
    TestIO appender(qzCacheFileIO::kReadWrite, str("kcc"));
    EXPECT_FALSE(appender.open(str(path("none.kc").c_str())));
    EXPECT_FALSE(qztest::fileExists(path("none.kc")));

    // A writer never reads a header.
    TestIO writer(qzCacheFileIO::kWrite, str("kcc"));
    ASSERT_TRUE(writer.open(str(path("w.kc").c_str())));
    EXPECT_FALSE(writer.readHeader());
}

TEST_F(IffIOTest, ClosedObjectsRefuseQuietly) {
    writeTimes(path(), "kcc", {0, 250});
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    EXPECT_FALSE(io.isValid());
    EXPECT_FALSE(io.rewind());
    ASSERT_TRUE(io.open(str(path().c_str())));
    EXPECT_TRUE(io.isValid());
    io.close();
    EXPECT_FALSE(io.isValid());
    EXPECT_FALSE(io.rewind());
    EXPECT_FALSE(io.readHeader());

    // Unknown format and never opened: no container yet.
    TestIO none(qzCacheFileIO::kWrite, str("???"));
    EXPECT_FALSE(none.rewind());
    EXPECT_FALSE(none.writeHeader(str("0.1"), 0, 1));
    none.beginWriteChunk();
    const double d = 1;
    EXPECT_FALSE(none.writeChannelName(str("a")) || none.writeDoubleArray(&d, 1));
    none.endWriteChunk();
    int t = 0;
    EXPECT_FALSE(none.beginReadChunk() || none.findTime(0, t));
    EXPECT_STREQ(none.lastError(), "");
}

TEST_F(IffIOTest, ReadWriteAppendsTimeGroups) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        writeTimes(path(), v.format, {0, 250});
        writeTimes(path(), v.format, {500, 750}, qzCacheFileIO::kReadWrite);
        TestIO io(qzCacheFileIO::kRead, str(v.format));
        ASSERT_TRUE(io.open(str(path().c_str())));
        for (int time : {0, 250, 500, 750}) {
            ASSERT_TRUE(io.beginReadChunk());
            int found = -1;
            ASSERT_TRUE(io.readNextTime(found));
            EXPECT_EQ(found, time);
            EXPECT_EQ(readChannel(io, "a"), time);
            EXPECT_EQ(readChannel(io, "b"), 2 * time);
            io.endReadChunk();
        }
        EXPECT_FALSE(io.beginReadChunk());
        int found = 0;
        EXPECT_TRUE(io.findTime(250, found));
        EXPECT_EQ(io.rewinds, 1);
    }
}

TEST_F(IffIOTest, FailedWritesAndReadsAreReported) {
    using Fault = qzOS::FaultFileSystem;
    const std::vector<double> values(1 << 18, 1.5);  // beyond any read buffer
    for (const Fault::Effect effect : {Fault::Effect::kFail, Fault::Effect::kShort}) {
        SCOPED_TRACE(effect == Fault::Effect::kFail ? "failing" : "short");
        qzOS::MemoryFileSystem memory;
        Fault files(memory);
        // Every write fails, as on a full disk: the header reports it, and every write after.
        {
            files.failAt(Fault::Operation::kWrite, "full.kc", 1, effect, true);
            const auto io = qzCreateIffIO(qzCacheFileIO::kWrite, str("kcc"), files);
            ASSERT_TRUE(io->open(str("full.kc")));
            EXPECT_FALSE(io->writeHeader(str("0.1"), 0, 1));
            EXPECT_TRUE(io->hasWriteError());
            EXPECT_STRNE(io->lastError(), "");
            io->beginWriteChunk();
            EXPECT_FALSE(io->writeTime(0));
            EXPECT_FALSE(io->writeChannelName(str("big")));
            EXPECT_FALSE(io->writeDoubleArray(values.data(), static_cast<unsigned>(values.size())));
            EXPECT_FALSE(io->flush());
            files.clearFaults();
        }
        {
            const auto io = qzCreateIffIO(qzCacheFileIO::kWrite, str("kcc"), files);
            ASSERT_TRUE(io->open(str("data.kc")));
            ASSERT_TRUE(io->writeHeader(str("0.1"), 0, 1));
            io->beginWriteChunk();
            ASSERT_TRUE(io->writeTime(0));
            ASSERT_TRUE(io->writeChannelName(str("big")));
            ASSERT_TRUE(io->writeDoubleArray(values.data(), static_cast<unsigned>(values.size())));
            io->endWriteChunk();
        }
        // Each read of the array in turn fails: the array is refused, or (where the failing
        // read only took less ahead) read whole; never anything between.
        bool refused = false;
        for (unsigned nth = 1;; ++nth) {
            const auto io = qzCreateIffIO(qzCacheFileIO::kRead, str("kcc"), files);
            ASSERT_TRUE(io->open(str("data.kc")));
            int time = -1;
            ASSERT_TRUE(io->findTime(0, time));
            ASSERT_TRUE(io->findChannelName(str("big")));
            ASSERT_EQ(io->readArraySize(), values.size());
            const std::size_t before = files.calls().size();
            files.failAt(Fault::Operation::kRead, "data.kc", nth, effect);
            std::vector<double> back(values.size(), 0.0);
            const bool read = io->readDoubleArray(back.data(), static_cast<unsigned>(back.size()));
            const std::size_t reads = files.calls().size() - before;
            files.clearFaults();
            if (read) {
                EXPECT_TRUE(back == values) << "read " << nth;
            } else {
                refused = true;
                EXPECT_STRNE(io->lastError(), "") << "read " << nth;
            }
            if (reads < nth) break;
            ASSERT_LT(nth, 16u) << "an array read that never ends";
        }
        EXPECT_TRUE(refused);
    }
}

// What a walk over a data file read: per time group its time and its channels' values.
struct GroupRead {
    int time = 0;
    std::vector<std::string> names;
    std::vector<std::vector<double>> values;
};

bool operator==(const GroupRead& a, const GroupRead& b) {
    return a.time == b.time && a.names == b.names && a.values == b.values;
}

struct ChannelDef {
    const char* name;
    Kind kind;
    unsigned components;
};
const ChannelDef kChannels[] = {{"d", Kind::kDouble, 1}, {"f", Kind::kFloat, 1},
    {"i", Kind::kInt, 1}, {"dv", Kind::kDoubleVector, 3}, {"fv", Kind::kFloatVector, 3}};

template <typename T>
std::vector<double> readValues(qzCacheFileIffIO& io, const ChannelDef& c, unsigned count) {
    // A count no intact file of this test holds: the reader must refuse it before it
    // touches the small buffer.
    if (count > 4096) {
        T small[3] = {};
        EXPECT_FALSE(readAs(io, c.kind, small, count));
        return {-1};
    }
    std::vector<T> buffer(static_cast<std::size_t>(count) * c.components + 1);
    if (!readAs(io, c.kind, buffer.data(), count)) {
        return {-2};
    }
    return std::vector<double>(buffer.begin(), buffer.end() - 1);
}

// Opens and walks a whole data file held in memory as a reader that trusts nothing: every
// group, every record.
bool walk(const Bytes& file, const char* format, std::vector<GroupRead>& groups) {
    groups.clear();
    const std::unique_ptr<qzCacheFileIffIO> reader =
        qzCreateIffReaderOfBytes(file.data(), file.size(), str("memory.kc"), str(format));
    qzCacheFileIffIO& io = *reader;
    if (!io.open(str("memory.kc"))) {
        return false;
    }
    for (int g = 0; g < 64 && io.beginReadChunk(); ++g) {
        GroupRead group;
        io.readNextTime(group.time);
        IString name;
        for (int r = 0; r < 64 && io.readChannelName(name); ++r) {
            const unsigned count = io.readArraySize();
            const ChannelDef* c = &kChannels[0];
            while (c != std::end(kChannels) - 1 && name.utf8() != c->name) {
                ++c;
            }
            group.names.push_back(name.utf8());
            group.values.push_back(c->kind == Kind::kInt ? readValues<int>(io, *c, count)
                    : c->kind == Kind::kFloat || c->kind == Kind::kFloatVector
                    ? readValues<float>(io, *c, count)
                    : readValues<double>(io, *c, count));
        }
        io.endReadChunk();
        groups.push_back(group);
    }
    return true;
}

// A reference file of several time groups with every array type; the end offset of the
// header and of each group tell which groups a given damage cannot reach.
struct Reference {
    Bytes bytes;
    std::uint64_t headerEnd = 0;
    std::vector<std::uint64_t> groupEnds;
    std::vector<GroupRead> groups;
};

Reference writeReference(const std::string& file, const char* format) {
    Reference ref;
    qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format));
    EXPECT_TRUE(io.open(str(file.c_str())));
    io.writeHeader(str("0.1"), 0, 1000);
    auto endOffset = [&]() {
        EXPECT_TRUE(io.flush());
        return static_cast<std::uint64_t>(std::filesystem::file_size(qztest::fsPath(file)));
    };
    ref.headerEnd = endOffset();
    for (int g = 0; g < 4; ++g) {
        GroupRead group;
        group.time = 250 * g;
        io.beginWriteChunk();
        io.writeTime(group.time);
        const unsigned count = 1 + static_cast<unsigned>(g);
        for (const ChannelDef& c : kChannels) {
            std::vector<double> values(count * c.components);
            for (std::size_t k = 0; k < values.size(); ++k) {
                values[k] = g * 100.0 + static_cast<double>(group.names.size() * 10 + k);
            }
            const std::vector<float> floats(values.begin(), values.end());
            const std::vector<int> ints(values.begin(), values.end());
            io.writeChannelName(str(c.name));
            writeAs(io, c.kind, c.kind == Kind::kInt ? static_cast<const void*>(ints.data())
                    : c.kind == Kind::kFloat || c.kind == Kind::kFloatVector
                    ? static_cast<const void*>(floats.data())
                    : static_cast<const void*>(values.data()), count);
            group.names.push_back(c.name);
            group.values.push_back(values);
        }
        io.endWriteChunk();
        ref.groups.push_back(group);
        ref.groupEnds.push_back(endOffset());
    }
    io.close();
    ref.bytes = qztest::readFileBytes(file);
    return ref;
}

// Everything before `intactUpTo` is unchanged: the header and the groups lying there
// must read back as written.
void expectIntactPrefix(const Reference& ref, bool opened, const std::vector<GroupRead>& groups,
    std::uint64_t intactUpTo) {
    if (ref.headerEnd > intactUpTo) {
        return;
    }
    ASSERT_TRUE(opened);
    for (std::size_t g = 0; g < ref.groupEnds.size() && ref.groupEnds[g] <= intactUpTo; ++g) {
        ASSERT_LT(g, groups.size());
        ASSERT_TRUE(groups[g] == ref.groups[g]) << "group " << g;
    }
}

TEST_F(IffIOTest, DamagedFilesReadSafely) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const Reference ref = writeReference(path("ref.kc"), v.format);
        std::vector<GroupRead> groups;
        ASSERT_TRUE(walk(ref.bytes, v.format, groups));
        ASSERT_EQ(groups.size(), ref.groups.size());
        for (std::size_t g = 0; g < groups.size(); ++g) {
            ASSERT_TRUE(groups[g] == ref.groups[g]) << "group " << g;
        }
        for (std::size_t cut = 0; cut < ref.bytes.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            const auto end = ref.bytes.begin() + static_cast<long>(cut);
            const bool opened = walk(Bytes(ref.bytes.begin(), end), "", groups);
            expectIntactPrefix(ref, opened, groups, cut);
        }
        std::mt19937 random(20240611u);
        for (int round = 0; round < 800; ++round) {
            Bytes bytes = ref.bytes;
            std::size_t first = bytes.size();
            const int flips = 1 + static_cast<int>(random() % 3);
            for (int k = 0; k < flips; ++k) {
                const std::size_t at = random() % bytes.size();
                bytes[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
                first = std::min(first, at);
            }
            SCOPED_TRACE("round " + std::to_string(round));
            const bool opened = walk(bytes, v.format, groups);
            expectIntactPrefix(ref, opened, groups, first);
        }
    }
}

#ifdef NDEBUG
TEST_F(IffIOTest, EmptyFileNameIsRefused) {
    TestIO io(qzCacheFileIO::kWrite, str("kcc"));
    EXPECT_FALSE(io.open(str("")));
    EXPECT_FALSE(io.isValid());
}
#else
TEST_F(IffIOTest, EmptyFileNameAssertsDeathTest) {
    TestIO io(qzCacheFileIO::kWrite, str("kcc"));
    EXPECT_DEATH(io.open(str("")),
        "^Components\\\\Middleware\\\\qzCache\\\\qzCacheFileIffIO:133 assertion failed "
        "\\(\\(fileName\\.length\\(\\) > 0\\)\\)\n$");
}
#endif

}  // namespace
