// The IFF data file: its exact bytes, its time and channel searches, and its refusals.
#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffIOPrivate.h"
#include "qzFaultFileSystem.h"
#include "qzFileSystem.h"
#include "qzIffFile.h"
#include "qzMemoryFileSystem.h"
#include "iffBytes.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using qztest::Bytes;
using qztest::IffBytes;
using qzString::IString;

IString str(const char* text) { return IString(text, 0); }

// Exposes the protected parts and counts rewinds, so that the search strategy shows.
class TestIO : public qzCacheFileIffIO {
public:
    using qzCacheFileIffIO::qzCacheFileIffIO;
    int start() const { return m_startTime; }
    int end() const { return m_endTime; }
    bool rewind() override {
        ++rewinds;
        return qzCacheFileIffIO::rewind();
    }
    int rewinds = 0;
};

template <typename T>
Bytes bigEndian(const std::vector<T>& values) {
    Bytes out;
    for (const T& value : values) {
        unsigned char raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        for (std::size_t i = sizeof(T); i > 0; --i) out.push_back(raw[i - 1]);
    }
    return out;
}

struct Variant {
    const char* format;
    const char* groupTag;
    const char* extension;
};

// An array writer and reader of one type, and the scalars of one element.
template <typename T>
struct ArrayCalls {
    bool (qzCacheFileIffIO::*write)(const T*, unsigned int);
    bool (qzCacheFileIffIO::*read)(T*, unsigned int);
    unsigned scalars;
};

// Time groups with the channels "a" (the time) and "b" (twice the time); without a time
// record when `withTime` is false.
void writeTimes(const std::string& file, const char* format, const std::vector<int>& times,
                qzCacheFileIO::qzCacheFileAccess access = qzCacheFileIO::kWrite, bool withTime = true) {
    qzCacheFileIffIO io(access, str(format));
    ASSERT_TRUE(io.open(str(file.c_str())));
    ASSERT_TRUE(access != qzCacheFileIO::kWrite || io.writeHeader(str("0.1"), 0, 1));
    for (int time : times) {
        io.beginWriteChunk();
        ASSERT_TRUE(!withTime || io.writeTime(time));
        const int doubled = 2 * time;
        ASSERT_TRUE(io.writeChannelName(str("a")) && io.writeInt32Array(&time, 1));
        ASSERT_TRUE(io.writeChannelName(str("b")) && io.writeInt32Array(&doubled, 1));
        io.endWriteChunk();
    }
}

int readChannel(qzCacheFileIffIO& io, const char* name) {
    if (!io.findChannelName(str(name)) || io.readArraySize() != 1) return -1;
    int value = -1;
    return io.readInt32Array(&value, 1) ? value : -1;
}

class IffIO : public ::testing::TestWithParam<Variant> {
protected:
    const char* format() const { return GetParam().format; }
    std::string path(const std::string& name = "data.kc") const { return m_dir.file(name); }

    // Header, one time group at time 250 with one channel "ch", written by `body`.
    template <typename Body>
    IffBytes writeOneRecord(Body body) {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format()));
        EXPECT_TRUE(io.open(str(path().c_str())));
        EXPECT_TRUE(io.writeHeader(str("0.1"), 0, 1));
        io.beginWriteChunk();
        EXPECT_TRUE(io.writeTime(250));
        EXPECT_TRUE(io.writeChannelName(str("ch")));
        body(io);
        io.endWriteChunk();
        io.close();
        return IffBytes(qztest::readFileBytes(path()));
    }

    // Opens the file written by writeOneRecord and enters its record; the record's count.
    unsigned int openAt(TestIO& io) {
        int time = 0;
        EXPECT_TRUE(io.open(str(path().c_str())) && io.findTime(250, time) && io.findChannelName(str("ch")));
        return io.readArraySize();
    }

    // Writes `values` as one array of `kind`, checks the stored count and bytes, and reads
    // them back.
    template <typename T>
    void expectStored(ArrayCalls<T> calls, const char* tag, const std::vector<T>& values) {
        SCOPED_TRACE(std::string(tag) + " x" + std::to_string(values.size()));
        const unsigned count = static_cast<unsigned>(values.size() / calls.scalars);
        const std::vector<T> copy = values;
        const IffBytes file = writeOneRecord([&](qzCacheFileIffIO& io) {
            EXPECT_TRUE((io.*calls.write)(values.data(), count));
        });
        EXPECT_TRUE(values == copy);
        EXPECT_EQ(file.data("SIZE"), bigEndian(std::vector<std::uint32_t>{count}));
        ASSERT_NE(file.chunk(tag), nullptr);
        EXPECT_EQ(file.chunk(tag)->size, values.size() * sizeof(T));
        EXPECT_TRUE(file.data(tag) == bigEndian(values));
        TestIO in(qzCacheFileIO::kRead, str(""));  // takes the variant from the file
        ASSERT_EQ(openAt(in), count);
        std::vector<T> back(values.size() + 1, T(7));
        EXPECT_TRUE((in.*calls.read)(back.data(), count));
        EXPECT_EQ(back.back(), T(7));
        back.pop_back();
        EXPECT_TRUE(back == values);
    }

    qztest::TempDir m_dir;
};

