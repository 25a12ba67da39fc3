// The main window: a small fixed drop target with its artwork, menus and the drop handler.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>

#include "MessageBoxes.h"
#include "Picture.h"
#include "Pipeline.h"
#include "setting_common.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 194;
    static constexpr int kClientHeight = 123;
    static constexpr int kInitialLeft = 192;
    static constexpr int kInitialTop = 107;

    // boxes: where message boxes go; nullptr shows them on screen.
    explicit TForm1(QWidget* parent = nullptr, TMessageBoxes* boxes = nullptr);
    ~TForm1() override;

    // Components under their designer names.
    QLabel* Image1 = nullptr;  // the artwork, the visible drop surface
    QLabel* Image2 = nullptr;  // never shown; stands for the work picture below
    QMenuBar* MainMenu1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* Exit2 = nullptr;
    QMenu* ool1 = nullptr;
    QAction* S1 = nullptr;
    QAction* Advanced1 = nullptr;  // the photo options; not part of the designed menus
    QMenu* Help1 = nullptr;
    QAction* About2 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Setting = nullptr;
    QAction* N1 = nullptr;
    QAction* About1 = nullptr;
    QAction* N2 = nullptr;
    QAction* Exit1 = nullptr;

    // The live settings; the dialogs take copies.
    ::Settings Settings;
    // Set when a name of the current drop was refused or failed.
    bool ErrorOccurred = false;
    // Image2's picture: each dropped bitmap is loaded, stamped and saved from here.
    TPicture Image2Picture;

    // Processes the dropped names in the given order, with a box for each name refused or
    // failed and one summary box at the end.
    void DropFiles(const std::vector<std::string>& paths);
    // Makes the progress window of a drop; empty for none. On screen it is a TQtDropProgress,
    // which appears only for a drop that takes longer than about a second.
    std::function<std::unique_ptr<TDropProgress>()> MakeDropProgress;

public slots:
    void Exit1Click();
    void SettingClick();
    void AdvancedClick();
    void About1Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateComponents();
    void FormCreate();
    void FormClose();

    // The settings file: read at the end of FormCreate, written by FormClose. A failure to
    // write raises, and the window then stays open.
    void LoadSettingsFile();
    void SaveSettingsFile();

    // Runs a command; an exception that escapes it is shown and the program goes on.
    // Returns false when the command raised.
    template <class F>
    bool RunHandler(F&& handler) {
        try {
            handler();
            return true;
        } catch (...) {
            boxes_->ShowError(ExceptionText(std::current_exception()), kApplicationTitle);
            return false;
        }
    }

    std::unique_ptr<TQtMessageBoxes> ownBoxes_;
    TMessageBoxes* boxes_;
};

// The one main window of the program while it runs.
extern TForm1* Form1;

// The main window's artwork, 195 × 123 pixels, and the program's icon at a given size.
QImage MakeArtwork();
QImage MakeIconImage(int size);
