// Finding a time group and a channel record in a cache data file. The plain search walks the
// file; what it meets is remembered (where time groups and channel records begin) so that
// searching again, as playback does for every channel and frame, jumps instead of walking.
// The answers are those of the plain walk from the same position.
#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffTags.h"

#include "qzIffFile.h"

#include <algorithm>

using namespace cacheTags;

namespace {

// Read ahead for the header and time that begin a time group.
constexpr std::uint64_t kGroupHeadBytes = 64;
// Read ahead when going to a known record of a large group: its name, count and array
// header; the array itself then goes straight to the caller.
constexpr std::uint64_t kRecordHeadBytes = 4096;
// Records larger than the container's read buffer are read each on its own.
constexpr std::uint64_t kLargeRecordBytes = 64 * 1024;

}  // namespace

bool qzCacheFileIffIO::RecordIndex::largeRecords() const {
    return !starts.empty() && (to - from) / starts.size() > kLargeRecordBytes;
}

bool qzCacheFileIffIO::findTime(int time, int& foundTime) {
    bool mayRewind = true;
    // Where the walk would start over, a search whose answer from the first group is known to
    // be the group entered last (a frame's channels read one after another) enters it again at
    // once: that is where the rewind would lead, in the file the group was just read from.
    enum class Over { kFailed, kRewound, kReentered };
    const auto startOver = [&]() {
        if (!mayRewind) {
            return Over::kFailed;
        }
        mayRewind = false;
        if (reenterInsteadOfRewind(time)) {
            return Over::kReentered;
        }
        return rewind() ? Over::kRewound : Over::kFailed;
    };
    for (;;) {
        switch (searchGroupIndex(time, mayRewind)) {
        case IndexAnswer::kFound:
            rememberEnteredGroup(time);
            foundTime = time;
            return true;
        case IndexAnswer::kNotFound:
            return false;
        case IndexAnswer::kRewind:
            break;
        case IndexAnswer::kStale:
            // A stale index (the file changed but kept its length) is dropped by now; the
            // plain search from the first group gives the answer.
            if (!rewind()) {
                return false;
            }
            mayRewind = false;
            continue;
        case IndexAnswer::kWalkOn: {
            int groupTime = 0;
            bool hasTime = false;
            if (!walkToNextTimeGroup(groupTime, hasTime)) {
                break;
            }
            if (hasTime) {
                if (groupTime == time) {
                    rememberEnteredGroup(time);
                    foundTime = groupTime;
                    return true;
                }
                if (groupTime > time) {
                    break;
                }
                mayRewind = false;
            }
            // A group without a readable time neither matches nor tells where the wanted time
            // lies: it is passed over and the search goes on as before.
            endReadChunk();
            continue;
        }
        }
        // Here the walk starts over from the first group, at most once.
        switch (startOver()) {
        case Over::kFailed:
            return false;
        case Over::kReentered:
            foundTime = time;
            return true;
        case Over::kRewound:
            break;
        }
    }
}

bool qzCacheFileIffIO::reenterInsteadOfRewind(int time) {
    const EnteredGroup& last = m_lastEntered;
    if (!last.valid || last.time != time || !m_index.valid || !m_file || !m_file->isActive()) {
        return false;
    }
    const auto decisive = decisiveTimedGroup(m_index.timed.begin(), time);
    if (decisive == m_index.timed.end() || m_index.groups[*decisive].start != last.start) {
        return false;
    }
    if (m_file->seekTo(last.start) == 0 && m_file->reenterGroup(last.start, last.end, last.body)) {
        return true;
    }
    m_lastEntered = EnteredGroup();
    return false;
}

// The first known group with a time, from `from` on, whose time is not before the wanted one.
std::vector<std::size_t>::const_iterator qzCacheFileIffIO::decisiveTimedGroup(
    std::vector<std::size_t>::const_iterator from, int time) const {
    const std::vector<TimeGroup>& groups = m_index.groups;
    if (m_index.increasing) {
        return std::lower_bound(from, m_index.timed.cend(), time,
            [&groups](std::size_t g, int t) { return groups[g].time < t; });
    }
    auto decisive = from;
    while (decisive != m_index.timed.cend() && groups[*decisive].time < time) {
        ++decisive;
    }
    return decisive;
}

