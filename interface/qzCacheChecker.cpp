// The cache checker: the description, the data files it implies, and the samples it lists that
// no file gave. The walk over each data file is in qzCacheCheckerWalk.cpp.
#include "qzCacheChecker.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <queue>
#include <utility>

#include "qzCacheCheckerWalk.h"
#include "qzCacheFarmSupport.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffIOPrivate.h"
#include "qzFileSystem.h"
#include "qzMemoryFileSystem.h"
#include "qzString.h"

using namespace qzCheck;

namespace {

constexpr unsigned int kDefaultListedProblems = 100;
constexpr std::uint64_t kDefaultMaxSamples = std::uint64_t{1} << 24;
// As many as the cache's own file list names.
constexpr std::uint64_t kDefaultMaxFrameFiles = std::uint64_t{1} << 20;

using qzFarm::AccessorHolder;

qzCacheProblem descriptionProblem(const std::string& path, std::string detail) {
    qzCacheProblem problem;
    problem.kind = qzCacheProblem::kDescriptionUnreadable;
    problem.file = path;
    problem.detail = std::move(detail);
    return problem;
}

// Calls visit(time) for each of the `count` times the channel lists, in increasing order.
template <typename Visit>
void forEachListedTime(qzCacheFileAccessor& accessor, unsigned int channel, std::uint64_t count,
                       Visit visit) {
    int time = 0;
    if (count == 0 || !accessor.getDataTime(channel, 0, time)) return;
    for (std::uint64_t index = 1;; ++index) {
        visit(time);
        int next = 0;
        if (index == count || !accessor.getNextTimeWithData(channel, time, next)) return;
        time = next;
    }
}

// Calls visit(time) for each time some of the channels lists, in increasing order and once
// each; the channels are merged through a heap. False, having stopped, after `limit` times.
template <typename Visit>
bool forEachCacheTime(qzCacheFileAccessor& accessor, const std::vector<Channel>& channels,
                      std::uint64_t limit, Visit visit) {
    using Entry = std::pair<int, unsigned int>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> pending;
    for (const Channel& channel : channels) {
        int first = 0;
        if (accessor.getDataTime(channel.index, 0, first)) pending.emplace(first, channel.index);
    }
    std::uint64_t visited = 0;
    while (!pending.empty()) {
        const int time = pending.top().first;
        while (!pending.empty() && pending.top().first == time) {
            const unsigned int channel = pending.top().second;
            pending.pop();
            int next = 0;
            if (accessor.getNextTimeWithData(channel, time, next)) pending.emplace(next, channel);
        }
        if (++visited > limit) return false;
        visit(time);
    }
    return true;
}

// The samples a walk did not find, charged to the problem that kept each from being read or
// reported as missing. `unexplained(channel, time)` reports one that no problem explains.
void chargeUnfound(qzCacheFileAccessor& accessor, Channels& channels,
                   std::vector<LostRange>& lost, ProblemList& problems,
                   const std::function<void(const Channel&, int)>& unexplained) {
    std::stable_sort(lost.begin(), lost.end(),
                     [](const LostRange& a, const LostRange& b) { return a.first < b.first; });
    for (Channel& channel : channels.all()) {
        if (!qzCacheData::isArrayType(channel.declared)) continue;
        std::sort(channel.found.begin(), channel.found.end());
        forEachListedTime(accessor, channel.index, accessor.getDataCount(channel.index), [&](int time) {
            if (std::binary_search(channel.found.begin(), channel.found.end(), time)) return;
            auto range = std::upper_bound(lost.begin(), lost.end(), time,
                                          [](int t, const LostRange& r) { return t < r.first; });
            if (range != lost.begin() && time <= (--range)->last) {
                problems.addLost(range->problem, 1);
            } else {
                unexplained(channel, time);
            }
        });
    }
}

class CacheCheck {
public:
    CacheCheck(qzCacheCheckReport& report, unsigned int listedProblems, ProgressSink progress)
        : m_report(report), m_problems(report, listedProblems), m_progress(progress) {}

