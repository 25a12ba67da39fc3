// EXIF orientation: the value read from EXIF blocks, the eight transforms against the layouts
// the EXIF standard describes, and the public orientation examples shown upright.
#include <gtest/gtest.h>

#include <cstring>

#include "Orientation.h"
#include "PhotoDecode.h"
#include "PhotoFiles.h"
#include "PhotoWriters.h"
#include "TestSupport.h"

namespace {

// A stored 3 x 2 picture "ABC / DEF" as each orientation shows it, row by row.
struct Layout {
    int orientation;
    const char* shown;  // rows separated by '/'
};
constexpr Layout kLayouts[] = {
    {1, "ABC/DEF"},  {2, "CBA/FED"},  {3, "FED/CBA"},  {4, "DEF/ABC"},
    {5, "AD/BE/CF"}, {6, "DA/EB/FC"}, {7, "FC/EB/DA"}, {8, "CF/BE/AD"},
};

TColor Letter(char c) { return RGBColor(uint8_t(c), uint8_t(c * 3), uint8_t(255 - c)); }

TEST(Orientation, EightTransformsMatchTheStandardLayouts) {
    for (TPixelFormat format : {pf24bit, pf32bit, pf8bit})
        for (const Layout& l : kLayouts) {
            TBitmap bmp;
            bmp.Allocate(format, 3, 2);
            const char* stored = "ABCDEF";
            if (format == pf8bit) {  // indexed: converted to 24-bit on the way
                std::vector<TPaletteEntry> pal;
                for (int i = 0; i < 6; ++i)
                    pal.push_back(
                        {GetRValue(Letter(stored[i])), GetGValue(Letter(stored[i])), GetBValue(Letter(stored[i])), 0});
                bmp.Allocate(pf8bit, 3, 2, TPalette(pal));
            }
            for (int i = 0; i < 6; ++i) bmp.SetPixel(i % 3, i / 3, Letter(stored[i]));
            TBitmap copy;
            OrientedCopy(bmp, copy, l.orientation);
            ApplyOrientation(bmp, l.orientation);
            ASSERT_EQ(copy.BitsSize(), bmp.BitsSize());
            EXPECT_EQ(std::memcmp(copy.Bits(), bmp.Bits(), bmp.BitsSize()), 0);
            std::string shown;
            for (int y = 0; y < bmp.Height(); ++y) {
                if (y) shown += '/';
                for (int x = 0; x < bmp.Width(); ++x) {
                    const TColor c = bmp.GetPixel(x, y);
                    shown += char(GetRValue(c));
                    EXPECT_EQ(c, Letter(char(GetRValue(c))));
                }
            }
            EXPECT_EQ(shown, l.shown) << "orientation " << l.orientation << " format " << format;
            EXPECT_EQ(bmp.PixelFormat(), format == pf32bit ? pf32bit : pf24bit);
        }
}

// Each transform undone by its inverse (6 and 8 undo each other, the rest themselves) gives the
// picture back, on a size that leaves partial copy tiles at both edges.
TEST(Orientation, InverseGivesThePictureBack) {
    constexpr int kInverse[9] = {0, 1, 2, 3, 4, 5, 8, 7, 6};
    for (TPixelFormat format : {pf24bit, pf32bit}) {
        TBitmap original;
        original.Allocate(format, 131, 70);
        for (size_t i = 0; i < original.BitsSize(); ++i) original.Bits()[i] = uint8_t(i * 2654435761u >> 13);
        for (int o = 1; o <= 8; ++o) {
            TBitmap turned, back;
            OrientedCopy(original, turned, o);
            EXPECT_EQ(turned.Width(), o >= 5 ? 70 : 131);
            OrientedCopy(turned, back, kInverse[o]);
            for (int y = 0; y < 70; ++y)
                ASSERT_EQ(
                    std::memcmp(back.ScanLine(y), original.ScanLine(y), size_t(131) * (format == pf32bit ? 4 : 3)), 0)
                    << "orientation " << o << " row " << y;
        }
    }
}

TEST(Orientation, ReadFromExifBlocks) {
    for (bool be : {false, true})
        for (int v = 0; v <= 9; ++v)
            EXPECT_EQ(ExifOrientation(photowriters::ExifBlock(v, be)), v >= 1 && v <= 8 ? v : 1) << v << " " << be;
    // JPEG's prefix is tolerated; anything cut short or not TIFF gives 1, never a read outside.
    EXPECT_EQ(ExifOrientation(std::string("Exif\0\0", 6) + photowriters::ExifBlock(7)), 7);
    const std::string block = photowriters::ExifBlock(6);
    for (size_t n = 0; n < block.size(); ++n) {
        const int v = ExifOrientation(block.substr(0, n));
        EXPECT_TRUE(v == 1 || (v == 6 && n >= 32)) << n;
    }
    std::string wrongType = block;
    wrongType[10 + 12 + 2] = 4;  // LONG instead of SHORT
    EXPECT_EQ(ExifOrientation(wrongType), 1);
    EXPECT_EQ(ExifOrientation("XX*\0\x08\0\0\0"), 1);
}

TEST(PhotoFiles, Extensions) {
    const std::pair<const char*, bool> names[] = {
        {"a.jpg", true},          {"a.JPEG", true},        {"b.Png", true},      {"c.tif", true},
        {"c.TIFF", true},         {"d.webp", true},        {"e.HEIC", true},     {"e.heif", true},
        {"/x.y/photo.JpG", true}, {"a.bmp", false},        {"a.jpg.bak", false}, {"jpg", false},
        {"a.gif", false},         {"dir.jpg/file", false}, {"a.jpe", false},     {"", false},
    };
    for (const auto& [name, photo] : names) EXPECT_EQ(IsPhotoFileName(name), photo) << name;
}

// The public examples: every file, shown as its orientation says, is the same upright picture
// (its README: "top", "bottom", "left" and "right" written at the edges, the value's digit in
// the middle). Each file's corners must match the untagged file's corners, and no other
// transform may match as well.
void ThumbOf(const TBitmap& bmp, TBitmap& t) {  // 24 x 16 cells (16 x 24 portrait) of mean grey
    const int w = bmp.Width() > bmp.Height() ? 24 : 16, h = 40 - w;
    std::vector<int> sum(size_t(w * h), 0), count(sum.size(), 0);
    for (int y = 0; y < bmp.Height(); y += 3)
        for (int x = 0; x < bmp.Width(); x += 3) {
            const uint8_t* p = bmp.ScanLine(y) + x * 3;
            const size_t cell = size_t(y * h / bmp.Height() * w + x * w / bmp.Width());
            sum[cell] += (p[0] + p[1] + p[2]) / 3, ++count[cell];
        }
    t.Allocate(pf24bit, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto g = uint8_t(sum[size_t(y * w + x)] / std::max(1, count[size_t(y * w + x)]));
            t.SetPixel(x, y, RGBColor(g, g, g));
        }
}

// Mean difference over the four corner regions (a quarter of each side), away from the digit.
double CornerDistance(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return 1e9;
    double sum = 0;
    int n = 0;
    const int w = a.Width(), h = a.Height();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x < w / 4 || x >= w - w / 4) && (y < h / 4 || y >= h - h / 4))
                sum += std::abs(GetRValue(a.GetPixel(x, y)) - GetRValue(b.GetPixel(x, y))), ++n;
    return sum / n;
}

