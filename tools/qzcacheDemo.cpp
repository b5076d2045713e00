// The demo: generates a rippling grid, writes it as a one-file and a per-frame cache, reads
// both back, interpolates, plays back with the worker, converts to PC2 and back, verifies.
#include "qzcacheDemo.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzcacheCommands.h"
#include "qzcacheCommon.h"
#include "qzcacheTerminal.h"
#include "qzcacheVerify.h"

namespace fs = std::filesystem;

namespace qztool {

// ---------------------------------------------------------------------------------------
// The generated animation

const char* Wave::channelName(unsigned int channel) {
    const char* names[] = {"points", "temperature", "age", "energy"};
    return channel <= kEnergy ? names[channel] : "";
}

const char* Wave::channelInterpretation(unsigned int channel) {
    const char* names[] = {"position", "temperature", "age", "energy"};
    return channel <= kEnergy ? names[channel] : "";
}

qzCacheData::qzCacheDataType Wave::channelType(unsigned int channel) {
    const qzCacheData::qzCacheDataType types[] = {qzCacheData::kFloatVectorArray,
                                                  qzCacheData::kFloatArray,
                                                  qzCacheData::kInt32Array, qzCacheData::kDouble};
    return channel <= kEnergy ? types[channel] : qzCacheData::kUnknownData;
}

void Wave::points(int frame, std::vector<float>& xyz) const {
    xyz.resize(std::size_t{pointCount()} * 3);
    const double half = (m_grid - 1) / 2.0;
    std::size_t k = 0;
    for (int i = 0; i < m_grid; ++i) {
        for (int j = 0; j < m_grid; ++j) {
            const double x = (i - half) * 0.1;
            const double z = (j - half) * 0.1;
            const double r = std::sqrt(x * x + z * z);
            const double y = 0.5 * std::sin(3.0 * r - 0.25 * frame) * std::exp(-0.15 * r);
            xyz[k++] = static_cast<float>(x);
            xyz[k++] = static_cast<float>(y);
            xyz[k++] = static_cast<float>(z);
        }
    }
}

void Wave::temperature(int frame, std::vector<float>& values) const {
    values.resize(pointCount());
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = static_cast<float>(20.0 + 5.0 * std::sin(0.1 * frame + 0.002 * k));
    }
}

void Wave::age(int frame, std::vector<int>& values) const {
    values.resize(pointCount());
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = frame * 10 + static_cast<int>(k % 7);
    }
}

double Wave::energy(int frame) const {
    std::vector<float> xyz;
    points(frame, xyz);
    double sum = 0.0;
    for (std::size_t k = 1; k < xyz.size(); k += 3) {
        sum += double{xyz[k]} * xyz[k];
    }
    return sum / pointCount();
}

void Wave::sample(unsigned int channel, int frame, std::vector<double>& values) const {
    if (channel == kPoints || channel == kTemperature) {
        std::vector<float> floats;
        channel == kPoints ? points(frame, floats) : temperature(frame, floats);
        values.assign(floats.begin(), floats.end());
    } else {
        std::vector<int> ints;
        age(frame, ints);
        values.assign(ints.begin(), ints.end());
    }
}

std::size_t Wave::sampleBytes(unsigned int channel) const {
    return std::size_t{pointCount()} * qzCacheData::elementSize(channelType(channel));
}

void Checks::fail(const std::string& what) {
    ++m_failed;
    if (m_failures.size() < 10) m_failures.push_back(what);
}

// ---------------------------------------------------------------------------------------
// Writing

