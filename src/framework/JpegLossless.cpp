#include "JpegLossless.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "LibJpeg.h"

namespace {

// ---------------------------------------------------------------------------------------------
// libjpeg plumbing: output to memory, and the record of the source's scans.

// The buffer that jpeg_mem_dest grows with malloc, for the small files of the stamped region.
struct MemoryFile {
    unsigned char* data = nullptr;
    unsigned long size = 0;
    MemoryFile() = default;
    ~MemoryFile() { std::free(data); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
};

// Follows the scans while the coefficients are read: refuses more than the limit (a file of
// endless tiny scans costs a pass over the picture each) and notes each scan's components,
// spectral and bit ranges and restart interval, so the output can repeat the same sequence.
struct ScanRestart {
    unsigned interval;    // in MCUs
    unsigned mcusPerRow;  // of this scan: its MCU is one block when it holds one component
};

struct ScanRecorder {
    jpeg_progress_mgr pub;
    TJpegErrors* err;
    jpeg_scan_info* scans;  // room for maxScans
    ScanRestart* restarts;  // likewise
    int maxScans;
    int count;
};

void RecordScan(j_common_ptr common) {
    auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
    auto* rec = reinterpret_cast<ScanRecorder*>(cinfo->progress);
    const int n = cinfo->input_scan_number;
    if (n == rec->count) return;
    if (n > rec->maxScans) FailJpeg(*rec->err, TFailureKind::TooLarge, "too many scans");
    if (n != rec->count + 1) FailJpeg(*rec->err, TFailureKind::Damaged, "scans could not be followed");
    jpeg_scan_info& s = rec->scans[n - 1];
    s.comps_in_scan = cinfo->comps_in_scan;
    for (int i = 0; i < cinfo->comps_in_scan; ++i) s.component_index[i] = cinfo->cur_comp_info[i]->component_index;
    s.Ss = cinfo->Ss;
    s.Se = cinfo->Se;
    s.Ah = cinfo->Ah;
    s.Al = cinfo->Al;
    rec->restarts[n - 1] = {cinfo->restart_interval, cinfo->MCUs_per_row};
    rec->count = n;
}

// The encoder takes one restart interval for all scans, or a number of MCU rows from which it
// works out each scan's interval (as files made with restarts every so many rows have them).
// Intervals that follow neither rule get the first scan's.
void ChooseRestart(const ScanRestart* scans, int count, jpeg_compress_struct& dst) {
    dst.restart_interval = scans[0].interval;
    dst.restart_in_rows = 0;
    auto all = [&](auto rule) { return std::all_of(scans, scans + count, rule); };
    if (all([&](const ScanRestart& s) { return s.interval == scans[0].interval; })) return;
    if (scans[0].mcusPerRow == 0 || scans[0].interval % scans[0].mcusPerRow != 0) return;
    const unsigned rows = scans[0].interval / scans[0].mcusPerRow;
    if (all([&](const ScanRestart& s) { return s.interval == std::min(rows * s.mcusPerRow, 65535u); })) {
        dst.restart_interval = 0;
        dst.restart_in_rows = static_cast<int>(rows);
    }
}

// ---------------------------------------------------------------------------------------------
// Reading the source.

struct SourceJob {
    const uint8_t* data;
    size_t size;
    int64_t maxPixels;
    ScanRecorder recorder;
    jvirt_barray_ptr* coefficients;
    bool needsReencode;
    TJpegCoefficientMemory* memory;
};

bool ReadSourceGuarded(jpeg_decompress_struct& src, TJpegErrors& err, SourceJob& job) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&src);
    job.memory->Serve(reinterpret_cast<j_common_ptr>(&src));
    jpeg_mem_src(&src, job.data, static_cast<unsigned long>(job.size));
    jpeg_save_markers(&src, JPEG_COM, 0xFFFF);
    for (int i = 0; i < 16; ++i) jpeg_save_markers(&src, JPEG_APP0 + i, 0xFFFF);
    jpeg_read_header(&src, TRUE);
    if (src.jpeg_color_space == JCS_CMYK || src.jpeg_color_space == JCS_YCCK) {
        job.needsReencode = true;
        return true;
    }
    const bool known =
        (src.num_components == 1 && src.jpeg_color_space == JCS_GRAYSCALE) ||
        (src.num_components == 3 && (src.jpeg_color_space == JCS_YCbCr || src.jpeg_color_space == JCS_RGB));
    if (!known) FailJpeg(err, TFailureKind::Unsupported, "colour components of unknown meaning");
    if (int64_t{src.image_width} * src.image_height > job.maxPixels ||
        src.image_width > static_cast<JDIMENSION>(TBitmap::kMaxDimension) ||
        src.image_height > static_cast<JDIMENSION>(TBitmap::kMaxDimension))
        FailJpeg(err, TFailureKind::TooLarge, "picture too large");
    src.progress = &job.recorder.pub;
    job.coefficients = jpeg_read_coefficients(&src);
    src.progress = nullptr;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Where the stamp goes.

struct Point {
    int x, y;
};

struct Rect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // x1, y1 exclusive
    int Width() const { return x1 - x0; }
    int Height() const { return y1 - y0; }
    bool Empty() const { return x1 <= x0 || y1 <= y0; }
};

