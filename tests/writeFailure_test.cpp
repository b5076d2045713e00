// Failed writes are reported by the call that meets them, and what was stored before stays
// readable: a data file whose writes fail, fall short or do not flush, a directory that cannot
// hold files, a description that cannot be saved or synced. The failures come from a wrapper
// over the system's files that fails the chosen call.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qzCacheFileInterface.h"
#include "qzFaultFileSystem.h"
#include "testCache.h"

namespace fs = std::filesystem;
using qztest::kOneFile;
using qztest::kPerFrame;
using qztest::Layout;
using Fault = qzOS::FaultFileSystem;

namespace {

std::string extensionOf(const std::string& format) { return format == "kcx" ? ".kcx" : ".kc"; }

// Every test runs with the fault wrapper standing in for the process's files.
class WriteFailure : public ::testing::TestWithParam<std::string> {
protected:
    std::string dataFile(const std::string& trunk) const { return trunk + extensionOf(GetParam()); }

    qztest::TestCache cacheIn(const std::string& location, Layout layout) const {
        qztest::TestCache cache;
        cache.location = location;
        cache.layout = layout;
        cache.format = GetParam();
        cache.channels = {{"pos", qzCacheData::kFloatVectorArray, 3}, {"w", qzCacheData::kDoubleArray, 5}};
        return cache;
    }

    // Adds the times to an open writer; whether each time's arrays were all accepted.
    static std::vector<bool> addTimes(qzCacheFileInterface& writer, const qztest::TestCache& cache,
                                      const std::vector<int>& times) {
        std::vector<bool> added;
        for (int time : times) {
            writer.beginWriteAtTime(time);
            bool all = true;
            for (unsigned int c = 0; c < cache.channels.size(); ++c) {
                std::vector<unsigned char> bytes = qztest::sampleBytes(cache.channels[c], c, time);
                all = writer.addArrayData(c, time, bytes.data(), cache.channels[c].elements) && all;
            }
            writer.endWriteAtTime();
            added.push_back(all);
        }
        return added;
    }

    // Opens the writer on the cache and adds its channels; initFileWrite's result.
    static bool begin(qzCacheFileInterface& writer, const qztest::TestCache& cache) {
        const bool opened = writer.initFileWrite(cache.location.c_str(), cache.name.c_str(), cache.layout,
                                                 cache.format.c_str(), cache.ticksPerFrame);
        unsigned int index = 0;
        for (const qztest::TestChannel& c : cache.channels) {
            EXPECT_TRUE(writer.addChannel(c.name.c_str(), "test", c.type, index));
        }
        return opened;
    }

    // Writes the cache's times through a fresh facade; the result of initFileWrite when it
    // fails, then those of the times. endFileWrite's result goes to `saved`.
    static std::vector<bool> writeCache(const qztest::TestCache& cache, bool& saved) {
        qzCacheFileInterface writer;
        std::vector<bool> added;
        if (!begin(writer, cache)) added.push_back(false);
        for (bool time : addTimes(writer, cache, cache.times)) added.push_back(time);
        saved = writer.endFileWrite();
        return added;
    }

    static bool readsTime(qzCacheFileInterface& reader, const qztest::TestCache& cache, int time) {
        return qztest::readsBack(reader, cache, 0, time) && qztest::readsBack(reader, cache, 1, time);
    }

    qztest::TempDir dir;
    Fault files{qzOS::systemFileSystem()};
    qzOS::ScopedDefaultFileSystem standIn{files};
};

INSTANTIATE_TEST_SUITE_P(Formats, WriteFailure, ::testing::Values("kcc", "kcx"));

struct DataFault {
    const char* name;
    Fault::Operation operation;
    Fault::Effect effect;
    // The data file's calls of that kind: the header is the first, time 250 the second, time
    // 500 the third.
    unsigned nth;
    bool repeat;
    // Results of initFileWrite (when it fails) and of the times 250 to 1000.
    std::vector<bool> added;
};

}  // namespace

