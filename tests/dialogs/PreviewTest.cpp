// The preview must show what a drop of the sample picture would produce.
#include <algorithm>
#include <cstdlib>

#include <QGroupBox>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include "DialogSupport.h"
#include "Graphics.h"
#include "Pipeline.h"
#include "Unit2.h"

namespace {

void ToBitmap(const QImage& image, TBitmap& bitmap) {
    bitmap.SetSize(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            bitmap.SetPixel(x, y, RGBColor(qRed(c), qGreen(c), qBlue(c)));
        }
}

TEST(Preview, SampleOnThePictureIsWhatThePipelineStamps) {
    struct Case {
        const char* name;
        bool transparent, left, top;
        const char* face;
        const char* size;
    };
    const Case cases[] = {
        {"opaque, bottom right, default face", false, false, false, "", "9pt"},
        {"transparent, top left, default face", true, true, true, "", "9pt"},
        {"transparent, bottom left, serif", true, true, false, "DejaVu Serif", "9pt"},
        {"opaque, top right, mono", false, false, true, "DejaVu Sans Mono", "9pt"},
        {"opaque, bottom right, a share of the sample", false, false, false, "", "12%"},
        {"transparent, top right, 20 points", true, false, true, "", "20pt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSettingForm form;
        InitSettings(form.Settings);
        form.Settings.WordColor = RGBColor(250, 240, 20);
        form.Settings.BackColor = RGBColor(30, 60, 160);
        form.Settings.BackTransparent = c.transparent;
        form.Settings.PosLeft = c.left;
        form.Settings.PosTop = c.top;
        form.Settings.FontName = c.face;
        ASSERT_TRUE(ParseStampSize(c.size, form.Settings.Photo.StampSize));
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        const QImage shown = form.GroupBox1->grab(form.PreViewImage->geometry()).toImage();

        // The same picture stamped by the pipeline with the sample line.
        TBitmap expected;
        ToBitmap(MakeSamplePicture(), expected);
        Settings stamp = form.Settings;
        stamp.CopyrightText = TSettingForm::kSampleLine;
        const TRect cell = StampBitmap(expected, stamp);
        ASSERT_EQ(cell.Right - cell.Left, form.PreviewLabel->width());
        ASSERT_EQ(cell.Bottom - cell.Top, form.PreviewLabel->height());
        EXPECT_EQ(QPoint(cell.Left, cell.Top), form.PreviewLabel->pos() - form.PreViewImage->pos());

        ASSERT_EQ(shown.size(), QSize(expected.Width(), expected.Height()));
        int worst = 0, changed = 0;
        const QImage original = MakeSamplePicture();
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const QRgb s = shown.pixel(x, y);
                const TColor e = expected.GetPixel(x, y);
                worst = std::max({worst, std::abs(qRed(s) - GetRValue(e)), std::abs(qGreen(s) - GetGValue(e)),
                                  std::abs(qBlue(s) - GetBValue(e))});
                if (original.pixel(x, y) != qRgb(GetRValue(e), GetGValue(e), GetBValue(e))) ++changed;
            }
        EXPECT_GT(changed, 50) << "the pipeline drew nothing to compare with";
        EXPECT_LE(worst, 2) << "the preview differs from the stamped picture";
    }
}

}  // namespace
