// Caches damaged after they were written: data files and descriptions deleted, emptied, cut
// short, with bytes flipped and sizes patched. Every read answers false or data, never crashes,
// hangs or allocates far beyond what the files hold; what lay before the damage (the time
// groups of a one-file cache, the other frames of a per-frame cache) reads back exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "qzCacheFileAccessor.h"
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
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace fs = std::filesystem;
using qztest::Layout;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr Layout kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Layout kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;
const std::vector<int> kTimes = {250, 500, 750, 1000, 1250};
// Buffers every read keeps whatever the files hold (the container's read buffer, the parser's).
constexpr std::size_t kFixedBuffers = 256 * 1024;

struct Span {
    std::size_t start;
    std::size_t end;
};

std::uint64_t loadBE(const Bytes& bytes, std::size_t at, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | bytes.at(at + i);
    return value;
}

void storeBE(Bytes& bytes, std::size_t at, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i) {
        bytes.at(at + width - 1 - i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The top-level groups of an intact data file.
std::vector<Span> groupsOf(const Bytes& bytes, unsigned width) {
    std::vector<Span> groups;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = at + 4 + width + static_cast<std::size_t>(loadBE(bytes, at + 4, width));
        groups.push_back({at, end});
        at = end;
    }
    return groups;
}

// The chunks (header included, padding not) of one group of an intact file.
std::vector<Span> chunksOf(const Bytes& bytes, const Span& group, unsigned width) {
    std::vector<Span> chunks;
    for (std::size_t at = group.start + 8 + width; at < group.end;) {
        const std::size_t end = at + 4 + width + static_cast<std::size_t>(loadBE(bytes, at + 4, width));
        chunks.push_back({at, end});
        at = (end + width - 1) / width * width;
    }
    return chunks;
}

struct Damage {
    std::string what;
    Bytes bytes;
    std::size_t offset;  // the first byte changed or lost
};

// Every way the tests damage a data file, each with the offset where the damage begins.
// `target` is the index of the group of time 750; `timed` says whether groups begin with a
// time chunk (one-file caches) or not (frame files).
std::vector<Damage> damagesOf(const Bytes& file, unsigned width, std::size_t target, bool timed) {
    const std::vector<Span> groups = groupsOf(file, width);
    EXPECT_GT(groups.size(), target);
    if (groups.size() <= target) return {};
    const Span& group = groups[target];
    // The records: CHNM, SIZE, the points, CHNM, SIZE, the weights; a time chunk before them.
    const std::vector<Span> chunks = chunksOf(file, group, width);
    const std::size_t first = timed ? 1 : 0;
    EXPECT_EQ(chunks.size(), first + 6);
    if (chunks.size() != first + 6) return {};
    const std::size_t count = chunks[first + 1].start + 4 + width;
    const std::size_t arrayData = chunks[first + 2].start + 4 + width;
    std::vector<Damage> damages;
    auto cut = [&](const std::string& what, std::size_t at) {
        damages.push_back({"cut " + what, Bytes(file.begin(), file.begin() + at), at});
    };
    // A count of 0 flips the byte; otherwise `count` bytes take the value, big-endian.
    auto change = [&](const std::string& what, std::size_t at, std::size_t bytes,
                      std::uint64_t value) {
        Bytes changed = file;
        if (bytes == 0) {
            changed.at(at) ^= 0xFF;
        } else {
            storeBE(changed, at, static_cast<unsigned>(bytes), value);
        }
        damages.push_back({what, changed, at});
    };
    cut("to nothing", 0);
    cut("inside the first tag", 2);
    cut("inside the header's size", 4 + width - 1);
    cut("at the header's end", groups[0].end - 3);
    cut("before the group", group.start);
    cut("inside an array", arrayData + 5);
    cut("one byte short", file.size() - 1);
    change("first byte flipped", 0, 0, 0);
    change("header size flipped", 4 + width - 1, 0, 0);
    change("end time flipped", groups[0].end - 2, 0, 0);
    change("group tag flipped", group.start, 0, 0);
    change("group size flipped", group.start + 4 + width - 1, 0, 0);
    change("channel name flipped", chunks[first].start + 4 + width, 0, 0);
    change("array value flipped", arrayData + 1, 0, 0);
    change("header size zero", 4, width, 0);
    change("group size huge", group.start + 4, width, ~std::uint64_t{0});
    change("group size tiny", group.start + 4, width, 4);
    change("count huge", count, 4, 0xFFFFFFFFu);
    change("count one more", count, 4, qztest::kPoints + 1);
    change("array size huge", chunks[first + 2].start + 4, width, 0x7FFFFFF0u);
    if (timed) change("time moved past the end", chunks[0].start + 4 + width, 4, 5000);
    return damages;
}

std::string extensionOf(const std::string& format) { return format == "kcx" ? ".kcx" : ".kc"; }

std::string frameName(int time) { return "shotFrame" + std::to_string(time / 250); }

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
        cache.getDataCount(0);
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
    Layout layout() const { return std::get<0>(GetParam()); }
    std::string format() const { return std::get<1>(GetParam()); }
    unsigned width() const { return format() == "kcx" ? 8 : 4; }
    // The file damaged: the one data file, or the frame file of 750.
    std::string damagedFile() const {
        const std::string name = layout() == kOneFile ? "shot" : frameName(750);
        return dir.file(name + extensionOf(format()));
    }
    // Reads the damaged cache, checking the allocation bound; the exact times come back.
    std::vector<bool> readDamaged(const std::string& what, bool soundDescription = true) {
        const std::uint64_t onDisk = bytesIn(dir.path());
        g_largestAllocation = 0;
        const std::vector<bool> exact = readEverything(dir.path(), soundDescription);
        EXPECT_LE(g_largestAllocation.load(), kFixedBuffers + onDisk) << what;
        return exact;
    }

    qztest::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, DamagedCache,
                         ::testing::Combine(::testing::Values(kOneFile, kPerFrame),
                                            ::testing::Values("kcc", "kcx")));

}  // namespace

