#include "PixelFormat.h"

#include <algorithm>
#include <cstdlib>

int FormatBits(TPixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit:
    case pfCustom: return 15;
    case pf16bit: return 16;
    case pf32bit: return 32;
    default: return 24;
    }
}

int StorageBits(TPixelFormat format) {
    if (format == pfCustom) return 24;
    const int bits = FormatBits(format);
    return bits == 15 ? 16 : bits;
}

TPixelFormat FormatOfBits(int bits) {
    switch (bits) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    case 15: return pf15bit;
    case 16: return pf16bit;
    case 32: return pf32bit;
    default: return pf24bit;
    }
}

unsigned MaxPackedIndex(const uint8_t* row, int width, int bits) {
    unsigned most = 0;
    switch (bits) {  // one loop per depth, so that each unpacks with constant shifts
    case 1:
        for (int x = 0; x < width; ++x) most = std::max(most, PackedIndex(row, x, 1));
        break;
    case 2:
        for (int x = 0; x < width; ++x) most = std::max(most, PackedIndex(row, x, 2));
        break;
    case 4:
        for (int x = 0; x < width; ++x) most = std::max(most, PackedIndex(row, x, 4));
        break;
    default:
        if (width > 0) most = *std::max_element(row, row + width);
        break;
    }
    return most;
}

int NearestEntry(const TPaletteEntry* entries, int count, TColor color) {
    const int r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
    int best = 0;
    int bestDistance = 0x1000000;  // above any real distance (at most 3 × 255)
    for (int i = 0; i < count; ++i) {
        const int d =
            std::abs(entries[i].peRed - r) + std::abs(entries[i].peGreen - g) + std::abs(entries[i].peBlue - b);
        if (d == 0) return i;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}
