#include "Pipeline.h"

#include <exception>
#include <optional>
#include <system_error>

#include "Canvas.h"
#include "CodePage.h"
#include "Graphics.h"
#include "Jpeg.h"
#include "KMPNG.h"
#include "SafeFile.h"
#include "SysUtils.h"
#include "WriteBehind.h"

namespace {

constexpr int kStampPointSize = 9;
constexpr int kMargin = 5;
constexpr size_t kMaxFaceBytes = 31;  // what the stored face name of a font holds

}  // namespace

std::string ExtractFileExt(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos) return "";
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && dot < slash) return "";
    return path.substr(dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    return path.substr(0, path.size() - ExtractFileExt(path).size()) + ext;
}

bool IsBitmapName(const std::string& path) { return ExtractFileExt(path) == ".bmp"; }

std::string StampFontName(const std::string& faceName) {
    // The limit counts the name's code page 932 bytes, as the font's stored face name does.
    std::string bytes;
    if (TryUtf8ToCp932(faceName, bytes)) {
        if (bytes.size() <= kMaxFaceBytes) return faceName;
        size_t end = 0;
        while (end < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[end]);
            const size_t width = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
            if (end + width > kMaxFaceBytes) break;  // never half a character
            end += width;
        }
        return Cp932ToUtf8(bytes.substr(0, end));
    }
    // A name the code page cannot hold is cut by its UTF-8 bytes, on a character boundary.
    if (faceName.size() <= kMaxFaceBytes) return faceName;
    size_t end = kMaxFaceBytes;
    while (end > 0 && (static_cast<unsigned char>(faceName[end]) & 0xC0) == 0x80) --end;
    return faceName.substr(0, end);
}

TRect StampBitmap(TBitmap& bitmap, const Settings& settings) {
    TCanvas& canvas = bitmap.Canvas();
    canvas.Font.Size = kStampPointSize;
    canvas.Font.Color = settings.WordColor;
    if (!settings.FontName.empty()) canvas.Font.Name = StampFontName(settings.FontName);
    canvas.Font.Style = fsBold;
    if (settings.BackTransparent) {
        canvas.Brush.Style = TBrushStyle::bsClear;
    } else {
        canvas.Brush.Color = settings.BackColor;
    }
    const TSize extent = canvas.TextExtent(settings.CopyrightText);
    // No clamping: a text larger than the picture is cut at the far edge.
    const int x = settings.PosLeft ? kMargin : bitmap.Width() - extent.cx - kMargin;
    const int y = settings.PosTop ? kMargin : bitmap.Height() - extent.cy - kMargin;
    canvas.TextOut(x, y, settings.CopyrightText);
    return TRect{x, y, x + extent.cx, y + extent.cy};
}

namespace {

// Runs the encoder over the file, directly or with a write-behind stream in between.
template <class Encode>
void WriteFile(TSafeFileStream& out, bool writeBehind, Encode&& encode) {
    std::optional<TWriteBehindStream> behind;
    if (writeBehind) {
        try {
            behind.emplace(out);
        } catch (const std::system_error&) {
            // No thread to be had (a process limit): the file is written directly instead.
        }
    }
    if (!behind) {
        TEarlyFlushStream direct(out);
        encode(static_cast<TStream&>(direct));
        return;
    }
    encode(static_cast<TStream&>(*behind));
    behind->Finish();
}

}  // namespace

std::string SaveImageToJpeg(const TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                            const TFileProgress& progress, bool writeBehind) {
    const std::string target = ChangeFileExt(sourcePath, ".jpg");
    RefuseToReplaceSource(target, sourcePath);
    // What a TJPEGImage given this bitmap would write, without copying the picture first.
    TSafeFileStream out(target);
    WriteFile(out, writeBehind,
              [&](TStream& stream) { SaveBitmapAsJpeg(bitmap, settings.ImageQuality * 10, stream, progress); });
    out.Commit();
    return target;
}

std::string SaveImageToPng(TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                           const TFileProgress& progress, bool writeBehind) {
    const std::string target = ChangeFileExt(sourcePath, ".png");
    RefuseToReplaceSource(target, sourcePath);
    TSafeFileStream out(target);
    // What a TKMPNG assigned this bitmap would write, without copying the picture first.
    // The writer reports through the bitmap; the bitmap's own handler comes back afterwards.
    TProgressEvent own = std::move(bitmap.OnProgress);
    if (progress)
        bitmap.OnProgress = [&progress](TObject*, TProgressStage, uint8_t percent, bool, const TRect&,
                                        const std::string&) { progress(percent); };
    try {
        WriteFile(out, writeBehind,
                  [&](TStream& stream) { SaveBitmapAsPng(bitmap, 10 - settings.ImageQuality, stream); });
    } catch (...) {
        bitmap.OnProgress = std::move(own);
        throw;
    }
    bitmap.OnProgress = std::move(own);
    out.Commit();
    return target;
}

std::vector<std::string> LoadImage(TPicture& work, const std::string& sourcePath, const Settings& settings,
                                   const TFileProgress& progress, bool writeBehind) {
    // Each file gets a new bitmap with a fresh canvas; a failed load keeps the previous one.
    work.LoadFromFile(sourcePath);
    TBitmap& bitmap = work.Bitmap();
    StampBitmap(bitmap, settings);
    std::vector<std::string> written;
    if (settings.SaveFormat == 0)
        written.push_back(SaveImageToJpeg(bitmap, sourcePath, settings, progress, writeBehind));
    if (settings.SaveFormat == 1)
        written.push_back(SaveImageToPng(bitmap, sourcePath, settings, progress, writeBehind));
    return written;
}

TFileOutcome ProcessFile(TPicture& work, const std::string& path, const Settings& settings,
                         const TFileProgress& progress, bool writeBehind) {
    TFileOutcome outcome;
    if (!IsBitmapName(path)) {
        outcome.Result = TFileOutcome::Refused;
        return outcome;
    }
    try {
        outcome.Outputs = LoadImage(work, path, settings, progress, writeBehind);
    } catch (const std::exception& e) {
        outcome.Result = TFileOutcome::Failed;
        outcome.Detail = FailureDetail(e);
    } catch (...) {
        outcome.Result = TFileOutcome::Failed;
        outcome.Detail = "unknown failure";
    }
    return outcome;
}

bool ProcessDrop(TPicture& work, const std::vector<std::string>& paths, const Settings& settings, TMessageBoxes& boxes,
                 TDropProgress* progress) {
    bool errorOccurred = false;
    TFileProgress fileProgress;
    if (progress) fileProgress = [progress](int percent) { progress->FileProgress(percent); };
    for (size_t i = 0; i < paths.size(); ++i) {
        if (progress) {
            // Names left unprocessed make the drop one that did not finish normally.
            if (progress->Cancelled()) {
                errorOccurred = true;
                break;
            }
            progress->FileStarted(i, paths.size(), paths[i]);
        }
        const TFileOutcome outcome = ProcessFile(work, paths[i], settings, fileProgress);
        if (outcome.Result == TFileOutcome::Refused) {
            boxes.Show(msg::kNotBitmap, msg::kErrorCaption);
            errorOccurred = true;
        } else if (outcome.Result == TFileOutcome::Failed) {
            boxes.Show(msg::kFileFailed, msg::kErrorCaption);
            errorOccurred = true;
        }
    }
    if (progress) progress->Finished();
    boxes.Show(errorOccurred ? msg::kSomeFailed : msg::kAllDone, msg::kReportCaption);
    return !errorOccurred;
}
