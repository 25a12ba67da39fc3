#include "KeyStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <gmp.h>
#include <nettle/bignum.h>
#include <nettle/buffer.h>
#include <nettle/rsa.h>

#include "SharedLibrary.h"

namespace {

// nettle's public-key half and GMP under it, loaded when a key pair is first needed: only the
// wrapped-key form of the stored text uses them, so a run without it does not load them.
struct PublicKeyLibrary {
    TSharedLibrary library{"libhogweed.so.6"};  // loads libnettle.so.8 and libgmp.so.10 with it
    KIRIMARK_LIBRARY_FUNCTION(library, nettle_buffer_init);
    KIRIMARK_LIBRARY_FUNCTION(library, nettle_buffer_clear);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_public_key_init);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_private_key_init);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_private_key_clear);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_public_key_clear);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_keypair_from_sexp);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_generate_keypair);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_keypair_to_sexp);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_encrypt);
    KIRIMARK_LIBRARY_FUNCTION(library, rsa_decrypt_tr);
    KIRIMARK_LIBRARY_FUNCTION(library, nettle_mpz_get_str_256);
    KIRIMARK_LIBRARY_FUNCTION(library, nettle_mpz_set_str_256_u);
    KIRIMARK_LIBRARY_FUNCTION(library, mpz_init);
    KIRIMARK_LIBRARY_FUNCTION(library, mpz_clear);
    KIRIMARK_LIBRARY_FUNCTION(library, mpz_set_ui);
    KIRIMARK_LIBRARY_FUNCTION(library, mpz_cmp);
};

const PublicKeyLibrary& PublicKey() {
    static const PublicKeyLibrary library;
    return library;
}

constexpr size_t kMaxKeyFileSize = 64 * 1024;  // a 2048-bit pair is under 2 KiB

void RandomBytes(void*, size_t length, uint8_t* dst) {
    while (length > 0) {
        const ssize_t n = getrandom(dst, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::abort();  // no entropy source: nothing safe to continue with
        }
        dst += n;
        length -= static_cast<size_t>(n);
    }
}

