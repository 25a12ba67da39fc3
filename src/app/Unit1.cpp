#include "Unit1.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFont>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>
#include <QStyle>
#include <QTimer>
#include <QUrl>

#include <cstdio>

#include "AdvancedDialog.h"
#include "DropProgress.h"
#include "SettingsFile.h"
#include "Unit2.h"
#include "Version.h"
#include "WindowPlacement.h"

TForm1* Form1 = nullptr;

namespace {

std::vector<std::string> LocalFileNames(const QMimeData* mime) {
    std::vector<std::string> names;
    if (!mime || !mime->hasUrls()) return names;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) names.push_back(url.toLocalFile().toStdString());
    return names;
}

// A red seal with a white ring and the first letter, as stamped in ink.
void DrawSeal(QPainter& p, const QRectF& r) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(196, 38, 44));
    p.drawRoundedRect(r, r.width() * 0.18, r.height() * 0.18);
    QPen ring(QColor(255, 244, 236));
    ring.setWidthF(std::max(1.0, r.width() * 0.05));
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    const qreal inset = r.width() * 0.12;
    p.drawRoundedRect(r.adjusted(inset, inset, -inset, -inset), r.width() * 0.1, r.height() * 0.1);
    QFont f(QStringLiteral("Serif"));
    f.setBold(true);
    f.setPixelSize(std::max(6, static_cast<int>(r.height() * 0.55)));
    p.setFont(f);
    p.drawText(r, Qt::AlignCenter, QStringLiteral("K"));
    p.restore();
}

}  // namespace

QImage MakeArtwork() {
    QImage image(195, 123, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 123);
    sky.setColorAt(0.0, QColor(252, 241, 222));
    sky.setColorAt(1.0, QColor(236, 206, 178));
    p.fillRect(image.rect(), sky);
    // A sheet of paper, slightly turned, waiting for its stamp.
    p.save();
    p.translate(58, 62);
    p.rotate(-6);
    p.setPen(QPen(QColor(170, 150, 130), 1));
    p.setBrush(QColor(255, 253, 248));
    p.drawRect(QRectF(-40, -44, 80, 88));
    p.setPen(QPen(QColor(214, 204, 192), 1));
    for (int i = 0; i < 6; ++i) p.drawLine(QPointF(-30, -30 + i * 11), QPointF(30, -30 + i * 11));
    DrawSeal(p, QRectF(8, 14, 26, 26));
    p.restore();
    QFont title(QStringLiteral("Sans"));
    title.setBold(true);
    title.setPixelSize(17);
    p.setFont(title);
    p.setPen(QColor(120, 48, 40));
    p.drawText(QRectF(104, 30, 90, 24), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kirimark"));
    QFont hint(QStringLiteral("Sans"));
    hint.setPixelSize(10);
    p.setFont(hint);
    p.setPen(QColor(110, 90, 80));
    p.drawText(QRectF(104, 58, 88, 40), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("BMP をここに\nドロップ"));
    p.end();
    return image;
}

QImage MakeIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    DrawSeal(p, QRectF(size * 0.06, size * 0.06, size * 0.88, size * 0.88));
    p.end();
    return image;
}

TForm1::TForm1(QWidget* parent, TMessageBoxes* boxes) : QMainWindow(parent) {
    if (!boxes) {
        ownBoxes_ = std::make_unique<TQtMessageBoxes>(this);
        boxes = ownBoxes_.get();
        MakeDropProgress = [this] { return std::make_unique<TQtDropProgress>(this); };
    }
    boxes_ = boxes;
    CreateComponents();
    // The window opens even when its creation handler fails.
    RunHandler([this] { FormCreate(); });
}

TForm1::~TForm1() = default;

void TForm1::CreateComponents() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kirimark"));
    setWindowIcon(QIcon(QPixmap::fromImage(MakeIconImage(48))));
    // Close box only: neither minimise nor maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    QFont font(QStringLiteral("MS UI Gothic"));
    font.setPixelSize(12);
    setFont(font);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    const QPixmap artwork = QPixmap::fromImage(MakeArtwork());
    Image1->setPixmap(artwork);
    Image1->setGeometry(0, 0, artwork.width(), artwork.height());

    Image2 = new QLabel(client);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(24, 8, 105, 105);
    Image2->setVisible(false);

    // Every item keeps its shortcut in both menus. Only the menu bar's items are live keys:
    // a context menu that belongs to no menu bar never takes shortcuts, so each key runs its
    // command exactly once.
    auto makeAction = [this](const char* name, const QString& caption, const QKeySequence& key) {
        auto* action = new QAction(caption, this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(key);
        action->setShortcutVisibleInContextMenu(true);
        return action;
    };
    auto makeSeparator = [this](const char* name) {
        auto* action = new QAction(this);
        action->setObjectName(QString::fromLatin1(name));
        action->setSeparator(true);
        return action;
    };
    const QString settingCaption = QStringLiteral("プログラム設定(&S)...");
    const QString aboutCaption = QStringLiteral("バージョン情報(&A)...");
    const QString exitCaption = QStringLiteral("終了(&X)");
    const QKeySequence ctrlS(Qt::CTRL | Qt::Key_S), ctrlA(Qt::CTRL | Qt::Key_A), ctrlQ(Qt::CTRL | Qt::Key_Q);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Setting = makeAction("Setting", settingCaption, ctrlS);
    N1 = makeSeparator("N1");
    About1 = makeAction("About1", aboutCaption, ctrlA);
    N2 = makeSeparator("N2");
    Exit1 = makeAction("Exit1", exitCaption, ctrlQ);
    PopupMenu1->addActions({Setting, N1, About1, N2, Exit1});

    MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    // Narrow item padding, so that all three menus fit the narrow window on one line.
    MainMenu1->setStyleSheet(QStringLiteral("QMenuBar { spacing: 0px; } QMenuBar::item { padding: 2px 3px; }"));
    File1 = MainMenu1->addMenu(QStringLiteral("ファイル(&F)"));
    File1->setObjectName(QStringLiteral("File1"));
    Exit2 = makeAction("Exit2", exitCaption, ctrlQ);
    File1->addAction(Exit2);
    ool1 = MainMenu1->addMenu(QStringLiteral("ツール(&T)"));
    ool1->setObjectName(QStringLiteral("ool1"));
    S1 = makeAction("S1", settingCaption, ctrlS);
    ool1->addAction(S1);
    Advanced1 = makeAction("Advanced1", QStringLiteral("詳細設定(&D)..."), QKeySequence());
    ool1->addAction(Advanced1);
    Help1 = MainMenu1->addMenu(QStringLiteral("ヘルプ(&H)"));
    Help1->setObjectName(QStringLiteral("Help1"));
    About2 = makeAction("About2", aboutCaption, ctrlA);
    Help1->addAction(About2);

    for (QAction* a : {Exit1, Exit2}) connect(a, &QAction::triggered, this, &TForm1::Exit1Click);
    for (QAction* a : {Setting, S1}) connect(a, &QAction::triggered, this, &TForm1::SettingClick);
    for (QAction* a : {About1, About2}) connect(a, &QAction::triggered, this, &TForm1::About1Click);
    connect(Advanced1, &QAction::triggered, this, &TForm1::AdvancedClick);

    // Fixed size: the client area plus the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    // Settle the size now: a resize between the native window's creation and its mapping
    // makes the toolkit place the inside instead of the frame at the position given.
    ensurePolished();
    layout()->activate();
    // Positions are the frame's top-left corner; a move before the first show means that.
    move(kInitialLeft, kInitialTop);
}

