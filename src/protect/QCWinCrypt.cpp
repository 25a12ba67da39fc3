#include "QCWinCrypt.h"

#include <memory>

#include "Classes.h"
#include "CodePage.h"
#include "QBase64.h"
#include "QWinCrypt.h"

namespace {

const std::string kUtf8Mark = "\xEF\xBB\xBF";

std::string BytesOf(const TMemoryStream& stream) {
    const auto& bytes = stream.Bytes();
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::string TQCWinCrypt::EncryptString(std::string Text, std::string PassPhrase, std::string Fallback) {
    std::string result;
    try {
        std::string plain;
        if (!TryUtf8ToCp932(Text, plain)) {
            if (!IsValidUtf8(Text)) return Fallback;
            plain = kUtf8Mark + Text;
        }
        std::string phrase;
        if (!TryUtf8ToCp932(PassPhrase, phrase)) return Fallback;

        auto source = std::make_unique<TMemoryStream>(std::vector<uint8_t>(plain.begin(), plain.end()));
        auto dest = std::make_unique<TMemoryStream>();
        auto cipher = std::make_unique<TQWinCrypt>();
        if (cipher->EncryptStream(*source, phrase, *dest))
            result = Base64Encode(BytesOf(*dest));
        else
            result = Fallback;
        cipher.reset();
        dest.reset();
        source.reset();
    } catch (const std::exception&) {
        result = Fallback;
    }
    return result;
}

std::string TQCWinCrypt::DecryptString(std::string Text, std::string PassPhrase, std::string Fallback) {
    std::string result;
    try {
        std::string phrase;
        if (!TryUtf8ToCp932(PassPhrase, phrase)) return Fallback;
        const std::string decoded = Base64Decode(Text);

        auto source = std::make_unique<TMemoryStream>(std::vector<uint8_t>(decoded.begin(), decoded.end()));
        auto dest = std::make_unique<TMemoryStream>();
        auto cipher = std::make_unique<TQWinCrypt>();
        const bool ok = cipher->DecryptStream(*source, phrase, *dest);
        const std::string plain = ok ? BytesOf(*dest) : std::string();
        cipher.reset();
        dest.reset();
        source.reset();
        if (!ok) return Fallback;

        // Bytes that are neither marked UTF-8 nor code page 932 did not come from
        // EncryptString (a wrong pass phrase whose padding happened to check out).
        if (plain.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0) {
            result = plain.substr(kUtf8Mark.size());
            if (!IsValidUtf8(result)) result = Fallback;
        } else if (!TryCp932ToUtf8(plain, result)) {
            result = Fallback;
        }
    } catch (const std::exception&) {
        result = Fallback;
    }
    return result;
}
