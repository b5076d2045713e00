// Conversion between one channel of points of a cache and a point cache file, whatever its
// format.
#include "qzPointFileConversion.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qzCacheFileAccessor.h"
#include "qzFileSystem.h"
#include "qzOS.h"
#include "qzString.h"

namespace qzPointFiles {

namespace {

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
                 ChannelPlan& plan) {
    if (channel >= cache.numChannels() || !cache.channelDataType(channel, plan.type)) return false;
    if (plan.type != qzCacheData::kDoubleVectorArray && plan.type != qzCacheData::kFloatArray &&
        plan.type != qzCacheData::kFloatVectorArray)
        return false;
    plan.ticksPerFrame = cache.getTicksPerFrame();
    if (plan.ticksPerFrame <= 0) return false;
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
    std::int64_t frames = 0;
    if (regular) {
        const std::uint64_t count = cache.getDataCount(channel);
        frames = count > std::uint64_t(INT_MAX) ? -1 : std::int64_t(count);
    } else if (plan.start <= plan.end) {
        frames = (std::int64_t(plan.end) - plan.start) / plan.step + 1;
    }
    if (frames < 1 || frames > INT_MAX) return false;
    plan.frameCount = int(frames);

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

// Reads one frame at `time` into `floats` (pointCount * 3 values), through `doubles` for
// kDoubleVectorArray.
bool readPoints(qzCacheFileInterface& cache, unsigned int channel, int time,
                const ChannelPlan& plan, std::vector<float>& floats, std::vector<double>& doubles) {
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

constexpr int kTimeBlock = 1024;

// Every frame held has a time, each after the one before: the cache holds one sample per
// time, and a frame placed before its predecessor would be played out of order.
bool timesIncrease(FrameReader& reader, int ticksPerFrame) {
    int times[kTimeBlock];
    std::int64_t previous = std::int64_t(INT_MIN) - 1;
    const int held = reader.framesHeld();
    for (int first = 0; first < held; first += kTimeBlock) {
        const int count = std::min(kTimeBlock, held - first);
        if (!reader.frameTimes(first, count, ticksPerFrame, times)) return false;
        for (int k = 0; k < count; ++k) {
            if (times[k] <= previous) return false;
            previous = times[k];
        }
    }
    return true;
}

bool acceptable(FrameReader& reader, qzCacheFileInterface::cacheFileFormat format,
                int ticksPerFrame) {
    if (format != qzCacheFileInterface::kFormatOneFile &&
        format != qzCacheFileInterface::kFormatOneFilePerFrame)
        return false;
    // One that cannot hold a single frame is refused, so that no buffer is ever sized by a
    // header the file does not back.
    return ticksPerFrame > 0 && reader.pointCount() > 0 && reader.framesHeld() > 0 &&
           timesIncrease(reader, ticksPerFrame);
}

}  // namespace

bool exportChannel(const char* storageLocation, const char* baseFileName, unsigned int channel,
                   int step, FrameWriter& writer) {
    qzCacheFileInterface cache;
    ChannelPlan plan;
    if (!cache.initFileRead(baseFileName, storageLocation) ||
        !planChannel(cache, channel, step, plan) || !writer.begin(plan))
        return false;
    const std::size_t scalars = std::size_t(plan.pointCount) * 3;
    std::vector<float> floats(scalars);
    std::vector<double> doubles;
    if (plan.type == qzCacheData::kDoubleVectorArray) doubles.resize(scalars);
    int index = 0;
    for (std::int64_t t = plan.start; t <= plan.end; t += plan.step, ++index) {
        if (!readPoints(cache, channel, int(t), plan, floats, doubles) ||
            !writer.frame(index, int(t), floats.data()))
            return false;
    }
    return true;
}

bool importFrames(FrameReader& reader, const char* pointFile, const char* storageLocation,
                  const char* baseFileName, qzCacheFileInterface::cacheFileFormat format,
                  const char* cacheFormat, int ticksPerFrame) {
    if (!acceptable(reader, format, ticksPerFrame)) return false;
    qzCacheFileInterface cache;
    if (!cache.initFileWrite(storageLocation, baseFileName, format, cacheFormat, ticksPerFrame))
        return false;
    const qzString::IString name = qzOS::Filename(qzString::IString(pointFile, 0)).baseTrunk();
    unsigned int channel = 0;
    if (!cache.addChannel(name.asUTF8(), "Points", qzCacheData::kDoubleVectorArray, channel))
        return false;
    const int points = reader.pointCount();
    const std::size_t scalars = std::size_t(points) * 3;
    std::vector<float> floats(scalars);
    std::vector<double> doubles(scalars);
    for (int i = 0; i < reader.frameCount(); ++i) {
        int time = 0;
        if (i >= reader.framesHeld() || !reader.frameTimes(i, 1, ticksPerFrame, &time) ||
            !reader.readFrame(i, floats.data())) {
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

}  // namespace qzPointFiles
