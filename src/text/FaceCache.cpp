#include "FaceCache.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SafeFile.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kHeader = "kirimark face cache 1";
constexpr size_t kMaxEntryBytes = 1 << 20;  // a few hundred lines in practice

// Newlines and backslashes escaped, so that every value stays on its line.
std::string Escape(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return std::nullopt;
        if (s[i] == '\\')
            out += '\\';
        else if (s[i] == 'n')
            out += '\n';
        else
            return std::nullopt;
    }
    return out;
}

// What a replaced, edited, added or removed file or folder changes: its times, size, inode.
std::string FileState(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "absent";
    std::ostringstream s;
    s << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec << ':' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec << ':'
      << st.st_size << ':' << st.st_ino;
    return s.str();
}

uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (const char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// Splits "word rest" at the first space.
bool Split(const std::string& line, std::string& word, std::string& rest) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    word = line.substr(0, space);
    rest = line.substr(space + 1);
    return true;
}

}  // namespace

fs::path TFaceCache::DefaultFolder() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') return fs::path(xdg) / "kirimark";
    if (const char* home = std::getenv("HOME"); home && *home == '/') return fs::path(home) / ".cache" / "kirimark";
    return {};
}

fs::path TFaceCache::EntryPath(const std::string& question) const {
    char name[32];
    std::snprintf(name, sizeof name, "face-%016llx", static_cast<unsigned long long>(Fnv1a(question)));
    return folder_ / name;
}

std::optional<TFaceFile> TFaceCache::Find(const std::string& question) const {
    if (folder_.empty()) return std::nullopt;
    std::ifstream in(EntryPath(question), std::ios::binary);
    if (!in) return std::nullopt;
    std::string line, word, rest;
    if (!std::getline(in, line) || line != kHeader) return std::nullopt;
    // The question itself, since another question may share the file name.
    if (!std::getline(in, line) || !Split(line, word, rest) || word != "question") return std::nullopt;
    if (Unescape(rest) != question) return std::nullopt;

    if (!std::getline(in, line) || !Split(line, word, rest) || word != "answer") return std::nullopt;
    TFaceFile answer;
    int hinting = 0, autoHint = 0, consumed = 0;
    if (std::sscanf(rest.c_str(), "%d %d %d %n", &answer.Index, &hinting, &autoHint, &consumed) != 3 || hinting < 0 ||
        hinting > static_cast<int>(THinting::Full) || answer.Index < 0)
        return std::nullopt;
    const auto path = Unescape(rest.substr(static_cast<size_t>(consumed)));
    if (!path || path->empty()) return std::nullopt;
    answer.Path = *path;
    answer.Hinting = static_cast<THinting>(hinting);
    answer.AutoHint = autoHint != 0;

    size_t bytes = 0;
    bool ended = false;
    while (std::getline(in, line)) {
        if ((bytes += line.size()) > kMaxEntryBytes) return std::nullopt;
        if (line == "end") {
            ended = true;
            break;
        }
        std::string state, file;
        if (!Split(line, word, rest) || word != "depends" || !Split(rest, state, file)) return std::nullopt;
        const auto dependency = Unescape(file);
        if (!dependency || FileState(*dependency) != state) return std::nullopt;
    }
    // An entry without its last line was cut short; none is ever written so.
    if (!ended) return std::nullopt;
    return answer;
}

void TFaceCache::Store(const std::string& question, const TFaceFile& answer,
                       const std::vector<std::string>& dependsOn) const {
    if (folder_.empty()) return;
    std::ostringstream s;
    s << kHeader << '\n'
      << "question " << Escape(question) << '\n'
      << "answer " << answer.Index << ' ' << static_cast<int>(answer.Hinting) << ' ' << (answer.AutoHint ? 1 : 0) << ' '
      << Escape(answer.Path) << '\n';
    for (const std::string& path : dependsOn) s << "depends " << FileState(path) << ' ' << Escape(path) << '\n';
    s << "end\n";
    const std::string text = s.str();
    try {
        std::error_code ec;
        fs::create_directories(folder_, ec);
        TSafeFileStream out(EntryPath(question).string());
        out.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
        out.Commit();
    } catch (...) {
        // Only a cache: the next run asks fontconfig again.
    }
}
