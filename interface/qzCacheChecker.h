// Checks a cache for damage: its description and every data file the description implies,
// walked with the library's own readers. `qzcache verify`, the fuzz targets and the damage
// tests all use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qzCacheData.h"
#include "qzCacheExport.h"

// One thing wrong with a cache.
struct QZCACHE_API qzCacheProblem {
    enum Kind : int {
        // Missing, unparsable, or naming data that no file can hold (a per-frame cache without
        // a positive frame length, more samples than the checker walks).
        kDescriptionUnreadable = 1,
        // A data file the description implies does not exist or cannot be opened.
        kDataFileMissing = 2,
        // A data file ends inside its data: cut off, or left unfinished by its writer.
        kTruncated = 3,
        // Sizes, tags or records that contradict each other while bytes remain.
        kCorrupt = 4,
        // A channel record the description does not list: its channel, or its time.
        kUnknownRecord = 5,
        // A record whose array is of another type than its channel's.
        kTypeDiffers = 6,
        // A vector channel whose element count changes from one time to another.
        kCountDiffers = 7,
        // A sample the description lists, absent from an otherwise sound data file.
        kSampleMissing = 8
    };
    // A stable name for each kind ("truncated", "type-differs", ...); "unknown" for others.
    static const char* kindName(Kind kind);

    Kind kind = kCorrupt;
    std::string file;  // UTF-8 path of the file concerned
    bool hasOffset = false;
    std::uint64_t offset = 0;  // where in `file` the damaged group or chunk begins
    bool hasTime = false;
    int time = 0;  // in ticks
    std::string channel;  // UTF-8 channel name; empty when the problem is not about one
    std::string detail;   // one line for people
    // Samples the description lists that this problem leaves unreadable.
    std::uint64_t lostSamples = 0;
};

// A channel met in data files checked without a description.
struct QZCACHE_API qzCacheFoundChannel {
    std::string name;  // UTF-8
    // The type of its first record that read whole; kUnknownData when none did.
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    // Ascending, each once: the times whose record read whole as `type`.
    std::vector<int> times;
};

// A data file that a check without a description opened, and the times its header records (a
// frame file's own time as both).
struct QZCACHE_API qzCacheCheckedFile {
    std::string path;  // UTF-8
    bool headerRead = false;
    int startTime = 0;
    int endTime = 0;
};

// One data file for a check without a description: a one-file cache's data file, whose time
// groups carry their times, or a frame file, whose one time group is at `time`.
struct QZCACHE_API qzCacheDataFileToCheck {
    std::string path;  // UTF-8
    bool frameFile = false;
    int time = 0;
};

// What a check found, and how much it looked at. A plain value to copy and keep. Its strings
// and list are the standard library's, as qzString::IString's own members are: a host already
// shares the library's C++ runtime.
struct QZCACHE_API qzCacheCheckReport {
    std::string description;  // UTF-8 path; empty when a data file was checked alone
    std::uint64_t dataFiles = 0;        // data files the description implies
    std::uint64_t filesChecked = 0;     // of those, opened and walked
    std::uint64_t bytesChecked = 0;     // the bytes of the files walked
    std::uint64_t timesChecked = 0;     // time groups walked
    std::uint64_t samplesExpected = 0;  // array samples the description lists
    std::uint64_t samplesChecked = 0;   // records read whole and as described
    // In the order found, as many as the checker lists; the rest are only counted.
    std::vector<qzCacheProblem> problems;
    std::uint64_t problemsLeftOut = 0;
    // Filled by the checks without a description: every channel met, in the order met, and
    // every data file that opened.
    std::vector<qzCacheFoundChannel> channels;
    std::vector<qzCacheCheckedFile> files;

    bool whole() const { return problems.empty() && problemsLeftOut == 0; }
};

class QZCACHE_API qzCacheChecker {
public:
    // Called after each time group: how many were walked, of how many the description lists
    // (0 when not known).
    using Progress = void (*)(void* context, std::uint64_t done, std::uint64_t total);

    qzCacheChecker();

    // Problems listed in a report (default 100); more are counted in problemsLeftOut.
    void setMaxListedProblems(unsigned int count);
    // The most samples a description may list (default 2^24) and the most frame files a
    // per-frame cache may have (default 2^20) for the check to walk them; a description that
    // lists more is reported and its data files are not walked. Keeps a damaged or hostile
    // description from making the check run for hours.
    void setMaxSamples(std::uint64_t samples, std::uint64_t frameFiles);
    void setProgress(Progress progress, void* context);

    // The cache whose description file is at `descriptionPath` (UTF-8, "dir/shot.xml"). Reads
    // the description, opens every data file it implies (the one file, or one per stored time)
    // and walks it: the container, the header, each time group, each channel record and its
    // array. Never changes a file. Problems are reported, not thrown.
    qzCacheCheckReport checkCache(const char* descriptionPath) const;
    // One data file on its own ("kc" or "kcx"): its container, header, time groups and
    // records. Without a description, each channel's type is learnt from its first record.
    qzCacheCheckReport checkDataFile(const char* dataFilePath) const;
    // The same for a data file held in memory (`size` bytes, read where they are, never
    // changed). `name` stands for the file in the report.
    qzCacheCheckReport checkDataFileBytes(const void* bytes, std::size_t size,
                                          const char* name = "memory") const;
    // The data files of a cache whose description is missing, walked as one set: each as
    // checkDataFile walks one, with the channels' types learnt from their first records and
    // kept from file to file.
    qzCacheCheckReport checkDataFiles(const std::vector<qzCacheDataFileToCheck>& files) const;

private:
    unsigned int m_maxListedProblems;
    std::uint64_t m_maxSamples;
    std::uint64_t m_maxFrameFiles;
    Progress m_progress;
    void* m_progressContext;
};
