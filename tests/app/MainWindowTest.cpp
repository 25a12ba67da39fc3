// The main window as a user meets it: its shape, menus and keys, Exit against the close box,
// and drops of files with the boxes they bring, in order.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "AppTestSupport.h"
#include "TestSupport.h"
#include "Unit1.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

// Exit asked for outside a running event loop (as a test may do) would end every nested loop
// at once until the application loop runs again; running it once clears that.
void ClearPendingQuit() {
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QApplication::exec();
}

// Runs action inside the application's event loop, which Exit ends; returns the loop's status
// (99 when nothing ended it within two seconds).
template <class F>
int InEventLoop(F action) {
    QTimer::singleShot(0, qApp, action);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(2000);
    return QApplication::exec();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        // A settings file of the test's own that leaves the window at its designed place.
        WriteFile(dir.file("kirimark.ini"), "[basic]\r\nPosition=0\r\n");
        ::setenv("KIRIMARK_SETTINGS_FILE", dir.file("kirimark.ini").c_str(), 1);
        ClearPendingQuit();
        form = std::make_unique<TForm1>(nullptr, &boxes);
        form->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        form.reset();
        ::unsetenv("KIRIMARK_SETTINGS_FILE");
    }

    std::string Bitmap(const std::string& name) {
        SaveBlockPicture(dir.file(name), pf24bit, 48, 32);
        return dir.file(name);
    }

    testsupport::TempDir dir;
    RecordingBoxes boxes;
    std::unique_ptr<TForm1> form;
};

// Counts the close events a window receives; FormClose runs only on one of these.
class CloseCounter : public QObject {
public:
    int closes = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Close) ++closes;
        return false;
    }
};

// Closes any modal dialog that comes up, from inside its own event loop.
void DismissModalDialogs(int* dismissed) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, dismissed] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
            ++*dismissed;
            timer->deleteLater();
        }
    });
    timer->start(10);
    QTimer::singleShot(3000, timer, [timer] { timer->deleteLater(); });
}

TEST_F(MainWindow, ShapeAndPlace) {
    EXPECT_EQ(form->windowTitle(), "Kirimark");
    EXPECT_EQ(form->centralWidget()->size(), QSize(194, 123));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "the window must not be resizable";
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->pos(), QPoint(192, 107));
    ASSERT_NE(form->Image1, nullptr);
    EXPECT_EQ(form->Image1->geometry(), QRect(0, 0, 195, 123));
    EXPECT_TRUE(form->Image1->isVisible());
    EXPECT_EQ(form->Image2->geometry(), QRect(24, 8, 105, 105));
    EXPECT_FALSE(form->Image2->isVisible());
    const QImage art = MakeArtwork();
    EXPECT_EQ(art.size(), QSize(195, 123));
    EXPECT_EQ(art.format(), QImage::Format_RGB888);
    EXPECT_TRUE(form->acceptDrops());
    EXPECT_EQ(form->Settings.VersionText, kProgramVersion);
    // All three menus fit on the menu bar; none hides behind an overflow button.
    for (QAction* top : form->MainMenu1->actions())
        EXPECT_LE(form->MainMenu1->actionGeometry(top).right(), form->MainMenu1->width()) << top->text().toStdString();
}

TEST_F(MainWindow, MenusCaptionsAndShortcuts) {
    struct Item {
        const char* name;
        const char* caption;
        const char* key;
    } items[] = {
        {"Exit2", "終了(&X)", "Ctrl+Q"},
        {"S1", "プログラム設定(&S)...", "Ctrl+S"},
        {"Advanced1", "詳細設定(&D)...", ""},
        {"About2", "バージョン情報(&A)...", "Ctrl+A"},
        {"Setting", "プログラム設定(&S)...", "Ctrl+S"},
        {"About1", "バージョン情報(&A)...", "Ctrl+A"},
        {"Exit1", "終了(&X)", "Ctrl+Q"},
    };
    for (const Item& item : items) {
        SCOPED_TRACE(item.name);
        auto* action = form->findChild<QAction*>(item.name);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->text().toStdString(), item.caption);
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(item.key)));
    }
    auto names = [](const QList<QAction*>& actions) {
        std::vector<std::string> out;
        for (QAction* a : actions) out.push_back(a->objectName().toStdString());
        return out;
    };
    EXPECT_EQ(names(form->PopupMenu1->actions()), (std::vector<std::string>{"Setting", "N1", "About1", "N2", "Exit1"}));
    EXPECT_TRUE(form->N1->isSeparator());
    EXPECT_TRUE(form->N2->isSeparator());
    std::vector<std::string> titles;
    for (QAction* top : form->MainMenu1->actions()) titles.push_back(top->text().toStdString());
    EXPECT_EQ(titles, (std::vector<std::string>{"ファイル(&F)", "ツール(&T)", "ヘルプ(&H)"}));
    EXPECT_EQ(names(form->File1->actions()), std::vector<std::string>{"Exit2"});
    EXPECT_EQ(names(form->ool1->actions()), (std::vector<std::string>{"S1", "Advanced1"}));
    EXPECT_EQ(names(form->Help1->actions()), std::vector<std::string>{"About2"});
}

