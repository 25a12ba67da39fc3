#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "CodePage.h"
#include "QCWinCrypt.h"
#include "SettingsFile.h"
#include "TestSupport.h"
#include "setting_common.h"

namespace {

using apptest::ReadFile;
using apptest::WriteFile;

std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

Settings Initial() {
    Settings s;
    InitSettings(s);
    s.VersionText = kProgramVersion;
    return s;
}

std::string StoredLine(const std::string& path) {
    const std::string text = ReadFile(path);
    const size_t at = text.find("copyright_text=");
    return at == std::string::npos ? "" : text.substr(at, text.find("\r\n", at) - at);
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsFile, MissingFileGivesTheReadDefaults) {
    testsupport::TempDir dir;
    Settings s = Initial();
    const auto pos = ReadSettingsFile(dir.file("k.ini"), s);
    ASSERT_TRUE(pos.has_value());  // "Position" defaults to true: back to (0, 0)
    EXPECT_EQ(pos->Top, 0);
    EXPECT_EQ(pos->Left, 0);
    EXPECT_TRUE(s.RestoreWindowPos);
    EXPECT_EQ(s.BackColor, 0xFFFFFF);
    EXPECT_EQ(s.WordColor, 0);
    EXPECT_FALSE(s.BackTransparent);
    EXPECT_EQ(s.FontName, "MS UI Gothic");
    EXPECT_FALSE(s.PosTop);
    EXPECT_FALSE(s.PosLeft);
    EXPECT_EQ(s.SaveFormat, 0);
    EXPECT_EQ(s.ImageQuality, 10);
    EXPECT_EQ(s.CopyrightText, "(c)2005 Rinto");
    EXPECT_EQ(s.VersionText, kProgramVersion);
    EXPECT_EQ(s.PassPhrase, Initial().PassPhrase);
    EXPECT_FALSE(std::filesystem::exists(dir.file("k.ini")));
}

TEST(SettingsFile, FirstWriteLayoutLineByLine) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    Settings s = Initial();
    ReadSettingsFile(path, s);
    WriteSettingsFile(path, s, {107, 192});
    const std::vector<std::string> expected = {
        "[basic]",
        "Position=1",
        "",
        "[colors]",
        "back_color=16777215",
        "word_color=0",
        "back_trans=0",
        "",
        "[window]",
        "top=107",
        "left=192",
        "",
        "[font]",
        "name=MS UI Gothic",
        "",
        "[position]",
        "top=0",
        "left=0",
        "",
        "[save]",
        "format=0",
        "imagequality=10",
        "copyright_text=1yoQNwc60NyeItSV6XNAAw==",
        "",
    };
    const auto lines = CrLfLines(ReadFile(path));
    ASSERT_EQ(lines.size(), 24u);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;

    // The same settings give the same file: the stored line depends only on text and phrase.
    const std::string first = ReadFile(path);
    WriteSettingsFile(path, s, {107, 192});
    EXPECT_EQ(ReadFile(path), first);

    // A chosen thread count is kept, and going back to automatic is kept too.
    for (const int threads : {3, 0}) {
        s.Threads = threads;
        WriteSettingsFile(path, s, {107, 192});
        Settings back = Initial();
        back.Threads = 7;
        ReadSettingsFile(path, back);
        EXPECT_EQ(back.Threads, threads);
        EXPECT_NE(ReadFile(path).find("[photo]\r\nthreads=" + std::to_string(threads)), std::string::npos);
    }
}

