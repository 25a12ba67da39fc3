#include <optional>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include "AdvancedDialog.h"
#include "DialogSupport.h"
#include "DialogTestSupport.h"
#include "Unit1.h"

namespace {

TPhotoSettings Make(bool accept, const char* outDir, bool keep, bool strip, bool embed, bool lossless = true) {
    TPhotoSettings s;
    s.AcceptPhotos = accept;
    s.OutDir = outDir;
    s.KeepMetadata = keep;
    s.StripGps = strip;
    s.EmbedCopyright = embed;
    s.LosslessJpeg = lossless;
    return s;
}

// Shows the form with the settings and leaves it up for the caller.
void Open(TAdvancedForm& form, const TPhotoSettings& settings) {
    form.Settings = settings;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
}

TEST(AdvancedForm, OkGivesBackWhatItShowedCancelLeavesIt) {
    const TPhotoSettings cases[] = {
        TPhotoSettings(),
        Make(true, "/srv/out", false, false, false, false),
        Make(true, "", true, false, true),
        Make(false, "/a b/c", false, true, false),
    };
    for (const TPhotoSettings& s : cases) {
        TAdvancedForm form;
        Open(form, s);
        QTest::mouseClick(form.OkButton, Qt::LeftButton);
        EXPECT_EQ(form.result(), QDialog::Accepted);
        EXPECT_TRUE(form.Settings == s) << s.OutDir;

        TAdvancedForm cancelled;
        Open(cancelled, s);
        cancelled.AcceptPhotosBox->click();
        cancelled.KeepMetadataBox->click();
        cancelled.LosslessJpegBox->click();
        cancelled.BesideSourceButton->click();
        QTest::mouseClick(cancelled.CancelButton, Qt::LeftButton);
        EXPECT_EQ(cancelled.result(), QDialog::Rejected);
        EXPECT_TRUE(cancelled.Settings == s) << s.OutDir;
    }
}

TEST(AdvancedForm, EditsReachTheSettings) {
    TAdvancedForm form;
    std::vector<std::string> starts;
    std::optional<std::string> chosen = "/home/u/出力";
    form.ExecuteFolderDialog = [&](const std::string& start) {
        starts.push_back(start);
        return chosen;
    };
    Open(form, TPhotoSettings());

    // Without photos the metadata choices act on nothing; without a folder there is none to name.
    EXPECT_FALSE(form.MetadataGroup->isEnabled());
    EXPECT_FALSE(form.JpegGroup->isEnabled());
    EXPECT_FALSE(form.FolderEdit->isEnabled());
    EXPECT_FALSE(form.BrowseButton->isEnabled());
    form.AcceptPhotosBox->click();
    EXPECT_TRUE(form.MetadataGroup->isEnabled());
    EXPECT_TRUE(form.JpegGroup->isEnabled());
    form.KeepMetadataBox->click();
    EXPECT_FALSE(form.StripGpsBox->isEnabled()) << "no metadata, no location to remove";
    form.KeepMetadataBox->click();
    form.StripGpsBox->click();
    form.EmbedCopyrightBox->click();
    form.LosslessJpegBox->click();

    form.FolderButton->click();
    ASSERT_TRUE(form.BrowseButton->isEnabled());
    form.BrowseButton->click();
    EXPECT_EQ(form.FolderEdit->text(), QString::fromStdString(*chosen));
    chosen.reset();  // a cancelled chooser keeps the folder
    form.BrowseButton->click();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1], "/home/u/出力");
    QTest::mouseClick(form.OkButton, Qt::LeftButton);
    EXPECT_TRUE(form.Settings == Make(true, "/home/u/出力", true, false, false, false));

    // A chosen folder left blank, or the default place chosen, stores the default place.
    TAdvancedForm blank;
    Open(blank, Make(false, "/x", true, true, true));
    blank.FolderEdit->setText(QStringLiteral("  "));
    QTest::mouseClick(blank.OkButton, Qt::LeftButton);
    EXPECT_EQ(blank.Settings.OutDir, "");
    TAdvancedForm beside;
    Open(beside, Make(false, "/x", true, true, true));
    beside.BesideSourceButton->click();
    QTest::mouseClick(beside.OkButton, Qt::LeftButton);
    EXPECT_EQ(beside.Settings.OutDir, "");
}

