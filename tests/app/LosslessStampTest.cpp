// JPEG photos saved as JPEG without being encoded again, through the pipeline and the command
// line. libjpeg judges: its coefficient reader finds every block outside the stamp's MCUs as the
// source had it, its decoder shows the stamp, turned here by the viewer's rule for each EXIF
// orientation, at the chosen corner; exiftool reads the metadata.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "ExifToolJudge.h"
#include "FaultSupport.h"
#include "JpegCoefficients.h"
#include "PhotoWriters.h"
#include "StampStyle.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

const char* const kText = "(c)K";

using jpegjudge::Coefficients;
using jpegjudge::Component;
using jpegjudge::ReadCoefficients;

// ------------------------------------------------------------------------------------------
// The picture as a viewer shows it.

// The stored pixel that shows at (x, y) of a stored width × height picture.
std::pair<int, int> StoredPoint(int x, int y, int orientation, int width, int height) {
    switch (orientation) {
    case 2: return {width - 1 - x, y};
    case 3: return {width - 1 - x, height - 1 - y};
    case 4: return {x, height - 1 - y};
    case 5: return {y, x};
    case 6: return {y, height - 1 - x};
    case 7: return {width - 1 - y, height - 1 - x};
    case 8: return {width - 1 - y, x};
    default: return {x, y};
    }
}

apptest::Rgb Displayed(const apptest::Rgb& stored, int orientation) {
    const bool turned = orientation >= 5 && orientation <= 8;
    apptest::Rgb out{turned ? stored.height : stored.width, turned ? stored.width : stored.height, {}};
    out.px.resize(stored.px.size());
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const auto [sx, sy] = StoredPoint(x, y, orientation, stored.width, stored.height);
            std::copy_n(&stored.px[(size_t(sy) * stored.width + sx) * 3], 3, &out.px[(size_t(y) * out.width + x) * 3]);
        }
    return out;
}

apptest::Rgb Decode(const std::string& path) {
    const apptest::Jpeg d = apptest::DecodeJpegFile(path);
    EXPECT_TRUE(d.ok) << path;
    return d.picture;
}

// ------------------------------------------------------------------------------------------
// The judge of one output.

struct Expected {
    int orientation = 1;
    bool left = false, top = false;
    TColor back = RGBColor(255, 0, 255);
    bool grey = false;
    apptest::ScaledStamp scaled{};  // a stamp sized by a share of the picture; none: 9 points
};

// The stamp's cell where it must show: 5 pixels in from the corner's two edges, or the scaled
// margin for a scaled stamp.
TRect ExpectedCell(int width, int height, const Expected& want) {
    Settings s;
    InitSettings(s);
    TBitmap probe;
    probe.Allocate(pf24bit, 1, 1);
    SetStampFont(probe.Canvas(), s.FontName, 0);
    const bool scaled = want.scaled.margin > 0;
    const TSize e = scaled ? want.scaled.extent : probe.Canvas().TextExtent(kText);
    const int m = scaled ? want.scaled.margin : 5;
    const int x = want.left ? m : width - m - e.cx, y = want.top ? m : height - m - e.cy;
    return {x, y, x + e.cx, y + e.cy};
}

