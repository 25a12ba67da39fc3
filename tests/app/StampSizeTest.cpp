// The stamp's size: the text forms of the setting, and a share of the shorter side measured on
// the face's own cells, judged by trying pixel sizes one by one.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "PhotoWriters.h"
#include "PngTestHelpers.h"
#include "StampStyle.h"
#include "TestSupport.h"

using namespace apptest;

namespace {

TEST(StampSize, TextForms) {
    struct Good {
        const char* text;
        bool relative;
        int value;              // points or hundredths of a percent
        const char* canonical;  // what StampSizeText gives back
    };
    const Good good[] = {
        {"9pt", false, 9, "9pt"},         {"1pt", false, 1, "1pt"},    {"500pt", false, 500, "500pt"},
        {"009pt", false, 9, "9pt"},       {"2.5%", true, 250, "2.5%"}, {"2.50%", true, 250, "2.5%"},
        {"2.05%", true, 205, "2.05%"},    {"0.1%", true, 10, "0.1%"},  {"50%", true, 5000, "50%"},
        {"12.34%", true, 1234, "12.34%"},
    };
    for (const Good& c : good) {
        SCOPED_TRACE(c.text);
        TStampSize size;
        size.Relative = !c.relative;
        ASSERT_TRUE(ParseStampSize(c.text, size));
        EXPECT_EQ(size.Relative, c.relative);
        EXPECT_EQ(c.relative ? size.Hundredths : size.Points, c.value);
        EXPECT_EQ(StampSizeText(size), c.canonical);
    }
    const char* const bad[] = {"0pt",   "501pt", "9",     "9 pt",   " 9pt",   "-9pt", "+9pt", "9.5pt",
                               "pt",    "",      "0.09%", "50.01%", "2.555%", ".5%",  "5.%",  "2,5%",
                               "-2.5%", "1e1%",  "%",     "2.5",    "2.5%%",  "9PT"};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        TStampSize size{true, 77, 777, 3, 4};  // a refused text must leave every field as it was
        EXPECT_FALSE(ParseStampSize(text, size));
        EXPECT_TRUE(size.Relative);
        EXPECT_EQ(size.Points, 77);
        EXPECT_EQ(size.Hundredths, 777);
    }
}

TEST(StampSize, PointsKeepTheFixedMargin) {
    TStampSize size;
    for (const auto& [w, h] : {std::pair{100, 100}, std::pair{8000, 6000}}) {
        const TStampScale standard = StampScale(size, "", w, h);
        EXPECT_EQ(standard.FontSize, 9);
        EXPECT_EQ(standard.Margin, 5);
    }
    size.Points = 40;
    EXPECT_EQ(StampScale(size, "", 300, 200).FontSize, 40);
    EXPECT_EQ(StampScale(size, "", 300, 200).Margin, 5);
}

// The cell is the share of the shorter side within a pixel, kept within the bounds (only they
// may move it further). Large pictures are only measured.
TEST(StampSize, ShareOfTheShorterSide) {
    struct Case {
        int width, height, hundredths, least, greatest;
    };
    const Case cases[] = {
        {100, 100, 250, 12, 0},     {640, 480, 250, 12, 0},   {1000, 3000, 500, 12, 0},  {4000, 3000, 250, 12, 0},
        {3000, 4000, 250, 12, 0},   {8000, 6000, 250, 12, 0}, {8000, 6000, 5000, 12, 0}, {8000, 6000, 1000, 12, 200},
        {3000, 4000, 10, 12, 0},    {3000, 4000, 10, 1, 0},   {300, 200, 1234, 30, 40},  {1920, 1080, 333, 12, 0},
        {6000, 8000, 5000, 12, 12}, {500, 700, 1700, 12, 50},
    };
    const int standard = StampExtent("").cy;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.hundredths) +
                     "/100 %, " + std::to_string(c.least) + " to " + std::to_string(c.greatest));
        TStampSize size;
        size.Relative = true;
        size.Hundredths = c.hundredths;
        size.MinPixels = c.least;
        size.MaxPixels = c.greatest;
        const double share = c.hundredths / 10000.0 * std::min(c.width, c.height);
        int target = std::max(c.least, static_cast<int>(share + 0.5));
        if (c.greatest > 0) target = std::min(target, c.greatest);

        const TStampScale scale = StampScale(size, "", c.width, c.height);
        ASSERT_LT(scale.FontSize, 0) << "a relative size is a pixel height";
        const int pixels = -scale.FontSize;
        const int cell = StampExtentAtPixels("", pixels).cy;
        EXPECT_GE(cell, c.least);
        if (c.greatest > 0 && cell > c.greatest) {
            EXPECT_LT(StampExtentAtPixels("", pixels - 1).cy, c.least) << "only the least may pass the greatest";
        }
        if (target > c.least && (c.greatest == 0 || target < c.greatest)) {
            EXPECT_LE(std::abs(cell - target), 1) << "cell " << cell << " for " << target;
        } else if (target == c.least) {
            EXPECT_LT(StampExtentAtPixels("", pixels - 1).cy, c.least) << "a smaller cell would reach the least";
        } else {
            EXPECT_GT(StampExtentAtPixels("", pixels + 1).cy, c.greatest) << "a taller cell would stay within";
        }
        const int margin = std::max(1, static_cast<int>(5.0 * cell / standard + 0.5));
        EXPECT_EQ(scale.Margin, margin);
    }
}

