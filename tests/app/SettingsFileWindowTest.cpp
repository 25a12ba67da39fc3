// The settings file as the main window uses it: loaded when the window is made, written when
// it is closed through its close box, skipped by Exit, and an unwritable file keeping the
// window open with the file error shown.
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <QApplication>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "SettingsFile.h"
#include "TestSupport.h"
#include "Unit1.h"

namespace {

class SettingsFileWindow : public ::testing::Test {
protected:
    void UseSettingsFile(const std::string& path) {
        path_ = path;
        ::setenv("KIRIMARK_SETTINGS_FILE", path.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("KIRIMARK_SETTINGS_FILE"); }

    std::unique_ptr<TForm1> MakeWindow() {
        auto form = std::make_unique<TForm1>(nullptr, &boxes);
        form->show();
        QApplication::processEvents();
        return form;
    }

    std::string Slurp() const { return apptest::ReadFile(path_); }

    testsupport::TempDir dir;
    apptest::RecordingBoxes boxes;
    std::string path_;
};

TEST_F(SettingsFileWindow, CloseBoxSavesAndTheNextStartRestores) {
    UseSettingsFile(dir.file("kirimark.ini"));
    {
        auto form = MakeWindow();
        EXPECT_TRUE(form->Settings.RestoreWindowPos);  // read default without a file
        EXPECT_EQ(form->Settings.CopyrightText, "(c)2005 Rinto");
        form->Settings.CopyrightText = "（ｃ）りんと ©";
        form->Settings.ImageQuality = 4;
        form->move(60, 70);
        EXPECT_TRUE(form->close());
        EXPECT_TRUE(boxes.errors.empty());
    }
    ASSERT_TRUE(std::filesystem::exists(path_));
    auto again = MakeWindow();
    EXPECT_EQ(again->Settings.CopyrightText, "（ｃ）りんと ©");
    EXPECT_EQ(again->Settings.ImageQuality, 4);
    EXPECT_EQ(again->Settings.PassPhrase, "きょうもとてもいいてんきだね～☆");
    EXPECT_EQ(again->x(), 60);
    EXPECT_EQ(again->y(), 70);
}

TEST_F(SettingsFileWindow, ExitDoesNotSave) {
    UseSettingsFile(dir.file("kirimark.ini"));
    auto form = MakeWindow();
    form->Settings.CopyrightText = "lost on exit";
    form->Exit1Click();
    QApplication::processEvents();
    EXPECT_FALSE(std::filesystem::exists(path_));
    form->hide();  // the program ends here without closing the window
}

TEST_F(SettingsFileWindow, StoredPositionOnlyWhenAsked) {
    UseSettingsFile(dir.file("kirimark.ini"));
    apptest::WriteFile(path_, "[basic]\r\nPosition=0\r\n[window]\r\ntop=300\r\nleft=400\r\n");
    auto form = MakeWindow();
    EXPECT_EQ(form->x(), TForm1::kInitialLeft);
    EXPECT_EQ(form->y(), TForm1::kInitialTop);
    EXPECT_TRUE(form->close());
    // The current position is written whatever "Position" holds.
    EXPECT_NE(Slurp().find("[window]\r\ntop=107\r\nleft=192\r\n"), std::string::npos) << Slurp();
}

TEST_F(SettingsFileWindow, UnreadableFileShowsTheErrorAndKeepsTheInitialSettings) {
    UseSettingsFile(dir.file("kirimark.ini"));
    std::filesystem::create_directory(path_);  // cannot be read as a file, even by root
    auto form = MakeWindow();
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], (apptest::Box{"ファイル " + path_ + " は開けません", "Kirimark"}));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->Settings.BackColor, 0x77C158);
    EXPECT_EQ(form->Settings.FontName, "");
    EXPECT_FALSE(form->Settings.VersionText.empty());
    EXPECT_NE(form->Settings.VersionText, "0.0.0.0");
    form->hide();
}

// A stored text that does not decrypt is shown in an error box; the window stamps the default
// text, and its close gives the stored line back unchanged.
TEST_F(SettingsFileWindow, UnreadableStoredTextIsShownAndKept) {
    UseSettingsFile(dir.file("kirimark.ini"));
    apptest::WriteFile(path_, "[save]\r\ncopyright_text=not+a+protected+line\r\n");
    auto form = MakeWindow();
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], (apptest::Box{StoredTextUnreadableBoxText(), "エラー"}));
    EXPECT_EQ(form->Settings.CopyrightText, kDefaultStampText);
    EXPECT_TRUE(form->close());
    EXPECT_NE(Slurp().find("copyright_text=not+a+protected+line\r\n"), std::string::npos) << Slurp();
}

TEST_F(SettingsFileWindow, UnwritableFileKeepsTheWindowOpen) {
    apptest::WriteFile(dir.file("plainfile"), "x");
    UseSettingsFile(dir.file("plainfile") + "/kirimark.ini");  // its folder is a file
    auto form = MakeWindow();
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], (apptest::Box{"ファイル " + path_ + " を作成できません", "Kirimark"}));
    form->hide();

    if (::geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop writing";
    boxes.errors.clear();
    UseSettingsFile(dir.file("ro.ini"));
    apptest::WriteFile(path_, "[basic]\r\nPosition=0\r\n");
    ::chmod(path_.c_str(), 0444);
    auto ro = MakeWindow();
    EXPECT_FALSE(ro->close());
    EXPECT_TRUE(ro->isVisible());
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0].text, "ファイル " + path_ + " を作成できません");
    EXPECT_EQ(Slurp(), "[basic]\r\nPosition=0\r\n");
    ro->hide();

    boxes.errors.clear();
    const std::string roDir = dir.file("rodir");
    std::filesystem::create_directory(roDir);
    ::chmod(roDir.c_str(), 0555);
    UseSettingsFile(roDir + "/kirimark.ini");
    auto inRoDir = MakeWindow();
    EXPECT_FALSE(inRoDir->close());
    EXPECT_EQ(boxes.errors.size(), 1u);
    inRoDir->hide();
    ::chmod(roDir.c_str(), 0755);
}

}  // namespace
