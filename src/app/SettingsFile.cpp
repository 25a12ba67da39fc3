#include "SettingsFile.h"

#include <pwd.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "IniFiles.h"
#include "PhotoSettings.h"
#include "Pipeline.h"
#include "QCWinCrypt.h"

namespace {

ESettingsFileError CannotOpen(const std::string& path) {
    return ESettingsFileError("ファイル " + path + " は開けません");
}

ESettingsFileError CannotCreate(const std::string& path) {
    return ESettingsFileError("ファイル " + path + " を作成できません");
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

TMemIniFile OpenIni(const std::string& path) {
    try {
        return TMemIniFile(path);
    } catch (const EStreamError&) {
        throw CannotOpen(path);
    }
}

// Recovers the stamp text from its protected line and remembers the line, so that a save can
// give it back unchanged.
TStoredTextProblem ReadStampText(const TMemIniFile& ini, Settings& s) {
    s.StoredTextLine = ini.ReadString("save", "copyright_text", "");
    if (s.StoredTextLine.empty()) {
        // Nothing stored: the default text, as a first start has it.
        s.CopyrightText = s.StoredTextInUse = kDefaultStampText;
        return TStoredTextProblem::None;
    }
    // Decryption gives the same text whatever the fallback, so a second fallback tells a line
    // that does not decrypt from one that holds the default text itself.
    TQCWinCrypt facade;
    std::string text = facade.DecryptString(s.StoredTextLine, s.PassPhrase, kDefaultStampText);
    TStoredTextProblem problem = TStoredTextProblem::None;
    if (text == kDefaultStampText && facade.DecryptString(s.StoredTextLine, s.PassPhrase, "").empty()) {
        problem = TStoredTextProblem::Unreadable;
    } else if (TextLength(text) > kMaxStampTextChars) {
        text = CutStampText(text);
        problem = TStoredTextProblem::TooLong;
    }
    s.CopyrightText = s.StoredTextInUse = text;
    return problem;
}

// The line a save stores for the stamp text; "" when the text could not be encrypted.
std::string StampTextLine(const Settings& s) {
    if (!s.StoredTextLine.empty() && s.CopyrightText == s.StoredTextInUse) return s.StoredTextLine;
    return TQCWinCrypt().EncryptString(s.CopyrightText, s.PassPhrase, "");  // Base64 is never empty
}

// Only a chosen thread count is written, so that a first file keeps its usual lines.
void WriteThreads(TMemIniFile& ini, const Settings& s) {
    if (s.Threads != 0 || ini.ValueExists("photo", "threads")) ini.WriteInteger("photo", "threads", s.Threads);
}

TWindowPosition ReadInto(const TMemIniFile& ini, Settings& s, TStoredTextProblem* problem) {
    TWindowPosition stored;
    ReadSettingsKeys(ini, SettingsFileKeys(), s, stored);
    // Outside the range: as many as the machine gives, which is never wrong.
    s.Threads = ini.ReadInteger("photo", "threads", 0);
    if (s.Threads < 0 || s.Threads > kMaxEncoderThreads) s.Threads = 0;
    ReadPhotoSettings(ini, s.Photo);
    const TStoredTextProblem p = ReadStampText(ini, s);
    if (problem) *problem = p;
    return stored;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::string ProgramFilePath() {
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? "" : p.string();
}

std::string SettingsFilePath(const std::string& programPath) {
    if (programPath.rfind("/usr/", 0) == 0) {
        std::string config = Env("XDG_CONFIG_HOME");
        if (config.empty() || config[0] != '/') {
            std::string home = Env("HOME");
            if (home.empty())
                if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) home = pw->pw_dir;
            config = home + "/.config";
        }
        return config + "/kirimark/kirimark.ini";
    }
    return ChangeFileExt(programPath, ".ini");
}

std::string ProgramSettingsFilePath() {
    if (std::string path = Env("KIRIMARK_SETTINGS_FILE"); !path.empty()) return path;
    return SettingsFilePath(ProgramFilePath());
}

std::string StoredTextProblemText(TStoredTextProblem problem, const std::string& path) {
    switch (problem) {
    case TStoredTextProblem::None: return "";
    case TStoredTextProblem::Unreadable:
        return path + ": the stored stamp text (save.copyright_text) cannot be decrypted; this run stamps \"" +
               kDefaultStampText + "\", and the stored line is kept unless a new text is set";
    case TStoredTextProblem::TooLong:
        return path + ": the stored stamp text is longer than " + std::to_string(kMaxStampTextChars) +
               " characters; this run stamps its first " + std::to_string(kMaxStampTextChars) +
               ", and the stored line is kept unless a new text is set";
    }
    return "";
}

std::string StoredTextUnreadableBoxText() {
    return std::string("設定ファイルに保存されているスタンプの文字列を読めませんでした（-ω-）\n今回は「") +
           kDefaultStampText + "」で押します。保存されている文字列はそのまま残します。";
}

std::optional<TWindowPosition> ReadSettingsFile(const std::string& path, Settings& settings,
                                                TStoredTextProblem* problem) {
    const TMemIniFile ini = OpenIni(path);
    Settings s = settings;
    const TWindowPosition stored = ReadInto(ini, s, problem);
    settings = std::move(s);
    if (!settings.RestoreWindowPos) return std::nullopt;
    return stored;
}

void WriteSettingsFile(const std::string& path, const Settings& settings, TWindowPosition current) {
    TMemIniFile ini = OpenIni(path);
    WriteSettingsKeys(ini, SettingsFileKeys(), settings, current);
    WriteThreads(ini, settings);
    WritePhotoSettings(ini, settings.Photo);
    // A text that cannot be encrypted leaves the line the file holds.
    if (const std::string line = StampTextLine(settings); !line.empty())
        ini.WriteString("save", "copyright_text", line);
    try {
        // The folder of a per-user file may not exist yet on a first save.
        const auto folder = std::filesystem::path(path).parent_path();
        std::error_code ec;
        if (!folder.empty() && !std::filesystem::exists(folder, ec)) std::filesystem::create_directories(folder, ec);
        ini.UpdateFile();
    } catch (const EStreamError&) {
        throw CannotCreate(path);
    }
}

std::vector<std::pair<std::string, std::string>> DescribeSettingsFile(const std::string& path,
                                                                      TStoredTextProblem* problem) {
    TMemIniFile ini = OpenIni(path);
    Settings s;
    const TWindowPosition stored = ReadInto(ini, s, problem);
    WriteSettingsKeys(ini, SettingsFileKeys(), s, stored);
    WriteThreads(ini, s);
    WritePhotoSettings(ini, s.Photo);
    ini.WriteString("save", "copyright_text", "");  // its place in the order; shown in plain
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& section : ini.ReadSections()) {
        std::vector<std::string> shown;
        for (const auto& key : ini.ReadSection(section)) {
            if (std::any_of(shown.begin(), shown.end(), [&](const std::string& k) { return SameText(k, key); }))
                continue;
            shown.push_back(key);
            const bool isText = SameText(section, "save") && SameText(key, "copyright_text");
            out.emplace_back(section + "." + key, isText ? s.CopyrightText : ini.ReadString(section, key, ""));
        }
    }
    return out;
}
