#include "Orientation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "TiffIfd.h"

namespace {

// How each orientation maps a displayed pixel (dx, dy) to the stored one: (u, v) is (dy, dx)
// when swapped, else (dx, dy); then sx = flipX ? W-1-u : u and sy = flipY ? H-1-v : v.
struct Transform {
    bool swap, flipX, flipY;
};
constexpr Transform kTransforms[9] = {
    {false, false, false},  // unused
    {false, false, false},  // 1 as stored
    {false, true, false},   // 2 mirrored left-right
    {false, true, true},    // 3 turned 180 degrees
    {false, false, true},   // 4 mirrored top-bottom
    {true, false, false},   // 5 transposed
    {true, false, true},    // 6 stored turned left: shown turned right
    {true, true, true},     // 7 transversed
    {true, true, false},    // 8 stored turned right: shown turned left
};

}  // namespace

int ExifOrientation(const std::string& exif) {
    const auto* p = reinterpret_cast<const uint8_t*>(exif.data());
    size_t size = exif.size();
    if (size >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) p += 6, size -= 6;  // tolerated, though not expected
    TiffIfd ifd;
    if (!ifd.Open(p, size)) return 1;
    const auto f = ifd.Find(0x0112);
    if (!f || f->type != 3 || f->count != 1) return 1;
    const unsigned value = ifd.U16(f->offset);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

void OrientedCopy(const TBitmap& source, TBitmap& out, int orientation) {
    if (&source == &out) throw EInvalidGraphic("OrientedCopy needs two bitmaps");
    const int o = orientation >= 1 && orientation <= 8 ? orientation : 1;
    const TPixelFormat format = source.PixelFormat() == pf32bit ? pf32bit : pf24bit;
    TBitmap converted;
    const TBitmap* src = &source;
    if (source.PixelFormat() != format) {
        converted.Assign(source);
        converted.SetPixelFormat(format);
        src = &converted;
    }
    const Transform t = kTransforms[o];
    const int w = src->Width(), h = src->Height();
    const int bpp = format == pf32bit ? 4 : 3;
    out.Allocate(format, t.swap ? h : w, t.swap ? w : h);
    if (source.Empty()) return;
    // Rows are stored bottom-up: going down one row is a step of minus one stride.
    const ptrdiff_t down = h > 1 ? src->ScanLine(1) - src->ScanLine(0) : 0;
    // Along a displayed row the stored pixel moves by one column (unswapped) or one row (swapped).
    const ptrdiff_t alongX = t.swap ? (t.flipY ? -down : down) : (t.flipX ? -bpp : bpp);
    // Tiles keep the rows a swapped copy reads from in the cache.
    constexpr int kTile = 64;
    const int ow = out.Width(), oh = out.Height();
    for (int ty = 0; ty < oh; ty += kTile)
        for (int tx = 0; tx < ow; tx += kTile) {
            const int xEnd = std::min(ow, tx + kTile);
            for (int dy = ty; dy < std::min(oh, ty + kTile); ++dy) {
                const int u0 = t.swap ? dy : 0, v0 = t.swap ? 0 : dy;
                const int sx = t.flipX ? w - 1 - u0 : u0, sy = t.flipY ? h - 1 - v0 : v0;
                const uint8_t* s = src->ScanLine(sy) + ptrdiff_t{sx} * bpp + tx * alongX;
                uint8_t* d = out.ScanLine(dy) + ptrdiff_t{tx} * bpp;
                if (bpp == 3)
                    for (int dx = tx; dx < xEnd; ++dx, s += alongX, d += 3) d[0] = s[0], d[1] = s[1], d[2] = s[2];
                else
                    for (int dx = tx; dx < xEnd; ++dx, s += alongX, d += 4) std::memcpy(d, s, 4);
            }
        }
}

void ApplyOrientation(TBitmap& bitmap, int orientation) {
    if (orientation < 1 || orientation > 8 || bitmap.Empty()) return;
    if (bitmap.PixelFormat() != pf24bit && bitmap.PixelFormat() != pf32bit) bitmap.SetPixelFormat(pf24bit);
    if (orientation == 1) return;
    TBitmap out;
    OrientedCopy(bitmap, out, orientation);
    bitmap.Assign(out);
}