    void run(const std::string& path, std::uint64_t maxSamples, std::uint64_t maxFrameFiles);

private:
    bool readDescription(const std::string& path);
    void checkOneFile();
    void checkFrameFiles(std::uint64_t maxFrameFiles);
    void reportMissing(const Channel& channel, int time, const std::string& file,
                       std::string detail);

    qzCacheCheckReport& m_report;
    ProblemList m_problems;
    ProgressSink m_progress;
    AccessorHolder m_accessor;
    std::unique_ptr<Channels> m_channels;
    std::vector<LostRange> m_lost;
};

bool CacheCheck::readDescription(const std::string& path) {
    std::string location;
    std::string baseName;
    if (!qzFarm::splitDescriptionPath(path, location, baseName)) {
        m_problems.add(descriptionProblem(path, "a description file's name ends in \".xml\""));
        return false;
    }
    qzOS::FileStatus status;
    if (!qzOS::defaultFileSystem().status(path.c_str(), status)) {
        m_problems.add(descriptionProblem(path, "the file does not exist"));
        return false;
    }
    m_accessor.reset(qzCacheFileAccessor::createQzCacheFileAccessor());
    if (!m_accessor || !m_accessor->readDescriptionFile(qzString::IString(baseName.c_str(), 1),
                                                        qzString::IString(location.c_str(), 1))) {
        m_problems.add(descriptionProblem(path, "not a readable cache description"));
        return false;
    }
    if (m_accessor->distribution() == qzCacheFileAccessor::kOneFilePerFrame &&
        m_accessor->getTicksPerFrame() <= 0) {
        m_problems.add(descriptionProblem(
            path, "a per-frame cache without a positive frame length names no frame file"));
        return false;
    }
    // The accessor's own reader, through which irregular channels learn their times.
    qzCacheFileIO* reader = new qzCacheFileIffIO(qzCacheFileIO::kRead, m_accessor->cacheFormat());
    m_accessor->setFileAccessor(reader);
    if (m_accessor->distribution() == qzCacheFileAccessor::kOneFile) {
        reader->open(m_accessor->constructDataFilePathForOneFile());
    }
    return true;
}

void CacheCheck::run(const std::string& path, std::uint64_t maxSamples, std::uint64_t maxFrameFiles) {
    m_report.description = path;
    if (!readDescription(path)) return;
    m_channels.reset(new Channels(m_accessor.get()));
    for (const Channel& channel : m_channels->all()) {
        if (qzCacheData::isArrayType(channel.declared)) {
            m_report.samplesExpected += m_accessor->getDataCount(channel.index);
        }
    }
    if (m_report.samplesExpected > maxSamples) {
        m_problems.add(descriptionProblem(
            path, "lists " + std::to_string(m_report.samplesExpected) +
                      " samples, more than the check walks (" + std::to_string(maxSamples) + ")"));
        return;
    }
    if (m_accessor->distribution() == qzCacheFileAccessor::kOneFile) {
        checkOneFile();
    } else {
        checkFrameFiles(maxFrameFiles);
    }
}

std::vector<Channel> arrayChannels(Channels& channels) {
    std::vector<Channel> result;
    for (const Channel& channel : channels.all()) {
        if (qzCacheData::isArrayType(channel.declared)) result.push_back(channel);
    }
    return result;
}

void CacheCheck::reportMissing(const Channel& channel, int time, const std::string& file,
                               std::string detail) {
    qzCacheProblem problem;
    problem.kind = qzCacheProblem::kSampleMissing;
    problem.file = file;
    problem.hasTime = true;
    problem.time = time;
    problem.channel = channel.name;
    problem.detail = std::move(detail);
    problem.lostSamples = 1;
    m_problems.add(std::move(problem));
}

void CacheCheck::checkOneFile() {
    m_report.dataFiles = 1;
    forEachCacheTime(*m_accessor, arrayChannels(*m_channels), UINT64_MAX,
                     [&](int) { ++m_progress.total; });
    DataFile file;
    file.path = m_accessor->constructDataFilePathForOneFile().utf8();
    file.timed = true;
    qzWrittenTimeGroups(*m_accessor, file.timeGroups);
    qzCacheFileIffIO reader(qzCacheFileIO::kRead, m_accessor->cacheFormat());
    WalkContext context{*m_channels, m_problems, m_report, m_progress};
    FileOutcome outcome =
        checkDataFileAt(reader, qzOS::defaultFileSystem(), file, context);
    m_lost = std::move(outcome.lost);
    // A file that reads to its end without damage but lacks the last times listed ends early:
    // cut off between two time groups.
    std::size_t endsEarly = kNotListed;
    bool endsEarlyMade = false;
    chargeUnfound(*m_accessor, *m_channels, m_lost, m_problems, [&](const Channel& channel, int time) {
        if (outcome.sawGroup && time <= outcome.lastTime) {
            reportMissing(channel, time, file.path,
                          "the description lists it; the data file holds no record of it");
            return;
        }
        if (!endsEarlyMade) {
            endsEarlyMade = true;
            qzCacheProblem problem;
            problem.kind = qzCacheProblem::kTruncated;
            problem.file = file.path;
            problem.hasOffset = qzOS::fileSize(file.path.c_str(), problem.offset);
            problem.detail = outcome.sawGroup ? "the file ends after time " +
                                                    std::to_string(outcome.lastTime) +
                                                    "; the description lists later samples"
                                              : "the file holds no time group";
            endsEarly = m_problems.add(std::move(problem));
        }
        m_problems.addLost(endsEarly, 1);
    });
}

void CacheCheck::checkFrameFiles(std::uint64_t maxFrameFiles) {
    std::vector<int> times;
    const bool listed = forEachCacheTime(*m_accessor, arrayChannels(*m_channels), maxFrameFiles,
                                         [&](int time) { times.push_back(time); });
    if (!listed) {
        m_problems.add(descriptionProblem(
            m_report.description, "lists more than " + std::to_string(maxFrameFiles) +
                                      " frame files, more than the check walks"));
        return;
    }
    m_report.dataFiles = times.size();
    m_progress.total = times.size();
    qzCacheFileIffIO reader(qzCacheFileIO::kRead, m_accessor->cacheFormat());
    WalkContext context{*m_channels, m_problems, m_report, m_progress};
    for (int time : times) {
        DataFile file;
        file.path = m_accessor->constructDataFilePathForOneFilePerFrame(time).utf8();
        file.timed = false;
        file.frameTime = time;
        FileOutcome outcome = checkDataFileAt(reader, qzOS::defaultFileSystem(), file, context);
        if (!outcome.walked) m_progress.step(m_report);
        m_lost.insert(m_lost.end(), outcome.lost.begin(), outcome.lost.end());
    }
    chargeUnfound(*m_accessor, *m_channels, m_lost, m_problems, [&](const Channel& channel, int time) {
        reportMissing(channel, time, m_accessor->constructDataFilePathForOneFilePerFrame(time).utf8(),
                      "the description lists it; its frame file holds no record of it");
    });
}

// The header's times, which qzCacheFileIO keeps for the formats derived from it.
class HeaderReader : public qzCacheFileIffIO {
public:
    // An empty format takes the variant from each file's first bytes.
    explicit HeaderReader(qzOS::FileSystem& files) : qzCacheFileIffIO(kRead, qzString::IString()) {
        qzUseFileSystem(*this, files);
    }
    int headerStart() const { return m_startTime; }
    int headerEnd() const { return m_endTime; }
};

// Data files walked without a description, as one set: the channels are learnt from the records
// met, and their types kept from file to file.
void checkWithoutDescription(qzCacheCheckReport& report, qzOS::FileSystem& fileSystem,
                             const std::vector<DataFile>& files, unsigned int listedProblems,
                             const ProgressSink& progress) {
    report.dataFiles = files.size();
    ProblemList problems(report, listedProblems);
    Channels channels(nullptr);
    WalkContext context{channels, problems, report, progress};
    for (const DataFile& file : files) {
        HeaderReader reader(fileSystem);
        const FileOutcome outcome = checkDataFileAt(reader, fileSystem, file, context);
        if (!outcome.walked) {
            progress.step(report);
            continue;
        }
        report.files.push_back({file.path, true, reader.headerStart(), reader.headerEnd()});
    }
    for (Channel& channel : channels.all()) {
        report.samplesExpected += channel.found.size();
        qzCacheFoundChannel found;
        found.name = channel.name;
        found.type = qzCacheData::isArrayType(channel.stored) ? channel.stored : qzCacheData::kUnknownData;
        std::sort(channel.readWhole.begin(), channel.readWhole.end());
        channel.readWhole.erase(std::unique(channel.readWhole.begin(), channel.readWhole.end()),
                                channel.readWhole.end());
        found.times = std::move(channel.readWhole);
        report.channels.push_back(std::move(found));
    }
}

}  // namespace

