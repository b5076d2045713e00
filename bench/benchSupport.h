// Shared pieces of the benchmarks: sizes, the data sets, cache and raw files in a scratch
// directory, and the table of results with each case's ratio to its baseline.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"

namespace qzbench {

struct Config {
    unsigned points = 100000;      // vectors per frame of the big workload
    unsigned frames = 240;         // frames of the big and the many-channel workloads
    unsigned splitChannels = 8;    // the big workload split over this many channels
    unsigned manyChannels = 1000;  // channels of the many-channel workload
    unsigned manyValues = 16;      // floats per channel there
    unsigned smallFrames = 10000;  // frames of the random-order cache
    unsigned smallPoints = 1000;   // vectors per frame there
    unsigned passes = 3;           // timed passes of each large case
    unsigned hostWorkUs = 4000;    // the host's own work per frame in the worker case
    unsigned directManyFrames = 48; // frames read directly from the many-channel cache
    unsigned scalingFrames = 48;   // frames of each cache of the channel-count sweep
    unsigned sceneChannels = 1000; // channels of the scene workload
    unsigned sceneFrames = 24;     // frames of the scene workload
    std::vector<unsigned> scaling{125, 250, 500, 1000, 2000};
    std::string dir;               // scratch directory; a fresh one under the temp dir if empty
    bool keep = false;             // keep the scratch directory
};
Config& config();

// One data set: `channels` channels of floats or float vectors per frame, each channel with
// its own element count; a frame holds the channels one after the other.
struct Workload {
    std::string name;
    unsigned channels = 1;
    bool vectors = true;
    unsigned frames = 0;
    std::vector<unsigned> counts;     // elements of each channel
    std::vector<std::size_t> starts;  // where each channel begins in a frame, in floats

    unsigned elements(unsigned channel) const { return counts[channel]; }
    std::size_t channelFloats(unsigned channel) const {
        return std::size_t(counts[channel]) * (vectors ? 3 : 1);
    }
    std::size_t channelBytes(unsigned channel) const { return channelFloats(channel) * sizeof(float); }
    std::size_t frameFloats() const { return starts.empty() ? 0 : starts.back() + channelFloats(channels - 1); }
    std::size_t frameBytes() const { return frameFloats() * sizeof(float); }
    qzCacheData::qzCacheDataType dataType() const {
        return vectors ? qzCacheData::kFloatVectorArray : qzCacheData::kFloatArray;
    }
    // Source data of one channel at one frame; consecutive frames differ.
    const float* source(unsigned frame, unsigned channel) const;
    // Whole frame, channels one after the other.
    const float* sourceFrame(unsigned frame) const;

    std::vector<float> pool;  // a few distinct frames, used in turn
    unsigned poolFrames = 0;
};

enum class Set { kBig, kSplit, kMany, kSmall, kScene };
Workload& workload(Set set);
// The many-channel layout with `channels` channels and config().scalingFrames frames.
Workload& scalingWorkload(unsigned channels);

constexpr int kTicksPerFrame = 250;
inline int timeOf(unsigned frame) { return int(frame + 1) * kTicksPerFrame; }

// Scratch directory, with a trailing separator.
const std::string& scratchDir();
void removeScratchDir();

// Cache files. `format` is "kcc" or "kcx".
struct CacheKind {
    const char* format;
    qzCacheFileAccessor::qzCacheFileDistribution distribution;
};
std::string cacheBaseName(const Workload& w, const CacheKind& kind);
// Writes the whole cache through the accessor; false on any failure.
bool writeCache(const Workload& w, const CacheKind& kind, const std::string& baseName);
// Removes a cache's files (description and data files).
void removeCache(const Workload& w, const CacheKind& kind, const std::string& baseName);
// Writes the cache once per run (outside any timing).
bool ensureCache(const Workload& w, const CacheKind& kind);

// An accessor reading a cache, with its reader installed and open. Null on failure.
class Reader {
public:
    Reader(const Workload& w, const CacheKind& kind);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    qzCacheFileAccessor* operator->() const { return m_accessor; }
    qzCacheFileAccessor* get() const { return m_accessor; }
    bool ok() const { return m_accessor != nullptr; }
    // Hands the accessor over (to a worker that may outlive this object).
    void release();

private:
    qzCacheFileAccessor* m_accessor = nullptr;
};

// Reads every channel of one frame into `buffer` (frameBytes), by channel order.
bool readFrame(qzCacheFileAccessor* accessor, const Workload& w, int time, float* buffer);
// True when `buffer` holds the source frame.
bool sameAsSource(const Workload& w, unsigned frame, const float* buffer);

// Raw files holding the same payload as a cache: one file, or one file per frame.
std::string rawOneFile(const Workload& w);
std::string rawFrameFile(const Workload& w, unsigned frame);
bool ensureRaw(const Workload& w, bool perFrame);

// Results.
enum class Goal {
    kNone,             // reported only
    kThroughputAtLeast,  // ratio = baseline time / case time, at least the target
    kCostAtMost,       // ratio = case time / baseline time, at most the target
    kMicrosAtMost      // the time per item itself, at most the target in microseconds
};

struct CaseInfo {
    std::string name;
    std::string baseline;  // key of the baseline; empty for a baseline itself
    Goal goal = Goal::kNone;
    double target = 0;
    std::string unit = "frame";  // what one counted item is
};

// Seconds per item of a baseline, measured on demand when it has not run yet.
double baselineSeconds(const std::string& key);
void defineBaseline(const std::string& key, std::function<double()> measureOnePass);
void recordBaseline(const std::string& key, double secondsPerItem);

// Sets the counters of a finished case and keeps its row for the summary. `items` counts
// frames (or the case's unit) over all timed passes, `bytesPerItem` the payload of one.
void report(benchmark::State& state, const CaseInfo& info, double seconds, double items,
            double bytesPerItem, const std::string& note = std::string());
void printSummary();

// Timed passes: `prepare` runs untimed before each pass, `pass` is timed and returns false
// on failure. Returns the timed seconds; iterations counted in `passes`.
double timePasses(benchmark::State& state, const std::function<void()>& prepare,
                  const std::function<bool()>& pass, std::int64_t& passes);

double now();

}  // namespace qzbench
