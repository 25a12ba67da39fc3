#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nettle/arctwo.h>
#include <nettle/cbc.h>
#include <nettle/md5.h>

#include "Classes.h"
#include "CodePage.h"
#include "ProtectVectors.h"
#include "QBase64.h"
#include "QWinCrypt.h"
#include "ScopedKeyStore.h"
#include "TestSupport.h"

namespace {

// The program's fixed pass phrase (the settings record's initial value), as hashed.
std::string ProgramPassPhrase() { return Utf8ToCp932("きょうもとてもいいてんきだね～☆"); }

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 256);
    return s;
}

struct Result {
    bool ok;
    std::string bytes;
    std::string message;
    uint32_t error;
};

Result RunCipher(bool encrypt, const std::string& input, const std::string& passPhrase,
                 TQWinCrypt cipher = TQWinCrypt()) {
    TMemoryStream source(std::vector<uint8_t>(input.begin(), input.end()));
    TMemoryStream dest;
    const bool ok =
        encrypt ? cipher.EncryptStream(source, passPhrase, dest) : cipher.DecryptStream(source, passPhrase, dest);
    return {ok, std::string(dest.Bytes().begin(), dest.Bytes().end()), cipher.LastErrorMessage, cipher.LastError};
}

Result Encrypt(const std::string& plain, const std::string& phrase) { return RunCipher(true, plain, phrase); }
Result Decrypt(const std::string& cipher, const std::string& phrase) { return RunCipher(false, cipher, phrase); }

// RC2-CBC with PKCS#5 padding straight from nettle, in one piece: the judge of our chunking.
std::string ReferenceEncrypt(const std::array<uint8_t, 16>& key, std::string plain) {
    const size_t pad = 8 - plain.size() % 8;
    plain.append(pad, static_cast<char>(pad));
    arctwo_ctx ctx;
    arctwo_set_key_ekb(&ctx, key.size(), key.data(), 40);
    uint8_t iv[8] = {};
    std::string out(plain.size(), '\0');
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(arctwo_encrypt), 8, iv, plain.size(),
                reinterpret_cast<uint8_t*>(out.data()), reinterpret_cast<const uint8_t*>(plain.data()));
    return out;
}

TEST(ProtectedTextVectors, PassPhraseBytesHashAndKey) {
    REQUIRE_SHARED_DIR();
    const auto& v = LoadProtectedTextVectors();
    ASSERT_TRUE(v.loaded);
    const std::string phrase = ProgramPassPhrase();
    EXPECT_EQ(Hex(phrase), v.passPhraseHex);
    EXPECT_EQ(phrase.size(), 32u);

    md5_ctx md5;
    md5_init(&md5);
    md5_update(&md5, phrase.size(), reinterpret_cast<const uint8_t*>(phrase.data()));
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&md5, sizeof digest, digest);
    EXPECT_EQ(Hex(digest, sizeof digest), v.passPhraseMd5Hex);

    const auto key = PassPhraseKeyMaterial(phrase);
    EXPECT_EQ(Hex(key.data(), key.size()), v.rc2KeyHex);
}

TEST(ProtectedTextVectors, PublishedMd2DerivedKeyVector) {
    REQUIRE_SHARED_DIR();
    const auto& v = LoadProtectedTextVectors();
    ASSERT_FALSE(v.md2VectorHex.empty());
    TQWinCrypt cipher;
    cipher.HashAlgId = CALG_MD2;
    const auto r = RunCipher(true, Pattern(13), Pattern(2000), cipher);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(Hex(r.bytes), v.md2VectorHex);
}

TEST(ProtectedTextVectors, LongTextVector) {
    REQUIRE_SHARED_DIR();
    const auto& v = LoadProtectedTextVectors();
    ASSERT_EQ(v.longBase64.size(), v.longBase64Chars);
    const auto r = Encrypt(Pattern(1025), ProgramPassPhrase());
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.bytes.size(), v.longCipherBytes);
    EXPECT_EQ(Base64Encode(r.bytes), v.longBase64);

    const auto back = Decrypt(Base64Decode(v.longBase64), ProgramPassPhrase());
    ASSERT_TRUE(back.ok) << back.message;
    EXPECT_EQ(back.bytes, Pattern(1025));
}

TEST(QWinCrypt, RoundTripsEveryLengthWithTheExpectedSize) {
    const std::string phrase = ProgramPassPhrase();
    const auto key = PassPhraseKeyMaterial(phrase);
    for (size_t len : {0, 1, 7, 8, 1016, 1023, 1024, 1025, 2048, 3000}) {
        const std::string plain = Pattern(len);
        const auto enc = Encrypt(plain, phrase);
        ASSERT_TRUE(enc.ok) << len << " " << enc.message;
        EXPECT_EQ(enc.bytes.size(), len / 8 * 8 + 8) << len;
        EXPECT_EQ(enc.bytes, ReferenceEncrypt(key, plain)) << len;
        EXPECT_EQ(Encrypt(plain, phrase).bytes, enc.bytes) << "not deterministic at " << len;
        const auto dec = Decrypt(enc.bytes, phrase);
        ASSERT_TRUE(dec.ok) << len << " " << dec.message;
        EXPECT_EQ(dec.bytes, plain) << len;
    }
}