void ExpectStampedLosslessly(const std::string& source, const std::string& output, const Expected& want) {
    SCOPED_TRACE(output + " orientation " + std::to_string(want.orientation));
    const apptest::Rgb before = Decode(source), after = Decode(output);
    ASSERT_EQ(after.width, before.width) << "the pixels were turned";
    ASSERT_EQ(after.height, before.height);

    // The displayed picture changes in the cell at the corner, and nowhere else.
    const apptest::Rgb shownBefore = Displayed(before, want.orientation), shown = Displayed(after, want.orientation);
    const TRect cell = ExpectedCell(shown.width, shown.height, want);
    TRect changed{1 << 30, 1 << 30, -1, -1};
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) {
            const uint8_t* a = &shown.px[(size_t(y) * shown.width + x) * 3];
            const uint8_t* b = &shownBefore.px[(size_t(y) * shown.width + x) * 3];
            if (std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])}) < 60) continue;
            changed = {std::min(changed.Left, x), std::min(changed.Top, y), std::max(changed.Right, x + 1),
                       std::max(changed.Bottom, y + 1)};
        }
    // Colours subsampled in the file spread past the cell's edge by a pixel or two.
    EXPECT_NEAR(changed.Left, cell.Left, 2);
    EXPECT_NEAR(changed.Top, cell.Top, 2);
    EXPECT_NEAR(changed.Right, cell.Right, 2);
    EXPECT_NEAR(changed.Bottom, cell.Bottom, 2);
    const TColor back = want.grey ? RGBColor(105, 105, 105) : want.back;  // magenta's luminance
    const auto [hits, total] = apptest::CountNear(shown, cell, back, 48);
    EXPECT_GT(hits * 3, total) << "the cell is not the background colour";  // the rest: letters, smeared colour

    // Outside the MCUs under the cell, every block is the source's.
    const Coefficients in = ReadCoefficients(apptest::ReadFile(source)),
                       out = ReadCoefficients(apptest::ReadFile(output));
    EXPECT_EQ(out.progressive, in.progressive);
    EXPECT_EQ(out.quant, in.quant);
    ASSERT_EQ(out.comps.size(), in.comps.size());
    const auto [x0, y0] = StoredPoint(cell.Left, cell.Top, want.orientation, before.width, before.height);
    const auto [x1, y1] = StoredPoint(cell.Right - 1, cell.Bottom - 1, want.orientation, before.width, before.height);
    const int mcuW = 8 * in.maxH, mcuH = 8 * in.maxV;
    const int mcuLeft = std::min(x0, x1) / mcuW, mcuRight = std::max(x0, x1) / mcuW;
    const int mcuTop = std::min(y0, y1) / mcuH, mcuBottom = std::max(y0, y1) / mcuH;
    int differing = 0, kept = 0;
    for (size_t c = 0; c < in.comps.size(); ++c) {
        const Component &a = in.comps[c], &b = out.comps[c];
        ASSERT_EQ(b.h, a.h);
        ASSERT_EQ(b.v, a.v);
        ASSERT_EQ(b.blocks.size(), a.blocks.size());
        for (int by = 0; by < a.hb; ++by)
            for (int bx = 0; bx < a.wb; ++bx) {
                const size_t i = size_t(by) * a.wb + bx;
                const int mx = bx / a.h, my = by / a.v;
                if (mx >= mcuLeft && mx <= mcuRight && my >= mcuTop && my <= mcuBottom) {
                    differing += a.blocks[i] != b.blocks[i];
                    continue;
                }
                ++kept;
                if (a.blocks[i] != b.blocks[i]) ADD_FAILURE() << "component " << c << " block " << bx << "," << by;
            }
    }
    EXPECT_GT(differing, 0);
    EXPECT_GT(kept, 0);
}

Settings MagentaStamp(bool left, bool top) {
    Settings s;
    InitSettings(s);
    s.Photo.AcceptPhotos = true;
    s.CopyrightText = kText;
    s.BackColor = RGBColor(255, 0, 255);
    s.WordColor = RGBColor(0, 0, 0);
    s.PosLeft = left;
    s.PosTop = top;
    return s;
}

