// Playback: direct reads, the copying read mode, memory mode, interpolation, frames in random
// order, and the cost of loading one time as the channel count grows.
#include "benchCases.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

namespace qzbench {
namespace {

const CacheKind kKccOne{"kcc", qzCacheFileAccessor::kOneFile};
const CacheKind kKcxOne{"kcx", qzCacheFileAccessor::kOneFile};
const CacheKind kKccFrames{"kcc", qzCacheFileAccessor::kOneFilePerFrame};

enum class Mode { kDirect, kCopying };

// Reads `frames` frames in order (all when 0); checks the last frame read.
bool playback(const Reader& reader, const Workload& w, unsigned frames, std::vector<float>& buffer) {
    const unsigned count = frames ? std::min(frames, w.frames) : w.frames;
    for (unsigned f = 0; f < count; ++f) {
        if (!readFrame(reader.get(), w, timeOf(f), buffer.data())) return false;
    }
    return sameAsSource(w, count - 1, buffer.data());
}

std::string playbackName(const Workload* w, CacheKind kind, Mode mode) {
    const bool perFrame = kind.distribution == qzCacheFileAccessor::kOneFilePerFrame;
    return std::string(mode == Mode::kDirect ? "play_direct_" : "play_copying_") + kind.format +
           (perFrame ? "_pf/" : "_one/") + w->name;
}

// Compared with the raw read of the same layout unless another baseline is named.
void registerPlayback(const Workload* w, CacheKind kind, Mode mode, unsigned frames,
                      Goal goal, double target, std::string baseline = std::string()) {
    const bool perFrame = kind.distribution == qzCacheFileAccessor::kOneFilePerFrame;
    const std::string name = playbackName(w, kind, mode);
    if (baseline.empty()) {
        baseline = std::string(perFrame ? "raw_fread_pf/" : "raw_fread_one/") + w->name;
    }
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::vector<float> buffer(w->frameBytes() / sizeof(float));
        std::unique_ptr<Reader> reader;
        // A fresh accessor for every pass: nothing loaded by the previous pass helps.
        auto prepare = [&] {
            reader.reset();
            reader = std::make_unique<Reader>(*w, kind);
            if (mode == Mode::kCopying && reader->ok()) reader->get()->setOptimizeMultiChannelRead(true);
        };
        auto pass = [&] { return reader->ok() && playback(*reader, *w, frames, buffer); };
        std::int64_t passes = 0;
        const double seconds = timePasses(state, prepare, pass, passes);
        const unsigned count = frames ? std::min(frames, w->frames) : w->frames;
        report(state, CaseInfo{name, baseline, goal, target}, seconds, double(passes) * count,
               double(w->frameBytes()));
    })->UseManualTime()->Iterations(config().passes);
}

// Memory mode: the samples are kept in the channels as they are added; reads lend them.
void registerMemoryPlayback(const Workload* w) {
    const std::string name = "play_memory/" + w->name;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        qzCacheFileAccessor* accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
        accessor->setMemoryCache(true);
        accessor->setDistribution(qzCacheFileAccessor::kNoDistribution);
        accessor->setTimePerFrame(kTicksPerFrame);
        for (unsigned c = 0; c < w->channels; ++c) {
            unsigned index = 0;
            accessor->addChannel(qzString::IString(("channel" + std::to_string(c)).c_str(), 0),
                                 qzString::IString("position", 0), w->dataType(), index);
            accessor->setChannelSamplingRate(index, kTicksPerFrame);
        }
        for (unsigned f = 0; f < w->frames; ++f) {
            for (unsigned c = 0; c < w->channels; ++c) {
                accessor->addArrayData(c, timeOf(f), const_cast<float*>(w->source(f, c)), w->elements(c));
            }
        }
        auto pass = [&] {
            for (unsigned f = 0; f < w->frames; ++f) {
                for (unsigned c = 0; c < w->channels; ++c) {
                    void* data = nullptr;
                    unsigned int length = 0;
                    if (!accessor->getArrayDataAtTime(c, timeOf(f), w->elements(c), data, length) ||
                        length != w->elements(c) || !data) {
                        return false;
                    }
                    benchmark::DoNotOptimize(data);
                }
            }
            return true;
        };
        std::int64_t passes = 0;
        const double seconds = timePasses(state, nullptr, pass, passes);
        accessor->unref();
        report(state, CaseInfo{name, "memcpy/" + w->name}, seconds, double(passes) * w->frames,
               double(w->frameBytes()), "sample lent, not copied");
    })->UseManualTime()->MinTime(0.3);
}

// Reads halfway between stored frames, direct from a one-file cache.
void registerInterpolation(const Workload* w, qzCacheChannel::qzCacheInterpolation method,
                           const char* label) {
    const std::string name = std::string("interp_") + label + "/" + w->name;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::vector<float> buffer(w->frameBytes() / sizeof(float));
        std::unique_ptr<Reader> reader;
        auto prepare = [&] {
            reader.reset();
            reader = std::make_unique<Reader>(*w, kKccOne);
            for (unsigned c = 0; reader->ok() && c < w->channels; ++c) {
                qzCacheChannel::qzCacheInterpolation m = method;
                reader->get()->setChannelInterpolation(c, m);
            }
        };
        auto pass = [&] {
            if (!reader->ok()) return false;
            for (unsigned f = 0; f + 1 < w->frames; ++f) {
                if (!readFrame(reader->get(), *w, timeOf(f) + kTicksPerFrame / 2, buffer.data())) {
                    return false;
                }
            }
            return true;
        };
        std::int64_t passes = 0;
        const double seconds = timePasses(state, prepare, pass, passes);
        report(state, CaseInfo{name, "raw_fread_one/" + w->name}, seconds,
               double(passes) * (w->frames - 1), double(w->frameBytes()));
    })->UseManualTime()->Iterations(config().passes);
}

