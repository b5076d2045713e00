// Caches damaged after they were written: data files cut at every length, sizes patched, bytes
// flipped, files deleted, descriptions damaged. The cache checker names each damage by its kind;
// reads answer false or data, never crash, hang or allocate far beyond what the files hold; and
// what lay before the damage (the earlier time groups of a one-file cache, the other frames of a
// per-frame cache) reads back bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "qzCacheChecker.h"
#include "qzCacheFileInterface.h"
#include "testSupport.h"
#include "writtenCache.h"

// Every allocation of this program is measured: a size read from a damaged file must never
// become an allocation of that size. (GCC cannot see that the replaced operators pair malloc
// with free.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::size_t> g_largestAllocation{0};
}

void* operator new(std::size_t count) {
    std::size_t seen = g_largestAllocation.load();
    while (count > seen && !g_largestAllocation.compare_exchange_weak(seen, count)) {
    }
    if (void* block = std::malloc(count != 0 ? count : 1)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t count) { return operator new(count); }
void* operator new(std::size_t count, const std::nothrow_t&) noexcept {
    try {
        return operator new(count);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t count, const std::nothrow_t& tag) noexcept { return operator new(count, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace fs = std::filesystem;
using qztest::kOneFile;
using qztest::kPerFrame;
using qztest::Layout;
using Bytes = std::vector<std::uint8_t>;
using Kind = qzCacheProblem::Kind;
using Kinds = std::set<Kind>;

namespace {

const std::vector<int> kTimes = {250, 500, 750, 1000, 1250};
constexpr std::size_t kDamagedTime = 2;  // 750
// Buffers every read keeps whatever the files hold (the container's read buffer, the parser's).
constexpr std::size_t kFixedBuffers = 256 * 1024;

// Where each occurrence of a four-character tag begins.
std::vector<std::size_t> tagOffsets(const Bytes& bytes, const char* tag) {
    std::vector<std::size_t> offsets;
    for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), tag, tag + 4)) != bytes.end(); ++at) {
        offsets.push_back(static_cast<std::size_t>(at - bytes.begin()));
    }
    return offsets;
}

void storeBE(Bytes& bytes, std::size_t at, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        bytes.at(at + width - 1 - i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

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

void writeCache(const std::string& directory, Layout layout, const std::string& format) {
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileWrite(directory.c_str(), "shot", layout, format.c_str(), 250));
    ASSERT_TRUE(qztest::addChannels(cache));
    for (int time : kTimes) ASSERT_TRUE(qztest::writeTime(cache, time));
    ASSERT_TRUE(cache.endFileWrite());
}

std::uint64_t bytesIn(const std::string& directory) {
    std::uint64_t total = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(qztest::fsPath(directory))) {
        if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
}

// Reads everything the cache offers, directly and through the memory copy. Gives, for each
// time of kTimes, whether it read back exactly. With `agree`, both modes must agree on that:
// they do while the description is sound (the copying mode goes by the sampling record, the
// direct one by what the file holds).
std::vector<bool> readEverything(const std::string& directory, bool agree) {
    std::vector<bool> exact(kTimes.size(), false);
    qzCacheFileInterface cache;
    if (!cache.initFileRead("shot", directory.c_str())) return exact;
    for (bool copying : {false, true}) {
        cache.setOptimizeMultiChannelRead(copying);
        for (std::size_t i = 0; i < kTimes.size(); ++i) {
            const bool intact = qztest::readsBack(cache, kTimes[i]);
            if (!copying) exact[i] = intact;
            if (agree) {
                EXPECT_EQ(intact, exact[i]) << "time " << kTimes[i] << " copying";
            }
            // Between times, and the lengths and counts: any answer but a crash.
            std::vector<double> buffer(qztest::kWeights, 0.0);
            void* data = buffer.data();
            unsigned int length = qztest::kWeights;
            cache.getArrayDataAtTime(1, kTimes[i] + 100, data, length);
            cache.getArrayLengthAtTime(0, kTimes[i], length);
        }
        int next = 0;
        cache.getNextTimeWithData(0, next);
        const int files = cache.getDataFileCount();
        char* path = nullptr;
        if (files > 1 && cache.getDataFilePath(static_cast<unsigned int>(files - 1), &path)) {
            std::free(path);
        }
    }
    return exact;
}

class DamagedCache : public ::testing::TestWithParam<std::tuple<Layout, std::string>> {
protected:
    void SetUp() override {
        writeCache(dir.path(), layout(), format());
        original = qztest::readFileBytes(damagedFile());
        groupStarts = tagOffsets(original, format() == "kcx" ? "FOR8" : "FOR4");
    }

    bool oneFile() const { return std::get<0>(GetParam()) == kOneFile; }
    Layout layout() const { return std::get<0>(GetParam()); }
    std::string format() const { return std::get<1>(GetParam()); }
    unsigned width() const { return format() == "kcx" ? 8 : 4; }
    std::string description() const { return dir.file("shot.xml"); }
    // The file damaged: the one data file, or the frame file of 750.
    std::string damagedFile() const {
        const std::string extension = format() == "kcx" ? ".kcx" : ".kc";
        return dir.file((oneFile() ? "shot" : "shotFrame3") + extension);
    }
    // Where the time group of 750 begins in the damaged file.
    std::size_t damagedGroup() const { return groupStarts.at(oneFile() ? kDamagedTime + 1 : 1); }
    // Where the group beginning at groupStarts[index] ends.
    std::size_t groupEnd(std::size_t index) const {
        return index + 1 < groupStarts.size() ? groupStarts[index + 1] : original.size();
    }

    qzCacheCheckReport check() const { return qzCacheChecker().checkCache(description().c_str()); }
    // Checks and reads the damaged cache within the allocation bound.
    qzCacheCheckReport checkAndRead(const std::string& what, std::vector<bool>& exact,
                                    bool soundDescription = true) {
        const std::uint64_t onDisk = bytesIn(dir.path());
        g_largestAllocation = 0;
        const qzCacheCheckReport report = check();
        exact = readEverything(dir.path(), soundDescription);
        EXPECT_LE(g_largestAllocation.load(), kFixedBuffers + onDisk) << what;
        return report;
    }
    // Damage from `offset` on leaves every time whose data lies before it readable: in a
    // one-file cache the time groups that end by then, in a per-frame cache the other frames.
    void expectReadableBefore(const std::vector<bool>& exact, std::size_t offset,
                              const std::string& what) const {
        for (std::size_t i = 0; i < kTimes.size(); ++i) {
            if (oneFile() ? groupEnd(i + 1) <= offset : i != kDamagedTime) {
                EXPECT_TRUE(exact[i]) << what << ": time " << kTimes[i];
            }
        }
    }

    qztest::TempDir dir;
    Bytes original;
    std::vector<std::size_t> groupStarts;  // of the damaged file
};

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, DamagedCache,
                         ::testing::Combine(::testing::Values(kOneFile, kPerFrame),
                                            ::testing::Values("kcc", "kcx")));

}  // namespace

