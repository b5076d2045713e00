// Chunked container files: top-level groups holding chunks, in a 32-bit variant
// (qzIffFile4, groups "FOR4") and a 64-bit variant (qzIffFile8, groups "FOR8").
// The byte layout is described in docs/file-format.md, section "Container".
//
// Reading walks forward: beginReadGroup enters the next group at the current level,
// getChunk or beginGet/getString/endGet consume its chunks, endReadGroup leaves it. Every
// size found in the file is checked against its group and the file's length before anything
// is read or allocated; a damaged group or chunk reads as "no further group/chunk".
// Writing appends at the current position; endWriteGroup completes the group's size.
#pragma once

#include "qzFileSystem.h"
#include "qzIffTag.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace iff {

// Where reading stands: an offset, and the group it lies in when one is entered. Taken with
// position() and given back to seek() to read from there again.
struct ReadPosition {
    std::uint64_t offset = 0;
    std::uint64_t groupStart = 0;  // the innermost entered group's header
    std::uint64_t groupEnd = 0;    // just past its contents
    unsigned depth = 0;            // groups entered: 0 at the top level
};

// What the next read from the file takes beyond the bytes it needs.
enum class ReadAhead {
    kFull,  // fills the buffer: small chunks follow one another
    kHead,  // a little: a few headers before a large chunk that the caller reads into its
            // own memory, which a full buffer would only copy twice
};

class qzIffFile {
public:
    enum KeloIffTag { kGroupTag = 0 };
    // Reads and writes smaller than this gather in a buffer of this size; larger ones go to
    // the file in one call.
    static constexpr std::size_t kBufferBytes = 64 * 1024;

    virtual ~qzIffFile();
    qzIffFile(const qzIffFile&) = delete;
    qzIffFile& operator=(const qzIffFile&) = delete;

    // Mode "r", "w" or "r+" as with fopen (always binary), in the file system given at
    // construction. The two numbers are not used. Closes a file that is still open first.
    // Clears the error state.
    virtual bool open(const char* name, const char* mode, long, long);
    virtual bool isActive() const;
    // Completes open write groups, writes out buffered data and closes. 0 on success;
    // nonzero when this or any earlier write of the file failed, or no file was open.
    virtual int close();
    // Whence 0, 1, 2 as SEEK_SET, SEEK_CUR, SEEK_END; seek(0, 2) goes to the end, where
    // further top-level groups are appended. Leaves any entered read group. Refused (nonzero)
    // while a write group or a string chunk is open, or outside the file.
    virtual int seek(int offset, int whence);
    // Where reading stands now.
    ReadPosition position() const {
        ReadPosition here;
        here.offset = m_position;
        here.depth = static_cast<unsigned>(m_readGroups.size());
        if (!m_readGroups.empty()) {
            here.groupStart = m_readGroups.back().start;
            here.groupEnd = m_readGroups.back().end;
        }
        return here;
    }
    // Back to a position this file gave earlier, at the top level or inside a top-level group
    // (depth 0 or 1), ending a begun chunk. False, with nothing changed, for a position
    // outside the file or the group, a deeper one, or while writing a group.
    bool seek(const ReadPosition& to, ReadAhead ahead = ReadAhead::kFull) {
        // Within the one group entered, as a reader going from record to record does, only
        // the offset moves; this runs for every channel of every frame played back.
        if (to.depth == 1 && m_readGroups.size() == 1 && m_writeGroups.empty() && !m_putActive &&
            m_readGroups.front().start == to.groupStart && m_readGroups.front().end == to.groupEnd &&
            to.offset <= to.groupEnd && to.offset >= to.groupStart + headerBytes() + kTypeBytes) {
            m_begun.active = false;
            m_position = to.offset;
            if (ahead == ReadAhead::kHead) {
                readLittleAhead();
            }
            return true;
        }
        return seekElsewhere(to, ahead);
    }
    // Back at the start of a file opened with "r", as a fresh open would stand, when the file
    // under its name is still the open one with the length it had; false, with nothing
    // changed, otherwise. `modified` tells whether it was written since it was opened or last
    // restarted; then nothing read before is kept.
    bool restartRead(bool& modified);
    // For a file that a writer may still be appending to: forgets what was read ahead (the
    // writer completes its last group in place) and, when the open file has grown, takes its
    // new length. True when it grew. Reading goes on from where it stands.
    bool takeGrowth();
    std::uint64_t length() const { return m_fileLength; }
    // kGroupTag yields the file's group tag; any other value yields kZERO.
    virtual const qzIffTag& getTag(KeloIffTag which);

