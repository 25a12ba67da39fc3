// The per-file work judged from outside: bitmaps in every pixel format go in, and libjpeg
// (libpng for PNG) decodes what comes out.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include <png.h>
#include <sys/resource.h>

#include "AppTestSupport.h"
#include "StampStyle.h"
#include "TestSupport.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

Settings StampSettings() {
    Settings s;
    InitSettings(s);
    s.BackColor = kBack;
    s.WordColor = kInk;
    return s;
}

TEST(Pipeline, ExtensionRule) {
    struct Case {
        const char* path;
        const char* ext;
        bool accepted;
        const char* jpg;
    } cases[] = {
        {"/p/a.bmp", ".bmp", true, "/p/a.jpg"},
        {"/p/a.BMP", ".BMP", false, "/p/a.jpg"},
        {"/p/a.Bmp", ".Bmp", false, "/p/a.jpg"},
        {"/p/a.b.bmp", ".bmp", true, "/p/a.b.jpg"},
        {"/p/a.bmp.txt", ".txt", false, "/p/a.bmp.jpg"},
        {"/p.d/a", "", false, "/p.d/a.jpg"},
        {"/p.bmp/", "", false, "/p.bmp/.jpg"},
        {"/p/.bmp", ".bmp", true, "/p/.jpg"},
        {"/p/a.", ".", false, "/p/a.jpg"},
        {"/p/a.bmpx", ".bmpx", false, "/p/a.jpg"},
        {"/p/a .bmp", ".bmp", true, "/p/a .jpg"},
        {"a.bmp", ".bmp", true, "a.jpg"},
        {"", "", false, ".jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ExtractFileExt(c.path), c.ext);
        EXPECT_EQ(IsBitmapName(c.path), c.accepted);
        EXPECT_EQ(ChangeFileExt(c.path, ".jpg"), c.jpg);
    }
}

TEST(Pipeline, FontFaceIsCutToWhatAFaceNameHolds) {
    EXPECT_EQ(StampFontName(""), "");
    EXPECT_EQ(StampFontName(std::string(31, 'a')), std::string(31, 'a'));
    EXPECT_EQ(StampFontName(std::string(40, 'a')), std::string(31, 'a'));
    // Counted in code page 932 bytes, never half a character: 3 + 14 × 2 bytes fit whole,
    // 4 + 14 × 2 lose the last character.
    EXPECT_EQ(StampFontName("abcゴシック体ゴシック体ゴシック"), "abcゴシック体ゴシック体ゴシック");
    EXPECT_EQ(StampFontName("abcdゴシック体ゴシック体ゴシック"), "abcdゴシック体ゴシック体ゴシッ");
    // A name outside the code page is cut by its UTF-8 bytes: 3 + 9 × 3 bytes fit.
    EXPECT_EQ(StampFontName("abc한글한글한글한글한글"), "abc한글한글한글한글한");
}

struct Corner {
    const char* name;
    bool left, top;
};
const Corner kCorners[] = {
    {"top-left", true, true}, {"top-right", false, true}, {"bottom-left", true, false}, {"bottom-right", false, false}};

TRect ExpectedCell(const Corner& c, int w, int h, TSize e) {
    const int x = c.left ? 5 : w - e.cx - 5;
    const int y = c.top ? 5 : h - e.cy - 5;
    return TRect{x, y, x + e.cx, y + e.cy};
}

bool Overlaps(const TRect& a, int x, int y, int margin) {
    return x >= a.Left - margin && x < a.Right + margin && y >= a.Top - margin && y < a.Bottom + margin;
}

// Every pixel format in, every corner: the cell is filled with the background colour in the
// chosen corner only, and the rest of the picture is the source within JPEG tolerance.
TEST(Pipeline, EachPixelFormatStampsTheChosenCorner) {
    const TPixelFormat formats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};
    constexpr int W = 240, H = 96;
    const Settings base = StampSettings();
    const TSize extent = StampExtent(base.CopyrightText);
    ASSERT_GT(extent.cx, 20);
    ASSERT_GT(extent.cy, 8);
    testsupport::TempDir dir;
    for (TPixelFormat format : formats) {
        TBitmap source;
        BlockPicture(source, format, W, H);
        const std::string bmp = dir.file("src.bmp");
        source.SaveToFile(bmp);
        for (const Corner& corner : kCorners) {
            SCOPED_TRACE(std::string("format ") + std::to_string(format) + ", " + corner.name);
            Settings s = base;
            s.PosLeft = corner.left;
            s.PosTop = corner.top;
            TPicture work;
            ASSERT_EQ(LoadImage(work, bmp, s), std::vector<std::string>{dir.file("src.jpg")});
            const Jpeg out = DecodeJpegFile(dir.file("src.jpg"));
            ASSERT_TRUE(out.ok);
            ASSERT_EQ(out.picture.width, W);
            ASSERT_EQ(out.picture.height, H);
            for (const Corner& other : kCorners) {
                const auto [hits, total] = CountNear(out.picture, ExpectedCell(other, W, H, extent), kBack, 40);
                if (&other == &corner)
                    EXPECT_GT(hits, total / 2) << "cell not filled in its corner";
                else
                    EXPECT_EQ(hits, 0) << "background colour in the " << other.name << " corner";
            }
            // Away from the cell (JPEG smears edges by a few pixels) the picture is the source.
            const TRect cell = ExpectedCell(corner, W, H, extent);
            int differing = 0;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    if (!Overlaps(cell, x, y, 8) && (x % 16 > 2 && x % 16 < 13) && (y % 16 > 2 && y % 16 < 13) &&
                        !Near(out.picture.At(x, y), source.GetPixel(x, y), 12))
                        ++differing;
            EXPECT_EQ(differing, 0);
        }
    }
}

