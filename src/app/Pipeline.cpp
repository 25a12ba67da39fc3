#include "Pipeline.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include "Canvas.h"
#include "FailureReasons.h"
#include "Graphics.h"
#include "Jpeg.h"
#include "KMPNG.h"
#include "OrderedParts.h"
#include "OutputPlan.h"
#include "PhotoFiles.h"
#include "PhotoStamp.h"
#include "PixelFormat.h"
#include "SafeFile.h"
#include "StampStyle.h"
#include "SysUtils.h"
#include "WriteBehind.h"

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

bool IsPhotoInput(const std::string& path, const Settings& settings) {
    return settings.Photo.AcceptPhotos && IsPhotoFileName(path);
}

bool IsAcceptedName(const std::string& path, const Settings& settings) {
    return IsBitmapName(path) || IsPhotoInput(path, settings);
}

namespace {

// A palette picture draws in its palette's nearest entries, which may be far from the chosen
// colours. A JPEG is full-colour anyway, so the picture becomes 24-bit first. A PNG keeps
// the palette: the stamp's colours join it while it has free entries, and only a full
// palette leaves them to the nearest entries.
void GiveStampItsColours(TBitmap& bitmap, const Settings& settings) {
    const int bits = bitmap.BitsPerPixel();
    if (bits > 8) return;
    if (settings.SaveFormat == 0) {
        bitmap.SetPixelFormat(pf24bit);
        return;
    }
    std::vector<TPaletteEntry> entries = bitmap.Palette().Entries();
    const size_t capacity = size_t{1} << bits;
    if (entries.size() >= capacity) return;
    // An index past the palette shows black; it must keep showing black once entries follow.
    size_t used = 0;
    for (int y = 0; y < bitmap.Height(); ++y)
        used = std::max<size_t>(used, MaxPackedIndex(bitmap.ScanLine(y), bitmap.Width(), bits) + size_t{1});
    entries.resize(std::max(entries.size(), used), TPaletteEntry{0, 0, 0, 0});
    std::vector<TColor> wanted = {settings.WordColor & 0xFFFFFF};
    if (!settings.BackTransparent) wanted.push_back(settings.BackColor & 0xFFFFFF);
    const size_t before = bitmap.Palette().Entries().size();
    for (const TColor c : wanted) {
        const TPaletteEntry e{GetRValue(c), GetGValue(c), GetBValue(c), 0};
        const bool present = std::any_of(entries.begin(), entries.end(), [&](const TPaletteEntry& p) {
            return p.peRed == e.peRed && p.peGreen == e.peGreen && p.peBlue == e.peBlue;
        });
        if (!present && entries.size() < capacity) entries.push_back(e);
    }
    if (entries.size() != before) bitmap.SetPalette(TPalette(entries));
}

}  // namespace

TRect StampBitmap(TBitmap& bitmap, const Settings& settings) {
    return StampBitmap(bitmap, settings,
                       StampScale(settings.Photo.StampSize, settings.FontName, bitmap.Width(), bitmap.Height()));
}

void SetStampPen(TCanvas& canvas, const Settings& settings, const TStampScale& scale) {
    SetStampFont(canvas, settings.FontName, settings.WordColor, scale);
    if (settings.BackTransparent)
        canvas.Brush.Style = TBrushStyle::bsClear;
    else
        canvas.Brush.Color = settings.BackColor;
}

TSize StampTextExtent(const Settings& settings, const TStampScale& scale) {
    TBitmap probe;
    probe.Allocate(pf24bit, 1, 1);
    SetStampPen(probe.Canvas(), settings, scale);
    return probe.Canvas().TextExtent(settings.CopyrightText);
}

TRect StampBitmap(TBitmap& bitmap, const Settings& settings, const TStampScale& scale) {
    GiveStampItsColours(bitmap, settings);
    TCanvas& canvas = bitmap.Canvas();
    SetStampPen(canvas, settings, scale);
    const TRect cell = StampCell(bitmap.Width(), bitmap.Height(), canvas.TextExtent(settings.CopyrightText),
                                 settings.PosLeft, settings.PosTop, scale.Margin);
    canvas.TextOut(cell.Left, cell.Top, settings.CopyrightText);
    return cell;
}

