#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include "DialogSupport.h"
#include "DialogTestSupport.h"
#include "FaceResolver.h"
#include "Unit2.h"

namespace {

using dialogtest::Same;

QImage PreviewPixels(const TSettingForm& form) { return form.PreviewLabel->pixmap().toImage(); }

QColor Swatch(const QLabel* label) { return label->palette().color(QPalette::Window); }

class SettingFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitSettings(form.Settings);
        form.Settings.VersionText = kProgramVersion;
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ASSERT_GT(form.PreviewLabel->width(), 0) << "the sample line was not drawn";
    }

    QPoint LabelPlace() const { return form.PreviewLabel->pos(); }

    TSettingForm form;
};

TEST_F(SettingFormTest, FormMatchesItsDesign) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Kirimark 設定"));
    EXPECT_EQ(form.size(), QSize(438, 347));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);

    const dialogtest::Place places[] = {
        {"GroupBox1", {0, 8, 297, 217}, "プレビュー"},  {"PreViewImage", {8, 16, 281, 193}, nullptr},
        {"Label2", {304, 8, 0, 0}, "文字色"},           {"Label1", {312, 24, 49, 17}, ""},
        {"Button3", {368, 16, 57, 25}, "設定"},         {"Label3", {304, 48, 0, 0}, "文字背景色"},
        {"CheckBox1", {304, 64, 81, 17}, "透明にする"}, {"Label6", {312, 88, 49, 17}, nullptr},
        {"Button4", {368, 88, 57, 25}, "設定"},         {"Label5", {304, 120, 0, 0}, "文字フォント"},
        {"Label7", {312, 144, 0, 0}, "さんぷるぅ"},     {"Button5", {368, 136, 57, 25}, "設定"},
        {"Label4", {304, 168, 0, 0}, "表示場所"},       {"BashoLabel", {344, 184, 0, 0}, "左上"},
        {"Label11", {304, 208, 0, 0}, "保存形式"},      {"ComboBox1", {320, 224, 105, 20}, nullptr},
        {"Label12", {0, 240, 0, 0}, "文字列"},          {"Edit1", {40, 232, 257, 20}, "(c)2005 Rinto"},
        {"Label8", {168, 264, 0, 0}, "画像圧縮品質"},   {"Label9", {0, 264, 0, 0}, "低品質"},
        {"Label10", {400, 264, 0, 0}, "高品質"},        {"TrackBar1", {0, 280, 433, 33}, nullptr},
        {"Button1", {280, 320, 75, 25}, "OK"},          {"Button2", {360, 320, 75, 25}, "キャンセル"},
    };
    dialogtest::ExpectLayout(form, places);
    EXPECT_EQ(form.PreviewLabel->parentWidget(), form.GroupBox1);
    EXPECT_EQ(form.PreViewImage->pixmap().size(), QSize(281, 193));
    EXPECT_EQ(QFontInfo(form.Label6->font()).pixelSize(), 21);
    EXPECT_TRUE(form.Label6->font().bold());

    EXPECT_FALSE(form.ComboBox1->isEditable());
    ASSERT_EQ(form.ComboBox1->count(), 2);
    EXPECT_EQ(form.ComboBox1->itemText(0), QStringLiteral("JPEG形式"));
    EXPECT_EQ(form.ComboBox1->itemText(1), QStringLiteral("PNG形式"));
    EXPECT_EQ(form.TrackBar1->minimum(), 1);
    EXPECT_EQ(form.TrackBar1->maximum(), 10);
    EXPECT_EQ(form.TrackBar1->pageStep(), 1);
    EXPECT_EQ(form.TrackBar1->tickInterval(), 1);
    EXPECT_EQ(form.TrackBar1->tickPosition(), QSlider::TicksAbove);
}

TEST_F(SettingFormTest, TabKeyFollowsTheDesignedOrder) {
    const std::vector<QWidget*> order = {form.Button1,   form.Button2,   form.Button3,   form.Button4, form.Button5,
                                         form.CheckBox1, form.TrackBar1, form.ComboBox1, form.Edit1,   form.Button1};
    form.activateWindow();
    form.Button1->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), form.Button1);
    for (size_t i = 1; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), order[i]) << "after " << i << " tabs";
    }
}

