// Internal state of qzCacheFileAccessor beyond its documented fields. Not installed.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qzCacheFileIO.h"
#include "qzThread.h"

class qzCacheFileAccessor;

// The reader made to read beside an installed writer, in the cache's format.
std::unique_ptr<qzCacheFileIO> qzCreateSideReader(const qzString::IString& cacheFormat);
// Hands what a writer buffered to the operating system, so that a reader sees it. False when
// that, or any earlier write to the writer's current file, failed; formats other than ours
// keep their own counsel and always give true.
bool qzFlushWriter(qzCacheFileIO* writer);
// Whether a write to the writer's last file failed; still answered after it was closed.
bool qzWriterFailed(qzCacheFileIO* writer);
// A reader of a file a writer may still be appending to takes the file's new length; formats
// other than ours keep their own counsel.
void qzTakeGrowth(qzCacheFileIO* reader);

// Releases a block that came from malloc.
struct qzFreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// What the description read last says of a one-file cache still being written: how many time
// groups from the start of its data file the times it names fill. False when it says nothing
// (a complete cache, a per-frame one).
bool qzWrittenTimeGroups(const qzCacheFileAccessor& accessor, std::uint64_t& groups);

struct qzCacheFileAccessorPrivate {
    // A data write failed since the cache was last opened for writing.
    bool writeFailed = false;
    // The one data file's latest time group. Its reader finds times only while they increase,
    // so a time not after that group is refused: written, it could never be read back.
    bool hasLastGroupTime = false;
    int lastGroupTime = 0;
    bool timeRefused = false;

    // Live writing (qzCacheFileAccessorWriting.cpp): after a time ends, the description is
    // replaced, naming every time completed so far, at most once per interval.
    struct LiveWrite {
        bool on = false;
        std::chrono::milliseconds interval{1000};
        // Names this write in its descriptions; made at its first publish.
        qzString::IString name;
        // The last publish, or when live writing was turned on.
        std::chrono::steady_clock::time_point lastPublish;
        // Time groups ended in the one data file since its writer was installed.
        std::uint64_t timeGroups = 0;
    };
    LiveWrite live;

    // What the description read last says of its writer (readDescriptionFile, refresh): the
    // write it names (empty for a cache not written live), whether that write goes on, and
    // how many time groups of a one-file data file it finished.
    std::string describedWrite;
    bool beingWritten = false;
    bool hasWrittenTimeGroups = false;
    std::uint64_t writtenTimeGroups = 0;
    // Set by a refresh that found the cache written anew under its name: the worker's reader
    // looks at its file afresh before its next step, as the main reader did at once.
    std::atomic<bool> rereadFiles{false};
    // The sampling record each channel's description gave, by index; none for a channel that
    // came otherwise. A refresh compares the next description with it, and a scan of the data
    // files learns only times within its range: a writer still at work may have put later,
    // unfinished times there. Changed and read under the reader mutex.
    struct DescribedRecord {
        bool known = false;
        int samplingType = 0;
        int rate = 0;
        int start = 0;
        int end = -1;
    };
    std::vector<DescribedRecord> described;
    DescribedRecord describedRecord(unsigned int channel) const {
        return channel < described.size() ? described[channel] : DescribedRecord();
    }
    bool withinDescribed(unsigned int channel, int time) const {
        const DescribedRecord record = describedRecord(channel);
        return !record.known || (time >= record.start && time <= record.end);
    }

    // Channel index by UTF-8 name, so that loading a time does not search the channel list
    // for every record. Names are unique; the first channel of a name is the one indexed.
    std::unordered_map<std::string, unsigned int> channelByName;

    // The frame file path built last and what it was built from: playback asks for the file of
    // one time once per channel, and building a path costs more than reading a small array.
    struct FramePath {
        int time = 0;
        int ticksPerFrame = 0;
        qzString::IString location;
        qzString::IString baseName;
        qzString::IString extension;
        qzString::IString path;
        bool valid = false;
    };
    qzThread::Mutex framePathMutex{false};
    FramePath framePath;

    // Reads while the installed file IO object is a writer go through this reader instead,
    // so that no read ever truncates or rewrites a data file.
    std::unique_ptr<qzCacheFileIO> sideReader;

    // Serialises every use of the main reader (and of sideReader) and every rescan that may
    // rewrite a channel's time list, between the caller and the worker. Taken after the
    // thread working mutex and before the request mutex; never held while waiting.
    qzThread::Mutex readerMutex{true};

    // Readers waiting for the worker. Every finished load step, failed or not, and the
    // worker's leaving (after a stop) move the generation on and wake them all.
    qzThread::Mutex loadedMutex{false};
    std::condition_variable_any loadedCondition;
    std::uint64_t loadGeneration = 0;
    // Times the worker could not load completely. They are no work for it until a reader
    // asks for one again or a later load of it succeeds.
    std::set<int> failedTimes;
    // Times readers wait for. When the times around the last request are all in memory the
    // worker loads these, so that a reader whose request another reader replaced still gets
    // its sample.
    std::multiset<int> waitedTimes;

    // Moves on whenever something that can give the worker new work changes: the last
    // requested time, a stored sample, a failure mark, a waited time, the queue size, the
    // channels or their sampling records. Every request wakes the worker; while this is
    // unchanged since its last check found nothing, it goes back to sleep without checking
    // every channel again.
    std::atomic<std::uint64_t> workGeneration{0};
    void noteWork() { workGeneration.fetch_add(1, std::memory_order_acq_rel); }
    // The description named new times: one the worker gave up on may be in the files now.
    void learnedNewTimes() {
        {
            qzThread::MutexOp lock(loadedMutex, true);
            failedTimes.clear();
        }
        noteWork();
    }

