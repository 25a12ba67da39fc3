#include <string>

#include <gtest/gtest.h>

#include "CodePage.h"
#include "SysUtils.h"

namespace {

std::string HexOf(const std::string& s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

struct Case {
    std::string utf8;
    std::string cp932Hex;
};

// Codes where code page 932 differs from plain Shift_JIS mappings matter most: the wave dash
// family, the yen sign byte and the NEC row-13 characters.
const Case kCases[] = {
    {"", ""},
    {"abc", "616263"},
    {"\\", "5c"},
    {"～", "8160"},
    {"☆", "8199"},
    {"－", "817c"},
    {"①", "8740"},
    {"ｱ", "b1"},
    {"テスト", "836583588367"},
    {"きょうもとてもいいてんきだね～☆", "82ab82e582a482e082c682c482e082a282a282c482f182ab82be82cb81608199"},
};

TEST(CodePage, ConvertsBothWays) {
    for (const auto& c : kCases) {
        std::string bytes;
        ASSERT_TRUE(TryUtf8ToCp932(c.utf8, bytes)) << c.utf8;
        EXPECT_EQ(HexOf(bytes), c.cp932Hex) << c.utf8;
        EXPECT_EQ(Utf8ToCp932(c.utf8), bytes);
        std::string back;
        ASSERT_TRUE(TryCp932ToUtf8(bytes, back)) << c.utf8;
        EXPECT_EQ(back, c.utf8);
        EXPECT_EQ(Cp932ToUtf8(bytes), c.utf8);
    }
}

TEST(CodePage, RefusesWhatItCannotHold) {
    const std::string unconvertible[] = {"©", "a©b", "😀", "é", "bad \xff utf-8", "\xc0\x80"};
    for (const auto& s : unconvertible) {
        std::string out = "untouched";
        EXPECT_FALSE(TryUtf8ToCp932(s, out)) << s;
        EXPECT_EQ(out, "untouched");
        EXPECT_THROW(Utf8ToCp932(s), EConvertError);
    }
}

TEST(CodePage, InvalidBytesFailOrBecomeReplacementCharacters) {
    struct Bad {
        std::string bytes;
        std::string replaced;
    };
    const Bad cases[] = {
        {"a\x81", "a\xEF\xBF\xBD"},                        // lead byte at the end
        {"\xEF\xBB\xBF", "\xEF\xBF\xBDｿ"},                 // a UTF-8 mark is no code page 932 text
        {"x\xA0y", "x\xEF\xBF\xBDy"},                      // unassigned single byte
        {"k=\x81\nother=1", "k=\xEF\xBF\xBD\nother=1"},    // a lead byte takes no line feed with it
        {"\x81\x7F\xE0", "\xEF\xBF\xBD\x7F\xEF\xBF\xBD"},  // nor a byte that cannot trail it
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_FALSE(TryCp932ToUtf8(c.bytes, out)) << HexOf(c.bytes);
        EXPECT_EQ(HexOf(Cp932ToUtf8(c.bytes)), HexOf(c.replaced));
    }
}

TEST(CodePage, ValidatesUtf8) {
    EXPECT_TRUE(IsValidUtf8("plain ～ 😀"));
    const std::string bad[] = {"\x80", "\xC3", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"};
    for (const auto& s : bad) EXPECT_FALSE(IsValidUtf8(s)) << HexOf(s);
}

}  // namespace
