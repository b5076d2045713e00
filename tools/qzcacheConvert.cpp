// The to-pc2, from-pc2, to-mdd and from-mdd commands, over the library's point cache
// converters.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace fs = std::filesystem;

namespace qztool {

namespace {

using Pc2Header = qzCacheFileInterface::Pc2Header;
using MddHeader = qzCacheFileInterface::MddHeader;

// What is wrong with a PC2 file's header, or nothing.
std::string pc2HeaderProblem(const std::string& path, Pc2Header& header) {
    if (qzCacheFileInterface::readPc2Header(path.c_str(), header)) return std::string();
    std::uintmax_t size = 0;
    if (!fileSize(path, size)) return "cannot open the file";
    if (header.fileVersion == 0) return "not a PC2 file (no POINTCACHE2 header)";
    if (header.fileVersion != 1) {
        return "PC2 version " + std::to_string(header.fileVersion) + " (only 1 is known)";
    }
    return "a PC2 header with " + std::to_string(header.numPoints) + " points, " +
           std::to_string(header.numSamples) + " samples and sample rate " +
           std::to_string(header.sampleRate);
}

// What is wrong with an MDD file's header or its times, or nothing. MDD has no signature: its
// counts are believed as far as the file's length backs them.
std::string mddHeaderProblem(const std::string& path, MddHeader& header) {
    std::uintmax_t size = 0;
    if (!fileSize(path, size)) return "cannot open the file";
    if (!qzCacheFileInterface::readMddHeader(path.c_str(), header)) {
        const std::string counts = std::to_string(header.numFrames) + " frames of " +
                                   std::to_string(header.numPoints) + " points";
        if (header.numFrames <= 0 || header.numPoints <= 0)
            return "not an MDD file (its header claims " + counts + ")";
        return "not an MDD file (its header claims " + counts + ", whose times alone take " +
               std::to_string(8 + 4 * std::uint64_t(header.numFrames)) + " bytes; it has " +
               std::to_string(size) + ")";
    }
    const int k = header.unorderedFrame;
    if (k == 0) return "the time of frame 0 is not a number of seconds";
    if (k > 0) {
        return "the time of frame " + std::to_string(k) + " is not after that of frame " +
               std::to_string(k - 1) + " (times must increase)";
    }
    return std::string();
}

// The checks both point formats make of the channel to write; its name, or ToolError.
std::string checkPointChannel(OpenCache& cache, const ToPc2Options& options, const char* kind,
                              unsigned int& channel) {
    qzCacheFileAccessor& accessor = cache.accessor();
    channel = cache.channelIndex(options.channel);
    qzString::IString name;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    accessor.channelName(channel, name);
    accessor.channelDataType(channel, type);
    const std::string where = options.cache + ": channel \"" + toUtf8(name) + "\"";
    // Float arrays pass the converter's type test but hold one float per element, not points.
    if (type != qzCacheData::kFloatVectorArray && type != qzCacheData::kDoubleVectorArray) {
        throw ToolError(kExitBadArguments, where + " is " + dataTypeName(type) + "; " + kind +
                                               " files hold vector channels only");
    }
    if (!cache.dataFileOpen()) {
        throw ToolError(kExitFileError, cache.oneFileDataPath() + ": the data file does not open");
    }
    return toUtf8(name);
}

// Converts the channel with `convert` (location, base name, channel, step); ToolError when
// it fails. The channel's name.
std::string writePointFile(const ToPc2Options& options, const char* kind,
                           const std::function<bool(const char*, const char*, unsigned int, int)>& convert) {
    OpenCache cache(options.cache);
    unsigned int channel = 0;
    const std::string name = checkPointChannel(cache, options, kind, channel);
    const int step = options.step > 0 ? options.step : cache.accessor().getTicksPerFrame();
    if (!convert(cache.path().location.c_str(), cache.path().baseName.c_str(), channel, step)) {
        throw ToolError(kExitFileError, options.output + ": the conversion of " + options.cache +
                                            ": channel \"" + name +
                                            "\" failed (unwritable file or unreadable samples)");
    }
    return name;
}

// Where a new cache goes and in which layout; ToolError when its directory does not exist.
CachePath newCachePath(const FromPc2Options& options, qzCacheFileInterface::cacheFileFormat& layout) {
    const CachePath target = splitCachePath(options.output);
    std::error_code error;
    if (target.baseName.empty() || !fs::is_directory(fs::u8path(target.location), error)) {
        throw ToolError(kExitFileError, options.output + ": its directory does not exist");
    }
    layout = options.layout == "per-frame" ? qzCacheFileInterface::kFormatOneFilePerFrame
                                           : qzCacheFileInterface::kFormatOneFile;
    return target;
}

// A failed conversion of a file cut short still wrote the cache of what it holds, if anything.
void throwIfCutShort(const FromPc2Options& options, int held, int claimed, const char* unit) {
    if (held >= claimed) return;
    const std::string kept = held > 0 ? options.output + " holds those" : "nothing was written";
    throw ToolError(kExitFileError, options.input + ": cut short, it holds " +
                                        std::to_string(held) + " of its " +
                                        std::to_string(claimed) + " " + unit + "; " + kept);
}

void printNewCache(const FromPc2Options& options, const CachePath& target, int frames, int points) {
    OpenCache cache(target.description);
    qzString::IString name;
    cache.accessor().channelName(0, name);
    std::printf("wrote %s: channel \"%s\", %d samples of %d points, %s layout, format %s, "
                "%d ticks per frame\n",
                target.description.c_str(), toUtf8(name).c_str(), frames, points,
                options.layout.c_str(), options.format.c_str(), options.ticksPerFrame);
}

void checkRate(double framesPerSecond) {
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0.0)
        throw ToolError(kExitBadArguments, "--fps must be a number of frames per second above 0");
}

}  // namespace

