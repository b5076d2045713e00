// Four-byte identifier of a group, a group type or a chunk in a container file.
#pragma once

#include <cstdint>
#include <string>

namespace iff {

class qzIffTag {
public:
    // No tag: four zero bytes.
    constexpr qzIffTag() : m_bytes{0, 0, 0, 0} {}

    constexpr qzIffTag(char a, char b, char c, char d)
        : m_bytes{static_cast<unsigned char>(a), static_cast<unsigned char>(b),
              static_cast<unsigned char>(c), static_cast<unsigned char>(d)} {}

    // The first four characters of text; a shorter text is filled up with zero bytes.
    explicit qzIffTag(const char* text);

    // The four bytes as stored in a file.
    static qzIffTag fromBytes(const void* bytes);

    const unsigned char* bytes() const { return m_bytes; }

    // The tag for messages: printable characters as they are, others as \xNN.
    std::string text() const;

    friend bool operator==(const qzIffTag& a, const qzIffTag& b) {
        return a.m_bytes[0] == b.m_bytes[0] && a.m_bytes[1] == b.m_bytes[1] &&
            a.m_bytes[2] == b.m_bytes[2] && a.m_bytes[3] == b.m_bytes[3];
    }
    friend bool operator!=(const qzIffTag& a, const qzIffTag& b) { return !(a == b); }

    static const qzIffTag kFOR4;
    static const qzIffTag kFOR8;
    static const qzIffTag kZERO;

private:
    unsigned char m_bytes[4];
};

// Constant-initialised, so tags built from these elsewhere at load time see their values.
inline constexpr qzIffTag qzIffTag::kFOR4{'F', 'O', 'R', '4'};
inline constexpr qzIffTag qzIffTag::kFOR8{'F', 'O', 'R', '8'};
inline constexpr qzIffTag qzIffTag::kZERO{};

}  // namespace iff
