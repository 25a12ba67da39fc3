#include <string>

#include <gtest/gtest.h>

#include "ProtectVectors.h"
#include "QBase64.h"

namespace {

struct EncodeCase {
    std::string plain;
    std::string encoded;
};

// RFC 4648 section 10, plus the padding cases of the settings line.
const EncodeCase kEncodeCases[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"a", "YQ=="},
    {"ab", "YWI="},
    {"abc", "YWJj"},
    {std::string("\0\xff\x80", 3), "AP+A"},
};

TEST(Base64, EncodesAndDecodesRfcVectors) {
    for (const auto& c : kEncodeCases) {
        EXPECT_EQ(Base64Encode(c.plain), c.encoded) << Hex(c.plain);
        EXPECT_EQ(Base64Decode(c.encoded), c.plain) << c.encoded;
    }
}

struct DecodeCase {
    const char* why;
    std::string text;
    std::string bytesHex;
};

const DecodeCase kLenientCases[] = {
    {"decoding goes on after a padded group", "YQ==YWI=", "616162"},
    {"pad in the third place ends the group", "YQ=j", "61"},
    {"pad in the third place, other second letter", "YW=j", "61"},
    {"pad in the fourth place drops the last byte", "YWI=", "6162"},
    {"junk counts as 63", "YW*j", "616fe3"},
    {"slash is 63", "YW/j", "616fe3"},
    {"pad in the first place counts as 0", "=WJj", "016263"},
    {"A is 0", "AWJj", "016263"},
    {"pad in the second place counts as 0", "Y=Jj", "600263"},
    {"a line break is a character of value 63", "YW\nj", "616fe3"},
    {"a line break shifts the following groups", "YWJj\nYWJj", "616263fd8589"},
    {"a space is not skipped", "YW j", "616fe3"},
    {"a byte of 0x80 or above counts as 63", "YW\xc3j", "616fe3"},
    {"a byte of 0xff counts as 63", "\xff\xff\xff\xff", "ffffff"},
    {"short last group of three yields two bytes", "YWJ", "6162"},
    {"short last group of two yields one byte", "YQ", "61"},
    {"a lone last character yields nothing", "YWJjY", "616263"},
    {"empty text", "", ""},
};

TEST(Base64, DecoderFollowsItsLenientRules) {
    for (const auto& c : kLenientCases) {
        EXPECT_EQ(Hex(Base64Decode(c.text)), c.bytesHex) << c.why;
    }
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t len = 0; len <= all.size(); ++len) {
        const std::string plain = all.substr(256 - len);
        const std::string text = Base64Encode(plain);
        ASSERT_EQ(text.size(), (len + 2) / 3 * 4);
        ASSERT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        ASSERT_EQ(Base64Decode(text), plain) << len;
    }
}

}  // namespace
