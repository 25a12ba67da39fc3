// Chunk order and chunk bytes of the writer.
#include <ctime>
#include <functional>
#include <random>

#include <gtest/gtest.h>
#include <zlib.h>

#include "KMPNGStream.h"
#include "PngTestHelpers.h"

using namespace pngtest;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Inflate(const std::vector<Chunk>& chunks) {
    Bytes z, out(1 << 20);
    for (const auto& c : chunks)
        if (c.type == "IDAT") z.insert(z.end(), c.data.begin(), c.data.end());
    uLongf n = out.size();
    EXPECT_EQ(uncompress(out.data(), &n, z.data(), z.size()), Z_OK);
    out.resize(n);
    return out;
}

TBitmap& Solid(TBitmap& bmp, TPixelFormat format, int w, int h, TColor c) {
    bmp.Allocate(format, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bmp.SetPixel(x, y, c);
    return bmp;
}

TPalette Palette(std::initializer_list<TColor> colours) {
    std::vector<TPaletteEntry> e;
    for (TColor c : colours) e.push_back({GetRValue(c), GetGValue(c), GetBValue(c), 0});
    return TPalette(std::move(e));
}

}  // namespace

TEST(PNGWriteChunks, DefaultTruecolourLayout) {
    std::mt19937 rng(3);
    TBitmap bmp;
    RandomBitmap(bmp, pf24bit, 200, 150, rng);
    const auto png = Encode(bmp, [](TKMPNGWriteStream& w) { w.Gamma = 0.45455; });
    const auto chunks = Chunks(png);
    for (const auto& c : chunks) EXPECT_TRUE(c.crcOk) << c.type;
    EXPECT_EQ(ChunkTypes(chunks), (std::vector<std::string>{"IHDR", "tIME", "tEXt", "tpNG", "gAMA", "IDAT", "IEND"}));
    EXPECT_EQ(Find(chunks, "IHDR")->data, (Bytes{0, 0, 0, 200, 0, 0, 0, 150, 8, 2, 0, 0, 0}));
    const std::string software = "Software";
    Bytes text(software.begin(), software.end());
    text.push_back(0);
    for (char ch : std::string("KMPNG ver 1.0")) text.push_back(static_cast<uint8_t>(ch));
    EXPECT_EQ(Find(chunks, "tEXt")->data, text);
    EXPECT_EQ(Find(chunks, "tpNG")->data, (Bytes{'K', 'M', 'P', '1', 0, 0, 0, 0}));
    EXPECT_EQ(Find(chunks, "gAMA")->data, (Bytes{0, 0, 0xB1, 0x8F}));  // 45455
    EXPECT_TRUE(Find(chunks, "IEND")->data.empty());
    size_t idats = 0, last = 0;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].type == "IDAT") ++idats, last = i;
    EXPECT_GT(idats, 1u);  // 90 KB of noise does not fit one block
    for (size_t i = 0; i < last; ++i)
        if (chunks[i].type == "IDAT") {
            EXPECT_EQ(chunks[i].data.size(), 32768u);
        }
    // Without a gamma nothing is written; the writer's own default is 0.
    EXPECT_EQ(Find(Chunks(Encode(bmp)), "gAMA"), nullptr);
}

// IHDR depth/type and sBIT for each source format, with and without a mask.
TEST(PNGWriteChunks, HeaderAndSignificantBitsPerFormat) {
    struct Case {
        TPixelFormat format;
        bool mask;
        bool grey;
        Bytes depthAndType;
        Bytes sbit;  // empty: no sBIT
    };
    const Case cases[] = {
        {pf1bit, false, false, {1, 3}, {}},
        {pf4bit, false, false, {4, 3}, {}},
        {pf8bit, true, false, {8, 3}, {}},
        {pf8bit, true, true, {8, 4}, {}},
        {pf4bit, true, true, {4, 0}, {}},
        {pf15bit, false, false, {8, 2}, {5, 5, 5}},
        {pf16bit, false, false, {8, 2}, {5, 6, 5}},
        {pf15bit, true, false, {8, 6}, {5, 5, 5, 8}},
        {pf16bit, true, false, {8, 6}, {5, 6, 5, 8}},
        {pf16bit, false, true, {8, 0}, {}},
        {pf24bit, true, false, {8, 6}, {}},
        {pf32bit, false, false, {8, 2}, {}},
        {pf32bit, true, true, {8, 4}, {}},
        {pf24bit, false, true, {8, 0}, {}},
    };
    std::mt19937 rng(8);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.format << " mask " << c.mask << " grey " << c.grey);
        TBitmap bmp, mask;
        RandomBitmap(bmp, c.format, 5, 4, rng);
        RandomMask(mask, 5, 4, rng);
        const auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
            if (c.mask) w.AlphaBitmap = &mask;
            w.Grayscale = c.grey;
        }));
        const Bytes& ihdr = Find(chunks, "IHDR")->data;
        EXPECT_EQ(Bytes(ihdr.begin() + 8, ihdr.begin() + 10), c.depthAndType);
        const Chunk* sbit = Find(chunks, "sBIT");
        EXPECT_EQ(sbit ? sbit->data : Bytes{}, c.sbit);
        EXPECT_EQ(Find(chunks, "PLTE") != nullptr, c.format <= pf8bit && !c.grey);
    }
}

