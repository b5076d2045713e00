#include "qzCacheFileIffIO.h"
#include "qzIffFile.h"
#include "qzIffTag.h"
#include "testSupport.h"

#include <gtest/gtest.h>

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

// Exposes the protected helpers and counts rewinds, so that the search strategy shows.
class TestIO : public qzCacheFileIffIO {
public:
    using qzCacheFileIffIO::qzCacheFileIffIO;
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

Chunk findChunk(const Bytes& file, const char* tag, unsigned sizeFieldBytes, std::size_t from = 0) {
    Chunk chunk;
    const Bytes wanted = tagBytes(tag);
    for (std::size_t at = from; at + 4 + sizeFieldBytes <= file.size(); ++at) {
        if (!std::equal(wanted.begin(), wanted.end(), file.begin() + static_cast<long>(at))) {
            continue;
        }
        std::uint64_t size = 0;
        for (unsigned i = 0; i < sizeFieldBytes; ++i) {
            size = (size << 8) | file[at + 4 + i];
        }
        const std::size_t start = at + 4 + sizeFieldBytes;
        if (start + size > file.size()) {
            continue;
        }
        chunk.found = true;
        chunk.size = size;
        chunk.payload.assign(file.begin() + static_cast<long>(start),
            file.begin() + static_cast<long>(start + size));
        return chunk;
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

    qztest::TempDir m_dir;
};

TEST_F(IffIOTest, ScalarsAreStoredBigEndianAfterTheirCount) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const float f = 1.0f;
        Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeFloatArray(&f, 1));
        });
        Chunk size = findChunk(file, "SIZE", v.sizeFieldBytes);
        ASSERT_TRUE(size.found);
        EXPECT_EQ(size.payload, (Bytes{0, 0, 0, 1}));
        Chunk array = findChunk(file, "FBCA", v.sizeFieldBytes);
        EXPECT_EQ(array.payload, (Bytes{0x3F, 0x80, 0, 0}));

        const int i = 1;
        file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeInt32Array(&i, 1));
        });
        EXPECT_EQ(findChunk(file, "SIZE", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(findChunk(file, "INTA", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));

        const double d = 1.0;
        file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeDoubleArray(&d, 1));
        });
        EXPECT_EQ(findChunk(file, "SIZE", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        EXPECT_EQ(findChunk(file, "DBLA", v.sizeFieldBytes).payload,
            (Bytes{0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(findChunk(file, "TIME", v.sizeFieldBytes).payload, (Bytes{0, 0, 0x00, 0xFA}));
        EXPECT_EQ(findChunk(file, "STIM", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(findChunk(file, "ETIM", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 1}));
        Chunk version = findChunk(file, "VRSN", v.sizeFieldBytes);
        ASSERT_GE(version.payload.size(), 3u);
        EXPECT_EQ(std::string(version.payload.begin(), version.payload.begin() + 3), "0.1");
    }
}

TEST_F(IffIOTest, VectorArraysCountVectorsAndKeepComponentOrder) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const std::vector<float> fv = {1.f, -2.f, 3.5f, 4.f, 5.f, -6.25f};
        const std::vector<float> fvCopy = fv;
        Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeFloatVectorArray(fv.data(), 2));
        });
        EXPECT_EQ(fv, fvCopy);
        EXPECT_EQ(findChunk(file, "SIZE", v.sizeFieldBytes).payload, (Bytes{0, 0, 0, 2}));
        Chunk array = findChunk(file, "FVCA", v.sizeFieldBytes);
        EXPECT_EQ(array.size, 24u);
        EXPECT_EQ(array.payload, bigEndian(fv));
        TestIO in(qzCacheFileIO::kRead, str(v.format));
        ASSERT_EQ(openAtArray(in), 2u);
        std::vector<float> back(6);
        EXPECT_TRUE(in.readFloatVectorArray(back.data(), 2));
        EXPECT_EQ(back, fv);
        in.close();

        const std::vector<double> dv = {0.5, -1e300, 3.0, 4.25, 1e-300, -6.0};
        file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            EXPECT_TRUE(io.writeDoubleVectorArray(dv.data(), 2));
        });
        array = findChunk(file, "DVCA", v.sizeFieldBytes);
        EXPECT_EQ(array.size, 48u);
        EXPECT_EQ(array.payload, bigEndian(dv));
        ASSERT_EQ(openAtArray(in), 2u);
        std::vector<double> dback(6);
        EXPECT_TRUE(in.readDoubleVectorArray(dback.data(), 2));
        EXPECT_EQ(dback, dv);
    }
}

