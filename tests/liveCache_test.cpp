// Caches read while they are written: a writer thread with a reader that refreshes and reads
// every time it learns of, a writer process killed at a random moment, and how often a live
// writer replaces its description and what the description says meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qzCacheChecker.h"
#include "qzCacheFileAccessor.h"
#include "qzFaultFileSystem.h"
#include "testSupport.h"
#include "writtenCache.h"

#if !defined(_WIN32)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

using Layout = qzCacheFileInterface::cacheFileFormat;
using Clock = std::chrono::steady_clock;

constexpr Layout kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Layout kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;
// Every wait of these tests ends by then, or the test fails saying what it waited for.
constexpr auto kPatience = std::chrono::seconds(60);

struct LiveCase {
    Layout layout;
    const char* format;
    bool worker;     // read through the background worker, or directly from the files
    bool irregular;  // every other time off the frame grid
    bool big;        // with a channel larger than the container's buffers
};

std::string caseName(const testing::TestParamInfo<LiveCase>& info) {
    const LiveCase& c = info.param;
    return std::string(c.layout == kOneFile ? "OneFile_" : "PerFrame_") + c.format +
           (c.worker ? "_Worker" : "_Direct") + (c.irregular ? "_Irregular" : "_Regular") +
           (c.big ? "_Big" : "");
}

void PrintTo(const LiveCase& c, std::ostream* out) {
    *out << (c.layout == kOneFile ? "one-file " : "per-frame ") << c.format;
}

int timeOf(int frame, bool irregular) {
    return frame * 250 + (irregular && frame % 2 ? 40 : 0);
}

