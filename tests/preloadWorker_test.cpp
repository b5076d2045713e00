// The preloading worker and the copying read on real cache files: playback in every order
// while the worker loads ahead, start/stop cycles, destruction while the worker runs, data
// files that are missing, and the single-thread whole-time load.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIffIO.h"
#include "qzString.h"
#include "testSupport.h"

namespace {

using qzString::IString;
using qztest::withWatchdog;

IString str(const std::string& text) { return IString(text.c_str(), 0); }

constexpr int kTicks = 250;

struct ChannelDef {
    const char* name;
    qzCacheData::qzCacheDataType type;
    unsigned int count;
};

const std::vector<ChannelDef>& defaultChannels() {
    static const std::vector<ChannelDef> channels = {
        {"position", qzCacheData::kFloatVectorArray, 7},
        {"velocity", qzCacheData::kDoubleVectorArray, 5},
        {"id", qzCacheData::kInt32Array, 9},
        {"mass", qzCacheData::kFloatArray, 4},
        {"age", qzCacheData::kDoubleArray, 6},
    };
    return channels;
}

unsigned int scalarsOf(const ChannelDef& c) {
    return c.count * qzCacheData::scalarsPerElement(c.type);
}

// Deterministic sample bytes: every channel, frame and scalar gives a different value.
std::vector<unsigned char> sampleBytes(const ChannelDef& c, unsigned int channel, int frame) {
    const unsigned int scalars = scalarsOf(c);
    std::vector<unsigned char> bytes(c.count * qzCacheData::elementSize(c.type));
    for (unsigned int i = 0; i < scalars; ++i) {
        const double value = channel * 1000.0 + frame * 10.0 + i * 0.25;
        switch (c.type) {
        case qzCacheData::kDoubleArray:
        case qzCacheData::kDoubleVectorArray:
            reinterpret_cast<double*>(bytes.data())[i] = value;
            break;
        case qzCacheData::kFloatArray:
        case qzCacheData::kFloatVectorArray:
            reinterpret_cast<float*>(bytes.data())[i] = static_cast<float>(value);
            break;
        default:
            reinterpret_cast<int*>(bytes.data())[i] = static_cast<int>(value * 4);
        }
    }
    return bytes;
}

struct CacheLayout {
    std::string format;  // "kcc" or "kcx"
    qzCacheFileAccessor::qzCacheFileDistribution distribution;
};

void setUp(qzCacheFileAccessor* accessor, const std::string& dir, const CacheLayout& layout) {
    accessor->setStorageLocation(str(dir));
    accessor->setBaseFileName(str("shot"));
    accessor->setCacheFormat(str(layout.format));
    accessor->setDistribution(layout.distribution);
    accessor->setTimePerFrame(kTicks);
}

// Writes frames 0 .. frames-1 of the channels.
void writeCache(const std::string& dir, const CacheLayout& layout, int frames,
                const std::vector<ChannelDef>& channels = defaultChannels()) {
    qzCacheFileAccessor* writer = qzCacheFileAccessor::createQzCacheFileAccessor();
    setUp(writer, dir, layout);
    auto* io = new qzCacheFileIffIO(qzCacheFileIO::kWrite, str(layout.format));
    writer->setFileAccessor(io);
    if (layout.distribution == qzCacheFileAccessor::kOneFile) {
        ASSERT_TRUE(io->open(writer->constructDataFilePathForOneFile()));
        ASSERT_TRUE(io->writeHeader(str("0.1"), 0, 1));
    }
    for (const ChannelDef& c : channels) {
        unsigned int index = 0;
        ASSERT_TRUE(writer->addChannel(str(c.name), str("test"), c.type, index));
    }
    for (int frame = 0; frame < frames; ++frame) {
        writer->beginWriteAtTime(frame * kTicks);
        for (unsigned int i = 0; i < channels.size(); ++i) {
            std::vector<unsigned char> bytes = sampleBytes(channels[i], i, frame);
            ASSERT_TRUE(writer->addArrayData(i, frame * kTicks, bytes.data(), channels[i].count));
        }
        writer->endWriteAtTime();
    }
    writer->unref();
}

// A reading accessor over the cache, its channels on the grid of the written frames.
qzCacheFileAccessor* openCache(const std::string& dir, const CacheLayout& layout, int frames,
                               const std::vector<ChannelDef>& channels = defaultChannels(),
                               qzCacheFileAccessor* accessor = nullptr) {
    if (!accessor) accessor = qzCacheFileAccessor::createQzCacheFileAccessor();
    setUp(accessor, dir, layout);
    for (const ChannelDef& c : channels) {
        unsigned int index = 0;
        EXPECT_TRUE(accessor->addChannel(str(c.name), str("test"), c.type, index));
        accessor->setChannelStartTime(index, 0);
        accessor->setChannelEndTime(index, (frames - 1) * kTicks);
        accessor->setChannelSamplingRate(index, kTicks);
    }
    auto* io = new qzCacheFileIffIO(qzCacheFileIO::kRead, str(layout.format));
    accessor->setFileAccessor(io);
    if (layout.distribution == qzCacheFileAccessor::kOneFile) {
        EXPECT_TRUE(io->open(accessor->constructDataFilePathForOneFile()));
    }
    return accessor;
}

struct Release {
    qzCacheFileAccessor* accessor;
    ~Release() { accessor->unref(); }
};

std::string framePath(const std::string& dir, const CacheLayout& layout, int frame) {
    return dir + "shotFrame" + std::to_string(frame) + (layout.format == "kcx" ? ".kcx" : ".kc");
}

// Reads one sample through getArrayDataAtTime into a fresh buffer.
bool readSample(qzCacheFileAccessor* accessor, unsigned int channel, int time,
                unsigned int count, std::vector<unsigned char>& out) {
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    accessor->channelDataType(channel, type);
    out.assign(count * qzCacheData::elementSize(type), 0xAB);
    void* data = out.data();
    unsigned int length = 0;
    if (!accessor->getArrayDataAtTime(channel, time, count, data, length)) return false;
    EXPECT_EQ(length, count);
    EXPECT_EQ(data, static_cast<void*>(out.data()));
    return true;
}

void expectSample(qzCacheFileAccessor* accessor, unsigned int channel, int frame,
                  const std::vector<std::vector<std::vector<unsigned char>>>& truth,
                  const char* what) {
    const ChannelDef& c = defaultChannels()[channel];
    std::vector<unsigned char> got;
    ASSERT_TRUE(readSample(accessor, channel, frame * kTicks, c.count, got))
        << what << " channel " << channel << " frame " << frame;
    EXPECT_EQ(got, truth[frame][channel]) << what << " channel " << channel << " frame " << frame;
}

// An accessor that tells when it is destroyed and shows its stored samples.
class ProbeAccessor : public qzCacheFileAccessor {
public:
    explicit ProbeAccessor(std::promise<void>* destroyed = nullptr) : m_destroyed(destroyed) {}
    unsigned int storedCount(unsigned int channel) const {
        return m_channels[channel]->storedDataCount();
    }
    bool storedEverywhere(int time) const {
        unsigned int position = 0;
        for (const qzCacheChannel* channel : m_channels)
            if (!channel->findData(time, position, true)) return false;
        return true;
    }
    using qzCacheFileAccessor::readAllDataAtTimeAndStoreInMemory;

private:
    ~ProbeAccessor() override {
        if (m_destroyed) m_destroyed->set_value();
    }
    std::promise<void>* m_destroyed;
};

class PreloadPlayback : public testing::TestWithParam<CacheLayout> {};

}  // namespace