TEST_F(IffIOTest, VariantFollowsFormatOrExistingFile) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.format);
        const int one = 1;
        const Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
            io.writeInt32Array(&one, 1);
        });
        ASSERT_GE(file.size(), 4u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), tagBytes(v.groupTag));
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(v.format));
        EXPECT_EQ(io.extension().utf8(), v.extension);

        // A reader that does not know the format takes the variant from the file.
        TestIO reader(qzCacheFileIO::kRead, str(""));
        ASSERT_EQ(openAtArray(reader), 1u);
        int value = 0;
        EXPECT_TRUE(reader.readInt32Array(&value, 1));
        EXPECT_EQ(value, 1);
    }
    // A writer that does not know the format writes the 64-bit variant.
    const Bytes file = writeOneRecord("pc2", [](qzCacheFileIffIO&) {});
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), tagBytes("FOR8"));
    EXPECT_EQ(qzCacheFileIffIO(qzCacheFileIO::kWrite, str("pc2")).extension().utf8(), "kc");
}

TEST_F(IffIOTest, LargeArraysUseTheSameForm) {
    for (const Variant& v : kVariants) {
        for (unsigned count : {8192u, 8193u, 100000u}) {
            SCOPED_TRACE(std::string(v.format) + " " + std::to_string(count));
            std::vector<double> values(count);
            for (unsigned i = 0; i < count; ++i) {
                values[i] = i * 0.25 - 1000.0;
            }
            const Bytes file = writeOneRecord(v.format, [&](qzCacheFileIffIO& io) {
                EXPECT_TRUE(io.writeDoubleArray(values.data(), count));
            });
            Chunk size = findChunk(file, "SIZE", v.sizeFieldBytes);
            EXPECT_EQ(size.payload, bigEndian(std::vector<std::uint32_t>{count}));
            Chunk array = findChunk(file, "DBLA", v.sizeFieldBytes);
            EXPECT_EQ(array.size, count * 8u);
            EXPECT_TRUE(array.payload == bigEndian(values));
            TestIO in(qzCacheFileIO::kRead, str(v.format));
            ASSERT_EQ(openAtArray(in), count);
            std::vector<double> back(count);
            EXPECT_TRUE(in.readDoubleArray(back.data(), count));
            EXPECT_TRUE(back == values);
        }
    }
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
    IString name;
    EXPECT_TRUE(in.readChannelName(name));
    EXPECT_EQ(name.utf8(), "second");
    EXPECT_EQ(in.readArraySize(), 0u);
    EXPECT_TRUE(in.readDoubleVectorArray(nullptr, 0));
}

