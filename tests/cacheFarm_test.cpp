// Stitching caches baked in ranges and rebuilding a lost description: the stitched cache is the
// one a single pass would have written, byte for byte; refusals come before anything is
// written; a failure half way leaves no file of the output; a rebuilt description states the
// channels and times of the lost one, without what does not read.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"
#include "qzCacheRebuild.h"
#include "qzCacheStitch.h"
#include "qzFaultFileSystem.h"
#include "testCache.h"

namespace fs = std::filesystem;
using namespace qztest;
using Fault = qzOS::FaultFileSystem;

namespace {

std::vector<int> frames(int first, int last, int ticks = 250) {
    std::vector<int> times;
    for (int frame = first; frame <= last; ++frame) times.push_back(frame * ticks);
    return times;
}

// Each test's caches live in sub-directories of its own temporary directory.
class Farm : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return m_dir.file(name); }
    void makeDirectories(std::initializer_list<const char*> names) const {
        for (const char* name : names) fs::create_directories(fsPath(path(name)));
    }

    // The cache `where` ("in/a") of every array type at `times`, its values those of time + salt.
    TestCache cacheAt(const std::string& where, Layout layout, const char* format, const std::vector<int>& times,
                      int salt = 0, int ticks = 250) const {
        const std::size_t slash = where.rfind('/');
        return TestCache{path(where.substr(0, slash + 1)), where.substr(slash + 1), layout, format, ticks,
                         everyArrayType(), times, salt};
    }
    void write(const TestCache& cache) const {
        fs::create_directories(fsPath(cache.location));
        writeTestCache(cache);
    }
    ::testing::AssertionResult readsBack(const std::string& where, const std::vector<int>& times, int salt = 0) {
        const TestCache cache = cacheAt(where, kOneFile, "kcc", times, salt);
        qzCacheFileInterface reader;
        if (!reader.initFileRead(cache.name.c_str(), cache.location.c_str())) {
            return ::testing::AssertionFailure() << where << " does not open";
        }
        return readsBackWhole(reader, cache);
    }

    // The files of a directory, sorted; none when it does not exist.
    std::vector<std::string> filesIn(const std::string& directory) const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fsPath(path(directory)), error)) {
            names.push_back(entry.path().filename().u8string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Everything a reader learns from a description but its interpretations and lines: the
    // layout, the format, the frame length and each channel's type, sampling and times.
    std::string summary(const std::string& name) {
        qzCacheFileInterface cache;
        if (!cache.initFileRead(name.c_str(), path("").c_str())) return "(unreadable)";
        qzCacheFileAccessor& accessor = *cache.accessor();
        std::string text = std::to_string(accessor.distribution()) + accessor.cacheFormat().utf8() +
                           std::to_string(accessor.getTicksPerFrame());
        for (unsigned int channel = 0; channel < accessor.numChannels(); ++channel) {
            qzString::IString channelName;
            qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
            qzCacheChannel::qzCacheSamplingType sampling = qzCacheChannel::kRegular;
            int rate = 0;
            std::vector<int> times;
            if (!accessor.channelName(channel, channelName) || !accessor.channelDataType(channel, type) ||
                !accessor.channelSamplingType(channel, sampling) || !accessor.getDataTimes(channel, times)) {
                return "(unanswered)";
            }
            accessor.channelSamplingRate(channel, rate);
            text += "\n" + channelName.utf8() + " " + std::to_string(type * 100 + sampling) + " " + std::to_string(rate);
            for (int time : times) text += " " + std::to_string(time);
        }
        return text;
    }

    TempDir m_dir;
};

// Over each layout and format: of the output stitched, of the cache rebuilt.
class FarmOf : public Farm, public ::testing::WithParamInterface<std::tuple<Layout, const char*>> {
protected:
    Layout layout() const { return std::get<0>(GetParam()); }
    const char* format() const { return std::get<1>(GetParam()); }

    // Three ranges of one bake, each of another layout or format, given out of order.
    void writeRanges() {
        write(cacheAt("in/a", kOneFile, "kcc", frames(1, 4)));
        write(cacheAt("in/b", kPerFrame, "kcx", frames(5, 8)));
        write(cacheAt("in/c", kPerFrame, "kcc", frames(9, 12)));
        makeDirectories({"out"});
    }
    qzCacheStitchReport stitch(const std::string& output) {
        qzCacheStitchOptions options;
        options.layout = layout() == kOneFile ? qzCacheFileAccessor::kOneFile : qzCacheFileAccessor::kOneFilePerFrame;
        options.format = format();
        return qzCacheStitch::stitch({path("in/c.xml"), path("in/a.xml"), path("in/b.xml")}, path(output),
                                     options);
    }

    std::string dataFile(int time) const {
        const std::string extension = std::string(".") + (std::string(format()) == "kcx" ? "kcx" : "kc");
        if (layout() == kOneFile) return path("shot" + extension);
        return path("shotFrame" + std::to_string(time / 250) +
                    (time % 250 != 0 ? "Tick" + std::to_string(time % 250) : "") + extension);
    }
    qzCacheRebuildReport rebuild(bool force = false) {
        qzCacheRebuildOptions options;
        options.force = force;
        return qzCacheRebuild::rebuild(path("shot.xml"), options);
    }
};

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, FarmOf,
                         ::testing::Combine(::testing::Values(kOneFile, kPerFrame),
                                            ::testing::Values("kcc", "kcx")));

}  // namespace

