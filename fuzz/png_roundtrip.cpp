// A small random bitmap written as PNG with random writer settings must read back with the
// pixels the writer's conversion promises: palette formats keep their indices and palette,
// 15- to 32-bit formats become 24-bit colour, and in grey mode each pixel becomes the grey
// level of its colour (palette formats through the grey map of their palette). An alpha mask
// survives where the output carries alpha (grey 8-bit, and 15- to 32-bit sources).
#include <algorithm>
#include <vector>

#include "FuzzCheck.h"
#include "KMPNG.h"
#include "SFunc.h"

namespace {

// Hands out the input's bytes in order, then zeros.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }
    int Below(int n) { return Next() % n; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

int Weighted(const TPaletteEntry& e) { return e.peRed * 77 + e.peGreen * 150 + e.peBlue * 29; }

int IndexAt(const TBitmap& bmp, int x, int y) {
    const uint8_t* row = bmp.ScanLine(y);
    switch (bmp.PixelFormat()) {
    case pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case pf4bit: return (x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4;
    default: return row[x];
    }
}

// The grey level (0..255) the reader must give for a pixel written in grey mode.
int ExpectedGrey(const TBitmap& bmp, int x, int y) {
    const TPalette& pal = bmp.Palette();
    auto entryWeight = [&](int i) { return i < pal.Count() ? Weighted(pal[i]) : 0; };
    switch (bmp.PixelFormat()) {
    case pf1bit: {
        const bool invert = (entryWeight(0) >> 8) > (entryWeight(1) >> 8);  // 1 is the brighter entry
        return (IndexAt(bmp, x, y) ^ (invert ? 1 : 0)) * 255;
    }
    case pf4bit: return (entryWeight(IndexAt(bmp, x, y)) >> 12) * 17;
    case pf8bit: return entryWeight(IndexAt(bmp, x, y)) >> 8;
    default: {
        const TColor c = bmp.GetPixel(x, y);
        return (GetRValue(c) * 77 + GetGValue(c) * 150 + GetBValue(c) * 29) / 256;
    }
    }
}

const TPixelFormat kFormats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const TPixelFormat format = kFormats[in.Below(7)];
    const int width = 1 + in.Below(64), height = 1 + in.Below(64);
    const int depth = PixelFormatToBits(format);

    TKMPNG png;
    png.UseCurrentTime = false;
    png.CompressionLevel = in.Below(12) - 1;
    png.Filter = static_cast<uint8_t>(in.Below(6));
    png.Interlaced = in.Below(2) == 1;
    png.Grayscale = in.Below(2) == 1;
    png.IDATSize = 256 + in.Below(256) * 390;

    TPalette palette;
    int colours = 0;
    if (depth <= 8) {
        colours = 1 + in.Below(1 << depth);
        std::vector<TPaletteEntry> entries(static_cast<size_t>(colours));
        for (auto& e : entries) e = {in.Next(), in.Next(), in.Next(), 0};
        palette = TPalette(std::move(entries));
    }
    png.Bitmap.Allocate(format, width, height, palette);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = png.Bitmap.ScanLine(y);
        if (depth <= 8) {
            for (int x = 0; x < width; ++x) {
                const int index = in.Below(colours);
                if (depth == 1)
                    row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | index << (7 - (x & 7)));
                else if (depth == 4)
                    row[x >> 1] = static_cast<uint8_t>(row[x >> 1] | index << ((x & 1) ? 0 : 4));
                else
                    row[x] = static_cast<uint8_t>(index);
            }
        } else {
            for (int i = 0; i < width * (depth == 15 ? 16 : depth) / 8; ++i) row[i] = in.Next();
        }
    }
    const bool withMask = in.Below(2) == 1;
    if (withMask) {
        png.AlphaBitmap.Allocate(pf8bit, width, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) png.AlphaBitmap.ScanLine(y)[x] = in.Next();
        png.HasAlpha = true;
    }
    const bool grey = png.Grayscale;
    const bool alphaWritten = withMask && (depth > 8 || (grey && depth == 8));

    TMemoryStream file;
    png.SaveToStream(file);
    file.SetPosition(0);
    TKMPNG back;
    back.LoadFromStream(file);

    FUZZ_CHECK(back.Width() == width && back.Height() == height);
    const TPixelFormat expectedFormat = grey ? (depth <= 8 ? format : pf8bit) : (depth <= 8 ? format : pf24bit);
    FUZZ_CHECK(back.Bitmap.PixelFormat() == expectedFormat);
    FUZZ_CHECK(back.Grayscale == grey);
    FUZZ_CHECK(back.Interlaced == png.Interlaced);
    FUZZ_CHECK(back.HasAlpha == alphaWritten);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            TColor want = png.Bitmap.GetPixel(x, y);
            if (grey) {
                const auto g = static_cast<uint8_t>(ExpectedGrey(png.Bitmap, x, y));
                want = RGBColor(g, g, g);
            }
            FUZZ_CHECK(back.Bitmap.GetPixel(x, y) == want);
            if (alphaWritten) FUZZ_CHECK(back.AlphaBitmap.ScanLine(y)[x] == png.AlphaBitmap.ScanLine(y)[x]);
        }
    if (!grey && depth <= 8) FUZZ_CHECK(back.Bitmap.Palette() == png.Bitmap.Palette());
    return 0;
}
