#include "SFunc.h"

// The published routines of the codec's pixel-format unit, kept under their names; the
// rules themselves belong to the framework's pixel formats.

int32_t RowStride(int32_t width, int32_t bitsPerPixel) { return WrappingRowBytes(width, bitsPerPixel); }

int PixelFormatToBits(TPixelFormat format) { return FormatBits(format); }

TPixelFormat BitsToPixelFormat(int bits) { return FormatOfBits(bits); }

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
    return NearestEntry(entries, count, color);
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
