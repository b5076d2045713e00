// Caches damaged after they were written: data files cut at every length, sizes patched, bytes
// flipped, files deleted, descriptions damaged. The cache checker names each damage by its kind;
// reads answer false or data, never crash, hang or allocate far beyond what the files hold; and
// what lay before the damage (the earlier time groups of a one-file cache, the other frames of a
// per-frame cache) reads back bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "allocationProbe.h"
#include "iffBytes.h"
#include "qzCacheChecker.h"
#include "qzCacheFileInterface.h"
#include "testCache.h"
#include "testSupport.h"

namespace fs = std::filesystem;
using qztest::Bytes;
using qztest::kOneFile;
using qztest::kPerFrame;
using qztest::Layout;
using Kinds = std::set<qzCacheProblem::Kind>;

namespace {

constexpr std::size_t kDamagedTime = 2;  // 750
// Buffers every read keeps whatever the files hold (the container's read buffer, the parser's).
constexpr std::size_t kFixedBuffers = 256 * 1024;

Kinds kindsOf(const qzCacheCheckReport& report) {
    Kinds kinds;
    for (const qzCacheProblem& problem : report.problems) kinds.insert(problem.kind);
    return kinds;
}

std::string describe(const qzCacheCheckReport& report) {
    std::string text;
    for (const qzCacheProblem& problem : report.problems) {
        text += std::string(qzCacheProblem::kindName(problem.kind)) + ": " + problem.detail + "\n";
    }
    return text;
}

std::uint64_t bytesIn(const std::string& directory) {
    std::uint64_t total = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(qztest::fsPath(directory))) {
        if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
}

// Every channel of the time reads back exactly.
bool readsTime(qzCacheFileInterface& reader, const qztest::TestCache& cache, int time) {
    for (unsigned int channel = 0; channel < cache.channels.size(); ++channel) {
        if (!qztest::readsBack(reader, cache, channel, time)) return false;
    }
    return true;
}

class DamagedCache : public ::testing::TestWithParam<std::tuple<Layout, std::string>> {
protected:
    void SetUp() override {
        cache.location = dir.path();
        cache.layout = std::get<0>(GetParam());
        cache.format = std::get<1>(GetParam());
        cache.channels = {{"pos", qzCacheData::kFloatVectorArray, 3}, {"w", qzCacheData::kDoubleArray, 5}};
        cache.times = {250, 500, 750, 1000, 1250};
        qztest::writeTestCache(cache);
        original = qztest::readFileBytes(damagedFile());
        ASSERT_EQ(file().groups.size(), oneFile() ? 6u : 2u);
    }

    bool oneFile() const { return cache.layout == kOneFile; }
    // The file damaged: the one data file, or the frame file of 750.
    std::string damagedFile() const {
        return dir.file((oneFile() ? "shot" : "shotFrame3") + std::string(cache.format == "kcx" ? ".kcx" : ".kc"));
    }
    qztest::IffBytes file() const { return qztest::IffBytes(original); }
    // The time group of 750 in the damaged file.
    int damagedGroup() const { return oneFile() ? int(kDamagedTime) + 1 : 1; }

    // Reads everything the cache offers, directly and through the memory copy. Gives, for each
    // time, whether it read back exactly. With `agree`, both modes must agree on that: they do
    // while the description is sound (the copying mode goes by the sampling record, the direct
    // one by what the file holds).
    std::vector<bool> readEverything(bool agree) {
        std::vector<bool> exact(cache.times.size(), false);
        qzCacheFileInterface reader;
        if (!reader.initFileRead("shot", dir.path().c_str())) return exact;
        for (bool copying : {false, true}) {
            reader.setOptimizeMultiChannelRead(copying);
            for (std::size_t i = 0; i < cache.times.size(); ++i) {
                const bool intact = readsTime(reader, cache, cache.times[i]);
                if (!copying) exact[i] = intact;
                EXPECT_TRUE(!agree || intact == exact[i]) << "time " << cache.times[i] << " copying";
                // Between times, and the lengths: any answer but a crash.
                std::vector<double> buffer(5, 0.0);
                void* data = buffer.data();
                unsigned int length = 5;
                reader.getArrayDataAtTime(1, cache.times[i] + 100, data, length);
                reader.getArrayLengthAtTime(0, cache.times[i], length);
            }
            int next = 0;
            reader.getNextTimeWithData(0, next);
            char* path = nullptr;
            const int files = reader.getDataFileCount();
            if (files > 1 && reader.getDataFilePath(static_cast<unsigned int>(files - 1), &path)) std::free(path);
        }
        return exact;
    }