const char* qzCacheProblem::kindName(Kind kind) {
    switch (kind) {
    case kDescriptionUnreadable: return "description-unreadable";
    case kDataFileMissing: return "data-file-missing";
    case kTruncated: return "truncated";
    case kCorrupt: return "corrupt";
    case kUnknownRecord: return "unknown-record";
    case kTypeDiffers: return "type-differs";
    case kCountDiffers: return "count-differs";
    case kSampleMissing: return "sample-missing";
    }
    return "unknown";
}

qzCacheChecker::qzCacheChecker()
    : m_maxListedProblems(kDefaultListedProblems),
      m_maxSamples(kDefaultMaxSamples),
      m_maxFrameFiles(kDefaultMaxFrameFiles),
      m_progress(nullptr),
      m_progressContext(nullptr) {}

void qzCacheChecker::setMaxListedProblems(unsigned int count) { m_maxListedProblems = count; }

void qzCacheChecker::setMaxSamples(std::uint64_t samples, std::uint64_t frameFiles) {
    m_maxSamples = samples;
    m_maxFrameFiles = frameFiles;
}

void qzCacheChecker::setProgress(Progress progress, void* context) {
    m_progress = progress;
    m_progressContext = context;
}

qzCacheCheckReport qzCacheChecker::checkCache(const char* descriptionPath) const {
    qzCacheCheckReport report;
    ProgressSink progress;
    progress.callback = m_progress;
    progress.context = m_progressContext;
    CacheCheck(report, m_maxListedProblems, progress)
        .run(descriptionPath != nullptr ? descriptionPath : "", m_maxSamples, m_maxFrameFiles);
    return report;
}