TEST_P(DamagedCache, IntactCacheIsWholeAndReadsBack) {
    std::vector<bool> exact;
    const qzCacheCheckReport report = checkAndRead("nothing", exact);
    EXPECT_TRUE(report.whole()) << describe(report);
    EXPECT_EQ(report.dataFiles, oneFile() ? 1u : kTimes.size());
    EXPECT_EQ(report.filesChecked, report.dataFiles);
    EXPECT_EQ(report.timesChecked, kTimes.size());
    EXPECT_EQ(report.samplesExpected, 2 * kTimes.size());
    EXPECT_EQ(report.samplesChecked, 2 * kTimes.size());
    EXPECT_EQ(exact, std::vector<bool>(kTimes.size(), true));
    // Alone, the data file tells its own layout from its groups.
    const qzCacheCheckReport alone = qzCacheChecker().checkDataFile(damagedFile().c_str());
    EXPECT_TRUE(alone.whole()) << describe(alone);
    EXPECT_EQ(alone.samplesChecked, oneFile() ? 2 * kTimes.size() : 2u);
    // The same bytes held in memory read the same; cut short, they are truncated there too.
    const qzCacheCheckReport inMemory = qzCacheChecker().checkDataFileBytes(original.data(), original.size());
    EXPECT_TRUE(inMemory.whole()) << describe(inMemory);
    EXPECT_EQ(inMemory.samplesChecked, alone.samplesChecked);
    const qzCacheCheckReport cut = qzCacheChecker().checkDataFileBytes(original.data(), original.size() - 3);
    EXPECT_EQ(kindsOf(cut), Kinds{qzCacheProblem::kTruncated}) << describe(cut);
}

