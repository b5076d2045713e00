// The bytes of an IFF data file as they lie on disk, for tests that check or damage them: where
// each top-level group and its chunks are, what their size fields say, and patching those.
// A group or chunk is a four-letter tag and a big-endian size field, 4 bytes wide in "FOR4"
// files and 8 in "FOR8" files; every tag starts at an offset aligned to that width.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace qztest {

using Bytes = std::vector<std::uint8_t>;

inline std::uint64_t loadBE(const Bytes& bytes, std::size_t at, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | bytes.at(at + i);
    return value;
}

inline void storeBE(Bytes& bytes, std::size_t at, unsigned width, std::uint64_t value) {
    for (unsigned i = 0; i < width; ++i) bytes.at(at + width - 1 - i) = static_cast<std::uint8_t>(value >> (8 * i));
}

struct IffChunk {
    std::string tag;
    std::size_t at = 0;  // where its tag begins; the size field follows
    std::uint64_t size = 0;
};

struct IffGroup {
    std::string type;
    std::size_t at = 0;
    std::size_t end = 0;  // where the next group may begin
    std::vector<IffChunk> chunks;
};

// The groups of a file as far as their sizes hold; nested groups are not entered.
struct IffBytes {
    Bytes bytes;
    unsigned width = 4;
    std::vector<IffGroup> groups;

    explicit IffBytes(Bytes file) : bytes(std::move(file)) {
        width = bytes.size() >= 4 && std::memcmp(bytes.data(), "FOR8", 4) == 0 ? 8 : 4;
        for (std::size_t at = 0; at + 2 * width + 4 <= bytes.size();) {
            IffGroup group{tagAt(at + 4 + width), at, 0, {}};
            const std::uint64_t size = loadBE(bytes, at + 4, width);
            if (size < 4 || size > bytes.size() - at - 4 - width) break;
            group.end = aligned(at + 4 + width + size);
            for (std::size_t c = at + 8 + width; c + 4 + width <= at + 4 + width + size;) {
                const IffChunk chunk{tagAt(c), c, loadBE(bytes, c + 4, width)};
                group.chunks.push_back(chunk);
                c = aligned(c + 4 + width + chunk.size);
            }
            groups.push_back(group);
            at = group.end;
        }
    }

    // The first chunk with `tag` in group `group` (in any group when negative).
    const IffChunk* chunk(const char* tag, int group = -1) const {
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (group >= 0 && g != static_cast<std::size_t>(group)) continue;
            for (const IffChunk& c : groups[g].chunks) {
                if (c.tag == tag) return &c;
            }
        }
        return nullptr;
    }
    // Its data as stored (without padding); empty when there is no such chunk.
    Bytes data(const char* tag, int group = -1) const {
        const IffChunk* c = chunk(tag, group);
        if (!c || c->at + 4 + width + c->size > bytes.size()) return {};
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(c->at + 4 + width);
        return Bytes(begin, begin + static_cast<std::ptrdiff_t>(c->size));
    }
    // Sets the size field of the group or chunk whose tag is at `at`.
    void setSize(std::size_t at, std::uint64_t size) { storeBE(bytes, at + 4, width, size); }

private:
    std::string tagAt(std::size_t at) const {
        return at + 4 <= bytes.size() ? std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + 4))
                                      : std::string();
    }
    std::size_t aligned(std::uint64_t offset) const {
        return static_cast<std::size_t>((offset + width - 1) / width * width);
    }
};

}  // namespace qztest
