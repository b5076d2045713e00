// Caches read while they are written: a writer thread with a reader that refreshes and reads
// every time it learns of, a writer process killed at a random moment, and a cache written anew
// under its name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qzCacheChecker.h"
#include "testCache.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

using qztest::TestCache;
using Clock = std::chrono::steady_clock;

struct LiveCase {
    qztest::Layout layout;
    const char* format;
    bool worker;     // read through the background worker, or directly from the files
    bool irregular;  // every other time off the frame grid
};

std::string caseName(const testing::TestParamInfo<LiveCase>& info) {
    const LiveCase& c = info.param;
    return qztest::layoutName(c.layout, c.format) + (c.worker ? "_Worker" : "_Direct") +
           (c.irregular ? "_Irregular" : "_Regular");
}

// Every layout and format; `mixed`: also read through the worker and written off the frame
// grid, each of the four combinations once per layout.
std::vector<LiveCase> liveCases(bool mixed) {
    std::vector<LiveCase> cases;
    for (const qztest::LayoutCase& l : qztest::everyLayout())
        for (bool irregular : {false, true}) {
            const bool worker = irregular != (std::string(l.format) == "kcx");
            if (mixed || !irregular) cases.push_back({l.layout, l.format, mixed && worker, irregular});
        }
    return cases;
}

TestCache liveCache(const std::string& directory, const LiveCase& c) {
    return TestCache{directory, "live", c.layout, c.format, 250, qztest::withBigChannel()};
}

std::vector<int> knownTimes(qzCacheFileInterface& cache) {
    std::vector<int> times;
    cache.accessor()->getDataTimes(0, times);
    return times;
}

class LiveWriterThread : public testing::TestWithParam<LiveCase> {};

TEST_P(LiveWriterThread, RefreshingReaderReadsEveryTimeItLearnsExactly) {
    const LiveCase& c = GetParam();
    constexpr int kFrames = 300;
    qztest::TempDir dir;
    const TestCache cache = liveCache(dir.path(), c);
    std::atomic<bool> writerDone{false};
    bool written = false;
    std::thread writerThread([&] {
        qzCacheFileInterface writer;
        bool ok = writer.initFileWrite(dir.path().c_str(), "live", c.layout, c.format, 250) &&
                  qztest::writeTestChannels(writer, cache);
        writer.setLiveWrite(true, 0);
        for (int frame = 0; ok && frame < kFrames; ++frame)
            ok = qztest::writeTestTime(writer, cache, frame * 250 + (c.irregular && frame % 2 ? 40 : 0));
        written = writer.endFileWrite() && ok;
        writerDone = true;
    });
    struct Join {
        std::thread& thread;
        ~Join() { thread.joinable() ? thread.join() : void(); }
    } join{writerThread};

    ASSERT_TRUE(qztest::waitUntil([&] { return writerDone || qztest::fileExists(cache.description()); }))
        << "no description in time";
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("live", dir.path().c_str()));
    ASSERT_TRUE(!c.worker || reader.startMultiThreadRead(false));
    std::set<int> read;
    // 300 frames under the thread sanitizer take their time.
    for (const auto deadline = Clock::now() + 4 * qztest::kPatience;;) {
        bool changed = false;
        ASSERT_TRUE(reader.refresh(changed)) << "the description did not read after " << read.size() << " times";
        const bool complete = reader.isComplete();
        // Back to an early time first, as playback that loops does: the reader then stands
        // before the groups it knows when it looks for the new ones.
        ASSERT_TRUE(read.empty() || qztest::readsBackTime(reader, cache, *read.begin()));
        for (int time : knownTimes(reader)) {
            if (read.count(time) != 0) continue;
            ASSERT_TRUE(qztest::readsBackTime(reader, cache, time)) << "named but does not read back";
            read.insert(time);
        }
        if (complete) break;
        ASSERT_LT(Clock::now(), deadline) << "the writer did not finish; " << read.size() << " times read";
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writerThread.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(read.size(), static_cast<std::size_t>(kFrames));
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveWriterThread, testing::ValuesIn(liveCases(true)), caseName);

#if !defined(_WIN32)

