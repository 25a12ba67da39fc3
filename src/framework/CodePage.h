// Conversions between the program's UTF-8 strings and code page 932 (Shift_JIS as Windows
// has it), the encoding of the settings file and of the bytes that are hashed and encrypted.
#pragma once

#include <string>

// Converts UTF-8 to code page 932. Returns false, leaving out untouched, when the input is not
// valid UTF-8 or holds a character that code page 932 has no code for (for example "©").
bool TryUtf8ToCp932(const std::string& utf8, std::string& out);

// As TryUtf8ToCp932, raising EConvertError instead of returning false.
std::string Utf8ToCp932(const std::string& utf8);

// Converts code page 932 bytes to UTF-8. Returns false when the bytes are not valid code
// page 932 (a lone lead byte, an unassigned code).
bool TryCp932ToUtf8(const std::string& bytes, std::string& out);

// As TryCp932ToUtf8, but a byte sequence without a character becomes U+FFFD, so that a file
// edited by hand still loads.
std::string Cp932ToUtf8(const std::string& bytes);

// True when text is well-formed UTF-8.
bool IsValidUtf8(const std::string& text);
