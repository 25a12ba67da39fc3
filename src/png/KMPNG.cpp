#include "KMPNG.h"

#include <ctime>

#include "KMPNGStream.h"

TKMPNGTime KMPNGCurrentTime() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    TKMPNGTime t;
    t.Year = static_cast<uint16_t>(utc.tm_year + 1900);
    t.Month = static_cast<uint8_t>(utc.tm_mon + 1);
    t.Day = static_cast<uint8_t>(utc.tm_mday);
    t.Hour = static_cast<uint8_t>(utc.tm_hour);
    t.Minute = static_cast<uint8_t>(utc.tm_min);
    t.Second = static_cast<uint8_t>(utc.tm_sec);
    return t;
}

TKMPNG::TKMPNG() : ModificationTime(KMPNGCurrentTime()) {}

TKMPNG::~TKMPNG() = default;

void TKMPNG::SetWidth(int value) {
    if (!Bitmap.Empty()) Bitmap.SetWidth(value);
    if (!AlphaBitmap.Empty()) AlphaBitmap.SetWidth(value);
    Changed();
}

void TKMPNG::SetHeight(int value) {
    if (!Bitmap.Empty()) Bitmap.SetHeight(value);
    if (!AlphaBitmap.Empty()) AlphaBitmap.SetHeight(value);
    Changed();
}

void TKMPNG::SetPalette(const TPalette& value) {
    Bitmap.SetPalette(value);
    Changed();
}

void TKMPNG::SetTransparent(bool value) {
    if (!TransparencySyncGuard && Bitmap.Transparent() != value) Bitmap.SetTransparent(value);
    TGraphic::SetTransparent(value);
}

void TKMPNG::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* png = dynamic_cast<const TKMPNG*>(&source)) {
        Bitmap.Assign(png->Bitmap);
        AlphaBitmap.Assign(png->AlphaBitmap);
        HasAlpha = png->HasAlpha;
        BitDepth = png->BitDepth;
        CompressionLevel = png->CompressionLevel;
        Filter = png->Filter;
        IDATSize = png->IDATSize;
        Interlaced = png->Interlaced;
        Grayscale = png->Grayscale;
        Comment = png->Comment;
        BackgroundColor = png->BackgroundColor;
        TransparentColor = png->TransparentColor;
        Gamma = png->Gamma;
        SignificantBits = png->SignificantBits;
        PhysUnit = png->PhysUnit;
        PhysX = png->PhysX;
        PhysY = png->PhysY;
        UseCurrentTime = png->UseCurrentTime;
        ModificationTime = png->ModificationTime;
        Chromaticities = png->Chromaticities;
        GIFControl = png->GIFControl;
    } else {
        // A bitmap is copied; any other graphic converts itself or raises its conversion error.
        Bitmap.Assign(source);
    }
    UpdateFromBitmap();
}

void TKMPNG::AssignTo(TGraphic& dest) const { dest.Assign(Bitmap); }

void TKMPNG::UpdateFromBitmap() {
    SetPaletteModified(true);
    if (Transparent() == Bitmap.Transparent()) {
        Changed();
        return;
    }
    TransparencySyncGuard = true;
    try {
        SetTransparent(Bitmap.Transparent());
    } catch (...) {
        TransparencySyncGuard = false;
        throw;
    }
    TransparencySyncGuard = false;
}

namespace {

// Hands the ancillary values every save carries to the writer.
void CopyImageValues(const TKMPNG& png, TKMPNGWriteStream& writer) {
    writer.Grayscale = png.Grayscale;
    writer.Comment = png.Comment;
    writer.BackgroundColor = png.BackgroundColor;
    writer.TransparentColor = png.TransparentColor;
    writer.Gamma = png.Gamma;
    writer.SignificantBits = png.SignificantBits;
    writer.PhysUnit = png.PhysUnit;
    writer.PhysX = png.PhysX;
    writer.PhysY = png.PhysY;
    writer.ModificationTime = &png.ModificationTime;
    writer.Chromaticities = &png.Chromaticities;
    writer.GIFControl = &png.GIFControl;
    if (png.HasAlpha) writer.AlphaBitmap = &png.AlphaBitmap;
}

// Hands the settings of a save to the writer.
void CopySaveSettings(const TKMPNG& png, TKMPNGWriteStream& writer) {
    writer.CompressionLevel = png.CompressionLevel;
    writer.Filter = png.Filter;
    writer.SetIDATSize(png.IDATSize);
    writer.Interlaced = png.Interlaced ? 1 : 0;
    writer.UseCurrentTime = png.UseCurrentTime;
    CopyImageValues(png, writer);
}

}  // namespace

void TKMPNG::SaveToStream(TStream& stream) {
    TKMPNGWriteStream writer;
    CopySaveSettings(*this, writer);

    // Progress raised through the bitmap reaches this object's handler for the save.
    TProgressEvent own = Bitmap.OnProgress;
    if (OnProgress) Bitmap.OnProgress = OnProgress;
    try {
        writer.WriteGraphic(Bitmap, stream);
    } catch (...) {
        Bitmap.OnProgress = std::move(own);
        throw;
    }
    Bitmap.OnProgress = std::move(own);
}

void TKMPNG::WriteData(TStream& stream) {
    if (Bitmap.Empty()) return;
    TKMPNGWriteStream writer;
    CopyImageValues(*this, writer);
    writer.WriteGraphic(Bitmap, stream);
}

void SaveBitmapAsPng(TBitmap& bitmap, int32_t compressionLevel, TStream& stream, int threads,
                     const TBitmap* alphaMask) {
    TKMPNG defaults;  // what a fresh image object saves with, but for the level
    defaults.CompressionLevel = compressionLevel;
    TKMPNGWriteStream writer;
    CopySaveSettings(defaults, writer);
    writer.Threads = threads;
    writer.AlphaBitmap = alphaMask;
    writer.WriteGraphic(bitmap, stream);
}
