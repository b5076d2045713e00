#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffFormat.h"
#include "qzCacheFileIffTags.h"

#include "qzFileSystem.h"
#include "qzIffByteOrder.h"
#include "qzIffFile.h"
#include "qzIffTag.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace cacheTags;

namespace {

// Strings up to this size (terminating zero included) are read through a stack buffer.
constexpr std::size_t kStackStringBytes = 0x10000;
// Room for a "SIZE" chunk and the header and padding of the array chunk after it.
constexpr std::size_t kArrayRecordOverhead = 64;

const qzString::IString& formatKcc() {
    static const qzString::IString format("kcc", 0);
    return format;
}

const qzString::IString& formatKcx() {
    static const qzString::IString format("kcx", 0);
    return format;
}

iff::qzIffTag groupTagOfFormat(const qzString::IString& cacheFormat) {
    if (qzString::equal(cacheFormat, formatKcc())) {
        return iff::qzIffTag::kFOR4;
    }
    if (qzString::equal(cacheFormat, formatKcx())) {
        return iff::qzIffTag::kFOR8;
    }
    return iff::qzIffTag::kZERO;
}

// The group tag an existing file begins with; kZERO for anything else.
iff::qzIffTag groupTagOfFile(const qzString::IString& fileName) {
    std::FILE* file = qzOS::openFile(fileName.asMultibyte(0), "rb");
    if (file == nullptr) {
        return iff::qzIffTag::kZERO;
    }
    unsigned char bytes[4] = {0, 0, 0, 0};
    const std::size_t got = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    if (got != sizeof bytes) {
        return iff::qzIffTag::kZERO;
    }
    const iff::qzIffTag tag = iff::qzIffTag::fromBytes(bytes);
    if (tag == iff::qzIffTag::kFOR4 || tag == iff::qzIffTag::kFOR8) {
        return tag;
    }
    return iff::qzIffTag::kZERO;
}

std::unique_ptr<iff::qzIffFile> createIffFile(const iff::qzIffTag& groupTag, bool allowDefault) {
    if (groupTag == iff::qzIffTag::kFOR4) {
        return std::make_unique<iff::qzIffFile4>();
    }
    if (groupTag == iff::qzIffTag::kFOR8 || allowDefault) {
        return std::make_unique<iff::qzIffFile8>();
    }
    return nullptr;
}

}  // namespace

qzCacheFileIffIO::qzCacheFileIffIO(qzCacheFileAccess access, const qzString::IString& cacheFormat)
    : qzCacheFileIO(access),
      m_file(createIffFile(groupTagOfFormat(cacheFormat), false)),
      m_cacheFormat(cacheFormat) {}

qzCacheFileIffIO::~qzCacheFileIffIO() {
    // Not through the virtual table: a derived part is already gone here.
    qzCacheFileIffIO::close();
}

bool qzCacheFileIffIO::open(const qzString::IString& fileName) {
    if (fileName.length() == 0) {
#ifndef NDEBUG
        // The message hosts have always seen for this programming error; kept word for word.
        std::fputs("Components\\Middleware\\qzCache\\qzCacheFileIffIO:133 assertion failed "
                   "((fileName.length() > 0))\n",
            stderr);
        std::fflush(stderr);
        std::abort();
#else
        return false;
#endif
    }
    m_fileName = fileName;
    if (!m_file) {
        m_file = createIffFile(groupTagOfFile(fileName), true);
        if (!m_file) {
            return false;
        }
    }
    const char* name = fileName.asMultibyte(0);
    switch (m_accessMode) {
    case kWrite:
        m_file->open(name, "w", 0, 0);
        break;
    case kReadWrite:
        if (m_file->open(name, "r+", 0, 0) && m_file->isActive()) {
            m_file->seek(0, 2);
        }
        break;
    case kRead:
    default:
        m_file->open(name, "r", 0, 0);
        break;
    }
    if (!m_file->isActive()) {
        return false;
    }
    if (m_accessMode != kRead) {
        resetGroupIndex(false);
        return true;
    }
    limitReadAheadOfKnownFile();
    const bool ok = readHeader();
    resetGroupIndex(ok);
    return ok;
}

void qzCacheFileIffIO::close() {
    if (m_file && m_file->isActive()) {
        m_file->close();
    }
}

bool qzCacheFileIffIO::isValid() { return m_file && m_file->isActive(); }

