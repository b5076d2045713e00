// Interpolation between stored samples: clamping to the first and last sample, steps, linear
// blends and Catmull-Rom splines.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"

namespace {

// Truncation toward zero; values beyond the int32 range (a spline overshooting) saturate.
int truncateToInt32(double value) {
    if (value != value) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(value);
}

// Position of t between p and n, 0 at p and 1 at n; p < t < n, so nothing divides by zero.
double weightBetween(int t, int p, int n) {
    const std::int64_t done = static_cast<std::int64_t>(t) - p;
    const std::int64_t span = static_cast<std::int64_t>(n) - p;
    return static_cast<double>(done) / static_cast<double>(span);
}

template <typename Real>
void blendReal(void* out, const void* a, const void* b, std::size_t scalars, double w) {
    const double v = 1.0 - w;
    auto* result = static_cast<Real*>(out);
    const auto* first = static_cast<const Real*>(a);
    const auto* second = static_cast<const Real*>(b);
    for (std::size_t i = 0; i < scalars; ++i) {
        const double x = static_cast<double>(first[i]);
        const double y = static_cast<double>(second[i]);
        result[i] = static_cast<Real>(w * y + v * x);
    }
}

void blendInt(void* out, const void* a, const void* b, std::size_t scalars, double w) {
    const double v = 1.0 - w;
    auto* result = static_cast<int*>(out);
    const auto* first = static_cast<const int*>(a);
    const auto* second = static_cast<const int*>(b);
    for (std::size_t i = 0; i < scalars; ++i) {
        result[i] = truncateToInt32(w * static_cast<double>(second[i]) +
                                    v * static_cast<double>(first[i]));
    }
}

// Bytes of a sample of `count` elements of the channel's type; 0 for a type without arrays.
std::size_t sampleBytes(const qzCacheChannel& channel, unsigned int count) {
    return static_cast<std::size_t>(count) * qzCacheData::elementSize(channel.dataType());
}

}  // namespace

bool qzCacheFileAccessor::getInterpolatedArrayDataAtTime(unsigned int channel, int time,
                                                         unsigned int count, void*& data,
                                                         unsigned int& length) {
    if (channel >= m_channels.size()) return false;
    return interpolateAs(channel, time, m_channels[channel]->interpolation(), count, data,
                         length);
}

bool qzCacheFileAccessor::interpolateAs(unsigned int channel, int time,
                                        qzCacheChannel::qzCacheInterpolation method,
                                        unsigned int count, void*& data, unsigned int& length) {
    if (channel >= m_channels.size()) return false;
    const qzCacheChannel& source = *m_channels[channel];
    if (method == qzCacheChannel::kNoInterpolation) return false;
    scanForData(channel);
    if (source.isEmpty()) return false;
    if (time <= source.startTime()) {
        return getStoredArrayDataAtTime(channel, source.startTime(), count, data, length);
    }
    if (time >= source.endTime()) {
        return getStoredArrayDataAtTime(channel, source.endTime(), count, data, length);
    }
    int previous = 0;
    int next = 0;
    // A range moved by the setters off the recorded times can leave no neighbour: no answer.
    if (!source.previousTime(time, previous) || !source.nextTime(time, next)) return false;
    switch (method) {
    case qzCacheChannel::kStepPrevious:
        return getStoredArrayDataAtTime(channel, previous, count, data, length);
    case qzCacheChannel::kStepNext:
        return getStoredArrayDataAtTime(channel, next, count, data, length);
    case qzCacheChannel::kLinear:
        return getLinearInterpolatedDataAtTime(channel, time, previous, next, count, data, length);
    case qzCacheChannel::kCatmullRom:
        return getSplineInterpolatedDataAtTime(channel, time, previous, next, count, data, length);
    default: return false;
    }
}

