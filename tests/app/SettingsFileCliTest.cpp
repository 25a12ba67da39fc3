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
