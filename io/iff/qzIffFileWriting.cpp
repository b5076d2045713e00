// Writing the container: groups and chunks appended through the write buffer.
#include "qzIffFile.h"

#include "qzIffByteOrder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace iff {
namespace {

// While the outermost open group is still in the write buffer, writes gather up to this
// much: a group of a few megabytes gets its size in memory and reaches the file in one call.
constexpr std::size_t kGroupHoldBytes = 4 * 1024 * 1024;
// A write buffer grown beyond this for one large chunk is given back by the next flush or
// close, never between the chunks of a record.
constexpr std::size_t kKeptWriteBufferBytes = 64 * 1024 * 1024;

// Uninitialised bytes, or null when there is no memory for them. (The throwing form, so that
// hosts that replace the allocation operators see matching pairs.)
std::unique_ptr<unsigned char[]> allocateBytes(std::size_t count) {
    try {
        return std::unique_ptr<unsigned char[]>(new unsigned char[count]);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

bool qzIffFile::canWrite(const char* operation) {
    if (m_file == nullptr) {
        failWrite(std::string(operation) + " without an open file");
        return false;
    }
    if (!m_writable) {
        failWrite(std::string(operation) + " on a file opened for reading");
        return false;
    }
    return true;
}

int qzIffFile::beginWriteGroup(const qzIffTag& groupTag, const qzIffTag& type) {
    if (!canWrite("beginWriteGroup")) {
        return -1;
    }
    if (m_putActive) {
        return failWrite("group begun inside the open chunk '" + m_putTag.text() + "'");
    }
    if (groupTag != m_groupTag) {
        return failWrite("group tag '" + groupTag.text() + "' in a file of '" + m_groupTag.text() +
            "' groups");
    }
    m_begun = BegunChunk();
    m_readGroups.clear();
    // The size stays 0 until endWriteGroup: a group that was never completed is damaged
    // and ends the readable data.
    unsigned char header[16] = {};
    std::memcpy(header, groupTag.bytes(), 4);
    std::memcpy(header + 4 + m_sizeFieldBytes, type.bytes(), 4);
    m_writeGroups.push_back({m_position + 4});
    return writeBytes(header, 4 + m_sizeFieldBytes + kTypeBytes) ? 0 : -1;
}

int qzIffFile::endWriteGroup() {
    if (!canWrite("endWriteGroup")) {
        return -1;
    }
    if (m_putActive) {
        endPut();
    }
    if (m_writeGroups.empty()) {
        return failWrite("endWriteGroup without an open group");
    }
    const WriteGroup group = m_writeGroups.back();
    m_writeGroups.pop_back();
    const std::uint64_t size = m_position - (group.sizeField + m_sizeFieldBytes);
    if (m_sizeFieldBytes == 4 && size > 0xFFFFFFFFu) {
        return failWrite("group" + at(group.sizeField - 4) + " holds " + std::to_string(size) +
            " bytes, more than a 32-bit size can state");
    }
    return patchSizeField(group.sizeField, size) ? 0 : -1;
}

bool qzIffFile::chunkRefused(const char* operation, const qzIffTag& tag) {
    if (!canWrite(operation)) {
        return true;
    }
    if (m_putActive) {
        failWrite("chunk '" + tag.text() + "' put inside the open chunk '" + m_putTag.text() + "'");
        return true;
    }
    if (m_writeGroups.empty()) {
        failWrite("chunk '" + tag.text() + "' written outside any group");
        return true;
    }
    if (tag == qzIffTag::kFOR4 || tag == qzIffTag::kFOR8) {
        failWrite("chunk tag '" + tag.text() + "' is reserved for groups");
        return true;
    }
    return false;
}

int qzIffFile::putChunk(const qzIffTag& tag, unsigned int size, const void* data) {
    if (!chunkAllowed(tag) && chunkRefused("putChunk", tag)) {
        return -1;
    }
    if (size > 0 && data == nullptr) {
        return failWrite("chunk '" + tag.text() + "' of " + std::to_string(size) + " bytes without data");
    }
    return writeChunk(tag, data, size) ? 0 : -1;
}

bool qzIffFile::putChunksInPlace(ChunkSpace* chunks, std::size_t count) {
    // Each frame's padding depends on where it begins.
    const std::uint64_t start = m_position;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!chunkAllowed(chunks[i].tag) && chunkRefused("putChunksInPlace", chunks[i].tag)) {
            return false;
        }
        const std::size_t frame = headerBytes() + chunks[i].size;
        total += frame + static_cast<std::size_t>(paddingAfter(start + total + frame));
    }
    // Memory for all of them first, so that none is written without the others.
    bool ok = true;
    unsigned char* target = nullptr;
    if (m_writeBufferSize + total <= m_writeBufferCapacity || growWriteBuffer(m_writeBufferSize + total)) {
        target = bufferSpace(total, ok);
    }
    if (target == nullptr) {
        m_lastError = "no memory for " + std::to_string(total) + " bytes of chunks" + at(start);
        return false;
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t frame = headerBytes() + chunks[i].size;
        const std::size_t padding = static_cast<std::size_t>(paddingAfter(start + offset + frame));
        storeChunkFrame(target + offset, chunks[i].tag, chunks[i].size, padding);
        chunks[i].data = target + offset + headerBytes();
        offset += frame + padding;
    }
    return true;
}

int qzIffFile::beginPut(const qzIffTag& tag) {
    if (!canWrite("beginPut")) {
        return -1;
    }
    if (m_putActive) {
        return failWrite("chunk '" + tag.text() + "' begun inside the open chunk '" + m_putTag.text() + "'");
    }
    if (m_writeGroups.empty()) {
        return failWrite("chunk '" + tag.text() + "' begun outside any group");
    }
    if (tag == qzIffTag::kFOR4 || tag == qzIffTag::kFOR8) {
        return failWrite("chunk tag '" + tag.text() + "' is reserved for groups");
    }
    m_putActive = true;
    m_putTag = tag;
    m_putBuffer.clear();
    return 0;
}

int qzIffFile::putString(const char* text) {
    if (!m_putActive) {
        return failWrite("putString without a begun chunk");
    }
    if (text == nullptr) {
        return failWrite("putString without a string for chunk '" + m_putTag.text() + "'");
    }
    const std::size_t length = std::strlen(text);
    if (length >= 0xFFFFFFFFu - m_putBuffer.size()) {
        return failWrite("chunk '" + m_putTag.text() + "' grows beyond 32-bit size");
    }
    m_putBuffer.insert(m_putBuffer.end(), text, text + length + 1);
    return 0;
}

int qzIffFile::endPut() {
    if (!m_putActive) {
        return failWrite("endPut without a begun chunk");
    }
    m_putActive = false;
    if (!canWrite("endPut")) {
        return -1;
    }
    return writeChunk(m_putTag, m_putBuffer.data(), static_cast<std::uint32_t>(m_putBuffer.size()))
        ? 0 : -1;
}

void qzIffFile::storeChunkHeader(unsigned char* target, const qzIffTag& tag, std::uint32_t size) const {
    std::memcpy(target, tag.bytes(), 4);
    if (m_sizeFieldBytes == 4) {
        storeU32BE(target + 4, size);
    } else {
        storeU64BE(target + 4, size);
    }
}

void qzIffFile::storeChunkFrame(unsigned char* target, const qzIffTag& tag, std::uint32_t size,
                                std::size_t padding) const {
    storeChunkHeader(target, tag, size);
    std::memset(target + headerBytes() + size, 0, padding);
}

bool qzIffFile::writeChunk(const qzIffTag& tag, const void* data, std::uint32_t size) {
    const std::size_t headerSize = headerBytes();
    const std::size_t padding = static_cast<std::size_t>(paddingAfter(m_position + headerSize + size));
    if (size < kBufferBytes) {
        // The usual small chunk: header, data and padding in one piece of the buffer.
        bool ok = true;
        if (unsigned char* target = bufferSpace(headerSize + size + padding, ok)) {
            storeChunkFrame(target, tag, size, padding);
            if (size > 0) {
                std::memcpy(target + headerSize, data, size);
            }
            return ok;
        }
    }
    unsigned char header[12];
    storeChunkHeader(header, tag, size);
    static const unsigned char zeros[8] = {};
    bool ok = writeBytes(header, headerSize);
    ok = writeBytes(data, size) && ok;
    return writeBytes(zeros, padding) && ok;
}

bool qzIffFile::holdsOpenGroup() const {
    return !m_writeGroups.empty() && m_writeBufferSize > 0 &&
        m_writeGroups.front().sizeField >= m_writeBufferStart;
}

unsigned char* qzIffFile::bufferSpace(std::size_t count, bool& ok) {
    // The usual case needs nothing more: following on, within the limit and the capacity.
    const std::size_t end = m_writeBufferSize + count;
    const bool ready = m_writeBufferSize > 0 && m_position == m_writeBufferStart + m_writeBufferSize &&
        end <= m_writeBufferCapacity &&
        (end <= kBufferBytes || (end <= kGroupHoldBytes && holdsOpenGroup()));
    if (!ready && !prepareBufferSpace(count, ok)) {
        return nullptr;
    }
    unsigned char* target = m_writeBuffer.get() + m_writeBufferSize;
    m_writeBufferSize += count;
    dropReadBuffer(m_position, count);
    m_position += count;
    m_fileLength = std::max(m_fileLength, m_position);
    return target;
}

bool qzIffFile::prepareBufferSpace(std::size_t count, bool& ok) {
    if (m_writeBufferSize > 0) {
        const std::size_t limit = holdsOpenGroup() ? kGroupHoldBytes : kBufferBytes;
        if (m_position != m_writeBufferStart + m_writeBufferSize || m_writeBufferSize + count > limit) {
            ok = flushWriteBuffer() && ok;
        }
    }
    if (m_writeBufferSize + count > m_writeBufferCapacity && !growWriteBuffer(m_writeBufferSize + count)) {
        return false;
    }
    if (m_writeBufferSize == 0) {
        m_writeBufferStart = m_position;
    }
    return true;
}

// Only here, between records: a buffer reserved for a record must stay until it is written.
void qzIffFile::releaseLargeWriteBuffer() {
    if (m_writeBufferSize == 0 && m_writeBufferCapacity > kKeptWriteBufferBytes) {
        m_writeBuffer.reset();
        m_writeBufferCapacity = 0;
    }
}

bool qzIffFile::growWriteBuffer(std::size_t needed) {
    // Doubling up to the group hold; a single larger chunk gets just what it needs.
    std::size_t capacity = needed;
    if (needed <= kGroupHoldBytes) {
        capacity = std::min(kGroupHoldBytes, std::max({needed, kBufferBytes, 2 * m_writeBufferCapacity}));
    }
    std::unique_ptr<unsigned char[]> grown = allocateBytes(capacity);
    if (!grown && capacity > needed) {
        capacity = needed;
        grown = allocateBytes(capacity);
    }
    if (!grown) {
        return false;
    }
    if (m_writeBufferSize > 0) {
        std::memcpy(grown.get(), m_writeBuffer.get(), m_writeBufferSize);
    }
    m_writeBuffer = std::move(grown);
    m_writeBufferCapacity = capacity;
    return true;
}

bool qzIffFile::writeBytes(const void* data, std::size_t count) {
    if (count == 0) {
        return true;
    }
    bool ok = true;
    if (count < kBufferBytes) {
        if (unsigned char* target = bufferSpace(count, ok)) {
            std::memcpy(target, data, count);
            return ok;
        }
    }
    ok = flushWriteBuffer() && ok;
    ok = physicalWrite(m_position, data, count) && ok;
    m_position += count;
    m_fileLength = std::max(m_fileLength, m_position);
    return ok;
}

bool qzIffFile::flushWriteBuffer() {
    if (m_writeBufferSize == 0) {
        return true;
    }
    const bool ok = physicalWrite(m_writeBufferStart, m_writeBuffer.get(), m_writeBufferSize);
    m_writeBufferSize = 0;
    return ok;
}

bool qzIffFile::physicalWrite(std::uint64_t offset, const void* data, std::size_t count) {
    dropReadBuffer(offset, count);
    if (!m_file->write(offset, data, count)) {
        failWrite("writing " + std::to_string(count) + " bytes" + at(offset) + " failed");
        return false;
    }
    return true;
}

bool qzIffFile::patchSizeField(std::uint64_t offset, std::uint64_t value) {
    unsigned char field[8];
    if (m_sizeFieldBytes == 4) {
        storeU32BE(field, static_cast<std::uint32_t>(value));
    } else {
        storeU64BE(field, value);
    }
    // Most groups are still in the write buffer: patch them there, without a seek.
    if (offset >= m_writeBufferStart && m_sizeFieldBytes <= m_writeBufferSize &&
        offset - m_writeBufferStart <= m_writeBufferSize - m_sizeFieldBytes) {
        std::memcpy(m_writeBuffer.get() + (offset - m_writeBufferStart), field, m_sizeFieldBytes);
        return true;
    }
    const bool flushed = flushWriteBuffer();
    return physicalWrite(offset, field, m_sizeFieldBytes) && flushed;
}

void qzIffFile::dropReadBuffer(std::uint64_t offset, std::size_t count) {
    if (m_readBufferLength > 0 && offset < m_readBufferStart + m_readBufferLength &&
        m_readBufferStart < offset + count) {
        m_readBufferLength = 0;
    }
}

bool qzIffFile::flush() {
    if (m_file == nullptr) {
        return false;
    }
    bool ok = flushWriteBuffer();
    releaseLargeWriteBuffer();
    if (m_writable && !m_file->flush()) {
        failWrite("flushing the file failed");
        ok = false;
    }
    return ok && !m_writeError;
}

}  // namespace iff