template <typename Ready>
bool waitFor(Ready ready) {
    for (const auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The times of channel 0, as a reader knows them now.
std::vector<int> knownTimes(qzCacheFileInterface& cache) {
    std::vector<int> times;
    cache.accessor()->getDataTimes(0, times);
    return times;
}

int lastKnownTime(qzCacheFileInterface& cache) {
    const std::vector<int> times = knownTimes(cache);
    return times.empty() ? -1 : times.back();
}

class LiveWriterThread : public testing::TestWithParam<LiveCase> {};

TEST_P(LiveWriterThread, RefreshingReaderReadsEveryTimeItLearnsExactly) {
    const LiveCase& c = GetParam();
    constexpr int kFrames = 300;
    qztest::TempDir dir;
    std::atomic<bool> writerDone{false};
    bool written = false;
    std::thread writerThread([&] {
        qzCacheFileInterface writer;
        bool ok = writer.initFileWrite(dir.path().c_str(), "live", c.layout, c.format, 250) &&
                  qztest::addChannels(writer, c.big);
        writer.setLiveWrite(true, 0);
        for (int frame = 0; ok && frame < kFrames; ++frame) {
            ok = qztest::writeTime(writer, timeOf(frame, c.irregular), 0, c.big);
        }
        written = writer.endFileWrite() && ok;
        writerDone = true;
    });
    struct Join {
        std::thread& thread;
        ~Join() {
            if (thread.joinable()) thread.join();
        }
    } join{writerThread};

    ASSERT_TRUE(waitFor([&] { return writerDone || qztest::fileExists(dir.file("live.xml")); }))
        << "no description within " << kPatience.count() << " s";
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("live", dir.path().c_str()));
    ASSERT_TRUE(!c.worker || reader.startMultiThreadRead(false));
    std::set<int> read;
    for (const auto deadline = Clock::now() + kPatience;;) {
        bool changed = false;
        ASSERT_TRUE(reader.refresh(changed))
            << "the description did not read after " << read.size() << " times";
        const bool complete = reader.isComplete();
        // Back to an early time first, as playback that loops does: the reader then stands
        // before the groups it knows when it looks for the new ones.
        ASSERT_TRUE(read.empty() || qztest::readsBack(reader, *read.begin(), 0, c.big));
        for (int time : knownTimes(reader)) {
            if (read.count(time) != 0) continue;
            ASSERT_TRUE(qztest::readsBack(reader, time, 0, c.big))
                << "time " << time << " is named but does not read back";
            read.insert(time);
        }
        if (complete) break;
        ASSERT_LT(Clock::now(), deadline)
            << "the writer did not finish; " << read.size() << " times read";
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writerThread.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(read.size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(*read.rbegin(), timeOf(kFrames - 1, c.irregular));
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveWriterThread,
                         testing::Values(LiveCase{kOneFile, "kcc", false, false, true},
                                         LiveCase{kOneFile, "kcx", true, false, false},
                                         LiveCase{kOneFile, "kcc", true, true, true},
                                         LiveCase{kOneFile, "kcx", false, true, false},
                                         LiveCase{kPerFrame, "kcc", false, false, false},
                                         LiveCase{kPerFrame, "kcx", true, false, true},
                                         LiveCase{kPerFrame, "kcc", true, true, false},
                                         LiveCase{kPerFrame, "kcx", false, true, true}),
                         caseName);

#if !defined(_WIN32)

// The writer program, killed on the way out of a failed test.
class WriterProcess {
public:
    WriterProcess(const std::string& directory, Layout layout, const char* format, int interval) {
        const std::string layoutText = layout == kPerFrame ? "1" : "0";
        const std::string intervalText = std::to_string(interval);
        char* arguments[] = {
            const_cast<char*>("liveCacheWriter"),    const_cast<char*>(directory.c_str()),
            const_cast<char*>(layoutText.c_str()),   const_cast<char*>(format),
            const_cast<char*>(intervalText.c_str()), nullptr};
        if (posix_spawn(&m_pid, QZCACHE_LIVE_WRITER, nullptr, nullptr, arguments, environ) != 0)
            m_pid = -1;
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
    const LiveCase& c = GetParam();
    const unsigned int seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Publishing after every frame, and at most every few frames.
    for (int interval : {0, 5, 0, 5}) {
        qztest::TempDir dir;
        WriterProcess writer(dir.path(), c.layout, c.format, interval);
        ASSERT_TRUE(writer.started()) << QZCACHE_LIVE_WRITER << " did not start";
        ASSERT_TRUE(waitFor([&] {
            qzCacheFileInterface reader;
            int end = 0;
            return reader.initFileRead("live", dir.path().c_str()) &&
                   reader.getChannelEndTime(0, end) && end >= 500;
        })) << "the writer named no three times within "
            << kPatience.count() << " s";
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        ASSERT_TRUE(writer.kill()) << "the writer ended before it was killed";

        const qzCacheCheckReport report = qzCacheChecker().checkCache(dir.file("live.xml").c_str());
        EXPECT_TRUE(report.whole()) << report.problems.size() << " problems, the first: "
                                    << (report.problems.empty() ? "" : report.problems[0].detail);
        qzCacheFileInterface reader;
        ASSERT_TRUE(reader.initFileRead("live", dir.path().c_str()));
        EXPECT_FALSE(reader.isComplete());
        const std::vector<int> times = knownTimes(reader);
        ASSERT_GE(times.size(), 3u);
        for (int time : times)
            EXPECT_TRUE(qztest::readsBack(reader, time, 0, true)) << "time " << time;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, LiveWriterKilled,
                         testing::Values(LiveCase{kOneFile, "kcc", false, false, true},
                                         LiveCase{kOneFile, "kcx", false, false, true},
                                         LiveCase{kPerFrame, "kcc", false, false, true},
                                         LiveCase{kPerFrame, "kcx", false, false, true}),
                         caseName);

#endif

// Writes frames 0 .. frames-1 of the cache "again", their points those of time + salt.
void writeSalted(const std::string& directory, Layout layout, int salt, int frames, bool live) {
    qzCacheFileInterface writer;
    ASSERT_TRUE(writer.initFileWrite(directory.c_str(), "again", layout, "kcc", 250) &&
                qztest::addChannels(writer));
    writer.setLiveWrite(live, 0);
    for (int frame = 0; frame < frames; ++frame) {
        std::vector<float> points = qztest::pointsAt(frame * 250 + salt);
        writer.beginWriteAtTime(frame * 250);
        ASSERT_TRUE(writer.addArrayData(0, frame * 250, points.data(), qztest::kPoints));
        writer.endWriteAtTime();
    }
    ASSERT_TRUE(writer.endFileWrite());
}

bool readsSalted(qzCacheFileInterface& reader, int time, int salt) {
    std::vector<float> points(qztest::kPoints * 3, -1.0f);
    void* data = points.data();
    unsigned int length = qztest::kPoints;
    return reader.getArrayDataAtTime(0, time, data, length) &&
           points == qztest::pointsAt(time + salt);
}

// The same name written again, with other values and more times, while a reader holds the
// first write's samples in memory and its file's bytes read ahead: after a refresh it reads the
// second write's values.
TEST(LiveRefresh, ACacheWrittenAnewUnderItsNameIsReadAnew) {
    for (const Layout layout : {kOneFile, kPerFrame}) {
        for (const bool worker : {false, true}) {
            SCOPED_TRACE(std::string(layout == kOneFile ? "one-file" : "per-frame") +
                         (worker ? ", worker" : ", direct"));
            qztest::TempDir dir;
            writeSalted(dir.path(), layout, 0, 4, true);
            qzCacheFileInterface reader;
            ASSERT_TRUE(reader.initFileRead("again", dir.path().c_str()));
            ASSERT_TRUE(!worker || reader.startMultiThreadRead(false));
            // Frame 0 last: the reader then goes back to the group it read last.
            for (int frame = 3; frame >= 0; --frame)
                ASSERT_TRUE(readsSalted(reader, frame * 250, 0));
            // Written anew by a live writer, and then by one that is not.
            for (const int salt : {1000, 2000}) {
                writeSalted(dir.path(), layout, salt, 6, salt == 1000);
                bool changed = false;
                ASSERT_TRUE(reader.refresh(changed));
                EXPECT_TRUE(changed);
                for (int frame = 0; frame < 6; ++frame) {
                    EXPECT_TRUE(readsSalted(reader, frame * 250, salt)) << "frame " << frame;
                }
            }
        }
    }
}

struct PublishCase {
    const char* what;
    bool live;
    unsigned int interval;     // milliseconds
    std::size_t replacements;  // of the description, the final one included
    bool namesEveryEndedTime;  // before endFileWrite
};

// Four ended times, then a fifth begun whose large array already reached the file.
TEST(LivePublishing, HowOftenTheDescriptionIsReplacedAndWhatItNamesMeanwhile) {
    const PublishCase cases[] = {
        {"every time", true, 0, 6, true},
        {"at most once an hour", true, 3600000, 1, false},
        {"not live", false, 0, 1, false},
    };
    for (const PublishCase& c : cases) {
        SCOPED_TRACE(c.what);
        qztest::TempDir dir;
        qzOS::FaultFileSystem files(qzOS::systemFileSystem());
        const qzOS::ScopedDefaultFileSystem scoped(files);
        qzCacheFileInterface writer;
        ASSERT_TRUE(writer.initFileWrite(dir.path().c_str(), "live", kOneFile, "kcc", 250) &&
                    qztest::addChannels(writer, true));
        writer.setLiveWrite(c.live, c.interval);
        for (int frame = 0; frame < 4; ++frame)
            ASSERT_TRUE(qztest::writeTime(writer, frame * 250, 0, true));
        std::vector<float> points = qztest::pointsAt(1000);
        std::vector<double> weights = qztest::weightsAt(1000);
        std::vector<float> large = qztest::bigAt(1000);
        writer.beginWriteAtTime(1000);
        ASSERT_TRUE(writer.addArrayData(0, 1000, points.data(), qztest::kPoints) &&
                    writer.addArrayData(1, 1000, weights.data(), qztest::kWeights) &&
                    writer.addArrayData(2, 1000, large.data(), qztest::kBigValues));

        qzCacheFileInterface reader;
        ASSERT_EQ(reader.initFileRead("live", dir.path().c_str()), c.namesEveryEndedTime);
        if (c.namesEveryEndedTime) {
            EXPECT_FALSE(reader.isComplete());
            EXPECT_EQ(lastKnownTime(reader), 750);
            const qzCacheCheckReport report =
                qzCacheChecker().checkCache(dir.file("live.xml").c_str());
            EXPECT_TRUE(report.whole())
                << (report.problems.empty() ? "" : report.problems[0].detail);
        }
        writer.endWriteAtTime();
        ASSERT_TRUE(writer.endFileWrite());
        std::size_t replacements = 0;
        for (const auto& call : files.calls()) {
            const bool description = call.path.size() >= 8 &&
                                     call.path.compare(call.path.size() - 8, 8, "live.xml") == 0;
            replacements +=
                call.operation == qzOS::FaultFileSystem::Operation::kRename && description;
        }
        EXPECT_EQ(replacements, c.replacements);
        if (!c.namesEveryEndedTime) continue;

        bool changed = false;
        ASSERT_TRUE(reader.refresh(changed));
        EXPECT_TRUE(changed);
        EXPECT_TRUE(reader.isComplete());
        EXPECT_EQ(lastKnownTime(reader), 1000);
        ASSERT_TRUE(reader.refresh(changed));
        EXPECT_FALSE(changed);
        // The same name written anew in the other layout is another cache.
        qzCacheFileInterface other;
        ASSERT_TRUE(other.initFileWrite(dir.path().c_str(), "live", kPerFrame, "kcc", 250) &&
                    qztest::addChannels(other) && qztest::writeTime(other, 0) &&
                    other.endFileWrite());
        EXPECT_FALSE(reader.refresh(changed));
        EXPECT_EQ(lastKnownTime(reader), 1000);
    }
}

}  // namespace
