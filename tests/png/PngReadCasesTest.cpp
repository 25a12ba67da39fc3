// The reader's behaviour on hand-built files: header and depth handling, transparency,
// interlacing, ancillary values, truncation and the guards against hostile input.
#include <cstring>

#include <gtest/gtest.h>

#include "Classes.h"
#include "KMPNG.h"
#include "KMPNGLoad.h"
#include "KMPNGReadStream.h"
#include "Picture.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace pngread;

namespace {

struct ExtraChunk {
    const char* type;
    Bytes data;
};

// Signature, IHDR, chunks before the image data, one IDAT of the compressed raw rows, chunks
// after it, IEND.
Bytes BuildPng(const Bytes& ihdr, const Bytes& raw, const std::vector<ExtraChunk>& before = {},
               const std::vector<ExtraChunk>& after = {}) {
    Bytes png = Signature();
    AppendChunk(png, "IHDR", ihdr);
    for (const auto& c : before) AppendChunk(png, c.type, c.data);
    AppendChunk(png, "IDAT", Zlib(raw));
    for (const auto& c : after) AppendChunk(png, c.type, c.data);
    AppendChunk(png, "IEND", {});
    return png;
}

std::string DecodeError(const Bytes& png) {
    Decoded d;
    try {
        DecodeOurs(png, d);
    } catch (const EKMPNG& e) {
        return e.what();
    }
    return "";
}

// A 2 × 2 24-bit picture with known pixels, to see whether a failed load touched it.
void FillMarker(TBitmap& b) {
    b.Allocate(pf24bit, 2, 2);
    b.SetPixel(0, 0, RGBColor(1, 2, 3));
    b.SetPixel(1, 1, RGBColor(200, 100, 50));
}

Bytes Text(const std::string& keyword, const std::string& text) {
    Bytes b(keyword.begin(), keyword.end());
    b.push_back(0);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

}  // namespace

TEST(PngReadCases, NotAPngFailsBeforeTheBitmapIsTouched) {
    TKMPNG png;
    FillMarker(png.Bitmap);
    const Bytes bmpLike = {'B', 'M', 0x46, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0};
    TMemoryStream stream{Bytes(bmpLike)};
    int changes = 0;
    png.Bitmap.OnChange = [&](TObject*) { ++changes; };
    try {
        png.LoadFromStream(stream);
        FAIL() << "no exception";
    } catch (const EKMPNG& e) {
        EXPECT_STREQ(e.what(), "PNG LoadStream: Not PNG Format");
    }
    EXPECT_EQ(png.Bitmap.Width(), 2);
    EXPECT_EQ(png.Bitmap.GetPixel(0, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(png.Bitmap.GetPixel(1, 1), RGBColor(200, 100, 50));
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(png.Bitmap.OnChange) << "the change handler is given back";
}

TEST(PngReadCases, Grey16BecomesEightBitsWithAGreyRampOfTheHighBytes) {
    // Samples 0x80FF and 0x0001, 0xFFFF: high bytes 0x80, 0x00, 0xFF (cut, not rounded).
    const Bytes raw = {0, 0x80, 0xFF, 0x00, 0x01, 0xFF, 0xFF};
    Decoded d;
    DecodeOurs(BuildPng(Ihdr(3, 1, 16, 0), raw), d);
    ASSERT_EQ(d.bitmap.PixelFormat(), pf8bit);
    ASSERT_EQ(d.bitmap.Palette().Count(), 256);
    for (int i = 0; i < 256; i += 51) EXPECT_EQ(d.bitmap.Palette()[i].peGreen, i);
    const uint8_t* row = d.bitmap.ScanLine(0);
    EXPECT_EQ(row[0], 0x80);
    EXPECT_EQ(row[1], 0x00);
    EXPECT_EQ(row[2], 0xFF);
    EXPECT_TRUE(d.greyscale);
    EXPECT_EQ(d.sourceBits, 16);
}

TEST(PngReadCases, DepthAndColourTypeDecideTheBitmapFormat) {
    struct Case {
        int depth, colorType;
        TPixelFormat format;
        int paletteCount, sourceBits;
        bool alpha;
    };
    const Case cases[] = {
        {1, 0, pf1bit, 2, 1, false},   {2, 0, pf4bit, 4, 2, false},    {4, 0, pf4bit, 16, 4, false},
        {8, 0, pf8bit, 256, 8, false}, {8, 4, pf8bit, 256, 8, true},   {16, 4, pf8bit, 256, 16, true},
        {8, 2, pf24bit, 0, 24, false}, {16, 2, pf24bit, 0, 48, false}, {8, 6, pf24bit, 0, 24, true},
        {16, 6, pf24bit, 0, 48, true}, {1, 3, pf1bit, 2, 1, false},    {2, 3, pf4bit, 2, 2, false},
        {4, 3, pf4bit, 2, 4, false},   {8, 3, pf8bit, 2, 8, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + " type " + std::to_string(c.colorType));
        const int channels = c.colorType == 2 ? 3 : c.colorType == 4 ? 2 : c.colorType == 6 ? 4 : 1;
        const size_t rowBytes = (5u * channels * c.depth + 7) / 8;
        Bytes raw;
        for (int y = 0; y < 3; ++y) {
            raw.push_back(0);
            raw.insert(raw.end(), rowBytes, 0);
        }
        std::vector<ExtraChunk> before;
        if (c.colorType == 3) before.push_back({"PLTE", {10, 20, 30, 40, 50, 60}});
        Decoded d;
        DecodeOurs(BuildPng(Ihdr(5, 3, c.depth, c.colorType), raw, before), d);
        EXPECT_EQ(d.bitmap.PixelFormat(), c.format);
        EXPECT_EQ(d.bitmap.Palette().Count(), c.paletteCount);
        EXPECT_EQ(d.sourceBits, c.sourceBits);
        EXPECT_EQ(d.hasAlpha, c.alpha);
        EXPECT_EQ(d.alpha.Empty(), !c.alpha);
    }
}

TEST(PngReadCases, HeaderAndDepthErrorsCarryTheirTexts) {
    struct Case {
        Bytes ihdr;
        const char* message;
    };
    auto withBytes = [](int depth, int type, int compression, int filter, int interlace) {
        Bytes b = Ihdr(4, 4, depth, type);
        b[10] = static_cast<uint8_t>(compression);
        b[11] = static_cast<uint8_t>(filter);
        b[12] = static_cast<uint8_t>(interlace);
        return b;
    };
    const Case cases[] = {
        {Ihdr(4, 4, 8, 1), "Read Header(PNG): Error ColorType"},
        {Ihdr(4, 4, 8, 5), "Read Header(PNG): Error ColorType"},
        {Ihdr(4, 4, 8, 15), "Read Header(PNG): Error ColorType"},
        {withBytes(8, 0, 2, 0, 0), "Read Header(PNG): not support Compression"},
        {withBytes(8, 0, 0, 2, 0), "Read Header(PNG): not supprt Filter"},
        {withBytes(8, 0, 0, 0, 2), "Read Header(PNG): not interlace type"},
        {Ihdr(4, 4, 3, 0), "Read Header(PNG): Error Bitdepth"},
        {Ihdr(4, 4, 4, 4), "Read Header(PNG): not Use AlphaChannel"},
        {Ihdr(4, 4, 3, 4), "Read Header(PNG): Error Bitdepth"},
        {Ihdr(4, 4, 4, 2), "Read Header(PNG): Error BitDepth"},
        {Ihdr(4, 4, 16, 3), "Read Header(PNG): Error BitDepth"},
        {Ihdr(0, 4, 8, 0), "Read Header(PNG): Error Image Size"},
        {Ihdr(4, 0, 8, 0), "Read Header(PNG): Error Image Size"},
        {Ihdr(0x7FFFFFFF, 1, 8, 0), "Read Header(PNG): Error Image Size"},
        {Ihdr(0xFFFFFFFF, 0xFFFFFFFF, 8, 0), "Read Header(PNG): Error Image Size"},
        {Ihdr(1 << 20, 1 << 20, 1, 0), "Read Header(PNG): Error Image Size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(DecodeError(BuildPng(c.ihdr, Bytes(17, 0))), c.message);
    }
    // A second header.
    Bytes png = Signature();
    AppendChunk(png, "IHDR", Ihdr(1, 1, 8, 0));
    AppendChunk(png, "IHDR", Ihdr(1, 1, 8, 0));
    EXPECT_EQ(DecodeError(png), "Read Header(PNG): appear two IHDR");
    // A bad depth without image data is never looked at: the missing data is the fault.
    png = Signature();
    AppendChunk(png, "IHDR", Ihdr(4, 4, 3, 2));
    AppendChunk(png, "IEND", {});
    EXPECT_EQ(DecodeError(png), "PNG LoadStream: no IDAT chunk");
}

TEST(PngReadCases, PaletteTransparencyIsOneColourOrAnAlphaMask) {
    struct Case {
        Bytes trns;
        bool transparentColour;  // else an alpha mask
        int index;
    };
    const Case cases[] = {
        {{255, 0, 255}, true, 1},    {{0}, true, 0},     {{255, 255, 255, 0}, true, 3},
        {{255, 128, 255}, false, 0}, {{0, 0}, false, 0}, {{255, 255}, false, 0},
    };
    const Bytes palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    // One row of indices 0, 1, 2, 3 at 8 bits.
    const Bytes raw = {0, 0, 1, 2, 3};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.trns));
        Decoded d;
        DecodeOurs(BuildPng(Ihdr(4, 1, 8, 3), raw, {{"PLTE", palette}, {"tRNS", c.trns}}), d);
        EXPECT_EQ(d.bitmap.Transparent(), c.transparentColour);
        EXPECT_EQ(d.hasAlpha, !c.transparentColour);
        if (c.transparentColour) {
            EXPECT_EQ(d.transparent, 0x1000000 | c.index);
            EXPECT_EQ(d.bitmap.TransparentColor(), 0x1000000 | c.index);
            EXPECT_TRUE(d.alpha.Empty());
        } else {
            EXPECT_EQ(d.transparent, -1);
            ASSERT_EQ(d.alpha.PixelFormat(), pf8bit);
            for (int x = 0; x < 4; ++x) {
                const int a = x < static_cast<int>(c.trns.size()) ? c.trns[static_cast<size_t>(x)] : 255;
                EXPECT_EQ(d.alpha.ScanLine(0)[x], 255 - a) << "x " << x;
            }
        }
    }
}

TEST(PngReadCases, RgbaGivesTwentyFourBitsAndTheComplementedAlpha) {
    const Bytes raw = {0, 10, 20, 30, 255, 40, 50, 60, 0, 70, 80, 90, 128};
    Decoded d;
    DecodeOurs(BuildPng(Ihdr(3, 1, 8, 6), raw), d);
    ASSERT_EQ(d.bitmap.PixelFormat(), pf24bit);
    const uint8_t* row = d.bitmap.ScanLine(0);
    EXPECT_EQ(Bytes(row, row + 9), (Bytes{30, 20, 10, 60, 50, 40, 90, 80, 70}));
    ASSERT_TRUE(d.hasAlpha);
    const uint8_t* alpha = d.alpha.ScanLine(0);
    EXPECT_EQ(Bytes(alpha, alpha + 3), (Bytes{0, 255, 127}));
    EXPECT_EQ(d.alpha.Palette().Count(), 256);
}

TEST(PngReadCases, Adam7SkipsThePassesASmallImageDoesNotHave) {
    // 1 × 1: pass 0 alone. The compressed data hold nothing else; a reader that wanted another
    // pass would run out of data and fail.
    Decoded one;
    DecodeOurs(BuildPng(Ihdr(1, 1, 8, 0, 1), {0, 77}), one);
    EXPECT_TRUE(one.interlaced);
    EXPECT_EQ(one.bitmap.ScanLine(0)[0], 77);

    // 3 × 3: passes 1 and 2 are empty. Pixel (x, y) has the value 10 * y + x.
    const Bytes raw = {
        0, 0,           // pass 0: (0,0)
        0, 2,           // pass 3: (2,0)
        0, 20, 22,      // pass 4: (0,2) (2,2)
        0, 1,  0,  21,  // pass 5: (1,0) and (1,2)
        0, 10, 11, 12,  // pass 6: row 1
    };
    Decoded three;
    DecodeOurs(BuildPng(Ihdr(3, 3, 8, 0, 1), raw), three);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(three.bitmap.ScanLine(y)[x], 10 * y + x) << x << "," << y;
}

TEST(PngReadCases, WithoutImageDataTheLoadFailsAndTheBitmapStaysAsItWas) {
    TKMPNG png;
    FillMarker(png.Bitmap);
    Bytes file = Signature();
    AppendChunk(file, "IHDR", Ihdr(4, 4, 8, 3));
    AppendChunk(file, "PLTE", {1, 2, 3});
    AppendChunk(file, "tRNS", {0});
    AppendChunk(file, "IEND", {});
    TMemoryStream stream{Bytes(file)};
    EXPECT_THROW(png.LoadFromStream(stream), EKMPNG);
    EXPECT_EQ(png.Bitmap.Width(), 2);
    EXPECT_EQ(png.Bitmap.PixelFormat(), pf24bit);
    EXPECT_EQ(png.Bitmap.GetPixel(1, 1), RGBColor(200, 100, 50));
    EXPECT_FALSE(png.Bitmap.Transparent());
    EXPECT_EQ(png.TransparentColor, -1);
}

TEST(PngReadCases, CommentChunksAreJoinedAndOtherKeywordsIgnored) {
    struct Case {
        std::vector<ExtraChunk> chunks;
        std::string comment;
    };
    const Case cases[] = {
        {{{"tEXt", Text("Comment", "T")}}, "T\r\n"},
        {{{"tEXt", Text("Comment", "T")}, {"tEXt", Text("Comment", "U")}}, "T\r\n\r\nU\r\n"},
        {{{"tEXt", Text("Comment", "T")}, {"tEXt", Text("Title", "X")}}, "T\r\n"},
        {{{"tEXt", Text("comment", "lower")}}, ""},
        {{{"tEXt", Text("Comment", "")}}, ""},
        {{{"tEXt", Bytes{'C', 'o', 'm', 'm', 'e', 'n', 't'}}}, ""},
    };
    for (const auto& c : cases) {
        Decoded d;
        DecodeOurs(BuildPng(Ihdr(1, 1, 8, 0), {0, 0}, c.chunks), d);
        EXPECT_EQ(d.comment, c.comment);
    }
    // After the image data as well.
    Decoded d;
    DecodeOurs(BuildPng(Ihdr(1, 1, 8, 0), {0, 0}, {{"tEXt", Text("Comment", "A")}}, {{"tEXt", Text("Comment", "B")}}),
               d);
    EXPECT_EQ(d.comment, "A\r\n\r\nB\r\n");
}

TEST(PngReadCases, AncillaryValuesAreRead) {
    Bytes phys = {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x14, 1};
    Bytes gama = {0, 0, 0xB1, 0x8F};  // 45455
    Bytes time = {0x07, 0xD5, 12, 31, 23, 59, 58};
    Bytes chrm;
    for (uint8_t i = 1; i <= 8; ++i) chrm.insert(chrm.end(), {0, 0, 0, i});
    TKMPNG png;
    const Bytes file = BuildPng(Ihdr(2, 1, 8, 2), {0, 1, 2, 3, 4, 5, 6},
                                {{"gAMA", gama},
                                 {"cHRM", chrm},
                                 {"sBIT", {5, 6, 7}},
                                 {"gIFg", {1, 0, 0x01, 0x02}},
                                 {"tIME", time},
                                 {"bKGD", {0, 10, 0, 20, 0, 30}},
                                 {"tRNS", {0, 1, 0, 2, 0, 3}},
                                 {"pHYs", phys}});
    TMemoryStream stream{Bytes(file)};
    png.LoadFromStream(stream);
    EXPECT_NEAR(png.Gamma, 0.45455, 1e-9);
    EXPECT_EQ(png.Chromaticities[0], 1u);
    EXPECT_EQ(png.Chromaticities[7], 8u);
    EXPECT_EQ(png.SignificantBits, 0x070605);
    EXPECT_EQ(png.GIFControl, (std::array<uint8_t, 4>{1, 0, 1, 2}));
    EXPECT_EQ(png.ModificationTime.Year, 2005);
    EXPECT_EQ(png.ModificationTime.Second, 58);
    EXPECT_EQ(png.BackgroundColor, RGBColor(10, 20, 30));
    EXPECT_EQ(png.TransparentColor, RGBColor(1, 2, 3));
    EXPECT_TRUE(png.Bitmap.Transparent());
    EXPECT_TRUE(png.Transparent());
    EXPECT_EQ(png.PhysUnit, 1);
    EXPECT_EQ(png.PhysX, 2835);
    EXPECT_EQ(png.PhysY, 2836);
    EXPECT_EQ(png.BitDepth, 24);
    EXPECT_FALSE(png.Grayscale);
    EXPECT_FALSE(png.Interlaced);

    // Without those chunks: no colours, and zeros.
    TKMPNG plain;
    TMemoryStream plainStream{BuildPng(Ihdr(1, 1, 8, 0), {0, 0})};
    plain.LoadFromStream(plainStream);
    EXPECT_EQ(plain.BackgroundColor, -1);
    EXPECT_EQ(plain.TransparentColor, -1);
    EXPECT_EQ(plain.Gamma, 0);
    EXPECT_EQ(plain.SignificantBits, 0);
    EXPECT_EQ(plain.PhysUnit, 0);
    EXPECT_EQ(plain.PhysX, 0);
    EXPECT_EQ(plain.ModificationTime.Year, 0);
    EXPECT_TRUE(plain.Grayscale);
}

TEST(PngReadCases, LowDepthGreyColoursAreSpreadLikeThePalette) {
    // tRNS and bKGD name level 2 of a 2-bit image: the bitmap shows that level as 170.
    Decoded d;
    DecodeOurs(BuildPng(Ihdr(4, 1, 2, 0), {0, 0x1B}, {{"bKGD", {0, 2}}, {"tRNS", {0, 2}}}), d);
    EXPECT_EQ(d.background, RGBColor(170, 170, 170));
    EXPECT_EQ(d.transparent, RGBColor(170, 170, 170));
    const Rgba rgba = ToRgba(d);
    EXPECT_EQ(rgba.pixels[2 * 4], 170);
    EXPECT_EQ(rgba.pixels[2 * 4 + 3], 0) << "the pixel of level 2 is the transparent one";
    EXPECT_EQ(rgba.pixels[1 * 4 + 3], 255);
}

TEST(PngReadCases, TruncationInsideTheImageDataFailsAfterItLoads) {
    Bytes raw;
    for (int y = 0; y < 64; ++y) {
        raw.push_back(1);
        for (int x = 0; x < 64 * 3; ++x) raw.push_back(static_cast<uint8_t>(x * 7 + y));
    }
    const Bytes file = BuildPng(Ihdr(64, 64, 8, 2), raw);
    const size_t idatEnd = file.size() - 12;  // before IEND
    Decoded whole;
    DecodeOurs(file, whole);
    struct Case {
        size_t length;
        bool loads;
    };
    // The last chunk's CRC is never needed, so only a cut into its data fails.
    const Case cases[] = {
        {idatEnd - 50, false}, {idatEnd - 5, false}, {idatEnd - 4, true}, {idatEnd, true}, {idatEnd + 6, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes cut(file.begin(), file.begin() + static_cast<long>(c.length));
        if (c.loads) {
            Decoded d;
            EXPECT_NO_THROW(DecodeOurs(cut, d));
            EXPECT_EQ(ToRgba(d).pixels, ToRgba(whole).pixels);
        } else {
            EXPECT_EQ(DecodeError(cut), "Read Image (PNG): Read Error");
        }
    }
}

TEST(PngReadCases, BrokenImageDataEndsWithTheReadError) {
    const Bytes ihdr = Ihdr(4, 2, 8, 0);
    auto withIdat = [&](const Bytes& idat, const std::vector<ExtraChunk>& middle = {}) {
        Bytes png = Signature();
        AppendChunk(png, "IHDR", ihdr);
        AppendChunk(png, "IDAT", idat);
        for (const auto& c : middle) AppendChunk(png, c.type, c.data);
        AppendChunk(png, "IEND", {});
        return png;
    };
    const Bytes oneRow = Zlib({0, 1, 2, 3, 4});                    // the stream ends after row 0
    const Bytes badFilter = Zlib({5, 1, 2, 3, 4, 0, 1, 2, 3, 4});  // filter type 5
    Bytes garbage = Zlib({0, 1, 2, 3, 4, 0, 1, 2, 3, 4});
    garbage[3] ^= 0xFF;
    const Bytes whole = Zlib({0, 1, 2, 3, 4, 0, 1, 2, 3, 4});
    const Bytes firstHalf(whole.begin(), whole.begin() + 5), secondHalf(whole.begin() + 5, whole.end());
    // An unfinished zlib stream whose compressed bytes remain buffered after its end.
    Bytes trailing = oneRow;
    trailing.insert(trailing.end(), 20, 0);
    struct Case {
        const char* name;
        Bytes png;
    };
    const Case cases[] = {
        {"stream ends early", withIdat(oneRow)},
        {"stream ends early, bytes follow", withIdat(trailing)},
        {"unknown filter", withIdat(badFilter)},
        {"corrupt data", withIdat(garbage)},
        {"other chunk inside the data", withIdat(firstHalf, {{"tEXt", Text("a", "b")}, {"IDAT", secondHalf}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeError(c.png), "Read Image (PNG): Read Error");
    }
    // The same halves as consecutive chunks, with empty chunks between, decode.
    Decoded d;
    EXPECT_NO_THROW(DecodeOurs(withIdat(firstHalf, {{"IDAT", {}}, {"IDAT", secondHalf}, {"IDAT", {}}}), d));
    EXPECT_EQ(d.bitmap.ScanLine(1)[3], 4);
}

TEST(PngReadCases, ImageDataSplitIntoTinyChunksDecodesTheSame) {
    Bytes raw;
    for (int y = 0; y < 20; ++y) {
        raw.push_back(static_cast<uint8_t>(y % 5));
        for (int x = 0; x < 30; ++x) raw.push_back(static_cast<uint8_t>(x * y + 3));
    }
    const Bytes z = Zlib(raw, 9);
    Bytes split = Signature();
    AppendChunk(split, "IHDR", Ihdr(10, 20, 8, 2));
    for (size_t i = 0; i < z.size(); i += 3)
        AppendChunk(split, "IDAT",
                    Bytes(z.begin() + static_cast<long>(i), z.begin() + static_cast<long>(std::min(i + 3, z.size()))));
    AppendChunk(split, "IEND", {});
    Decoded a, b;
    DecodeOurs(split, a);
    DecodeOurs(BuildPng(Ihdr(10, 20, 8, 2), raw), b);
    EXPECT_EQ(ToRgba(a).pixels, ToRgba(b).pixels);
    EXPECT_EQ(ToRgba(a).pixels, DecodeLibpng(split).pixels);
}

TEST(PngReadCases, MacBinaryHeaderIsSkipped) {
    const Bytes png = BuildPng(Ihdr(2, 1, 8, 0), {0, 9, 8});
    Bytes wrapped(128, 0);
    wrapped[1] = 'x';  // a name byte; bytes 0 and 74 are zero
    wrapped.insert(wrapped.end(), png.begin(), png.end());
    TKMPNG image;
    TMemoryStream stream{Bytes(wrapped)};
    image.LoadFromStream(stream);
    EXPECT_EQ(image.Bitmap.ScanLine(0)[1], 8);
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(wrapped.size()));

    TKMPNGReadStream reader;
    TMemoryStream plain{Bytes(png)};
    TBitmap b;
    reader.Read(&b, plain, 0);
    EXPECT_FALSE(reader.MacBinaryFound()) << "a PNG file is never shifted";
}

TEST(PngReadCases, ReadingStartsAtTheSourcePositionAndStopsAfterIEND) {
    const Bytes png = BuildPng(Ihdr(2, 2, 8, 0), {0, 1, 2, 0, 3, 4});
    Bytes file = {'j', 'u', 'n', 'k', 0, 0, 0};
    const int64_t start = static_cast<int64_t>(file.size());
    file.insert(file.end(), png.begin(), png.end());
    file.insert(file.end(), {'t', 'a', 'i', 'l'});
    testsupport::TempDir dir;
    TMemoryStream(Bytes(file)).SaveToFile(dir.file("mid.bin"));
    for (bool inMemory : {true, false}) {
        SCOPED_TRACE(inMemory ? "memory" : "file");
        std::unique_ptr<TStream> source;
        if (inMemory)
            source = std::make_unique<TMemoryStream>(Bytes(file));
        else
            source = std::make_unique<TFileStream>(dir.file("mid.bin"), fmOpenRead);
        source->SetPosition(start);
        TKMPNG image;
        image.LoadFromStream(*source);
        EXPECT_EQ(image.Bitmap.ScanLine(1)[1], 4);
        EXPECT_EQ(source->Position(), start + static_cast<int64_t>(png.size()));
    }
}

TEST(PngReadCases, ProgressRisesAndEndsAtOneHundred) {
    std::vector<Bytes> rows;
    for (int y = 0; y < 40; ++y) rows.push_back(Bytes(8, static_cast<uint8_t>(y)));
    TKMPNG png;
    std::vector<int> seen;
    std::vector<TProgressStage> stages;
    png.OnProgress = [&](TObject* sender, TProgressStage stage, uint8_t percent, bool, const TRect&,
                         const std::string&) {
        EXPECT_EQ(sender, &png.Bitmap);
        seen.push_back(percent);
        stages.push_back(stage);
    };
    TMemoryStream stream{WriteLibpng(8, 40, 8, 0, true, rows)};
    png.LoadFromStream(stream);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(stages.front(), TProgressStage::psStarting);
    EXPECT_EQ(seen.back(), 100);
    EXPECT_EQ(stages.back(), TProgressStage::psEnding);
    for (size_t i = 1; i + 1 < seen.size(); ++i) {
        EXPECT_LT(seen[i - 1], seen[i]) << "each value at most once, never falling";
        EXPECT_EQ(stages[i], TProgressStage::psRunning);
    }
    EXPECT_FALSE(png.Bitmap.OnProgress) << "the bitmap's own handler is given back";
}

TEST(PngReadCases, DamagedFilesNeverCrash) {
    // Every truncation and a sweep of single-byte corruptions of a small interlaced palette
    // file with alpha table and text: each either loads or raises the reader's exception.
    Bytes raw;
    for (int i = 0; i < 200; ++i) raw.push_back(static_cast<uint8_t>((i * 37) & 0x03));  // filters 0 to 3
    const Bytes file = BuildPng(Ihdr(9, 7, 4, 3, 1), raw,
                                {{"PLTE", Bytes(48, 90)}, {"tRNS", {0, 100, 255}}, {"tEXt", Text("Comment", "c")}});
    int loaded = 0, refused = 0;
    auto attempt = [&](const Bytes& b) {
        Decoded d;
        try {
            DecodeOurs(b, d);
            ++loaded;
        } catch (const EKMPNG&) {
            ++refused;
        }
    };
    for (size_t n = 0; n <= file.size(); ++n) attempt(Bytes(file.begin(), file.begin() + static_cast<long>(n)));
    for (size_t i = 8; i < file.size(); ++i)
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes b = file;
            b[i] ^= flip;
            attempt(b);
        }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
}

TEST(PngReadCases, AHeaderPromisingMoreThanTheDataCanHoldFailsBeforeAllocating) {
    TKMPNG png;
    FillMarker(png.Bitmap);
    // 16000 × 16000 RGBA (1 GB of pixels) from a few bytes of image data.
    TMemoryStream bomb{BuildPng(Ihdr(16000, 16000, 8, 6), Bytes(100, 0))};
    try {
        png.LoadFromStream(bomb);
        FAIL() << "no exception";
    } catch (const EKMPNG& e) {
        EXPECT_STREQ(e.what(), "Read Image (PNG): Read Error");
    }
    EXPECT_EQ(png.Bitmap.Width(), 2) << "nothing was allocated";
    EXPECT_EQ(png.Bitmap.GetPixel(1, 1), RGBColor(200, 100, 50));

    // Data compressed about as tightly as deflate allows still decodes.
    const uint32_t side = 3000;
    Bytes raw(static_cast<size_t>(side) * (side + 1), 0);
    const Bytes file = BuildPng(Ihdr(side, side, 8, 0), raw);
    ASSERT_GT(raw.size() / file.size(), 900u);
    Decoded d;
    ASSERT_NO_THROW(DecodeOurs(file, d));
    EXPECT_EQ(d.bitmap.Width(), static_cast<int>(side));
}

TEST(PngReadCases, PngFilesLoadAsPicturesThroughTheRegistry) {
    auto pngEntries = [] {
        int n = 0;
        for (const auto& f : RegisteredFileFormats())
            if (f.Extension == "png") {
                ++n;
                EXPECT_EQ(f.Description, "PNG Format");
            }
        return n;
    };
    // Linking the image class registered it already; asking again changes nothing.
    EXPECT_EQ(pngEntries(), 1);
    RegisterPNGFormat();
    RegisterPNGFormat();
    EXPECT_EQ(pngEntries(), 1);

    testsupport::TempDir dir;
    TMemoryStream(BuildPng(Ihdr(2, 1, 8, 2), {0, 1, 2, 3, 4, 5, 6})).SaveToFile(dir.file("pic.PNG"));
    TPicture picture;
    picture.LoadFromFile(dir.file("pic.PNG"));
    ASSERT_NE(dynamic_cast<TKMPNG*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 2);
    EXPECT_EQ(picture.Bitmap().GetPixel(1, 0), RGBColor(4, 5, 6));
}

TEST(PngReadCases, DamagedMisplacedOrMissingChunksAreRefusedByName) {
    // A 2 × 1 palette picture of two entries, built chunk by chunk so that each case can damage
    // one chunk: its length, its CRC, its place or its presence.
    struct Piece {
        const char* type;
        Bytes data;
        bool badCrc = false;
    };
    const Bytes ihdr = Ihdr(2, 1, 8, 3), plte = {1, 2, 3, 4, 5, 6}, idat = Zlib({0, 0, 1});
    auto build = [](const std::vector<Piece>& pieces) {
        Bytes png = Signature();
        for (const auto& p : pieces) {
            AppendChunk(png, p.type, p.data);
            if (p.badCrc) png.back() ^= 1;
        }
        return png;
    };
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        std::string message;  // empty: loads
    };
    const Case cases[] = {
        {"intact", {{"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}}, ""},
        {"IHDR CRC",
         {{"IHDR", ihdr, true}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}},
         "PNG LoadStream: CRC Error (IHDR)"},
        {"PLTE CRC",
         {{"IHDR", ihdr}, {"PLTE", plte, true}, {"IDAT", idat}, {"IEND", {}}},
         "PNG LoadStream: CRC Error (PLTE)"},
        {"IDAT CRC",
         {{"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat, true}, {"IEND", {}}},
         "PNG LoadStream: CRC Error (IDAT)"},
        {"IEND CRC",
         {{"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}, true}},
         "PNG LoadStream: CRC Error (IEND)"},
        {"second IDAT CRC",
         {{"IHDR", ihdr},
          {"PLTE", plte},
          {"IDAT", Bytes(idat.begin(), idat.begin() + 4)},
          {"IDAT", Bytes(idat.begin() + 4, idat.end()), true},
          {"IEND", {}}},
         "PNG LoadStream: CRC Error (IDAT)"},
        {"ancillary CRC: the chunk is ignored",
         {{"IHDR", ihdr}, {"gAMA", {0, 0, 0xB1, 0x8F}, true}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}},
         ""},
        {"IHDR of length 0",
         {{"IHDR", {}}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}},
         "Read Header(PNG): Error IHDR Length"},
        {"IHDR too long",
         {{"IHDR", Bytes(14, 1)}, {"IDAT", idat}, {"IEND", {}}},
         "Read Header(PNG): Error IHDR Length"},
        {"IEND with data",
         {{"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {0}}},
         "PNG LoadStream: Error IEND Length"},
        {"IHDR not first",
         {{"gAMA", {0, 0, 0xB1, 0x8F}}, {"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}},
         "Read Header(PNG): gAMA before IHDR"},
        {"no IDAT", {{"IHDR", ihdr}, {"PLTE", plte}, {"IEND", {}}}, "PNG LoadStream: no IDAT chunk"},
        {"no PLTE", {{"IHDR", ihdr}, {"IDAT", idat}, {"IEND", {}}}, "Read Image (PNG): no PLTE before IDAT"},
        {"index past the palette",
         {{"IHDR", ihdr}, {"PLTE", {1, 2, 3}}, {"IDAT", idat}, {"IEND", {}}},
         "Read Image (PNG): palette index 1 past the 1-entry PLTE"},
        {"PLTE not of whole entries",
         {{"IHDR", ihdr}, {"PLTE", {1, 2, 3, 4}}, {"IDAT", idat}, {"IEND", {}}},
         "Read Header(PNG): Error PLTE Length"},
        {"empty PLTE",
         {{"IHDR", ihdr}, {"PLTE", {}}, {"IDAT", idat}, {"IEND", {}}},
         "Read Header(PNG): Error PLTE Length"},
        {"chunk length past 2^31", {{"IHDR", ihdr}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}}, "x"},
        // Chunks of no length are chunks like any other: the walk goes on after them.
        {"empty ancillary chunks",
         {{"IHDR", ihdr}, {"tEXt", {}}, {"tRNS", {}}, {"PLTE", plte}, {"zzZz", {}}, {"IDAT", idat}, {"IEND", {}}},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes png = build(c.pieces);
        std::string want = c.message;
        if (want == "x") {  // the IDAT's length field (after signature, IHDR and PLTE) made huge
            png[8 + 25 + 18] |= 0x80;
            want = "PNG LoadStream: Error Chunk Length (IDAT)";
        }
        EXPECT_EQ(DecodeError(png), want);
    }
    // A damaged ancillary chunk leaves its value unset; an intact one of a wrong length too.
    for (const auto& [gama, crcOk] :
         {std::pair{Bytes{0, 0, 0xB1, 0x8F}, false}, std::pair{Bytes{0, 0xB1, 0x8F}, true}}) {
        TKMPNG png;
        TMemoryStream stream{
            build({{"IHDR", ihdr}, {"gAMA", gama, !crcOk}, {"PLTE", plte}, {"IDAT", idat}, {"IEND", {}}})};
        png.LoadFromStream(stream);
        EXPECT_EQ(png.Gamma, 0);
    }
}

TEST(PngReadCases, ADensityInInchesTooLargeForPngIsWrittenAsTheMostItCanHold) {
    TKMPNG png;
    png.Bitmap.Allocate(pf24bit, 1, 1);
    png.PhysUnit = 2;  // per inch, converted to per metre on writing
    png.PhysX = 0x7FFFFFFF;
    png.PhysY = 100;
    TMemoryStream file;
    png.SaveToStream(file);
    file.SetPosition(0);
    TKMPNG back;
    back.LoadFromStream(file);
    EXPECT_EQ(back.PhysUnit, 1);
    EXPECT_EQ(back.PhysX, 0x7FFFFFFF);
    EXPECT_EQ(back.PhysY, 3937);
}
