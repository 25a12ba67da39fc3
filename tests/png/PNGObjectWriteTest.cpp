// The PNG image object on the saving side: defaults, Assign, SaveToStream and WriteData.
#include <fstream>
#include <iterator>
#include <random>

#include <gtest/gtest.h>

#include "KMPNG.h"
#include "KMPNGStream.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace pngtest;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Save(TKMPNG& png) {
    TMemoryStream out;
    png.SaveToStream(out);
    return out.Bytes();
}

class FailingStream : public TMemoryStream {
public:
    int64_t Write(const void*, int64_t) override { return 0; }
};

}  // namespace

TEST(PNGObjectWrite, SavesAnAssignedBitmapWithItsSettings) {
    std::mt19937 rng(11);
    TBitmap bmp;
    RandomBitmap(bmp, pf24bit, 120, 80, rng);
    struct Case {
        int level;
    };
    for (const Case c : {Case{0}, Case{9}, Case{-1}}) {
        TKMPNG png;
        png.CompressionLevel = c.level;
        png.UseCurrentTime = false;
        png.Assign(bmp);
        EXPECT_EQ(png.CompressionLevel, c.level);  // Assign from a bitmap keeps the settings
        const Bytes saved = Save(png);
        const Decoded d = DecodeWithLibpng(saved);
        ASSERT_TRUE(d.ok) << d.error;
        for (int y = 0; y < 80; y += 7)
            for (int x = 0; x < 120; x += 5)
                EXPECT_EQ(d.Pixel(x, y) & 0xFFFFFF, static_cast<uint32_t>(bmp.GetPixel(x, y)));
        const auto chunks = Chunks(saved);
        EXPECT_EQ(ChunkTypes(chunks),
                  (std::vector<std::string>{"IHDR", "tIME", "tEXt", "tpNG", "gAMA", "IDAT", "IEND"}));
        EXPECT_EQ(Find(chunks, "gAMA")->data, (Bytes{0, 0, 0xB1, 0x8F}));
        // The level reaches zlib unchanged: the writer alone at that level gives the same file.
        TMemoryStream direct;
        TKMPNGWriteStream w;
        w.CompressionLevel = c.level;
        w.Gamma = 0.45455;
        w.UseCurrentTime = false;
        w.ModificationTime = &png.ModificationTime;
        w.WriteGraphic(png.Bitmap, direct);
        EXPECT_EQ(direct.Bytes(), saved) << c.level;
    }
}

TEST(PNGObjectWrite, AssignFromAnotherImageObject) {
    std::mt19937 rng(12);
    TKMPNG src;
    RandomBitmap(src.Bitmap, pf24bit, 9, 7, rng);
    RandomMask(src.AlphaBitmap, 9, 7, rng);
    src.HasAlpha = true;
    src.BitDepth = 24;
    src.CompressionLevel = 3;
    src.Comment = "note";
    src.PhysX = 10;
    src.PhysY = 20;
    src.ModificationTime = {2001, 2, 3, 4, 5, 6};
    src.UseCurrentTime = false;
    src.GIFControl = {1, 2, 3, 4};
    src.Interlaced = true;
    src.BackgroundColor = RGBColor(1, 2, 3);
    src.Chromaticities = {1, 2, 3, 4, 5, 6, 7, 8};
    TKMPNG dst;
    dst.Assign(src);
    // The copy saves byte for byte what the source saves, and keeps what a load found.
    TMemoryStream fromSource, fromCopy;
    src.SaveToStream(fromSource);
    dst.SaveToStream(fromCopy);
    EXPECT_EQ(fromCopy.Bytes(), fromSource.Bytes());
    EXPECT_EQ(dst.BitDepth, 24);

    // Back to a bitmap: any graphic destination receives the picture.
    TBitmap out;
    out.Assign(dst);
    EXPECT_EQ(out.GetPixel(3, 4), src.Bitmap.GetPixel(3, 4));
}

TEST(PNGObjectWrite, AlphaMaskIsWrittenOnlyWithHasAlpha) {
    std::mt19937 rng(13);
    TKMPNG png;
    RandomBitmap(png.Bitmap, pf32bit, 6, 6, rng);
    RandomMask(png.AlphaBitmap, 6, 6, rng);
    EXPECT_EQ(Find(Chunks(Save(png)), "IHDR")->data[9], 2);
    png.HasAlpha = true;
    const Bytes saved = Save(png);
    EXPECT_EQ(Find(Chunks(saved), "IHDR")->data[9], 6);
    const Decoded d = DecodeWithLibpng(saved);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.Pixel(2, 3) >> 24, 255u - png.AlphaBitmap.ScanLine(3)[2]);
}

TEST(PNGObjectWrite, InvalidIDATSizeWritesNothing) {
    std::mt19937 rng(14);
    TKMPNG png;
    RandomBitmap(png.Bitmap, pf24bit, 4, 4, rng);
    for (int32_t size : {255, 100001}) {
        png.IDATSize = size;
        TMemoryStream out;
        try {
            png.SaveToStream(out);
            ADD_FAILURE() << size << " accepted";
        } catch (const EKMPNG& e) {
            EXPECT_STREQ(e.what(), "Write PNG Param: Err IDAT Size(min:256  max:100000)");
        }
        EXPECT_EQ(out.Size(), 0);
    }
    png.IDATSize = 256;
    const auto chunks = Chunks(Save(png));
    EXPECT_NE(Find(chunks, "IDAT"), nullptr);
}