void qzCacheFileIffIO::rememberEnteredGroup(int time) {
    m_lastEntered.valid = m_index.valid && m_file->readDepth() == 1;
    m_lastEntered.start = m_file->readGroupStart();
    m_lastEntered.end = m_file->readGroupEnd();
    m_lastEntered.body = m_file->tell();
    m_lastEntered.time = time;
}

void qzCacheFileIffIO::resetGroupIndex(bool keepIfSameFile) {
    const bool usable = keepIfSameFile && m_file && m_file->isActive() &&
        m_file->readDepth() == 0;
    if (usable && m_index.valid && qzString::equal(m_index.fileName, m_fileName) &&
        m_index.fileLength == m_file->length() && m_index.first == m_file->tell()) {
        return;
    }
    m_index = GroupIndex();
    m_records = RecordIndex();
    m_lastEntered = EnteredGroup();
    if (usable) {
        m_index.fileName = m_fileName;
        m_index.fileLength = m_file->length();
        m_index.first = m_file->tell();
        m_index.end = m_index.first;
        m_index.valid = true;
    }
}

bool qzCacheFileIffIO::walkToNextTimeGroup(int& groupTime, bool& hasTime) {
    const bool atKnownEnd = m_index.valid && m_file && m_file->readDepth() == 0 &&
        m_file->tell() == m_index.end;
    std::uint64_t start = 0;
    if (!findTagAt(kKLCH, start)) {
        return false;
    }
    hasTime = readTime(groupTime);
    if (atKnownEnd && m_file->readDepth() == 1) {
        m_index.groups.push_back({start, groupTime, hasTime});
        m_index.end = m_file->readGroupEnd();
        if (hasTime) {
            if (!m_index.timed.empty() && m_index.groups[m_index.timed.back()].time >= groupTime) {
                m_index.increasing = false;
            }
            m_index.timed.push_back(m_index.groups.size() - 1);
        }
    }
    return true;
}

// Answers the search from the known groups as the plain walk from the position would:
// the first group with a time at or after the wanted one decides; the groups passed before it
// forbid a rewind as the walk's would.
qzCacheFileIffIO::IndexAnswer qzCacheFileIffIO::searchGroupIndex(int time, bool& mayRewind) {
    if (!m_index.valid || !m_file || !m_file->isActive() || m_file->readDepth() != 0) {
        return IndexAnswer::kWalkOn;
    }
    const std::uint64_t position = m_file->tell();
    if (position < m_index.first || position > m_index.end) {
        return IndexAnswer::kWalkOn;
    }
    const std::vector<TimeGroup>& groups = m_index.groups;
    const std::vector<std::size_t>& timed = m_index.timed;
    const std::size_t next = static_cast<std::size_t>(std::lower_bound(groups.begin(), groups.end(),
        position, [](const TimeGroup& g, std::uint64_t at) { return g.start < at; }) - groups.begin());
    const auto from = std::lower_bound(timed.cbegin(), timed.cend(), next);
    const auto decisive = decisiveTimedGroup(from, time);
    if (decisive != from) {
        mayRewind = false;
    }
    if (decisive == timed.end()) {
        // Nothing known decides: the walk goes on after the known groups.
        if (position != m_index.end) {
            m_file->seekTo(m_index.end);
        }
        return IndexAnswer::kWalkOn;
    }
    const std::size_t group = *decisive;
    if (groups[group].time > time && mayRewind) {
        return IndexAnswer::kRewind;
    }
    if (!enterIndexedGroup(group)) {
        m_index = GroupIndex();
        m_records = RecordIndex();
        m_lastEntered = EnteredGroup();
        return IndexAnswer::kStale;
    }
    return groups[group].time == time ? IndexAnswer::kFound : IndexAnswer::kNotFound;
}

bool qzCacheFileIffIO::enterIndexedGroup(std::size_t group) {
    const TimeGroup& known = m_index.groups[group];
    std::uint64_t start = 0;
    int groupTime = 0;
    return m_file->seekTo(known.start) == 0 && findTagAt(kKLCH, start) && start == known.start &&
        readTime(groupTime) && groupTime == known.time;
}


