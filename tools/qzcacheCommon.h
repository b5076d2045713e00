// Shared pieces of the qzcache tool: exit statuses, the error that carries one, opening a
// cache from the path of its description file, and names for the library's enumerations.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "qzCacheChannel.h"
#include "qzCacheData.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"

namespace qztool {

// Exit statuses of every command.
enum ExitStatus : int {
    kExitOk = 0,
    kExitNotWhole = 1,      // the cache is not whole, or a check of the demo failed
    kExitBadArguments = 2,  // the command line could not be used
    kExitFileError = 3      // a cache or file could not be read or written
};

// A failure that ends the command: one line for stderr and the exit status.
class ToolError : public std::runtime_error {
public:
    ToolError(int status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

// Storage location (directory with a trailing "/") and base name of a cache, from the path of
// its description file ("dir/shot.xml" -> "dir/", "shot").
struct CachePath {
    std::string description;
    std::string location;
    std::string baseName;
};
CachePath splitCachePath(const std::string& descriptionPath);

// A cache opened for reading through the facade. The description is read and a reader is
// installed; for a one-file cache `dataFileOpen` tells whether the data file opened, so that
// commands that report on damaged caches can go on without it.
class OpenCache {
public:
    // Throws ToolError (kExitFileError) when the description file is missing or unreadable.
    explicit OpenCache(const std::string& descriptionPath);

    const CachePath& path() const { return m_path; }
    qzCacheFileInterface& facade() { return *m_facade; }
    qzCacheFileAccessor& accessor() { return *m_facade->accessor(); }
    bool dataFileOpen() const { return m_dataFileOpen; }
    std::string oneFileDataPath();
    bool isOneFile() { return accessor().distribution() == qzCacheFileAccessor::kOneFile; }

    // Throws ToolError (kExitFileError) when the channels list more stored times than the
    // tool walks (a damaged or hostile description); the limit keeps every command bounded.
    void checkStoredTimes();

    // A channel given by name or, failing that, by index; throws ToolError
    // (kExitBadArguments) when neither matches.
    unsigned int channelIndex(const std::string& nameOrIndex);

    // The largest data file a sample of `channel` near `time` could come from: no array read
    // from the cache can be larger, whatever its size record claims. 0 when none is found.
    std::uintmax_t sampleSizeLimit(unsigned int channel, int time);

private:
    CachePath m_path;
    std::unique_ptr<qzCacheFileInterface> m_facade;
    bool m_dataFileOpen = false;
};

// What `qzcache info --format json` prints (qzcacheQuery.cpp).
nlohmann::json infoJson(OpenCache& cache);

std::string toUtf8(const qzString::IString& text);
qzString::IString fromUtf8(const std::string& text);

std::string dataTypeName(qzCacheData::qzCacheDataType type);
std::string interpolationName(qzCacheChannel::qzCacheInterpolation interpolation);
// The command-line spelling ("none", "previous", "next", "linear", "catmull-rom").
bool parseInterpolation(const std::string& text, qzCacheChannel::qzCacheInterpolation& out);
std::string layoutName(qzCacheFileAccessor::qzCacheFileDistribution distribution);

// Ticks as frames, e.g. "1.5"; shortest text that reads back exactly.
std::string framesText(std::int64_t ticks, int ticksPerFrame);
// A byte count for people: "24.1 MB".
std::string sizeText(std::uintmax_t bytes);

// Size of a file, and whether it exists; no throw.
bool fileSize(const std::string& path, std::uintmax_t& size);

}  // namespace qztool
