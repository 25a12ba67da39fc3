// Our reader against libpng on the same bytes: files libpng writes in every colour type,
// depth and interlacing, and files our own writer produces from every kind of bitmap.
#include <random>

#include <gtest/gtest.h>

#include "Classes.h"
#include "KMPNG.h"
#include "PngTestHelpers.h"

using namespace pngread;

namespace {

struct Format {
    int colorType, depth;
};

constexpr Format kFormats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                               {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

int Channels(int colorType) { return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1; }

// Smooth ramps with noise, so that libpng's filter choice varies from row to row.
std::vector<Bytes> MakeRows(const Format& f, uint32_t w, uint32_t h, std::mt19937& rng) {
    const size_t rowBytes = (static_cast<size_t>(w) * Channels(f.colorType) * f.depth + 7) / 8;
    std::vector<Bytes> rows(h, Bytes(rowBytes));
    for (uint32_t y = 0; y < h; ++y) {
        const unsigned noise = (y % 3 == 0) ? 255 : 3;
        for (size_t i = 0; i < rowBytes; ++i) rows[y][i] = static_cast<uint8_t>(i * 3 + y * 5 + (rng() & noise));
    }
    return rows;
}

}  // namespace

TEST(PngReadDifferential, LibpngFilesOfEveryKindDecodeAsLibpngDecodesThem) {
    std::mt19937 rng(20050401);
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {2, 3}, {3, 3}, {5, 5}, {9, 4}, {17, 33}, {64, 7}};
    int compared = 0;
    for (const auto& f : kFormats) {
        for (bool interlaced : {false, true}) {
            for (const auto& [w, h] : sizes) {
                SCOPED_TRACE("type " + std::to_string(f.colorType) + " depth " + std::to_string(f.depth) +
                             (interlaced ? " Adam7 " : " ") + std::to_string(w) + "x" + std::to_string(h));
                const auto rows = MakeRows(f, w, h, rng);
                Bytes palette, trns;
                if (f.colorType == 3) {
                    for (int i = 0; i < (1 << f.depth) * 3; ++i) palette.push_back(static_cast<uint8_t>(rng()));
                    // Alternate between no table, a single transparent entry and partial alpha.
                    if (w % 3 == 1) trns = {255, 0};
                    if (w % 3 == 2) trns = {10, 255, 128};
                }
                if ((f.colorType == 0 || f.colorType == 2) && f.depth == 8 && w > 2) {
                    // A transparent colour taken from the image, so that some pixels carry it.
                    const Bytes& r = rows[0];
                    trns = f.colorType == 0 ? Bytes{0, r[0]} : Bytes{0, r[0], 0, r[1], 0, r[2]};
                }
                const Bytes file =
                    WriteLibpng(w, h, f.depth, f.colorType, interlaced, rows, palette, trns, static_cast<int>(w % 10));
                ASSERT_FALSE(file.empty());
                const Rgba reference = DecodeLibpng(file);
                ASSERT_FALSE(reference.pixels.empty());
                Decoded d;
                ASSERT_NO_THROW(DecodeOurs(file, d));
                EXPECT_EQ(ToRgba(d).pixels, reference.pixels);
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 15 * 2 * 7);
}

TEST(PngReadDifferential, OurWriterFilesDecodeAsLibpngDecodesThem) {
    std::mt19937 rng(1234);
    struct Case {
        TPixelFormat format;
        bool grey, alpha, interlaced;
        int filter;
    };
    const Case cases[] = {
        {pf1bit, false, false, false, 1},  {pf1bit, true, false, true, 0},   {pf4bit, false, false, true, 5},
        {pf4bit, true, false, false, 2},   {pf8bit, false, false, false, 3}, {pf8bit, true, true, true, 4},
        {pf8bit, false, true, false, 0},   {pf15bit, false, false, true, 5}, {pf16bit, false, true, false, 0},
        {pf24bit, false, false, false, 0}, {pf24bit, false, true, true, 4},  {pf24bit, true, true, false, 5},
        {pf32bit, false, false, false, 2}, {pf32bit, true, false, true, 1},
    };
    for (const auto& c : cases) {
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{7, 5}, std::pair{33, 18}}) {
            SCOPED_TRACE("format " + std::to_string(c.format) + (c.grey ? " grey" : "") + (c.alpha ? " alpha" : "") +
                         (c.interlaced ? " Adam7" : "") + " filter " + std::to_string(c.filter) + " " +
                         std::to_string(w) + "x" + std::to_string(h));
            TKMPNG out;
            pngtest::RandomBitmap(out.Bitmap, c.format, w, h, rng);
            if (c.alpha) {
                pngtest::RandomMask(out.AlphaBitmap, w, h, rng);
                out.HasAlpha = true;
            }
            out.Grayscale = c.grey;
            out.Interlaced = c.interlaced;
            out.Filter = static_cast<uint8_t>(c.filter);
            out.Comment = "note";
            TMemoryStream stream;
            out.SaveToStream(stream);
            const Bytes file = stream.Bytes();
            const Rgba reference = DecodeLibpng(file);
            ASSERT_FALSE(reference.pixels.empty());

            TKMPNG in;
            stream.SetPosition(0);
            ASSERT_NO_THROW(in.LoadFromStream(stream));
            Decoded d;
            DecodeOurs(file, d);
            EXPECT_EQ(ToRgba(d).pixels, reference.pixels);
            // A palette file has no alpha channel; grey keeps one only at 8 bits and above.
            const bool alphaWritten = c.alpha && (c.format == pf15bit || c.format == pf16bit || c.format == pf24bit ||
                                                  c.format == pf32bit || (c.format == pf8bit && c.grey));
            ASSERT_EQ(in.HasAlpha, alphaWritten);
            EXPECT_EQ(in.Grayscale, c.grey);
            EXPECT_EQ(in.Interlaced, c.interlaced);
            EXPECT_EQ(in.Comment, "note\r\n");
            if (alphaWritten) {
                // The mask travels as 255 - alpha both ways, so it comes back as it went.
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        ASSERT_EQ(in.AlphaBitmap.ScanLine(y)[x], out.AlphaBitmap.ScanLine(y)[x]) << x << "," << y;
            }
        }
    }
}