TEST(QWinCrypt, ChunkSizeDoesNotShowInTheOutput) {
    const std::string phrase = "chunks";
    const std::string plain = Pattern(2050);
    const std::string whole = Encrypt(plain, phrase).bytes;
    for (uint32_t size : {8u, 16u, 512u, 4096u}) {
        TQWinCrypt cipher;
        cipher.BufferSize = size;
        const auto enc = RunCipher(true, plain, phrase, cipher);
        ASSERT_TRUE(enc.ok) << size;
        EXPECT_EQ(enc.bytes, whole) << size;
        const auto dec = RunCipher(false, whole, phrase, cipher);
        ASSERT_TRUE(dec.ok) << size << " " << dec.message;
        EXPECT_EQ(dec.bytes, plain) << size;
    }
}

TEST(QWinCrypt, DecryptFailuresReportCryptDecrypt) {
    const std::string phrase = ProgramPassPhrase();
    const std::string good = Encrypt("(c)2005 Rinto", phrase).bytes;
    struct Case {
        const char* why;
        std::string input;
        std::string phrase;
    };
    const Case cases[] = {
        {"wrong pass phrase", good, "another phrase"},
        {"length not a multiple of 8", good.substr(0, 10), phrase},
        {"cut to 15 bytes", good.substr(0, 15), phrase},
        {"empty record", "", phrase},
        {"last block damaged", good.substr(0, 8) + std::string(8, '\x55'), phrase},
    };
    for (const auto& c : cases) {
        const auto r = Decrypt(c.input, c.phrase);
        EXPECT_FALSE(r.ok) << c.why;
        EXPECT_EQ(r.message, "CryptDecrypt") << c.why;
    }
}

TEST(QWinCrypt, BufferSizeZeroDoesNothing) {
    for (bool encrypt : {true, false}) {
        TQWinCrypt cipher;
        cipher.BufferSize = 0;
        cipher.LastErrorMessage = "left over";
        cipher.LastError = 7;
        TMemoryStream source(std::vector<uint8_t>(16, 1));
        TMemoryStream dest;
        const bool ok = encrypt ? cipher.EncryptStream(source, "x", dest) : cipher.DecryptStream(source, "x", dest);
        EXPECT_FALSE(ok);
        EXPECT_EQ(dest.Size(), 0);
        EXPECT_EQ(cipher.LastErrorMessage, "");
        EXPECT_EQ(cipher.LastError, 0u);
    }
}

TEST(QWinCrypt, EachCallStartsWithClearedErrorFields) {
    TQWinCrypt cipher;
    TMemoryStream bad(std::vector<uint8_t>(3, 0));
    TMemoryStream sink;
    EXPECT_FALSE(cipher.DecryptStream(bad, "p", sink));
    EXPECT_EQ(cipher.LastErrorMessage, "CryptDecrypt");
    TMemoryStream plain(std::vector<uint8_t>(3, 0));
    EXPECT_TRUE(cipher.EncryptStream(plain, "p", sink));
    EXPECT_EQ(cipher.LastErrorMessage, "");
}

TEST(QWinCrypt, ReservePaddingAndPartialChunksAreChecked) {
    TQWinCrypt noReserve;
    noReserve.BlockReserve = 0;
    // 1024 bytes fill the buffer, leaving no room for the padding block of the final call.
    auto r = RunCipher(true, Pattern(1024), "p", noReserve);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "CryptEncrypt");

    TQWinCrypt oddChunk;
    oddChunk.BufferSize = 12;  // a non-final chunk must be whole blocks
    r = RunCipher(true, Pattern(30), "p", oddChunk);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "CryptEncrypt");
}

// A destination that takes no bytes, as a full disk would.
class FullStream : public TMemoryStream {
public:
    int64_t Write(const void*, int64_t) override { return 0; }
};

TEST(QWinCrypt, StreamFailuresAreCaughtAndRecorded) {
    TQWinCrypt cipher;
    TMemoryStream source(std::vector<uint8_t>(20, 1));
    FullStream dest;
    EXPECT_FALSE(cipher.EncryptStream(source, "p", dest));
    EXPECT_EQ(cipher.LastErrorMessage, "Stream write error");
}

class WrappedKey : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string store = dir.file("keys");
    ScopedKeyStore scoped{store};
};

