// Reading samples and time lookup.
//
// No read may change a data file. The library's writers truncate what they open and reopen
// the same way on rewind, so while the installed file IO object is a writer every read goes
// through a reader of our own (the side reader), opened on the existing files as needed:
// qzDataFileRead chooses and opens the reader of every read.
#include <cstdlib>

#include "qzCacheArrayIO.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"

void qzTakeGrowth(qzCacheFileIO* reader) {
    if (auto* iff = dynamic_cast<qzCacheFileIffIO*>(reader)) iff->takeGrowth();
}

std::unique_ptr<qzCacheFileIO> qzCreateSideReader(const qzString::IString& cacheFormat) {
    return std::unique_ptr<qzCacheFileIO>(
        new qzCacheFileIffIO(qzCacheFileIO::kRead, cacheFormat));
}

qzDataFileRead::qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state)
    : qzDataFileRead(accessor, state, nullptr) {}

qzDataFileRead::qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state,
                               int time)
    : qzDataFileRead(accessor, state, &time) {}

qzDataFileRead::qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state,
                               const int* frameTime)
    : m_lock(state.readerMutex, true) {
    qzCacheFileIO* installed = accessor.fileAccessor();
    const bool besideWriter = installed && installed->fileAccessMode() != qzCacheFileIO::kRead;
    if (besideWriter && !state.sideReader) {
        state.sideReader = qzCreateSideReader(accessor.cacheFormat());
    }
    m_reader = besideWriter ? state.sideReader.get() : installed;
    if (!m_reader) return;
    // What the writer buffered reaches the system before anything of it is read.
    if (besideWriter) qzFlushWriter(installed);

    qzString::IString path;
    switch (accessor.distribution()) {
    case qzCacheFileAccessor::kOneFile:
        if (!besideWriter) {
            m_ready = true;  // opened by whoever installed it
            return;
        }
        path = accessor.constructDataFilePathForOneFile();
        break;
    case qzCacheFileAccessor::kOneFilePerFrame:
        if (!frameTime) {
            m_ready = true;
            return;
        }
        path = accessor.constructDataFilePathForOneFilePerFrame(*frameTime);
        break;
    default: return;
    }
    // An empty path (no positive frame length) is a file that does not open.
    m_opened = !path.empty() && m_reader->open(path);
    m_ready = m_opened;
}

qzDataFileRead::~qzDataFileRead() {
    if (m_opened) m_reader->close();
}

namespace {

// Enters the time sample of `time`: the frame file's one sample, or the one found by time.
bool enterTime(qzCacheFileIO* reader, qzCacheFileAccessor::qzCacheFileDistribution distribution,
               int time) {
    if (distribution == qzCacheFileAccessor::kOneFilePerFrame) return reader->beginReadChunk();
    int found = 0;
    if (distribution == qzCacheFileAccessor::kOneFile) return reader->findTime(time, found);
    return false;
}

// The element count of the channel's array at `time`, through a reader on its data file.
bool readLength(qzCacheFileIO* reader, qzCacheFileAccessor::qzCacheFileDistribution distribution,
                const qzString::IString& channel, int time, unsigned int& length) {
    if (!reader || !reader->isValid() || !enterTime(reader, distribution, time)) return false;
    if (!reader->findChannelName(channel)) return false;
    length = reader->readArraySize();
    return true;
}

// Whether the data file the reader stands on holds the channel at `time`.
bool findChannel(qzCacheFileIO* reader, qzCacheFileAccessor::qzCacheFileDistribution distribution,
                 const qzString::IString& channel, int time) {
    return reader && reader->isValid() && enterTime(reader, distribution, time) &&
           reader->findChannelName(channel);
}

}  // namespace

// --- Array reads -------------------------------------------------------------------------

