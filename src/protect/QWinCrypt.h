// Encrypts one stream into another under a pass phrase, and back: RC2 in CBC mode with the key
// derived from the MD5 hash of the pass phrase, so that files written by the original Windows
// build read back here. An empty pass phrase instead makes a random session key and writes it,
// wrapped for the user's key container, ahead of the ciphertext.
//
// Failures never escape an operation: the result is false and LastError / LastErrorMessage
// say which step failed ("CryptDecrypt", "invalid size", ...), or that nettle, loaded at the
// first operation of a process, cannot be loaded.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Classes.h"
#include "KeyStore.h"

class TQWinCrypt {
public:
    TQWinCrypt() = default;

    // PassPhrase is hashed as the bytes given (the program passes code page 932 bytes).
    // Source is read from its position to its end; Dest is written at its position.
    bool EncryptStream(TStream& Source, const std::string& PassPhrase, TStream& Dest);
    bool DecryptStream(TStream& Source, const std::string& PassPhrase, TStream& Dest);

    uint32_t LastError = 0;
    std::string LastErrorMessage;
    uint32_t KeyAlgId = CALG_RC2;
    uint32_t BlockReserve = 8;      // room for the padding block the final chunk may gain
    uint32_t HashAlgId = CALG_MD5;  // CALG_MD2 is understood too
    uint32_t BufferSize = 1024;
    uint32_t MaxKeyBlobSize = 1048576;
};

// The 16 bytes of RC2 key material (used with 40 effective bits) that a pass phrase derives.
// Raises Exception when nettle cannot be loaded.
std::array<uint8_t, 16> PassPhraseKeyMaterial(const std::string& passPhrase);
