#include "QBase64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kPad = 64;
constexpr uint8_t kJunk = 255;

constexpr std::array<uint8_t, 128> MakeDecodeTable() {
    std::array<uint8_t, 128> t{};
    for (auto& v : t) v = kJunk;
    for (uint8_t i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = i;
    t['='] = kPad;
    return t;
}

constexpr std::array<uint8_t, 128> kDecode = MakeDecodeTable();

uint8_t Lookup(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 128 ? kDecode[u] : kJunk;
}

}  // namespace

std::string Base64Encode(std::string data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t i = 0;
    const size_t n = data.size();
    for (; n - i >= 3; i += 3) {
        const uint8_t b1 = p[i], b2 = p[i + 1], b3 = p[i + 2];
        out += kAlphabet[b1 >> 2];
        out += kAlphabet[((b1 & 3) << 4) + (b2 >> 4)];
        out += kAlphabet[((b2 & 15) << 2) + (b3 >> 6)];
        out += kAlphabet[b3 & 63];
    }
    if (n - i == 1) {
        const uint8_t b1 = p[i];
        out += kAlphabet[b1 >> 2];
        out += kAlphabet[(b1 & 3) << 4];
        out += "==";
    } else if (n - i == 2) {
        const uint8_t b1 = p[i], b2 = p[i + 1];
        out += kAlphabet[b1 >> 2];
        out += kAlphabet[((b1 & 3) << 4) + (b2 >> 4)];
        out += kAlphabet[(b2 & 15) << 2];
        out += '=';
    }
    return out;
}

std::string Base64Decode(std::string text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    const size_t n = text.size();
    for (size_t i = 0; i < n; i += 4) {
        // A short last group yields only the bytes its characters fully determine: places
        // beyond the end read as pads, and a lone character determines no byte at all.
        if (n - i == 1) break;
        const uint8_t a = Lookup(text[i]);
        const uint8_t b = Lookup(text[i + 1]);
        const uint8_t c = i + 2 < n ? Lookup(text[i + 2]) : kPad;
        const uint8_t d = i + 3 < n ? Lookup(text[i + 3]) : kPad;
        out += static_cast<char>(((a & 63) << 2) + ((b & 48) >> 4));
        if (c != kPad) {
            out += static_cast<char>(((b & 15) << 4) + ((c & 60) >> 2));
            if (d != kPad) out += static_cast<char>(((c & 3) << 6) + (d & 63));
        }
    }
    return out;
}
