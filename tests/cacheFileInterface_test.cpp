// The flat interface over files on disk: every type in both layouts and formats bit for bit, the
// C strings it hands out, refusals that touch no file, reopening for write, and its worker's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"
#include "testCache.h"

namespace {

using namespace qztest;

// Takes a malloc'ed result and frees it.
std::string take(char* text) {
    std::string copy = text ? text : "<null>";
    std::free(text);
    return copy;
}

// Every file of a directory but the description, with its bytes.
std::map<std::string, std::vector<std::uint8_t>> dataFiles(const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(fsPath(dir))) {
        const std::string name = entry.path().filename().u8string();
        if (entry.path().extension() != ".xml") files[name] = readFileBytes(dir + name);
    }
    return files;
}

class FacadeRoundTrip : public ::testing::TestWithParam<std::tuple<Layout, const char*>> {};

INSTANTIATE_TEST_SUITE_P(LayoutsAndFormats, FacadeRoundTrip,
                         ::testing::Combine(::testing::Values(kOneFile, kPerFrame),
                                            ::testing::Values("kcc", "kcx")));

}  // namespace

TEST_P(FacadeRoundTrip, EveryTypeReadsBackBitForBitFromTheFilesNamedForIt) {
    TempDir dir;
    TestCache cache{dir.path()};
    cache.layout = std::get<0>(GetParam());
    cache.format = std::get<1>(GetParam());
    cache.ticksPerFrame = 500;  // 250 ticks are half a frame
    writeTestCache(cache);

    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("shot", dir.path().c_str()));
    EXPECT_EQ(reader.format(), cache.layout);
    EXPECT_EQ(reader.getTicksPerFrame(), 500);
    ASSERT_EQ(reader.numChannels(), cache.channels.size());
    EXPECT_TRUE(readsBackWhole(reader, cache));

    // Halfway between two samples the default blends them linearly.
    double halfway[5] = {};
    void* data = halfway;
    unsigned int length = 0;
    EXPECT_FALSE(reader.getArrayDataAtTime(2, 500, data, length));  // asks for the length
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(halfway[0], 0.0);
    ASSERT_TRUE(reader.getArrayDataAtTime(2, 625, data, length));
    EXPECT_DOUBLE_EQ(halfway[0], (scalarAt(2, 500, 0) + scalarAt(2, 750, 0)) / 2);

    // The files listed are those on disk, each once, the description first.
    std::vector<std::string> listed;
    for (int i = 0; i < reader.getDataFileCount(); ++i) {
        char* path = nullptr;
        ASSERT_TRUE(reader.getDataFilePath(static_cast<unsigned int>(i), &path)) << i;
        listed.push_back(take(path));
    }
    std::vector<std::string> onDisk = {dir.file("shot.xml")};
    for (const auto& file : dataFiles(dir.path())) onDisk.push_back(dir.file(file.first));
    ASSERT_FALSE(listed.empty());
    std::sort(listed.begin() + 1, listed.end());
    EXPECT_EQ(listed, onDisk);
}

TEST(FacadeStrings, EachResultIsAFreshUtf8CopyForTheCallerToFree) {
    TempDir dir;
    const std::string base = "sh\xC3\xB6t", euro = "\xE2\x82\xAC" "uro", green = "Gr\xC3\xBCn";
    qzCacheFileInterface cache;
    ASSERT_TRUE(cache.initFileWrite(dir.path().c_str(), base.c_str(), kOneFile, "kcc", 250));
    unsigned int index = 9;
    ASSERT_TRUE(cache.addChannel(euro.c_str(), green.c_str(), qzCacheData::kFloatArray, index));
    EXPECT_TRUE(cache.hasChannelByName(euro.c_str(), index) && index == 0);
    const std::pair<std::function<bool(char**)>, std::string> results[] = {
        {[&](char** s) { return (*s = cache.baseFileName()) != nullptr; }, base},
        {[&](char** s) { return cache.channelName(0, s); }, euro},
        {[&](char** s) { return cache.getDataFilePath(1, s); }, dir.file(base + ".kc")},
    };
    for (const auto& [get, expected] : results) {
        char* first = nullptr;
        char* second = nullptr;
        EXPECT_TRUE(get(&first) && get(&second)) << expected;
        EXPECT_NE(first, second) << expected;
        EXPECT_EQ(take(first), expected);
        EXPECT_EQ(take(second), expected);
    }
}

