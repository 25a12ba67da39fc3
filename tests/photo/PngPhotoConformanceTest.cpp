// PNG photos over PngSuite, judged by the reference decodes next to the corpus (libpng through
// ImageMagick, confirmed by Pillow): the same RGBA samples, alpha only where the file has it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "PhotoDecode.h"
#include "TestSupport.h"

namespace {

struct Pam {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

bool ReadPam(const std::string& path, Pam& pam) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line) && line != "ENDHDR") {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "WIDTH") fields >> pam.width;
        if (key == "HEIGHT") fields >> pam.height;
    }
    pam.rgba.resize(size_t(pam.width) * pam.height * 4);
    return in.read(reinterpret_cast<char*>(pam.rgba.data()), std::streamsize(pam.rgba.size())).good();
}

TEST(PngPhotoConformance, PngSuiteMatchesReferences) {
    REQUIRE_SHARED_DIR();
    const auto root = testsupport::SharedDir() / "testdata";
    std::ifstream manifest(root / "manifest.tsv");
    std::string line;
    int checked = 0, refused = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> col;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) col.push_back(cell);
        if (col.size() < 5 || (col[1] != "png" && col[1] != "png-corrupt")) continue;
        const std::string name = col[0];
        TBitmap bmp;
        PhotoMetadata meta;
        if (col[1] == "png-corrupt") {
            // Every defect, checksums included, must be refused.
            EXPECT_THROW(LoadPhotoFile((root / name).string(), bmp, meta), EInvalidGraphic) << name;
            ++refused;
            continue;
        }
        Pam ref;
        ASSERT_TRUE(ReadPam((root / col[4]).string(), ref)) << col[4];
        ASSERT_NO_THROW(LoadPhotoFile((root / name).string(), bmp, meta)) << name;
        ASSERT_EQ(bmp.Width(), ref.width) << name;
        ASSERT_EQ(bmp.Height(), ref.height) << name;
        const bool alpha = bmp.PixelFormat() == pf32bit;
        ASSERT_TRUE(alpha || bmp.PixelFormat() == pf24bit) << name;
        int bad = 0;
        for (int y = 0; y < ref.height; ++y)
            for (int x = 0; x < ref.width; ++x) {
                const uint8_t* r = &ref.rgba[(size_t(y) * ref.width + x) * 4];
                const uint8_t* p = bmp.ScanLine(y) + x * (alpha ? 4 : 3);
                const bool same = p[2] == r[0] && p[1] == r[1] && p[0] == r[2] && (alpha ? p[3] : 255) == r[3];
                bad += !same;
            }
        EXPECT_EQ(bad, 0) << name << (alpha ? " (with alpha)" : "");
        ++checked;
    }
    EXPECT_EQ(checked, 161);
    EXPECT_EQ(refused, 14);
}

}  // namespace
