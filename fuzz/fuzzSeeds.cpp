// Writes the seed inputs of every fuzz target, made by the library itself:
//   fuzzSeeds OUTPUT_DIRECTORY
// gives OUTPUT_DIRECTORY/<target>/<name> for the targets dataFile, description, pc2, mdd and
// cache.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzzSupport.h"
#include "qzCacheData.h"
#include "qzCacheFileInterface.h"
#include "qzPointCache2IO.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool writeSeed(const fs::path& directory, const std::string& name, const Bytes& bytes) {
    fs::create_directories(directory);
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

struct SeedCache {
    std::string name;
    qzCacheFileInterface::cacheFileFormat layout;
    const char* format;
    bool irregular;
    bool live;  // left as its writer leaves it midway: described as being written
};

// A cache with a channel of every array type, written at three or four times; an irregular
// one adds a time off the grid.
bool writeCache(const std::string& directory, const SeedCache& seed) {
    qzCacheFileInterface cache;
    if (!cache.initFileWrite(directory.c_str(), seed.name.c_str(), seed.layout, seed.format, 250))
        return false;
    const qzCacheData::qzCacheDataType types[] = {
        qzCacheData::kFloatVectorArray, qzCacheData::kDoubleArray, qzCacheData::kInt32Array,
        qzCacheData::kFloatArray, qzCacheData::kDoubleVectorArray};
    const char* const names[] = {"points", "weights", "ids", "floats", "vectors"};
    for (unsigned int i = 0; i < 5; ++i) {
        unsigned int index = 0;
        if (!cache.addChannel(names[i], "seed", types[i], index)) return false;
    }
    cache.setLiveWrite(seed.live, 0);
    std::vector<int> times = {250, 500, 750};
    if (seed.irregular) times.push_back(1100);
    double values[6] = {1.0, -2.5, 3.25, 0.5, 7.0, -1.0};
    int integers[6] = {1, -2, 3, 40000, -5, 6};
    float floats[6] = {1.0f, -2.5f, 3.25f, 0.5f, 7.0f, -1.0f};
    for (int time : times) {
        cache.beginWriteAtTime(time);
        values[0] = time / 250.0;
        floats[0] = static_cast<float>(values[0]);
        integers[0] = time;
        bool ok = cache.addArrayData(0, time, floats, 2);
        ok = cache.addArrayData(1, time, values, 2) && ok;
        ok = cache.addArrayData(2, time, integers, 2) && ok;
        ok = cache.addArrayData(3, time, floats, 2) && ok;
        ok = cache.addArrayData(4, time, values, 2) && ok;
        cache.endWriteAtTime();
        if (!ok) return false;
    }
    return seed.live || cache.endFileWrite();
}

bool writePointCacheSeed(const fs::path& output) {
    const std::string path = (output / "seed.pc2").string();
    qzPointCache2IO writer;
    if (!writer.open(path.c_str(), true) || !writer.writeHeader(3, 4, 1.0f, 1.0f)) return false;
    for (int sample = 0; sample < 4; ++sample) {
        float points[9] = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f};
        points[0] = static_cast<float>(sample);
        if (!writer.writeSample(sample, points)) return false;
    }
    writer.close();
    const Bytes bytes = readBytes(path);
    fs::remove(path);
    return writeSeed(output / "pc2", "points-3x4", bytes) &&
           writeSeed(output / "pc2", "cut-short", Bytes(bytes.begin(), bytes.end() - 20));
}

// The points of a seed cache as an MDD file, whole and cut inside its last frame.
bool writeMddSeed(const fs::path& output, const std::string& directory, const char* cache) {
    const std::string path = directory + "seed.mdd";
    if (!qzCacheFileInterface::convertToMdd(path.c_str(), directory.c_str(), cache, 0, 250, 24.0))
        return false;
    const Bytes bytes = readBytes(path);
    return writeSeed(output / "mdd", "points-2x3", bytes) &&
           writeSeed(output / "mdd", "cut-short", Bytes(bytes.begin(), bytes.end() - 10));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzzSeeds OUTPUT_DIRECTORY\n");
        return 2;
    }
    const fs::path output(argv[1]);
    const fs::path work = output / "work";
    fs::create_directories(work);
    const std::string directory = work.generic_string() + "/";
    const SeedCache caches[] = {
        {"oneKcc", qzCacheFileInterface::kFormatOneFile, "kcc", false, false},
        {"oneKcx", qzCacheFileInterface::kFormatOneFile, "kcx", true, false},
        {"frameKcc", qzCacheFileInterface::kFormatOneFilePerFrame, "kcc", true, false},
        {"frameKcx", qzCacheFileInterface::kFormatOneFilePerFrame, "kcx", false, false},
        {"oneKccLive", qzCacheFileInterface::kFormatOneFile, "kcc", true, true},
    };
    for (const SeedCache& seed : caches) {
        if (!writeCache(directory, seed)) {
            std::fprintf(stderr, "fuzzSeeds: writing the cache %s failed\n", seed.name.c_str());
            return 1;
        }
        const bool oneFile = seed.layout == qzCacheFileInterface::kFormatOneFile;
        const std::string extension = seed.format == std::string("kcx") ? ".kcx" : ".kc";
        const Bytes description = readBytes(directory + seed.name + ".xml");
        const Bytes dataFile =
            readBytes(directory + seed.name + (oneFile ? "" : "Frame1") + extension);
        if (description.empty() || dataFile.empty() ||
            !writeSeed(output / "description", seed.name, description) ||
            !writeSeed(output / "dataFile", seed.name, dataFile) ||
            !writeSeed(output / "cache", seed.name, qzfuzz::joinCacheInput(description, dataFile))) {
            std::fprintf(stderr, "fuzzSeeds: the files of %s are missing\n", seed.name.c_str());
            return 1;
        }
    }
    if (!writeMddSeed(output, directory, caches[0].name.c_str())) {
        std::fprintf(stderr, "fuzzSeeds: writing the MDD seed failed\n");
        return 1;
    }
    fs::remove_all(work);
    if (!writePointCacheSeed(output)) {
        std::fprintf(stderr, "fuzzSeeds: writing the PC2 seed failed\n");
        return 1;
    }
    return 0;
}
