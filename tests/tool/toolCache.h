// The cache the tool's tests read: frames 1..5 at 250 ticks per frame, with exactly
// representable values, so that text output and packed frames can be compared literally.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qzCacheFileInterface.h"

namespace qztooltest {

constexpr unsigned int kPoints = 4;
constexpr int kFrames = 5;

// Exactly representable values, so that text output can be compared literally.
inline float pointValue(int frame, unsigned int k, int axis) {
    const float values[3] = {static_cast<float>(k), static_cast<float>(frame), 0.25f * k * frame};
    return values[axis];
}

// A cache of frames 1..5 (250 ticks each) with channels pts (kFloatVectorArray), vals
// (kFloatArray) and ids (kInt32Array), four elements each.
inline void writeKnownCache(const std::string& location, const std::string& name,
                     qzCacheFileInterface::cacheFileFormat layout, const char* format) {
    qzCacheFileInterface writer;
    ASSERT_TRUE(writer.initFileWrite(location.c_str(), name.c_str(), layout, format, 250));
    unsigned int pts = 0;
    unsigned int vals = 0;
    unsigned int ids = 0;
    ASSERT_TRUE(writer.addChannel("pts", "position", qzCacheData::kFloatVectorArray, pts));
    ASSERT_TRUE(writer.addChannel("vals", "weight", qzCacheData::kFloatArray, vals));
    ASSERT_TRUE(writer.addChannel("ids", "id", qzCacheData::kInt32Array, ids));
    for (int frame = 1; frame <= kFrames; ++frame) {
        std::vector<float> xyz;
        std::vector<float> weights;
        std::vector<int> numbers;
        for (unsigned int k = 0; k < kPoints; ++k) {
            for (int axis = 0; axis < 3; ++axis) xyz.push_back(pointValue(frame, k, axis));
            weights.push_back(frame * 10.0f + k * 0.5f);
            numbers.push_back(frame * 100 + static_cast<int>(k));
        }
        const int time = frame * 250;
        writer.beginWriteAtTime(time);
        ASSERT_TRUE(writer.addArrayData(pts, time, xyz.data(), kPoints));
        ASSERT_TRUE(writer.addArrayData(vals, time, weights.data(), kPoints));
        ASSERT_TRUE(writer.addArrayData(ids, time, numbers.data(), kPoints));
        writer.endWriteAtTime();
    }
    ASSERT_TRUE(writer.endFileWrite());
}

}  // namespace qztooltest
