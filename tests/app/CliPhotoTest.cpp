// Photos through `kirimark --stamp --inputs all`: every input type to JPEG and PNG, the stamp
// in the corner viewers show, metadata as chosen, the sources untouched. The inputs are
// written by the formats' own libraries, the outputs judged by libjpeg, libpng and exiftool.
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "ExifToolJudge.h"
#include "FaultSupport.h"
#include "PhotoWriters.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using metatest::Tags;

namespace {

// A picture of width × height pixels, as its pixels are stored.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;  // top row first
    const uint8_t* At(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
};

Picture DecodeOutput(const std::string& path) {
    Picture p;
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0) {
        const pngread::Rgba d = pngread::DecodeLibpng(pngread::ReadFile(path));
        p.width = d.width, p.height = d.height, p.rgba = d.pixels;
        return p;
    }
    const apptest::Jpeg d = apptest::DecodeJpegFile(path);
    if (!d.ok) return p;
    p.width = d.picture.width, p.height = d.picture.height;
    for (size_t i = 0; i < d.picture.px.size(); i += 3)
        p.rgba.insert(p.rgba.end(), {d.picture.px[i], d.picture.px[i + 1], d.picture.px[i + 2], 255});
    return p;
}

// The stamp's cell is magenta: nothing else in the pictures is.
bool Magenta(const uint8_t* p) {
    return p[0] > 200 && p[1] < 70 && p[2] > 200 && p[3] > 200 && p[0] + p[2] - 2 * p[1] > 400;
}

struct Box {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // inclusive
};

Box StampCell(const Picture& p) {
    Box b;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (Magenta(p.At(x, y))) {
                b.left = std::min(b.left, x), b.top = std::min(b.top, y);
                b.right = std::max(b.right, x), b.bottom = std::max(b.bottom, y);
            }
    return b;
}

// The cell of a 9 pt line at the bottom right, 5 pixels in; JPEG may blur its edge by a pixel.
void ExpectBottomRight(const Picture& p, const std::string& what) {
    const Box b = StampCell(p);
    ASSERT_GE(b.right, 0) << what << ": no stamp";
    EXPECT_NEAR(b.right, p.width - 6, 1) << what;
    EXPECT_NEAR(b.bottom, p.height - 6, 1) << what;
    EXPECT_GT(b.right - b.left, 8) << what;
    EXPECT_GT(b.bottom - b.top, 8) << what;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct RunResult {
    int status = -1;
    std::vector<std::string> lines;
    std::string errors;
};

RunResult Stamp(const fs::path& dir, const std::vector<std::string>& args) {
    std::string cmd = "cd " + Quote(dir.string()) + " && env -u DISPLAY -u WAYLAND_DISPLAY KIRIMARK_SETTINGS_FILE=" +
                      Quote((dir / "settings.ini").string()) + " " + Quote(faulttest::ProgramPath()) + " --stamp";
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " 2>" + Quote((dir / "stderr.txt").string());
    RunResult run;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return run;
    std::string out;
    std::array<char, 4096> buf;
    while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) run.lines.push_back(line);
    run.errors = apptest::ReadFile((dir / "stderr.txt").string());
    return run;
}

const char* const kText = "(c)K";
const char* const kAbsent = nullptr;

void ExpectTag(const Tags& tags, const std::string& key, const char* want) {
    auto it = tags.find(key);
    if (!want)
        EXPECT_TRUE(it == tags.end()) << key << " should be absent, is " << it->second;
    else if (it == tags.end())
        ADD_FAILURE() << key << " missing, want " << want;
    else
        EXPECT_EQ(it->second, want) << key;
}

// One input type: its file name and how its library writes the picture with the metadata.
// Every source is stored turned (orientation 6), so that it shows 80 × 120.
struct Input {
    const char* name;
    bool exif, iptc, alpha;
    std::function<std::string(const photowriters::Rgba&, const PhotoMetadata&)> write;
};

