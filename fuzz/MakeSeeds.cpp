// Writes seed inputs that our own code produces into a folder given on the command line:
// png_read/ (every pixel format, plain and interlaced, colour and grey, with and without an
// alpha mask), ini_parse/ (settings files, code page 932 and UTF-8) and protect_decrypt/
// (protected texts), and photo_jpeg/, photo_png/, photo_tiff/, photo_webp/, photo_heif/ (small
// photos with metadata, written by each format's library). bmp_read seeds come from the
// conformance corpus; png_roundtrip needs none.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CodePage.h"
#include "KMPNG.h"
#include "PhotoWriters.h"
#include "QCWinCrypt.h"
#include "SFunc.h"
#include "setting_common.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
    TMemoryStream s(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    s.SaveToFile(path.string());
}

void PngSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    const TPixelFormat formats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};
    for (TPixelFormat f : formats)
        for (int variant = 0; variant < 8; ++variant) {
            TKMPNG png;
            png.UseCurrentTime = false;
            png.Interlaced = variant & 1;
            png.Grayscale = variant & 2;
            png.Comment = "seed";
            std::vector<TPaletteEntry> entries;
            for (int i = 0; i < 16; ++i)
                entries.push_back(
                    {static_cast<uint8_t>(i * 16), static_cast<uint8_t>(255 - i * 16), static_cast<uint8_t>(i * 5), 0});
            png.Bitmap.Allocate(f, 11, 9, TPalette(entries));
            for (int y = 0; y < 9; ++y)
                for (int x = 0; x < 11; ++x) png.Bitmap.SetPixel(x, y, RGBColor(x * 23, y * 28, (x ^ y) * 17));
            if (variant & 4) {
                png.AlphaBitmap.Allocate(pf8bit, 11, 9);
                for (int y = 0; y < 9; ++y)
                    for (int x = 0; x < 11; ++x) png.AlphaBitmap.ScanLine(y)[x] = static_cast<uint8_t>(x * y * 3);
                png.HasAlpha = true;
            }
            if (variant == 0 && f <= pf8bit) png.TransparentColor = 0x1000001;
            if (variant == 0 && f > pf8bit) png.BackgroundColor = RGBColor(1, 2, 3);
            TMemoryStream out;
            png.SaveToStream(out);
            out.SaveToFile(
                (dir / ("bpp" + std::to_string(PixelFormatToBits(f)) + "-" + std::to_string(variant) + ".png"))
                    .string());
        }
}

void IniSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    const std::string sample =
        "[basic]\r\ncopyright_text=1yoQNwc60NyeItSV6XNAAw==\r\nrestore_window_pos=1\r\n\r\n"
        "[colors]\r\nback_color=$00FFFFFF\r\nword_color=0\r\nback_transparent=0\r\n\r\n"
        "[font]\r\nfont_name=ＭＳ Ｐゴシック\r\n\r\n[position]\r\nleft=-1\r\ntop=0x1\r\n\r\n"
        "[save]\r\nformat=1\r\nquality=7\r\n; comment\r\nstray line\r\n[Basic]\r\nextra = value \r\n";
    WriteFile(dir / "cp932.ini", Utf8ToCp932(sample));
    WriteFile(dir / "utf8.ini", "\xEF\xBB\xBF" + sample + "[x]\r\nk=한국어\r\n");
    WriteFile(dir / "lf.ini", "[a]\nk=v\n\n[b]\rk2=v2\r");
}

void ProtectSeeds(const fs::path& dir) {
    fs::create_directories(dir);
    Settings s;
    InitSettings(s);
    TQCWinCrypt facade;
    const std::string texts[] = {"", "a", "(c)2005 Rinto", "(c)テスト", "©2024 Ünïcödé", std::string(300, 'x')};
    int n = 0;
    for (const auto& t : texts)
        WriteFile(dir / ("text" + std::to_string(n++)), facade.EncryptString(t, s.PassPhrase, ""));
}

void PhotoSeeds(const fs::path& out) {
    using namespace photowriters;
    const Rgba img = TestPicture(24, 16, false), alpha = TestPicture(24, 16, true);
    const std::string exif = ExifBlock(6), xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    auto put = [&](const char* target, const std::string& name, const std::string& bytes) {
        fs::create_directories(out / target);
        WriteFile(out / target / name, bytes);
    };
    JpegOptions j;
    j.exif = exif, j.xmp = xmp, j.iptc = std::string("\x1C\x02\x74\x00\x03(c)", 8), j.icc = std::string(300, 'p');
    put("photo_jpeg", "meta.jpg", WriteJpeg(img, j));
    j = {};
    j.progressive = true;
    put("photo_jpeg", "progressive.jpg", WriteJpeg(img, j));
    j.progressive = false, j.cmyk = true;
    put("photo_jpeg", "cmyk.jpg", WriteJpeg(img, j));
    PngOptions p;
    p.exif = exif, p.xmp = xmp, p.xmpCompressed = true;
    put("photo_png", "meta.png", WritePng(img, p));
    p = {};
    p.alpha = p.bits16 = true;
    put("photo_png", "rgba16.png", WritePng(alpha, p));
    TiffOptions t;
    t.orientation = 6, t.xmp = xmp, t.pages = 2;
    put("photo_tiff", "meta.tif", WriteTiff(img, t));
    t = {};
    t.bits = 16, t.alpha = t.tiled = true;
    put("photo_tiff", "rgba16.tif", WriteTiff(alpha, t));
    t = {};
    t.cmyk = true;
    put("photo_tiff", "cmyk.tif", WriteTiff(img, t));
    WebpOptions w;
    w.exif = exif, w.xmp = xmp, w.alpha = true;
    put("photo_webp", "meta.webp", WriteWebp(alpha, w));
    w = {};
    w.lossless = false;
    put("photo_webp", "lossy.webp", WriteWebp(img, w));
    put("photo_webp", "animated.webp", WriteAnimatedWebp(img));
    fs::create_directories(out / "photo_heif");  // the fuzzer wants the folder, seeds or not
    if (CanWriteHeif()) {
        HeifOptions h;
        h.exif = exif, h.xmp = xmp, h.orientation = 6;
        put("photo_heif", "meta.heic", WriteHeif(img, h));
        h = {};
        h.alpha = true;
        put("photo_heif", "alpha.heic", WriteHeif(alpha, h));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    PngSeeds(out / "png_read");
    IniSeeds(out / "ini_parse");
    ProtectSeeds(out / "protect_decrypt");
    PhotoSeeds(out);
    return 0;
}
