// The PNG encoder: chooses the colour type from the bitmap's pixel format and the settings,
// writes the chunks in a fixed order and streams the packed rows through the deflate adapter,
// whose full blocks become IDAT chunks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "KMPNG.h"
#include "KMStream.h"
#include "KMZLIB.h"

constexpr uint32_t ChunkType(const char (&name)[5]) {
    return (uint32_t{static_cast<uint8_t>(name[0])} << 24) | (uint32_t{static_cast<uint8_t>(name[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(name[2])} << 8) | uint32_t{static_cast<uint8_t>(name[3])};
}

// Store a value most significant byte first.
inline void PutDWordBE(uint8_t* dest, uint32_t value) {
    dest[0] = static_cast<uint8_t>(value >> 24);
    dest[1] = static_cast<uint8_t>(value >> 16);
    dest[2] = static_cast<uint8_t>(value >> 8);
    dest[3] = static_cast<uint8_t>(value);
}
inline void PutWordBE(uint8_t* dest, uint16_t value) {
    dest[0] = static_cast<uint8_t>(value >> 8);
    dest[1] = static_cast<uint8_t>(value);
}

class TKMPNGWriteStream : public TKMCustomGraphicWriteStream {
public:
    static constexpr int32_t kMinIDATSize = 256;
    static constexpr int32_t kMaxIDATSize = 100000;

    TKMPNGWriteStream();
    ~TKMPNGWriteStream() override;

    // Settings, copied in before WriteGraphic.
    int32_t CompressionLevel = -1;  // 0..9, anything else: zlib's default
    int32_t Filter = 1;             // deflate adapter filter mode
    int32_t Interlaced = 0;         // 0 none, otherwise Adam7
    bool Grayscale = false;
    TColor BackgroundColor = -1;  // -1 none, RGB, or 0x1000000 | palette index
    TColor TransparentColor = -1;
    std::string Comment;
    double Gamma = 0;
    uint8_t PhysUnit = 0;
    int32_t PhysX = 0, PhysY = 0;
    int32_t SignificantBits = 0;
    bool UseCurrentTime = true;
    // Levels 1 to 9 without interlacing deflate bands of rows on up to this many threads (the
    // pixels are the same, the stream a little longer); 1 writes the one-thread stream.
    int32_t Threads = 1;
    // Read during the save; none means no chunk (or, for the time, no tIME unless current).
    const TKMPNGTime* ModificationTime = nullptr;
    const std::array<uint32_t, 8>* Chromaticities = nullptr;
    const std::array<uint8_t, 4>* GIFControl = nullptr;
    const TBitmap* AlphaBitmap = nullptr;

    int32_t IDATSize() const { return idatSize_; }
    // Raises EKMPNG outside 256..100000 and keeps the old value.
    void SetIDATSize(int32_t value);

    void WriteChunk(uint32_t type, const void* data, int32_t length);
    // A tEXt chunk; none for an empty text or a keyword of 80 or more characters.
    void WriteText(const std::string& keyword, const std::string& text);

protected:
    void Encode() override;

private:
    struct Pass {
        int firstRow, rowStep, firstColumn, columnStep, width, rows;
    };

    void WriteHeader(int width, int height);
    void WriteTime();
    void WriteColorChunk(uint32_t type, TColor color);
    void WritePhysics();
    void WriteImageData(int width, int height);
    void BuildGreyMap();
    void PackRow(const uint8_t* src, const uint8_t* alpha, uint8_t* out, const Pass& pass, bool whole) const;
    // The rows deflated in bands side by side; false when they make only one band.
    bool DeflateBands(int width, int height, int32_t level, size_t rowBuffer);

    int32_t idatSize_ = 32768;
    DeflateAdapter deflate_;

    // Per Encode.
    const TBitmap* alphaSource_ = nullptr;
    bool hasAlpha_ = false;
    bool greyMode_ = false;
    int sourceDepth_ = 24;
    int effectiveDepth_ = 24;
    int outputBits_ = 24;
    int plteCount_ = 0;  // entries of the PLTE written, 0 when none
    uint8_t greyMap_[256] = {};
    std::vector<uint32_t> wordRgb_;  // 15/16-bit colour rows: stored word to R, G, B (and a spare byte)
};