// Light and finely textured: far from the stamp's magenta and black in every channel.
photowriters::Rgba LightPicture(int width, int height) {
    photowriters::Rgba img{width, height, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.px.insert(img.px.end(), {uint8_t(170 + (x * 7 + y * 3) % 60), uint8_t(190 + x * 5 % 50),
                                         uint8_t(160 + y * 11 % 60), 255});
    return img;
}

// Every sampling, baseline and progressive, every orientation and every corner. The picture is
// no whole number of MCUs wide or high, so that the right and bottom corners meet partial ones.
TEST(LosslessStamp, OnlyTheBlocksUnderTheStampChange) {
    struct Kind {
        const char* name;
        int lumaH, lumaV;
        bool grey;
    };
    const Kind kinds[] = {{"444", 1, 1, false}, {"422", 2, 1, false}, {"420", 2, 2, false}, {"grey", 1, 1, true}};
    testsupport::TempDir dir;
    const photowriters::Rgba picture = LightPicture(100, 76);
    std::vector<std::string> outputs;
    std::vector<int> orientations;
    TPicture work;
    for (const Kind& kind : kinds)
        for (const bool progressive : {false, true})
            for (int o = 1; o <= 8; ++o) {
                const std::string name = std::string(kind.name) + (progressive ? "p" : "b") + std::to_string(o);
                const std::string source = dir.file(name + ".jpg");
                photowriters::JpegOptions options;
                options.quality = 90;
                options.grey = kind.grey;
                options.lumaH = kind.lumaH, options.lumaV = kind.lumaV;
                options.progressive = progressive;
                options.exif = photowriters::ExifBlock(o);
                apptest::WriteFile(source, photowriters::WriteJpeg(picture, options));
                for (const int corner : {0, 1, 2, 3}) {
                    const bool left = corner & 1, top = corner & 2;
                    const std::string target = dir.file("out/" + name + "-" + std::to_string(corner) + ".jpg");
                    const TFileOutcome outcome = ProcessFile(work, source, MagentaStamp(left, top), {}, false, target);
                    ASSERT_EQ(outcome.Result, TFileOutcome::Written) << target << ": " << outcome.Detail;
                    EXPECT_TRUE(outcome.Notes.empty()) << target << ": " << outcome.Notes.front();
                    ExpectStampedLosslessly(source, target, {o, left, top, RGBColor(255, 0, 255), kind.grey});
                    outputs.push_back(target);
                    orientations.push_back(o);
                }
            }
    if (!metatest::HaveExifTool()) GTEST_SKIP() << "exiftool not found; orientation tags unjudged";
    const auto tags = metatest::ReadTags(outputs);
    for (size_t i = 0; i < outputs.size(); ++i)
        EXPECT_EQ(tags.at(outputs[i]).at("IFD0:Orientation"), std::to_string(orientations[i])) << outputs[i];
}

// A size relative to the picture: the cell follows the shorter side, which the stored
// orientation does not change, and keeps its scaled margin at the displayed corner.
TEST(LosslessStamp, ARelativeSizeFollowsTheShorterSide) {
    testsupport::TempDir dir;
    const std::string source = dir.file("wide.jpg");
    photowriters::JpegOptions options;
    options.quality = 90;
    options.lumaH = 2, options.lumaV = 2;
    options.exif = photowriters::ExifBlock(6);  // stored 300 × 200, shown 200 × 300
    apptest::WriteFile(source, photowriters::WriteJpeg(LightPicture(300, 200), options));
    Settings s = MagentaStamp(false, false);
    s.Photo.StampSize.Relative = true;
    s.Photo.StampSize.Hundredths = 2500;  // 50 pixels of the 200
    TPicture work;
    const std::string target = dir.file("out/wide.jpg");
    const TFileOutcome outcome = ProcessFile(work, source, s, {}, false, target);
    ASSERT_EQ(outcome.Result, TFileOutcome::Written) << outcome.Detail;
    Expected want{6, false, false};
    want.scaled = apptest::ExpectedScaledStamp(kText, 50, 12);
    ASSERT_GT(want.scaled.extent.cy, apptest::StampExtent(kText).cy) << "no larger than the 9-point stamp";
    ExpectStampedLosslessly(source, target, want);
}

// The public examples: each orientation of a landscape and a portrait camera picture. Shown as
// a viewer shows them, each must be the upright picture, stamped at its bottom right.
TEST(LosslessStamp, ThePublicOrientationExamples) {
    REQUIRE_SHARED_DIR();
    const fs::path folder = testsupport::SharedDir() / "testdata" / "orientation";
    if (!fs::exists(folder / "Landscape_1.jpg")) GTEST_SKIP() << folder << " not found; orientation unjudged";
    testsupport::TempDir dir;
    TPicture work;
    // Means of 8 × 8 blocks of green: what the upright picture and a turned copy share.
    auto means = [](const apptest::Rgb& p) {
        std::vector<int> out;
        for (int by = 0; by + 8 <= p.height; by += 8)
            for (int bx = 0; bx + 8 <= p.width; bx += 8) {
                int sum = 0;
                for (int y = by; y < by + 8; ++y)
                    for (int x = bx; x < bx + 8; ++x) sum += p.px[(size_t(y) * p.width + x) * 3 + 1];
                out.push_back(sum / 64);
            }
        return out;
    };
    for (const char* shape : {"Landscape", "Portrait"}) {
        const std::vector<int> upright = means(Decode((folder / (std::string(shape) + "_1.jpg")).string()));
        for (int o = 0; o <= 8; ++o) {
            const std::string source = (folder / (std::string(shape) + "_" + std::to_string(o) + ".jpg")).string();
            const std::string target = dir.file(std::string(shape) + std::to_string(o) + ".jpg");
            const TFileOutcome outcome = ProcessFile(work, source, MagentaStamp(false, false), {}, false, target);
            ASSERT_EQ(outcome.Result, TFileOutcome::Written) << source << ": " << outcome.Detail;
            const int orientation = std::max(o, 1);
            ExpectStampedLosslessly(source, target, {orientation, false, false});
            const std::vector<int> shown = means(Displayed(Decode(target), orientation));
            ASSERT_EQ(shown.size(), upright.size()) << target;
            long diff = 0;
            for (size_t i = 0; i < shown.size(); ++i) diff += std::abs(shown[i] - upright[i]);
            EXPECT_LT(diff / static_cast<long>(shown.size()), 6) << target << " is not shown upright";
        }
    }
}

}  // namespace