const std::vector<Input>& Inputs() {
    using namespace photowriters;
    static const std::vector<Input> inputs = {
        {"jpeg.jpg", true, true, false,
         [](const Rgba& img, const PhotoMetadata& m) {
             return WriteJpeg(img, {.exif = m.exif, .xmp = m.xmp, .icc = m.icc, .iptc = m.iptc});
         }},
        {"png.PNG", true, false, true,
         [](const Rgba& img, const PhotoMetadata& m) {
             return WritePng(img, {.alpha = true, .exif = m.exif, .xmp = m.xmp, .icc = m.icc});
         }},
        {"tiff.tif", false, true, false,
         [](const Rgba& img, const PhotoMetadata& m) {
             return WriteTiff(img, {.orientation = 6, .xmp = m.xmp, .iptc = m.iptc, .icc = m.icc});
         }},
        {"webp.webp", true, false, true,
         [](const Rgba& img, const PhotoMetadata& m) {
             return WriteWebp(img, {.lossless = true, .alpha = true, .exif = m.exif, .xmp = m.xmp, .icc = m.icc});
         }},
        // irot carries the turn; the EXIF orientation inside must not turn it again.
        {"heif.heic", true, false, false,
         [](const Rgba& img, const PhotoMetadata& m) {
             return WriteHeif(img, {.orientation = 6, .exif = m.exif, .xmp = m.xmp, .icc = m.icc});
         }},
    };
    return inputs;
}

TEST(CliPhoto, EveryInputTypeToJpegAndPng) {
    REQUIRE_EXIFTOOL();
    if (faulttest::ProgramPath().empty()) GTEST_SKIP() << "program not built (run through ctest)";
    testsupport::TempDir dir;
    PhotoMetadata meta = metatest::ExifToolSource(dir.path()).metadata;  // orientation 6, GPS
    meta.icc = metatest::IccProfile("mntr", "RGB ");

    // Stored 120 × 80 in grey, half transparent where the format has alpha.
    photowriters::Rgba img{120, 80, {}};
    for (int i = 0; i < img.width * img.height; ++i) img.px.insert(img.px.end(), {128, 128, 128, 128});
    std::vector<std::string> names, sources;
    for (const Input& in : Inputs()) {
        if (std::string(in.name) == "heif.heic" && !photowriters::CanWriteHeif()) {
            std::printf("[  NOTE    ] this libheif cannot encode HEVC: HEIF input not covered\n");
            continue;
        }
        photowriters::Rgba stored = img;
        if (!in.alpha)
            for (size_t i = 3; i < stored.px.size(); i += 4) stored.px[i] = 255;
        names.push_back(in.name);
        sources.push_back(in.write(stored, meta));
        apptest::WriteFile(dir.file(in.name), sources.back());
    }

    struct Case {
        std::vector<std::string> options;
        const char* folder;  // where the outputs land
        bool keep, gps;
    };
    // JPEG outputs encoded anew: every one is then stored upright.
    const Case cases[] = {
        {{"--format", "jpeg", "--lossless", "no"}, "stamped", true, false},
        {{"--format", "png"}, "stamped", true, false},
        {{"--format", "jpeg", "--lossless", "no", "--gps", "keep", "--out-dir", "kept"}, "kept", true, true},
        {{"--format", "png", "--metadata", "strip", "--out-dir", "stripped"}, "stripped", false, false},
    };
    std::vector<std::string> outputs;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--inputs", "all",     "--corner", "bottom-right", "--back",
                                         "#FF00FF",  "--color", "#000000",  "--text",       kText};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), names.begin(), names.end());
        const RunResult run = Stamp(dir.path(), args);
        const std::string ext = c.options[1] == "png" ? ".png" : ".jpg";
        std::vector<std::string> expected;
        for (const std::string& n : names)
            expected.push_back(std::string(c.folder) + "/" + fs::path(n).stem().string() + ext);
        expected.push_back("全て処理が終了しました！（・ω・）");
        EXPECT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.lines, expected) << run.errors;
        for (size_t i = 0; i + 1 < expected.size(); ++i) outputs.push_back(dir.file(expected[i]));
    }

    // The sources are byte for byte what was written.
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(apptest::ReadFile(dir.file(names[i])), sources[i]) << names[i];

    const auto tags = metatest::ReadTags(outputs);
    size_t o = 0;
    for (const Case& c : cases) {
        for (const std::string& name : names) {
            const std::string& out = outputs[o++];
            SCOPED_TRACE(out);
            const Input& in =
                *std::find_if(Inputs().begin(), Inputs().end(), [&](const Input& i) { return name == i.name; });
            const bool png = out.compare(out.size() - 4, 4, ".png") == 0;

            const Picture p = DecodeOutput(out);
            ASSERT_EQ(p.width, 80) << "not shown upright";
            ASSERT_EQ(p.height, 120);
            ExpectBottomRight(p, out);
            // Transparency stays in PNG and is flattened on white in JPEG.
            const uint8_t* far = p.At(p.width / 2, 10);
            if (in.alpha && png) {
                EXPECT_NEAR(far[3], 128, 1);
            } else {
                EXPECT_EQ(far[3], 255);
                EXPECT_NEAR(far[0], in.alpha ? 191 : 128, 3);
            }

            ASSERT_EQ(tags.count(out), 1u);
            const Tags& t = tags.at(out);
            const bool exif = c.keep && in.exif;
            ExpectTag(t, "ICC-header:ColorSpaceData", "RGB ");  // colour, kept even when metadata go
            ExpectTag(t, "IFD0:Make", exif ? "KiriCam" : kAbsent);
            ExpectTag(t, "GPS:GPSLatitude", exif && c.gps ? "35.68" : kAbsent);
            ExpectTag(t, "XMP-exif:GPSLatitude", c.keep && c.gps ? "35.68" : kAbsent);
            ExpectTag(t, "XMP-dc:Creator", c.keep ? "Photographer" : kAbsent);
            ExpectTag(t, "XMP-dc:Rights", kText);
            ExpectTag(t, "IFD0:Copyright", kText);
            ExpectTag(t, "IPTC:CopyrightNotice", png ? kAbsent : kText);
            ExpectTag(t, "IPTC:Keywords", c.keep && in.iptc && !png ? "alpha" : kAbsent);
            for (const char* key : {"IFD0:Orientation", "XMP-tiff:Orientation"}) {
                if (t.count(key)) {
                    EXPECT_EQ(t.at(key), "1") << key;
                }
            }
        }
    }
}

