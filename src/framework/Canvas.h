// Text drawing on a bitmap, in the bitmap's own pixel format. Colours are TColor values.
#pragma once

#include <string>

#include "Graphics.h"
#include "TextRasteriser.h"

// Bold is the one style the stamp uses and the rasteriser draws.
enum TFontStyle : unsigned { fsBold = 1 };
enum class TBrushStyle { bsSolid, bsClear };

struct TFont {
    // Face name (UTF-8); empty, or a face the system lacks, selects its Japanese sans-serif.
    std::string Name;
    int Size = 8;  // points
    TColor Color = clBlack;
    unsigned Style = 0;
    // Pixel height of the characters (without internal leading) at the canvas's resolution,
    // as the Windows font mapper derives it from the point size.
    int PixelHeight(int pixelsPerInch) const;
};

struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = TBrushStyle::bsSolid;
};

class TCanvas {
public:
    static constexpr int kPixelsPerInch = 96;

    explicit TCanvas(TBitmap& bitmap) : bitmap_(bitmap) {}

    TFont Font;
    TBrush Brush;

    // Width and height in pixels of the cell the text occupies in the current font.
    TSize TextExtent(const std::string& utf8Text) const;
    // Draws the text with its cell's top-left corner at (x, y). A solid brush fills the cell
    // first; a clear brush leaves the picture visible between the glyphs. Pixels outside the
    // bitmap are clipped. Both raise when no text rasteriser is installed.
    void TextOut(int x, int y, const std::string& utf8Text);

private:
    TTextStyle Style() const;

    TBitmap& bitmap_;
};