TEST_F(SettingFormTest, LeftClickPicksTheQuarterByIntegerHalves) {
    struct Case {
        int x, y;
        bool left, top;
        const char* corner;
    };
    const Case cases[] = {
        {139, 95, true, true, "左上"},   {140, 95, false, true, "右上"}, {139, 96, true, false, "左下"},
        {140, 96, false, false, "右下"}, {0, 192, true, false, "左下"},  {280, 0, false, true, "右上"},
    };
    const int w = form.PreviewLabel->width(), h = form.PreviewLabel->height();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.corner);
        // Start from the opposite corner so that every field has to change.
        form.Settings.PosLeft = !c.left;
        form.Settings.PosTop = !c.top;
        form.FormShow();
        QTest::mouseClick(form.PreViewImage, Qt::LeftButton, {}, QPoint(c.x, c.y));
        EXPECT_EQ(form.Settings.PosLeft, c.left);
        EXPECT_EQ(form.Settings.PosTop, c.top);
        EXPECT_EQ(form.BashoLabel->text(), QString::fromUtf8(c.corner));
        EXPECT_EQ(form.PreviewLabel->x(), c.left ? 8 + 5 : 8 + 281 - w - 5);
        EXPECT_EQ(form.PreviewLabel->y(), c.top ? 16 + 5 : 16 + 193 - h - 5);
    }
}

TEST_F(SettingFormTest, OtherButtonsDoNotPickACorner) {
    for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        const Settings before = form.Settings;
        const QPoint place = LabelPlace();
        QTest::mouseClick(form.PreViewImage, button, {}, QPoint(270, 180));
        EXPECT_TRUE(Same(form.Settings, before));
        EXPECT_EQ(form.BashoLabel->text(), QStringLiteral("左上"));
        EXPECT_EQ(LabelPlace(), place);
    }
}

TEST_F(SettingFormTest, AClickOnTheSampleIsNotAClickOnThePicture) {
    // Clicks go through the window, so the toolkit decides which control lies under them.
    form.Settings.PosLeft = false;
    form.Settings.PosTop = false;
    form.FormShow();
    const Settings before = form.Settings;
    const QPoint onLabel = form.PreviewLabel->mapTo(&form, form.PreviewLabel->rect().center());
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, onLabel);
    EXPECT_TRUE(Same(form.Settings, before));
    EXPECT_EQ(form.BashoLabel->text(), QStringLiteral("右下"));

    // The same way of clicking does reach the picture where no label covers it.
    const QPoint onPicture = form.PreViewImage->mapTo(&form, QPoint(20, 20));
    QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, onPicture);
    EXPECT_TRUE(form.Settings.PosLeft);
    EXPECT_TRUE(form.Settings.PosTop);
    EXPECT_EQ(form.BashoLabel->text(), QStringLiteral("左上"));
}

TEST_F(SettingFormTest, FormShowShowsTransparencyWhateverTheCheckBoxHeld) {
    struct Case {
        bool checkedBefore;
        bool transparent;
    };
    const QColor buttonFace = form.palette().color(QPalette::Button);
    form.Settings.BackColor = RGBColor(200, 10, 30);
    for (const Case c : {Case{false, true}, Case{true, true}, Case{true, false}, Case{false, false}}) {
        SCOPED_TRACE(testing::Message() << "before " << c.checkedBefore << ", transparent " << c.transparent);
        // A stale state: the box changed without its handler having run.
        {
            const QSignalBlocker quiet(form.CheckBox1);
            form.CheckBox1->setChecked(c.checkedBefore);
        }
        form.Settings.BackTransparent = c.transparent;
        form.FormShow();
        EXPECT_EQ(form.CheckBox1->isChecked(), c.transparent);
        EXPECT_EQ(form.Settings.BackTransparent, c.transparent);
        EXPECT_EQ(form.Label6->text(), c.transparent ? QStringLiteral("透明") : QString());
        EXPECT_EQ(Swatch(form.Label6), c.transparent ? buttonFace : QColor(200, 10, 30));
        EXPECT_EQ(form.Button4->isEnabled(), !c.transparent);
        EXPECT_EQ(form.PreviewLabelStyle().Transparent, c.transparent);
        // A transparent sample lets the picture through around the glyphs; an opaque one does not.
        const QImage cell = PreviewPixels(form);
        EXPECT_EQ(qAlpha(cell.pixel(0, 0)), c.transparent ? 0 : 255);
    }
}