TEST(Orientation, PublicExamplesShownUpright) {
    REQUIRE_SHARED_DIR();
    const auto dir = testsupport::SharedDir() / "testdata" / "orientation";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << dir << " not found; skipped";
    for (const char* kind : {"Landscape", "Portrait"}) {
        TBitmap reference;
        for (int value = 0; value <= 8; ++value) {
            const std::string name = std::string(kind) + "_" + std::to_string(value) + ".jpg";
            TBitmap bmp;
            PhotoMetadata meta;
            LoadPhotoFile((dir / name).string(), bmp, meta);
            EXPECT_EQ(meta.orientation, value == 0 ? 1 : value) << name;
            TBitmap stored, shown;
            ThumbOf(bmp, stored);
            ApplyOrientation(bmp, meta.orientation);
            ThumbOf(bmp, shown);
            EXPECT_EQ(shown.Width(), std::string(kind) == "Landscape" ? 24 : 16) << name;
            if (value == 0) {
                reference.Assign(shown);
                continue;
            }
            const double right = CornerDistance(shown, reference);
            EXPECT_LT(right, 6.0) << name;
            for (int o = 1; o <= 8; ++o) {
                if (o == meta.orientation) continue;
                TBitmap other;
                other.Assign(stored);
                ApplyOrientation(other, o);
                EXPECT_GT(CornerDistance(other, reference), right + 10) << name << " as " << o;
            }
        }
    }
}

}  // namespace