    // Writing. Results are 0 on success and nonzero on failure; a failure also sets the
    // sticky write error. Groups may nest; chunks need an open group.
    virtual int beginWriteGroup(const qzIffTag& groupTag, const qzIffTag& type);
    virtual int endWriteGroup();
    virtual int putChunk(const qzIffTag& tag, unsigned int size, const void* data);
    // Chunks whose data the caller produces in place: `tag` and `size` in, `data` out.
    struct ChunkSpace {
        qzIffTag tag;
        std::uint32_t size = 0;
        unsigned char* data = nullptr;
    };
    // Appends the chunks, one after another, and gives where each one's data goes; the caller
    // fills all of it before the next call on this object. All or nothing: false with nothing
    // written when a chunk is refused (with the write error, as putChunk), and false with
    // nothing written and no write error when there is no memory for them. (Appended, they
    // reach the file with the buffer: hasWriteError tells whether the file is still sound.)
    bool putChunksInPlace(ChunkSpace* chunks, std::size_t count);
    // A chunk collected in memory and written whole by endPut. Each putString appends the
    // string's bytes and one terminating zero byte.
    virtual int beginPut(const qzIffTag& tag);
    virtual int putString(const char* text);
    virtual int endPut();

    // Reading. beginReadGroup: 0 when the next group at the current level was entered.
    virtual int beginReadGroup(qzIffTag& groupTag, qzIffTag& type);
    // Leaves the innermost entered group, skipping what was not read of it: 0. With no
    // group entered nothing moves and the result is nonzero.
    virtual int endReadGroup();
    // The next chunk of the entered group, whole. The data stays owned by this object and
    // valid until the next call on it; never null for a chunk of size 0. Null when the
    // group has no further readable chunk.
    virtual const void* getChunk(qzIffTag& tag, unsigned int* size);
    // Header of the next chunk: 0, or 1 when the group has no further readable chunk.
    // While a chunk is begun and not ended it yields that chunk again.
    virtual int beginGet(qzIffTag& tag, unsigned int* size);
    // Copies up to size not yet read bytes of the begun chunk and a terminating zero,
    // writing at most size + 1 bytes. Null when no chunk is begun or the read fails.
    virtual char* getString(char* buffer, int size);
    // Copies the next count bytes of the begun chunk to dst, as they are in the file; false
    // when no chunk is begun, fewer bytes are left in it, or the read fails (dst may then
    // hold a part). A large chunk goes straight from the file to dst.
    bool getBytes(void* dst, std::size_t count);
    // Ends the begun chunk, skipping what was not read: 0, or 1 when none was begun.
    virtual int endGet();

    // Pushes buffered writes to the system; false when this or any earlier write failed.
    bool flush();
    // Sticky: set by the first failed write, flush, close or refused write call; reset by
    // open().
    bool hasWriteError() const { return m_writeError; }
    // What the last failed read met, reset by open(): a file that ends inside a group or
    // chunk whose sizes otherwise agree (cut off), or a size or tag that contradicts its group
    // or the file while bytes remain (corrupt).
    enum class ReadDamage { kNone, kTruncated, kCorrupt };
    ReadDamage readDamage() const { return m_readDamage; }
    // Where the group or chunk of the last failed read begins.
    std::uint64_t readDamageOffset() const { return m_readDamageOffset; }
    bool hasReadError() const { return m_readDamage != ReadDamage::kNone; }
    // The last failure as text (tag, offset, value), empty when none since open().
    const std::string& lastError() const { return m_lastError; }

protected:
    qzIffFile(const qzIffTag& groupTag, unsigned sizeFieldBytes, unsigned alignment,
              qzOS::FileSystem& fileSystem);

private:
    // The type tag after a group's size field.
    static constexpr unsigned kTypeBytes = 4;
    // " at offset N", for messages.
    static std::string at(std::uint64_t offset) { return " at offset " + std::to_string(offset); }

    struct ReadGroup {
        std::uint64_t start;  // offset of the group's header
        std::uint64_t end;    // offset just past the group's contents
    };
    struct WriteGroup {
        std::uint64_t sizeField;  // offset of the size field
    };
    struct BegunChunk {
        bool active = false;
        qzIffTag tag;
        std::uint32_t size = 0;
        std::uint64_t dataStart = 0;
        std::uint64_t next = 0;  // offset after the chunk and its padding
        std::uint32_t consumed = 0;
    };

    unsigned headerBytes() const { return 4 + m_sizeFieldBytes; }
    std::uint64_t paddingAfter(std::uint64_t offset) const;
    std::uint64_t currentReadLimit() const;
    void resetState();

    bool seekElsewhere(const ReadPosition& to, ReadAhead ahead);

    // Read-ahead policy.
    void readLittleAhead();
    std::uint64_t groupReadAheadEnd(std::uint64_t headerEnd, std::uint64_t limit) const;
    void noteGroupSize(std::uint64_t bytes);
    void noteSkipped(std::uint64_t unreadBytes, std::uint64_t next);
    std::size_t readAheadFor(std::uint64_t offset, std::size_t count, std::uint64_t aheadLimit);