TEST_F(SettingFormTest, ColourButtonsPresetAndApplyOrChangeNothingOnCancel) {
    struct Case {
        const char* name;
        QPushButton* TSettingForm::*button;
        TColor Settings::*field;
        QLabel* TSettingForm::*swatch;
        TColor TSettingForm::PreviewStyle::*style;
    };
    const Case cases[] = {
        {"text colour", &TSettingForm::Button3, &Settings::WordColor, &TSettingForm::Label1,
         &TSettingForm::PreviewStyle::FontColor},
        {"background colour", &TSettingForm::Button4, &Settings::BackColor, &TSettingForm::Label6,
         &TSettingForm::PreviewStyle::Color},
    };
    for (const Case& c : cases) {
        for (bool cancel : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.name << (cancel ? " cancelled" : " chosen"));
            form.Settings.WordColor = RGBColor(10, 20, 30);
            form.Settings.BackColor = RGBColor(200, 210, 220);
            form.FormShow();
            const Settings before = form.Settings;
            const QImage pixelsBefore = PreviewPixels(form);
            const TColor chosen = RGBColor(255, 0, 128);
            std::optional<TColor> preset;
            form.ExecuteColorDialog = [&](TColor p) -> std::optional<TColor> {
                preset = p;
                if (cancel) return std::nullopt;
                return chosen;
            };
            QTest::mouseClick(form.*c.button, Qt::LeftButton);
            ASSERT_TRUE(preset.has_value()) << "the colour dialog did not run";
            EXPECT_EQ(*preset, before.*c.field);
            if (cancel) {
                EXPECT_TRUE(Same(form.Settings, before));
                EXPECT_EQ(PreviewPixels(form), pixelsBefore);
                EXPECT_EQ(Swatch(form.*c.swatch), ToQColor(before.*c.field));
            } else {
                Settings expected = before;
                expected.*c.field = chosen;
                EXPECT_TRUE(Same(form.Settings, expected));
                EXPECT_EQ(form.PreviewLabelStyle().*c.style, chosen);
                EXPECT_NE(PreviewPixels(form), pixelsBefore);
                EXPECT_EQ(Swatch(form.*c.swatch), QColor(255, 0, 128));
            }
        }
    }
}

TEST_F(SettingFormTest, FontButtonTakesOnlyTheFaceOrNothingOnCancel) {
    std::optional<std::string> preset;
    std::optional<std::string> answer;
    form.ExecuteFontDialog = [&](const std::string& p) {
        preset = p;
        return answer;
    };
    form.Settings.FontName = "DejaVu Sans";
    form.FormShow();
    const Settings before = form.Settings;
    const QImage pixelsBefore = PreviewPixels(form);
    const QSize sizeBefore = form.PreviewLabel->size();

    answer = std::nullopt;
    QTest::mouseClick(form.Button5, Qt::LeftButton);
    ASSERT_TRUE(preset.has_value());
    EXPECT_EQ(*preset, "DejaVu Sans");
    EXPECT_TRUE(Same(form.Settings, before));
    EXPECT_EQ(PreviewPixels(form), pixelsBefore);
    EXPECT_EQ(form.PreviewLabel->size(), sizeBefore);

    answer = "DejaVu Serif";
    QTest::mouseClick(form.Button5, Qt::LeftButton);
    Settings expected = before;
    expected.FontName = "DejaVu Serif";
    EXPECT_TRUE(Same(form.Settings, expected));
    EXPECT_EQ(form.PreviewLabelStyle().FontName, "DejaVu Serif");
    EXPECT_EQ(QFontInfo(form.Label7->font()).family(), QStringLiteral("DejaVu Serif"));
    EXPECT_NE(PreviewPixels(form), pixelsBefore);
}

