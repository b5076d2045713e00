// The memory cache and its preloading worker: which times are kept around a request, loading
// a whole time, eviction, and playback through the worker on real cache files in every order,
// with start/stop cycles, release while the worker runs and data files that are missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "recordingFileIO.h"
#include "testCache.h"

using qztest::text;

namespace {

// Reaches the protected members and tells when it is destroyed.
class Probe : public qzCacheFileAccessor {
public:
    std::promise<void>* destroyed = nullptr;
    using qzCacheFileAccessor::getDataTimesToBeCached;
    using qzCacheFileAccessor::readAllDataAtTimeAndStoreInMemory;
    qzCacheChannel& channel(unsigned int index) { return *m_channels.at(index); }
    bool storedEverywhere(int time) const {
        return std::all_of(m_channels.begin(), m_channels.end(), [&](const qzCacheChannel* c) {
            unsigned int position = 0;
            return c->findData(time, position, true);
        });
    }

private:
    ~Probe() override {
        if (destroyed) destroyed->set_value();
    }
};

// Double-array channels "a" and "b" on the grid 0, 250, ... 2500, over a one-file fake (strict,
// like a chunked file) whose time groups the tests fill.
struct FakeCache {
    qztest::TempDir dir;
    qztest::FakeDisk disk;
    qztest::CallLog log;
    Probe* accessor = new Probe;
    qztest::AccessorRef ref{accessor};
    qztest::RecordingFileIO reader{qzCacheFileIO::kRead, disk, log};
    qztest::FakeFile& file = disk["fake"];

    FakeCache() {
        accessor->setStorageLocation(text(dir.path()));
        accessor->setBaseFileName(text("shot"));
        accessor->setDistribution(qzCacheFileAccessor::kOneFile);
        for (const char* name : {"a", "b"}) {
            unsigned int index = 0;
            EXPECT_TRUE(accessor->addChannel(text(name), text(""), qzCacheData::kDoubleArray, index));
            accessor->setChannelStartTime(index, 0);
            accessor->setChannelEndTime(index, 2500);
            accessor->setChannelSamplingRate(index, 250);
        }
        reader.strict = true;
        reader.open(text("fake"));
    }
    bool load(int time, std::vector<int> keep) {
        return accessor->readAllDataAtTimeAndStoreInMemory(time, keep, &reader);
    }
    std::vector<int> timesToKeep(int requested) {
        std::vector<int> times;
        accessor->getDataTimesToBeCached(requested, times);
        return times;
    }
};

}  // namespace

TEST(MemoryCache, KeepsTheRequestedThenTheFollowingThenThePreviousTimes) {
    struct Case {
        unsigned int queue;
        int requested;
        std::vector<int> kept;
    };
    const Case cases[] = {{3, 1000, {1000, 1250, 750}},
                          {0, 1000, {1000, 1250, 750}},  // never fewer than three, however the queue shrank
                          {5, 1000, {1000, 1250, 1500, 1750, 750}},
                          {5, 1100, {1100, 1250, 1500, 1750, 1000}},
                          {5, 2250, {2250, 2500, 2000}},
                          {3, 0, {0, 250}}};
    FakeCache cache;
    for (const Case& c : cases) {
        cache.accessor->setMemoryPreLoadQueueSize(c.queue);
        EXPECT_EQ(cache.timesToKeep(c.requested), c.kept) << c.queue << " around " << c.requested;
    }
    // The following times come from any channel.
    cache.accessor->channel(1).setSamplingType(qzCacheChannel::kIrregular);
    for (int t : {1125, 1130}) cache.accessor->channel(1).addTime(t);
    cache.accessor->setMemoryPreLoadQueueSize(4);
    EXPECT_EQ(cache.timesToKeep(1000), (std::vector<int>{1000, 1125, 1130, 750}));
}

TEST(MemoryCache, WorkIsTheFirstKeptTimeThatIsNotWhole) {
    FakeCache cache;
    int work = -7;
    EXPECT_FALSE(cache.accessor->preLoadWorkAvailable(work)) << "work before any request";
    cache.accessor->setLastRequestedTime(1000);  // keeps 1000, 1250, 750
    double values[2] = {1.0, 2.0};
    // Stored in turn: (channel, time), then the work left.
    const std::pair<unsigned int, int> stores[] = {{0, 1000}, {1, 1000}, {0, 1250}, {1, 1250}, {0, 750}, {1, 750}};
    const int expected[] = {1000, 1250, 1250, 750, 750, -7};
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(cache.accessor->channel(stores[i].first).storeArrayData(values, 2, true, stores[i].second, false));
        work = -7;
        EXPECT_EQ(cache.accessor->preLoadWorkAvailable(work), expected[i] != -7) << i;
        EXPECT_EQ(work, expected[i]) << i;
    }
}

