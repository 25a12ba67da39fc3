// The user's key container for the wrapped-key form of the cipher: an RSA key-exchange pair
// kept in the user's data folder, and session keys exported to and imported from SIMPLEBLOBs
// in the published layout (BLOBHEADER, ALG_ID of the wrapping key, PKCS#1 v1.5 encrypted key
// bytes stored little-endian).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where the container lives: $KIRIMARK_KEYSTORE_DIR when set (tests use it), otherwise
// $XDG_DATA_HOME/kirimark, otherwise ~/.local/share/kirimark. Empty when no home is known.
std::string KeyContainerFolder();

constexpr uint32_t CALG_RC2 = 0x6602;
constexpr uint32_t CALG_MD2 = 0x8001;
constexpr uint32_t CALG_MD5 = 0x8003;
constexpr uint32_t CALG_RSA_KEYX = 0xA400;
constexpr uint8_t SIMPLEBLOB = 1;
constexpr uint8_t CUR_BLOB_VERSION = 2;
constexpr size_t kSimpleBlobHeaderSize = 12;  // BLOBHEADER (8) + ALG_ID of the wrapping key (4)

class TKeyContainer {
public:
    // Opens the container in folder without touching the disk beyond a look: it fails (false,
    // error holds an errno value) when the folder cannot be named or names something that is
    // not a folder. The folder and the key pair are made on first use.
    bool Open(const std::string& folder, uint32_t& error);

    // Loads the key-exchange pair, generating and storing it (mode 0600) when there is none
    // yet and create is true. Raises Exception when nettle's public-key library, opened here
    // at the first pair of the process, cannot be loaded.
    bool LoadUserKey(bool create, uint32_t& error);

    // Wraps key bytes for the loaded pair; needs LoadUserKey first.
    bool ExportSimpleBlob(const std::vector<uint8_t>& keyBytes, std::vector<uint8_t>& blob, uint32_t& error);

    // Unwraps a blob made by ExportSimpleBlob with this container's pair. Fails on any
    // layout, algorithm, length or padding mismatch.
    bool ImportSimpleBlob(const uint8_t* blob, size_t size, std::vector<uint8_t>& keyBytes, uint32_t& error);

    TKeyContainer();
    ~TKeyContainer();
    TKeyContainer(const TKeyContainer&) = delete;
    TKeyContainer& operator=(const TKeyContainer&) = delete;

    static constexpr unsigned kModulusBits = 2048;
    static constexpr const char* kKeyFileName = "keyexchange.key";
    struct Pair;  // nettle's key structures, kept out of this header

private:
    std::string folder_;
    std::unique_ptr<Pair> pair_;
};
