#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qzString.h"

using qzString::IString;

namespace {

// Decodes from a heap block holding exactly the bytes and their zero, so that a read past the
// end of the input is caught by the address sanitizer.
IString fromUtf8(const std::string& bytes, bool* ok = nullptr) {
    std::vector<char> exact(bytes.size() + 1);
    if (!bytes.empty()) std::memcpy(exact.data(), bytes.data(), bytes.size());
    exact[bytes.size()] = '\0';
    return IString(exact.data(), 1, ok);
}

// Every high surrogate is followed by a low one and no low one stands alone.
bool surrogatesPaired(const std::u16string& chars) {
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const char16_t c = chars[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= chars.size() || chars[i + 1] < 0xDC00 || chars[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(StringUtf8, RoundTripsEverySequenceLength) {
    struct Case {
        std::string bytes;
        std::u16string chars;
    };
    const std::vector<Case> cases = {
        {"shot", u"shot"},
        {"\x7F", u"\x007F"},
        {"\xC2\x80", u"\x0080"},
        {"\xC3\xA9t\xC3\xA9", u"\x00E9t\x00E9"},
        {"\xDF\xBF", u"\x07FF"},
        {"\xE0\xA0\x80", u"\x0800"},
        {"\xE2\x82\xAC", u"\x20AC"},
        {"\xEF\xBF\xBF", u"\xFFFF"},
        {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", u"a\x00E9\x20AC\xD83D\xDE00z"},
    };
    for (const Case& c : cases) {
        bool ok = false;
        const IString s = fromUtf8(c.bytes, &ok);
        EXPECT_TRUE(ok) << c.bytes;
        EXPECT_EQ(s.chars(), c.chars) << c.bytes;
        EXPECT_EQ(s.length(), c.chars.size()) << c.bytes;
        EXPECT_EQ(std::string(s.asUTF8()), c.bytes);
        EXPECT_EQ(std::string(s.asMultibyte(0)), c.bytes);
        EXPECT_EQ(s.asUTF8StoreSize(), c.bytes.size() + 1);
        // Encoding 0 reads the same bytes (the native encoding is UTF-8 here).
        EXPECT_EQ(IString(c.bytes.c_str(), 0).chars(), c.chars);
    }
}

TEST(StringUtf8, MalformedInputIsReplacedWithoutOverreading) {
    struct Case {
        std::string bytes;
        const char* what;
    };
    const std::vector<Case> cases = {
        {"a\xC3", "2-byte sequence cut at the end"},
        {"a\xE2\x82", "3-byte sequence cut at the end"},
        {"a\xE2", "3-byte lead alone at the end"},
        {"a\xF0\x9F\x98", "4-byte sequence cut at the end"},
        {"a\xF0\x9F", "4-byte sequence cut after two bytes"},
        {"a\xF0", "4-byte lead alone at the end"},
        {"a\xC0\xAFz", "overlong '/'"},
        {"a\xC1\xBFz", "overlong 2-byte"},
        {"a\xE0\x80\xAFz", "overlong 3-byte"},
        {"a\xF0\x80\x80\xAFz", "overlong 4-byte"},
        {"a\x80z", "lone continuation byte"},
        {"a\xBF\xBF\xBFz", "run of continuation bytes"},
        {"a\xED\xA0\x80z", "high surrogate in UTF-8"},
        {"a\xED\xBF\xBFz", "low surrogate in UTF-8"},
        {"a\xED\xA0\xBD\xED\xB8\x80z", "surrogate pair in UTF-8"},
        {"a\xF4\x90\x80\x80z", "above U+10FFFF"},
        {"a\xF5\x80\x80\x80z", "lead 0xF5"},
        {"a\xF8\x88\x80\x80\x80z", "5-byte form"},
        {"a\xFC\x84\x80\x80\x80\x80z", "6-byte form"},
        {"a\xFE\xFFz", "bytes 0xFE 0xFF"},
        {"a\xC3z", "2-byte lead followed by ASCII"},
        {"a\xE2\x82z", "3-byte sequence interrupted by ASCII"},
        {"\xF8", "0xF8 alone"},
        {"\xFF", "0xFF alone"},
    };
    for (const Case& c : cases) {
        bool ok = true;
        const IString s = fromUtf8(c.bytes, &ok);
        EXPECT_FALSE(ok) << c.what;
        const std::u16string& chars = s.chars();
        ASSERT_FALSE(chars.empty()) << c.what;
        EXPECT_NE(chars.find(u'\xFFFD'), std::u16string::npos) << c.what;
        EXPECT_TRUE(surrogatesPaired(chars)) << c.what;
        // The text around the bad bytes survives.
        if (c.bytes[0] == 'a') {
            EXPECT_EQ(chars.front(), u'a') << c.what;
        }
        if (c.bytes.back() == 'z') {
            EXPECT_EQ(chars.back(), u'z') << c.what;
        }
        // The encoded form is well-formed UTF-8 and reads back to the same characters.
        bool again = false;
        const IString reread = fromUtf8(s.asUTF8(), &again);
        EXPECT_TRUE(again) << c.what;
        EXPECT_EQ(reread.chars(), chars) << c.what;
        EXPECT_EQ(s.asUTF8StoreSize(), std::strlen(s.asUTF8()) + 1) << c.what;
    }
}

TEST(StringUtf8, NullAndEmptyText) {
    const IString fromNull(nullptr, 1);
    EXPECT_EQ(fromNull.length(), 0u);
    EXPECT_STREQ(fromNull.asUTF8(), "");
    EXPECT_EQ(fromNull.asUTF8StoreSize(), 1u);
    const IString empty;
    EXPECT_STREQ(empty.asMultibyte(0), "");
    EXPECT_EQ(empty.asUTF8StoreSize(), 1u);
    IString s("old", 0);
    s.assign("", 1);
    EXPECT_EQ(s.length(), 0u);
    EXPECT_STREQ(s.asUTF8(), "");
}

TEST(StringEdit, WritableIndexKeepsUtf8InStep) {
    IString s("abc", 0);
    s[1] = u'\x00E9';
    EXPECT_STREQ(s.asUTF8(), "a\xC3\xA9" "c");
    EXPECT_EQ(s.asUTF8StoreSize(), 5u);
    s[0] = u'\xD83D';
    s[1] = u'\xDE00';
    EXPECT_STREQ(s.asUTF8(), "\xF0\x9F\x98\x80" "c");
    EXPECT_EQ(s.asUTF8StoreSize(), 6u);
    EXPECT_EQ(s.length(), 3u);

    // A lone surrogate has no UTF-8 form; the encoded text stays well-formed.
    s[1] = u'c';
    bool ok = false;
    const IString reread(s.asUTF8(), 1, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.asUTF8StoreSize(), std::strlen(s.asUTF8()) + 1);

    // Reading and copying through the writable form.
    IString t("xyz", 0);
    const char16_t second = t[1];
    EXPECT_EQ(second, u'y');
    t[0] = t[2];
    EXPECT_STREQ(t.asUTF8(), "zyz");

    // Out of range: reads give 0 and writes change nothing.
    t[3] = u'!';
    t[1000] = u'!';
    EXPECT_STREQ(t.asUTF8(), "zyz");
    EXPECT_EQ(t.length(), 3u);
    const IString& constT = t;
    EXPECT_EQ(constT[3], 0);
}

TEST(StringEdit, CopiesAreIndependent) {
    IString original("frame", 0);
    IString copy(original);
    copy[0] = u'F';
    EXPECT_STREQ(original.asUTF8(), "frame");
    EXPECT_STREQ(copy.asUTF8(), "Frame");
    IString assigned;
    assigned = original;
    assigned[4] = u'E';
    EXPECT_STREQ(original.asUTF8(), "frame");
    EXPECT_STREQ(assigned.asUTF8(), "framE");
}

TEST(StringSearch, FindAndSubstr) {
    const IString s("shotFrame10Tick125", 0);
    const IString tick("Tick", 0);
    EXPECT_EQ(s.find(tick, 0), 11u);
    EXPECT_EQ(s.find(tick, 11), 11u);
    EXPECT_EQ(s.find(tick, 12), IString::npos);
    EXPECT_EQ(s.find(IString("shot", 0), 0), 0u);
    EXPECT_EQ(s.find(IString("shot", 0), 1), IString::npos);
    EXPECT_EQ(s.find(IString("missing", 0), 0), IString::npos);
    EXPECT_EQ(s.find(tick, 1000), IString::npos);
    EXPECT_EQ(s.find(tick, IString::npos), IString::npos);
    EXPECT_EQ(s.find(IString(), 3), 3u);

    EXPECT_STREQ(s.substr(4).asUTF8(), "Frame10Tick125");
    EXPECT_STREQ(s.substr(4, IString::npos).asUTF8(), "Frame10Tick125");
    EXPECT_STREQ(s.substr(0, 4).asUTF8(), "shot");
    EXPECT_STREQ(s.substr(15, 100).asUTF8(), "125");
    EXPECT_STREQ(s.substr(15, 0).asUTF8(), "");
    EXPECT_EQ(s.substr(18).length(), 0u);
    EXPECT_EQ(s.substr(1000, 2).length(), 0u);
    EXPECT_EQ(s.substr(IString::npos).length(), 0u);

    // Positions count 16-bit characters: a character outside the BMP takes two.
    const IString wide("\xF0\x9F\x98\x80x\xC3\xA9x", 1);
    EXPECT_EQ(wide.find(IString("x", 0), 0), 2u);
    EXPECT_EQ(wide.find(IString("x", 0), 3), 4u);
    EXPECT_STREQ(wide.substr(2).asUTF8(), "x\xC3\xA9x");
    EXPECT_EQ(wide.substr(2).asUTF8StoreSize(), 5u);
}

TEST(StringFormat, FillsAnEmptyString) {
    IString s;
    EXPECT_TRUE(s.format("Frame%dTick%d", -1, -125));
    EXPECT_STREQ(s.asUTF8(), "Frame-1Tick-125");
    EXPECT_EQ(s.length(), 15u);

    // Longer than any small fixed buffer.
    const std::string longText(5000, 'k');
    IString big;
    EXPECT_TRUE(big.format("<%s|%d>", longText.c_str(), 7));
    EXPECT_EQ(std::string(big.asUTF8()), "<" + longText + "|7>");
    EXPECT_EQ(big.length(), 5004u);

    // UTF-8 arguments become their characters.
    IString accented;
    EXPECT_TRUE(accented.format("%s", "\xC3\xA9t\xC3\xA9"));
    EXPECT_EQ(accented.length(), 3u);
    EXPECT_EQ(accented.chars(), u"\x00E9t\x00E9");

    IString empty;
    EXPECT_TRUE(empty.format("%s", ""));
    EXPECT_EQ(empty.length(), 0u);
}

TEST(StringCompare, CompareEqualAndPlusEqual) {
    const IString a("abc", 0);
    EXPECT_EQ(a.compare(IString("abc", 1)), 0);
    EXPECT_LT(a.compare(IString("abd", 0)), 0);
    EXPECT_GT(a.compare(IString("abb", 0)), 0);
    EXPECT_LT(a.compare(IString("abcd", 0)), 0);
    EXPECT_GT(a.compare(IString("ab", 0)), 0);
    EXPECT_GT(a.compare(IString()), 0);
    EXPECT_EQ(IString().compare(IString("", 1)), 0);
    // Characters compare as characters, not as bytes of some encoding.
    EXPECT_NE(IString("\xC3\xA9", 1).compare(IString("e", 0)), 0);

    EXPECT_TRUE(qzString::equal(a, IString("abc", 1)));
    EXPECT_FALSE(qzString::equal(a, IString("ABC", 0)));
    EXPECT_FALSE(qzString::equal(a, IString("abc ", 0)));

    IString path("D:/anim/", 0);
    qzString::plusEqual(path, IString("shot", 0));
    qzString::plusEqual(path, IString());
    qzString::plusEqual(path, IString("\xE2\x82\xAC.xml", 1));
    EXPECT_STREQ(path.asUTF8(), "D:/anim/shot\xE2\x82\xAC.xml");
    EXPECT_EQ(path.length(), 17u);
    EXPECT_EQ(path.asUTF8StoreSize(), 20u);

    IString twice("ab", 0);
    qzString::plusEqual(twice, twice);
    EXPECT_STREQ(twice.asUTF8(), "abab");

    // A surrogate pair split across two appends joins up in the encoded form.
    IString high("x", 0);
    high[0] = u'\xD83D';
    IString low("x", 0);
    low[0] = u'\xDE00';
    qzString::plusEqual(high, low);
    EXPECT_STREQ(high.asUTF8(), "\xF0\x9F\x98\x80");
}
