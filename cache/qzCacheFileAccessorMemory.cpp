// Memory cache and background preloading: the times kept around the last request, loading a
// whole time into the channels' memory, the worker thread and the reader's side of it.
//
// Lock order: thread working mutex, reader mutex (private), request mutex, one channel's
// mutex. The state mutex is taken alone; nothing is taken under the private loaded and worker
// mutexes. No lock is held while a reader waits for the worker or the worker sleeps.
//
// Readers wait on a generation count in the private state rather than on the loaded
// semaphore: one post wakes one waiter, and a second reader waiting for a time nobody loads
// again would sleep for ever. The semaphore is still posted after every load.
#include "qzCacheFileAccessor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <mutex>
#include <new>

#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"
#include "qzFileSystem.h"

namespace {

using ReaderLock = std::lock_guard<std::recursive_mutex>;

// A channel lacks a time when its sampling record lists the time and no sample of it is in
// memory. Gives the index of the first time some channel lacks (times marked failed are
// skipped), or the list's size when none. Channels of single values lack nothing: the data
// files have no place for them, so no load ever brings them.
size_t firstMissingTime(const std::vector<qzCacheChannel*>& channels,
                        const std::vector<int>& times, const std::set<int>& failed) {
    for (size_t i = 0; i < times.size(); ++i) {
        if (failed.count(times[i]) != 0) continue;
        for (const qzCacheChannel* channel : channels) {
            if (!qzCacheData::isArrayType(channel->dataType())) continue;
            unsigned int position = 0;
            if (channel->hasTime(times[i]) && !channel->findData(times[i], position, true))
                return i;
        }
    }
    return times.size();
}

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

// The reader for a load on the caller's thread. While a writer is installed that is the side
// reader, opened here on a one-file cache's data file (`opened` then asks for a close).
qzCacheFileIO* loadingReader(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state,
                             bool& opened) {
    opened = false;
    qzCacheFileIO* installed = accessor.fileAccessor();
    if (!installed || installed->fileAccessMode() == qzCacheFileIO::kRead) return installed;
    if (!state.sideReader) state.sideReader = qzCreateSideReader(accessor.cacheFormat());
    qzCacheFileIO* reader = state.sideReader.get();
    if (!reader) return nullptr;
    qzFlushWriter(installed);
    if (accessor.distribution() == qzCacheFileAccessor::kOneFile) {
        const qzString::IString path = accessor.constructDataFilePathForOneFile();
        opened = !path.empty() && reader->open(path);
    }
    return reader;
}

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

qzCacheFileIO* newWorkerReader() {
    return new (std::nothrow) qzCacheFileIffIO(qzCacheFileIO::kRead, qzString::IString());
}

}  // namespace

std::set<int> qzCacheFileAccessorPrivate::failedTimesCopy() {
    std::lock_guard<std::mutex> lock(loadedMutex);
    return failedTimes;
}

std::multiset<int> qzCacheFileAccessorPrivate::waitedTimesCopy() {
    std::lock_guard<std::mutex> lock(loadedMutex);
    return waitedTimes;
}

void qzCacheFileAccessorPrivate::addWaiter(int time) {
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        waitedTimes.insert(time);
    }
    noteWork();
}

void qzCacheFileAccessorPrivate::removeWaiter(int time) {
    std::lock_guard<std::mutex> lock(loadedMutex);
    auto at = waitedTimes.find(time);
    if (at != waitedTimes.end()) waitedTimes.erase(at);
}

bool qzCacheFileAccessorPrivate::hasFailed(int time) {
    std::lock_guard<std::mutex> lock(loadedMutex);
    return failedTimes.count(time) != 0;
}

void qzCacheFileAccessorPrivate::clearFailure(int time) {
    bool cleared = false;
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        cleared = failedTimes.erase(time) != 0;
    }
    if (cleared) noteWork();
}

void qzCacheFileAccessorPrivate::finishLoad(int time, bool complete) {
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        if (complete) {
            failedTimes.erase(time);
        } else {
            failedTimes.insert(time);
        }
        ++loadGeneration;
    }
    noteWork();
    loadedCondition.notify_all();
}

void qzCacheFileAccessorPrivate::wakeWaiters() {
    {
        std::lock_guard<std::mutex> lock(loadedMutex);
        ++loadGeneration;
    }
    loadedCondition.notify_all();
}

std::uint64_t qzCacheFileAccessorPrivate::generation() {
    std::lock_guard<std::mutex> lock(loadedMutex);
    return loadGeneration;
}

void qzCacheFileAccessorPrivate::waitPast(std::uint64_t seen) {
    std::unique_lock<std::mutex> lock(loadedMutex);
    loadedCondition.wait(lock, [&] { return loadGeneration != seen; });
}

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
    ReaderLock reader(m_private->readerMutex);
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

