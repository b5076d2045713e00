// The stitch and rebuild commands, over the library's qzCacheStitch and qzCacheRebuild.
#include <cstdio>
#include <string>

#include "qzCacheRebuild.h"
#include "qzCacheStitch.h"
#include "qzcacheCommands.h"
#include "qzcacheCommon.h"
#include "qzcacheTerminal.h"
#include "qzcacheVerify.h"

namespace qztool {

namespace {

qzCacheFileAccessor::qzCacheFileDistribution layoutOf(const std::string& name) {
    if (name == "one-file") return qzCacheFileAccessor::kOneFile;
    if (name == "per-frame") return qzCacheFileAccessor::kOneFilePerFrame;
    return qzCacheFileAccessor::kNoDistribution;
}

// The bar follows the library's phases; a new phase or total starts it again.
struct Bar {
    Progress progress{"", 0};
    std::string phase;
    std::uint64_t total = 0;
    std::uint64_t done = 0;

    void update(const char* label, std::uint64_t now, std::uint64_t of) {
        if (phase != label || total != of) {
            phase = label;
            total = of;
            done = 0;
            progress.reset(label, static_cast<std::size_t>(of));
        }
        if (now > done) progress.step(static_cast<std::size_t>(now - done));
        done = now;
    }
};

// "2500", "2500 .. 3000" or "2500 .. 3000 (4 times)" for a list of times.
std::string timesText(const std::vector<int>& times) {
    if (times.size() == 1) return std::to_string(times.front());
    return std::to_string(times.front()) + " .. " + std::to_string(times.back()) + " (" +
           std::to_string(times.size()) + " times)";
}

}  // namespace

int runStitch(const StitchOptions& options) {
    using Stitch = qzCacheStitchOptions;
    Stitch stitch;
    stitch.layout = layoutOf(options.layout);
    stitch.format = options.format;
    stitch.overlap = options.overlap == "first"  ? Stitch::kOverlapFirst
                     : options.overlap == "last" ? Stitch::kOverlapLast
                                                 : Stitch::kOverlapRefused;
    stitch.frameFiles = options.link      ? Stitch::kLinkFrameFiles
                        : options.rewrite ? Stitch::kRewriteFrameFiles
                                          : Stitch::kCopyFrameFiles;
    qzCacheStitchReport report;
    {
        Bar bar;
        stitch.progress = [](void* context, const char* phase, std::uint64_t done, std::uint64_t total) {
            static_cast<Bar*>(context)->update(phase, done, total);
        };
        stitch.progressContext = &bar;
        report = qzCacheStitch::stitch(options.inputs, options.output, stitch);
    }
    if (!report.ok) throw ToolError(kExitFileError, report.error);
    std::printf("stitched %s: %ju times from %zu input(s), %s layout, format %s, %d ticks per frame\n",
                report.output.c_str(), static_cast<std::uintmax_t>(report.times),
                report.inputs.size(), layoutName(report.layout).c_str(), report.format.c_str(),
                report.ticksPerFrame);
    for (const qzCacheStitchInput& input : report.inputs) {
        std::printf("  %s: %ju times", input.description.c_str(),
                    static_cast<std::uintmax_t>(input.timesTaken));
        if (!input.timesLeftOut.empty()) {
            std::printf("; left out %s, held by another input", timesText(input.timesLeftOut).c_str());
        }
        std::printf("\n");
    }
    std::printf("  %ju samples written, %ju frame files copied, %ju linked\n",
                static_cast<std::uintmax_t>(report.samplesWritten),
                static_cast<std::uintmax_t>(report.framesCopied),
                static_cast<std::uintmax_t>(report.framesLinked));
    return kExitOk;
}

int runRebuild(const RebuildOptions& options) {
    qzCacheRebuildOptions rebuild;
    rebuild.ticksPerFrame = options.ticksPerFrame;
    rebuild.layout = layoutOf(options.layout);
    rebuild.format = options.format;
    rebuild.force = options.force;
    qzCacheRebuildReport report;
    {
        Bar bar;
        rebuild.progress = [](void* context, std::uint64_t done, std::uint64_t total) {
            static_cast<Bar*>(context)->update("reading", done, total);
        };
        rebuild.progressContext = &bar;
        report = qzCacheRebuild::rebuild(options.cache, rebuild);
    }
    if (!report.ok) throw ToolError(kExitFileError, report.error);
    std::printf("rebuilt %s: %s layout, format %s, %d ticks per frame, %ju data file(s), %s\n",
                report.description.c_str(), layoutName(report.layout).c_str(),
                report.format.c_str(), report.ticksPerFrame,
                static_cast<std::uintmax_t>(report.dataFiles), sizeText(report.bytes).c_str());
    if (!report.keptAs.empty()) {
        std::printf("  the unreadable description is kept as %s\n", report.keptAs.c_str());
    }
    for (const qzCacheRebuiltChannel& channel : report.channels) {
        std::printf("  %s: %s, %s, %ju times, %d .. %d ticks\n", channel.name.c_str(),
                    dataTypeName(channel.type).c_str(), channel.regular ? "regular" : "irregular",
                    static_cast<std::uintmax_t>(channel.times), channel.startTime, channel.endTime);
    }
    const std::uint64_t leftOut = report.leftOut.size() + report.leftOutNotListed;
    if (leftOut == 0) return kExitOk;
    std::printf("left out (%ju):\n", static_cast<std::uintmax_t>(leftOut));
    for (const qzCacheProblem& problem : report.leftOut) {
        std::printf("  %s\n", problemText(problem).c_str());
    }
    if (report.leftOutNotListed != 0) {
        std::printf("  ... and %ju more not listed\n",
                    static_cast<std::uintmax_t>(report.leftOutNotListed));
    }
    std::fflush(stdout);
    std::fprintf(stderr, "qzcache: %s: rebuilt without what did not read (%ju problem(s))\n",
                 report.description.c_str(), static_cast<std::uintmax_t>(leftOut));
    return kExitNotWhole;
}

}  // namespace qztool