TEST(PNGObjectWrite, WriteDataUsesTheWriterDefaults) {
    TKMPNG empty;
    TMemoryStream none;
    empty.WriteData(none);
    EXPECT_EQ(none.Size(), 0);

    std::mt19937 rng(15);
    TKMPNG png;
    RandomBitmap(png.Bitmap, pf24bit, 200, 100, rng);
    for (int y = 70; y < 100; ++y) std::fill_n(png.Bitmap.ScanLine(y), 600, uint8_t{0});  // 42000 random bytes
    png.CompressionLevel = 0;
    png.IDATSize = 256;
    png.Interlaced = true;
    png.Comment = "kept";
    TMemoryStream out;
    png.WriteData(out);
    const auto chunks = Chunks(out.Bytes());
    EXPECT_EQ(Find(chunks, "IHDR")->data[12], 0);          // not interlaced
    EXPECT_EQ(Find(chunks, "IDAT")->data.size(), 32768u);  // default block
    EXPECT_LT(out.Bytes().size(), 50000u);                 // compressed
    const std::string comment = std::string("Comment") + '\0' + "kept";
    EXPECT_EQ(Find(chunks, "tEXt")->data, Bytes(comment.begin(), comment.end()));
}

TEST(PNGObjectWrite, SizeSettersAndPalette) {
    TKMPNG png;
    png.Bitmap.Allocate(pf8bit, 4, 4);
    int changes = 0;
    png.OnChange = [&](TObject*) { ++changes; };
    png.SetWidth(7);
    png.SetHeight(5);
    EXPECT_EQ(png.Width(), 7);
    EXPECT_EQ(png.Height(), 5);
    EXPECT_TRUE(png.AlphaBitmap.Empty());  // an empty mask stays empty
    png.AlphaBitmap.Allocate(pf8bit, 7, 5);
    png.SetWidth(3);
    EXPECT_EQ(png.AlphaBitmap.Width(), 3);
    EXPECT_EQ(changes, 3);
    png.SetPalette(TPalette({{1, 2, 3, 0}}));
    EXPECT_EQ(png.Palette().Count(), 1);
    EXPECT_EQ(changes, 4);
}

TEST(PNGObjectWrite, TransparencyFollowsTheAssignedBitmap) {
    TBitmap bmp;
    bmp.Allocate(pf24bit, 2, 2);
    bmp.SetTransparent(true);
    TKMPNG png;
    int changes = 0;
    png.OnChange = [&](TObject*) { ++changes; };
    png.Assign(bmp);
    EXPECT_TRUE(png.Transparent());
    EXPECT_TRUE(png.Bitmap.Transparent());
    EXPECT_TRUE(png.PaletteModified());
    EXPECT_GE(changes, 1);
    png.SetTransparent(false);  // the object's flag drives the bitmap's
    EXPECT_FALSE(png.Bitmap.Transparent());
}

TEST(PNGObjectWrite, ProgressIsLentForTheSaveOnly) {
    std::mt19937 rng(16);
    TKMPNG png;
    RandomBitmap(png.Bitmap, pf24bit, 10, 40, rng);
    int bitmapOwn = 0;
    png.Bitmap.OnProgress = [&](TObject*, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {
        ++bitmapOwn;
    };
    std::vector<int> percents;
    std::vector<TProgressStage> stages;
    png.OnProgress = [&](TObject*, TProgressStage s, uint8_t p, bool, const TRect&, const std::string&) {
        percents.push_back(p);
        stages.push_back(s);
    };
    Save(png);
    EXPECT_EQ(bitmapOwn, 0);
    ASSERT_GE(percents.size(), 4u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents[1], 29);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(stages.front(), TProgressStage::psStarting);
    EXPECT_EQ(stages.back(), TProgressStage::psEnding);
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
    // After the save the bitmap reports to its own handler again.
    png.Bitmap.Progress(TProgressStage::psRunning, 5, "");
    EXPECT_EQ(bitmapOwn, 1);
}

TEST(PNGObjectWrite, FilesAndFailingDestinations) {
    std::mt19937 rng(17);
    TKMPNG png;
    RandomBitmap(png.Bitmap, pf8bit, 30, 20, rng);
    testsupport::TempDir dir;
    png.SaveToFile(dir.file("a.png"));
    std::ifstream in(dir.file("a.png"), std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(DecodeWithLibpng(file).ok);

    FailingStream bad;
    EXPECT_THROW(png.SaveToStream(bad), EWriteError);
    // A picture too big for one buffer fails in the middle, through the same error.
    RandomBitmap(png.Bitmap, pf24bit, 400, 400, rng);
    EXPECT_THROW(png.SaveToStream(bad), EWriteError);
    EXPECT_THROW(png.SaveToFile(dir.file("missing/b.png")), EFCreateError);
}