INSTANTIATE_TEST_SUITE_P(Variants, IffIO,
                         ::testing::Values(Variant{"kcc", "FOR4", "kc"}, Variant{"kcx", "FOR8", "kcx"}),
                         [](const ::testing::TestParamInfo<Variant>& v) { return std::string(v.param.format); });

TEST_P(IffIO, ArraysAreStoredBigEndianAfterTheirCount) {
    const float f = 1.0f;
    const IffBytes file = writeOneRecord([&](qzCacheFileIffIO& io) { EXPECT_TRUE(io.writeFloatArray(&f, 1)); });
    ASSERT_EQ(file.groups.size(), 2u);
    EXPECT_EQ(std::string(file.bytes.begin(), file.bytes.begin() + 4), GetParam().groupTag);
    EXPECT_EQ(file.groups[0].type, "CACH");
    EXPECT_EQ(file.groups[1].type, "KLCH");
    EXPECT_EQ(file.groups[1].end, file.bytes.size());
    EXPECT_EQ(file.data("VRSN", 0), (Bytes{'0', '.', '1', 0}));
    EXPECT_EQ(file.data("STIM", 0), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(file.data("ETIM", 0), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(file.data("TIME", 1), (Bytes{0, 0, 0x00, 0xFA}));
    EXPECT_EQ(file.data("CHNM", 1), (Bytes{'c', 'h', 0}));
    EXPECT_EQ(file.data("SIZE", 1), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(file.data("FBCA", 1), (Bytes{0x3F, 0x80, 0, 0}));
    EXPECT_EQ(qzCacheFileIffIO(qzCacheFileIO::kWrite, str(format())).extension().utf8(), GetParam().extension);

    // Vectors count vectors and keep x, y, z order: 2 float vectors are 24 bytes.
    using IO = qzCacheFileIffIO;
    const ArrayCalls<float> floats{&IO::writeFloatArray, &IO::readFloatArray, 1};
    expectStored<float>({&IO::writeFloatVectorArray, &IO::readFloatVectorArray, 3}, "FVCA",
                        {1.f, -2.f, 3.5f, 4.f, 5.f, -6.25f});
    expectStored<double>({&IO::writeDoubleVectorArray, &IO::readDoubleVectorArray, 3}, "DVCA",
                         {0.5, -1e300, 3, 4.25, 1e-300, -6});
    expectStored<int>({&IO::writeInt32Array, &IO::readInt32Array, 1}, "INTA", {-2147483647 - 1, -1, 0, 2147483647});
    expectStored<float>(floats, "FBCA", {-0.0f, 1e-40f, 3e38f});
    expectStored<float>(floats, "FBCA", {});
    // Both sides of 64 KiB of payload, and beyond the 4 MiB a time group gathers in memory.
    for (std::size_t count : {8192u, 8193u, 700000u}) {
        std::vector<double> values(count);
        for (std::size_t k = 0; k < count; ++k) values[k] = static_cast<double>(k) * 0.25 - 1000.0;
        expectStored<double>({&IO::writeDoubleArray, &IO::readDoubleArray, 1}, "DBLA", values);
    }
}

TEST_P(IffIO, ArraysBeyondFourGigabytesAreRefused) {
    qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format()));
    ASSERT_TRUE(io.open(str(path().c_str())) && io.writeHeader(str("0.1"), 0, 1));
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

// A reader that searched before, standing anywhere (inside a group or after it, at the end),
// answers each time question as a reader that never saw the file, and rewinds at most once for it.
TEST_P(IffIO, FindTimeAnswersAsAFreshReaderFromAnywhere) {
    writeTimes(path(), format(), {});
    for (int i = 0; i < 60; ++i) {
        // Every seventh group has no time; every third time is missing.
        if (i % 7 == 3) writeTimes(path(), format(), {100000 + i}, qzCacheFileIO::kReadWrite, false);
        if (i % 3 != 1) writeTimes(path(), format(), {i * 5}, qzCacheFileIO::kReadWrite);
    }
    TestIO io(qzCacheFileIO::kRead, str(format()));
    ASSERT_TRUE(io.open(str(path().c_str())));
    std::mt19937 random(1);
    int previous = 0;
    int hits = 0;
    for (int step = 0; step < 400; ++step) {
        // Now and then the same time again, as for the next channel of a frame.
        const int wanted = step > 0 && random() % 4 == 0 ? previous : int(random() % 70) * 5;
        previous = wanted;
        TestIO fresh(qzCacheFileIO::kRead, str(format()));
        ASSERT_TRUE(fresh.open(str(path().c_str())));
        int found = -1;
        int freshFound = -1;
        const int rewindsBefore = io.rewinds;
        const bool expected = fresh.findTime(wanted, freshFound);
        ASSERT_EQ(io.findTime(wanted, found), expected) << "step " << step << " time " << wanted;
        ASSERT_LE(io.rewinds - rewindsBefore, 1) << "step " << step;
        if (expected) {
            ++hits;
            ASSERT_EQ(found, wanted);
            ASSERT_EQ(readChannel(io, "a"), wanted) << "step " << step;
            // A channel searched again lies behind, and the next group's is not this group's.
            ASSERT_EQ(readChannel(io, "a"), -1) << "step " << step;
        }
        if (random() % 4 != 0) io.endReadChunk();
    }
    EXPECT_GT(hits, 100);
}

// A rewind, and an open of the name after a close, read the file as a fresh open would:
// grown, cut short, replaced under its name, changed or damaged in place.
TEST_P(IffIO, RewindAndReopenReadTheFileAsItIsNow) {
    for (const bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "closed and opened again" : "rewound");
        writeTimes(path(), format(), {250, 500, 750});
        TestIO io(qzCacheFileIO::kRead, str(format()));
        ASSERT_TRUE(io.open(str(path().c_str())));
        const auto again = [&] {
            if (!reopen) return io.rewind();
            io.close();
            return io.open(str(path().c_str()));
        };
        int found = 0;
        ASSERT_TRUE(io.findTime(750, found));
        io.endReadChunk();
        // Another writer appends: what lies beyond the length first seen is found.
        writeTimes(path(), format(), {1000, 1250}, qzCacheFileIO::kReadWrite);
        ASSERT_TRUE(again());
        ASSERT_TRUE(io.findTime(1250, found));
        EXPECT_EQ(readChannel(io, "b"), 2500);
        io.endReadChunk();

        writeTimes(path(), format(), {250});
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
        writeTimes(path(), format(), {250, 500, 750});
        ASSERT_TRUE(again());
        ASSERT_TRUE(io.findTime(750, found));
        io.endReadChunk();
        const std::string other = path("other.kc");
        writeTimes(other, format(), {300, 550, 800});
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

        // A header damaged in place fails the rewind, as it fails an open.
        IffBytes file(qztest::readFileBytes(path()));
        file.bytes[file.groups[0].at + 4 + file.width] = 'X';
        rewriteInPlace(file.bytes);
        EXPECT_FALSE(again());
        TestIO fresh(qzCacheFileIO::kRead, str(format()));
        EXPECT_FALSE(fresh.open(str(path().c_str())));
    }
}

// Records of a time group in a mixed order, a name twice, some large enough to be read past
// the container's buffer, and a chunk that is no record between them; every other group has
// the names of the group before but for its last record. Each array's value after its first
// tells which record it is.
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
            ASSERT_TRUE(io.writeChannelName(str(order[r])));
            std::vector<int> values(random() % 3 == 0 ? 40000 : 3, 0);
            values[1] = g * 100 + r;
            ASSERT_TRUE(io.writeInt32Array(values.data(), static_cast<unsigned>(values.size())));
            ASSERT_TRUE(r != 2 || io.writeInt32(7));
        }
        io.endWriteChunk();
    }
}

