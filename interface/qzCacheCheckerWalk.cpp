#include "qzCacheCheckerWalk.h"

#include <climits>
#include <utility>

#include "qzCacheArrayIO.h"
#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileIffIO.h"
#include "qzFileSystem.h"
#include "qzString.h"

namespace qzCheck {

namespace {

// A run of this many chunks that are no channel record ends a group for the walk: a damaged
// record is a few chunks, and asking again at a group's end reads nothing.
constexpr unsigned int kMissesBeforeEnd = 8;
// Records per file whose array is read again as each other type, to tell a type that differs
// from a damaged record. Each look goes back to the record first.
constexpr unsigned int kProbesPerFile = 64;

const qzCacheData::qzCacheDataType kArrayTypes[] = {
    qzCacheData::kFloatVectorArray, qzCacheData::kDoubleVectorArray, qzCacheData::kFloatArray,
    qzCacheData::kDoubleArray, qzCacheData::kInt32Array};

std::string typeName(qzCacheData::qzCacheDataType type) {
    return qzCacheDescriptionIO::dataTypeName(static_cast<qzCacheDescriptionIO::DataType>(type));
}

class Walk {
public:
    Walk(qzCacheFileIffIO& reader, const DataFile& file, WalkContext& context)
        : m_reader(reader), m_file(file), m_timed(file.timed), m_context(context) {}

    FileOutcome run();

private:
    void learnTiming();
    bool enterGroup(int& time);
    void walkRecords(int time);
    void checkRecord(const std::string& name, int time, unsigned int occurrence);
    void checkArray(Channel& channel, int time, unsigned int count, unsigned int occurrence);
    bool readAs(qzCacheData::qzCacheDataType type, unsigned int count);
    void passOverArray();
    bool backToRecord(int time, const std::string& name, unsigned int occurrence);
    void judgeCount(Channel& channel, int time, unsigned int count);
    bool hasNewDamage() const;
    bool noteDamage(bool hasTime, int time, std::size_t& listed);
    void lose(int first, int last, std::size_t problem) { m_outcome.lost.push_back({first, last, problem}); }
    void loseUntil(int time);
    qzCacheProblem problem(qzCacheProblem::Kind kind, const std::string& channel, int time,
                           std::string detail) const;
    std::size_t report(qzCacheProblem::Kind kind, const std::string& channel, int time,
                       std::string detail) {
        return m_context.problems.add(problem(kind, channel, time, std::move(detail)));
    }

