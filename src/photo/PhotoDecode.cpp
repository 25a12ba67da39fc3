#include "PhotoDecode.h"

#include <cstring>

#include "Classes.h"
#include "PhotoSupport.h"

void PhotoFail(const std::string& format, const std::string& reason, TFailureKind kind) {
    throw EInvalidGraphic(format + ": " + reason, kind);
}

void CheckPhotoSize(const std::string& format, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0) PhotoFail(format, "the picture has no pixels");
    if (width > TBitmap::kMaxDimension || height > TBitmap::kMaxDimension || width * height > TBitmap::kMaxPixels)
        PhotoFail(format, "the picture is too large (" + std::to_string(width) + " x " + std::to_string(height) + ")",
                  TFailureKind::TooLarge);
}

TPhotoFormat DetectPhotoFormat(const uint8_t* data, size_t size) {
    auto starts = [&](size_t at, const char* magic, size_t n) {
        return size >= at + n && std::memcmp(data + at, magic, n) == 0;
    };
    if (starts(0, "\xFF\xD8\xFF", 3)) return TPhotoFormat::Jpeg;
    if (starts(0, "\x89PNG\r\n\x1A\n", 8)) return TPhotoFormat::Png;
    if (starts(0, "II*\0", 4) || starts(0, "MM\0*", 4) || starts(0, "II+\0", 4) || starts(0, "MM\0+", 4))
        return TPhotoFormat::Tiff;
    if (starts(0, "RIFF", 4) && starts(8, "WEBP", 4)) return TPhotoFormat::Webp;
    if (starts(4, "ftyp", 4)) {
        // HEIF brands; AVIF files are HEIF too and libheif reads them when it has a decoder.
        static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif"};
        for (const char* brand : kBrands)
            if (starts(8, brand, 4)) return TPhotoFormat::Heif;
    }
    return TPhotoFormat::Unknown;
}

void DecodePhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    switch (DetectPhotoFormat(data, size)) {
    case TPhotoFormat::Jpeg: return DecodeJpegPhoto(data, size, bitmap, metadata);
    case TPhotoFormat::Png: return DecodePngPhoto(data, size, bitmap, metadata);
    case TPhotoFormat::Tiff: return DecodeTiffPhoto(data, size, bitmap, metadata);
    case TPhotoFormat::Webp: return DecodeWebpPhoto(data, size, bitmap, metadata);
    case TPhotoFormat::Heif: return DecodeHeifPhoto(data, size, bitmap, metadata);
    case TPhotoFormat::Unknown: break;
    }
    PhotoFail("Photo", "not a JPEG, PNG, TIFF, WebP or HEIF file", TFailureKind::Unsupported);
}

void LoadPhotoFile(const std::string& fileName, TBitmap& bitmap, PhotoMetadata& metadata) {
    TMemoryStream file;
    file.LoadFromFile(fileName);
    DecodePhoto(file.Memory(), static_cast<size_t>(file.Size()), bitmap, metadata);
}
