#include "qzString.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace qzString {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes UTF-8 into UTF-16; malformed sequences become U+FFFD and never read past the end.
std::u16string decodeUtf8(const char* text, bool& ok) {
    std::u16string out;
    ok = true;
    if (!text) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            out.push_back(lead);
            ++p;
            continue;
        }
        int extra = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1; code = lead & 0x1F; minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2; code = lead & 0x0F; minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3; code = lead & 0x07; minimum = 0x10000;
        } else {
            out.push_back(kReplacement);
            ok = false;
            ++p;
            continue;
        }
        int taken = 1;
        bool good = true;
        for (; taken <= extra; ++taken) {
            const unsigned char next = p[taken];
            if ((next & 0xC0) != 0x80) {  // also stops at the terminating zero
                good = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (!good || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(kReplacement);
            ok = false;
            p += good ? taken : (taken > 1 ? taken : 1);
            continue;
        }
        p += taken;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string encodeUtf8(const std::u16string& chars) {
    std::string out;
    out.reserve(chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i) {
        char32_t code = chars[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < chars.size() && chars[i + 1] >= 0xDC00 &&
            chars[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (chars[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = kReplacement;  // a lone surrogate has no UTF-8 form
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

}  // namespace

IString::CharRef::operator char16_t() const {
    return static_cast<const IString&>(m_owner)[m_index];
}

IString::CharRef& IString::CharRef::operator=(char16_t c) {
    m_owner.setChar(m_index, c);
    return *this;
}

IString::IString() = default;

IString::IString(const char* text, int encoding, bool* ok) { assign(text, encoding, ok); }

IString::IString(const IString&) = default;
IString::IString(IString&&) noexcept = default;
IString& IString::operator=(const IString&) = default;
IString& IString::operator=(IString&&) noexcept = default;
IString::~IString() = default;

void IString::assign(const char* text, int /*encoding*/, bool* ok) {
    // Both encodings are UTF-8 here; the platform layer converts paths where it must.
    bool good = true;
    m_chars = decodeUtf8(text, good);
    refreshUtf8();
    if (ok) *ok = good;
}

const char* IString::asMultibyte(int /*encoding*/, bool* ok) const {
    if (ok) *ok = true;
    return m_utf8.c_str();
}

const char* IString::asUTF8(bool* ok) const {
    if (ok) *ok = true;
    return m_utf8.c_str();
}

std::size_t IString::asUTF8StoreSize() const { return m_utf8.size() + 1; }

unsigned int IString::length() const { return static_cast<unsigned int>(m_chars.size()); }

char16_t IString::operator[](unsigned int index) const {
    return index < m_chars.size() ? m_chars[index] : char16_t(0);
}

IString::CharRef IString::operator[](unsigned int index) { return CharRef(*this, index); }

void IString::setChar(unsigned int index, char16_t c) {
    if (index >= m_chars.size()) return;
    m_chars[index] = c;
    refreshUtf8();
}

void IString::refreshUtf8() { m_utf8 = encodeUtf8(m_chars); }

unsigned int IString::find(const IString& what, unsigned int start) const {
    if (start > m_chars.size()) return npos;
    const std::size_t at = m_chars.find(what.m_chars, start);
    return at == std::u16string::npos ? npos : static_cast<unsigned int>(at);
}

IString IString::substr(unsigned int start, unsigned int count) const {
    IString result;
    if (start >= m_chars.size()) return result;
    result.m_chars = m_chars.substr(start, count == npos ? std::u16string::npos : count);
    result.refreshUtf8();
    return result;
}

bool IString::format(const char* fmt, ...) {
    if (!m_chars.empty() || !fmt) return false;
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    bool done = false;
    if (needed >= 0) {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), fmt, args);
        assign(buffer.data(), 1);
        done = true;
    }
    va_end(args);
    return done;
}

int IString::compare(const IString& other) const {
    const int c = m_chars.compare(other.m_chars);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool equal(const IString& a, const IString& b) { return a.compare(b) == 0; }

void IString::append(const IString& other) {
    m_chars += other.m_chars;
    refreshUtf8();
}

void plusEqual(IString& a, const IString& b) { a.append(b); }

}  // namespace qzString