// The stored picture (width × height) as a viewer shows it under an EXIF orientation.
class Orientation {
public:
    Orientation(int value, int width, int height) : o_(value >= 1 && value <= 8 ? value : 1), w_(width), h_(height) {}
    bool Transposed() const { return o_ >= 5; }
    int DisplayedWidth() const { return Transposed() ? h_ : w_; }
    int DisplayedHeight() const { return Transposed() ? w_ : h_; }

    // The stored pixel shown at displayed (x, y).
    Point Stored(int x, int y) const {
        switch (o_) {
        case 2: return {w_ - 1 - x, y};
        case 3: return {w_ - 1 - x, h_ - 1 - y};
        case 4: return {x, h_ - 1 - y};
        case 5: return {y, x};
        case 6: return {y, h_ - 1 - x};
        case 7: return {w_ - 1 - y, h_ - 1 - x};
        case 8: return {w_ - 1 - y, x};
        default: return {x, y};
        }
    }
    // Where stored (x, y) is shown.
    Point Displayed(int x, int y) const {
        switch (o_) {
        case 2: return {w_ - 1 - x, y};
        case 3: return {w_ - 1 - x, h_ - 1 - y};
        case 4: return {x, h_ - 1 - y};
        case 5: return {y, x};
        case 6: return {h_ - 1 - y, x};
        case 7: return {h_ - 1 - y, w_ - 1 - x};
        case 8: return {y, w_ - 1 - x};
        default: return {x, y};
        }
    }
    Rect StoredRect(const Rect& r) const { return Bounds(Stored(r.x0, r.y0), Stored(r.x1 - 1, r.y1 - 1)); }
    Rect DisplayedRect(const Rect& r) const { return Bounds(Displayed(r.x0, r.y0), Displayed(r.x1 - 1, r.y1 - 1)); }

private:
    static Rect Bounds(Point a, Point b) {
        return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x) + 1, std::max(a.y, b.y) + 1};
    }
    int o_, w_, h_;
};

int ClampToInt(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX)); }

struct Placement {
    Point cell;     // the cell's top-left corner, displayed, unclipped
    Rect mcus;      // the MCUs the cell overlaps, in MCU units
    Rect context;   // those and one more all round, within the picture, in MCU units
    int mcuWidth;   // pixels
    int mcuHeight;  // pixels
};

// The MCUs under the cell, or an empty rectangle when the cell misses the picture.
Placement Place(const jpeg_decompress_struct& src, const TLosslessStamp& stamp, const Orientation& orient) {
    Placement p{};
    const int64_t wd = orient.DisplayedWidth(), hd = orient.DisplayedHeight();
    const int64_t cw = std::max(stamp.cellWidth, 0), ch = std::max(stamp.cellHeight, 0);
    const int64_t x = stamp.left ? stamp.margin : wd - cw - stamp.margin;
    const int64_t y = stamp.top ? stamp.margin : hd - ch - stamp.margin;
    p.cell = {ClampToInt(x), ClampToInt(y)};
    const Rect shown{static_cast<int>(std::clamp<int64_t>(x, 0, wd)), static_cast<int>(std::clamp<int64_t>(y, 0, hd)),
                     static_cast<int>(std::clamp<int64_t>(x + cw, 0, wd)),
                     static_cast<int>(std::clamp<int64_t>(y + ch, 0, hd))};
    if (shown.Empty()) return p;
    const Rect stored = orient.StoredRect(shown);
    p.mcuWidth = DCTSIZE * src.max_h_samp_factor;
    p.mcuHeight = DCTSIZE * src.max_v_samp_factor;
    const int cols = static_cast<int>((src.image_width + p.mcuWidth - 1) / p.mcuWidth);
    const int rows = static_cast<int>((src.image_height + p.mcuHeight - 1) / p.mcuHeight);
    p.mcus = {stored.x0 / p.mcuWidth, stored.y0 / p.mcuHeight, (stored.x1 + p.mcuWidth - 1) / p.mcuWidth,
              (stored.y1 + p.mcuHeight - 1) / p.mcuHeight};
    // One MCU of context lets the decoder smooth the chroma across the region's edges as it
    // does in the whole picture, so the callback sees exactly the pixels a viewer shows.
    p.context = {std::max(p.mcus.x0 - 1, 0), std::max(p.mcus.y0 - 1, 0), std::min(p.mcus.x1 + 1, cols),
                 std::min(p.mcus.y1 + 1, rows)};
    return p;
}

