// Helpers of the PNG writer and reader tests. pngtest: random bitmaps, a chunk walker and libpng
// as the judge. pngread: decoding with our reader, flattening to straight RGBA, and building PNG
// files byte by byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Graphics.h"

class TKMPNGWriteStream;

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
    std::vector<uint8_t> rgba;           // 4 bytes per pixel, after palette, grey and tRNS expansion; 16-bit
                                         // samples cut to their high byte
    uint32_t Pixel(int x, int y) const;  // r | g << 8 | b << 16 | a << 24
};

// Our writer's output for the bitmap, after setup has set the writer's options.
std::vector<uint8_t> Encode(TBitmap& bmp, const std::function<void(TKMPNGWriteStream&)>& setup = {});

// Decodes with libpng. Strict: every warning and every CRC fault is a failure (our writer's
// output); lenient: only what libpng itself refuses (third-party files for the reader).
Decoded DecodeWithLibpng(const std::vector<uint8_t>& png, bool strict = true);

// A bitmap of the format filled with random bytes; indexed formats get a random palette of
// paletteSize entries and only indices inside it.
void RandomBitmap(TBitmap& bmp, TPixelFormat format, int width, int height, std::mt19937& rng, int paletteSize = -1);
// The palette index of one pixel of a 1-, 4- or 8-bit bitmap.
int IndexAt(const TBitmap& bmp, int x, int y);
// Sets the palette index of one pixel of a 1-, 4- or 8-bit bitmap.
void SetIndex(TBitmap& bmp, int x, int y, int index);
void RandomMask(TBitmap& mask, int width, int height, std::mt19937& rng);

inline int Grey(TColor c) { return (GetRValue(c) * 77 + GetGValue(c) * 150 + GetBValue(c) * 29) / 256; }

}  // namespace pngtest

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
// pngtest::DecodeWithLibpng, lenient, as Rgba. Empty on error.
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
Bytes WriteLibpng(uint32_t w, uint32_t h, int depth, int colorType, bool interlaced, const std::vector<Bytes>& rows,
                  const Bytes& palette = {}, const Bytes& trns = {}, int level = 6);

}  // namespace pngread
