#include "BmpFile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "Graphics.h"

// Reader policy, for files the format leaves open:
// - A palette index past the end of a short palette is refused (EInvalidGraphic): such a
//   file is damaged, and guessing a colour would silently change the picture.
// - RLE pixels that a delta, an early end of line or an early end of bitmap skip are index 0.
// - Narrow bitfield channels are widened by bit replication (5 bits 0x1F -> 0xFF).
// - bfSize and biSizeImage of uncompressed files are ignored: many writers get them wrong,
//   and the pixel data's real extent is known from the other fields and the file size.

namespace {

constexpr uint32_t kBI_RGB = 0, kBI_RLE8 = 1, kBI_RLE4 = 2, kBI_BITFIELDS = 3, kBI_JPEG = 4, kBI_PNG = 5;

// Most refusals are of damaged files; the others say what kind of file they meet.
[[noreturn]] void Fail(const std::string& what, TFailureKind kind = TFailureKind::Damaged) {
    throw EInvalidGraphic("Invalid bitmap file: " + what, kind);
}

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

// Reads exactly count bytes or raises the reader's own error (a short file is a bad file).
void ReadExact(TStream& s, void* buf, int64_t count) {
    auto* p = static_cast<uint8_t*>(buf);
    while (count > 0) {
        const int64_t n = s.Read(p, count);
        if (n <= 0) Fail("the file is truncated");
        p += n;
        count -= n;
    }
}

// One colour channel described by a bitfield mask.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
    uint8_t Get(uint32_t v) const { return WidenChannel((v & mask) >> shift, bits); }
};

Channel MakeChannel(uint32_t mask, int bpp) {
    Channel c;
    if (mask == 0) return c;
    if (bpp < 32 && (mask >> bpp) != 0) Fail("a bitfield mask lies outside the pixel");
    c.mask = mask;
    c.shift = std::countr_zero(mask);
    const uint32_t x = mask >> c.shift;
    if ((x & (x + 1)) != 0) Fail("a bitfield mask is not contiguous");
    c.bits = std::popcount(x);
    return c;
}

struct Header {
    uint32_t offBits = 0;
    uint32_t headerSize = 0;
    int64_t width = 0;
    int64_t height = 0;  // positive: bottom-up
    bool topDown = false;
    int bpp = 0;
    uint32_t compression = kBI_RGB;
    uint32_t clrUsed = 0;
    uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
    bool hasMasks = false;
    bool core = false;  // palette entries are 3 bytes
};

TPalette ReadPalette(const uint8_t* p, int count, int entrySize) {
    std::vector<TPaletteEntry> e(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i, p += entrySize) e[static_cast<size_t>(i)] = {p[2], p[1], p[0], 0};
    return TPalette(std::move(e));
}

// Refuses indexes past a short palette; the full-palette case needs no scan.
void CheckIndexes(const TBitmap& bmp) {
    const int bits = bmp.BitsPerPixel();
    const int count = bmp.Palette().Count();
    if (count >= (1 << bits)) return;
    for (int y = 0; y < bmp.Height(); ++y) {
        const auto maxIndex = static_cast<int>(MaxPackedIndex(bmp.ScanLine(y), bmp.Width(), bits));
        if (maxIndex >= count)
            Fail("pixel index " + std::to_string(maxIndex) + " lies past the " + std::to_string(count) +
                 "-entry palette");
    }
}

