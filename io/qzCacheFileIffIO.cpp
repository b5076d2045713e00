#include "qzCacheFileIffIO.h"
#include "qzCacheFileIffFormat.h"
#include "qzCacheFileIffIOPrivate.h"
#include "qzCacheFileIffTags.h"

#include "qzIffByteOrder.h"
#include "qzIffTag.h"
#include "qzMemoryFileSystem.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

using namespace cacheTags;

namespace {

// Strings up to this size (terminating zero included) are read through a stack buffer.
constexpr std::size_t kStackStringBytes = 0x10000;

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
iff::qzIffTag groupTagOfFile(qzOS::FileSystem& fileSystem, const qzString::IString& fileName) {
    const std::unique_ptr<qzOS::FileHandle> file =
        fileSystem.open(fileName.asMultibyte(0), qzOS::OpenMode::kRead);
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::size_t got = 0;
    if (!file || !file->read(0, bytes, sizeof bytes, got) || got != sizeof bytes) {
        return iff::qzIffTag::kZERO;
    }
    const iff::qzIffTag tag = iff::qzIffTag::fromBytes(bytes);
    if (tag == iff::qzIffTag::kFOR4 || tag == iff::qzIffTag::kFOR8) {
        return tag;
    }
    return iff::qzIffTag::kZERO;
}

std::unique_ptr<iff::qzIffFile> createIffFile(qzOS::FileSystem& fileSystem, const iff::qzIffTag& groupTag,
                                              bool allowDefault) {
    if (groupTag == iff::qzIffTag::kFOR4) {
        return std::make_unique<iff::qzIffFile4>(fileSystem);
    }
    if (groupTag == iff::qzIffTag::kFOR8 || allowDefault) {
        return std::make_unique<iff::qzIffFile8>(fileSystem);
    }
    return nullptr;
}

}  // namespace

qzCacheFileIffIO::qzCacheFileIffIO(qzCacheFileAccess access, const qzString::IString& cacheFormat)
    : qzCacheFileIO(access), m_private(new qzCacheFileIffIOPrivate(qzOS::defaultFileSystem())) {
    m_private->cacheFormat = cacheFormat;
    m_private->file = createIffFile(*m_private->fileSystem, groupTagOfFormat(cacheFormat), false);
}

qzCacheFileIffIO::~qzCacheFileIffIO() {
    // Not through the virtual table: a derived part is already gone here.
    qzCacheFileIffIO::close();
    m_private->dropParked();
}

void qzUseFileSystem(qzCacheFileIffIO& io, qzOS::FileSystem& fileSystem) {
    io.close();
    qzCacheFileIffIOPrivate& state = qzCacheFileIffIOPrivate::of(io);
    state.fileSystem = &fileSystem;
    state.file = createIffFile(fileSystem, groupTagOfFormat(state.cacheFormat), false);
}

std::unique_ptr<qzCacheFileIffIO> qzCreateIffIO(qzCacheFileIO::qzCacheFileAccess access,
                                                const qzString::IString& cacheFormat,
                                                qzOS::FileSystem& fileSystem) {
    std::unique_ptr<qzCacheFileIffIO> io(new qzCacheFileIffIO(access, cacheFormat));
    qzUseFileSystem(*io, fileSystem);
    return io;
}

std::unique_ptr<qzCacheFileIffIO> qzCreateIffReaderOfBytes(const void* bytes, std::size_t size,
                                                           const qzString::IString& name,
                                                           const qzString::IString& cacheFormat) {
    auto files = std::make_unique<qzOS::MemoryFileSystem>();
    files->addView(name.asUTF8(), bytes, size);
    std::unique_ptr<qzCacheFileIffIO> io = qzCreateIffIO(qzCacheFileIO::kRead, cacheFormat, *files);
    qzCacheFileIffIOPrivate::of(*io).ownFileSystem = std::move(files);
    return io;
}

void qzCacheFileIffIOPrivate::takeGrowth() {
    if (file && file->takeGrowth() && index.valid && qzString::equal(index.fileName, fileName)) {
        index.fileLength = file->length();
    }
}