TEST_P(DamagedCache, IntactCacheReadsBackWhole) {
    writeCache(dir.path(), layout(), format());
    EXPECT_EQ(readDamaged("nothing"), std::vector<bool>(kTimes.size(), true));
}

TEST_P(DamagedCache, DeletedDataFileReadsNothingOfIt) {
    writeCache(dir.path(), layout(), format());
    fs::remove(qztest::fsPath(damagedFile()));
    const std::vector<bool> exact = readDamaged("deleted");
    for (std::size_t i = 0; i < kTimes.size(); ++i) {
        const bool survives = layout() == kPerFrame && kTimes[i] != 750;
        EXPECT_EQ(exact[i], survives) << kTimes[i];
    }
}

TEST_P(DamagedCache, DamagedDataFileKeepsWhatLayBeforeTheDamage) {
    writeCache(dir.path(), layout(), format());
    const Bytes original = qztest::readFileBytes(damagedFile());
    const std::vector<Span> groups = groupsOf(original, width());
    const bool oneFile = layout() == kOneFile;
    const std::vector<Damage> damages = damagesOf(original, width(), oneFile ? 3 : 1, oneFile);
    ASSERT_FALSE(damages.empty());
    for (const Damage& damage : damages) {
        qztest::writeFileBytes(damagedFile(), damage.bytes);
        const std::vector<bool> exact = readDamaged(damage.what);
        for (std::size_t i = 0; i < kTimes.size(); ++i) {
            if (layout() == kPerFrame) {
                // Only the frame of 750 is damaged; it may even read back if the damage
                // missed its data.
                if (kTimes[i] != 750) {
                    EXPECT_TRUE(exact[i]) << damage.what << " at " << kTimes[i];
                }
            } else if (groups[i + 1].end <= damage.offset) {
                EXPECT_TRUE(exact[i]) << damage.what << " at " << kTimes[i];
            }
        }
    }
}

TEST_P(DamagedCache, DamagedDescriptionFailsToOpenOrReadsSafely) {
    writeCache(dir.path(), layout(), format());
    const std::string path = dir.file("shot.xml");
    const Bytes original = qztest::readFileBytes(path);
    const std::string text(original.begin(), original.end());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string changed = text;
        const std::size_t at = changed.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) changed.replace(at, from.size(), to);
        return Bytes(changed.begin(), changed.end());
    };
    // Each damage with whether the cache must still open.
    const std::vector<std::tuple<std::string, Bytes, bool>> damages = {
        {"emptied", Bytes(), false},
        {"cut in half", Bytes(original.begin(), original.begin() + original.size() / 2), false},
        {"root renamed", replaced("Qordexon_Cache_File>", "Other_File>"), false},
        {"layout unknown", replaced("Type=\"", "Type=\"X"), false},
        {"rate zero", replaced("SamplingRate=\"250\"", "SamplingRate=\"0\""), true},
        {"rate negative", replaced("SamplingRate=\"250\"", "SamplingRate=\"-250\""), true},
        {"every tick of the range",
         replaced("SamplingRate=\"250\" StartTime=\"250\" EndTime=\"1250\"",
                  "SamplingRate=\"1\" StartTime=\"-2147483648\" EndTime=\"2147483647\""),
         true},
        {"no frame length", replaced("TimePerFrame=\"250\"", "TimePerFrame=\"0\""), true},
        {"type changed", replaced("\"FloatVectorArray\"", "\"Int32Array\""), true},
        {"channel renamed", replaced("ChannelName=\"pos\"", "ChannelName=\"pot\""), true},
    };
    for (const auto& [what, bytes, opens] : damages) {
        qztest::writeFileBytes(path, bytes);
        readDamaged(what, false);
        qzCacheFileInterface cache;
        EXPECT_EQ(cache.initFileRead("shot", dir.path().c_str()), opens) << what;
    }
    // Every byte flipped in turn, one at a time (a shorter walk over a quarter of them).
    for (std::size_t at = 0; at < original.size(); at += 4) {
        Bytes bytes = original;
        bytes[at] ^= 0xFF;
        qztest::writeFileBytes(path, bytes);
        readDamaged("byte " + std::to_string(at) + " flipped", false);
    }
    fs::remove(qztest::fsPath(path));
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileRead("shot", dir.path().c_str()));
}
