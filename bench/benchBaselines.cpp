// Baselines on the same bytes as the cache cases: copies of a frame in memory, and raw stdio
// writes and reads of the same payload, one call per channel as the cache makes them.
#include "benchCases.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "qzIffByteOrder.h"

namespace qzbench {
namespace {

// Scalar byte reversal, one element after the other: what a plain loop gives.
void reverseScalar(void* dst, const void* src, std::size_t count) {
    const unsigned char* in = static_cast<const unsigned char*>(src);
    unsigned char* out = static_cast<unsigned char*>(dst);
    for (std::size_t i = 0; i < count; ++i, in += 4, out += 4) {
        const unsigned char b0 = in[0], b1 = in[1], b2 = in[2], b3 = in[3];
        out[0] = b3;
        out[1] = b2;
        out[2] = b1;
        out[3] = b0;
    }
}

enum class Copy { kMemcpy, kScalar, kDispatched, kFromOtherThread };

// The copy the worker case leaves to the caller, without the library: a frame another
// thread has written, copied after the host's work on the previous frame (a sleep, as
// there). Only the copies are timed.
double copyFromOtherThread(const Workload& w, std::vector<float>& target) {
    std::vector<float> staging(target.size());
    const auto hostWork = std::chrono::microseconds(config().hostWorkUs);
    double seconds = 0;
    for (unsigned f = 0; f < w.frames; ++f) {
        std::thread([&] { std::memcpy(staging.data(), w.sourceFrame(f), w.frameBytes()); }).join();
        std::this_thread::sleep_for(hostWork);
        const double start = now();
        std::memcpy(target.data(), staging.data(), w.frameBytes());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
        seconds += now() - start;
    }
    return seconds;
}

// One pass of copies over every frame; seconds.
double copyPass(const Workload& w, Copy kind, std::vector<float>& target) {
    target.resize(w.frameBytes() / sizeof(float));
    const std::size_t floats = target.size();
    if (kind == Copy::kFromOtherThread) return copyFromOtherThread(w, target);
    const double start = now();
    for (unsigned f = 0; f < w.frames; ++f) {
        const float* src = w.sourceFrame(f);
        switch (kind) {
        case Copy::kMemcpy: std::memcpy(target.data(), src, w.frameBytes()); break;
        case Copy::kScalar: reverseScalar(target.data(), src, floats); break;
        case Copy::kDispatched: iff::reverseCopy32(target.data(), src, floats); break;
        case Copy::kFromOtherThread: break;
        }
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    return now() - start;
}

void removeRaw(const Workload& w, bool perFrame) {
    std::error_code error;
    if (!perFrame) {
        std::filesystem::remove(rawOneFile(w) + ".w", error);
        return;
    }
    for (unsigned f = 0; f < w.frames; ++f) std::filesystem::remove(rawFrameFile(w, f) + ".w", error);
}

// fwrite of every channel of every frame; one file, or one per frame. Seconds, or -1.
double writePass(const Workload& w, bool perFrame) {
    removeRaw(w, perFrame);
    const double start = now();
    bool ok = true;
    std::FILE* file = perFrame ? nullptr : std::fopen((rawOneFile(w) + ".w").c_str(), "wb");
    for (unsigned f = 0; f < w.frames && ok; ++f) {
        if (perFrame) file = std::fopen((rawFrameFile(w, f) + ".w").c_str(), "wb");
        if (!file) return -1;
        for (unsigned c = 0; c < w.channels; ++c) {
            ok = std::fwrite(w.source(f, c), 1, w.channelBytes(c), file) == w.channelBytes(c) && ok;
        }
        if (perFrame) ok = std::fclose(file) == 0 && ok;
    }
    if (!perFrame && file) ok = std::fclose(file) == 0 && ok;
    return ok ? now() - start : -1;
}

// fread of every channel of every frame with the bytes reversed in place afterwards.
double readPass(const Workload& w, bool perFrame, std::vector<float>& target) {
    if (!ensureRaw(w, perFrame)) return -1;
    target.resize(w.frameBytes() / sizeof(float));
    const double start = now();
    bool ok = true;
    std::FILE* file = perFrame ? nullptr : std::fopen(rawOneFile(w).c_str(), "rb");
    for (unsigned f = 0; f < w.frames && ok; ++f) {
        if (perFrame) file = std::fopen(rawFrameFile(w, f).c_str(), "rb");
        if (!file) return -1;
        for (unsigned c = 0; c < w.channels; ++c) {
            float* channel = target.data() + w.starts[c];
            ok = std::fread(channel, 1, w.channelBytes(c), file) == w.channelBytes(c) && ok;
            iff::reverseCopy32(channel, channel, w.channelFloats(c));
        }
        if (perFrame) std::fclose(file);
        benchmark::DoNotOptimize(target.data());
    }
    if (!perFrame && file) std::fclose(file);
    return ok ? now() - start : -1;
}

void defineAll(const Workload* w) {
    const std::string n = w->name;
    auto buffer = std::make_shared<std::vector<float>>();
    defineBaseline("memcpy/" + n, [w, buffer] { return copyPass(*w, Copy::kMemcpy, *buffer) / w->frames; });
    defineBaseline("raw_fwrite_one/" + n, [w] { return writePass(*w, false) / w->frames; });
    defineBaseline("raw_fwrite_pf/" + n, [w] { return writePass(*w, true) / w->frames; });
    defineBaseline("raw_fread_one/" + n, [w, buffer] { return readPass(*w, false, *buffer) / w->frames; });
    defineBaseline("raw_fread_pf/" + n, [w, buffer] { return readPass(*w, true, *buffer) / w->frames; });
}

void registerCopy(const Workload* w, const char* prefix, Copy kind, Goal goal, double target) {
    const std::string name = std::string(prefix) + "/" + w->name;
    benchmark::RegisterBenchmark(name.c_str(), [w, kind, goal, target, name](benchmark::State& state) {
        std::vector<float> buffer;
        std::int64_t passes = 0;
        double seconds = 0;
        for (auto _ : state) {
            const double s = copyPass(*w, kind, buffer);
            state.SetIterationTime(s);
            seconds += s;
            ++passes;
        }
        CaseInfo info{name, kind == Copy::kMemcpy ? "" : "memcpy/" + w->name, goal, target};
        report(state, info, seconds, double(passes) * w->frames, double(w->frameBytes()));
    })->UseManualTime()->MinTime(0.3);
}

void registerIo(const Workload* w, const char* prefix, bool write, bool perFrame) {
    const std::string name = std::string(prefix) + "/" + w->name;
    benchmark::RegisterBenchmark(name.c_str(), [w, write, perFrame, name](benchmark::State& state) {
        std::vector<float> buffer;
        std::int64_t passes = 0;
        double seconds = 0;
        for (auto _ : state) {
            const double s = write ? writePass(*w, perFrame) : readPass(*w, perFrame, buffer);
            if (s < 0) {
                state.SkipWithError("raw file i/o failed");
                break;
            }
            state.SetIterationTime(s);
            seconds += s;
            ++passes;
        }
        if (write) removeRaw(*w, perFrame);
        report(state, CaseInfo{name, ""}, seconds, double(passes) * w->frames,
               double(w->frameBytes()));
    })->UseManualTime()->Iterations(config().passes);
}

}  // namespace

void defineBaselines() {
    for (Set set : {Set::kBig, Set::kSplit, Set::kMany, Set::kSmall, Set::kScene}) {
        defineAll(&workload(set));
    }
}

void registerBaselines() {
    const Workload* big = &workload(Set::kBig);
    registerCopy(big, "memcpy", Copy::kMemcpy, Goal::kNone, 0);
    registerCopy(big, "reverse_scalar", Copy::kScalar, Goal::kNone, 0);
    registerCopy(big, "reverseCopy32", Copy::kDispatched, Goal::kCostAtMost, 1.5);
    registerCopy(big, "memcpy_after_work", Copy::kFromOtherThread, Goal::kNone, 0);
    registerIo(big, "raw_fwrite_one", true, false);
    registerIo(big, "raw_fwrite_pf", true, true);
    registerIo(big, "raw_fread_one", false, false);
    registerIo(big, "raw_fread_pf", false, true);
    for (Set set : {Set::kSplit, Set::kMany, Set::kScene}) {
        const Workload* w = &workload(set);
        registerCopy(w, "memcpy", Copy::kMemcpy, Goal::kNone, 0);
        if (set != Set::kScene) {
            registerIo(w, "raw_fwrite_one", true, false);
            registerIo(w, "raw_fwrite_pf", true, true);
        }
        registerIo(w, "raw_fread_one", false, false);
        registerIo(w, "raw_fread_pf", false, true);
    }
}

}  // namespace qzbench