void TForm1::FormCreate() {
    setAcceptDrops(true);
    InitSettings(Settings);
    Settings.VersionText = GetFileVersionText(QCoreApplication::applicationFilePath().toStdString());
    LoadSettingsFile();
}

void TForm1::FormClose() { SaveSettingsFile(); }

void TForm1::LoadSettingsFile() {
    const std::string path = ProgramSettingsFilePath();
    TStoredTextProblem problem = TStoredTextProblem::None;
    if (const auto stored = ReadSettingsFile(path, Settings, &problem)) {
        // A window left mostly off the screens (a monitor unplugged, a hand-edited file)
        // would open out of reach and be saved there again.
        // The window manager's frame is not known before the first show; the style's idea of
        // a frame stands in for it.
        const int border = style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, this);
        const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        const QSize frame = size() + QSize(2 * border, title + border);
        move(OnScreenFramePosition(QPoint(stored->Left, stored->Top), frame, ScreenAreas()));
    }
    if (problem != TStoredTextProblem::None)
        std::fprintf(stderr, "kirimark: %s\n", StoredTextProblemText(problem, path).c_str());
    if (problem == TStoredTextProblem::Unreadable) boxes_->ShowError(StoredTextUnreadableBoxText(), msg::kErrorCaption);
}

// Raises when the file cannot be written; closeEvent then keeps the window open.
void TForm1::SaveSettingsFile() { WriteSettingsFile(ProgramSettingsFilePath(), Settings, {y(), x()}); }

void TForm1::closeEvent(QCloseEvent* event) {
    if (RunHandler([this] { FormClose(); }))
        event->accept();
    else
        event->ignore();
}

void TForm1::Exit1Click() {
    // Ends the event loop without closing the window, so FormClose does not run and the
    // settings are not written.
    QCoreApplication::exit(0);
}

// The dialog edits a copy of the settings; only OK hands the copy back.
void TForm1::SettingClick() {
    TSettingForm form(this);
    form.Settings = Settings;
    if (form.exec() == QDialog::Accepted) Settings = form.Settings;
}

void TForm1::AdvancedClick() {
    TAdvancedForm form(this);
    form.Settings = Settings.Photo;
    form.Look = Settings;
    if (form.exec() == QDialog::Accepted) Settings.Photo = form.Settings;
}

void TForm1::About1Click() {
    TVersionDialog dialog(this);
    dialog.Settings = Settings;
    dialog.exec();
}

void TForm1::contextMenuEvent(QContextMenuEvent* event) { PopupMenu1->exec(event->globalPos()); }

namespace {

// Every drop is taken as a copy, whatever the source proposes: a source told "move" deletes
// the user's originals once the drop is done. A source that offers no copy at all is turned
// away for the same reason.
bool TakeAsCopy(QDropEvent* event) {
    if (!(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!LocalFileNames(event->mimeData()).empty()) TakeAsCopy(event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
    if (!LocalFileNames(event->mimeData()).empty()) TakeAsCopy(event);
}

void TForm1::dropEvent(QDropEvent* event) {
    std::vector<std::string> names = LocalFileNames(event->mimeData());
    if (names.empty() || !TakeAsCopy(event)) return;
    // The file manager waits for the drop to be acknowledged; the boxes of the drop then run
    // right after, in the window's own event loop.
    QTimer::singleShot(0, this, [this, names = std::move(names)] { RunHandler([&] { DropFiles(names); }); });
}

void TForm1::DropFiles(const std::vector<std::string>& paths) {
    const std::unique_ptr<TDropProgress> progress = MakeDropProgress ? MakeDropProgress() : nullptr;
    ErrorOccurred = !ProcessDrop(Image2Picture, paths, Settings, *boxes_, progress.get());
    Image2->resize(Image2Picture.Width(), Image2Picture.Height());
}
