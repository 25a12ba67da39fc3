#include "IniFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CodePage.h"
#include "SafeFile.h"
#include "SysUtils.h"

namespace {

const std::string kUtf8Mark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[noreturn]] void OpenFailed(const std::string& fileName, int error) {
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(error));
}

// The file's bytes, or empty when there is no file. Raises EFOpenError otherwise.
std::string ReadFileBytes(const std::string& fileName) {
    int fd;
    try {
        fd = OpenRegularFile(fileName, O_RDONLY);  // a FIFO or a device is refused, never waited on
    } catch (const EFOpenError& e) {
        if (e.SysErrno() == ENOENT || e.SysErrno() == ENOTDIR) return "";  // no such file
        throw;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) OpenFailed(fileName, errno);
    if (st.st_size > TMemIniFile::kMaxFileSize) OpenFailed(fileName, EFBIG);
    std::string data;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) OpenFailed(fileName, errno);
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (static_cast<int64_t>(data.size()) > TMemIniFile::kMaxFileSize) OpenFailed(fileName, EFBIG);
    }
    return data;
}

// The file a save replaces: fileName itself, or the file its chain of symbolic links leads
// to (which need not exist yet), so that a settings file linked from elsewhere stays a link.
std::string LinkTarget(const std::string& fileName) {
    std::string current = fileName;
    for (int hops = 0; hops < 40; ++hops) {
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) return current;  // not a link, or nothing there yet: written under this name
        if (static_cast<size_t>(n) == target.size())
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(ENAMETOOLONG),
                                TFailureKind::IoError, ENAMETOOLONG);
        target.resize(static_cast<size_t>(n));
        if (target[0] != '/') {
            const size_t slash = current.find_last_of('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(ELOOP), TFailureKind::IoError,
                        ELOOP);
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t& value) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n) return false;
    uint64_t v = 0;
    for (; i < n; ++i) {
        const int d = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        // Hexadecimal spells 32 bits (so $FFFFFFFF is -1); decimal must fit the signed range.
        if (v > (hex ? 0xFFFFFFFFull : 0x80000000ull)) return false;
    }
    if (hex) {
        const auto bits = static_cast<uint32_t>(v);
        value = static_cast<int32_t>(negative ? 0u - bits : bits);
        return true;
    }
    if (!negative && v > 0x7FFFFFFFull) return false;
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return true;
}

TMemIniFile::TMemIniFile(const std::string& fileName) : fileName_(fileName) { SetFileBytes(ReadFileBytes(fileName)); }

void TMemIniFile::SetFileBytes(const std::string& bytes) {
    std::string text;
    if (bytes.compare(0, kUtf8Mark.size(), kUtf8Mark) == 0 && IsValidUtf8(bytes.substr(kUtf8Mark.size())))
        text = bytes.substr(kUtf8Mark.size());
    else
        text = Cp932ToUtf8(bytes);  // a byte without a character becomes U+FFFD
    SetText(text);
}

void TMemIniFile::SetText(const std::string& text) {
    sections_.clear();
    preamble_.clear();
    Section* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        // Lines end in CR LF, LF or a lone CR.
        const size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string line = Trim(text.substr(pos, end - pos));
        pos = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);

        if (line.empty() || line[0] == ';') continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string name = Trim(line.substr(1, line.size() - 2));
            auto it = std::find_if(sections_.begin(), sections_.end(),
                                   [&](const Section& s) { return SameText(s.name, name); });
            if (it == sections_.end()) {
                sections_.push_back({name, {}});
                current = &sections_.back();
            } else {
                current = &*it;  // a repeated section adds to the first of that name
            }
            continue;
        }
        Line entry;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            entry.key = line;
        } else {
            entry.key = Trim(line.substr(0, eq));
            entry.value = Trim(line.substr(eq + 1));
            entry.hasValue = true;
        }
        // Lines above the first section belong to no section, but are the user's: kept.
        (current ? current->lines : preamble_).push_back(std::move(entry));
    }
}

std::string TMemIniFile::GetText() const {
    std::string out;
    for (const auto& l : preamble_) out += (l.hasValue ? l.key + "=" + l.value : l.key) + "\r\n";
    if (!preamble_.empty()) out += "\r\n";
    for (const auto& s : sections_) {
        out += "[" + s.name + "]\r\n";
        for (const auto& l : s.lines) out += (l.hasValue ? l.key + "=" + l.value : l.key) + "\r\n";
        out += "\r\n";
    }
    return out;
}

const TMemIniFile::Section* TMemIniFile::FindSection(const std::string& name) const {
    for (const auto& s : sections_)
        if (SameText(s.name, name)) return &s;
    return nullptr;
}

const TMemIniFile::Line* TMemIniFile::FindLine(const std::string& section, const std::string& ident) const {
    const Section* s = FindSection(section);
    if (!s) return nullptr;
    for (const auto& l : s->lines)
        if (l.hasValue && SameText(l.key, ident)) return &l;
    return nullptr;
}

std::string TMemIniFile::ReadString(const std::string& section, const std::string& ident,
                                    const std::string& defaultValue) const {
    const Line* l = FindLine(section, ident);
    return l ? l->value : defaultValue;
}

int32_t TMemIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t defaultValue) const {
    int32_t v = 0;
    return TryStrToInt(ReadString(section, ident, ""), v) ? v : defaultValue;
}

bool TMemIniFile::ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const {
    return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TMemIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
    // A line break in a value would start a new line of the file on the next read.
    std::string clean = value;
    for (char& c : clean)
        if (c == '\r' || c == '\n') c = ' ';
    const std::string key = Trim(ident);

    Section* s = const_cast<Section*>(FindSection(section));
    if (!s) {
        sections_.push_back({Trim(section), {}});
        s = &sections_.back();
    }
    for (auto& l : s->lines) {
        if (l.hasValue && SameText(l.key, key)) {
            l.value = clean;
            return;
        }
    }
    s->lines.push_back({key, clean, true});
}

void TMemIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
    WriteString(section, ident, std::to_string(value));
}

void TMemIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

bool TMemIniFile::SectionExists(const std::string& section) const { return FindSection(section) != nullptr; }

bool TMemIniFile::ValueExists(const std::string& section, const std::string& ident) const {
    return FindLine(section, ident) != nullptr;
}

std::vector<std::string> TMemIniFile::ReadSections() const {
    std::vector<std::string> names;
    for (const auto& s : sections_) names.push_back(s.name);
    return names;
}

std::vector<std::string> TMemIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    if (const Section* s = FindSection(section))
        for (const auto& l : s->lines)
            if (l.hasValue) keys.push_back(l.key);
    return keys;
}

void TMemIniFile::UpdateFile() {
    const std::string text = GetText();
    std::string bytes;
    if (!TryUtf8ToCp932(text, bytes)) bytes = kUtf8Mark + text;

    const std::string target = LinkTarget(fileName_);
    // The new file replaces the old by rename, which a read-only file would not stop; the
    // file's own write permission decides, as it would for writing in place.
    if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0)
        throw EFCreateError("Cannot create file \"" + fileName_ + "\". " + std::strerror(errno),
                            FailureKindFromErrno(errno), errno);
    TSafeFileStream out(target);
    out.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    out.Commit();
}
