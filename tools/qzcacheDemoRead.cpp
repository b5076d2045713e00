// The demo's reading steps: stored times, interpolation between them, playback with the
// background worker, and the cache made from a PC2 file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzcacheCommon.h"
#include "qzcacheDemo.h"
#include "qzcacheTerminal.h"

namespace qztool {

namespace {

double scalarOf(const void* data, qzCacheData::qzCacheDataType type, std::size_t index) {
    switch (type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray: return static_cast<const double*>(data)[index];
    case qzCacheData::kInt32Array: return static_cast<const int*>(data)[index];
    default: return static_cast<const float*>(data)[index];
    }
}

std::string where(unsigned int channel, int time) {
    return std::string("channel ") + Wave::channelName(channel) + " at time " +
           std::to_string(time);
}

// Compares a delivered sample with the expected scalars; tolerance 0 asks for exact values.
bool matches(const void* data, qzCacheData::qzCacheDataType type,
             const std::vector<double>& expected, double tolerance) {
    const bool integer = type == qzCacheData::kInt32Array;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const double got = scalarOf(data, type, i);
        const double allowed = integer ? tolerance : tolerance * std::max(1.0, std::fabs(expected[i]));
        if (!(std::fabs(got - expected[i]) <= allowed)) {
            return false;
        }
    }
    return true;
}

// A reader through the facade; a failure to open counts as a failed check.
bool openReader(qzCacheFileInterface& reader, const std::string& location,
                const std::string& baseName, Checks& checks) {
    return checks.expect(reader.initFileRead(baseName.c_str(), location.c_str()),
                         location + baseName + ".xml: the cache does not open for reading");
}

// Buffers for one sample of each array channel.
struct SampleBuffers {
    explicit SampleBuffers(const Wave& wave) {
        for (unsigned int channel = 0; channel < Wave::kArrayChannels; ++channel) {
            storage[channel].resize(wave.sampleBytes(channel) / sizeof(double) + 1);
        }
    }
    void* data(unsigned int channel) { return storage[channel].data(); }
    std::vector<double> storage[Wave::kArrayChannels];
};

float catmullRom(float p0, float p1, float p2, float p3, float t) {
    const float c3 = ((3.0f * p1 - p0) - 3.0f * p2) + p3;
    const float c2 = ((2.0f * p0 - 5.0f * p1) + 4.0f * p2) - p3;
    const float c1 = p2 - p0;
    const float t2 = t * t;
    const float t3 = t2 * t;
    return 0.5f * (((c3 * t3 + c2 * t2) + c1 * t) + 2.0f * p1);
}

// What a request between frame `previous` and the next one should give.
void expectedBetween(const Wave& wave, unsigned int channel, int previous, double w,
                     qzCacheChannel::qzCacheInterpolation mode, std::vector<double>& out) {
    std::vector<double> a;
    std::vector<double> b;
    wave.sample(channel, previous, a);
    wave.sample(channel, previous + 1, b);
    const bool integer = Wave::channelType(channel) == qzCacheData::kInt32Array;
    if (mode == qzCacheChannel::kStepPrevious || mode == qzCacheChannel::kStepNext) {
        out = mode == qzCacheChannel::kStepPrevious ? a : b;
        return;
    }
    out.resize(a.size());
    if (mode == qzCacheChannel::kLinear) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            const double value = w * b[i] + (1.0 - w) * a[i];
            out[i] = integer ? std::trunc(value) : static_cast<double>(static_cast<float>(value));
        }
        return;
    }
    // The outer neighbours repeat the inner ones at the ends of the channel.
    std::vector<double> before = a;
    std::vector<double> after = b;
    if (previous > 1) wave.sample(channel, previous - 1, before);
    if (previous + 2 <= wave.frames()) wave.sample(channel, previous + 2, after);
    const float t = static_cast<float>(w);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const float value =
            catmullRom(static_cast<float>(before[i]), static_cast<float>(a[i]),
                       static_cast<float>(b[i]), static_cast<float>(after[i]), t);
        out[i] = integer ? std::trunc(static_cast<double>(value)) : static_cast<double>(value);
    }
}

}  // namespace