// Which record a search found: its count and marking value; {-1, -1} when none.
std::pair<int, int> foundRecord(TestIO& io, const std::string& name) {
    if (!io.findChannelName(str(name.c_str()))) return {-1, -1};
    const unsigned count = io.readArraySize();
    std::vector<int> values(count, -1);
    if (count < 2 || !io.readInt32Array(values.data(), count)) return {int(count), -1};
    return {int(count), values[1]};
}

TEST_P(IffIO, ChannelSearchesAgainAnswerAsTheFirstScan) {
    // Read time after time and name after name by one reader, which learns where records
    // begin, each search must find what a reader that never saw the file finds.
    writeMixedRecords(path(), format(), 6);
    TestIO io(qzCacheFileIO::kRead, str(format()));
    ASSERT_TRUE(io.open(str(path().c_str())));
    std::mt19937 random(5);
    const char* names[] = {"p", "q", "r", "s", "absent"};
    for (int step = 0; step < 300; ++step) {
        const int time = int(random() % 6) * 10;
        std::vector<const char*> asked;
        for (unsigned n = 1 + random() % 3; n > 0; --n) asked.push_back(names[random() % 5]);
        // As playback asks: every name in a row, as often in stored order.
        if (step % 3 == 0) asked.assign({"p", "q", "r", "s", "p", "q", "r", "s"});
        TestIO fresh(qzCacheFileIO::kRead, str(format()));
        ASSERT_TRUE(fresh.open(str(path().c_str())));
        int found = 0;
        ASSERT_TRUE(io.findTime(time, found));
        ASSERT_TRUE(fresh.findTime(time, found));
        for (const char* name : asked) {
            ASSERT_EQ(foundRecord(io, name), foundRecord(fresh, name)) << "step " << step << " " << name;
        }
        io.endReadChunk();
    }
}

