#include "qzIffFile.h"

#include "qzIffByteOrder.h"

#include <algorithm>
#include <cstring>

namespace iff {

qzIffFile::qzIffFile(const qzIffTag& groupTag, unsigned sizeFieldBytes, unsigned alignment,
                     qzOS::FileSystem& fileSystem)
    : m_groupTag(groupTag), m_sizeFieldBytes(sizeFieldBytes), m_alignment(alignment),
      m_fileSystem(fileSystem) {}

qzIffFile::~qzIffFile() {
    close();
}

qzIffFile4::qzIffFile4(qzOS::FileSystem& fileSystem) : qzIffFile(qzIffTag::kFOR4, 4, 4, fileSystem) {}

qzIffFile8::qzIffFile8(qzOS::FileSystem& fileSystem) : qzIffFile(qzIffTag::kFOR8, 8, 8, fileSystem) {}

// ---------------------------------------------------------------------------------------
// Opening and positioning

bool qzIffFile::open(const char* name, const char* mode, long, long) {
    if (isActive()) {
        close();
    }
    resetState();
    m_writeError = false;
    m_readDamage = ReadDamage::kNone;
    m_lastError.clear();

    const std::string modeText = mode != nullptr ? mode : "";
    qzOS::OpenMode openMode = qzOS::OpenMode::kRead;
    if (modeText == "w") {
        openMode = qzOS::OpenMode::kCreate;
    } else if (modeText == "r+") {
        openMode = qzOS::OpenMode::kReadWrite;
    } else if (modeText != "r") {
        m_lastError = "unsupported open mode \"" + modeText + "\"";
        return false;
    }
    const std::string shownName = name != nullptr ? name : "";
    m_file = m_fileSystem.open(name, openMode);
    if (!m_file) {
        m_lastError = "cannot open \"" + shownName + "\"";
        return false;
    }
    qzOS::FileStatus status;
    if (!m_file->status(status)) {
        m_file->close();
        m_file.reset();
        m_lastError = "cannot find the length of \"" + shownName + "\"";
        return false;
    }
    m_name = shownName;
    m_fileLength = status.length;
    m_openIdentity = status.identity;
    m_writable = openMode != qzOS::OpenMode::kRead;
    return true;
}

bool qzIffFile::isActive() const {
    return m_file != nullptr;
}

int qzIffFile::close() {
    if (m_file == nullptr) {
        return 1;
    }
    // A group left open is completed rather than left with an unfinished size.
    if (m_putActive) {
        endPut();
    }
    while (!m_writeGroups.empty()) {
        endWriteGroup();
    }
    flushWriteBuffer();
    releaseLargeWriteBuffer();
    if (!m_file->close() && m_writable) {
        failWrite("closing the file failed");
    }
    m_file.reset();
    resetState();
    return m_writeError ? -1 : 0;
}

void qzIffFile::resetState() {
    m_writable = false;
    m_name.clear();
    m_openIdentity = qzOS::FileIdentity();
    m_readAheadOnce = 0;
    m_position = 0;
    m_fileLength = 0;
    m_systemReadFailed = false;
    m_readBufferStart = 0;
    m_readBufferLength = 0;
    // The buffer's memory is kept for the next file.
    m_writeBufferSize = 0;
    m_writeBufferStart = 0;
    m_readGroups.clear();
    m_writeGroups.clear();
    m_begun = BegunChunk();
    m_putActive = false;
    m_putBuffer.clear();
}

int qzIffFile::seek(int offset, int whence) {
    if (m_file == nullptr) {
        return -1;
    }
    // 0, 1 and 2 as fseek's SEEK_SET, SEEK_CUR and SEEK_END.
    std::int64_t base = 0;
    if (whence == 1) {
        base = static_cast<std::int64_t>(m_position);
    } else if (whence == 2) {
        base = static_cast<std::int64_t>(m_fileLength);
    } else if (whence != 0) {
        return -1;
    }
    const std::int64_t target = base + offset;
    if (target < 0) {
        m_lastError = "seek outside the file to offset " + std::to_string(target);
        return -1;
    }
    ReadPosition to;
    to.offset = static_cast<std::uint64_t>(target);
    return seek(to) ? 0 : -1;
}

bool qzIffFile::seekElsewhere(const ReadPosition& to, ReadAhead ahead) {
    if (m_file == nullptr || !m_writeGroups.empty() || m_putActive) {
        if (m_file != nullptr) m_lastError = "seek refused while a group is being written";
        return false;
    }
    // Into a group read earlier: it lies in the file, and the offset past its header, in it.
    const bool fits = to.depth == 0
        ? to.offset <= m_fileLength
        : to.depth == 1 && to.groupStart < to.groupEnd && to.groupEnd <= m_fileLength &&
          headerBytes() + kTypeBytes <= to.groupEnd - to.groupStart &&
          to.offset >= to.groupStart + headerBytes() + kTypeBytes && to.offset <= to.groupEnd;
    if (!fits) {
        m_lastError = "seek outside the file to offset " + std::to_string(to.offset);
        return false;
    }
    m_begun.active = false;
    m_readGroups.clear();
    if (to.depth == 1) {
        m_readGroups.push_back({to.groupStart, to.groupEnd});
    }
    m_position = to.offset;
    if (ahead == ReadAhead::kHead) {
        readLittleAhead();
    }
    return true;
}

bool qzIffFile::restartRead(bool& modified) {
    modified = false;
    qzOS::FileStatus named;
    if (m_file == nullptr || m_writable || !m_openIdentity.known ||
        !m_fileSystem.status(m_name.c_str(), named) || !named.identity.known ||
        named.identity.device != m_openIdentity.device || named.identity.node != m_openIdentity.node ||
        named.length != m_fileLength) {
        return false;
    }
    modified = named.identity.modifiedNs != m_openIdentity.modifiedNs;
    m_openIdentity.modifiedNs = named.identity.modifiedNs;
    if (modified) {
        m_readBufferStart = 0;
        m_readBufferLength = 0;
    }
    m_position = 0;
    m_readGroups.clear();
    m_begun = BegunChunk();
    m_readDamage = ReadDamage::kNone;
    m_lastError.clear();
    return true;
}

bool qzIffFile::takeGrowth() {
    if (m_file == nullptr || m_writable) {
        return false;
    }
    m_readBufferStart = 0;
    m_readBufferLength = 0;
    qzOS::FileStatus status;
    if (!m_file->status(status) || status.length <= m_fileLength) {
        return false;
    }
    m_fileLength = status.length;
    return true;
}

const qzIffTag& qzIffFile::getTag(KeloIffTag which) {
    return which == kGroupTag ? m_groupTag : qzIffTag::kZERO;
}

std::uint64_t qzIffFile::paddingAfter(std::uint64_t offset) const {
    // The alignment is 4 or 8: a mask instead of a division.
    return (0 - offset) & (m_alignment - 1);
}

std::uint64_t qzIffFile::currentReadLimit() const {
    return m_readGroups.empty() ? m_fileLength : m_readGroups.back().end;
}

int qzIffFile::failWrite(const std::string& message) {
    m_writeError = true;
    m_lastError = message;
    return -1;
}

void qzIffFile::failRead(ReadDamage damage, std::uint64_t offset, const std::string& message) {
    m_readDamage = damage;
    m_readDamageOffset = offset;
    m_lastError = m_systemReadFailed ? message + " (reading the file failed)" : message;
}

// ---------------------------------------------------------------------------------------
// Read-ahead: how much a read from the file takes beyond what it needs is decided here only.

namespace {

// A few chunk headers: what a read takes when a large chunk is expected next, whose data will
// go from the file straight to the caller's memory.
constexpr std::uint64_t kHeadReadAhead = 4096;

}  // namespace

void qzIffFile::readLittleAhead() {
    if (m_readAheadOnce == 0 || m_readAheadOnce > kHeadReadAhead) {
        m_readAheadOnce = kHeadReadAhead;
    }
}

// Entering a top-level group reads as many bytes as the largest group met so far (up to the
// buffer): entering a group of a file of like groups and reading it then costs one read from
// the system instead of two. Kept across files of one object.
std::uint64_t qzIffFile::groupReadAheadEnd(std::uint64_t headerEnd, std::uint64_t limit) const {
    if (!m_readGroups.empty()) {
        return headerEnd;
    }
    return std::min<std::uint64_t>(limit, std::max<std::uint64_t>(headerEnd, m_position + m_groupReadAhead));
}

void qzIffFile::noteGroupSize(std::uint64_t bytes) {
    m_groupReadAhead = std::max<std::uint64_t>(m_groupReadAhead, std::min<std::uint64_t>(kBufferBytes, bytes));
}

// Past a large chunk left unread, what comes next is most likely a few headers before the
// next large payload: a full read-ahead there would mostly be copied twice.
void qzIffFile::noteSkipped(std::uint64_t unreadBytes, std::uint64_t next) {
    if (unreadBytes >= kBufferBytes && m_position + kBufferBytes < next) {
        readLittleAhead();
    }
}

// The bytes the read at `offset` takes: at least `count`, up to the buffer, not beyond
// `aheadLimit`, and once not beyond the bound a hint set.
std::size_t qzIffFile::readAheadFor(std::uint64_t offset, std::size_t count, std::uint64_t aheadLimit) {
    if (m_readAheadOnce != 0) {
        aheadLimit = std::min(aheadLimit, offset + m_readAheadOnce);
        m_readAheadOnce = 0;
    }
    if (aheadLimit <= offset) {
        return count;
    }
    return std::max<std::size_t>(count, static_cast<std::size_t>(
        std::min<std::uint64_t>(kBufferBytes, aheadLimit - offset)));
}

// ---------------------------------------------------------------------------------------
// Reading

std::size_t qzIffFile::physicalRead(std::uint64_t offset, void* dst, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    // What is still buffered for writing may lie where the read goes.
    if (m_writable) {
        flushWriteBuffer();
    }
    std::size_t got = 0;
    m_systemReadFailed = !m_file->read(offset, dst, count, got);
    return got;
}

const unsigned char* qzIffFile::viewAt(std::uint64_t offset, std::size_t count, std::uint64_t aheadLimit) {
    if (m_readBuffer.size() < kBufferBytes) {
        m_readBuffer.resize(kBufferBytes);
    }
    if (count > kBufferBytes) {
        return nullptr;
    }
    if (offset >= m_readBufferStart && count <= m_readBufferLength &&
        offset - m_readBufferStart <= m_readBufferLength - count) {
        return m_readBuffer.data() + (offset - m_readBufferStart);
    }
    const std::size_t want = readAheadFor(offset, count, aheadLimit);
    m_readBufferLength = 0;
    const std::size_t got = physicalRead(offset, m_readBuffer.data(), want);
    m_readBufferStart = offset;
    m_readBufferLength = got;
    return got >= count ? m_readBuffer.data() : nullptr;
}

bool qzIffFile::readAt(std::uint64_t offset, void* dst, std::size_t count, std::uint64_t aheadLimit) {
    unsigned char* out = static_cast<unsigned char*>(dst);
    if (offset >= m_readBufferStart && offset < m_readBufferStart + m_readBufferLength) {
        const std::size_t available = static_cast<std::size_t>(m_readBufferStart + m_readBufferLength - offset);
        const std::size_t part = std::min(count, available);
        std::memcpy(out, m_readBuffer.data() + (offset - m_readBufferStart), part);
        out += part;
        offset += part;
        count -= part;
    }
    if (count == 0) {
        return true;
    }
    if (count >= kBufferBytes) {
        return physicalRead(offset, out, count) == count;
    }
    const unsigned char* view = viewAt(offset, count, aheadLimit);
    if (view == nullptr) {
        return false;
    }
    std::memcpy(out, view, count);
    return true;
}

int qzIffFile::beginReadGroup(qzIffTag& groupTag, qzIffTag& type) {
    if (m_file == nullptr) {
        return -1;
    }
    endBegunChunk();
    const std::uint64_t limit = currentReadLimit();
    if (m_position >= limit) {
        return 1;
    }
    const bool topLevel = m_readGroups.empty();
    const std::uint64_t remaining = limit - m_position;
    const unsigned headerSize = 4 + m_sizeFieldBytes;
    unsigned char header[16];
    const std::uint64_t ahead = groupReadAheadEnd(m_position + headerSize + kTypeBytes, limit);
    // At the top the end of the file is the limit: a header it cuts is a cut-off file. Inside a
    // group whose end lies in the file, the group contradicts what it holds.
    const ReadDamage cutOff = topLevel ? ReadDamage::kTruncated : ReadDamage::kCorrupt;
    if (remaining < headerSize + kTypeBytes) {
        failRead(cutOff, m_position, "group header" + at(m_position) + " is cut off");
        return -1;
    }
    if (!readAt(m_position, header, headerSize + kTypeBytes, ahead)) {
        failRead(ReadDamage::kTruncated, m_position, "group header" + at(m_position) + " is cut off");
        return -1;
    }
    const qzIffTag tag = qzIffTag::fromBytes(header);
    if (tag != m_groupTag) {
        // Inside a group this is an ordinary chunk; at the top it is damage.
        if (topLevel) {
            failRead(ReadDamage::kCorrupt, m_position, "'" + tag.text() + "'" + at(m_position) +
                " where a '" + m_groupTag.text() + "' group should begin");
        }
        return -1;
    }
    const std::uint64_t size = m_sizeFieldBytes == 4 ? loadU32BE(header + 4) : loadU64BE(header + 4);
    const bool unfinished = size == 0;
    if (size < kTypeBytes || size > remaining - headerSize) {
        const bool endsInside = topLevel && (unfinished || size >= kTypeBytes);
        failRead(endsInside ? openEndedGroupDamage(m_position + headerSize, size) : ReadDamage::kCorrupt,
            m_position, "group" + at(m_position) + ": size " + std::to_string(size) + " does not fit the " +
            std::to_string(remaining - headerSize) + " bytes left");
        return -1;
    }
    if (topLevel) {
        noteGroupSize(headerSize + size);
    }
    groupTag = tag;
    type = qzIffTag::fromBytes(header + headerSize);
    m_readGroups.push_back({m_position, m_position + headerSize + size});
    m_position += headerSize + kTypeBytes;
    return 0;
}

// A file cut off inside a group holds a run of chunks that agree with the group up to the end
// of the file. A size patched beyond the end swallows the groups after it, whose headers then
// stand where chunks should; a chunk may also claim more than the group. Either is corrupt.
// Only a last group whose size grew is taken for a cut: its bytes cannot tell the two apart.
qzIffFile::ReadDamage qzIffFile::openEndedGroupDamage(std::uint64_t sizeFieldEnd, std::uint64_t size) {
    const unsigned headerSize = headerBytes();
    std::uint64_t position = sizeFieldEnd + kTypeBytes;
    while (position < m_fileLength) {
        unsigned char header[16];
        if (m_fileLength - position < headerSize ||
            !readAt(position, header, headerSize, m_fileLength)) {
            return ReadDamage::kTruncated;
        }
        const std::uint64_t declared = m_sizeFieldBytes == 4 ? loadU32BE(header + 4) : loadU64BE(header + 4);
        // Bytes the group claims after this chunk's header; an unfinished group claims no end.
        const std::uint64_t used = position + headerSize - sizeFieldEnd;
        if (qzIffTag::fromBytes(header) == m_groupTag || (size != 0 && (used > size || declared > size - used))) {
            return ReadDamage::kCorrupt;
        }
        if (declared >= m_fileLength - position - headerSize) {
            return ReadDamage::kTruncated;
        }
        const std::uint64_t dataEnd = position + headerSize + declared;
        position = dataEnd + paddingAfter(dataEnd);
    }
    return ReadDamage::kTruncated;
}

int qzIffFile::endReadGroup() {
    if (m_file == nullptr) {
        return -1;
    }
    endBegunChunk();
    if (m_readGroups.empty()) {
        return 1;
    }
    m_position = m_readGroups.back().end;
    m_readGroups.pop_back();
    return 0;
}

bool qzIffFile::nextChunk(qzIffTag& tag, std::uint32_t& size, std::uint64_t& dataStart, std::uint64_t& next) {
    if (m_file == nullptr || m_readGroups.empty()) {
        return false;
    }
    const std::uint64_t limit = m_readGroups.back().end;
    if (m_position >= limit) {
        return false;
    }
    const std::uint64_t remaining = limit - m_position;
    const unsigned headerSize = 4 + m_sizeFieldBytes;
    // The group lies in the file: a chunk that does not fit it contradicts it, and only a read
    // that comes up short (the file shrank under the reader) is a cut.
    const unsigned char* header = remaining >= headerSize ? viewAt(m_position, headerSize, limit) : nullptr;
    if (header == nullptr) {
        failRead(remaining >= headerSize ? ReadDamage::kTruncated : ReadDamage::kCorrupt, m_position,
            "chunk header" + at(m_position) + " is cut off");
        return false;
    }
    const qzIffTag found = qzIffTag::fromBytes(header);
    const std::uint64_t declared = m_sizeFieldBytes == 4 ? loadU32BE(header + 4) : loadU64BE(header + 4);
    if (declared > remaining - headerSize) {
        failRead(ReadDamage::kCorrupt, m_position, "chunk '" + found.text() + "'" + at(m_position) +
            ": size " + std::to_string(declared) + " does not fit the " + std::to_string(remaining - headerSize) + " bytes left in its group");
        return false;
    }
    const std::uint64_t dataEnd = m_position + headerSize + declared;
    const std::uint64_t padding = paddingAfter(dataEnd);
    if (padding > limit - dataEnd) {
        failRead(ReadDamage::kCorrupt, m_position,
            "chunk '" + found.text() + "'" + at(m_position) + ": padding runs past its group");
        return false;
    }
    if (declared > 0xFFFFFFFFu) {
        failRead(ReadDamage::kCorrupt, m_position, "chunk '" + found.text() + "'" + at(m_position) +
            ": size " + std::to_string(declared) + " is beyond what can be read in one piece");
        return false;
    }
    tag = found;
    size = static_cast<std::uint32_t>(declared);
    dataStart = m_position + headerSize;
    next = dataEnd + padding;
    return true;
}

const void* qzIffFile::getChunk(qzIffTag& tag, unsigned int* size) {
    endBegunChunk();
    tag = qzIffTag::kZERO;
    if (size != nullptr) {
        *size = 0;
    }
    qzIffTag found;
    std::uint32_t foundSize = 0;
    std::uint64_t dataStart = 0;
    std::uint64_t next = 0;
    if (!nextChunk(found, foundSize, dataStart, next)) {
        return nullptr;
    }
    const std::uint64_t limit = m_readGroups.back().end;
    const void* data = nullptr;
    if (foundSize <= kBufferBytes) {
        data = viewAt(dataStart, foundSize, limit);
    } else {
        if (m_chunkBuffer.size() < foundSize) {
            m_chunkBuffer.resize(foundSize);
        }
        if (readAt(dataStart, m_chunkBuffer.data(), foundSize, limit)) {
            data = m_chunkBuffer.data();
        }
    }
    if (data == nullptr) {
        failRead(ReadDamage::kTruncated, dataStart - headerBytes(),
            "chunk '" + found.text() + "'" + at(dataStart) + ": data cut off");
        return nullptr;
    }
    m_position = next;
    tag = found;
    if (size != nullptr) {
        *size = foundSize;
    }
    return data;
}

int qzIffFile::beginGet(qzIffTag& tag, unsigned int* size) {
    if (!m_begun.active) {
        // Straight into the member: a copy through a local stalls on every chunk.
        if (!nextChunk(m_begun.tag, m_begun.size, m_begun.dataStart, m_begun.next)) {
            tag = qzIffTag::kZERO;
            if (size != nullptr) {
                *size = 0;
            }
            return 1;
        }
        m_begun.consumed = 0;
        m_begun.active = true;
    }
    tag = m_begun.tag;
    if (size != nullptr) {
        *size = m_begun.size;
    }
    return 0;
}

char* qzIffFile::getString(char* buffer, int size) {
    if (buffer == nullptr || size < 0) {
        return nullptr;
    }
    buffer[0] = '\0';
    if (m_file == nullptr || !m_begun.active) {
        return nullptr;
    }
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(size),
        m_begun.size - m_begun.consumed);
    const std::uint64_t offset = m_begun.dataStart + m_begun.consumed;
    if (!readAt(offset, buffer, count, m_begun.next)) {
        buffer[0] = '\0';
        failRead(ReadDamage::kTruncated, m_begun.dataStart - headerBytes(),
            "chunk '" + m_begun.tag.text() + "'" + at(offset) + ": data cut off");
        return nullptr;
    }
    m_begun.consumed += static_cast<std::uint32_t>(count);
    buffer[count] = '\0';
    return buffer;
}

bool qzIffFile::getBytes(void* dst, std::size_t count) {
    if (m_file == nullptr || !m_begun.active || count > m_begun.size - m_begun.consumed ||
        (dst == nullptr && count != 0)) {
        return false;
    }
    const std::uint64_t offset = m_begun.dataStart + m_begun.consumed;
    if (!readAt(offset, dst, count, m_begun.next)) {
        failRead(ReadDamage::kTruncated, m_begun.dataStart - headerBytes(),
            "chunk '" + m_begun.tag.text() + "'" + at(offset) + ": data cut off");
        return false;
    }
    m_begun.consumed += static_cast<std::uint32_t>(count);
    return true;
}

int qzIffFile::endGet() {
    if (!m_begun.active) {
        return 1;
    }
    endBegunChunk();
    return 0;
}

void qzIffFile::endBegunChunk() {
    if (m_begun.active) {
        noteSkipped(m_begun.size - m_begun.consumed, m_begun.next);
        m_position = m_begun.next;
        m_begun = BegunChunk();
    }
}

}  // namespace iff
