// The description file: settings and channels from and to the XML description, and reading it
// again while its writer goes on (refresh).
#include <cstdint>
#include <optional>
#include <vector>

#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"

namespace {

using Description = qzCacheDescriptionIO;

// The description file's vocabulary has the accessor's values, so that each maps onto the
// other by value; a value without a name in the file (a distribution never set, say) stays
// such a value, and writing refuses it.
constexpr bool sameValues(int a, int b) { return a == b; }
static_assert(sameValues(Description::kNoCacheType, qzCacheFileAccessor::kNoDistribution) &&
                  sameValues(Description::kOneFile, qzCacheFileAccessor::kOneFile) &&
                  sameValues(Description::kOneFilePerFrame, qzCacheFileAccessor::kOneFilePerFrame),
              "cache types");
static_assert(sameValues(Description::kRegular, qzCacheChannel::kRegular) &&
                  sameValues(Description::kIrregular, qzCacheChannel::kIrregular),
              "sampling types");
static_assert(sameValues(Description::kUnknownData, qzCacheData::kUnknownData) &&
                  sameValues(Description::kDouble, qzCacheData::kDouble) &&
                  sameValues(Description::kDoubleArray, qzCacheData::kDoubleArray) &&
                  sameValues(Description::kDoubleVectorArray, qzCacheData::kDoubleVectorArray) &&
                  sameValues(Description::kInt32Array, qzCacheData::kInt32Array) &&
                  sameValues(Description::kFloatArray, qzCacheData::kFloatArray) &&
                  sameValues(Description::kFloatVectorArray, qzCacheData::kFloatVectorArray),
              "data types");

template <typename To, typename From>
To byValue(From value) {
    return static_cast<To>(static_cast<int>(value));
}

using SamplingType = qzCacheChannel::qzCacheSamplingType;

// A channel's sampling record as its description gives it. An irregular record's time list is
// emptied, so that the next question scans the data files for it again.
void describeRecord(qzCacheChannel& channel, const Description::ChannelDescription& source) {
    channel.setSamplingType(qzCacheChannel::kRegular);
    channel.setSamplingType(byValue<SamplingType>(source.m_samplingType));
    channel.setSamplingRate(source.m_samplingRate);
    channel.setStartTime(source.m_startTime);
    channel.setEndTime(source.m_endTime);
}

bool sameRecord(const qzCacheChannel& channel, const Description::ChannelDescription& source) {
    return channel.samplingType() == byValue<SamplingType>(source.m_samplingType) &&
           channel.samplingRate() == source.m_samplingRate &&
           channel.startTime() == source.m_startTime && channel.endTime() == source.m_endTime;
}

// Whether the new record names every time the channel's record names, as a writer's records
// grow. Grids are compared time for time; an irregular list is not known before a scan, so its
// range stands for it.
bool namesEveryTime(const qzCacheChannel& channel, const Description::ChannelDescription& next) {
    const std::int64_t start = channel.startTime();
    const std::int64_t end = channel.endTime();
    if (end < start) return true;
    if (next.m_startTime > start || next.m_endTime < end) return false;
    const bool regular = channel.samplingType() == qzCacheChannel::kRegular &&
                         next.m_samplingType == Description::kRegular;
    if (!regular || next.m_startTime == next.m_endTime) return true;
    const std::int64_t rate = next.m_samplingRate;
    if (rate <= 0 || (start - next.m_startTime) % rate != 0) return false;
    return start == end || channel.samplingRate() % rate == 0;
}

}  // namespace

bool qzCacheFileAccessor::readDescriptionFile(const qzString::IString& baseFileName,
                                              const qzString::IString& storageLocation) {
    const qzString::IString path = constructDescriptionFileFullPath(storageLocation, baseFileName);
    // Kept even when the read fails, so that a caller can still name the cache's files.
    m_baseFileName = baseFileName;
    m_storageLocation = storageLocation;

    Description description(path);
    if (!description.readFile()) return false;

    setMemoryCache(false);
    m_distribution = byValue<qzCacheFileDistribution>(description.cacheType());
    m_cacheFormat = description.cacheFormat();
    // A description that does not give it keeps the ticks per frame already set.
    if (description.hasTimePerFrame()) m_ticksPerFrame = description.timePerFrame();
    for (unsigned int i = 0; i < description.descriptionInfoCount(); ++i) {
        addDescriptionInfo(description.descriptionInfo(i));
    }
    qzThread::MutexOp records(m_private->readerMutex, true);
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const Description::ChannelDescription& source = *description.channel(i);
        unsigned int index = 0;
        // A name registered already keeps its channel; the description of it is skipped.
        if (!addChannel(source.m_name, source.m_interpretation,
                        byValue<qzCacheData::qzCacheDataType>(source.m_dataType), index)) {
            continue;
        }
        describeRecord(*m_channels[index], source);
        m_private->describedChannels.resize(m_channels.size());
        m_private->describedChannels[index] = true;
    }
    noteWriter(description);
    return true;
}

void qzCacheFileAccessor::noteWriter(const qzCacheDescriptionIO& description) {
    m_private->beingWritten = description.beingWritten();
    m_private->hasWrittenTimeGroups = description.writtenTimeGroups(m_private->writtenTimeGroups);
}

bool qzWrittenTimeGroups(const qzCacheFileAccessor& accessor, std::uint64_t& groups) {
    const qzCacheFileAccessorPrivate& state = *accessor.m_private;
    if (!state.beingWritten || !state.hasWrittenTimeGroups) return false;
    groups = state.writtenTimeGroups;
    return true;
}

