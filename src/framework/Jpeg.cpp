#include "Jpeg.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <exception>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include "JpegStrips.h"

namespace {

// libjpeg reports fatal errors through error_exit, which must not return. We jump back to
// the guarded call with longjmp; only C frames and frames without live C++ objects are
// skipped. Stream exceptions raised inside the destination manager are parked and
// rethrown once libjpeg has been left.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void OutputMessage(j_common_ptr) {}  // warnings are not printed

// A warning means damaged or missing data that libjpeg papered over (a cut file comes out
// filled with grey), which must not pass for the picture: it ends the decode like an error.
// Only labels libjpeg does not know are harmless.
void EmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM) return;
    ErrorExit(cinfo);
}

// A progressive file may repeat scans without end, each costing a pass over the whole picture;
// real files have about ten.
constexpr int kMaxScans = 500;

void MonitorScans(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number <= kMaxScans) return;
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxScans);
    std::longjmp(err->jump, 1);
}

constexpr size_t kOutputBuffer = 256 * 1024;  // large sequential writes to the stream

struct Destination {
    jpeg_destination_mgr pub;
    TStream* stream;
    JOCTET* buffer;
    std::exception_ptr error;
    ErrorManager* err;
};

void InitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kOutputBuffer;
}

// Writes count bytes; on a stream exception parks it and leaves libjpeg.
void Flush(Destination* d, size_t count) {
    bool failed = false;
    try {
        d->stream->WriteBuffer(d->buffer, static_cast<int64_t>(count));
    } catch (...) {
        d->error = std::current_exception();
        failed = true;
    }
    if (failed) std::longjmp(d->err->jump, 1);
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    Flush(d, kOutputBuffer);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kOutputBuffer;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    const size_t count = kOutputBuffer - d->pub.free_in_buffer;
    if (count) Flush(d, count);
}

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
    const uint32_t* table;                     // with rowBuffer: stored value to RGBX
    const std::function<void(int)>* rowsDone;  // null when nobody listens
};

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
bool CompressGuarded(jpeg_compress_struct& cinfo, ErrorManager& err, Destination& dest, const CompressJob& job) {
    if (setjmp(err.jump)) return false;
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.pub;
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
        const int y = job.firstRow + static_cast<int>(cinfo.next_scanline);
        JSAMPROW row;
        if (job.rowBuffer) {
            ConvertRow(bmp, y, job.table, job.rowBuffer);
            row = reinterpret_cast<JSAMPLE*>(job.rowBuffer);
        } else {
            row = const_cast<JSAMPLE*>(bmp.ScanLine(y));
        }
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
    jpeg_progress_mgr monitor{MonitorScans, 0, 0, 0, 0};
};

bool DecompressGuarded(jpeg_decompress_struct& cinfo, ErrorManager& err, DecompressJob& job) {
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
        job.error = std::make_exception_ptr(EInvalidGraphic("JPEG picture too large"));
        return false;
    }
    bool failed = false;
    try {
        job.bitmap->Allocate(pf24bit, static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
    } catch (...) {
        job.error = std::current_exception();
        failed = true;
    }
    if (failed) return false;
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = job.bitmap->ScanLine(static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

void InitErrors(ErrorManager& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.output_message = OutputMessage;
    err.pub.emit_message = EmitMessage;
    err.message[0] = '\0';
}

}  // namespace

namespace {

// jpeg_set_defaults samples both chroma components 2 × 2 against luminance.
constexpr int kMcuSize = 16;

// Compresses rows firstRow .. firstRow + rows - 1 of the bitmap as a JPEG of their own.
void CompressRows(const TBitmap& bitmap, int quality, int firstRow, int rows, const std::vector<uint32_t>& table,
                  TStream& stream, const std::function<void(int rowsDone)>& rowsDone) {
    std::vector<uint32_t> rowBuffer;
    if (!table.empty()) rowBuffer.resize(static_cast<size_t>(bitmap.Width()));
    std::vector<JOCTET> outBuffer(kOutputBuffer);

    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    Destination dest{};
    dest.pub.init_destination = InitDestination;
    dest.pub.empty_output_buffer = EmptyOutputBuffer;
    dest.pub.term_destination = TermDestination;
    dest.stream = &stream;
    dest.buffer = outBuffer.data();
    dest.err = &err;
    const CompressJob job{&bitmap,      quality,  firstRow, rows, rowBuffer.empty() ? nullptr : rowBuffer.data(),
                          table.data(), &rowsDone};

    const bool ok = CompressGuarded(cinfo, err, dest, job);
    jpeg_destroy_compress(&cinfo);
    if (dest.error) std::rethrow_exception(dest.error);
    if (!ok) throw EInvalidGraphic(std::string("JPEG error: ") + err.message);
}

}  // namespace

void SaveBitmapAsJpeg(const TBitmap& bitmap, int quality, TStream& stream,
                      const std::function<void(int percent)>& progress, int threads) {
    if (bitmap.Empty()) throw EInvalidGraphic("Cannot save an empty picture as JPEG");
    const TPixelFormat f = bitmap.PixelFormat();
    std::vector<uint32_t> table;
    if (f != pf24bit && f != pf32bit) table = MakeRgbxTable(bitmap);
    const int height = bitmap.Height();

    const TJpegStripPlan plan = PlanJpegStrips(bitmap.Width(), height, kMcuSize, threads);
    if (plan.Strips > 1) {
        WriteJpegStrips(
            plan, height, threads,
            [&](int first, int rows, TStream& out, const std::function<void(int)>& rowsDone) {
                CompressRows(bitmap, quality, first, rows, table, out, rowsDone);
            },
            stream, progress);
        return;
    }
    std::function<void(int)> rowsDone;
    if (progress) rowsDone = [&](int y) { progress(static_cast<int>(int64_t{y} * 100 / height)); };
    CompressRows(bitmap, quality, 0, height, table, stream, rowsDone);
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
    if (size <= 0) throw EInvalidGraphic("JPEG error: the file is empty");
    std::vector<uint8_t> data(static_cast<size_t>(size));
    stream.ReadBuffer(data.data(), size);

    TBitmap decoded;
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    DecompressJob job{data.data(), data.size(), &decoded, nullptr};
    const bool ok = DecompressGuarded(cinfo, err, job);
    jpeg_destroy_decompress(&cinfo);
    if (job.error) std::rethrow_exception(job.error);
    if (!ok) throw EInvalidGraphic(std::string("JPEG error: ") + err.message);
    bitmap_.Assign(decoded);
    Changed();
}
