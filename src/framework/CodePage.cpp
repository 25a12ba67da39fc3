#include "CodePage.h"

#include <iconv.h>
#include <cerrno>
#include <cstdint>

#include "SysUtils.h"

namespace {

// One conversion direction of iconv, closed when it goes out of scope.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw EConvertError(std::string("No conversion from ") + from + " to " + to);
    }
    ~IconvHandle() { iconv_close(cd_); }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Code page 932 and UTF-8 both code the characters below 0x80 as ASCII does, so such text
// converts to itself; taking it as it is spares a run the loading of iconv's conversion module.
bool IsAscii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

enum class OnInvalid { Fail, Replace };

// Converts in; on a sequence without a character either fails or writes replacement and skips
// skipBytes of input (a whole double-byte code where the lead byte says so).
bool Convert(const char* to, const char* from, const std::string& in, std::string& out, OnInvalid onInvalid,
             const std::string& replacement = {}) {
    if (IsAscii(in)) {
        out = in;
        return true;
    }
    IconvHandle cd(to, from);
    std::string result;
    result.reserve(in.size() * 2);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[1024];
    for (;;) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        const size_t r = iconv(cd.get(), srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
        result.append(buf, static_cast<size_t>(dst - buf));
        if (r != static_cast<size_t>(-1)) {
            if (srcLeft == 0) break;
            continue;
        }
        if (errno == E2BIG) continue;
        if (onInvalid == OnInvalid::Fail) return false;
        // EILSEQ or EINVAL (input cut short inside a character): one replacement per character
        // without a mapping, then go on after it. Only a lead byte followed by a byte that can
        // trail it makes a two-byte character; any other byte after a lead byte (a line feed
        // after a stray 0x81) starts text of its own and must not be swallowed.
        result += replacement;
        const auto lead = static_cast<unsigned char>(src[0]);
        const bool doubleByte = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
        const auto trail = srcLeft >= 2 ? static_cast<unsigned char>(src[1]) : 0;
        const bool trails = (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFC);
        const size_t skip = doubleByte && trails ? 2 : 1;
        src += skip;
        srcLeft -= skip;
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        if (srcLeft == 0) break;
    }
    out = std::move(result);
    return true;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else
            return false;
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            const unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

bool TryUtf8ToCp932(const std::string& utf8, std::string& out) {
    if (!IsValidUtf8(utf8)) return false;
    return Convert("CP932", "UTF-8", utf8, out, OnInvalid::Fail);
}

std::string Utf8ToCp932(const std::string& utf8) {
    std::string out;
    if (!TryUtf8ToCp932(utf8, out)) throw EConvertError("Text has characters that code page 932 cannot hold");
    return out;
}

bool TryCp932ToUtf8(const std::string& bytes, std::string& out) {
    return Convert("UTF-8", "CP932", bytes, out, OnInvalid::Fail);
}

std::string Cp932ToUtf8(const std::string& bytes) {
    std::string out;
    Convert("UTF-8", "CP932", bytes, out, OnInvalid::Replace, "\xEF\xBF\xBD");
    return out;
}