// The size controls show the setting and give back what they show; the preview's cell grows
// with the size chosen.
TEST(AdvancedForm, StampSizeAndItsPreview) {
    TPhotoSettings relative;
    relative.StampSize = {true, 9, 325, 14, 90};
    TAdvancedForm form;
    Open(form, relative);
    EXPECT_TRUE(form.RelativeButton->isChecked());
    EXPECT_FALSE(form.PointsSpin->isEnabled());
    EXPECT_TRUE(form.MinSpin->isEnabled());
    EXPECT_DOUBLE_EQ(form.PercentSpin->value(), 3.25);
    EXPECT_EQ(form.MinSpin->value(), 14);
    EXPECT_EQ(form.MaxSpin->value(), 90);
    const QColor back(GetRValue(form.Look.BackColor), GetGValue(form.Look.BackColor), GetBValue(form.Look.BackColor));
    auto backPixels = [&] {
        const QImage shown = form.SizePreview->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
        int n = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) n += shown.pixelColor(x, y) == back;
        return n;
    };
    const int large = backPixels();  // 90 pixels high, the share of the sample's 3000 capped
    form.PointsButton->click();
    EXPECT_FALSE(form.MinSpin->isEnabled());
    const int standard = backPixels();
    EXPECT_GT(standard, 0);
    EXPECT_GT(large, 10 * standard);
    form.PointsSpin->setValue(24);
    EXPECT_GT(backPixels(), 3 * standard);

    // A greatest height below the least is stored as the least, which it would act as.
    form.MinSpin->setValue(50);
    form.MaxSpin->setValue(20);
    QTest::mouseClick(form.OkButton, Qt::LeftButton);
    const TStampSize& size = form.Settings.StampSize;
    EXPECT_FALSE(size.Relative);
    EXPECT_EQ(size.Points, 24);
    EXPECT_EQ(size.Hundredths, 325);
    EXPECT_EQ(size.MinPixels, 50);
    EXPECT_EQ(size.MaxPixels, 50);
}

// Layouts must give every caption the room it asks for, at the designed face and larger.
TEST(AdvancedForm, CaptionsFitAtLargerFaces) {
    for (int pixels : {12, 18, 26}) {
        SCOPED_TRACE(pixels);
        TAdvancedForm form;
        form.setFont(FormFont(pixels));
        Open(form, Make(true, "/srv/a rather long folder name/for the stamped outputs", true, true, true));
        const QRect inside = form.rect();
        int checked = 0;
        for (QWidget* w : form.findChildren<QWidget*>()) {
            if (!w->isVisible() || !(qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w))) continue;
            ++checked;
            EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
            EXPECT_GE(w->height(), w->sizeHint().height()) << w->objectName().toStdString();
            const QRect where(w->mapTo(&form, QPoint(0, 0)), w->size());
            EXPECT_TRUE(inside.contains(where)) << w->objectName().toStdString();
        }
        EXPECT_EQ(checked, 19);
    }
}

// The Tools menu's command edits the window's photo settings: OK keeps the edits, Cancel not.
TEST(AdvancedForm, TheToolsCommandEditsTheWindowsSettings) {
    TForm1 window;
    window.Settings.Photo = Make(false, "/keep", true, true, true);
    for (bool ok : {false, true}) {
        bool timedOut = false;
        dialogtest::Guard(window, timedOut);
        dialogtest::WhenModalIs<TAdvancedForm>("advanced settings form", [ok](TAdvancedForm* form) {
            EXPECT_EQ(form->FolderEdit->text(), QStringLiteral("/keep"));
            form->AcceptPhotosBox->click();
            (ok ? form->OkButton : form->CancelButton)->click();
        });
        window.Advanced1->trigger();
        EXPECT_FALSE(timedOut);
        EXPECT_EQ(window.Settings.Photo.AcceptPhotos, ok);
    }
}

}  // namespace
