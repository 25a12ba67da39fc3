// The PNG image as a graphic: a bitmap plus an optional 8-bit alpha mask and the ancillary
// values a PNG file carries. Saving goes through TKMPNGWriteStream, loading through
// TKMPNGReadStream; the object itself holds no codec logic.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Graphics.h"
#include "SysUtils.h"

// The one exception class of the PNG codec; it carries only its message text.
class EKMPNG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

// The tIME layout: year in host order, then one byte each.
struct TKMPNGTime {
    uint16_t Year = 0;
    uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};

// The current time in UTC.
TKMPNGTime KMPNGCurrentTime();

class TKMPNG : public TGraphic {
public:
    TKMPNG();
    ~TKMPNG() override;

    // Settings for writing, and values found by the last load. A load (KMPNGLoad.cpp) fills
    // Bitmap, AlphaBitmap, HasAlpha, BitDepth, Interlaced, Grayscale and the ancillary values.
    int32_t IDATSize = 32768;                  // payload of every IDAT chunk but the last; 256..100000 on save
    int32_t CompressionLevel = -1;             // zlib level 0..9; anything else means zlib's default
    uint8_t Filter = 1;                        // 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average, 5 Paeth
    bool Interlaced = false;                   // write Adam7; after a load: the file was interlaced
    bool Grayscale = false;                    // write grey; after a load: colour type 0 or 4
    TBitmap Bitmap;                            // the image (constructed before AlphaBitmap)
    TBitmap AlphaBitmap;                       // pf8bit mask of 255 - alpha (0 = opaque)
    bool HasAlpha = false;                     // AlphaBitmap is written on save / was filled by the load
    int32_t BitDepth = 0;                      // source bits per pixel reported by the last load
    TColor BackgroundColor = -1;               // bKGD: -1 none, RGB, or 0x1000000 | palette index
    TColor TransparentColor = -1;              // tRNS, same encoding
    std::string Comment;                       // "Comment" text chunk (code page 932 bytes)
    double Gamma = 0.45455;                    // gAMA value / 100000
    int32_t SignificantBits = 0;               // sBIT bytes, low byte first: red/grey, green, blue, alpha
    uint8_t PhysUnit = 0;                      // 0 aspect only, 1 metre, 2 inch (written as metre)
    int32_t PhysX = 0, PhysY = 0;              // pixels per unit
    bool UseCurrentTime = true;                // tIME from the clock at save time instead of ModificationTime
    TKMPNGTime ModificationTime;               // UTC time of construction, or the file's tIME after a load
    std::array<uint32_t, 8> Chromaticities{};  // cHRM: white x,y, red x,y, green x,y, blue x,y
    std::array<uint8_t, 4> GIFControl{};       // gIFg: disposal, user input, delay (big-endian)

    bool Empty() const override { return Bitmap.Empty(); }
    int Width() const override { return Bitmap.Width(); }
    int Height() const override { return Bitmap.Height(); }
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    const TPalette& Palette() const { return Bitmap.Palette(); }
    void SetPalette(const TPalette& value);
    void SetTransparent(bool value) override;

    // From another TKMPNG: pixels, mask and settings; from any other graphic: the pixels only.
    void Assign(const TGraphic& source) override;
    // Any graphic destination receives Bitmap.
    void AssignTo(TGraphic& dest) const override;

    void SaveToStream(TStream& stream) override;
    void LoadFromStream(TStream& stream) override;  // defined in KMPNGLoad.cpp
    // The graphic's binary data: as SaveToStream with the writer's defaults for compression,
    // filter, IDAT size, interlacing and time stamp; nothing at all for an empty image.
    void WriteData(TStream& stream);
    void ReadData(TStream& stream);  // defined in KMPNGLoad.cpp

    // After Bitmap was replaced (load, Assign): palette-modified, transparency in step, Changed.
    void UpdateFromBitmap();

    const char* ClassName() const override { return "TKMPNG"; }

private:
    bool TransparencySyncGuard = false;
};

// Writes the bitmap exactly as a new TKMPNG assigned it, with the given compression level,
// would save it, without copying the picture first. Progress goes to the bitmap's OnProgress.
// threads above 1 deflate levels 1 to 9 in bands side by side (TKMPNGWriteStream::Threads).
// alphaMask, when given, is written as the alpha channel (a pf8bit mask of 255 - alpha, as
// TKMPNG::AlphaBitmap holds it).
void SaveBitmapAsPng(TBitmap& bitmap, int32_t compressionLevel, TStream& stream, int threads = 1,
                     const TBitmap* alphaMask = nullptr);
