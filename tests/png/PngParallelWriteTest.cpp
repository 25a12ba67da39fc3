// Rows deflated in bands on several threads, judged against the one-thread writer: zlib must
// inflate the joined stream (its Adler-32 included) to exactly the filtered rows the one-thread
// stream holds, libpng must decode both to the same pixels, and the chunks around the data and
// the IDAT block sizes must be those of the one-thread file.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "KMPNGStream.h"
#include "PngTestHelpers.h"

using namespace pngtest;

namespace {

// Random rows, each from the seventh row up also a copy of the row seven above with a few
// bytes changed: deflate finds matches across band boundaries, which only a correctly primed
// band can encode.
void RepetitiveBitmap(TBitmap& bmp, TPixelFormat format, int width, int height, std::mt19937& rng) {
    RandomBitmap(bmp, format, width, height, rng);
    const size_t stride = static_cast<size_t>(bmp.RowStride());
    for (int y = 7; y < height; ++y) {
        std::copy_n(bmp.ScanLine(y - 7), stride, bmp.ScanLine(y));
        for (int k = 0; k < 3; ++k) bmp.ScanLine(y)[rng() % stride] ^= 0x10;
    }
}

// The IDAT chunks' data in order, and whether every chunk but the last has exactly blockSize
// bytes and the last at most that many.
struct ImageData {
    std::vector<uint8_t> zlib;
    bool laidOut = true;
    std::vector<std::string> otherChunks;
};

ImageData Split(const std::vector<uint8_t>& png, size_t blockSize) {
    ImageData out;
    const std::vector<Chunk> chunks = Chunks(png);
    size_t last = 0;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].type == "IDAT") last = i;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& c = chunks[i];
        if (c.type != "IDAT") {
            out.otherChunks.push_back(c.type + std::string(c.data.begin(), c.data.end()));
            continue;
        }
        out.laidOut = out.laidOut && c.crcOk && (i == last ? c.data.size() <= blockSize : c.data.size() == blockSize);
        out.zlib.insert(out.zlib.end(), c.data.begin(), c.data.end());
    }
    return out;
}

// zlib's own inflate, which checks the stream's checksum; empty on any error.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& zlib, size_t rawSize) {
    std::vector<uint8_t> raw(rawSize + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &size, zlib.data(), static_cast<uLong>(zlib.size())) != Z_OK) return {};
    raw.resize(size);
    return raw;
}

TEST(PngParallel, BandsInflateToTheOneThreadRowsAndPixels) {
    std::mt19937 rng(16);
    // A single pixel and a single row (one band), fewer rows than threads, a picture of many
    // bands whose window reaches over several rows.
    const struct { int w, h; } sizes[] = {{1, 1}, {300, 1}, {37, 3}, {301, 203}};
    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        for (const auto& size : sizes) {
            TBitmap bmp, mask;
            RepetitiveBitmap(bmp, format, size.w, size.h, rng);
            RandomMask(mask, size.w, size.h, rng);
            // Every level meets every filter over the formats; the thread counts vary with them.
            for (int level = 1; level <= 9; ++level) {
                const int filter = (level + static_cast<int>(format)) % 6, threads = 2 + level % 3;
                const bool withMask = level % 2 == 0, smallBlocks = level % 3 == 0;
                SCOPED_TRACE(::testing::Message()
                             << "format " << format << ", " << size.w << " x " << size.h << ", level " << level
                             << ", filter " << filter << ", " << threads << " threads, mask " << withMask);
                auto encode = [&](int n) {
                    return Encode(bmp, [&](TKMPNGWriteStream& w) {
                        w.CompressionLevel = level;
                        w.Filter = filter;
                        w.Threads = n;
                        w.UseCurrentTime = false;
                        if (withMask) w.AlphaBitmap = &mask;
                        if (smallBlocks) w.SetIDATSize(TKMPNGWriteStream::kMinIDATSize);
                    });
                };
                const std::vector<uint8_t> one = encode(1), many = encode(threads);
                const size_t blockSize = smallBlocks ? TKMPNGWriteStream::kMinIDATSize : 32768;
                const ImageData a = Split(one, blockSize), b = Split(many, blockSize);
                EXPECT_TRUE(b.laidOut);
                EXPECT_EQ(b.otherChunks, a.otherChunks);
                const size_t rawSize = static_cast<size_t>(size.w) * size.h * 5 + size.h;  // at most 40 bits a pixel
                const std::vector<uint8_t> rawOne = Inflate(a.zlib, rawSize), rawMany = Inflate(b.zlib, rawSize);
                ASSERT_FALSE(rawMany.empty());
                EXPECT_EQ(rawMany, rawOne);
                const Decoded da = DecodeWithLibpng(one), db = DecodeWithLibpng(many);
                ASSERT_TRUE(db.ok) << db.error;
                EXPECT_EQ(db.rgba, da.rgba);
                if (size.h == 1) {
                    EXPECT_EQ(many, one);  // a single band: the one-thread stream
                }
            }
        }
    }
}

}  // namespace
