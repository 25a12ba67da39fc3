#include "PhotoStamp.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "Classes.h"
#include "Graphics.h"
#include "Jpeg.h"
#include "JpegLossless.h"
#include "JpegMetadata.h"
#include "KMPNG.h"
#include "MetadataPlan.h"
#include "Orientation.h"
#include "OutputPlan.h"
#include "PhotoDecode.h"
#include "PngMetadata.h"
#include "SafeFile.h"
#include "StampStyle.h"

namespace {

// Over white, as a viewer without transparency would show the picture.
void FlattenOnWhite(TBitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* p = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x, p += 4) {
            const int a = p[3];
            for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * a + 255 * (255 - a) + 127) / 255);
            p[3] = 255;
        }
    }
    bitmap.SetPixelFormat(pf24bit);
}

// The 32-bit bitmap's alpha as the PNG writer takes it: 255 - alpha, 0 opaque.
void AlphaMask(const TBitmap& bitmap, TBitmap& mask) {
    mask.SetPixelFormat(pf8bit);
    mask.SetSize(bitmap.Width(), bitmap.Height());
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* p = bitmap.ScanLine(y);
        uint8_t* m = mask.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) m[x] = static_cast<uint8_t>(255 - p[4 * x + 3]);
    }
}

// Stamps a picture with alpha so that the stamp is seen whatever lies under it: an opaque
// cell makes its rectangle opaque; a transparent one puts its letters over the picture by
// their coverage, which a white-on-black rendering of the same cell gives.
void StampWithAlpha(TBitmap& bitmap, TBitmap& mask, const Settings& settings) {
    const int width = bitmap.Width(), height = bitmap.Height();
    if (!settings.BackTransparent) {
        const TRect cell = StampBitmap(bitmap, settings);
        for (int y = std::max(cell.Top, 0); y < std::min(cell.Bottom, height); ++y) {
            uint8_t* m = mask.ScanLine(y);
            std::fill(m + std::max(cell.Left, 0), m + std::min(cell.Right, width), uint8_t{0});
        }
        return;
    }
    // The cell's size first, then the coverage of the part of it inside the picture: a large
    // stamp with a long text may reach far past the picture, and only what shows is rendered.
    const TStampScale scale = StampScale(settings.Photo.StampSize, settings.FontName, width, height);
    const TRect cell =
        StampCell(width, height, StampTextExtent(settings, scale), settings.PosLeft, settings.PosTop, scale.Margin);
    const int left = std::max(cell.Left, 0), top = std::max(cell.Top, 0);
    const int right = std::min(cell.Right, width), bottom = std::min(cell.Bottom, height);
    if (right <= left || bottom <= top) return;
    TBitmap coverage;
    coverage.SetPixelFormat(pf24bit);
    coverage.SetSize(right - left, bottom - top);
    for (int y = 0; y < coverage.Height(); ++y) std::fill_n(coverage.ScanLine(y), 3 * coverage.Width(), uint8_t{0});
    Settings white = settings;
    white.WordColor = RGBColor(255, 255, 255);
    SetStampPen(coverage.Canvas(), white, scale);
    coverage.Canvas().TextOut(cell.Left - left, cell.Top - top, settings.CopyrightText);

    const TColor ink = settings.WordColor;
    const int inkBgr[3] = {(ink >> 16) & 0xFF, (ink >> 8) & 0xFF, ink & 0xFF};
    for (int y = top; y < bottom; ++y) {
        const uint8_t* cov = coverage.ScanLine(y - top);
        uint8_t* p = bitmap.ScanLine(y);
        uint8_t* m = mask.ScanLine(y);
        for (int x = left; x < right; ++x) {
            const uint8_t* c = cov + 3 * (x - left);
            const int a = std::max({c[0], c[1], c[2]});
            if (a == 0) continue;
            const int below = 255 - m[x];
            const int outA = a * 255 + below * (255 - a);  // alpha times 255
            uint8_t* px = p + 4 * x;
            for (int k = 0; k < 3; ++k)
                px[k] = static_cast<uint8_t>((inkBgr[k] * a * 255 + px[k] * below * (255 - a) + outA / 2) / outA);
            m[x] = static_cast<uint8_t>(255 - (outA + 127) / 255);
        }
    }
}

std::string Bytes(TMemoryStream& stream) {
    return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.GetSize()));
}

void WriteWhole(const std::string& target, std::string_view bytes) {
    EnsureOutputFolder(target);
    TSafeFileStream out(target);
    out.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    out.Commit();
}

// What of the source's markers goes with its coded picture besides the planned metadata: the
// JFIF and Adobe segments, which tell a decoder how to read the colours. Comments and other
// applications' segments go, as they do when the picture is encoded anew.
bool DescribesCoding(const TJpegMarker& m) {
    auto starts = [&](std::string_view prefix) {
        return m.data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), m.data.begin());
    };
    return (m.code == 0xE0 && starts(std::string_view("JFIF\0", 5))) || (m.code == 0xEE && starts("Adobe"));
}