bool qzCacheFileAccessor::interpolationFallback(unsigned int channel, int time,
                                                qzCacheChannel::qzCacheInterpolation method,
                                                unsigned int count, void*& data,
                                                unsigned int& length) {
    qzCacheChannel& target = *m_channels[channel];
    if (target.samplingType() != qzCacheChannel::kRegular) return false;
    // The grid promised a sample the files do not hold: learn the real times and try again.
    {
        // The preloading worker reads the sampling records under this lock.
        std::lock_guard<std::recursive_mutex> records(m_private->readerMutex);
        target.setSamplingType(qzCacheChannel::kIrregular);
    }
    return interpolateAs(channel, time, method, count, data, length);
}

namespace {

// The outcome of reading both inner neighbours: usable, absent (fall back) or unusable.
enum class Pair { kUsable, kAbsent, kOtherCount };

}  // namespace

bool qzCacheFileAccessor::getLinearInterpolatedDataAtTime(unsigned int channel, int time,
                                                          int previousTime, int nextTime,
                                                          unsigned int count, void*& data,
                                                          unsigned int& length) {
    if (count == 0 || !data || channel >= m_channels.size()) return false;
    const std::size_t bytes = sampleBytes(*m_channels[channel], count);
    if (bytes == 0) return false;
    qzScratchBlock first(*m_private, bytes);
    qzScratchBlock second(*m_private, bytes);
    if (!first || !second) return false;
    void* a = first.get();
    void* b = second.get();
    unsigned int lengthA = 0;
    unsigned int lengthB = 0;
    const StoredRead readA = readStoredArray(channel, previousTime, count, a, lengthA);
    const StoredRead readB = readStoredArray(channel, nextTime, count, b, lengthB);
    // Found in memory, a neighbour is lent as stored: fewer elements than asked cannot serve.
    const bool shortA = readA == StoredRead::kFound && lengthA < count;
    const bool shortB = readB == StoredRead::kFound && lengthB < count;
    if (readA == StoredRead::kOtherCount || shortA || readB == StoredRead::kOtherCount || shortB) {
        length = (readA == StoredRead::kOtherCount || shortA) ? lengthA : lengthB;
        return false;
    }
    if (readA != StoredRead::kFound || readB != StoredRead::kFound) {
        first.reset();
        second.reset();
        return interpolationFallback(channel, time, qzCacheChannel::kLinear, count, data, length);
    }
    const double w = weightBetween(time, previousTime, nextTime);
    const qzCacheData::qzCacheDataType type = m_channels[channel]->dataType();
    const std::size_t scalars =
        static_cast<std::size_t>(count) * qzCacheData::scalarsPerElement(type);
    switch (type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray: blendReal<double>(data, a, b, scalars, w); break;
    case qzCacheData::kFloatArray:
    case qzCacheData::kFloatVectorArray: blendReal<float>(data, a, b, scalars, w); break;
    case qzCacheData::kInt32Array: blendInt(data, a, b, scalars, w); break;
    default: break;
    }
    length = count;
    return true;
}