// Decodes BI_RLE8 / BI_RLE4 data into the bitmap's rows (first file row = bottom row).
void DecodeRle(const uint8_t* src, size_t size, TBitmap& bmp, bool four) {
    const int w = bmp.Width(), h = bmp.Height();
    const size_t stride = static_cast<size_t>(bmp.RowStride());
    uint8_t* bits = bmp.Bits();
    auto put = [&](int x, int y, int v) {
        SetPackedIndex(bits + static_cast<size_t>(y) * stride, x, four ? 4 : 8, static_cast<unsigned>(v));
    };
    auto runFits = [&](int x, int y, int n) {
        if (y >= h || x + n > w) Fail("compressed pixels run past the picture");
    };
    size_t i = 0;
    int x = 0, y = 0;
    for (;;) {
        if (i + 2 > size) Fail("the compressed pixel data ends without an end-of-bitmap code");
        const int n = src[i], v = src[i + 1];
        i += 2;
        if (n > 0) {  // a run of n pixels
            runFits(x, y, n);
            const auto pair = static_cast<uint8_t>(v);  // 4-bit runs alternate the byte's two pixels
            for (int k = 0; k < n; ++k) put(x + k, y, four ? static_cast<int>(PackedIndex(&pair, k & 1, 4)) : v);
            x += n;
        } else if (v == 0) {  // end of line
            x = 0;
            ++y;
        } else if (v == 1) {  // end of bitmap
            return;
        } else if (v == 2) {  // delta
            if (i + 2 > size) Fail("the compressed pixel data is truncated");
            x += src[i];
            y += src[i + 1];
            i += 2;
            if (x > w || y > h) Fail("a compressed delta moves past the picture");
        } else {  // v literal pixels, padded to a 16-bit boundary
            const size_t bytes = four ? (static_cast<size_t>(v) + 1) / 2 : static_cast<size_t>(v);
            if (i + bytes > size) Fail("the compressed pixel data is truncated");
            runFits(x, y, v);
            for (int k = 0; k < v; ++k) put(x + k, y, static_cast<int>(PackedIndex(src + i, k, four ? 4 : 8)));
            x += v;
            i += (bytes + 1) & ~size_t{1};
        }
    }
}

Header ReadHeader(TStream& stream, int64_t start, int64_t available) {
    uint8_t fh[14];
    if (available < 18) Fail("the file is too short");
    ReadExact(stream, fh, 14);
    if (fh[0] != 'B' || fh[1] != 'M') Fail("it does not start with \"BM\"", TFailureKind::Unsupported);
    Header h;
    h.offBits = U32(fh + 10);
    uint8_t hs[4];
    ReadExact(stream, hs, 4);
    h.headerSize = U32(hs);
    const uint32_t size = h.headerSize;
    // 12: OS/2 1.x core header; 16..64: OS/2 2.x (which may stop early); 40: Windows; 52/56:
    // Windows with masks; 108: V4; 124: V5.
    const bool known = size == 12 || (size >= 16 && size <= 64 && size % 4 == 0) || size == 108 || size == 124;
    if (!known) Fail("unknown header size " + std::to_string(size), TFailureKind::Unsupported);
    if (available < 14 + static_cast<int64_t>(size)) Fail("the file is truncated in its header");
    std::array<uint8_t, 124> b{};
    std::memcpy(b.data(), hs, 4);
    ReadExact(stream, b.data() + 4, size - 4);
    int planes;
    if (size == 12) {
        h.core = true;
        // Unsigned in this header: a core bitmap is always stored bottom-up.
        h.width = U16(&b[4]);
        h.height = U16(&b[6]);
        planes = U16(&b[8]);
        h.bpp = U16(&b[10]);
    } else {
        h.width = static_cast<int32_t>(U32(&b[4]));
        h.height = static_cast<int32_t>(U32(&b[8]));
        planes = U16(&b[12]);
        h.bpp = U16(&b[14]);
        h.compression = size >= 20 ? U32(&b[16]) : kBI_RGB;
        h.clrUsed = size >= 36 ? U32(&b[32]) : 0;
        const bool os2v2 = size == 16 || size == 64 || (size > 40 && size < 52) || (size > 56 && size < 108);
        if (os2v2 && h.compression >= 3)
            Fail("OS/2 Huffman or RLE24 compression is not supported", TFailureKind::Unsupported);
        if (size >= 52) {
            h.masks[0] = U32(&b[40]);
            h.masks[1] = U32(&b[44]);
            h.masks[2] = U32(&b[48]);
            h.hasMasks = true;
        }
        if (size >= 56) h.masks[3] = U32(&b[52]);
    }
    if (planes != 1) Fail("the plane count is " + std::to_string(planes) + ", not 1");
    // Checked before the bit count, which such files leave at 0.
    if (h.compression == kBI_JPEG || h.compression == kBI_PNG)
        Fail(std::string("a bitmap compressed with ") + (h.compression == kBI_JPEG ? "JPEG" : "PNG") +
                 " is not supported",
             TFailureKind::Unsupported);
    if (h.width <= 0) Fail("the width is " + std::to_string(h.width));
    if (h.height == 0) Fail("the height is 0");
    if (h.height < 0) {
        h.height = -h.height;
        h.topDown = true;
    }
    if (h.width > TBitmap::kMaxDimension || h.height > TBitmap::kMaxDimension ||
        h.width * h.height > TBitmap::kMaxPixels)
        Fail("the picture is too large (" + std::to_string(h.width) + " x " + std::to_string(h.height) + ")",
             TFailureKind::TooLarge);
    switch (h.bpp) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: Fail("unsupported bit count " + std::to_string(h.bpp), TFailureKind::Unsupported);
    }
    switch (h.compression) {
    case kBI_RGB: break;
    case kBI_RLE8:
        if (h.bpp != 8) Fail("RLE8 compression needs 8 bits per pixel");
        break;
    case kBI_RLE4:
        if (h.bpp != 4) Fail("RLE4 compression needs 4 bits per pixel");
        break;
    case kBI_BITFIELDS:
        if (h.bpp != 16 && h.bpp != 32) Fail("bitfields need 16 or 32 bits per pixel");
        if (size == 40) {  // the three masks follow the header
            uint8_t m[12];
            if (available < 14 + 40 + 12) Fail("the file is truncated in its colour masks");
            ReadExact(stream, m, 12);
            h.masks[0] = U32(m);
            h.masks[1] = U32(m + 4);
            h.masks[2] = U32(m + 8);
            h.hasMasks = true;
        }
        if (!h.hasMasks) Fail("bitfields without colour masks");
        break;
    default: Fail("unsupported compression " + std::to_string(h.compression), TFailureKind::Unsupported);
    }
    if ((h.compression == kBI_RLE4 || h.compression == kBI_RLE8) && h.topDown)
        Fail("compressed bitmaps cannot be top-down");
    if (h.offBits >= available) Fail("the pixel data offset lies past the end of the file");
    if (h.offBits < stream.Position() - start) Fail("the pixel data offset points into the header");
    return h;
}

