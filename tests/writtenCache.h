// Caches written through the flat interface with values known from their time, and the check
// that one time reads back exactly: shared by the tests of failed writes and damaged files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qzCacheData.h"
#include "qzCacheFileInterface.h"
#include "testCache.h"

namespace qztest {


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

// Channel 2 "big" (with `big`): kBigValues floats, more than the container buffers, so that a
// time being written reaches the file in parts.
constexpr unsigned int kBigValues = 20000;

inline std::vector<float> bigAt(int time) {
    std::vector<float> values(kBigValues);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(time) * 0.5f - static_cast<float>(i);
    return values;
}

inline bool addChannels(qzCacheFileInterface& cache, bool big = false) {
    unsigned int index = 0;
    return cache.addChannel("pos", "position", qzCacheData::kFloatVectorArray, index) &&
           cache.addChannel("w", "weight", qzCacheData::kDoubleArray, index) &&
           (!big || cache.addChannel("big", "", qzCacheData::kFloatArray, index));
}

// Writes one time; true when every array was accepted. With a shift the values are those of
// `time + shift`, so that two caches holding one time can be told apart.
inline bool writeTime(qzCacheFileInterface& cache, int time, int shift = 0, bool big = false) {
    std::vector<float> points = pointsAt(time + shift);
    std::vector<double> weights = weightsAt(time + shift);
    std::vector<float> large = big ? bigAt(time) : std::vector<float>();
    cache.beginWriteAtTime(time);
    const bool pointsAdded = cache.addArrayData(0, time, points.data(), kPoints);
    const bool weightsAdded = cache.addArrayData(1, time, weights.data(), kWeights);
    const bool bigAdded = !big || cache.addArrayData(2, time, large.data(), kBigValues);
    cache.endWriteAtTime();
    return pointsAdded && weightsAdded && bigAdded;
}

// True when a cache written with these helpers holds exactly the values of `time`.
inline bool readsBack(qzCacheFileInterface& cache, int time, int shift = 0, bool big = false) {
    std::vector<float> points(kPoints * 3, -1.0f);
    std::vector<double> weights(kWeights, -1.0);
    std::vector<float> large(big ? kBigValues : 0, -1.0f);
    void* data = points.data();
    unsigned int length = kPoints;
    if (!cache.getArrayDataAtTime(0, time, data, length) || length != kPoints) return false;
    data = weights.data();
    length = kWeights;
    if (!cache.getArrayDataAtTime(1, time, data, length) || length != kWeights) return false;
    data = large.data();
    length = kBigValues;
    if (big && (!cache.getArrayDataAtTime(2, time, data, length) || length != kBigValues ||
                large != bigAt(time))) {
        return false;
    }
    return points == pointsAt(time + shift) && weights == weightsAt(time + shift);
}

}  // namespace qztest