// Pixels of a rectangle of MCUs, cut at the picture's right and bottom edges.
Rect PixelsOf(const Rect& mcus, int mcuWidth, int mcuHeight, const jpeg_decompress_struct& src) {
    return {mcus.x0 * mcuWidth, mcus.y0 * mcuHeight, std::min(mcus.x1 * mcuWidth, static_cast<int>(src.image_width)),
            std::min(mcus.y1 * mcuHeight, static_cast<int>(src.image_height))};
}

JDIMENSION RoundUp(JDIMENSION v, int multiple) { return (v + multiple - 1) / multiple * multiple; }

// ---------------------------------------------------------------------------------------------
// Decoding, stamping and encoding the region. The region's blocks go into a small JPEG file with
// the source's tables and sampling, which libjpeg decodes to pixels; after drawing, the pixels
// are compressed with the same tables and the new blocks read back.

// Writes the blocks of a rectangle of MCUs as a JPEG file of their own.
bool WriteRegionGuarded(jpeg_decompress_struct& src, jvirt_barray_ptr* source, jpeg_compress_struct& mini,
                        TJpegErrors& err, const Rect& mcus, const Rect& pixels, MemoryFile& file) {
    if (setjmp(err.jump)) return false;
    jpeg_create_compress(&mini);
    jpeg_mem_dest(&mini, &file.data, &file.size);
    jpeg_copy_critical_parameters(&src, &mini);
    mini.image_width = static_cast<JDIMENSION>(pixels.Width());
    mini.image_height = static_cast<JDIMENSION>(pixels.Height());
    mini.optimize_coding = TRUE;  // any coefficient the source holds can be coded
    jvirt_barray_ptr arrays[MAX_COMPONENTS];
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info& comp = src.comp_info[c];
        const JDIMENSION wb = (mini.image_width * comp.h_samp_factor + DCTSIZE * src.max_h_samp_factor - 1) /
                              (DCTSIZE * src.max_h_samp_factor);
        const JDIMENSION hb = (mini.image_height * comp.v_samp_factor + DCTSIZE * src.max_v_samp_factor - 1) /
                              (DCTSIZE * src.max_v_samp_factor);
        arrays[c] = (*mini.mem->request_virt_barray)(reinterpret_cast<j_common_ptr>(&mini), JPOOL_IMAGE, TRUE,
                                                     RoundUp(wb, comp.h_samp_factor), RoundUp(hb, comp.v_samp_factor),
                                                     static_cast<JDIMENSION>(comp.v_samp_factor));
    }
    (*mini.mem->realize_virt_arrays)(reinterpret_cast<j_common_ptr>(&mini));
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info& comp = src.comp_info[c];
        const JDIMENSION wb = (mini.image_width * comp.h_samp_factor + DCTSIZE * src.max_h_samp_factor - 1) /
                              (DCTSIZE * src.max_h_samp_factor);
        const JDIMENSION hb = (mini.image_height * comp.v_samp_factor + DCTSIZE * src.max_v_samp_factor - 1) /
                              (DCTSIZE * src.max_v_samp_factor);
        const JDIMENSION x0 = static_cast<JDIMENSION>(mcus.x0 * comp.h_samp_factor);
        const JDIMENSION y0 = static_cast<JDIMENSION>(mcus.y0 * comp.v_samp_factor);
        for (JDIMENSION r = 0; r < hb; ++r) {
            JBLOCKARRAY from =
                (*src.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&src), source[c], y0 + r, 1, FALSE);
            JBLOCKARRAY to =
                (*mini.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&mini), arrays[c], r, 1, TRUE);
            std::memcpy(to[0], from[0] + x0, wb * sizeof(JBLOCK));
        }
    }
    jpeg_write_coefficients(&mini, arrays);
    jpeg_finish_compress(&mini);
    return true;
}

// Decodes a JPEG file in memory to rows of blue, green, red of the expected size.
bool DecodeRegionGuarded(jpeg_decompress_struct& d, TJpegErrors& err, const MemoryFile& file, J_COLOR_SPACE space,
                         uint8_t* pixels, int width, int height) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data, file.size);
    jpeg_read_header(&d, TRUE);
    d.jpeg_color_space = space;  // as the source's markers said, whatever the small file's say
    d.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&d);
    if (d.output_width != static_cast<JDIMENSION>(width) || d.output_height != static_cast<JDIMENSION>(height))
        FailJpeg(err, TFailureKind::Other, "region decoded to an unexpected size");
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = pixels + static_cast<size_t>(d.output_scanline) * static_cast<size_t>(width) * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    return true;
}