TEST_P(PreloadPlayback, EveryOrderMatchesTheDirectRead) {
    const CacheLayout layout = GetParam();
    const int frames = 14;
    qztest::TempDir dir;
    writeCache(dir.path(), layout, frames);

    // The truth: every sample read directly from the files, checked against what was written.
    std::vector<std::vector<std::vector<unsigned char>>> truth(frames);
    {
        qzCacheFileAccessor* direct = openCache(dir.path(), layout, frames);
        Release release{direct};
        for (int f = 0; f < frames; ++f) {
            for (unsigned int c = 0; c < defaultChannels().size(); ++c) {
                std::vector<unsigned char> got;
                ASSERT_TRUE(readSample(direct, c, f * kTicks, defaultChannels()[c].count, got));
                ASSERT_EQ(got, sampleBytes(defaultChannels()[c], c, f));
                truth[f].push_back(got);
            }
        }
    }

    std::vector<int> forward(frames);
    for (int f = 0; f < frames; ++f) forward[f] = f;
    std::vector<int> backward(forward.rbegin(), forward.rend());
    std::vector<int> shuffled = forward;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(20240611));
    const std::vector<std::pair<const char*, std::vector<int>>> orders = {
        {"forward", forward}, {"backward", backward}, {"random", shuffled}};

    auto* reader = new ProbeAccessor;
    Release release{openCache(dir.path(), layout, frames, defaultChannels(), reader)};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        for (const auto& order : orders) {
            for (int f : order.second) {
                for (unsigned int c = 0; c < defaultChannels().size(); ++c)
                    expectSample(reader, c, f, truth, order.first);
            }
        }
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
    // Memory stays bounded by the queue size plus one, whatever the order of the requests.
    for (unsigned int c = 0; c < defaultChannels().size(); ++c)
        EXPECT_LE(reader->storedCount(c), reader->memoryPreLoadQueueSize() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    FormatsAndDistributions, PreloadPlayback,
    testing::Values(CacheLayout{"kcc", qzCacheFileAccessor::kOneFile},
                    CacheLayout{"kcx", qzCacheFileAccessor::kOneFile},
                    CacheLayout{"kcc", qzCacheFileAccessor::kOneFilePerFrame},
                    CacheLayout{"kcx", qzCacheFileAccessor::kOneFilePerFrame}),
    [](const testing::TestParamInfo<CacheLayout>& param) {
        return param.param.format +
               (param.param.distribution == qzCacheFileAccessor::kOneFile ? "OneFile"
                                                                           : "PerFrame");
    });