// A whole time loads in one pass: records of unknown channels are skipped, what was stored is
// replaced, and a record that does not read fails the load but keeps what came before it.
TEST(MemoryCache, LoadsAWholeTimeOrWhatLiesBeforeARecordThatFails) {
    struct Case {
        const char* what;
        std::vector<double> values;  // of "b"
        const char* kind;
        unsigned int count;
        bool loads;
    };
    const Case cases[] = {{"records of unknown channels between", {4, 5}, "DBLA", 2, true},
                          {"an array of another type", {1, 2}, "FBCA", 2, false},
                          {"a count beyond the data file", {3}, "DBLA", 1u << 30, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCache cache;
        // The one data file the accessor names is 64 bytes long.
        qztest::writeFileBytes(cache.accessor->constructDataFilePathForOneFile().utf8(), std::vector<std::uint8_t>(64, 0));
        cache.file.add<double>(500, "a", "DBLA", {1, 2, 3}, 3);
        cache.file.add<float>(500, "ghost", "FVCA", {1, 2, 3, 4, 5, 6}, 2);
        cache.file.add<int>(500, "ghost2", "INTA", {7}, 1);
        cache.file.add<double>(500, "b", c.kind, c.values, c.count);
        double old[1] = {99.0};
        ASSERT_TRUE(cache.accessor->channel(0).storeArrayData(old, 1, true, 500, false));
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(cache.load(500, {500}), c.loads);
            double a[3] = {0, 0, 0};
            double b[2] = {0, 0};
            EXPECT_TRUE(cache.accessor->channel(0).copyArrayData(a, 3, 500) && a[2] == 3.0);
            EXPECT_EQ(cache.accessor->channel(1).copyArrayData(b, 2, 500) && b[1] == 5.0, c.loads);
            EXPECT_EQ(cache.accessor->channel(0).storedDataCount(), 1u) << "added, not replaced";
        }
        EXPECT_EQ(qztest::callCount(cache.log, "findTime"), 2);
        EXPECT_EQ(qztest::callCount(cache.log, "read DBLA(1073741824)"), 0) << "the huge array was read";
        EXPECT_EQ(cache.accessor->channel(0).timeCount(), 11u);  // the record stays as it was
    }
    FakeCache cache;
    EXPECT_FALSE(cache.load(750, {750}));
    std::vector<int> keep{500};
    EXPECT_FALSE(cache.accessor->readAllDataAtTimeAndStoreInMemory(500, keep, nullptr));
}

TEST(MemoryCache, EvictionKeepsAtMostQPlusOneAndNeverAKeptTime) {
    FakeCache cache;
    for (int t = 0; t <= 2500; t += 250) {
        cache.file.add<double>(t, "a", "DBLA", {t * 1.0}, 1);
        cache.file.add<double>(t, "b", "DBLA", {t * 2.0}, 1);
    }
    for (unsigned int q : {3u, 5u}) {
        cache.accessor->setMemoryPreLoadQueueSize(q);
        for (int t = 0; t <= 2500; t += 250) {
            const std::vector<int> keep = cache.timesToKeep(t);
            for (int k : keep) {
                ASSERT_TRUE(cache.load(k, keep));
                for (unsigned int c = 0; c < 2; ++c)
                    EXPECT_LE(cache.accessor->channel(c).storedDataCount(), q + 1) << t;
            }
            for (int k : keep) EXPECT_TRUE(cache.accessor->storedEverywhere(k)) << "evicted kept " << k;
        }
    }
    // After the queue shrinks, every load removes one surplus sample per channel.
    cache.accessor->setMemoryPreLoadQueueSize(3);
    const unsigned int before = cache.accessor->channel(0).storedDataCount();
    ASSERT_GT(before, 4u);
    ASSERT_TRUE(cache.load(2500, {2500}));
    EXPECT_EQ(cache.accessor->channel(0).storedDataCount(), before - 1);
}

namespace {

using qztest::TestCache;
using Reads = std::function<void(Probe&, const TestCache&)>;

// Runs reads on a thread of their own, with their own reference to the reader and a copy of the
// cache, so that a read stuck on the worker fails the test instead of hanging it.
bool readsEndInTime(Probe* reader, const TestCache& cache, Reads reads) {
    reader->ref();
    return qztest::endsInTime([reader, cache, reads] {
        reads(*reader, cache);
        reader->unref();
    });
}

void interpolate(qzCacheFileAccessor& reader, qzCacheChannel::qzCacheInterpolation how) {
    for (unsigned int c = 0; c < reader.numChannels(); ++c) reader.setChannelInterpolation(c, how);
}

std::vector<int> frameTimes(int count) {
    std::vector<int> times(static_cast<std::size_t>(count));
    for (int f = 0; f < count; ++f) times[static_cast<std::size_t>(f)] = f * 250;
    return times;
}

// A cache of every array type on frames 0 .. frames-1 and a probe reading it.
struct DiskCache : qztest::CacheOnDisk<Probe> {
    DiskCache(qztest::Layout layout, const char* format, int frames)
        : CacheOnDisk(layout, format, frameTimes(frames)) {}
    bool removeFrame(int frame) { return std::filesystem::remove(this->frame(frame * 250)); }
    bool readsEndInTime(Reads reads) { return ::readsEndInTime(reader, cache, std::move(reads)); }
};

void expectFrame(Probe& reader, const TestCache& cache, int frame) {
    EXPECT_TRUE(qztest::readsBackTime(reader, cache, frame * 250)) << "frame " << frame;
}

class WorkerPlayback : public testing::TestWithParam<qztest::LayoutCase> {};

}  // namespace