// Compresses rows of blue, green, red with the source's tables and sampling.
bool EncodeRegionGuarded(jpeg_decompress_struct& src, jpeg_compress_struct& enc, TJpegErrors& err,
                         const uint8_t* pixels, size_t stride, int width, int height, MemoryFile& file) {
    if (setjmp(err.jump)) return false;
    jpeg_create_compress(&enc);
    jpeg_mem_dest(&enc, &file.data, &file.size);
    jpeg_copy_critical_parameters(&src, &enc);
    enc.image_width = static_cast<JDIMENSION>(width);
    enc.image_height = static_cast<JDIMENSION>(height);
    enc.in_color_space = JCS_EXT_BGR;
    enc.input_components = 3;
    enc.dct_method = JDCT_ISLOW;
    enc.optimize_coding = TRUE;
    jpeg_start_compress(&enc, TRUE);
    while (enc.next_scanline < enc.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(pixels + enc.next_scanline * stride);
        jpeg_write_scanlines(&enc, &row, 1);
    }
    jpeg_finish_compress(&enc);
    return true;
}

struct Patch {
    Rect mcus;                                               // in MCU units
    std::array<std::vector<uint8_t>, MAX_COMPONENTS> dirty;  // per component, one flag a block
    std::array<int, MAX_COMPONENTS> blocksPerRow{};
};

// Reads the blocks of the encoded region and puts the dirty ones in place of the source's.
bool CopyBlocksBackGuarded(jpeg_decompress_struct& src, jvirt_barray_ptr* source, jpeg_decompress_struct& d,
                           TJpegErrors& err, const MemoryFile& file, const Patch& patch, int* copied) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data, file.size);
    jpeg_read_header(&d, TRUE);
    jvirt_barray_ptr* fresh = jpeg_read_coefficients(&d);
    if (d.num_components != src.num_components)
        FailJpeg(err, TFailureKind::Other, "region encoded with other components");
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info& comp = src.comp_info[c];
        const JDIMENSION x0 = static_cast<JDIMENSION>(patch.mcus.x0 * comp.h_samp_factor);
        const JDIMENSION y0 = static_cast<JDIMENSION>(patch.mcus.y0 * comp.v_samp_factor);
        const int perRow = patch.blocksPerRow[c];
        const size_t rows = patch.dirty[c].size() / static_cast<size_t>(perRow);
        if (d.comp_info[c].width_in_blocks < static_cast<JDIMENSION>(perRow) || d.comp_info[c].height_in_blocks < rows)
            FailJpeg(err, TFailureKind::Other, "region encoded to an unexpected size");
        for (size_t r = 0; r < rows; ++r) {
            const uint8_t* flags = &patch.dirty[c][r * static_cast<size_t>(perRow)];
            if (std::find(flags, flags + perRow, 1) == flags + perRow) continue;
            JBLOCKARRAY from = (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d), fresh[c],
                                                            static_cast<JDIMENSION>(r), 1, FALSE);
            JBLOCKARRAY to = (*src.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&src), source[c],
                                                            y0 + static_cast<JDIMENSION>(r), 1, TRUE);
            for (int b = 0; b < perRow; ++b) {
                if (!flags[b]) continue;
                std::memcpy(to[0][x0 + static_cast<JDIMENSION>(b)], from[0][b], sizeof(JBLOCK));
                ++*copied;
            }
        }
    }
    return true;
}