bool qzCacheFileAccessor::getArrayDataAtTime(unsigned int channel, int time, unsigned int count,
                                             void*& data, unsigned int& length) {
    switch (readStoredArray(channel, time, count, data, length)) {
    case StoredRead::kFound: return true;
    // Stored with another count: the caller learns the count; nothing is blended over it.
    case StoredRead::kOtherCount: return false;
    case StoredRead::kDamaged: return false;
    case StoredRead::kAbsent: break;
    }
    return getInterpolatedArrayDataAtTime(channel, time, count, data, length);
}

bool qzCacheFileAccessor::getStoredArrayDataAtTime(unsigned int channel, int time,
                                                   unsigned int count, void*& data,
                                                   unsigned int& length) {
    return readStoredArray(channel, time, count, data, length) == StoredRead::kFound;
}

qzCacheFileAccessor::StoredRead qzCacheFileAccessor::readStoredArray(unsigned int channel,
                                                                     int time, unsigned int count,
                                                                     void*& data,
                                                                     unsigned int& length) {
    length = 0;
    if (channel >= m_channels.size()) return StoredRead::kAbsent;
    const qzCacheChannel& source = *m_channels[channel];
    if (time < source.startTime() || time > source.endTime()) return StoredRead::kAbsent;
    if (m_memoryCache) {
        return source.getArrayData(time, data, length) ? StoredRead::kFound : StoredRead::kAbsent;
    }
    if (m_optimizeMultiChannelRead || m_multiThreadReadMode) {
        if (getStoredArrayDataByCopying(channel, time, count, data, length)) {
            return StoredRead::kFound;
        }
        unsigned int stored = 0;
        if (source.storedArrayLength(time, stored) && stored != count) {
            length = stored;
            return StoredRead::kOtherCount;
        }
        length = 0;
        // The load found the record and could not read its array: not a missing sample.
        return m_private->isUnreadable(channel, time) ? StoredRead::kDamaged : StoredRead::kAbsent;
    }
    const qzDataFileRead file(*this, *m_private, time);
    if (!file.ready()) return StoredRead::kAbsent;
    return readArrayThrough(file.reader(), channel, time, count, data, length);
}

bool qzCacheFileAccessor::readArrayDataFromFile(unsigned int channel, int time,
                                                unsigned int count, void*& data,
                                                unsigned int& length) const {
    if (channel >= m_channels.size()) return false;
    // Building the one-file path changes nothing; the naming members are merely not const.
    const qzDataFileRead file(const_cast<qzCacheFileAccessor&>(*this), *m_private);
    return readArrayThrough(file.reader(), channel, time, count, data, length) ==
           StoredRead::kFound;
}

qzCacheFileAccessor::StoredRead qzCacheFileAccessor::readArrayThrough(
    qzCacheFileIO* reader, unsigned int channel, int time, unsigned int count, void*& data,
    unsigned int& length) const {
    if (!reader || !reader->isValid()) return StoredRead::kAbsent;
    if (!enterTime(reader, m_distribution, time)) return StoredRead::kAbsent;
    if (!reader->findChannelName(m_channels[channel]->name())) return StoredRead::kAbsent;
    const unsigned int stored = reader->readArraySize();
    length = stored;
    StoredRead result = StoredRead::kOtherCount;
    if (stored == count && (data || count == 0) &&
        qzCacheData::isArrayType(m_channels[channel]->dataType())) {
        result = readChannelDataFromFile(channel, data, stored, reader) ? StoredRead::kFound
                                                                         : StoredRead::kDamaged;
        if (result == StoredRead::kDamaged) length = 0;
    } else if (stored == count) {
        result = StoredRead::kAbsent;
    }
    // An array of another count is left unread: ending the sample skips it, and no scratch
    // block sized by a count from the file is ever allocated.
    reader->endReadChunk();
    return result;
}

bool qzCacheFileAccessor::readChannelDataFromFile(unsigned int channel, void*& data,
                                                  unsigned int count,
                                                  qzCacheFileIO* reader) const {
    if (!reader || channel >= m_channels.size() || (!data && count > 0)) return false;
    return qzReadArray(*reader, m_channels[channel]->dataType(), data, count);
}