void qzCacheFileIffIOPrivate::forgetFile() {
    index = GroupIndex();
    resetRecords(nullptr);
    lastEntered = EnteredGroup();
    firstChunk = ChunkEntry();
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
    qzCacheFileIffIOPrivate& state = *m_private;
    if (m_accessMode == kRead && state.parked.holdsFile && state.reopenParked(*this, fileName)) {
        return true;
    }
    state.dropParked();
    state.fileName = fileName;
    state.headerRead = false;
    state.firstChunk = qzCacheFileIffIOPrivate::ChunkEntry();
    if (!state.file) {
        state.file = createIffFile(*state.fileSystem, groupTagOfFile(*state.fileSystem, fileName), true);
        if (!state.file) {
            return false;
        }
    }
    iff::qzIffFile& file = *state.file;
    const char* name = fileName.asMultibyte(0);
    switch (m_accessMode) {
    case kWrite:
        file.open(name, "w", 0, 0);
        break;
    case kReadWrite:
        if (file.open(name, "r+", 0, 0) && file.isActive()) {
            file.seek(0, 2);
        }
        break;
    case kRead:
    default:
        file.open(name, "r", 0, 0);
        break;
    }
    if (!file.isActive()) {
        return false;
    }
    if (m_accessMode != kRead) {
        state.resetGroupIndex(false);
        return true;
    }
    state.readLittleAheadIntoKnownFile();
    const bool ok = readHeader();
    state.resetGroupIndex(ok);
    state.headerRead = ok;
    return ok;
}

bool qzCacheFileIffIOPrivate::reopenParked(qzCacheFileIffIO& io, const qzString::IString& name) {
    bool modified = false;
    if (!qzString::equal(parked.fileName, name) || !parked.file->restartRead(modified) || modified) {
        return false;
    }
    // The same bytes as when the header was read: it stands as read then.
    std::swap(file, parked.file);
    parked.holdsFile = false;
    fileName = name;
    headerRead = true;
    io.setStartTime(parked.startTime);
    io.setEndTime(parked.endTime);
    io.setVersion(parked.version);
    iff::ReadPosition first;
    first.offset = index.first;
    if (index.valid && qzString::equal(index.fileName, name) && index.fileLength == file->length() &&
        file->seek(first)) {
        return true;
    }
    const bool ok = io.readHeader();
    resetGroupIndex(ok);
    headerRead = ok;
    return ok;
}

void qzCacheFileIffIOPrivate::dropParked() {
    if (parked.holdsFile) {
        parked.file->close();
        parked.holdsFile = false;
    }
}

void qzCacheFileIffIO::close() {
    qzCacheFileIffIOPrivate& state = *m_private;
    if (!state.file || !state.file->isActive()) {
        return;
    }
    if (m_accessMode != kRead || !state.headerRead) {
        state.file->close();
        return;
    }
    state.dropParked();
    qzCacheFileIffIOPrivate::Parked& parked = state.parked;
    if (!parked.file) {
        parked.file = createIffFile(*state.fileSystem, state.file->getTag(iff::qzIffFile::kGroupTag), true);
    }
    std::swap(state.file, parked.file);
    parked.holdsFile = true;
    parked.fileName = state.fileName;
    parked.startTime = m_startTime;
    parked.endTime = m_endTime;
    parked.version = m_version;
    state.headerRead = false;
}

bool qzCacheFileIffIO::isValid() { return m_private->file && m_private->file->isActive(); }

bool qzCacheFileIffIO::readHeader() {
    if (m_accessMode == kWrite || !isValid()) {
        return false;
    }
    iff::qzIffFile& file = *m_private->file;
    iff::qzIffTag groupTag;
    iff::qzIffTag type;
    if (file.beginReadGroup(groupTag, type) != 0 || type != kCACH) {
        return false;
    }
    qzString::IString version;
    readIstring(kVRSN, version);
    setVersion(version);

    iff::qzIffTag tag;
    unsigned int size = 0;
    const void* data = file.getChunk(tag, &size);
    if (data == nullptr || tag != kSTIM || size != 4) {
        return false;
    }
    setStartTime(iff::loadI32BE(data));
    data = file.getChunk(tag, &size);
    if (data == nullptr || tag != kETIM || size != 4) {
        return false;
    }
    setEndTime(iff::loadI32BE(data));
    file.endReadGroup();
    return true;
}