// Decodes the MCUs under the cell, lets the caller draw, and puts the blocks holding changed
// pixels back into the source's coefficients. Returns how many blocks changed.
int StampRegion(jpeg_decompress_struct& src, jvirt_barray_ptr* source, TJpegErrors& err, const Placement& place,
                const Orientation& orient, const TLosslessStamp& stamp) {
    const Rect outer = PixelsOf(place.context, place.mcuWidth, place.mcuHeight, src);
    const Rect inner = PixelsOf(place.mcus, place.mcuWidth, place.mcuHeight, src);
    std::vector<uint8_t> pixels(static_cast<size_t>(outer.Width()) * static_cast<size_t>(outer.Height()) * 3);
    {
        MemoryFile file;
        TJpegCompressor mini(err);
        if (!WriteRegionGuarded(src, source, mini.cinfo, err, place.context, outer, file)) RaiseJpegError(err);
        TJpegDecompressor d(err);
        if (!DecodeRegionGuarded(d.cinfo, err, file, src.jpeg_color_space, pixels.data(), outer.Width(),
                                 outer.Height()))
            RaiseJpegError(err);
    }
    const size_t stride = static_cast<size_t>(outer.Width()) * 3;
    auto at = [&](Point stored) {
        return &pixels[static_cast<size_t>(stored.y - outer.y0) * stride +
                       static_cast<size_t>(stored.x - outer.x0) * 3];
    };

    // The caller draws upright on the displayed view of the inner region.
    const Rect shown = orient.DisplayedRect(inner);
    TBitmap bitmap;
    bitmap.Allocate(pf24bit, shown.Width(), shown.Height());
    for (int y = 0; y < shown.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < shown.Width(); ++x)
            std::memcpy(row + 3 * x, at(orient.Stored(shown.x0 + x, shown.y0 + y)), 3);
    }
    stamp.draw(bitmap, ClampToInt(int64_t{place.cell.x} - shown.x0), ClampToInt(int64_t{place.cell.y} - shown.y0));
    if (bitmap.Width() != shown.Width() || bitmap.Height() != shown.Height())
        throw EInvalidGraphic("The stamp changed the size of the picture it was drawn on");
    if (bitmap.PixelFormat() != pf24bit) bitmap.SetPixelFormat(pf24bit);

    // Back into stored orientation, noting which blocks of each component hold changed pixels.
    Patch patch;
    patch.mcus = place.mcus;
    std::array<int, MAX_COMPONENTS> blockWidth{}, blockHeight{};
    for (int c = 0; c < src.num_components; ++c) {
        blockWidth[c] = DCTSIZE * src.max_h_samp_factor / src.comp_info[c].h_samp_factor;
        blockHeight[c] = DCTSIZE * src.max_v_samp_factor / src.comp_info[c].v_samp_factor;
        patch.blocksPerRow[c] = (inner.Width() + blockWidth[c] - 1) / blockWidth[c];
        const int rows = (inner.Height() + blockHeight[c] - 1) / blockHeight[c];
        patch.dirty[c].assign(static_cast<size_t>(patch.blocksPerRow[c]) * static_cast<size_t>(rows), 0);
    }
    bool changed = false;
    for (int y = 0; y < shown.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < shown.Width(); ++x) {
            const Point p = orient.Stored(shown.x0 + x, shown.y0 + y);
            uint8_t* px = at(p);
            if (std::memcmp(px, row + 3 * x, 3) == 0) continue;
            std::memcpy(px, row + 3 * x, 3);
            changed = true;
            for (int c = 0; c < src.num_components; ++c) {
                const int bx = (p.x - inner.x0) / blockWidth[c], by = (p.y - inner.y0) / blockHeight[c];
                patch.dirty[c][static_cast<size_t>(by) * static_cast<size_t>(patch.blocksPerRow[c]) +
                               static_cast<size_t>(bx)] = 1;
            }
        }
    }
    if (!changed) return 0;

    MemoryFile file;
    TJpegCompressor enc(err);
    const uint8_t* first =
        &pixels[static_cast<size_t>(inner.y0 - outer.y0) * stride + static_cast<size_t>(inner.x0 - outer.x0) * 3];
    if (!EncodeRegionGuarded(src, enc.cinfo, err, first, stride, inner.Width(), inner.Height(), file))
        RaiseJpegError(err);
    TJpegDecompressor d(err);
    int copied = 0;
    if (!CopyBlocksBackGuarded(src, source, d.cinfo, err, file, patch, &copied)) RaiseJpegError(err);
    return copied;
}

// ---------------------------------------------------------------------------------------------
// Huffman statistics. libjpeg's own statistics pass goes over every block a second time with a
// branch per coefficient; this one finds the nonzero coefficients of a block as a bit mask in
// zig-zag order and visits only those. It counts what libjpeg's pass counts, so the tables and
// the file come out the same.

constexpr std::array<uint8_t, 64> kNaturalOrder = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// For each row of a block and each pattern of nonzero coefficients in it (one bit a column),
// the bits of those coefficients in zig-zag order: eight lookups turn the block's nonzero
// pattern, taken row by row, into zig-zag order.
struct ZigzagMasks {
    uint64_t row[8][256];
};

constexpr ZigzagMasks MakeZigzagMasks() {
    std::array<int, 64> zigzag{};
    for (int k = 0; k < 64; ++k) zigzag[kNaturalOrder[k]] = k;
    ZigzagMasks m{};
    for (int r = 0; r < 8; ++r)
        for (int bits = 0; bits < 256; ++bits)
            for (int c = 0; c < 8; ++c)
                if (bits >> c & 1) m.row[r][bits] |= uint64_t{1} << zigzag[r * 8 + c];
    return m;
}

constexpr ZigzagMasks kZigzagMasks = MakeZigzagMasks();

// Bit i set for each nonzero coefficient i of the block in natural order.
inline uint64_t NonzeroNatural(const JCOEF* block) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int r = 0; r < 8; r += 2) {
        const __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r)), zero);
        const __m128i b = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r + 8)), zero);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)))) << (8 * r);
    }
    return ~zeros;
#else
    uint64_t nonzero = 0;
    for (int i = 0; i < DCTSIZE2; ++i) nonzero |= static_cast<uint64_t>(block[i] != 0) << i;
    return nonzero;
#endif
}

constexpr int kMaxCoefficientBits = 10;  // 8-bit samples: AC magnitudes below 1024

struct HuffmanCounts {
    long dc[NUM_HUFF_TBLS][257];
    long ac[NUM_HUFF_TBLS][257];
};

