// Pixel formats of the framework's bitmaps and everything that depends on the format alone:
// how many bits a pixel has and stores, how long a stored row is, how indexed pixels are packed
// into bytes, how 5- and 6-bit channels widen to 8 bits, and which palette entry is nearest to
// a colour. Every reader, writer and converter of bitmap rows goes through these.
#pragma once

#include <cstdint>

// Red in the low byte, then green, then blue.
using TColor = int32_t;

constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (b << 16); }
constexpr uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c); }
constexpr uint8_t GetGValue(TColor c) { return static_cast<uint8_t>(c >> 8); }
constexpr uint8_t GetBValue(TColor c) { return static_cast<uint8_t>(c >> 16); }

enum TPixelFormat : int { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

struct TPaletteEntry {
    uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
};

// Bits per pixel the format stands for: 1, 4, 8, 15, 16, 24 or 32; pfDevice counts as 24 and
// pfCustom as 15, anything else as 24.
int FormatBits(TPixelFormat format);
// Bits a pixel of the format takes in a stored row: as FormatBits, but a 15-bit pixel fills a
// 16-bit word, and pfDevice and pfCustom are stored as 24-bit pixels.
int StorageBits(TPixelFormat format);
// The format of a bit count: 1, 4, 8, 15, 16 and 32 have their own, every other count is 24-bit.
TPixelFormat FormatOfBits(int bits);

// Bytes of one stored row: the row's bits rounded up to whole 32-bit words. Exact for every
// width and bit count a bitmap can have.
constexpr int64_t RowBytes(int64_t width, int bits) { return (width * bits + 31) / 32 * 4; }
// The same rule in 32-bit arithmetic, which wraps for absurd widths exactly as the codec's
// published row-stride routine always has.
constexpr int32_t WrappingRowBytes(int32_t width, int32_t bits) {
    const uint32_t total = static_cast<uint32_t>(width) * static_cast<uint32_t>(bits);
    return static_cast<int32_t>((((total + 7) >> 3) + 3) & ~3u);
}

// The palette index of pixel x in a row of 1, 2, 4 or 8 bits per pixel; the leftmost pixel
// sits in the most significant bits of its byte.
constexpr unsigned PackedIndex(const uint8_t* row, int x, int bits) {
    switch (bits) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case 2: return (row[x >> 2] >> (6 - 2 * (x & 3))) & 3u;
    case 4: return (x & 1) ? row[x >> 1] & 15u : row[x >> 1] >> 4u;
    default: return row[x];
    }
}
// Stores index (cut to the bit count) as pixel x, leaving the byte's other pixels as they are.
constexpr void SetPackedIndex(uint8_t* row, int x, int bits, unsigned index) {
    if (bits >= 8) {
        row[x] = static_cast<uint8_t>(index);
        return;
    }
    const int perByte = 8 / bits;
    const int shift = 8 - bits * (x % perByte + 1);
    const unsigned mask = ((1u << bits) - 1) << shift;
    uint8_t& byte = row[x / perByte];
    byte = static_cast<uint8_t>((byte & ~mask) | ((index << shift) & mask));
}
// The highest palette index among the first width pixels of the row.
unsigned MaxPackedIndex(const uint8_t* row, int width, int bits);

// A channel of `bits` bits brought to 8: a narrower one widened by repeating its bits below it,
// so that 0 stays 0 and the top value becomes 255; a wider one keeps its top 8 bits; none is 0.
constexpr uint8_t WidenChannel(uint32_t value, int bits) {
    if (bits <= 0) return 0;
    if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
    uint32_t out = 0;
    int filled = 0;
    while (filled < 8) {
        out = (out << bits) | value;
        filled += bits;
    }
    return static_cast<uint8_t>(out >> (filled - 8));
}
// The colour of a stored 15-bit (5-5-5) or 16-bit (5-6-5) pixel word.
constexpr TColor WordColor(uint32_t word, TPixelFormat format) {
    if (format == pf16bit)
        return RGBColor(WidenChannel((word >> 11) & 31, 5), WidenChannel((word >> 5) & 63, 6),
                        WidenChannel(word & 31, 5));
    return RGBColor(WidenChannel((word >> 10) & 31, 5), WidenChannel((word >> 5) & 31, 5), WidenChannel(word & 31, 5));
}
// The stored 15-bit or 16-bit word of a colour: each channel keeps its top bits.
constexpr uint32_t ColorWord(TColor color, TPixelFormat format) {
    const uint32_t r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
    if (format == pf16bit) return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
    return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
}

// The entry nearest to the colour by the sum of absolute channel differences: an exact match
// at once, else the smallest sum, the lowest index on ties; 0 for an empty table.
int NearestEntry(const TPaletteEntry* entries, int count, TColor color);
