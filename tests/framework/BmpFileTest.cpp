// The BMP reader and writer on synthetic files: round trips through the writer, hand-built
// headers of every kind, RLE, and damaged files that must be refused without harm.
#include <gtest/gtest.h>

#include <cstring>

#include "BmpFile.h"
#include "Graphics.h"

// Cases name only the fields that matter to them.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr uint32_t kRGB = 0, kRLE8 = 1, kRLE4 = 2, kBITFIELDS = 3;

void Put(std::vector<uint8_t>& v, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A bitmap file assembled field by field, so that tests can build what our writer never writes.
struct Layout {
    uint32_t headerSize = 40;
    int32_t width = 0, height = 0;
    int bpp = 8;
    uint32_t compression = kRGB;
    std::vector<uint32_t> palette;  // 0xRRGGBB
    std::vector<uint32_t> masks;    // red, green, blue[, alpha]
    std::vector<uint8_t> pixels;
    uint32_t clrUsed = 0;
    int planes = 1;
    int64_t offBitsDelta = 0;  // added to the computed pixel offset
};

std::vector<uint8_t> Build(const Layout& s) {
    std::vector<uint8_t> h;
    const bool core = s.headerSize == 12;
    Put(h, s.headerSize, 4);
    if (core) {
        Put(h, static_cast<uint32_t>(s.width), 2);
        Put(h, static_cast<uint32_t>(s.height), 2);
        Put(h, static_cast<uint32_t>(s.planes), 2);
        Put(h, static_cast<uint32_t>(s.bpp), 2);
    } else {
        Put(h, static_cast<uint32_t>(s.width), 4);
        Put(h, static_cast<uint32_t>(s.height), 4);
        Put(h, static_cast<uint32_t>(s.planes), 2);
        Put(h, static_cast<uint32_t>(s.bpp), 2);
        Put(h, s.compression, 4);
        Put(h, static_cast<uint32_t>(s.pixels.size()), 4);
        Put(h, 2835, 4);
        Put(h, 2835, 4);
        Put(h, s.clrUsed, 4);
        Put(h, 0, 4);
        for (size_t i = 0; i < 4 && s.headerSize > 40; ++i) Put(h, i < s.masks.size() ? s.masks[i] : 0, 4);
        h.resize(s.headerSize, 0);
        if (s.headerSize == 40 && s.compression == kBITFIELDS)
            for (size_t i = 0; i < 3; ++i) Put(h, i < s.masks.size() ? s.masks[i] : 0, 4);
    }
    for (uint32_t c : s.palette) {
        h.push_back(static_cast<uint8_t>(c));
        h.push_back(static_cast<uint8_t>(c >> 8));
        h.push_back(static_cast<uint8_t>(c >> 16));
        if (!core) h.push_back(0);
    }
    std::vector<uint8_t> f = {'B', 'M'};
    Put(f, static_cast<uint32_t>(14 + h.size() + s.pixels.size()), 4);
    Put(f, 0, 4);
    Put(f, static_cast<uint32_t>(14 + static_cast<int64_t>(h.size()) + s.offBitsDelta), 4);
    f.insert(f.end(), h.begin(), h.end());
    f.insert(f.end(), s.pixels.begin(), s.pixels.end());
    return f;
}

void Load(const std::vector<uint8_t>& bytes, TBitmap& bmp) {
    TMemoryStream stream(bytes);
    ReadBmp(stream, bmp);
}

std::vector<uint8_t> Save(const TBitmap& bmp) {
    TMemoryStream stream;
    WriteBmp(stream, bmp);
    return stream.Bytes();
}

// Pixels top row first.
std::vector<TColor> Pixels(const TBitmap& bmp) {
    std::vector<TColor> v;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) v.push_back(bmp.GetPixel(x, y));
    return v;
}

std::vector<uint32_t> Grey16() {
    std::vector<uint32_t> p;
    for (uint32_t i = 0; i < 16; ++i) p.push_back(i * 0x111111);
    return p;
}

constexpr TColor Rgb(uint32_t rrggbb) {
    return RGBColor(static_cast<uint8_t>(rrggbb >> 16), static_cast<uint8_t>(rrggbb >> 8),
                    static_cast<uint8_t>(rrggbb));
}

