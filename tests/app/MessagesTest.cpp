// The secondary text of the drop's boxes: which file, why it failed in the user's words, and
// after Cancel how many files were done and left. The boxes' own texts stay as they are.
#include <cerrno>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "FailureReasons.h"
#include "MessageBoxes.h"
#include "SysUtils.h"
#include "TestSupport.h"

using namespace apptest;

namespace {

TEST(FailureReason, EachKindInPlainJapanese) {
    const struct {
        std::exception_ptr failure;
        const char* reason;
    } cases[] = {
        {std::make_exception_ptr(EFOpenError("x", TFailureKind::NotFound, ENOENT)), "ファイルが見つかりません。"},
        {std::make_exception_ptr(EFCreateError("x", TFailureKind::NotFound, ENOENT)),
         "保存先のフォルダーが見つかりません。"},
        {std::make_exception_ptr(EFOpenError("x", TFailureKind::NoPermission, EACCES)),
         "ファイルを読む権限がありません。"},
        {std::make_exception_ptr(EFCreateError("x", TFailureKind::NoPermission, EACCES)),
         "保存先に書き込む権限がありません。"},
        {std::make_exception_ptr(EReadError("x", TFailureKind::NotRegularFile, EISDIR)),
         "ふつうのファイルではありません（フォルダーなど）。"},
        {std::make_exception_ptr(EWriteError("x", TFailureKind::DiskFull, ENOSPC)), "ディスクの空きが足りません。"},
        {std::make_exception_ptr(std::bad_alloc()), "メモリが足りません。"},
        {std::make_exception_ptr(EInvalidGraphic("x", TFailureKind::TooLarge)), "画像が大きすぎます。"},
        {std::make_exception_ptr(EInvalidGraphic("x", TFailureKind::Damaged, 0, 1234)),
         "ファイルが壊れています（1234 バイト目）。"},
        {std::make_exception_ptr(EInvalidGraphic("x", TFailureKind::Damaged)), "ファイルが壊れています。"},
        {std::make_exception_ptr(EInvalidGraphic("x", TFailureKind::Unsupported)),
         "ビットマップファイルではないか、対応していない種類のビットマップです。"},
        {std::make_exception_ptr(EFCreateError("x", TFailureKind::SameAsSource)), "保存先が元のファイルと同じです。"},
        {std::make_exception_ptr(EWriteError("x", TFailureKind::IoError, EIO)),
         "ファイルを書き込めませんでした（Input/output error）。"},
        {std::make_exception_ptr(EInvalidGraphic("Invalid bitmap file: bad signature")),
         "ビットマップファイルではないか、壊れています。"},
        {std::make_exception_ptr(EReadError("Stream read error")), "ファイルを読み込めませんでした。"},
        {std::make_exception_ptr(Exception("odd")), "処理できませんでした（odd）。"},
        {std::make_exception_ptr(42), "処理できませんでした。"},
    };
    for (const auto& c : cases) EXPECT_EQ(FailureReason(c.failure), c.reason);
}

// Asks to stop once `cancelAt` files have started.
struct StopAfter : TDropProgress {
    explicit StopAfter(size_t n) : cancelAt(n) {}
    void FileStarted(size_t, size_t, const std::string&) override { ++started; }
    void FileProgress(int) override {}
    bool Cancelled() override { return started >= cancelAt; }
    void Finished() override {}
    size_t cancelAt, started = 0;
};

TEST(DropMessages, EachBoxNamesItsFileAndWhy) {
    // With photos off, a photo's box also says how to switch them on.
    const std::string kRefusedPhoto = std::string("photo.jpg\n") + msg::kPhotosOffHint;
    testsupport::TempDir dir;
    SaveBlockPicture(dir.file("good.bmp"), pf24bit, 32, 32);
    WriteFile(dir.file("fake.bmp"), "GIF89a, not a bitmap at all");
    std::filesystem::create_directory(dir.file("folder.bmp"));
    const std::vector<std::string> names = {dir.file("photo.jpg"), dir.file("fake.bmp"), dir.file("missing.bmp"),
                                            dir.file("good.bmp"), dir.file("folder.bmp")};
    Settings settings;
    InitSettings(settings);
    const struct {
        size_t cancelAt;
        std::vector<Box> boxes;
        std::vector<std::string> details;
    } cases[] = {
        {SIZE_MAX,
         {kRefusedBox, kFailedBox, kFailedBox, kFailedBox, kSomeFailedBox},
         {kRefusedPhoto, "fake.bmp\nビットマップファイルではないか、対応していない種類のビットマップです。",
          "missing.bmp\nファイルが見つかりません。", "folder.bmp\nふつうのファイルではありません（フォルダーなど）。",
          ""}},
        {2,
         {kRefusedBox, kFailedBox, kSomeFailedBox},
         {kRefusedPhoto, "fake.bmp\nビットマップファイルではないか、対応していない種類のビットマップです。",
          "2 個のファイルを処理したところで中止しました。残りは 3 個です。"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancelAt);
        RecordingBoxes boxes;
        StopAfter progress(c.cancelAt);
        TPicture work;
        ProcessDrop(work, names, settings, boxes, &progress);
        EXPECT_EQ(boxes.boxes, c.boxes);
        EXPECT_EQ(boxes.details, c.details);
    }
}

TEST(DropMessages, TheSecondaryTextGoesUnderTheMessage) {
    QString text, title, informative;
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            title = box->windowTitle();
            informative = box->informativeText();
            box->accept();
        }
    });
    TQtMessageBoxes().Show(msg::kFileFailed, msg::kErrorCaption, "fake.bmp\nファイルが壊れています。");
    EXPECT_EQ(text, QString::fromUtf8(msg::kFileFailed));
    EXPECT_EQ(title, QString::fromUtf8(msg::kErrorCaption));
    EXPECT_EQ(informative, QStringLiteral("fake.bmp\nファイルが壊れています。"));
}

}  // namespace
const std::string kRefusedPhoto = std::string("photo.jpg\n") + msg::kPhotosOffHint;