TEST(PNGWriteChunks, WidenedFiveAndSixBitChannels) {
    for (TPixelFormat f : {pf15bit, pf16bit}) {
        TBitmap bmp;
        bmp.Allocate(f, 2, 1);
        bmp.ScanLine(0)[0] = 0xFF;
        bmp.ScanLine(0)[1] = f == pf15bit ? 0x7F : 0xFF;
        const Bytes rows = Inflate(Chunks(Encode(bmp)));
        EXPECT_EQ(rows, (Bytes{0, 255, 255, 255, 0, 0, 0})) << "format " << f;
    }
}

TEST(PNGWriteChunks, PaletteAndItsTransparencyAndBackground) {
    TBitmap bmp;
    bmp.Allocate(pf8bit, 4, 2, Palette({0x0000FF, 0x00FF00, 0xFF0000, 0x808080, 0x101010}));
    struct Case {
        TColor transparent, background;
        Bytes trns, bkgd;  // empty: no chunk
    };
    const Case cases[] = {
        {0x1000003, -1, {255, 255, 255, 0}, {}},
        {0x1000000, 0x1000004, {0}, {4}},
        {0x00FF00, 0x7F7F7F, {255, 0}, {3}},  // nearest entries by colour
        {0x1000009, 0x1000005, {}, {}},       // past the palette: nothing
        {-1, -1, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.transparent << " " << c.background);
        const auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
            w.TransparentColor = c.transparent;
            w.BackgroundColor = c.background;
        }));
        EXPECT_EQ(Find(chunks, "PLTE")->data,
                  (Bytes{0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0x80, 0x80, 0x80, 0x10, 0x10, 0x10}));
        const Chunk* t = Find(chunks, "tRNS");
        const Chunk* b = Find(chunks, "bKGD");
        EXPECT_EQ(t ? t->data : Bytes{}, c.trns);
        EXPECT_EQ(b ? b->data : Bytes{}, c.bkgd);
        EXPECT_TRUE(DecodeWithLibpng(Encode(bmp, [&](TKMPNGWriteStream& w) {
                        w.TransparentColor = c.transparent;
                        w.BackgroundColor = c.background;
                    })).ok);
    }
}

TEST(PNGWriteChunks, ColourChunksForTruecolourAndGrey) {
    std::mt19937 rng(2);
    TBitmap rgb, mask, bw, nib;
    RandomBitmap(rgb, pf24bit, 3, 3, rng);
    RandomMask(mask, 3, 3, rng);
    bw.Allocate(pf1bit, 3, 3, Palette({clWhite, clBlack}));
    nib.Allocate(pf4bit, 3, 3, Palette({clBlack, 0x808080, clWhite}));
    struct Case {
        TBitmap* bmp;
        bool grey, withMask;
        TColor colour;
        Bytes trns, bkgd;
    };
    const Case cases[] = {
        {&rgb, false, false, 0x123456, {0, 0x56, 0, 0x34, 0, 0x12}, {0, 0x56, 0, 0x34, 0, 0x12}},
        {&rgb, false, true, 0x123456, {}, {0, 0x56, 0, 0x34, 0, 0x12}},  // a mask excludes tRNS
        {&rgb, true, false, 0x0000FF, {0, 76}, {0, 76}},                 // 255 * 77 / 256
        {&bw, true, false, 0x1000000, {0, 1}, {0, 1}},                   // white entry is the bright bit
        {&bw, true, false, 0x303030, {0, 0}, {0, 0}},
        {&nib, true, false, 0x1000001, {0, 8}, {0, 8}},  // 128 / 16
        {&nib, true, false, 0x1000007, {}, {}},          // no such entry
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "depth " << c.bmp->BitsPerPixel() << " grey " << c.grey << std::hex << " colour " << c.colour);
        auto setup = [&](TKMPNGWriteStream& w) {
            w.Grayscale = c.grey;
            if (c.withMask) w.AlphaBitmap = &mask;
            w.TransparentColor = c.colour;
            w.BackgroundColor = c.colour;
        };
        const auto png = Encode(*c.bmp, setup);
        const auto chunks = Chunks(png);
        const Chunk* t = Find(chunks, "tRNS");
        const Chunk* b = Find(chunks, "bKGD");
        EXPECT_EQ(t ? t->data : Bytes{}, c.trns);
        EXPECT_EQ(b ? b->data : Bytes{}, c.bkgd);
        const Decoded d = DecodeWithLibpng(png);
        EXPECT_TRUE(d.ok) << d.error;
    }
}