inline unsigned Magnitude(int v) { return static_cast<unsigned>(v < 0 ? -v : v); }

// Counts one block's symbols; false for a coefficient beyond what baseline coding can hold.
inline bool CountBlock(const JCOEF* block, int& lastDc, long* dc, long* ac) {
    const int dcBits = std::bit_width(Magnitude(block[0] - lastDc));
    if (dcBits > kMaxCoefficientBits + 1) return false;
    ++dc[dcBits];
    lastDc = block[0];
    const uint64_t natural = NonzeroNatural(block);
    uint64_t nonzero = 0;
    for (int r = 0; r < 8; ++r) nonzero |= kZigzagMasks.row[r][(natural >> (8 * r)) & 0xFF];
    nonzero &= ~uint64_t{1};  // the DC is coded apart
    int previous = 0;
    while (nonzero) {
        const int k = std::countr_zero(nonzero);
        nonzero &= nonzero - 1;
        int run = k - previous - 1;
        for (; run > 15; run -= 16) ++ac[0xF0];  // runs of 16 zeros
        const int bits = std::bit_width(Magnitude(block[kNaturalOrder[k]]));
        if (bits > kMaxCoefficientBits) return false;
        ++ac[(run << 4) + bits];
        previous = k;
    }
    if (previous != DCTSIZE2 - 1) ++ac[0];  // end of block
    return true;
}

// The symbols of one sequential scan, MCU by MCU as the encoder will code them: the DC
// prediction restarts with every restart interval, and MCUs at the right and bottom edges are
// padded with blocks that repeat the previous DC and have no AC (one zero DC difference, one
// end of block).
bool GatherStatistics(jpeg_decompress_struct& src, jvirt_barray_ptr* coefficients, const jpeg_scan_info& scan,
                      const jpeg_compress_struct& dst, HuffmanCounts& counts) {
    std::memset(&counts, 0, sizeof counts);
    const int n = scan.comps_in_scan;
    int lastDc[MAX_COMPS_IN_SCAN] = {};
    unsigned restartsToGo = dst.restart_interval;
    auto restart = [&] {
        if (!dst.restart_interval) return;
        if (restartsToGo == 0) {
            std::fill(lastDc, lastDc + n, 0);
            restartsToGo = dst.restart_interval;
        }
        --restartsToGo;
    };
    auto row = [&](int c, JDIMENSION r) {
        return (*src.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&src), coefficients[c], r, 1, FALSE)[0];
    };
    if (n == 1) {  // one block an MCU, over the component's own blocks
        const int c = scan.component_index[0];
        const jpeg_component_info& comp = src.comp_info[c];
        long* dc = counts.dc[dst.comp_info[c].dc_tbl_no];
        long* ac = counts.ac[dst.comp_info[c].ac_tbl_no];
        for (JDIMENSION r = 0; r < comp.height_in_blocks; ++r) {
            const JBLOCKROW blocks = row(c, r);
            for (JDIMENSION b = 0; b < comp.width_in_blocks; ++b) {
                restart();
                if (!CountBlock(blocks[b], lastDc[0], dc, ac)) return false;
            }
        }
        return true;
    }
    const int mcuWidth = DCTSIZE * src.max_h_samp_factor, mcuHeight = DCTSIZE * src.max_v_samp_factor;
    const JDIMENSION cols = (src.image_width + mcuWidth - 1) / mcuWidth;
    const JDIMENSION rows = (src.image_height + mcuHeight - 1) / mcuHeight;
    JBLOCKROW blockRows[MAX_COMPS_IN_SCAN][MAX_SAMP_FACTOR];
    for (JDIMENSION mr = 0; mr < rows; ++mr) {
        for (int i = 0; i < n; ++i) {
            const int c = scan.component_index[i];
            const jpeg_component_info& comp = src.comp_info[c];
            for (int v = 0; v < comp.v_samp_factor; ++v) {
                const JDIMENSION r = mr * comp.v_samp_factor + v;
                blockRows[i][v] = r < comp.height_in_blocks ? row(c, r) : nullptr;
            }
        }
        for (JDIMENSION mc = 0; mc < cols; ++mc) {
            restart();
            for (int i = 0; i < n; ++i) {
                const int c = scan.component_index[i];
                const jpeg_component_info& comp = src.comp_info[c];
                long* dc = counts.dc[dst.comp_info[c].dc_tbl_no];
                long* ac = counts.ac[dst.comp_info[c].ac_tbl_no];
                for (int v = 0; v < comp.v_samp_factor; ++v) {
                    for (int h = 0; h < comp.h_samp_factor; ++h) {
                        const JDIMENSION b = mc * comp.h_samp_factor + h;
                        if (blockRows[i][v] && b < comp.width_in_blocks) {
                            if (!CountBlock(blockRows[i][v][b], lastDc[i], dc, ac)) return false;
                        } else {
                            ++dc[0];
                            ++ac[0];
                        }
                    }
                }
            }
        }
    }
    return true;
}

