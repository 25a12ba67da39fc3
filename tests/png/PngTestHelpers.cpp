#include "PngTestHelpers.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include "Classes.h"
#include "KMPNG.h"
#include "KMPNGReadStream.h"
#include "KMPNGStream.h"

namespace pngtest {

std::vector<Chunk> Chunks(const std::vector<uint8_t>& png) {
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<Chunk> out;
    if (png.size() < 8 || std::memcmp(png.data(), sig, 8) != 0) {
        ADD_FAILURE() << "no PNG signature";
        return out;
    }
    size_t pos = 8;
    auto be32 = [&](size_t p) {
        return (uint32_t{png[p]} << 24) | (uint32_t{png[p + 1]} << 16) | (uint32_t{png[p + 2]} << 8) | png[p + 3];
    };
    while (pos < png.size()) {
        if (png.size() - pos < 12) {
            ADD_FAILURE() << "truncated chunk at " << pos;
            break;
        }
        const uint32_t len = be32(pos);
        if (png.size() - pos - 12 < len) {
            ADD_FAILURE() << "chunk overruns the file at " << pos;
            break;
        }
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        c.data.assign(png.begin() + static_cast<long>(pos + 8), png.begin() + static_cast<long>(pos + 8 + len));
        const uLong crc = crc32(0L, &png[pos + 4], 4 + len);
        c.crcOk = crc == be32(pos + 8 + len);
        out.push_back(std::move(c));
        pos += 12 + len;
    }
    return out;
}

std::vector<std::string> ChunkTypes(const std::vector<Chunk>& chunks) {
    std::vector<std::string> t;
    for (const auto& c : chunks)
        if (t.empty() || c.type != "IDAT" || t.back() != "IDAT") t.push_back(c.type);
    return t;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const auto& c : chunks)
        if (c.type == type) return &c;
    return nullptr;
}

std::vector<uint8_t> Encode(TBitmap& bmp, const std::function<void(TKMPNGWriteStream&)>& setup) {
    TMemoryStream out;
    TKMPNGWriteStream writer;
    if (setup) setup(writer);
    writer.WriteGraphic(bmp, out);
    return out.Bytes();
}

uint32_t Decoded::Pixel(int x, int y) const {
    const uint8_t* p = &rgba[(static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 4];
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

namespace {

struct Reader {
    const std::vector<uint8_t>* src;
    bool strict;
    size_t pos = 0;
    std::string error;
};

void ReadFn(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<Reader*>(png_get_io_ptr(png));
    if (r->src->size() - r->pos < n) png_error(png, "read past the end");
    std::memcpy(out, r->src->data() + r->pos, n);
    r->pos += n;
}

void ErrorFn(png_structp png, png_const_charp msg) {
    static_cast<Reader*>(png_get_error_ptr(png))->error = std::string("error: ") + msg;
    png_longjmp(png, 1);
}

void WarningFn(png_structp png, png_const_charp msg) {
    auto* r = static_cast<Reader*>(png_get_error_ptr(png));
    if (r->strict && r->error.empty()) r->error = std::string("warning: ") + msg;
}

}  // namespace

Decoded DecodeWithLibpng(const std::vector<uint8_t>& bytes, bool strict) {
    Decoded d;
    Reader reader{&bytes, strict, 0, {}};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, ErrorFn, WarningFn);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        d.ok = false;
        d.error = reader.error;
        return d;
    }
    png_set_read_fn(png, &reader, ReadFn);
    // Our CRCs are checked separately; here any CRC fault must be an error.
    if (strict) png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_read_info(png, info);
    d.width = png_get_image_width(png, info);
    d.height = png_get_image_height(png, info);
    d.bitDepth = png_get_bit_depth(png, info);
    d.colorType = png_get_color_type(png, info);
    d.interlace = png_get_interlace_type(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    d.rgba.assign(static_cast<size_t>(d.width) * d.height * 4, 0);
    for (uint32_t y = 0; y < d.height; ++y) rows.push_back(&d.rgba[static_cast<size_t>(y) * d.width * 4]);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    d.error = reader.error;
    d.ok = reader.error.empty();
    return d;
}

int IndexAt(const TBitmap& bmp, int x, int y) {
    const uint8_t* row = bmp.ScanLine(y);
    switch (bmp.PixelFormat()) {
    case pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case pf4bit: return (x & 1) ? row[x >> 1] & 15 : row[x >> 1] >> 4;
    case pf8bit: return row[x];
    default: return -1;
    }
}

void SetIndex(TBitmap& bmp, int x, int y, int index) {
    uint8_t* row = bmp.ScanLine(y);
    switch (bmp.PixelFormat()) {
    case pf1bit: {
        const auto mask = static_cast<uint8_t>(0x80 >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>(index ? row[x >> 3] | mask : row[x >> 3] & ~mask);
        break;
    }
    case pf4bit:
        row[x >> 1] =
            static_cast<uint8_t>((x & 1) ? (row[x >> 1] & 0xF0) | index : (row[x >> 1] & 0x0F) | (index << 4));
        break;
    default: row[x] = static_cast<uint8_t>(index);
    }
}

void RandomBitmap(TBitmap& bmp, TPixelFormat format, int width, int height, std::mt19937& rng, int paletteSize) {
    const int bits = format == pf1bit ? 1 : format == pf4bit ? 4 : format == pf8bit ? 8 : 0;
    TPalette palette;
    int entries = 0;
    if (bits) {
        entries = paletteSize < 0 ? (1 << bits) : paletteSize;
        std::vector<TPaletteEntry> e;
        for (int i = 0; i < entries; ++i)
            e.push_back({static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), 0});
        palette = TPalette(std::move(e));
    }
    bmp.Allocate(format, width, height, palette);
    for (size_t i = 0; i < bmp.BitsSize(); ++i) bmp.Bits()[i] = static_cast<uint8_t>(rng());
    if (bits && entries > 0 && entries < (1 << bits))  // keep every index inside the palette
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                SetIndex(bmp, x, y, static_cast<int>(rng() % static_cast<unsigned>(entries)));
}

void RandomMask(TBitmap& mask, int width, int height, std::mt19937& rng) {
    mask.Allocate(pf8bit, width, height);
    for (size_t i = 0; i < mask.BitsSize(); ++i) mask.Bits()[i] = static_cast<uint8_t>(rng());
}

}  // namespace pngtest

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

bool LibpngEncode(uint32_t w, uint32_t h, int depth, int colorType, bool interlaced, std::vector<png_bytep>& rowPtrs,
                  const Bytes& palette, const Bytes& trns, int level, Bytes& out) {
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
    b.insert(b.end(),
             {static_cast<uint8_t>(depth), static_cast<uint8_t>(colorType), 0, 0, static_cast<uint8_t>(interlace)});
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