bool qzCacheFileIffIO::readHeader() {
    if (m_accessMode == kWrite || !isValid()) {
        return false;
    }
    iff::qzIffTag groupTag;
    iff::qzIffTag type;
    if (m_file->beginReadGroup(groupTag, type) != 0 || type != kCACH) {
        return false;
    }
    qzString::IString version;
    readIstring(kVRSN, version);
    setVersion(version);

    iff::qzIffTag tag;
    unsigned int size = 0;
    const void* data = m_file->getChunk(tag, &size);
    if (data == nullptr || tag != kSTIM || size != 4) {
        return false;
    }
    setStartTime(iff::loadI32BE(data));
    data = m_file->getChunk(tag, &size);
    if (data == nullptr || tag != kETIM || size != 4) {
        return false;
    }
    setEndTime(iff::loadI32BE(data));
    m_file->endReadGroup();
    return true;
}

bool qzCacheFileIffIO::writeHeader(qzString::IString version, int startTime, int endTime) {
    if (!m_file) {
        return false;
    }
    m_file->beginWriteGroup(m_file->getTag(iff::qzIffFile::kGroupTag), kCACH);
    writeIstring(kVRSN, version);
    unsigned char bytes[4];
    iff::storeI32BE(bytes, startTime);
    m_file->putChunk(kSTIM, 4, bytes);
    iff::storeI32BE(bytes, endTime);
    m_file->putChunk(kETIM, 4, bytes);
    m_file->endWriteGroup();
    // Handed over at once, so that a file that cannot be written (a full disk) shows here.
    return m_file->flush();
}

void qzCacheFileIffIO::beginWriteChunk() { writeTag(kKLCH); }

void qzCacheFileIffIO::endWriteChunk() {
    if (m_file) {
        m_file->endWriteGroup();
    }
}

bool qzCacheFileIffIO::beginReadChunk() { return findTag(kKLCH); }

void qzCacheFileIffIO::endReadChunk() {
    if (m_file) {
        m_file->endReadGroup();
    }
}

bool qzCacheFileIffIO::writeTime(int time) { return writeInt32WithTag(kTIME, time); }

bool qzCacheFileIffIO::readTime(int& time) { return readInt32WithTag(kTIME, time); }

bool qzCacheFileIffIO::readNextTime(int& time) { return readTime(time); }

bool qzCacheFileIffIO::writeChannelName(const qzString::IString& name) {
    return writeIstring(kCHNM, name);
}

bool qzCacheFileIffIO::readChannelName(qzString::IString& name) {
    return readIstring(kCHNM, name);
}

bool qzCacheFileIffIO::rewind() {
    if (!isValid()) {
        return false;
    }
    // Asked for by the caller, a rewind looks at the file again: no group is entered again
    // on what was read before it.
    m_lastEntered = EnteredGroup();
    // A reader on a file that is unchanged in name and length starts over without closing
    // it. The header is read again when the file was modified since (damaged in place, say);
    // otherwise the reader goes straight to where the time groups begin. Anything else, and
    // a header that no longer reads, takes the reopen.
    const std::uint64_t headerBytes = m_index.valid ? m_index.first : 0;
    bool unmodified = false;
    if (m_accessMode == kRead &&
        m_file->restartRead(m_fileName.asMultibyte(0), headerBytes, unmodified)) {
        if (unmodified && m_index.valid && m_file->seekTo(m_index.first) == 0) {
            return true;
        }
        if (readHeader()) {
            resetGroupIndex(true);
            return true;
        }
    }
    close();
    return open(m_fileName);
}

qzString::IString qzCacheFileIffIO::extension() { return qzIffDataFileExtension(m_cacheFormat); }

int qzCacheFileIffIO::readInt32() {
    int value = 0;
    return readInt32WithTag(kINT3, value) ? value : 0;
}

bool qzCacheFileIffIO::writeInt32(int value) { return writeInt32WithTag(kINT3, value); }

bool qzCacheFileIffIO::hasWriteError() const { return m_file && m_file->hasWriteError(); }

bool qzCacheFileIffIO::flush() { return m_file && m_file->flush(); }

const char* qzCacheFileIffIO::lastError() const {
    return m_file ? m_file->lastError().c_str() : "";
}