bool qzCacheFileAccessor::isComplete() const { return !m_private->beingWritten; }

bool qzCacheFileAccessor::refresh(bool& changed) {
    changed = false;
    Description description(constructDescriptionFileFullPath(m_storageLocation, m_baseFileName));
    if (!description.readFile()) return false;
    const bool sameLayout =
        byValue<qzCacheFileDistribution>(description.cacheType()) == m_distribution &&
        qzString::equal(description.cacheFormat(), m_cacheFormat) &&
        (!description.hasTimePerFrame() || description.timePerFrame() == m_ticksPerFrame);
    if (!sameLayout) return false;
    std::vector<int> channelOf(description.channelCount(), -1);
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const Description::ChannelDescription& source = *description.channel(i);
        unsigned int index = 0;
        if (!hasChannelByName(source.m_name, index)) continue;
        if (m_channels[index]->dataType() != byValue<qzCacheData::qzCacheDataType>(source.m_dataType))
            return false;
        channelOf[i] = static_cast<int>(index);
    }

    // The worker reads the channels and their records in its steps and under the reader mutex.
    std::optional<qzThread::MutexOp> working;
    if (m_threadWorkingMutex) working.emplace(*m_threadWorkingMutex, true);
    qzThread::MutexOp records(m_private->readerMutex, true);
    std::vector<bool> listed(m_channels.size(), false);
    bool fewerTimes = false;
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        if (channelOf[i] < 0) continue;
        const unsigned int index = static_cast<unsigned int>(channelOf[i]);
        listed[index] = true;
        fewerTimes = fewerTimes || !namesEveryTime(*m_channels[index], *description.channel(i));
    }
    for (unsigned int index = 0; index < listed.size(); ++index) {
        fewerTimes = fewerTimes || (!listed[index] && !m_channels[index]->isEmpty());
    }
    // Written anew: what memory holds may be of the earlier cache.
    if (fewerTimes) {
        for (qzCacheChannel* channel : m_channels) channel->clearData();
    }
    changed = applyDescription(description, channelOf, listed) || fewerTimes;
    if (changed) m_private->learnedNewTimes();
    return true;
}

bool qzCacheFileAccessor::applyDescription(const qzCacheDescriptionIO& description,
                                           const std::vector<int>& channelOf,
                                           const std::vector<bool>& listed) {
    bool changed = false;
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const Description::ChannelDescription& source = *description.channel(i);
        unsigned int index = 0;
        if (channelOf[i] >= 0) {
            index = static_cast<unsigned int>(channelOf[i]);
            if (sameRecord(*m_channels[index], source)) continue;
        } else if (!addChannel(source.m_name, source.m_interpretation,
                               byValue<qzCacheData::qzCacheDataType>(source.m_dataType), index)) {
            continue;  // a name the description gives twice
        }
        describeRecord(*m_channels[index], source);
        m_private->describedChannels.resize(m_channels.size());
        m_private->describedChannels[index] = true;
        // Here, where nothing else reads the record: a scan rewrites it step by step, and
        // left to the worker it would do so under the caller's reads.
        scanForData(index);
        changed = true;
    }
    // A channel the description no longer lists has no times in it.
    for (unsigned int index = 0; index < listed.size(); ++index) {
        if (listed[index] || m_channels[index]->isEmpty()) continue;
        m_channels[index]->setSamplingType(qzCacheChannel::kRegular);
        m_channels[index]->setSamplingRate(0);
        m_channels[index]->setStartTime(0);
        m_channels[index]->setEndTime(-1);
        changed = true;
    }
    std::vector<qzString::IString> lines;
    for (unsigned int i = 0; i < description.descriptionInfoCount(); ++i) {
        lines.push_back(description.descriptionInfo(i));
    }
    bool sameLines = lines.size() == m_descriptionInfo.size();
    for (std::size_t i = 0; sameLines && i < lines.size(); ++i) {
        sameLines = qzString::equal(lines[i], m_descriptionInfo[i]);
    }
    if (!sameLines) m_descriptionInfo = lines;
    const bool wasComplete = isComplete();
    noteWriter(description);
    return changed || !sameLines || wasComplete != isComplete();
}

bool qzCacheFileAccessor::writeDescriptionFile(const qzString::IString& fileName) {
    setMemoryCache(false);
    Description description(fileName);
    describeInto(description);
    return description.writeFile();
}

void qzCacheFileAccessor::describeInto(qzCacheDescriptionIO& description) const {
    description.setCacheType(byValue<Description::CacheType>(m_distribution));
    description.setCacheFormat(m_cacheFormat);
    int start = 0;
    int end = 0;
    getStartEndTime(start, end);  // leaves 0-0 without channels
    description.setStartTime(start);
    description.setEndTime(end);
    description.setTimeRangeSet(true);
    description.setTimePerFrame(m_ticksPerFrame);
    description.setVersion(qzString::IString("2.0", 0));
    for (const qzString::IString& line : m_descriptionInfo) description.addDescriptionInfo(line);
    for (const qzCacheChannel* channel : m_channels) {
        Description::ChannelDescription entry;
        entry.m_name = channel->name();
        entry.m_dataType = byValue<Description::DataType>(channel->dataType());
        entry.m_interpretation = channel->interpretation();
        entry.m_samplingType = byValue<Description::SamplingType>(channel->samplingType());
        entry.m_samplingRate = channel->samplingRate();
        entry.m_startTime = channel->startTime();
        entry.m_endTime = channel->endTime();
        description.addChannel(entry);
    }
}
