// The real colour and font dialogs behind the settings form's buttons, and where the dialogs open.
#include <optional>
#include <string>

#include <QColorDialog>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QTest>

#include <gtest/gtest.h>

#include "DialogSupport.h"
#include "DialogTestSupport.h"
#include "FontDialog.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Version.h"

namespace {

class NoBoxes : public TMessageBoxes {
public:
    void Show(const std::string& text, const std::string&, const std::string&) override {
        ADD_FAILURE() << "unexpected box: " << text;
    }
};

using dialogtest::Guard;

TEST(FontDialog, OffersInstalledFacesAndOnlyNinePoints) {
    TFontDialog dialog;
    ASSERT_EQ(dialog.SizeList->count(), 1);
    EXPECT_EQ(dialog.SizeList->item(0)->text(), QStringLiteral("9"));
    EXPECT_FALSE(dialog.FamilyList->findItems(QStringLiteral("DejaVu Serif"), Qt::MatchExactly).isEmpty());
    // Plain face names only, each once, even for faces that several foundries install.
    QSet<QString> seen;
    for (int i = 0; i < dialog.FamilyList->count(); ++i) {
        const QString face = dialog.FamilyList->item(i)->text();
        EXPECT_FALSE(face.contains(QLatin1Char('['))) << face.toStdString();
        EXPECT_FALSE(seen.contains(face)) << face.toStdString();
        seen.insert(face);
    }

    dialog.SetFace("DejaVu Serif");
    EXPECT_EQ(dialog.Face(), "DejaVu Serif");
    EXPECT_TRUE(dialog.OkButton->isEnabled());
    dialog.show();
    EXPECT_TRUE(dialog.grab().save(QString::fromStdString((dialogtest::ScreenshotDir() / "font-dialog.png").string())));
    // A face that is not installed cannot be taken.
    dialog.SetFace("No Such Face At All");
    EXPECT_EQ(dialog.Face(), "");
    EXPECT_FALSE(dialog.OkButton->isEnabled());
}

TEST(SettingFormChoosers, RealDialogsPresetAndApplyOrLeaveAlone) {
    for (bool accept : {true, false}) {
        SCOPED_TRACE(accept ? "accepted" : "cancelled");
        TSettingForm form;
        InitSettings(form.Settings);
        form.Settings.FontName = "DejaVu Serif";
        form.show();
        const Settings before = form.Settings;
        bool timedOut = false;
        Guard(form, timedOut);

        QColor preset;
        dialogtest::WhenModalIs<QColorDialog>("colour dialog", [&](QColorDialog* dialog) {
            preset = dialog->currentColor();
            dialog->setCurrentColor(QColor(12, 34, 56));
            accept ? dialog->accept() : dialog->reject();
        });
        form.Button3Click();
        EXPECT_EQ(preset, ToQColor(before.WordColor));
        EXPECT_EQ(form.Settings.WordColor, accept ? RGBColor(12, 34, 56) : before.WordColor);

        dialogtest::WhenModalIs<TFontDialog>("font dialog", [&](TFontDialog* dialog) {
            EXPECT_EQ(dialog->Face(), "DejaVu Serif");
            dialog->SetFace("DejaVu Sans Mono");
            accept ? dialog->accept() : dialog->reject();
        });
        form.Button5Click();
        EXPECT_EQ(form.Settings.FontName, accept ? "DejaVu Sans Mono" : "DejaVu Serif");
        EXPECT_FALSE(timedOut);
    }
}

TEST(DialogPlacement, BothDialogsOpenCentredOverTheMainWindow) {
    NoBoxes boxes;
    TForm1 window(nullptr, &boxes);
    // Away from the screen's edges, where a dialog would be pushed back onto the screen.
    window.move(300, 250);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint centre = window.frameGeometry().center();
    bool timedOut = false;
    Guard(window, timedOut);
    for (int which = 0; which < 2; ++which) {
        QPoint dialogCentre;
        dialogtest::WhenModal([&](QWidget* modal) {
            dialogCentre = modal->frameGeometry().center();
            modal->close();
        });
        which == 0 ? window.SettingClick() : window.About1Click();
        EXPECT_LE((dialogCentre - centre).manhattanLength(), 2) << (which == 0 ? "settings" : "version");
    }
    EXPECT_FALSE(timedOut);
}

}  // namespace