bool qzCacheFileIffIO::writeHeader(qzString::IString version, int startTime, int endTime) {
    iff::qzIffFile* file = m_private->file.get();
    if (!file) {
        return false;
    }
    file->beginWriteGroup(file->getTag(iff::qzIffFile::kGroupTag), kCACH);
    writeIstring(kVRSN, version);
    unsigned char bytes[4];
    iff::storeI32BE(bytes, startTime);
    file->putChunk(kSTIM, 4, bytes);
    iff::storeI32BE(bytes, endTime);
    file->putChunk(kETIM, 4, bytes);
    file->endWriteGroup();
    // Handed over at once, so that a file that cannot be written (a full disk) shows here.
    return file->flush();
}

void qzCacheFileIffIO::beginWriteChunk() { writeTag(kKLCH); }

void qzCacheFileIffIO::endWriteChunk() {
    if (m_private->file) {
        m_private->file->endWriteGroup();
    }
}

bool qzCacheFileIffIO::beginReadChunk() { return m_private->enterChunk(); }

bool qzCacheFileIffIOPrivate::enterChunk() {
    if (!file) {
        return false;
    }
    const iff::ReadPosition here = file->position();
    if (firstChunk.valid && index.valid && here.depth == 0 && here.offset == firstChunk.from &&
        file->seek(firstChunk.body)) {
        return true;
    }
    std::uint64_t start = 0;
    if (!findTagAt(kKLCH, start)) {
        return false;
    }
    if (here.depth == 0 && start == here.offset && index.valid) {
        firstChunk.from = here.offset;
        firstChunk.body = file->position();
        firstChunk.valid = true;
    }
    return true;
}