bool qzCacheFileAccessor::getSplineInterpolatedDataAtTime(unsigned int channel, int time,
                                                          int previousTime, int nextTime,
                                                          unsigned int count, void*& data,
                                                          unsigned int& length) {
    if (count == 0 || !data || channel >= m_channels.size()) return false;
    const std::size_t bytes = sampleBytes(*m_channels[channel], count);
    if (bytes == 0) return false;
    qzScratchBlock blocks[4] = {qzScratchBlock(*m_private, bytes), qzScratchBlock(*m_private, bytes),
                                qzScratchBlock(*m_private, bytes), qzScratchBlock(*m_private, bytes)};
    for (const qzScratchBlock& block : blocks) {
        if (!block) return false;
    }
    void* points[4] = {blocks[0].get(), blocks[1].get(), blocks[2].get(), blocks[3].get()};
    unsigned int lengths[4] = {0, 0, 0, 0};
    const StoredRead read1 = readStoredArray(channel, previousTime, count, points[1], lengths[1]);
    const StoredRead read2 = readStoredArray(channel, nextTime, count, points[2], lengths[2]);
    const bool short1 = read1 == StoredRead::kFound && lengths[1] < count;
    const bool short2 = read2 == StoredRead::kFound && lengths[2] < count;
    if (read1 == StoredRead::kOtherCount || short1 || read2 == StoredRead::kOtherCount || short2) {
        length = (read1 == StoredRead::kOtherCount || short1) ? lengths[1] : lengths[2];
        return false;
    }
    if (read1 != StoredRead::kFound || read2 != StoredRead::kFound) {
        for (qzScratchBlock& block : blocks) block.reset();
        return interpolationFallback(channel, time, qzCacheChannel::kCatmullRom, count, data, length);
    }
    // Outer neighbours are optional: at either end of the record the inner one stands in.
    const qzCacheChannel& source = *m_channels[channel];
    int outer = 0;
    if (!source.previousTime(previousTime, outer) ||
        readStoredArray(channel, outer, count, points[0], lengths[0]) != StoredRead::kFound ||
        lengths[0] < count) {
        points[0] = points[1];
    }
    if (!source.nextTime(nextTime, outer) ||
        readStoredArray(channel, outer, count, points[3], lengths[3]) != StoredRead::kFound ||
        lengths[3] < count) {
        points[3] = points[2];
    }

    const double w = weightBetween(time, previousTime, nextTime);
    const float wf = static_cast<float>(w);
    const qzCacheData::qzCacheDataType type = source.dataType();
    const std::size_t scalars =
        static_cast<std::size_t>(count) * qzCacheData::scalarsPerElement(type);
    switch (type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray: {
        const double* p[4];
        for (int k = 0; k < 4; ++k) p[k] = static_cast<const double*>(points[k]);
        auto* out = static_cast<double*>(data);
        for (std::size_t i = 0; i < scalars; ++i) {
            out[i] = catmullRom(p[0][i], p[1][i], p[2][i], p[3][i], w);
        }
        break;
    }
    case qzCacheData::kFloatArray:
    case qzCacheData::kFloatVectorArray: {
        const float* p[4];
        for (int k = 0; k < 4; ++k) p[k] = static_cast<const float*>(points[k]);
        auto* out = static_cast<float*>(data);
        for (std::size_t i = 0; i < scalars; ++i) {
            out[i] = catmullRom(p[0][i], p[1][i], p[2][i], p[3][i], wf);
        }
        break;
    }
    case qzCacheData::kInt32Array: {
        const int* p[4];
        for (int k = 0; k < 4; ++k) p[k] = static_cast<const int*>(points[k]);
        auto* out = static_cast<int*>(data);
        for (std::size_t i = 0; i < scalars; ++i) {
            const float value[4] = {static_cast<float>(p[0][i]), static_cast<float>(p[1][i]),
                                    static_cast<float>(p[2][i]), static_cast<float>(p[3][i])};
            out[i] = truncateToInt32(catmullRom(value[0], value[1], value[2], value[3], wf));
        }
        break;
    }
    default: break;
    }
    length = count;
    return true;
}

float qzCacheFileAccessor::catmullRom(const float& p0, const float& p1, const float& p2,
                                      const float& p3, const float& t) {
    const float c3 = ((3.0f * p1 - p0) - 3.0f * p2) + p3;
    const float c2 = ((2.0f * p0 - 5.0f * p1) + 4.0f * p2) - p3;
    const float c1 = p2 - p0;
    const float t2 = t * t;
    const float t3 = t2 * t;
    return 0.5f * (((c3 * t3 + c2 * t2) + c1 * t) + 2.0f * p1);
}

double qzCacheFileAccessor::catmullRom(const double& p0, const double& p1, const double& p2,
                                       const double& p3, const double& t) {
    const double c3 = ((3.0 * p1 - p0) - 3.0 * p2) + p3;
    const double c2 = ((2.0 * p0 - 5.0 * p1) + 4.0 * p2) - p3;
    const double c1 = p2 - p0;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return 0.5 * (((c3 * t3 + c2 * t2) + c1 * t) + 2.0 * p1);
}
