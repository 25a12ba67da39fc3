// The PNG decoder: walks the chunks, reads the ancillary values, inflates and unfilters the
// image data and converts every row (interlaced or not) into a 1-, 4-, 8- or 24-bit bitmap,
// with alpha, when the file has it, as a separate 8-bit mask of 255 - alpha.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "KMInflate.h"
#include "KMReadStream.h"

struct TKMPNGTime;

class TKMPNGReadStream : public TKMCustomGraphicReadStream {
public:
    // Width and height beyond these are refused before anything is allocated.
    static constexpr int64_t kMaxDimension = TBitmap::kMaxDimension;
    static constexpr int64_t kMaxPixels = TBitmap::kMaxPixels;

    TKMPNGReadStream();
    ~TKMPNGReadStream() override;

    // Inputs, set before Read. The records are zeroed at the start of a read and filled from
    // tIME, cHRM and gIFg; any may be null.
    TBitmap* AlphaTarget = nullptr;
    TKMPNGTime* TimeRecord = nullptr;
    std::array<uint32_t, 8>* Chromaticities = nullptr;
    std::array<uint8_t, 4>* GIFControl = nullptr;

    // Results of the last Read.
    bool HasAlpha() const { return hasAlpha_; }
    bool Greyscale() const { return greyscale_; }
    int InterlaceMethod() const { return interlaceMethod_; }
    TColor BackgroundColor() const { return backgroundColor_; }
    TColor TransparentColor() const { return transparentColor_; }
    double Gamma() const { return gamma_; }
    int32_t SignificantBits() const { return static_cast<int32_t>(significantBits_); }
    // The alpha target once it was prepared for this image, else null.
    TBitmap* AlphaOutput() const { return alphaOutput_; }

protected:
    void Decode() override;
    void CreateBitmap() override;

private:
    enum : uint8_t { kHeaderRead = 1, kImageDone = 2, kEndRead = 4, kPaletteRead = 8, kPrivateRead = 16 };

    // An ancillary chunk's data, read from memory once its CRC has been checked.
    struct ChunkData;

    void WalkChunks();
    // Reads the stored CRC of the current chunk and compares it with the bytes consumed since
    // the chunk's type; a mismatch fails the load.
    void CheckCriticalCrc();
    void ReadAncillary();
    void ReadHeader();
    void ReadPalette();
    void ReadImageData();
    void ReadBackground(ChunkData& data);
    void ReadTransparency(ChunkData& data);
    void ReadText(const std::string& data);
    // A grey or RGB sample value as bKGD and tRNS store it.
    TColor ReadColorValue(ChunkData& data);
    // The bytes bKGD and tRNS hold for a colour of this image's type.
    int ColorValueBytes() const;
    int RefillInput();
    // Every pixel of a palette image must name an entry of its PLTE.
    void CheckPaletteIndexes() const;
    // Picks output bits, file bits per pixel and the row conversion; raises for bad depths.
    void PrepareImage();
    // Bytes of the whole filtered image data, filter bytes included.
    int64_t FilteredImageBytes() const;
    void DecodeRows();
    void ConvertRow(const uint8_t* src, int pixels, uint8_t* dest, uint8_t* alpha) const;
    void PlaceRow(const uint8_t* converted, uint8_t* row, int pixels) const;
    void BuildPaletteAlpha();

    InflateAdapter inflate_;
    std::unique_ptr<uint8_t[]> rowBlock_;
    uint8_t* convertedRow_ = nullptr;
    uint8_t* alphaRow_ = nullptr;
    int64_t chunkRemaining_ = 0;
    uint32_t chunkType_ = 0;
    uint8_t chunkFlags_ = 0;
    bool sawImageData_ = false;
    int lastPass_ = 0;
    uint32_t passWidth_ = 0;
    int32_t outputRowBytes_ = 0;
    uint32_t startColumn_ = 0, columnStep_ = 1;
    uint32_t alphaStartColumn_ = 0, alphaColumnStep_ = 1;
    bool hasAlpha_ = false;
    bool greyscale_ = false;
    bool paletteAlpha_ = false;
    int interlaceMethod_ = 0;
    int baseColorType_ = -1;
    int bitDepth_ = 0;         // as IHDR states it, per sample
    int fileBits_ = 0;         // of a whole pixel in the file
    bool colorAlpha_ = false;  // the colour type carries an alpha channel
    TBitmap* alphaOutput_ = nullptr;
    bool bitmapCreated_ = false;  // the target was prepared by this read
    double gamma_ = 0;
    uint32_t significantBits_ = 0;
    TColor backgroundColor_ = -1;
    TColor transparentColor_ = -1;
    uint8_t alphaTable_[256];
    enum class Conversion { Copy, Grey2, Grey16, GreyAlpha8, GreyAlpha16, Rgb8, Rgb16, Rgba8, Rgba16 };
    Conversion conversion_ = Conversion::Copy;
};