    qzCacheFileIffIO& m_reader;
    const DataFile& m_file;
    bool m_timed;
    WalkContext& m_context;
    FileOutcome m_outcome;
    unsigned int m_group = 0;  // time groups entered so far, the current one included
    bool m_timesIncrease = true;
    // A group whose time did not read loses its samples up to the next time found.
    bool m_losingUntilNextTime = false;
    unsigned int m_probesLeft = kProbesPerFile;
    qzCacheFileIffIO::qzReadDamage m_noted = qzCacheFileIffIO::kNotDamaged;
    std::uint64_t m_notedOffset = 0;
    bool m_corruptBefore = false;
    std::vector<double> m_buffer;
};

qzCacheProblem Walk::problem(qzCacheProblem::Kind kind, const std::string& channel, int time,
                             std::string detail) const {
    qzCacheProblem found;
    found.kind = kind;
    found.file = m_file.path;
    found.hasTime = true;
    found.time = time;
    found.channel = channel;
    found.detail = std::move(detail);
    return found;
}

bool Walk::hasNewDamage() const {
    std::uint64_t offset = 0;
    const qzCacheFileIffIO::qzReadDamage damage = m_reader.readDamage(offset);
    return damage != qzCacheFileIffIO::kNotDamaged && (damage != m_noted || offset != m_notedOffset);
}

// Reports a read failure of the container met since the last one: true, with its place in the
// report (kNotListed when it was only counted).
bool Walk::noteDamage(bool hasTime, int time, std::size_t& listed) {
    if (!hasNewDamage()) return false;
    m_noted = m_reader.readDamage(m_notedOffset);
    // Past corrupt sizes the positions read are guesses: a file that seems to end inside a group
    // there shows no cut, only what the earlier damage did.
    const bool cut = m_noted == qzCacheFileIffIO::kTruncatedFile && !m_corruptBefore;
    m_corruptBefore = m_corruptBefore || !cut;
    qzCacheProblem found = problem(cut ? qzCacheProblem::kTruncated : qzCacheProblem::kCorrupt,
                                   std::string(), time, m_reader.lastError());
    found.hasTime = hasTime;
    found.hasOffset = true;
    found.offset = m_notedOffset;
    listed = m_context.problems.add(std::move(found));
    return true;
}

// Ends the range of times lost to a group whose time did not read, before `time`.
void Walk::loseUntil(int time) {
    if (!m_losingUntilNextTime) return;
    m_losingUntilNextTime = false;
    if (time > INT_MIN) {
        m_outcome.lost.back().last = time - 1;
    } else {
        m_outcome.lost.pop_back();
    }
}

FileOutcome Walk::run() {
    m_outcome.walked = true;
    if (m_file.learnTiming) learnTiming();
    int time = 0;
    while (enterGroup(time)) {
        if (!m_timed && m_group > 1) {
            report(qzCacheProblem::kCorrupt, std::string(), time,
                   "a frame file holds more than one time group; reads use the first");
            m_reader.endReadChunk();
            break;
        }
        ++m_context.report.timesChecked;
        walkRecords(time);
        m_reader.endReadChunk();
        std::size_t listed = kNotListed;
        // What damage inside the group kept from being read is lost to it.
        if (noteDamage(true, time, listed)) lose(time, time, listed);
        m_outcome.sawGroup = true;
        m_outcome.lastTime = time;
        m_context.progress.step(m_context.report);
    }
    // Damage that ended the readable groups takes every later time with it.
    std::size_t listed = kNotListed;
    if (noteDamage(!m_timed, m_file.frameTime, listed)) {
        if (!m_timed) {
            lose(m_file.frameTime, m_file.frameTime, listed);
        } else if (!m_outcome.sawGroup) {
            lose(INT_MIN, INT_MAX, listed);
        } else if (m_outcome.lastTime < INT_MAX) {
            lose(m_outcome.lastTime + 1, INT_MAX, listed);
        }
    }
    if (!m_timed && !m_outcome.sawGroup && m_noted == qzCacheFileIffIO::kNotDamaged) {
        qzCacheProblem found = problem(qzCacheProblem::kTruncated, std::string(), m_file.frameTime,
                                       "the frame file ends after its header");
        found.hasOffset = true;
        found.offset = m_file.bytes;
        lose(m_file.frameTime, m_file.frameTime, m_context.problems.add(std::move(found)));
    }
    return m_outcome;
}

// A file checked alone is a frame file unless its first group begins with a time.
void Walk::learnTiming() {
    int time = 0;
    m_timed = m_reader.beginReadChunk() && m_reader.readTime(time);
    m_reader.rewind();
}

// Enters the next time group, with its time: read from the group, or the frame file's. A group
// whose time does not read is reported and passed over.
bool Walk::enterGroup(int& time) {
    for (;;) {
        if (m_group >= m_file.timeGroups || !m_reader.beginReadChunk()) return false;
        ++m_group;
        if (!m_timed) {
            time = m_file.frameTime;
            return true;
        }
        const int previous = m_outcome.lastTime;
        if (m_reader.readTime(time)) {
            loseUntil(time);
            if (m_outcome.sawGroup && time <= previous) {
                m_timesIncrease = false;
                report(qzCacheProblem::kCorrupt, std::string(), time,
                       "time group " + std::to_string(time) + " follows time group " +
                           std::to_string(previous) +
                           (time == previous ? ": reads find only the first"
                                             : ": reads find times only while they increase"));
            }
            return true;
        }
        m_timesIncrease = false;
        std::size_t listed = kNotListed;
        if (!noteDamage(false, previous, listed)) {
            qzCacheProblem found = problem(
                qzCacheProblem::kCorrupt, std::string(), previous,
                m_outcome.sawGroup ? "a time group without its time, after time " + std::to_string(previous)
                                   : "the first time group has no time");
            found.hasTime = false;
            listed = m_context.problems.add(std::move(found));
        }
        // Reads cannot find its samples: they are lost from the previous time up to the next
        // time found.
        if (!m_losingUntilNextTime && (!m_outcome.sawGroup || previous < INT_MAX)) {
            lose(m_outcome.sawGroup ? previous + 1 : INT_MIN, INT_MAX, listed);
            m_losingUntilNextTime = true;
        }
        m_reader.endReadChunk();
    }
}

void Walk::walkRecords(int time) {
    std::unordered_map<std::string, unsigned int> seen;
    unsigned int misses = 0;
    while (misses < kMissesBeforeEnd) {
        qzString::IString name;
        if (!m_reader.readChannelName(name)) {
            // Damage to the container ends the group; anything else may be a stray chunk.
            if (hasNewDamage()) break;
            ++misses;
            continue;
        }
        const std::string text = name.utf8();
        if (misses > 0) {
            report(qzCacheProblem::kCorrupt, text, time,
                   std::to_string(misses) + " chunk(s) that are no channel record before it");
            misses = 0;
        }
        checkRecord(text, time, ++seen[text]);
    }
}

void Walk::checkRecord(const std::string& name, int time, unsigned int occurrence) {
    Channel* channel = m_context.channels.find(name);
    if (channel == nullptr) {
        report(qzCacheProblem::kUnknownRecord, name, time, "the description names no such channel");
        m_reader.readArraySize();
        passOverArray();
        return;
    }
    channel->found.push_back(time);
    if (occurrence > 1) {
        report(qzCacheProblem::kCorrupt, name, time,
               "record number " + std::to_string(occurrence) +
                   " of the channel in its group; reads find the first");
    }
    if (!m_context.channels.lists(*channel, time)) {
        report(qzCacheProblem::kUnknownRecord, name, time,
               "the description lists no sample of the channel at this time");
    }
    checkArray(*channel, time, m_reader.readArraySize(), occurrence);
}

// Reads the array as the type the channel's records were last found to hold (at first the
// declared type). When that fails, goes back to the record for each other type in turn, so that
// an array of another type is told from a damaged record.
void Walk::checkArray(Channel& channel, int time, unsigned int count, unsigned int occurrence) {
    const qzCacheData::qzCacheDataType expected = channel.stored;
    bool consumed = qzCacheData::isArrayType(expected);
    bool read = consumed && readAs(expected, count);
    // Damage to the container is reported as such once the group ends, with what it took.
    if (!read && hasNewDamage()) {
        channel.found.pop_back();
        return;
    }
    qzCacheData::qzCacheDataType type = expected;
    const bool probe = !read && m_probesLeft > 0;
    if (probe) {
        --m_probesLeft;
        for (qzCacheData::qzCacheDataType other : kArrayTypes) {
            if (other == expected) continue;
            if (consumed && (!backToRecord(time, channel.name, occurrence) ||
                             m_reader.readArraySize() != count)) {
                break;
            }
            consumed = true;
            if (readAs(other, count)) {
                read = true;
                type = other;
                break;
            }
            if (hasNewDamage()) {
                channel.found.pop_back();
                return;
            }
        }
    }
    if (!consumed) passOverArray();
    // A record that does not read as its channel's type is a sample lost to the reader.
    if (!read) {
        m_context.problems.addLost(
            report(qzCacheProblem::kCorrupt, channel.name, time,
                   probe ? "its count record says " + std::to_string(count) +
                               " elements and its array holds no type with that many"
                         : "its array does not read as " + typeName(expected) + " with " +
                               std::to_string(count) + " elements"),
            1);
        return;
    }
    channel.stored = type;
    const qzCacheData::qzCacheDataType described =
        m_context.channels.described() || !qzCacheData::isArrayType(expected) ? channel.declared
                                                                               : expected;
    if (type != described && (m_context.channels.described() || qzCacheData::isArrayType(expected))) {
        m_context.problems.addLost(
            report(qzCacheProblem::kTypeDiffers, channel.name, time,
                   "stored as " + typeName(type) +
                       (m_context.channels.described() ? "; the description says "
                                                       : "; earlier records hold ") +
                       typeName(described)),
            1);
        return;
    }
    judgeCount(channel, time, count);
}

// Reads the next array as `type` into the walk's buffer. A count the file cannot hold is not
// allocated for: the array is passed over and the read fails.
bool Walk::readAs(qzCacheData::qzCacheDataType type, unsigned int count) {
    const std::uint64_t bytes = std::uint64_t{count} * qzCacheData::elementSize(type);
    if (bytes > m_file.bytes) {
        passOverArray();
        return false;
    }
    const std::size_t doubles = static_cast<std::size_t>(bytes / sizeof(double)) + 1;
    if (m_buffer.size() < doubles) m_buffer.resize(doubles);
    return qzReadArray(m_reader, type, m_buffer.data(), count);
}

// Every array read takes the next chunk, whatever it holds.
void Walk::passOverArray() {
    double unused = 0.0;
    m_reader.readDoubleArray(&unused, 0);
}

// Back in front of the count record of the `occurrence`-th record of `name` in the current
// group, which has been read past.
bool Walk::backToRecord(int time, const std::string& name, unsigned int occurrence) {
    int found = 0;
    if (m_timed && m_timesIncrease) {
        if (!m_reader.findTime(time, found)) return false;
    } else {
        if (!m_reader.rewind()) return false;
        for (unsigned int group = 0; group < m_group; ++group) {
            if (group > 0) m_reader.endReadChunk();
            if (!m_reader.beginReadChunk()) return false;
        }
        if (m_timed && (!m_reader.readTime(found) || found != time)) return false;
    }
    const qzString::IString wanted(name.c_str(), 1);
    for (unsigned int k = 0; k < occurrence; ++k) {
        if (!m_reader.findChannelName(wanted)) return false;
    }
    return true;
}

// Vectors are the points of one shape and keep their count from time to time; other arrays (the
// attributes of particles that come and go) may change it.
void Walk::judgeCount(Channel& channel, int time, unsigned int count) {
    channel.readWhole.push_back(time);
    if (qzCacheData::scalarsPerElement(channel.stored) == 3) {
        if (!channel.hasFirstCount) {
            channel.hasFirstCount = true;
            channel.firstCount = count;
            channel.firstCountTime = time;
        } else if (count != channel.firstCount) {
            report(qzCacheProblem::kCountDiffers, channel.name, time,
                   std::to_string(count) + " elements where time " +
                       std::to_string(channel.firstCountTime) + " has " +
                       std::to_string(channel.firstCount));
            return;
        }
    }
    ++m_context.report.samplesChecked;
}

}  // namespace

std::size_t ProblemList::add(qzCacheProblem problem) {
    if (m_report.problems.size() >= m_limit) {
        ++m_report.problemsLeftOut;
        return kNotListed;
    }
    m_report.problems.push_back(std::move(problem));
    return m_report.problems.size() - 1;
}

void ProblemList::addLost(std::size_t problem, std::uint64_t samples) {
    if (problem < m_report.problems.size()) m_report.problems[problem].lostSamples += samples;
}

Channels::Channels(qzCacheFileAccessor* accessor) : m_accessor(accessor) {
    if (accessor == nullptr) return;
    for (unsigned int index = 0; index < accessor->numChannels(); ++index) {
        Channel channel;
        qzString::IString name;
        accessor->channelName(index, name);
        accessor->channelDataType(index, channel.declared);
        channel.name = name.utf8();
        channel.index = index;
        channel.stored = channel.declared;
        m_byName.emplace(channel.name, m_channels.size());
        m_channels.push_back(std::move(channel));
    }
}

Channel* Channels::find(const std::string& name) {
    const auto known = m_byName.find(name);
    if (known != m_byName.end()) return &m_channels[known->second];
    if (described()) return nullptr;
    m_byName.emplace(name, m_channels.size());
    m_channels.emplace_back();
    m_channels.back().name = name;
    return &m_channels.back();
}

bool Channels::lists(const Channel& channel, int time) const {
    if (m_accessor == nullptr) return true;
    int first = 0;
    if (!m_accessor->getDataTime(channel.index, 0, first)) return false;
    int next = 0;
    return time == first ||
           (time > first && m_accessor->getNextTimeWithData(channel.index, time - 1, next) &&
            next == time);
}

FileOutcome walkOpenDataFile(qzCacheFileIffIO& reader, const DataFile& file, WalkContext& context) {
    ++context.report.filesChecked;
    context.report.bytesChecked += file.bytes;
    return Walk(reader, file, context).run();
}

FileOutcome checkDataFileAt(qzCacheFileIffIO& reader, qzOS::FileSystem& files, DataFile file,
                            WalkContext& context) {
    const int time = file.timed ? INT_MIN : file.frameTime;
    qzCacheProblem found;
    found.file = file.path;
    found.hasTime = !file.timed;
    found.time = file.frameTime;
    qzOS::FileStatus status;
    const bool exists = files.status(file.path.c_str(), status) && status.regular;
    file.bytes = status.length;
    if (!exists) {
        found.kind = qzCacheProblem::kDataFileMissing;
        found.detail = "the file does not exist";
    } else if (reader.open(qzString::IString(file.path.c_str(), 1))) {
        FileOutcome outcome = walkOpenDataFile(reader, file, context);
        reader.close();
        return outcome;
    } else if (!reader.isValid()) {
        found.kind = qzCacheProblem::kDataFileMissing;
        found.detail = "the file cannot be opened";
    } else {
        std::uint64_t offset = 0;
        const qzCacheFileIffIO::qzReadDamage damage = reader.readDamage(offset);
        found.kind = damage == qzCacheFileIffIO::kCorruptFile ? qzCacheProblem::kCorrupt
                                                               : qzCacheProblem::kTruncated;
        found.hasOffset = true;
        found.offset = damage == qzCacheFileIffIO::kNotDamaged ? 0 : offset;
        found.detail = damage != qzCacheFileIffIO::kNotDamaged ? reader.lastError()
                       : file.bytes == 0 ? "the file is empty"
                                         : "no header group (\"CACH\" with version, start and end time)";
        if (damage == qzCacheFileIffIO::kNotDamaged && file.bytes != 0) {
            found.kind = qzCacheProblem::kCorrupt;
        }
        reader.close();
        context.report.bytesChecked += file.bytes;
        ++context.report.filesChecked;
    }
    FileOutcome outcome;
    outcome.lost.push_back({time, file.timed ? INT_MAX : time, context.problems.add(std::move(found))});
    return outcome;
}

}  // namespace qzCheck