namespace {

const CacheLayout kPerFrame{"kcc", qzCacheFileAccessor::kOneFilePerFrame};
const CacheLayout kOneFile{"kcx", qzCacheFileAccessor::kOneFile};

void expectWritten(qzCacheFileAccessor* accessor, unsigned int channel, int frame) {
    const ChannelDef& c = defaultChannels()[channel];
    std::vector<unsigned char> got;
    ASSERT_TRUE(readSample(accessor, channel, frame * kTicks, c.count, got))
        << "channel " << channel << " frame " << frame;
    EXPECT_EQ(got, sampleBytes(c, channel, frame)) << "channel " << channel << " frame " << frame;
}

void setInterpolation(qzCacheFileAccessor* accessor, qzCacheChannel::qzCacheInterpolation how) {
    for (unsigned int c = 0; c < accessor->numChannels(); ++c)
        accessor->setChannelInterpolation(c, how);
}

}  // namespace

TEST(PreloadPlaybackThreads, TwoReadersFarApartBothFinish) {
    // Each request moves the worker to its own time; a reader whose request the other one
    // replaced while it waited must still get its sample rather than wait for ever.
    const int frames = 24;
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, frames);
    qzCacheFileAccessor* reader = openCache(dir.path(), kPerFrame, frames);
    Release release{reader};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        std::thread backward([&] {
            for (int frame = frames - 1; frame >= 0; --frame) expectWritten(reader, 1, frame);
        });
        for (int frame = 0; frame < frames; ++frame) expectWritten(reader, 3, frame);
        backward.join();
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
}

TEST(PreloadLifecycle, StartStopCyclesKeepServingReads) {
    qztest::TempDir dir;
    writeCache(dir.path(), kOneFile, 8);
    qzCacheFileAccessor* reader = openCache(dir.path(), kOneFile, 8);
    Release release{reader};
    withWatchdog([&] {
        for (int cycle = 0; cycle < 12; ++cycle) {
            ASSERT_TRUE(reader->startMultiThreadRead(false));
            ASSERT_FALSE(reader->startMultiThreadRead(false));
            // Some cycles stop before any request, some right after one.
            if (cycle % 3 != 0) {
                const int frame = (cycle * 5) % 8;
                for (unsigned int c = 0; c < defaultChannels().size(); ++c)
                    expectWritten(reader, c, frame);
            }
            ASSERT_TRUE(reader->stopMultiThreadRead());
            ASSERT_FALSE(reader->stopMultiThreadRead());
        }
        // Without the worker the same accessor reads directly again.
        for (unsigned int c = 0; c < defaultChannels().size(); ++c) expectWritten(reader, c, 7);
    });
}