TEST_P(FarmOf, StitchedRangesAreTheCacheOnePassWrites) {
    writeRanges();
    write(cacheAt("ref/shot", layout(), format(), frames(1, 12)));
    const qzCacheStitchReport report = stitch("out/shot.xml");
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.times, 12u);
    // Frame files of the output's own format are taken whole; the others written anew.
    EXPECT_EQ(report.framesCopied, layout() == kPerFrame ? 4u : 0u);
    EXPECT_EQ(report.samplesWritten, everyArrayType().size() * (12 - report.framesCopied));
    const std::vector<std::string> written = filesIn("out");
    ASSERT_EQ(written, filesIn("ref"));
    for (const std::string& name : written) {
        EXPECT_EQ(readFileBytes(path("out/" + name)), readFileBytes(path("ref/" + name))) << name;
    }
    EXPECT_TRUE(readsBack("out/shot", frames(1, 12)));
}

TEST_P(FarmOf, StitchFailingHalfWayLeavesNoFileOfTheOutput) {
    writeRanges();
    struct Case {
        Fault::Operation operation;
        const char* part;
        unsigned nth;
    };
    const Case cases[] = {
        {Fault::Operation::kWrite, "/out/", 6},     // a data write half way
        {Fault::Operation::kCopy, "/out/", 2},      // a frame file taken whole
        {Fault::Operation::kSync, "/out/", 1},      // bringing the data to the device
        {Fault::Operation::kRename, "/out/", 1},    // the description
        {Fault::Operation::kSyncDirectory, "", 1},  // the description, once renamed
    };
    Fault files(qzOS::systemFileSystem());
    qzOS::ScopedDefaultFileSystem standIn(files);
    for (const Case& c : cases) {
        if (c.operation == Fault::Operation::kCopy && layout() == kOneFile) continue;
        files.failAt(c.operation, c.part, c.nth);
        const qzCacheStitchReport report = stitch("out/shot.xml");
        EXPECT_FALSE(report.ok) << static_cast<int>(c.operation);
        EXPECT_FALSE(report.error.empty());
        EXPECT_EQ(filesIn("out"), std::vector<std::string>{}) << report.error;
        files.clearFaults();
    }
    const qzCacheStitchReport again = stitch("out/shot.xml");
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_TRUE(readsBack("out/shot", frames(1, 12)));
    // Inputs are never changed, also by the failed runs.
    EXPECT_TRUE(readsBack("in/b", frames(5, 8)));
}

TEST_F(Farm, OverlappingTimesAreRefusedOrTakenFromTheInputChosen) {
    write(cacheAt("in/a", kOneFile, "kcc", frames(1, 6)));
    write(cacheAt("in/b", kPerFrame, "kcc", frames(5, 10), 100000));
    makeDirectories({"refused", "first", "last"});
    struct Case {
        qzCacheStitchOptions::Overlap overlap;
        const char* output;
        std::size_t losing;  // the input whose times 5 and 6 are left out
        int saltOfOverlap;
    };
    const std::vector<std::string> inputs = {path("in/a.xml"), path("in/b.xml")};
    const qzCacheStitchReport refused = qzCacheStitch::stitch(inputs, path("refused/shot.xml"));
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("time 1250"), std::string::npos) << refused.error;
    EXPECT_EQ(filesIn("refused"), std::vector<std::string>{});
    for (const Case& c : {Case{qzCacheStitchOptions::kOverlapFirst, "first", 1, 0},
                          Case{qzCacheStitchOptions::kOverlapLast, "last", 0, 100000}}) {
        qzCacheStitchOptions options;
        options.overlap = c.overlap;
        const std::string output = std::string(c.output) + "/shot";
        const qzCacheStitchReport report = qzCacheStitch::stitch(inputs, path(output + ".xml"), options);
        ASSERT_TRUE(report.ok) << report.error;
        EXPECT_EQ(report.times, 10u);
        EXPECT_EQ(report.inputs[c.losing].timesLeftOut, (std::vector<int>{1250, 1500}));
        EXPECT_TRUE(report.inputs[1 - c.losing].timesLeftOut.empty());
        EXPECT_TRUE(readsBack(output, frames(1, 4)));
        EXPECT_TRUE(readsBack(output, frames(5, 6), c.saltOfOverlap));
        EXPECT_TRUE(readsBack(output, frames(7, 10), 100000));
    }
}