// Direct reads of the small-frame cache, in order and in a shuffled order.
void registerOrderCases() {
    const Workload* w = &workload(Set::kSmall);
    const std::string sequential = "read_sequential_kcc_one/" + w->name;
    const std::string shuffled = "read_random_kcc_one/" + w->name;
    for (bool random : {false, true}) {
        const std::string name = random ? shuffled : sequential;
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            std::vector<float> buffer(w->frameBytes() / sizeof(float));
            std::vector<unsigned> order(w->frames);
            std::iota(order.begin(), order.end(), 0u);
            if (random) std::shuffle(order.begin(), order.end(), std::mt19937(42));
            std::unique_ptr<Reader> reader;
            auto prepare = [&] {
                reader.reset();
                reader = std::make_unique<Reader>(*w, kKccOne);
            };
            auto pass = [&] {
                if (!reader->ok()) return false;
                for (unsigned f : order) {
                    if (!readFrame(reader->get(), *w, timeOf(f), buffer.data())) return false;
                }
                return sameAsSource(*w, order.back(), buffer.data());
            };
            std::int64_t passes = 0;
            const double seconds = timePasses(state, prepare, pass, passes);
            CaseInfo info = random ? CaseInfo{name, sequential, Goal::kCostAtMost, 2.0}
                                   : CaseInfo{name, "raw_fread_one/" + w->name};
            report(state, info, seconds, double(passes) * w->frames, double(w->frameBytes()));
        })->UseManualTime()->Iterations(config().passes);
    }
}

// Loading whole times in the copying mode, per channel, as the channel count grows.
void registerChannelSweep() {
    const std::vector<unsigned>& counts = config().scaling;
    if (counts.empty()) return;
    const std::string first = "load_time/" + scalingWorkload(counts.front()).name;
    for (unsigned channels : counts) {
        const Workload* w = &scalingWorkload(channels);
        const std::string name = "load_time/" + w->name;
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            std::vector<float> buffer(w->frameBytes() / sizeof(float));
            std::unique_ptr<Reader> reader;
            auto prepare = [&] {
                reader.reset();
                reader = std::make_unique<Reader>(*w, kKccOne);
                if (reader->ok()) reader->get()->setOptimizeMultiChannelRead(true);
            };
            auto pass = [&] { return reader->ok() && playback(*reader, *w, 0, buffer); };
            std::int64_t passes = 0;
            const double seconds = timePasses(state, prepare, pass, passes);
            CaseInfo info = name == first ? CaseInfo{name, ""}
                                          : CaseInfo{name, first, Goal::kCostAtMost, 1.5};
            info.unit = "channel";
            report(state, info, seconds, double(passes) * w->frames * w->channels,
                   double(w->channelBytes(0)));
        })->UseManualTime()->Iterations(std::max(3u, config().passes));
    }
}

}  // namespace

void registerReadCases() {
    const Workload* big = &workload(Set::kBig);
    const Workload* split = &workload(Set::kSplit);
    const Workload* many = &workload(Set::kMany);
    const Workload* scene = &workload(Set::kScene);
    registerPlayback(big, kKccOne, Mode::kDirect, 0, Goal::kThroughputAtLeast, 0.85);
    registerPlayback(big, kKcxOne, Mode::kDirect, 0, Goal::kThroughputAtLeast, 0.85);
    registerPlayback(big, kKccFrames, Mode::kDirect, 0, Goal::kThroughputAtLeast, 0.85);
    registerPlayback(big, kKccOne, Mode::kCopying, 0, Goal::kNone, 0);
    registerMemoryPlayback(big);
    registerPlayback(split, kKccOne, Mode::kDirect, 0, Goal::kThroughputAtLeast, 0.85);
    registerPlayback(split, kKccFrames, Mode::kDirect, 0, Goal::kThroughputAtLeast, 0.9);
    registerPlayback(split, kKccOne, Mode::kCopying, 0, Goal::kNone, 0);
    // Many small channels: the one-file read within 3 x the raw read, the per-frame read
    // within 1.5 x the one-file read.
    registerPlayback(many, kKccOne, Mode::kDirect, config().directManyFrames, Goal::kCostAtMost, 3.0);
    registerPlayback(many, kKccFrames, Mode::kDirect, config().directManyFrames, Goal::kCostAtMost,
                     1.5, playbackName(many, kKccOne, Mode::kDirect));
    registerPlayback(many, kKccOne, Mode::kCopying, 0, Goal::kNone, 0);
    registerPlayback(many, kKccFrames, Mode::kCopying, 0, Goal::kNone, 0);
    registerMemoryPlayback(many);
    for (CacheKind kind : {kKccOne, kKccFrames}) {
        for (Mode mode : {Mode::kDirect, Mode::kCopying}) {
            registerPlayback(scene, kind, mode, 0, Goal::kNone, 0);
        }
    }
    registerInterpolation(big, qzCacheChannel::kLinear, "linear");
    registerInterpolation(big, qzCacheChannel::kCatmullRom, "catmullrom");
    registerOrderCases();
    registerChannelSweep();
}

}  // namespace qzbench