// Null arguments, a layout out of range and questions about what is not there fail, leave the
// caller's pointer and index alone, and write nothing.
TEST(FacadeRefusals, BadArgumentsFailAndTouchNoFile) {
    TempDir dir;
    const char* at = dir.path().c_str();
    qzCacheFileInterface cache;
    EXPECT_FALSE(cache.initFileRead(nullptr, at));
    EXPECT_FALSE(cache.initFileRead("shot", nullptr));
    EXPECT_FALSE(cache.initFileRead("nothing", at));
    EXPECT_FALSE(cache.initFileWrite(nullptr, "shot", kOneFile, "kcc", 250));
    EXPECT_FALSE(cache.initFileWrite(at, nullptr, kOneFile, "kcc", 250));
    EXPECT_FALSE(cache.initFileWrite(at, "shot", kOneFile, nullptr, 250));
    EXPECT_FALSE(cache.initFileWrite(at, "shot", static_cast<Layout>(2), "kcc", 250));
    unsigned int index = 7;
    EXPECT_FALSE(cache.addChannel(nullptr, "Points", qzCacheData::kFloatArray, index));
    EXPECT_FALSE(cache.addChannel("a", nullptr, qzCacheData::kFloatArray, index));
    EXPECT_FALSE(cache.hasChannelByName(nullptr, index));
    EXPECT_EQ(index, 7u);
    EXPECT_EQ(cache.numChannels(), 0u);
    ASSERT_TRUE(cache.addChannel("a", "Points", qzCacheData::kFloatArray, index));
    char marker[] = "untouched";
    char* text = marker;
    EXPECT_FALSE(cache.channelName(1, &text));
    EXPECT_FALSE(cache.channelInterpretation(1, &text));
    EXPECT_FALSE(cache.getDataFilePath(0, &text));  // no layout chosen: no files
    EXPECT_EQ(text, marker);
    EXPECT_FALSE(cache.channelName(0, nullptr));
    EXPECT_FALSE(cache.channelInterpretation(0, nullptr));
    EXPECT_TRUE(std::filesystem::is_empty(fsPath(dir.path())));
}

namespace {

// Each layout, in the wide format: a writer reopened must go on in it.
class FacadeLayout : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        cache.layout = GetParam();
        cache.format = "kcx";
        writeTestCache(cache);
    }
    TempDir dir;
    TestCache cache{dir.path()};
};

INSTANTIATE_TEST_SUITE_P(Layouts, FacadeLayout, ::testing::Values(kOneFile, kPerFrame));

// Reads the holder count under the accessor's own state lock; both are protected members,
// reached through member pointers taken inside a derived class.
struct AccessorPeek : qzCacheFileAccessor {
    static int refCount(qzCacheFileAccessor& accessor) {
        qzThread::Mutex* qzCacheFileAccessor::*mutex = &AccessorPeek::m_stateMutex;
        int qzCacheFileAccessor::*count = &AccessorPeek::m_refCount;
        qzThread::MutexOp lock(*(accessor.*mutex), true);
        return accessor.*count;
    }
};

}  // namespace

// Reopening continues a per-frame cache without rewriting a frame file already there; a one-file
// cache is refused and stays as it was, still readable.
TEST_P(FacadeLayout, ReopeningContinuesAPerFrameCacheAndRefusesAOneFileCache) {
    const bool perFrame = GetParam() == kPerFrame;
    const auto before = dataFiles(dir.path());
    {
        qzCacheFileInterface writer;
        ASSERT_TRUE(writer.initFileRead("shot", dir.path().c_str()));
        ASSERT_EQ(writer.reOpenForWrite(), perFrame);
        if (perFrame) {
            cache.times.push_back(1250);
            writer.beginWriteAtTime(1250);
            for (unsigned int c = 0; c < cache.channels.size(); ++c) {
                std::vector<unsigned char> bytes = sampleBytes(cache.channels[c], c, 1250);
                EXPECT_TRUE(writer.addArrayData(c, 1250, bytes.data(), cache.channels[c].elements));
            }
            writer.endWriteAtTime();
            ASSERT_TRUE(writer.endFileWrite());
        }
    }
    const auto after = dataFiles(dir.path());
    for (const auto& file : before) EXPECT_EQ(after.at(file.first), file.second) << file.first;
    EXPECT_EQ(after.size(), before.size() + (perFrame ? 1 : 0));
    qzCacheFileInterface reader;
    ASSERT_TRUE(reader.initFileRead("shot", dir.path().c_str()));
    EXPECT_TRUE(readsBackWhole(reader, cache));
}

// A facade destroyed while its worker plays back stops it: destruction ends, the worker gives
// back its holder, and an accessor that outlives the facade is out of playback.
TEST_P(FacadeLayout, DestroyingTheFacadeStopsItsWorker) {
    for (int round = 0; round < 10; ++round) {
        auto reader = std::make_shared<qzCacheFileInterface>();
        ASSERT_TRUE(reader->initFileRead("shot", dir.path().c_str()));
        ASSERT_TRUE(reader->startMultiThreadRead(false));
        EXPECT_TRUE(readsBack(*reader, cache, round % 5, 500));
        qzCacheFileAccessor* accessor = reader->accessor();
        accessor->ref();
        // The work owns the facade: a destruction that hangs leaves nothing of this scope.
        ASSERT_TRUE(endsInTime([owned = std::move(reader)]() mutable { owned.reset(); }))
            << "destroying a facade whose worker runs does not end";
        const bool playing = accessor->isInMultiThreadReadMode();
        if (playing) accessor->stopMultiThreadRead();  // so that a failure leaves no worker behind
        ASSERT_FALSE(playing) << "the accessor plays back after its facade is gone";
        ASSERT_TRUE(waitUntil([&] { return AccessorPeek::refCount(*accessor) == 1; }))
            << "the worker keeps its holder after the facade is gone";
        accessor->unref();
    }
}