namespace {

const char* const kOneFileName = "wave_onefile";
const char* const kPerFrameName = "wave_perframe";
const char* const kFromPc2Name = "wave_from_pc2";

struct CacheToWrite {
    std::string baseName;
    qzCacheFileInterface::cacheFileFormat layout;
    const char* format;
};

// The doubles stayed in the writer's memory; only there can they be read.
StepResult energyInMemory(const Wave& wave, qzCacheFileAccessor& accessor, Checks& checks) {
    StepResult doubles{"read energy (kDouble) from the writer's memory", 0.0, 0, ""};
    const Stopwatch watch;
    accessor.setMemoryCache(true);
    std::size_t exact = 0;
    for (int frame = 1; frame <= wave.frames(); ++frame) {
        double value = 0.0;
        exact += checks.expect(accessor.getDataAtTime(Wave::kEnergy, Wave::timeOfFrame(frame),
                                                      value) &&
                                   value == wave.energy(frame),
                               "energy at frame " + std::to_string(frame) + " not kept in memory");
    }
    accessor.setMemoryCache(false);
    doubles.seconds = watch.seconds();
    doubles.outcome = std::to_string(exact) + " values exact (doubles never reach the data files)";
    return doubles;
}

// Writes one cache through the facade; the kDouble channel goes to memory only, with the
// memory cache switched on just around it. Adds the write step and, for the first cache, the
// check of the in-memory doubles.
void writeCache(const Wave& wave, const std::string& location, const CacheToWrite& target,
                Checks& checks, Progress& progress, std::vector<StepResult>& steps) {
    const std::string path = location + target.baseName + ".xml";
    StepResult step{"write " + target.baseName + " (" +
                        (target.layout == qzCacheFileInterface::kFormatOneFile ? "one-file"
                                                                              : "per-frame") +
                        ", " + target.format + ")",
                    0.0, 0, ""};
    qzCacheFileInterface writer;
    if (!writer.initFileWrite(location.c_str(), target.baseName.c_str(), target.layout,
                              target.format, Wave::kTicksPerFrame)) {
        throw ToolError(kExitFileError, location + target.baseName + ": cannot create the cache");
    }
    qzCacheFileAccessor& accessor = *writer.accessor();
    unsigned int index[Wave::kEnergy + 1] = {};
    for (unsigned int channel = 0; channel <= Wave::kEnergy; ++channel) {
        checks.expect(writer.addChannel(Wave::channelName(channel),
                                        Wave::channelInterpretation(channel),
                                        Wave::channelType(channel), index[channel]) &&
                          index[channel] == channel,
                      path + ": channel " + Wave::channelName(channel) + " not added");
    }
    accessor.addDescriptionInfo(fromUtf8("qzcache demo: a rippling grid of " +
                                         std::to_string(wave.pointCount()) + " points over " +
                                         std::to_string(wave.frames()) + " frames"));
    std::vector<float> points;
    std::vector<float> temperature;
    std::vector<int> age;
    progress.reset("write " + target.baseName, static_cast<std::size_t>(wave.frames()));
    std::size_t added = 0;
    for (int frame = 1; frame <= wave.frames(); ++frame) {
        const int time = Wave::timeOfFrame(frame);
        wave.points(frame, points);
        wave.temperature(frame, temperature);
        wave.age(frame, age);
        const double energy = wave.energy(frame);
        const Stopwatch watch;
        writer.beginWriteAtTime(time);
        added += writer.addArrayData(Wave::kPoints, time, points.data(), wave.pointCount());
        added += writer.addArrayData(Wave::kTemperature, time, temperature.data(),
                                     wave.pointCount());
        added += writer.addArrayData(Wave::kAge, time, age.data(), wave.pointCount());
        accessor.setMemoryCache(true);
        added += accessor.addData(Wave::kEnergy, time, energy);
        accessor.setMemoryCache(false);
        writer.endWriteAtTime();
        step.seconds += watch.seconds();
        progress.step();
    }
    const Stopwatch watch;
    checks.expect(writer.endFileWrite(), path + ": the description was not written");
    step.seconds += watch.seconds();
    const std::size_t expectedAdds = std::size_t{4} * static_cast<std::size_t>(wave.frames());
    checks.expect(added == expectedAdds, path + ": " + std::to_string(expectedAdds - added) +
                                             " samples refused while writing");
    for (unsigned int channel = 0; channel < Wave::kArrayChannels; ++channel) {
        step.bytes += wave.sampleBytes(channel) * static_cast<std::size_t>(wave.frames());
    }
    step.outcome = std::to_string(wave.frames()) + " frames x 3 array channels + energy in memory";
    steps.push_back(step);
    if (target.layout != qzCacheFileInterface::kFormatOneFile) return;

    steps.push_back(energyInMemory(wave, accessor, checks));
}

StepResult convertPc2(const Wave& wave, const std::string& location, Checks& checks) {
    StepResult step{"convert points to PC2 and back (" + std::string(kFromPc2Name) + ")", 0.0, 0,
                    ""};
    const std::string pc2 = location + "wave.pc2";
    const Stopwatch watch;
    const bool out = qzCacheFileInterface::convertToPc2(pc2.c_str(), location.c_str(),
                                                        kOneFileName, Wave::kPoints,
                                                        Wave::kTicksPerFrame);
    const bool back = out && qzCacheFileInterface::convertFromPc2(
                                 pc2.c_str(), location.c_str(), kFromPc2Name,
                                 qzCacheFileInterface::kFormatOneFile, "kcx",
                                 Wave::kTicksPerFrame);
    step.seconds = watch.seconds();
    checks.expect(out, pc2 + ": the points channel was not converted to PC2");
    checks.expect(back, pc2 + ": the PC2 file was not converted to a cache");
    std::uintmax_t size = 0;
    const std::uintmax_t expected =
        32 + std::uintmax_t{wave.pointCount()} * 12 * static_cast<std::uintmax_t>(wave.frames());
    checks.expect(fileSize(pc2, size) && size == expected,
                  pc2 + ": " + std::to_string(size) + " bytes, expected " +
                      std::to_string(expected));
    step.bytes = 2 * size;
    step.outcome = "wave.pc2, " + sizeText(size);
    return step;
}

StepResult verifyAll(const std::string& location, Checks& checks, Progress& progress) {
    StepResult step{"verify all three caches", 0.0, 0, ""};
    std::size_t samples = 0;
    std::size_t whole = 0;
    const Stopwatch watch;
    for (const char* name : {kOneFileName, kPerFrameName, kFromPc2Name}) {
        const qzCacheCheckReport report = checkCache(location + name + ".xml", &progress);
        step.bytes += report.bytesChecked;
        samples += report.samplesChecked;
        const std::string first = report.problems.empty() ? "" : problemText(report.problems.front());
        whole += checks.expect(report.whole() && report.samplesChecked == report.samplesExpected,
                               std::string(name) + ": not whole: " + first);
    }
    step.seconds = watch.seconds();
    step.outcome = std::to_string(whole) + " of 3 whole, " + std::to_string(samples) +
                   " samples checked";
    return step;
}

std::string demoLocation(const std::string& requested) {
    std::error_code error;
    fs::path directory;
    if (requested.empty()) {
        std::random_device seed;
        for (int attempt = 0; attempt < 100 && directory.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path(error) / ("qzcache-demo-" + std::to_string(seed() % 1000000));
            if (fs::create_directory(candidate, error)) directory = candidate;
        }
        if (directory.empty()) {
            throw ToolError(kExitFileError, "cannot make a temporary directory for the demo");
        }
    } else {
        directory = fs::u8path(requested);
        fs::create_directories(directory, error);
        if (!fs::is_directory(directory, error)) {
            throw ToolError(kExitFileError, requested + ": cannot make the directory");
        }
    }
    return directory.generic_u8string() + "/";
}

void printStep(const StepResult& step) {
    char throughput[32] = "";
    if (step.bytes > 0 && step.seconds > 0.0) {
        std::snprintf(throughput, sizeof throughput, "%.1f MB/s",
                      static_cast<double>(step.bytes) / 1e6 / step.seconds);
    }
    std::printf("  %-52s %7.3f s %12s  %s\n", step.what.c_str(), step.seconds, throughput,
                step.outcome.c_str());
    std::fflush(stdout);
}

}  // namespace

