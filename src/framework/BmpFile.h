// Reading and writing Windows bitmap files, keeping the file's own pixel format and palette.
#pragma once

#include "Classes.h"

class TBitmap;

// Replaces the bitmap with the picture read from the stream's current position.
// Raises EInvalidGraphic for anything that is not a complete, sane bitmap file, and then
// leaves the bitmap empty. A palette index past a short palette is refused.
void ReadBmp(TStream& stream, TBitmap& bitmap);
// Writes the bitmap in its own pixel format (BITMAPINFOHEADER; BI_BITFIELDS for 16-bit 5-6-5).
void WriteBmp(TStream& stream, const TBitmap& bitmap);
