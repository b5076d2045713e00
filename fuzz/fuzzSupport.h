// What the fuzz targets share: the input's files held in memory, where the library reads them
// without a copy, and the cache checker the inputs are handed to. The checker reads everything
// an input offers; the sanitizers and libFuzzer's limits (time, memory) are the checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qzCacheChecker.h"
#include "qzFileSystem.h"
#include "qzMemoryFileSystem.h"

namespace qzfuzz {

// The folder every input's files are placed in.
constexpr const char* kFolder = "/fuzz/";

// While it lives, every file the library opens is one of `files`: empty at first, so that
// nothing of an earlier input shows in the next.
struct MemoryFiles {
    qzOS::MemoryFileSystem files;
    qzOS::ScopedDefaultFileSystem scope{files};
};

// Bounded so that one input costs little whatever its description claims.
const qzCacheChecker& checker();

// A whole cache: the input is split by splitCacheInput into a description and one data file,
// placed as the one file or as the frame files of the cache's first two times; the cache is
// checked, then every channel is read at, between and before its first times.
void checkWholeCache(const std::uint8_t* data, std::size_t size);

// The whole-cache input: a 4-byte big-endian description length, the description, then the
// data file. A short or overlong length takes what there is.
std::vector<std::uint8_t> joinCacheInput(const std::vector<std::uint8_t>& description,
                                         const std::vector<std::uint8_t>& dataFile);
void splitCacheInput(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& description,
                     std::vector<std::uint8_t>& dataFile);

}  // namespace qzfuzz
