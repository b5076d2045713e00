// The walk over one data file that the cache checker runs. It works through a reader already
// open on the file, so that a data file held anywhere a reader can open (a file system, a
// buffer in memory) is walked alike. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "qzCacheChecker.h"
#include "qzCacheData.h"

class qzCacheFileAccessor;
class qzCacheFileIffIO;
namespace qzOS {
class FileSystem;
}  // namespace qzOS

namespace qzCheck {

constexpr std::size_t kNotListed = static_cast<std::size_t>(-1);

// The problems of one report: listed up to a limit, counted beyond it.
class ProblemList {
public:
    ProblemList(qzCacheCheckReport& report, unsigned int limit) : m_report(report), m_limit(limit) {}
    // The problem's place in the report, or kNotListed when it was only counted.
    std::size_t add(qzCacheProblem problem);
    void addLost(std::size_t problem, std::uint64_t samples);

private:
    qzCacheCheckReport& m_report;
    unsigned int m_limit;
};

struct Channel {
    std::string name;
    unsigned int index = 0;  // in the accessor
    qzCacheData::qzCacheDataType declared = qzCacheData::kUnknownData;
    // The type its records were last read as; kUnknownData until one was.
    qzCacheData::qzCacheDataType stored = qzCacheData::kUnknownData;
    bool hasFirstCount = false;
    unsigned int firstCount = 0;
    int firstCountTime = 0;
    std::vector<int> found;  // times at which a record of the channel was met
    std::vector<int> readWhole;  // times whose record read whole as `stored`
};

// The channels a walk knows by name: the description's, or those learnt from a data file
// checked alone.
class Channels {
public:
    // Without an accessor the channels are learnt from the records met.
    explicit Channels(qzCacheFileAccessor* accessor);
    bool described() const { return m_accessor != nullptr; }
    // Null for a name the description does not have; a new channel when there is none.
    Channel* find(const std::string& name);
    // Whether the description lists a sample of the channel at `time`.
    bool lists(const Channel& channel, int time) const;
    std::vector<Channel>& all() { return m_channels; }

private:
    qzCacheFileAccessor* m_accessor;
    std::vector<Channel> m_channels;
    std::unordered_map<std::string, std::size_t> m_byName;
};

// Samples of the times from `first` to `last` that `problem` left unreadable.
struct LostRange {
    int first;
    int last;
    std::size_t problem;
};

// What a walk leaves behind for the samples it did not find.
struct FileOutcome {
    bool walked = false;     // opened, header read
    bool sawGroup = false;
    int lastTime = 0;        // of the last time group walked (one-file caches)
    std::vector<LostRange> lost;
};

// Called after each time group walked.
struct ProgressSink {
    qzCacheChecker::Progress callback = nullptr;
    void* context = nullptr;
    std::uint64_t total = 0;
    void step(const qzCacheCheckReport& report) const {
        if (callback) callback(context, report.timesChecked, total);
    }
};

// One data file to walk. `timed`: its time groups begin with their time (a one-file cache);
// otherwise they hold the one time `frameTime` (a frame file). `learnTiming` lets the walk find
// out which, for a file checked alone.
struct DataFile {
    std::string path;
    std::uint64_t bytes = 0;
    bool timed = true;
    bool learnTiming = false;
    int frameTime = 0;
    // The time groups walked at most: those a cache still being written names; its writer's
    // unfinished work follows them.
    std::uint64_t timeGroups = UINT64_MAX;
};

struct WalkContext {
    Channels& channels;
    ProblemList& problems;
    qzCacheCheckReport& report;
    const ProgressSink& progress;
};

// Walks a data file through `reader`, whose open (and so the header) succeeded: every time
// group, every record, every array, each checked against the channels.
FileOutcome walkOpenDataFile(qzCacheFileIffIO& reader, const DataFile& file, WalkContext& context);
// Opens `file.path` with `reader`, which reads from `files`, and walks it; a file that is missing
// or whose header does not read is reported as such.
FileOutcome checkDataFileAt(qzCacheFileIffIO& reader, qzOS::FileSystem& files, DataFile file,
                            WalkContext& context);

}  // namespace qzCheck