TEST_F(SettingFormTest, SampleKeepsItsMarginWhenANewFaceChangesItsSize) {
    // Faces scripts/setup.sh installs (fonts-dejavu-core, fonts-noto-cjk), each of a width of
    // its own; a face the system lacks would draw with the fallback and prove nothing.
    const char* faces[] = {"DejaVu Sans Mono", "Noto Sans CJK JP", "DejaVu Serif"};
    const std::vector<std::string> installed = InstalledFaces();
    for (const std::string face : {"DejaVu Sans", faces[0], faces[1], faces[2]})
        if (std::find(installed.begin(), installed.end(), face) == installed.end())
            GTEST_SKIP() << face << " is not installed (scripts/setup.sh installs it)";
    const int right = 8 + 281 - 5, bottom = 16 + 193 - 5;
    form.Settings.PosLeft = false;
    form.Settings.PosTop = false;
    form.Settings.FontName = "DejaVu Sans";
    form.FormShow();
    ASSERT_EQ(form.PreviewLabel->geometry().right() + 1, right);
    ASSERT_EQ(form.PreviewLabel->geometry().bottom() + 1, bottom);
    for (const char* face : faces) {
        SCOPED_TRACE(face);
        const int widthBefore = form.PreviewLabel->width();
        form.ExecuteFontDialog = [&](const std::string&) { return std::optional<std::string>(face); };
        form.Button5Click();
        ASSERT_NE(form.PreviewLabel->width(), widthBefore) << "the face did not change the sample's width";
        EXPECT_EQ(form.PreviewLabel->geometry().right() + 1, right);
        EXPECT_EQ(form.PreviewLabel->geometry().bottom() + 1, bottom);
        EXPECT_EQ(form.BashoLabel->text(), QStringLiteral("右下"));
    }
}

TEST_F(SettingFormTest, TypingStopsAtFiftyWhileALongerStoredTextStaysWhole) {
    form.Edit1->setFocus();
    form.Settings.CopyrightText.clear();
    form.FormShow();
    QTest::keyClicks(form.Edit1, QString(60, QLatin1Char('a')));
    EXPECT_EQ(form.Edit1->text(), QString(50, QLatin1Char('a')));
    EXPECT_EQ(form.Settings.CopyrightText, std::string(50, 'a'));

    const QString stored = QString(35, QChar(u'あ')) + QString(35, QLatin1Char('b'));  // 70 characters
    form.Settings.CopyrightText = stored.toStdString();
    form.FormShow();
    EXPECT_EQ(form.Edit1->text(), stored);
    EXPECT_EQ(form.Settings.CopyrightText, stored.toStdString());

    QTest::keyClick(form.Edit1, Qt::Key_End);
    QTest::keyClicks(form.Edit1, QStringLiteral("x"));
    EXPECT_EQ(form.Edit1->text(), stored) << "typing lengthened a text already past the limit";
    QTest::keyClick(form.Edit1, Qt::Key_Backspace);
    QTest::keyClicks(form.Edit1, QStringLiteral("y"));
    EXPECT_EQ(form.Edit1->text(), stored.left(69));
    for (int i = 0; i < 20; ++i) QTest::keyClick(form.Edit1, Qt::Key_Backspace);
    QTest::keyClicks(form.Edit1, QStringLiteral("zzz"));
    EXPECT_EQ(form.Edit1->text(), stored.left(49) + QStringLiteral("z"));
    EXPECT_EQ(form.Settings.CopyrightText, (stored.left(49) + QStringLiteral("z")).toStdString());
}

TEST_F(SettingFormTest, ScreenshotsAreSavedForReview) {
    const QImage plain = dialogtest::SaveScreenshots(form, "settings-dialog");
    EXPECT_EQ(plain.deviceIndependentSize().toSize(), QSize(438, 347));

    form.Settings.BackTransparent = true;
    form.Settings.PosLeft = false;
    form.Settings.PosTop = false;
    form.Settings.WordColor = RGBColor(255, 255, 255);
    form.Settings.FontName = "DejaVu Serif";
    form.FormShow();
    EXPECT_NE(dialogtest::SaveScreenshots(form, "settings-dialog-transparent"), plain);
}

}  // namespace
