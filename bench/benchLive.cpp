// What a live writer pays for publishing: one description replaced, handed to the system (as
// live publishes are) or synced (as the final one is), for 1 and 1,000 channels; and whole
// writes of small frames with publishing off and after every frame, its worst case. At the
// default interval a writer publishes at most once a second: the publish cost per second.
#include <cstdio>
#include <filesystem>

#include "benchCases.h"
#include "qzCacheDescriptionIO.h"
#include "qzCacheFileInterface.h"

namespace qzbench {
namespace {

using Durability = qzCacheDescriptionIO::Durability;

qzString::IString text(const std::string& value) {
    return qzString::IString(value.c_str(), 1);
}

// A description as a live writer of `channels` channels of 240 frames publishes it.
void describe(qzCacheDescriptionIO& description, unsigned channels) {
    description.setCacheType(qzCacheDescriptionIO::kOneFile);
    description.setTimeRangeSet(true);
    description.setEndTime(timeOf(239));
    description.setTimePerFrame(kTicksPerFrame);
    description.setVersion(text("2.0"));
    description.setLiveWrite(text("0123456789abcdef"), false);
    description.setWrittenTimeGroups(240);
    for (unsigned c = 0; c < channels; ++c) {
        qzCacheDescriptionIO::ChannelDescription channel;
        channel.m_name = text("channel" + std::to_string(c));
        channel.m_dataType = qzCacheDescriptionIO::kFloatArray;
        channel.m_interpretation = text("position");
        channel.m_samplingRate = kTicksPerFrame;
        channel.m_startTime = timeOf(0);
        channel.m_endTime = timeOf(239);
        description.addChannel(channel);
    }
}

void registerPublish(unsigned channels, Durability durability) {
    const bool synced = durability == Durability::kSynced;
    const std::string name =
        "live_publish/" + std::to_string(channels) + "ch/" + (synced ? "synced" : "handed_over");
    benchmark::RegisterBenchmark(
        name.c_str(),
        [=](benchmark::State& state) {
            qzCacheDescriptionIO description(text(scratchDir() + "publish.xml"));
            describe(description, channels);
            std::int64_t passes = 0;
            const double seconds = timePasses(
                state, [] {}, [&] { return description.writeFile(durability); }, passes);
            CaseInfo info{name, "", Goal::kNone, 0, "publish"};
            report(state, info, seconds, double(passes), 0);
        })
        ->UseManualTime()
        ->Iterations(synced ? 20 : 200);
}

// Writes 240 frames of `channels` channels of 16 floats through the facade, publishing after
// every frame or not at all.
void registerWrite(unsigned channels, bool live) {
    constexpr unsigned kFrames = 240;
    const std::string name =
        "live_write/" + std::to_string(channels) + "ch/" + (live ? "every_frame" : "off");
    const std::string baseline = "live_write/" + std::to_string(channels) + "ch/off";
    benchmark::RegisterBenchmark(
        name.c_str(),
        [=](benchmark::State& state) {
            std::vector<float> values(16 * channels, 1.0f);
            const std::string location = scratchDir();
            const auto write = [&] {
                qzCacheFileInterface cache;
                bool ok = cache.initFileWrite(location.c_str(), "live",
                                              qzCacheFileInterface::kFormatOneFile, "kcc",
                                              kTicksPerFrame);
                for (unsigned c = 0; c < channels && ok; ++c) {
                    unsigned index = 0;
                    ok = cache.addChannel(("channel" + std::to_string(c)).c_str(), "",
                                          qzCacheData::kFloatArray, index);
                }
                cache.setLiveWrite(live, 0);
                for (unsigned f = 0; f < kFrames && ok; ++f) {
                    values[0] = float(f);
                    cache.beginWriteAtTime(timeOf(f));
                    for (unsigned c = 0; c < channels; ++c)
                        ok = cache.addArrayData(c, timeOf(f), &values[16 * c], 16) && ok;
                    cache.endWriteAtTime();
                }
                // The final, synced description is the same in every mode: left out of the timing.
                return ok;
            };
            std::int64_t passes = 0;
            const double seconds = timePasses(
                state, [] {}, write, passes);
            CaseInfo info{name, live ? baseline : "", Goal::kNone, 0};
            report(state, info, seconds, double(passes) * kFrames, 16.0 * 4 * channels);
        })
        ->UseManualTime()
        ->Iterations(3);
}

}  // namespace

void registerLiveCases() {
    for (unsigned channels : {1u, 1000u}) {
        registerPublish(channels, Durability::kHandedOver);
        registerPublish(channels, Durability::kSynced);
        registerWrite(channels, false);
        registerWrite(channels, true);
    }
}

}  // namespace qzbench