// The optimal code lengths for the counts (Huffman's procedure with the reserved all-ones code
// and the limit of 16 bits, as ITU-T T.81 Annex K.2 gives them), written as a table.
// Returns false when a code would be longer than the procedure can handle.
bool MakeOptimalTable(const long* counts, JHUFF_TBL& table) {
    constexpr int kMaxLength = 32;
    std::array<long, 257> freq;
    std::copy(counts, counts + 256, freq.begin());
    freq[256] = 1;  // a pseudo-symbol takes the all-ones code of the longest length
    std::array<int, 257> length{}, next;
    next.fill(-1);
    for (;;) {
        // The two least frequent trees; of equal ones the later symbol.
        int c1 = -1, c2 = -1;
        long v1 = 1000000000L, v2 = 1000000000L;
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && freq[i] <= v1) v1 = freq[c1 = i];
        for (int i = 0; i <= 256; ++i)
            if (freq[i] && freq[i] <= v2 && i != c1) v2 = freq[c2 = i];
        if (c2 < 0) break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        // Every symbol in both trees gets one bit longer; c2's chain hangs on c1's.
        for (++length[c1]; next[c1] >= 0; ++length[c1]) c1 = next[c1];
        next[c1] = c2;
        for (++length[c2]; next[c2] >= 0; ++length[c2]) c2 = next[c2];
    }
    std::array<int, kMaxLength + 1> bits{};
    for (int i = 0; i <= 256; ++i) {
        if (!length[i]) continue;
        if (length[i] > kMaxLength) return false;
        ++bits[length[i]];
    }
    // Codes longer than 16 bits: take pairs from the longest length, give one the pair's prefix
    // and split a shorter code into two.
    for (int i = kMaxLength; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0) --j;
            bits[i] -= 2;
            ++bits[i - 1];
            bits[j + 1] += 2;
            --bits[j];
        }
    }
    int longest = 16;
    while (bits[longest] == 0) --longest;
    --bits[longest];  // the pseudo-symbol
    for (int i = 0; i <= 16; ++i) table.bits[i] = static_cast<UINT8>(bits[i]);
    int p = 0;
    for (int len = 1; len <= kMaxLength; ++len)
        for (int s = 0; s < 256; ++s)
            if (length[s] == len) table.huffval[p++] = static_cast<UINT8>(s);
    table.sent_table = FALSE;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writing the result.

struct OutputJob {
    jvirt_barray_ptr* coefficients;
    const jpeg_scan_info* scans;
    const ScanRestart* restarts;
    int scanCount;
    const TJpegMarker* markers;
    size_t markerCount;
    bool fastStatistics;
    HuffmanCounts* counts;
    TJpegStreamDestination* dest;
    TJpegCoefficientMemory* memory;
};

bool WriteOutputGuarded(jpeg_decompress_struct& src, jpeg_compress_struct& dst, TJpegErrors& err, OutputJob& job) {
    if (setjmp(err.jump)) return false;
    if (job.scanCount < 1) FailJpeg(err, TFailureKind::Damaged, "no scans");
    jpeg_create_compress(&dst);
    job.memory->Serve(reinterpret_cast<j_common_ptr>(&dst));
    dst.dest = job.dest->Manager();
    jpeg_copy_critical_parameters(&src, &dst);
    // The source's own APP0 and APP14, if any, are among the copied markers.
    dst.write_JFIF_header = FALSE;
    dst.write_Adobe_marker = FALSE;
    ChooseRestart(job.restarts, job.scanCount, dst);
    dst.scan_info = job.scans;
    dst.num_scans = job.scanCount;
    const jpeg_scan_info& first = job.scans[0];
    const bool oneSequentialScan = job.scanCount == 1 && first.Ss == 0 && first.Se == DCTSIZE2 - 1 && first.Ah == 0 &&
                                   first.Al == 0 && first.comps_in_scan == src.num_components;
    if (job.fastStatistics && oneSequentialScan) {
        if (!GatherStatistics(src, job.coefficients, first, dst, *job.counts))
            FailJpeg(err, TFailureKind::Damaged, "DCT coefficient out of range");
        bool doneDc[NUM_HUFF_TBLS] = {}, doneAc[NUM_HUFF_TBLS] = {};
        for (int i = 0; i < first.comps_in_scan; ++i) {
            const jpeg_component_info& comp = dst.comp_info[first.component_index[i]];
            JHUFF_TBL** tables[2] = {&dst.dc_huff_tbl_ptrs[comp.dc_tbl_no], &dst.ac_huff_tbl_ptrs[comp.ac_tbl_no]};
            const long* counts[2] = {job.counts->dc[comp.dc_tbl_no], job.counts->ac[comp.ac_tbl_no]};
            bool* done[2] = {&doneDc[comp.dc_tbl_no], &doneAc[comp.ac_tbl_no]};
            for (int k = 0; k < 2; ++k) {
                if (*done[k]) continue;
                if (!*tables[k]) *tables[k] = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&dst));
                if (!MakeOptimalTable(counts[k], **tables[k]))
                    FailJpeg(err, TFailureKind::Other, "Huffman code length overflow");
                *done[k] = true;
            }
        }
        dst.optimize_coding = FALSE;
    } else {
        dst.optimize_coding = TRUE;
    }
    jpeg_write_coefficients(&dst, job.coefficients);
    for (size_t i = 0; i < job.markerCount; ++i)
        jpeg_write_marker(&dst, job.markers[i].code, job.markers[i].data.data(),
                          static_cast<unsigned>(job.markers[i].data.size()));
    jpeg_finish_compress(&dst);
    return true;
}