    // Samples whose record a load found but whose array did not read (damaged bytes, a failed
    // read, no memory for it), by channel and time: a request for one fails instead of being
    // answered by interpolation as a missing sample is. A later load that stores the sample
    // clears its mark.
    std::set<std::pair<unsigned int, int>> unreadable;
    std::atomic<bool> anyUnreadable{false};  // set with the first mark, never cleared
    void markUnreadable(unsigned int channel, int time, bool unreadableNow);
    bool isUnreadable(unsigned int channel, int time);

    // Times loaded completely (every channel that lists one has its sample in memory), for
    // `completeChannels` channels: the worker's check passes over them instead of looking at
    // every channel again. A reader's miss at a time, and a load that may evict it, take it out.
    std::set<int> completeTimes;
    std::size_t completeChannels = 0;
    void markComplete(int time, std::size_t channels);
    void forgetComplete(int time);
    void keepCompleteOnly(const std::vector<int>& times);
    // The times the worker's check passes over: failed ones, and complete ones while the
    // channel count is unchanged.
    std::set<int> timesToPass(std::size_t channels);

    // The time of the last request and the work generation when it woke the worker, read
    // without a lock: a request that finds its sample at the time asked last, while nothing
    // changed since, gives the worker nothing to do and does not wake it.
    std::atomic<std::int64_t> lastRequest{INT64_MIN};
    std::atomic<std::uint64_t> wokenAt{UINT64_MAX};
    bool requestChangesNothing(int time) const {
        return lastRequest.load(std::memory_order_relaxed) == time &&
               wokenAt.load(std::memory_order_relaxed) == workGeneration.load(std::memory_order_acquire);
    }

    std::multiset<int> waitedTimesCopy();
    void addWaiter(int time);
    void removeWaiter(int time);
    bool hasFailed(int time);
    void clearFailure(int time);
    // Ends one load step: a complete load clears the time's failure mark, anything else sets
    // it; either way every waiting reader wakes.
    void finishLoad(int time, bool complete);
    void wakeWaiters();
    std::uint64_t generation();
    // Returns once the generation differs from `seen`.
    void waitPast(std::uint64_t seen);

    // Set from a start until its worker has left its loop, so that a new start never runs
    // a second worker beside it.
    qzThread::Mutex workerMutex{false};
    std::condition_variable_any workerLeft;
    bool workerRunning = false;

    // Blocks for the neighbours of interpolated requests and for samples on their way from a
    // file into a channel, kept from one use to the next: a fresh frame-sized block would be
    // mapped page by page by the system again each time, which costs more than the reads. A
    // user takes blocks out and gives them back, so threads never share one.
    struct ScratchBlock {
        std::unique_ptr<void, qzFreeDeleter> bytes;
        std::size_t size = 0;
    };
    qzThread::Mutex scratchMutex{false};
    std::vector<ScratchBlock> scratchBlocks;
    ScratchBlock takeScratch(std::size_t bytes);
    void giveScratch(ScratchBlock block);
};

// One read of the cache's data files and the reader it goes through, under the reader mutex
// for its life. The reader is the installed one or, while a writer is installed, the side
// reader beside it (what the writer buffered is handed to the system first). It opens what
// the read needs and closes it again: beside a writer a one-file cache's data file, and, given
// a time, a per-frame cache's file of that time. Not nested: each opens its file afresh.
class qzDataFileRead {
public:
    // The data files as they stand: nothing is opened but a one-file cache's beside a writer.
    qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state);
    // The same, and in a per-frame cache the file of `time`.
    qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state, int time);
    ~qzDataFileRead();
    qzDataFileRead(const qzDataFileRead&) = delete;
    qzDataFileRead& operator=(const qzDataFileRead&) = delete;

    // Null without an installed file IO object.
    qzCacheFileIO* reader() const { return m_reader; }
    // The reader stands on the file the read needs: one this object opened, a one-file cache's
    // installed reader, or a per-frame cache's reader as it stands. False for a file that did
    // not open, without a reader, and without a distribution.
    bool ready() const { return m_ready; }
    // The file was opened here, so the reader stands right after its header.
    bool opened() const { return m_opened; }

private:
    qzDataFileRead(qzCacheFileAccessor& accessor, qzCacheFileAccessorPrivate& state,
                   const int* frameTime);

    qzThread::MutexOp m_lock;
    qzCacheFileIO* m_reader = nullptr;
    bool m_ready = false;
    bool m_opened = false;
};

// A block taken from the accessor's kept blocks and given back when done.
class qzScratchBlock {
public:
    qzScratchBlock(qzCacheFileAccessorPrivate& owner, std::size_t bytes)
        : m_owner(owner), m_block(owner.takeScratch(bytes)) {}
    ~qzScratchBlock() { reset(); }
    qzScratchBlock(const qzScratchBlock&) = delete;
    qzScratchBlock& operator=(const qzScratchBlock&) = delete;
    void* get() const { return m_block.bytes.get(); }
    explicit operator bool() const { return m_block.bytes != nullptr; }
    // Makes the block at least `bytes` long; false when no such block can be had.
    bool hold(std::size_t bytes) {
        if (m_block.bytes && m_block.size >= bytes) return true;
        reset();
        m_block = m_owner.takeScratch(bytes);
        return m_block.bytes != nullptr;
    }
    void reset() {
        if (m_block.bytes) m_owner.giveScratch(std::move(m_block));
        m_block = qzCacheFileAccessorPrivate::ScratchBlock();
    }

private:
    qzCacheFileAccessorPrivate& m_owner;
    qzCacheFileAccessorPrivate::ScratchBlock m_block;
};
