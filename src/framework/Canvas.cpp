// Text on a bitmap: the installed rasteriser gives the glyph coverage of the visible part of
// the text cell as an 8-bit mask, which is then blended into the bitmap in its own format.
#include "Canvas.h"

#include "SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

namespace {

std::atomic<TTextRasteriser*> installedRasteriser{nullptr};

TTextRasteriser& Rasteriser() {
    TTextRasteriser* r = installedRasteriser.load(std::memory_order_acquire);
    if (!r) throw Exception("No text rasteriser is installed");
    return *r;
}

struct Rgb {
    int r, g, b;
};

Rgb FromColor(TColor c) { return {GetRValue(c), GetGValue(c), GetBValue(c)}; }

int NearestIndex(const TPalette& palette, TColor c) {
    return NearestEntry(palette.Entries().data(), palette.Count(), c);
}

void PutIndex(uint8_t* row, int x, int bits, int index) { SetPackedIndex(row, x, bits, static_cast<unsigned>(index)); }

// Blends colour c with coverage a (0..255) over one pixel of a direct-colour row.
void BlendDirect(uint8_t* row, int x, TPixelFormat format, Rgb c, int a) {
    auto mix = [a](int dst, int src) { return static_cast<uint8_t>((dst * (255 - a) + src * a + 127) / 255); };
    switch (format) {
    case pf15bit:
    case pf16bit: {
        uint8_t* p = row + 2 * x;
        const TColor under = WordColor(p[0] | (p[1] << 8), format);
        const uint32_t out = ColorWord(
            RGBColor(mix(GetRValue(under), c.r), mix(GetGValue(under), c.g), mix(GetBValue(under), c.b)), format);
        p[0] = static_cast<uint8_t>(out);
        p[1] = static_cast<uint8_t>(out >> 8);
        break;
    }
    case pf32bit: {
        uint8_t* p = row + 4 * x;
        p[0] = mix(p[0], c.b), p[1] = mix(p[1], c.g), p[2] = mix(p[2], c.r);
        break;
    }
    default: {
        uint8_t* p = row + 3 * x;
        p[0] = mix(p[0], c.b), p[1] = mix(p[1], c.g), p[2] = mix(p[2], c.r);
        break;
    }
    }
}

}  // namespace

int TFont::PixelHeight(int pixelsPerInch) const {
    // A negative size is already a pixel height; otherwise MulDiv(Size, ppi, 72), rounded half
    // away from zero.
    if (Size < 0) return -Size;
    return static_cast<int>((static_cast<int64_t>(Size) * pixelsPerInch + 36) / 72);
}

void SetTextRasteriser(TTextRasteriser* rasteriser) {
    installedRasteriser.store(rasteriser, std::memory_order_release);
}

TTextRasteriser* GetTextRasteriser() { return installedRasteriser.load(std::memory_order_acquire); }

TTextStyle TCanvas::Style() const {
    return {Font.Name, std::max(1, Font.PixelHeight(kPixelsPerInch)), (Font.Style & fsBold) != 0};
}

TSize TCanvas::TextExtent(const std::string& utf8Text) const { return Rasteriser().Extent(Style(), utf8Text); }

void TCanvas::TextOut(int x, int y, const std::string& utf8Text) {
    if (utf8Text.empty() || bitmap_.Empty()) return;
    const TPixelFormat format = bitmap_.PixelFormat();
    const int bits = bitmap_.BitsPerPixel();
    const bool indexed = bits <= 8;

    // The visible part of the cell, and the glyph coverage over it.
    TTextRasteriser& rasteriser = Rasteriser();
    const TTextStyle style = Style();
    const TSize cell = rasteriser.Extent(style, utf8Text);
    const int x0 = std::max(x, 0);
    const int y0 = std::max(y, 0);
    const int x1 = static_cast<int>(std::min<int64_t>(int64_t{x} + cell.cx, bitmap_.Width()));
    const int y1 = static_cast<int>(std::min<int64_t>(int64_t{y} + cell.cy, bitmap_.Height()));
    if (x1 <= x0 || y1 <= y0) return;
    const int maskWidth = x1 - x0;
    std::vector<uint8_t> mask(static_cast<size_t>(maskWidth) * static_cast<size_t>(y1 - y0));
    rasteriser.Coverage(style, utf8Text, TRect{x0 - x, y0 - y, x1 - x, y1 - y}, mask.data());

    const TColor fg = Font.Color & 0xFFFFFF;
    const TColor bg = Brush.Color & 0xFFFFFF;
    const bool solid = Brush.Style == TBrushStyle::bsSolid;
    if (indexed) {
        // Palette pictures get no new colours: text pixels (coverage of at least half) take
        // the entry nearest the text colour, the cell the entry nearest the brush colour.
        const int fi = NearestIndex(bitmap_.Palette(), fg);
        const int bi = NearestIndex(bitmap_.Palette(), bg);
        for (int yy = y0; yy < y1; ++yy) {
            uint8_t* row = bitmap_.ScanLine(yy);
            const uint8_t* m = mask.data() + static_cast<size_t>(yy - y0) * static_cast<size_t>(maskWidth);
            for (int xx = x0; xx < x1; ++xx) {
                const int a = m[xx - x0];
                if (a >= 128)
                    PutIndex(row, xx, bits, fi);
                else if (solid)
                    PutIndex(row, xx, bits, bi);
            }
        }
    } else {
        const Rgb fc = FromColor(fg), bc = FromColor(bg);
        for (int yy = y0; yy < y1; ++yy) {
            uint8_t* row = bitmap_.ScanLine(yy);
            const uint8_t* m = mask.data() + static_cast<size_t>(yy - y0) * static_cast<size_t>(maskWidth);
            for (int xx = x0; xx < x1; ++xx) {
                if (solid) BlendDirect(row, xx, format, bc, 255);
                if (const int a = m[xx - x0]) BlendDirect(row, xx, format, fc, a);
            }
        }
    }
    bitmap_.SetModified(true);
}
