// Caches written through the flat interface with values known from their time, and the check
// that one time reads back exactly: shared by the tests of failed writes and damaged files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qzCacheData.h"
#include "qzCacheFileInterface.h"

namespace qztest {

using Layout = qzCacheFileInterface::cacheFileFormat;
constexpr Layout kOneFile = qzCacheFileInterface::kFormatOneFile;
constexpr Layout kPerFrame = qzCacheFileInterface::kFormatOneFilePerFrame;

// Channel 0 "pos": kPoints float vectors; channel 1 "w": kWeights doubles.
constexpr unsigned int kPoints = 3;
constexpr unsigned int kWeights = 5;

// Not linear in time, so that a value interpolated between two neighbours never passes for the
// stored one.
inline std::vector<float> pointsAt(int time) {
    const float frame = time / 250.0f;
    std::vector<float> values(kPoints * 3);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = frame * frame + static_cast<float>(i);
    return values;
}

inline std::vector<double> weightsAt(int time) {
    const double frame = time / 250.0;
    std::vector<double> values(kWeights);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = -frame * frame * frame + 1.0 / (i + 3.0);
    return values;
}

inline bool addChannels(qzCacheFileInterface& cache) {
    unsigned int index = 0;
    return cache.addChannel("pos", "position", qzCacheData::kFloatVectorArray, index) &&
           cache.addChannel("w", "weight", qzCacheData::kDoubleArray, index);
}

// Writes one time; true when both arrays were accepted. With a shift the values are those of
// `time + shift`, so that two caches holding one time can be told apart.
inline bool writeTime(qzCacheFileInterface& cache, int time, int shift = 0) {
    std::vector<float> points = pointsAt(time + shift);
    std::vector<double> weights = weightsAt(time + shift);
    cache.beginWriteAtTime(time);
    const bool pointsAdded = cache.addArrayData(0, time, points.data(), kPoints);
    const bool weightsAdded = cache.addArrayData(1, time, weights.data(), kWeights);
    cache.endWriteAtTime();
    return pointsAdded && weightsAdded;
}

// True when a cache written with these helpers holds exactly the values of `time`.
inline bool readsBack(qzCacheFileInterface& cache, int time, int shift = 0) {
    std::vector<float> points(kPoints * 3, -1.0f);
    std::vector<double> weights(kWeights, -1.0);
    void* data = points.data();
    unsigned int length = kPoints;
    if (!cache.getArrayDataAtTime(0, time, data, length) || length != kPoints) return false;
    data = weights.data();
    length = kWeights;
    if (!cache.getArrayDataAtTime(1, time, data, length) || length != kWeights) return false;
    return points == pointsAt(time + shift) && weights == weightsAt(time + shift);
}

}  // namespace qztest
