#include "qzIffTag.h"

#include <cstdio>

namespace iff {

qzIffTag::qzIffTag(const char* text) : m_bytes{0, 0, 0, 0} {
    for (int i = 0; text != nullptr && i < 4 && text[i] != '\0'; ++i) {
        m_bytes[i] = static_cast<unsigned char>(text[i]);
    }
}

qzIffTag qzIffTag::fromBytes(const void* bytes) {
    const char* in = static_cast<const char*>(bytes);
    return qzIffTag(in[0], in[1], in[2], in[3]);
}

std::string qzIffTag::text() const {
    std::string result;
    for (unsigned char byte : m_bytes) {
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            result += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            result += escaped;
        }
    }
    return result;
}

}  // namespace iff
