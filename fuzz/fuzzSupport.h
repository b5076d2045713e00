// What the fuzz targets share: a scratch directory of the process's own, and one reading walk
// per kind of input. Each walk reads everything the input offers and checks nothing itself:
// the sanitizers and libFuzzer's limits (time, memory) are the checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qzfuzz {

const std::string& scratchDirectory();
// Every walk starts with it, so that a file left by an earlier input never shows in the next.
void clearScratchDirectory();
bool writeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

// A data file of either variant through qzCacheFileIffIO: every time group, every record,
// every array with each array reader in turn.
void walkDataFile(const std::uint8_t* data, std::size_t size);
// A description file read into an accessor, then its channels' sampling records questioned
// and extended off their grid, its file list walked and the description written back.
void readDescription(const std::uint8_t* data, std::size_t size);
// A PC2 file: its header and every sample the file can hold.
void readPointCache(const std::uint8_t* data, std::size_t size);
// A whole cache: the input is split by splitCacheInput into a description and one data file
// (placed as the one file, or as the frame files of the first two frames); every channel is
// read at and between its times, directly and through the memory copy.
void readWholeCache(const std::uint8_t* data, std::size_t size);

// The whole-cache input: a 4-byte big-endian description length, the description, then the
// data file. A short or overlong length takes what there is.
std::vector<std::uint8_t> joinCacheInput(const std::vector<std::uint8_t>& description,
                                         const std::vector<std::uint8_t>& dataFile);
void splitCacheInput(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& description,
                     std::vector<std::uint8_t>& dataFile);

}  // namespace qzfuzz