TEST(PreloadLifecycle, ALargerQueueIsFilledWithoutANewRequestedTime) {
    // Once the worker has found nothing more to do it sleeps through repeated requests for
    // the same time; a larger queue is new work all the same.
    qztest::TempDir dir;
    writeCache(dir.path(), kOneFile, 10);
    auto* reader = new ProbeAccessor;
    Release release{openCache(dir.path(), kOneFile, 10, defaultChannels(), reader)};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        expectWritten(reader, 0, 2);
        auto waitUntilStored = [&](int frame) {
            while (!reader->storedEverywhere(frame * kTicks)) {
                expectWritten(reader, 0, 2);
                std::this_thread::yield();
            }
        };
        for (int frame : {3, 1}) waitUntilStored(frame);
        // Surplus wake-ups while nothing changes: the worker finds no work and sleeps again.
        for (int repeat = 0; repeat < 20; ++repeat) expectWritten(reader, 0, 2);
        EXPECT_FALSE(reader->storedEverywhere(4 * kTicks));
        reader->setMemoryPreLoadQueueSize(6);
        // Frames 3 to 6 now follow the requested frame in the times kept.
        waitUntilStored(6);
        for (int frame : {1, 2, 3, 4, 5}) EXPECT_TRUE(reader->storedEverywhere(frame * kTicks));
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
}

TEST(PreloadLifecycle, LastReleaseWhileTheWorkerRunsDestroysOnce) {
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, 10);
    for (int round = 0; round < 12; ++round) {
        std::promise<void> destroyed;
        std::future<void> gone = destroyed.get_future();
        auto* reader = new ProbeAccessor(&destroyed);
        openCache(dir.path(), kPerFrame, 10, defaultChannels(), reader);
        ASSERT_TRUE(reader->startMultiThreadRead(false));
        withWatchdog([&] { expectWritten(reader, round % 5, round % 10); });
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
        ASSERT_EQ(gone.wait_for(std::chrono::minutes(2)), std::future_status::ready)
            << "the accessor was never destroyed";
    }
}

TEST(PreloadFailure, MissingFrameFileFailsTheRequestInsteadOfHanging) {
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, 10);
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), kPerFrame, 5))));

    qzCacheFileAccessor* reader = openCache(dir.path(), kPerFrame, 10);
    Release release{reader};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        setInterpolation(reader, qzCacheChannel::kNoInterpolation);
        std::vector<unsigned char> got;
        for (int attempt = 0; attempt < 3; ++attempt)
            EXPECT_FALSE(readSample(reader, 1, 5 * kTicks, 5, got));
        // The worker is not stuck on the failing time: the frames around it still come.
        for (int frame : {4, 6, 0, 9}) {
            for (unsigned int c = 0; c < defaultChannels().size(); ++c)
                expectWritten(reader, c, frame);
        }
        // With interpolation the request is answered from the real neighbours 4 and 6.
        setInterpolation(reader, qzCacheChannel::kLinear);
        ASSERT_TRUE(readSample(reader, 4, 5 * kTicks, 6, got));
        const double* values = reinterpret_cast<const double*>(got.data());
        for (unsigned int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(values[i], 4000.0 + 50.0 + i * 0.25);
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
}

TEST(PreloadFailure, TwoMissingFramesFallBackToTheFramesOnDisk) {
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, 10);
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), kPerFrame, 5))));
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), kPerFrame, 6))));

    qzCacheFileAccessor* reader = openCache(dir.path(), kPerFrame, 10);
    Release release{reader};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        // Frame 5 lies between 4 and 6; 6 is missing too, so the channel learns its real times
        // and frame 5 sits a third of the way from 4 to 7.
        std::vector<unsigned char> got;
        ASSERT_TRUE(readSample(reader, 4, 5 * kTicks, 6, got));
        const double* values = reinterpret_cast<const double*>(got.data());
        EXPECT_DOUBLE_EQ(values[0], 4000.0 + 50.0);
        EXPECT_FALSE(reader->isChannelSamplingRegular(4));
        for (int frame : {7, 3, 8}) {
            for (unsigned int c = 0; c < defaultChannels().size(); ++c)
                expectWritten(reader, c, frame);
        }
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
}

