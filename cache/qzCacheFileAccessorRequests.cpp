// Requests that bindings and tools make beyond the host's: a read with a chosen interpolation,
// a channel's stored times in one call, and a check of an element count read from a file.
#include <cstdint>
#include <mutex>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzFileSystem.h"

bool qzCacheFileAccessor::getArrayDataAtTime(unsigned int channel, int time, unsigned int count,
                                             void*& data, unsigned int& length,
                                             qzCacheChannel::qzCacheInterpolation interpolation) {
    switch (readStoredArray(channel, time, count, data, length)) {
    case StoredRead::kFound: return true;
    case StoredRead::kOtherCount: return false;
    case StoredRead::kDamaged: return false;
    case StoredRead::kAbsent: break;
    }
    return interpolateAs(channel, time, interpolation, count, data, length);
}

bool qzCacheFileAccessor::getDataTimes(unsigned int channel, std::vector<int>& times) {
    if (channel >= m_channels.size()) return false;
    // One snapshot: a rescan (an interpolation falling back) may rewrite the record meanwhile.
    qzThread::MutexOp records(m_private->readerMutex, true);
    scanForData(channel);
    const qzCacheChannel& source = *m_channels[channel];
    const unsigned int count = source.timeCount();
    if (count > kMaxDataTimes) return false;
    times.clear();
    times.reserve(count);
    for (unsigned int index = 0; index < count; ++index) {
        int time = 0;
        if (source.timeAt(index, time)) times.push_back(time);
    }
    return true;
}

bool qzCacheFileAccessor::arrayFitsDataFiles(unsigned int channel, int time, unsigned int count) {
    if (channel >= m_channels.size()) return false;
    const qzCacheChannel& source = *m_channels[channel];
    const std::uint64_t bytes =
        std::uint64_t(count) * qzCacheData::elementSize(source.dataType());
    if (bytes == 0) return qzCacheData::isArrayType(source.dataType());
    auto fits = [bytes](const qzString::IString& path) {
        std::uint64_t size = 0;
        return !path.empty() && qzOS::fileSize(path.asUTF8(), size) && bytes <= size;
    };
    if (m_distribution == kOneFile) return fits(constructDataFilePathForOneFile());
    if (m_distribution != kOneFilePerFrame) return false;
    int candidates[5] = {time, source.startTime(), source.endTime(), time, time};
    {
        qzThread::MutexOp records(m_private->readerMutex, true);
        source.previousTime(time, candidates[3]);
        source.nextTime(time, candidates[4]);
    }
    for (int candidate : candidates) {
        if (fits(constructDataFilePathForOneFilePerFrame(candidate))) return true;
    }
    return false;
}
