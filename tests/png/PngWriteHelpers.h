// Test helpers of the PNG writer and reader tests: random bitmaps, a chunk walker and libpng as
// the judge.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Graphics.h"

namespace pngtest {

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
    bool crcOk = false;
};

// Splits a PNG into its chunks; fails the current test on a bad signature or framing.
std::vector<Chunk> Chunks(const std::vector<uint8_t>& png);
std::vector<std::string> ChunkTypes(const std::vector<Chunk>& chunks);
const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type);

struct Decoded {
    bool ok = false;
    std::string error;
    uint32_t width = 0, height = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    std::vector<uint8_t> rgba;  // 4 bytes per pixel, after palette, grey and tRNS expansion; 16-bit
                                // samples cut to their high byte
    uint32_t Pixel(int x, int y) const;  // r | g << 8 | b << 16 | a << 24
};

// Decodes with libpng. Strict: every warning and every CRC fault is a failure (our writer's
// output); lenient: only what libpng itself refuses (third-party files for the reader).
Decoded DecodeWithLibpng(const std::vector<uint8_t>& png, bool strict = true);

// A bitmap of the format filled with random bytes; indexed formats get a random palette of
// paletteSize entries and only indices inside it.
void RandomBitmap(TBitmap& bmp, TPixelFormat format, int width, int height, std::mt19937& rng,
                  int paletteSize = -1);
// The palette index of one pixel of a 1-, 4- or 8-bit bitmap.
int IndexAt(const TBitmap& bmp, int x, int y);
// Sets the palette index of one pixel of a 1-, 4- or 8-bit bitmap.
void SetIndex(TBitmap& bmp, int x, int y, int index);
void RandomMask(TBitmap& mask, int width, int height, std::mt19937& rng);

inline int Grey(TColor c) { return (GetRValue(c) * 77 + GetGValue(c) * 150 + GetBValue(c) * 29) / 256; }

}  // namespace pngtest
