// The protected stamp text as the settings file hands it over: any line goes through Base64
// and the cipher with the program's pass phrase. Never a crash; a text that decrypts must
// protect and recover to itself, and Base64 must carry any bytes unchanged.
#include <string>

#include "FuzzCheck.h"
#include "QBase64.h"
#include "QCWinCrypt.h"
#include "setting_common.h"

namespace {

const std::string& PassPhrase() {
    static const std::string phrase = [] {
        Settings s;
        InitSettings(s);
        return s.PassPhrase;
    }();
    return phrase;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string decoded = Base64Decode(input);
    FUZZ_CHECK(decoded.size() <= (input.size() / 4 + 1) * 3);
    FUZZ_CHECK(Base64Decode(Base64Encode(decoded)) == decoded);
    FUZZ_CHECK(Base64Decode(Base64Encode(input)) == input);

    static const std::string kFallback =
        "\x01"
        "fallback";  // stands for "did not decrypt"
    TQCWinCrypt facade;
    const std::string text = facade.DecryptString(input, PassPhrase(), kFallback);
    if (text != kFallback) {
        const std::string line = facade.EncryptString(text, PassPhrase(), kFallback);
        FUZZ_CHECK(line != kFallback);
        FUZZ_CHECK(facade.DecryptString(line, PassPhrase(), kFallback) == text);
    }
    return 0;
}
