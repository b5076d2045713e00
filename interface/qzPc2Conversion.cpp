// Conversion between one vector channel of a cache and a PC2 point cache file.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileInterface.h"
#include "qzFileSystem.h"
#include "qzOS.h"
#include "qzPointCache2IO.h"
#include "qzString.h"

namespace {

// What convertToPc2 found out about the channel before writing the header.
struct Pc2Plan {
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    int start = 0;
    int end = 0;
    int step = 0;
    int sampleCount = 0;
    // Elements asked of the cache per sample: points for the vector types, floats for
    // kFloatArray (three per point).
    unsigned int elementCount = 0;
    int pointCount = 0;
};

// The array read from a data file sizes the buffers: refuse counts the file cannot hold,
// so that a corrupt count never turns into a huge allocation.
bool fitsInDataFile(qzCacheFileAccessor& accessor, qzCacheData::qzCacheDataType type, int time,
                    unsigned int elementCount) {
    qzString::IString path;
    if (accessor.distribution() == qzCacheFileAccessor::kOneFile)
        path = accessor.constructDataFilePathForOneFile();
    else if (accessor.distribution() == qzCacheFileAccessor::kOneFilePerFrame)
        path = accessor.constructDataFilePathForOneFilePerFrame(time);
    else
        return false;
    std::uint64_t size = 0;
    if (!qzOS::fileSize(path.asUTF8(), size)) return false;
    return std::uint64_t(elementCount) * qzCacheData::elementSize(type) <= size;
}

bool planChannel(qzCacheFileInterface& cache, unsigned int channel, int stepArgument,
                 Pc2Plan& plan) {
    if (channel >= cache.numChannels() || !cache.channelDataType(channel, plan.type)) return false;
    if (plan.type != qzCacheData::kDoubleVectorArray && plan.type != qzCacheData::kFloatArray &&
        plan.type != qzCacheData::kFloatVectorArray)
        return false;
    const bool regular = cache.isChannelSamplingRegular(channel);
    if (regular) {
        if (!cache.channelSamplingRate(channel, plan.step)) return false;
    } else {
        plan.step = stepArgument;
    }
    // A step of zero or less would never advance through the time range.
    if (plan.step <= 0) return false;
    if (!cache.getChannelStartTime(channel, plan.start) ||
        !cache.getChannelEndTime(channel, plan.end))
        return false;
    std::int64_t samples = 0;
    if (regular) {
        const std::uint64_t count = cache.getDataCount(channel);
        samples = count > std::uint64_t(INT_MAX) ? -1 : std::int64_t(count);
    } else if (plan.start <= plan.end) {
        samples = (std::int64_t(plan.end) - plan.start) / plan.step + 1;
    }
    if (samples < 1 || samples > INT_MAX) return false;
    plan.sampleCount = int(samples);

    if (!cache.getArrayLengthAtTime(channel, plan.start, plan.elementCount)) return false;
    std::uint64_t points = plan.elementCount;
    if (plan.type == qzCacheData::kFloatArray) {
        // Read as x, y, z triples; a count that does not split into points is refused.
        if (plan.elementCount % 3 != 0) return false;
        points = plan.elementCount / 3;
    }
    if (points > std::uint64_t(INT_MAX)) return false;
    plan.pointCount = int(points);
    return fitsInDataFile(*cache.accessor(), plan.type, plan.start, plan.elementCount);
}

// Reads one sample at `time` into `floats` (pointCount * 3 values), through `doubles` for
// kDoubleVectorArray.
bool readPoints(qzCacheFileInterface& cache, unsigned int channel, int time, const Pc2Plan& plan,
                std::vector<float>& floats, std::vector<double>& doubles) {
    const bool viaDoubles = plan.type == qzCacheData::kDoubleVectorArray;
    void* buffer = viaDoubles ? static_cast<void*>(doubles.data()) : floats.data();
    void* data = buffer;
    unsigned int length = plan.elementCount;
    if (!cache.getArrayDataAtTime(channel, time, data, length)) return false;
    if (length != plan.elementCount) return false;
    const std::size_t scalars = std::size_t(plan.pointCount) * 3;
    if (scalars == 0) return true;
    if (!data) return false;
    // A sample lent from memory arrives through another pointer.
    if (data != buffer) {
        if (viaDoubles)
            std::memcpy(doubles.data(), data, scalars * sizeof(double));
        else
            std::memcpy(floats.data(), data, scalars * sizeof(float));
    }
    if (viaDoubles) {
        for (std::size_t i = 0; i < scalars; ++i) floats[i] = static_cast<float>(doubles[i]);
    }
    return true;
}

bool writePc2(qzPointCache2IO& pc2, qzCacheFileInterface& cache, unsigned int channel,
              int stepArgument) {
    Pc2Plan plan;
    if (!planChannel(cache, channel, stepArgument, plan)) return false;
    const int ticksPerFrame = cache.getTicksPerFrame();
    if (ticksPerFrame <= 0) return false;
    const float startFrame = static_cast<float>(plan.start) / static_cast<float>(ticksPerFrame);
    const float sampleRate = static_cast<float>(plan.step) / static_cast<float>(ticksPerFrame);
    if (!pc2.writeHeader(plan.pointCount, plan.sampleCount, startFrame, sampleRate)) return false;

    const std::size_t scalars = std::size_t(plan.pointCount) * 3;
    std::vector<float> floats(scalars);
    std::vector<double> doubles;
    if (plan.type == qzCacheData::kDoubleVectorArray) doubles.resize(scalars);
    int index = 0;
    for (std::int64_t t = plan.start; t <= plan.end; t += plan.step, ++index) {
        if (!readPoints(cache, channel, int(t), plan, floats, doubles)) return false;
        if (!pc2.writeSample(index, floats.data())) return false;
    }
    return true;
}

// Sample i of a PC2 file lies at frame startFrame + i * sampleRate; false when that time
// does not fit in the tick range.
bool sampleTime(int index, float startFrame, float sampleRate, int ticksPerFrame, int& time) {
    const float frame = static_cast<float>(index) * sampleRate + startFrame;
    const float ticks = frame * static_cast<float>(ticksPerFrame);
    if (!std::isfinite(ticks) || ticks <= -2147483904.0f || ticks >= 2147483648.0f) return false;
    time = static_cast<int>(ticks);
    return true;
}

// Samples of `pc2` whose bytes lie in the file: all the header claims unless it was cut short.
std::uint64_t samplesHeld(const char* pc2File, const qzPointCache2IO& pc2) {
    std::uint64_t size = 0;
    const std::uint64_t header = std::uint64_t(qzPointCache2IO::headerSize());
    if (pc2.numPoints() <= 0 || pc2.numSamples() <= 0 || !qzOS::fileSize(pc2File, size) ||
        size < header) {
        return 0;
    }
    const std::uint64_t held = (size - header) / (std::uint64_t(pc2.numPoints()) * 12);
    return std::min<std::uint64_t>(held, std::uint64_t(pc2.numSamples()));
}

// Checks everything that can be checked before a file of the new cache is written. A file cut
// short is converted as far as it goes; one that cannot hold a single sample is refused, so
// that no buffer is ever sized by a header the file does not back.
bool pc2Acceptable(const char* pc2File, const qzPointCache2IO& pc2,
                   qzCacheFileInterface::cacheFileFormat format, int ticksPerFrame) {
    if (format != qzCacheFileInterface::kFormatOneFile &&
        format != qzCacheFileInterface::kFormatOneFilePerFrame)
        return false;
    const std::uint64_t held = samplesHeld(pc2File, pc2);
    if (ticksPerFrame <= 0 || held == 0) return false;
    // Times grow with the sample index, so the first and the last held bound them all.
    int time = 0;
    return sampleTime(0, pc2.startFrame(), pc2.sampleRate(), ticksPerFrame, time) &&
           sampleTime(int(held - 1), pc2.startFrame(), pc2.sampleRate(), ticksPerFrame, time);
}

bool readPc2(qzPointCache2IO& pc2, qzCacheFileInterface& cache, unsigned int channel,
             int ticksPerFrame) {
    const int points = pc2.numPoints();
    const std::size_t scalars = std::size_t(points) * 3;
    std::vector<float> floats(scalars);
    std::vector<double> doubles(scalars);
    for (int i = 0; i < pc2.numSamples(); ++i) {
        int time = 0;
        unsigned int pointCount = static_cast<unsigned int>(points);
        if (!sampleTime(i, pc2.startFrame(), pc2.sampleRate(), ticksPerFrame, time) ||
            !pc2.readSample(i, floats.data(), pointCount)) {
            // Whatever was stored so far keeps its description.
            cache.endFileWrite();
            return false;
        }
        for (std::size_t k = 0; k < scalars; ++k) doubles[k] = floats[k];
        cache.beginWriteAtTime(time);
        cache.addArrayData(channel, time, doubles.data(), static_cast<unsigned int>(points));
        cache.endWriteAtTime();
    }
    return cache.endFileWrite();
}

}  // namespace

