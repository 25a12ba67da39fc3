// The main window's Settings and About commands, and the way a dialog's edits reach a drop.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include "DialogSupport.h"
#include "DialogTestSupport.h"
#include "Graphics.h"
#include "Pipeline.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Version.h"

namespace {

using dialogtest::Same;

class RecordingBoxes : public TMessageBoxes {
public:
    void Show(const std::string& text, const std::string& caption, const std::string&) override {
        shown.emplace_back(text, caption);
    }
    std::vector<std::pair<std::string, std::string>> shown;
};

using dialogtest::Guard;

enum class End { Ok, Cancel, CloseBox, Return, Escape };

// Edits every field the dialog offers, through its controls, then ends it the given way.
// Returns the dialog's record as it was just before the end.
Settings EditEverythingAndEnd(TSettingForm& form, End end) {
    form.ExecuteColorDialog = [](TColor preset) -> std::optional<TColor> { return preset ^ 0x00FFFFFF; };
    form.ExecuteFontDialog = [](const std::string&) { return std::optional<std::string>("DejaVu Serif"); };
    QTest::mouseClick(form.Button3, Qt::LeftButton);
    QTest::mouseClick(form.Button4, Qt::LeftButton);
    QTest::mouseClick(form.Button5, Qt::LeftButton);
    QTest::mouseClick(form.PreViewImage, Qt::LeftButton, {}, QPoint(270, 180));
    QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
    QTest::keyClick(form.TrackBar1, Qt::Key_Home);
    form.ComboBox1->setFocus();
    QTest::keyClick(form.ComboBox1, Qt::Key_Down);
    form.Edit1->setFocus();
    form.Edit1->selectAll();
    QTest::keyClicks(form.Edit1, QStringLiteral("(c)2026 Someone Else"));
    const Settings edited = form.Settings;
    switch (end) {
    case End::Ok: QTest::mouseClick(form.Button1, Qt::LeftButton); break;
    case End::Cancel: QTest::mouseClick(form.Button2, Qt::LeftButton); break;
    case End::CloseBox: form.close(); break;
    case End::Return: QTest::keyClick(form.Edit1, Qt::Key_Return); break;  // typed into the text field
    case End::Escape: QTest::keyClick(form.Edit1, Qt::Key_Escape); break;
    }
    return edited;
}

TEST(SettingCommand, OnlyOkHandsTheEditsBack) {
    for (End end : {End::Ok, End::Cancel, End::CloseBox, End::Return, End::Escape}) {
        SCOPED_TRACE(static_cast<int>(end));
        RecordingBoxes boxes;
        TForm1 window(nullptr, &boxes);
        InitSettings(window.Settings);
        window.Settings.VersionText = kProgramVersion;
        window.Settings.FontName = "DejaVu Sans";
        const Settings before = window.Settings;

        Settings edited;
        bool sawDialog = false, timedOut = false;
        Guard(window, timedOut);
        dialogtest::WhenModalIs<TSettingForm>("settings dialog", [&](TSettingForm* form) {
            sawDialog = true;
            EXPECT_EQ(form->parentWidget(), &window);
            EXPECT_TRUE(Same(form->Settings, before)) << "the dialog did not get a copy of the settings";
            edited = EditEverythingAndEnd(*form, end);
        });
        window.SettingClick();

        ASSERT_TRUE(sawDialog);
        EXPECT_FALSE(timedOut);
        EXPECT_TRUE(window.findChildren<TSettingForm*>().isEmpty()) << "the dialog outlived its command";
        // The edits did take place in the dialog: every field but the three passed through.
        EXPECT_NE(edited.WordColor, before.WordColor);
        EXPECT_NE(edited.BackColor, before.BackColor);
        EXPECT_NE(edited.BackTransparent, before.BackTransparent);
        EXPECT_NE(edited.FontName, before.FontName);
        EXPECT_NE(edited.PosLeft, before.PosLeft);
        EXPECT_NE(edited.PosTop, before.PosTop);
        EXPECT_NE(edited.ImageQuality, before.ImageQuality);
        EXPECT_NE(edited.SaveFormat, before.SaveFormat);
        EXPECT_NE(edited.CopyrightText, before.CopyrightText);
        EXPECT_TRUE(Same(window.Settings, end == End::Ok || end == End::Return ? edited : before));
    }
}

TEST(SettingCommand, AboutShowsTheWindowsVersionAndChangesNothing) {
    for (const char* version : {kProgramVersion, ""}) {
        SCOPED_TRACE(version);
        RecordingBoxes boxes;
        TForm1 window(nullptr, &boxes);
        window.Settings.VersionText = version;
        const Settings before = window.Settings;
        bool timedOut = false;
        Guard(window, timedOut);
        // Ended by OK, then opened again and ended by the close box.
        for (bool viaCloseBox : {false, true}) {
            QString line;
            dialogtest::WhenModalIs<TVersionDialog>("version dialog", [&](TVersionDialog* dialog) {
                EXPECT_EQ(dialog->parentWidget(), &window);
                line = dialog->VersionLabel->text();
                dialog->Settings.VersionText = "changed inside";
                if (viaCloseBox)
                    dialog->close();
                else
                    QTest::mouseClick(dialog->OkButton, Qt::LeftButton);
            });
            window.About1Click();
            EXPECT_EQ(line, QStringLiteral("ばーぢょん： ") + QString::fromUtf8(version));
            EXPECT_TRUE(Same(window.Settings, before));
            EXPECT_TRUE(window.findChildren<TVersionDialog*>().isEmpty());
        }
        EXPECT_FALSE(timedOut);
    }
}

// A grey bitmap dropped after the dialog set red text on blue, in one corner.
TEST(SettingCommand, ChangesMadeInTheDialogGovernTheNextDrop) {
    struct Case {
        const char* name;
        QPoint click;  // on the 281 × 193 preview
        bool transparent;
        bool left, top;
    };
    const Case cases[] = {
        {"bottom right, opaque", {200, 150}, false, false, false},
        {"top left, transparent", {10, 10}, true, true, true},
    };
    constexpr int W = 160, H = 100;
    auto isBlue = [](QRgb c) { return qBlue(c) > 160 && qRed(c) < 100 && qGreen(c) < 100; };
    auto isRed = [](QRgb c) { return qRed(c) > 160 && qGreen(c) < 100 && qBlue(c) < 100; };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const std::string source = dir.file("picture.bmp");
        {
            TBitmap grey;
            grey.SetSize(W, H);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) grey.SetPixel(x, y, RGBColor(128, 128, 128));
            grey.SaveToFile(source);
        }

