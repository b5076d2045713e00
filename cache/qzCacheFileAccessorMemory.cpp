// Memory cache and the copying read: the times kept around the last request, loading a whole
// time into the channels' memory, and the reader's side of the preloading worker (the worker
// itself, and the lock order, are in qzCacheFileAccessorWorker.cpp).
#include "qzCacheFileAccessor.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffFormat.h"
#include "qzFileSystem.h"

namespace {

// No array of a data file is larger than the file: a count beyond that is corrupt, and no
// block is allocated for it. Unknown (no bound) when the file's size cannot be learnt.
std::uint64_t arrayByteBound(const qzString::IString& dataFilePath) {
    std::uint64_t size = 0;
    if (dataFilePath.empty() || !qzOS::fileSize(dataFilePath.utf8().c_str(), size))
        return UINT64_MAX;
    return size;
}

// Consumes the array of a record whose channel the accessor does not know, so that the next
// record's name comes next. An array reader takes the next chunk whole whatever it holds and
// fails on a count that does not match; with a count of 0 it never writes to the buffer, and
// nothing is allocated from a count read from the file.
void skipArray(qzCacheFileIO& reader) {
    double unused = 0.0;
    reader.readDoubleArray(&unused, 0);
}

// The multi-threaded read's wait: until the sample is in memory, the worker gave up on the
// time, or the read mode ended. Never holds a lock while it sleeps. True when the read mode
// ended with the sample still missing: the caller then loads it itself.
bool waitForWorker(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state,
                   const qzCacheChannel& channel, int time) {
    for (;;) {
        const std::uint64_t seen = state.generation();
        unsigned int position = 0;
        if (channel.findData(time, position, true) || state.hasFailed(time)) return false;
        if (!accessor.isInMultiThreadReadMode()) return true;
        state.waitPast(seen);
    }
}

// Marks a time as waited for while a reader waits for it.
class WaitedTime {
public:
    WaitedTime(qzCacheFileAccessorPrivate& state, int time) : m_state(state), m_time(time) {
        m_state.addWaiter(time);
    }
    ~WaitedTime() { m_state.removeWaiter(m_time); }
    WaitedTime(const WaitedTime&) = delete;
    WaitedTime& operator=(const WaitedTime&) = delete;

private:
    qzCacheFileAccessorPrivate& m_state;
    int m_time;
};

// Moves the work generation on when it goes out of scope, however a load ends.
class WorkChange {
public:
    explicit WorkChange(qzCacheFileAccessorPrivate& state) : m_state(state) {}
    ~WorkChange() { m_state.noteWork(); }
    WorkChange(const WorkChange&) = delete;
    WorkChange& operator=(const WorkChange&) = delete;

private:
    qzCacheFileAccessorPrivate& m_state;
};

}  // namespace

void qzCacheFileAccessor::setOptimizeMultiChannelRead(bool on) {
    m_optimizeMultiChannelRead = on;
    scanForAllData();
}

void qzCacheFileAccessor::setMemoryPreLoadQueueSize(unsigned int size) {
    if (size < 3) return;
    if (m_threadWorkingMutex) {
        qzThread::MutexOp lock(*m_threadWorkingMutex, true);
        m_memoryPreLoadQueueSize = size;
    } else {
        m_memoryPreLoadQueueSize = size;
    }
    m_private->noteWork();
}

unsigned int qzCacheFileAccessor::memoryPreLoadQueueSize() const {
    return m_memoryPreLoadQueueSize;
}

void qzCacheFileAccessor::reduceMemoryPreLoadQueueSize() {
    const unsigned int size = m_memoryPreLoadQueueSize;
    unsigned int step = static_cast<unsigned int>(static_cast<double>(size) * 0.1);
    if (step == 0) step = 1;
    setMemoryPreLoadQueueSize(size - step);
}

void qzCacheFileAccessor::setLastRequestedTime(int time) {
    if (m_lastRequestedTimeMutex) {
        qzThread::MutexOp lock(*m_lastRequestedTimeMutex, true);
        // Before the post, so that the woken worker sees the change.
        if (!m_hasLastRequestedTime || m_lastRequestedTime != time) m_private->noteWork();
        m_hasLastRequestedTime = true;
        m_lastRequestedTime = time;
        m_private->lastRequest.store(time, std::memory_order_relaxed);
        m_private->wokenAt.store(m_private->workGeneration.load(std::memory_order_acquire),
                                 std::memory_order_relaxed);
        if (m_workerWakeSemaphore) m_workerWakeSemaphore->post();
    } else {
        if (!m_hasLastRequestedTime || m_lastRequestedTime != time) m_private->noteWork();
        m_hasLastRequestedTime = true;
        m_lastRequestedTime = time;
    }
}

bool qzCacheFileAccessor::getLastRequestedTime(int& time) {
    if (m_lastRequestedTimeMutex) {
        qzThread::MutexOp lock(*m_lastRequestedTimeMutex, true);
        time = m_lastRequestedTime;
        return m_hasLastRequestedTime;
    }
    time = m_lastRequestedTime;
    return m_hasLastRequestedTime;
}