// On real pictures in every corner: the cell the pipeline reports is the one found by trying
// every pixel size, at the scaled margin, and filled with the background there.
TEST(StampSize, EveryCornerAtTheScaledMargin) {
    struct Case {
        int width, height, hundredths;
    };
    const Case cases[] = {{100, 100, 250}, {1200, 900, 500}, {600, 1000, 1000}};
    for (const Case& c : cases) {
        const int target = std::max(12, static_cast<int>(c.hundredths / 10000.0 * std::min(c.width, c.height) + 0.5));
        Settings s;
        InitSettings(s);
        s.BackColor = kBack;
        s.WordColor = kInk;
        s.Photo.StampSize.Relative = true;
        s.Photo.StampSize.Hundredths = c.hundredths;
        const ScaledStamp want = ExpectedScaledStamp(s.CopyrightText, target, 12);
        for (const int corner : {0, 1, 2, 3}) {
            SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " corner " +
                         std::to_string(corner));
            s.PosLeft = corner & 1;
            s.PosTop = corner & 2;
            TBitmap bitmap;
            BlockPicture(bitmap, pf24bit, c.width, c.height);
            const TRect cell = StampBitmap(bitmap, s);
            const int x = s.PosLeft ? want.margin : c.width - want.margin - want.extent.cx;
            const int y = s.PosTop ? want.margin : c.height - want.margin - want.extent.cy;
            EXPECT_EQ(cell.Left, x);
            EXPECT_EQ(cell.Top, y);
            EXPECT_EQ(cell.Right - cell.Left, want.extent.cx);
            EXPECT_EQ(cell.Bottom - cell.Top, want.extent.cy);
            int background = 0, outside = 0;
            for (int j = 0; j < c.height; ++j)
                for (int i = 0; i < c.width; ++i) {
                    const bool in = i >= x && i < x + want.extent.cx && j >= y && j < y + want.extent.cy;
                    const bool isBack = bitmap.GetPixel(i, j) == kBack;
                    background += in && isBack;
                    outside += !in && isBack;
                }
            EXPECT_GT(background, want.extent.cx * want.extent.cy / 2);
            EXPECT_EQ(outside, 0);
        }
    }
}

// A photo with alpha saved as PNG keeps its transparency, so the stamp is composed into it
// apart from the picture: opaque, the cell's rectangle at the scaled place becomes opaque;
// transparent, only letters within that rectangle change the picture.
TEST(StampSize, APhotoWithAlphaTakesTheScaledCell) {
    constexpr int W = 400, H = 300;
    photowriters::Rgba img{W, H, {}};
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) img.px.insert(img.px.end(), {200, 180, 60, uint8_t(x % 2 ? 120 : 250)});
    testsupport::TempDir dir;
    const std::string source = dir.file("a.png");
    photowriters::PngOptions withAlpha;
    withAlpha.alpha = true;
    WriteFile(source, photowriters::WritePng(img, withAlpha));
    const ScaledStamp want = ExpectedScaledStamp("(c)K", 30, 12);  // 10 % of 300
    const TRect cell{W - want.margin - want.extent.cx, H - want.margin - want.extent.cy, W - want.margin,
                     H - want.margin};
    for (const bool transparent : {false, true}) {
        SCOPED_TRACE(transparent ? "transparent" : "opaque");
        Settings s;
        InitSettings(s);
        s.Photo.AcceptPhotos = true;
        s.SaveFormat = 1;
        s.CopyrightText = "(c)K";
        s.WordColor = RGBColor(0, 0, 0);
        s.BackColor = RGBColor(255, 0, 255);
        s.BackTransparent = transparent;
        s.PosLeft = s.PosTop = false;
        s.Photo.StampSize.Relative = true;
        s.Photo.StampSize.Hundredths = 1000;
        TPicture work;
        const std::string target = dir.file(transparent ? "t.png" : "o.png");
        const TFileOutcome outcome = ProcessFile(work, source, s, {}, false, target);
        ASSERT_EQ(outcome.Result, TFileOutcome::Written) << outcome.Detail;
        const pngread::Rgba out = pngread::DecodeLibpng(pngread::ReadFile(target));
        ASSERT_EQ(out.width, W);
        TRect changed{W, H, -1, -1};
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (!std::equal(&out.pixels[(size_t(y) * W + x) * 4], &out.pixels[(size_t(y) * W + x) * 4 + 4],
                                &img.px[(size_t(y) * W + x) * 4]))
                    changed = {std::min(changed.Left, x), std::min(changed.Top, y), std::max(changed.Right, x + 1),
                               std::max(changed.Bottom, y + 1)};
        if (!transparent) {
            EXPECT_EQ(changed.Left, cell.Left);
            EXPECT_EQ(changed.Top, cell.Top);
            EXPECT_EQ(changed.Right, cell.Right);
            EXPECT_EQ(changed.Bottom, cell.Bottom);
            continue;
        }
        EXPECT_GE(changed.Left, cell.Left);
        EXPECT_GE(changed.Top, cell.Top);
        EXPECT_LE(changed.Right, cell.Right);
        EXPECT_LE(changed.Bottom, cell.Bottom);
        // The parentheses reach from near the cell's top to near its bottom.
        EXPECT_GT(changed.Bottom - changed.Top, want.extent.cy * 2 / 3);
    }
}

}  // namespace