TEST(BmpFile, WriterRoundTripKeepsFormatPaletteAndPixels) {
    const TPixelFormat formats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};
    for (TPixelFormat format : formats) {
        for (int width : {1, 3, 5, 33}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " width " << width);
            TBitmap src;
            src.Allocate(format, width, 3);
            if (format <= pf8bit) {
                std::vector<TPaletteEntry> e;
                for (int i = 0; i < (1 << StorageBits(format)); ++i)
                    e.push_back(
                        {static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 3), 0});
                src.SetPalette(TPalette(e));
            }
            // Deterministic bytes, masked per format so that each pixel is a valid value.
            for (size_t i = 0; i < src.BitsSize(); ++i) src.Bits()[i] = static_cast<uint8_t>(i * 37 + 11);
            if (format == pf15bit)
                for (size_t i = 1; i < src.BitsSize(); i += 2) src.Bits()[i] &= 0x7F;

            TBitmap back;
            Load(Save(src), back);
            EXPECT_EQ(back.PixelFormat(), format);
            EXPECT_EQ(back.Width(), width);
            EXPECT_EQ(back.Height(), 3);
            EXPECT_TRUE(back.Palette() == src.Palette());
            EXPECT_EQ(Pixels(back), Pixels(src));
            if (format != pf15bit && format != pf16bit && format != pf24bit) continue;
            // Row padding is not picture; only compare the pixel bytes.
            const size_t rowBytes = static_cast<size_t>(width) * StorageBits(format) / 8;
            for (int y = 0; y < 3; ++y) EXPECT_EQ(0, std::memcmp(back.ScanLine(y), src.ScanLine(y), rowBytes));
        }
    }
}

struct HandCase {
    std::string name;
    Layout layout;
    TPixelFormat format;
    std::vector<TColor> pixels;  // top row first
};

std::vector<HandCase> HandCases() {
    std::vector<HandCase> cases;
    // 2 x 2, rows stored bottom-up: bottom row first.
    cases.push_back({"core header, 1 bit, RGB triples",
                     {.headerSize = 12,
                      .width = 2,
                      .height = 2,
                      .bpp = 1,
                      .palette = {0x102030, 0xA0B0C0},
                      .pixels = {0x40, 0, 0, 0, 0x80, 0, 0, 0}},
                     pf1bit,
                     {Rgb(0xA0B0C0), Rgb(0x102030), Rgb(0x102030), Rgb(0xA0B0C0)}});
    for (uint32_t size : {40u, 52u, 56u, 108u, 124u}) {
        cases.push_back({"8 bit, header " + std::to_string(size),
                         {.headerSize = size,
                          .width = 3,
                          .height = 2,
                          .bpp = 8,
                          .palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF},
                          .pixels = {1, 2, 3, 0, 3, 2, 1, 0},
                          .clrUsed = 4},
                         pf8bit,
                         {Rgb(0x0000FF), Rgb(0x00FF00), Rgb(0xFF0000), Rgb(0xFF0000), Rgb(0x00FF00), Rgb(0x0000FF)}});
    }
    cases.push_back({"4 bit, short palette",
                     {.width = 3,
                      .height = 1,
                      .bpp = 4,
                      .palette = {0x111111, 0x222222, 0x333333},
                      .pixels = {0x21, 0x00, 0, 0},
                      .clrUsed = 3},
                     pf4bit,
                     {Rgb(0x333333), Rgb(0x222222), Rgb(0x111111)}});
    cases.push_back({"top-down 24 bit",
                     {.width = 1, .height = -2, .bpp = 24, .pixels = {0x03, 0x02, 0x01, 0, 0x06, 0x05, 0x04, 0}},
                     pf24bit,
                     {Rgb(0x010203), Rgb(0x040506)}});
    cases.push_back({"16 bit BI_RGB is 5-5-5",
                     {.width = 2, .height = 1, .bpp = 16, .pixels = {0x00, 0x7C, 0x1F, 0x00}},
                     pf15bit,
                     {Rgb(0xFF0000), Rgb(0x0000FF)}});
    cases.push_back({"16 bit bitfields 5-6-5",
                     {.width = 2,
                      .height = 1,
                      .bpp = 16,
                      .compression = kBITFIELDS,
                      .masks = {0xF800, 0x07E0, 0x001F},
                      .pixels = {0xE0, 0x07, 0x00, 0xF8}},
                     pf16bit,
                     {Rgb(0x00FF00), Rgb(0xFF0000)}});
    cases.push_back({"16 bit bitfields 4-4-4, widened by replication",
                     {.width = 2,
                      .height = 1,
                      .bpp = 16,
                      .compression = kBITFIELDS,
                      .masks = {0x0F00, 0x00F0, 0x000F},
                      .pixels = {0x8F, 0x0F, 0x00, 0x01}},
                     pf24bit,
                     {Rgb(0xFF88FF), Rgb(0x110000)}});
    cases.push_back({"16 bit bitfields 1-5-5-5 stay 15 bit",
                     {.headerSize = 124,
                      .width = 1,
                      .height = 1,
                      .bpp = 16,
                      .compression = kBITFIELDS,
                      .masks = {0x7C00, 0x03E0, 0x001F, 0x8000},
                      .pixels = {0xE0, 0x83, 0, 0}},
                     pf15bit,
                     {Rgb(0x00FF00)}});
    cases.push_back({"16 bit bitfields 4-4-4-4 with alpha become 32 bit",
                     {.headerSize = 56,
                      .width = 1,
                      .height = 1,
                      .bpp = 16,
                      .compression = kBITFIELDS,
                      .masks = {0x0F00, 0x00F0, 0x000F, 0xF000},
                      .pixels = {0x0F, 0x81, 0, 0}},
                     pf32bit,
                     {Rgb(0x1100FF)}});
    cases.push_back({"32 bit BI_RGB",
                     {.width = 1, .height = 1, .bpp = 32, .pixels = {0x30, 0x20, 0x10, 0x00}},
                     pf32bit,
                     {Rgb(0x102030)}});
    cases.push_back({"32 bit bitfields x-b-g-r",
                     {.width = 1,
                      .height = 1,
                      .bpp = 32,
                      .compression = kBITFIELDS,
                      .masks = {0x000000FF, 0x0000FF00, 0x00FF0000},
                      .pixels = {0x10, 0x20, 0x30, 0x00}},
                     pf32bit,
                     {Rgb(0x102030)}});
    cases.push_back({"32 bit bitfields 10-10-10 keep the top 8 bits",
                     {.headerSize = 56,
                      .width = 1,
                      .height = 1,
                      .bpp = 32,
                      .compression = kBITFIELDS,
                      .masks = {0x3FF00000, 0x000FFC00, 0x000003FF},
                      .pixels = {0xFF, 0x03, 0x00, 0x20}},
                     pf32bit,
                     {Rgb(0x8000FF)}});
    return cases;
}

