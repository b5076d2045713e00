// Playback with the background worker: the host works on each frame for a while, and only
// its read calls are timed (the median frame is reported); they should cost about one copy of
// the frame once the worker keeps ahead. Also reports how much resident memory the playback
// adds.
#include "benchCases.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <malloc.h>
#include <vector>

namespace qzbench {
namespace {

const CacheKind kKccOne{"kcc", qzCacheFileAccessor::kOneFile};
const CacheKind kKccFrames{"kcc", qzCacheFileAccessor::kOneFilePerFrame};

// Many channels: also a row per channel read, whose time is the median frame's read over the
// channel count.
void registerWorker(const Workload* w, CacheKind kind, double microsPerChannel = 0) {
    const bool perFrame = kind.distribution == qzCacheFileAccessor::kOneFilePerFrame;
    const std::string name = std::string("play_worker_kcc") + (perFrame ? "_pf/" : "_one/") + w->name;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::vector<float> buffer(w->frameBytes() / sizeof(float));
        const auto hostWork = std::chrono::microseconds(config().hostWorkUs);
        double seconds = 0;
        double slowest = 0;
        std::vector<double> reads;
        std::int64_t frames = 0;
        std::uint64_t growth = 0;
        unsigned queue = 0;
        bool failed = false;
        for (auto _ : state) {
            ensureCache(*w, kind);
            // Free heap pages go back first, so that the growth counts the playback's own.
            malloc_trim(0);
            resetPeakResident();
            const std::uint64_t before = currentResidentBytes();
            double passSeconds = 0;
            {
                Reader reader(*w, kind);
                if (!reader.ok() || !reader->startMultiThreadRead(false)) {
                    failed = true;
                    break;
                }
                queue = reader->memoryPreLoadQueueSize();
                for (unsigned f = 0; f < w->frames && !failed; ++f) {
                    std::this_thread::sleep_for(hostWork);
                    const double start = now();
                    failed = !readFrame(reader.get(), *w, timeOf(f), buffer.data());
                    const double elapsed = now() - start;
                    // The first frame waits for the worker's first load: not steady state.
                    if (f == 0) continue;
                    passSeconds += elapsed;
                    reads.push_back(elapsed);
                    slowest = std::max(slowest, elapsed);
                    ++frames;
                }
                failed = failed || !sameAsSource(*w, w->frames - 1, buffer.data());
                reader->stopMultiThreadRead();
            }
            const std::uint64_t peak = peakResidentBytes();
            growth = std::max(growth, peak > before ? peak - before : 0);
            state.SetIterationTime(passSeconds);
            seconds += passSeconds;
        }
        if (failed) {
            state.SkipWithError("worker playback failed");
            return;
        }
        // Kept by the channels: at most the queue size plus one samples each.
        const double bound = double(queue + 1) * double(w->frameBytes());
        state.counters["rss_growth_MB"] = double(growth) / 1e6;
        state.counters["sample_bound_MB"] = bound / 1e6;
        state.counters["slowest_read_us"] = slowest * 1e6;
        // A frame the worker had not loaded in time waits for it; the median is the read once
        // the worker keeps up, which is what the target is about. The mean is noted.
        std::sort(reads.begin(), reads.end());
        const double median = reads.empty() ? 0 : reads[reads.size() / 2];
        char note[200];
        std::snprintf(note, sizeof note,
                      "median read; mean %.0f us, slowest %.0f us; peak RSS growth %.1f MB; "
                      "%u+1 samples = %.1f MB",
                      frames > 0 ? seconds / double(frames) * 1e6 : 0.0, slowest * 1e6,
                      double(growth) / 1e6, queue, bound / 1e6);
        report(state, CaseInfo{name, "memcpy/" + w->name, Goal::kCostAtMost, 2.0},
               median * double(frames), double(frames), double(w->frameBytes()), note);
        if (microsPerChannel > 0) {
            CaseInfo perChannel{name + " per channel", "", Goal::kMicrosAtMost, microsPerChannel};
            perChannel.unit = "channel";
            report(state, perChannel, median * double(frames),
                   double(frames) * w->channels, double(w->frameBytes()) / w->channels,
                   "median frame's read over its channels");
        }
    })->UseManualTime()->Iterations(1);
}

}  // namespace

void registerWorkerCases() {
    registerWorker(&workload(Set::kBig), kKccOne);
    registerWorker(&workload(Set::kSplit), kKccOne);
    registerWorker(&workload(Set::kMany), kKccOne, 0.2);
    registerWorker(&workload(Set::kScene), kKccOne);
    registerWorker(&workload(Set::kScene), kKccFrames);
}

}  // namespace qzbench