qzCacheFileIffIO::qzReadDamage qzCacheFileIffIO::readDamage(std::uint64_t& offset) const {
    if (!m_file || m_file->readDamage() == iff::qzIffFile::ReadDamage::kNone) {
        return kNotDamaged;
    }
    offset = m_file->readDamageOffset();
    return m_file->readDamage() == iff::qzIffFile::ReadDamage::kTruncated ? kTruncatedFile : kCorruptFile;
}

bool qzCacheFileIffIO::writesOk() const { return m_file && !m_file->hasWriteError(); }

bool qzCacheFileIffIO::findTag(const iff::qzIffTag& type) {
    std::uint64_t start = 0;
    return findTagAt(type, start);
}

bool qzCacheFileIffIO::findTagAt(const iff::qzIffTag& type, std::uint64_t& start) {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag groupTag;
    iff::qzIffTag groupType;
    for (;;) {
        start = m_file->tell();
        if (m_file->beginReadGroup(groupTag, groupType) != 0) {
            return false;
        }
        if (groupType == type) {
            return true;
        }
        m_file->endReadGroup();
    }
}

bool qzCacheFileIffIO::nextTag() {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag groupTag;
    iff::qzIffTag groupType;
    return m_file->beginReadGroup(groupTag, groupType) == 0;
}

bool qzCacheFileIffIO::writeTag(const iff::qzIffTag& type) {
    if (!m_file) {
        return false;
    }
    m_file->beginWriteGroup(m_file->getTag(iff::qzIffFile::kGroupTag), type);
    return writesOk();
}

bool qzCacheFileIffIO::readIstring(const iff::qzIffTag& tag, qzString::IString& text) {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    if (m_file->beginGet(chunkTag, &size) != 0) {
        return false;
    }
    // An empty chunk holds not even the terminating zero: never taken for a string.
    if (size == 0 || chunkTag != tag) {
        m_file->endGet();
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(size) + 1;
    bool ok = false;
    if (bytes <= kStackStringBytes) {
        char buffer[kStackStringBytes];
        if (m_file->getString(buffer, static_cast<int>(size)) != nullptr) {
            text.assign(buffer, 1);
            ok = true;
        }
    } else if (size <= 0x7FFFFFFFu) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[bytes]);
        if (buffer && m_file->getString(buffer.get(), static_cast<int>(size)) != nullptr) {
            text.assign(buffer.get(), 1);
            ok = true;
        }
    }
    m_file->endGet();
    return ok;
}

bool qzCacheFileIffIO::writeIstring(const iff::qzIffTag& tag, const qzString::IString& text) {
    if (!m_file) {
        return false;
    }
    // Stored with its terminating zero, as putString would.
    const char* bytes = text.asUTF8();
    const std::size_t length = std::strlen(bytes);
    if (length < 0xFFFFFFFFu) {
        m_file->putChunk(tag, static_cast<unsigned int>(length + 1), bytes);
    } else {
        // Refused there, with its message.
        m_file->beginPut(tag);
        m_file->putString(bytes);
        m_file->endPut();
    }
    return writesOk();
}

bool qzCacheFileIffIO::readU32WithTag(const iff::qzIffTag& tag, unsigned int& value) {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    const void* data = m_file->getChunk(chunkTag, &size);
    if (data == nullptr || chunkTag != tag || size != 4) {
        return false;
    }
    value = iff::loadU32BE(data);
    return true;
}

bool qzCacheFileIffIO::readInt32WithTag(const iff::qzIffTag& tag, int& value) {
    unsigned int bits = 0;
    if (!readU32WithTag(tag, bits)) {
        return false;
    }
    unsigned char bytes[4];
    iff::storeU32BE(bytes, bits);
    value = iff::loadI32BE(bytes);
    return true;
}

bool qzCacheFileIffIO::writeInt32WithTag(const iff::qzIffTag& tag, int value) {
    if (!m_file) {
        return false;
    }
    unsigned char bytes[4];
    iff::storeI32BE(bytes, value);
    m_file->putChunk(tag, 4, bytes);
    return writesOk();
}

bool qzCacheFileIffIO::readbool(bool& value) {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag tag;
    unsigned int size = 0;
    const void* data = m_file->getChunk(tag, &size);
    if (data == nullptr || tag != kBOOL || size != 1) {
        return false;
    }
    const unsigned char byte = *static_cast<const unsigned char*>(data);
    if (byte != 'T' && byte != 'F') {
        return false;
    }
    value = byte == 'T';
    return true;
}