TEST(BmpFile, HandBuiltHeadersDecode) {
    for (const auto& c : HandCases()) {
        SCOPED_TRACE(c.name);
        TBitmap bmp;
        ASSERT_NO_THROW(Load(Build(c.layout), bmp));
        EXPECT_EQ(bmp.PixelFormat(), c.format);
        EXPECT_EQ(Pixels(bmp), c.pixels);
    }
}

TEST(BmpFile, CoreHeaderSizesAreUnsigned) {
    // The 16-bit sizes of the oldest header have no sign: 40000 rows are 40000 rows, stored
    // bottom-up, and 65535 is as wide as it says.
    struct Case {
        int width, height;
    };
    for (const Case c : {Case{2, 40000}, Case{0xFFFF, 1}}) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const size_t stride = (static_cast<size_t>(c.width) + 31) / 32 * 4;
        std::vector<uint8_t> pixels(stride * static_cast<size_t>(c.height), 0);
        pixels[0] = 0x80;  // the first stored pixel: the bottom row's leftmost
        TBitmap bmp;
        ASSERT_NO_THROW(Load(Build({.headerSize = 12,
                                    .width = c.width,
                                    .height = c.height,
                                    .bpp = 1,
                                    .palette = {0x000000, 0xFFFFFF},
                                    .pixels = pixels}),
                             bmp));
        EXPECT_EQ(bmp.Width(), c.width);
        EXPECT_EQ(bmp.Height(), c.height);
        EXPECT_EQ(bmp.GetPixel(0, c.height - 1), Rgb(0xFFFFFF));
        EXPECT_EQ(bmp.GetPixel(c.width - 1, 0), Rgb(0x000000));
    }
}

TEST(BmpFile, ReadsFromTheStreamsCurrentPosition) {
    auto file = Build(HandCases()[0].layout);
    std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7};
    bytes.insert(bytes.end(), file.begin(), file.end());
    TMemoryStream stream(bytes);
    stream.SetPosition(7);
    TBitmap bmp;
    ReadBmp(stream, bmp);
    EXPECT_EQ(Pixels(bmp), HandCases()[0].pixels);
}

// RLE8, 6 x 3: a run and a padded literal on the bottom row, then a delta that skips the
// middle row, a run on the top row and an early end of bitmap.
Layout Rle8Layout(std::vector<uint8_t> data) {
    return {.width = 6,
            .height = 3,
            .bpp = 8,
            .compression = kRLE8,
            .palette = {0x000000, 0x111111, 0x222222, 0x333333},
            .pixels = std::move(data),
            .clrUsed = 4};
}
const std::vector<uint8_t> kRle8 = {3, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 2, 1, 2, 3, 0, 1};

