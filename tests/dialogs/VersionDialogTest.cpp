#include <set>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "DialogSupport.h"
#include "DialogTestSupport.h"
#include "Version.h"

namespace {

TEST(VersionDialog, FormMatchesItsDesign) {
    TVersionDialog dialog;
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(dialog.size(), QSize(216, 150));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_FALSE(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    const dialogtest::Place places[] = {
        {"Panel1", {8, 8, 0, 0}, nullptr},
        {"SoftIcon", {8, 8, 32, 32}, nullptr},
        {"SoftNameLabel", {56, 8, 0, 0}, "Kirimark"},
        {"VersionLabel", {56, 29, 0, 0}, nullptr},
        {"CopyRightLabel", {24, 48, 0, 0}, nullptr},
        {"Label3", {8, 72, 0, 0}, "以下のライブラリを使用してます！"},
        {"Label2", {16, 88, 0, 0}, "KMPNG"},
        {"Label1", {72, 88, 0, 0}, nullptr},
        {"OkButton", {72, 120, 75, 25}, "OK"},
    };
    // Every line of text fits inside the panel rather than touching or crossing its frame; the
    // panel is 201 × 105 as designed, taller only where the face's lines need it.
    dialogtest::ExpectLayout(dialog, places, [&](QWidget* w) {
        if (auto* label = qobject_cast<QLabel*>(w); label && label->parentWidget() == dialog.Panel1) {
            EXPECT_TRUE(dialog.Panel1->contentsRect().contains(label->geometry())) << label->text().toStdString();
        }
    });
    EXPECT_EQ(dialog.Panel1->width(), 201);
    EXPECT_GE(dialog.Panel1->height(), 105);
    EXPECT_LT(dialog.Panel1->geometry().bottom(), dialog.OkButton->y());
    EXPECT_EQ(dialog.Panel1->frameShadow(), QFrame::Sunken);
    EXPECT_FALSE(dialog.CopyRightLabel->text().isEmpty());
    EXPECT_FALSE(dialog.Label1->text().isEmpty());
}

TEST(VersionDialog, IconIsA32PixelSixteenColourPicture) {
    const QImage icon = MakeProgramIcon();
    EXPECT_EQ(icon.size(), QSize(32, 32));
    std::set<QRgb> opaque;
    int transparent = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const QRgb c = icon.pixel(x, y);
            if (qAlpha(c) == 0)
                ++transparent;
            else
                opaque.insert(c);
        }
    EXPECT_LE(opaque.size(), 16u);
    EXPECT_GE(opaque.size(), 3u) << "an icon of one colour is no icon";
    EXPECT_GT(transparent, 0);
}

TEST(VersionDialog, ScreenshotIsSavedForReview) {
    TVersionDialog dialog;
    dialog.Settings.VersionText = kProgramVersion;
    dialog.show();
    const QImage shot = dialogtest::SaveScreenshots(dialog, "version-dialog");
    EXPECT_EQ(shot.deviceIndependentSize().toSize(), QSize(216, 150));
}

}  // namespace