TEST_F(WrappedKey, RoundTripsWithAKeyPairMadeOnFirstUse) {
    const std::string plain = Pattern(1500);
    const auto enc = Encrypt(plain, "");
    ASSERT_TRUE(enc.ok) << enc.message << " " << enc.error;

    struct stat st {};
    ASSERT_EQ(::stat((store + "/keyexchange.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Length field, then a SIMPLEBLOB: BLOBHEADER (SIMPLEBLOB, version 2, CALG_RC2), the
    // wrapping key's ALG_ID (CALG_RSA_KEYX), then the wrapped key of modulus size.
    ASSERT_GT(enc.bytes.size(), 4u + 12u);
    const auto* p = reinterpret_cast<const uint8_t*>(enc.bytes.data());
    const uint32_t n = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    EXPECT_EQ(n, 12u + TKeyContainer::kModulusBits / 8);
    EXPECT_EQ(Hex(p + 4, 12),
              "0102000002660000"
              "00a40000");
    EXPECT_EQ(enc.bytes.size(), 4 + n + (plain.size() / 8 * 8 + 8));

    const auto dec = Decrypt(enc.bytes, "");
    ASSERT_TRUE(dec.ok) << dec.message;
    EXPECT_EQ(dec.bytes, plain);

    // A random session key each time; the same stored pair unwraps both.
    const auto again = Encrypt(plain, "");
    ASSERT_TRUE(again.ok);
    EXPECT_NE(again.bytes, enc.bytes);
    EXPECT_EQ(Decrypt(again.bytes, "").bytes, plain);
}

TEST_F(WrappedKey, BrokenRecordsFailWithTheirMessages) {
    const auto enc = Encrypt("secret", "");
    ASSERT_TRUE(enc.ok) << enc.message;
    auto le32 = [](uint32_t v) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
        return s;
    };
    std::string badHeader = enc.bytes;
    badHeader[4] = 6;  // PUBLICKEYBLOB instead of SIMPLEBLOB
    std::string badAlg = enc.bytes;
    badAlg[12] = 0x01;  // ALG_ID of the wrapping key damaged
    std::string badKey = enc.bytes;
    badKey[20] ^= 0x40;  // wrapped key bytes damaged
    std::string shortBlob = le32(100) + enc.bytes.substr(4, 100) + enc.bytes.substr(104);

    struct Case {
        const char* why;
        std::string input;
        const char* message;
    };
    const Case cases[] = {
        {"no length field", "", "invalid size"},
        {"length field cut short", "\x10\x00\x00", "invalid size"},
        {"length over the limit", le32(1048577) + std::string(64, 'x'), "too large"},
        {"length at the limit, blob cut short", le32(1048576) + std::string(64, 'x'), "invalid size"},
        {"blob type damaged", badHeader, "CryptImportKey"},
        {"algorithm damaged", badAlg, "CryptImportKey"},
        {"wrapped key damaged", badKey, "CryptImportKey"},
        {"blob of the wrong size", shortBlob, "CryptImportKey"},
        {"empty blob", le32(0) + std::string(16, 'x'), "CryptImportKey"},
    };
    for (const auto& c : cases) {
        const auto r = Decrypt(c.input, "");
        EXPECT_FALSE(r.ok) << c.why;
        EXPECT_EQ(r.message, c.message) << c.why;
    }
}

TEST_F(WrappedKey, AnotherUsersPairCannotUnwrap) {
    const auto enc = Encrypt("secret", "");
    ASSERT_TRUE(enc.ok);
    testsupport::TempDir other;
    {
        ScopedKeyStore elsewhere(other.file("keys"));
        const auto r = Decrypt(enc.bytes, "");  // no pair there yet: nothing to unwrap with
        EXPECT_EQ(r.message, "CryptImportKey");
        ASSERT_TRUE(Encrypt("x", "").ok);  // makes a pair of its own
        EXPECT_EQ(Decrypt(enc.bytes, "").message, "CryptImportKey");
    }
    EXPECT_EQ(Decrypt(enc.bytes, "").bytes, "secret");
}

TEST_F(WrappedKey, DamagedKeyFileIsReportedNotReplaced) {
    ASSERT_TRUE(Encrypt("x", "").ok);
    { std::ofstream(store + "/keyexchange.key", std::ios::trunc) << "(not a key)"; }
    const auto r = Encrypt("x", "");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "CryptGetUserKey");
    std::ifstream in(store + "/keyexchange.key");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "(not a key)");
}

// Only the wrapped-key form needs the container; a pass phrase works without one.
TEST(QWinCrypt, UnopenableContainerFailsOnlyTheWrappedKeyForm) {
    testsupport::TempDir dir;
    { std::ofstream(dir.file("plainfile")) << "x"; }
    ScopedKeyStore scoped(dir.file("plainfile"));
    for (bool encrypt : {true, false}) {
        const auto r = RunCipher(encrypt, Pattern(16), "");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.message, "CryptAcquireContext");
        EXPECT_EQ(r.error, static_cast<uint32_t>(ENOTDIR));
        EXPECT_TRUE(r.bytes.empty());
    }
    const auto sealed = RunCipher(true, Pattern(16), "p");
    ASSERT_TRUE(sealed.ok) << sealed.message;
    EXPECT_EQ(RunCipher(false, sealed.bytes, "p").bytes, Pattern(16));
}

TEST(QWinCrypt, DerivedKeysNeverTouchTheKeyStore) {
    testsupport::TempDir dir;
    ScopedKeyStore scoped(dir.file("keys"));
    ASSERT_TRUE(Encrypt("abc", "p").ok);
    EXPECT_FALSE(std::filesystem::exists(dir.file("keys")));
}

}  // namespace
