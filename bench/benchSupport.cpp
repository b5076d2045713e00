#include "benchSupport.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <unistd.h>

#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"

namespace qzbench {
namespace fs = std::filesystem;

Config& config() {
    static Config c;
    return c;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// --- Data sets ------------------------------------------------------------------------------

namespace {

constexpr unsigned kPoolFrames = 8;

void fill(Workload& w) {
    w.poolFrames = std::min(kPoolFrames, w.frames);
    const std::size_t floats = w.frameBytes() / sizeof(float);
    w.pool.resize(floats * w.poolFrames);
    std::uint32_t seed = 12345;
    for (unsigned f = 0; f < w.poolFrames; ++f) {
        float* frame = w.pool.data() + floats * f;
        for (std::size_t i = 0; i < floats; ++i) {
            seed = seed * 1664525u + 1013904223u;
            frame[i] = float(seed >> 8) * (1.0f / 16777216.0f) * 10.0f + float(f) * 0.25f;
        }
    }
}

Workload make(const std::string& name, const std::vector<unsigned>& counts, bool vectors,
              unsigned frames) {
    Workload w;
    w.name = name;
    w.channels = static_cast<unsigned>(counts.size());
    w.counts = counts;
    w.vectors = vectors;
    w.frames = frames;
    std::size_t at = 0;
    for (unsigned c = 0; c < w.channels; ++c) {
        w.starts.push_back(at);
        at += w.channelFloats(c);
    }
    fill(w);
    return w;
}

Workload make(const std::string& name, unsigned channels, unsigned elements, bool vectors,
              unsigned frames) {
    return make(name, std::vector<unsigned>(channels, elements), vectors, frames);
}

// A shot's objects: point counts from 16 to 100,000 on a steep curve, so that most objects are
// small (props, debris: seven in eight hold at most 100 points) and a few are large (heroes,
// cloth: about one in forty holds more than 10,000). Big and small come in a mixed order, as
// hosts add objects.
std::vector<unsigned> sceneCounts(unsigned channels) {
    std::vector<unsigned> counts(channels);
    for (unsigned i = 0; i < channels; ++i) {
        const double u = (i + 0.5) / channels;
        counts[i] = static_cast<unsigned>(std::lround(16.0 * std::exp(std::log(100000.0 / 16.0) * std::pow(u, 12.0))));
    }
    counts.back() = 100000;
    counts.front() = 16;
    // A fixed shuffle: 7919 is prime, so stepping by it visits every slot once.
    std::vector<unsigned> mixed(channels);
    for (unsigned i = 0; i < channels; ++i) mixed[(std::size_t(i) * 7919) % channels] = counts[i];
    return channels % 7919 == 0 ? counts : mixed;
}

}  // namespace

const float* Workload::sourceFrame(unsigned frame) const {
    return pool.data() + (frameBytes() / sizeof(float)) * (frame % poolFrames);
}

const float* Workload::source(unsigned frame, unsigned channel) const {
    return sourceFrame(frame) + starts[channel];
}

Workload& workload(Set set) {
    const Config& c = config();
    switch (set) {
    case Set::kBig: {
        static Workload w = make("1ch", 1, c.points, true, c.frames);
        return w;
    }
    case Set::kSplit: {
        static Workload w = make(std::to_string(c.splitChannels) + "ch", c.splitChannels,
                                 c.points / c.splitChannels, true, c.frames);
        return w;
    }
    case Set::kMany: {
        static Workload w = make(std::to_string(c.manyChannels) + "ch", c.manyChannels,
                                 c.manyValues, false, c.frames);
        return w;
    }
    case Set::kScene: {
        static Workload w = make("scene", sceneCounts(c.sceneChannels), true, c.sceneFrames);
        return w;
    }
    case Set::kSmall:
    default: {
        static Workload w = make("small", 1, c.smallPoints, true, c.smallFrames);
        return w;
    }
    }
}

Workload& scalingWorkload(unsigned channels) {
    static std::map<unsigned, std::unique_ptr<Workload>> sets;
    std::unique_ptr<Workload>& slot = sets[channels];
    if (!slot) {
        slot = std::make_unique<Workload>(make("sweep" + std::to_string(channels), channels,
                                               config().manyValues, false,
                                               config().scalingFrames));
    }
    return *slot;
}

// --- Scratch directory ----------------------------------------------------------------------

const std::string& scratchDir() {
    static std::string dir = [] {
        fs::path path = config().dir.empty()
                            ? fs::temp_directory_path() / ("qzcache-bench-" + std::to_string(getpid()))
                            : fs::path(config().dir);
        std::error_code error;
        fs::create_directories(path, error);
        return path.string() + "/";
    }();
    return dir;
}

void removeScratchDir() {
    if (config().keep || !config().dir.empty()) return;
    std::error_code error;
    fs::remove_all(scratchDir(), error);
}

// --- Caches ---------------------------------------------------------------------------------

std::string cacheBaseName(const Workload& w, const CacheKind& kind) {
    const bool perFrame = kind.distribution == qzCacheFileAccessor::kOneFilePerFrame;
    return w.name + "_" + kind.format + (perFrame ? "_pf" : "_one");
}

namespace {

qzString::IString text(const std::string& s) { return qzString::IString(s.c_str(), 0); }

std::string channelName(unsigned c) { return "channel" + std::to_string(c); }

}  // namespace

bool writeCache(const Workload& w, const CacheKind& kind, const std::string& baseName) {
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor) return false;
    accessor->setStorageLocation(text(scratchDir()));
    accessor->setBaseFileName(text(baseName));
    accessor->setDistribution(kind.distribution);
    accessor->setTimePerFrame(kTicksPerFrame);
    accessor->setCacheFormat(text(kind.format));
    auto* writer = new qzCacheFileIffIO(qzCacheFileIO::kWrite, text(kind.format));
    accessor->setFileAccessor(writer);
    bool ok = true;
    if (kind.distribution == qzCacheFileAccessor::kOneFile) {
        ok = writer->open(accessor->constructDataFilePathForOneFile()) &&
             writer->writeHeader(text("0.1"), timeOf(0), timeOf(w.frames - 1));
    }
    for (unsigned c = 0; c < w.channels && ok; ++c) {
        unsigned index = 0;
        ok = accessor->addChannel(text(channelName(c)), text("position"), w.dataType(), index);
        ok = ok && accessor->setChannelSamplingRate(index, kTicksPerFrame);
    }
    for (unsigned f = 0; f < w.frames && ok; ++f) {
        const int time = timeOf(f);
        accessor->beginWriteAtTime(time);
        for (unsigned c = 0; c < w.channels; ++c) {
            ok = accessor->addArrayData(c, time, const_cast<float*>(w.source(f, c)), w.elements(c)) &&
                 ok;
        }
        accessor->endWriteAtTime();
    }
    if (writer->isValid()) writer->close();
    ok = ok && !writer->hasWriteError();
    ok = accessor->writeDescriptionFile(text(scratchDir() + baseName + ".xml")) && ok;
    accessor->unref();
    return ok;
}

void removeCache(const Workload& w, const CacheKind& kind, const std::string& baseName) {
    std::error_code error;
    fs::remove(scratchDir() + baseName + ".xml", error);
    const std::string extension = std::string(kind.format) == "kcx" ? "kcx" : "kc";
    if (kind.distribution == qzCacheFileAccessor::kOneFile) {
        fs::remove(scratchDir() + baseName + "." + extension, error);
        return;
    }
    // Frame files start with the base name followed by "Frame".
    const std::string prefix = baseName + "Frame";
    for (const fs::directory_entry& entry : fs::directory_iterator(scratchDir(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) fs::remove(entry.path(), error);
    }
    (void)w;
}

bool ensureCache(const Workload& w, const CacheKind& kind) {
    static std::set<std::string> written;
    const std::string base = cacheBaseName(w, kind);
    if (written.count(base)) return true;
    removeCache(w, kind, base);
    if (!writeCache(w, kind, base)) return false;
    written.insert(base);
    return true;
}

Reader::Reader(const Workload& w, const CacheKind& kind) {
    if (!ensureCache(w, kind)) return;
    qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    if (!accessor) return;
    if (!accessor->readDescriptionFile(text(cacheBaseName(w, kind)), text(scratchDir()))) {
        accessor->unref();
        return;
    }
    auto* reader = new qzCacheFileIffIO(qzCacheFileIO::kRead, accessor->cacheFormat());
    accessor->setFileAccessor(reader);
    if (kind.distribution == qzCacheFileAccessor::kOneFile &&
        !reader->open(accessor->constructDataFilePathForOneFile())) {
        accessor->unref();
        return;
    }
    m_accessor = accessor;
}

Reader::~Reader() {
    if (m_accessor) m_accessor->unref();
}

void Reader::release() { m_accessor = nullptr; }

bool readFrame(qzCacheFileAccessor* accessor, const Workload& w, int time, float* buffer) {
    for (unsigned c = 0; c < w.channels; ++c) {
        float* const target = buffer + w.starts[c];
        void* data = target;
        unsigned int length = 0;
        if (!accessor->getArrayDataAtTime(c, time, w.elements(c), data, length)) return false;
        // Memory mode lends the stored sample instead of filling the buffer.
        if (data != target) std::memcpy(target, data, w.channelBytes(c));
    }
    return true;
}

bool sameAsSource(const Workload& w, unsigned frame, const float* buffer) {
    return std::memcmp(buffer, w.sourceFrame(frame), w.frameBytes()) == 0;
}

// --- Raw files ------------------------------------------------------------------------------

std::string rawOneFile(const Workload& w) { return scratchDir() + "raw_" + w.name + ".bin"; }

std::string rawFrameFile(const Workload& w, unsigned frame) {
    return scratchDir() + "raw_" + w.name + "_" + std::to_string(frame) + ".bin";
}

bool ensureRaw(const Workload& w, bool perFrame) {
    static std::set<std::string> written;
    const std::string key = w.name + (perFrame ? "/pf" : "/one");
    if (written.count(key)) return true;
    bool ok = true;
    std::FILE* file = perFrame ? nullptr : std::fopen(rawOneFile(w).c_str(), "wb");
    for (unsigned f = 0; f < w.frames && ok; ++f) {
        if (perFrame) file = std::fopen(rawFrameFile(w, f).c_str(), "wb");
        // One call per channel, as the cache is written and as the baselines read it.
        for (unsigned c = 0; c < w.channels && ok; ++c) {
            ok = file && std::fwrite(w.source(f, c), 1, w.channelBytes(c), file) == w.channelBytes(c);
        }
        if (perFrame && file) ok = std::fclose(file) == 0 && ok;
    }
    if (!perFrame && file) ok = std::fclose(file) == 0 && ok;
    if (ok) written.insert(key);
    return ok;
}

// --- Results --------------------------------------------------------------------------------

namespace {

struct Row {
    CaseInfo info;
    double secondsPerItem = 0;
    double bytesPerItem = 0;
    double ratio = 0;
    bool hasRatio = false;
    std::string note;
};

std::vector<Row>& rows() {
    static std::vector<Row> r;
    return r;
}

std::map<std::string, double>& baselineTimes() {
    static std::map<std::string, double> t;
    return t;
}

std::map<std::string, std::function<double()>>& baselineMeasures() {
    static std::map<std::string, std::function<double()>> m;
    return m;
}

std::string human(double seconds) {
    char out[32];
    if (seconds < 1e-6) {
        std::snprintf(out, sizeof out, "%.1f ns", seconds * 1e9);
    } else if (seconds < 1e-3) {
        std::snprintf(out, sizeof out, "%.2f us", seconds * 1e6);
    } else {
        std::snprintf(out, sizeof out, "%.3f ms", seconds * 1e3);
    }
    return out;
}

bool targetMet(const Row& row) {
    switch (row.info.goal) {
    case Goal::kThroughputAtLeast: return row.ratio >= row.info.target;
    case Goal::kCostAtMost: return row.ratio <= row.info.target;
    case Goal::kMicrosAtMost: return row.secondsPerItem * 1e6 <= row.info.target;
    case Goal::kNone: break;
    }
    return true;
}

}  // namespace

void defineBaseline(const std::string& key, std::function<double()> measureOnePass) {
    baselineMeasures()[key] = std::move(measureOnePass);
}

void recordBaseline(const std::string& key, double secondsPerItem) {
    baselineTimes()[key] = secondsPerItem;
}

double baselineSeconds(const std::string& key) {
    auto found = baselineTimes().find(key);
    if (found != baselineTimes().end()) return found->second;
    auto measure = baselineMeasures().find(key);
    if (measure == baselineMeasures().end()) return 0;
    // Not run in this selection: the best of three passes.
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double s = measure->second();
        if (s > 0 && (best == 0 || s < best)) best = s;
    }
    recordBaseline(key, best);
    return best;
}

void report(benchmark::State& state, const CaseInfo& info, double seconds, double items,
            double bytesPerItem, const std::string& note) {
    if (items <= 0) return;
    Row row;
    row.info = info;
    row.secondsPerItem = seconds / items;
    row.bytesPerItem = bytesPerItem;
    row.note = note;
    // Any case can be the baseline of another (random against sequential reads).
    recordBaseline(info.name, row.secondsPerItem);
    if (!info.baseline.empty()) {
        const double base = baselineSeconds(info.baseline);
        if (base > 0 && row.secondsPerItem > 0) {
            row.hasRatio = true;
            row.ratio = info.goal == Goal::kThroughputAtLeast ? base / row.secondsPerItem
                                                              : row.secondsPerItem / base;
        }
    }
    state.counters["us_per_" + info.unit] = row.secondsPerItem * 1e6;
    if (bytesPerItem > 0) state.counters["MB_per_s"] = bytesPerItem / row.secondsPerItem / 1e6;
    if (row.hasRatio) state.counters["ratio"] = row.ratio;
    if (info.goal != Goal::kNone && (row.hasRatio || info.goal == Goal::kMicrosAtMost)) {
        state.counters["target_met"] = targetMet(row) ? 1 : 0;
    }
    // The last run of a case is the one that counts.
    for (Row& existing : rows()) {
        if (existing.info.name == info.name) {
            existing = row;
            return;
        }
    }
    rows().push_back(row);
}

void printSummary() {
    std::printf("\nSummary (ratio: 'tput' = baseline time / case time, 'cost' = case time / "
                "baseline time)\n");
    std::printf("%-34s %12s %10s  %-30s %14s  %s\n", "case", "per item", "MB/s", "baseline",
                "ratio", "target");
    for (const Row& row : rows()) {
        char mbs[32] = "";
        if (row.bytesPerItem > 0) {
            std::snprintf(mbs, sizeof mbs, "%.0f", row.bytesPerItem / row.secondsPerItem / 1e6);
        }
        char ratio[40] = "";
        if (row.hasRatio) {
            std::snprintf(ratio, sizeof ratio, "%.2f %s", row.ratio,
                          row.info.goal == Goal::kThroughputAtLeast ? "tput" : "cost");
        }
        std::string target = "-";
        if (row.info.goal != Goal::kNone && (row.hasRatio || row.info.goal == Goal::kMicrosAtMost)) {
            char t[48];
            std::snprintf(t, sizeof t, "%s %.2f%s: %s",
                          row.info.goal == Goal::kThroughputAtLeast ? ">=" : "<=", row.info.target,
                          row.info.goal == Goal::kMicrosAtMost ? " us" : "",
                          targetMet(row) ? "met" : "MISSED");
            target = t;
        }
        std::printf("%-34s %12s %10s  %-30s %14s  %s%s%s\n", row.info.name.c_str(),
                    (human(row.secondsPerItem) + "/" + row.info.unit.substr(0, 2)).c_str(), mbs,
                    row.info.baseline.c_str(), ratio, target.c_str(),
                    row.note.empty() ? "" : "  ", row.note.c_str());
    }
    std::fflush(stdout);
}

double timePasses(benchmark::State& state, const std::function<void()>& prepare,
                  const std::function<bool()>& pass, std::int64_t& passes) {
    double total = 0;
    passes = 0;
    for (auto _ : state) {
        if (prepare) prepare();
        const double start = now();
        const bool ok = pass();
        const double elapsed = now() - start;
        state.SetIterationTime(elapsed);
        if (!ok) {
            state.SkipWithError("the pass failed");
            break;
        }
        total += elapsed;
        ++passes;
    }
    return total;
}

}  // namespace qzbench
