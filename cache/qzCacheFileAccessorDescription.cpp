// The description file: settings and channels from and to the XML description.
#include <vector>

#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"

bool qzCacheFileAccessor::readDescriptionFile(const qzString::IString& baseFileName,
                                              const qzString::IString& storageLocation) {
    const qzString::IString path = constructDescriptionFileFullPath(storageLocation, baseFileName);
    // Kept even when the read fails, so that a caller can still name the cache's files.
    m_baseFileName = baseFileName;
    m_storageLocation = storageLocation;

    qzCacheDescriptionIO description(path);
    if (!description.readFile()) return false;

    setMemoryCache(false);
    m_distribution = description.cacheType();
    m_cacheFormat = description.cacheFormat();
    // A description that does not give it keeps the ticks per frame already set.
    if (description.hasTimePerFrame()) m_ticksPerFrame = description.timePerFrame();
    for (unsigned int i = 0; i < description.descriptionInfoCount(); ++i) {
        addDescriptionInfo(description.descriptionInfo(i));
    }
    for (unsigned int i = 0; i < description.channelCount(); ++i) {
        const qzCacheDescriptionIO::ChannelDescription& source = *description.channel(i);
        unsigned int index = 0;
        // A name registered already keeps its channel; the description of it is skipped.
        if (!addChannel(source.m_name, source.m_interpretation, source.m_dataType, index)) continue;
        qzCacheChannel* channel = m_channels[index];
        channel->setSamplingType(source.m_samplingType);
        channel->setSamplingRate(source.m_samplingRate);
        channel->setStartTime(source.m_startTime);
        channel->setEndTime(source.m_endTime);
    }
    return true;
}

bool qzCacheFileAccessor::writeDescriptionFile(const qzString::IString& fileName) {
    setMemoryCache(false);
    qzCacheDescriptionIO description(fileName);
    description.setCacheType(m_distribution);
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
        qzCacheDescriptionIO::ChannelDescription entry;
        entry.m_name = channel->name();
        entry.m_dataType = channel->dataType();
        entry.m_interpretation = channel->interpretation();
        entry.m_samplingType = channel->samplingType();
        entry.m_samplingRate = channel->samplingRate();
        entry.m_startTime = channel->startTime();
        entry.m_endTime = channel->endTime();
        description.addChannel(entry);
    }
    return description.writeFile();
}