    // Checks and reads the damaged cache within the allocation bound.
    qzCacheCheckReport checkAndRead(const std::string& what, std::vector<bool>& exact, bool soundDescription = true,
                                    bool read = true) {
        const std::uint64_t onDisk = bytesIn(dir.path());
        qztest::largestAllocation(true);
        const qzCacheCheckReport report = qzCacheChecker().checkCache(cache.description().c_str());
        if (read) exact = readEverything(soundDescription);
        EXPECT_LE(qztest::largestAllocation(), kFixedBuffers + onDisk) << what;
        return report;
    }
    // Damage from `offset` on leaves every time whose data lies before it readable: in a
    // one-file cache the time groups that end by then, in a per-frame cache the other frames;
    // in a one-file cache, the time groups cut short do not read.
    void expectReadableBefore(const std::vector<bool>& exact, std::size_t offset, const std::string& what,
                              bool cut = false) const {
        const qztest::IffBytes whole = file();
        for (std::size_t i = 0; i < cache.times.size(); ++i) {
            const bool before = oneFile() ? whole.groups[i + 1].end <= offset : i != kDamagedTime;
            EXPECT_TRUE(!before || exact[i]) << what << ": time " << cache.times[i];
            EXPECT_TRUE(before || !cut || !oneFile() || !exact[i]) << what << ": time " << cache.times[i] << " cut";
        }
    }

    qztest::TempDir dir;
    qztest::TestCache cache;
    Bytes original;
};

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, DamagedCache,
                         ::testing::Combine(::testing::Values(kOneFile, kPerFrame), ::testing::Values("kcc", "kcx")));

}  // namespace

TEST_P(DamagedCache, IntactCacheIsWholeAndReadsBack) {
    std::vector<bool> exact;
    const qzCacheCheckReport report = checkAndRead("nothing", exact);
    EXPECT_TRUE(report.whole()) << describe(report);
    EXPECT_EQ(report.dataFiles, oneFile() ? 1u : cache.times.size());
    EXPECT_EQ(report.filesChecked, report.dataFiles);
    EXPECT_EQ(report.timesChecked, cache.times.size());
    EXPECT_EQ(report.samplesExpected, 2 * cache.times.size());
    EXPECT_EQ(report.samplesChecked, 2 * cache.times.size());
    EXPECT_EQ(exact, std::vector<bool>(cache.times.size(), true));
    // Alone, the data file tells its own layout from its groups; the same bytes held in memory
    // read the same, and cut short they are truncated there too.
    const qzCacheCheckReport alone = qzCacheChecker().checkDataFile(damagedFile().c_str());
    const qzCacheCheckReport inMemory = qzCacheChecker().checkDataFileBytes(original.data(), original.size());
    EXPECT_TRUE(alone.whole() && inMemory.whole()) << describe(alone) << describe(inMemory);
    EXPECT_EQ(inMemory.samplesChecked, oneFile() ? 2 * cache.times.size() : 2u);
    EXPECT_EQ(alone.samplesChecked, inMemory.samplesChecked);
    const qzCacheCheckReport cut = qzCacheChecker().checkDataFileBytes(original.data(), original.size() - 3);
    EXPECT_EQ(kindsOf(cut), Kinds{qzCacheProblem::kTruncated}) << describe(cut);
}

// However the file is cut, the checker says truncated and nothing else (a cut is what an
// interrupted writer leaves), and the times before the cut still read.
// The reads, slow where every open is costly (under wine), go at the cuts where a tag may begin,
// which are where every group ends.
TEST_P(DamagedCache, EveryCutIsTruncatedAndKeepsWhatLiesBeforeIt) {
    for (std::size_t length = 0; length < original.size(); ++length) {
        const std::string what = "cut at " + std::to_string(length);
        qztest::writeFileBytes(damagedFile(), Bytes(original.begin(), original.begin() + std::ptrdiff_t(length)));
        const bool read = length % 4 == 0;
        std::vector<bool> exact;
        const qzCacheCheckReport report = checkAndRead(what, exact, true, read);
        ASSERT_EQ(kindsOf(report), Kinds{qzCacheProblem::kTruncated}) << what << describe(report);
        EXPECT_EQ(report.problems.front().file, damagedFile()) << what;
        EXPECT_GT(report.problems.front().lostSamples, 0u) << what;
        if (read) expectReadableBefore(exact, length, what, true);
    }
}

