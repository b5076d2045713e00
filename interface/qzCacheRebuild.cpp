// Rebuilding a lost description: the cache's data files found by their names, walked once by the
// cache checker, and described from what it found readable.
#include "qzCacheRebuild.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <utility>

#include "qzCacheFarmSupport.h"
#include "qzFileSystem.h"
#include "qzString.h"

namespace {

using qzFarm::AccessorHolder;

// A data file found by its name.
struct Found {
    std::string name;    // bare
    std::string format;  // "kcc" or "kcx", from the extension
    bool frameFile = false;
    std::int64_t frame = 0;
    std::int64_t tick = 0;
    int time = 0;  // frame files: frame × ticks per frame + tick
};

// "kc" and "kcx" name the two formats' data files; anything else is no data file.
bool formatOfExtension(const std::string& name, std::string& stem, std::string& format) {
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    const std::string extension = name.substr(dot + 1);
    if (extension != "kc" && extension != "kcx") return false;
    format = extension == "kcx" ? "kcx" : "kcc";
    stem = name.substr(0, dot);
    return true;
}

// A whole decimal number with an optional "-"; false for anything else or beyond 32 bits.
bool wholeNumber(const std::string& text, std::int64_t& value) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() - digits > 10) return false;
    value = 0;
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (digits == 1) value = -value;
    return value >= INT_MIN && value <= INT_MAX;
}

// "shotFrame12Tick125.kc" read back: frame 12, tick 125.
bool readFrameName(const std::string& name, const std::string& baseName, Found& found) {
    std::string stem;
    if (!formatOfExtension(name, stem, found.format) || stem.size() < baseName.size() + 5) return false;
    const std::string rest = stem.substr(baseName.size() + 5);  // after "Frame"
    const std::size_t mark = rest.find("Tick");
    found.tick = 0;
    if (!wholeNumber(rest.substr(0, mark), found.frame)) return false;
    if (mark != std::string::npos && !wholeNumber(rest.substr(mark + 4), found.tick)) return false;
    found.name = name;
    found.frameFile = true;
    return true;
}

class RebuildRun {
public:
    RebuildRun(const qzCacheRebuildOptions& options, qzCacheRebuildReport& report)
        : m_options(options), m_report(report), m_files(qzOS::defaultFileSystem()) {}

    bool run(const std::string& path);

private:
    bool fail(const std::string& message) {
        m_report.error = message;
        return false;
    }
    bool findDataFiles(const qzFarm::CacheFileNames& names);
    bool chooseFormat();
    bool timeFrameFiles();
    bool checkHeaders(const qzCacheCheckReport& check);
    bool describe(const qzCacheCheckReport& check);
    AccessorHolder makeAccessor() const;

    const qzCacheRebuildOptions& m_options;
    qzCacheRebuildReport& m_report;
    qzOS::FileSystem& m_files;
    std::string m_location;
    std::string m_baseName;
    std::vector<Found> m_found;
    bool m_readable = false;  // a description is there and reads
};

AccessorHolder RebuildRun::makeAccessor() const {
    AccessorHolder accessor(qzCacheFileAccessor::createQzCacheFileAccessor());
    if (!accessor) return accessor;
    accessor->setStorageLocation(qzString::IString(m_location.c_str(), 1));
    accessor->setBaseFileName(qzString::IString(m_baseName.c_str(), 1));
    accessor->setDistribution(m_report.layout);
    accessor->setCacheFormat(qzString::IString(m_report.format.c_str(), 1));
    accessor->setTimePerFrame(m_report.ticksPerFrame);
    return accessor;
}

