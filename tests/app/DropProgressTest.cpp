// A long drop's progress: the pipeline's reports and cancelling, and the progress window.
#include <gtest/gtest.h>

#include <filesystem>

#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTest>
#include <QTimer>

#include "AppTestSupport.h"
#include "DropProgress.h"
#include "MessageBoxes.h"
#include "TestSupport.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

// Records what the pipeline tells it; asks to stop once `cancelAt` files have started.
struct FakeProgress : TDropProgress {
    void FileStarted(size_t index, size_t count, const std::string& path) override {
        events.push_back("start " + std::to_string(index) + "/" + std::to_string(count) + " " +
                         fs::path(path).filename().string());
        percents.emplace_back();
    }
    void FileProgress(int percent) override { percents.back().push_back(percent); }
    void FileFinished() override { events.push_back("done"); }
    bool Cancelled() override { return percents.size() >= cancelAt; }
    void Finished() override { events.push_back("finished"); }
    size_t cancelAt = SIZE_MAX;
    std::vector<std::string> events;
    std::vector<std::vector<int>> percents;  // per file
};

TEST(DropProgress, CancelStopsAfterTheCurrentFileAndTheSummarySaysSo) {
    testsupport::TempDir dir;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) SaveBlockPicture(dir.file(name), pf24bit, 64, 400);
    const std::vector<std::string> names = {dir.file("a.bmp"), dir.file("b.bmp"), dir.file("c.bmp")};
    const struct {
        size_t cancelAt;
        int format;
        size_t written;
        Box summary;
    } cases[] = {
        {SIZE_MAX, 0, 3, kAllDoneBox}, {SIZE_MAX, 1, 3, kAllDoneBox}, {1, 0, 1, kSomeFailedBox},
        {2, 1, 2, kSomeFailedBox},     {3, 0, 3, kAllDoneBox},  // cancelled during the last file: all done
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("cancel at " + std::to_string(c.cancelAt) + ", format " + std::to_string(c.format));
        for (const char* out : {"a.jpg", "b.jpg", "c.jpg", "a.png", "b.png", "c.png"}) fs::remove(dir.file(out));
        Settings settings;
        InitSettings(settings);
        settings.SaveFormat = c.format;
        FakeProgress progress;
        progress.cancelAt = c.cancelAt;
        RecordingBoxes boxes;
        boxes.onShow = [&](const Box&) { progress.events.push_back("box"); };
        TPicture work;
        EXPECT_EQ(ProcessDrop(work, names, settings, boxes, &progress), c.summary == kAllDoneBox);
        EXPECT_EQ(boxes.boxes, std::vector<Box>{c.summary});
        std::vector<std::string> expected;
        for (size_t i = 0; i < c.written; ++i) {
            expected.push_back("start " + std::to_string(i) + "/3 " + "abc"[i] + ".bmp");
            expected.push_back("done");
        }
        expected.push_back("finished");
        expected.push_back("box");  // the window is gone before the summary shows
        EXPECT_EQ(progress.events, expected);
        const char* ext = c.format == 0 ? ".jpg" : ".png";
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(fs::exists(dir.file(std::string(1, "abc"[i]) + ext)), i < c.written) << i;
        // Each file's encoder reports its way through the picture, never backwards.
        for (const auto& p : progress.percents) {
            ASSERT_GE(p.size(), 3u);
            EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
            EXPECT_GE(p.back(), 90);
            EXPECT_LE(p.back(), 100);
        }
    }
}

TEST(DropProgress, WindowAppearsOnlyForLongDropsAndTakesCancel) {
    TQtDropProgress quick(nullptr);
    quick.FileStarted(0, 2, "/x/a.bmp");
    quick.FileProgress(50);
    EXPECT_FALSE(quick.Dialog()->isVisible());  // a short drop shows nothing but its boxes

    TQtDropProgress slow(nullptr, 0);
    slow.FileStarted(1, 3, "/some/folder/pic.bmp");
    ASSERT_TRUE(slow.Dialog()->isVisible());
    EXPECT_TRUE(slow.Dialog()->labelText().contains(QStringLiteral("2 / 3")));
    EXPECT_TRUE(slow.Dialog()->labelText().contains(QStringLiteral("pic.bmp")));
    slow.FileProgress(40);
    EXPECT_EQ(slow.Dialog()->value(), 140);
    EXPECT_EQ(slow.Dialog()->maximum(), 300);
    EXPECT_FALSE(slow.Cancelled());
    slow.Dialog()->cancel();
    EXPECT_TRUE(slow.Cancelled());
    slow.Finished();
    EXPECT_FALSE(slow.Dialog()->isVisible());
}

// A box left open is not work: four quick files behind a slow reader of boxes show no
// progress window, a slow file does; and a box shown while the window is up stands in front
// of it, the window in front of the main window.
TEST(DropProgress, OnlyTheWorkIsTimedAndBoxesStandInFront) {
    QWidget mainWindow;
    mainWindow.show();
    TQtDropProgress progress(&mainWindow, 100);
    for (size_t i = 0; i < 4; ++i) {
        progress.FileStarted(i, 5, "/x/quick.bmp");
        progress.FileFinished();
        QTest::qWait(40);  // the user reads the file's box
        EXPECT_FALSE(progress.Cancelled());
    }
    progress.FileStarted(4, 5, "/x/slow.bmp");
    EXPECT_FALSE(progress.Dialog()->isVisible()) << "the boxes' time was counted as work";
    QTest::qWait(120);
    progress.FileProgress(50);
    ASSERT_TRUE(progress.Dialog()->isVisible());

    QWidget* owner = nullptr;
    bool inFront = false;
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            owner = box->parentWidget();
            inFront = box->isVisible() && progress.Dialog()->isVisible();
            box->accept();
        }
    });
    TQtMessageBoxes(&mainWindow).Show("text", "caption", "detail");
    EXPECT_EQ(owner, progress.Dialog());
    EXPECT_TRUE(inFront);
    progress.Finished();
}

}  // namespace
