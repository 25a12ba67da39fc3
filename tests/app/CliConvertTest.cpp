// `kirimark --convert IN OUT`: pictures loaded by extension and written by extension, judged by
// the reference decodes (PNG output read back by libpng), and failures that leave OUT alone.
#include <fstream>

#include <gtest/gtest.h>

#include "Classes.h"
#include "Cli.h"
#include "Jpeg.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using pngread::Bytes;
using pngread::ReadPam;
using pngread::Rgba;

Rgba LibpngRgba(const fs::path& p) { return pngread::DecodeLibpng(pngread::ReadFile(p)); }

Rgba BitmapRgba(const TBitmap& b) {
    Rgba r{b.Width(), b.Height(), {}};
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const TColor c = b.GetPixel(x, y);
            r.pixels.insert(r.pixels.end(), {GetRValue(c), GetGValue(c), GetBValue(c), 255});
        }
    return r;
}

Bytes Opaque(Bytes rgba) {
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    return rgba;
}

int Convert(const fs::path& in, const fs::path& out) { return RunConvertCommand({in.string(), out.string()}); }

}  // namespace

TEST(CliConvert, PicturesConvertByExtension) {
    REQUIRE_SHARED_DIR();
    const fs::path data = testsupport::SharedDir() / "testdata";
    testsupport::TempDir dir;
    struct Case {
        const char* source;  // under testdata
        const char* ref;
        const char* out;
        TPixelFormat bmpFormat;  // for .bmp output
        bool keepsAlpha;
    };
    const Case cases[] = {
        {"pngsuite/basn6a08.png", "pngsuite/ref/basn6a08.png.pam", "rgba.png", pf24bit, true},
        {"pngsuite/basn6a08.png", "pngsuite/ref/basn6a08.png.pam", "rgba.bmp", pf24bit, false},
        {"pngsuite/basi3p04.png", "pngsuite/ref/basi3p04.png.pam", "pal4.bmp", pf4bit, false},
        {"pngsuite/basi3p04.png", "pngsuite/ref/basi3p04.png.pam", "pal4.png", pf4bit, false},
        {"pngsuite/basn0g16.png", "pngsuite/ref/basn0g16.png.pam", "grey16.bmp", pf8bit, false},
        {"pngsuite/basn4a16.png", "pngsuite/ref/basn4a16.png.pam", "greyalpha.PNG", pf8bit, true},
        {"bmpsuite/g/pal8.bmp", "bmpsuite/ref/g/pal8.bmp.pam", "pal8.png", pf8bit, false},
        {"bmpsuite/g/rgb24.bmp", "bmpsuite/ref/g/rgb24.bmp.pam", "rgb24.png", pf24bit, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.out);
        const fs::path out = dir.path() / c.out;
        ASSERT_EQ(Convert(data / c.source, out), 0);
        const Rgba ref = ReadPam(data / c.ref);
        const std::string ext = out.extension().string();
        if (ext == ".bmp") {
            TBitmap b;
            TFileStream s(out.string(), fmOpenRead);
            b.LoadFromStream(s);
            EXPECT_EQ(b.PixelFormat(), c.bmpFormat);
            EXPECT_EQ(BitmapRgba(b).pixels, Opaque(ref.pixels));
        } else {
            const Rgba got = LibpngRgba(out);
            ASSERT_EQ(got.width, ref.width);
            EXPECT_EQ(got.pixels, c.keepsAlpha ? ref.pixels : Opaque(ref.pixels));
        }
    }
    // JPEG: lossy, so only its size and a decodable stream are checked here.
    const fs::path jpg = dir.path() / "photo.jpg";
    ASSERT_EQ(Convert(data / "pngsuite/basn2c08.png", jpg), 0);
    TJPEGImage jpeg;
    TFileStream s(jpg.string(), fmOpenRead);
    jpeg.LoadFromStream(s);
    EXPECT_EQ(jpeg.Width(), 32);
    EXPECT_EQ(jpeg.Height(), 32);
}

TEST(CliConvert, FailuresReportAndLeaveTheOutputAlone) {
    REQUIRE_SHARED_DIR();
    const fs::path suite = testsupport::SharedDir() / "testdata" / "pngsuite";
    testsupport::TempDir dir;
    const fs::path out = dir.path() / "existing.png";
    { std::ofstream(out, std::ios::binary) << "old"; }
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{(suite / "xc1n0g08.png").string(), out.string()}, 1},                     // corrupt input
        {{(suite / "basn0g08.png").string(), (dir.path() / "x.gif").string()}, 1},  // unknown output
        {{(dir.path() / "missing.png").string(), out.string()}, 1},
        {{(suite / "PngSuite.README").string(), out.string()}, 1},  // unknown input extension
        {{(suite / "xdtn0g01.png").string(), out.string()}, 1},     // no image data: nothing to write
        {{out.string()}, 2},
        {{}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(RunConvertCommand(c.args), c.status);
        EXPECT_EQ(pngread::ReadFile(out), (Bytes{'o', 'l', 'd'}));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "x.gif"));
}

TEST(CliConvert, AnOutputThatIsTheInputIsRefused) {
    REQUIRE_SHARED_DIR();
    testsupport::TempDir dir;
    const fs::path in = dir.path() / "in.png";
    fs::copy_file(testsupport::SharedDir() / "testdata" / "pngsuite" / "basn0g08.png", in);
    fs::create_symlink(in, dir.path() / "alias.png");
    const Bytes before = pngread::ReadFile(in);
    for (const fs::path& out : {in, dir.path() / "alias.png"}) {
        SCOPED_TRACE(out.string());
        EXPECT_EQ(Convert(in, out), 1);
        EXPECT_EQ(pngread::ReadFile(in), before);
    }
    EXPECT_TRUE(fs::is_symlink(dir.path() / "alias.png"));
}
