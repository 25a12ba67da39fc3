#include "QWinCrypt.h"

#include <sys/random.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <nettle/arctwo.h>
#include <nettle/cbc.h>
#include <nettle/md2.h>
#include <nettle/md5.h>
#include <nettle/nettle-meta.h>

#include "SharedLibrary.h"

namespace {

constexpr size_t kBlock = ARCTWO_BLOCK_SIZE;
constexpr size_t kKeyBytes = 5;  // 40-bit keys, the default length of the provider we match

// The platform error code of the step that failed, read by the operation's handler as the
// original reads the thread's last error.
thread_local uint32_t tLastPlatformError = 0;

// nettle, loaded at the first protected text of a process: a run without one does not load it.
struct NettleLibrary {
    TSharedLibrary library{"libnettle.so.8"};
    KIRIMARK_LIBRARY_FUNCTION(library, arctwo_set_key_ekb);
    KIRIMARK_LIBRARY_FUNCTION(library, arctwo_encrypt);
    KIRIMARK_LIBRARY_FUNCTION(library, arctwo_decrypt);
    KIRIMARK_LIBRARY_FUNCTION(library, cbc_encrypt);
    KIRIMARK_LIBRARY_FUNCTION(library, cbc_decrypt);
    const nettle_hash* md5 = library.Address<const nettle_hash>(KIRIMARK_LINK_NAME(nettle_md5));
    const nettle_hash* md2 = library.Address<const nettle_hash>(KIRIMARK_LINK_NAME(nettle_md2));
};

const NettleLibrary& Nettle() {
    static const NettleLibrary library;
    return library;
}

[[noreturn]] void Raise(const char* text, uint32_t platformError = 0) {
    tLastPlatformError = platformError;
    throw Exception(text);
}

// The default provider for PROV_RSA_FULL makes a 40-bit RC2 key from the first 5 bytes of the
// pass phrase's hash (MD5 here) followed by 11 zero salt bytes, used as a 16-byte RC2 key with
// an effective key length of 40 bits (RFC 2268); CBC, zero IV, PKCS#5 padding.
std::array<uint8_t, 16> Rc2KeyMaterial(const uint8_t (&key)[kKeyBytes]) {
    std::array<uint8_t, 16> material{};
    std::memcpy(material.data(), key, kKeyBytes);
    return material;
}

// An RC2 session key with its running CBC state, wiped when it goes away.
class SessionKey {
public:
    explicit SessionKey(const uint8_t (&key)[kKeyBytes]) {
        std::memcpy(keyBytes_, key, kKeyBytes);
        const auto material = Rc2KeyMaterial(key);
        Nettle().arctwo_set_key_ekb(&ctx_, material.size(), material.data(), 40);
    }
    ~SessionKey() {
        std::memset(&ctx_, 0, sizeof ctx_);
        std::memset(keyBytes_, 0, sizeof keyBytes_);
    }
    SessionKey(const SessionKey&) = delete;
    SessionKey& operator=(const SessionKey&) = delete;

    std::vector<uint8_t> Bytes() const { return {keyBytes_, keyBytes_ + kKeyBytes}; }

    // Encrypts n bytes in place in a buffer of capacity bytes; the final call adds PKCS#5
    // padding. Returns false where the provider would fail (a partial block before the end,
    // no room for the padding).
    bool Encrypt(bool final, uint8_t* buf, size_t& n, size_t capacity) {
        if (final) {
            const size_t pad = kBlock - n % kBlock;
            if (n + pad > capacity) return false;
            std::memset(buf + n, static_cast<int>(pad), pad);
            n += pad;
        } else if (n % kBlock != 0) {
            return false;
        }
        Nettle().cbc_encrypt(&ctx_, reinterpret_cast<nettle_cipher_func*>(Nettle().arctwo_encrypt), kBlock, iv_, n, buf,
                             buf);
        if (final) std::memset(iv_, 0, sizeof iv_);
        return true;
    }

