// Reads the reference values of the protected stamp text from the shared vectors file, so that
// the tests judge our cipher against values produced on Windows rather than against itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProtectedTextRow {
    std::string description;  // first column as written, e.g. "61 ('a')"
    size_t cipherBytes = 0;
    std::string base64;
};

struct ProtectedTextVectors {
    bool loaded = false;
    std::string passPhraseHex;
    std::string passPhraseMd5Hex;
    std::string rc2KeyHex;
    std::string md2VectorHex;  // the published MD2-derived vector's ciphertext
    std::vector<ProtectedTextRow> rows;
    size_t longCipherBytes = 0;
    size_t longBase64Chars = 0;
    std::string longBase64;  // the 1025-byte plaintext's line
};

// Empty (loaded false) when the shared folder is absent.
const ProtectedTextVectors& LoadProtectedTextVectors();

std::string Hex(const std::string& bytes);
std::string Hex(const uint8_t* bytes, size_t n);
std::string Unhex(const std::string& hex);
