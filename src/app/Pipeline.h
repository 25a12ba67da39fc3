// The work of the program, free of any user interface: which names are taken, how one bitmap
// is loaded, stamped and saved, and how a batch of names is walked with its messages.
// The window, the command line and any later worker share these functions; they touch no
// global state, so separate calls may run side by side on separate work pictures.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Picture.h"
#include "setting_common.h"

class TBitmap;
class TCanvas;
struct TStampScale;

// The user-facing texts and captions of the drop.
namespace msg {
inline constexpr const char* kNotBitmap = "ビットマップファイルじゃないよ（-ω-）";
inline constexpr const char* kFileFailed = "なんか変なものが渡されたよ（-ω-）";
inline constexpr const char* kSomeFailed = "全て正常に処理が終了しませんでした（-ω-）";
inline constexpr const char* kAllDone = "全て処理が終了しました！（・ω・）";
inline constexpr const char* kErrorCaption = "エラー";
inline constexpr const char* kReportCaption = "報告";
// Under the refusal of a photo while photos are not accepted.
inline constexpr const char* kPhotosOffHint =
    "写真（JPEG・PNG・TIFF・WebP・HEIF）に押すには、「ツール」メニューの「詳細設定」で"
    "「写真も受け付ける」をオンにしてください。";
}  // namespace msg

// Where the pipeline's message boxes go: a modal box in the window, a recorder in tests.
class TMessageBoxes {
public:
    virtual ~TMessageBoxes() = default;
    // Returns once the user has acknowledged the message. detail: the secondary text under
    // the message (which file, and why it failed); empty for none.
    virtual void Show(const std::string& text, const std::string& caption, const std::string& detail) = 0;
    // An exception that escaped a command: on screen this box carries an error icon.
    virtual void ShowError(const std::string& text, const std::string& caption) { Show(text, caption, {}); }
};

// The part of the path after the last "." that follows the last "/", dot included;
// "" when there is no such dot.
std::string ExtractFileExt(const std::string& path);
// The path with its extension (as above) replaced by ext; appended when there is none.
std::string ChangeFileExt(const std::string& path, const std::string& ext);
// Only ".bmp" exactly: ".BMP" and ".Bmp" are refused like any other type.
bool IsBitmapName(const std::string& path);
// The names a run takes: ".bmp" exactly, and with photos accepted the photo names in any case.
bool IsAcceptedName(const std::string& path, const Settings& settings);
// Taken as a photo, not as a bitmap.
bool IsPhotoInput(const std::string& path, const Settings& settings);

// Gives the canvas the stamp's font, colour and background (none when transparent).
void SetStampPen(TCanvas& canvas, const Settings& settings, const TStampScale& scale);
// The size of the stamp's text cell at that scale, measured without a picture to draw on.
TSize StampTextExtent(const Settings& settings, const TStampScale& scale);

// Draws the stamp text of the settings on the bitmap in the stamp's style (StampStyle.h), at
// the size the settings give a picture of the bitmap's size; returns the text cell, which may
// reach past the picture.
TRect StampBitmap(TBitmap& bitmap, const Settings& settings);
// The same at a given scale, for a bitmap that stands for part of a larger picture.
TRect StampBitmap(TBitmap& bitmap, const Settings& settings, const TStampScale& scale);

// Hears how far the encoder has got with the current file, 0 to 100.
using TFileProgress = std::function<void(int percent)>;

// The threads that encode one picture: the settings' Threads, or for 0 every core the
// process may use, as where pictures are saved one at a time (a caller running several at
// once puts its own share into Threads).
int EncoderThreads(const Settings& settings);
// The most threads a picture's encoder is given on request.
constexpr int kMaxEncoderThreads = 64;

// Write the bitmap beside the source under the source's name with ".jpg" or ".png"; return
// the name written. The file appears complete or not at all: a failure leaves any earlier
// file of that name untouched and nothing half-written behind. Neither copies the picture.
// writeBehind: the file is written on a second thread while the encoder goes on; worth it
// while a processor core is idle, not when every core already runs a worker.
std::string SaveImageToJpeg(const TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                            const TFileProgress& progress = {}, bool writeBehind = true);
std::string SaveImageToPng(TBitmap& bitmap, const std::string& sourcePath, const Settings& settings,
                           const TFileProgress& progress = {}, bool writeBehind = true);

// The format's extension, dot included: ".jpg" or ".png".
std::string OutputExtension(const Settings& settings);

// One accepted bitmap: loads it into the work picture (replaced only when the load succeeds),
// stamps it (a palette picture saved as JPEG only in the file: its pixels stay as they are)
// and saves it in the chosen format, to target (its folder made when missing) or,
// when that is empty, beside the source. Returns the names written; raises on any failure.
std::vector<std::string> LoadImage(TPicture& work, const std::string& sourcePath, const Settings& settings,
                                   const TFileProgress& progress = {}, bool writeBehind = true,
                                   const std::string& target = {});

// What became of one name of a batch.
struct TFileOutcome {
    enum Kind { Written, Refused, Failed } Result = Written;
    std::vector<std::string> Outputs;  // when Written
    std::string Detail;                // the failure's own text, for logs; never shown in a box
    std::string Reason;                // why it failed, in the user's words
    std::vector<std::string> Notes;    // what of a photo's metadata the output could not carry
};

// One name of a batch: refuses a name the run does not take, otherwise stamps it (a photo
// through the photo layer, a bitmap through LoadImage) and turns any failure into a Failed
// outcome. target: the output's name (TOutputPlanner); empty puts it beside the source.
TFileOutcome ProcessFile(TPicture& work, const std::string& path, const Settings& settings,
                         const TFileProgress& progress = {}, bool writeBehind = true, const std::string& target = {});

// The outputs of a run's names in order, as TOutputPlanner places them; "" for a name the
// run refuses.
std::vector<std::string> PlanRunOutputs(const std::vector<std::string>& paths, const Settings& settings);

// Follows a drop for the user: which file is being worked on, how far its encoder has got,
// and whether the user has asked to stop.
class TDropProgress {
public:
    virtual ~TDropProgress() = default;
    // Before the name at index (0-based) of count names.
    virtual void FileStarted(size_t index, size_t count, const std::string& path) = 0;
    virtual void FileProgress(int percent) = 0;
    // The file's work is over; the time until the next file starts (its box) is not work.
    virtual void FileFinished() {}
    // Asked between files; true ends the drop before the next name.
    virtual bool Cancelled() = 0;
    // The drop's work is over; its summary box follows.
    virtual void Finished() = 0;
};

// A whole drop: each name in order, the refusal or failure box for a name that was not
// processed, then the summary box. The settings are read afresh for every name.
// A drop the user cancels (through progress) stops after the current file, and its summary
// says that not everything was processed. Returns true when every name was processed.
bool ProcessDrop(TPicture& work, const std::vector<std::string>& paths, const Settings& settings, TMessageBoxes& boxes,
                 TDropProgress* progress = nullptr);