TEST(Pipeline, TransparentCellShowsThePictureBetweenTheGlyphs) {
    constexpr int W = 160, H = 96;
    testsupport::TempDir dir;
    const std::string bmp = dir.file("t.bmp");
    TBitmap source;
    source.Allocate(pf24bit, W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) source.SetPixel(x, y, RGBColor(128, 128, 128));
    source.SaveToFile(bmp);
    const TSize extent = StampExtent("(c)2005 Rinto");
    const TRect cell{5, 5, 5 + extent.cx, 5 + extent.cy};
    for (bool transparent : {false, true}) {
        SCOPED_TRACE(transparent ? "transparent" : "opaque");
        Settings s = StampSettings();
        s.BackTransparent = transparent;
        TPicture work;
        LoadImage(work, bmp, s);
        const Rgb out = DecodeJpegFile(dir.file("t.jpg")).picture;
        const auto [white, total] = CountNear(out, cell, kBack, 40);
        const int grey = CountNear(out, cell, RGBColor(128, 128, 128), 40).first;
        const int ink = CountNear(out, cell, kInk, 60).first;
        EXPECT_GT(ink, 10) << "no glyphs drawn";
        if (transparent) {
            EXPECT_EQ(white, 0);
            EXPECT_GT(grey, total / 2);
        } else {
            EXPECT_GT(white, total / 2);
            EXPECT_LT(grey, total / 4);  // only the glyphs' smoothed edges
        }
    }
}

TEST(Pipeline, TextLargerThanThePictureIsCutNotClamped) {
    testsupport::TempDir dir;
    const std::string bmp = dir.file("small.bmp");
    SaveBlockPicture(bmp, pf24bit, 40, 12);
    Settings s = StampSettings();
    s.PosLeft = false;
    s.PosTop = false;
    TBitmap scratch;
    BlockPicture(scratch, pf24bit, 40, 12);
    // The cell starts left of the picture and above it.
    const TRect cell = StampBitmap(scratch, s);
    EXPECT_LT(cell.Left, 0);
    EXPECT_LT(cell.Top, 0);
    EXPECT_EQ(cell.Right, 40 - 5);
    EXPECT_EQ(cell.Bottom, 12 - 5);
    TPicture work;
    ASSERT_EQ(LoadImage(work, bmp, s).size(), 1u);
    const Rgb out = DecodeJpegFile(dir.file("small.jpg")).picture;
    ASSERT_EQ(out.width, 40);
    // The cell reaches the left edge; the margin at the right stays the picture.
    EXPECT_GT(CountNear(out, TRect{0, 0, 3, 5}, kBack, 60).first, 0);
    EXPECT_EQ(CountNear(out, TRect{37, 0, 40, 12}, kBack, 60).first, 0);
}

