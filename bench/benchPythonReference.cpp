// qzcache_pyref: the C++ side of bench/python_bench.py. Writes a cache of one point channel
// through the facade, or reads every stored frame of a cache's first channel directly into
// one buffer, and prints the median seconds per frame over the rounds: wall clock, then the
// CPU time of the process (which other processes on the machine disturb less).
//   qzcache_pyref write DIR NAME POINTS FRAMES ROUNDS
//   qzcache_pyref read DESCRIPTION ROUNDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wall-clock and CPU seconds from its construction on.
struct Stopwatch {
    Clock::time_point wall = Clock::now();
    std::clock_t cpu = std::clock();
    void stop(unsigned frames, double& wallPerFrame, double& cpuPerFrame) const {
        wallPerFrame = std::chrono::duration<double>(Clock::now() - wall).count() / frames;
        cpuPerFrame = double(std::clock() - cpu) / CLOCKS_PER_SEC / frames;
    }
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

bool writeCache(const std::string& dir, const std::string& name, unsigned points,
                unsigned frames, double& wall, double& cpu) {
    std::vector<float> xyz(std::size_t(points) * 3);
    for (std::size_t i = 0; i < xyz.size(); ++i) xyz[i] = float(i % 1000) * 0.001f;
    // Each timed write starts on removed files: replacing a file makes its close start the
    // write-back of the old one's replacement.
    std::remove((dir + "/" + name + ".kc").c_str());
    std::remove((dir + "/" + name + ".xml").c_str());
    const Stopwatch stopwatch;
    {
        // Closed inside the timed span, as the module's writer is when its block ends.
        qzCacheFileInterface cache;
        if (!cache.initFileWrite((dir + "/").c_str(), name.c_str(),
                                 qzCacheFileInterface::kFormatOneFile, "kcc", 250)) {
            return false;
        }
        unsigned int channel = 0;
        cache.addChannel("points", "position", qzCacheData::kFloatVectorArray, channel);
        for (unsigned frame = 1; frame <= frames; ++frame) {
            const int time = int(frame) * 250;
            xyz[0] = float(frame);
            cache.beginWriteAtTime(time);
            if (!cache.addArrayData(channel, time, xyz.data(), points)) return false;
            cache.endWriteAtTime();
        }
        if (!cache.endFileWrite()) return false;
    }
    stopwatch.stop(frames, wall, cpu);
    return true;
}

bool readCache(const std::string& description, double& wall, double& cpu) {
    const std::size_t slash = description.rfind('/');
    const std::string location = description.substr(0, slash + 1);
    std::string name = description.substr(slash + 1);
    name.resize(name.size() - 4);  // ".xml"
    qzCacheFileInterface cache;
    if (!cache.initFileRead(name.c_str(), location.c_str())) return false;
    const unsigned frames = unsigned(cache.getDataCount(0));
    unsigned int points = 0;
    if (frames == 0 || !cache.getArrayLengthAtTime(0, 250, points)) return false;
    std::vector<float> xyz(std::size_t(points) * 3);
    const Stopwatch stopwatch;
    for (unsigned frame = 0; frame < frames; ++frame) {
        int time = 0;
        cache.getDataTime(0, frame, time);
        void* data = xyz.data();
        unsigned int length = points;
        if (!cache.getArrayDataAtTime(0, time, data, length)) return false;
    }
    stopwatch.stop(frames, wall, cpu);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool write = argc == 7 && std::strcmp(argv[1], "write") == 0;
    const bool read = argc == 4 && std::strcmp(argv[1], "read") == 0;
    if (!write && !read) {
        std::fprintf(stderr, "usage: qzcache_pyref write DIR NAME POINTS FRAMES ROUNDS\n"
                             "       qzcache_pyref read DESCRIPTION ROUNDS\n");
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[argc - 1]));
    std::vector<double> walls;
    std::vector<double> cpus;
    for (int round = 0; round < rounds; ++round) {
        double wall = 0.0;
        double cpu = 0.0;
        const bool ok = write ? writeCache(argv[2], argv[3], unsigned(std::atoi(argv[4])),
                                           unsigned(std::atoi(argv[5])), wall, cpu)
                              : readCache(argv[2], wall, cpu);
        if (!ok) {
            std::fprintf(stderr, "qzcache_pyref: %s failed\n", argv[1]);
            return 1;
        }
        walls.push_back(wall);
        cpus.push_back(cpu);
    }
    std::printf("%.9f %.9f\n", median(walls), median(cpus));
    return 0;
}