int runDemo(const DemoOptions& options) {
    const Wave wave(options.grid, options.frames);
    const std::string location = demoLocation(options.directory);
    std::printf("qzcache demo: a rippling grid of %u points over %d frames, %d ticks per frame\n",
                wave.pointCount(), wave.frames(), Wave::kTicksPerFrame);
    std::printf("caches in %s\n\n", location.c_str());
    std::printf("  %-52s %9s %12s  %s\n", "step", "time", "throughput", "result");
    Checks checks;
    Progress progress("demo", 1);
    std::vector<StepResult> steps;
    auto run = [&](const StepResult& step) {
        progress.finish();
        printStep(step);
    };
    const Stopwatch total;
    writeCache(wave, location, {kOneFileName, qzCacheFileInterface::kFormatOneFile, "kcc"}, checks,
               progress, steps);
    writeCache(wave, location, {kPerFrameName, qzCacheFileInterface::kFormatOneFilePerFrame, "kcx"},
               checks, progress, steps);
    for (const StepResult& step : steps) run(step);
    run(demoReadStored(wave, location, kOneFileName, checks, progress));
    run(demoReadStored(wave, location, kPerFrameName, checks, progress));
    run(demoInterpolate(wave, location, kOneFileName, checks, progress));
    run(demoPlayBack(wave, location, kPerFrameName, checks, progress));
    run(convertPc2(wave, location, checks));
    run(demoReadPc2Cache(wave, location, kFromPc2Name, checks));
    run(verifyAll(location, checks, progress));
    progress.finish();

    std::printf("\n%zu checks passed, %zu failed, in %.2f s\n", checks.passed(), checks.failed(),
                total.seconds());
    for (const std::string& failure : checks.failures()) {
        std::printf("  FAILED: %s\n", failure.c_str());
    }
    std::printf("\nThe caches stay in %s; look at them with:\n", location.c_str());
    std::printf("  qzcache info %s%s.xml\n", location.c_str(), kOneFileName);
    std::printf("  qzcache files %s%s.xml\n", location.c_str(), kPerFrameName);
    std::printf("  qzcache dump %s%s.xml points --frame 10.5 --interpolation catmull-rom\n",
                location.c_str(), kOneFileName);
    std::printf("  qzcache verify %s%s.xml\n", location.c_str(), kPerFrameName);
    std::printf("  qzcache to-pc2 --cache %s%s.xml --channel points --output %spoints.pc2\n",
                location.c_str(), kPerFrameName, location.c_str());
    std::printf("  qzcache view %s%s.xml --open\n", location.c_str(), kPerFrameName);
    if (checks.failed() > 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzcache: demo in %s: %zu check(s) failed; first: %s\n",
                     location.c_str(), checks.failed(), checks.failures().front().c_str());
        return kExitNotWhole;
    }
    return kExitOk;
}

}  // namespace qztool