Layout Rle4Layout(std::vector<uint8_t> data) {
    return {.width = 5, .height = 2, .bpp = 4, .compression = kRLE4, .palette = Grey16(), .pixels = std::move(data)};
}
const std::vector<uint8_t> kRle4 = {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 2, 0x67, 0, 1};

std::vector<int> Indexes(const TBitmap& bmp) {
    std::vector<int> v;
    for (TColor c : Pixels(bmp)) v.push_back(GetRValue(c) / 0x11);
    return v;
}

TEST(BmpFile, RunLengthEncodedPixels) {
    TBitmap bmp;
    Load(Build(Rle8Layout(kRle8)), bmp);
    EXPECT_EQ(bmp.PixelFormat(), pf8bit);
    EXPECT_EQ(Indexes(bmp), (std::vector<int>{0, 0, 3, 3, 0, 0,  //
                                              0, 0, 0, 0, 0, 0,  //
                                              1, 1, 1, 2, 3, 1}));
    Load(Build(Rle4Layout(kRle4)), bmp);
    EXPECT_EQ(bmp.PixelFormat(), pf4bit);
    EXPECT_EQ(Indexes(bmp), (std::vector<int>{3, 4, 5, 6, 7,  //
                                              1, 2, 1, 2, 1}));
}

struct BadCase {
    const char* name;
    std::vector<uint8_t> bytes;
};

std::vector<BadCase> BadCases() {
    auto with = [](Layout s, auto change) {
        change(s);
        return Build(s);
    };
    const Layout good = {.width = 4,
                         .height = 2,
                         .bpp = 8,
                         .palette = {0, 0xFFFFFF},
                         .pixels = std::vector<uint8_t>(8, 1),
                         .clrUsed = 2};
    const Layout rgb16 = {.width = 2, .height = 1, .bpp = 16, .compression = kBITFIELDS, .pixels = {0, 0, 0, 0}};
    std::vector<BadCase> v;
    v.push_back({"empty", {}});
    v.push_back({"ten bytes", {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0}});
    v.push_back({"bad magic", with(good, [](Layout&) {})});
    v.back().bytes[0] = 'P';
    v.push_back({"unknown header size", with(good, [](Layout& s) { s.headerSize = 66; })});
    v.push_back({"zero width", with(good, [](Layout& s) { s.width = 0; })});
    v.push_back({"negative width", with(good, [](Layout& s) { s.width = -4; })});
    v.push_back({"zero height", with(good, [](Layout& s) { s.height = 0; })});
    v.push_back({"two planes", with(good, [](Layout& s) { s.planes = 2; })});
    v.push_back({"2 bits per pixel", with(good, [](Layout& s) { s.bpp = 2; })});
    v.push_back({"0 bits per pixel", with(good, [](Layout& s) { s.bpp = 0; })});
    v.push_back({"64 bits per pixel", with(good, [](Layout& s) { s.bpp = 64; })});
    v.push_back({"embedded JPEG", with(good, [](Layout& s) { s.compression = 4; })});
    v.push_back({"RLE8 at 4 bits", with(good, [](Layout& s) { s.compression = kRLE8, s.bpp = 4; })});
    v.push_back({"bitfields at 24 bits", with(good, [](Layout& s) { s.compression = kBITFIELDS, s.bpp = 24; })});
    v.push_back({"overlapping masks", with(rgb16, [](Layout& s) { s.masks = {0xFF00, 0x0FF0, 0x000F}; })});
    v.push_back({"gap in a mask", with(rgb16, [](Layout& s) { s.masks = {0xF100, 0x00F0, 0x000F}; })});
    v.push_back({"empty blue mask", with(rgb16, [](Layout& s) { s.masks = {0xFF00, 0x00FF, 0}; })});
    v.push_back({"mask outside 16 bits", with(rgb16, [](Layout& s) { s.masks = {0xF0000, 0x00F0, 0x000F}; })});
    v.push_back({"300 palette colours", with(good, [](Layout& s) { s.clrUsed = 300; })});
    v.push_back({"palette index past a short palette", with(good, [](Layout& s) { s.pixels[3] = 5; })});
    v.push_back({"pixel offset past the end", with(good, [](Layout& s) { s.offBitsDelta = 100; })});
    v.push_back({"pixel offset inside the header", with(good, [](Layout& s) { s.offBitsDelta = -30; })});
    v.push_back({"pixels truncated", with(good, [](Layout& s) { s.pixels.resize(5); })});
    v.push_back({"huge picture in a small file", with(good, [](Layout& s) { s.width = 10000, s.height = 10000; })});
    v.push_back({"more pixels than allowed", with(good, [](Layout& s) { s.width = 1 << 20, s.height = 1 << 10; })});
    v.push_back({"wider than allowed", with(good, [](Layout& s) { s.width = (1 << 20) + 1; })});
    v.push_back({"most negative height", with(good, [](Layout& s) { s.height = INT32_MIN; })});
    v.push_back({"RLE picture too large for its data", Build([] {
                     auto s = Rle8Layout(kRle8);
                     s.width = 1 << 14, s.height = 1 << 14;
                     return s;
                 }())});
    v.push_back({"RLE top-down", Build([] {
                     auto s = Rle8Layout(kRle8);
                     s.height = -3;
                     return s;
                 }())});
    v.push_back({"RLE run past the row", Build(Rle8Layout({7, 1, 0, 1}))});
    v.push_back({"RLE literal past the row", Build(Rle8Layout({4, 1, 0, 3, 1, 2, 3, 0, 0, 1}))});
    v.push_back({"RLE delta past the picture", Build(Rle8Layout({0, 2, 7, 0, 0, 1}))});
    v.push_back({"RLE rows past the picture", Build(Rle8Layout({0, 0, 0, 0, 0, 0, 1, 1, 0, 1}))});
    v.push_back({"RLE without end of bitmap", Build(Rle8Layout({3, 1, 0, 0}))});
    v.push_back({"RLE literal truncated", Build(Rle8Layout({0, 5, 1, 2}))});
    v.push_back({"RLE4 run past the row", Build(Rle4Layout({6, 0x11, 0, 1}))});
    v.push_back({"RLE4 literal past the row", Build(Rle4Layout({0, 7, 0x11, 0x11, 0x11, 0x10, 0, 1}))});
    v.push_back({"RLE index past the palette", Build(Rle8Layout({1, 9, 0, 1}))});
    return v;
}