// The layout: the one asked for, or the only one whose files are there.
bool RebuildRun::findDataFiles(const qzFarm::CacheFileNames& names) {
    std::vector<Found> oneFile;
    std::vector<Found> frameFiles;
    for (const std::string& name : names.oneFile) {
        Found found;
        std::string stem;
        formatOfExtension(name, stem, found.format);
        found.name = name;
        oneFile.push_back(found);
    }
    for (const std::string& name : names.frameFiles) {
        Found found;
        if (readFrameName(name, m_baseName, found)) frameFiles.push_back(found);
    }
    qzCacheFileAccessor::qzCacheFileDistribution layout = m_options.layout;
    if (layout == qzCacheFileAccessor::kNoDistribution) {
        if (!oneFile.empty() && !frameFiles.empty()) {
            return fail(m_report.description + ": both a one-file data file (" + oneFile.front().name +
                        ") and per-frame data files (" + frameFiles.front().name +
                        ") are there; choose the layout");
        }
        layout = frameFiles.empty() ? qzCacheFileAccessor::kOneFile : qzCacheFileAccessor::kOneFilePerFrame;
    }
    m_report.layout = layout;
    m_found = layout == qzCacheFileAccessor::kOneFile ? oneFile : frameFiles;
    if (m_found.empty()) {
        return fail(m_report.description + ": no data file of the cache (" + m_baseName +
                    (layout == qzCacheFileAccessor::kOneFile ? ".kc or .kcx" : "Frame*.kc or .kcx") +
                    ") in " + (m_location.empty() ? "the current directory" : m_location));
    }
    return true;
}

// One format: the one asked for, or the only one whose files are there.
bool RebuildRun::chooseFormat() {
    if (!m_options.format.empty()) {
        if (m_options.format != "kcc" && m_options.format != "kcx") {
            return fail(m_report.description + ": the format is \"" + m_options.format + "\"; kcc or kcx");
        }
        m_report.format = m_options.format;
        m_found.erase(std::remove_if(m_found.begin(), m_found.end(),
                                     [&](const Found& found) { return found.format != m_report.format; }),
                      m_found.end());
        if (m_found.empty()) return fail(m_report.description + ": no data file of format " + m_report.format);
        return true;
    }
    m_report.format = m_found.front().format;
    for (const Found& found : m_found) {
        if (found.format != m_report.format) {
            return fail(m_report.description + ": data files of both formats (" + m_found.front().name +
                        ", " + found.name + "); choose the format");
        }
    }
    return true;
}

// Each frame file's time from its name. A name the ticks per frame cannot give would never be
// found by a reader: the value is not the one the files were written with.
bool RebuildRun::timeFrameFiles() {
    AccessorHolder naming = makeAccessor();
    if (!naming) return fail(m_report.description + ": out of memory");
    for (Found& found : m_found) {
        const std::int64_t time = found.frame * m_report.ticksPerFrame + found.tick;
        if (time < INT_MIN || time > INT_MAX ||
            naming->constructDataFilePathForOneFilePerFrame(static_cast<int>(time)).utf8() !=
                m_location + found.name) {
            return fail(m_location + found.name + ": a name that " +
                        std::to_string(m_report.ticksPerFrame) +
                        " ticks per frame cannot give; give the ticks per frame the cache was "
                        "written with");
        }
        found.time = static_cast<int>(time);
    }
    std::sort(m_found.begin(), m_found.end(),
              [](const Found& a, const Found& b) { return a.time < b.time; });
    return true;
}

// A frame file's header holds its time. One that the name contradicts was written with another
// number of ticks per frame, and a description made with this one would move every sample.
bool RebuildRun::checkHeaders(const qzCacheCheckReport& check) {
    std::map<std::string, const Found*> byPath;
    for (const Found& found : m_found) byPath[m_location + found.name] = &found;
    const Found* contradicted = nullptr;
    int headerTime = 0;
    std::int64_t written = 0;  // the ticks per frame that every header agrees with, or -1
    for (const qzCacheCheckedFile& file : check.files) {
        const auto it = byPath.find(file.path);
        if (it == byPath.end() || !file.headerRead) continue;
        const Found& found = *it->second;
        if (file.startTime != found.time && contradicted == nullptr) {
            contradicted = &found;
            headerTime = file.startTime;
        }
        if (found.frame == 0 || written < 0) continue;
        const std::int64_t span = std::int64_t{file.startTime} - found.tick;
        const std::int64_t ticks = span % found.frame == 0 ? span / found.frame : -1;
        written = ticks > 0 && (written == 0 || written == ticks) ? ticks : -1;
    }
    if (contradicted == nullptr) return true;
    std::string message = m_location + contradicted->name + ": its header holds time " +
                          std::to_string(headerTime) + ", its name gives " +
                          std::to_string(contradicted->time) + " at " +
                          std::to_string(m_report.ticksPerFrame) + " ticks per frame";
    if (written > 0) {
        message += "; the files were written with " + std::to_string(written) + " ticks per frame";
    }
    return fail(message);
}

