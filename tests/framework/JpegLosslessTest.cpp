// Stamping JPEG files without encoding them again, judged by libjpeg itself: its coefficient
// reader compares every block with the source's, its decoder shows where the stamp landed, and
// its own Huffman optimisation must give the same file as ours. The displayed picture is made
// here by turning and mirroring, independently of the engine's orientation arithmetic.
#include <gtest/gtest.h>

#include <array>
#include <csetjmp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "JpegCoefficients.h"
#include "JpegLossless.h"
#include "TestSupport.h"

namespace {

// ------------------------------------------------------------------------------------------
// Pictures and their displayed form.

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

template <class T>
struct Image {
    int w = 0, h = 0;
    std::vector<T> px;
    T& at(int x, int y) { return px[static_cast<size_t>(y) * w + x]; }
    const T& at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

template <class T>
Image<T> TurnClockwise(const Image<T>& in) {
    Image<T> out{in.h, in.w, std::vector<T>(in.px.size())};
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x) out.at(x, y) = in.at(y, in.h - 1 - x);
    return out;
}

template <class T>
Image<T> Mirror(const Image<T>& in) {
    Image<T> out = in;
    for (int y = 0; y < in.h; ++y)
        for (int x = 0; x < in.w; ++x) out.at(x, y) = in.at(in.w - 1 - x, y);
    return out;
}

// What a viewer does for each EXIF orientation: turn clockwise so often, then mirror.
template <class T>
Image<T> Displayed(Image<T> img, int orientation) {
    static constexpr struct {
        int turns;
        bool mirror;
    } kView[9] = {{0, false}, {0, false}, {0, true}, {2, false}, {2, true},
                  {1, true},  {1, false}, {3, true}, {3, false}};
    const auto& v = kView[orientation >= 1 && orientation <= 8 ? orientation : 1];
    for (int i = 0; i < v.turns; ++i) img = TurnClockwise(img);
    return v.mirror ? Mirror(img) : img;
}

// libjpeg's warnings on our output are faults too; its errors end the test program.
struct Judge {
    jpeg_error_mgr err;
    Judge() { jpeg_std_error(&err); }
};

Image<Rgb> Decode(const std::vector<uint8_t>& bytes) {
    Judge judge;
    jpeg_decompress_struct cinfo;
    cinfo.err = &judge.err;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    Image<Rgb> img{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), {}};
    img.px.resize(static_cast<size_t>(img.w) * img.h);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(&img.at(0, static_cast<int>(cinfo.output_scanline)));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    EXPECT_EQ(judge.err.num_warnings, 0);
    return img;
}

using jpegjudge::Block;
using jpegjudge::Coefficients;
using jpegjudge::Component;
using jpegjudge::ReadCoefficients;

// The frame's coding mode, the restart interval and each scan's components and ranges, read
// from the marker segments (Huffman tables and their selectors are the output's own).
std::string Structure(const std::vector<uint8_t>& f) {
    std::ostringstream s;
    size_t i = 2;
    while (i + 4 <= f.size()) {
        if (f[i] != 0xFF) return s.str() + " <lost>";
        const int marker = f[i + 1];
        if (marker == 0xD9) break;
        const size_t len = static_cast<size_t>(f[i + 2]) << 8 | f[i + 3];
        const uint8_t* seg = &f[i + 4];
        if (marker == 0xC0 || marker == 0xC1) s << "sequential;";
        if (marker == 0xC2) s << "progressive;";
        if (marker == 0xDD) s << "restart " << (seg[0] << 8 | seg[1]) << ";";
        i += 2 + len;
        if (marker != 0xDA) continue;
        s << "scan";
        for (int c = 0; c < seg[0]; ++c) s << " " << int{seg[1 + 2 * c]};
        const uint8_t* tail = seg + 1 + 2 * seg[0];
        s << " " << int{tail[0]} << "-" << int{tail[1]} << " " << (tail[2] >> 4) << "/" << (tail[2] & 15) << ";";
        while (i + 1 < f.size() && !(f[i] == 0xFF && f[i + 1] != 0 && (f[i + 1] < 0xD0 || f[i + 1] > 0xD7))) ++i;
    }
    return s.str();
}

