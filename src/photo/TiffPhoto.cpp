// TIFF photos through libtiff's RGBA interface (any photometric interpretation it knows,
// 16-bit samples reduced, CMYK converted), first page only, read from memory. The XMP, IPTC,
// ICC and orientation fields are taken from IFD0's raw bytes, and the camera data (IFD0's
// descriptive fields, the Exif and GPS directories) are copied into a stand-alone EXIF block.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <tiffio.h>

#include "PhotoDecode.h"
#include "PhotoSupport.h"
#include "TiffIfd.h"

namespace {

struct MemoryFile {
    const uint8_t* data;
    toff_t size;
    toff_t pos;
    std::string error;  // libtiff's first error message
};

tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (n <= 0 || f->pos >= f->size) return 0;
    const toff_t count = std::min<toff_t>(static_cast<toff_t>(n), f->size - f->pos);
    std::memcpy(buf, f->data + f->pos, count);
    f->pos += count;
    return static_cast<tmsize_t>(count);
}
tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return -1; }
toff_t SeekProc(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    const toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
    f->pos = base + off;  // libtiff checks reads; a position past the end simply reads nothing
    return f->pos;
}
int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<MemoryFile*>(h)->size; }
int MapProc(thandle_t h, void** base, toff_t* size) {
    auto* f = static_cast<MemoryFile*>(h);
    *base = const_cast<uint8_t*>(f->data);
    *size = f->size;
    return 1;
}
void UnmapProc(thandle_t, void*, toff_t) {}

int ErrorHandler(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* f = static_cast<MemoryFile*>(user);
    if (f->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        f->error = std::string(module ? module : "") + (module ? ": " : "") + text;
    }
    return 1;
}
int WarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }  // unknown tags and such

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
struct RgbaImageEnd {
    void operator()(TIFFRGBAImage* img) const { TIFFRGBAImageEnd(img); }
};

// The RGBA interface hands premultiplied samples; the bitmap holds straight alpha.
uint8_t Unpremultiply(unsigned c, unsigned a) { return static_cast<uint8_t>(std::min(255u, (c * 255 + a / 2) / a)); }

// An EXIF block (a TIFF structure of its own, in the file's byte order) holding IFD0's
// descriptive fields and copies of the Exif and GPS directories. Values are copied as bytes;
// fields whose values hold offsets into the file (the interoperability directory, maker notes)
// are left out, as their offsets would not survive the move.
class ExifBuilder {
public:
    explicit ExifBuilder(const TiffIfd& ifd0) : src_(ifd0) {}

    std::string Build() {
        static const unsigned kIfd0Tags[] = {270, 271, 272, 274, 305, 306, 315, 33432};
        std::vector<Entry> ifd0;
        for (unsigned tag : kIfd0Tags)
            if (auto f = src_.Find(tag)) ifd0.push_back({tag, f->type, f->count, src_.Bytes(*f)});
        blob_ = src_.BigEndian() ? std::string("MM\0*\0\0\0\0", 8) : std::string("II*\0\0\0\0\0", 8);
        for (unsigned pointer : {34665u, 34853u}) {  // Exif, GPS
            const auto f = src_.Find(pointer);
            TiffIfd sub;
            if (!f || f->count != 1 || (f->type != 4 && f->type != 13) || !sub.OpenAt(src_, src_.U32(f->offset)))
                continue;
            std::vector<Entry> entries;
            for (unsigned i = 0; i < sub.Count(); ++i)
                if (auto e = sub.Entry(i); e && e->tag != 40965 && e->tag != 37500)
                    entries.push_back({e->tag, e->type, e->count, sub.Bytes(*e)});
            if (entries.empty()) continue;
            ifd0.push_back({pointer, 4, 1, U32(uint32_t(WriteIfd(entries)))});
        }
        if (ifd0.empty()) return {};
        const std::string at = U32(uint32_t(WriteIfd(ifd0)));
        blob_.replace(4, 4, at);
        return blob_;
    }

private:
    struct Entry {
        unsigned tag, type;
        uint32_t count;
        std::string value;  // in the file's byte order
    };

    std::string U16(unsigned v) const {
        return src_.BigEndian() ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)};
    }
    std::string U32(uint32_t v) const {
        return src_.BigEndian() ? std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}
                                : std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    }

    // Appends the directory and its values; returns where the directory starts.
    size_t WriteIfd(std::vector<Entry>& entries) {
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        if (blob_.size() & 1) blob_ += '\0';
        const size_t at = blob_.size();
        size_t data = at + 2 + entries.size() * 12 + 4;
        std::string values;
        blob_ += U16(unsigned(entries.size()));
        for (const Entry& e : entries) {
            blob_ += U16(e.tag) + U16(e.type) + U32(e.count);
            if (e.value.size() <= 4) {
                blob_ += e.value + std::string(4 - e.value.size(), '\0');
            } else {
                blob_ += U32(uint32_t(data + values.size()));
                values += e.value;
                if (values.size() & 1) values += '\0';
            }
        }
        blob_ += U32(0);
        blob_ += values;
        return at;
    }

    const TiffIfd& src_;
    std::string blob_;
};

