// The string type of every name, path and text: 16-bit characters, converted from and to
// UTF-8 (encoding 1) and the native multibyte encoding (encoding 0, UTF-8 here too).
#pragma once

#include <cstddef>
#include <string>

#include "qzCacheExport.h"

namespace qzString {

class QZCACHE_API IString {
public:
    static constexpr unsigned int npos = static_cast<unsigned int>(-1);

    // Writable character, returned by the non-const operator[]; keeps the encoded forms in step.
    class QZCACHE_API CharRef {
    public:
        CharRef(IString& owner, unsigned int index) : m_owner(owner), m_index(index) {}
        operator char16_t() const;
        CharRef& operator=(char16_t c);
        CharRef& operator=(const CharRef& other) { return *this = static_cast<char16_t>(other); }

    private:
        IString& m_owner;
        unsigned int m_index;
    };

    IString();
    // Text in the given encoding (0 native multibyte, 1 UTF-8); malformed bytes become U+FFFD.
    // `ok`, when given, is set to false if the text was malformed.
    IString(const char* text, int encoding, bool* ok = nullptr);
    IString(const IString&);
    IString(IString&&) noexcept;
    IString& operator=(const IString&);
    IString& operator=(IString&&) noexcept;
    virtual ~IString();

    void assign(const char* text, int encoding, bool* ok = nullptr);
    void append(const IString& other);

    // Valid while the string lives and is not changed.
    const char* asMultibyte(int encoding, bool* ok = nullptr) const;
    const char* asUTF8(bool* ok = nullptr) const;
    // Bytes of the UTF-8 form, terminating zero included.
    std::size_t asUTF8StoreSize() const;

    unsigned int length() const;
    bool empty() const { return length() == 0; }
    char16_t operator[](unsigned int index) const;
    CharRef operator[](unsigned int index);

    unsigned int find(const IString& what, unsigned int start = 0) const;
    IString substr(unsigned int start, unsigned int count = npos) const;
    // Fills an empty string printf-style; a non-empty string is left unchanged (false).
    bool format(const char* fmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // 0 when equal; otherwise the sign of the first differing character.
    int compare(const IString& other) const;
    bool operator==(const IString& other) const { return compare(other) == 0; }
    bool operator!=(const IString& other) const { return compare(other) != 0; }

    const std::u16string& chars() const { return m_chars; }
    const std::string& utf8() const { return m_utf8; }

private:
    void setChar(unsigned int index, char16_t c);
    void refreshUtf8();

    std::u16string m_chars;
    // Kept in step with m_chars on every change, so that const readers on several threads never
    // write shared state.
    std::string m_utf8;
};

QZCACHE_API bool equal(const IString& a, const IString& b);
// Appends b to a.
QZCACHE_API void plusEqual(IString& a, const IString& b);

}  // namespace qzString
