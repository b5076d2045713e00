// The facade: opening sequences, string conversion in and out, and plain forwarding.
#include "qzCacheFileInterface.h"

#include <cstdlib>
#include <cstring>

#include "qzCacheFileAccessor.h"
#include "qzCacheFileIO.h"
#include "qzCacheFileIffIO.h"
#include "qzString.h"

namespace {

// Callers of the facade hand in UTF-8.
qzString::IString fromCaller(const char* text) { return qzString::IString(text, 1); }

// A malloc'ed UTF-8 copy for the caller to free; null when malloc fails.
char* toCaller(const qzString::IString& text) {
    const std::size_t size = text.asUTF8StoreSize();
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy) std::memcpy(copy, text.asUTF8(), size);
    return copy;
}

// Sets *out only when the copy could be made.
bool toCaller(const qzString::IString& text, char** out) {
    char* copy = toCaller(text);
    if (!copy) return false;
    *out = copy;
    return true;
}

// Installs a new file IO object. The accessor leaves the one it replaces alone, and nothing
// else would ever release it, so the facade closes and deletes it here.
void installFileIO(qzCacheFileAccessor& accessor, qzCacheFileIO* fileIO) {
    qzCacheFileIO* previous = accessor.fileAccessor();
    accessor.setFileAccessor(fileIO);
    if (previous && previous != fileIO) {
        if (previous->isValid()) previous->close();
        delete previous;
    }
}

}  // namespace

qzCacheFileInterface::qzCacheFileInterface()
    : m_accessor(qzCacheFileAccessor::createQzCacheFileAccessor()) {}

qzCacheFileInterface::~qzCacheFileInterface() {
    if (!m_accessor) return;
    // A worker still running holds its own reference and keeps the accessor alive until it
    // leaves its loop; it only leaves once told to stop, and after this nobody else could.
    if (m_accessor->isInMultiThreadReadMode()) m_accessor->stopMultiThreadRead();
    m_accessor->unref();
    m_accessor = nullptr;
}

bool qzCacheFileInterface::initFileRead(const char* baseFileName, const char* storageLocation) {
    if (!m_accessor || !baseFileName || !storageLocation) return false;
    if (!m_accessor->readDescriptionFile(fromCaller(baseFileName), fromCaller(storageLocation)))
        return false;
    qzCacheFileIO* reader =
        new qzCacheFileIffIO(qzCacheFileIO::kRead, m_accessor->cacheFormat());
    installFileIO(*m_accessor, reader);
    switch (m_accessor->distribution()) {
    case qzCacheFileAccessor::kOneFile:
        return reader->open(m_accessor->constructDataFilePathForOneFile());
    case qzCacheFileAccessor::kOneFilePerFrame:
        // Every read opens the file of its own time.
        return true;
    default:
        return false;
    }
}

bool qzCacheFileInterface::initFileWrite(const char* storageLocation, const char* baseFileName,
                                         cacheFileFormat format, const char* cacheFormat,
                                         int ticksPerFrame) {
    if (!m_accessor || !storageLocation || !baseFileName || !cacheFormat) return false;
    m_accessor->setStorageLocation(fromCaller(storageLocation));
    m_accessor->setBaseFileName(fromCaller(baseFileName));
    switch (format) {
    case kFormatOneFile:
        m_accessor->setDistribution(qzCacheFileAccessor::kOneFile);
        break;
    case kFormatOneFilePerFrame:
        m_accessor->setDistribution(qzCacheFileAccessor::kOneFilePerFrame);
        break;
    default:
        return false;
    }
    m_accessor->setTimePerFrame(ticksPerFrame);
    const qzString::IString formatString = fromCaller(cacheFormat);
    qzCacheFileIO* writer = new qzCacheFileIffIO(qzCacheFileIO::kWrite, formatString);
    installFileIO(*m_accessor, writer);
    m_accessor->setCacheFormat(formatString);
    if (format == kFormatOneFilePerFrame) return true;
    if (!writer->open(m_accessor->constructDataFilePathForOneFile())) return false;
    return writer->writeHeader(qzString::IString("0.1", 0), 0, 1);
}

bool qzCacheFileInterface::reOpenForWrite() {
    if (!m_accessor) return false;
    qzCacheFileIO* writer = new qzCacheFileIffIO(qzCacheFileIO::kWrite, m_accessor->cacheFormat());
    if (m_accessor->reOpenForWrite(writer)) return true;
    delete writer;
    return false;
}

qzCacheFileInterface::cacheFileFormat qzCacheFileInterface::format() const {
    if (m_accessor && m_accessor->distribution() == qzCacheFileAccessor::kOneFile)
        return kFormatOneFile;
    return kFormatOneFilePerFrame;
}

char* qzCacheFileInterface::baseFileName() const {
    return m_accessor ? toCaller(m_accessor->baseFileName()) : nullptr;
}

char* qzCacheFileInterface::storageLocation() const {
    return m_accessor ? toCaller(m_accessor->storageLocation()) : nullptr;
}

bool qzCacheFileInterface::channelName(unsigned int channel, char** name) const {
    qzString::IString text;
    if (!m_accessor || !name || !m_accessor->channelName(channel, text)) return false;
    return toCaller(text, name);
}

bool qzCacheFileInterface::channelInterpretation(unsigned int channel,
                                                 char** interpretation) const {
    qzString::IString text;
    if (!m_accessor || !interpretation || !m_accessor->channelInterpretation(channel, text))
        return false;
    return toCaller(text, interpretation);
}