TEST(SettingsFile, MalformedAndOutOfRangeValues) {
    struct Case {
        const char* section;
        const char* line;
        std::function<bool(const Settings&, const std::optional<TWindowPosition>&)> check;
    };
    using P = std::optional<TWindowPosition>;
    const Case cases[] = {
        {"save", "imagequality=0", [](const Settings& s, const P&) { return s.ImageQuality == 1; }},
        {"save", "imagequality=25", [](const Settings& s, const P&) { return s.ImageQuality == 10; }},
        {"save", "imagequality=abc", [](const Settings& s, const P&) { return s.ImageQuality == 10; }},
        {"save", "imagequality= 4 ", [](const Settings& s, const P&) { return s.ImageQuality == 4; }},
        {"save", "format=7", [](const Settings& s, const P&) { return s.SaveFormat == 1; }},
        {"save", "format=-3", [](const Settings& s, const P&) { return s.SaveFormat == 0; }},
        {"save", "format=", [](const Settings& s, const P&) { return s.SaveFormat == 0; }},
        {"colors", "back_color=$0000FF", [](const Settings& s, const P&) { return s.BackColor == 0xFF; }},
        {"colors", "back_color=0xFF", [](const Settings& s, const P&) { return s.BackColor == 0xFF; }},
        {"colors", "back_color=red", [](const Settings& s, const P&) { return s.BackColor == 0xFFFFFF; }},
        {"colors", "word_color=-5", [](const Settings& s, const P&) { return s.WordColor == -5; }},
        {"colors", "back_trans=yes", [](const Settings& s, const P&) { return !s.BackTransparent; }},
        {"colors", "back_trans=2", [](const Settings& s, const P&) { return s.BackTransparent; }},
        {"basic", "Position=0", [](const Settings& s, const P& p) { return !s.RestoreWindowPos && !p; }},
        {"basic", "Position=x", [](const Settings& s, const P& p) { return s.RestoreWindowPos && p; }},
        {"position", "top=1", [](const Settings& s, const P&) { return s.PosTop && !s.PosLeft; }},
        {"font", "name=  Noto Sans CJK JP  ",
         [](const Settings& s, const P&) { return s.FontName == "Noto Sans CJK JP"; }},
        {"save", "copyright_text=garbage",
         [](const Settings& s, const P&) { return s.CopyrightText == "(c)2005 Rinto"; }},
        {"save", "copyright_text=", [](const Settings& s, const P&) { return s.CopyrightText == "(c)2005 Rinto"; }},
        {"window", "top=-30", [](const Settings&, const P& p) { return p && p->Top == -30 && p->Left == 0; }},
        {"window", "left=$10", [](const Settings&, const P& p) { return p && p->Left == 16; }},
        {"window", "top=high", [](const Settings&, const P& p) { return p && p->Top == 0; }},
        {"photo", "threads=3", [](const Settings& s, const P&) { return s.Threads == 3; }},
        {"photo", "threads=64", [](const Settings& s, const P&) { return s.Threads == 64; }},
        {"photo", "threads=65", [](const Settings& s, const P&) { return s.Threads == 0; }},
        {"photo", "threads=-2", [](const Settings& s, const P&) { return s.Threads == 0; }},
        {"photo", "threads=many", [](const Settings& s, const P&) { return s.Threads == 0; }},
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file("k.ini");
        WriteFile(path, std::string("[") + c.section + "]\r\n" + c.line + "\r\n");
        Settings s = Initial();
        const auto pos = ReadSettingsFile(path, s);
        EXPECT_TRUE(c.check(s, pos)) << "[" << c.section << "] " << c.line;
    }
}

TEST(SettingsFile, UnknownSectionsSurviveCommentsGo) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    WriteFile(path,
              "; written by hand\r\n"
              "[SAVE]\r\n"
              "FORMAT=1\r\n"
              "ImageQuality=3\r\n"
              "my_note=keep this\r\n"
              "\r\n"
              "; another comment\r\n"
              "[plugins]\r\n"
              "path=/opt/x\r\n");
    Settings s = Initial();
    ReadSettingsFile(path, s);
    EXPECT_EQ(s.SaveFormat, 1);
    EXPECT_EQ(s.ImageQuality, 3);
    s.ImageQuality = 5;
    WriteSettingsFile(path, s, {1, 2});
    const auto lines = CrLfLines(ReadFile(path));
    const std::vector<std::string> head = {"[SAVE]", "FORMAT=1", "ImageQuality=5", "my_note=keep this"};
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), head);
    EXPECT_EQ(lines[4].rfind("copyright_text=", 0), 0u);
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], "[plugins]");
    EXPECT_EQ(lines[7], "path=/opt/x");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], "[basic]");
    EXPECT_EQ(ReadFile(path).find(';'), std::string::npos);
    EXPECT_EQ(lines.back(), "");
}

