// Text drawing on a bitmap, in the bitmap's own pixel format. Colours are TColor values.
#pragma once

#include <string>

#include "Graphics.h"

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
enum class TBrushStyle { bsSolid, bsClear };

struct TFont {
    // Face name (UTF-8); empty selects the system's default sans-serif face.
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
    // bitmap are clipped.
    void TextOut(int x, int y, const std::string& utf8Text);

    // Sets up the text machinery now (it is otherwise set up by the first text call), so that
    // a program about to draw on worker threads does it on its main thread.
    static void PrepareTextDrawing();

private:
    TBitmap& bitmap_;
};