bool RebuildRun::describe(const qzCacheCheckReport& check) {
    AccessorHolder accessor = makeAccessor();
    if (!accessor) return fail(m_report.description + ": out of memory");
    for (const qzCacheFoundChannel& found : check.channels) {
        if (found.times.empty()) {
            qzCacheProblem problem;
            problem.kind = qzCacheProblem::kCorrupt;
            problem.file = m_report.description;
            problem.channel = found.name;
            problem.detail = "no record of the channel reads whole; it is left out";
            m_report.leftOut.push_back(std::move(problem));
            continue;
        }
        unsigned int index = 0;
        if (!accessor->addChannel(qzString::IString(found.name.c_str(), 1), qzString::IString(),
                                  found.type, index)) {
            return fail(m_report.description + ": channel \"" + found.name + "\" cannot be added");
        }
        if (!qzFarm::setSamplingFromTimes(*accessor, index, found.times)) {
            return fail(m_report.description + ": channel \"" + found.name +
                        "\" has more unevenly spaced times than a description can list");
        }
        qzCacheRebuiltChannel channel;
        channel.name = found.name;
        channel.type = found.type;
        channel.regular = accessor->isChannelSamplingRegular(index);
        channel.times = found.times.size();
        channel.startTime = found.times.front();
        channel.endTime = found.times.back();
        m_report.channels.push_back(std::move(channel));
    }
    if (m_report.channels.empty()) {
        return fail(m_report.description + ": no channel record in the data files reads whole");
    }
    if (!m_options.descriptionLine.empty()) {
        accessor->addDescriptionInfo(qzString::IString(m_options.descriptionLine.c_str(), 1));
    }
    // An unreadable description may still tell a person something: it is kept beside.
    const std::string& path = m_report.description;
    if (m_report.replaced && !m_readable) {
        bool linked = false;
        if (m_files.copyFile(path.c_str(), (path + ".unreadable").c_str(), false, linked)) {
            m_report.keptAs = path + ".unreadable";
        }
    }
    if (!accessor->endFileWrite()) return fail(path + ": the description cannot be written");
    return true;
}

bool RebuildRun::run(const std::string& path) {
    m_report.description = path;
    m_report.ticksPerFrame = m_options.ticksPerFrame;
    if (!qzFarm::splitDescriptionPath(path, m_location, m_baseName)) {
        return fail(path + ": a description file's name ends in \".xml\"");
    }
    if (m_options.ticksPerFrame <= 0) return fail(path + ": the ticks per frame must be above 0");
    qzFarm::CacheFileNames names;
    if (!qzFarm::findCacheFileNames(m_files, m_location, m_baseName, names)) {
        return fail(path + ": its directory does not exist or cannot be listed");
    }
    m_report.replaced = names.description;
    if (names.description) {
        AccessorHolder probe(qzCacheFileAccessor::createQzCacheFileAccessor());
        m_readable = probe && probe->readDescriptionFile(qzString::IString(m_baseName.c_str(), 1),
                                                         qzString::IString(m_location.c_str(), 1));
    }
    if (m_readable && !m_options.force) {
        return fail(path + ": a readable description is there; it is replaced only when forced");
    }
    if (!findDataFiles(names) || !chooseFormat()) return false;
    if (m_report.layout == qzCacheFileAccessor::kOneFilePerFrame && !timeFrameFiles()) return false;

    std::vector<qzCacheDataFileToCheck> files;
    for (const Found& found : m_found) {
        files.push_back({m_location + found.name, found.frameFile, found.time});
    }
    qzCacheChecker checker;
    checker.setProgress(m_options.progress, m_options.progressContext);
    const qzCacheCheckReport check = checker.checkDataFiles(files);
    m_report.dataFiles = check.filesChecked;
    m_report.bytes = check.bytesChecked;
    m_report.leftOut = check.problems;
    m_report.leftOutNotListed = check.problemsLeftOut;
    return checkHeaders(check) && describe(check);
}

}  // namespace

qzCacheRebuildReport qzCacheRebuild::rebuild(const std::string& descriptionPath,
                                             const qzCacheRebuildOptions& options) {
    qzCacheRebuildReport report;
    report.ok = RebuildRun(options, report).run(descriptionPath);
    return report;
}
