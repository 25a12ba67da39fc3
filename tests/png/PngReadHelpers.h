// Helpers of the PNG reader tests: decoding with our reader and with libpng (the judge),
// flattening both to straight RGBA, and building PNG files byte by byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Graphics.h"

namespace pngread {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::filesystem::path& path);

struct Rgba {
    int width = 0, height = 0;
    Bytes pixels;  // R, G, B, A per pixel, top row first
};

// What our reader produced for one stream.
struct Decoded {
    TBitmap bitmap;
    TBitmap alpha;
    bool hasAlpha = false;
    bool greyscale = false;
    bool interlaced = false;
    int sourceBits = 0;
    TColor background = -1;
    TColor transparent = -1;
    double gamma = 0;
    int32_t significantBits = 0;
    std::string comment;
};

// Decodes with TKMPNGReadStream over an in-memory stream; EKMPNG passes through.
void DecodeOurs(const Bytes& png, Decoded& out);
// Our bitmap, its palette, its alpha mask (255 - alpha) or transparent colour, as RGBA.
Rgba ToRgba(const Decoded& d);
// libpng: expanded to 8-bit RGBA with 16-bit samples cut to their high byte. Empty on error.
Rgba DecodeLibpng(const Bytes& png);
// A netpbm P7 RGB_ALPHA file.
Rgba ReadPam(const std::filesystem::path& path);

// PNG building blocks: a chunk with its CRC, a complete file from IHDR fields and raw
// (unfiltered-with-filter-byte) scan lines, or from already compressed data.
void AppendChunk(Bytes& png, const char* type, const Bytes& data);
Bytes Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0);
Bytes Zlib(const Bytes& raw, int level = 9);
Bytes Signature();

// Writes a PNG with libpng from 8- or 16-bit samples (16-bit big-endian), rows packed as
// libpng expects for the depth; optional palette (RGB triples) and tRNS bytes.
Bytes WriteLibpng(uint32_t w, uint32_t h, int depth, int colorType, bool interlaced,
                  const std::vector<Bytes>& rows, const Bytes& palette = {}, const Bytes& trns = {},
                  int level = 6);

}  // namespace pngread
