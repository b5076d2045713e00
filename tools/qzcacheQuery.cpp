// The info (and following a live cache), files and dump commands.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qzcacheCommands.h"
#include "qzcacheCommon.h"

using nlohmann::json;

namespace qztool {

namespace {

json channelJson(OpenCache& cache, unsigned int channel) {
    qzCacheFileAccessor& accessor = cache.accessor();
    qzString::IString name;
    qzString::IString interpretation;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    qzCacheChannel::qzCacheSamplingType sampling = qzCacheChannel::kRegular;
    int rate = 0;
    int start = 0;
    int end = 0;
    accessor.channelName(channel, name);
    accessor.channelInterpretation(channel, interpretation);
    accessor.channelDataType(channel, type);
    accessor.channelInterpolation(channel, interpolation);
    accessor.channelSamplingType(channel, sampling);
    accessor.channelSamplingRate(channel, rate);
    accessor.getChannelStartTime(channel, start);
    accessor.getChannelEndTime(channel, end);

    json result = {{"index", channel},
                   {"name", toUtf8(name)},
                   {"type", dataTypeName(type)},
                   {"interpretation", toUtf8(interpretation)},
                   {"sampling", sampling == qzCacheChannel::kRegular ? "regular" : "irregular"},
                   {"samplingRate", rate},
                   {"start", start},
                   {"end", end},
                   {"interpolation", interpolationName(interpolation)},
                   {"storedTimes", accessor.getDataCount(channel)},
                   {"elementsAtFirstTime", nullptr}};
    if (!qzCacheData::isArrayType(type)) {
        // Single doubles never reach the data files; their values lived in the writer's memory.
        result["memoryOnly"] = true;
        return result;
    }
    int first = 0;
    unsigned int length = 0;
    if (accessor.getDataTime(channel, 0, first) &&
        accessor.getArrayLengthAtTime(channel, first, length)) {
        result["elementsAtFirstTime"] = length;
    }
    return result;
}

json fileJson(int index, const std::string& path) {
    std::uintmax_t size = 0;
    const bool exists = fileSize(path, size);
    return {{"index", index},
            {"path", path},
            {"exists", exists},
            {"bytes", exists ? json(size) : json(nullptr)}};
}

json filesJson(OpenCache& cache) {
    cache.checkStoredTimes();
    qzCacheFileAccessor& accessor = cache.accessor();
    json list = json::array();
    const int count = cache.facade().getDataFileCount();
    // Each path by index walks the times from the start; past a few thousand files the same
    // list comes from one walk.
    constexpr int kByIndex = 2000;
    qzString::IString path;
    for (int index = 0; index < count && (count <= kByIndex || index == 0); ++index) {
        if (accessor.getDataFilePath(static_cast<unsigned int>(index), path)) {
            list.push_back(fileJson(index, toUtf8(path)));
        }
    }
    int start = 0;
    int end = 0;
    if (count > kByIndex && accessor.getStartEndTime(start, end)) {
        int time = start;
        for (int index = 1; index < count; ++index) {
            if (index > 1 && !accessor.getNextTimeWithData(time, time)) break;
            list.push_back(
                fileJson(index, toUtf8(accessor.constructDataFilePathForOneFilePerFrame(time))));
        }
    }
    return list;
}

}  // namespace

json infoJson(OpenCache& cache) {
    qzCacheFileAccessor& accessor = cache.accessor();
    const int ticksPerFrame = accessor.getTicksPerFrame();
    json result = {{"cache", cache.path().description},
                   {"complete", accessor.isComplete()},
                   {"layout", layoutName(accessor.distribution())},
                   {"cacheFormat", toUtf8(accessor.cacheFormat())},
                   {"ticksPerFrame", ticksPerFrame}};
    int start = 0;
    int end = 0;
    if (accessor.getStartEndTime(start, end)) {
        result["timeRange"] = {{"startTicks", start},
                               {"endTicks", end},
                               {"startFrame", framesText(start, ticksPerFrame)},
                               {"endFrame", framesText(end, ticksPerFrame)}};
    } else {
        result["timeRange"] = nullptr;
    }
    json description = json::array();
    for (unsigned int line = 0; line < accessor.descriptionInfoCount(); ++line) {
        qzString::IString text;
        accessor.getDescriptionInfo(line, text);
        description.push_back(toUtf8(text));
    }
    result["description"] = description;
    json channels = json::array();
    for (unsigned int channel = 0; channel < accessor.numChannels(); ++channel) {
        channels.push_back(channelJson(cache, channel));
    }
    result["channels"] = channels;
    const json files = filesJson(cache);
    std::uintmax_t total = 0;
    int missing = 0;
    for (const json& file : files) {
        if (file["exists"].get<bool>()) {
            total += file["bytes"].get<std::uintmax_t>();
        } else {
            ++missing;
        }
    }
    result["files"] = {{"count", files.size()}, {"totalBytes", total}, {"missing", missing}};
    return result;
}

namespace {

void printInfoText(const json& info) {
    std::printf("cache          %s\n", info["cache"].get<std::string>().c_str());
    if (!info["complete"].get<bool>()) {
        std::printf("state          being written: its writer has not finished\n");
    }
    std::printf("layout         %s\n", info["layout"].get<std::string>().c_str());
    std::printf("cache format   %s\n", info["cacheFormat"].get<std::string>().c_str());
    std::printf("ticks/frame    %d\n", info["ticksPerFrame"].get<int>());
    const json& range = info["timeRange"];
    if (range.is_null()) {
        std::printf("time range     none (no channels)\n");
    } else {
        std::printf("time range     %d .. %d ticks (frames %s .. %s)\n",
                    range["startTicks"].get<int>(), range["endTicks"].get<int>(),
                    range["startFrame"].get<std::string>().c_str(),
                    range["endFrame"].get<std::string>().c_str());
    }
    std::printf("description    %zu line(s)\n", info["description"].size());
    for (const json& line : info["description"]) {
        std::printf("  %s\n", line.get<std::string>().c_str());
    }
    std::printf("channels       %zu\n", info["channels"].size());
    for (const json& channel : info["channels"]) {
        std::string sampling = channel["sampling"].get<std::string>();
        if (sampling == "regular") {
            sampling += " every " + std::to_string(channel["samplingRate"].get<int>()) + " ticks";
        }
        std::string elements = "elements at first time: ";
        if (channel.contains("memoryOnly")) {
            elements = "values in memory only (not in the data files)";
        } else if (channel["elementsAtFirstTime"].is_null()) {
            elements += "unreadable";
        } else {
            elements += std::to_string(channel["elementsAtFirstTime"].get<unsigned int>());
        }
        std::printf("  [%u] %s\n", channel["index"].get<unsigned int>(),
                    channel["name"].get<std::string>().c_str());
        std::printf("      type %s, interpretation \"%s\", interpolation %s\n",
                    channel["type"].get<std::string>().c_str(),
                    channel["interpretation"].get<std::string>().c_str(),
                    channel["interpolation"].get<std::string>().c_str());
        std::printf("      %s, %d .. %d ticks, %llu stored times, %s\n", sampling.c_str(),
                    channel["start"].get<int>(), channel["end"].get<int>(),
                    channel["storedTimes"].get<unsigned long long>(), elements.c_str());
    }
    const json& files = info["files"];
    std::printf("files          %zu, %s (%ju bytes)", files["count"].get<std::size_t>(),
                sizeText(files["totalBytes"].get<std::uintmax_t>()).c_str(),
                files["totalBytes"].get<std::uintmax_t>());
    if (files["missing"].get<int>() > 0) {
        std::printf(", %d missing", files["missing"].get<int>());
    }
    std::printf("\n");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// info --follow

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void interruptFollowing(int) { g_interrupted = 1; }

// How often a followed cache's description is read again: a live writer replaces it at most
// once a second by default.
constexpr auto kFollowPoll = std::chrono::milliseconds(100);

// Every time some channel names, ascending and once each.
std::vector<int> cacheTimes(OpenCache& cache) {
    cache.checkStoredTimes();
    std::vector<int> all;
    for (unsigned int channel = 0; channel < cache.accessor().numChannels(); ++channel) {
        std::vector<int> times;
        if (cache.accessor().getDataTimes(channel, times)) all.insert(all.end(), times.begin(), times.end());
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

// One line of the follow: text for people, or one JSON object.
void followLine(bool asJson, const json& event, const std::string& text) {
    if (asJson) {
        std::printf("%s\n", event.dump().c_str());
    } else {
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
}

class Following {
public:
    explicit Following(const InfoOptions& options)
        : m_options(options), m_json(options.format == "json"),
          m_stall(std::chrono::seconds(options.stallSeconds)) {
        g_interrupted = 0;
        m_previous = std::signal(SIGINT, interruptFollowing);
    }
    ~Following() { std::signal(SIGINT, m_previous); }
    Following(const Following&) = delete;
    Following& operator=(const Following&) = delete;

    int run();

private:
    // Sleeps one poll; false when following is to end, with its line printed and `status` set.
    bool wait(int& status);

    const InfoOptions& m_options;
    const bool m_json;
    const std::chrono::seconds m_stall;
    std::chrono::steady_clock::time_point m_lastNews = std::chrono::steady_clock::now();
    void (*m_previous)(int) = SIG_DFL;
};

bool Following::wait(int& status) {
    if (g_interrupted != 0) {
        followLine(m_json, {{"complete", false}, {"stopped", "interrupted"}},
                   "stopped        by Ctrl-C; the writer has not finished");
        status = kExitOk;
        return false;
    }
    if (m_stall.count() > 0 && std::chrono::steady_clock::now() - m_lastNews >= m_stall) {
        followLine(m_json, {{"complete", false}, {"stopped", "stalled"}},
                   "gave up        no new time for " + std::to_string(m_stall.count()) +
                       " s; the writer has not finished");
        status = kExitNotWhole;
        return false;
    }
    std::this_thread::sleep_for(kFollowPoll);
    return true;
}

int Following::run() {
    int status = kExitOk;
    std::uintmax_t size = 0;
    if (!fileSize(m_options.cache, size)) {
        std::fprintf(stderr, "qzcache: waiting for %s to appear (Ctrl-C stops)\n",
                     m_options.cache.c_str());
        while (!fileSize(m_options.cache, size)) {
            if (!wait(status)) return status;
        }
    }
    OpenCache cache(m_options.cache);
    const json info = infoJson(cache);
    if (m_json) {
        std::printf("%s\n", info.dump().c_str());
    } else {
        printInfoText(info);
    }
    std::fflush(stdout);
    std::vector<int> known = cacheTimes(cache);
    const int ticksPerFrame = cache.accessor().getTicksPerFrame();
    while (!cache.accessor().isComplete()) {
        if (!wait(status)) return status;
        bool changed = false;
        if (!cache.facade().refresh(changed)) {
            throw ToolError(kExitFileError, m_options.cache +
                                                ": the description no longer reads as this cache");
        }
        if (!changed) continue;
        const std::vector<int> times = cacheTimes(cache);
        for (int time : times) {
            if (std::binary_search(known.begin(), known.end(), time)) continue;
            m_lastNews = std::chrono::steady_clock::now();
            const std::string frame = framesText(time, ticksPerFrame);
            followLine(m_json, {{"time", time}, {"frame", frame}},
                       "new time       " + std::to_string(time) + " ticks (frame " + frame + ")");
        }
        known = times;
    }
    std::string range = "no times";
    if (!known.empty()) {
        range = std::to_string(known.front()) + " .. " + std::to_string(known.back()) +
                " ticks (frames " + framesText(known.front(), ticksPerFrame) + " .. " +
                framesText(known.back(), ticksPerFrame) + ")";
    }
    followLine(m_json, {{"complete", true}, {"times", known.size()}},
               "complete       " + std::to_string(known.size()) + " times, " + range);
    return kExitOk;
}

}  // namespace

int runInfo(const InfoOptions& options) {
    if (options.follow) return Following(options).run();
    OpenCache cache(options.cache);
    const json info = infoJson(cache);
    if (options.format == "json") {
        std::printf("%s\n", info.dump(2).c_str());
    } else {
        printInfoText(info);
    }
    return kExitOk;
}

int runFiles(const InfoOptions& options) {
    OpenCache cache(options.cache);
    const json files = filesJson(cache);
    int missing = 0;
    for (const json& file : files) {
        missing += file["exists"].get<bool>() ? 0 : 1;
    }
    if (options.format == "json") {
        std::printf("%s\n", json{{"cache", options.cache}, {"files", files}}.dump(2).c_str());
    } else {
        for (const json& file : files) {
            if (file["exists"].get<bool>()) {
                std::printf("%12ju  %s\n", file["bytes"].get<std::uintmax_t>(),
                            file["path"].get<std::string>().c_str());
            } else {
                std::printf("%12s  %s\n", "MISSING", file["path"].get<std::string>().c_str());
            }
        }
        std::printf("%zu files, %d missing\n", files.size(), missing);
    }
    if (missing > 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: %s: %d of %zu files are missing\n",
                     options.cache.c_str(), missing, files.size());
        return kExitNotWhole;
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------
// dump

namespace {

int dumpTime(const DumpOptions& options, int ticksPerFrame) {
    if (options.hasTime) {
        return options.time;
    }
    if (ticksPerFrame <= 0) {
        throw ToolError(kExitFileError, options.cache + ": the cache has no valid ticks per frame (" +
                                            std::to_string(ticksPerFrame) + "); use --time");
    }
    const double ticks = std::round(options.frame * ticksPerFrame);
    if (!std::isfinite(ticks) || ticks < std::numeric_limits<int>::min() ||
        ticks > std::numeric_limits<int>::max()) {
        throw ToolError(kExitBadArguments, "--frame " + std::to_string(options.frame) +
                                               " is outside the range of times");
    }
    return static_cast<int>(ticks);
}

std::string scalarText(double value, bool single) {
    char text[40];
    std::snprintf(text, sizeof text, single ? "%.9g" : "%.17g", value);
    return text;
}

double scalarAt(const void* data, qzCacheData::qzCacheDataType type, std::size_t index) {
    switch (type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray: return static_cast<const double*>(data)[index];
    case qzCacheData::kInt32Array: return static_cast<const int*>(data)[index];
    default: return static_cast<const float*>(data)[index];
    }
}

void printValues(const DumpOptions& options, json header, const void* data,
                 qzCacheData::qzCacheDataType type, unsigned int count) {
    const unsigned int width = qzCacheData::scalarsPerElement(type);
    const bool single = type == qzCacheData::kFloatArray || type == qzCacheData::kFloatVectorArray;
    if (options.format == "json") {
        json values = json::array();
        for (unsigned int element = 0; element < count; ++element) {
            json item = json::array();
            for (unsigned int k = 0; k < width; ++k) {
                const double value = scalarAt(data, type, std::size_t{element} * width + k);
                // Floats are written with the digits that identify the float, not its double.
                item.push_back(single ? std::strtod(scalarText(value, true).c_str(), nullptr)
                                      : value);
            }
            values.push_back(width == 1 ? item[0] : item);
        }
        header["values"] = values;
        std::printf("%s\n", header.dump(2).c_str());
        return;
    }
    const bool csv = options.format == "csv";
    if (csv) {
        std::printf(width == 3 ? "index,x,y,z\n" : "index,value\n");
    } else {
        std::printf("channel   %s (%s)\n", header["channel"].get<std::string>().c_str(),
                    header["type"].get<std::string>().c_str());
        std::printf("time      %d ticks = frame %s (%s, interpolation %s)\n",
                    header["time"].get<int>(), header["frame"].get<std::string>().c_str(),
                    header["stored"].get<bool>() ? "stored" : "interpolated",
                    header["interpolation"].get<std::string>().c_str());
        std::printf("elements  %u\n", count);
    }
    std::string line;
    for (unsigned int element = 0; element < count; ++element) {
        line = std::to_string(element) + (csv ? "," : ": ");
        for (unsigned int k = 0; k < width; ++k) {
            if (k > 0) line += csv ? "," : " ";
            line += scalarText(scalarAt(data, type, std::size_t{element} * width + k), single);
        }
        std::printf("%s\n", line.c_str());
    }
}

}  // namespace

int runDump(const DumpOptions& options) {
    OpenCache cache(options.cache);
    qzCacheFileAccessor& accessor = cache.accessor();
    const unsigned int channel = cache.channelIndex(options.channel);
    qzString::IString name;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    accessor.channelName(channel, name);
    accessor.channelDataType(channel, type);
    const std::string where = options.cache + ": channel \"" + toUtf8(name) + "\"";
    if (!qzCacheData::isArrayType(type)) {
        throw ToolError(kExitFileError, where + " is " + dataTypeName(type) +
                                            ": its values live in memory only, not in the files");
    }
    if (!cache.dataFileOpen()) {
        throw ToolError(kExitFileError,
                        cache.oneFileDataPath() + ": the data file does not open");
    }
    const int time = dumpTime(options, accessor.getTicksPerFrame());
    qzCacheChannel::qzCacheInterpolation interpolation = qzCacheChannel::kNoInterpolation;
    if (!options.interpolation.empty()) {
        parseInterpolation(options.interpolation, interpolation);
        accessor.setChannelInterpolation(channel, interpolation);
    }
    accessor.channelInterpolation(channel, interpolation);

    unsigned int count = 0;
    if (!accessor.getArrayLengthAtTime(channel, time, count)) {
        throw ToolError(kExitFileError, where + " has no readable sample at or before time " +
                                            std::to_string(time));
    }
    const std::size_t bytes = std::size_t{count} * qzCacheData::elementSize(type);
    if (bytes > cache.sampleSizeLimit(channel, time)) {
        throw ToolError(kExitFileError, where + ": a sample claims " + std::to_string(count) +
                                            " elements, more than its data file holds");
    }
    std::vector<double> buffer((bytes + sizeof(double) - 1) / sizeof(double) + 1);
    void* data = buffer.data();
    unsigned int length = 0;
    if (!accessor.getArrayDataAtTime(channel, time, count, data, length) || length != count) {
        throw ToolError(kExitFileError, where + ": no value at time " + std::to_string(time) +
                                            " with interpolation " +
                                            interpolationName(interpolation));
    }
    const json header = {{"cache", options.cache},
                         {"channel", toUtf8(name)},
                         {"type", dataTypeName(type)},
                         {"time", time},
                         {"frame", framesText(time, accessor.getTicksPerFrame())},
                         {"stored", accessor.hasDataAtTime(channel, time)},
                         {"interpolation", interpolationName(interpolation)},
                         {"count", count}};
    printValues(options, header, data, type, count);
    return kExitOk;
}

}  // namespace qztool