bool qzCacheFileIffIO::findChannelName(const qzString::IString& name) {
    if (!m_file) {
        return false;
    }
    bool found = false;
    if (answerFromRecordIndex(name, found)) {
        return found;
    }
    const bool recording = startOrExtendRecords();
    for (;;) {
        const std::uint64_t at = m_file->tell();
        iff::qzIffTag tag;
        unsigned int size = 0;
        if (m_file->beginGet(tag, &size) != 0) {
            if (recording) {
                m_records.complete = true;
            }
            return false;
        }
        if (tag != kCHNM) {
            m_file->endGet();
            if (recording) {
                m_records.to = m_file->tell();
            }
            continue;
        }
        qzString::IString text;
        const bool read = readIstring(kCHNM, text);
        if (recording) {
            if (read) {
                m_records.byName[text.asUTF8()].push_back(m_records.starts.size());
                m_records.starts.push_back(at);
            }
            m_records.to = m_file->tell();
        }
        if (read && qzString::equal(text, name)) {
            return true;
        }
    }
}

// A file opened again whose large records are known (a frame file read channel by channel):
// its header and the head of its time group are all that is read ahead on the way to them.
void qzCacheFileIffIO::limitReadAheadOfKnownFile() {
    if (m_records.valid && m_records.largeRecords() && m_index.valid &&
        qzString::equal(m_index.fileName, m_fileName) && m_index.fileLength == m_file->length()) {
        m_file->limitNextReadAhead(m_index.first + kGroupHeadBytes);
    }
}

// Where the plain scan of the entered group starts: learnt records are added to the index
// when it continues them without a gap, or start a new one. False when nothing is recorded.
bool qzCacheFileIffIO::startOrExtendRecords() {
    if (!m_index.valid || m_file->readDepth() != 1) {
        return false;
    }
    const std::uint64_t at = m_file->tell();
    if (m_records.valid && m_records.groupStart == m_file->readGroupStart() &&
        m_records.groupEnd == m_file->readGroupEnd() && m_records.to == at && !m_records.complete) {
        return true;
    }
    m_records = RecordIndex();
    m_records.groupStart = m_file->readGroupStart();
    m_records.groupEnd = m_file->readGroupEnd();
    m_records.from = at;
    m_records.to = at;
    m_records.valid = true;
    return true;
}

// True when the known records answer the search from the position; `found` is the answer and
// the reader stands where the plain scan would have left it.
bool qzCacheFileIffIO::answerFromRecordIndex(const qzString::IString& name, bool& found) {
    if (!m_records.valid || !m_index.valid || m_file->readDepth() != 1 ||
        m_file->readGroupStart() != m_records.groupStart ||
        m_file->readGroupEnd() != m_records.groupEnd) {
        return false;
    }
    const std::uint64_t position = m_file->tell();
    if (position < m_records.from || position > m_records.to) {
        return false;
    }
    const auto named = m_records.byName.find(name.asUTF8());
    if (named != m_records.byName.end()) {
        for (const std::size_t record : named->second) {
            const std::uint64_t start = m_records.starts[record];
            if (start < position) {
                continue;
            }
            if (m_records.largeRecords()) {
                m_file->limitNextReadAhead(kRecordHeadBytes);
            }
            qzString::IString text;
            if (m_file->seekInGroup(start) && readIstring(kCHNM, text) &&
                qzString::equal(text, name)) {
                found = true;
                return true;
            }
            // The file no longer holds what was learnt from it: searched plainly instead.
            m_records = RecordIndex();
            if (m_file->seekInGroup(position)) {
                return false;
            }
            found = false;
            return true;
        }
    }
    // Not among the known records: the plain scan would pass them all.
    if (m_records.largeRecords()) {
        m_file->limitNextReadAhead(kRecordHeadBytes);
    }
    if (!m_file->seekInGroup(m_records.to)) {
        m_records = RecordIndex();
        return false;
    }
    if (m_records.complete) {
        found = false;
        return true;
    }
    return false;
}