bool qzCacheFileIffIO::writebool(bool value) {
    if (!m_file) {
        return false;
    }
    const unsigned char byte = value ? 'T' : 'F';
    m_file->putChunk(kBOOL, 1, &byte);
    return writesOk();
}

// Arrays: a "SIZE" chunk with the element count, then the components, each big-endian.

namespace {

template <typename T>
void reverseComponents(void* dst, const void* src, std::size_t components) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "only 4- and 8-byte components");
    if (components == 0) {
        return;
    }
    if (sizeof(T) == 4) {
        iff::reverseCopy32(dst, src, components);
    } else {
        iff::reverseCopy64(dst, src, components);
    }
}

}  // namespace

template <typename T>
bool qzCacheFileIffIO::writeArray(const iff::qzIffTag& tag, const T* data, unsigned int count,
    unsigned int componentsPerElement) {
    if (!m_file || (data == nullptr && count != 0)) {
        return false;
    }
    const std::uint64_t components = static_cast<std::uint64_t>(count) * componentsPerElement;
    const std::uint64_t byteSize = components * sizeof(T);
    // The chunk size is an unsigned 32-bit number: larger arrays are refused whole.
    if (byteSize > 0xFFFFFFFFu) {
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(byteSize);
    // Memory for the whole record first: without it nothing is written.
    if (!m_file->reserveWrite(bytes + kArrayRecordOverhead)) {
        return false;
    }
    if (unsigned char* countBytes = m_file->putChunkInPlace(kSIZE, 4)) {
        iff::storeU32BE(countBytes, count);
    }
    // Reversed straight into the container's write buffer.
    unsigned char* payload = m_file->putChunkInPlace(tag, static_cast<std::uint32_t>(bytes));
    if (payload != nullptr) {
        reverseComponents<T>(payload, data, static_cast<std::size_t>(components));
    }
    return writesOk();
}

template <typename T>
bool qzCacheFileIffIO::readArray(const iff::qzIffTag& tag, T* data, unsigned int count,
    unsigned int componentsPerElement) {
    if (!m_file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    if (m_file->beginGet(chunkTag, &size) != 0) {
        return false;
    }
    const std::uint64_t components = static_cast<std::uint64_t>(count) * componentsPerElement;
    // The bytes go straight into the caller's array and are turned around there: one pass
    // over the frame fewer than through a buffer of our own.
    const bool read = size == components * sizeof(T) && chunkTag == tag &&
        (data != nullptr || count == 0) && m_file->getBytes(data, size);
    m_file->endGet();
    if (read) {
        reverseComponents<T>(data, data, static_cast<std::size_t>(components));
    }
    return read;
}

unsigned int qzCacheFileIffIO::readArraySize() {
    unsigned int count = 0;
    return readU32WithTag(kSIZE, count) ? count : 0;
}

bool qzCacheFileIffIO::writeDoubleArray(const double* data, unsigned int count) {
    return writeArray(kDBLA, data, count, 1);
}

bool qzCacheFileIffIO::readDoubleArray(double* data, unsigned int count) {
    return readArray(kDBLA, data, count, 1);
}

bool qzCacheFileIffIO::writeFloatArray(const float* data, unsigned int count) {
    return writeArray(kFBCA, data, count, 1);
}

bool qzCacheFileIffIO::readInt32Array(int* data, unsigned int count) {
    return readArray(kINTA, data, count, 1);
}

bool qzCacheFileIffIO::writeInt32Array(const int* data, unsigned int count) {
    return writeArray(kINTA, data, count, 1);
}

bool qzCacheFileIffIO::readFloatArray(float* data, unsigned int count) {
    return readArray(kFBCA, data, count, 1);
}

bool qzCacheFileIffIO::writeDoubleVectorArray(const double* data, unsigned int count) {
    return writeArray(kDVCA, data, count, 3);
}

bool qzCacheFileIffIO::readDoubleVectorArray(double* data, unsigned int count) {
    return readArray(kDVCA, data, count, 3);
}

bool qzCacheFileIffIO::writeFloatVectorArray(const float* data, unsigned int count) {
    return writeArray(kFVCA, data, count, 3);
}

bool qzCacheFileIffIO::readFloatVectorArray(float* data, unsigned int count) {
    return readArray(kFVCA, data, count, 3);
}