TEST(SettingsFile, StampTextsSurviveSaveAndLoad) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    const std::string texts[] = {"（ｃ）２００５　りんと写真館", "©2005 Rinto", "", "a"};
    for (const auto& text : texts) {
        Settings s = Initial();
        s.CopyrightText = text;
        s.FontName = "ＭＳ Ｐゴシック";
        WriteSettingsFile(path, s, {0, 0});
        EXPECT_NE(ReadFile(path).rfind("\xEF\xBB\xBF", 0), 0u) << "the file itself stays code page 932";
        Settings back = Initial();
        ReadSettingsFile(path, back);
        EXPECT_EQ(back.CopyrightText, text);
        EXPECT_EQ(back.FontName, "ＭＳ Ｐゴシック");
    }
}

TEST(SettingsFile, ReadsAFileOfTheOriginalProgram) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    // As the original writes it: code page 932 bytes, CR LF, its protected line.
    WriteFile(path, Utf8ToCp932("[basic]\r\nPosition=0\r\n\r\n[font]\r\nname=ＭＳ Ｐゴシック\r\n\r\n"
                                "[save]\r\nformat=1\r\nimagequality=7\r\n"
                                "copyright_text=1yoQNwc60NyeItSV6XNAAw==\r\n\r\n"));
    Settings s = Initial();
    s.CopyrightText = "something else";
    EXPECT_FALSE(ReadSettingsFile(path, s).has_value());
    EXPECT_EQ(s.CopyrightText, "(c)2005 Rinto");
    EXPECT_EQ(s.FontName, "ＭＳ Ｐゴシック");
    EXPECT_EQ(s.SaveFormat, 1);
    EXPECT_EQ(s.ImageQuality, 7);

    WriteFile(path, "[save]\r\ncopyright_text=089/0LTO4G0zOHpNfyFPlg==\r\n");
    ReadSettingsFile(path, s);
    EXPECT_EQ(s.CopyrightText, "(c)テスト");
}

TEST(SettingsFile, UnreadableFileRaisesAndLeavesTheRecord) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    std::filesystem::create_directory(path);  // unreadable as a file, even for root
    Settings s = Initial();
    try {
        ReadSettingsFile(path, s);
        ADD_FAILURE() << "no error";
    } catch (const ESettingsFileError& e) {
        EXPECT_EQ(std::string(e.what()), "ファイル " + path + " は開けません");
    }
    EXPECT_EQ(s.BackColor, Initial().BackColor);
    EXPECT_EQ(s.FontName, "");
    EXPECT_THROW(WriteSettingsFile(path, s, {0, 0}), ESettingsFileError);  // cannot be read at save
}

TEST(SettingsFile, WhereTheFileLives) {
    struct Case {
        const char* program;
        const char* xdgConfig;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/u/kirimark/kirimark", "/cfg", "/home/u", "/home/u/kirimark/kirimark.ini"},
        {"/opt/kirimark-1.0/kirimark", nullptr, "/home/u", "/opt/kirimark-1.0/kirimark.ini"},
        {"/home/u/build/kirimark.bin", nullptr, "/home/u", "/home/u/build/kirimark.ini"},
        {"/usrlocal/kirimark", nullptr, "/home/u", "/usrlocal/kirimark.ini"},
        {"/usr/bin/kirimark", "/cfg", "/home/u", "/cfg/kirimark/kirimark.ini"},
        {"/usr/local/bin/kirimark", nullptr, "/home/u", "/home/u/.config/kirimark/kirimark.ini"},
        {"/usr/bin/kirimark", "relative/cfg", "/home/u", "/home/u/.config/kirimark/kirimark.ini"},
    };
    for (const auto& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdgConfig);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(SettingsFilePath(c.program), c.expected) << c.program;
    }
    ScopedEnv override("KIRIMARK_SETTINGS_FILE", "/tmp/x.ini");
    EXPECT_EQ(ProgramSettingsFilePath(), "/tmp/x.ini");
}

