// JPEG output through libjpeg: baseline, float DCT, the given quality.
#pragma once

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
    void SaveToStream(TStream& stream) override;
    // Decoding is not offered; only compression is needed here.
    void LoadFromStream(TStream& stream) override;
    const char* ClassName() const override { return "TJPEGImage"; }

private:
    TBitmap bitmap_;
};