        RecordingBoxes boxes;
        TForm1 window(nullptr, &boxes);
        InitSettings(window.Settings);
        window.Settings.PosLeft = !c.left;
        window.Settings.PosTop = !c.top;
        window.Settings.BackTransparent = !c.transparent;
        window.Settings.SaveFormat = 1;
        window.Settings.ImageQuality = 5;
        bool timedOut = false;
        Guard(window, timedOut);
        dialogtest::WhenModalIs<TSettingForm>("settings dialog", [&](TSettingForm* form) {
            TColor next = RGBColor(255, 0, 0);
            form->ExecuteColorDialog = [&next](TColor) -> std::optional<TColor> { return next; };
            QTest::mouseClick(form->Button3, Qt::LeftButton);
            QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
            next = RGBColor(0, 0, 255);
            if (!c.transparent) QTest::mouseClick(form->Button4, Qt::LeftButton);
            QTest::mouseClick(form->PreViewImage, Qt::LeftButton, {}, c.click);
            form->ComboBox1->setFocus();
            QTest::keyClick(form->ComboBox1, Qt::Key_Up);   // JPEG
            QTest::keyClick(form->TrackBar1, Qt::Key_End);  // best quality, cleanest colours
            form->Edit1->selectAll();
            QTest::keyClicks(form->Edit1, QStringLiteral("KIRIMARK"));
            QTest::mouseClick(form->Button1, Qt::LeftButton);
        });
        window.SettingClick();
        ASSERT_FALSE(timedOut);

        window.DropFiles({source});
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].first, msg::kAllDone);
        const QImage out(QString::fromStdString(dir.file("picture.jpg")));
        ASSERT_EQ(out.size(), QSize(W, H)) << "no JPEG beside the source";

        QRect blue, red;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const QRgb p = out.pixel(x, y);
                if (isBlue(p)) blue |= QRect(x, y, 1, 1);
                if (isRed(p)) red |= QRect(x, y, 1, 1);
            }
        ASSERT_FALSE(red.isEmpty()) << "no text in the chosen colour";
        if (c.transparent) {
            EXPECT_TRUE(blue.isEmpty()) << "a transparent stamp filled its cell";
        } else {
            ASSERT_FALSE(blue.isEmpty()) << "the opaque cell is missing";
            EXPECT_TRUE(blue.contains(red));
        }
        // Glyph ink, or the cell when opaque, lies in the chosen corner, 5 pixels from its edges.
        const QRect stamp = c.transparent ? red : blue;
        const auto expectNear = [](const char* axis, int first, int last, int size, bool atStart) {
            SCOPED_TRACE(axis);
            if (atStart) {
                EXPECT_GE(first, 4);
                EXPECT_LT(last, size / 2);
            } else {
                EXPECT_NEAR(last, size - 6, 1);
                EXPECT_GT(first, size / 2);
            }
        };
        expectNear("horizontal", stamp.left(), stamp.right(), W, c.left);
        expectNear("vertical", stamp.top(), stamp.bottom(), H, c.top);
        // Far from the stamp the picture is untouched.
        const QPoint far(c.left ? W - 10 : 10, c.top ? H - 10 : 10);
        EXPECT_NEAR(qGreen(out.pixel(far)), 128, 3);
    }
}

}  // namespace