TEST_P(DamagedCache, DamageInsideAnIntactFileIsCorruptOrNamed) {
    const qztest::IffBytes whole = file();
    const qztest::IffGroup& group = whole.groups.at(std::size_t(damagedGroup()));
    const qztest::IffChunk* name = whole.chunk("CHNM", damagedGroup());
    const qztest::IffChunk* count = whole.chunk("SIZE", damagedGroup());
    const qztest::IffChunk* array = whole.chunk("FVCA", damagedGroup());
    ASSERT_TRUE(name && count && array);
    const unsigned w = whole.width;
    const std::uint64_t groupSize = qztest::loadBE(original, group.at + 4, w);
    const std::size_t header = whole.groups[0].at;
    const Kinds corrupt{qzCacheProblem::kCorrupt};
    const struct {
        const char* what;
        std::size_t at;  // the first byte changed
        unsigned bytes;  // 0: the byte is flipped; otherwise this many bytes take `value`
        std::uint64_t value;
        Kinds kinds;  // the checker's answer exactly
    } damages[] = {
        // A frame file's time group is its last: its bytes cannot tell a grown size from a cut.
        {"group size grown", group.at + 4, w, groupSize + w, oneFile() ? corrupt : Kinds{qzCacheProblem::kTruncated}},
        {"group size shrunk", group.at + 4, w, groupSize - w, corrupt},
        {"header size grown past the end", header + 4, w, 0x7FFFFFF0u, corrupt},
        {"header size zero", header + 4, w, 0, corrupt},
        {"group tag flipped", group.at, 0, 0, corrupt},
        {"name chunk size grown", name->at + 4, w, 4 + w, corrupt},
        {"array chunk size shrunk", array->at + 4, w, 3 * 12 - 4, corrupt},
        {"count grown by one", count->at + 4 + w, 4, 3 + 1, corrupt},
        {"record tag flipped", name->at, 0, 0, {qzCacheProblem::kCorrupt, qzCacheProblem::kSampleMissing}},
        {"channel name changed", name->at + 4 + w, 0, 0,
         {qzCacheProblem::kUnknownRecord, qzCacheProblem::kSampleMissing}},
    };
    for (const auto& damage : damages) {
        Bytes bytes = original;
        if (damage.bytes == 0) {
            bytes.at(damage.at) ^= 0x01;
        } else {
            qztest::storeBE(bytes, damage.at, damage.bytes, damage.value);
        }
        qztest::writeFileBytes(damagedFile(), bytes);
        std::vector<bool> exact;
        const qzCacheCheckReport report = checkAndRead(damage.what, exact);
        EXPECT_EQ(kindsOf(report), damage.kinds) << damage.what << "\n" << describe(report);
        expectReadableBefore(exact, damage.at, damage.what);
    }
}

// A record whose array does not read is damage, not a missing sample: in every read mode its
// request fails instead of being answered from the neighbours, and so does an interpolated
// request that would blend over it; the other record of that time and the times around it
// still read.
TEST_P(DamagedCache, UnreadableArrayFailsItsRequestsInEveryReadMode) {
    Bytes bytes = original;
    bytes.at(file().chunk("FVCA", damagedGroup())->at) ^= 0x01;
    qztest::writeFileBytes(damagedFile(), bytes);
    const int damaged = cache.times[kDamagedTime];
    for (const char* mode : {"direct", "copying", "worker"}) {
        SCOPED_TRACE(mode);
        auto reader = std::make_shared<qzCacheFileInterface>();
        ASSERT_TRUE(reader->initFileRead("shot", dir.path().c_str()));
        reader->setOptimizeMultiChannelRead(std::string(mode) == "copying");
        ASSERT_TRUE(std::string(mode) != "worker" || reader->startMultiThreadRead(false));
        const qztest::TestCache written = cache;
        ASSERT_TRUE(qztest::endsInTime([reader, written, damaged] {
            for (const int time : {damaged, damaged - 100, damaged + 100}) {
                std::vector<float> points(9, -1.0f);
                void* data = points.data();
                unsigned int length = 3;
                EXPECT_FALSE(reader->getArrayDataAtTime(0, time, data, length)) << time;
                EXPECT_EQ(length, 0u) << time;
                EXPECT_EQ(points, std::vector<float>(9, -1.0f)) << time;
            }
            EXPECT_TRUE(qztest::readsBack(*reader, written, 1, damaged));
            EXPECT_TRUE(readsTime(*reader, written, damaged - 250));
            EXPECT_TRUE(readsTime(*reader, written, damaged + 250));
        })) << "a read did not return";
        reader->stopMultiThreadRead();
    }
}