    // Reading helpers: offsets are absolute; `aheadLimit` bounds read-ahead.
    bool readAt(std::uint64_t offset, void* dst, std::size_t count, std::uint64_t aheadLimit);
    const unsigned char* viewAt(std::uint64_t offset, std::size_t count, std::uint64_t aheadLimit);
    std::size_t physicalRead(std::uint64_t offset, void* dst, std::size_t count);
    bool nextChunk(qzIffTag& tag, std::uint32_t& size, std::uint64_t& dataStart, std::uint64_t& next);
    void endBegunChunk();

    // Writing helpers: append at m_position through the write buffer.
    bool writeBytes(const void* data, std::size_t count);
    // The next `count` bytes at m_position, in the write buffer (flushed first when they do
    // not follow on or do not fit; a failed flush clears `ok`); null when the buffer cannot
    // grow to take them.
    unsigned char* bufferSpace(std::size_t count, bool& ok);
    bool prepareBufferSpace(std::size_t count, bool& ok);
    bool growWriteBuffer(std::size_t needed);
    void releaseLargeWriteBuffer();
    bool holdsOpenGroup() const;
    // Whether a chunk can be written now; chunkRefused tells why not (and sets the error).
    bool chunkAllowed(const qzIffTag& tag) const {
        return m_file != nullptr && m_writable && !m_putActive && !m_writeGroups.empty() &&
            tag != qzIffTag::kFOR4 && tag != qzIffTag::kFOR8;
    }
    bool chunkRefused(const char* operation, const qzIffTag& tag);
    void storeChunkHeader(unsigned char* target, const qzIffTag& tag, std::uint32_t size) const;
    // The header before `size` data bytes and the zero padding after them.
    void storeChunkFrame(unsigned char* target, const qzIffTag& tag, std::uint32_t size,
                         std::size_t padding) const;
    bool flushWriteBuffer();
    bool physicalWrite(std::uint64_t offset, const void* data, std::size_t count);
    bool patchSizeField(std::uint64_t offset, std::uint64_t value);
    void dropReadBuffer(std::uint64_t offset, std::size_t count);
    bool writeChunk(const qzIffTag& tag, const void* data, std::uint32_t size);
    bool canWrite(const char* operation);

    int failWrite(const std::string& message);
    void failRead(ReadDamage damage, std::uint64_t offset, const std::string& message);
    // A top-level group that the file ends inside: its size runs past the end, or is the 0 an
    // unfinished write leaves.
    ReadDamage openEndedGroupDamage(std::uint64_t sizeFieldEnd, std::uint64_t size);

    const qzIffTag m_groupTag;
    const unsigned m_sizeFieldBytes;
    const unsigned m_alignment;
    qzOS::FileSystem& m_fileSystem;

    std::unique_ptr<qzOS::FileHandle> m_file;
    std::string m_name;
    bool m_writable = false;
    std::uint64_t m_position = 0;    // logical position of the next read or write
    std::uint64_t m_fileLength = 0;  // bytes in the file, buffered writes included
    // The last read from the file failed in the system, not at the file's end.
    bool m_systemReadFailed = false;

    std::vector<unsigned char> m_readBuffer;
    std::uint64_t m_readBufferStart = 0;
    std::size_t m_readBufferLength = 0;
    std::vector<unsigned char> m_chunkBuffer;  // chunks that do not fit the read buffer

    // Not a vector: growing it for a chunk written in place must not zero-fill it first.
    std::unique_ptr<unsigned char[]> m_writeBuffer;
    std::size_t m_writeBufferSize = 0;
    std::size_t m_writeBufferCapacity = 0;
    std::uint64_t m_writeBufferStart = 0;

    // Bytes read ahead when entering a top-level group: the largest such group met so far
    // (at most the buffer). A hint only, kept across files.
    std::uint64_t m_groupReadAhead = 0;
    // The open file's identity (learnt by open) and when it was last seen modified.
    qzOS::FileIdentity m_openIdentity;
    // A bound on the read-ahead of the next read from the file only (0: none).
    std::uint64_t m_readAheadOnce = 0;
    std::vector<ReadGroup> m_readGroups;
    std::vector<WriteGroup> m_writeGroups;
    BegunChunk m_begun;
    bool m_putActive = false;
    qzIffTag m_putTag;
    std::vector<unsigned char> m_putBuffer;

    bool m_writeError = false;
    ReadDamage m_readDamage = ReadDamage::kNone;
    std::uint64_t m_readDamageOffset = 0;
    std::string m_lastError;
};

// The file system must outlive the object.
class qzIffFile4 : public qzIffFile {
public:
    explicit qzIffFile4(qzOS::FileSystem& fileSystem = qzOS::defaultFileSystem());
};

class qzIffFile8 : public qzIffFile {
public:
    explicit qzIffFile8(qzOS::FileSystem& fileSystem = qzOS::defaultFileSystem());
};

}  // namespace iff