// The public orientation examples: every EXIF orientation of one landscape and one portrait
// picture. Each output must be the upright picture (as the orientation-1 file shows it) with
// the stamp at its bottom right.
TEST(CliPhoto, EveryOrientationStampsTheDisplayedCorner) {
    REQUIRE_SHARED_DIR();
    const fs::path folder = testsupport::SharedDir() / "testdata" / "orientation";
    if (!fs::exists(folder / "Landscape_1.jpg")) GTEST_SKIP() << folder << " not found; orientation unjudged";
    if (faulttest::ProgramPath().empty()) GTEST_SKIP() << "program not built (run through ctest)";
    testsupport::TempDir dir;
    std::vector<std::string> args = {"--inputs", "all",          "--format", "png",     "--out-dir", "o",
                                     "--corner", "bottom-right", "--back",   "#FF00FF", "--text",    kText};
    std::vector<std::string> names;
    for (const char* shape : {"Landscape", "Portrait"})
        for (int o = 0; o <= 8; ++o) {
            names.push_back(std::string(shape) + "_" + std::to_string(o) + ".jpg");
            args.push_back((folder / names.back()).string());
        }
    const RunResult run = Stamp(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.errors;

    // Means of 8 × 8 blocks: what two encodings of the same picture share.
    auto blocks = [](const Picture& p) {
        std::vector<int> out;
        for (int by = 0; by + 8 <= p.height; by += 8)
            for (int bx = 0; bx + 8 <= p.width; bx += 8) {
                int sum = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) sum += p.At(x, y)[1];
                out.push_back(sum / 64);
            }
        return out;
    };
    for (const char* shape : {"Landscape", "Portrait"}) {
        const Picture upright = DecodeOutput(dir.file(std::string("o/") + shape + "_1.png"));
        ASSERT_GT(upright.width, 0);
        const std::vector<int> reference = blocks(upright);
        for (int o = 0; o <= 8; ++o) {
            const std::string out = dir.file(std::string("o/") + shape + "_" + std::to_string(o) + ".png");
            SCOPED_TRACE(out);
            const Picture p = DecodeOutput(out);
            ASSERT_EQ(p.width, upright.width);
            ASSERT_EQ(p.height, upright.height);
            ExpectBottomRight(p, out);
            const std::vector<int> b = blocks(p);
            long diff = 0;
            for (size_t i = 0; i < b.size(); ++i) diff += std::abs(b[i] - reference[i]);
            EXPECT_LT(diff / static_cast<long>(b.size()), 6) << "not the upright picture";
        }
    }
}