TEST_P(DamagedCache, MissingDataFileLosesItsSamples) {
    fs::remove(qztest::fsPath(damagedFile()));
    std::vector<bool> exact;
    const qzCacheCheckReport report = checkAndRead("deleted", exact);
    ASSERT_EQ(kindsOf(report), Kinds{qzCacheProblem::kDataFileMissing}) << describe(report);
    EXPECT_EQ(report.problems.front().lostSamples, oneFile() ? 2 * cache.times.size() : 2u);
    expectReadableBefore(exact, 0, "deleted");
}

TEST_P(DamagedCache, DamagedDescriptionIsNamedOrReadsSafely) {
    const std::string path = cache.description();
    const Bytes text = qztest::readFileBytes(path);
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string changed(text.begin(), text.end());
        const std::size_t at = changed.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) changed.replace(at, from.size(), to);
        return Bytes(changed.begin(), changed.end());
    };
    const Kinds unreadable{qzCacheProblem::kDescriptionUnreadable};
    const std::vector<std::tuple<std::string, Bytes, Kinds>> damages = {
        {"emptied", Bytes(), unreadable},
        {"cut in half", Bytes(text.begin(), text.begin() + std::ptrdiff_t(text.size() / 2)), unreadable},
        {"root renamed", replaced("Qordexon_Cache_File>", "Other_File>"), unreadable},
        {"every tick of the range",
         replaced("SamplingRate=\"250\" StartTime=\"250\" EndTime=\"1250\"",
                  "SamplingRate=\"1\" StartTime=\"-2147483648\" EndTime=\"2147483647\""),
         unreadable},
        {"no frame length", replaced("TimePerFrame=\"250\"", "TimePerFrame=\"0\""), oneFile() ? Kinds{} : unreadable},
        {"type changed", replaced("\"FloatVectorArray\"", "\"Int32Array\""), {qzCacheProblem::kTypeDiffers}},
        {"channel renamed", replaced("ChannelName=\"pos\"", "ChannelName=\"pot\""),
         {qzCacheProblem::kUnknownRecord, qzCacheProblem::kSampleMissing}},
        {"rate zero", replaced("SamplingRate=\"250\"", "SamplingRate=\"0\""), {qzCacheProblem::kUnknownRecord}},
    };
    for (const auto& [what, bytes, kinds] : damages) {
        qztest::writeFileBytes(path, bytes);
        std::vector<bool> exact;
        const qzCacheCheckReport report = checkAndRead(what, exact, false);
        EXPECT_EQ(kindsOf(report), kinds) << what << "\n" << describe(report);
    }
    // Every fourth byte flipped in turn: any answer but a crash, within the allocation bound.
    for (std::size_t at = 0; at < text.size(); at += 4) {
        Bytes bytes = text;
        bytes[at] ^= 0xFF;
        qztest::writeFileBytes(path, bytes);
        std::vector<bool> exact;
        checkAndRead("byte " + std::to_string(at) + " flipped", exact, false);
    }
}

// Reproduces tests/corpus/dataFile/overflow-time-group-at-largest-time: a time group at the
// largest 32-bit time, after which the fuzz walk asked for the time one later and overflowed.
TEST(DataFileCheck, TimeGroupAtTheLargestTimeIsChecked) {
    const qzCacheCheckReport report =
        qzCacheChecker().checkDataFile(QZCACHE_CORPUS_DIR "/dataFile/overflow-time-group-at-largest-time");
    EXPECT_EQ(report.timesChecked, 2u);
    bool atLargest = false;
    for (const qzCacheProblem& problem : report.problems) atLargest = atLargest || problem.time == 2147483647;
    EXPECT_TRUE(atLargest) << describe(report);
    EXPECT_TRUE(kindsOf(report).count(qzCacheProblem::kCorrupt));
}