// A wanted name with a lone surrogate is not the stored name whose UTF-8 form it shares (the
// surrogate's replacement character): it would read another channel's data.
TEST_P(IffIO, ANameWithALoneSurrogateFindsNoOtherName) {
    const IString replaced = qztest::text("a\xEF\xBF\xBD");
    IString lone("ab", 0);
    lone[1] = u'\xDC00';
    const int one = 1;
    writeOneRecord([&](qzCacheFileIffIO& io) {
        EXPECT_TRUE(io.writeInt32Array(&one, 1) && io.writeChannelName(replaced) && io.writeInt32Array(&one, 1));
    });
    for (const bool wantLone : {true, false}) {
        TestIO in(qzCacheFileIO::kRead, str(""));
        ASSERT_EQ(openAt(in), 1u);
        EXPECT_EQ(in.findChannelName(wantLone ? lone : replaced), !wantLone);
    }
}

// A file written through the container directly, for records the class never writes: a header
// whose time fields have the given widths, with `timeGroup` before it or after it.
Bytes rawFile(const std::string& file, unsigned startBytes, unsigned endBytes, bool groupFirst,
              const std::function<void(iff::qzIffFile&)>& timeGroup) {
    iff::qzIffFile4 raw;
    EXPECT_TRUE(raw.open(file.c_str(), "w", 0, 0));
    const unsigned char zeros[8] = {};
    if (groupFirst) timeGroup(raw);
    raw.beginWriteGroup(iff::qzIffTag::kFOR4, iff::qzIffTag("CACH"));
    raw.beginPut(iff::qzIffTag("VRSN"));
    raw.putString("0.1");
    raw.endPut();
    raw.putChunk(iff::qzIffTag("STIM"), startBytes, zeros);
    raw.putChunk(iff::qzIffTag("ETIM"), endBytes, zeros);
    raw.endWriteGroup();
    if (!groupFirst) timeGroup(raw);
    EXPECT_EQ(raw.close(), 0);
    return qztest::readFileBytes(file);
}