int runToPc2(const ToPc2Options& options) {
    const std::string name = writePointFile(
        options, "PC2", [&](const char* location, const char* base, unsigned int channel, int step) {
            return qzCacheFileInterface::convertToPc2(options.output.c_str(), location, base,
                                                      channel, step);
        });
    Pc2Header header;
    const std::string problem = pc2HeaderProblem(options.output, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.output + ": written, but " + problem);
    }
    std::printf("wrote %s: %d samples of %d points from channel \"%s\", start frame %g, "
                "%g frame(s) per sample\n",
                options.output.c_str(), header.numSamples, header.numPoints, name.c_str(),
                static_cast<double>(header.startFrame), static_cast<double>(header.sampleRate));
    return kExitOk;
}

int runFromPc2(const FromPc2Options& options) {
    Pc2Header header;
    const std::string problem = pc2HeaderProblem(options.input, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.input + ": " + problem);
    }
    qzCacheFileInterface::cacheFileFormat layout;
    const CachePath target = newCachePath(options, layout);
    if (!qzCacheFileInterface::convertFromPc2(options.input.c_str(), target.location.c_str(),
                                              target.baseName.c_str(), layout,
                                              options.format.c_str(), options.ticksPerFrame)) {
        throwIfCutShort(options, header.samplesInFile, header.numSamples, "samples");
        throw ToolError(kExitFileError, options.output + ": the conversion of " + options.input +
                                            " failed (unwritable cache or unreadable samples)");
    }
    printNewCache(options, target, header.numSamples, header.numPoints);
    return kExitOk;
}

int runToMdd(const ToMddOptions& options) {
    checkRate(options.framesPerSecond);
    const std::string name = writePointFile(
        options, "MDD", [&](const char* location, const char* base, unsigned int channel, int step) {
            return qzCacheFileInterface::convertToMdd(options.output.c_str(), location, base,
                                                      channel, step, options.framesPerSecond);
        });
    MddHeader header;
    const std::string problem = mddHeaderProblem(options.output, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.output + ": written, but " + problem);
    }
    std::printf("wrote %s: %d frames of %d points from channel \"%s\", %g s to %g s at %g "
                "frames per second\n",
                options.output.c_str(), header.numFrames, header.numPoints, name.c_str(),
                static_cast<double>(header.firstTime), static_cast<double>(header.lastTime),
                options.framesPerSecond);
    return kExitOk;
}

int runFromMdd(const FromMddOptions& options) {
    checkRate(options.framesPerSecond);
    MddHeader header;
    const std::string problem = mddHeaderProblem(options.input, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.input + ": " + problem);
    }
    qzCacheFileInterface::cacheFileFormat layout;
    const CachePath target = newCachePath(options, layout);
    if (!qzCacheFileInterface::convertFromMdd(options.input.c_str(), target.location.c_str(),
                                              target.baseName.c_str(), layout,
                                              options.format.c_str(), options.ticksPerFrame,
                                              options.framesPerSecond)) {
        throwIfCutShort(options, header.framesInFile, header.numFrames, "frames");
        char times[160];
        std::snprintf(times, sizeof times,
                      "its times (%g s to %g s) at %g frames per second and %d ticks per frame "
                      "fall outside 32-bit ticks or put two frames on one tick",
                      static_cast<double>(header.firstTime), static_cast<double>(header.lastTime),
                      options.framesPerSecond, options.ticksPerFrame);
        throw ToolError(kExitFileError, options.output + ": the conversion of " + options.input +
                                            " failed: " + times +
                                            ", or the cache could not be written");
    }
    printNewCache(options, target, header.numFrames, header.numPoints);
    return kExitOk;
}

}  // namespace qztool
