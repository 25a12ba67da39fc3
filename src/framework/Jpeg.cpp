#include "Jpeg.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "JpegStrips.h"
#include "LibJpeg.h"

namespace {

// Pixels of the formats libjpeg cannot take directly go through a table from the stored
// value (palette index or 16-bit word) to R, G, B and a pad byte, one 32-bit store a pixel:
// a colour value laid out little-endian is exactly that.
std::vector<uint32_t> MakeRgbxTable(const TBitmap& bmp) {
    static_assert(std::endian::native == std::endian::little, "a colour value is R, G, B in memory order");
    std::vector<uint32_t> table;
    const TPixelFormat format = bmp.PixelFormat();
    if (format == pf15bit || format == pf16bit) {
        table.resize(65536);
        for (uint32_t v = 0; v < 65536; ++v) table[v] = static_cast<uint32_t>(WordColor(v, format));
        return table;
    }
    table.assign(256, 0);  // indexed; an index past the palette is black
    const TPalette& pal = bmp.Palette();
    for (int i = 0; i < std::min(pal.Count(), 256); ++i)
        table[static_cast<size_t>(i)] = static_cast<uint32_t>(RGBColor(pal[i].peRed, pal[i].peGreen, pal[i].peBlue));
    return table;
}

void ConvertRow(const TBitmap& bmp, int y, const uint32_t* table, uint32_t* out) {
    const uint8_t* row = bmp.ScanLine(y);
    const int w = bmp.Width();
    switch (bmp.PixelFormat()) {  // one loop per depth, so that each unpacks with constant shifts
    case pf1bit:
        for (int x = 0; x < w; ++x) out[x] = table[PackedIndex(row, x, 1)];
        break;
    case pf4bit:
        for (int x = 0; x < w; ++x) out[x] = table[PackedIndex(row, x, 4)];
        break;
    case pf8bit:
        for (int x = 0; x < w; ++x) out[x] = table[row[x]];
        break;
    default:  // 15 and 16 bits
        for (int x = 0; x < w; ++x) out[x] = table[row[2 * x] | (row[2 * x + 1] << 8)];
        break;
    }
}

struct CompressJob {
    const TBitmap* bitmap;
    int quality;
    int firstRow, rows;                        // the rows compressed, as a picture of their own
    uint32_t* rowBuffer;                       // null when rows are fed straight from the bitmap
    const uint32_t* table;                     // for pixels through rowBuffer: stored value to RGBX
    const std::function<void(int)>* rowsDone;  // null when nobody listens
    const TJpegPatch* patch;
};

// Row y as libjpeg takes it, with the patch's pixels over the bitmap's where it has them.
JSAMPROW PrepareRow(const CompressJob& job, int y) {
    const TBitmap& bmp = *job.bitmap;
    const TJpegPatch& patch = *job.patch;
    const bool patched = patch.Pixels && y >= patch.Top && y < patch.Top + patch.Pixels->Height();
    const TPixelFormat format = bmp.PixelFormat();
    const bool direct = format == pf24bit || format == pf32bit;
    if (!patched) {
        if (!direct) ConvertRow(bmp, y, job.table, job.rowBuffer);
        return direct ? const_cast<JSAMPLE*>(bmp.ScanLine(y)) : reinterpret_cast<JSAMPLE*>(job.rowBuffer);
    }
    auto* out = reinterpret_cast<uint8_t*>(job.rowBuffer);
    if (direct)
        std::memcpy(out, bmp.ScanLine(y), static_cast<size_t>(bmp.Width()) * (format == pf24bit ? 3 : 4));
    else
        ConvertRow(bmp, y, job.table, job.rowBuffer);
    // Blue-green-red for a 24-bit bitmap, with a pad byte for a 32-bit one, red first for the rest.
    const uint8_t* from = patch.Pixels->ScanLine(y - patch.Top);
    const int size = format == pf24bit ? 3 : 4;
    uint8_t* to = out + static_cast<size_t>(patch.Left) * size;
    const int r = direct ? 2 : 0, b = 2 - r;
    for (int x = 0; x < patch.Pixels->Width(); ++x, from += 3, to += size) {
        to[r] = from[2], to[1] = from[1], to[b] = from[0];
    }
    return reinterpret_cast<JSAMPLE*>(out);
}

// About a hundred reports a picture. Nothing may leave this frame but by returning: it is
// called where libjpeg may jump.
void ReportRows(const CompressJob& job, int done) {
    const int step = std::max(1, job.rows / 100);
    if (!job.rowsDone || !*job.rowsDone || done % step != 0) return;
    try {
        (*job.rowsDone)(done);
    } catch (...) {}
}

// Only trivially destructible locals live here, as longjmp may land in this frame.
bool CompressGuarded(jpeg_compress_struct& cinfo, TJpegErrors& err, TJpegStreamDestination& dest,
                     const CompressJob& job) {
    if (setjmp(err.jump)) return false;
    jpeg_create_compress(&cinfo);
    cinfo.dest = dest.Manager();
    const TBitmap& bmp = *job.bitmap;
    cinfo.image_width = static_cast<JDIMENSION>(bmp.Width());
    cinfo.image_height = static_cast<JDIMENSION>(job.rows);
    cinfo.input_components = bmp.PixelFormat() == pf24bit ? 3 : 4;
    // Blue-green-red rows of 24/32-bit bitmaps, and the converted rows of the others, give
    // the same samples as an RGB copy would.
    cinfo.in_color_space = bmp.PixelFormat() == pf24bit   ? JCS_EXT_BGR
                           : bmp.PixelFormat() == pf32bit ? JCS_EXT_BGRX
                                                          : JCS_EXT_RGBX;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_set_quality(&cinfo, job.quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        ReportRows(job, static_cast<int>(cinfo.next_scanline));
        JSAMPROW row = PrepareRow(job, job.firstRow + static_cast<int>(cinfo.next_scanline));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

struct DecompressJob {
    const uint8_t* data;
    size_t size;
    TBitmap* bitmap;
    std::exception_ptr error;  // a failure to allocate the bitmap
    jpeg_progress_mgr monitor{LimitJpegScans, 0, 0, 0, 0};
};

bool DecompressGuarded(jpeg_decompress_struct& cinfo, TJpegErrors& err, DecompressJob& job) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &job.monitor;
    jpeg_mem_src(&cinfo, job.data, static_cast<unsigned long>(job.size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_calc_output_dimensions(&cinfo);
    if (int64_t{cinfo.output_width} * cinfo.output_height > TBitmap::kMaxPixels ||
        cinfo.output_width > static_cast<JDIMENSION>(TBitmap::kMaxDimension) ||
        cinfo.output_height > static_cast<JDIMENSION>(TBitmap::kMaxDimension)) {
        job.error = std::make_exception_ptr(EInvalidGraphic("JPEG picture too large", TFailureKind::TooLarge));
        return false;
    }
    if (!ParkException(job.error, [&] {
            job.bitmap->Allocate(pf24bit, static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
        }))
        return false;
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = job.bitmap->ScanLine(static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

// jpeg_set_defaults samples both chroma components 2 × 2 against luminance.
constexpr int kMcuSize = 16;

// Compresses rows firstRow .. firstRow + rows - 1 of the bitmap as a JPEG of their own.
void CompressRows(const TBitmap& bitmap, int quality, int firstRow, int rows, const std::vector<uint32_t>& table,
                  const TJpegPatch& patch, TStream& stream, const std::function<void(int rowsDone)>& rowsDone) {
    std::vector<uint32_t> rowBuffer;
    if (!table.empty() || patch.Pixels) rowBuffer.resize(static_cast<size_t>(bitmap.Width()));
    TJpegErrors err;
    TJpegStreamDestination dest(stream, err);
    TJpegCompressor compressor(err);
    const CompressJob job{&bitmap,      quality,   firstRow, rows, rowBuffer.empty() ? nullptr : rowBuffer.data(),
                          table.data(), &rowsDone, &patch};

    if (CompressGuarded(compressor.cinfo, err, dest, job)) return;
    dest.RethrowStreamError();
    RaiseJpegError(err);
}

}  // namespace

void SaveBitmapAsJpeg(const TBitmap& bitmap, int quality, TStream& stream,
                      const std::function<void(int percent)>& progress, int threads, const TJpegPatch& patch) {
    if (bitmap.Empty()) throw EInvalidGraphic("Cannot save an empty picture as JPEG");
    if (patch.Pixels && (patch.Pixels->PixelFormat() != pf24bit || patch.Left < 0 || patch.Top < 0 ||
                         patch.Left + int64_t{patch.Pixels->Width()} > bitmap.Width() ||
                         patch.Top + int64_t{patch.Pixels->Height()} > bitmap.Height()))
        throw EInvalidGraphic("The JPEG patch does not lie inside the picture");
    const TPixelFormat f = bitmap.PixelFormat();
    std::vector<uint32_t> table;
    if (f != pf24bit && f != pf32bit) table = MakeRgbxTable(bitmap);
    const int height = bitmap.Height();

    const TJpegStripPlan plan = PlanJpegStrips(bitmap.Width(), height, kMcuSize, threads);
    if (plan.Strips > 1) {
        WriteJpegStrips(
            plan, height, threads,
            [&](int first, int rows, TStream& out, const std::function<void(int)>& rowsDone) {
                CompressRows(bitmap, quality, first, rows, table, patch, out, rowsDone);
            },
            stream, progress);
        return;
    }
    std::function<void(int)> rowsDone;
    if (progress) rowsDone = [&](int y) { progress(static_cast<int>(int64_t{y} * 100 / height)); };
    CompressRows(bitmap, quality, 0, height, table, patch, stream, rowsDone);
}

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

bool TJPEGImage::Empty() const { return bitmap_.Empty(); }
int TJPEGImage::Width() const { return bitmap_.Width(); }
int TJPEGImage::Height() const { return bitmap_.Height(); }
void TJPEGImage::SetWidth(int value) { bitmap_.SetWidth(value); }
void TJPEGImage::SetHeight(int value) { bitmap_.SetHeight(value); }

void TJPEGImage::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* bmp = dynamic_cast<const TBitmap*>(&source)) {
        bitmap_.Assign(*bmp);
    } else if (const auto* jpeg = dynamic_cast<const TJPEGImage*>(&source)) {
        bitmap_.Assign(jpeg->bitmap_);
        CompressionQuality = jpeg->CompressionQuality;
    } else {
        TGraphic::Assign(source);
        return;
    }
    Changed();
}

void TJPEGImage::AssignTo(TGraphic& dest) const {
    if (auto* bmp = dynamic_cast<TBitmap*>(&dest)) {
        bmp->Assign(bitmap_);
        return;
    }
    TGraphic::AssignTo(dest);
}

void TJPEGImage::SaveToStream(TStream& stream) { SaveBitmapAsJpeg(bitmap_, CompressionQuality, stream); }

void TJPEGImage::LoadFromStream(TStream& stream) {
    const int64_t size = stream.Size() - stream.Position();
    if (size <= 0) throw EInvalidGraphic("JPEG error: the file is empty", TFailureKind::Damaged);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    stream.ReadBuffer(data.data(), size);

    TBitmap decoded;
    TJpegErrors err;
    TJpegDecompressor decompressor(err);
    DecompressJob job{data.data(), data.size(), &decoded, nullptr};
    if (!DecompressGuarded(decompressor.cinfo, err, job)) {
        if (job.error) std::rethrow_exception(job.error);
        RaiseJpegError(err);
    }
    bitmap_.Assign(decoded);
    Changed();
}
