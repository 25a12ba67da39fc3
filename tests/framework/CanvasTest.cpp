// Text on a bitmap: font size mapping, the text cell, opaque and clear backgrounds in every
// pixel format, clipping, Japanese glyphs, and use from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "Canvas.h"
#include "FreeTypeText.h"
#include "Graphics.h"

namespace {

const std::string kText = "(c)2005 Rinto";
const std::string kJapanese = "\xE8\x91\x97\xE4\xBD\x9C\xE6\xA8\xA9";  // 著作権

void Fill(TBitmap& bmp, TPixelFormat format, int w, int h, TColor color, const TPalette& palette = {}) {
    InstallTextRasteriser();
    bmp.Allocate(format, w, h, palette);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bmp.SetPixel(x, y, color);
}

void StampFont(TCanvas& c, const std::string& face = "") {
    c.Font.Name = face;
    c.Font.Size = 9;
    c.Font.Style = fsBold;
}

std::vector<TColor> Pixels(const TBitmap& bmp) {
    std::vector<TColor> v;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) v.push_back(bmp.GetPixel(x, y));
    return v;
}

TEST(Canvas, PixelHeightFollowsTheWindowsFontMapper) {
    struct Case {
        int size, ppi, height;
    } cases[] = {{9, 96, 12},  {8, 96, 11}, {10, 96, 13},  {12, 96, 16},
                 {9, 120, 15}, {9, 72, 9},  {-12, 96, 12}, {0, 96, 0}};
    for (const auto& c : cases) {
        TFont f;
        f.Size = c.size;
        EXPECT_EQ(f.PixelHeight(c.ppi), c.height) << c.size << " pt at " << c.ppi << " dpi";
    }
}

TEST(Canvas, TextExtentGrowsWithTheText) {
    TBitmap bmp;
    Fill(bmp, pf24bit, 4, 4, clWhite);
    TCanvas& c = bmp.Canvas();
    StampFont(c);
    const TSize one = c.TextExtent("M");
    const TSize text = c.TextExtent(kText);
    const TSize twice = c.TextExtent(kText + kText);
    const TSize empty = c.TextExtent("");
    EXPECT_GT(one.cx, 0);
    // 9 pt is 12 pixels of character height; the cell adds the face's ascent and descent room.
    EXPECT_GE(text.cy, 12);
    EXPECT_LE(text.cy, 24);
    EXPECT_EQ(text.cy, one.cy);
    EXPECT_GT(text.cx, one.cx * 5);
    EXPECT_NEAR(twice.cx, 2 * text.cx, 2);
    EXPECT_EQ(empty.cx, 0);
    c.Font.Style = 0;
    EXPECT_LT(c.TextExtent(kText).cx, text.cx);  // bold is wider
}

struct FormatCase {
    TPixelFormat format;
    TPalette palette;
};