qzCacheCheckReport qzCacheChecker::checkDataFile(const char* dataFilePath) const {
    qzCacheCheckReport report;
    ProgressSink progress;
    progress.callback = m_progress;
    progress.context = m_progressContext;
    DataFile file;
    file.path = dataFilePath != nullptr ? dataFilePath : "";
    file.learnTiming = true;
    checkWithoutDescription(report, qzOS::defaultFileSystem(), std::vector<DataFile>{file},
                            m_maxListedProblems, progress);
    return report;
}

qzCacheCheckReport qzCacheChecker::checkDataFileBytes(const void* bytes, std::size_t size,
                                                      const char* name) const {
    qzOS::MemoryFileSystem files;
    DataFile file;
    file.path = name != nullptr && *name != '\0' ? name : "memory";
    file.learnTiming = true;
    files.addView(file.path, bytes, size);
    qzCacheCheckReport report;
    checkWithoutDescription(report, files, std::vector<DataFile>{file}, m_maxListedProblems,
                            ProgressSink{m_progress, m_progressContext, 0});
    return report;
}

qzCacheCheckReport qzCacheChecker::checkDataFiles(
    const std::vector<qzCacheDataFileToCheck>& files) const {
    qzCacheCheckReport report;
    ProgressSink progress;
    progress.callback = m_progress;
    progress.context = m_progressContext;
    std::vector<DataFile> walks;
    walks.reserve(files.size());
    for (const qzCacheDataFileToCheck& entry : files) {
        DataFile file;
        file.path = entry.path;
        file.timed = !entry.frameFile;
        file.frameTime = entry.time;
        if (entry.frameFile) ++progress.total;
        walks.push_back(std::move(file));
    }
    checkWithoutDescription(report, qzOS::defaultFileSystem(), walks, m_maxListedProblems,
                            progress);
    return report;
}
