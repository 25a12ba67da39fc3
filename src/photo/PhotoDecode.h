// Decoding camera and editor photos (JPEG, PNG, TIFF, WebP, HEIF) into a TBitmap: 24-bit, or
// 32-bit (blue, green, red, straight alpha) when the file has alpha; 16-bit samples reduced to
// 8, CMYK converted to RGB. The pixels are as stored: EXIF orientation is reported in the
// metadata, not applied (HEIF excepted: its irot/imir transforms are applied, orientation 1).
//
// Limits are checked before any picture-sized allocation (TBitmap::kMaxPixels and
// kMaxDimension). Failures raise EInvalidGraphic with a message naming the format and the
// reason, and a kind: Damaged (broken or cut short), Unsupported (a variant not handled),
// TooLarge (beyond the limits). After a failure the bitmap holds no meaningful picture and
// the metadata are unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Graphics.h"
#include "PhotoMetadata.h"

enum class TPhotoFormat { Unknown, Jpeg, Png, Tiff, Webp, Heif };

// The format by the file's first bytes (the name's extension is not consulted).
TPhotoFormat DetectPhotoFormat(const uint8_t* data, size_t size);

// Decodes by the detected format; Unknown raises an Unsupported EInvalidGraphic.
void DecodePhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata);
// Reads the whole file and decodes it; the file's stream errors pass through.
void LoadPhotoFile(const std::string& fileName, TBitmap& bitmap, PhotoMetadata& metadata);

// One decoder each; they expect their own format and fail as damaged on anything else.
// Progressive JPEG files with more than the framework's kMaxJpegScans scans are refused.
void DecodeJpegPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata);
// A JPEG photo's header alone, for work on its coded blocks: the stored size, whether it has
// one (grey) component, and the metadata DecodeJpegPhoto would report. Fails as it would on
// the header; the coded picture after it is not looked at.
struct TJpegPhotoHeader {
    int width = 0, height = 0;
    bool grey = false;
    PhotoMetadata metadata;
};
TJpegPhotoHeader ReadJpegPhotoHeader(const uint8_t* data, size_t size);
void DecodePngPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata);
void DecodeTiffPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata);
void DecodeWebpPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata);
// libheif allocates an image (a grid's canvas, an alpha plane) at the size the file declares,
// before any pixel data proves it real; maxSide bounds each side of every image in the file.
// The default makes a square at the pixel cap.
constexpr int kHeifMaxSide = 16384;
void DecodeHeifPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata,
                     int maxSide = kHeifMaxSide);
