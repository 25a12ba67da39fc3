// The BMP reader against the public BMP Suite: good files decode to the reference pixels,
// bad files are refused cleanly, questionable files either decode to their reference or are
// refused cleanly.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "BmpFile.h"
#include "Graphics.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

struct Pam {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

Pam ReadPam(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    Pam pam;
    std::string line;
    while (std::getline(in, line) && line != "ENDHDR") {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "WIDTH") fields >> pam.width;
        if (key == "HEIGHT") fields >> pam.height;
    }
    pam.rgba.resize(static_cast<size_t>(pam.width) * pam.height * 4);
    in.read(reinterpret_cast<char*>(pam.rgba.data()), static_cast<std::streamsize>(pam.rgba.size()));
    return pam;
}

struct Manifest {
    int tolerance = 0;
    std::string ref;
};

// Rows of the manifest for BMP files, by file name ("bmpsuite/g/pal1.bmp").
std::map<std::string, Manifest> ReadManifest(const fs::path& path) {
    std::map<std::string, Manifest> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::istringstream fields(line);
        for (std::string c; std::getline(fields, c, '\t');) cols.push_back(c);
        if (cols.size() < 7 || cols[0].rfind("bmpsuite/", 0) != 0) continue;
        rows[cols[0]] = {cols[6] == "-" ? 0 : std::stoi(cols[6]), cols[4]};
    }
    return rows;
}

void LoadFile(const fs::path& path, TBitmap& bmp) {
    TFileStream stream(path.string(), fmOpenRead);
    ReadBmp(stream, bmp);
}

// Largest per-channel difference of RGB between the bitmap and the reference.
int MaxDifference(const TBitmap& bmp, const Pam& pam) {
    int worst = 0;
    for (int y = 0; y < pam.height; ++y)
        for (int x = 0; x < pam.width; ++x) {
            const TColor c = bmp.GetPixel(x, y);
            const uint8_t* p = &pam.rgba[(static_cast<size_t>(y) * pam.width + x) * 4];
            worst = std::max({worst, std::abs(GetRValue(c) - p[0]), std::abs(GetGValue(c) - p[1]),
                              std::abs(GetBValue(c) - p[2])});
        }
    return worst;
}

// The pixel format each good file must keep.
const std::map<std::string, TPixelFormat> kGoodFormats = {
    {"pal1", pf1bit},         {"pal1bg", pf1bit},        {"pal1wb", pf1bit},        {"pal4", pf4bit},
    {"pal4gs", pf4bit},       {"pal4rle", pf4bit},       {"pal8-0", pf8bit},        {"pal8", pf8bit},
    {"pal8gs", pf8bit},       {"pal8nonsquare", pf8bit}, {"pal8os2", pf8bit},       {"pal8rle", pf8bit},
    {"pal8topdown", pf8bit},  {"pal8v4", pf8bit},        {"pal8v5", pf8bit},        {"pal8w124", pf8bit},
    {"pal8w125", pf8bit},     {"pal8w126", pf8bit},      {"rgb16-565", pf16bit},    {"rgb16-565pal", pf16bit},
    {"rgb16", pf15bit},       {"rgb16bfdef", pf15bit},   {"rgb24", pf24bit},        {"rgb24pal", pf24bit},
    {"rgb32", pf32bit},       {"rgb32bf", pf32bit},      {"rgb32bfdef", pf32bit},
};

std::vector<fs::path> Files(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(testsupport::SharedDir() / "testdata/bmpsuite" / folder))
        if (e.path().extension() == ".bmp") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(BmpSuite, GoodFilesKeepTheirFormatAndMatchTheReference) {
    REQUIRE_SHARED_DIR();
    const auto manifest = ReadManifest(testsupport::SharedDir() / "testdata/manifest.tsv");
    const auto files = Files("g");
    ASSERT_EQ(files.size(), kGoodFormats.size());
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string key = "bmpsuite/g/" + file.filename().string();
        ASSERT_TRUE(manifest.count(key));
        TBitmap bmp;
        ASSERT_NO_THROW(LoadFile(file, bmp));
        EXPECT_EQ(bmp.PixelFormat(), kGoodFormats.at(file.stem().string()));
        const Pam pam = ReadPam(testsupport::SharedDir() / "testdata" / manifest.at(key).ref);
        ASSERT_EQ(bmp.Width(), pam.width);
        ASSERT_EQ(bmp.Height(), pam.height);
        EXPECT_LE(MaxDifference(bmp, pam), manifest.at(key).tolerance);
    }
}

TEST(BmpSuite, QuestionableFilesDecodeToTheirReferenceOrFailCleanly) {
    REQUIRE_SHARED_DIR();
    const auto manifest = ReadManifest(testsupport::SharedDir() / "testdata/manifest.tsv");
    int matched = 0;
    for (const auto& file : Files("q")) {
        SCOPED_TRACE(file.filename().string());
        const auto& row = manifest.at("bmpsuite/q/" + file.filename().string());
        TBitmap bmp;
        try {
            LoadFile(file, bmp);
        } catch (const EInvalidGraphic&) {
            continue;  // a clean refusal
        }
        ASSERT_FALSE(bmp.Empty());
        if (row.ref == "-") continue;  // no agreed rendering to compare with
        const Pam pam = ReadPam(testsupport::SharedDir() / "testdata" / row.ref);
        ASSERT_EQ(bmp.Width(), pam.width);
        ASSERT_EQ(bmp.Height(), pam.height);
        EXPECT_LE(MaxDifference(bmp, pam), row.tolerance);
        ++matched;
    }
    // Every questionable file with a reference is one we should read.
    EXPECT_EQ(matched, 22);
}

TEST(BmpSuite, BadFilesAreRefusedCleanly) {
    REQUIRE_SHARED_DIR();
    // Damage that does not touch the pixels (density, stated sizes) is tolerated, as every
    // reader tolerates it; everything else must be refused with EInvalidGraphic.
    const std::set<std::string> harmless = {"baddens1.bmp", "baddens2.bmp", "badbitssize.bmp", "badfilesize.bmp"};
    for (const auto& file : Files("b")) {
        SCOPED_TRACE(file.filename().string());
        TBitmap bmp;
        if (harmless.count(file.filename().string())) {
            EXPECT_NO_THROW(LoadFile(file, bmp));
        } else {
            EXPECT_THROW(LoadFile(file, bmp), EInvalidGraphic);
            EXPECT_TRUE(bmp.Empty());
        }
    }
}

}  // namespace
