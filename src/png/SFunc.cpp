#include "SFunc.h"

#include <cstdlib>

int32_t RowStride(int32_t width, int32_t bitsPerPixel) {
    // 32-bit arithmetic on purpose: the writer relies on the same wrap-around as the bitmap.
    const auto bits = static_cast<uint32_t>(width) * static_cast<uint32_t>(bitsPerPixel);
    return static_cast<int32_t>((((bits + 7) >> 3) + 3) & ~3u);
}

int PixelFormatToBits(TPixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit: return 15;
    case pf16bit: return 16;
    case pf32bit: return 32;
    case pfCustom: return 15;
    default: return 24;
    }
}

TPixelFormat BitsToPixelFormat(int bits) {
    switch (bits) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    case 15: return pf15bit;
    case 16: return pf16bit;
    case 32: return pf32bit;
    default: return pf24bit;
    }
}

int PaletteToQuads(HPALETTE palette, TRGBQuad* quads) {
    if (!palette) return 0;
    TPaletteEntry entries[256];
    const int n = palette->GetEntries(0, 256, entries);
    for (int i = 0; i < n; ++i) quads[i] = {entries[i].peBlue, entries[i].peGreen, entries[i].peRed, 0};
    return n;
}

TColor PaletteEntryColor(HPALETTE palette, int index) {
    TPaletteEntry e;
    if (!palette || palette->GetEntries(index, 1, &e) != 1) return -1;
    return e.peRed + e.peGreen * 256 + e.peBlue * 65536;
}

int NearestPaletteIndex(HPALETTE palette, TColor color) {
    if (!palette) return -1;
    TPaletteEntry entries[256];
    const int n = palette->GetEntries(0, 256, entries);
    if (n <= 0) return -1;
    return NearestEntryIndex(entries, color, n);
}

int NearestEntryIndex(const TPaletteEntry* entries, TColor color, int count) {
    const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    int best = 0;
    int bestDistance = 0x1000000;
    for (int i = 0; i < count; ++i) {
        const int d =
            std::abs(entries[i].peRed - r) + std::abs(entries[i].peGreen - g) + std::abs(entries[i].peBlue - b);
        if (d == 0) return i;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

TPalette CreatePaletteFromQuads(const TRGBQuad* quads, int count) {
    std::vector<TPaletteEntry> entries;
    for (int i = 0; i < count && i < 256; ++i)
        entries.push_back({quads[i].rgbRed, quads[i].rgbGreen, quads[i].rgbBlue, 0});
    return TPalette(std::move(entries));
}

int FillGreyRamp(TRGBQuad* quads, int bitDepth) {
    int step = 1, count = 256;
    if (bitDepth == 1)
        step = 255, count = 2;
    else if (bitDepth == 2)
        step = 85, count = 4;
    else if (bitDepth == 4)
        step = 17, count = 16;
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<uint8_t>(i * step);
        quads[i] = {v, v, v, 0};
    }
    return count;
}