void qzCacheFileIffIO::endReadChunk() {
    if (m_private->file) {
        m_private->file->endReadGroup();
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

bool qzReadChannelNameUtf8(qzCacheFileIO& reader, std::string& name) {
    // Exactly ours: a host's class derived from it keeps its own readChannelName.
    if (typeid(reader) == typeid(qzCacheFileIffIO)) {
        auto* ours = static_cast<qzCacheFileIffIO*>(&reader);
        qzCacheFileIffIOPrivate& state = qzCacheFileIffIOPrivate::of(*ours);
        return state.file && state.readName(name);
    }
    qzString::IString text;
    if (!reader.readChannelName(text)) return false;
    name = text.utf8();
    return true;
}

bool qzCacheFileIffIO::rewind() {
    if (!isValid()) {
        return false;
    }
    qzCacheFileIffIOPrivate& state = *m_private;
    // Asked for by the caller, a rewind looks at the file again: no group is entered again
    // on what was read before it.
    state.lastEntered = qzCacheFileIffIOPrivate::EnteredGroup();
    state.firstChunk = qzCacheFileIffIOPrivate::ChunkEntry();
    // A reader on a file that is unchanged in name and length starts over without closing
    // it. The header is read again when the file was modified since (damaged in place, say);
    // otherwise the reader goes straight to where the time groups begin. Anything else, and
    // a header that no longer reads, takes the reopen.
    bool modified = false;
    if (m_accessMode == kRead && state.file->restartRead(modified)) {
        iff::ReadPosition first;
        first.offset = state.index.first;
        if (!modified && state.index.valid && state.file->seek(first)) {
            return true;
        }
        if (readHeader()) {
            state.resetGroupIndex(true);
            return true;
        }
    }
    // Not kept on close: the file under the name is another, or its header no longer reads.
    state.headerRead = false;
    close();
    return open(state.fileName);
}

qzString::IString qzCacheFileIffIO::extension() { return qzIffDataFileExtension(m_private->cacheFormat); }

int qzCacheFileIffIO::readInt32() {
    int value = 0;
    return readInt32WithTag(kINT3, value) ? value : 0;
}

bool qzCacheFileIffIO::writeInt32(int value) { return writeInt32WithTag(kINT3, value); }

bool qzCacheFileIffIO::hasWriteError() const {
    return m_private->file && m_private->file->hasWriteError();
}

bool qzCacheFileIffIO::flush() { return m_private->file && m_private->file->flush(); }

void qzCacheFileIffIO::takeGrowth() { m_private->takeGrowth(); }

const char* qzCacheFileIffIO::lastError() const {
    const iff::qzIffFile* file = m_private->lastFile();
    return file ? file->lastError().c_str() : "";
}

qzCacheFileIffIO::qzReadDamage qzCacheFileIffIO::readDamage(std::uint64_t& offset) const {
    const iff::qzIffFile* file = m_private->lastFile();
    if (!file || file->readDamage() == iff::qzIffFile::ReadDamage::kNone) {
        return kNotDamaged;
    }
    offset = file->readDamageOffset();
    return file->readDamage() == iff::qzIffFile::ReadDamage::kTruncated ? kTruncatedFile : kCorruptFile;
}

bool qzCacheFileIffIO::findTag(const iff::qzIffTag& type) {
    std::uint64_t start = 0;
    return m_private->findTagAt(type, start);
}

bool qzCacheFileIffIO::nextTag() {
    if (!m_private->file) {
        return false;
    }
    iff::qzIffTag groupTag;
    iff::qzIffTag groupType;
    return m_private->file->beginReadGroup(groupTag, groupType) == 0;
}

bool qzCacheFileIffIO::writeTag(const iff::qzIffTag& type) {
    iff::qzIffFile* file = m_private->file.get();
    if (!file) {
        return false;
    }
    file->beginWriteGroup(file->getTag(iff::qzIffFile::kGroupTag), type);
    return m_private->writesOk();
}

bool qzCacheFileIffIO::readIstring(const iff::qzIffTag& tag, qzString::IString& text) {
    iff::qzIffFile* file = m_private->file.get();
    if (!file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    if (file->beginGet(chunkTag, &size) != 0) {
        return false;
    }
    // An empty chunk holds not even the terminating zero: never taken for a string.
    if (size == 0 || chunkTag != tag) {
        file->endGet();
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(size) + 1;
    bool ok = false;
    if (bytes <= kStackStringBytes) {
        char buffer[kStackStringBytes];
        if (file->getString(buffer, static_cast<int>(size)) != nullptr) {
            text.assign(buffer, 1);
            ok = true;
        }
    } else if (size <= 0x7FFFFFFFu) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[bytes]);
        if (buffer && file->getString(buffer.get(), static_cast<int>(size)) != nullptr) {
            text.assign(buffer.get(), 1);
            ok = true;
        }
    }
    file->endGet();
    return ok;
}

bool qzCacheFileIffIO::writeIstring(const iff::qzIffTag& tag, const qzString::IString& text) {
    iff::qzIffFile* file = m_private->file.get();
    if (!file) {
        return false;
    }
    // Stored with its terminating zero, as putString would.
    const char* bytes = text.asUTF8();
    const std::size_t length = std::strlen(bytes);
    if (length < 0xFFFFFFFFu) {
        file->putChunk(tag, static_cast<unsigned int>(length + 1), bytes);
    } else {
        // Refused there, with its message.
        file->beginPut(tag);
        file->putString(bytes);
        file->endPut();
    }
    return m_private->writesOk();
}

namespace {

bool readU32WithTag(iff::qzIffFile* file, const iff::qzIffTag& tag, unsigned int& value) {
    if (!file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    const void* data = file->getChunk(chunkTag, &size);
    if (data == nullptr || chunkTag != tag || size != 4) {
        return false;
    }
    value = iff::loadU32BE(data);
    return true;
}

}  // namespace

bool qzCacheFileIffIO::readInt32WithTag(const iff::qzIffTag& tag, int& value) {
    unsigned int bits = 0;
    if (!readU32WithTag(m_private->file.get(), tag, bits)) {
        return false;
    }
    unsigned char bytes[4];
    iff::storeU32BE(bytes, bits);
    value = iff::loadI32BE(bytes);
    return true;
}

bool qzCacheFileIffIO::writeInt32WithTag(const iff::qzIffTag& tag, int value) {
    if (!m_private->file) {
        return false;
    }
    unsigned char bytes[4];
    iff::storeI32BE(bytes, value);
    m_private->file->putChunk(tag, 4, bytes);
    return m_private->writesOk();
}

bool qzCacheFileIffIO::readbool(bool& value) {
    if (!m_private->file) {
        return false;
    }
    iff::qzIffTag tag;
    unsigned int size = 0;
    const void* data = m_private->file->getChunk(tag, &size);
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
    if (!m_private->file) {
        return false;
    }
    const unsigned char byte = value ? 'T' : 'F';
    m_private->file->putChunk(kBOOL, 1, &byte);
    return m_private->writesOk();
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


template <typename T>
bool writeArray(qzCacheFileIffIOPrivate& state, const iff::qzIffTag& tag, const T* data,
                unsigned int count, unsigned int componentsPerElement) {
    if (!state.file || (data == nullptr && count != 0)) {
        return false;
    }
    const std::uint64_t components = static_cast<std::uint64_t>(count) * componentsPerElement;
    const std::uint64_t byteSize = components * sizeof(T);
    // The chunk size is an unsigned 32-bit number: larger arrays are refused whole.
    if (byteSize > 0xFFFFFFFFu) {
        return false;
    }
    iff::qzIffFile::ChunkSpace record[2];
    record[0].tag = kSIZE;
    record[0].size = 4;
    record[1].tag = tag;
    record[1].size = static_cast<std::uint32_t>(byteSize);
    // Both or neither: without memory for the array its count is not written either.
    if (!state.file->putChunksInPlace(record, 2)) {
        return false;
    }
    iff::storeU32BE(record[0].data, count);
    // Reversed straight into the container's write buffer.
    reverseComponents<T>(record[1].data, data, static_cast<std::size_t>(components));
    return state.writesOk();
}

template <typename T>
bool readArray(iff::qzIffFile* file, const iff::qzIffTag& tag, T* data, unsigned int count,
               unsigned int componentsPerElement) {
    if (!file) {
        return false;
    }
    iff::qzIffTag chunkTag;
    unsigned int size = 0;
    if (file->beginGet(chunkTag, &size) != 0) {
        return false;
    }
    const std::uint64_t components = static_cast<std::uint64_t>(count) * componentsPerElement;
    // The bytes go straight into the caller's array and are turned around there: one pass
    // over the frame fewer than through a buffer of our own.
    const bool read = size == components * sizeof(T) && chunkTag == tag &&
        (data != nullptr || count == 0) && file->getBytes(data, size);
    file->endGet();
    if (read) {
        reverseComponents<T>(data, data, static_cast<std::size_t>(components));
    }
    return read;
}

}  // namespace

unsigned int qzCacheFileIffIO::readArraySize() {
    unsigned int count = 0;
    return readU32WithTag(m_private->file.get(), kSIZE, count) ? count : 0;
}

bool qzCacheFileIffIO::writeDoubleArray(const double* data, unsigned int count) {
    return writeArray(*m_private, kDBLA, data, count, 1);
}

bool qzCacheFileIffIO::readDoubleArray(double* data, unsigned int count) {
    return readArray(m_private->file.get(), kDBLA, data, count, 1);
}

bool qzCacheFileIffIO::writeFloatArray(const float* data, unsigned int count) {
    return writeArray(*m_private, kFBCA, data, count, 1);
}

bool qzCacheFileIffIO::readInt32Array(int* data, unsigned int count) {
    return readArray(m_private->file.get(), kINTA, data, count, 1);
}

bool qzCacheFileIffIO::writeInt32Array(const int* data, unsigned int count) {
    return writeArray(*m_private, kINTA, data, count, 1);
}

bool qzCacheFileIffIO::readFloatArray(float* data, unsigned int count) {
    return readArray(m_private->file.get(), kFBCA, data, count, 1);
}

bool qzCacheFileIffIO::writeDoubleVectorArray(const double* data, unsigned int count) {
    return writeArray(*m_private, kDVCA, data, count, 3);
}

bool qzCacheFileIffIO::readDoubleVectorArray(double* data, unsigned int count) {
    return readArray(m_private->file.get(), kDVCA, data, count, 3);
}

bool qzCacheFileIffIO::writeFloatVectorArray(const float* data, unsigned int count) {
    return writeArray(*m_private, kFVCA, data, count, 3);
}

bool qzCacheFileIffIO::readFloatVectorArray(float* data, unsigned int count) {
    return readArray(m_private->file.get(), kFVCA, data, count, 3);
}
