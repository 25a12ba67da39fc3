// The BMP reader against the public BMP Suite: good files keep their pixel format and decode
// to the reference pixels; questionable and bad files load or are refused as their tables
// list, loaded ones matching their reference where there is one.
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
            worst = std::max(
                {worst, std::abs(GetRValue(c) - p[0]), std::abs(GetGValue(c) - p[1]), std::abs(GetBValue(c) - p[2])});
        }
    return worst;
}

// The pixel format each good file must keep.
const std::map<std::string, TPixelFormat> kGoodFormats = {
    {"pal1", pf1bit},        {"pal1bg", pf1bit},        {"pal1wb", pf1bit},      {"pal4", pf4bit},
    {"pal4gs", pf4bit},      {"pal4rle", pf4bit},       {"pal8-0", pf8bit},      {"pal8", pf8bit},
    {"pal8gs", pf8bit},      {"pal8nonsquare", pf8bit}, {"pal8os2", pf8bit},     {"pal8rle", pf8bit},
    {"pal8topdown", pf8bit}, {"pal8v4", pf8bit},        {"pal8v5", pf8bit},      {"pal8w124", pf8bit},
    {"pal8w125", pf8bit},    {"pal8w126", pf8bit},      {"rgb16-565", pf16bit},  {"rgb16-565pal", pf16bit},
    {"rgb16", pf15bit},      {"rgb16bfdef", pf15bit},   {"rgb24", pf24bit},      {"rgb24pal", pf24bit},
    {"rgb32", pf32bit},      {"rgb32bf", pf32bit},      {"rgb32bfdef", pf32bit},
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

// What the reader makes of each questionable file: the pixel format it loads with, or the
// part of the refusal message that names the reason. Files that load are compared with their
// reference where the manifest has one.
struct Outcome {
    const char* file;
    TPixelFormat format;  // pfDevice: refused
    const char* reason;   // part of the message of a refusal
};

const Outcome kQuestionable[] = {
    {"pal1huffmsb.bmp", pfDevice, "Huffman"},
    {"pal1p1.bmp", pf1bit, ""},
    {"pal2.bmp", pfDevice, "unsupported bit count 2"},
    {"pal2color.bmp", pfDevice, "unsupported bit count 2"},
    {"pal4rlecut.bmp", pf4bit, ""},
    {"pal4rletrns.bmp", pf4bit, ""},
    {"pal8offs.bmp", pf8bit, ""},
    {"pal8os2-hs.bmp", pf8bit, ""},
    {"pal8os2-sz.bmp", pf8bit, ""},
    {"pal8os2sp.bmp", pf8bit, ""},
    {"pal8os2v2-16.bmp", pf8bit, ""},
    {"pal8os2v2-40sz.bmp", pf8bit, ""},
    {"pal8os2v2-sz.bmp", pf8bit, ""},
    {"pal8os2v2.bmp", pf8bit, ""},
    {"pal8oversizepal.bmp", pfDevice, "the palette claims 300 colours"},
    {"pal8rlecut.bmp", pf8bit, ""},
    {"pal8rletrns.bmp", pf8bit, ""},
    {"rgb16-231.bmp", pf24bit, ""},
    {"rgb16-3103.bmp", pf24bit, ""},
    {"rgb16faketrns.bmp", pf15bit, ""},
    {"rgb24jpeg.bmp", pfDevice, "a bitmap compressed with JPEG is not supported"},
    {"rgb24largepal.bmp", pf24bit, ""},
    {"rgb24lprof.bmp", pf24bit, ""},
    {"rgb24png.bmp", pfDevice, "a bitmap compressed with PNG is not supported"},
    {"rgb24rle24.bmp", pfDevice, "RLE24"},
    {"rgb32-111110.bmp", pf32bit, ""},
    {"rgb32-7187.bmp", pf32bit, ""},
    {"rgb32-xbgr.bmp", pf32bit, ""},
    {"rgb32fakealpha.bmp", pf32bit, ""},
    {"rgb32h52.bmp", pf32bit, ""},
    {"rgba16-1924.bmp", pf32bit, ""},
    {"rgba16-4444.bmp", pf32bit, ""},
    {"rgba16-5551.bmp", pf15bit, ""},
    {"rgba32-1.bmp", pf32bit, ""},
    {"rgba32-1010102.bmp", pf32bit, ""},
    {"rgba32-2.bmp", pf32bit, ""},
    {"rgba32-61754.bmp", pf32bit, ""},
    {"rgba32-81284.bmp", pf32bit, ""},
    {"rgba32abf.bmp", pfDevice, "unsupported compression 6"},
    {"rgba32h56.bmp", pf32bit, ""},
    {"rgba64.bmp", pfDevice, "unsupported bit count 64"},
};

// Bad files: the few whose damage does not touch the pixels load (as every reader tolerates
// them); every other one is refused for the reason named.
const Outcome kBad[] = {
    {"badbitcount.bmp", pfDevice, "unsupported bit count 30000"},
    {"badbitssize.bmp", pf1bit, ""},
    {"baddens1.bmp", pf1bit, ""},
    {"baddens2.bmp", pf1bit, ""},
    {"badfilesize.bmp", pf1bit, ""},
    {"badheadersize.bmp", pfDevice, "unknown header size 66"},
    {"badpalettesize.bmp", pfDevice, "the palette claims 305402420 colours"},
    {"badplanes.bmp", pfDevice, "plane count is 30000"},
    {"badrle.bmp", pfDevice, "compressed pixels run past the picture"},
    {"badrle4.bmp", pfDevice, "compressed pixels run past the picture"},
    {"badrle4bis.bmp", pfDevice, "a compressed delta moves past the picture"},
    {"badrle4ter.bmp", pfDevice, "a compressed delta moves past the picture"},
    {"badrlebis.bmp", pfDevice, "a compressed delta moves past the picture"},
    {"badrleter.bmp", pfDevice, "a compressed delta moves past the picture"},
    {"badwidth.bmp", pfDevice, "the width is -127"},
    {"pal8badindex.bmp", pfDevice, "pixel index 252 lies past the 101-entry palette"},
    {"reallybig.bmp", pfDevice, "too large (3000000 x 2000000)"},
    {"rgb16-880.bmp", pfDevice, "a colour mask is empty"},
    {"rletopdown.bmp", pfDevice, "compressed bitmaps cannot be top-down"},
    {"shortfile.bmp", pfDevice, "the file is truncated"},
};

// Runs a folder against its table: every file is listed, and each loads or fails as listed.
// Returns how many loaded files matched a reference.
template <size_t N>
int CheckOutcomes(const std::string& folder, const Outcome (&table)[N]) {
    const auto manifest = ReadManifest(testsupport::SharedDir() / "testdata/manifest.tsv");
    std::set<std::string> listed;
    for (const auto& o : table) listed.insert(o.file);
    std::set<std::string> present;
    for (const auto& f : Files(folder)) present.insert(f.filename().string());
    EXPECT_EQ(present, listed);

    int matched = 0;
    for (const auto& o : table) {
        SCOPED_TRACE(o.file);
        const fs::path file = testsupport::SharedDir() / "testdata/bmpsuite" / folder / o.file;
        TBitmap bmp;
        if (o.format == pfDevice) {
            try {
                LoadFile(file, bmp);
                ADD_FAILURE() << "loaded; expected a refusal naming \"" << o.reason << "\"";
            } catch (const EInvalidGraphic& e) {
                EXPECT_NE(std::string(e.what()).find(o.reason), std::string::npos) << e.what();
                EXPECT_EQ(std::string(e.what()).rfind("Invalid bitmap file: ", 0), 0u) << e.what();
            }
            EXPECT_TRUE(bmp.Empty());
            continue;
        }
        try {
            LoadFile(file, bmp);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "refused: " << e.what();
            continue;
        }
        EXPECT_EQ(bmp.PixelFormat(), o.format);
        const auto row = manifest.find("bmpsuite/" + folder + "/" + o.file);
        if (row == manifest.end() || row->second.ref == "-") continue;  // no agreed rendering
        const Pam pam = ReadPam(testsupport::SharedDir() / "testdata" / row->second.ref);
        if (bmp.Width() != pam.width || bmp.Height() != pam.height) {
            ADD_FAILURE() << "size " << bmp.Width() << "x" << bmp.Height() << ", reference " << pam.width << "x"
                          << pam.height;
            continue;
        }
        EXPECT_LE(MaxDifference(bmp, pam), row->second.tolerance);
        ++matched;
    }
    return matched;
}

TEST(BmpSuite, QuestionableFilesLoadOrFailAsListed) {
    REQUIRE_SHARED_DIR();
    // Every questionable file with a reference is one we read, and reads to that reference.
    EXPECT_EQ(CheckOutcomes("q", kQuestionable), 22);
}

TEST(BmpSuite, BadFilesAreRefusedForTheirReason) {
    REQUIRE_SHARED_DIR();
    CheckOutcomes("b", kBad);
}

}  // namespace