// A one-file cache: the time whose hand-over failed is reported by the next array added and by
// endFileWrite; the times handed over before it read back.
TEST_P(WriteFailure, AFailedDataWriteIsReportedAndEarlierTimesKept) {
    const qztest::TestCache cache = cacheIn(dir.path(), kOneFile);
    const DataFault cases[] = {
        {"the device is full from the start", Fault::Operation::kWrite, Fault::Effect::kFail, 1, true,
         {false, false, false, false, false}},
        {"a write fails", Fault::Operation::kWrite, Fault::Effect::kFail, 3, false, {true, true, false, false}},
        {"a write falls short", Fault::Operation::kWrite, Fault::Effect::kShort, 3, false,
         {true, true, false, false}},
        {"a flush fails", Fault::Operation::kFlush, Fault::Effect::kFail, 3, false, {true, true, false, false}},
    };
    for (const DataFault& c : cases) {
        SCOPED_TRACE(c.name);
        files.clearFaults();
        fs::remove_all(qztest::fsPath(dir.file("shot.xml")));
        files.failAt(c.operation, dataFile("shot"), c.nth, c.effect, c.repeat);
        bool saved = true;
        EXPECT_EQ(writeCache(cache, saved), c.added);
        EXPECT_FALSE(saved);
        files.clearFaults();
        // The description is written all the same.
        EXPECT_TRUE(qztest::fileExists(dir.file("shot.xml")));
        if (!c.added[0]) continue;  // nothing reached the data file
        qzCacheFileInterface reader;
        ASSERT_TRUE(reader.initFileRead("shot", dir.path().c_str()));
        for (std::size_t i = 0; i + 1 < c.added.size() && c.added[i + 1]; ++i) {
            EXPECT_TRUE(readsTime(reader, cache, cache.times[i])) << cache.times[i];
        }
    }
}

TEST_P(WriteFailure, PerFrameCacheReportsTheFrameThatFailedAndKeepsTheOthers) {
    files.failAt(Fault::Operation::kWrite, dataFile("shotFrame2"), 1, Fault::Effect::kFail, true);
    const qztest::TestCache cache = cacheIn(dir.path(), kPerFrame);
    bool saved = true;
    EXPECT_EQ(writeCache(cache, saved), (std::vector<bool>{true, false, true, true}));
    EXPECT_FALSE(saved);
    files.clearFaults();
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("shot", dir.path().c_str()));
    for (int time : {250, 750, 1000}) EXPECT_TRUE(readsTime(reader, cache, time)) << time;
    EXPECT_FALSE(readsTime(reader, cache, 500));
}

// The description is replaced as databases replace a file: written beside it, synced to the
// device, renamed over it, and the rename synced. A failure at any step is reported, leaves the
// earlier description whole and no temporary file, and a later save works.
TEST_P(WriteFailure, DescriptionThatCannotBeSavedIsReportedAndCanBeSavedLater) {
    struct SaveFault {
        const char* name;
        Fault::Operation operation;
        Fault::Effect effect;
        bool replaced;  // the new description stands all the same
    };
    const SaveFault cases[] = {
        {"the temporary cannot be made", Fault::Operation::kOpen, Fault::Effect::kFail, false},
        {"the write fails", Fault::Operation::kWrite, Fault::Effect::kFail, false},
        {"the write falls short", Fault::Operation::kWrite, Fault::Effect::kShort, false},
        {"the sync fails", Fault::Operation::kSync, Fault::Effect::kFail, false},
        {"the rename fails", Fault::Operation::kRename, Fault::Effect::kFail, false},
        {"the directory sync fails", Fault::Operation::kSyncDirectory, Fault::Effect::kFail, true},
    };
    for (Layout layout : {kOneFile, kPerFrame}) {
        for (const SaveFault& c : cases) {
            SCOPED_TRACE(c.name);
            qztest::TempDir own;
            const qztest::TestCache cache = cacheIn(own.path(), layout);
            qzCacheFileInterface writer;
            ASSERT_TRUE(begin(writer, cache));
            EXPECT_EQ(addTimes(writer, cache, {250}), std::vector<bool>{true});
            ASSERT_TRUE(writer.endFileWrite());
            const std::vector<std::uint8_t> earlier = qztest::readFileBytes(own.file("shot.xml"));
            EXPECT_EQ(addTimes(writer, cache, {500, 750}), (std::vector<bool>{true, true}));

            // The temporary file, the description or (for its sync) the directory.
            files.failAt(c.operation, c.operation == Fault::Operation::kSyncDirectory ? "" : ".xml", 1,
                         c.effect);
            EXPECT_FALSE(writer.endFileWrite());
            files.clearFaults();
            EXPECT_EQ(qztest::readFileBytes(own.file("shot.xml")) != earlier, c.replaced);
            for (const fs::directory_entry& entry : fs::directory_iterator(qztest::fsPath(own.path()))) {
                EXPECT_EQ(entry.path().u8string().find(".tmp"), std::string::npos) << entry.path();
            }
            EXPECT_TRUE(writer.endFileWrite());
            qzCacheFileInterface reader;
            ASSERT_TRUE(reader.initFileRead("shot", own.path().c_str()));
            for (int time : {250, 500, 750}) EXPECT_TRUE(readsTime(reader, cache, time)) << time;
        }
    }
}