TEST(BmpFile, DamagedFilesAreRefusedAndLeaveTheBitmapEmpty) {
    for (const auto& c : BadCases()) {
        SCOPED_TRACE(c.name);
        TBitmap bmp;
        bmp.Allocate(pf24bit, 3, 3);
        EXPECT_THROW(Load(c.bytes, bmp), EInvalidGraphic);
        EXPECT_TRUE(bmp.Empty());
    }
}

TEST(BmpFile, EveryTruncationIsRefusedExceptMissingFinalPadding) {
    // 8 bit 5 x 3: rows of 8 bytes, the last one holding 5 bytes of pixels and 3 of padding.
    Layout plain = {
        .width = 5, .height = 3, .bpp = 8, .palette = Grey16(), .pixels = std::vector<uint8_t>(24, 4), .clrUsed = 16};
    for (const auto& bytes : {Build(plain), Build(Rle8Layout(kRle8)), Build(Rle4Layout(kRle4))}) {
        const bool rle = bytes[30] != 0;
        for (size_t len = 0; len < bytes.size(); ++len) {
            SCOPED_TRACE(testing::Message() << (rle ? "RLE" : "plain") << " cut at " << len);
            TBitmap bmp;
            const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(len));
            if (!rle && len >= bytes.size() - 3) {
                EXPECT_NO_THROW(Load(cut, bmp));
            } else {
                EXPECT_THROW(Load(cut, bmp), EInvalidGraphic);
            }
        }
    }
}

TEST(BmpFile, FlippedBytesNeverCrash) {
    // Every byte of each file inverted in turn: the reader must refuse or give a sane picture.
    const std::vector<std::vector<uint8_t>> files = {Build(Rle8Layout(kRle8)), Build(Rle4Layout(kRle4)),
                                                     Build(HandCases()[0].layout), Build(HandCases().back().layout),
                                                     Build(HandCases()[5].layout)};
    for (const auto& file : files) {
        for (size_t i = 0; i < file.size(); ++i) {
            for (uint8_t flip : {0xFF, 0x80, 0x01}) {
                auto bytes = file;
                bytes[i] ^= flip;
                TBitmap bmp;
                try {
                    Load(bytes, bmp);
                    EXPECT_GT(bmp.Width(), 0);
                    EXPECT_LE(int64_t{bmp.Width()} * bmp.Height(), TBitmap::kMaxPixels);
                } catch (const EInvalidGraphic&) {}
            }
        }
    }
}

}  // namespace
