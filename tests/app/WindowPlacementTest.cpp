// Where the main window opens: positions are the frame's corner, a close and the next start
// put it back exactly, and a stored place mostly off the screens is brought back onto one.
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include <QApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "TestSupport.h"
#include "Unit1.h"
#include "WindowPlacement.h"

namespace {

TEST(OnScreenFramePosition, KeepsWhatIsMostlyVisibleAndBringsBackTheRest) {
    const QSize frame(200, 150);
    const QRect small(0, 0, 1280, 1024);
    // Primary first; the second monitor stands to the right of it, less tall.
    const std::vector<QRect> two = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
    struct Case {
        const char* what;
        QPoint stored;
        std::vector<QRect> screens;
        QPoint expected;
    } cases[] = {
        {"first start", {0, 0}, {small}, {0, 0}},
        {"inside", {500, 400}, {small}, {500, 400}},
        {"half off the left edge stays", {-100, 10}, {small}, {-100, 10}},
        {"more than half off the left edge", {-101, 10}, {small}, {0, 10}},
        {"past the right edge", {3000, 0}, {small}, {1080, 0}},
        {"far above", {10, -2000000000}, {small}, {10, 0}},
        {"the int limits", {INT_MAX, INT_MIN}, {small}, {1080, 0}},
        {"mostly off the bottom right corner", {1200, 950}, {small}, {1080, 874}},
        {"on the second monitor", {2500, 300}, two, {2500, 300}},
        {"across both monitors", {1820, 300}, two, {1820, 300}},
        {"off the second monitor's right edge", {3150, 500}, two, {3000, 500}},
        {"below the shorter second monitor", {2500, 1000}, two, {2500, 874}},
        {"on no monitor: the primary one", {9000, 9000}, two, {1720, 930}},
        {"a monitor unplugged", {2500, 300}, {two[0]}, {1720, 300}},
        {"screen not at the origin", {0, 0}, {QRect(0, 30, 1280, 994)}, {0, 0}},
        {"frame taller than the screen", {0, -500}, {QRect(0, 0, 300, 100)}, {0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OnScreenFramePosition(c.stored, frame, c.screens), c.expected) << c.what;
    }
    EXPECT_EQ(OnScreenFramePosition({5000, 5000}, frame, {}), QPoint(5000, 5000)) << "no screens known";
}

class WindowPlacement : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir.file("kirimark.ini");
        ::setenv("KIRIMARK_SETTINGS_FILE", path_.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("KIRIMARK_SETTINGS_FILE"); }

    std::unique_ptr<TForm1> Open() {
        auto form = std::make_unique<TForm1>(nullptr, &boxes);
        form->show();
        // Under a real window manager the frame arrives a little after the window shows.
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        static_cast<void>(QTest::qWaitFor([&] { return form->frameGeometry() != form->geometry(); }, 1000));
        return form;
    }
    // The stored corner as the file says it.
    QPoint Stored() const {
        const std::string ini = apptest::ReadFile(path_);
        const size_t at = ini.find("[window]\r\ntop=");
        if (at == std::string::npos) return {INT_MIN, INT_MIN};
        const int top = std::atoi(ini.c_str() + at + 14);
        const size_t left = ini.find("left=", at);
        return {std::atoi(ini.c_str() + left + 5), top};
    }

    testsupport::TempDir dir;
    apptest::RecordingBoxes boxes;
    std::string path_;
};

TEST_F(WindowPlacement, PositionsAreTheFramesCorner) {
    auto form = Open();  // no file: (0, 0) restored
    const QRect frame = form->frameGeometry();
    EXPECT_EQ(frame.topLeft(), QPoint(0, 0));
    if (frame.size() == form->size()) GTEST_SKIP() << "this platform draws no frame around windows";
    EXPECT_GT(form->geometry().top(), 0) << "the title bar must lie on the screen, above the inside";
    form->close();

    apptest::WriteFile(path_, "[basic]\r\nPosition=0\r\n");
    auto designed = Open();
    EXPECT_EQ(designed->frameGeometry().topLeft(), QPoint(TForm1::kInitialLeft, TForm1::kInitialTop));
    designed->hide();
}

TEST_F(WindowPlacement, CloseAndRestartPutItBackExactly) {
    apptest::WriteFile(path_, "[window]\r\ntop=70\r\nleft=60\r\n");
    QPoint before;
    {
        auto form = Open();
        before = form->frameGeometry().topLeft();
        EXPECT_EQ(before, QPoint(60, 70));
        ASSERT_TRUE(form->close());
    }
    EXPECT_EQ(Stored(), before);
    for (int run = 0; run < 2; ++run) {
        auto form = Open();
        EXPECT_EQ(form->frameGeometry().topLeft(), before) << "after restart " << run + 1;
        form->move(form->pos() + QPoint(13, 17));  // as the user drags it
        before = form->frameGeometry().topLeft();
        ASSERT_TRUE(form->close());
        EXPECT_EQ(Stored(), before);
    }
}

TEST_F(WindowPlacement, StoredPlaceOffTheScreenOpensOnIt) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (const char* window : {"top=0\r\nleft=3000", "top=-2000000000\r\nleft=0", "top=99999\r\nleft=-99999"}) {
        SCOPED_TRACE(window);
        apptest::WriteFile(path_, std::string("[window]\r\n") + window + "\r\n");
        auto form = Open();
        EXPECT_TRUE(screen.contains(form->frameGeometry()))
            << "frame at " << form->frameGeometry().x() << "," << form->frameGeometry().y();
        ASSERT_TRUE(form->close());
        EXPECT_EQ(Stored(), form->frameGeometry().topLeft()) << "the place it opened at is saved";
    }
}

}  // namespace