StepResult demoReadStored(const Wave& wave, const std::string& location,
                          const std::string& baseName, Checks& checks, Progress& progress) {
    StepResult result{"read every stored sample (" + baseName + ")", 0.0, 0, ""};
    qzCacheFileInterface reader;
    if (!openReader(reader, location, baseName, checks)) return result;
    SampleBuffers buffers(wave);
    std::vector<double> expected;
    std::size_t exact = 0;
    progress.reset("read " + baseName, static_cast<std::size_t>(wave.frames()));
    for (int frame = 1; frame <= wave.frames(); ++frame) {
        const int time = Wave::timeOfFrame(frame);
        for (unsigned int channel = 0; channel < Wave::kArrayChannels; ++channel) {
            void* data = buffers.data(channel);
            unsigned int length = wave.pointCount();
            const Stopwatch watch;
            const bool read = reader.getArrayDataAtTime(channel, time, data, length);
            result.seconds += watch.seconds();
            if (!checks.expect(read && length == wave.pointCount(),
                               where(channel, time) + ": stored sample not read")) {
                continue;
            }
            result.bytes += wave.sampleBytes(channel);
            wave.sample(channel, frame, expected);
            if (checks.expect(matches(data, Wave::channelType(channel), expected, 0.0),
                              where(channel, time) + ": stored values differ")) {
                ++exact;
            }
        }
        progress.step();
    }
    // Single doubles never reach the data files: a cache read from disk has none of them.
    double energy = 0.0;
    const bool found = reader.accessor()->getDataAtTime(Wave::kEnergy, Wave::timeOfFrame(1), energy);
    checks.expect(!found, "channel energy: a kDouble value was read from the files");
    result.outcome = std::to_string(exact) + " samples exact; energy (kDouble) not in the files";
    return result;
}

StepResult demoInterpolate(const Wave& wave, const std::string& location,
                           const std::string& baseName, Checks& checks, Progress& progress) {
    StepResult result{"interpolate between stored times (" + baseName + ")", 0.0, 0, ""};
    qzCacheFileInterface reader;
    if (!openReader(reader, location, baseName, checks)) return result;
    qzCacheFileAccessor& accessor = *reader.accessor();
    const qzCacheChannel::qzCacheInterpolation modes[] = {
        qzCacheChannel::kNoInterpolation, qzCacheChannel::kStepPrevious,
        qzCacheChannel::kStepNext, qzCacheChannel::kLinear, qzCacheChannel::kCatmullRom};
    // Fractions of a frame after a spread of frames, the first and last intervals included.
    std::vector<int> frames;
    const int stride = std::max(1, (wave.frames() - 1) / 10);
    for (int frame = 1; frame < wave.frames(); frame += stride) frames.push_back(frame);
    if (frames.back() != wave.frames() - 1) frames.push_back(wave.frames() - 1);
    const int offsets[] = {125, 60};
    SampleBuffers buffers(wave);
    std::vector<double> expected;
    std::size_t requests = 0;
    progress.reset("interpolate", std::size(modes) * Wave::kArrayChannels);
    for (qzCacheChannel::qzCacheInterpolation mode : modes) {
        for (unsigned int channel = 0; channel < Wave::kArrayChannels; ++channel) {
            qzCacheChannel::qzCacheInterpolation chosen = mode;
            accessor.setChannelInterpolation(channel, chosen);
            const bool integer = Wave::channelType(channel) == qzCacheData::kInt32Array;
            const double tolerance = mode == qzCacheChannel::kStepPrevious ||
                                             mode == qzCacheChannel::kStepNext
                                         ? 0.0
                                         : (integer ? 1.0 : 1e-5);
            auto request = [&](int time, const std::vector<double>* want, double allowed) {
                void* data = buffers.data(channel);
                unsigned int length = wave.pointCount();
                const Stopwatch watch;
                const bool read = accessor.getArrayDataAtTime(channel, time, wave.pointCount(),
                                                              data, length);
                result.seconds += watch.seconds();
                ++requests;
                const std::string what = where(channel, time) + " (" + interpolationName(mode) + ")";
                if (want == nullptr) {
                    checks.expect(!read, what + ": answered without interpolation");
                } else if (checks.expect(read && length == wave.pointCount(), what + ": no answer")) {
                    result.bytes += wave.sampleBytes(channel);
                    checks.expect(matches(data, Wave::channelType(channel), *want, allowed),
                                  what + ": values off");
                }
            };
            const bool none = mode == qzCacheChannel::kNoInterpolation;
            for (int frame : frames) {
                for (int offset : offsets) {
                    const double w = offset / static_cast<double>(Wave::kTicksPerFrame);
                    if (!none) expectedBetween(wave, channel, frame, w, mode, expected);
                    request(Wave::timeOfFrame(frame) + offset, none ? nullptr : &expected, tolerance);
                }
            }
            // Outside the stored range the first and last samples answer, unchanged.
            wave.sample(channel, 1, expected);
            request(0, none ? nullptr : &expected, 0.0);
            wave.sample(channel, wave.frames(), expected);
            request(Wave::timeOfFrame(wave.frames() + 1), none ? nullptr : &expected, 0.0);
            progress.step();
        }
    }
    result.outcome = std::to_string(requests) +
                     " requests: none refused, previous/next/ends exact, linear and "
                     "catmull-rom within tolerance";
    return result;
}

