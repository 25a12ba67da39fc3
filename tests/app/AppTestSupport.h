// Helpers for the application tests: source bitmaps, libjpeg as the judge of the output, and
// a message-box sink that records instead of waiting for a person.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "Canvas.h"
#include "Graphics.h"
#include "Pipeline.h"

namespace apptest {

struct Box {
    std::string text, caption;
    bool operator==(const Box& o) const { return text == o.text && caption == o.caption; }
};

inline std::ostream& operator<<(std::ostream& os, const Box& b) { return os << b.caption << ": " << b.text; }

class RecordingBoxes : public TMessageBoxes {
public:
    void Show(const std::string& text, const std::string& caption, const std::string& detail) override {
        boxes.push_back({text, caption});
        details.push_back(detail);
        if (onShow) onShow(boxes.back());
    }
    void ShowError(const std::string& text, const std::string& caption) override { errors.push_back({text, caption}); }
    std::vector<Box> boxes;
    std::vector<std::string> details;        // each box's secondary text
    std::vector<Box> errors;                 // exceptions that escaped a command
    std::function<void(const Box&)> onShow;  // runs while the box would be up
};

inline const Box kRefusedBox{msg::kNotBitmap, msg::kErrorCaption};
inline const Box kFailedBox{msg::kFileFailed, msg::kErrorCaption};
inline const Box kSomeFailedBox{msg::kSomeFailed, msg::kReportCaption};
inline const Box kAllDoneBox{msg::kAllDone, msg::kReportCaption};

// Colours the stamp tests use; each is exactly representable in every direct format and is
// put into the palettes of the indexed ones. Cell and ink differ in brightness only, so that
// JPEG's coarser colour sampling does not blur one into the other.
constexpr TColor kBack = RGBColor(255, 255, 255);
constexpr TColor kInk = RGBColor(0, 0, 0);
const std::vector<TColor> kBlockColours = {RGBColor(0, 128, 0), RGBColor(0, 0, 128), RGBColor(128, 128, 128),
                                           RGBColor(0, 128, 128)};

// A picture of 16 × 16 blocks in the block colours (1-bit: one colour only), in the given
// format; indexed formats get a palette with the block colours, the cell colour and the ink.
inline void BlockPicture(TBitmap& bmp, TPixelFormat format, int width, int height) {
    std::vector<TColor> colours = kBlockColours;
    if (format == pf1bit) colours.resize(1);
    TPalette palette;
    if (format <= pf8bit) {
        std::vector<TPaletteEntry> e;
        for (TColor c : colours) e.push_back({GetRValue(c), GetGValue(c), GetBValue(c), 0});
        e.push_back({255, 255, 255, 0});
        if (format != pf1bit) e.push_back({0, 0, 0, 0});
        palette = TPalette(e);
    }
    bmp.Allocate(format, width, height, palette);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bmp.SetPixel(x, y, colours[static_cast<size_t>((x / 16 + y / 16) % static_cast<int>(colours.size()))]);
}

inline void SaveBlockPicture(const std::string& path, TPixelFormat format, int width, int height) {
    TBitmap bmp;
    BlockPicture(bmp, format, width, height);
    bmp.SaveToFile(path);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> px;  // R, G, B, top row first
    TColor At(int x, int y) const {
        const uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 3];
        return RGBColor(p[0], p[1], p[2]);
    }
};

struct Jpeg {
    Rgb picture;
    std::vector<unsigned> luminanceTable;  // quantisation table 0, natural order
    bool ok = false;
};

