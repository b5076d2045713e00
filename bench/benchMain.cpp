// qzcache_bench: cache writing and playback against raw stdio and memcpy baselines.
// Google Benchmark's own flags (--benchmark_filter=..., --benchmark_format=json, ...) work as
// usual; the sizes are set with the flags listed by --help.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "benchCases.h"

namespace {

const char* kUsage =
    "qzcache_bench [benchmark flags] [sizes]\n"
    "  --points=N             vectors per frame of the big workload (100000)\n"
    "  --frames=N             frames of the big and many-channel workloads (240)\n"
    "  --split=N              the big workload split over N channels (8)\n"
    "  --channels=N           channels of the many-channel workload (1000)\n"
    "  --values=N             floats per channel there (16)\n"
    "  --small-frames=N       frames of the random-order cache (10000)\n"
    "  --small-points=N       vectors per frame there (1000)\n"
    "  --sweep=A,B,...        channel counts of the load-time sweep (125,250,500,1000,2000)\n"
    "  --sweep-frames=N       frames of each sweep cache (48)\n"
    "  --direct-many-frames=N frames read directly from the many-channel cache (48)\n"
    "  --scene-channels=N     channels of the scene workload (1000)\n"
    "  --scene-frames=N       frames of the scene workload (24)\n"
    "  --host-work-us=N       the host's work per frame in the worker case (4000)\n"
    "  --passes=N             timed passes of each large case (3)\n"
    "  --quick                small sizes, for a smoke run\n"
    "  --dir=PATH             scratch directory (default: a new one in the temp directory)\n"
    "  --keep                 keep the scratch directory\n";

bool number(const char* arg, const char* flag, unsigned& value) {
    const std::size_t length = std::strlen(flag);
    if (std::strncmp(arg, flag, length) != 0 || arg[length] != '=') return false;
    value = static_cast<unsigned>(std::strtoul(arg + length + 1, nullptr, 10));
    return true;
}

bool parse(int argc, char** argv) {
    qzbench::Config& c = qzbench::config();
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (number(a, "--points", c.points) || number(a, "--frames", c.frames) ||
            number(a, "--split", c.splitChannels) || number(a, "--channels", c.manyChannels) ||
            number(a, "--values", c.manyValues) || number(a, "--small-frames", c.smallFrames) ||
            number(a, "--small-points", c.smallPoints) ||
            number(a, "--sweep-frames", c.scalingFrames) ||
            number(a, "--direct-many-frames", c.directManyFrames) ||
            number(a, "--host-work-us", c.hostWorkUs) || number(a, "--passes", c.passes) ||
            number(a, "--scene-channels", c.sceneChannels) ||
            number(a, "--scene-frames", c.sceneFrames)) {
            continue;
        }
        if (std::strncmp(a, "--sweep=", 8) == 0) {
            c.scaling.clear();
            std::stringstream list(a + 8);
            std::string item;
            while (std::getline(list, item, ',')) {
                if (std::strtoul(item.c_str(), nullptr, 10) > 0) {
                    c.scaling.push_back(static_cast<unsigned>(std::strtoul(item.c_str(), nullptr, 10)));
                }
            }
        } else if (std::strcmp(a, "--quick") == 0) {
            c.points = 20000;
            c.frames = 48;
            c.manyChannels = 200;
            c.smallFrames = 1000;
            c.scaling = {50, 100, 200};
            c.scalingFrames = 8;
            c.sceneChannels = 200;
            c.sceneFrames = 8;
            c.hostWorkUs = 2000;
            c.passes = 1;
        } else if (std::strncmp(a, "--dir=", 6) == 0) {
            c.dir = a + 6;
        } else if (std::strcmp(a, "--keep") == 0) {
            c.keep = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n%s", a, kUsage);
            return false;
        }
    }
    if (c.points == 0 || c.frames < 2 || c.splitChannels == 0 || c.manyChannels == 0 ||
        c.manyValues == 0 || c.smallFrames < 2 || c.smallPoints == 0 || c.scalingFrames < 2 ||
        c.sceneChannels < 2 || c.sceneFrames < 2 ||
        c.passes == 0) {
        std::fprintf(stderr, "sizes must be positive (and frames at least 2)\n%s", kUsage);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s\nGoogle Benchmark flags:\n", kUsage);
            break;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (!parse(argc, argv)) return 2;
    std::printf("Scratch directory %s (files stay in the page cache: reads are warm)\n",
                qzbench::scratchDir().c_str());
    qzbench::defineBaselines();
    qzbench::registerBaselines();
    qzbench::registerWriteCases();
    qzbench::registerReadCases();
    qzbench::registerWorkerCases();
    qzbench::registerLiveCases();
    benchmark::RunSpecifiedBenchmarks();
    qzbench::printSummary();
    benchmark::Shutdown();
    qzbench::removeScratchDir();
    return 0;
}
