// Turns a text into one printable line that hides it (cipher, then Base64) and back. Neither
// operation raises: on any failure the caller's fallback text is returned unchanged.
//
// Texts, pass phrases and fallbacks are UTF-8. The cipher sees the code page 932 bytes of the
// text, as the original program stored them; a text that code page 932 cannot hold is stored
// as a UTF-8 byte-order mark (EF BB BF) followed by its UTF-8 bytes, inside the same protected
// form. No code page 932 text starts with those bytes, so loading tells the two apart.
#pragma once

#include <string>

class TQCWinCrypt {
public:
    std::string EncryptString(std::string Text, std::string PassPhrase, std::string Fallback);
    std::string DecryptString(std::string Text, std::string PassPhrase, std::string Fallback);
};
