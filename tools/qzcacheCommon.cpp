#include "qzcacheCommon.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "qzCacheFileIffIO.h"

namespace fs = std::filesystem;

namespace qztool {

CachePath splitCachePath(const std::string& descriptionPath) {
    CachePath result;
    result.description = descriptionPath;
    const fs::path path = fs::u8path(descriptionPath);
    std::string directory = path.parent_path().u8string();
    // The library joins location and names without a separator of its own.
    if (directory.empty()) {
        directory = ".";
    }
    result.location = directory + "/";
    std::string name = path.filename().u8string();
    const std::string extension = ".xml";
    if (name.size() > extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
        name.resize(name.size() - extension.size());
    }
    result.baseName = name;
    return result;
}

std::string toUtf8(const qzString::IString& text) {
    const char* bytes = text.asUTF8();
    return bytes != nullptr ? std::string(bytes) : std::string();
}

qzString::IString fromUtf8(const std::string& text) { return qzString::IString(text.c_str(), 1); }

OpenCache::OpenCache(const std::string& descriptionPath)
    : m_path(splitCachePath(descriptionPath)), m_facade(new qzCacheFileInterface()) {
    std::error_code error;
    if (!fs::is_regular_file(fs::u8path(descriptionPath), error)) {
        throw ToolError(kExitFileError, descriptionPath + ": no such cache description file");
    }
    if (m_path.baseName.empty() || m_facade->accessor() == nullptr) {
        throw ToolError(kExitFileError, descriptionPath + ": not a cache description file name");
    }
    qzCacheFileAccessor& cache = accessor();
    // The facade's initFileRead stops when a one-file cache's data file does not open; the
    // same steps by hand let damaged caches still be described and verified.
    if (!cache.readDescriptionFile(fromUtf8(m_path.baseName), fromUtf8(m_path.location))) {
        throw ToolError(kExitFileError, descriptionPath + ": not a readable cache description");
    }
    cache.setFileAccessor(new qzCacheFileIffIO(qzCacheFileIO::kRead, cache.cacheFormat()));
    switch (cache.distribution()) {
    case qzCacheFileAccessor::kOneFile:
        m_dataFileOpen = cache.fileAccessor()->open(cache.constructDataFilePathForOneFile());
        break;
    case qzCacheFileAccessor::kOneFilePerFrame:
        m_dataFileOpen = true;
        break;
    default:
        throw ToolError(kExitFileError, descriptionPath + ": the description names no layout");
    }
}

std::string OpenCache::oneFileDataPath() {
    return toUtf8(accessor().constructDataFilePathForOneFile());
}

void OpenCache::checkStoredTimes() {
    constexpr std::uint64_t kLimit = 10000000;
    std::uint64_t total = 0;
    for (unsigned int channel = 0; channel < accessor().numChannels(); ++channel) {
        total += accessor().getDataCount(channel);
    }
    if (total > kLimit) {
        throw ToolError(kExitFileError, m_path.description + ": the channels list " +
                                            std::to_string(total) +
                                            " stored times, more than qzcache walks (" +
                                            std::to_string(kLimit) + ")");
    }
}

unsigned int OpenCache::channelIndex(const std::string& nameOrIndex) {
    unsigned int index = 0;
    if (accessor().hasChannelByName(fromUtf8(nameOrIndex), index)) {
        return index;
    }
    bool digits = !nameOrIndex.empty() && nameOrIndex.size() < 10;
    for (char c : nameOrIndex) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
    }
    if (digits) {
        const unsigned long value = std::stoul(nameOrIndex);
        if (value < accessor().numChannels()) {
            return static_cast<unsigned int>(value);
        }
    }
    throw ToolError(kExitBadArguments, m_path.description + ": no channel \"" + nameOrIndex +
                                           "\" (" + std::to_string(accessor().numChannels()) +
                                           " channels; give a name or an index)");
}

std::uintmax_t OpenCache::sampleSizeLimit(unsigned int channel, int time) {
    qzCacheFileAccessor& cache = accessor();
    std::uintmax_t limit = 0;
    std::uintmax_t size = 0;
    if (isOneFile()) {
        return fileSize(oneFileDataPath(), size) ? size : 0;
    }
    std::vector<int> times = {time};
    int other = 0;
    if (cache.getPrevTimeWithData(time, other)) times.push_back(other);
    if (cache.getNextTimeWithData(time, other)) times.push_back(other);
    if (cache.getChannelStartTime(channel, other)) times.push_back(other);
    for (int candidate : times) {
        if (fileSize(toUtf8(cache.constructDataFilePathForOneFilePerFrame(candidate)), size)) {
            limit = std::max(limit, size);
        }
    }
    return limit;
}

std::string dataTypeName(qzCacheData::qzCacheDataType type) {
    switch (type) {
    case qzCacheData::kDouble: return "kDouble";
    case qzCacheData::kDoubleArray: return "kDoubleArray";
    case qzCacheData::kDoubleVectorArray: return "kDoubleVectorArray";
    case qzCacheData::kInt32Array: return "kInt32Array";
    case qzCacheData::kFloatArray: return "kFloatArray";
    case qzCacheData::kFloatVectorArray: return "kFloatVectorArray";
    default: return "kUnknownData";
    }
}

namespace {
struct InterpolationName {
    qzCacheChannel::qzCacheInterpolation value;
    const char* option;
};
const InterpolationName kInterpolationNames[] = {
    {qzCacheChannel::kNoInterpolation, "none"},
    {qzCacheChannel::kStepPrevious, "previous"},
    {qzCacheChannel::kStepNext, "next"},
    {qzCacheChannel::kLinear, "linear"},
    {qzCacheChannel::kCatmullRom, "catmull-rom"},
};
}  // namespace

std::string interpolationName(qzCacheChannel::qzCacheInterpolation interpolation) {
    for (const InterpolationName& entry : kInterpolationNames) {
        if (entry.value == interpolation) {
            return entry.option;
        }
    }
    return "unknown";
}

bool parseInterpolation(const std::string& text, qzCacheChannel::qzCacheInterpolation& out) {
    for (const InterpolationName& entry : kInterpolationNames) {
        if (text == entry.option) {
            out = entry.value;
            return true;
        }
    }
    return false;
}

std::string layoutName(qzCacheFileAccessor::qzCacheFileDistribution distribution) {
    switch (distribution) {
    case qzCacheFileAccessor::kOneFile: return "one-file";
    case qzCacheFileAccessor::kOneFilePerFrame: return "per-frame";
    default: return "none";
    }
}

std::string framesText(std::int64_t ticks, int ticksPerFrame) {
    if (ticksPerFrame <= 0) {
        return "?";
    }
    char text[64];
    const double frames = static_cast<double>(ticks) / ticksPerFrame;
    // Fixed notation with the fewest decimals that read back as the same number.
    for (int decimals = 0; decimals <= 17; ++decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, frames);
        if (std::strtod(text, nullptr) == frames) {
            break;
        }
    }
    return text;
}

std::string sizeText(std::uintmax_t bytes) {
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    char text[64];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%ju bytes", bytes);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

bool fileSize(const std::string& path, std::uintmax_t& size) {
    std::error_code error;
    const fs::path file = fs::u8path(path);
    if (!fs::is_regular_file(file, error)) {
        return false;
    }
    size = fs::file_size(file, error);
    return !error;
}

}  // namespace qztool