TEST(Pipeline, EmptyTextDrawsNothingButStillWrites) {
    testsupport::TempDir dir;
    const std::string bmp = dir.file("e.bmp");
    SaveBlockPicture(bmp, pf24bit, 64, 48);
    Settings s = StampSettings();
    s.CopyrightText.clear();
    TPicture work;
    ASSERT_EQ(LoadImage(work, bmp, s).size(), 1u);
    const Jpeg out = DecodeJpegFile(dir.file("e.jpg"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(CountNear(out.picture, TRect{0, 0, 64, 48}, kBack, 60).first, 0);
}

TEST(Pipeline, QualityStepGivesJpegQualityTimesTen) {
    testsupport::TempDir dir;
    const std::string bmp = dir.file("q.bmp");
    SaveBlockPicture(bmp, pf24bit, 32, 32);
    for (int step = 1; step <= 10; ++step) {
        SCOPED_TRACE(step);
        Settings s = StampSettings();
        s.ImageQuality = step;
        TPicture work;
        LoadImage(work, bmp, s);
        EXPECT_EQ(DecodeJpegFile(dir.file("q.jpg")).luminanceTable, ReferenceLuminanceTable(step * 10));
    }
    // The two ends, spelled out: quality 100 quantises nothing, quality 10 a lot.
    EXPECT_EQ(ReferenceLuminanceTable(100), std::vector<unsigned>(64, 1));
    EXPECT_EQ(ReferenceLuminanceTable(10)[0], 80u);
}

TEST(Pipeline, PngOutputCarriesTheStampAndTheLevel) {
    testsupport::TempDir dir;
    const std::string bmp = dir.file("p.b.bmp");
    SaveBlockPicture(bmp, pf24bit, 80, 40);
    TBitmap source;
    BlockPicture(source, pf24bit, 80, 40);
    uintmax_t sizeAt[11] = {};
    for (int step : {1, 10}) {
        Settings s = StampSettings();
        s.SaveFormat = 1;
        s.ImageQuality = step;
        TPicture work;
        ASSERT_EQ(LoadImage(work, bmp, s), std::vector<std::string>{dir.file("p.b.png")});
        EXPECT_FALSE(fs::exists(dir.file("p.b.jpg")));
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("p.b.png").c_str())) << image.message;
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> px(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) << image.message;
        ASSERT_EQ(image.width, 80u);
        // Lossless: the cell's top-left pixel is the background colour exactly, outside it
        // the source.
        const auto at = [&](int x, int y) {
            const uint8_t* p = &px[(static_cast<size_t>(y) * 80 + x) * 3];
            return RGBColor(p[0], p[1], p[2]);
        };
        EXPECT_EQ(at(5, 5), kBack);
        EXPECT_EQ(at(79, 39), source.GetPixel(79, 39));
        sizeAt[step] = fs::file_size(dir.file("p.b.png"));
    }
    // Step 10 is level 0 (stored): far larger than step 1's level 9.
    EXPECT_GT(sizeAt[10], 80u * 40 * 3);
    EXPECT_LT(sizeAt[1], sizeAt[10] / 4);
}

// Files that are not bitmaps or are broken: the failure is reported and nothing is written;
// an older output of the same name stays as it was.
TEST(Pipeline, BadBitmapsFailAndWriteNothing) {
    std::string valid;
    {
        TMemoryStream m;
        TBitmap bmp;
        BlockPicture(bmp, pf24bit, 8, 8);
        bmp.SaveToStream(m);
        valid.assign(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
    }
    std::string huge = valid;
    huge[18] = huge[19] = huge[20] = '\x7f';  // width far beyond what the file holds
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"magic only", "BM"},
        {"text", "hello, this is not a picture at all"},
        {"header cut", valid.substr(0, 30)},
        {"pixels cut", valid.substr(0, valid.size() - 20)},
        {"absurd width", huge},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bmp = dir.file("bad.bmp");
        WriteFile(bmp, c.bytes);
        WriteFile(dir.file("bad.jpg"), "older output");
        TPicture work;
        const TFileOutcome outcome = ProcessFile(work, bmp, StampSettings());
        EXPECT_EQ(outcome.Result, TFileOutcome::Failed);
        EXPECT_FALSE(outcome.Detail.empty());
        EXPECT_EQ(ReadFile(dir.file("bad.jpg")), "older output");
        EXPECT_EQ(FolderListing(dir.path()), (std::vector<std::string>{"bad.bmp", "bad.jpg"}));
    }
}

