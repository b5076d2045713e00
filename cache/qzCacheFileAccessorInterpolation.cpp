// Interpolation between stored samples: clamping to the first and last sample, steps, linear
// blends and Catmull-Rom splines.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

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

// The uniform Catmull-Rom segment from p1 (t = 0) to p2 (t = 1), in the precision of Real.
// Here rather than only in the members, so that the spline loops have it inline (a call per
// scalar was half the time of a spline request).
template <typename Real>
inline Real catmullRomSegment(Real p0, Real p1, Real p2, Real p3, Real t) {
    const Real c3 = ((Real(3) * p1 - p0) - Real(3) * p2) + p3;
    const Real c2 = ((Real(2) * p0 - Real(5) * p1) + Real(4) * p2) - p3;
    const Real c1 = p2 - p0;
    const Real t2 = t * t;
    const Real t3 = t2 * t;
    return Real(0.5) * (((c3 * t3 + c2 * t2) + c1 * t) + Real(2) * p1);
}

// Each output scalar from the scalars at the same place in the four points.
template <typename Scalar, typename Curve>
void splineEach(void* out, void* const points[4], std::size_t scalars, Curve curve) {
    const Scalar* p[4];
    for (int k = 0; k < 4; ++k) p[k] = static_cast<const Scalar*>(points[k]);
    auto* result = static_cast<Scalar*>(out);
    for (std::size_t i = 0; i < scalars; ++i) result[i] = curve(p[0][i], p[1][i], p[2][i], p[3][i]);
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
        qzThread::MutexOp records(m_private->readerMutex, true);
        target.setSamplingType(qzCacheChannel::kIrregular);
    }
    return interpolateAs(channel, time, method, count, data, length);
}

// Neighbour samples of an interpolated request in blocks the accessor keeps (or lent from
// memory): points 1 and 2 are the inner neighbours, the stored times before and after the
// request; 0 and 3 the outer ones a spline also uses.
struct qzCacheFileAccessor::Neighbours {
    // Blocks of `bytes` for the inner points and, with `outer`, for the outer ones too.
    Neighbours(qzCacheFileAccessorPrivate& state, std::size_t bytes, bool outer) {
        for (int k = outer ? 0 : 1; k <= (outer ? 3 : 2); ++k) {
            blocks[k].emplace(state, bytes);
            point[k] = blocks[k]->get();
        }
    }

    bool allocated() const {
        for (const std::optional<qzScratchBlock>& block : blocks) {
            if (block && !*block) return false;
        }
        return true;
    }

    // The sample at `time` as point k. Lent from memory, a sample is as long as it was
    // stored: fewer elements than asked cannot serve, and count as another count.
    StoredRead read(qzCacheFileAccessor& accessor, unsigned int channel, int k, int time,
                    unsigned int count) {
        const StoredRead result =
            accessor.readStoredArray(channel, time, count, point[k], length[k]);
        return result == StoredRead::kFound && length[k] < count ? StoredRead::kOtherCount
                                                                 : result;
    }

    // Reads the inner points. True when both are usable. Otherwise the request is answered
    // here and `answer` is its result: false for a neighbour of another count (`length` then
    // tells that count) and for a damaged one, the fallback's result for a missing one.
    bool readInner(qzCacheFileAccessor& accessor, unsigned int channel, int time, int previousTime,
                   int nextTime, qzCacheChannel::qzCacheInterpolation method, unsigned int count,
                   void*& data, unsigned int& requestLength, bool& answer) {
        answer = false;
        if (!allocated()) return false;
        const StoredRead before = read(accessor, channel, 1, previousTime, count);
        const StoredRead after = read(accessor, channel, 2, nextTime, count);
        if (before == StoredRead::kDamaged || after == StoredRead::kDamaged) {
            requestLength = 0;
            return false;
        }
        if (before == StoredRead::kOtherCount || after == StoredRead::kOtherCount) {
            requestLength = before == StoredRead::kOtherCount ? length[1] : length[2];
            return false;
        }
        if (before != StoredRead::kFound || after != StoredRead::kFound) {
            // The second pass takes blocks of its own.
            for (std::optional<qzScratchBlock>& block : blocks) block.reset();
            answer = accessor.interpolationFallback(channel, time, method, count, data,
                                                    requestLength);
            return false;
        }
        return true;
    }

