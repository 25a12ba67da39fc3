// JPEG through libjpeg: output baseline with the float DCT at the given quality; input decoded
// to a 24-bit picture.
#pragma once

#include <functional>

#include "Graphics.h"

class TJPEGImage : public TGraphic {
public:
    TJPEGImage();
    ~TJPEGImage() override;

    int CompressionQuality = 90;  // 1..100

    bool Empty() const override;
    int Width() const override;
    int Height() const override;
    void SetWidth(int value) override;
    void SetHeight(int value) override;

    // Takes a copy of the bitmap to compress.
    void Assign(const TGraphic& source) override;
    // Gives the picture to a bitmap.
    void AssignTo(TGraphic& dest) const override;
    void SaveToStream(TStream& stream) override;
    // Decodes into a 24-bit picture (used by tests and by pictures loaded by extension).
    void LoadFromStream(TStream& stream) override;
    const char* ClassName() const override { return "TJPEGImage"; }

private:
    TBitmap bitmap_;
};

// Compresses the bitmap (any pixel format) as TJPEGImage::SaveToStream does, without copying
// the picture: rows go to libjpeg straight from the bitmap or through one row buffer.
// Raises EInvalidGraphic for an empty bitmap or a libjpeg failure; stream errors pass through.
// progress, when given, hears the share of rows compressed (0 to 100) now and then; what it
// raises is ignored. With threads above 1 the picture is compressed in strips side by side,
// joined with restart markers (same decoded pixels, a few bytes longer); with 1 the bytes are
// those of libjpeg compressing the picture in one piece.
// patch, when it has pixels, is a 24-bit picture compressed in place of the bitmap's pixels
// from (Left, Top) on; it must lie inside the bitmap.
struct TJpegPatch {
    const TBitmap* Pixels = nullptr;
    int Left = 0, Top = 0;
};
void SaveBitmapAsJpeg(const TBitmap& bitmap, int quality, TStream& stream,
                      const std::function<void(int percent)>& progress = {}, int threads = 1,
                      const TJpegPatch& patch = {});