bool qzCacheFileAccessor::getDataAtTime(unsigned int channel, int time, double& value) const {
    if (channel >= m_channels.size() || !m_memoryCache) return false;
    return m_channels[channel]->getData(time, value);
}

// --- Lengths and existence ---------------------------------------------------------------

bool qzCacheFileAccessor::getArrayLengthAtTime(unsigned int channel, int time,
                                               unsigned int& length) {
    if (channel >= m_channels.size()) return false;
    const qzCacheChannel& source = *m_channels[channel];
    if (m_memoryCache) return source.storedArrayLength(time, length);
    scanForData(channel);
    int at = time;
    if (!source.hasTime(time) && !source.previousTime(time, at)) at = source.startTime();
    const qzDataFileRead file(*this, *m_private, at);
    return file.ready() && readLength(file.reader(), m_distribution, source.name(), at, length);
}

bool qzCacheFileAccessor::readArrayLengthAtTime(unsigned int channel, int time,
                                                unsigned int& length) {
    if (!m_multiThreadReadMode) return getArrayLengthAtTime(channel, time, length);
    if (!m_threadWorkingMutex) return false;
    qzThread::MutexOp lock(*m_threadWorkingMutex, true);
    return getArrayLengthAtTime(channel, time, length);
}

bool qzCacheFileAccessor::readArrayLengthAtTimeFromFile(unsigned int channel, int time,
                                                        unsigned int& length) const {
    if (channel >= m_channels.size()) return false;
    const qzDataFileRead file(const_cast<qzCacheFileAccessor&>(*this), *m_private);
    return readLength(file.reader(), m_distribution, m_channels[channel]->name(), time, length);
}

bool qzCacheFileAccessor::hasDataAtTime(unsigned int channel, int time) const {
    if (channel >= m_channels.size()) return false;
    if (m_memoryCache) {
        unsigned int position = 0;
        return m_channels[channel]->findData(time, position, true);
    }
    const qzDataFileRead file(const_cast<qzCacheFileAccessor&>(*this), *m_private, time);
    return file.ready() &&
           findChannel(file.reader(), m_distribution, m_channels[channel]->name(), time);
}

bool qzCacheFileAccessor::findChannelDataFromFile(unsigned int channel, int time) const {
    if (channel >= m_channels.size()) return false;
    const qzDataFileRead file(const_cast<qzCacheFileAccessor&>(*this), *m_private);
    return findChannel(file.reader(), m_distribution, m_channels[channel]->name(), time);
}

// --- Scanning the data files for the times of irregular channels ------------------------

static bool needsScan(const qzCacheChannel& channel) {
    return channel.samplingType() == qzCacheChannel::kIrregular && channel.isEmpty();
}

bool qzCacheFileAccessor::scanForData(unsigned int channel) {
    if (channel >= m_channels.size()) return false;
    // A scan rewrites time lists that the preloading worker reads.
    qzThread::MutexOp records(m_private->readerMutex, true);
    if (!needsScan(*m_channels[channel])) return true;
    if (m_distribution == kOneFilePerFrame) {
        std::vector<int> times;
        return searchDirectoryForDataTimes(times) && scanFrameFiles(channel, times);
    }
    if (m_distribution == kOneFile) return searchFileForData(channel);
    return true;
}

bool qzCacheFileAccessor::scanForAllData() {
    qzThread::MutexOp records(m_private->readerMutex, true);
    std::vector<int> times;
    bool listed = false;
    for (unsigned int channel = 0; channel < m_channels.size(); ++channel) {
        if (!needsScan(*m_channels[channel])) continue;
        if (m_distribution == kOneFilePerFrame) {
            if (!listed && !searchDirectoryForDataTimes(times)) return false;
            listed = true;
            if (!scanFrameFiles(channel, times)) return false;
        } else if (m_distribution == kOneFile) {
            if (!searchFileForData(channel)) return false;
        }
    }
    return true;
}

