// The description file: settings and channels from and to the XML description.
#include <vector>

#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"

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
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const Description::ChannelDescription& source = *description.channel(i);
        unsigned int index = 0;
        // A name registered already keeps its channel; the description of it is skipped.
        if (!addChannel(source.m_name, source.m_interpretation,
                        byValue<qzCacheData::qzCacheDataType>(source.m_dataType), index)) {
            continue;
        }
        qzCacheChannel* channel = m_channels[index];
        using SamplingType = qzCacheChannel::qzCacheSamplingType;
        channel->setSamplingType(byValue<SamplingType>(source.m_samplingType));
        channel->setSamplingRate(source.m_samplingRate);
        channel->setStartTime(source.m_startTime);
        channel->setEndTime(source.m_endTime);
    }
    return true;
}

bool qzCacheFileAccessor::writeDescriptionFile(const qzString::IString& fileName) {
    setMemoryCache(false);
    Description description(fileName);
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
    return description.writeFile();
}