TEST_P(WorkerPlayback, EveryOrderReadsWhatWasWrittenWithinQPlusOneSamples) {
    DiskCache disk(GetParam().layout, GetParam().format, 14);
    const std::vector<int> forward = frameTimes(14);
    std::vector<int> shuffled = forward;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(20240611));
    const std::vector<int> backward(forward.rbegin(), forward.rend());
    ASSERT_TRUE(disk.reader->startMultiThreadRead(false));
    ASSERT_TRUE(disk.readsEndInTime([forward, backward, shuffled](Probe& reader, const TestCache& cache) {
        for (const std::vector<int>* order : {&forward, &backward, &shuffled})
            for (int t : *order) EXPECT_TRUE(qztest::readsBackTime(reader, cache, t)) << "time " << t;
    })) << "a read did not return";
    EXPECT_TRUE(disk.reader->stopMultiThreadRead());
    for (unsigned int c = 0; c < disk.reader->numChannels(); ++c)
        EXPECT_LE(disk.reader->channel(c).storedDataCount(), disk.reader->memoryPreLoadQueueSize() + 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WorkerPlayback, testing::ValuesIn(qztest::everyLayout()), qztest::layoutCaseName);

TEST(WorkerPlaybackThreads, TwoReadersFarApartBothFinishAndAStopLeavesNoneBlocked) {
    // Each request moves the worker to its own time; a reader whose request the other one
    // replaced while it waited must still get its sample rather than wait for ever. A request
    // waiting for the worker when it stops is answered on its own thread.
    DiskCache disk(qztest::kPerFrame, "kcc", 24);
    ASSERT_TRUE(disk.reader->startMultiThreadRead(false));
    ASSERT_TRUE(disk.readsEndInTime([](Probe& reader, const TestCache& cache) {
        std::thread backward([&] {
            for (int f = 23; f >= 0; --f) EXPECT_TRUE(qztest::readsBack(reader, cache, 1, f * 250));
        });
        for (int f = 0; f < 24; ++f) EXPECT_TRUE(qztest::readsBack(reader, cache, 3, f * 250));
        backward.join();
        std::thread playback([&] {
            for (int f = 0; f < 24; ++f) EXPECT_TRUE(qztest::readsBack(reader, cache, 2, f * 250));
        });
        EXPECT_TRUE(qztest::readsBack(reader, cache, 0, 0));
        EXPECT_TRUE(reader.stopMultiThreadRead());
        playback.join();
    })) << "a read did not return";
}

TEST(WorkerLifecycle, StartStopCyclesKeepServingReads) {
    DiskCache disk(qztest::kOneFile, "kcx", 8);
    ASSERT_TRUE(disk.readsEndInTime([](Probe& reader, const TestCache& cache) {
        for (int cycle = 0; cycle < 12; ++cycle) {  // some stop before any request, some right after one
            ASSERT_TRUE(reader.startMultiThreadRead(false) && !reader.startMultiThreadRead(false));
            if (cycle % 3 != 0) expectFrame(reader, cache, (cycle * 5) % 8);
            ASSERT_TRUE(reader.stopMultiThreadRead() && !reader.stopMultiThreadRead());
        }
        // Without the worker the same accessor reads directly again.
        expectFrame(reader, cache, 7);
    })) << "a read did not return";
}

TEST(WorkerLifecycle, ALargerQueueIsFilledWithoutANewRequestedTime) {
    // Once the worker has found nothing more to do it sleeps through repeated requests for
    // the same time; a larger queue is new work all the same.
    DiskCache disk(qztest::kOneFile, "kcx", 10);
    ASSERT_TRUE(disk.reader->startMultiThreadRead(false));
    ASSERT_TRUE(disk.readsEndInTime([](Probe& reader, const TestCache& cache) {
        const auto filled = [&](std::vector<int> frames) {
            return qztest::waitUntil([&] {
                EXPECT_TRUE(qztest::readsBack(reader, cache, 0, 500));
                return std::all_of(frames.begin(), frames.end(),
                                   [&](int f) { return reader.storedEverywhere(f * 250); });
            });
        };
        EXPECT_TRUE(filled({1, 3})) << "the worker did not load the frames around the request";
        // Surplus wake-ups while nothing changes: the worker finds no work and sleeps again.
        for (int repeat = 0; repeat < 20; ++repeat) EXPECT_TRUE(qztest::readsBack(reader, cache, 0, 500));
        EXPECT_FALSE(reader.storedEverywhere(1000));
        reader.setMemoryPreLoadQueueSize(6);
        EXPECT_TRUE(filled({1, 2, 3, 4, 5, 6})) << "the larger queue was not filled";
    })) << "a read did not return";
    EXPECT_TRUE(disk.reader->stopMultiThreadRead());
}

