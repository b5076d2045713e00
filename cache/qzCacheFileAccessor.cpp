// Lifetime, settings, channel registry and description lines.
#include "qzCacheFileAccessor.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"

qzCacheFileAccessor::qzCacheFileAccessor()
    : m_fileAccessor(nullptr),
      m_threadFileAccessor(nullptr),
      m_distribution(kNoDistribution),
      m_memoryCache(false),
      m_cacheFormat("kcc", 0),
      m_ticksPerFrame(250),
      m_optimizeMultiChannelRead(false),
      m_refCount(1),
      m_multiThreadReadMode(false),
      m_workerWakeSemaphore(nullptr),
      m_workerEventSemaphore(nullptr),
      m_memoryPreLoadQueueSize(3),
      m_lastRequestedTime(0),
      m_hasLastRequestedTime(false),
      m_stateMutex(nullptr),
      m_lastRequestedTimeMutex(nullptr),
      m_threadWorkingMutex(nullptr),
      m_verbose(false),
      m_private(new qzCacheFileAccessorPrivate) {}

qzCacheFileAccessor::~qzCacheFileAccessor() {
    for (qzCacheChannel* channel : m_channels) delete channel;
    m_channels.clear();
    if (m_fileAccessor) {
        if (m_fileAccessor->isValid()) m_fileAccessor->close();
        delete m_fileAccessor;
        m_fileAccessor = nullptr;
    }
    delete m_workerWakeSemaphore;
    delete m_workerEventSemaphore;
    delete m_stateMutex;
    delete m_lastRequestedTimeMutex;
    delete m_threadWorkingMutex;
    delete m_private;
}

