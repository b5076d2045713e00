// The description file: settings and channels from and to the XML description, and reading it
// again while its writer goes on (refresh).
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"

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
using DescribedRecord = qzCacheFileAccessorPrivate::DescribedRecord;

DescribedRecord recordOf(const Description::ChannelDescription& source) {
    DescribedRecord record;
    record.known = true;
    record.samplingType = source.m_samplingType;
    record.rate = source.m_samplingRate;
    record.start = source.m_startTime;
    record.end = source.m_endTime;
    return record;
}

bool sameRecord(const DescribedRecord& a, const DescribedRecord& b) {
    return a.known == b.known && a.samplingType == b.samplingType && a.rate == b.rate &&
           a.start == b.start && a.end == b.end;
}

// Whether the next record names every time the earlier one names, as a writer's records grow.
// Grids are compared time for time; an irregular list is not in the description, so its range
// stands for it.
bool namesEveryTime(const DescribedRecord& earlier, const DescribedRecord& next) {
    const std::int64_t start = earlier.start;
    const std::int64_t end = earlier.end;
    if (!earlier.known || end < start) return true;
    if (next.start > start || next.end < end) return false;
    const bool regular = earlier.samplingType == Description::kRegular &&
                         next.samplingType == Description::kRegular;
    if (!regular || next.start == next.end) return true;
    const std::int64_t rate = next.rate;
    if (rate <= 0 || (start - next.start) % rate != 0) return false;
    return start == end || earlier.rate % rate == 0;
}

// Gives channel `index` of `channels` the sampling record its description gives, and keeps
// that record. Through regular, which empties an irregular record's time list: the next
// question scans the data files for it again.
void describeChannel(const std::vector<qzCacheChannel*>& channels, unsigned int index,
                     const DescribedRecord& record, qzCacheFileAccessorPrivate& state) {
    qzCacheChannel& channel = *channels[index];
    channel.setSamplingType(qzCacheChannel::kRegular);
    channel.setSamplingType(byValue<SamplingType>(record.samplingType));
    channel.setSamplingRate(record.rate);
    channel.setStartTime(record.start);
    channel.setEndTime(record.end);
    state.described.resize(channels.size());
    state.described[index] = record;
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
        describeChannel(m_channels, index, recordOf(source), *m_private);
    }
    noteWriter(description);
    return true;
}

// The write a description names; empty for a cache not written live.
static std::string writeOf(const qzCacheDescriptionIO& description) {
    return description.writtenLive() ? description.liveWrite().utf8() : std::string();
}

void qzCacheFileAccessor::noteWriter(const qzCacheDescriptionIO& description) {
    m_private->describedWrite = writeOf(description);
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
        fewerTimes = fewerTimes || !namesEveryTime(m_private->describedRecord(index),
                                                   recordOf(*description.channel(i)));
    }
    for (unsigned int index = 0; index < listed.size(); ++index) {
        const DescribedRecord earlier = m_private->describedRecord(index);
        fewerTimes = fewerTimes || (!listed[index] && earlier.known && earlier.start <= earlier.end);
    }
    // Written anew (another write, or fewer times): what memory holds, and what the readers
    // read ahead, may be of the earlier cache.
    const bool anew = fewerTimes || writeOf(description) != m_private->describedWrite;
    if (anew) {
        for (qzCacheChannel* channel : m_channels) channel->clearData();
        if (m_distribution == kOneFile && m_fileAccessor &&
            m_fileAccessor->fileAccessMode() == qzCacheFileIO::kRead && m_fileAccessor->isValid()) {
            m_fileAccessor->rewind();
        }
        m_private->rereadFiles = true;
    }
    changed = applyDescription(description, channelOf, listed, anew) || anew;
    if (changed) m_private->learnedNewTimes();
    return true;
}

bool qzCacheFileAccessor::applyDescription(const qzCacheDescriptionIO& description,
                                           const std::vector<int>& channelOf,
                                           const std::vector<bool>& listed, bool anew) {
    bool changed = false;
    // Irregular channels whose range only grew later, with the last time described before:
    // the data files up to it were scanned already.
    std::vector<std::pair<unsigned int, int>> grown;
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const Description::ChannelDescription& source = *description.channel(i);
        const DescribedRecord next = recordOf(source);
        unsigned int index = 0;
        if (channelOf[i] >= 0) {
            index = static_cast<unsigned int>(channelOf[i]);
            const DescribedRecord earlier = m_private->describedRecord(index);
            if (!anew && sameRecord(earlier, next)) continue;
            changed = true;
            if (!anew && earlier.known && earlier.samplingType == Description::kIrregular &&
                next.samplingType == Description::kIrregular && next.start == earlier.start &&
                next.end >= earlier.end && !m_channels[index]->isEmpty()) {
                // The list stays; the range reaches as far as the description says, as a
                // described record's does, and the directory is listed up to there.
                m_private->described[index] = next;
                m_channels[index]->setEndTime(next.end);
                grown.emplace_back(index, earlier.end);
                continue;
            }
        } else if (!addChannel(source.m_name, source.m_interpretation,
                               byValue<qzCacheData::qzCacheDataType>(source.m_dataType), index)) {
            continue;  // a name the description gives twice
        }
        describeChannel(m_channels, index, next, *m_private);
        changed = true;
    }
    // Scanned here, where nothing else reads the records: a scan rewrites a record step by
    // step, and left to the worker it would do so under the caller's reads.
    scanForAllData();
    std::vector<int> frames;
    const bool framesListed = grown.empty() || m_distribution != kOneFilePerFrame ||
                              searchDirectoryForDataTimes(frames);
    for (const auto& channel : grown) {
        if (m_distribution == kOneFile) {
            searchFileAfter(channel.first, &channel.second);
            continue;
        }
        if (!framesListed) break;
        std::vector<int> later;
        for (int time : frames) {
            if (time > channel.second) later.push_back(time);
        }
        scanFrameFiles(channel.first, later);
    }
    // A channel the description no longer lists has no times in it.
    for (unsigned int index = 0; index < listed.size(); ++index) {
        const DescribedRecord earlier = m_private->describedRecord(index);
        if (listed[index] || !earlier.known || earlier.start > earlier.end) continue;
        DescribedRecord none;
        none.known = true;
        describeChannel(m_channels, index, none, *m_private);
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
    // The end of a live write: named as its publishes were, so that its readers keep what
    // they hold.
    if (!m_private->live.name.empty()) description.setLiveWrite(m_private->live.name, true);
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
