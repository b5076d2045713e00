// Big-endian encoding of the numbers in container headers and payloads.
// Every multi-byte number in a data file is stored most significant byte first. The single
// values are built from shifts, so they are right on any host; the bulk copies reverse the
// bytes of each element and are meant for little-endian hosts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace iff {

inline void storeU32BE(void* dst, std::uint32_t value) {
    unsigned char* out = static_cast<unsigned char*>(dst);
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

inline std::uint32_t loadU32BE(const void* src) {
    const unsigned char* in = static_cast<const unsigned char*>(src);
    return (static_cast<std::uint32_t>(in[0]) << 24) | (static_cast<std::uint32_t>(in[1]) << 16) |
        (static_cast<std::uint32_t>(in[2]) << 8) | static_cast<std::uint32_t>(in[3]);
}

inline void storeU64BE(void* dst, std::uint64_t value) {
    unsigned char* out = static_cast<unsigned char*>(dst);
    storeU32BE(out, static_cast<std::uint32_t>(value >> 32));
    storeU32BE(out + 4, static_cast<std::uint32_t>(value));
}

inline std::uint64_t loadU64BE(const void* src) {
    const unsigned char* in = static_cast<const unsigned char*>(src);
    return (static_cast<std::uint64_t>(loadU32BE(in)) << 32) | loadU32BE(in + 4);
}

// Two's complement through the unsigned form; the conversion back is well defined in C++17
// on every compiler the library supports (and exact from C++20 on).
inline void storeI32BE(void* dst, std::int32_t value) {
    storeU32BE(dst, static_cast<std::uint32_t>(value));
}

inline std::int32_t loadI32BE(const void* src) {
    const std::uint32_t bits = loadU32BE(src);
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Copies count 4-byte (8-byte) elements from src to dst, reversing the bytes of each.
// dst and src may be the same block; other overlaps are not allowed. Neither needs to be
// aligned. Runs with the widest byte shuffle the processor offers.
void reverseCopy32(void* dst, const void* src, std::size_t count);
void reverseCopy64(void* dst, const void* src, std::size_t count);

// For tests: runs one particular implementation of the bulk copies (0 portable, 1 SSSE3,
// 2 AVX2) for width 4 or 8; false when this processor or build does not have it.
bool reverseCopyWith(int implementation, std::size_t width, void* dst, const void* src, std::size_t count);

}  // namespace iff