// Stamps a JPEG source into a JPEG target without decoding the picture as a whole: only the
// blocks under the stamp are encoded anew, and the pixels keep their stored orientation, the
// stamp drawn turned so that it shows upright at the displayed corner. Returns false, with
// nothing written and the reason in notes, for a file that must be decoded and encoded
// instead.
bool StampJpegKeepingBlocks(const uint8_t* data, size_t size, const std::string& target, const Settings& settings,
                            std::vector<std::string>& notes) {
    const TJpegPhotoHeader header = ReadJpegPhotoHeader(data, size);

    // The size follows the shorter side, which turning the picture upright does not change.
    const TStampScale scale = StampScale(settings.Photo.StampSize, settings.FontName, header.width, header.height);
    TLosslessStamp stamp;
    const TSize extent = StampTextExtent(settings, scale);
    stamp.cellWidth = extent.cx;
    stamp.cellHeight = extent.cy;
    stamp.left = settings.PosLeft;
    stamp.top = settings.PosTop;
    stamp.margin = scale.Margin;
    stamp.orientation = header.metadata.orientation;
    stamp.draw = [&settings, scale](TBitmap& patch, int x, int y) {
        TCanvas& canvas = patch.Canvas();
        SetStampPen(canvas, settings, scale);
        canvas.TextOut(x, y, settings.CopyrightText);
    };

    MetadataPlan plan;
    plan.target = TMetadataTarget::Jpeg;
    plan.colour = header.grey ? TOutputColour::Grey : TOutputColour::Rgb;
    plan.keepMetadata = settings.Photo.KeepMetadata;
    plan.stripLocation = settings.Photo.StripGps;
    plan.embedNotice = settings.Photo.EmbedCopyright;
    plan.notice = settings.CopyrightText;
    plan.orientation = header.metadata.orientation;  // the pixels stay as stored
    plan.width = header.width;
    plan.height = header.height;
    OutputMetadata metadata = PlanOutputMetadata(header.metadata, plan);

    TLosslessJpegOptions options;
    options.editMarkers = [&metadata](std::vector<TJpegMarker>& markers) {
        std::erase_if(markers, [](const TJpegMarker& m) { return !DescribesCoding(m); });
        ReplaceJpegMetadataMarkers(markers, metadata.blocks);
    };

    EnsureOutputFolder(target);
    TSafeFileStream out(target);
    const TLosslessJpegResult result = StampJpegLossless(data, size, stamp, out, options);
    if (result.status == TLosslessJpegStatus::NeedsReencode) {
        notes.push_back(result.note);
        return false;
    }
    out.Commit();
    notes.insert(notes.end(), metadata.notes.begin(), metadata.notes.end());
    return true;
}

}  // namespace

std::vector<std::string> StampPhotoFile(const std::string& source, const std::string& target, const Settings& settings,
                                        const TFileProgress& progress) {
    const bool png = settings.SaveFormat == 1;
    std::vector<std::string> notes;
    TBitmap bitmap;
    PhotoMetadata metadata;
    {
        TMemoryStream file;  // gone before the picture is stamped and encoded
        file.LoadFromFile(source);
        const uint8_t* data = file.Memory();
        const size_t size = static_cast<size_t>(file.Size());
        if (!png && settings.Photo.LosslessJpeg && DetectPhotoFormat(data, size) == TPhotoFormat::Jpeg &&
            StampJpegKeepingBlocks(data, size, target, settings, notes)) {
            if (progress) progress(100);
            return notes;
        }
        DecodePhoto(data, size, bitmap, metadata);
    }
    // The corner is the one viewers show, so the pixels are turned first.
    ApplyOrientation(bitmap, metadata.orientation);

    MetadataPlan plan;
    plan.target = png ? TMetadataTarget::Png : TMetadataTarget::Jpeg;
    plan.keepMetadata = settings.Photo.KeepMetadata;
    plan.stripLocation = settings.Photo.StripGps;
    plan.embedNotice = settings.Photo.EmbedCopyright;
    plan.notice = settings.CopyrightText;
    plan.orientation = 1;
    plan.width = bitmap.Width();
    plan.height = bitmap.Height();
    OutputMetadata out = PlanOutputMetadata(metadata, plan);

    TMemoryStream encoded;
    std::string bytes;
    if (!png) {
        if (bitmap.PixelFormat() == pf32bit) FlattenOnWhite(bitmap);
        StampBitmap(bitmap, settings);
        SaveBitmapAsJpeg(bitmap, settings.ImageQuality * 10, encoded, progress, EncoderThreads(settings));
        bytes = InsertJpegMetadata(Bytes(encoded), out.blocks);
    } else {
        TBitmap mask;
        const bool alpha = bitmap.PixelFormat() == pf32bit;
        if (alpha) {
            AlphaMask(bitmap, mask);
            StampWithAlpha(bitmap, mask, settings);
        } else {
            StampBitmap(bitmap, settings);
        }
        if (progress)
            bitmap.OnProgress = [&progress](TObject*, TProgressStage, uint8_t percent, bool, const TRect&,
                                            const std::string&) { progress(percent); };
        SaveBitmapAsPng(bitmap, 10 - settings.ImageQuality, encoded, EncoderThreads(settings), alpha ? &mask : nullptr);
        bytes = InsertPngMetadata(Bytes(encoded), out.blocks);
    }
    WriteWhole(target, bytes);
    notes.insert(notes.end(), out.notes.begin(), out.notes.end());
    return notes;
}