TEST(PNGWriteChunks, PhysicalPixelDimensions) {
    struct Case {
        uint8_t unit;
        int32_t x, y;
        Bytes data;  // empty: no chunk
    };
    const Case cases[] = {
        {2, 72, 72, {0, 0, 0x0B, 0x12, 0, 0, 0x0B, 0x12, 1}},  // 2834 per metre
        {2, 96, 72, {0, 0, 0x0E, 0xC3, 0, 0, 0x0B, 0x12, 1}},  // 3779
        {1, 3000, 2000, {0, 0, 0x0B, 0xB8, 0, 0, 0x07, 0xD0, 1}},
        {0, 1, 2, {0, 0, 0, 1, 0, 0, 0, 2, 0}},
        {1, 0, 2000, {}},
        {2, 72, -1, {}},
    };
    TBitmap bmp;
    Solid(bmp, pf24bit, 2, 2, clWhite);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.unit) << " " << c.x << " " << c.y);
        const auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
            w.PhysUnit = c.unit;
            w.PhysX = c.x;
            w.PhysY = c.y;
        }));
        const Chunk* p = Find(chunks, "pHYs");
        EXPECT_EQ(p ? p->data : Bytes{}, c.data);
    }
}

TEST(PNGWriteChunks, ModificationTimeValidity) {
    struct Case {
        TKMPNGTime t;
        bool written;
    };
    const Case cases[] = {
        {{2005, 12, 31, 23, 59, 60}, true}, {{2005, 12, 31, 23, 59, 61}, false}, {{2005, 13, 1, 0, 0, 0}, false},
        {{2005, 0, 1, 0, 0, 0}, false},     {{2005, 1, 0, 0, 0, 0}, false},      {{2005, 1, 32, 0, 0, 0}, false},
        {{2005, 1, 1, 24, 0, 0}, false},    {{2005, 1, 1, 0, 60, 0}, false},     {{0, 1, 1, 0, 0, 0}, false},
        {{1, 1, 1, 0, 0, 0}, true},
    };
    TBitmap bmp;
    Solid(bmp, pf24bit, 1, 1, clWhite);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.t.Year << "-" << int(c.t.Month) << "-" << int(c.t.Day) << " "
                                          << int(c.t.Hour) << ":" << int(c.t.Minute) << ":" << int(c.t.Second));
        const auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
            w.UseCurrentTime = false;
            w.ModificationTime = &c.t;
        }));
        const Chunk* t = Find(chunks, "tIME");
        ASSERT_EQ(t != nullptr, c.written);
        if (t) {
            EXPECT_EQ(t->data, (Bytes{static_cast<uint8_t>(c.t.Year >> 8), static_cast<uint8_t>(c.t.Year), c.t.Month,
                                      c.t.Day, c.t.Hour, c.t.Minute, c.t.Second}));
        }
    }
    // No record and no clock: no chunk.
    EXPECT_EQ(Find(Chunks(Encode(bmp, [](TKMPNGWriteStream& w) { w.UseCurrentTime = false; })), "tIME"), nullptr);
    // The clock gives the current UTC time.
    const std::time_t before = std::time(nullptr);
    const auto chunks = Chunks(Encode(bmp));
    const std::time_t after = std::time(nullptr);
    const Chunk* t = Find(chunks, "tIME");
    ASSERT_NE(t, nullptr);
    std::tm tm{};
    tm.tm_year = ((t->data[0] << 8) | t->data[1]) - 1900;
    tm.tm_mon = t->data[2] - 1;
    tm.tm_mday = t->data[3];
    tm.tm_hour = t->data[4];
    tm.tm_min = t->data[5];
    tm.tm_sec = t->data[6];
    const std::time_t stamped = timegm(&tm);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST(PNGWriteChunks, TextChunks) {
    TBitmap bmp;
    Solid(bmp, pf24bit, 1, 1, clWhite);
    struct Case {
        std::string keyword, text;
        bool written;
    };
    const Case cases[] = {
        {std::string(79, 'k'), "x", true},
        {std::string(80, 'k'), "x", false},
        {"Title", "", false},
        {"Comment", "\x82\xa0\xff bytes", true},  // 8-bit text unchanged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keyword.size());
        TMemoryStream out;
        struct Probe : TKMPNGWriteStream {
            const Case* c = nullptr;
            void Encode() override { WriteText(c->keyword, c->text); }
        } probe;
        probe.c = &c;
        probe.WriteGraphic(bmp, out);
        Bytes all = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        all.insert(all.end(), out.Bytes().begin(), out.Bytes().end());
        const auto chunks = Chunks(all);
        ASSERT_EQ(chunks.size(), c.written ? 1u : 0u);
        if (c.written) {
            std::string want = c.keyword + '\0' + c.text;
            EXPECT_EQ(chunks[0].data, Bytes(want.begin(), want.end()));
        }
    }
    // The comment precedes the software chunk; an empty comment is left out.
    const auto chunks = Chunks(Encode(bmp, [](TKMPNGWriteStream& w) { w.Comment = "(c)2005 Rinto"; }));
    EXPECT_EQ(ChunkTypes(chunks), (std::vector<std::string>{"IHDR", "tIME", "tEXt", "tEXt", "tpNG", "IDAT", "IEND"}));
    const std::string want = std::string("Comment") + '\0' + "(c)2005 Rinto";
    EXPECT_EQ(chunks[2].data, Bytes(want.begin(), want.end()));
}