// ------------------------------------------------------------------------------------------
// Sources made here with libjpeg.

struct SourceRecipe {
    const char* name;
    int lumaH, lumaV;  // 0 for a greyscale file
    bool progressive;
    int restartRows;  // restart interval in MCU rows, 0 for none
};

std::vector<TJpegMarker> SourceMarkers() {
    auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    return {{JPEG_APP0 + 1, bytes(std::string("Exif\0\0MM\0*\0\0\0\x08", 14) + "orientation tag here")},
            {JPEG_APP0 + 2, bytes(std::string("ICC_PROFILE\0\x01\x01", 14) + "profile")},
            {JPEG_COM, bytes("a comment")},
            {JPEG_APP0 + 13, bytes("Photoshop 3.0")}};
}

std::vector<uint8_t> MakeJpeg(const SourceRecipe& recipe, int w, int h, int quality = 90) {
    std::mt19937 rng(static_cast<unsigned>(w * 131 + h));
    std::uniform_int_distribution<int> noise(-20, 20);
    const bool grey = recipe.lumaH == 0;
    const int channels = grey ? 1 : 3;
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * channels);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < channels; ++k) {
                const int v = 128 + (x * (k + 2) - y * (3 - k)) % 97 + noise(rng);
                pixels[(static_cast<size_t>(y) * w + x) * channels + k] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
    Judge judge;
    jpeg_compress_struct cinfo;
    cinfo.err = &judge.err;
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = channels;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (!grey) {
        cinfo.comp_info[0].h_samp_factor = recipe.lumaH;
        cinfo.comp_info[0].v_samp_factor = recipe.lumaV;
    }
    if (recipe.progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = recipe.restartRows;
    cinfo.write_JFIF_header = FALSE;  // the markers below say everything
    jpeg_start_compress(&cinfo, TRUE);
    for (const TJpegMarker& m : SourceMarkers())
        jpeg_write_marker(&cinfo, m.code, m.data.data(), static_cast<unsigned>(m.data.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = &pixels[static_cast<size_t>(cinfo.next_scanline) * w * channels];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    return out;
}

// ------------------------------------------------------------------------------------------
// Stamping and checking.

// The stamp: a cell with its top-left quarter in one colour and the rest in another, so that a
// turned or mirrored stamp shows.
constexpr Rgb kCorner{20, 40, 230}, kRest{240, 220, 30};

struct Stamped {
    std::vector<uint8_t> bytes;
    TLosslessJpegResult result;
    int calls = 0;
    Image<Rgb> patchBefore;  // what the callback was given
    int x = 0, y = 0;        // and where the cell was in it
};

Stamped Stamp(const std::vector<uint8_t>& source, int cw, int ch, bool left, bool top, int orientation,
              const TLosslessJpegOptions& options = {}) {
    Stamped s;
    TLosslessStamp stamp;
    stamp.cellWidth = cw;
    stamp.cellHeight = ch;
    stamp.left = left;
    stamp.top = top;
    stamp.orientation = orientation;
    stamp.draw = [&](TBitmap& patch, int x, int y) {
        ++s.calls;
        s.x = x;
        s.y = y;
        s.patchBefore = {patch.Width(), patch.Height(), {}};
        for (int py = 0; py < patch.Height(); ++py) {
            const uint8_t* row = patch.ScanLine(py);
            for (int px = 0; px < patch.Width(); ++px)
                s.patchBefore.px.push_back({row[3 * px + 2], row[3 * px + 1], row[3 * px]});
        }
        for (int py = std::max(y, 0); py < std::min(y + ch, patch.Height()); ++py) {
            uint8_t* row = patch.ScanLine(py);
            for (int px = std::max(x, 0); px < std::min(x + cw, patch.Width()); ++px) {
                const Rgb c = (px - x < cw / 2 && py - y < ch / 2) ? kCorner : kRest;
                row[3 * px] = c.b;
                row[3 * px + 1] = c.g;
                row[3 * px + 2] = c.r;
            }
        }
    };
    TMemoryStream out;
    s.result = StampJpegLossless(source.data(), source.size(), stamp, out, options);
    s.bytes = out.Bytes();
    return s;
}

struct Cell {
    int x, y, w, h;  // displayed
};

Cell CellAt(int wd, int hd, int cw, int ch, bool left, bool top) {
    return {left ? 5 : wd - cw - 5, top ? 5 : hd - ch - 5, cw, ch};
}

// A source under one orientation: its coefficients, its stored decode, and which stored pixel
// each displayed pixel shows (a picture of stored positions shown the way a viewer would).
struct View {
    const Coefficients& before;
    const Image<Rgb>& decoded;
    Image<uint32_t> shown;

    View(const Coefficients& c, const Image<Rgb>& d, int orientation) : before(c), decoded(d) {
        Image<uint32_t> where{d.w, d.h, std::vector<uint32_t>(d.px.size())};
        for (size_t i = 0; i < where.px.size(); ++i) where.px[i] = static_cast<uint32_t>(i);
        shown = Displayed(where, orientation);
    }
    Rgb At(const Image<Rgb>& stored, int x, int y) const { return stored.px[shown.at(x, y)]; }
};

// Which MCUs (stored, in MCU units, inclusive) hold pixels of the displayed cell.
struct McuRect {
    int x0, y0, x1, y1;
};

McuRect McusUnder(const View& view, const Cell& cell) {
    const int w = view.decoded.w, mw = 8 * view.before.maxH, mh = 8 * view.before.maxV;
    McuRect r{INT32_MAX, INT32_MAX, -1, -1};
    for (int y = std::max(cell.y, 0); y < std::min(cell.y + cell.h, view.shown.h); ++y)
        for (int x = std::max(cell.x, 0); x < std::min(cell.x + cell.w, view.shown.w); ++x) {
            const int sx = static_cast<int>(view.shown.at(x, y) % w), sy = static_cast<int>(view.shown.at(x, y) / w);
            r = {std::min(r.x0, sx / mw), std::min(r.y0, sy / mh), std::max(r.x1, sx / mw), std::max(r.y1, sy / mh)};
        }
    return r;
}

// Blocks outside the MCUs under the cell that differ from the source's.
int ChangedOutside(const Coefficients& a, const Coefficients& b, const McuRect& under) {
    int changed = 0;
    for (size_t c = 0; c < a.comps.size(); ++c) {
        const Component& ca = a.comps[c];
        for (int by = 0; by < ca.hb; ++by)
            for (int bx = 0; bx < ca.wb; ++bx) {
                // A greyscale scan's MCU is a single block.
                const int mx = a.comps.size() == 1 ? bx / a.maxH : bx / ca.h;
                const int my = a.comps.size() == 1 ? by / a.maxV : by / ca.v;
                const bool inside = mx >= under.x0 && mx <= under.x1 && my >= under.y0 && my <= under.y1;
                const size_t i = static_cast<size_t>(by) * ca.wb + bx;
                if (!inside && ca.blocks[i] != b.comps[c].blocks[i]) ++changed;
            }
    }
    return changed;
}

int Luma(const Rgb& c) { return (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000; }

// The displayed output shows the stamp's colours in the middle of each quarter of the cell.
void ExpectStampShown(const View& view, const Image<Rgb>& output, const Cell& cell) {
    for (int qy = 0; qy < 2; ++qy)
        for (int qx = 0; qx < 2; ++qx) {
            const int x = cell.x + cell.w / 4 + qx * cell.w / 2, y = cell.y + cell.h / 4 + qy * cell.h / 2;
            if (x < 0 || y < 0 || x >= view.shown.w || y >= view.shown.h) continue;
            const Rgb want = qx == 0 && qy == 0 ? kCorner : kRest;
            const Rgb got = view.At(output, x, y);
            if (view.before.space == JCS_GRAYSCALE) {
                EXPECT_NEAR(got.r, Luma(want), 6) << "at " << x << "," << y;
            } else {
                EXPECT_NEAR(got.r, want.r, 24) << "at " << x << "," << y;
                EXPECT_NEAR(got.g, want.g, 24) << "at " << x << "," << y;
                EXPECT_NEAR(got.b, want.b, 24) << "at " << x << "," << y;
            }
        }
}

struct Corner {
    bool left, top;
};
constexpr Corner kCorners[] = {{true, true}, {false, true}, {true, false}, {false, false}};

// Everything the stamp must keep, and where it must land, for one source, orientation and
// corner.
void CheckStamp(const std::vector<uint8_t>& source, const View& view, int orientation, Corner corner, int cw, int ch,
                bool judgeHuffman) {
    const Stamped s = Stamp(source, cw, ch, corner.left, corner.top, orientation);
    ASSERT_EQ(s.result.status, TLosslessJpegStatus::Stamped);
    EXPECT_EQ(s.calls, 1);
    EXPECT_GT(s.result.changedBlocks, 0);

    // The file keeps its coding mode, scans, restart intervals, tables, sampling and markers.
    const Coefficients& before = view.before;
    EXPECT_EQ(Structure(s.bytes), Structure(source));
    const Coefficients after = ReadCoefficients(s.bytes);
    EXPECT_EQ(after.quant, before.quant);
    ASSERT_EQ(after.comps.size(), before.comps.size());
    for (size_t c = 0; c < before.comps.size(); ++c) {
        EXPECT_EQ(after.comps[c].h, before.comps[c].h);
        EXPECT_EQ(after.comps[c].v, before.comps[c].v);
        EXPECT_EQ(after.comps[c].quantTable, before.comps[c].quantTable);
    }
    EXPECT_EQ(after.markers, before.markers);

    // Every block outside the MCUs under the cell is the source's, bit for bit.
    const Cell cell = CellAt(view.shown.w, view.shown.h, cw, ch, corner.left, corner.top);
    EXPECT_EQ(ChangedOutside(before, after, McusUnder(view, cell)), 0);

    // The callback saw the picture as displayed, exactly, around the cell.
    for (int y = 0; y < s.patchBefore.h; ++y)
        for (int x = 0; x < s.patchBefore.w; ++x) {
            const int dx = cell.x - s.x + x, dy = cell.y - s.y + y;
            ASSERT_TRUE(dx >= 0 && dy >= 0 && dx < view.shown.w && dy < view.shown.h) << dx << "," << dy;
            ASSERT_EQ(s.patchBefore.at(x, y), view.At(view.decoded, dx, dy)) << "patch " << x << "," << y;
        }

    // Shown as a viewer shows it, the stamp is upright at the chosen corner.
    ExpectStampShown(view, Decode(s.bytes), cell);

    // Our Huffman statistics give libjpeg's own tables: the same file, byte for byte.
    if (judgeHuffman) {
        TLosslessJpegOptions slow;
        slow.fastHuffmanStatistics = false;
        EXPECT_EQ(Stamp(source, cw, ch, corner.left, corner.top, orientation, slow).bytes, s.bytes);
    }
}

const SourceRecipe kSources[] = {
    {"444", 1, 1, false, 0},  {"422", 2, 1, false, 0},  {"420", 2, 2, false, 0},  {"grey", 0, 0, false, 0},
    {"444p", 1, 1, true, 0},  {"422p", 2, 1, true, 0},  {"420p", 2, 2, true, 0},  {"greyp", 0, 0, true, 0},
    {"444r", 1, 1, false, 1}, {"422r", 2, 1, false, 2}, {"420r", 2, 2, false, 1}, {"greyr", 0, 0, false, 3},
    {"420pr", 2, 2, true, 1}, {"440", 1, 2, false, 0},  {"411p", 4, 1, true, 0},
};

TEST(JpegLossless, EverySamplingModeCornerAndOrientation) {
    // Sizes that leave partial MCUs at the right and bottom edges.
    constexpr int kW = 203, kH = 141, kCellW = 64, kCellH = 40;
    for (const SourceRecipe& recipe : kSources) {
        const auto source = MakeJpeg(recipe, kW, kH);
        const Coefficients before = ReadCoefficients(source);
        const Image<Rgb> decoded = Decode(source);
        for (int orientation = 1; orientation <= 8; ++orientation) {
            const View view(before, decoded, orientation);
            for (const Corner corner : kCorners) {
                SCOPED_TRACE(testing::Message() << recipe.name << " orientation " << orientation << " left "
                                                << corner.left << " top " << corner.top);
                CheckStamp(source, view, orientation, corner, kCellW, kCellH, !recipe.progressive);
            }
        }
    }
}

TEST(JpegLossless, OrientationPhotos) {
    REQUIRE_SHARED_DIR();
    const auto dir = testsupport::SharedDir() / "testdata" / "orientation";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << dir << " not found; skipped";
    for (const char* kind : {"Landscape", "Portrait"}) {
        Image<Rgb> upright;
        for (int orientation = 0; orientation <= 8; ++orientation) {
            const auto path = dir / (std::string(kind) + "_" + std::to_string(orientation) + ".jpg");
            std::ifstream in(path, std::ios::binary);
            const std::vector<uint8_t> source((std::istreambuf_iterator<char>(in)), {});
            ASSERT_FALSE(source.empty()) << path;
            SCOPED_TRACE(path.filename().string());
            const Coefficients before = ReadCoefficients(source);
            const Image<Rgb> decoded = Decode(source);
            const View view(before, decoded, orientation);
            // Every photo of a kind, shown as its tag says, is the same upright picture: that
            // checks the turns and mirrors this test shows pictures with.
            Image<Rgb> shown{view.shown.w, view.shown.h, {}};
            for (uint32_t i : view.shown.px) shown.px.push_back(decoded.px[i]);
            if (upright.px.empty()) upright = shown;
            ASSERT_EQ(shown.w, upright.w);
            ASSERT_EQ(shown.h, upright.h);
            long diff = 0, n = 0;
            for (size_t i = 0; i < shown.px.size(); i += 97, ++n) diff += std::abs(shown.px[i].g - upright.px[i].g);
            EXPECT_LT(diff / n, 12) << "not shown upright";
            for (const Corner corner : kCorners) {
                SCOPED_TRACE(testing::Message() << "left " << corner.left << " top " << corner.top);
                CheckStamp(source, view, orientation, corner, 160, 72, false);
            }
        }
    }
}

// Only blocks with changed pixels are encoded again: a transparent stamp keeps the picture
// between its glyphs, and a stamp that draws nothing changes nothing.
TEST(JpegLossless, OnlyBlocksWithChangedPixelsChange) {
    const SourceRecipe recipe{"420", 2, 2, false, 0};
    const auto source = MakeJpeg(recipe, 160, 96);
    const Coefficients before = ReadCoefficients(source);
    struct Case {
        const char* name;
        int cellW, cellH;
        std::vector<std::pair<int, int>> dots;  // pixels set to white, relative to the cell
    };
    const Case cases[] = {
        {"nothing drawn", 60, 30, {}},
        {"two dots", 60, 30, {{1, 1}, {40, 20}}},
        {"empty cell", 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        TLosslessStamp stamp;
        stamp.cellWidth = c.cellW;
        stamp.cellHeight = c.cellH;
        stamp.draw = [&](TBitmap& patch, int x, int y) {
            ++calls;
            for (auto [dx, dy] : c.dots) patch.SetPixel(x + dx, y + dy, clWhite);
        };
        TMemoryStream out;
        const TLosslessJpegResult r = StampJpegLossless(source.data(), source.size(), stamp, out);
        EXPECT_EQ(calls, c.cellW > 0 ? 1 : 0);
        const Coefficients after = ReadCoefficients(out.Bytes());
        // A dot at displayed (x, y) lies in luma block (x / 8, y / 8) and chroma block (x / 16, y / 16).
        int changed = 0;
        for (size_t comp = 0; comp < before.comps.size(); ++comp) {
            const int px = comp == 0 ? 8 : 16;
            for (int by = 0; by < before.comps[comp].hb; ++by)
                for (int bx = 0; bx < before.comps[comp].wb; ++bx) {
                    bool dotted = false;
                    for (auto [dx, dy] : c.dots) dotted |= (5 + dx) / px == bx && (5 + dy) / px == by;
                    const size_t i = static_cast<size_t>(by) * before.comps[comp].wb + bx;
                    if (before.comps[comp].blocks[i] != after.comps[comp].blocks[i]) {
                        ++changed;
                        EXPECT_TRUE(dotted) << "component " << comp << " block " << bx << "," << by;
                    }
                }
        }
        EXPECT_EQ(r.changedBlocks, static_cast<int>(c.dots.size()) * 3);
        EXPECT_LE(changed, r.changedBlocks);
        if (!c.dots.empty()) {
            const Image<Rgb> shown = Decode(out.Bytes());
            for (auto [dx, dy] : c.dots) EXPECT_GT(Luma(shown.at(5 + dx, 5 + dy)), 200);
        }
    }
}

// A cell larger than the picture covers all of it; the callback gets the cell's position as
// it is, off the patch.
TEST(JpegLossless, CellLargerThanThePicture) {
    const SourceRecipe recipe{"422", 2, 1, false, 0};
    const auto source = MakeJpeg(recipe, 50, 30);
    const Stamped s = Stamp(source, 80, 60, false, false, 6);  // displayed 30 × 50
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.x, 30 - 80 - 5);
    EXPECT_EQ(s.y, 50 - 60 - 5);
    const Coefficients before = ReadCoefficients(source);
    const Image<Rgb> decoded = Decode(source);
    ExpectStampShown(View(before, decoded, 6), Decode(s.bytes), CellAt(30, 50, 80, 60, false, false));
}

// The marker hook decides what is written; the stream form reads from the stream's position.
TEST(JpegLossless, MarkersAndStreams) {
    const auto source = MakeJpeg({"420", 2, 2, false, 0}, 64, 48);
    TLosslessStamp stamp;
    stamp.cellWidth = 10;
    stamp.cellHeight = 10;
    stamp.draw = [](TBitmap& patch, int x, int y) { patch.SetPixel(x, y, clBlack); };

    std::vector<TJpegMarker> seen, kept;
    TLosslessJpegOptions options;
    options.editMarkers = [&](std::vector<TJpegMarker>& markers) {
        seen = markers;
        markers.erase(markers.begin() + 3);  // APP13
        markers.insert(markers.begin(), {JPEG_APP0 + 1, {'X', 'M', 'P'}});
        kept = markers;
    };
    TMemoryStream out;
    StampJpegLossless(source.data(), source.size(), stamp, out, options);
    EXPECT_EQ(seen, SourceMarkers());
    EXPECT_EQ(ReadCoefficients(out.Bytes()).markers, kept);

    options.editMarkers = [](std::vector<TJpegMarker>& markers) { markers.push_back({0xC4, {}}); };
    TMemoryStream refused;
    EXPECT_THROW(StampJpegLossless(source.data(), source.size(), stamp, refused, options), EInvalidGraphic);

    TMemoryStream direct;
    StampJpegLossless(source.data(), source.size(), stamp, direct);
    std::vector<uint8_t> prefixed = {1, 2, 3};
    prefixed.insert(prefixed.end(), source.begin(), source.end());
    TMemoryStream memory(prefixed);
    memory.SetPosition(3);
    TMemoryStream fromMemory;
    StampJpegLossless(memory, stamp, fromMemory);
    EXPECT_EQ(fromMemory.Bytes(), direct.Bytes());
    testsupport::TempDir dir;
    TMemoryStream(source).SaveToFile(dir.file("a.jpg"));
    TFileStream file(dir.file("a.jpg"), fmOpenRead);
    TMemoryStream fromFile;
    StampJpegLossless(file, stamp, fromFile);
    EXPECT_EQ(fromFile.Bytes(), direct.Bytes());
}

std::vector<uint8_t> MakeCmykJpeg() {
    Judge judge;
    jpeg_compress_struct cinfo;
    cinfo.err = &judge.err;
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = 16;
    cinfo.image_height = 16;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(16 * 4, 100);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    return out;
}

TEST(JpegLossless, CmykAsksForTheReencodingPath) {
    TLosslessStamp stamp;
    stamp.cellWidth = 4;
    stamp.cellHeight = 4;
    stamp.draw = [](TBitmap&, int, int) { FAIL() << "drawn on a CMYK file"; };
    const auto cmyk = MakeCmykJpeg();
    TMemoryStream out;
    const TLosslessJpegResult r = StampJpegLossless(cmyk.data(), cmyk.size(), stamp, out);
    EXPECT_EQ(r.status, TLosslessJpegStatus::NeedsReencode);
    EXPECT_FALSE(r.note.empty());
    EXPECT_EQ(out.Size(), 0);
}

size_t FindMarker(const std::vector<uint8_t>& f, uint8_t marker) {
    for (size_t i = 0; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == marker) return i;
    ADD_FAILURE() << "no marker " << int{marker};
    return 0;
}

TEST(JpegLossless, FailuresSayWhy) {
    const auto baseline = MakeJpeg({"420", 2, 2, false, 0}, 96, 64);
    const auto progressive = MakeJpeg({"420p", 2, 2, true, 0}, 96, 64);
    auto mutate = [](std::vector<uint8_t> f, auto edit) {
        edit(f);
        return f;
    };
    TLosslessJpegOptions fewPixels, fewScans, enoughScans;
    fewPixels.maxPixels = 96 * 64 - 1;
    fewScans.maxScans = 9;  // the simple progression has 10
    enoughScans.maxScans = 10;
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        TLosslessJpegOptions options;
        TFailureKind kind;  // Other: succeeds
    };
    const Case cases[] = {
        {"lossless",
         mutate(baseline, [](auto& f) { f[FindMarker(f, 0xC0) + 1] = 0xC3; }),
         {},
         TFailureKind::Unsupported},
        {"12-bit", mutate(baseline, [](auto& f) { f[FindMarker(f, 0xC0) + 4] = 12; }), {}, TFailureKind::Unsupported},
        {"cut short",
         std::vector<uint8_t>(baseline.begin(), baseline.begin() + baseline.size() / 2),
         {},
         TFailureKind::Damaged},
        {"marker in the data",
         mutate(baseline,
                [](auto& f) {
                    f.insert(f.end() - 40, {0xFF, 0xD3});
                }),
         {},
         TFailureKind::Damaged},
        {"not a JPEG", std::vector<uint8_t>(100, 7), {}, TFailureKind::Damaged},
        {"empty", {}, {}, TFailureKind::Damaged},
        {"too many pixels", baseline, fewPixels, TFailureKind::TooLarge},
        {"too many scans", progressive, fewScans, TFailureKind::TooLarge},
        {"scans at the limit", progressive, enoughScans, TFailureKind::Other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TLosslessStamp stamp;
        stamp.cellWidth = 20;
        stamp.cellHeight = 10;
        stamp.draw = [](TBitmap& patch, int x, int y) { patch.SetPixel(x, y, clBlack); };
        TMemoryStream out;
        try {
            StampJpegLossless(c.file.data(), c.file.size(), stamp, out, c.options);
            EXPECT_EQ(c.kind, TFailureKind::Other) << "succeeded";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Kind(), c.kind) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("JPEG error: ", 0), 0u) << e.what();
        }
    }
}

// Every cut and many flipped bytes of a file either stamp or fail cleanly.
TEST(JpegLossless, MutatedFilesFailCleanly) {
    const auto source = MakeJpeg({"420pr", 2, 2, true, 1}, 48, 40);
    TLosslessStamp stamp;
    stamp.cellWidth = 12;
    stamp.cellHeight = 8;
    stamp.draw = [](TBitmap& patch, int x, int y) { patch.SetPixel(x + 1, y + 1, clWhite); };
    auto attempt = [&](const std::vector<uint8_t>& f) {
        TMemoryStream out;
        try {
            StampJpegLossless(f.data(), f.size(), stamp, out);
        } catch (const EInvalidGraphic&) {}
    };
    for (size_t n = 0; n < source.size(); n += 7) attempt(std::vector<uint8_t>(source.begin(), source.begin() + n));
    for (size_t i = 0; i < source.size(); i += 5) {
        std::vector<uint8_t> f = source;
        f[i] ^= 0x5A;
        attempt(f);
    }
}

// The stream's failure passes through as it was raised.
TEST(JpegLossless, StreamErrorsPassThrough) {
    class Refusing : public TMemoryStream {
        int64_t Write(const void*, int64_t) override { return 0; }
    };
    const auto source = MakeJpeg({"444", 1, 1, false, 0}, 32, 32);
    TLosslessStamp stamp;
    Refusing out;
    EXPECT_THROW(StampJpegLossless(source.data(), source.size(), stamp, out), EWriteError);
}

}  // namespace