// A write that fails part way (here: the file size limit is hit) leaves the older output as it
// was and no partial or temporary file behind.
TEST(Pipeline, FailedWriteKeepsTheOlderOutput) {
    testsupport::TempDir dir;
    const std::string bmp = dir.file("big.bmp");
    TBitmap noisy;
    noisy.Allocate(pf24bit, 256, 256);
    uint32_t seed = 1;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            seed = seed * 1664525u + 1013904223u;
            noisy.SetPixel(x, y, static_cast<TColor>(seed >> 8) & 0xFFFFFF);
        }
    noisy.SaveToFile(bmp);
    const std::string older(1000, 'o');
    WriteFile(dir.file("big.jpg"), older);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 20000;  // the JPEG of this noise is far larger
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    TPicture work;
    const TFileOutcome outcome = ProcessFile(work, bmp, StampSettings());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(outcome.Result, TFileOutcome::Failed);
    EXPECT_EQ(ReadFile(dir.file("big.jpg")), older);
    EXPECT_EQ(FolderListing(dir.path()), (std::vector<std::string>{"big.bmp", "big.jpg"}));
    // Without the limit the same file goes through and replaces the older output.
    EXPECT_EQ(ProcessFile(work, bmp, StampSettings()).Result, TFileOutcome::Written);
    EXPECT_GT(fs::file_size(dir.file("big.jpg")), 20000u);
}

TEST(Pipeline, LongPathsAreNotCut) {
    testsupport::TempDir dir;
    fs::path deep = dir.path();
    for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    const std::string bmp = (deep / "picture.bmp").string();
    ASSERT_GT(bmp.size(), 360u);
    SaveBlockPicture(bmp, pf8bit, 20, 20);
    TPicture work;
    const TFileOutcome outcome = ProcessFile(work, bmp, StampSettings());
    EXPECT_EQ(outcome.Result, TFileOutcome::Written) << outcome.Detail;
    EXPECT_TRUE(DecodeJpegFile((deep / "picture.jpg").string()).ok);
}

TEST(Pipeline, FailedLoadKeepsThePreviousPicture) {
    testsupport::TempDir dir;
    SaveBlockPicture(dir.file("good.bmp"), pf24bit, 30, 20);
    WriteFile(dir.file("bad.bmp"), "BM broken");
    TPicture work;
    ASSERT_EQ(ProcessFile(work, dir.file("good.bmp"), StampSettings()).Result, TFileOutcome::Written);
    ASSERT_EQ(ProcessFile(work, dir.file("bad.bmp"), StampSettings()).Result, TFileOutcome::Failed);
    EXPECT_EQ(work.Width(), 30);
    EXPECT_EQ(work.Height(), 20);
}

}  // namespace

namespace {

// The output name may reach the source itself: through a link either way, or a second hard
// link. Writing it would replace the picture being stamped, so the file is refused and left
// as it was.
TEST(Pipeline, AnOutputThatIsTheSourceIsRefused) {
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> make;  // leaves a bitmap reachable as p.bmp
        const char* format;
    };
    const Case cases[] = {
        {"p.bmp a link to p.jpg holding a bitmap",
         [](const std::string& d) {
             SaveBlockPicture(d + "/p.jpg", pf24bit, 40, 30);
             fs::create_symlink("p.jpg", d + "/p.bmp");
         },
         "jpeg"},
        {"p.png a link to p.bmp",
         [](const std::string& d) {
             SaveBlockPicture(d + "/p.bmp", pf8bit, 40, 30);
             fs::create_symlink(d + "/p.bmp", d + "/p.png");
         },
         "png"},
        {"p.jpg a second hard link of p.bmp",
         [](const std::string& d) {
             SaveBlockPicture(d + "/p.bmp", pf24bit, 40, 30);
             fs::create_hard_link(d + "/p.bmp", d + "/p.jpg");
         },
         "jpeg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        c.make(dir.path().string());
        const std::string before = ReadFile(dir.file("p.bmp"));
        const auto listing = FolderListing(dir.path());
        Settings s = StampSettings();
        s.SaveFormat = std::string(c.format) == "png" ? 1 : 0;
        TPicture work;
        try {
            LoadImage(work, dir.file("p.bmp"), s);
            ADD_FAILURE() << "written over its own source";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Kind(), TFailureKind::SameAsSource) << e.what();
        }
        EXPECT_EQ(ReadFile(dir.file("p.bmp")), before);
        EXPECT_EQ(FolderListing(dir.path()), listing);
    }
}

}  // namespace
