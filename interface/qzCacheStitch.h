// Joins caches baked in pieces (a render farm's frame ranges, one cache per task) into one
// cache that plays as a whole. `qzcache stitch` is a thin shell over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qzCacheExport.h"
#include "qzCacheFileAccessor.h"

// What became of one input.
struct QZCACHE_API qzCacheStitchInput {
    std::string description;       // UTF-8 path of its description file
    std::uint64_t timesTaken = 0;  // its stored times that the output holds
    // Its stored times that the output takes from another input (overlap first or last).
    std::vector<int> timesLeftOut;
};

// What a stitch did. On failure `error` says why in one line naming the file, and no file of
// the output is left.
struct QZCACHE_API qzCacheStitchReport {
    bool ok = false;
    std::string error;
    std::string output;  // UTF-8 path of the output's description file
    qzCacheFileAccessor::qzCacheFileDistribution layout = qzCacheFileAccessor::kNoDistribution;
    std::string format;  // "kcc" or "kcx"
    int ticksPerFrame = 0;
    std::uint64_t times = 0;           // stored times in the output
    std::uint64_t samplesWritten = 0;  // array samples read from an input and written anew
    std::uint64_t framesCopied = 0;    // frame files copied whole
    std::uint64_t framesLinked = 0;    // frame files linked whole (same file, a second name)
    std::vector<qzCacheStitchInput> inputs;  // in the order given
};

// How to stitch.
struct QZCACHE_API qzCacheStitchOptions {
    // Which input holds a time that more than one holds.
    enum Overlap : int {
        kOverlapRefused = 0,  // none: the stitch fails, naming the time and the inputs
        kOverlapFirst = 1,    // the first input given that holds it
        kOverlapLast = 2      // the last input given that holds it
    };
    // How a frame file of a per-frame input reaches a per-frame output of the same format.
    enum FrameFiles : int {
        kCopyFrameFiles = 0,     // copied byte for byte
        kLinkFrameFiles = 1,     // linked where the file system can (faster, no space; a later
                                 // rewrite of the output's frame in place changes the input's
                                 // too), copied elsewhere
        kRewriteFrameFiles = 2   // read and written record by record, as other inputs are
    };
    // Called as work is done: the phase ("checking", "stitching"), and how much of it.
    using Progress = void (*)(void* context, const char* phase, std::uint64_t done,
                              std::uint64_t total);

    Overlap overlap = kOverlapRefused;
    // kOneFile or kOneFilePerFrame; kNoDistribution takes the first input's.
    qzCacheFileAccessor::qzCacheFileDistribution layout = qzCacheFileAccessor::kNoDistribution;
    std::string format;  // "kcc" or "kcx"; empty takes the first input's
    FrameFiles frameFiles = kCopyFrameFiles;
    Progress progress = nullptr;
    void* progressContext = nullptr;
};

class QZCACHE_API qzCacheStitch {
public:
    // Writes the cache whose description file is `outputPath` (UTF-8, "dir/shot.xml") from the
    // caches whose description files are `inputPaths`: every stored time of every input in time
    // order, with the inputs' channels, each channel's sampling record rebuilt from its times
    // (regular while evenly spaced) and the inputs' description lines once each. Before
    // anything is written it refuses: inputs that do not read or are not whole (as
    // qzCacheChecker finds them), whose channel names and types, or ticks per frame, differ; a
    // time in several inputs unless an overlap rule chooses; an output any of whose files
    // exists already, or whose directory does not. Inputs are never changed. Data files are
    // written sample by sample and synced, and the description is written last in one step;
    // after any failure every file written is removed again, so that the output is whole or
    // absent. Other files in the directory are left alone.
    static qzCacheStitchReport stitch(const std::vector<std::string>& inputPaths,
                                      const std::string& outputPath,
                                      const qzCacheStitchOptions& options = qzCacheStitchOptions());
};