std::string EnvOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string HomeFolder() {
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

// Makes folder and its missing parents; the last one readable only by the user.
bool MakeFolders(const std::string& folder, uint32_t& error) {
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/') continue;
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = static_cast<uint32_t>(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    return true;
}

bool ReadSmallFile(const std::string& path, std::string& out, uint32_t& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    std::string data;
    char buf[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = static_cast<uint32_t>(errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > kMaxKeyFileSize) {
            error = EFBIG;
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (ok) out = std::move(data);
    return ok;
}

}  // namespace

struct TKeyContainer::Pair {
    rsa_public_key pub;
    rsa_private_key priv;
    Pair() {
        PublicKey().rsa_public_key_init(&pub);
        PublicKey().rsa_private_key_init(&priv);
    }
    ~Pair() {
        PublicKey().rsa_private_key_clear(&priv);
        PublicKey().rsa_public_key_clear(&pub);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

namespace {

// Holds one GMP integer for the length of a scope.
struct Mpz {
    mpz_t v;
    Mpz() { PublicKey().mpz_init(v); }
    ~Mpz() { PublicKey().mpz_clear(v); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
};

bool ParsePair(std::string text, TKeyContainer::Pair& pair) {
    return PublicKey().rsa_keypair_from_sexp(&pair.pub, &pair.priv, 16384, text.size(),
                                             reinterpret_cast<uint8_t*>(text.data())) == 1 &&
           pair.pub.size >= 64;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

}  // namespace

std::string KeyContainerFolder() {
    if (std::string dir = EnvOrEmpty("KIRIMARK_KEYSTORE_DIR"); !dir.empty()) return dir;
    if (std::string data = EnvOrEmpty("XDG_DATA_HOME"); !data.empty() && data[0] == '/') return data + "/kirimark";
    const std::string home = HomeFolder();
    return home.empty() ? "" : home + "/.local/share/kirimark";
}

TKeyContainer::TKeyContainer() = default;
TKeyContainer::~TKeyContainer() = default;

bool TKeyContainer::Open(const std::string& folder, uint32_t& error) {
    if (folder.empty()) {
        error = ENOENT;
        return false;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    folder_ = folder;
    return true;
}

bool TKeyContainer::LoadUserKey(bool create, uint32_t& error) {
    if (folder_.empty()) {
        error = ENOENT;
        return false;
    }
    const std::string path = folder_ + "/" + kKeyFileName;
    auto pair = std::make_unique<Pair>();
    std::string text;
    if (ReadSmallFile(path, text, error)) {
        if (!ParsePair(std::move(text), *pair)) {
            // A damaged pair is left for the user to look at; making a new one would make
            // every blob wrapped with the old one unreadable for good.
            error = EINVAL;
            return false;
        }
        pair_ = std::move(pair);
        return true;
    }
    if (error != ENOENT || !create) return false;

    if (!MakeFolders(folder_, error)) return false;
    PublicKey().mpz_set_ui(pair->pub.e, 65537);
    if (!PublicKey().rsa_generate_keypair(&pair->pub, &pair->priv, nullptr, RandomBytes, nullptr, nullptr, kModulusBits,
                                          0)) {
        error = EINVAL;
        return false;
    }
    nettle_buffer buffer;
    PublicKey().nettle_buffer_init(&buffer);
    const bool encoded = PublicKey().rsa_keypair_to_sexp(&buffer, "rsa-pkcs1", &pair->pub, &pair->priv) != 0;
    const std::string data(reinterpret_cast<const char*>(buffer.contents), buffer.size);
    PublicKey().nettle_buffer_clear(&buffer);
    if (!encoded) {
        error = ENOMEM;
        return false;
    }

    // Written under a temporary name (mkstemp makes it 0600) and linked into place, so that a
    // second program starting at the same moment keeps the first pair instead of replacing it.
    std::string temp = folder_ + "/.keyexchange.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && ::fsync(fd) == 0;
    if (!ok) error = static_cast<uint32_t>(errno ? errno : EIO);
    ::close(fd);
    if (ok && ::link(temp.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) {
            ::unlink(temp.c_str());
            return LoadUserKey(false, error);
        }
        error = static_cast<uint32_t>(errno);
        ok = false;
    }
    ::unlink(temp.c_str());
    if (ok) pair_ = std::move(pair);
    return ok;
}

bool TKeyContainer::ExportSimpleBlob(const std::vector<uint8_t>& keyBytes, std::vector<uint8_t>& blob,
                                     uint32_t& error) {
    if (!pair_ || keyBytes.size() + 11 > pair_->pub.size) {
        error = EINVAL;
        return false;
    }
    Mpz wrapped;
    if (!PublicKey().rsa_encrypt(&pair_->pub, nullptr, RandomBytes, keyBytes.size(), keyBytes.data(), wrapped.v)) {
        error = EINVAL;
        return false;
    }
    const size_t k = pair_->pub.size;
    std::vector<uint8_t> out(kSimpleBlobHeaderSize + k);
    out[0] = SIMPLEBLOB;
    out[1] = CUR_BLOB_VERSION;
    PutLe32(&out[4], CALG_RC2);
    PutLe32(&out[8], CALG_RSA_KEYX);
    PublicKey().nettle_mpz_get_str_256(k, &out[kSimpleBlobHeaderSize], wrapped.v);
    std::reverse(out.begin() + kSimpleBlobHeaderSize, out.end());  // the layout is little-endian
    blob = std::move(out);
    return true;
}

bool TKeyContainer::ImportSimpleBlob(const uint8_t* blob, size_t size, std::vector<uint8_t>& keyBytes,
                                     uint32_t& error) {
    error = EINVAL;
    if (!pair_ || size != kSimpleBlobHeaderSize + pair_->pub.size) return false;
    if (blob[0] != SIMPLEBLOB || blob[1] != CUR_BLOB_VERSION || blob[2] != 0 || blob[3] != 0 ||
        GetLe32(blob + 4) != CALG_RC2 || GetLe32(blob + 8) != CALG_RSA_KEYX)
        return false;
    std::vector<uint8_t> be(blob + kSimpleBlobHeaderSize, blob + size);
    std::reverse(be.begin(), be.end());
    Mpz wrapped;
    PublicKey().nettle_mpz_set_str_256_u(wrapped.v, be.size(), be.data());
    if (PublicKey().mpz_cmp(wrapped.v, pair_->pub.n) >= 0) return false;
    std::vector<uint8_t> clear(pair_->pub.size);
    size_t length = clear.size();
    if (!PublicKey().rsa_decrypt_tr(&pair_->pub, &pair_->priv, nullptr, RandomBytes, &length, clear.data(), wrapped.v))
        return false;
    clear.resize(length);
    keyBytes = std::move(clear);
    error = 0;
    return true;
}