TEST(WorkerLifecycle, LastReleaseWhileTheWorkerRunsDestroysOnce) {
    DiskCache disk(qztest::kPerFrame, "kcc", 10);
    const TestCache& cache = disk.cache;
    for (int round = 0; round < 12; ++round) {
        std::promise<void> destroyed;
        std::future<void> gone = destroyed.get_future();
        auto* reader = new Probe;
        reader->destroyed = &destroyed;
        ASSERT_TRUE(qztest::openTestCache(*reader, cache));
        ASSERT_TRUE(reader->startMultiThreadRead(false));
        ASSERT_TRUE(readsEndInTime(reader, cache, [round](Probe& r, const TestCache& c) {
            EXPECT_TRUE(qztest::readsBack(r, c, round % 5, (round % 10) * 250));
        })) << "a read did not return";
        if (round % 3 == 0) {
            // Stopped and released at once, while the worker is still loading the frames
            // around the request: whichever of the two lets go last destroys it.
            reader->stopMultiThreadRead();
            reader->unref();
        } else if (round % 3 == 1) {
            // The creator lets go first; a second holder stops the worker and releases.
            reader->ref();
            reader->unref();
            reader->stopMultiThreadRead();
            reader->unref();
        } else {
            // The creator lets go while the worker runs, then stops it: the worker may give
            // back the last reference while the stop is still in progress.
            reader->unref();
            reader->stopMultiThreadRead();
        }
        ASSERT_EQ(gone.wait_for(qztest::kPatience), std::future_status::ready)
            << "the accessor was never destroyed";
    }
}

TEST(WorkerFailure, MissingFrameFileFailsTheRequestInsteadOfHanging) {
    DiskCache disk(qztest::kPerFrame, "kcc", 10);
    ASSERT_TRUE(disk.removeFrame(5));
    interpolate(*disk.reader, qzCacheChannel::kNoInterpolation);
    ASSERT_TRUE(disk.reader->startMultiThreadRead(false));
    ASSERT_TRUE(disk.readsEndInTime([](Probe& reader, const TestCache& cache) {
        for (int attempt = 0; attempt < 3; ++attempt) EXPECT_TRUE(std::isnan(qztest::readWeight(reader, 1250)));
        // The worker is not stuck on the failing time: the frames around it still come.
        for (int frame : {4, 6, 0, 9}) expectFrame(reader, cache, frame);
    })) << "a read did not return";
    EXPECT_TRUE(disk.reader->stopMultiThreadRead());
}

TEST(WorkerFailure, MissingOneFileDataFileFailsEveryRequest) {
    DiskCache disk(qztest::kOneFile, "kcc", 4);
    // The caller's reader stays open on the file; the worker opens its own by name and finds
    // nothing there.
    disk.reader->setBaseFileName(text("renamed"));
    interpolate(*disk.reader, qzCacheChannel::kNoInterpolation);
    ASSERT_TRUE(disk.reader->startMultiThreadRead(false));
    ASSERT_TRUE(disk.readsEndInTime([](Probe& reader, const TestCache&) {
        for (int frame = 0; frame < 4; ++frame) EXPECT_TRUE(std::isnan(qztest::readWeight(reader, frame * 250))) << frame;
    })) << "a read did not return";
    EXPECT_TRUE(disk.reader->stopMultiThreadRead());
}

TEST(CopyingWithoutWorker, AWholeTimeIsLoadedOnTheCallersThread) {
    DiskCache disk(qztest::kPerFrame, "kcc", 6);
    disk.reader->setOptimizeMultiChannelRead(true);
    interpolate(*disk.reader, qzCacheChannel::kNoInterpolation);
    EXPECT_TRUE(qztest::readsBack(*disk.reader, disk.cache, 0, 750));
    // Everything of frame 3 is in memory now: without its file the other channels still read.
    ASSERT_TRUE(disk.removeFrame(3));
    expectFrame(*disk.reader, disk.cache, 3);
    // Not the neighbours: they were never asked for.
    ASSERT_TRUE(disk.removeFrame(4));
    EXPECT_TRUE(std::isnan(qztest::readWeight(*disk.reader, 1000)));
}