    // Decrypts n bytes in place; the final call checks and strips the padding.
    bool Decrypt(bool final, uint8_t* buf, size_t& n) {
        if (n % kBlock != 0 || (final && n == 0)) return false;
        Nettle().cbc_decrypt(&ctx_, reinterpret_cast<nettle_cipher_func*>(Nettle().arctwo_decrypt), kBlock, iv_, n, buf,
                             buf);
        if (!final) return true;
        std::memset(iv_, 0, sizeof iv_);
        const uint8_t pad = buf[n - 1];
        if (pad == 0 || pad > kBlock) return false;
        for (size_t i = n - pad; i < n; ++i)
            if (buf[i] != pad) return false;
        n -= pad;
        return true;
    }

private:
    arctwo_ctx ctx_{};
    uint8_t iv_[kBlock] = {};  // CBC with a zero initialisation vector
    uint8_t keyBytes_[kKeyBytes] = {};
};

// The hash object of a key derivation: MD5 as the program uses it, or MD2, for which the
// provider's derivation was published with a reference vector.
class HashObject {
public:
    explicit HashObject(const nettle_hash* algorithm) : algorithm_(algorithm), ctx_(algorithm->context_size) {
        algorithm_->init(ctx_.data());
    }
    ~HashObject() { std::fill(ctx_.begin(), ctx_.end(), 0); }
    HashObject(const HashObject&) = delete;
    HashObject& operator=(const HashObject&) = delete;

    void Update(const std::string& data) {
        algorithm_->update(ctx_.data(), data.size(), reinterpret_cast<const uint8_t*>(data.data()));
    }

    // The first 5 bytes of the digest make the 40-bit key.
    void KeyBytes(uint8_t (&key)[kKeyBytes]) {
        std::vector<uint8_t> digest(algorithm_->digest_size);
        algorithm_->digest(ctx_.data(), digest.size(), digest.data());
        std::memcpy(key, digest.data(), kKeyBytes);
        std::fill(digest.begin(), digest.end(), 0);
    }

private:
    const nettle_hash* algorithm_;
    std::vector<uint8_t> ctx_;
};

const nettle_hash* HashAlgorithm(uint32_t algId) {
    switch (algId) {
    case CALG_MD5: return Nettle().md5;
    case CALG_MD2: return Nettle().md2;
    default: return nullptr;
    }
}

// Everything one operation obtains, released in the order the original does it: work buffer,
// key blob, hash, session key, provider context (which holds the key-exchange pair). Members
// are destroyed in reverse order of declaration.
struct OperationState {
    std::unique_ptr<TKeyContainer> provider;
    std::unique_ptr<SessionKey> sessionKey;
    std::unique_ptr<HashObject> hash;
    std::vector<uint8_t> keyBlob;
    std::vector<uint8_t> workBuffer;
};

void AcquireContext(OperationState& s) {
    auto provider = std::make_unique<TKeyContainer>();
    uint32_t error = 0;
    if (!provider->Open(KeyContainerFolder(), error)) Raise("CryptAcquireContext", error);
    s.provider = std::move(provider);
}

void DeriveFromPassPhrase(OperationState& s, const std::string& passPhrase, uint32_t hashAlg, uint32_t keyAlg) {
    const nettle_hash* algorithm = HashAlgorithm(hashAlg);
    if (!algorithm) Raise("CryptCreateHash", EINVAL);
    s.hash = std::make_unique<HashObject>(algorithm);
    s.hash->Update(passPhrase);
    if (keyAlg != CALG_RC2) Raise("CryptDeriveKey", EINVAL);
    uint8_t key[kKeyBytes];
    s.hash->KeyBytes(key);
    s.sessionKey = std::make_unique<SessionKey>(key);
    std::memset(key, 0, sizeof key);
    s.hash.reset();
}

// The frame both directions share: clear the last error, refuse a zero buffer size, run
// `body`, and turn any failure into false with its message and platform code.
template <typename Body>
bool RunOperation(uint32_t bufferSize, uint32_t& lastError, std::string& lastErrorMessage, Body body) {
    lastError = 0;
    lastErrorMessage.clear();
    if (bufferSize == 0) return false;
    tLastPlatformError = 0;
    OperationState s;
    try {
        body(s);
        return true;
    } catch (const std::exception& e) {
        lastError = tLastPlatformError;
        lastErrorMessage = e.what();
        return false;
    }
}

// Passes Source to Dest one buffer at a time through `step(final, n, capacity)`, which turns
// the n bytes at the front of the work buffer into its output in place.
template <typename Step>
void PumpBuffers(OperationState& s, TStream& Source, TStream& Dest, uint32_t bufferSize, uint32_t blockReserve,
                 Step step) {
    const size_t capacity = size_t{bufferSize} + blockReserve;
    s.workBuffer.resize(capacity);
    for (;;) {
        const int64_t got = Source.Read(s.workBuffer.data(), bufferSize);
        if (got < 0) throw EReadError("Stream read error");
        const bool final = Source.Position() >= Source.Size();
        size_t n = static_cast<size_t>(got);
        step(final, n, capacity);
        Dest.WriteBuffer(s.workBuffer.data(), static_cast<int64_t>(n));
        if (final) break;
    }
}

}  // namespace

