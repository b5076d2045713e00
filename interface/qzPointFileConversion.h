// What the PC2 and MDD converters share: a channel of points read at fixed steps into any
// point file, and a new cache written from any point file's frames, with the same checks and
// the same salvage of a file cut short. Each format supplies a FrameWriter and a FrameReader.
// Internal.
#pragma once

#include <functional>

#include "qzCacheData.h"
#include "qzCacheFileInterface.h"

namespace qzPointFiles {

// A channel of points as an export finds it, before the point file's header is written.
struct ChannelPlan {
    qzCacheData::qzCacheDataType type = qzCacheData::kUnknownData;
    int start = 0;
    int end = 0;
    int step = 0;  // ticks from one frame to the next, above 0
    int frameCount = 0;
    // Elements asked of the cache per frame: points for the vector types, floats for
    // kFloatArray (three per point).
    unsigned int elementCount = 0;
    int pointCount = 0;
    int ticksPerFrame = 0;  // of the cache, above 0
};

// The converters' two sides are sets of functions rather than classes with virtual members:
// mingw's compiler marks the type information of such classes for export from the DLL.
struct FrameWriter {
    // Writes the header; false refuses the plan.
    std::function<bool(const ChannelPlan& plan)> begin;
    // Frame `index` (0, 1, ... in order) at `time` ticks: plan.pointCount x, y, z floats.
    std::function<bool(int index, int time, const float* xyz)> frame;
};

// Reads `channel` of the cache at the plan's times (its stored times when regular; every
// `step` ticks from its first time when irregular, interpolated) and hands each frame to
// `writer`. False when the cache or channel does not qualify or a step fails; what the writer
// wrote before stays.
bool exportChannel(const char* storageLocation, const char* baseFileName, unsigned int channel,
                   int step, FrameWriter& writer);

struct FrameReader {
    std::function<int()> pointCount;
    std::function<int()> frameCount;  // as the header claims
    std::function<int()> framesHeld;  // of those, the ones whose bytes the file holds
    // The times in ticks of frames first .. first + count - 1; false when one is no time
    // (not finite, beyond the tick range) or cannot be read.
    std::function<bool(int first, int count, int ticksPerFrame, int* times)> frameTimes;
    // pointCount() x, y, z floats.
    std::function<bool(int index, float* xyz)> readFrame;
};

// The functions of a writer or reader object `side`, which must outlive them.
template <class Side>
FrameWriter writerOf(Side& side) {
    return {[&side](const ChannelPlan& plan) { return side.begin(plan); },
            [&side](int index, int time, const float* xyz) { return side.frame(index, time, xyz); }};
}
template <class Side>
FrameReader readerOf(Side& side) {
    return {[&side] { return side.pointCount(); },
            [&side] { return side.frameCount(); },
            [&side] { return side.framesHeld(); },
            [&side](int first, int count, int ticksPerFrame, int* times) {
                return side.frameTimes(first, count, ticksPerFrame, times);
            },
            [&side](int index, float* xyz) { return side.readFrame(index, xyz); }};
}

// Writes a new cache with one kDoubleVectorArray channel, named after `pointFile` and
// interpreted as "Points", from the frames `reader` holds. Refused before anything is written
// when the layout is not one of the two, the ticks per frame are not above 0, the file holds
// no whole frame, or the times of the frames it holds do not each lie in the tick range after
// the one before. A file cut short is converted as far as it goes: its frames and their
// description are written, and the result is false.
bool importFrames(FrameReader& reader, const char* pointFile, const char* storageLocation,
                  const char* baseFileName, qzCacheFileInterface::cacheFileFormat format,
                  const char* cacheFormat, int ticksPerFrame);

}  // namespace qzPointFiles
