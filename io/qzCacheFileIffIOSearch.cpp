// Finding a time group and a channel record in a cache data file. The plain search walks the
// file; what it meets is remembered (where time groups and channel records begin) so that
// searching again, as playback does for every channel and frame, jumps instead of walking.
// The answers are those of the plain walk from the same position.
#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffIOPrivate.h"
#include "qzCacheFileIffTags.h"

#include <algorithm>
#include <cstring>

using namespace cacheTags;
using IndexAnswer = qzCacheFileIffIOPrivate::IndexAnswer;

namespace {

// Records larger than the container's read buffer are read each on its own, straight into the
// caller's memory.
constexpr std::uint64_t kLargeRecordBytes = iff::qzIffFile::kBufferBytes;

iff::ReadPosition topLevel(std::uint64_t offset) {
    iff::ReadPosition position;
    position.offset = offset;
    return position;
}

// A position inside the entered group `in`.
iff::ReadPosition within(const iff::ReadPosition& in, std::uint64_t offset) {
    iff::ReadPosition position = in;
    position.offset = offset;
    return position;
}

}  // namespace

bool qzCacheFileIffIOPrivate::RecordIndex::largeRecords() const {
    return !starts.empty() && (to - from) / starts.size() > kLargeRecordBytes;
}

bool qzCacheFileIffIO::findTime(int time, int& foundTime) {
    qzCacheFileIffIOPrivate& state = *m_private;
    bool mayRewind = true;
    bool lookedAgain = false;
    // Where the walk would start over, a search whose answer from the first group is known to
    // be the group entered last (a frame's channels read one after another) enters it again at
    // once: that is where the rewind would lead, in the file the group was just read from.
    enum class Over { kFailed, kRewound, kReentered };
    const auto startOver = [&]() {
        if (!mayRewind) {
            return Over::kFailed;
        }
        mayRewind = false;
        if (state.reenterInsteadOfRewind(time)) {
            return Over::kReentered;
        }
        return rewind() ? Over::kRewound : Over::kFailed;
    };
    for (;;) {
        switch (state.searchGroupIndex(*this, time, mayRewind)) {
        case IndexAnswer::kFound:
            state.rememberEnteredGroup(time);
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
            if (!state.walkToNextTimeGroup(*this, groupTime, hasTime)) {
                // A writer still at work may have added groups, or completed its last one,
                // since the reader took the file's length and read ahead: one more look.
                if (!lookedAgain) {
                    lookedAgain = true;
                    state.takeGrowth();
                    continue;
                }
                break;
            }
            if (hasTime) {
                if (groupTime == time) {
                    state.rememberEnteredGroup(time);
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

bool qzCacheFileIffIOPrivate::findTagAt(const iff::qzIffTag& type, std::uint64_t& start) {
    if (!file) {
        return false;
    }
    iff::qzIffTag groupTag;
    iff::qzIffTag groupType;
    for (;;) {
        start = file->position().offset;
        if (file->beginReadGroup(groupTag, groupType) != 0) {
            return false;
        }
        if (groupType == type) {
            return true;
        }
        file->endReadGroup();
    }
}

bool qzCacheFileIffIOPrivate::reenterInsteadOfRewind(int time) {
    const EnteredGroup& last = lastEntered;
    if (!last.valid || last.time != time || !index.valid || !file || !file->isActive()) {
        return false;
    }
    const auto decisive = decisiveTimedGroup(index.timed.begin(), time);
    if (decisive == index.timed.end() || index.groups[*decisive].start != last.body.groupStart) {
        return false;
    }
    if (file->seek(last.body)) {
        return true;
    }
    lastEntered = EnteredGroup();
    return false;
}

// The first known group with a time, from `from` on, whose time is not before the wanted one.
std::vector<std::size_t>::const_iterator qzCacheFileIffIOPrivate::decisiveTimedGroup(
    std::vector<std::size_t>::const_iterator from, int time) const {
    const std::vector<TimeGroup>& known = index.groups;
    if (index.increasing) {
        return std::lower_bound(from, index.timed.cend(), time,
            [&known](std::size_t g, int t) { return known[g].time < t; });
    }
    auto decisive = from;
    while (decisive != index.timed.cend() && known[*decisive].time < time) {
        ++decisive;
    }
    return decisive;
}

void qzCacheFileIffIOPrivate::rememberEnteredGroup(int time) {
    lastEntered.body = file->position();
    lastEntered.valid = index.valid && lastEntered.body.depth == 1;
    lastEntered.time = time;
}

void qzCacheFileIffIOPrivate::resetGroupIndex(bool keepIfSameFile) {
    const bool usable = keepIfSameFile && file && file->isActive() && atTopLevel();
    const std::uint64_t here = usable ? file->position().offset : 0;
    if (usable && index.valid && qzString::equal(index.fileName, fileName) &&
        index.fileLength == file->length() && index.first == here) {
        return;
    }
    forgetFile();
    if (usable) {
        index.fileName = fileName;
        index.fileLength = file->length();
        index.first = here;
        index.end = here;
        index.valid = true;
    }
}

bool qzCacheFileIffIOPrivate::walkToNextTimeGroup(qzCacheFileIffIO& io, int& groupTime, bool& hasTime) {
    const bool atKnownEnd = index.valid && atTopLevel() && file->position().offset == index.end;
    std::uint64_t start = 0;
    if (!findTagAt(kKLCH, start)) {
        return false;
    }
    hasTime = io.readTime(groupTime);
    const iff::ReadPosition entered = file->position();
    if (atKnownEnd && entered.depth == 1) {
        index.groups.push_back({start, groupTime, hasTime});
        index.end = entered.groupEnd;
        if (hasTime) {
            if (!index.timed.empty() && index.groups[index.timed.back()].time >= groupTime) {
                index.increasing = false;
            }
            index.timed.push_back(index.groups.size() - 1);
        }
    }
    return true;
}

// Answers the search from the known groups as the plain walk from the position would:
// the first group with a time at or after the wanted one decides; the groups passed before it
// forbid a rewind as the walk's would.
IndexAnswer qzCacheFileIffIOPrivate::searchGroupIndex(qzCacheFileIffIO& io, int time, bool& mayRewind) {
    if (!index.valid || !file || !file->isActive() || !atTopLevel()) {
        return IndexAnswer::kWalkOn;
    }
    const std::uint64_t position = file->position().offset;
    if (position < index.first || position > index.end) {
        return IndexAnswer::kWalkOn;
    }
    const std::vector<TimeGroup>& known = index.groups;
    const std::vector<std::size_t>& timed = index.timed;
    const std::size_t next = static_cast<std::size_t>(std::lower_bound(known.begin(), known.end(),
        position, [](const TimeGroup& g, std::uint64_t at) { return g.start < at; }) - known.begin());
    const auto from = std::lower_bound(timed.cbegin(), timed.cend(), next);
    const auto decisive = decisiveTimedGroup(from, time);
    if (decisive != from) {
        mayRewind = false;
    }
    if (decisive == timed.end()) {
        // Nothing known decides: the walk goes on after the known groups.
        if (position != index.end) {
            file->seek(topLevel(index.end));
        }
        return IndexAnswer::kWalkOn;
    }
    const std::size_t group = *decisive;
    if (known[group].time > time && mayRewind) {
        return IndexAnswer::kRewind;
    }
    if (!enterIndexedGroup(io, group)) {
        forgetFile();
        return IndexAnswer::kStale;
    }
    return known[group].time == time ? IndexAnswer::kFound : IndexAnswer::kNotFound;
}

bool qzCacheFileIffIOPrivate::enterIndexedGroup(qzCacheFileIffIO& io, std::size_t group) {
    const TimeGroup& known = index.groups[group];
    std::uint64_t start = 0;
    int groupTime = 0;
    return file->seek(topLevel(known.start)) && findTagAt(kKLCH, start) && start == known.start &&
        io.readTime(groupTime) && groupTime == known.time;
}

namespace {

bool asciiOnly(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<unsigned char>(bytes[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

// Names read from a file are valid UTF-16; a wanted name that is too compares equal to one of
// them exactly when their UTF-8 forms are equal. Any other is compared as text.
bool comparableAsUtf8(const qzString::IString& name) {
    const std::u16string& chars = name.chars();
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const char16_t c = chars[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < chars.size() && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool qzCacheFileIffIO::findChannelName(const qzString::IString& name) {
    qzCacheFileIffIOPrivate& state = *m_private;
    iff::qzIffFile* file = state.file.get();
    if (!file) {
        return false;
    }
    const bool byBytes = comparableAsUtf8(name);
    bool found = false;
    if (byBytes && state.answerFromRecordIndex(name, found)) {
        return found;
    }
    qzCacheFileIffIOPrivate::RecordIndex& records = state.records;
    const bool recording = state.startOrExtendRecords();
    std::string& text = state.nameBytes;
    for (;;) {
        const std::uint64_t at = file->position().offset;
        iff::qzIffTag tag;
        unsigned int size = 0;
        if (file->beginGet(tag, &size) != 0) {
            if (recording) {
                records.complete = true;
            }
            return false;
        }
        if (tag != kCHNM) {
            file->endGet();
            if (recording) {
                records.to = file->position().offset;
            }
            continue;
        }
        const bool read = state.readName(text);
        const bool added = recording && read && state.addRecord(at, text);
        if (recording) {
            records.to = file->position().offset;
        }
        const bool same = byBytes ? text == name.utf8() : qzString::equal(qzString::IString(text.c_str(), 1), name);
        if (read && same) {
            if (added) {
                records.lastFound = static_cast<std::uint32_t>(records.starts.size() - 1);
            }
            return true;
        }
    }
}

bool qzCacheFileIffIOPrivate::readName(std::string& name) {
    iff::qzIffTag tag;
    unsigned int size = 0;
    // An empty chunk holds not even the terminating zero: never taken for a name.
    const bool read = file->beginGet(tag, &size) == 0 && size > 0 && tag == kCHNM &&
        (name.resize(size), file->getBytes(&name[0], size));
    file->endGet();
    if (!read) {
        name.clear();
        return false;
    }
    // Up to the first zero, as a string chunk reads; anything but ASCII as the library
    // writes it again (malformed bytes become U+FFFD).
    name.resize(std::strlen(name.c_str()));
    if (!asciiOnly(name.data(), name.size())) {
        name = qzString::IString(name.c_str(), 1).utf8();
    }
    return true;
}

void qzCacheFileIffIOPrivate::resetRecords(const iff::ReadPosition* start) {
    // The lists keep their memory; the name numbers' marks of this index lapse with it.
    if (!records.names.empty()) {
        previousNames.swap(records.names);
        previousFirsts.swap(records.firsts);
    }
    records.starts.clear();
    records.names.clear();
    records.nextSame.clear();
    records.firsts.clear();
    records.likePrevious = true;
    records.lastFound = kNoRecord;
    records.complete = false;
    records.valid = start != nullptr;
    records.groupStart = start ? start->groupStart : 0;
    records.groupEnd = start ? start->groupEnd : 0;
    records.from = records.to = start ? start->offset : 0;
    ++names.generation;
}

bool qzCacheFileIffIOPrivate::addRecord(std::uint64_t at, const std::string& name) {
    // Files of ever new names (damage, or hostile) make the numbers start over, and with them
    // the index of the group: what is kept stays within these bounds (and one name).
    constexpr std::size_t kMostNames = 1u << 16;
    constexpr std::size_t kMostNameBytes = 16u << 20;
    const std::size_t place = records.starts.size();
    std::uint32_t predicted = place < previousNames.size() ? previousNames[place] : kNoRecord;
    if (predicted != kNoRecord && predicted >= names.text.size()) {
        predicted = kNoRecord;
    }
    std::uint32_t number = predicted;
    if (predicted == kNoRecord || names.text[predicted] != name) {
        auto numbered = names.numbers.find(name);
        if (numbered == names.numbers.end()) {
            if (names.numbers.size() >= kMostNames || names.textBytes + name.size() > kMostNameBytes) {
                // No number of the old ones may be taken for a new one, nor become the previous.
                names = NameNumbers();
                previousNames.clear();
                previousFirsts.clear();
                records.names.clear();
                // The index starts again after this record, which it does not hold.
                const iff::ReadPosition after = file->position();
                resetRecords(&after);
                return false;
            }
            numbered = names.numbers.emplace(name, static_cast<std::uint32_t>(names.text.size())).first;
            names.text.push_back(name);
            names.textBytes += name.size();
            names.stamp.push_back(0);
            names.first.push_back(kNoRecord);
            names.last.push_back(kNoRecord);
        }
        number = numbered->second;
    }
    records.likePrevious = records.likePrevious && number == predicted;
    const auto record = static_cast<std::uint32_t>(place);
    records.starts.push_back(at);
    records.names.push_back(number);
    records.nextSame.push_back(kNoRecord);
    const bool first = names.stamp[number] != names.generation;
    records.firsts.push_back(first ? 1 : 0);
    if (first) {
        names.stamp[number] = names.generation;
        names.first[number] = record;
    } else {
        records.nextSame[names.last[number]] = record;
    }
    names.last[number] = record;
    return true;
}

bool qzCacheFileIffIOPrivate::newAtNextPlace(const std::string& name) const {
    const std::size_t place = records.starts.size();
    return records.likePrevious && place < previousNames.size() && previousFirsts[place] != 0 &&
        previousNames[place] < names.text.size() && names.text[previousNames[place]] == name;
}

// A file opened again whose large records are known (a frame file read channel by channel):
// its header and the head of its time group are all that is read ahead on the way to them.
void qzCacheFileIffIOPrivate::readLittleAheadIntoKnownFile() {
    if (records.valid && records.largeRecords() && index.valid &&
        qzString::equal(index.fileName, fileName) && index.fileLength == file->length()) {
        file->seek(file->position(), iff::ReadAhead::kHead);
    }
}

// Where the plain scan of the entered group starts: learnt records are added to the index
// when it continues them without a gap, or start a new one. False when nothing is recorded.
bool qzCacheFileIffIOPrivate::startOrExtendRecords() {
    const iff::ReadPosition here = file->position();
    if (!index.valid || here.depth != 1) {
        return false;
    }
    if (records.valid && records.groupStart == here.groupStart && records.groupEnd == here.groupEnd &&
        records.to == here.offset && !records.complete) {
        return true;
    }
    resetRecords(&here);
    return true;
}

bool qzCacheFileIffIOPrivate::nameChunkHolds(const std::string& name) {
    iff::qzIffTag tag;
    unsigned int size = 0;
    if (file->beginGet(tag, &size) != 0) {
        return false;
    }
    if (tag != kCHNM || size == 0) {
        file->endGet();
        return false;
    }
    return readName(nameBytes) && nameBytes == name;
}

// The record after the one found last, when its name is the wanted one and no earlier record
// from the position has that name: the answer of the plain scan, without a lookup by name.
bool qzCacheFileIffIOPrivate::answerWithNextRecord(const iff::ReadPosition& here, const std::string& name,
                                                   iff::ReadAhead ahead) {
    const std::size_t next = records.lastFound == kNoRecord ? 0 : std::size_t(records.lastFound) + 1;
    if (next >= records.starts.size() || records.starts[next] < here.offset ||
        names.first[records.names[next]] != next) {
        return false;
    }
    if (file->seek(within(here, records.starts[next]), ahead) && nameChunkHolds(name)) {
        records.lastFound = static_cast<std::uint32_t>(next);
        return true;
    }
    file->seek(here);
    return false;
}

// True when the known records answer the search from the position; `found` is the answer and
// the reader stands where the plain scan would have left it.
bool qzCacheFileIffIOPrivate::answerFromRecordIndex(const qzString::IString& name, bool& found) {
    const iff::ReadPosition here = file->position();
    if (!records.valid || !index.valid || here.depth != 1 || here.groupStart != records.groupStart ||
        here.groupEnd != records.groupEnd) {
        return false;
    }
    if (here.offset < records.from || here.offset > records.to) {
        return false;
    }
    // On the way to a large record only its name, count and array header are read ahead; the
    // array then goes straight to the caller.
    const iff::ReadAhead ahead = records.largeRecords() ? iff::ReadAhead::kHead : iff::ReadAhead::kFull;
    const std::string& wanted = name.utf8();
    if (answerWithNextRecord(here, wanted, ahead)) {
        found = true;
        return true;
    }
    std::uint32_t number = kNoRecord;
    if (!newAtNextPlace(wanted)) {
        const auto numbered = names.numbers.find(wanted);
        number = numbered == names.numbers.end() ? kNoRecord : numbered->second;
    }
    if (number != kNoRecord && names.stamp[number] == names.generation) {
        for (std::uint32_t record = names.first[number]; record != kNoRecord; record = records.nextSame[record]) {
            const std::uint64_t start = records.starts[record];
            if (start < here.offset) {
                continue;
            }
            if (file->seek(within(here, start), ahead) && nameChunkHolds(wanted)) {
                records.lastFound = record;
                found = true;
                return true;
            }
            // The file no longer holds what was learnt from it: searched plainly instead.
            resetRecords(nullptr);
            if (file->seek(here)) {
                return false;
            }
            found = false;
            return true;
        }
    }
    // Not among the known records: the plain scan would pass them all.
    if (!file->seek(within(here, records.to), ahead)) {
        resetRecords(nullptr);
        return false;
    }
    if (records.complete) {
        found = false;
        return true;
    }
    return false;
}
