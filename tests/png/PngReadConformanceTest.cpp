// PngSuite: every file libpng accepts decodes to the reference RGBA; every corrupt file fails
// with the reader's own message or loads what the reader is meant to load.
#include <algorithm>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "KMPNG.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace pngread;

namespace {

std::filesystem::path SuiteDir() { return testsupport::SharedDir() / "testdata" / "pngsuite"; }

std::vector<std::string> SuiteFiles(bool corrupt) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(SuiteDir())) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".png" && (name[0] == 'x') == corrupt) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Where the pixels first differ, for a readable failure.
std::string FirstDifference(const Rgba& ours, const Rgba& ref) {
    for (size_t i = 0; i < ours.pixels.size(); i += 4) {
        if (!std::equal(ours.pixels.begin() + static_cast<long>(i), ours.pixels.begin() + static_cast<long>(i) + 4,
                        ref.pixels.begin() + static_cast<long>(i))) {
            const size_t p = i / 4;
            auto rgba = [&](const Rgba& r) {
                return std::to_string(r.pixels[i]) + "," + std::to_string(r.pixels[i + 1]) + "," +
                       std::to_string(r.pixels[i + 2]) + "," + std::to_string(r.pixels[i + 3]);
            };
            return "pixel (" + std::to_string(p % ours.width) + "," + std::to_string(p / ours.width) + "): ours " +
                   rgba(ours) + " reference " + rgba(ref);
        }
    }
    return "";
}

}  // namespace

TEST(PngReadConformance, EveryValidSuiteFileMatchesItsReference) {
    REQUIRE_SHARED_DIR();
    const auto names = SuiteFiles(false);
    ASSERT_GE(names.size(), 161u);
    int checked = 0;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const Rgba ref = ReadPam(SuiteDir() / "ref" / (name + ".pam"));
        ASSERT_FALSE(ref.pixels.empty());
        const Bytes file = ReadFile(SuiteDir() / name);
        Decoded d;
        ASSERT_NO_THROW(DecodeOurs(file, d));
        const Rgba ours = ToRgba(d);
        ASSERT_EQ(ours.width, ref.width);
        ASSERT_EQ(ours.height, ref.height);
        ASSERT_EQ(ours.pixels.size(), ref.pixels.size());
        EXPECT_EQ(FirstDifference(ours, ref), "");
        // libpng, run here as well, agrees with the stored reference.
        const Rgba lib = DecodeLibpng(file);
        EXPECT_EQ(lib.pixels, ref.pixels);
        ++checked;
    }
    EXPECT_EQ(checked, 161);
}

TEST(PngReadConformance, CorruptSuiteFilesFailCleanlyOrLoadAsIntended) {
    REQUIRE_SHARED_DIR();
    // Damaged checksums in critical chunks and a missing IDAT fail like any other damage.
    const std::map<std::string, std::string> expected = {
        {"xc1n0g08.png", "Read Header(PNG): Error ColorType"}, {"xc9n2c08.png", "Read Header(PNG): Error ColorType"},
        {"xcrn0g04.png", "PNG LoadStream: Not PNG Format"},    {"xcsn0g01.png", "PNG LoadStream: CRC Error (IDAT)"},
        {"xd0n2c08.png", "Read Header(PNG): Error BitDepth"},  {"xd3n2c08.png", "Read Header(PNG): Error BitDepth"},
        {"xd9n2c08.png", "Read Header(PNG): Error BitDepth"},  {"xdtn0g01.png", "PNG LoadStream: no IDAT chunk"},
        {"xhdn0g08.png", "PNG LoadStream: CRC Error (IHDR)"},  {"xlfn0g04.png", "PNG LoadStream: Not PNG Format"},
        {"xs1n0g01.png", "PNG LoadStream: Not PNG Format"},    {"xs2n0g01.png", "PNG LoadStream: Not PNG Format"},
        {"xs4n0g01.png", "PNG LoadStream: Not PNG Format"},    {"xs7n0g01.png", "PNG LoadStream: Not PNG Format"},
    };
    const auto names = SuiteFiles(true);
    ASSERT_EQ(names.size(), expected.size());
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(expected.count(name));
        Decoded d;
        std::string message;
        try {
            DecodeOurs(ReadFile(SuiteDir() / name), d);
        } catch (const EKMPNG& e) {
            message = e.what();
        }
        EXPECT_EQ(message, expected.at(name));
    }
}