// Each key runs its command exactly once, although both menus carry it.
TEST_F(MainWindow, KeysRunTheirCommandOnce) {
    struct Key {
        Qt::Key key;
        QAction* a;
        QAction* b;
        bool opensDialog;
    } keys[] = {
        {Qt::Key_S, form->Setting, form->S1, true},
        {Qt::Key_A, form->About1, form->About2, true},
        {Qt::Key_Q, form->Exit1, form->Exit2, false},
    };
    for (const Key& k : keys) {
        SCOPED_TRACE(k.a->objectName().toStdString());
        // Keys go to the active window; a dialog just closed may have taken that role.
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        QSignalSpy spyA(k.a, &QAction::triggered), spyB(k.b, &QAction::triggered);
        int dismissed = 0;
        if (k.opensDialog) {
            DismissModalDialogs(&dismissed);
            QTest::keyClick(form.get(), k.key, Qt::ControlModifier);
            EXPECT_EQ(dismissed, 1);
        } else {
            EXPECT_EQ(InEventLoop([&] { QTest::keyClick(form.get(), k.key, Qt::ControlModifier); }), 0);
        }
        EXPECT_EQ(spyA.count() + spyB.count(), 1);
    }
}

TEST_F(MainWindow, ExitEndsTheLoopWithoutClosingTheWindow) {
    CloseCounter counter;
    form->installEventFilter(&counter);
    const std::string before = ReadFile(dir.file("kirimark.ini"));
    for (QAction* exit : {form->Exit2, form->Exit1}) {
        SCOPED_TRACE(exit->objectName().toStdString());
        EXPECT_EQ(InEventLoop([exit] { exit->trigger(); }), 0);
        EXPECT_EQ(counter.closes, 0);
        EXPECT_TRUE(form->isVisible());
    }
    EXPECT_EQ(ReadFile(dir.file("kirimark.ini")), before);
    // The close box, by contrast, goes through FormClose, which writes the settings.
    EXPECT_TRUE(form->close());
    EXPECT_EQ(counter.closes, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(ReadFile(dir.file("kirimark.ini")), before);
}

// A bitmap, a text file, another bitmap: the first output is there before the refusal box,
// the second only after it, and the summary reports the refusal.
TEST_F(MainWindow, DropOfBitmapTextBitmap) {
    const std::string a = Bitmap("a.bmp"), b = Bitmap("b.bmp");
    WriteFile(dir.file("notes.txt"), "not a picture");
    std::vector<std::pair<bool, bool>> outputsAtBox;
    boxes.onShow = [&](const Box&) {
        outputsAtBox.emplace_back(fs::exists(dir.file("a.jpg")), fs::exists(dir.file("b.jpg")));
    };
    form->DropFiles({a, dir.file("notes.txt"), b});
    EXPECT_EQ(boxes.boxes, (std::vector<Box>{kRefusedBox, kSomeFailedBox}));
    EXPECT_EQ(outputsAtBox, (std::vector<std::pair<bool, bool>>{{true, false}, {true, true}}));
    EXPECT_TRUE(form->ErrorOccurred);
    EXPECT_TRUE(DecodeJpegFile(dir.file("a.jpg")).ok);
    EXPECT_TRUE(DecodeJpegFile(dir.file("b.jpg")).ok);
    EXPECT_FALSE(fs::exists(dir.file("notes.jpg")));
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(MainWindow, DropsAndTheirBoxes) {
    const std::string ok = Bitmap("ok.bmp");
    const std::string upper = Bitmap("UP.BMP");
    fs::create_directory(dir.file("folder.bmp"));
    WriteFile(dir.file("empty.bmp"), "");
    struct Case {
        const char* name;
        std::vector<std::string> paths;
        std::vector<Box> expected;
    } cases[] = {
        {"one bitmap", {ok}, {kAllDoneBox}},
        {"upper-case extension", {upper}, {kRefusedBox, kSomeFailedBox}},
        {"folder named .bmp", {dir.file("folder.bmp")}, {kFailedBox, kSomeFailedBox}},
        {"broken bitmap", {dir.file("empty.bmp")}, {kFailedBox, kSomeFailedBox}},
        {"missing file", {dir.file("gone.bmp")}, {kFailedBox, kSomeFailedBox}},
        {"nothing accepted", {dir.file("a.txt"), dir.path().string()}, {kRefusedBox, kRefusedBox, kSomeFailedBox}},
        {"failure then success", {dir.file("empty.bmp"), ok}, {kFailedBox, kSomeFailedBox}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.boxes.clear();
        form->DropFiles(c.paths);
        EXPECT_EQ(boxes.boxes, c.expected);
        EXPECT_EQ(form->ErrorOccurred, c.expected.size() > 1);
    }
    EXPECT_FALSE(fs::exists(dir.file("UP.jpg")));
    EXPECT_FALSE(fs::exists(dir.file("folder.jpg")));
    EXPECT_FALSE(fs::exists(dir.file("empty.jpg")));
}

// What a file manager sends: a URI list. Only local files are taken, in the order given.
TEST_F(MainWindow, FileManagerDrop) {
    const std::string spaced = Bitmap("with space.bmp");
    const std::string japanese = Bitmap("写真.bmp");
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(QString::fromStdString(spaced)), QUrl("https://example.org/x.bmp"),
                   QUrl::fromLocalFile(QString::fromStdString(japanese))});
    const QPoint at(40, 40);
    QDragEnterEvent enter(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(form.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    drop.ignore();
    QApplication::sendEvent(form.get(), &drop);
    EXPECT_TRUE(drop.isAccepted());
    // The drop is acknowledged first; its work and boxes follow from the event loop.
    EXPECT_TRUE(boxes.boxes.empty());
    QApplication::processEvents();
    EXPECT_EQ(boxes.boxes, std::vector<Box>{kAllDoneBox});
    EXPECT_TRUE(fs::exists(dir.file("with space.jpg")));
    EXPECT_TRUE(fs::exists(dir.file("写真.jpg")));
    delete mime;

    QMimeData text;
    text.setText("just words");
    QDragEnterEvent textEnter(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    textEnter.ignore();
    QApplication::sendEvent(form.get(), &textEnter);
    EXPECT_FALSE(textEnter.isAccepted());
}

// A source told "move" deletes the user's originals: whatever it proposes (the user's Shift or
// Alt key included), the window takes a copy, from the first hover to the drop, and turns away
// a source that offers no copy.
TEST_F(MainWindow, DropsAreAlwaysCopies) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(Bitmap("a.bmp")))});
    const QPoint at(40, 40);
    const struct {
        Qt::DropActions offered;
        Qt::KeyboardModifiers keys;
        bool taken;
    } cases[] = {
        {Qt::CopyAction | Qt::MoveAction, Qt::ShiftModifier, true},  // proposes a move
        {Qt::CopyAction | Qt::LinkAction, Qt::AltModifier, true},    // proposes a link
        {Qt::DropActions(Qt::MoveAction), Qt::NoModifier, false},
        {Qt::DropActions(Qt::LinkAction), Qt::NoModifier, false},
    };
    size_t taken = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.offered));
        QDragEnterEvent enter(at, c.offered, &mime, Qt::LeftButton, c.keys);
        QDragMoveEvent move(at, c.offered, &mime, Qt::LeftButton, c.keys);
        QDropEvent drop(QPointF(at), c.offered, &mime, Qt::LeftButton, c.keys);
        for (QDropEvent* e : {static_cast<QDropEvent*>(&enter), static_cast<QDropEvent*>(&move), &drop}) {
            e->ignore();
            QApplication::sendEvent(form.get(), e);
            EXPECT_EQ(e->isAccepted(), c.taken);
            if (c.taken) {
                EXPECT_EQ(e->dropAction(), Qt::CopyAction);
            }
        }
        QApplication::processEvents();
        taken += c.taken;
    }
    EXPECT_EQ(boxes.boxes, std::vector<Box>(taken, kAllDoneBox));
    EXPECT_TRUE(fs::exists(dir.file("a.bmp")));
}

}  // namespace