TEST(SettingsFile, PerUserFolderIsMadeOnFirstSave) {
    testsupport::TempDir dir;
    ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
    const std::string path = SettingsFilePath("/usr/bin/kirimark");
    Settings saved = Initial();
    saved.RestoreWindowPos = true;
    WriteSettingsFile(path, saved, {3, 4});
    Settings s = Initial();
    const auto pos = ReadSettingsFile(path, s);
    ASSERT_TRUE(pos.has_value());
    EXPECT_EQ(pos->Top, 3);
    EXPECT_EQ(pos->Left, 4);
}

// The user's stamp text is never lost: a stored line the run cannot use as it is (one that does
// not decrypt, one past the length of a stamp) is reported, the run goes on with what it can
// use, and saves give the line back unchanged until a new text is set. A key container that
// cannot be made does not matter to the pass phrase at all.
TEST(SettingsFile, StoredTextsTheRunCannotUseAreKept) {
    const std::string phrase = Initial().PassPhrase;
    const std::string longText(2000, 'x');
    const struct {
        const char* name;
        std::string line;
        TStoredTextProblem problem;
        std::string inUse;
        bool brokenKeyStore = false;
    } cases[] = {
        {"not a protected line", "garbage", TStoredTextProblem::Unreadable, kDefaultStampText},
        {"another pass phrase", TQCWinCrypt().EncryptString("mine", "another phrase", ""),
         TStoredTextProblem::Unreadable, kDefaultStampText},
        {"longer than a stamp", TQCWinCrypt().EncryptString(longText, phrase, ""), TStoredTextProblem::TooLong,
         longText.substr(0, kMaxStampTextChars)},
        {"the default text itself", "1yoQNwc60NyeItSV6XNAAw==", TStoredTextProblem::None, kDefaultStampText},
        {"a key container that cannot be made", TQCWinCrypt().EncryptString("mine", phrase, ""),
         TStoredTextProblem::None, "mine", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.line.empty());
        testsupport::TempDir dir;
        const std::string path = dir.file("k.ini");
        WriteFile(dir.file("notafolder"), "x");
        ScopedEnv keys("KIRIMARK_KEYSTORE_DIR", c.brokenKeyStore ? dir.file("notafolder").c_str() : nullptr);
        WriteFile(path, "[save]\r\ncopyright_text=" + c.line + "\r\n");
        Settings s = Initial();
        TStoredTextProblem problem{};
        ReadSettingsFile(path, s, &problem);
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(StoredTextProblemText(problem, path).empty(), c.problem == TStoredTextProblem::None);
        EXPECT_EQ(s.CopyrightText, c.inUse);

        s.ImageQuality = 3;  // a save for another reason
        WriteSettingsFile(path, s, {0, 0});
        EXPECT_EQ(StoredLine(path), "copyright_text=" + c.line);
        s.CopyrightText = "bad \xff UTF-8";  // a text that cannot be encrypted: the line stays too
        WriteSettingsFile(path, s, {0, 0});
        EXPECT_EQ(StoredLine(path), "copyright_text=" + c.line);

        s.CopyrightText = "new text";
        WriteSettingsFile(path, s, {0, 0});
        Settings back = Initial();
        ReadSettingsFile(path, back, &problem);
        EXPECT_EQ(back.CopyrightText, "new text");
        EXPECT_EQ(problem, TStoredTextProblem::None);
    }
}

TEST(SettingsFile, DescribesTheEffectiveSettingsInFileOrder) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    Settings s = Initial();
    s.CopyrightText = "©2005 りんと";
    s.RestoreWindowPos = false;
    WriteSettingsFile(path, s, {50, 60});
    WriteFile(path, ReadFile(path) + "[extra]\r\nnote= hi \r\n");
    std::ostringstream out;
    for (const auto& [key, value] : DescribeSettingsFile(path)) out << key << "=" << value << "\n";
    EXPECT_EQ(out.str(),
              "basic.Position=0\n"
              "colors.back_color=7848280\ncolors.word_color=22577\ncolors.back_trans=0\n"
              "window.top=50\nwindow.left=60\n"
              "font.name=\n"
              "position.top=1\nposition.left=1\n"
              "save.format=0\nsave.imagequality=10\nsave.copyright_text=©2005 りんと\n"
              "extra.note=hi\n");
}

}  // namespace