// Every type: a wrong count or another type's reader fails, leaves the buffer alone and
// consumes the chunk, so that trying again with the right call fails as well.
TEST_F(IffIOTest, MismatchedReadsFailAndConsumeTheChunk) {
    const double d[3] = {1, 2, 3};
    const float f[3] = {1, 2, 3};
    const int n[3] = {1, 2, 3};
    auto writeAll = [&](qzCacheFileIffIO& io) {
        io.writeDoubleArray(d, 3);
        io.writeChannelName(str("ch"));
        io.writeFloatArray(f, 3);
        io.writeChannelName(str("ch"));
        io.writeInt32Array(n, 3);
        io.writeChannelName(str("ch"));
        io.writeDoubleVectorArray(d, 1);
        io.writeChannelName(str("ch"));
        io.writeFloatVectorArray(f, 1);
    };
    struct Case {
        const char* what;
        bool (*wrong)(TestIO&, void*);
        bool (*right)(TestIO&, void*);
    };
    const Case cases[] = {
        {"double count", [](TestIO& io, void* b) { return io.readDoubleArray(static_cast<double*>(b), 2); },
            [](TestIO& io, void* b) { return io.readDoubleArray(static_cast<double*>(b), 3); }},
        {"double as float", [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 6); },
            [](TestIO& io, void* b) { return io.readDoubleArray(static_cast<double*>(b), 3); }},
        {"float count", [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 4); },
            [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 3); }},
        {"float as int", [](TestIO& io, void* b) { return io.readInt32Array(static_cast<int*>(b), 3); },
            [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 3); }},
        {"int count", [](TestIO& io, void* b) { return io.readInt32Array(static_cast<int*>(b), 1); },
            [](TestIO& io, void* b) { return io.readInt32Array(static_cast<int*>(b), 3); }},
        {"int as float", [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 3); },
            [](TestIO& io, void* b) { return io.readInt32Array(static_cast<int*>(b), 3); }},
        {"dvec as double", [](TestIO& io, void* b) { return io.readDoubleArray(static_cast<double*>(b), 3); },
            [](TestIO& io, void* b) { return io.readDoubleVectorArray(static_cast<double*>(b), 1); }},
        {"dvec count", [](TestIO& io, void* b) { return io.readDoubleVectorArray(static_cast<double*>(b), 3); },
            [](TestIO& io, void* b) { return io.readDoubleVectorArray(static_cast<double*>(b), 1); }},
        {"fvec as float", [](TestIO& io, void* b) { return io.readFloatArray(static_cast<float*>(b), 3); },
            [](TestIO& io, void* b) { return io.readFloatVectorArray(static_cast<float*>(b), 1); }},
        {"fvec as int", [](TestIO& io, void* b) { return io.readInt32Array(static_cast<int*>(b), 3); },
            [](TestIO& io, void* b) { return io.readFloatVectorArray(static_cast<float*>(b), 1); }},
    };
    writeOneRecord("kcx", writeAll);
    // The records in file order, each read with a wrong and then with the right call.
    const int recordOfCase[] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        SCOPED_TRACE(cases[c].what);
        TestIO in(qzCacheFileIO::kRead, str("kcx"));
        ASSERT_TRUE(in.open(str(path().c_str())));
        int time = 0;
        ASSERT_TRUE(in.findTime(250, time));
        IString name;
        for (int r = 0; r <= recordOfCase[c]; ++r) {
            ASSERT_TRUE(in.readChannelName(name));
            ASSERT_NE(in.readArraySize(), 0u);
            if (r < recordOfCase[c]) {
                double skip[6];
                in.readDoubleArray(skip, 3);  // consumed whatever it is
            }
        }
        unsigned char buffer[64];
        std::memset(buffer, 0xAB, sizeof buffer);
        EXPECT_FALSE(cases[c].wrong(in, buffer));
        for (unsigned char byte : buffer) {
            ASSERT_EQ(byte, 0xAB);
        }
        // The second try meets the next record's name (or the group's end) and takes it,
        // so that the next record's count follows.
        EXPECT_FALSE(cases[c].right(in, buffer));
        if (recordOfCase[c] < 4) {
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

void writeTimes(const std::string& file, const char* format, const std::vector<int>& times,
    qzCacheFileIO::qzCacheFileAccess access = qzCacheFileIO::kWrite) {
    qzCacheFileIffIO io(access, str(format));
    ASSERT_TRUE(io.open(str(file.c_str())));
    if (access == qzCacheFileIO::kWrite) {
        ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
    }
    for (int time : times) {
        io.beginWriteChunk();
        ASSERT_TRUE(io.writeTime(time));
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
    EXPECT_EQ(found, 500);
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
    io.rewinds = 0;
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
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcx"));
        ASSERT_TRUE(io.open(str(path().c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), 10, 20));
    }
    TestIO io(qzCacheFileIO::kRead, str("kcx"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    int found = 0;
    EXPECT_FALSE(io.findTime(10, found));
    EXPECT_EQ(io.rewinds, 1);
    EXPECT_FALSE(io.beginReadChunk());
}

TEST_F(IffIOTest, FindTimePassesOverGroupsWithoutTime) {
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
        ASSERT_TRUE(io.open(str(path().c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
        io.beginWriteChunk();  // a per-frame style group: no time record
        io.writeChannelName(str("a"));
        const int value = 99;
        io.writeInt32Array(&value, 1);
        io.endWriteChunk();
    }
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

TEST_F(IffIOTest, ChannelSearchStaysInsideItsTimeGroup) {
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
        ASSERT_TRUE(io.open(str(path().c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), 0, 1));
        io.beginWriteChunk();
        io.writeTime(0);
        const float f = 2.5f;
        const int first = 1;
        const int second = 2;
        io.writeChannelName(str("points"));
        io.writeFloatArray(&f, 1);
        io.writeChannelName(str("id"));
        io.writeInt32Array(&first, 1);
        io.writeChannelName(str("id"));
        io.writeInt32Array(&second, 1);
        io.endWriteChunk();
        io.beginWriteChunk();
        io.writeTime(1);
        io.writeChannelName(str("missing"));
        io.writeInt32Array(&second, 1);
        io.endWriteChunk();
    }
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.beginReadChunk());
    int time = -1;
    ASSERT_TRUE(io.readNextTime(time));
    EXPECT_EQ(time, 0);
    EXPECT_EQ(readChannel(io, "id"), 1);  // the first of two records with the name
    EXPECT_FALSE(io.findChannelName(str("points")));  // lies behind: not found
    EXPECT_FALSE(io.findChannelName(str("missing")));  // belongs to the next group
    io.endReadChunk();
    ASSERT_TRUE(io.beginReadChunk());
    ASSERT_TRUE(io.readNextTime(time));
    EXPECT_EQ(time, 1);
    EXPECT_EQ(readChannel(io, "missing"), 2);
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
        ASSERT_TRUE(io.writeHeader(str("2.0 \xC3\xA9"), -250, 1000));
        io.beginWriteChunk();
        EXPECT_TRUE(io.writeInt32(-5));
        EXPECT_TRUE(io.writebool(true));
        EXPECT_TRUE(io.writebool(false));
        EXPECT_TRUE(io.writeInt32(7));
        io.endWriteChunk();
    }
    const Bytes file = qztest::readFileBytes(path());
    EXPECT_EQ(findChunk(file, "INT3", 8).payload, (Bytes{0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(findChunk(file, "BOOL", 8).payload, (Bytes{0x54}));
    EXPECT_EQ(findChunk(file, "ETIM", 8).payload, (Bytes{0, 0, 0x03, 0xE8}));

    TestIO io(qzCacheFileIO::kRead, str("kcx"));
    ASSERT_TRUE(io.open(str(path().c_str())));
    ASSERT_TRUE(io.beginReadChunk());
    EXPECT_EQ(io.readInt32(), -5);
    bool value = false;
    EXPECT_TRUE(io.readbool(value));
    EXPECT_TRUE(value);
    EXPECT_EQ(io.readInt32(), 0);  // the "F" chunk: not an integer, consumed
    EXPECT_EQ(io.readInt32(), 7);
    EXPECT_EQ(io.readInt32(), 0);
}

// Reads the header fields back through a subclass, which may see them.
class HeaderIO : public qzCacheFileIffIO {
public:
    using qzCacheFileIffIO::qzCacheFileIffIO;
    int start() const { return m_startTime; }
    int end() const { return m_endTime; }
    const IString& version() const { return m_version; }
};

TEST_F(IffIOTest, OpenReadsTheHeaderAndRejectsBadOnes) {
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
        ASSERT_TRUE(io.open(str(path("h.kc").c_str())));
        ASSERT_TRUE(io.writeHeader(str("0.1"), -3, 123456789));
    }
    HeaderIO header(qzCacheFileIO::kRead, str("kcc"));
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
    TestIO io(qzCacheFileIO::kRead, str("kcc"));
    EXPECT_FALSE(io.isValid());
    EXPECT_FALSE(io.rewind());
    EXPECT_FALSE(io.readHeader());
    io.close();
    io.endReadChunk();

    // Unknown format and never opened: no container yet.
    TestIO none(qzCacheFileIO::kWrite, str("???"));
    EXPECT_FALSE(none.isValid());
    EXPECT_FALSE(none.rewind());
    EXPECT_FALSE(none.writeHeader(str("0.1"), 0, 1));
    none.beginWriteChunk();
    EXPECT_FALSE(none.writeTime(1));
    const double d = 1;
    EXPECT_FALSE(none.writeDoubleArray(&d, 1));
    EXPECT_FALSE(none.writeChannelName(str("a")));
    none.endWriteChunk();
    EXPECT_FALSE(none.beginReadChunk());
    int t = 0;
    EXPECT_FALSE(none.findTime(0, t));
    EXPECT_EQ(none.readArraySize(), 0u);
    EXPECT_FALSE(none.hasWriteError());
    EXPECT_STREQ(none.lastError(), "");

    writeTimes(path(), "kcc", {0, 250});
    ASSERT_TRUE(io.open(str(path().c_str())));
    EXPECT_TRUE(io.isValid());
    io.close();
    EXPECT_FALSE(io.isValid());
    EXPECT_FALSE(io.rewind());
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

TEST_F(IffIOTest, WriteFailuresAreReported) {
    std::error_code error;
    if (!std::filesystem::exists("/dev/full", error)) {
        GTEST_SKIP() << "no /dev/full";
    }
    const std::string full = path("full.kc");
    std::filesystem::create_symlink("/dev/full", full, error);
    ASSERT_FALSE(error);
    qzCacheFileIffIO io(qzCacheFileIO::kWrite, str("kcc"));
    ASSERT_TRUE(io.open(str(full.c_str())));
    EXPECT_FALSE(io.hasWriteError());
    io.writeHeader(str("0.1"), 0, 1);
    io.beginWriteChunk();
    io.writeTime(0);
    io.writeChannelName(str("big"));
    const std::vector<double> values(1 << 18, 1.0);  // beyond any write buffer
    EXPECT_FALSE(io.writeDoubleArray(values.data(), static_cast<unsigned>(values.size())));
    EXPECT_TRUE(io.hasWriteError());
    EXPECT_STRNE(io.lastError(), "");
    const float f = 1;
    EXPECT_FALSE(io.writeFloatArray(&f, 1));
    EXPECT_FALSE(io.writeChannelName(str("next")));
    EXPECT_FALSE(io.writeTime(1));
    EXPECT_FALSE(io.flush());
}

// What a walk over a data file read: per time group its time and its channels' values.
struct GroupRead {
    int time = 0;
    std::vector<std::string> names;
    std::vector<std::vector<double>> values;
    bool operator==(const GroupRead& o) const {
        return time == o.time && names == o.names && values == o.values;
    }
};

template <typename T, typename Read>
std::vector<double> readValues(TestIO& io, unsigned count, unsigned components, Read read) {
    // A count no intact file of this test holds: the reader must refuse it before it
    // touches the one-element buffer.
    if (count > 4096) {
        T one[3] = {};
        EXPECT_FALSE((io.*read)(one, count));
        return {-1};
    }
    std::vector<T> buffer(static_cast<std::size_t>(count) * components + 1);
    if (!(io.*read)(buffer.data(), count)) {
        return {-2};
    }
    return std::vector<double>(buffer.begin(), buffer.end() - 1);
}

// Opens and walks a whole file as a reader that trusts nothing: every group, every record.
bool walk(const std::string& file, const char* format, std::vector<GroupRead>& groups) {
    groups.clear();
    TestIO io(qzCacheFileIO::kRead, str(format));
    if (!io.open(str(file.c_str()))) {
        return false;
    }
    for (int g = 0; g < 64 && io.beginReadChunk(); ++g) {
        GroupRead group;
        io.readNextTime(group.time);
        IString name;
        for (int r = 0; r < 64 && io.readChannelName(name); ++r) {
            const unsigned count = io.readArraySize();
            const std::string n = name.utf8();
            std::vector<double> values;
            if (n == "d") {
                values = readValues<double>(io, count, 1, &TestIO::readDoubleArray);
            } else if (n == "dv") {
                values = readValues<double>(io, count, 3, &TestIO::readDoubleVectorArray);
            } else if (n == "f") {
                values = readValues<float>(io, count, 1, &TestIO::readFloatArray);
            } else if (n == "fv") {
                values = readValues<float>(io, count, 3, &TestIO::readFloatVectorArray);
            } else {
                values = readValues<int>(io, count, 1, &TestIO::readInt32Array);
            }
            group.names.push_back(n);
            group.values.push_back(values);
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
        return static_cast<std::uint64_t>(std::filesystem::file_size(file));
    };
    ref.headerEnd = endOffset();
    for (int g = 0; g < 4; ++g) {
        GroupRead group;
        group.time = 250 * g;
        io.beginWriteChunk();
        io.writeTime(group.time);
        const unsigned n = 1 + static_cast<unsigned>(g);
        std::vector<double> d(n * 3);
        std::vector<float> f(n * 3);
        std::vector<int> i(n);
        for (unsigned k = 0; k < n * 3; ++k) {
            d[k] = g * 100 + k * 0.5;
            f[k] = static_cast<float>(g - static_cast<int>(k));
        }
        for (unsigned k = 0; k < n; ++k) {
            i[k] = g * 1000 - static_cast<int>(k);
        }
        io.writeChannelName(str("d"));
        io.writeDoubleArray(d.data(), n);
        io.writeChannelName(str("f"));
        io.writeFloatArray(f.data(), n);
        io.writeChannelName(str("i"));
        io.writeInt32Array(i.data(), n);
        io.writeChannelName(str("dv"));
        io.writeDoubleVectorArray(d.data(), n);
        io.writeChannelName(str("fv"));
        io.writeFloatVectorArray(f.data(), n);
        io.endWriteChunk();
        group.names = {"d", "f", "i", "dv", "fv"};
        group.values = {std::vector<double>(d.begin(), d.begin() + n),
            std::vector<double>(f.begin(), f.begin() + n), std::vector<double>(i.begin(), i.end()),
            d, std::vector<double>(f.begin(), f.end())};
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
        ASSERT_TRUE(walk(path("ref.kc"), v.format, groups));
        ASSERT_EQ(groups.size(), ref.groups.size());
        for (std::size_t g = 0; g < groups.size(); ++g) {
            ASSERT_TRUE(groups[g] == ref.groups[g]) << "group " << g;
        }
        const std::string damaged = path("damaged.kc");
        for (std::size_t cut = 0; cut < ref.bytes.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            qztest::writeFileBytes(damaged, Bytes(ref.bytes.begin(), ref.bytes.begin() + static_cast<long>(cut)));
            const bool opened = walk(damaged, "", groups);
            expectIntactPrefix(ref, opened, groups, cut);
        }
        std::mt19937 random(20240611u);
        for (int round = 0; round < 1500; ++round) {
            Bytes bytes = ref.bytes;
            std::size_t first = bytes.size();
            const int flips = 1 + static_cast<int>(random() % 3);
            for (int k = 0; k < flips; ++k) {
                const std::size_t at = random() % bytes.size();
                bytes[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
                first = std::min(first, at);
            }
            SCOPED_TRACE("round " + std::to_string(round));
            qztest::writeFileBytes(damaged, bytes);
            const bool opened = walk(damaged, v.format, groups);
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