namespace {

// A palette picture saved as JPEG gets the stamp in full colour without becoming full colour
// as a whole, which would take three times its memory: the part of the cell inside the picture
// is copied out in 24 bits and stamped there, and the encoder takes it in place of the
// picture's own pixels. The drawing clips to the cell, so nothing else of the picture changes.
TJpegPatch StampFullColourPatch(const TBitmap& bitmap, const Settings& settings, TBitmap& pixels) {
    const TStampScale scale = StampScale(settings.Photo.StampSize, settings.FontName, bitmap.Width(), bitmap.Height());
    const TRect cell = StampCell(bitmap.Width(), bitmap.Height(), StampTextExtent(settings, scale), settings.PosLeft,
                                 settings.PosTop, scale.Margin);
    const int left = std::max(cell.Left, 0), top = std::max(cell.Top, 0);
    const int right = std::min(cell.Right, bitmap.Width()), bottom = std::min(cell.Bottom, bitmap.Height());
    if (right <= left || bottom <= top || settings.CopyrightText.empty()) return {};
    pixels.Allocate(pf24bit, right - left, bottom - top);
    for (int y = top; y < bottom; ++y) {
        uint8_t* to = pixels.ScanLine(y - top);
        for (int x = left; x < right; ++x, to += 3) {
            const TColor c = bitmap.GetPixel(x, y);
            to[0] = GetBValue(c), to[1] = GetGValue(c), to[2] = GetRValue(c);
        }
    }
    TCanvas& canvas = pixels.Canvas();
    SetStampPen(canvas, settings, scale);
    canvas.TextOut(cell.Left - left, cell.Top - top, settings.CopyrightText);
    return {&pixels, left, top};
}

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

int EncoderThreads(const Settings& settings) { return settings.Threads > 0 ? settings.Threads : UsableCores(); }

namespace {

void WriteJpeg(const TBitmap& bitmap, const std::string& target, const Settings& settings,
               const TFileProgress& progress, bool writeBehind, const TJpegPatch& patch) {
    // What a TJPEGImage given this bitmap would write, without copying the picture first.
    TSafeFileStream out(target);
    WriteFile(out, writeBehind, [&](TStream& stream) {
        SaveBitmapAsJpeg(bitmap, settings.ImageQuality * 10, stream, progress, EncoderThreads(settings), patch);
    });
    out.Commit();
}

void WritePng(TBitmap& bitmap, const std::string& target, const Settings& settings, const TFileProgress& progress,
              bool writeBehind) {
    TSafeFileStream out(target);
    // What a TKMPNG assigned this bitmap would write, without copying the picture first.
    // The writer reports through the bitmap; the bitmap's own handler comes back afterwards.
    TProgressEvent own = std::move(bitmap.OnProgress);
    if (progress)
        bitmap.OnProgress = [&progress](TObject*, TProgressStage, uint8_t percent, bool, const TRect&,
                                        const std::string&) { progress(percent); };
    try {
        WriteFile(out, writeBehind, [&](TStream& stream) {
            SaveBitmapAsPng(bitmap, 10 - settings.ImageQuality, stream, EncoderThreads(settings));
        });
    } catch (...) {
        bitmap.OnProgress = std::move(own);
        throw;
    }
    bitmap.OnProgress = std::move(own);
    out.Commit();
}

}  // namespace

namespace {

std::string SaveJpegBeside(const TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                           const TFileProgress& progress, bool writeBehind, const TJpegPatch& patch) {
    const std::string target = ChangeFileExt(sourcePath, ".jpg");
    RefuseToReplaceSource(target, sourcePath);
    WriteJpeg(bitmap, target, settings, progress, writeBehind, patch);
    return target;
}

}  // namespace

std::string SaveImageToJpeg(const TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                            const TFileProgress& progress, bool writeBehind) {
    return SaveJpegBeside(bitmap, sourcePath, settings, progress, writeBehind, {});
}

std::string SaveImageToPng(TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                           const TFileProgress& progress, bool writeBehind) {
    const std::string target = ChangeFileExt(sourcePath, ".png");
    RefuseToReplaceSource(target, sourcePath);
    WritePng(bitmap, target, settings, progress, writeBehind);
    return target;
}

std::string OutputExtension(const Settings& settings) { return settings.SaveFormat == 1 ? ".png" : ".jpg"; }

std::vector<std::string> LoadImage(TPicture& work, const std::string& sourcePath, const Settings& settings,
                                   const TFileProgress& progress, bool writeBehind, const std::string& target) {
    // Each file gets a new bitmap with a fresh canvas; a failed load keeps the previous one.
    work.LoadFromFile(sourcePath);
    TBitmap& bitmap = work.Bitmap();
    TBitmap patchPixels;
    TJpegPatch patch;
    if (settings.SaveFormat == 0 && bitmap.BitsPerPixel() <= 8)
        patch = StampFullColourPatch(bitmap, settings, patchPixels);
    else
        StampBitmap(bitmap, settings);
    std::vector<std::string> written;
    if (target.empty()) {
        if (settings.SaveFormat == 0)
            written.push_back(SaveJpegBeside(bitmap, sourcePath, settings, progress, writeBehind, patch));
        if (settings.SaveFormat == 1)
            written.push_back(SaveImageToPng(bitmap, sourcePath, settings, progress, writeBehind));
        return written;
    }
    RefuseToReplaceSource(target, sourcePath);
    EnsureOutputFolder(target);
    if (settings.SaveFormat == 0) WriteJpeg(bitmap, target, settings, progress, writeBehind, patch);
    if (settings.SaveFormat == 1) WritePng(bitmap, target, settings, progress, writeBehind);
    written.push_back(target);
    return written;
}

std::vector<std::string> PlanRunOutputs(const std::vector<std::string>& paths, const Settings& settings) {
    std::vector<std::string> accepted;
    for (const std::string& p : paths)
        if (IsAcceptedName(p, settings)) accepted.push_back(p);
    TOutputPlanner planner(settings.Photo, accepted);
    std::vector<std::string> targets;
    targets.reserve(paths.size());
    for (const std::string& p : paths)
        targets.push_back(IsAcceptedName(p, settings)
                              ? planner.Next(p, IsPhotoInput(p, settings), OutputExtension(settings))
                              : std::string());
    return targets;
}

TFileOutcome ProcessFile(TPicture& work, const std::string& path, const Settings& settings,
                         const TFileProgress& progress, bool writeBehind, const std::string& target) {
    TFileOutcome outcome;
    if (!IsAcceptedName(path, settings)) {
        outcome.Result = TFileOutcome::Refused;
        return outcome;
    }
    try {
        if (IsPhotoInput(path, settings)) {
            const std::string output = target.empty() ? PlanRunOutputs({path}, settings).front() : target;
            RefuseToReplaceSource(output, path);
            outcome.Notes = StampPhotoFile(path, output, settings, progress);
            outcome.Outputs.push_back(output);
        } else {
            outcome.Outputs = LoadImage(work, path, settings, progress, writeBehind, target);
        }
    } catch (const std::exception& e) {
        outcome.Result = TFileOutcome::Failed;
        outcome.Detail = FailureDetail(e);
        outcome.Reason = FailureReason(std::current_exception());
    } catch (...) {
        outcome.Result = TFileOutcome::Failed;
        outcome.Detail = "unknown failure";
        outcome.Reason = FailureReason(std::current_exception());
    }
    return outcome;
}

bool ProcessDrop(TPicture& work, const std::vector<std::string>& paths, const Settings& settings, TMessageBoxes& boxes,
                 TDropProgress* progress) {
    bool errorOccurred = false;
    size_t done = 0;
    TFileProgress fileProgress;
    if (progress) fileProgress = [progress](int percent) { progress->FileProgress(percent); };
    const std::vector<std::string> targets = PlanRunOutputs(paths, settings);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (progress) {
            // Names left unprocessed make the drop one that did not finish normally.
            if (progress->Cancelled()) {
                errorOccurred = true;
                break;
            }
            progress->FileStarted(i, paths.size(), paths[i]);
        }
        const TFileOutcome outcome = ProcessFile(work, paths[i], settings, fileProgress, true, targets[i]);
        if (progress) progress->FileFinished();
        const std::string name = std::filesystem::path(paths[i]).filename().string();
        if (outcome.Result == TFileOutcome::Refused) {
            // A photo refused only because photos are off says how to switch them on.
            boxes.Show(msg::kNotBitmap, msg::kErrorCaption,
                       IsPhotoFileName(paths[i]) ? name + "\n" + msg::kPhotosOffHint : name);
            errorOccurred = true;
        } else if (outcome.Result == TFileOutcome::Failed) {
            boxes.Show(msg::kFileFailed, msg::kErrorCaption, name + "\n" + outcome.Reason);
            errorOccurred = true;
        }
        done = i + 1;
    }
    if (progress) progress->Finished();
    std::string summary;
    if (done < paths.size())
        summary = std::to_string(done) + " 個のファイルを処理したところで中止しました。残りは " +
                  std::to_string(paths.size() - done) + " 個です。";
    boxes.Show(errorOccurred ? msg::kSomeFailed : msg::kAllDone, msg::kReportCaption, summary);
    return !errorOccurred;
}
