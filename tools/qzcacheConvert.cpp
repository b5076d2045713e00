// The to-pc2 and from-pc2 commands, over the library's PC2 converters.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace fs = std::filesystem;

namespace qztool {

namespace {

using Pc2Header = qzCacheFileInterface::Pc2Header;

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

}  // namespace

int runToPc2(const ToPc2Options& options) {
    OpenCache cache(options.cache);
    qzCacheFileAccessor& accessor = cache.accessor();
    const unsigned int channel = cache.channelIndex(options.channel);
    qzString::IString name;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    accessor.channelName(channel, name);
    accessor.channelDataType(channel, type);
    const std::string where = options.cache + ": channel \"" + toUtf8(name) + "\"";
    // Float arrays pass the converter's type test but hold one float per element, not points.
    if (type != qzCacheData::kFloatVectorArray && type != qzCacheData::kDoubleVectorArray) {
        throw ToolError(kExitBadArguments, where + " is " + dataTypeName(type) +
                                               "; PC2 files hold vector channels only");
    }
    if (!cache.dataFileOpen()) {
        throw ToolError(kExitFileError, cache.oneFileDataPath() + ": the data file does not open");
    }
    const int step = options.step > 0 ? options.step : accessor.getTicksPerFrame();
    if (!accessor.isChannelSamplingRegular(channel) && step <= 0) {
        throw ToolError(kExitBadArguments, where + " is irregular; give --step TICKS");
    }
    if (!qzCacheFileInterface::convertToPc2(options.output.c_str(), cache.path().location.c_str(),
                                            cache.path().baseName.c_str(), channel, step)) {
        throw ToolError(kExitFileError, options.output + ": the conversion of " + where +
                                            " failed (unwritable file or unreadable samples)");
    }
    Pc2Header header;
    const std::string problem = pc2HeaderProblem(options.output, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.output + ": written, but " + problem);
    }
    std::printf("wrote %s: %d samples of %d points from channel \"%s\", start frame %g, "
                "%g frame(s) per sample\n",
                options.output.c_str(), header.numSamples, header.numPoints, toUtf8(name).c_str(),
                static_cast<double>(header.startFrame), static_cast<double>(header.sampleRate));
    return kExitOk;
}

int runFromPc2(const FromPc2Options& options) {
    Pc2Header header;
    const std::string problem = pc2HeaderProblem(options.input, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.input + ": " + problem);
    }
    const CachePath target = splitCachePath(options.output);
    std::error_code error;
    if (target.baseName.empty() || !fs::is_directory(fs::u8path(target.location), error)) {
        throw ToolError(kExitFileError, options.output + ": its directory does not exist");
    }
    const qzCacheFileInterface::cacheFileFormat layout =
        options.layout == "per-frame" ? qzCacheFileInterface::kFormatOneFilePerFrame
                                      : qzCacheFileInterface::kFormatOneFile;
    if (!qzCacheFileInterface::convertFromPc2(options.input.c_str(), target.location.c_str(),
                                              target.baseName.c_str(), layout,
                                              options.format.c_str(), options.ticksPerFrame)) {
        if (header.samplesInFile < header.numSamples) {
            throw ToolError(kExitFileError,
                            options.input + ": cut short, it holds " +
                                std::to_string(header.samplesInFile) + " of its " +
                                std::to_string(header.numSamples) + " samples; " +
                                options.output + " holds those");
        }
        throw ToolError(kExitFileError, options.output + ": the conversion of " + options.input +
                                            " failed (unwritable cache or unreadable samples)");
    }
    OpenCache cache(target.description);
    qzString::IString name;
    cache.accessor().channelName(0, name);
    std::printf("wrote %s: channel \"%s\", %d samples of %d points, %s layout, format %s, "
                "%d ticks per frame\n",
                target.description.c_str(), toUtf8(name).c_str(), header.numSamples, header.numPoints,
                options.layout.c_str(), options.format.c_str(), options.ticksPerFrame);
    return kExitOk;
}

}  // namespace qztool