enum class Layout { Direct, Rle, Convert };

struct Plan {
    TPixelFormat format = pf24bit;
    Layout layout = Layout::Direct;
    Channel ch[4];  // Convert: red, green, blue, alpha
};

Plan MakePlan(const Header& h) {
    Plan p;
    if (h.compression == kBI_RLE8 || h.compression == kBI_RLE4) {
        p.format = h.bpp == 8 ? pf8bit : pf4bit;
        p.layout = Layout::Rle;
        return p;
    }
    switch (h.bpp) {
    case 1: p.format = pf1bit; return p;
    case 4: p.format = pf4bit; return p;
    case 8: p.format = pf8bit; return p;
    case 24: p.format = pf24bit; return p;
    default: break;
    }
    uint32_t r, g, b, a = 0;
    if (h.compression == kBI_BITFIELDS) {
        r = h.masks[0];
        g = h.masks[1];
        b = h.masks[2];
        a = h.masks[3];
    } else if (h.bpp == 16) {
        r = 0x7C00, g = 0x03E0, b = 0x001F;
    } else {
        r = 0xFF0000, g = 0xFF00, b = 0xFF;
    }
    if (r == 0 || g == 0 || b == 0) Fail("a colour mask is empty");
    for (int i = 0; i < 4; ++i) p.ch[i] = MakeChannel(i == 0 ? r : i == 1 ? g : i == 2 ? b : a, h.bpp);
    if ((r & g) || (r & b) || (g & b) || ((r | g | b) & a)) Fail("bitfield masks overlap");
    if (h.bpp == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x001F) {
        p.format = pf15bit;
    } else if (h.bpp == 16 && r == 0xF800 && g == 0x07E0 && b == 0x001F) {
        p.format = pf16bit;
    } else if (h.bpp == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF) {
        p.format = pf32bit;  // the fourth byte (alpha or unused) is kept as stored
    } else {
        p.layout = Layout::Convert;
        p.format = (h.bpp == 32 || a != 0) ? pf32bit : pf24bit;
    }
    return p;
}

