// PNG photos through our own reader, plus the metadata chunks it does not look at (eXIf, the
// XMP iTXt chunk, iCCP), found by a small chunk walk over the same bytes.
#include <cstring>
#include <vector>

#include <zlib.h>

#include "KMPNG.h"
#include "Orientation.h"
#include "PhotoDecode.h"
#include "PhotoSupport.h"

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Inflates a zlib stream; a stream that is broken or would exceed the cap gives nothing.
std::string Inflate(const uint8_t* data, size_t size, size_t cap) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return {};
    std::string out;
    uint8_t buffer[16384];
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
        if (out.size() > cap || (rc == Z_OK && z.avail_out == sizeof buffer && z.avail_in == 0)) rc = Z_DATA_ERROR;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

constexpr size_t kMaxProfile = 16 << 20;
constexpr size_t kMaxXmp = 16 << 20;

// Walks the chunks for the metadata and checks the header's size before the reader allocates.
void ScanChunks(const uint8_t* data, size_t size, PhotoMetadata& meta) {
    size_t p = 8;
    bool header = false;
    while (p + 8 <= size) {
        const uint32_t length = BigEndian32(data + p);
        const char* type = reinterpret_cast<const char*>(data + p + 4);
        const uint8_t* body = data + p + 8;
        if (length > size - p - 8) break;  // cut short: the reader decides what that means
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 8 && !header) {
            header = true;
            CheckPhotoSize("PNG", BigEndian32(body), BigEndian32(body + 4));
        } else if (std::memcmp(type, "eXIf", 4) == 0 && meta.exif.empty()) {
            meta.exif.assign(reinterpret_cast<const char*>(body), length);
        } else if (std::memcmp(type, "iCCP", 4) == 0 && meta.icc.empty()) {
            const auto* nul = static_cast<const uint8_t*>(std::memchr(body, 0, std::min<size_t>(length, 80)));
            if (nul && nul + 2 <= body + length && nul[1] == 0)
                meta.icc = Inflate(nul + 2, static_cast<size_t>(body + length - nul - 2), kMaxProfile);
        } else if (std::memcmp(type, "iTXt", 4) == 0 && meta.xmp.empty() && length > 22 &&
                   std::memcmp(body, "XML:com.adobe.xmp\0", 18) == 0) {
            // keyword, compression flag and method, language tag, translated keyword, text
            const uint8_t* end = body + length;
            const uint8_t* q = body + 18;
            const bool compressed = q[0] == 1;
            q += 2;
            for (int field = 0; field < 2 && q; ++field) {
                q = static_cast<const uint8_t*>(std::memchr(q, 0, static_cast<size_t>(end - q)));
                if (q) ++q;
            }
            if (q) {
                const size_t n = static_cast<size_t>(end - q);
                meta.xmp = compressed ? Inflate(q, n, kMaxXmp) : std::string(reinterpret_cast<const char*>(q), n);
            }
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        p += size_t{length} + 12;
    }
}

// The reader's picture (indexed or 24-bit, with a separate 255 - alpha mask or a transparent
// colour) as a 24-bit bitmap, or a 32-bit one with straight alpha.
void ToPhotoBitmap(TKMPNG& png, TBitmap& out) {
    TBitmap& src = png.Bitmap;
    const int w = src.Width(), h = src.Height();
    const bool mask = png.HasAlpha && png.AlphaBitmap.Width() == w && png.AlphaBitmap.Height() == h;
    const bool keyed = !mask && src.Transparent() && src.TransparentColor() != clNone;
    if (!mask && !keyed) {
        out.Assign(src);
        out.SetTransparent(false);
        if (out.PixelFormat() != pf24bit) out.SetPixelFormat(pf24bit);
        return;
    }
    const TColor key = src.TransparentColor();
    const bool keyIsIndex = keyed && (key & 0x1000000) != 0;
    out.Allocate(pf32bit, w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = out.ScanLine(y);
        const uint8_t* a = mask ? png.AlphaBitmap.ScanLine(y) : nullptr;
        const uint8_t* s = src.ScanLine(y);
        for (int x = 0; x < w; ++x, row += 4) {
            const TColor c = src.GetPixel(x, y);
            row[0] = GetBValue(c), row[1] = GetGValue(c), row[2] = GetRValue(c);
            if (mask) {
                row[3] = static_cast<uint8_t>(255 - a[x]);
            } else if (keyIsIndex) {
                int index = 0;
                switch (src.PixelFormat()) {
                case pf1bit: index = (s[x >> 3] >> (7 - (x & 7))) & 1; break;
                case pf4bit: index = (x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4; break;
                case pf8bit: index = s[x]; break;
                default: index = -1; break;
                }
                row[3] = index == (key & 0xFF) ? 0 : 255;
            } else {
                row[3] = c == key ? 0 : 255;
            }
        }
    }
}

}  // namespace

void DecodePngPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    PhotoMetadata meta;
    ScanChunks(data, size, meta);
    TKMPNG png;
    TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    try {
        png.LoadFromStream(stream);
    } catch (const EKMPNG& e) {  // colour types and depths outside the standard included
        PhotoFail("PNG", e.Message());
    } catch (const EReadError& e) {
        PhotoFail("PNG", e.Message());
    }
    if (png.Bitmap.Empty()) PhotoFail("PNG", "the file holds no image data");
    ToPhotoBitmap(png, bitmap);
    meta.orientation = ExifOrientation(meta.exif);
    metadata = std::move(meta);
}