// A channel whose record came from a description takes only the times within its range from
// the files (withinDescribed).
bool qzCacheFileAccessor::scanFrameFiles(unsigned int channel, const std::vector<int>& times) {
    qzCacheChannel& target = *m_channels[channel];
    for (int time : times) {
        if (!m_private->withinDescribed(channel, time)) continue;
        const qzDataFileRead file(*this, *m_private, time);
        if (!file.reader()) return false;
        if (!file.ready()) continue;
        if (file.reader()->beginReadChunk() && file.reader()->findChannelName(target.name())) {
            target.addTime(time);
            m_private->noteWork();
        }
    }
    return true;
}

bool qzCacheFileAccessor::searchFileForData(unsigned int channel) {
    return searchFileAfter(channel, nullptr);
}

// With `after`, the channel's times up to that one were learnt before: the walk starts after
// its time group, which the reader's index finds (or from the start when it is not there).
bool qzCacheFileAccessor::searchFileAfter(unsigned int channel, const int* after) {
    if (channel >= m_channels.size() || m_distribution != kOneFile) return false;
    const qzDataFileRead file(*this, *m_private);
    qzCacheFileIO* reader = file.reader();
    if (!reader || !reader->isValid()) return false;
    int found = 0;
    if (after && reader->findTime(*after, found)) {
        reader->endReadChunk();
        // The walk goes to the end of the file as it is now: a writer may have added to it.
        qzTakeGrowth(reader);
    } else if (!file.opened() || after) {
        // Opened here, it already stands right after the header.
        reader->rewind();
    }
    qzCacheChannel& target = *m_channels[channel];
    while (reader->beginReadChunk()) {
        int time = 0;
        if (!reader->readNextTime(time)) break;
        if (m_private->withinDescribed(channel, time) && reader->findChannelName(target.name())) {
            target.addTime(time);
        }
        reader->endReadChunk();
    }
    m_private->noteWork();
    return true;
}

// --- Questions about the times that hold data --------------------------------------------

std::uint64_t qzCacheFileAccessor::getDataCount(unsigned int channel) {
    if (channel >= m_channels.size()) return 0;
    scanForData(channel);
    return m_channels[channel]->timeCount();
}

bool qzCacheFileAccessor::getDataTime(unsigned int channel, unsigned int index, int& time) {
    if (channel >= m_channels.size()) return false;
    scanForData(channel);
    return m_channels[channel]->timeAt(index, time);
}

bool qzCacheFileAccessor::getNextTimeWithData(unsigned int channel, int time, int& next) {
    if (channel >= m_channels.size()) return false;
    scanForData(channel);
    return m_channels[channel]->nextTime(time, next);
}

bool qzCacheFileAccessor::getNextTimeWithData(int time, int& next) {
    scanForAllData();
    bool found = false;
    int earliest = 0;
    for (const qzCacheChannel* channel : m_channels) {
        int candidate = 0;
        if (!channel->nextTime(time, candidate)) continue;
        if (!found || (candidate < earliest && candidate > time)) earliest = candidate;
        found = true;
    }
    if (found) next = earliest;
    return found;
}

bool qzCacheFileAccessor::getPrevTimeWithData(int time, int& previous) {
    scanForAllData();
    bool found = false;
    int latest = 0;
    for (const qzCacheChannel* channel : m_channels) {
        int candidate = 0;
        if (!channel->previousTime(time, candidate)) continue;
        if (!found || (candidate > latest && candidate < time)) latest = candidate;
        found = true;
    }
    if (found) previous = latest;
    return found;
}

bool qzCacheFileAccessor::getPreviousTimeWithData(int time, int& previous) {
    return getPrevTimeWithData(time, previous);
}