bool qzCacheFileInterface::getDataFilePath(unsigned int index, char** path) {
    qzString::IString text;
    if (!m_accessor || !path || !m_accessor->getDataFilePath(index, text)) return false;
    return toCaller(text, path);
}

bool qzCacheFileInterface::addChannel(const char* name, const char* interpretation,
                                      qzCacheData::qzCacheDataType type, unsigned int& index) {
    if (!m_accessor || !name || !interpretation) return false;
    return m_accessor->addChannel(fromCaller(name), fromCaller(interpretation), type, index);
}

bool qzCacheFileInterface::hasChannelByName(const char* name, unsigned int& index) const {
    if (!m_accessor || !name) return false;
    return m_accessor->hasChannelByName(fromCaller(name), index);
}

bool qzCacheFileInterface::addArrayData(unsigned int channel, int time, void* data,
                                        unsigned int length) {
    return m_accessor && m_accessor->addArrayData(channel, time, data, length);
}

void qzCacheFileInterface::beginWriteAtTime(int time) {
    if (m_accessor) m_accessor->beginWriteAtTime(time);
}

void qzCacheFileInterface::endWriteAtTime() {
    if (m_accessor) m_accessor->endWriteAtTime();
}

bool qzCacheFileInterface::endFileWrite() { return m_accessor && m_accessor->endFileWrite(); }

void qzCacheFileInterface::setLiveWrite(bool on, unsigned int minimumIntervalMs) {
    if (!m_accessor) return;
    m_accessor->setLivePublishInterval(minimumIntervalMs);
    m_accessor->setLiveWrite(on);
}

bool qzCacheFileInterface::refresh(bool& changed) {
    changed = false;
    return m_accessor && m_accessor->refresh(changed);
}

bool qzCacheFileInterface::isComplete() const { return !m_accessor || m_accessor->isComplete(); }

bool qzCacheFileInterface::channelDataType(unsigned int channel,
                                           qzCacheData::qzCacheDataType& type) const {
    return m_accessor && m_accessor->channelDataType(channel, type);
}

bool qzCacheFileInterface::channelSamplingRate(unsigned int channel, int& rate) const {
    return m_accessor && m_accessor->channelSamplingRate(channel, rate);
}

bool qzCacheFileInterface::isChannelSamplingRegular(unsigned int channel) const {
    return m_accessor && m_accessor->isChannelSamplingRegular(channel);
}

bool qzCacheFileInterface::getChannelStartTime(unsigned int channel, int& time) const {
    return m_accessor && m_accessor->getChannelStartTime(channel, time);
}

bool qzCacheFileInterface::getChannelEndTime(unsigned int channel, int& time) const {
    return m_accessor && m_accessor->getChannelEndTime(channel, time);
}

std::uint64_t qzCacheFileInterface::numChannels() const {
    return m_accessor ? m_accessor->numChannels() : 0;
}

int qzCacheFileInterface::getTicksPerFrame() const {
    return m_accessor ? m_accessor->getTicksPerFrame() : 0;
}

bool qzCacheFileInterface::getArrayDataAtTime(unsigned int channel, int time, void*& data,
                                              unsigned int& length) {
    // The count goes by value, so it is taken before the accessor resets `length`.
    return m_accessor && m_accessor->getArrayDataAtTime(channel, time, length, data, length);
}

bool qzCacheFileInterface::getArrayLengthAtTime(unsigned int channel, int time,
                                                unsigned int& length) {
    return m_accessor && m_accessor->getArrayLengthAtTime(channel, time, length);
}

std::uint64_t qzCacheFileInterface::getDataCount(unsigned int channel) {
    return m_accessor ? m_accessor->getDataCount(channel) : 0;
}

int qzCacheFileInterface::getDataFileCount() {
    return m_accessor ? m_accessor->getDataFileCount() : 0;
}

bool qzCacheFileInterface::getDataTime(unsigned int channel, unsigned int index, int& time) {
    return m_accessor && m_accessor->getDataTime(channel, index, time);
}

bool qzCacheFileInterface::getNextTimeWithData(int time, int& next) {
    return m_accessor && m_accessor->getNextTimeWithData(time, next);
}

bool qzCacheFileInterface::getNextTimeWithData(unsigned int channel, int time, int& next) {
    return m_accessor && m_accessor->getNextTimeWithData(channel, time, next);
}

void qzCacheFileInterface::setMemoryPreLoadQueueSize(unsigned int size) {
    if (m_accessor) m_accessor->setMemoryPreLoadQueueSize(size);
}

void qzCacheFileInterface::setOptimizeMultiChannelRead(bool on) {
    if (m_accessor) m_accessor->setOptimizeMultiChannelRead(on);
}

bool qzCacheFileInterface::startMultiThreadRead(bool report) {
    return m_accessor && m_accessor->startMultiThreadRead(report);
}

bool qzCacheFileInterface::stopMultiThreadRead() {
    return m_accessor && m_accessor->stopMultiThreadRead();
}

bool qzCacheFileInterface::isInMultiThreadReadMode() {
    return m_accessor && m_accessor->isInMultiThreadReadMode();
}

bool qzCacheFileInterface::copyChannelData(qzCacheFileAccessor& source, unsigned int sourceChannel,
                                           qzCacheFileAccessor& target, unsigned int targetChannel,
                                           int time) {
    return qzCacheFileAccessor::copyChannelData(source, sourceChannel, target, targetChannel, time,
                                                false);
}