bool qzCacheFileAccessor::preLoadWorkAvailable(int& time) {
    int requested = 0;
    if (!getLastRequestedTime(requested)) return false;
    const std::set<int> failed = m_private->failedTimesCopy();
    std::vector<int> times;
    size_t missing = 0;
    {
        // The time lists may be rewritten by a rescan on another thread.
        ReaderLock reader(m_private->readerMutex);
        getDataTimesToBeCached(requested, times);
        if (times.empty()) return false;
        missing = firstMissingTime(m_channels, times, failed);
        if (missing == times.size()) {
            // Around the last request all is loaded: serve readers whose requests it replaced.
            const std::multiset<int> waited = m_private->waitedTimesCopy();
            const std::vector<int> others(waited.begin(), waited.end());
            const size_t other = firstMissingTime(m_channels, others, failed);
            if (other == others.size()) return false;
            time = others[other];
            return true;
        }
    }

    time = times[missing];
    if (m_verbose) {
        const float share = static_cast<float>(missing) / static_cast<float>(times.size());
        std::printf("cacheBuffer %d%% full\n", static_cast<int>(share * 100.0f));
    }
    return true;
}

bool qzCacheFileAccessor::readAllDataAtTimeAndStoreInMemory(int time, std::vector<int>& keepTimes,
                                                            qzCacheFileIO* reader) {
    const unsigned int limit = m_memoryPreLoadQueueSize;
    for (qzCacheChannel* channel : m_channels) {
        if (channel->storedDataCount() > limit) channel->removeOneData(keepTimes);
    }
    // Evicted and stored samples change what the worker finds to do.
    const WorkChange change(*m_private);

    const bool perFrame = m_distribution == kOneFilePerFrame;
    qzString::IString path;
    {
        // The extension comes from the main reader, which the caller may be using.
        ReaderLock lock(m_private->readerMutex);
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
    qzString::IString name;
    while (reader->readChannelName(name)) {
        const unsigned int length = reader->readArraySize();
        unsigned int index = 0;
        if (!hasChannelByName(name, index)) {
            skipArray(*reader);
            continue;
        }
        const std::uint64_t bytes =
            std::uint64_t(length) * qzCacheData::elementSize(m_channels[index]->dataType());
        // Read into a kept block; the channel keeps a copy of its own.
        qzScratchBlock block(*m_private, bytes <= byteBound ? static_cast<std::size_t>(bytes) : 0);
        void* buffer = bytes <= byteBound ? block.get() : nullptr;
        if (!buffer || !readChannelDataFromFile(index, buffer, length, reader) ||
            !m_channels[index]->storeArrayData(buffer, length, true, time, false)) {
            stored = false;
            break;
        }
    }
    reader->endReadChunk();
    if (perFrame) reader->close();
    return stored;
}

bool qzCacheFileAccessor::threadLoadNextDataItem(int time) {
    int requested = time;
    getLastRequestedTime(requested);
    std::vector<int> keepTimes;
    getDataTimesToBeCached(requested, keepTimes);
    return readAllDataAtTimeAndStoreInMemory(time, keepTimes, m_threadFileAccessor);
}

bool qzCacheFileAccessor::startMultiThreadRead(bool verbose) {
    if (m_multiThreadReadMode) return false;
    {
        // A worker told to stop may still be finishing its step; it must leave first.
        std::unique_lock<std::mutex> lock(m_private->workerMutex);
        m_private->workerLeft.wait(lock, [this] { return !m_private->workerRunning; });
    }
    m_verbose = verbose;
    scanForAllData();

    try {
        if (!m_stateMutex) m_stateMutex = new qzThread::Mutex(true);
        if (!m_workerWakeSemaphore) m_workerWakeSemaphore = new qzThread::Semaphore(0);
        if (!m_workerEventSemaphore) m_workerEventSemaphore = new qzThread::Semaphore(0);
        if (!m_lastRequestedTimeMutex) m_lastRequestedTimeMutex = new qzThread::Mutex(true);
        if (!m_threadWorkingMutex) m_threadWorkingMutex = new qzThread::Mutex(true);
    } catch (const std::exception&) {
        std::printf("Error: semaphore creation failed in "
                    "qzCacheFileAccessor::startMultiThreadRead()\n");
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(m_private->loadedMutex);
        m_private->failedTimes.clear();
    }
    m_private->noteWork();
    {
        std::lock_guard<std::mutex> lock(m_private->workerMutex);
        m_private->workerRunning = true;
    }
    m_multiThreadReadMode = true;
    ref();
    qzThread::Thread worker(workerThreadFunc, this);
    if (worker.start().failed()) {
        // No worker would ever load anything: readers must not wait for one.
        m_multiThreadReadMode = false;
        {
            std::lock_guard<std::mutex> lock(m_private->workerMutex);
            m_private->workerRunning = false;
        }
        unref();
        return false;
    }
    return true;
}

bool qzCacheFileAccessor::stopMultiThreadRead() {
    if (!m_multiThreadReadMode || !m_stateMutex) return false;
    {
        qzThread::MutexOp lock(*m_stateMutex, true);
        if (!m_multiThreadReadMode) return false;
        m_multiThreadReadMode = false;
        m_workerWakeSemaphore->post();
    }
    m_private->wakeWaiters();
    return true;
}

bool qzCacheFileAccessor::isInMultiThreadReadMode() {
    if (!m_stateMutex) return m_multiThreadReadMode;
    qzThread::MutexOp lock(*m_stateMutex, true);
    return m_multiThreadReadMode;
}

void qzCacheFileAccessor::sleep() {
    if (m_workerWakeSemaphore) m_workerWakeSemaphore->wait();
}

void qzCacheFileAccessor::signalWorkerThreadEvent() {
    if (m_workerEventSemaphore) m_workerEventSemaphore->post();
}

void qzCacheFileAccessor::workerThreadFunc(void* argument) {
    auto* self = static_cast<qzCacheFileAccessor*>(argument);
    qzCacheFileAccessorPrivate* state = self->m_private;
    // No format: the container variant is taken from the first file the reader opens.
    self->setThreadFileAccessor(newWorkerReader());
    // A failed open makes every load step fail, which the waiting readers learn.
    if (self->m_threadFileAccessor && self->m_distribution == kOneFile) {
        qzString::IString path;
        {
            ReaderLock lock(state->readerMutex);
            path = self->constructDataFilePathForOneFile();
        }
        self->m_threadFileAccessor->open(path);
    }

    // The work generation when a check last found nothing to do.
    bool idle = false;
    std::uint64_t idleGeneration = 0;
    while (self->isInMultiThreadReadMode()) {
        qzThread::MutexOp working(*self->m_threadWorkingMutex, true);
        // Read before the check: a change during it moves the generation on, and its post
        // then brings the worker back to check again.
        const std::uint64_t generation = state->workGeneration.load(std::memory_order_acquire);
        int time = 0;
        if ((idle && generation == idleGeneration) || !self->preLoadWorkAvailable(time)) {
            idle = true;
            idleGeneration = generation;
            working.unlock();
            self->sleep();
            continue;
        }
        idle = false;
        if (self->threadLoadNextDataItem(time)) {
            bool complete = false;
            {
                ReaderLock reader(state->readerMutex);
                complete = firstMissingTime(self->m_channels, {time}, {}) != 0;
            }
            // A time a channel still lacks (its record lists a time the file does not hold)
            // counts as failed, or the worker would load it again and again.
            state->finishLoad(time, complete);
            self->signalWorkerThreadEvent();
            working.unlock();
        } else {
            state->finishLoad(time, false);
            // A reader that failed to open a frame file has taken a variant from nothing and
            // would fail on every frame of the other variant: start again with a fresh one.
            if (self->m_distribution == kOneFilePerFrame) {
                self->removeThreadFileAccessor();
                self->setThreadFileAccessor(newWorkerReader());
            }
            working.unlock();
            self->reduceMemoryPreLoadQueueSize();
        }
    }

    self->removeThreadFileAccessor();
    state->wakeWaiters();
    {
        std::lock_guard<std::mutex> lock(state->workerMutex);
        state->workerRunning = false;
        state->workerLeft.notify_all();
    }
    // May destroy the accessor; nothing of it is touched afterwards.
    self->unref();
}

bool qzCacheFileAccessor::getStoredArrayDataByCopying(unsigned int channel, int time,
                                                      unsigned int count, void*& data,
                                                      unsigned int& length) {
    if (channel >= m_channels.size()) return false;
    qzCacheChannel* source = m_channels[channel];
    {
        ReaderLock reader(m_private->readerMutex);
        if (!source->hasTime(time)) return false;
    }
    const bool copied = source->copyArrayData(data, count, time);
    const bool threaded = m_multiThreadReadMode;
    // A new miss makes a time the worker gave up on worth one more try. Both marks are set
    // before the request wakes the worker, so that it sees the time as work.
    std::optional<WaitedTime> waited;
    if (!copied && threaded) {
        m_private->clearFailure(time);
        waited.emplace(*m_private, time);
    }
    setLastRequestedTime(time);
    if (copied) {
        length = count;
        return true;
    }

    // Stopped while waiting: the request is still answered, on this thread.
    if (!threaded || waitForWorker(*this, *m_private, *source, time)) {
        ReaderLock lock(m_private->readerMutex);
        int requested = time;
        getLastRequestedTime(requested);
        std::vector<int> keepTimes;
        getDataTimesToBeCached(requested, keepTimes);
        bool opened = false;
        qzCacheFileIO* reader = loadingReader(*this, *m_private, opened);
        readAllDataAtTimeAndStoreInMemory(time, keepTimes, reader);
        if (opened) reader->close();
    }
    if (!source->copyArrayData(data, count, time)) return false;
    length = count;
    return true;
}
