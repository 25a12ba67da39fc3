// Device-independent bitmaps in the classic formats (1/4/8-bit indexed, 15/16/24/32-bit
// direct), their palettes, and the abstract graphic every picture format derives from.
// Rows are stored bottom-up, each padded to a multiple of 4 bytes, exactly as in a BMP file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "PixelFormat.h"
#include "ZeroedBlock.h"

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clNone = 0x1FFFFFFF;

// A palette of at most 256 entries. Reading past the last entry yields fewer entries.
class TPalette {
public:
    TPalette() = default;
    explicit TPalette(std::vector<TPaletteEntry> entries);
    int Count() const { return static_cast<int>(entries_.size()); }
    bool IsEmpty() const { return entries_.empty(); }
    const TPaletteEntry& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }
    // Copies entries [start, start + count) that exist into out; returns how many were copied.
    int GetEntries(int start, int count, TPaletteEntry* out) const;
    const std::vector<TPaletteEntry>& Entries() const { return entries_; }
    bool operator==(const TPalette& o) const;

private:
    std::vector<TPaletteEntry> entries_;
};

// A palette as the codec sees it: absent (nullptr) or a table to read entries from.
using HPALETTE = const TPalette*;

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

struct TSize {
    int cx = 0, cy = 0;
};

enum class TProgressStage { psStarting, psRunning, psEnding };

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* sender)>;
using TProgressEvent = std::function<void(TObject* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                                          const TRect& r, const std::string& msg)>;

class TGraphic : public TObject {
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual bool Empty() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetWidth(int value) = 0;
    virtual void SetHeight(int value) = 0;

    // Copies another graphic into this one; the default asks the source (AssignTo),
    // which raises EConvertError when it knows no way.
    virtual void Assign(const TGraphic& source);
    virtual void AssignTo(TGraphic& dest) const;

    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) = 0;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

    bool Transparent() const { return transparent_; }
    virtual void SetTransparent(bool value);
    bool Modified() const { return modified_; }
    void SetModified(bool value) { modified_ = value; }
    bool PaletteModified() const { return paletteModified_; }
    void SetPaletteModified(bool value) { paletteModified_ = value; }

    virtual const char* ClassName() const = 0;

    TNotifyEvent OnChange;
    TProgressEvent OnProgress;

protected:
    virtual void Changed();

private:
    bool transparent_ = false;
    bool modified_ = false;
    bool paletteModified_ = false;
};

class TCanvas;

class TBitmap : public TGraphic {
public:
    // Pictures above this many pixels are refused before any allocation.
    static constexpr int64_t kMaxPixels = int64_t{1} << 28;
    static constexpr int kMaxDimension = 1 << 20;

    TBitmap();
    ~TBitmap() override;

    bool Empty() const override { return width_ == 0 || height_ == 0; }
    int Width() const override { return width_; }
    int Height() const override { return height_; }
    void SetWidth(int value) override { SetSize(value, height_); }
    void SetHeight(int value) override { SetSize(width_, value); }
    // Resizes, keeping the pixels of the overlapping top-left region; new pixels are 0.
    void SetSize(int width, int height);

    TPixelFormat PixelFormat() const { return pixelFormat_; }
    // Converts the existing pixels; pfDevice and pfCustom are stored as 24-bit.
    void SetPixelFormat(TPixelFormat value);
    int BitsPerPixel() const;
    int RowStride() const;

    // Row y counted from the top; rows are RowStride() bytes apart going down in memory
    // order backwards (bottom-up storage).
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    // The whole pixel block, bottom row first, as a BMP file holds it.
    uint8_t* Bits() { return bits_.data(); }
    const uint8_t* Bits() const { return bits_.data(); }
    size_t BitsSize() const { return bits_.size(); }

    const TPalette& Palette() const { return palette_; }
    HPALETTE PaletteHandle() const { return palette_.IsEmpty() ? nullptr : &palette_; }
    void SetPalette(const TPalette& value);

    TColor TransparentColor() const { return transparentColor_; }
    void SetTransparentColor(TColor value) { transparentColor_ = value; }

    // Pixel access by colour, for tests and format conversion; indexed formats map a colour
    // to the nearest palette entry.
    TColor GetPixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);

    TCanvas& Canvas();

    void Assign(const TGraphic& source) override;
    void LoadFromStream(TStream& stream) override;  // BMP
    void SaveToStream(TStream& stream) override;    // BMP in the bitmap's own format
    const char* ClassName() const override { return "TBitmap"; }

    // Drops pixels and palette (keeps the pixel format).
    void Clear();

    // Fires OnProgress; codecs report through the bitmap they work on.
    void Progress(TProgressStage stage, uint8_t percent, const std::string& msg);

    // Used by readers that fill rows themselves: allocates width × height in the given format
    // with the given palette, all pixels 0.
    void Allocate(TPixelFormat format, int width, int height, const TPalette& palette = {});

private:
    void Reallocate(int width, int height);

    int width_ = 0;
    int height_ = 0;
    TPixelFormat pixelFormat_ = pf24bit;
    TZeroedBlock bits_;
    TPalette palette_;
    TColor transparentColor_ = clNone;
    std::unique_ptr<TCanvas> canvas_;
};
