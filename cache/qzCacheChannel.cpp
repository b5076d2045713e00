#include "qzCacheChannel.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

using Int64 = std::int64_t;

bool fitsInt(Int64 value) {
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

// Inserts at the ascending position unless present; may throw std::bad_alloc, and then leaves
// the list as it was.
void insertSorted(std::vector<int>& times, int time) {
    auto at = std::lower_bound(times.begin(), times.end(), time);
    if (at == times.end() || *at != time) times.insert(at, time);
}

// A new sample, or null when it cannot be allocated. (Through the throwing operator new, the
// one a program that replaces the allocation functions is sure to have replaced.)
template <typename Sample, typename... Arguments>
qzCacheData* newSample(Arguments... arguments) {
    try {
        return new Sample(arguments...);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Makes room for one more element, so that the insertion after it allocates nothing.
template <typename T>
bool roomForOneMore(std::vector<T>& list) {
    if (list.size() < list.capacity()) return true;
    try {
        list.reserve(list.empty() ? 4 : list.size() * 2);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

qzCacheChannel::qzCacheChannel(const qzString::IString& name,
                               const qzString::IString& interpretation,
                               qzCacheData::qzCacheDataType dataType)
    : m_name(name),
      m_interpretation(interpretation),
      m_ownsArrayData(false),
      m_dataType(dataType),
      m_interpolation(defaultInterpolation(dataType)),
      m_samplingType(kRegular),
      m_samplingRate(0),
      m_startTime(0),
      m_endTime(-1),
      m_mutex(true) {}

qzCacheChannel::~qzCacheChannel() { clearData(); }

qzCacheChannel::qzCacheInterpolation qzCacheChannel::defaultInterpolation(
    qzCacheData::qzCacheDataType type) {
    switch (type) {
    case qzCacheData::kDouble:
    case qzCacheData::kDoubleArray:
    case qzCacheData::kDoubleVectorArray:
    case qzCacheData::kFloatArray:
    case qzCacheData::kFloatVectorArray: return kLinear;
    default: return kStepPrevious;
    }
}

bool qzCacheChannel::ownsArrayData() const {
    qzThread::MutexOp lock(m_mutex, true);
    return m_ownsArrayData;
}

void qzCacheChannel::setSamplingType(qzCacheSamplingType type) {
    m_samplingType = type;
    if (type == kRegular) m_times.clear();
}

void qzCacheChannel::copyTimes(const qzCacheChannel& source) {
    if (m_samplingType == kIrregular && source.m_samplingType == kIrregular) {
        m_times = source.m_times;
    }
}

bool qzCacheChannel::addTime(int time) {
    if (m_samplingType == kIrregular) return addIrregularTime(time);
    const Int64 t = time;
    const Int64 start = m_startTime;
    const Int64 end = m_endTime;
    const Int64 rate = m_samplingRate;
    if (end < start) {
        m_startTime = m_endTime = time;
        m_samplingRate = 0;
        return true;
    }
    if (end == start) {
        if (t > start && fitsInt(t - start)) {
            m_endTime = time;
            m_samplingRate = static_cast<int>(t - start);
            return true;
        }
        if (t < start && fitsInt(end - t)) {
            m_startTime = time;
            m_samplingRate = static_cast<int>(end - t);
            return true;
        }
        if (t == start) return true;
    } else if (rate > 0) {
        if (t < start && start - t == rate) {
            m_startTime = time;
            return true;
        }
        if (t > end && t - end == rate) {
            m_endTime = time;
            return true;
        }
        if (t >= start && t <= end && (t - start) % rate == 0) return true;
    }
    // Off the grid: the record becomes an explicit list holding the old grid and the new time,
    // unless the grid is too large to spell out (only a hostile description makes one). The
    // list is built aside, so that a failed allocation leaves the record as it was.
    const std::uint64_t listed = gridSize();
    if (listed > kMaxListedTimes) return false;
    std::vector<int> times;
    try {
        if (end == start || rate <= 0) {
            times.push_back(m_startTime);
            if (end != start) times.push_back(m_endTime);
        } else {
            times.reserve(static_cast<std::size_t>(listed + 1));
            // An end off the rate (set through the setters) is no time of the grid.
            for (Int64 u = start; u <= end; u += rate) times.push_back(static_cast<int>(u));
        }
        insertSorted(times, time);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_samplingType = kIrregular;
    m_times.swap(times);
    m_startTime = m_times.front();
    m_endTime = m_times.back();
    return true;
}

bool qzCacheChannel::canAddTime(int time) const {
    if (m_samplingType == kIrregular || gridFitsList()) return true;
    return hasTime(time) || static_cast<Int64>(time) + m_samplingRate == m_startTime ||
           static_cast<Int64>(time) - m_samplingRate == m_endTime;
}

// gridSize() <= kMaxListedTimes without the division: asked for every sample written.
bool qzCacheChannel::gridFitsList() const {
    if (m_samplingType != kRegular || m_endTime <= m_startTime || m_samplingRate <= 0) return true;
    const Int64 span = static_cast<Int64>(m_endTime) - m_startTime;
    return span < static_cast<Int64>(kMaxListedTimes) * m_samplingRate;
}

std::uint64_t qzCacheChannel::gridSize() const {
    if (m_samplingType != kRegular || m_endTime <= m_startTime || m_samplingRate <= 0) return 0;
    const Int64 span = static_cast<Int64>(m_endTime) - m_startTime;
    return static_cast<std::uint64_t>(span / m_samplingRate + 1);
}

bool qzCacheChannel::addIrregularTime(int time) {
    const bool first = m_times.empty();
    try {
        insertSorted(m_times, time);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (first) {
        m_startTime = m_endTime = time;
    } else {
        if (time < m_startTime) m_startTime = time;
        if (time > m_endTime) m_endTime = time;
    }
    return true;
}

bool qzCacheChannel::storeData(double value, int time) {
    qzThread::MutexOp lock(m_mutex, true);
    if (!storeSample(newSample<qzNumericCacheData>(time, value), nullptr, true)) {
        return false;
    }
    m_ownsArrayData = false;
    return true;
}

bool qzCacheChannel::storeSample(qzCacheData* sample, void* ownBuffer, bool addToTimes) {
    if (!sample || !roomForOneMore(m_data) || (addToTimes && !addTime(sample->time()))) {
        delete sample;
        std::free(ownBuffer);
        return false;
    }
    insertData(sample);
    return true;
}

bool qzCacheChannel::storeArrayData(void* data, unsigned int length, bool copy, int time,
                                    bool addToTimes) {
    qzThread::MutexOp lock(m_mutex, true);
    void* buffer = data;
    if (copy) {
        const std::size_t elementSize = qzCacheData::elementSize(m_dataType);
        // No element size: nothing can be copied, and the caller's pointer must not be kept.
        if (elementSize == 0) return false;
        const std::size_t bytes = static_cast<std::size_t>(length) * elementSize;
        if (bytes > 0 && !data) return false;
        buffer = std::malloc(bytes > 0 ? bytes : 1);
        if (!buffer) return false;
        if (bytes > 0) std::memcpy(buffer, data, bytes);
    }
    if (!storeSample(newSample<qzPtrCacheData>(time, buffer, length, copy), copy ? buffer : nullptr,
                     addToTimes)) {
        return false;
    }
    m_ownsArrayData = copy;
    return true;
}

void qzCacheChannel::releaseSample(qzCacheData* sample) const {
    // Only buffers the channel allocated are released; a lent pointer stays with its owner.
    auto* array = dynamic_cast<qzPtrCacheData*>(sample);
    if (array && array->channelOwnsBuffer()) std::free(array->arrayData());
    delete sample;
}

void qzCacheChannel::insertData(qzCacheData* sample) {
    auto at = std::lower_bound(m_data.begin(), m_data.end(), sample->time(),
                               [](const qzCacheData* d, int t) { return d->time() < t; });
    if (at != m_data.end() && (*at)->time() == sample->time()) {
        releaseSample(*at);
        *at = sample;
    } else {
        m_data.insert(at, sample);
    }
}

bool qzCacheChannel::findData(int time, unsigned int& position, bool lock) const {
    qzThread::MutexOp guard(m_mutex, lock);
    auto at = std::lower_bound(m_data.begin(), m_data.end(), time,
                               [](const qzCacheData* d, int t) { return d->time() < t; });
    if (at == m_data.end() || (*at)->time() != time) return false;
    position = static_cast<unsigned int>(at - m_data.begin());
    return true;
}

bool qzCacheChannel::getData(int time, double& value) const {
    qzThread::MutexOp lock(m_mutex, true);
    unsigned int position = 0;
    if (!findData(time, position, false)) return false;
    value = m_data[position]->doubleValue();
    return true;
}

bool qzCacheChannel::getArrayData(int time, void*& data, unsigned int& length) const {
    qzThread::MutexOp lock(m_mutex, true);
    unsigned int position = 0;
    if (!findData(time, position, false)) return false;
    data = m_data[position]->arrayData();
    length = m_data[position]->arrayLength();
    return true;
}

bool qzCacheChannel::copyArrayData(void* destination, unsigned int length, int time) const {
    const std::size_t elementSize = qzCacheData::elementSize(m_dataType);
    if (elementSize == 0) return false;
    qzThread::MutexOp lock(m_mutex, true);
    unsigned int position = 0;
    if (!findData(time, position, false)) return false;
    const qzCacheData* sample = m_data[position];
    if (sample->arrayLength() != length) return false;
    const std::size_t bytes = static_cast<std::size_t>(length) * elementSize;
    if (bytes == 0) return true;
    if (!destination || !sample->arrayData()) return false;
    std::memcpy(destination, sample->arrayData(), bytes);
    return true;
}

bool qzCacheChannel::storedArrayLength(int time, unsigned int& length) const {
    qzThread::MutexOp lock(m_mutex, true);
    unsigned int position = 0;
    if (!findData(time, position, false)) return false;
    length = m_data[position]->arrayLength();
    return true;
}

unsigned int qzCacheChannel::storedDataCount() const {
    qzThread::MutexOp lock(m_mutex, true);
    return static_cast<unsigned int>(m_data.size());
}

void qzCacheChannel::clearData() {
    qzThread::MutexOp lock(m_mutex, true);
    for (qzCacheData* sample : m_data) releaseSample(sample);
    m_data.clear();
}

bool qzCacheChannel::removeOneData(const std::vector<int>& keepTimes) {
    qzThread::MutexOp lock(m_mutex, true);
    for (auto at = m_data.begin(); at != m_data.end(); ++at) {
        const int time = (*at)->time();
        if (keepTimes.empty() ||
            std::find(keepTimes.begin(), keepTimes.end(), time) == keepTimes.end()) {
            releaseSample(*at);
            m_data.erase(at);
            return true;
        }
    }
    return false;
}

unsigned int qzCacheChannel::timeCount() const {
    if (m_samplingType == kIrregular) return static_cast<unsigned int>(m_times.size());
    if (m_endTime < m_startTime) return 0;
    if (m_endTime == m_startTime) return 1;
    if (m_samplingRate < 1) return 0;
    const Int64 span = static_cast<Int64>(m_endTime) - m_startTime;
    const Int64 count = span / m_samplingRate + 1;
    return count > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<unsigned int>(count);
}

bool qzCacheChannel::timeAt(unsigned int index, int& time) const {
    const unsigned int count = timeCount();
    if (index >= count) return false;
    if (count == 1) {
        time = m_startTime;
    } else if (m_samplingType == kIrregular) {
        time = m_times[index];
    } else {
        time = static_cast<int>(m_startTime + static_cast<Int64>(index) * m_samplingRate);
    }
    return true;
}

bool qzCacheChannel::nextTime(int time, int& next) const {
    if (isEmpty()) return false;
    if (time < m_startTime) {
        next = m_startTime;
        return true;
    }
    if (time >= m_endTime) return false;
    if (m_samplingType == kIrregular) {
        auto at = std::upper_bound(m_times.begin(), m_times.end(), time);
        if (at == m_times.end()) return false;
        next = *at;
        return true;
    }
    if (m_samplingRate <= 0) return false;  // no grid between start and end
    const Int64 offset = static_cast<Int64>(time) - m_startTime;
    const Int64 candidate = m_startTime + (offset / m_samplingRate + 1) * m_samplingRate;
    if (candidate > m_endTime) return false;
    next = static_cast<int>(candidate);
    return true;
}

bool qzCacheChannel::previousTime(int time, int& previous) const {
    if (isEmpty()) return false;
    if (time <= m_startTime) return false;
    if (time > m_endTime) {
        previous = m_endTime;
        return true;
    }
    if (m_samplingType == kIrregular) {
        auto at = std::lower_bound(m_times.begin(), m_times.end(), time);
        if (at == m_times.begin()) return false;
        previous = *(at - 1);
        return true;
    }
    if (m_samplingRate <= 0) return false;
    const Int64 start = m_startTime;
    Int64 u = time;
    if ((u - start) % m_samplingRate == 0) u -= 1;
    previous = static_cast<int>(start + ((u - start) / m_samplingRate) * m_samplingRate);
    return true;
}

bool qzCacheChannel::hasTime(int time) const {
    if (m_samplingType == kIrregular) return std::binary_search(m_times.begin(), m_times.end(), time);
    if (time == m_startTime && m_endTime == m_startTime) return true;
    if (m_startTime >= m_endTime || m_samplingRate <= 0) return false;
    if (time < m_startTime || time > m_endTime) return false;
    return (static_cast<Int64>(time) - m_startTime) % m_samplingRate == 0;
}

bool qzCacheChannel::isEmpty() const {
    if (m_samplingType == kIrregular) return m_times.empty();
    return m_startTime > m_endTime;
}