std::vector<FormatCase> FormatCases() {
    const TPalette palette({{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {255, 255, 255, 0}});
    return {{pf1bit, TPalette({{0, 0, 255, 0}, {255, 255, 255, 0}})},
            {pf4bit, palette},
            {pf8bit, palette},
            {pf15bit, {}},
            {pf16bit, {}},
            {pf24bit, {}},
            {pf32bit, {}}};
}

// Whether c lies on the segment from a to b in RGB (allowing for 5/6-bit quantisation).
bool Between(TColor c, TColor a, TColor b, int slack) {
    double t = -1;
    const int ch[3][3] = {{GetRValue(c), GetRValue(a), GetRValue(b)},
                          {GetGValue(c), GetGValue(a), GetGValue(b)},
                          {GetBValue(c), GetBValue(a), GetBValue(b)}};
    for (const auto& v : ch)
        if (v[1] != v[2]) t = static_cast<double>(v[0] - v[1]) / (v[2] - v[1]);
    if (t < -0.05 || t > 1.05) return false;
    for (const auto& v : ch)
        if (std::abs(v[1] + t * (v[2] - v[1]) - v[0]) > slack) return false;
    return true;
}

TEST(Canvas, OpaqueBrushFillsTheCellInEveryFormat) {
    const TColor outside = RGBColor(0, 255, 0), back = RGBColor(0, 0, 255), text = clWhite;
    for (const auto& fc : FormatCases()) {
        SCOPED_TRACE(testing::Message() << "format " << fc.format);
        const TColor around = fc.format == pf1bit ? clWhite : outside;
        TBitmap bmp;
        Fill(bmp, fc.format, 160, 40, around, fc.palette);
        TCanvas& c = bmp.Canvas();
        StampFont(c);
        c.Font.Color = text;
        c.Brush.Color = back;
        const TSize s = c.TextExtent(kText);
        c.TextOut(3, 4, kText);
        int textPixels = 0, backPixels = 0;
        for (int y = 0; y < bmp.Height(); ++y) {
            for (int x = 0; x < bmp.Width(); ++x) {
                const TColor p = bmp.GetPixel(x, y);
                const bool inCell = x >= 3 && x < 3 + s.cx && y >= 4 && y < 4 + s.cy;
                if (!inCell) {
                    ASSERT_EQ(p, around) << x << "," << y;
                    continue;
                }
                textPixels += p == text;
                backPixels += p == back;
                if (fc.format <= pf8bit)
                    ASSERT_TRUE(p == text || p == back) << x << "," << y;
                else
                    ASSERT_TRUE(Between(p, back, text, 9)) << x << "," << y;
            }
        }
        EXPECT_GT(textPixels, 20);
        EXPECT_GT(backPixels, s.cx * s.cy / 3);
    }
}

TEST(Canvas, ClearBrushLeavesThePictureBetweenGlyphs) {
    const TColor picture = RGBColor(0, 255, 0), text = RGBColor(255, 0, 0);
    for (const auto& fc : FormatCases()) {
        if (fc.format == pf1bit) continue;  // no green in a two-colour palette
        SCOPED_TRACE(testing::Message() << "format " << fc.format);
        TBitmap bmp;
        Fill(bmp, fc.format, 160, 40, picture, fc.palette);
        TCanvas& c = bmp.Canvas();
        StampFont(c);
        c.Font.Color = text;
        c.Brush.Style = TBrushStyle::bsClear;
        c.Brush.Color = RGBColor(0, 0, 255);
        const TSize s = c.TextExtent(kText);
        c.TextOut(3, 4, kText);
        int textPixels = 0, untouched = 0;
        for (const TColor p : Pixels(bmp)) {
            ASSERT_NE(p, RGBColor(0, 0, 255));
            textPixels += p == text;
            untouched += p == picture;
        }
        EXPECT_GT(textPixels, 20);
        // Most of the cell is the picture still.
        EXPECT_GT(untouched, 160 * 40 - s.cx * s.cy / 2);
    }
}

TEST(Canvas, ClippingMatchesTheSameTextDrawnWhole) {
    // Drawn at (-20, -3) on a small picture, the text must look exactly like the part of it
    // that falls there when drawn at (0, 0) on a large one.
    TBitmap whole;
    Fill(whole, pf24bit, 200, 40, clWhite);
    TBitmap clipped;
    Fill(clipped, pf24bit, 30, 8, clWhite);
    for (TBitmap* b : {&whole, &clipped}) {
        StampFont(b->Canvas(), "DejaVu Sans");
        b->Canvas().Brush.Color = RGBColor(200, 200, 0);
    }
    whole.Canvas().TextOut(0, 0, kText);
    clipped.Canvas().TextOut(-20, -3, kText);
    for (int y = 0; y < clipped.Height(); ++y)
        for (int x = 0; x < clipped.Width(); ++x) ASSERT_EQ(clipped.GetPixel(x, y), whole.GetPixel(x + 20, y + 3));
}

TEST(Canvas, TextOutsideThePictureOrEmptyDrawsNothing) {
    struct Case {
        int x, y;
        std::string text;
    } cases[] = {{-500, 0, kText}, {0, -100, kText}, {40, 0, kText}, {0, 30, kText}, {2, 2, ""}};
    for (const auto& c : cases) {
        TBitmap bmp;
        Fill(bmp, pf24bit, 40, 30, clWhite);
        StampFont(bmp.Canvas());
        bmp.Canvas().Brush.Color = clBlack;
        const auto before = Pixels(bmp);
        bmp.Canvas().TextOut(c.x, c.y, c.text);
        EXPECT_EQ(Pixels(bmp), before) << c.x << "," << c.y;
    }
}

// The glyph mask of a text as '#' per covered pixel, for comparing shapes.
std::string Shape(const std::string& face, const std::string& text) {
    TBitmap bmp;
    Fill(bmp, pf8bit, 80, 30, clWhite, TPalette({{0, 0, 0, 0}, {255, 255, 255, 0}}));
    TCanvas& c = bmp.Canvas();
    StampFont(c, face);
    c.Brush.Style = TBrushStyle::bsClear;
    c.TextOut(0, 0, text);
    std::string s;
    for (const TColor p : Pixels(bmp)) s += p == clBlack ? '#' : '.';
    return s;
}

TEST(Canvas, JapaneseRendersRealGlyphsWhateverTheFace) {
    // Tofu boxes look alike; real glyphs of different characters do not. Faces: a missing
    // one, the default, and a Latin face without kana or kanji.
    const std::string chars[] = {"\xE8\x91\x97", "\xE4\xBD\x9C", "\xE6\xA8\xA9", "\xE3\x81\x82"};  // 著 作 権 あ
    for (const std::string face : {"MS UI Gothic", "", "DejaVu Sans"}) {
        SCOPED_TRACE("face \"" + face + "\"");
        std::set<std::string> shapes;
        for (const auto& ch : chars) {
            const std::string shape = Shape(face, ch);
            EXPECT_GT(std::count(shape.begin(), shape.end(), '#'), 15);
            shapes.insert(shape);
        }
        EXPECT_EQ(shapes.size(), std::size(chars));
        EXPECT_NE(Shape(face, "\xE8\x91\x97"), Shape(face, "\xEF\xBF\xBD"));  // not the replacement glyph
    }
}

TEST(Canvas, WorkerThreadsDrawTheSameAsOneThread) {
    auto draw = [](int i) {
        TBitmap bmp;
        Fill(bmp, pf24bit, 120, 24, clWhite);
        TCanvas& c = bmp.Canvas();
        StampFont(c, i % 2 ? "MS UI Gothic" : "");
        c.Font.Color = RGBColor(static_cast<uint8_t>(i * 30), 0, 0);
        c.TextOut(2, 2, kJapanese + std::to_string(i));
        return Pixels(bmp);
    };
    constexpr int kThreads = 6;
    std::vector<std::vector<TColor>> serial, parallel(kThreads);
    for (int i = 0; i < kThreads; ++i) serial.push_back(draw(i));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 5; ++k) parallel[static_cast<size_t>(i)] = draw(i);
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(parallel[static_cast<size_t>(i)], serial[static_cast<size_t>(i)]);
}

TEST(Canvas, FirstTextOnAWorkerThreadThenExitIsClean) {
    // A fresh process (threadsafe death tests re-run the binary) whose first text is drawn on
    // a worker thread, so the fonts are opened there, must still end cleanly.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::thread([] {
                TBitmap bmp;
                Fill(bmp, pf24bit, 60, 20, clWhite);
                bmp.Canvas().TextOut(0, 0, kJapanese);
            }).join();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
