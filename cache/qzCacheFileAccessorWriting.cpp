// Writing samples: the per-time write sequence, publishing the description of a cache still
// being written, continuing a per-frame cache, and copying one sample from one cache into
// another.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "qzCacheArrayIO.h"
#include "qzCacheDescriptionIO.h"
#include "qzCacheFileAccessor.h"
#include "qzCacheFileAccessorPrivate.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"

bool qzFlushWriter(qzCacheFileIO* writer) {
    // Other formats have no buffer we know of; what they wrote is theirs to show.
    auto* iff = dynamic_cast<qzCacheFileIffIO*>(writer);
    return !iff || iff->flush();
}

bool qzWriterFailed(qzCacheFileIO* writer) {
    auto* iff = dynamic_cast<qzCacheFileIffIO*>(writer);
    return iff && iff->hasWriteError();
}

void qzCacheFileAccessor::beginWriteAtTime(int time) {
    qzCacheFileIO* writer = m_fileAccessor;
    if (!writer) return;
    m_private->timeRefused = m_distribution == kOneFile && m_private->hasLastGroupTime &&
                             time <= m_private->lastGroupTime;
    if (m_private->timeRefused) return;
    if (m_distribution == kOneFilePerFrame) {
        // An empty path (no positive frame length) names no file: nothing is opened.
        const qzString::IString path = constructDataFilePathForOneFilePerFrame(time);
        if (!path.empty() && (!writer->open(path) ||
                              !writer->writeHeader(qzString::IString("0.1", 0), time, time))) {
            m_private->writeFailed = true;
        }
    }
    if (writer->isValid()) {
        writer->beginWriteChunk();
        if (m_distribution == kOneFile) {
            if (!writer->writeTime(time)) m_private->writeFailed = true;
            m_private->hasLastGroupTime = true;
            m_private->lastGroupTime = time;
        }
    }
}

bool qzCacheFileAccessor::addData(unsigned int channel, int time, double value) {
    if (channel >= m_channels.size() || !m_memoryCache) return false;
    if (!m_channels[channel]->canAddTime(time)) return false;
    return m_channels[channel]->storeData(value, time);
}

bool qzCacheFileAccessor::addArrayData(unsigned int channel, int time, void* data,
                                       unsigned int length) {
    if (channel >= m_channels.size()) return false;
    if (!data && length > 0) return false;
    qzCacheChannel* target = m_channels[channel];
    // A time the sampling record cannot hold, or one the data file can no longer take, would
    // be stored but never found again.
    if (!target->canAddTime(time) || m_private->timeRefused) return false;
    // A sample that memory or the record cannot take is not written either: the caller
    // learns that it is lost, and may add it again without leaving a second record in the
    // file. A type without an element size is refused here too (no copy, no pointer kept).
    const bool recorded = m_memoryCache ? target->storeArrayData(data, length, true, time, true)
                                        : target->addTime(time);
    if (!recorded) return false;
    // A name without its array would leave a record that makes the whole time unreadable.
    if (!qzCacheData::isArrayType(target->dataType())) return false;
    if (m_distribution == kNoDistribution) return true;
    if (!writeArrayDataToFile(channel, time, data, length)) {
        m_private->writeFailed = true;
        return false;
    }
    return true;
}

bool qzCacheFileAccessor::writeArrayDataToFile(unsigned int channel, int, void* data,
                                               unsigned int length) {
    qzCacheFileIO* writer = m_fileAccessor;
    if (!writer || !writer->isValid() || channel >= m_channels.size()) return false;
    const qzCacheChannel& target = *m_channels[channel];
    if (!qzCacheData::isArrayType(target.dataType())) return false;
    // Both calls are made whatever the first answers, as the file IO expects a record whole.
    const bool named = writer->writeChannelName(target.name());
    const bool written = qzWriteArray(*writer, target.dataType(), data, length) && named;
    // The caller's sequence goes on; endFileWrite reports the failure again.
    if (!written) m_private->writeFailed = true;
    return written;
}

void qzCacheFileAccessor::endWriteAtTime() {
    qzCacheFileIO* writer = m_fileAccessor;
    if (m_private->timeRefused) {
        m_private->timeRefused = false;
        return;
    }
    if (!writer || !writer->isValid()) return;
    writer->endWriteChunk();
    // Each time reaches the operating system when it ends: a crash of the host loses at most
    // the time being written, and a full disk shows at the next addArrayData.
    bool written = qzFlushWriter(writer);
    if (m_distribution == kOneFilePerFrame) {
        writer->close();
        written = !qzWriterFailed(writer) && written;
    }
    if (!written) m_private->writeFailed = true;
    if (m_distribution == kOneFile) ++m_private->live.timeGroups;

    // Only now, with the time's data handed over, may a description name it. The interval
    // runs from when live writing began: a write shorter than it pays for no publish but the
    // final one.
    qzCacheFileAccessorPrivate::LiveWrite& live = m_private->live;
    const auto now = std::chrono::steady_clock::now();
    if (!live.on || now - live.lastPublish < live.interval) return;
    // A publish that fails is tried again when the next time ends.
    if (publishLive()) live.lastPublish = now;
}