void ConvertRow(const uint8_t* src, uint8_t* dst, int width, int bpp, const Plan& p) {
    const int out = p.format == pf32bit ? 4 : 3;
    for (int x = 0; x < width; ++x, dst += out) {
        const uint32_t v = bpp == 16 ? U16(src + 2 * x) : U32(src + 4 * x);
        dst[0] = p.ch[2].Get(v);
        dst[1] = p.ch[1].Get(v);
        dst[2] = p.ch[0].Get(v);
        if (out == 4) dst[3] = p.ch[3].bits ? p.ch[3].Get(v) : 0;
    }
}

void FlipRows(TBitmap& bmp) {
    const size_t stride = static_cast<size_t>(bmp.RowStride());
    std::vector<uint8_t> tmp(stride);
    for (int top = 0, bottom = bmp.Height() - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = bmp.ScanLine(top);
        uint8_t* b = bmp.ScanLine(bottom);
        std::memcpy(tmp.data(), a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, tmp.data(), stride);
    }
}

void ReadPixels(TStream& stream, const Header& h, const Plan& plan, int64_t available, TBitmap& bmp) {
    const int w = bmp.Width(), height = bmp.Height();
    const int64_t fileStride = RowBytes(h.width, h.bpp);
    const int64_t dataBytes = available - h.offBits;
    if (plan.layout == Layout::Rle) {
        std::vector<uint8_t> data(static_cast<size_t>(dataBytes));
        ReadExact(stream, data.data(), dataBytes);
        DecodeRle(data.data(), data.size(), bmp, h.bpp == 4);
        return;
    }
    if (plan.layout == Layout::Direct) {
        // One read straight into the bitmap's rows; the last row's padding may be missing.
        const int64_t total = fileStride * height;
        const int64_t n = std::min(total, dataBytes);
        ReadExact(stream, bmp.Bits(), n);
        if (h.topDown) FlipRows(bmp);
        return;
    }
    std::vector<uint8_t> row(static_cast<size_t>(fileStride));
    for (int r = 0; r < height; ++r) {
        const int64_t left = dataBytes - r * fileStride;
        ReadExact(stream, row.data(), std::min(fileStride, left));
        ConvertRow(row.data(), bmp.ScanLine(h.topDown ? r : height - 1 - r), w, h.bpp, plan);
    }
}

}  // namespace

namespace {

void Read(TStream& stream, TBitmap& bitmap) {
    const int64_t start = stream.Position();
    const int64_t available = stream.Size() - start;
    Header h = ReadHeader(stream, start, available);
    const Plan plan = MakePlan(h);

    TPalette palette;
    if (h.bpp <= 8) {
        const int maxEntries = 1 << h.bpp;
        const int entrySize = h.core ? 3 : 4;
        const int64_t paletteStart = stream.Position() - start;
        int64_t count;
        if (h.core) {
            // The core header has no colour count: the palette fills the room before the pixels.
            count = std::min<int64_t>(maxEntries, (h.offBits - paletteStart) / entrySize);
        } else {
            if (h.clrUsed > static_cast<uint32_t>(maxEntries))
                Fail("the palette claims " + std::to_string(h.clrUsed) + " colours for " + std::to_string(h.bpp) +
                     " bits per pixel");
            count = h.clrUsed ? h.clrUsed : maxEntries;
        }
        if (count <= 0) Fail("the palette is missing");
        if (paletteStart + count * entrySize > available) Fail("the file is truncated in its palette");
        std::vector<uint8_t> raw(static_cast<size_t>(count * entrySize));
        ReadExact(stream, raw.data(), static_cast<int64_t>(raw.size()));
        palette = ReadPalette(raw.data(), static_cast<int>(count), entrySize);
    }

    const int64_t fileStride = RowBytes(h.width, h.bpp);
    const int64_t dataBytes = available - h.offBits;
    if (plan.layout != Layout::Rle) {
        // Every row must be there; only the last row's padding may be cut off.
        const int64_t needed = fileStride * (h.height - 1) + (h.width * h.bpp + 7) / 8;
        if (dataBytes < needed)
            Fail("the file is truncated: " + std::to_string(needed) + " bytes of pixels expected, " +
                 std::to_string(dataBytes) + " present");
    } else if (dataBytes < 2) {
        Fail("the compressed pixel data is missing");
    } else if (h.width * h.height > std::max<int64_t>(int64_t{1} << 20, dataBytes * 1024)) {
        // Runs, skips and an early end can describe any size in a few bytes; encoders write
        // at least one code per row or per 255 pixels, so this ratio only refuses forgeries.
        Fail("the picture is too large for its compressed data");
    }

    stream.SetPosition(start + h.offBits);
    bitmap.Allocate(plan.format, static_cast<int>(h.width), static_cast<int>(h.height), palette);
    ReadPixels(stream, h, plan, available, bitmap);
    if (h.bpp <= 8) CheckIndexes(bitmap);
}

}  // namespace

