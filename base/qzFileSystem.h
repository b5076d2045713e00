// The file interface under every read and write of the library: an open file with positioned
// reads and writes, and the path operations the library needs. Implementations: the operating
// system's (qzFileSystemOS.cpp), files held in memory (qzMemoryFileSystem.h) and a wrapper that
// makes chosen calls fail, for tests (qzFaultFileSystem.h). Paths are UTF-8. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qzOS {

// Which file a path or an open file is, so that a file replaced under its name can be told
// from the one still open, and when it was last modified.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t node = 0;
    std::int64_t modifiedNs = 0;  // nanoseconds since the epoch, or any increasing count
    bool known = false;
};

struct FileStatus {
    std::uint64_t length = 0;
    bool regular = false;  // a plain file, not a directory or a device
    FileIdentity identity;
};

// One open file. Reads and writes name their offset, so two threads reading one file never
// share a position. A handle is used by one thread at a time.
class FileHandle {
public:
    virtual ~FileHandle() = default;
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Up to `count` bytes at `offset` into `data`; `got` tells how many arrived, fewer than
    // asked only at the end of the file. False when the system failed (then `got` bytes
    // arrived before the failure).
    virtual bool read(std::uint64_t offset, void* data, std::size_t count, std::size_t& got) = 0;
    // All `count` bytes at `offset`, growing the file as needed. False when not all of them
    // were written; a part may have been.
    virtual bool write(std::uint64_t offset, const void* data, std::size_t count) = 0;
    virtual bool status(FileStatus& status) = 0;
    // Hands what the handle buffers to the system. (No implementation here buffers.)
    virtual bool flush() = 0;
    // Returns once the file's data is on the device.
    virtual bool sync() = 0;
    // False when the system reports a failure; the handle is closed either way.
    virtual bool close() = 0;
};

enum class OpenMode {
    kRead,       // an existing file, for reading
    kCreate,     // created, or emptied when it exists; for reading and writing
    kReadWrite,  // an existing file, for reading and writing
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // Null when the file cannot be opened, or is a directory.
    virtual std::unique_ptr<FileHandle> open(const char* path, OpenMode mode) = 0;
    // False when nothing is there.
    virtual bool status(const char* path, FileStatus& status) = 0;
    // Replaces `to` by `from` in one step; a reader of `to` sees the one or the other.
    virtual bool renameReplacing(const char* from, const char* to) = 0;
    virtual bool remove(const char* path) = 0;
    // Bare names of a directory's entries, "." and ".." not listed. "\" is taken as a
    // separator too, and an empty path is the current directory.
    virtual bool listDirectory(const char* path, std::vector<std::string>& names) = 0;
    // Makes the directory's entries (a rename into it) last through a power cut.
    virtual bool syncDirectory(const char* path) = 0;
    // Makes `to`, which must not exist yet, a file holding the bytes of `from`: with `mayLink`,
    // the same file under a second name (a hard link) where the system can make one, otherwise
    // a copy; `linked` tells which. Fails without touching a `to` that exists. A copy that
    // fails part way may leave a part of `to`, which the caller removes.
    virtual bool copyFile(const char* from, const char* to, bool mayLink, bool& linked) = 0;
    // Returns once the data of every file named is on the device, as syncing each would, but
    // where the system allows in one step for all of them: a device flush per file costs
    // milliseconds, and a cache may have tens of thousands of frame files.
    virtual bool syncFiles(const std::vector<std::string>& paths);
};

// The operating system's files; lives for the whole process.
FileSystem& systemFileSystem();
// The file system the library uses wherever it is not given one: the operating system's,
// unless a ScopedDefaultFileSystem stands in.
FileSystem& defaultFileSystem();

// Makes `replacement` the process default while it lives, for tests that drive the library
// through its public API. Objects that took the default before keep theirs. Not for use
// while other threads open files.
class ScopedDefaultFileSystem {
public:
    explicit ScopedDefaultFileSystem(FileSystem& replacement);
    ~ScopedDefaultFileSystem();
    ScopedDefaultFileSystem(const ScopedDefaultFileSystem&) = delete;
    ScopedDefaultFileSystem& operator=(const ScopedDefaultFileSystem&) = delete;

private:
    FileSystem* m_previous;
};

// The size of a regular file in the default file system; false when there is none.
bool fileSize(const char* path, std::uint64_t& size);

// Copies every byte of `from` into `to` from offset 0, through a bounded buffer.
bool copyContents(FileHandle& from, FileHandle& to);

// The directory part of a path ("" when it has none), for syncing the directory of a file.
std::string directoryOf(const std::string& path);

}  // namespace qzOS