    std::optional<qzScratchBlock> blocks[4];
    void* point[4] = {nullptr, nullptr, nullptr, nullptr};
    unsigned int length[4] = {0, 0, 0, 0};
};

bool qzCacheFileAccessor::getLinearInterpolatedDataAtTime(unsigned int channel, int time,
                                                          int previousTime, int nextTime,
                                                          unsigned int count, void*& data,
                                                          unsigned int& length) {
    if (count == 0 || !data || channel >= m_channels.size()) return false;
    const std::size_t bytes = sampleBytes(*m_channels[channel], count);
    if (bytes == 0) return false;
    Neighbours points(*m_private, bytes, false);
    bool answer = false;
    if (!points.readInner(*this, channel, time, previousTime, nextTime, qzCacheChannel::kLinear, count,
                          data, length, answer)) {
        return answer;
    }
    const double w = weightBetween(time, previousTime, nextTime);
    const qzCacheData::qzCacheDataType type = m_channels[channel]->dataType();
    const std::size_t scalars =
        static_cast<std::size_t>(count) * qzCacheData::scalarsPerElement(type);
    const void* a = points.point[1];
    const void* b = points.point[2];
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
    const qzCacheChannel& source = *m_channels[channel];
    const std::size_t bytes = sampleBytes(source, count);
    if (bytes == 0) return false;
    Neighbours points(*m_private, bytes, true);
    bool answer = false;
    if (!points.readInner(*this, channel, time, previousTime, nextTime, qzCacheChannel::kCatmullRom, count,
                          data, length, answer)) {
        return answer;
    }
    // Outer neighbours are optional: at either end of the record the inner one stands in. A
    // damaged one fails the request as an inner one does.
    for (const int k : {0, 3}) {
        int outer = 0;
        const bool exists = k == 0 ? source.previousTime(previousTime, outer)
                                   : source.nextTime(nextTime, outer);
        const StoredRead result = exists ? points.read(*this, channel, k, outer, count)
                                         : StoredRead::kAbsent;
        if (result == StoredRead::kDamaged) {
            length = 0;
            return false;
        }
        if (result != StoredRead::kFound) points.point[k] = points.point[k == 0 ? 1 : 2];
    }

    const double w = weightBetween(time, previousTime, nextTime);
    const float wf = static_cast<float>(w);
    const qzCacheData::qzCacheDataType type = source.dataType();
    const std::size_t scalars =
        static_cast<std::size_t>(count) * qzCacheData::scalarsPerElement(type);
    switch (type) {
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray:
        splineEach<double>(data, points.point, scalars,
                           [w](double a, double b, double c, double d) {
                               return catmullRomSegment(a, b, c, d, w);
                           });
        break;
    case qzCacheData::kFloatArray:
    case qzCacheData::kFloatVectorArray:
        splineEach<float>(data, points.point, scalars, [wf](float a, float b, float c, float d) {
            return catmullRomSegment(a, b, c, d, wf);
        });
        break;
    case qzCacheData::kInt32Array:
        // The four values as floats, the result truncated toward zero.
        splineEach<int>(data, points.point, scalars, [wf](int a, int b, int c, int d) {
            return truncateToInt32(catmullRomSegment<float>(a, b, c, d, wf));
        });
        break;
    default: break;
    }
    length = count;
    return true;
}

float qzCacheFileAccessor::catmullRom(const float& p0, const float& p1, const float& p2,
                                      const float& p3, const float& t) {
    return catmullRomSegment(p0, p1, p2, p3, t);
}

double qzCacheFileAccessor::catmullRom(const double& p0, const double& p1, const double& p2,
                                       const double& p3, const double& t) {
    return catmullRomSegment(p0, p1, p2, p3, t);
}