TEST(PNGWriteChunks, ChromaticitiesAndGifControl) {
    TBitmap bmp;
    Solid(bmp, pf24bit, 1, 1, clWhite);
    const std::array<uint32_t, 8> chrm = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    const std::array<uint32_t, 8> noChrm = {0, 0, 64000, 33000, 30000, 60000, 15000, 6000};
    const std::array<uint8_t, 4> gif = {1, 0, 0, 10}, noGif = {0, 0, 0, 0};
    auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
        w.Chromaticities = &chrm;
        w.GIFControl = &gif;
        w.Gamma = 1.0;
    }));
    EXPECT_EQ(ChunkTypes(chunks),
              (std::vector<std::string>{"IHDR", "tIME", "tEXt", "tpNG", "gIFg", "gAMA", "cHRM", "IDAT", "IEND"}));
    EXPECT_EQ(Find(chunks, "gIFg")->data, (Bytes{1, 0, 0, 10}));
    EXPECT_EQ(Find(chunks, "gAMA")->data, (Bytes{0, 1, 0x86, 0xA0}));
    EXPECT_EQ(Find(chunks, "cHRM")->data.size(), 32u);
    EXPECT_EQ(Bytes(Find(chunks, "cHRM")->data.begin(), Find(chunks, "cHRM")->data.begin() + 4),
              (Bytes{0, 0, 0x7A, 0x26}));
    chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) {
        w.Chromaticities = &noChrm;
        w.GIFControl = &noGif;
    }));
    EXPECT_EQ(Find(chunks, "cHRM"), nullptr);
    EXPECT_EQ(Find(chunks, "gIFg"), nullptr);
}

TEST(PNGWriteChunks, IDATSizeLimits) {
    TKMPNGWriteStream w;
    for (int32_t bad : {255, 100001, 0, -1}) {
        try {
            w.SetIDATSize(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const EKMPNG& e) {
            EXPECT_STREQ(e.what(), "Write PNG Param: Err IDAT Size(min:256  max:100000)");
        }
        EXPECT_EQ(w.IDATSize(), 32768);
    }
    w.SetIDATSize(256);
    EXPECT_EQ(w.IDATSize(), 256);
    w.SetIDATSize(100000);
    EXPECT_EQ(w.IDATSize(), 100000);
}

TEST(PNGWriteChunks, InterlacedPassSets) {
    TBitmap one;
    Solid(one, pf24bit, 1, 1, RGBColor(10, 20, 30));
    EXPECT_EQ(Inflate(Chunks(Encode(one, [](TKMPNGWriteStream& w) { w.Interlaced = 1; }))), (Bytes{0, 10, 20, 30}));

    // 4×4 of 8-bit indices equal to y * 4 + x: passes 1, 4, 5, 6, 7 in Adam7 order.
    std::vector<TPaletteEntry> entries(16);
    TBitmap bmp;
    bmp.Allocate(pf8bit, 4, 4, TPalette(entries));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) bmp.ScanLine(y)[x] = static_cast<uint8_t>(y * 4 + x);
    const Bytes rows = Inflate(Chunks(Encode(bmp, [](TKMPNGWriteStream& w) { w.Interlaced = 1; })));
    EXPECT_EQ(rows, (Bytes{0, 0,                                   // pass 1: (0,0)
                           0, 2,                                   // pass 4: (2,0)
                           0, 8, 10,                               // pass 5: row 2, columns 0 and 2
                           0, 1, 3,  0, 9, 11,                     // pass 6: rows 0 and 2, columns 1 and 3
                           0, 4, 5,  6, 7, 0,  12, 13, 14, 15}));  // pass 7: rows 1 and 3
}

