// Files and directories. Every path is UTF-8; on Windows it is widened here.
#pragma once

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

}  // namespace qzOS
