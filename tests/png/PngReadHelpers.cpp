#include "PngReadHelpers.h"

#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <png.h>
#include <zlib.h>

#include "Classes.h"
#include "KMPNG.h"
#include "KMPNGReadStream.h"
#include "PngWriteHelpers.h"

namespace pngread {

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void DecodeOurs(const Bytes& png, Decoded& out) {
    TMemoryStream stream{Bytes(png)};
    TKMPNGReadStream reader;
    reader.AlphaTarget = &out.alpha;
    reader.Read(&out.bitmap, stream, 0);
    out.hasAlpha = reader.HasAlpha();
    out.greyscale = reader.Greyscale();
    out.interlaced = reader.InterlaceMethod() != 0;
    out.sourceBits = reader.SourceBits();
    out.background = reader.BackgroundColor();
    out.transparent = reader.TransparentColor();
    out.gamma = reader.Gamma();
    out.significantBits = reader.SignificantBits();
    out.comment = reader.Comment();
}

Rgba ToRgba(const Decoded& d) {
    const TBitmap& b = d.bitmap;
    Rgba out{b.Width(), b.Height(), {}};
    out.pixels.reserve(static_cast<size_t>(out.width) * out.height * 4);
    const bool mask = d.hasAlpha && !d.alpha.Empty();
    for (int y = 0; y < b.Height(); ++y) {
        for (int x = 0; x < b.Width(); ++x) {
            const TColor c = b.GetPixel(x, y);
            uint8_t a = 255;
            if (mask) {
                a = static_cast<uint8_t>(255 - d.alpha.ScanLine(y)[x]);
            } else if (b.Transparent()) {
                const TColor t = b.TransparentColor();
                const bool hit = (t & 0x1000000) ? pngtest::IndexAt(b, x, y) == (t & 0xFF) : c == t;
                if (hit) a = 0;
            }
            out.pixels.insert(out.pixels.end(), {GetRValue(c), GetGValue(c), GetBValue(c), a});
        }
    }
    return out;
}

namespace {

void Silent(png_structp, png_const_charp) {}

void AppendBE(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

struct Sink {
    Bytes* out;
};

void WriteToSink(png_structp png, png_bytep data, png_size_t n) {
    auto* s = static_cast<Sink*>(png_get_io_ptr(png));
    s->out->insert(s->out->end(), data, data + n);
}

void FlushSink(png_structp) {}

bool LibpngEncode(uint32_t w, uint32_t h, int depth, int colorType, bool interlaced,
                  std::vector<png_bytep>& rowPtrs, const Bytes& palette, const Bytes& trns, int level, Bytes& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, Silent);
    png_infop info = png_create_info_struct(png);
    Sink sink{&out};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &sink, WriteToSink, FlushSink);
    png_set_compression_level(png, level);
    png_set_IHDR(png, info, w, h, depth, colorType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color entries[256];
    if (!palette.empty()) {
        const int n = static_cast<int>(palette.size() / 3);
        for (int i = 0; i < n; ++i) entries[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
        png_set_PLTE(png, info, entries, n);
    }
    png_color_16 trnsColor{};
    if (!trns.empty()) {
        if (colorType == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
        } else {
            trnsColor.gray = static_cast<png_uint_16>((trns[0] << 8) | trns[1]);
            if (trns.size() >= 6) {
                trnsColor.red = static_cast<png_uint_16>((trns[0] << 8) | trns[1]);
                trnsColor.green = static_cast<png_uint_16>((trns[2] << 8) | trns[3]);
                trnsColor.blue = static_cast<png_uint_16>((trns[4] << 8) | trns[5]);
            }
            png_set_tRNS(png, info, nullptr, 0, &trnsColor);
        }
    }
    png_write_info(png, info);
    if (interlaced) png_set_interlace_handling(png);
    png_write_image(png, rowPtrs.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

Rgba DecodeLibpng(const Bytes& png) {
    const pngtest::Decoded d = pngtest::DecodeWithLibpng(png, false);
    if (!d.ok) return {};
    return {static_cast<int>(d.width), static_cast<int>(d.height), d.rgba};
}

Rgba ReadPam(const std::filesystem::path& path) {
    const Bytes file = ReadFile(path);
    Rgba out;
    size_t pos = 0;
    for (;;) {
        const size_t eol = std::find(file.begin() + static_cast<long>(pos), file.end(), '\n') - file.begin();
        if (eol >= file.size()) return {};
        const std::string line(file.begin() + static_cast<long>(pos), file.begin() + static_cast<long>(eol));
        pos = eol + 1;
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "WIDTH") words >> out.width;
        if (key == "HEIGHT") words >> out.height;
        if (key == "ENDHDR") break;
    }
    out.pixels.assign(file.begin() + static_cast<long>(pos), file.end());
    return out;
}

void AppendChunk(Bytes& png, const char* type, const Bytes& data) {
    AppendBE(png, static_cast<uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    AppendBE(png, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

Bytes Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace) {
    Bytes b;
    AppendBE(b, w);
    AppendBE(b, h);
    b.insert(b.end(), {static_cast<uint8_t>(depth), static_cast<uint8_t>(colorType), 0, 0,
                       static_cast<uint8_t>(interlace)});
    return b;
}

Bytes Zlib(const Bytes& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level);
    out.resize(size);
    return out;
}

Bytes Signature() { return {137, 80, 78, 71, 13, 10, 26, 10}; }

Bytes WriteLibpng(uint32_t w, uint32_t h, int depth, int colorType, bool interlaced, const std::vector<Bytes>& rows,
                  const Bytes& palette, const Bytes& trns, int level) {
    std::vector<Bytes> copy = rows;
    std::vector<png_bytep> ptrs;
    for (auto& r : copy) ptrs.push_back(r.data());
    Bytes out;
    if (!LibpngEncode(w, h, depth, colorType, interlaced, ptrs, palette, trns, level, out)) return {};
    return out;
}

}  // namespace pngread
