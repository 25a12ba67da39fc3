// Test pictures written with the formats' own libraries (libjpeg, libtiff, libwebp, libheif),
// so that our decoders are judged on files they did not make.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace photowriters {

// Straight RGBA, top row first.
struct Rgba {
    int width = 0, height = 0;
    std::vector<uint8_t> px;
    const uint8_t* At(int x, int y) const { return &px[(size_t(y) * width + x) * 4]; }
};

// A picture with gradients, hard edges and (when asked) varying alpha.
Rgba TestPicture(int width, int height, bool alpha, int seed = 0);

// An EXIF block (TIFF structure, little- or big-endian) holding IFD0 with the orientation and
// an ASCII Make field.
std::string ExifBlock(int orientation, bool bigEndian = false);

struct JpegOptions {
    int quality = 95;
    bool cmyk = false;                 // Adobe-inverted CMYK from the RGB (no black ink)
    bool grey = false;                 // one component: the RGB's luminance
    int lumaH = 2, lumaV = 2;          // luma sampling: 1 × 1 is 4:4:4, 2 × 1 4:2:2, 2 × 2 4:2:0
    bool progressive = false;          // libjpeg's simple progression
    bool manyScans = false;            // a valid progression of 569 scans (overrides progressive)
    std::string exif, xmp, icc, iptc;  // written as APP1, APP1, APP2 chunks, APP13
    size_t iccChunk = 65519;           // bytes of profile per APP2 marker
};
std::string WriteJpeg(const Rgba& img, const JpegOptions& o);

struct PngOptions {
    bool alpha = false, bits16 = false;
    std::string exif, xmp, icc;  // eXIf, iTXt "XML:com.adobe.xmp" (compressed when xmpCompressed), iCCP
    bool xmpCompressed = false;
};
std::string WritePng(const Rgba& img, const PngOptions& o);

struct TiffOptions {
    int bits = 8;  // 8 or 16 per sample
    bool alpha = false, cmyk = false, tiled = false;
    int pages = 1;        // later pages are a different picture
    int orientation = 0;  // 0: no field
    std::string xmp, iptc, icc;
};
std::string WriteTiff(const Rgba& img, const TiffOptions& o);

struct WebpOptions {
    bool lossless = true, alpha = false;
    std::string exif, xmp, icc;
};
std::string WriteWebp(const Rgba& img, const WebpOptions& o);
// Two frames: img first, then its colours inverted.
std::string WriteAnimatedWebp(const Rgba& img);

// True when this libheif can encode HEVC.
bool CanWriteHeif();
struct HeifOptions {
    bool alpha = false;
    int orientation = 1;  // stored as irot/imir by libheif
    std::string exif, xmp, icc;
};
std::string WriteHeif(const Rgba& img, const HeifOptions& o);

}  // namespace photowriters
