// Writing whole caches through the accessor, against raw fwrite of the same payload.
#include "benchCases.h"

namespace qzbench {
namespace {

void registerWrite(const Workload* w, CacheKind kind) {
    const bool perFrame = kind.distribution == qzCacheFileAccessor::kOneFilePerFrame;
    const std::string name = std::string("write_") + kind.format + (perFrame ? "_pf/" : "_one/") +
                             w->name;
    const std::string baseline = std::string(perFrame ? "raw_fwrite_pf/" : "raw_fwrite_one/") +
                                 w->name;
    benchmark::RegisterBenchmark(name.c_str(), [w, kind, name, baseline](benchmark::State& state) {
        // Written beside the cache that the reading cases use, under a name of its own.
        const std::string base = "w_" + cacheBaseName(*w, kind);
        std::int64_t passes = 0;
        const double seconds = timePasses(
            state, [&] { removeCache(*w, kind, base); },
            [&] { return writeCache(*w, kind, base); }, passes);
        removeCache(*w, kind, base);
        report(state, CaseInfo{name, baseline, Goal::kThroughputAtLeast, 0.85},
               seconds, double(passes) * w->frames, double(w->frameBytes()));
    })->UseManualTime()->Iterations(config().passes);
}

}  // namespace

void registerWriteCases() {
    const CacheKind kccOne{"kcc", qzCacheFileAccessor::kOneFile};
    const CacheKind kcxOne{"kcx", qzCacheFileAccessor::kOneFile};
    const CacheKind kccFrames{"kcc", qzCacheFileAccessor::kOneFilePerFrame};
    for (Set set : {Set::kBig, Set::kSplit, Set::kMany}) {
        const Workload* w = &workload(set);
        registerWrite(w, kccOne);
        if (set == Set::kBig) registerWrite(w, kcxOne);
        registerWrite(w, kccFrames);
    }
}

}  // namespace qzbench