void ReadMetadata(const uint8_t* data, size_t size, PhotoMetadata& meta) {
    TiffIfd ifd;
    if (!ifd.Open(data, size)) return;
    meta.exif = ExifBuilder(ifd).Build();
    if (auto f = ifd.Find(700)) meta.xmp = ifd.Bytes(*f);
    if (auto f = ifd.Find(33723)) meta.iptc = ifd.Bytes(*f);
    if (auto f = ifd.Find(34675)) meta.icc = ifd.Bytes(*f);
    if (auto f = ifd.Find(274); f && f->type == 3 && f->count == 1) {
        const unsigned v = ifd.U16(f->offset);
        meta.orientation = v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
    }
}

}  // namespace

void DecodeTiffPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    MemoryFile file{data, size, 0, {}};
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(), TIFFOpenOptionsFree);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), ErrorHandler, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), WarningHandler, &file);
    // No single buffer (a strip, a tile, a table) beyond what the largest allowed picture needs.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t{512} << 20);
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt("photo", "rm", &file, ReadProc, WriteProc, SeekProc,
                                                            CloseProc, SizeProc, MapProc, UnmapProc, options.get()));
    auto fail = [&](const char* fallback, TFailureKind kind = TFailureKind::Damaged) {
        PhotoFail("TIFF", file.error.empty() ? fallback : file.error, kind);
    };
    if (!tif) fail("not a readable TIFF file");
    char message[1024] = "";
    if (!TIFFRGBAImageOK(tif.get(), message)) PhotoFail("TIFF", message, TFailureKind::Unsupported);
    TIFFRGBAImage img{};
    if (!TIFFRGBAImageBegin(&img, tif.get(), 1, message)) PhotoFail("TIFF", message);
    std::unique_ptr<TIFFRGBAImage, RgbaImageEnd> imgEnd(&img);
    CheckPhotoSize("TIFF", img.width, img.height);
    const int w = static_cast<int>(img.width), h = static_cast<int>(img.height);
    // The stored order: the orientation field is reported, as for the other formats.
    img.req_orientation = img.orientation;
    const bool alpha = img.alpha != 0;

    // Rows go through the RGBA buffer in bands of whole strips or tiles, so that none is decoded twice.
    uint32_t unit = 0;
    if (!TIFFGetField(tif.get(), TIFFIsTiled(tif.get()) ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, &unit) ||
        unit == 0)
        unit = img.height;
    unit = std::min<uint32_t>(unit, img.height);
    const uint32_t band = std::min<uint32_t>(img.height, unit * ((64 + unit - 1) / unit));
    std::vector<uint32_t> raster(size_t{img.width} * band);
    bitmap.Allocate(alpha ? pf32bit : pf24bit, w, h);
    for (uint32_t y0 = 0; y0 < img.height; y0 += band) {
        const uint32_t rows = std::min(band, img.height - y0);
        img.row_offset = static_cast<int>(y0);
        if (!TIFFRGBAImageGet(&img, raster.data(), img.width, rows)) fail("the image data cannot be decoded");
        if (!file.error.empty()) fail("");
        for (uint32_t r = 0; r < rows; ++r) {
            const uint32_t* src = raster.data() + size_t{r} * img.width;
            uint8_t* dst = bitmap.ScanLine(static_cast<int>(y0 + r));
            for (int x = 0; x < w; ++x) {
                const uint32_t p = src[x];
                const unsigned red = TIFFGetR(p), green = TIFFGetG(p), blue = TIFFGetB(p), a = TIFFGetA(p);
                if (!alpha) {
                    dst[0] = static_cast<uint8_t>(blue), dst[1] = static_cast<uint8_t>(green);
                    dst[2] = static_cast<uint8_t>(red);
                    dst += 3;
                } else {
                    dst[0] = a ? Unpremultiply(blue, a) : 0, dst[1] = a ? Unpremultiply(green, a) : 0;
                    dst[2] = a ? Unpremultiply(red, a) : 0, dst[3] = static_cast<uint8_t>(a);
                    dst += 4;
                }
            }
        }
    }
    PhotoMetadata meta;
    ReadMetadata(data, size, meta);
    metadata = std::move(meta);
}
