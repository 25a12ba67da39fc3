#include "ProtectVectors.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "TestSupport.h"

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string Hex(const std::string& bytes) { return Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string StripTicks(std::string s) {
    s = Trim(s);
    if (s.size() >= 2 && s.front() == '`' && s.back() == '`') s = s.substr(1, s.size() - 2);
    return s;
}

ProtectedTextVectors Parse(std::istream& in) {
    ProtectedTextVectors v;
    const std::regex hexAfterColon(R"(:\s*`([0-9a-f]+)`)");
    const std::regex longLine(R"(ciphertext of (\d+) bytes, Base64 line of (\d+) characters)");
    std::string line;
    bool inCode = false;
    bool inTable = false;
    std::smatch m;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("```", 0) == 0) {
            inCode = !inCode;
            continue;
        }
        if (inCode) {
            if (!line.empty()) v.longBase64 += line;
            continue;
        }
        if (line.rfind("- code page 932 bytes", 0) == 0 && std::regex_search(line, m, hexAfterColon))
            v.passPhraseHex = m[1];
        else if (line.rfind("- MD5:", 0) == 0 && std::regex_search(line, m, hexAfterColon))
            v.passPhraseMd5Hex = m[1];
        else if (line.rfind("- RC2 key", 0) == 0 && std::regex_search(line, m, hexAfterColon))
            v.rc2KeyHex = m[1];
        else if (std::regex_search(line, m, longLine)) {
            v.longCipherBytes = std::stoul(m[1]);
            v.longBase64Chars = std::stoul(m[2]);
        } else if (line.find("with Final gives") != std::string::npos) {
            std::string rest;
            std::getline(in, rest);
            const std::regex tick(R"(`([0-9a-f]+)`)");
            const std::string both = line + " " + rest;
            if (std::regex_search(both, m, tick)) v.md2VectorHex = m[1];
        }
        if (line.rfind("| Text", 0) == 0) {
            inTable = true;
            continue;
        }
        if (inTable) {
            if (line.rfind("|---", 0) == 0) continue;
            if (line.empty() || line[0] != '|') {
                inTable = false;
                continue;
            }
            std::vector<std::string> cells;
            std::stringstream ss(line.substr(1));
            std::string cell;
            while (std::getline(ss, cell, '|')) cells.push_back(cell);
            if (cells.size() < 3) continue;
            ProtectedTextRow row;
            row.description = Trim(cells[0]);
            row.cipherBytes = std::stoul(Trim(cells[1]));
            row.base64 = StripTicks(cells[2]);
            v.rows.push_back(row);
        }
    }
    v.loaded = !v.passPhraseHex.empty() && !v.rows.empty() && !v.longBase64.empty();
    return v;
}

}  // namespace

const ProtectedTextVectors& LoadProtectedTextVectors() {
    static const ProtectedTextVectors vectors = [] {
        const auto dir = testsupport::SharedDir();
        if (dir.empty()) return ProtectedTextVectors{};
        std::ifstream in(dir / "vectors" / "protected-text.md");
        return in ? Parse(in) : ProtectedTextVectors{};
    }();
    return vectors;
}
