// A live writer for the tests to kill: writes frames of the cache DIR/live (layout 0 one-file,
// 1 per-frame; format kcc or kcx), publishing the description at most every INTERVAL ms, until
// it is killed or has written its frames. Each frame pauses after its large array, so that a
// kill often finds a frame half written.
//   liveCacheWriter DIR LAYOUT FORMAT INTERVAL
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "testCache.h"

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    // Far more than a test waits for: a writer nobody kills still ends.
    constexpr int kFrames = 3000;
    qztest::TestCache cache;
    cache.channels = qztest::withBigChannel();
    const auto layout = std::string(argv[2]) == "1" ? qztest::kPerFrame : qztest::kOneFile;
    qzCacheFileInterface writer;
    if (!writer.initFileWrite(argv[1], "live", layout, argv[3], 250) || !qztest::writeTestChannels(writer, cache))
        return 3;
    writer.setLiveWrite(true, static_cast<unsigned int>(std::atoi(argv[4])));
    for (int time = 0; time < kFrames * 250; time += 250) {
        writer.beginWriteAtTime(time);
        for (unsigned int i = 0; i < cache.channels.size(); ++i) {
            std::vector<unsigned char> bytes = qztest::sampleBytes(cache.channels[i], i, time);
            if (!writer.addArrayData(i, time, bytes.data(), cache.channels[i].elements)) return 4;
            if (cache.channels[i].name == "big") std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        writer.endWriteAtTime();
    }
    return writer.endFileWrite() ? 0 : 5;
}