TEST(PreloadFailure, MissingOneFileDataFileFailsEveryRequest) {
    qztest::TempDir dir;
    writeCache(dir.path(), kOneFile, 4);
    qzCacheFileAccessor* reader = openCache(dir.path(), kOneFile, 4);
    Release release{reader};
    // The caller's reader stays open on the file; the worker opens its own by name and finds
    // nothing there.
    reader->setBaseFileName(str("renamed"));
    setInterpolation(reader, qzCacheChannel::kNoInterpolation);
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    withWatchdog([&] {
        std::vector<unsigned char> got;
        for (int frame = 0; frame < 4; ++frame)
            EXPECT_FALSE(readSample(reader, 0, frame * kTicks, 7, got));
    });
    EXPECT_TRUE(reader->stopMultiThreadRead());
}

TEST(PreloadFailure, StopDuringPlaybackLeavesNoReaderBlocked) {
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, 30);
    qzCacheFileAccessor* reader = openCache(dir.path(), kPerFrame, 30);
    Release release{reader};
    ASSERT_TRUE(reader->startMultiThreadRead(false));
    // A second thread plays while the first stops the worker at some point of the playback;
    // a request waiting for the worker then is answered on its own thread, so every request
    // returns the sample of its own frame.
    withWatchdog([&] {
        std::atomic<bool> stopped{false};
        std::thread playback([&] {
            for (int frame = 0; frame < 30; ++frame) expectWritten(reader, 2, frame);
        });
        std::vector<unsigned char> got;
        ASSERT_TRUE(readSample(reader, 0, 0, 7, got));
        stopped = reader->stopMultiThreadRead();
        playback.join();
        EXPECT_TRUE(stopped);
    });
}

TEST(CopyingWithoutWorker, AWholeTimeIsLoadedOnTheCallersThread) {
    qztest::TempDir dir;
    writeCache(dir.path(), kPerFrame, 6);
    qzCacheFileAccessor* reader = openCache(dir.path(), kPerFrame, 6);
    Release release{reader};
    reader->setOptimizeMultiChannelRead(true);
    setInterpolation(reader, qzCacheChannel::kNoInterpolation);

    expectWritten(reader, 0, 3);
    // Everything of frame 3 is in memory now: without its file the other channels still read.
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), kPerFrame, 3))));
    for (unsigned int c = 1; c < defaultChannels().size(); ++c) expectWritten(reader, c, 3);
    std::vector<unsigned char> got;
    // Not the neighbours: they were never asked for.
    ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), kPerFrame, 4))));
    EXPECT_FALSE(readSample(reader, 0, 4 * kTicks, 7, got));
}

TEST(CopyingWithoutWorker, ARecordOfAnUnknownChannelIsSkipped) {
    // The data files hold a channel the reading accessor does not know, between known ones.
    std::vector<ChannelDef> written = defaultChannels();
    written.insert(written.begin() + 1, ChannelDef{"ghost", qzCacheData::kFloatVectorArray, 11});
    written.insert(written.begin() + 4, ChannelDef{"ghost2", qzCacheData::kInt32Array, 0});
    for (const CacheLayout& layout : {kPerFrame, kOneFile, CacheLayout{"kcx", kPerFrame.distribution},
                                  CacheLayout{"kcc", kOneFile.distribution}}) {
        qztest::TempDir dir;
        writeCache(dir.path(), layout, 3, written);
        auto* reader = new ProbeAccessor;
        Release release{openCache(dir.path(), layout, 3, defaultChannels(), reader)};
        reader->setOptimizeMultiChannelRead(true);
        std::vector<int> keep{2 * kTicks};
        EXPECT_TRUE(reader->readAllDataAtTimeAndStoreInMemory(2 * kTicks, keep,
                                                              reader->fileAccessor()));
        for (unsigned int c = 0; c < defaultChannels().size(); ++c)
            EXPECT_EQ(reader->storedCount(c), 1u) << layout.format << " channel " << c;
        if (layout.distribution == qzCacheFileAccessor::kOneFilePerFrame) {
            ASSERT_TRUE(std::filesystem::remove(qztest::fsPath(framePath(dir.path(), layout, 2))));
        }
        // The known channels read from memory hold the values written for them.
        for (unsigned int c = 0; c < defaultChannels().size(); ++c) {
            const ChannelDef& def = defaultChannels()[c];
            std::vector<unsigned char> got;
            ASSERT_TRUE(readSample(reader, c, 2 * kTicks, def.count, got));
            unsigned int writtenIndex = 0;
            while (std::string(written[writtenIndex].name) != def.name) ++writtenIndex;
            EXPECT_EQ(got, sampleBytes(written[writtenIndex], writtenIndex, 2)) << def.name;
        }
    }
}