qzCacheFileAccessor* qzCacheFileAccessor::createQzCacheFileAccessor() {
    // The constructor allocates too; any failure there is a null result as well.
    try {
        return new qzCacheFileAccessor();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void qzCacheFileAccessor::ref() {
    if (m_stateMutex) {
        qzThread::MutexOp lock(*m_stateMutex, true);
        ++m_refCount;
    } else {
        ++m_refCount;
    }
}

void qzCacheFileAccessor::unref() {
    bool last = false;
    if (m_stateMutex) {
        qzThread::MutexOp lock(*m_stateMutex, true);
        last = --m_refCount <= 0;
    } else {
        last = --m_refCount <= 0;
    }
    if (last) delete this;
}

void qzCacheFileAccessor::setStorageLocation(const qzString::IString& location) {
    m_storageLocation = location;
}
qzString::IString qzCacheFileAccessor::storageLocation() const { return m_storageLocation; }
void qzCacheFileAccessor::setBaseFileName(const qzString::IString& name) { m_baseFileName = name; }
qzString::IString qzCacheFileAccessor::baseFileName() const { return m_baseFileName; }
void qzCacheFileAccessor::setCacheFormat(const qzString::IString& format) { m_cacheFormat = format; }
qzString::IString qzCacheFileAccessor::cacheFormat() const { return m_cacheFormat; }
void qzCacheFileAccessor::setDistribution(qzCacheFileDistribution distribution) {
    m_distribution = distribution;
}
qzCacheFileAccessor::qzCacheFileDistribution qzCacheFileAccessor::distribution() const {
    return m_distribution;
}
void qzCacheFileAccessor::setTimePerFrame(int ticks) { m_ticksPerFrame = ticks; }
int qzCacheFileAccessor::getTicksPerFrame() const { return m_ticksPerFrame; }
void qzCacheFileAccessor::setMemoryCache(bool on) { m_memoryCache = on; }
bool qzCacheFileAccessor::memoryCache() const { return m_memoryCache; }

void qzCacheFileAccessor::setFileAccessor(qzCacheFileIO* fileIO) {
    m_fileAccessor = fileIO;
    m_private->sideReader.reset();
    // A newly installed object starts a new write: earlier failures belonged to the old one,
    // and so did the time groups of its file and the name of a live write.
    m_private->writeFailed = false;
    m_private->hasLastGroupTime = false;
    m_private->timeRefused = false;
    m_private->live.timeGroups = 0;
    m_private->live.name = qzString::IString();
}

qzCacheFileIO* qzCacheFileAccessor::fileAccessor() const { return m_fileAccessor; }

void qzCacheFileAccessor::setThreadFileAccessor(qzCacheFileIO* fileIO) {
    m_threadFileAccessor = fileIO;
}

void qzCacheFileAccessor::removeThreadFileAccessor() {
    if (!m_threadFileAccessor) return;
    if (m_threadFileAccessor->isValid()) m_threadFileAccessor->close();
    delete m_threadFileAccessor;
    m_threadFileAccessor = nullptr;
}

qzThread::Mutex& qzCacheFileAccessor::getThreadWorkingMutex() { return *m_threadWorkingMutex; }

bool qzCacheFileAccessor::addChannel(const qzString::IString& name,
                                     const qzString::IString& interpretation,
                                     qzCacheData::qzCacheDataType dataType, unsigned int& index) {
    index = static_cast<unsigned int>(m_channels.size());
    if (m_private->channelByName.count(name.utf8()) != 0) return false;
    auto* channel = new qzCacheChannel(name, interpretation, dataType);
    m_channels.push_back(channel);
    m_private->channelByName.emplace(name.utf8(), index);
    m_private->noteWork();
    return true;
}

bool qzCacheFileAccessor::addChannel(const qzCacheChannel& source, unsigned int& index) {
    unsigned int added = 0;
    if (!addChannel(source.name(), source.interpretation(), source.dataType(), added)) {
        index = added;
        return false;
    }
    index = added;
    qzCacheChannel* channel = m_channels[added];
    channel->setStartTime(source.startTime());
    channel->setEndTime(source.endTime());
    channel->setSamplingRate(source.samplingRate());
    channel->setSamplingType(source.samplingType());
    if (source.samplingType() == qzCacheChannel::kIrregular) channel->copyTimes(source);
    m_private->noteWork();
    return true;
}

size_t qzCacheFileAccessor::numChannels() const { return m_channels.size(); }

bool qzCacheFileAccessor::hasChannelByName(const qzString::IString& name,
                                           unsigned int& index) const {
    auto found = m_private->channelByName.find(name.utf8());
    if (found == m_private->channelByName.end()) return false;
    index = found->second;
    return true;
}

bool qzCacheFileAccessor::isArrayData(unsigned int channel) const {
    return channel < m_channels.size() &&
           qzCacheData::isArrayType(m_channels[channel]->dataType());
}

bool qzCacheFileAccessor::isChannelSamplingRegular(unsigned int channel) const {
    return channel < m_channels.size() &&
           m_channels[channel]->samplingType() == qzCacheChannel::kRegular;
}

bool qzCacheFileAccessor::channelName(unsigned int channel, qzString::IString& name) const {
    if (channel >= m_channels.size()) return false;
    name = m_channels[channel]->name();
    return true;
}

bool qzCacheFileAccessor::channelInterpretation(unsigned int channel,
                                                qzString::IString& interpretation) const {
    if (channel >= m_channels.size()) return false;
    interpretation = m_channels[channel]->interpretation();
    return true;
}

bool qzCacheFileAccessor::channelDataType(unsigned int channel,
                                          qzCacheData::qzCacheDataType& type) const {
    if (channel >= m_channels.size()) return false;
    type = m_channels[channel]->dataType();
    return true;
}

bool qzCacheFileAccessor::channelInterpolation(
    unsigned int channel, qzCacheChannel::qzCacheInterpolation& interpolation) const {
    if (channel >= m_channels.size()) return false;
    interpolation = m_channels[channel]->interpolation();
    return true;
}

bool qzCacheFileAccessor::setChannelInterpolation(
    unsigned int channel, qzCacheChannel::qzCacheInterpolation& interpolation) {
    if (channel >= m_channels.size()) return false;
    m_channels[channel]->setInterpolation(interpolation);
    return true;
}

bool qzCacheFileAccessor::channelSamplingType(unsigned int channel,
                                              qzCacheChannel::qzCacheSamplingType& type) {
    if (channel >= m_channels.size()) return false;
    type = m_channels[channel]->samplingType();
    return true;
}

bool qzCacheFileAccessor::setChannelSamplingType(unsigned int channel,
                                                 qzCacheChannel::qzCacheSamplingType type) {
    if (channel >= m_channels.size()) return false;
    m_channels[channel]->setSamplingType(type);
    if (type == qzCacheChannel::kIrregular) scanForData(channel);
    m_private->noteWork();
    return true;
}

bool qzCacheFileAccessor::getChannelStartTime(unsigned int channel, int& time) const {
    if (channel >= m_channels.size()) return false;
    time = m_channels[channel]->startTime();
    return true;
}

bool qzCacheFileAccessor::setChannelStartTime(unsigned int channel, int time) {
    if (channel >= m_channels.size()) return false;
    m_channels[channel]->setStartTime(time);
    m_private->noteWork();
    return true;
}

bool qzCacheFileAccessor::getChannelEndTime(unsigned int channel, int& time) const {
    if (channel >= m_channels.size()) return false;
    time = m_channels[channel]->endTime();
    return true;
}

bool qzCacheFileAccessor::setChannelEndTime(unsigned int channel, int time) {
    if (channel >= m_channels.size()) return false;
    m_channels[channel]->setEndTime(time);
    m_private->noteWork();
    return true;
}

bool qzCacheFileAccessor::setChannelSamplingRate(unsigned int channel, int rate) {
    if (channel >= m_channels.size()) return false;
    m_channels[channel]->setSamplingRate(rate);
    m_private->noteWork();
    return true;
}

bool qzCacheFileAccessor::channelSamplingRate(unsigned int channel, int& rate) const {
    if (channel >= m_channels.size() ||
        m_channels[channel]->samplingType() != qzCacheChannel::kRegular) {
        rate = 0;
        return false;
    }
    rate = m_channels[channel]->samplingRate();
    return true;
}

bool qzCacheFileAccessor::getStartEndTime(int& start, int& end) const {
    if (m_channels.empty()) return false;
    int first = m_channels.front()->startTime();
    int last = m_channels.front()->endTime();
    for (const qzCacheChannel* channel : m_channels) {
        if (channel->startTime() < first) first = channel->startTime();
        if (channel->endTime() > last) last = channel->endTime();
    }
    start = first;
    end = last;
    return true;
}

bool qzCacheFileAccessor::setStartEndTime(int& start, int& end) {
    for (qzCacheChannel* channel : m_channels) {
        if (start > channel->startTime()) channel->setStartTime(start);
        if (end < channel->endTime()) channel->setEndTime(end);
    }
    return true;
}

bool qzCacheFileAccessor::copyChannels(qzCacheFileAccessor& destination) {
    for (unsigned int i = 0; i < m_channels.size(); ++i) {
        scanForData(i);
        unsigned int index = 0;
        if (!destination.addChannel(*m_channels[i], index)) return false;
    }
    for (const qzString::IString& line : m_descriptionInfo) destination.addDescriptionInfo(line);
    return true;
}

void* qzCacheFileAccessor::allocateDataForChannel(unsigned int channel, unsigned int count) const {
    if (channel >= m_channels.size()) return nullptr;
    const std::size_t elementSize = qzCacheData::elementSize(m_channels[channel]->dataType());
    if (elementSize == 0) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(count) * elementSize;
    // A block for zero elements is still a block the caller can free.
    return std::malloc(bytes > 0 ? bytes : 1);
}

void qzCacheFileAccessor::addDescriptionInfo(const qzString::IString& line) {
    m_descriptionInfo.push_back(line);
}

unsigned int qzCacheFileAccessor::descriptionInfoCount() const {
    return static_cast<unsigned int>(m_descriptionInfo.size());
}

void qzCacheFileAccessor::getDescriptionInfo(unsigned int index, qzString::IString& line) const {
    if (index < m_descriptionInfo.size()) line = m_descriptionInfo[index];
}

namespace {

// Kept blocks: enough for one spline request and a second request beside it; a block beyond
// this size is given back to the system after each use.
constexpr std::size_t kKeptScratchBlocks = 8;
constexpr std::size_t kKeptScratchBytes = 256u * 1024u * 1024u;

}  // namespace

qzCacheFileAccessorPrivate::ScratchBlock qzCacheFileAccessorPrivate::takeScratch(std::size_t bytes) {
    if (bytes == 0) bytes = 1;
    {
        qzThread::MutexOp lock(scratchMutex, true);
        for (std::size_t i = 0; i < scratchBlocks.size(); ++i) {
            if (scratchBlocks[i].size >= bytes) {
                ScratchBlock found = std::move(scratchBlocks[i]);
                scratchBlocks.erase(scratchBlocks.begin() + static_cast<std::ptrdiff_t>(i));
                return found;
            }
        }
    }
    ScratchBlock block;
    block.bytes.reset(std::malloc(bytes));
    block.size = block.bytes ? bytes : 0;
    return block;
}

void qzCacheFileAccessorPrivate::giveScratch(ScratchBlock block) {
    if (block.size > kKeptScratchBytes) return;
    qzThread::MutexOp lock(scratchMutex, true);
    if (scratchBlocks.size() < kKeptScratchBlocks) {
        scratchBlocks.push_back(std::move(block));
        return;
    }
    // The smallest kept block makes room for a larger one.
    auto smallest = scratchBlocks.begin();
    for (auto it = scratchBlocks.begin(); it != scratchBlocks.end(); ++it) {
        if (it->size < smallest->size) smallest = it;
    }
    if (smallest->size < block.size) *smallest = std::move(block);
}