// A JPEG saved as JPEG keeps its coded picture (see LosslessStampTest) with the metadata rules
// of every photo; CMYK is encoded anew with a note, and variants libjpeg cannot decode fail
// with the reason. The sources stay as they were.
TEST(CliPhoto, JpegKeptAsCodedWithItsMetadata) {
    REQUIRE_EXIFTOOL();
    if (faulttest::ProgramPath().empty()) GTEST_SKIP() << "program not built (run through ctest)";
    testsupport::TempDir dir;
    const photowriters::Rgba img = photowriters::TestPicture(40, 30, false);
    const std::string plain = photowriters::WriteJpeg(img, {});
    const size_t sof = plain.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    std::string bits12 = plain, sof3 = plain;
    photowriters::JpegOptions cmyk;
    cmyk.cmyk = true;
    cmyk.exif = photowriters::ExifBlock(6);
    bits12[sof + 4] = 12;
    sof3[sof + 1] = char(0xC3);
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"camera.jpg", metatest::ExifToolSource(dir.path()).jpeg},  // orientation 6, GPS, thumbnail
        {"cmyk.jpg", photowriters::WriteJpeg(img, cmyk)},
        {"bits12.jpg", bits12},
        {"sof3.jpg", sof3},
    };
    std::vector<std::string> args = {"--inputs", "all", "--format", "jpeg", "--quality", "1", "--text", kText};
    for (const auto& [name, bytes] : sources) {
        apptest::WriteFile(dir.file(name), bytes);
        args.push_back(name);
    }
    const RunResult run = Stamp(dir.path(), args);
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = {
        "stamped/camera.jpg", "stamped/cmyk.jpg", "bits12.jpg: なんか変なものが渡されたよ（-ω-）",
        "sof3.jpg: なんか変なものが渡されたよ（-ω-）", "全て正常に処理が終了しませんでした（-ω-）"};
    EXPECT_EQ(run.lines, lines);
    for (const char* error : {"kirimark: cmyk.jpg: CMYK JPEG: the stamp needs the picture decoded and encoded again",
                              "kirimark: bits12.jpg: JPEG: Unsupported JPEG data precision 12",
                              "kirimark: sof3.jpg: JPEG: Unsupported JPEG process: SOF type 0xc3"})
        EXPECT_NE(run.errors.find(error), std::string::npos) << error << " not in:\n" << run.errors;
    for (const auto& [name, bytes] : sources) EXPECT_EQ(apptest::ReadFile(dir.file(name)), bytes) << name;

    // Not encoded anew: quality 1 would have given other tables; the picture is still stored
    // turned, and says so.
    const std::string camera = dir.file("stamped/camera.jpg");
    EXPECT_EQ(apptest::DecodeJpegFile(camera).luminanceTable,
              apptest::DecodeJpegFile(dir.file("camera.jpg")).luminanceTable);
    const auto tags = metatest::ReadTags({camera, dir.file("camera.jpg")});
    const Tags& t = tags.at(camera);
    ExpectTag(t, "ExifTool:Validate", "0 0 0");
    ExpectTag(t, "File:ImageWidth", tags.at(dir.file("camera.jpg")).at("File:ImageWidth").c_str());
    ExpectTag(t, "IFD0:Orientation", "6");
    ExpectTag(t, "IFD0:Make", "KiriCam");
    ExpectTag(t, "GPS:GPSLatitude", kAbsent);
    ExpectTag(t, "XMP-exif:GPSLatitude", kAbsent);
    ExpectTag(t, "IFD1:ThumbnailLength", kAbsent);
    ExpectTag(t, "XMP-xmp:ThumbnailImage", kAbsent);
    ExpectTag(t, "XMP-dc:Rights", kText);
    ExpectTag(t, "IFD0:Copyright", kText);
    ExpectTag(t, "IPTC:CopyrightNotice", kText);

    // CMYK went the decoding way: stored upright in colour.
    const apptest::Jpeg encoded = apptest::DecodeJpegFile(dir.file("stamped/cmyk.jpg"));
    ASSERT_TRUE(encoded.ok);
    EXPECT_EQ(encoded.picture.width, 30);
    EXPECT_EQ(encoded.picture.height, 40);
}

}  // namespace
