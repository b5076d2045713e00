#include "qzIffFile.h"

#include "qzFileSystem.h"
#include "qzIffByteOrder.h"
#include "qzIffFileShared.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace iff {
using namespace shared;
namespace {

constexpr std::uint64_t kAfterSkipReadAhead = 4096;

}  // namespace

qzIffFile::qzIffFile(const qzIffTag& groupTag, unsigned sizeFieldBytes, unsigned alignment)
    : m_groupTag(groupTag), m_sizeFieldBytes(sizeFieldBytes), m_alignment(alignment) {}

qzIffFile::~qzIffFile() {
    close();
}

qzIffFile4::qzIffFile4() : qzIffFile(qzIffTag::kFOR4, 4, 4) {}

qzIffFile8::qzIffFile8() : qzIffFile(qzIffTag::kFOR8, 8, 8) {}

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
    const char* streamMode = nullptr;
    if (modeText == "r") {
        streamMode = "rb";
    } else if (modeText == "w") {
        streamMode = "wb";
    } else if (modeText == "r+") {
        streamMode = "r+b";
    } else {
        m_lastError = "unsupported open mode \"" + modeText + "\"";
        return false;
    }
    m_file = qzOS::openFile(name, streamMode);
    if (m_file == nullptr) {
        m_lastError = std::string("cannot open \"") + (name != nullptr ? name : "") + "\"";
        return false;
    }
    // Buffering happens here, in blocks sized for the container; a second copy in the
    // stream would only cost time.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    // "w" truncates, so the length is known; one seek still refuses what cannot seek. A
    // fresh stream of a regular file stands at 0: the system tells its length and identity.
    std::int64_t length = -1;
    std::uint64_t statLength = 0;
    bool seekBack = false;
    if (modeText == "w") {
        length = 0;
        seekBack = true;
    } else if (qzOS::identityAndLengthOf(m_file, m_openIdentity, statLength) &&
        statLength <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        length = static_cast<std::int64_t>(statLength);
    } else if (qzOS::seekFile(m_file, 0, SEEK_END) == 0) {
        seekBack = true;
        length = qzOS::tellFile(m_file);
    }
    if (length < 0 || (seekBack && qzOS::seekFile(m_file, 0, SEEK_SET) != 0)) {
        std::fclose(m_file);
        m_file = nullptr;
        m_lastError = std::string("cannot find the length of \"") + name + "\"";
        return false;
    }
    m_fileLength = static_cast<std::uint64_t>(length);
    m_physicalPosition = 0;
    m_writable = modeText != "r";
    // Nothing was read through the fresh stream, so a first write at 0 needs no seek; a
    // first read seeks all the same.
    m_lastWasWrite = m_writable;
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
    if (std::fclose(m_file) != 0 && m_writable) {
        failWrite("closing the file failed");
    }
    m_file = nullptr;
    resetState();
    return m_writeError ? -1 : 0;
}

void qzIffFile::resetState() {
    m_writable = false;
    m_openIdentity = qzOS::FileIdentity();
    m_readAheadOnce = 0;
    m_position = 0;
    m_fileLength = 0;
    m_physicalPosition = -1;
    m_lastWasWrite = false;
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
    if (!m_writeGroups.empty() || m_putActive) {
        m_lastError = "seek refused while a group is being written";
        return -1;
    }
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = static_cast<std::int64_t>(m_position);
    } else if (whence == SEEK_END) {
        base = static_cast<std::int64_t>(m_fileLength);
    } else if (whence != SEEK_SET) {
        return -1;
    }
    const std::int64_t target = base + offset;
    if (target < 0) {
        m_lastError = "seek outside the file to offset " + std::to_string(target);
        return -1;
    }
    return seekTo(static_cast<std::uint64_t>(target));
}

bool qzIffFile::restartRead(const char* name, std::uint64_t headerBytes, bool& unmodified) {
    unmodified = false;
    if (m_file == nullptr || m_writable || !m_writeGroups.empty() || m_putActive) {
        return false;
    }
    qzOS::FileIdentity named;
    std::uint64_t length = 0;
    if (!m_openIdentity.known || !qzOS::identityAt(name, named, length) ||
        named.device != m_openIdentity.device || named.node != m_openIdentity.node ||
        length != m_fileLength) {
        return false;
    }
    unmodified = named.modifiedNs == m_openIdentity.modifiedNs;
    m_openIdentity.modifiedNs = named.modifiedNs;
    m_position = 0;
    m_readBufferStart = 0;
    m_readBufferLength = 0;
    m_readGroups.clear();
    m_begun = BegunChunk();
    m_readDamage = ReadDamage::kNone;
    m_lastError.clear();
    m_readAheadOnce = unmodified ? 0 : headerBytes;
    return true;
}