bool qzCacheFileInterface::convertToPc2(const char* pc2File, const char* storageLocation,
                                        const char* baseFileName, unsigned int channel,
                                        int step) {
    if (!pc2File || !storageLocation || !baseFileName) return false;
    qzPointCache2IO pc2;
    if (!pc2.open(pc2File, true)) return false;
    qzCacheFileInterface cache;
    const bool written =
        cache.initFileRead(baseFileName, storageLocation) && writePc2(pc2, cache, channel, step);
    pc2.close();
    return written;
}

bool qzCacheFileInterface::readPc2Header(const char* pc2File, Pc2Header& header) {
    header = Pc2Header();
    if (!pc2File) return false;
    qzPointCache2IO pc2;
    const bool read = pc2.open(pc2File, false);
    header.fileVersion = pc2.fileVersion();
    header.numPoints = pc2.numPoints();
    header.startFrame = pc2.startFrame();
    header.sampleRate = pc2.sampleRate();
    header.numSamples = pc2.numSamples();
    if (read) header.samplesInFile = int(samplesHeld(pc2File, pc2));
    return read;
}

bool qzCacheFileInterface::convertFromPc2(const char* pc2File, const char* storageLocation,
                                          const char* baseFileName, cacheFileFormat format,
                                          const char* cacheFormat, int ticksPerFrame) {
    if (!pc2File || !storageLocation || !baseFileName || !cacheFormat) return false;
    qzPointCache2IO pc2;
    if (!pc2.open(pc2File, false)) return false;
    if (!pc2Acceptable(pc2File, pc2, format, ticksPerFrame)) return false;
    qzCacheFileInterface cache;
    if (!cache.initFileWrite(storageLocation, baseFileName, format, cacheFormat, ticksPerFrame))
        return false;
    const qzString::IString name = qzOS::Filename(qzString::IString(pc2File, 0)).baseTrunk();
    unsigned int channel = 0;
    if (!cache.addChannel(name.asUTF8(), "Points", qzCacheData::kDoubleVectorArray, channel) ||
        pc2.fileVersion() != 1)
        return false;
    return readPc2(pc2, cache, channel, ticksPerFrame);
}
