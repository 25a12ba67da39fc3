// EXIF orientation: reading it out of a raw EXIF block, and turning stored pixels into the
// picture as viewers show it.
#pragma once

#include <string>

#include "Graphics.h"

// The orientation (tag 0x0112 of IFD0) of an EXIF block as PhotoMetadata holds it (a TIFF
// structure); 1 when the block is empty, damaged, or the value is outside 1..8.
int ExifOrientation(const std::string& exif);

// Replaces the bitmap by its displayed-upright form for the given EXIF orientation (1..8;
// other values leave it as it is). 5 to 8 swap width and height. A 24- or 32-bit bitmap keeps
// its format; any other becomes 24-bit.
void ApplyOrientation(TBitmap& bitmap, int orientation);

// The same into another bitmap, without the copy back: out becomes the upright picture (24- or
// 32-bit as the source has alpha or not); an orientation outside 1..8 copies as stored.
void OrientedCopy(const TBitmap& source, TBitmap& out, int orientation);