void ReadBmp(TStream& stream, TBitmap& bitmap) {
    try {
        Read(stream, bitmap);
    } catch (const EReadError& e) {  // a stream that ends early or fails to read
        bitmap.Clear();
        const TFailureKind kind = e.SysErrno() != 0 ? e.Kind() : TFailureKind::Damaged;  // else it ended early
        throw EInvalidGraphic(std::string("Invalid bitmap file: ") + e.what(), kind, e.SysErrno(), e.Offset());
    } catch (...) {
        bitmap.Clear();
        throw;
    }
}

void WriteBmp(TStream& stream, const TBitmap& bitmap) {
    TPixelFormat format = bitmap.PixelFormat();
    const int bits = bitmap.BitsPerPixel();
    std::vector<TPaletteEntry> palette;
    if (bits <= 8) {
        palette = bitmap.Palette().Entries();
        if (palette.empty()) {  // an indexed bitmap without a palette: a grey ramp keeps it readable
            const int n = 1 << bits;
            for (int i = 0; i < n; ++i) {
                const auto v = static_cast<uint8_t>(i * 255 / (n - 1));
                palette.push_back({v, v, v, 0});
            }
        }
        palette.resize(std::min<size_t>(palette.size(), size_t{1} << bits));
    }
    const bool bitfields = format == pf16bit;
    const uint32_t infoEnd = 14 + 40 + (bitfields ? 12 : 0);
    const uint32_t offBits = infoEnd + static_cast<uint32_t>(palette.size() * 4);
    const uint64_t imageSize = bitmap.BitsSize();
    const uint64_t fileSize = offBits + imageSize;

    std::vector<uint8_t> head(offBits, 0);
    uint8_t* p = head.data();
    p[0] = 'B';
    p[1] = 'M';
    Put32(p + 2, fileSize > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(fileSize));
    Put32(p + 10, offBits);
    p += 14;
    Put32(p, 40);
    Put32(p + 4, static_cast<uint32_t>(bitmap.Width()));
    Put32(p + 8, static_cast<uint32_t>(bitmap.Height()));
    Put16(p + 12, 1);
    Put16(p + 14, static_cast<uint32_t>(bits));
    Put32(p + 16, bitfields ? kBI_BITFIELDS : kBI_RGB);
    Put32(p + 20, imageSize > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(imageSize));
    Put32(p + 24, 3780);  // 96 dpi in pixels per metre
    Put32(p + 28, 3780);
    Put32(p + 32, static_cast<uint32_t>(palette.size()));
    p += 40;
    if (bitfields) {
        Put32(p, 0xF800);
        Put32(p + 4, 0x07E0);
        Put32(p + 8, 0x001F);
        p += 12;
    }
    for (const auto& e : palette) {
        p[0] = e.peBlue;
        p[1] = e.peGreen;
        p[2] = e.peRed;
        p += 4;
    }
    stream.WriteBuffer(head.data(), static_cast<int64_t>(head.size()));
    if (imageSize) stream.WriteBuffer(bitmap.Bits(), static_cast<int64_t>(imageSize));
}
