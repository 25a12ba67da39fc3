#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Classes.h"
#include "CodePage.h"
#include "ProtectVectors.h"
#include "QBase64.h"
#include "QCWinCrypt.h"
#include "QWinCrypt.h"
#include "ScopedKeyStore.h"
#include "TestSupport.h"

namespace {

const std::string kPhrase = "きょうもとてもいいてんきだね～☆";
const std::string kFallback = "(c)2005 Rinto";

// What the vectors file's first column stands for, as UTF-8 text.
std::string TextOfRow(const std::string& description) {
    if (description == "empty") return "";
    if (description == "61 ('a')") return "a";
    if (description == "(c)2005 Rinto") return "(c)2005 Rinto";
    if (description == "(c)テスト: 286329836583588367") {
        EXPECT_EQ(Hex(Utf8ToCp932("(c)テスト")), "286329836583588367");
        return "(c)テスト";
    }
    if (description == "8 bytes 'ABCDEFGH'") return "ABCDEFGH";
    ADD_FAILURE() << "vector row the test does not know: " << description;
    return "";
}

TEST(ProtectedTextVectors, EveryTableRowThroughTheFacade) {
    REQUIRE_SHARED_DIR();
    const auto& v = LoadProtectedTextVectors();
    ASSERT_TRUE(v.loaded);
    ASSERT_EQ(v.rows.size(), 5u);
    TQCWinCrypt facade;
    for (const auto& row : v.rows) {
        const std::string text = TextOfRow(row.description);
        const std::string line = facade.EncryptString(text, kPhrase, kFallback);
        EXPECT_EQ(line, row.base64) << row.description;
        EXPECT_EQ(Base64Decode(line).size(), row.cipherBytes) << row.description;
        EXPECT_EQ(facade.DecryptString(row.base64, kPhrase, "fallback"), text) << row.description;
    }
}

TEST(QCWinCrypt, RoundTripsTexts) {
    std::string longText;
    while (longText.size() <= 1100) longText += "日本語とASCII mixed text; ";
    std::string doubleByte;
    for (int i = 0; i < 25; ++i) doubleByte += "漢";
    ASSERT_EQ(Utf8ToCp932(doubleByte).size(), 50u);
    const std::string texts[] = {"", "a", doubleByte, longText, "(c)2005 Rinto ～☆"};
    TQCWinCrypt facade;
    for (const auto& text : texts) {
        const std::string line = facade.EncryptString(text, kPhrase, kFallback);
        ASSERT_NE(line, kFallback);
        const size_t cipherBytes = Utf8ToCp932(text).size() / 8 * 8 + 8;
        EXPECT_EQ(line.size(), (cipherBytes + 2) / 3 * 4) << text;
        EXPECT_EQ(facade.EncryptString(text, kPhrase, kFallback), line) << "same text, same line";
        EXPECT_EQ(facade.DecryptString(line, kPhrase, kFallback), text);
    }
}

TEST(QCWinCrypt, FailuresGiveTheFallback) {
    TQCWinCrypt facade;
    const std::string good = facade.EncryptString("stamp", kPhrase, kFallback);
    const std::string cases[] = {
        "",               // nothing stored
        "(c)2005 Rinto",  // the default text handed in when the key is missing
        "not base64 at all!!",
        "AAAAAAAAAAA=",  // 8 bytes that are not a ciphertext under the phrase
        good.substr(0, good.size() - 4),
        "\xff\xfe garbage \x81",
    };
    for (const auto& line : cases) EXPECT_EQ(facade.DecryptString(line, kPhrase, "FB"), "FB") << line;
    EXPECT_EQ(facade.DecryptString(good, "other phrase", "FB"), "FB");
    EXPECT_EQ(facade.DecryptString(good, kPhrase, "FB"), "stamp");
}

TEST(QCWinCrypt, TextsOutsideCodePage932KeepTheirCharacters) {
    TQCWinCrypt facade;
    struct Case {
        std::string text;
        bool fitsCp932;
    };
    const Case cases[] = {
        {"©2005 Rinto", false},
        {"Ünïcödé ✓ 😀", false},
        {"(c)2005 りんと", true},
    };
    for (const auto& c : cases) {
        const std::string line = facade.EncryptString(c.text, kPhrase, kFallback);
        ASSERT_NE(line, kFallback) << c.text;
        EXPECT_EQ(facade.DecryptString(line, kPhrase, kFallback), c.text);

        // Under the protection: code page 932 bytes as the original stores them, or the UTF-8
        // mark and the UTF-8 bytes.
        const std::string decoded = Base64Decode(line);
        TMemoryStream source(std::vector<uint8_t>(decoded.begin(), decoded.end()));
        TMemoryStream plain;
        TQWinCrypt cipher;
        ASSERT_TRUE(cipher.DecryptStream(source, Utf8ToCp932(kPhrase), plain));
        const std::string bytes(plain.Bytes().begin(), plain.Bytes().end());
        EXPECT_EQ(bytes, c.fitsCp932 ? Utf8ToCp932(c.text) : "\xEF\xBB\xBF" + c.text) << c.text;
    }
}

TEST(QCWinCrypt, DamagedLinesGiveTheFallbackOrValidText) {
    TQCWinCrypt facade;
    const std::string line = facade.EncryptString("（ｃ）２００５ Rinto ©", kPhrase, kFallback);
    for (size_t i = 0; i < line.size(); ++i) {
        std::string flipped = line;
        flipped[i] = static_cast<char>(flipped[i] ^ 0x21);
        for (const std::string& damaged : {flipped, line.substr(0, i)}) {
            const std::string text = facade.DecryptString(damaged, kPhrase, "FB");
            EXPECT_TRUE(IsValidUtf8(text)) << damaged;
            // Only damage the decoder ignores (a pad's neighbour, a dropped pad) keeps the text.
            if (text != "FB") {
                EXPECT_EQ(Base64Decode(damaged), Base64Decode(line)) << damaged;
            }
        }
    }
}

TEST(QCWinCrypt, InvalidInputTextOrPhraseGivesTheFallback) {
    TQCWinCrypt facade;
    EXPECT_EQ(facade.EncryptString("bad \xff utf-8", kPhrase, kFallback), kFallback);
    EXPECT_EQ(facade.EncryptString("text", "©", kFallback), kFallback);
}

// The pass phrase needs no key container: one that cannot be made costs no stored text.
TEST(QCWinCrypt, AnUnopenableKeyContainerDoesNotMatterToAPassPhrase) {
    testsupport::TempDir dir;
    { std::ofstream(dir.file("file")) << "x"; }
    ScopedKeyStore scoped(dir.file("file"));
    TQCWinCrypt facade;
    EXPECT_EQ(facade.EncryptString("(c)2005 Rinto", kPhrase, "FB"), "1yoQNwc60NyeItSV6XNAAw==");
    EXPECT_EQ(facade.DecryptString("1yoQNwc60NyeItSV6XNAAw==", kPhrase, "FB"), "(c)2005 Rinto");
}

}  // namespace
