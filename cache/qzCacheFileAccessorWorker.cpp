// The preloading worker: what it finds to do, its loop, starting and stopping it, and the
// bookkeeping it shares with the readers that wait for it.
//
// Lock order: thread working mutex, reader mutex (private), request mutex, one channel's
// mutex. The state mutex is taken alone; nothing is taken under the private loaded and worker
// mutexes. No lock is held while a reader waits for the worker or the worker sleeps.
//
// Readers wait on a generation count in the private state rather than on the loaded
// semaphore: one post wakes one waiter, and a second reader waiting for a time nobody loads
// again would sleep for ever. The semaphore is still posted after every load.
#include "qzCacheFileAccessor.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"

namespace {

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

qzCacheFileIO* newWorkerReader() {
    return new (std::nothrow) qzCacheFileIffIO(qzCacheFileIO::kRead, qzString::IString());
}

}  // namespace

std::multiset<int> qzCacheFileAccessorPrivate::waitedTimesCopy() {
    qzThread::MutexOp lock(loadedMutex, true);
    return waitedTimes;
}

void qzCacheFileAccessorPrivate::addWaiter(int time) {
    {
        qzThread::MutexOp lock(loadedMutex, true);
        waitedTimes.insert(time);
    }
    noteWork();
}

void qzCacheFileAccessorPrivate::removeWaiter(int time) {
    qzThread::MutexOp lock(loadedMutex, true);
    auto at = waitedTimes.find(time);
    if (at != waitedTimes.end()) waitedTimes.erase(at);
}

void qzCacheFileAccessorPrivate::markUnreadable(unsigned int channel, int time,
                                                bool unreadableNow) {
    // Every record of every load clears its mark: without any mark that costs no lock.
    if (!unreadableNow && !anyUnreadable.load(std::memory_order_acquire)) return;
    qzThread::MutexOp lock(loadedMutex, true);
    if (unreadableNow) {
        unreadable.emplace(channel, time);
        anyUnreadable.store(true, std::memory_order_release);
    } else {
        unreadable.erase({channel, time});
    }
}

bool qzCacheFileAccessorPrivate::isUnreadable(unsigned int channel, int time) {
    qzThread::MutexOp lock(loadedMutex, true);
    return unreadable.count({channel, time}) != 0;
}

void qzCacheFileAccessorPrivate::markComplete(int time, std::size_t channels) {
    qzThread::MutexOp lock(loadedMutex, true);
    if (channels != completeChannels) completeTimes.clear();
    completeChannels = channels;
    completeTimes.insert(time);
}

void qzCacheFileAccessorPrivate::forgetComplete(int time) {
    qzThread::MutexOp lock(loadedMutex, true);
    completeTimes.erase(time);
}

void qzCacheFileAccessorPrivate::keepCompleteOnly(const std::vector<int>& times) {
    qzThread::MutexOp lock(loadedMutex, true);
    for (auto at = completeTimes.begin(); at != completeTimes.end();) {
        if (std::find(times.begin(), times.end(), *at) == times.end()) {
            at = completeTimes.erase(at);
        } else {
            ++at;
        }
    }
}

std::set<int> qzCacheFileAccessorPrivate::timesToPass(std::size_t channels) {
    qzThread::MutexOp lock(loadedMutex, true);
    std::set<int> passed = failedTimes;
    if (channels == completeChannels) passed.insert(completeTimes.begin(), completeTimes.end());
    return passed;
}

bool qzCacheFileAccessorPrivate::hasFailed(int time) {
    qzThread::MutexOp lock(loadedMutex, true);
    return failedTimes.count(time) != 0;
}

void qzCacheFileAccessorPrivate::clearFailure(int time) {
    bool cleared = false;
    {
        qzThread::MutexOp lock(loadedMutex, true);
        cleared = failedTimes.erase(time) != 0;
    }
    if (cleared) noteWork();
}

void qzCacheFileAccessorPrivate::finishLoad(int time, bool complete) {
    {
        qzThread::MutexOp lock(loadedMutex, true);
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
        qzThread::MutexOp lock(loadedMutex, true);
        ++loadGeneration;
    }
    loadedCondition.notify_all();
}

std::uint64_t qzCacheFileAccessorPrivate::generation() {
    qzThread::MutexOp lock(loadedMutex, true);
    return loadGeneration;
}

void qzCacheFileAccessorPrivate::waitPast(std::uint64_t seen) {
    qzThread::MutexOp lock(loadedMutex, true);
    loadedCondition.wait(lock, [&] { return loadGeneration != seen; });
}

bool qzCacheFileAccessor::preLoadWorkAvailable(int& time) {
    int requested = 0;
    if (!getLastRequestedTime(requested)) return false;
    const std::set<int> failed = m_private->timesToPass(m_channels.size());
    std::vector<int> times;
    size_t missing = 0;
    {
        // The time lists may be rewritten by a rescan on another thread.
        qzThread::MutexOp reader(m_private->readerMutex, true);
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
        qzThread::MutexOp lock(m_private->workerMutex, true);
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
        qzThread::MutexOp lock(m_private->loadedMutex, true);
        m_private->failedTimes.clear();
        m_private->completeTimes.clear();
    }
    m_private->noteWork();
    {
        qzThread::MutexOp lock(m_private->workerMutex, true);
        m_private->workerRunning = true;
    }
    m_multiThreadReadMode = true;
    ref();
    qzThread::Thread worker(workerThreadFunc, this);
    if (worker.start().failed()) {
        // No worker would ever load anything: readers must not wait for one.
        m_multiThreadReadMode = false;
        {
            qzThread::MutexOp lock(m_private->workerMutex, true);
            m_private->workerRunning = false;
        }
        unref();
        return false;
    }
    return true;
}

bool qzCacheFileAccessor::stopMultiThreadRead() {
    if (!m_multiThreadReadMode || !m_stateMutex) return false;
    qzThread::MutexOp lock(*m_stateMutex, true);
    if (!m_multiThreadReadMode) return false;
    m_multiThreadReadMode = false;
    m_workerWakeSemaphore->post();
    // Releasing the state mutex hands the stop over: the worker may then give back the last
    // reference at once, so nothing of the accessor is touched after it. The worker wakes
    // the waiting readers as it leaves.
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
            qzThread::MutexOp lock(state->readerMutex, true);
            path = self->constructDataFilePathForOneFile();
        }
        self->m_threadFileAccessor->open(path);
    }

    // The work generation when a check last found nothing to do.
    bool idle = false;
    std::uint64_t idleGeneration = 0;
    while (self->isInMultiThreadReadMode()) {
        qzThread::MutexOp working(*self->m_threadWorkingMutex, true);
        // A refresh found the cache written anew: nothing read ahead of the old file stays.
        if (state->rereadFiles.exchange(false) && self->m_threadFileAccessor &&
            self->m_threadFileAccessor->isValid()) {
            self->m_threadFileAccessor->rewind();
        }
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
                qzThread::MutexOp reader(state->readerMutex, true);
                complete = firstMissingTime(self->m_channels, {time}, {}) != 0;
            }
            // A time a channel still lacks (its record lists a time the file does not hold)
            // counts as failed, or the worker would load it again and again.
            if (complete) state->markComplete(time, self->m_channels.size());
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
        qzThread::MutexOp lock(state->workerMutex, true);
        state->workerRunning = false;
        state->workerLeft.notify_all();
    }
    // May destroy the accessor; nothing of it is touched afterwards.
    self->unref();
}