int qzIffFile::seekTo(std::uint64_t offset) {
    if (m_file == nullptr) {
        return -1;
    }
    if (!m_writeGroups.empty() || m_putActive) {
        m_lastError = "seek refused while a group is being written";
        return -1;
    }
    if (offset > m_fileLength) {
        m_lastError = "seek outside the file to offset " + std::to_string(offset);
        return -1;
    }
    m_readGroups.clear();
    m_begun = BegunChunk();
    m_position = offset;
    return 0;
}

bool qzIffFile::seekInGroup(std::uint64_t offset) {
    if (m_file == nullptr || m_readGroups.empty()) {
        return false;
    }
    const ReadGroup& group = m_readGroups.back();
    if (offset < group.start + headerBytes() + kTypeBytes || offset > group.end) {
        return false;
    }
    m_begun = BegunChunk();
    m_position = offset;
    return true;
}

bool qzIffFile::reenterGroup(std::uint64_t start, std::uint64_t end, std::uint64_t position) {
    if (m_file == nullptr || !m_readGroups.empty() || !m_writeGroups.empty() || m_putActive ||
        end > m_fileLength || position > end ||
        position < start + headerBytes() + kTypeBytes) {
        return false;
    }
    m_begun = BegunChunk();
    m_readGroups.push_back({start, end});
    m_position = position;
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
    m_lastError = message;
}

// ---------------------------------------------------------------------------------------
// Reading

std::size_t qzIffFile::physicalRead(std::uint64_t offset, void* dst, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    if (!m_writable) {
        // Nothing is written through this stream: read by offset, leaving its position be.
        m_physicalPosition = -1;
        return qzOS::readFileAt(m_file, offset, dst, count);
    }
    flushWriteBuffer();
    if (m_physicalPosition != static_cast<std::int64_t>(offset) || m_lastWasWrite) {
        if (qzOS::seekFile(m_file, static_cast<std::int64_t>(offset), SEEK_SET) != 0) {
            m_physicalPosition = -1;
            return 0;
        }
        m_physicalPosition = static_cast<std::int64_t>(offset);
    }
    m_lastWasWrite = false;
    const std::size_t got = std::fread(dst, 1, count, m_file);
    if (got != count) {
        std::clearerr(m_file);
        m_physicalPosition = -1;
    } else {
        m_physicalPosition += static_cast<std::int64_t>(got);
    }
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
    std::size_t want = count;
    if (m_readAheadOnce != 0) {
        aheadLimit = std::min(aheadLimit, offset + m_readAheadOnce);
        m_readAheadOnce = 0;
    }
    if (aheadLimit > offset) {
        want = std::max<std::size_t>(count, static_cast<std::size_t>(
            std::min<std::uint64_t>(kBufferBytes, aheadLimit - offset)));
    }
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
    // At the top level the read-ahead takes as many bytes as the largest group met so far
    // (up to the buffer): entering a group of a file of like groups and reading it then
    // costs one read from the system instead of two.
    std::uint64_t ahead = m_position + headerSize + kTypeBytes;
    if (topLevel) {
        ahead = std::min<std::uint64_t>(limit, std::max<std::uint64_t>(ahead, m_position + m_groupReadAhead));
    }
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
        m_groupReadAhead = std::max<std::uint64_t>(m_groupReadAhead,
            std::min<std::uint64_t>(kBufferBytes, headerSize + size));
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
        BegunChunk chunk;
        if (!nextChunk(chunk.tag, chunk.size, chunk.dataStart, chunk.next)) {
            tag = qzIffTag::kZERO;
            if (size != nullptr) {
                *size = 0;
            }
            return 1;
        }
        chunk.active = true;
        m_begun = chunk;
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
        // Past a large chunk left unread, what comes next is most likely a few headers before
        // the next large payload: a full read-ahead there would mostly be copied twice.
        if (m_begun.size - m_begun.consumed >= kBufferBytes && m_position + kBufferBytes < m_begun.next &&
            (m_readAheadOnce == 0 || m_readAheadOnce > kAfterSkipReadAhead)) {
            m_readAheadOnce = kAfterSkipReadAhead;
        }
        m_position = m_begun.next;
        m_begun = BegunChunk();
    }
}

}  // namespace iff