TEST(PNGWriteChunks, GreyOneBitInvertsWhenEntryZeroIsBrighter) {
    std::mt19937 rng(4);
    TBitmap bmp;
    RandomBitmap(bmp, pf1bit, 16, 3, rng);
    bmp.SetPalette(Palette({clWhite, clBlack}));
    const Bytes rows = Inflate(Chunks(Encode(bmp, [](TKMPNGWriteStream& w) { w.Grayscale = true; })));
    ASSERT_EQ(rows.size(), 9u);
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(rows[static_cast<size_t>(3 * y)], 0);
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(rows[static_cast<size_t>(3 * y + 1 + i)], static_cast<uint8_t>(~bmp.ScanLine(y)[i]));
    }
}

TEST(PNGWriteChunks, FilterTypeBytesPerMode) {
    std::mt19937 rng(6);
    TBitmap bmp;
    RandomBitmap(bmp, pf24bit, 7, 5, rng);
    for (int mode : {1, 2, 3, 4, 5, 6, 200}) {
        SCOPED_TRACE(mode);
        const Bytes rows = Inflate(Chunks(Encode(bmp, [&](TKMPNGWriteStream& w) { w.Filter = mode; })));
        ASSERT_EQ(rows.size(), 5u * 22);
        const int type = mode >= 2 && mode <= 5 ? mode - 1 : 0;
        for (int y = 0; y < 5; ++y) EXPECT_EQ(rows[static_cast<size_t>(22 * y)], type);
        // The first row has an all-zero prior row: Up leaves it as it is.
        if (mode == 1 || mode == 3 || mode > 5) {
            for (int x = 0; x < 7; ++x) EXPECT_EQ(rows[static_cast<size_t>(1 + 3 * x)], bmp.ScanLine(0)[3 * x + 2]);
        }
    }
    // Adaptive on a 4-bit source keeps every row unfiltered.
    TBitmap nib;
    RandomBitmap(nib, pf4bit, 64, 6, rng);
    const Bytes rows = Inflate(Chunks(Encode(nib, [](TKMPNGWriteStream& w) { w.Filter = 0; })));
    for (int y = 0; y < 6; ++y) EXPECT_EQ(rows[static_cast<size_t>(33 * y)], 0);
}

TEST(PNGWriteChunks, EmptyOrMismatchedInputs) {
    TBitmap empty;
    TMemoryStream out;
    TKMPNGWriteStream w;
    EXPECT_THROW(w.WriteGraphic(empty, out), EKMPNG);
    EXPECT_EQ(out.Size(), 0);

    // A mask of another size, another format, or the picture itself is ignored.
    std::mt19937 rng(1);
    TBitmap bmp, small, wide;
    RandomBitmap(bmp, pf24bit, 4, 4, rng);
    RandomMask(small, 3, 4, rng);
    RandomBitmap(wide, pf24bit, 4, 4, rng);
    for (const TBitmap* mask : {&small, &wide, &bmp}) {
        const auto chunks = Chunks(Encode(bmp, [&](TKMPNGWriteStream& s) { s.AlphaBitmap = mask; }));
        EXPECT_EQ(Find(chunks, "IHDR")->data[9], 2);
    }
}

TEST(PNGWriteChunks, PaletteImagesWithoutAFittingPalette) {
    // No entries: a grey ramp keeps the file readable.
    TBitmap bare;
    bare.Allocate(pf4bit, 3, 2);
    auto chunks = Chunks(Encode(bare));
    ASSERT_NE(Find(chunks, "PLTE"), nullptr);
    EXPECT_EQ(Find(chunks, "PLTE")->data.size(), 48u);
    EXPECT_EQ(Find(chunks, "PLTE")->data[47], 255);
    // More entries than a 1-bit index reaches are not written.
    std::vector<TPaletteEntry> many(256);
    TBitmap bw;
    bw.Allocate(pf1bit, 3, 2, TPalette(many));
    chunks = Chunks(Encode(bw));
    EXPECT_EQ(Find(chunks, "PLTE")->data.size(), 6u);
    EXPECT_TRUE(DecodeWithLibpng(Encode(bw)).ok);
}