void qzCacheFileAccessor::getDataTimesToBeCached(int time, std::vector<int>& times) {
    // The lookups may rescan through the main reader.
    qzThread::MutexOp reader(m_private->readerMutex, true);
    times.push_back(time);
    int after = time;
    for (unsigned int count = 0; count + 2 < m_memoryPreLoadQueueSize; ++count) {
        int next = 0;
        if (!getNextTimeWithData(after, next)) break;
        times.push_back(next);
        after = next;
    }
    int previous = 0;
    if (getPreviousTimeWithData(time, previous)) times.push_back(previous);
}

bool qzCacheFileAccessor::readAllDataAtTimeAndStoreInMemory(int time, std::vector<int>& keepTimes,
                                                            qzCacheFileIO* reader) {
    const unsigned int limit = m_memoryPreLoadQueueSize;
    for (qzCacheChannel* channel : m_channels) {
        if (channel->storedDataCount() > limit) channel->removeOneData(keepTimes);
    }
    m_private->keepCompleteOnly(keepTimes);
    // Evicted and stored samples change what the worker finds to do.
    const WorkChange change(*m_private);

    const bool perFrame = m_distribution == kOneFilePerFrame;
    qzString::IString path;
    {
        // The extension comes from the main reader, which the caller may be using.
        qzThread::MutexOp lock(m_private->readerMutex, true);
        path = perFrame ? constructDataFilePathForOneFilePerFrame(time)
                        : constructDataFilePathForOneFile();
    }
    if (perFrame && (!reader || path.empty() || !reader->open(path))) return false;
    if (!reader || !reader->isValid()) return false;
    if (perFrame) {
        if (!reader->beginReadChunk()) {
            reader->close();
            return false;
        }
    } else if (m_distribution == kOneFile) {
        int found = 0;
        if (!reader->findTime(time, found)) return false;
    } else {
        return false;
    }

    const std::uint64_t byteBound = arrayByteBound(path);
    bool stored = true;
    std::string name;
    // Read into a kept block, grown as records need; the channel keeps a copy of its own.
    qzScratchBlock block(*m_private, 0);
    while (qzReadChannelNameUtf8(*reader, name)) {
        const unsigned int length = reader->readArraySize();
        const auto known = m_private->channelByName.find(name);
        // Single values have no place in data files: a record of one is passed over.
        if (known == m_private->channelByName.end() ||
            !qzCacheData::isArrayType(m_channels[known->second]->dataType())) {
            skipArray(*reader);
            continue;
        }
        const unsigned int index = known->second;
        const std::uint64_t bytes =
            std::uint64_t(length) * qzCacheData::elementSize(m_channels[index]->dataType());
        void* buffer = bytes <= byteBound && block.hold(static_cast<std::size_t>(bytes)) ? block.get() : nullptr;
        if (!buffer) skipArray(*reader);
        // A record whose array does not read is marked, and the records after it still load.
        const bool read = buffer && readChannelDataFromFile(index, buffer, length, reader);
        if (!read || !m_channels[index]->storeArrayData(buffer, length, true, time, false)) {
            m_private->markUnreadable(index, time, true);
            stored = false;
            continue;
        }
        m_private->markUnreadable(index, time, false);
    }
    reader->endReadChunk();
    if (perFrame) reader->close();
    return stored;
}

bool qzCacheFileAccessor::getStoredArrayDataByCopying(unsigned int channel, int time,
                                                      unsigned int count, void*& data,
                                                      unsigned int& length) {
    if (channel >= m_channels.size()) return false;
    qzCacheChannel* source = m_channels[channel];
    {
        qzThread::MutexOp reader(m_private->readerMutex, true);
        if (!source->hasTime(time)) return false;
    }
    const bool copied = source->copyArrayData(data, count, time);
    const bool threaded = m_multiThreadReadMode;
    // A new miss makes a time the worker gave up on worth one more try. Both marks are set
    // before the request wakes the worker, so that it sees the time as work.
    std::optional<WaitedTime> waited;
    if (!copied && threaded) {
        m_private->clearFailure(time);
        m_private->forgetComplete(time);
        waited.emplace(*m_private, time);
    }
    if (!copied || !m_private->requestChangesNothing(time)) setLastRequestedTime(time);
    if (copied) {
        length = count;
        return true;
    }

    // Stopped while waiting: the request is still answered, on this thread.
    if (!threaded || waitForWorker(*this, *m_private, *source, time)) {
        qzThread::MutexOp lock(m_private->readerMutex, true);
        int requested = time;
        getLastRequestedTime(requested);
        std::vector<int> keepTimes;
        getDataTimesToBeCached(requested, keepTimes);
        const qzDataFileRead file(*this, *m_private);
        readAllDataAtTimeAndStoreInMemory(time, keepTimes, file.reader());
    }
    if (!source->copyArrayData(data, count, time)) return false;
    length = count;
    return true;
}
