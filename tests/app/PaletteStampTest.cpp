// Stamping a palette picture: a JPEG gets the stamp's exact colours; a PNG keeps its palette,
// which takes the stamp's colours while it has room, and only a full palette falls back to
// its nearest entries. Judged by libjpeg and libpng, and a JPEG also by the picture made full
// colour as a whole before it is stamped.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "Jpeg.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace apptest;

namespace {

constexpr TColor kRed = RGBColor(255, 0, 0), kLightYellow = RGBColor(255, 255, 224);

// Dark blocks only, so that nothing in the palette lies near the stamp's colours; `entries`
// colours in all (the first four are the blocks, the rest dark greys).
void DarkPicture(const std::string& path, TPixelFormat format, size_t entries) {
    std::vector<TPaletteEntry> e = {{0, 64, 0, 0}, {0, 0, 96, 0}, {64, 64, 64, 0}, {0, 80, 80, 0}};
    e.resize(std::min<size_t>(entries, e.size()));
    while (e.size() < entries) e.push_back({static_cast<uint8_t>(e.size() / 2), 0, 0, 0});
    TBitmap bmp;
    bmp.Allocate(format, 96, 48, TPalette(e));
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 96; ++x)
            bmp.SetPixel(x, y,
                         RGBColor(e[(x / 16 + y / 16) % std::min<size_t>(entries, 4)].peRed,
                                  e[(x / 16 + y / 16) % std::min<size_t>(entries, 4)].peGreen,
                                  e[(x / 16 + y / 16) % std::min<size_t>(entries, 4)].peBlue));
    bmp.SaveToFile(path);
}

TEST(PaletteStamp, TheStampKeepsItsColoursWhereverTheFormatAllows) {
    testsupport::TempDir dir;
    const std::string text = "(c)2005 Rinto";
    const TSize extent = StampExtent(text);
    const TRect cell{96 - extent.cx - 5, 48 - extent.cy - 5, 96 - 5, 48 - 5};
    const struct {
        TPixelFormat format;
        size_t entries;
        int saveFormat;
        bool red, yellow;  // the stamp's colours appear exactly in the cell
    } cases[] = {
        // JPEG: full colour whatever the palette.
        {pf1bit, 2, 0, true, true},
        {pf4bit, 4, 0, true, true},
        {pf8bit, 256, 0, true, true},
        // PNG: the colours join the palette while it has room, the text's first.
        {pf4bit, 4, 1, true, true},
        {pf8bit, 200, 1, true, true},
        {pf4bit, 15, 1, true, false},
        {pf4bit, 16, 1, false, false},
        {pf8bit, 256, 1, false, false},
        {pf1bit, 2, 1, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.format) + ", entries " + std::to_string(c.entries) + ", format " +
                     std::to_string(c.saveFormat));
        DarkPicture(dir.file("p.bmp"), c.format, c.entries);
        Settings settings;
        InitSettings(settings);
        settings.CopyrightText = text;
        settings.WordColor = kRed;
        settings.BackColor = kLightYellow;
        settings.SaveFormat = c.saveFormat;
        settings.BackTransparent = false;
        settings.PosLeft = settings.PosTop = false;  // bottom right
        TPicture work;
        LoadImage(work, dir.file("p.bmp"), settings);
        if (c.saveFormat == 0) {
            const Rgb out = DecodeJpegFile(dir.file("p.jpg")).picture;
            const auto [back, total] = CountNear(out, cell, kLightYellow, 12);
            EXPECT_GT(back * 4, total) << "the cell is not light yellow";  // glyphs and blur take the rest
            // JPEG's halved colour resolution blurs thin red strokes, but their cores stay red.
            int red = 0;
            for (int y = cell.Top; y < cell.Bottom; ++y)
                for (int x = cell.Left; x < cell.Right; ++x) {
                    const TColor p = out.At(x, y);
                    red += GetRValue(p) > 200 && GetGValue(p) < 150 && GetBValue(p) < 150;
                }
            EXPECT_GT(red, 10) << "no red text";
            continue;
        }
        const pngread::Rgba png = pngread::DecodeLibpng(pngread::ReadFile(dir.file("p.png")));
        std::set<TColor> seen;
        for (int y = cell.Top; y < cell.Bottom; ++y)
            for (int x = cell.Left; x < cell.Right; ++x) {
                const uint8_t* p = &png.pixels[(static_cast<size_t>(y) * png.width + x) * 4];
                seen.insert(RGBColor(p[0], p[1], p[2]));
            }
        EXPECT_EQ(seen.count(kRed), c.red ? 1u : 0u);
        EXPECT_EQ(seen.count(kLightYellow), c.yellow ? 1u : 0u);
        if (c.red && c.yellow) {
            EXPECT_EQ(seen.size(), 2u) << "the cell holds more than the stamp's colours";
        }
    }
}

// The JPEG of a palette picture is stamped on a full-colour copy of the cell only; its bytes
// must be those of the whole picture made full colour, stamped and compressed, in every corner,
// with and without a background, for a cell past the picture's edges and in strips.
TEST(PaletteStamp, AJpegIsTheWholePictureInFullColourStamped) {
    testsupport::TempDir dir;
    for (const TPixelFormat format : {pf1bit, pf4bit, pf8bit})
        for (const int corner : {0, 1, 2, 3})
            for (const bool transparent : {false, true})
                for (const int points : {9, 40})
                    for (const int threads : {1, 2}) {
                        SCOPED_TRACE("bits " + std::to_string(format) + ", corner " + std::to_string(corner) +
                                     (transparent ? ", transparent" : ", opaque") + ", " + std::to_string(points) +
                                     " pt, threads " + std::to_string(threads));
                        DarkPicture(dir.file("p.bmp"), format, format == pf1bit ? 2 : 16);
                        Settings settings;
                        InitSettings(settings);
                        settings.CopyrightText = "(c)2005 Rinto";
                        settings.WordColor = kRed;
                        settings.BackColor = kLightYellow;
                        settings.SaveFormat = 0;
                        settings.BackTransparent = transparent;
                        settings.PosLeft = corner & 1;
                        settings.PosTop = corner & 2;
                        settings.Photo.StampSize.Points = points;
                        settings.Threads = threads;
                        TPicture work;
                        LoadImage(work, dir.file("p.bmp"), settings);

                        TBitmap whole;
                        whole.LoadFromFile(dir.file("p.bmp"));
                        whole.SetPixelFormat(pf24bit);
                        StampBitmap(whole, settings);
                        TMemoryStream expected;
                        SaveBitmapAsJpeg(whole, settings.ImageQuality * 10, expected, {}, threads);
                        const std::string bytes = ReadFile(dir.file("p.jpg"));
                        EXPECT_TRUE(bytes == std::string(expected.Bytes().begin(), expected.Bytes().end()));
                    }
}

}  // namespace
