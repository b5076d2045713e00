// PC2 and MDD files as bytes, built and read as an independent reader of each format would:
// 4-byte fields, little-endian in PC2 files and big-endian in MDD files.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace qztest {

using Bytes = std::vector<std::uint8_t>;

// Stores a 4-byte int or float at `at`, growing the bytes when they end before it.
template <typename T>
void store32(Bytes& bytes, std::size_t at, T value, bool bigEndian) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, &value, 4);
    if (bytes.size() < at + 4) bytes.resize(at + 4);
    for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = std::uint8_t(raw >> (bigEndian ? 24 - 8 * i : 8 * i));
}

template <typename T>
void append32(Bytes& bytes, T value, bool bigEndian) {
    store32(bytes, bytes.size(), value, bigEndian);
}

template <typename T>
T load32(const Bytes& bytes, std::size_t at, bool bigEndian) {
    std::uint32_t raw = 0;
    for (int i = 0; i < 4; ++i) raw = (raw << 8) | bytes.at(at + std::size_t(bigEndian ? i : 3 - i));
    T value;
    std::memcpy(&value, &raw, 4);
    return value;
}

inline Bytes makePc2(std::int32_t points, float startFrame, float sampleRate, std::int32_t samples,
                     const std::vector<float>& values) {
    Bytes bytes = {'P', 'O', 'I', 'N', 'T', 'C', 'A', 'C', 'H', 'E', '2', 0};
    for (std::int32_t field : {1, points}) append32(bytes, field, false);
    for (float field : {startFrame, sampleRate}) append32(bytes, field, false);
    append32(bytes, samples, false);
    for (float v : values) append32(bytes, v, false);
    return bytes;
}

inline Bytes makeMdd(std::int32_t points, const std::vector<float>& seconds, const std::vector<float>& values) {
    Bytes bytes;
    for (std::int32_t field : {std::int32_t(seconds.size()), points}) append32(bytes, field, true);
    for (float s : seconds) append32(bytes, s, true);
    for (float v : values) append32(bytes, v, true);
    return bytes;
}

}  // namespace qztest
