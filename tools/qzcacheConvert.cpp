// The to-pc2 and from-pc2 commands, over the library's PC2 converters.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

namespace fs = std::filesystem;

namespace qztool {

namespace {

struct Pc2Header {
    std::int32_t points = 0;
    float startFrame = 0.0f;
    float sampleRate = 0.0f;
    std::int32_t samples = 0;
};

std::int32_t littleInt(const unsigned char* bytes) {
    const std::uint32_t value = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                                (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
    std::int32_t result = 0;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

float littleFloat(const unsigned char* bytes) {
    const std::int32_t bits = littleInt(bytes);
    float result = 0.0f;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// Reads the 32-byte header to describe the file, and tells what is wrong with it, if anything.
std::string readPc2Header(const std::string& path, Pc2Header& header) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        return "cannot open the file";
    }
    unsigned char bytes[32] = {};
    in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (in.gcount() != static_cast<std::streamsize>(sizeof bytes)) {
        return "too short for a PC2 header";
    }
    if (std::memcmp(bytes, "POINTCACHE2\0", 12) != 0) {
        return "not a PC2 file (no POINTCACHE2 signature)";
    }
    if (littleInt(bytes + 12) != 1) {
        return "PC2 version " + std::to_string(littleInt(bytes + 12)) + " (only 1 is known)";
    }
    header.points = littleInt(bytes + 16);
    header.startFrame = littleFloat(bytes + 20);
    header.sampleRate = littleFloat(bytes + 24);
    header.samples = littleInt(bytes + 28);
    if (header.points <= 0 || header.samples <= 0 || !(header.sampleRate > 0.0f)) {
        return "a PC2 header with " + std::to_string(header.points) + " points, " +
               std::to_string(header.samples) + " samples and sample rate " +
               std::to_string(header.sampleRate);
    }
    return std::string();
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
    const std::string problem = readPc2Header(options.output, header);
    if (!problem.empty()) {
        throw ToolError(kExitFileError, options.output + ": written, but " + problem);
    }
    std::printf("wrote %s: %d samples of %d points from channel \"%s\", start frame %g, "
                "%g frame(s) per sample\n",
                options.output.c_str(), header.samples, header.points, toUtf8(name).c_str(),
                static_cast<double>(header.startFrame), static_cast<double>(header.sampleRate));
    return kExitOk;
}

int runFromPc2(const FromPc2Options& options) {
    Pc2Header header;
    const std::string problem = readPc2Header(options.input, header);
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
        throw ToolError(kExitFileError, options.output + ": the conversion of " + options.input +
                                            " failed (unwritable cache or unreadable samples)");
    }
    OpenCache cache(target.description);
    qzString::IString name;
    cache.accessor().channelName(0, name);
    std::printf("wrote %s: channel \"%s\", %d samples of %d points, %s layout, format %s, "
                "%d ticks per frame\n",
                target.description.c_str(), toUtf8(name).c_str(), header.samples, header.points,
                options.layout.c_str(), options.format.c_str(), options.ticksPerFrame);
    return kExitOk;
}

}  // namespace qztool