TEST_F(Farm, InputsThatDoNotMatchAreRefusedBeforeAnythingIsWritten) {
    write(cacheAt("in/a", kOneFile, "kcc", frames(1, 4)));
    makeDirectories({"out"});
    const std::pair<std::function<void(TestCache&)>, const char*> cases[] = {
        {[](TestCache& b) { b.channels[2].type = qzCacheData::kFloatArray; }, "\"weights\" is FloatArray"},
        {[](TestCache& b) { b.channels.erase(b.channels.begin() + 2); }, "no channel \"weights\""},
        {[](TestCache& b) { b.channels.push_back({"extra", qzCacheData::kInt32Array, 5}); }, "\"extra\" is not in"},
        {[](TestCache& b) { b.ticksPerFrame = 200; }, "200 ticks per frame"},
    };
    for (const auto& c : cases) {
        TestCache b = cacheAt("b", kOneFile, "kcc", {1250});
        c.first(b);
        write(b);
        const qzCacheStitchReport report = qzCacheStitch::stitch({path("in/a.xml"), path("b.xml")}, path("out/shot.xml"));
        EXPECT_FALSE(report.ok);
        EXPECT_NE(report.error.find(c.second), std::string::npos) << report.error;
        EXPECT_NE(report.error.find("b.xml"), std::string::npos) << report.error;
        EXPECT_EQ(filesIn("out"), std::vector<std::string>{});
    }
}

TEST_P(FarmOf, RebuildWritesALostOrUnreadableDescriptionAgain) {
    // Evenly spaced times make regular records; others (negative, between frames) lists.
    for (const std::vector<int>& times : {frames(1, 6), std::vector<int>{-250, 0, 375, 500, 1500}}) {
        write(cacheAt("shot", layout(), format(), times));
        const std::string original = summary("shot");
        // Lost entirely, or cut off by a writer that died while saving it.
        for (const bool cut : {false, true}) {
            if (cut) {
                writeFileBytes(path("shot.xml"), {'<', 'Q', 'o', 'r', 'd'});
            } else {
                fs::remove(fsPath(path("shot.xml")));
            }
            const qzCacheRebuildReport report = rebuild();
            ASSERT_TRUE(report.ok) << report.error;
            EXPECT_TRUE(report.leftOut.empty());
            EXPECT_EQ(report.keptAs.empty(), !cut);
            EXPECT_EQ(summary("shot"), original);
            EXPECT_TRUE(readsBack("shot", times));
        }
        // A description that reads is replaced only when asked to.
        EXPECT_FALSE(rebuild().ok);
        EXPECT_TRUE(rebuild(true).ok);
        EXPECT_EQ(summary("shot"), original);
        for (int time : times) fs::remove(fsPath(dataFile(time)));
        fs::remove(fsPath(path("shot.xml.unreadable")));
    }
}

TEST_P(FarmOf, RebuildLeavesOutAndListsRecordsThatDoNotRead) {
    write(cacheAt("shot", layout(), format(), frames(1, 6)));
    fs::remove(fsPath(path("shot.xml")));
    // Per-frame: frame 3 cut in half. One file: cut inside its last time group.
    const std::string damaged = dataFile(750);
    std::vector<std::uint8_t> bytes = readFileBytes(damaged);
    bytes.resize(layout() == kPerFrame ? bytes.size() / 2 : bytes.size() - 20);
    writeFileBytes(damaged, bytes);

    const qzCacheRebuildReport report = rebuild();
    ASSERT_TRUE(report.ok) << report.error;
    ASSERT_FALSE(report.leftOut.empty());
    EXPECT_EQ(report.leftOut.front().file, damaged);
    std::vector<int> kept = frames(1, 6);
    kept.erase(std::find(kept.begin(), kept.end(), layout() == kPerFrame ? 750 : 1500));
    ASSERT_EQ(report.channels.size(), everyArrayType().size());
    // The last sample of a cut file may be whole for its first channels only.
    EXPECT_EQ(report.channels.back().times, kept.size());
    EXPECT_EQ(report.channels.back().regular, layout() == kOneFile);
    EXPECT_TRUE(readsBack("shot", kept));
}

// Frame headers written at 200 ticks per frame refuse a rebuild at the default 250, which would
// misplace every time, and rebuild at 200; a frame name no such writer gives is refused.
TEST_F(Farm, FrameNamesAndHeadersMustAgreeWithTheTicksPerFrame) {
    write(cacheAt("shot", kPerFrame, "kcc", frames(1, 4, 200), 0, 200));
    const std::string original = summary("shot");
    fs::remove(fsPath(path("shot.xml")));
    qzCacheRebuildOptions options;
    EXPECT_FALSE(qzCacheRebuild::rebuild(path("shot.xml"), options).ok);
    EXPECT_FALSE(fileExists(path("shot.xml")));
    options.ticksPerFrame = 200;
    ASSERT_TRUE(qzCacheRebuild::rebuild(path("shot.xml"), options).ok);
    EXPECT_EQ(summary("shot"), original);
    // A name no writer at 200 ticks per frame gives (a tick part beyond the frame).
    fs::rename(fsPath(path("shotFrame2.kc")), fsPath(path("shotFrame1Tick200.kc")));
    options.force = true;
    const qzCacheRebuildReport misnamed = qzCacheRebuild::rebuild(path("shot.xml"), options);
    EXPECT_FALSE(misnamed.ok);
    EXPECT_NE(misnamed.error.find("shotFrame1Tick200.kc"), std::string::npos) << misnamed.error;
}
