// What the container's reading and writing halves share. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace iff {
namespace shared {

// Read-ahead and write-behind buffer: smaller transfers gather in it, larger ones go in one
// call.
constexpr std::size_t kBufferBytes = 64 * 1024;
// The type tag after a group's size field.
constexpr unsigned kTypeBytes = 4;

// " at offset N", for messages.
inline std::string at(std::uint64_t offset) { return " at offset " + std::to_string(offset); }

}  // namespace shared
}  // namespace iff