std::array<uint8_t, 16> PassPhraseKeyMaterial(const std::string& passPhrase) {
    HashObject hash(Nettle().md5);
    hash.Update(passPhrase);
    uint8_t key[kKeyBytes];
    hash.KeyBytes(key);
    return Rc2KeyMaterial(key);
}

bool TQWinCrypt::EncryptStream(TStream& Source, const std::string& PassPhrase, TStream& Dest) {
    return RunOperation(BufferSize, LastError, LastErrorMessage, [&](OperationState& s) {
        // Only the wrapped key needs the user's key container; a pass phrase works without it,
        // so a missing or broken container never costs the user the stored text.
        if (!PassPhrase.empty()) {
            DeriveFromPassPhrase(s, PassPhrase, HashAlgId, KeyAlgId);
        } else {
            AcquireContext(s);
            if (KeyAlgId != CALG_RC2) Raise("CryptGenKey", EINVAL);
            uint8_t key[kKeyBytes];
            if (getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key))
                Raise("CryptGenKey", static_cast<uint32_t>(errno));
            s.sessionKey = std::make_unique<SessionKey>(key);
            std::memset(key, 0, sizeof key);

            uint32_t error = 0;
            if (!s.provider->LoadUserKey(true, error)) Raise("CryptGetUserKey", error);
            // The length query and the export are one step here; a failure is reported as
            // the first of the two.
            if (!s.provider->ExportSimpleBlob(s.sessionKey->Bytes(), s.keyBlob, error))
                Raise("CryptExportKey 1", error);

            uint8_t size[4];
            const auto n = static_cast<uint32_t>(s.keyBlob.size());
            for (int i = 0; i < 4; ++i) size[i] = static_cast<uint8_t>(n >> (8 * i));
            Dest.WriteBuffer(size, 4);
            Dest.WriteBuffer(s.keyBlob.data(), n);
        }
        PumpBuffers(s, Source, Dest, BufferSize, BlockReserve, [&](bool final, size_t& n, size_t capacity) {
            if (!s.sessionKey->Encrypt(final, s.workBuffer.data(), n, capacity))
                Raise("CryptEncrypt", final ? ERANGE : EINVAL);
        });
    });
}

bool TQWinCrypt::DecryptStream(TStream& Source, const std::string& PassPhrase, TStream& Dest) {
    return RunOperation(BufferSize, LastError, LastErrorMessage, [&](OperationState& s) {
        if (!PassPhrase.empty()) {
            DeriveFromPassPhrase(s, PassPhrase, HashAlgId, KeyAlgId);
        } else {
            AcquireContext(s);
            uint8_t size[4];
            if (Source.Read(size, 4) != 4) Raise("invalid size");
            const uint32_t n = size[0] | (size[1] << 8) | (size[2] << 16) | (static_cast<uint32_t>(size[3]) << 24);
            if (n > MaxKeyBlobSize) Raise("too large");
            s.keyBlob.resize(n);
            if (Source.Read(s.keyBlob.data(), n) != static_cast<int64_t>(n)) Raise("invalid size");

            uint32_t error = 0;
            std::vector<uint8_t> keyBytes;
            if (!s.provider->LoadUserKey(false, error) ||
                !s.provider->ImportSimpleBlob(s.keyBlob.data(), s.keyBlob.size(), keyBytes, error) ||
                keyBytes.size() != kKeyBytes)
                Raise("CryptImportKey", error ? error : EINVAL);
            uint8_t key[kKeyBytes];
            std::copy(keyBytes.begin(), keyBytes.end(), key);
            std::fill(keyBytes.begin(), keyBytes.end(), 0);
            s.sessionKey = std::make_unique<SessionKey>(key);
            std::memset(key, 0, sizeof key);
        }
        PumpBuffers(s, Source, Dest, BufferSize, BlockReserve, [&](bool final, size_t& n, size_t) {
            if (!s.sessionKey->Decrypt(final, s.workBuffer.data(), n)) Raise("CryptDecrypt", EINVAL);
        });
    });
}