std::vector<TJpegMarker> SavedMarkers(const jpeg_decompress_struct& src) {
    std::vector<TJpegMarker> markers;
    for (jpeg_saved_marker_ptr m = src.marker_list; m; m = m->next)
        markers.push_back({m->marker, std::vector<uint8_t>(m->data, m->data + m->data_length)});
    return markers;
}

void CheckMarkers(const std::vector<TJpegMarker>& markers) {
    for (const TJpegMarker& m : markers) {
        const bool app = m.code >= JPEG_APP0 && m.code <= JPEG_APP0 + 15;
        if ((!app && m.code != JPEG_COM) || m.data.size() > 65533)
            throw EInvalidGraphic("JPEG marker to write is not an APPn or COM marker of at most 65533 bytes");
    }
}

}  // namespace

TLosslessJpegResult StampJpegLossless(const uint8_t* data, size_t size, const TLosslessStamp& stamp, TStream& out,
                                      const TLosslessJpegOptions& options) {
    TJpegErrors err;
    TJpegCoefficientMemory memory;  // outlives both libjpeg objects
    TJpegDecompressor src(err);
    std::vector<jpeg_scan_info> scans(static_cast<size_t>(std::max(options.maxScans, 1)));
    std::vector<ScanRestart> restarts(scans.size());
    SourceJob job{};
    job.data = data;
    job.size = size;
    job.maxPixels = options.maxPixels;
    job.memory = &memory;
    job.recorder.pub.progress_monitor = RecordScan;
    job.recorder.err = &err;
    job.recorder.scans = scans.data();
    job.recorder.restarts = restarts.data();
    job.recorder.maxScans = std::max(options.maxScans, 1);
    if (!ReadSourceGuarded(src.cinfo, err, job)) RaiseJpegError(err);

    TLosslessJpegResult result;
    if (job.needsReencode) {
        result.status = TLosslessJpegStatus::NeedsReencode;
        result.note = "CMYK JPEG: the stamp needs the picture decoded and encoded again";
        return result;
    }

    const Orientation orient(stamp.orientation, static_cast<int>(src.cinfo.image_width),
                             static_cast<int>(src.cinfo.image_height));
    const Placement place = Place(src.cinfo, stamp, orient);
    if (!place.mcus.Empty() && stamp.draw)
        result.changedBlocks = StampRegion(src.cinfo, job.coefficients, err, place, orient, stamp);

    std::vector<TJpegMarker> markers = SavedMarkers(src.cinfo);
    if (options.editMarkers) options.editMarkers(markers);
    CheckMarkers(markers);

    TJpegStreamDestination dest(out, err);
    auto counts = std::make_unique<HuffmanCounts>();
    OutputJob output{job.coefficients,
                     scans.data(),
                     restarts.data(),
                     job.recorder.count,
                     markers.data(),
                     markers.size(),
                     options.fastHuffmanStatistics,
                     counts.get(),
                     &dest,
                     &memory};
    TJpegCompressor dst(err);
    const bool ok = WriteOutputGuarded(src.cinfo, dst.cinfo, err, output);
    if (!ok) {
        dest.RethrowStreamError();
        RaiseJpegError(err);
    }
    return result;
}

TLosslessJpegResult StampJpegLossless(TStream& source, const TLosslessStamp& stamp, TStream& out,
                                      const TLosslessJpegOptions& options) {
    const int64_t position = source.Position();
    const int64_t size = source.Size() - position;
    if (size <= 0) throw EInvalidGraphic("JPEG error: the file is empty", TFailureKind::Damaged);
    if (auto* memory = dynamic_cast<TCustomMemoryStream*>(&source))
        return StampJpegLossless(memory->Memory() + position, static_cast<size_t>(size), stamp, out, options);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    source.ReadBuffer(data.data(), size);
    return StampJpegLossless(data.data(), data.size(), stamp, out, options);
}