StepResult demoPlayBack(const Wave& wave, const std::string& location,
                        const std::string& baseName, Checks& checks, Progress& progress) {
    StepResult result{"play back with the worker thread (" + baseName + ")", 0.0, 0, ""};
    qzCacheFileInterface reader;
    if (!openReader(reader, location, baseName, checks)) return result;
    SampleBuffers buffers(wave);
    std::vector<double> expected;
    std::size_t exact = 0;
    progress.reset("play back", static_cast<std::size_t>(wave.frames()));
    const Stopwatch watch;
    if (!checks.expect(reader.startMultiThreadRead(false), "the worker thread did not start")) {
        return result;
    }
    checks.expect(reader.isInMultiThreadReadMode(), "not in multi-thread read mode");
    for (int frame = 1; frame <= wave.frames(); ++frame) {
        const int time = Wave::timeOfFrame(frame);
        for (unsigned int channel = 0; channel < Wave::kArrayChannels; ++channel) {
            void* data = buffers.data(channel);
            unsigned int length = wave.pointCount();
            if (!checks.expect(reader.getArrayDataAtTime(channel, time, data, length) &&
                                   length == wave.pointCount(),
                               where(channel, time) + ": not played back")) {
                continue;
            }
            result.bytes += wave.sampleBytes(channel);
            wave.sample(channel, frame, expected);
            if (checks.expect(matches(data, Wave::channelType(channel), expected, 0.0),
                              where(channel, time) + ": played back values differ")) {
                ++exact;
            }
        }
        progress.step();
    }
    checks.expect(reader.stopMultiThreadRead(), "the worker thread did not stop");
    result.seconds = watch.seconds();
    result.outcome = std::to_string(wave.frames()) + " frames, " + std::to_string(exact) +
                     " samples exact";
    return result;
}

StepResult demoReadPc2Cache(const Wave& wave, const std::string& location,
                            const std::string& baseName, Checks& checks) {
    StepResult result{"read the cache made from PC2 (" + baseName + ")", 0.0, 0, ""};
    qzCacheFileInterface reader;
    if (!openReader(reader, location, baseName, checks)) return result;
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    checks.expect(reader.numChannels() == 1 && reader.channelDataType(0, type) &&
                      type == qzCacheData::kDoubleVectorArray,
                  baseName + ": not one kDoubleVectorArray channel");
    std::vector<double> buffer(std::size_t{wave.pointCount()} * 3);
    std::vector<double> expected;
    std::size_t exact = 0;
    const Stopwatch watch;
    for (int frame = 1; frame <= wave.frames(); ++frame) {
        const int time = Wave::timeOfFrame(frame);
        void* data = buffer.data();
        unsigned int length = wave.pointCount();
        if (!checks.expect(reader.getArrayDataAtTime(0, time, data, length) &&
                               length == wave.pointCount(),
                           baseName + ": no sample at time " + std::to_string(time))) {
            continue;
        }
        result.bytes += buffer.size() * sizeof(double);
        wave.sample(Wave::kPoints, frame, expected);
        if (checks.expect(matches(data, qzCacheData::kDoubleVectorArray, expected, 0.0),
                          baseName + ": points differ at time " + std::to_string(time))) {
            ++exact;
        }
    }
    result.seconds = watch.seconds();
    result.outcome = std::to_string(exact) + " samples equal to the generated points";
    return result;
}

}  // namespace qztool