// Decodes a JPEG file with libjpeg; ok is false for anything libjpeg cannot read.
inline Jpeg DecodeJpegFile(const std::string& path) {
    Jpeg out;
    const std::string bytes = ReadFile(path);
    if (bytes.size() < 4) return out;
    jpeg_decompress_struct cinfo;
    struct Err {
        jpeg_error_mgr pub;
        bool failed = false;
    } err;
    cinfo.err = jpeg_std_error(&err.pub);
    // Corrupt data only gives warnings; a hard error ends the process, which the tests avoid
    // by feeding only files of our own making.
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return out;
    }
    if (cinfo.quant_tbl_ptrs[0])
        for (int i = 0; i < DCTSIZE2; ++i) out.luminanceTable.push_back(cinfo.quant_tbl_ptrs[0]->quantval[i]);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.picture.width = static_cast<int>(cinfo.output_width);
    out.picture.height = static_cast<int>(cinfo.output_height);
    out.picture.px.resize(static_cast<size_t>(out.picture.width) * out.picture.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out.picture.px[cinfo.output_scanline * static_cast<size_t>(out.picture.width) * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    out.ok = err.pub.num_warnings == 0;
    return out;
}

// libjpeg's own luminance table for a quality with baseline tables forced.
inline std::vector<unsigned> ReferenceLuminanceTable(int quality) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_RGB;
    cinfo.input_components = 3;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    std::vector<unsigned> table;
    for (int i = 0; i < DCTSIZE2; ++i) table.push_back(cinfo.quant_tbl_ptrs[0]->quantval[i]);
    jpeg_destroy_compress(&cinfo);
    return table;
}

inline bool Near(TColor a, TColor b, int tolerance) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

// The size of the stamp text's cell as the canvas measures it (bold, 9 pt, default face).
inline TSize StampExtent(const std::string& text) {
    TBitmap scratch;
    scratch.Allocate(pf24bit, 1, 1);
    TCanvas& c = scratch.Canvas();
    c.Font.Size = 9;
    c.Font.Style = fsBold;
    return c.TextExtent(text);
}

// The cell of the text, bold in the default face at a pixel size.
inline TSize StampExtentAtPixels(const std::string& text, int pixels) {
    TBitmap scratch;
    scratch.Allocate(pf24bit, 1, 1);
    TCanvas& c = scratch.Canvas();
    c.Font.Size = -pixels;
    c.Font.Style = fsBold;
    return c.TextExtent(text);
}

// A stamp sized as a share of the picture, found by trying every pixel size from 1 up: the
// tallest cell no taller than the target, or else the first that reaches the least height;
// and the margin, 5 pixels for the 9-point cell in proportion. For small targets only.
struct ScaledStamp {
    TSize extent;
    int margin = 0;
};
inline ScaledStamp ExpectedScaledStamp(const std::string& text, int target, int least, int greatest = 0) {
    // Every pixel size from 1 up to the first whose cell passes the target: the nearest cell,
    // the smaller on a tie, none taller than the greatest; then none shorter than the least.
    int pixels = 1, best = 1;
    auto height = [&](int px) { return StampExtentAtPixels(text, px).cy; };
    for (; height(pixels) <= target; ++pixels) best = pixels;
    if (std::abs(height(pixels) - target) < std::abs(height(best) - target) &&
        (greatest == 0 || height(pixels) <= greatest))
        best = pixels;
    pixels = best;
    while (StampExtentAtPixels(text, pixels).cy < least) ++pixels;
    const TSize extent = StampExtentAtPixels(text, pixels);
    const double standard = StampExtent(text).cy;
    return {extent, std::max(1, static_cast<int>(std::lround(5 * extent.cy / standard)))};
}

// How many pixels of the rectangle (clipped to the picture) are near the colour, and how
// many pixels it covers.
inline std::pair<int, int> CountNear(const Rgb& p, TRect r, TColor colour, int tolerance) {
    int hits = 0, total = 0;
    for (int y = std::max(0, r.Top); y < std::min(p.height, r.Bottom); ++y)
        for (int x = std::max(0, r.Left); x < std::min(p.width, r.Right); ++x) {
            ++total;
            if (Near(p.At(x, y), colour, tolerance)) ++hits;
        }
    return {hits, total};
}

// Files of a folder, by name.
inline std::vector<std::string> FolderListing(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace apptest
