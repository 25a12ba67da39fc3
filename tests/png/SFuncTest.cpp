// Pixel-format and palette helpers shared by the PNG writer and reader.
#include <gtest/gtest.h>

#include "SFunc.h"

TEST(SFunc, RowStride) {
    struct Case {
        int32_t width, bits, stride;
    };
    for (const Case c :
         {Case{0, 24, 0}, Case{1, 1, 4}, Case{9, 1, 4}, Case{33, 1, 8}, Case{5, 4, 4}, Case{9, 4, 8}, Case{4, 8, 4},
          Case{5, 8, 8}, Case{3, 24, 12}, Case{3, 16, 8}, Case{3, 15, 8}, Case{7, 32, 28}})
        EXPECT_EQ(RowStride(c.width, c.bits), c.stride) << c.width << " at " << c.bits;
}

TEST(SFunc, PixelFormatAndBits) {
    struct Case {
        TPixelFormat format;
        int bits;
        TPixelFormat back;
    };
    const Case cases[] = {{pfDevice, 24, pf24bit}, {pf1bit, 1, pf1bit},    {pf4bit, 4, pf4bit},
                          {pf8bit, 8, pf8bit},     {pf15bit, 15, pf15bit}, {pf16bit, 16, pf16bit},
                          {pf24bit, 24, pf24bit},  {pf32bit, 32, pf32bit}, {pfCustom, 15, pf15bit}};
    for (const auto& c : cases) {
        EXPECT_EQ(PixelFormatToBits(c.format), c.bits) << c.format;
        EXPECT_EQ(BitsToPixelFormat(c.bits), c.back) << c.bits;
    }
    for (int bits : {0, 2, 3, 24, 64}) EXPECT_EQ(BitsToPixelFormat(bits), pf24bit) << bits;
}

TEST(SFunc, PaletteReads) {
    const TPalette pal({{255, 0, 0, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {10, 20, 30, 0}});
    TRGBQuad quads[256];
    quads[4] = {9, 9, 9, 9};
    ASSERT_EQ(PaletteToQuads(&pal, quads), 4);
    EXPECT_EQ(quads[3].rgbBlue, 30);
    EXPECT_EQ(quads[3].rgbGreen, 20);
    EXPECT_EQ(quads[3].rgbRed, 10);
    EXPECT_EQ(quads[3].rgbReserved, 0);
    EXPECT_EQ(quads[4].rgbBlue, 9);  // nothing past the palette is touched

    const TPalette none;
    TRGBQuad untouched[2] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
    EXPECT_LE(PaletteToQuads(&none, untouched), 0);
    EXPECT_LE(PaletteToQuads(nullptr, untouched), 0);
    EXPECT_EQ(untouched[0].rgbReserved, 4);

    struct EntryCase {
        HPALETTE palette;
        int index;
        TColor colour;
    };
    for (const EntryCase c : {EntryCase{&pal, 3, 0x1E140A}, EntryCase{&pal, 1, 0x00FF00}, EntryCase{&pal, 4, -1},
                              EntryCase{&pal, -1, -1}, EntryCase{&none, 0, -1}, EntryCase{nullptr, 0, -1}})
        EXPECT_EQ(PaletteEntryColor(c.palette, c.index), c.colour) << c.index;
}

TEST(SFunc, NearestEntries) {
    const TPalette pal({{255, 0, 0, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {10, 20, 30, 0}, {20, 10, 30, 0}});
    struct Case {
        TColor colour;
        int index;
    };
    const Case cases[] = {
        {0x0000FF, 0},  // pure red twice: the lower index
        {0x00FF00, 1},  // exact
        {0x1E140A, 3},  // exact, later entry
        {0x1E0F0F, 3},  // distance 10 to both 3 and 4: the lower index
        {0x1E0A15, 4},  // nearer to 4
        {0x0000F0, 0},  // near red
    };
    for (const auto& c : cases) EXPECT_EQ(NearestPaletteIndex(&pal, c.colour), c.index) << std::hex << c.colour;
    const TPalette none;
    EXPECT_EQ(NearestPaletteIndex(&none, 0), -1);
    EXPECT_EQ(NearestPaletteIndex(nullptr, 0), -1);
    EXPECT_EQ(NearestEntryIndex(nullptr, 0x123456, 0), 0);
}

TEST(SFunc, PaletteFromQuadsAndGreyRamps) {
    TRGBQuad quads[256];
    struct Case {
        int depth, count, step;
    };
    for (const Case c : {Case{1, 2, 255}, Case{2, 4, 85}, Case{4, 16, 17}, Case{8, 256, 1}, Case{3, 256, 1}}) {
        ASSERT_EQ(FillGreyRamp(quads, c.depth), c.count) << c.depth;
        for (int i = 0; i < c.count; ++i) {
            EXPECT_EQ(quads[i].rgbRed, i * c.step);
            EXPECT_EQ(quads[i].rgbBlue, quads[i].rgbGreen);
            EXPECT_EQ(quads[i].rgbReserved, 0);
        }
    }
    quads[1] = {1, 2, 3, 0};
    const TPalette p = CreatePaletteFromQuads(quads, 3);
    ASSERT_EQ(p.Count(), 3);
    EXPECT_EQ(p[1].peRed, 3);
    EXPECT_EQ(p[1].peGreen, 2);
    EXPECT_EQ(p[1].peBlue, 1);
    EXPECT_EQ(p[1].peFlags, 0);
}
