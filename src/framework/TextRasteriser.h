// What the canvas needs of a text rasteriser: the cell a text occupies in a font, and the glyph
// coverage over part of that cell. The canvas blends the coverage into the bitmap itself, in
// the bitmap's own pixel format, so a rasteriser knows nothing of bitmaps.
#pragma once

#include <cstdint>
#include <string>

#include "Graphics.h"

struct TTextStyle {
    std::string Face;  // UTF-8; empty or a face the system lacks selects its Japanese sans-serif
    int PixelSize = 12;
    bool Bold = false;
};

class TTextRasteriser {
public:
    virtual ~TTextRasteriser() = default;
    // Width (the advances of the glyphs) and height (ascent + descent) in whole pixels.
    virtual TSize Extent(const TTextStyle& style, const std::string& utf8Text) = 0;
    // Fills mask (area's width × height bytes, rows packed) with the coverage, 0 to 255, of
    // the text whose cell's top-left corner is (0, 0); area is a rectangle in cell coordinates.
    virtual void Coverage(const TTextStyle& style, const std::string& utf8Text, const TRect& area, uint8_t* mask) = 0;
};

// The rasteriser every canvas draws with. The program installs one at start (the text
// library's InstallTextRasteriser); until then text calls raise.
void SetTextRasteriser(TTextRasteriser* rasteriser);
TTextRasteriser* GetTextRasteriser();
