// Files and directories. Every path is UTF-8; on Windows it is widened here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qzOS {

// fopen with a UTF-8 path. Null when the file cannot be opened or the path is empty.
std::FILE* openFile(const char* utf8Path, const char* mode);

// Size in bytes of a regular file; false when it does not exist or is no file.
bool fileSize(const char* utf8Path, std::uint64_t& size);

bool fileExists(const char* utf8Path);

// Replaces `to` by `from` in one step where the platform allows.
bool renameFile(const char* from, const char* to);

bool removeFile(const char* utf8Path);

// Bare names of a directory's entries ("." and ".." not listed). "\" is accepted as a
// separator and an empty path lists the current directory.
bool listDirectory(const char* utf8Path, std::vector<std::string>& names);

// 64-bit seek and tell on stdio streams.
int seekFile(std::FILE* file, std::int64_t offset, int whence);
std::int64_t tellFile(std::FILE* file);

// Reads up to `count` bytes at `offset` without regard to the stream's position, which may
// move (it does on Windows). Gives the bytes read; fewer at the end of the file or on error.
std::size_t readFileAt(std::FILE* file, std::uint64_t offset, void* data, std::size_t count);

// Which file an open stream or a path refers to, so that a file replaced under its name can
// be told from the one still open. Not known on every platform.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t node = 0;
    std::int64_t modifiedNs = 0;  // last modification, nanoseconds since the epoch
    bool known = false;
};
// The identity and length of an open regular file in one question to the system; false when
// the platform cannot answer it that way (the caller then seeks to the end).
bool identityAndLengthOf(std::FILE* file, FileIdentity& identity, std::uint64_t& length);
// The identity and the current length of the file under a path; false when there is none.
bool identityAt(const char* utf8Path, FileIdentity& identity, std::uint64_t& length);

}  // namespace qzOS
