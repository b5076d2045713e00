// A live writer for the tests to kill: writes frames of the cache DIR/live (layout 0 one-file,
// 1 per-frame; format kcc or kcx), publishing the description at most every INTERVAL ms, until
// it is killed or has written its frames. Each frame pauses after its large array, so that a
// kill often finds a frame half written.
//   liveCacheWriter DIR LAYOUT FORMAT INTERVAL
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "writtenCache.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    // Far more than a test waits for: a writer nobody kills still ends.
    constexpr int kFrames = 3000;
    const auto layout = std::string(argv[2]) == "1" ? qzCacheFileInterface::kFormatOneFilePerFrame
                                                    : qzCacheFileInterface::kFormatOneFile;
    qzCacheFileInterface cache;
    if (!cache.initFileWrite(argv[1], "live", layout, argv[3], 250) ||
        !qztest::addChannels(cache, true)) {
        return 3;
    }
    cache.setLiveWrite(true, static_cast<unsigned int>(std::atoi(argv[4])));
    for (int frame = 0; frame < kFrames; ++frame) {
        const int time = frame * 250;
        std::vector<float> points = qztest::pointsAt(time);
        std::vector<double> weights = qztest::weightsAt(time);
        std::vector<float> large = qztest::bigAt(time);
        cache.beginWriteAtTime(time);
        if (!cache.addArrayData(0, time, points.data(), qztest::kPoints) ||
            !cache.addArrayData(2, time, large.data(), qztest::kBigValues)) {
            return 4;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (!cache.addArrayData(1, time, weights.data(), qztest::kWeights)) return 4;
        cache.endWriteAtTime();
    }
    return cache.endFileWrite() ? 0 : 5;
}
