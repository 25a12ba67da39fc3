// Stateless helpers shared by the PNG writer and reader: row strides, pixel-format/bit-count
// translation and palette routines.
#pragma once

#include <cstdint>

#include "Graphics.h"

// 4 bytes: blue, green, red, reserved (always 0).
struct TRGBQuad {
    uint8_t rgbBlue = 0, rgbGreen = 0, rgbRed = 0, rgbReserved = 0;
};

// Bytes per stored row, in 32-bit arithmetic (see WrappingRowBytes).
int32_t RowStride(int32_t width, int32_t bitsPerPixel);
int PixelFormatToBits(TPixelFormat format);
TPixelFormat BitsToPixelFormat(int bits);

// Reads up to 256 entries into quads (blue, green, red, 0); returns the count read, and
// leaves quads untouched when there is none.
int PaletteToQuads(HPALETTE palette, TRGBQuad* quads);
// The colour (red in the low byte) of one entry, or -1 when the palette has no such entry.
TColor PaletteEntryColor(HPALETTE palette, int index);
// The entry nearest to colour by the sum of absolute channel differences, the lowest index
// on ties; -1 when the palette has no entries.
int NearestPaletteIndex(HPALETTE palette, TColor color);
int NearestEntryIndex(const TPaletteEntry* entries, TColor color, int count);
// A new palette of count (1..256) entries from quads.
TPalette CreatePaletteFromQuads(const TRGBQuad* quads, int count);
// Writes the grey ramp of a bit depth (1: 2 entries, 2: 4, 4: 16, else 256); returns the count.
int FillGreyRamp(TRGBQuad* quads, int bitDepth);