// However the file is cut, the checker says truncated and nothing else (a cut is what an
// interrupted writer leaves), and the times before the cut still read.
TEST_P(DamagedCache, EveryCutIsTruncatedAndKeepsWhatLiesBeforeIt) {
    for (std::size_t length = 0; length < original.size(); ++length) {
        const std::string what = "cut at " + std::to_string(length);
        qztest::writeFileBytes(damagedFile(), Bytes(original.begin(), original.begin() + length));
        std::vector<bool> exact;
        const qzCacheCheckReport report = checkAndRead(what, exact);
        ASSERT_EQ(kindsOf(report), Kinds{qzCacheProblem::kTruncated}) << what << describe(report);
        EXPECT_EQ(report.problems.front().file, damagedFile()) << what;
        EXPECT_GT(report.problems.front().lostSamples, 0u) << what;
        expectReadableBefore(exact, length, what);
        for (std::size_t i = 0; i < kTimes.size() && oneFile(); ++i) {
            if (groupEnd(i + 1) > length) {
                EXPECT_FALSE(exact[i]) << what << ": time " << kTimes[i];
            }
        }
    }
}

TEST_P(DamagedCache, DamageInsideAnIntactFileIsCorruptOrNamed) {
    const std::size_t group = damagedGroup();
    const std::size_t header = groupStarts.at(0);
    const Bytes fromGroup(original.begin() + static_cast<std::ptrdiff_t>(group), original.end());
    const std::size_t firstName = group + tagOffsets(fromGroup, "CHNM").at(0);
    const std::size_t count = group + tagOffsets(fromGroup, "SIZE").at(0);
    const std::size_t array = group + tagOffsets(fromGroup, "FVCA").at(0);
    const unsigned w = width();
    const std::uint64_t groupSize = groupEnd(oneFile() ? kDamagedTime + 1 : 1) - group - 4 - w;
    struct Damage {
        const char* what;
        std::size_t at;  // the first byte changed
        unsigned bytes;  // 0: the byte is flipped; otherwise this many bytes take `value`
        std::uint64_t value;
        Kinds kinds;     // the checker's answer exactly
    };
    const Kinds corrupt{qzCacheProblem::kCorrupt};
    const std::vector<Damage> damages = {
        // A frame file's time group is its last: its bytes cannot tell a grown size from a cut.
        {"group size grown", group + 4, w, groupSize + w,
         oneFile() ? corrupt : Kinds{qzCacheProblem::kTruncated}},
        {"group size shrunk", group + 4, w, groupSize - w, corrupt},
        {"header size grown past the end", header + 4, w, 0x7FFFFFF0u, corrupt},
        {"header size zero", header + 4, w, 0, corrupt},
        {"group tag flipped", group, 0, 0, corrupt},
        {"name chunk size grown", firstName + 4, w, 4 + w, corrupt},
        {"array chunk size shrunk", array + 4, w, qztest::kPoints * 12 - 4, corrupt},
        {"count grown by one", count + 4 + w, 4, qztest::kPoints + 1, corrupt},
        {"record tag flipped", firstName, 0, 0, {qzCacheProblem::kCorrupt, qzCacheProblem::kSampleMissing}},
        {"channel name changed", firstName + 4 + w, 0, 0,
         {qzCacheProblem::kUnknownRecord, qzCacheProblem::kSampleMissing}},
    };
    for (const Damage& damage : damages) {
        Bytes bytes = original;
        if (damage.bytes == 0) {
            bytes.at(damage.at) ^= 0x01;
        } else {
            storeBE(bytes, damage.at, damage.bytes, damage.value);
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
    const std::size_t group = damagedGroup();
    const Bytes fromGroup(original.begin() + static_cast<std::ptrdiff_t>(group), original.end());
    Bytes bytes = original;
    bytes.at(group + tagOffsets(fromGroup, "FVCA").at(0)) ^= 0x01;
    qztest::writeFileBytes(damagedFile(), bytes);
    const int damaged = kTimes[kDamagedTime];
    for (const char* mode : {"direct", "copying", "worker"}) {
        SCOPED_TRACE(mode);
        qzCacheFileInterface cache;
        ASSERT_TRUE(cache.initFileRead("shot", dir.path().c_str()));
        cache.setOptimizeMultiChannelRead(std::string(mode) == "copying");
        if (std::string(mode) == "worker") {
            ASSERT_TRUE(cache.startMultiThreadRead(false));
        }
        [&] {
            for (const int time : {damaged, damaged - 100, damaged + 100}) {
                std::vector<float> points(qztest::kPoints * 3, -1.0f);
                void* data = points.data();
                unsigned int length = qztest::kPoints;
                EXPECT_FALSE(cache.getArrayDataAtTime(0, time, data, length)) << time;
                EXPECT_EQ(length, 0u) << time;
                EXPECT_EQ(points, std::vector<float>(qztest::kPoints * 3, -1.0f)) << time;
            }
            std::vector<double> weights(qztest::kWeights, 0.0);
            void* data = weights.data();
            unsigned int length = qztest::kWeights;
            EXPECT_TRUE(cache.getArrayDataAtTime(1, damaged, data, length));
            EXPECT_EQ(weights, qztest::weightsAt(damaged));
            EXPECT_TRUE(qztest::readsBack(cache, kTimes[kDamagedTime - 1]));
            EXPECT_TRUE(qztest::readsBack(cache, kTimes[kDamagedTime + 1]));
        }();
        cache.stopMultiThreadRead();
    }
}

TEST_P(DamagedCache, MissingDataFileLosesItsSamples) {
    fs::remove(qztest::fsPath(damagedFile()));
    std::vector<bool> exact;
    const qzCacheCheckReport report = checkAndRead("deleted", exact);
    ASSERT_EQ(kindsOf(report), Kinds{qzCacheProblem::kDataFileMissing}) << describe(report);
    EXPECT_EQ(report.problems.front().lostSamples, oneFile() ? 2 * kTimes.size() : 2u);
    expectReadableBefore(exact, 0, "deleted");
}

TEST_P(DamagedCache, DamagedDescriptionIsNamedOrReadsSafely) {
    const std::string path = description();
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
        {"cut in half", Bytes(text.begin(), text.begin() + text.size() / 2), unreadable},
        {"root renamed", replaced("Qordexon_Cache_File>", "Other_File>"), unreadable},
        {"every tick of the range",
         replaced("SamplingRate=\"250\" StartTime=\"250\" EndTime=\"1250\"",
                  "SamplingRate=\"1\" StartTime=\"-2147483648\" EndTime=\"2147483647\""),
         unreadable},
        {"no frame length", replaced("TimePerFrame=\"250\"", "TimePerFrame=\"0\""),
         oneFile() ? Kinds{} : unreadable},
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
    const qzCacheCheckReport report = qzCacheChecker().checkDataFile(
        QZCACHE_CORPUS_DIR "/dataFile/overflow-time-group-at-largest-time");
    EXPECT_EQ(report.timesChecked, 2u);
    const auto atLargest = std::find_if(report.problems.begin(), report.problems.end(),
                                        [](const qzCacheProblem& p) { return p.time == 2147483647; });
    EXPECT_NE(atLargest, report.problems.end()) << describe(report);
    EXPECT_TRUE(kindsOf(report).count(qzCacheProblem::kCorrupt));
}