// The writer program, killed on the way out of a failed test.
class WriterProcess {
public:
    WriterProcess(const std::string& directory, const LiveCase& c, int interval) {
        const std::string layout = c.layout == qztest::kPerFrame ? "1" : "0";
        const std::string every = std::to_string(interval);
        char* arguments[] = {const_cast<char*>("liveCacheWriter"), const_cast<char*>(directory.c_str()),
                             const_cast<char*>(layout.c_str()),    const_cast<char*>(c.format),
                             const_cast<char*>(every.c_str()),     nullptr};
        if (posix_spawn(&m_pid, QZCACHE_LIVE_WRITER, nullptr, nullptr, arguments, environ) != 0) m_pid = -1;
    }
    ~WriterProcess() { kill(); }
    bool started() const { return m_pid > 0; }
    // True when the writer was still running, so that the kill interrupted it.
    bool kill() {
        if (m_pid <= 0) return false;
        ::kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

private:
    pid_t m_pid = -1;
};

class LiveWriterKilled : public testing::TestWithParam<LiveCase> {};

TEST_P(LiveWriterKilled, AtARandomMomentLeavesACacheThatVerifiesAndReadsEveryTimeItNames) {
    const unsigned int seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Publishing after every frame, and at most every few frames.
    for (int interval : {0, 5, 0, 5}) {
        qztest::TempDir dir;
        const TestCache cache = liveCache(dir.path(), GetParam());
        WriterProcess writer(dir.path(), GetParam(), interval);
        ASSERT_TRUE(writer.started()) << QZCACHE_LIVE_WRITER << " did not start";
        ASSERT_TRUE(qztest::waitUntil([&] {
            qzCacheFileInterface reader;
            int end = 0;
            return reader.initFileRead("live", dir.path().c_str()) && reader.getChannelEndTime(0, end) && end >= 500;
        })) << "the writer named no three times in time";
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ASSERT_TRUE(writer.kill()) << "the writer ended before it was killed";

        const qzCacheCheckReport report = qzCacheChecker().checkCache(cache.description().c_str());
        EXPECT_TRUE(report.whole()) << report.problems.size() << " problems, the first: "
                                    << (report.problems.empty() ? "" : report.problems[0].detail);
        qzCacheFileInterface reader;
        ASSERT_TRUE(reader.initFileRead("live", dir.path().c_str()));
        EXPECT_FALSE(reader.isComplete());
        const std::vector<int> times = knownTimes(reader);
        ASSERT_GE(times.size(), 3u);
        for (int time : times) EXPECT_TRUE(qztest::readsBackTime(reader, cache, time)) << "time " << time;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveWriterKilled, testing::ValuesIn(liveCases(false)), caseName);

#endif

// The same name written again, with other values and more times, while a reader holds the
// first write's samples in memory and its file's bytes read ahead: after a refresh it reads the
// second write's values.
TEST(LiveRefresh, ACacheWrittenAnewUnderItsNameIsReadAnew) {
    for (const qztest::Layout layout : {qztest::kOneFile, qztest::kPerFrame}) {
        for (const bool worker : {false, true}) {
            SCOPED_TRACE(qztest::layoutName(layout, worker ? "worker" : "direct"));
            qztest::TempDir dir;
            TestCache cache = liveCache(dir.path(), LiveCase{layout, "kcc", false, false});
            cache.channels.resize(1);
            cache.times = {0, 250, 500, 750};
            cache.live = true;
            qztest::writeTestCache(cache);
            qzCacheFileInterface reader;
            ASSERT_TRUE(reader.initFileRead("live", dir.path().c_str()));
            ASSERT_TRUE(!worker || reader.startMultiThreadRead(false));
            // Frame 0 last: the reader then goes back to the group it read last.
            for (int time : {750, 500, 250, 0}) ASSERT_TRUE(qztest::readsBack(reader, cache, 0, time));
            cache.times.insert(cache.times.end(), {1000, 1250});
            // Written anew by a live writer, and then by one that is not.
            for (const int salt : {1000, 2000}) {
                cache.salt = salt;
                cache.live = salt == 1000;
                qztest::writeTestCache(cache);
                bool changed = false;
                EXPECT_TRUE(reader.refresh(changed) && changed);
                EXPECT_TRUE(qztest::readsBackWhole(reader, cache));
            }
            bool changed = true;
            EXPECT_TRUE(reader.refresh(changed) && !changed);
            // The same name written anew in the other layout is another cache: refused, and
            // what the reader knew stays.
            const std::vector<int> known = cache.times;
            cache.layout = layout == qztest::kOneFile ? qztest::kPerFrame : qztest::kOneFile;
            cache.times = {0};
            qztest::writeTestCache(cache);
            EXPECT_FALSE(reader.refresh(changed));
            EXPECT_EQ(knownTimes(reader), known);
        }
    }
}

}  // namespace
