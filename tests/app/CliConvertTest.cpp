// `kirimark --convert IN OUT`: pictures loaded by extension and written by extension, judged by
// the reference decodes (PNG output read back by libpng), and failures that leave OUT alone.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>
#include <png.h>

#include "Classes.h"
#include "Cli.h"
#include "Jpeg.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Rgba {
    int width = 0, height = 0;
    Bytes pixels;
};

// The reference decodes: P7 with RGB_ALPHA samples.
Rgba ReadPam(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    Rgba r;
    std::string line;
    while (std::getline(in, line) && line != "ENDHDR") {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "WIDTH") words >> r.width;
        if (key == "HEIGHT") words >> r.height;
    }
    r.pixels.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
}

// libpng as the judge, with no gamma handling: the samples as stored, expanded to 8-bit RGBA.
// Plain C between setjmp and longjmp: the vectors are set up before it.
bool LibpngInto(FILE* f, Rgba& r, std::vector<png_bytep>& rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    r.width = static_cast<int>(png_get_image_width(png, info));
    r.height = static_cast<int>(png_get_image_height(png, info));
    r.pixels.assign(static_cast<size_t>(r.width) * r.height * 4, 0);
    rows.resize(static_cast<size_t>(r.height));
    for (int y = 0; y < r.height; ++y) rows[static_cast<size_t>(y)] = r.pixels.data() + static_cast<size_t>(y) * r.width * 4;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

Rgba LibpngRgba(const fs::path& p) {
    Rgba r;
    std::vector<png_bytep> rows;
    FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return r;
    const bool ok = LibpngInto(f, r, rows);
    std::fclose(f);
    return ok ? r : Rgba{};
}

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
        {{(suite / "xc1n0g08.png").string(), out.string()}, 1},   // corrupt input
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
        EXPECT_EQ(ReadAll(out), (Bytes{'o', 'l', 'd'}));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "x.gif"));
}
