// The demo's generated animation, its checks and its timings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qzCacheData.h"
#include "qzCacheFileInterface.h"

namespace qztool {

class Progress;

// A rippling grid: per-point positions (kFloatVectorArray), a per-point temperature
// (kFloatArray), a per-point age (kInt32Array) and the grid's energy per frame (kDouble).
class Wave {
public:
    enum Channel : unsigned int { kPoints = 0, kTemperature = 1, kAge = 2, kEnergy = 3 };
    static constexpr unsigned int kArrayChannels = 3;
    static constexpr int kTicksPerFrame = 250;

    Wave(int grid, int frames) : m_grid(grid), m_frames(frames) {}

    int frames() const { return m_frames; }
    unsigned int pointCount() const { return static_cast<unsigned int>(m_grid * m_grid); }
    static int timeOfFrame(int frame) { return frame * kTicksPerFrame; }
    static const char* channelName(unsigned int channel);
    static const char* channelInterpretation(unsigned int channel);
    static qzCacheData::qzCacheDataType channelType(unsigned int channel);

    void points(int frame, std::vector<float>& xyz) const;
    void temperature(int frame, std::vector<float>& values) const;
    void age(int frame, std::vector<int>& values) const;
    double energy(int frame) const;

    // The sample of an array channel at a frame, as doubles (three per point for points).
    void sample(unsigned int channel, int frame, std::vector<double>& values) const;
    // Bytes of one array sample.
    std::size_t sampleBytes(unsigned int channel) const;

private:
    int m_grid;
    int m_frames;
};

// Counts passed and failed checks; keeps the first few failures for the report.
class Checks {
public:
    void pass(std::size_t count = 1) { m_passed += count; }
    void fail(const std::string& what);
    bool expect(bool condition, const std::string& what) {
        condition ? pass() : fail(what);
        return condition;
    }
    std::size_t passed() const { return m_passed; }
    std::size_t failed() const { return m_failed; }
    const std::vector<std::string>& failures() const { return m_failures; }

private:
    std::size_t m_passed = 0;
    std::size_t m_failed = 0;
    std::vector<std::string> m_failures;
};

// One line of the demo's report.
struct StepResult {
    std::string what;
    double seconds = 0.0;
    std::uint64_t bytes = 0;  // data moved, for the throughput; 0 for none
    std::string outcome;
};

class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// The reading steps (qzcacheDemoRead.cpp). Each opens the cache by its location and base name.
StepResult demoReadStored(const Wave& wave, const std::string& location,
                          const std::string& baseName, Checks& checks, Progress& progress);
StepResult demoInterpolate(const Wave& wave, const std::string& location,
                           const std::string& baseName, Checks& checks, Progress& progress);
StepResult demoPlayBack(const Wave& wave, const std::string& location,
                        const std::string& baseName, Checks& checks, Progress& progress);
// Reads a cache made from a PC2 file of the points channel and compares it with the wave.
StepResult demoReadPc2Cache(const Wave& wave, const std::string& location,
                            const std::string& baseName, Checks& checks);

}  // namespace qztool
