#include "SettingsFile.h"

#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "IniFiles.h"
#include "Pipeline.h"
#include "QCWinCrypt.h"

namespace {

const char* const kDefaultStampText = "(c)2005 Rinto";

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

// Load steps 2 to 5: every field in the file's order, the stamp text, the clamps; then the
// stored window position, which the caller applies only when asked to.
TWindowPosition ReadInto(const TMemIniFile& ini, Settings& s) {
    s.RestoreWindowPos = ini.ReadBool("basic", "Position", true);
    s.BackColor = ini.ReadInteger("colors", "back_color", 0xFFFFFF);
    s.WordColor = ini.ReadInteger("colors", "word_color", 0);
    s.BackTransparent = ini.ReadBool("colors", "back_trans", false);
    s.FontName = ini.ReadString("font", "name", "MS UI Gothic");
    s.PosTop = ini.ReadBool("position", "top", false);
    s.PosLeft = ini.ReadBool("position", "left", false);
    s.SaveFormat = ini.ReadInteger("save", "format", 0);
    s.ImageQuality = ini.ReadInteger("save", "imagequality", 10);

    // A missing key hands the default text itself to the facade, which cannot decrypt it
    // and so returns the same default.
    auto facade = std::make_unique<TQCWinCrypt>();
    s.CopyrightText = facade->DecryptString(ini.ReadString("save", "copyright_text", kDefaultStampText), s.PassPhrase,
                                            kDefaultStampText);
    facade.reset();

    s.SaveFormat = std::clamp(s.SaveFormat, 0, 1);
    s.ImageQuality = std::clamp(s.ImageQuality, 1, 10);

    TWindowPosition stored;
    stored.Top = ini.ReadInteger("window", "top", 0);
    stored.Left = ini.ReadInteger("window", "left", 0);
    return stored;
}

// Save step 2: every key but the stamp text, in the order that lays out a new file.
void WriteFrom(TMemIniFile& ini, const Settings& s, TWindowPosition window) {
    ini.WriteBool("basic", "Position", s.RestoreWindowPos);
    ini.WriteInteger("colors", "back_color", s.BackColor);
    ini.WriteInteger("colors", "word_color", s.WordColor);
    ini.WriteBool("colors", "back_trans", s.BackTransparent);
    ini.WriteInteger("window", "top", window.Top);
    ini.WriteInteger("window", "left", window.Left);
    ini.WriteString("font", "name", s.FontName);
    ini.WriteBool("position", "top", s.PosTop);
    ini.WriteBool("position", "left", s.PosLeft);
    ini.WriteInteger("save", "format", s.SaveFormat);
    ini.WriteInteger("save", "imagequality", s.ImageQuality);
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

std::optional<TWindowPosition> ReadSettingsFile(const std::string& path, Settings& settings) {
    const TMemIniFile ini = OpenIni(path);
    Settings s = settings;
    const TWindowPosition stored = ReadInto(ini, s);
    settings = std::move(s);
    if (!settings.RestoreWindowPos) return std::nullopt;
    return stored;
}

void WriteSettingsFile(const std::string& path, const Settings& settings, TWindowPosition current) {
    TMemIniFile ini = OpenIni(path);
    auto facade = std::make_unique<TQCWinCrypt>();
    WriteFrom(ini, settings, current);
    ini.WriteString("save", "copyright_text",
                    facade->EncryptString(settings.CopyrightText, settings.PassPhrase, kDefaultStampText));
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

std::vector<std::pair<std::string, std::string>> DescribeSettingsFile(const std::string& path) {
    TMemIniFile ini = OpenIni(path);
    Settings s;
    InitSettings(s);
    const TWindowPosition stored = ReadInto(ini, s);
    WriteFrom(ini, s, stored);
    ini.WriteString("save", "copyright_text", "");  // its place in the order; shown in plain
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    std::vector<std::pair<std::string, std::string>> out;
    bool textShown = false;
    for (const auto& section : ini.ReadSections()) {
        for (const auto& key : ini.ReadSection(section)) {
            const bool isText = !textShown && lower(section) == "save" && lower(key) == "copyright_text";
            textShown = textShown || isText;
            out.emplace_back(section + "." + key, isText ? s.CopyrightText : ini.ReadString(section, key, ""));
        }
    }
    return out;
}
