// `kirimark --settings` and the settings that headless commands start from.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "Cli.h"
#include "CliSettings.h"
#include "CodePage.h"
#include "QCWinCrypt.h"
#include "SettingsFile.h"
#include "TestSupport.h"

namespace {

class SettingsFileCli : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("KIRIMARK_SETTINGS_FILE", path.c_str(), 1); }
    void TearDown() override { ::unsetenv("KIRIMARK_SETTINGS_FILE"); }
    void Put(const std::string& bytes) { apptest::WriteFile(path, bytes); }

    int Run(std::vector<std::string> args, std::string& out, std::string& err) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = RunSettingsCommand(args);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return rc;
    }

    testsupport::TempDir dir;
    std::string path = dir.file("kirimark.ini");
};

TEST_F(SettingsFileCli, ListsTheFileInItsKeyOrderWithThePlainText) {
    // A file of the original program: code page 932, its own key order, an unknown key.
    Put(
        Utf8ToCp932("[save]\r\ncopyright_text=089/0LTO4G0zOHpNfyFPlg==\r\nimagequality=30\r\n"
                    "[font]\r\nname=ＭＳ ゴシック\r\nsize=9\r\n"));
    std::string out, err;
    EXPECT_EQ(Run({}, out, err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "# " + path +
                       "\n"
                       "save.copyright_text=(c)テスト\n"
                       "save.imagequality=10\n"
                       "save.format=0\n"
                       "font.name=ＭＳ ゴシック\n"
                       "font.size=9\n"
                       "basic.Position=1\n"
                       "colors.back_color=16777215\ncolors.word_color=0\ncolors.back_trans=0\n"
                       "window.top=0\nwindow.left=0\n"
                       "position.top=0\nposition.left=0\n");
    EXPECT_EQ(Run({"extra"}, out, err), 2);
}

// What the program uses, one line each: a key held twice shows once with the value that counts,
// and values that would break the line or reach the terminal raw are escaped.
TEST_F(SettingsFileCli, ShowsWhatTheRunUsesOneLineEach) {
    const Settings initial;
    const std::string stored = TQCWinCrypt().EncryptString("two\nlines", initial.PassPhrase, "");
    Put("[font]\r\nname=First\r\nNAME=Second\r\n[extra]\r\nk=a\x1b[2J\r\n[save]\r\ncopyright_text=" + stored +
        "\r\ncopyright_text=ignored\r\n");
    std::string out, err;
    EXPECT_EQ(Run({}, out, err), 0);
    EXPECT_NE(out.find("\nfont.name=First\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Second"), std::string::npos) << out;
    EXPECT_NE(out.find("\nextra.k=a\\x1B[2J\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nsave.copyright_text=two\\nlines\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("ignored"), std::string::npos) << out;
    EXPECT_EQ(LoadEffectiveSettings().FontName, "First");
}

// A stored text the run cannot use as it is: said on stderr by every headless command, and the
// run goes on with what it can use.
TEST_F(SettingsFileCli, StoredTextProblemsAreSaidOnStderr) {
    const Settings initial;
    const struct {
        std::string line;
        const char* said;
        std::string inUse;
    } cases[] = {
        {"garbage", "cannot be decrypted", kDefaultStampText},
        {TQCWinCrypt().EncryptString(std::string(1500, 'y'), initial.PassPhrase, ""), "longer than 1024",
         std::string(1024, 'y')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        Put("[save]\r\ncopyright_text=" + c.line + "\r\n");
        std::string out, err;
        EXPECT_EQ(Run({}, out, err), 0);
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_NE(out.find("save.copyright_text=" + c.inUse + "\n"), std::string::npos);
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadEffectiveSettings().CopyrightText, c.inUse);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(c.said), std::string::npos);
    }
}

TEST_F(SettingsFileCli, UnreadableFileIsReported) {
    std::filesystem::create_directory(path);
    std::string out, err;
    EXPECT_EQ(Run({}, out, err), 1);
    EXPECT_EQ(out, "# " + path + "\n");
    EXPECT_NE(err.find("ファイル " + path + " は開けません"), std::string::npos) << err;
}

TEST_F(SettingsFileCli, HeadlessCommandsStartFromTheFile) {
    Put("[save]\r\nformat=1\r\nimagequality=3\r\ncopyright_text=1yoQNwc60NyeItSV6XNAAw==\r\n"
        "[colors]\r\nback_trans=1\r\n[font]\r\nname=Noto Sans CJK JP\r\n");
    const Settings s = LoadEffectiveSettings();
    EXPECT_EQ(s.SaveFormat, 1);
    EXPECT_EQ(s.ImageQuality, 3);
    EXPECT_TRUE(s.BackTransparent);
    EXPECT_EQ(s.FontName, "Noto Sans CJK JP");
    EXPECT_EQ(s.CopyrightText, "(c)2005 Rinto");
    EXPECT_FALSE(s.VersionText.empty());
}

}  // namespace
