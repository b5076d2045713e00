// Writes the description of a cache whose data files exist but whose description is missing or
// unreadable (a writer killed before its end): a cache that did not open at all opens again
// with every sample that reads. `qzcache rebuild` is a thin shell over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qzCacheChecker.h"
#include "qzCacheData.h"
#include "qzCacheExport.h"
#include "qzCacheFileAccessor.h"

// A channel of the rebuilt description.
struct QZCACHE_API qzCacheRebuiltChannel {
    std::string name;  // UTF-8
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    bool regular = true;
    std::uint64_t times = 0;  // stored times its sampling record holds
    int startTime = 0;
    int endTime = 0;
};

// What a rebuild did. On failure `error` says why in one line naming the file, and nothing
// was written.
struct QZCACHE_API qzCacheRebuildReport {
    bool ok = false;
    std::string error;
    std::string description;  // UTF-8 path of the description file
    qzCacheFileAccessor::qzCacheFileDistribution layout = qzCacheFileAccessor::kNoDistribution;
    std::string format;  // "kcc" or "kcx"
    int ticksPerFrame = 0;
    std::uint64_t dataFiles = 0;  // data files found and walked
    std::uint64_t bytes = 0;      // their size
    // True when a description was there and replaced; `keptAs` names where an unreadable one
    // was copied first (empty when none was, or a copy of that name existed already).
    bool replaced = false;
    std::string keptAs;
    std::vector<qzCacheRebuiltChannel> channels;
    // What was left out: records and files that did not read cleanly, and channels none of
    // whose records did, as the cache checker reports them.
    std::vector<qzCacheProblem> leftOut;
    std::uint64_t leftOutNotListed = 0;
};

// How to rebuild.
struct QZCACHE_API qzCacheRebuildOptions {
    // Called as the data files are walked: how many time groups, of how many (0: not known).
    using Progress = void (*)(void* context, std::uint64_t done, std::uint64_t total);

    // Per-frame data files are found by names that hold the frame and the ticks beyond it, so
    // they must have been written with this value: a name it cannot give, or a header whose
    // time the name contradicts, fails the rebuild.
    int ticksPerFrame = 250;
    // kOneFile or kOneFilePerFrame; kNoDistribution takes the layout of the data files found,
    // and fails when both layouts are there.
    qzCacheFileAccessor::qzCacheFileDistribution layout = qzCacheFileAccessor::kNoDistribution;
    // "kcc" or "kcx"; empty takes the one of the data files found, and fails when both are.
    std::string format;
    bool force = false;  // whether a description that reads may be replaced
    std::string descriptionLine = "description rebuilt from the data files";  // empty: none
    Progress progress = nullptr;
    void* progressContext = nullptr;
};

class QZCACHE_API qzCacheRebuild {
public:
    // Rebuilds the description file at `descriptionPath` (UTF-8, "dir/shot.xml") from the data
    // files of that cache: channel names and types from their records, times from their time
    // groups (per-frame: from the names), each channel's sampling regular while evenly
    // spaced. Only records that read whole count (the cache checker decides); what did not is
    // reported as left out. Data files are never changed; the description is written in one
    // step, and an unreadable one it replaces is kept beside it. Channels of single values
    // (kDouble) never reach the data files and cannot be rebuilt, nor can interpretations.
    static qzCacheRebuildReport rebuild(const std::string& descriptionPath,
                                        const qzCacheRebuildOptions& options = qzCacheRebuildOptions());
};
