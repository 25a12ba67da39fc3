// Every picture the writer produces must decode with libpng to the source's pixels.
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "KMPNGStream.h"
#include "PngTestHelpers.h"
#include "SFunc.h"

using namespace pngtest;

namespace {

// What a reader should see at (x, y), as r | g << 8 | b << 16 | a << 24.
uint32_t Expected(const TBitmap& bmp, const TBitmap* mask, bool grey, int x, int y) {
    const int depth = PixelFormatToBits(bmp.PixelFormat());
    const TPalette& pal = bmp.Palette();
    auto weighted = [&](int i) { return pal[i].peRed * 77 + pal[i].peGreen * 150 + pal[i].peBlue * 29; };
    TColor c = bmp.GetPixel(x, y);
    uint32_t alpha = 255;
    if (grey) {
        int v;
        if (depth == 1) {
            const bool invert = pal.Count() >= 2 && (weighted(0) >> 8) > (weighted(1) >> 8);
            v = (IndexAt(bmp, x, y) ^ (invert ? 1 : 0)) * 255;
        } else if (depth == 4) {
            v = (weighted(IndexAt(bmp, x, y)) >> 12) * 17;
        } else {
            v = Grey(c);
        }
        c = RGBColor(static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
        if (mask && depth >= 8) alpha = 255u - mask->ScanLine(y)[x];
    } else if (mask && depth > 8) {
        alpha = 255u - mask->ScanLine(y)[x];
    }
    return static_cast<uint32_t>(c & 0xFFFFFF) | (alpha << 24);
}

void ExpectSamePixels(const TBitmap& bmp, const TBitmap* mask, bool grey, const Decoded& d) {
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(d.width, static_cast<uint32_t>(bmp.Width()));
    ASSERT_EQ(d.height, static_cast<uint32_t>(bmp.Height()));
    int mismatches = 0;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            const uint32_t want = Expected(bmp, mask, grey, x, y), got = d.Pixel(x, y);
            if (want != got && ++mismatches <= 3)
                ADD_FAILURE() << "pixel " << x << "," << y << ": want " << std::hex << want << " got " << got;
        }
    EXPECT_EQ(mismatches, 0);
}

struct FormatCase {
    TPixelFormat format;
    int colourType, greyColourType;  // IHDR colour type without / with Grayscale (no mask)
    int bitDepth, greyBitDepth;
};

const FormatCase kFormats[] = {
    {pf1bit, 3, 0, 1, 1},  {pf4bit, 3, 0, 4, 4},  {pf8bit, 3, 0, 8, 8},  {pf15bit, 2, 0, 8, 8},
    {pf16bit, 2, 0, 8, 8}, {pf24bit, 2, 0, 8, 8}, {pf32bit, 2, 0, 8, 8},
};

}  // namespace

// Depth × grey × mask × interlace × filter on sizes that hit every Adam7 corner.
TEST(PNGWriteRoundTrip, EveryDepthModeFilterAndInterlace) {
    std::mt19937 rng(1234);
    const int sizes[][2] = {{1, 1}, {3, 5}, {17, 13}, {33, 9}};
    for (const auto& f : kFormats)
        for (bool grey : {false, true})
            for (bool withMask : {false, true})
                for (int interlace : {0, 1})
                    for (int filter = 0; filter <= 5; ++filter)
                        for (const auto& s : sizes) {
                            SCOPED_TRACE(::testing::Message() << "format " << f.format << " grey " << grey << " mask "
                                                              << withMask << " interlace " << interlace << " filter "
                                                              << filter << " size " << s[0] << "x" << s[1]);
                            TBitmap bmp, mask;
                            RandomBitmap(bmp, f.format, s[0], s[1], rng);
                            RandomMask(mask, s[0], s[1], rng);
                            const auto png = Encode(bmp, [&](TKMPNGWriteStream& w) {
                                w.Grayscale = grey;
                                w.Interlaced = interlace;
                                w.Filter = filter;
                                if (withMask) w.AlphaBitmap = &mask;
                            });
                            const Decoded d = DecodeWithLibpng(png);
                            const bool maskUsed = withMask && (f.format > pf8bit || (grey && f.format == pf8bit));
                            ExpectSamePixels(bmp, maskUsed ? &mask : nullptr, grey, d);
                            int type = grey ? f.greyColourType : f.colourType;
                            if (maskUsed) type = grey ? 4 : 6;
                            EXPECT_EQ(d.colorType, type);
                            EXPECT_EQ(d.bitDepth, grey ? f.greyBitDepth : f.bitDepth);
                            EXPECT_EQ(d.interlace, interlace);
                        }
}

// Levels and block sizes change only the compressed stream, never the pixels.
TEST(PNGWriteRoundTrip, LevelsAndIDATSizes) {
    std::mt19937 rng(99);
    TBitmap bmp8, bmp24;
    RandomBitmap(bmp8, pf8bit, 301, 123, rng, 40);
    RandomBitmap(bmp24, pf24bit, 301, 123, rng);
    // Half of each picture a smooth gradient, so that the levels really differ.
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 301; ++x) {
            bmp24.SetPixel(x, y, RGBColor(static_cast<uint8_t>(x), static_cast<uint8_t>(y), 7));
            bmp8.ScanLine(y)[x] = static_cast<uint8_t>(x / 10);
        }
    for (TBitmap* bmp : {&bmp8, &bmp24})
        for (int level = -1; level <= 9; ++level)
            for (int idat : {256, 100000}) {
                SCOPED_TRACE(::testing::Message()
                             << "depth " << bmp->BitsPerPixel() << " level " << level << " idat " << idat);
                const auto png = Encode(*bmp, [&](TKMPNGWriteStream& w) {
                    w.CompressionLevel = level;
                    w.SetIDATSize(idat);
                    w.Filter = 0;
                });
                ExpectSamePixels(*bmp, nullptr, false, DecodeWithLibpng(png));
                const auto chunks = Chunks(png);
                std::vector<size_t> idats;
                for (const auto& c : chunks) {
                    EXPECT_TRUE(c.crcOk) << c.type;
                    if (c.type == "IDAT") idats.push_back(c.data.size());
                }
                ASSERT_FALSE(idats.empty());
                for (size_t i = 0; i + 1 < idats.size(); ++i) EXPECT_EQ(idats[i], static_cast<size_t>(idat));
                EXPECT_LE(idats.back(), static_cast<size_t>(idat));
                EXPECT_GT(idats.back(), 0u);
            }
}

TEST(PNGWriteRoundTrip, LevelMinusOneIsLevelSixAndLevelsDiffer) {
    std::mt19937 rng(5);
    TBitmap bmp;
    RandomBitmap(bmp, pf24bit, 200, 50, rng);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 100; ++x) bmp.SetPixel(x, y, RGBColor(static_cast<uint8_t>(x), 0, 0));
    auto at = [&](int level) {
        return Encode(bmp, [&](TKMPNGWriteStream& w) {
            w.CompressionLevel = level;
            w.UseCurrentTime = false;
        });
    };
    EXPECT_EQ(at(-1), at(6));
    EXPECT_EQ(at(42), at(6));  // out of range means zlib's default
    EXPECT_GT(at(0).size(), at(9).size());
}