void timeGroupWithEmptyName(iff::qzIffFile& raw) {
    const unsigned char one[4] = {0, 0, 0, 1};
    raw.beginWriteGroup(iff::qzIffTag::kFOR4, iff::qzIffTag("KLCH"));
    raw.putChunk(iff::qzIffTag("CHNM"), 0, one);
    raw.beginPut(iff::qzIffTag("CHNM"));
    raw.putString("a");
    raw.endPut();
    raw.putChunk(iff::qzIffTag("SIZE"), 4, one);
    raw.putChunk(iff::qzIffTag("INTA"), 4, one);
    raw.endWriteGroup();
}

TEST_P(IffIO, OpenReadsTheHeaderAndRefusesBadOnes) {
    {
        qzCacheFileIffIO io(qzCacheFileIO::kWrite, str(format()));
        ASSERT_TRUE(io.open(str(path("h.kc").c_str())) && io.writeHeader(str("0.1"), -3, 123456789));
    }
    TestIO read(qzCacheFileIO::kRead, str(format()));
    ASSERT_TRUE(read.open(str(path("h.kc").c_str())));
    EXPECT_EQ(read.start(), -3);
    EXPECT_EQ(read.end(), 123456789);

    const auto opens = [&](const Bytes& bytes) {
        qztest::writeFileBytes(path("bad.kc"), bytes);
        TestIO io(qzCacheFileIO::kRead, str(""));
        return io.open(str(path("bad.kc").c_str()));
    };
    EXPECT_TRUE(opens(rawFile(path("raw.kc"), 4, 4, false, timeGroupWithEmptyName)));
    EXPECT_FALSE(opens(rawFile(path("raw.kc"), 3, 4, false, timeGroupWithEmptyName)));
    EXPECT_FALSE(opens(rawFile(path("raw.kc"), 4, 8, false, timeGroupWithEmptyName)));
    EXPECT_FALSE(opens(rawFile(path("raw.kc"), 4, 4, true, timeGroupWithEmptyName)));
    EXPECT_FALSE(opens({}));
    EXPECT_FALSE(opens({'F', 'O', 'R', '4'}));
    EXPECT_FALSE(opens({'F', 'O', 'R', '8', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'C', 'A', 'C', 'H'}));
    TestIO absent(qzCacheFileIO::kReadWrite, str(format()));
    EXPECT_FALSE(absent.open(str(path("none.kc").c_str())));
    EXPECT_FALSE(qztest::fileExists(path("none.kc")));

    // Closed, or with no container at all (an unknown format never opened), nothing is done.
    read.close();
    EXPECT_FALSE(read.isValid() || read.rewind() || read.readHeader());
    TestIO none(qzCacheFileIO::kWrite, str("???"));
    EXPECT_FALSE(none.rewind() || none.writeHeader(str("0.1"), 0, 1));
    none.beginWriteChunk();
    const double d = 1;
    int t = 0;
    EXPECT_FALSE(none.writeChannelName(str("a")) || none.writeDoubleArray(&d, 1) || none.beginReadChunk() ||
                 none.findTime(0, t));
    none.endWriteChunk();
}

// Each read of a large array in turn fails: the array is refused, or (where the failing read
// only took less ahead) read whole; never anything between.
TEST_P(IffIO, FailedReadsRefuseTheArrayOrReadItWhole) {
    using Fault = qzOS::FaultFileSystem;
    const std::vector<double> values(1 << 18, 1.5);  // beyond any read buffer
    for (const Fault::Effect effect : {Fault::Effect::kFail, Fault::Effect::kShort}) {
        SCOPED_TRACE(effect == Fault::Effect::kFail ? "failing" : "short");
        qzOS::MemoryFileSystem memory;
        Fault files(memory);
        {
            const auto io = qzCreateIffIO(qzCacheFileIO::kWrite, str(format()), files);
            ASSERT_TRUE(io->open(str("data.kc")) && io->writeHeader(str("0.1"), 0, 1));
            io->beginWriteChunk();
            ASSERT_TRUE(io->writeTime(0) && io->writeChannelName(str("big")));
            ASSERT_TRUE(io->writeDoubleArray(values.data(), static_cast<unsigned>(values.size())));
            io->endWriteChunk();
        }
        bool refused = false;
        for (unsigned nth = 1;; ++nth) {
            const auto io = qzCreateIffIO(qzCacheFileIO::kRead, str(format()), files);
            ASSERT_TRUE(io->open(str("data.kc")));
            int time = -1;
            ASSERT_TRUE(io->findTime(0, time) && io->findChannelName(str("big")));
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

}  // namespace