// A name of its own for each live write: readers tell by it a cache written anew under the same
// name, whose samples they held are of the earlier one.
static qzString::IString newWriteName() {
    std::uint64_t bits = static_cast<std::uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count());
    try {
        std::random_device device;
        bits ^= (std::uint64_t{device()} << 32) ^ device();
    } catch (...) {
        // The clock alone then, which differs from one write to the next all the same.
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return qzString::IString(text, 0);
}

bool qzCacheFileAccessor::publishLive() {
    qzCacheDescriptionIO description(
        constructDescriptionFileFullPath(m_storageLocation, m_baseFileName));
    describeInto(description);
    if (m_private->live.name.empty()) m_private->live.name = newWriteName();
    description.setLiveWrite(m_private->live.name, false);
    // The groups of a file this writer began; one it appends to holds earlier ones too.
    if (m_distribution == kOneFile && m_fileAccessor &&
        m_fileAccessor->fileAccessMode() == qzCacheFileIO::kWrite) {
        description.setWrittenTimeGroups(m_private->live.timeGroups);
    }
    // A crash of the writer needs the operating system only; a power cut also loses the data
    // files' latest times, which are never synced, and endFileWrite syncs the final one.
    return description.writeFile(qzCacheDescriptionIO::Durability::kHandedOver);
}

void qzCacheFileAccessor::setLiveWrite(bool on) {
    m_private->live.on = on;
    m_private->live.lastPublish = std::chrono::steady_clock::now();
}

bool qzCacheFileAccessor::liveWrite() const { return m_private->live.on; }

void qzCacheFileAccessor::setLivePublishInterval(unsigned int milliseconds) {
    m_private->live.interval = std::chrono::milliseconds(milliseconds);
}

bool qzCacheFileAccessor::endFileWrite() {
    const qzString::IString path =
        constructDescriptionFileFullPath(m_storageLocation, m_baseFileName);
    const bool described = writeDescriptionFile(path);
    // The description is written all the same; the caller learns that data went missing.
    return described && !m_private->writeFailed;
}

bool qzCacheFileAccessor::reOpenForWrite(qzCacheFileIO* writer) {
    if (m_distribution != kOneFilePerFrame) return false;
    if (m_fileAccessor != writer) delete m_fileAccessor;
    m_fileAccessor = nullptr;
    setFileAccessor(writer);
    // Learns the times already on disk; reads go beside the new writer and change no file.
    scanForAllData();
    return true;
}

bool qzCacheFileAccessor::copyChannelData(qzCacheFileAccessor& source, unsigned int sourceChannel,
                                          qzCacheFileAccessor& destination,
                                          unsigned int destinationChannel, int time,
                                          bool fallBack) {
    const bool isArray = source.isArrayData(sourceChannel);
    const bool present = source.hasDataAtTime(sourceChannel, time);
    unsigned int count = 0;
    if (fallBack && !present) {
        int previous = 0;
        if (!source.getPrevTimeWithData(time, previous)) return false;
        if (isArray && !source.getArrayLengthAtTime(sourceChannel, previous, count)) return false;
    } else {
        if (!present) return false;
        if (isArray && !source.getArrayLengthAtTime(sourceChannel, time, count)) return false;
    }
    qzCacheData::qzCacheDataType sourceType = qzCacheData::kUnknownData;
    qzCacheData::qzCacheDataType destinationType = qzCacheData::kUnknownData;
    if (!source.channelDataType(sourceChannel, sourceType) ||
        !destination.channelDataType(destinationChannel, destinationType) ||
        sourceType != destinationType) {
        return false;
    }
    const std::unique_ptr<void, qzFreeDeleter> buffer(
        source.allocateDataForChannel(sourceChannel, count));
    if (!qzCacheData::isArrayType(sourceType) || !buffer) return false;
    // Answered from memory, `data` is the source's own stored buffer: read here, never freed.
    void* data = buffer.get();
    unsigned int length = 0;
    if (!source.getArrayDataAtTime(sourceChannel, time, count, data, length)) return false;
    if (length == 0 || length != count) return false;
    return destination.addArrayData(destinationChannel, time, data, length);
}

bool qzCacheFileAccessor::copyChannelData(qzCacheFileAccessor& source,
                                          const qzString::IString& sourceChannel,
                                          qzCacheFileAccessor& destination,
                                          const qzString::IString& destinationChannel, int time,
                                          bool fallBack) {
    unsigned int destinationIndex = 0;
    unsigned int sourceIndex = 0;
    if (!destination.hasChannelByName(destinationChannel, destinationIndex)) return false;
    if (!source.hasChannelByName(sourceChannel, sourceIndex)) return false;
    return copyChannelData(source, sourceIndex, destination, destinationIndex, time, fallBack);
}
