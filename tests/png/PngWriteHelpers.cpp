#include "PngWriteHelpers.h"

#include <csetjmp>
#include <cstring>

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

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
        row[x >> 1] = static_cast<uint8_t>((x & 1) ? (row[x >> 1] & 0xF0) | index : (row[x >> 1] & 0x0F) | (index << 4));
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
            for (int x = 0; x < width; ++x) SetIndex(bmp, x, y, static_cast<int>(rng() % static_cast<unsigned>(entries)));
}

void RandomMask(TBitmap& mask, int width, int height, std::mt19937& rng) {
    mask.Allocate(pf8bit, width, height);
    for (size_t i = 0; i < mask.BitsSize(); ++i) mask.Bits()[i] = static_cast<uint8_t>(rng());
}

}  // namespace pngtest
