// The settings dialog: edits a copy of the settings with a live preview of the stamp.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QDialog>

#include "Graphics.h"
#include "StampStyle.h"
#include "setting_common.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class TImage;

class TSettingForm : public QDialog {
    Q_OBJECT
public:
    // Typing stops at this many characters; a longer text set by the program stays whole.
    static constexpr int kEdit1MaxLength = 50;
    // What the preview stamps: a sample of the form's own, not the edited text.
    static const char* const kSampleLine;

    explicit TSettingForm(QWidget* owner = nullptr);

    // The dialog's own copy: filled by the caller before showing, read back after OK.
    ::Settings Settings;

    // Handlers, named after their component and event.
    void FormShow();
    void PositionActive(bool Top, bool Left);
    void PreViewImageMouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void CheckBox1Click();
    void TrackBar1Change();
    void ComboBox1Change();
    void Edit1Change();

    // The colour and font dialogs; each returns nothing when the user cancels. Replaceable so
    // that the form can be driven without a person at the screen.
    std::function<std::optional<TColor>(TColor preset)> ExecuteColorDialog;
    std::function<std::optional<std::string>(const std::string& face)> ExecuteFontDialog;

    // What PreviewLabel currently shows (the designed label's font colour, colour, face and
    // transparency), and the stamp's size and margin on the sample picture.
    struct PreviewStyle {
        TColor FontColor = 0;
        TColor Color = clAqua;
        std::string FontName;
        bool Transparent = false;
        TStampScale Scale;
    };
    const PreviewStyle& PreviewLabelStyle() const { return preview_; }

    QGroupBox* GroupBox1;
    TImage* PreViewImage;
    QLabel* PreviewLabel;
    QLabel* Label2;
    QLabel* Label1;
    QPushButton* Button3;
    QLabel* Label3;
    QCheckBox* CheckBox1;
    QLabel* Label6;
    QPushButton* Button4;
    QLabel* Label5;
    QLabel* Label7;
    QPushButton* Button5;
    QLabel* Label4;
    QLabel* BashoLabel;
    QLabel* Label11;
    QComboBox* ComboBox1;
    QLabel* Label12;
    QLineEdit* Edit1;
    QLabel* Label8;
    QLabel* Label9;
    QLabel* Label10;
    QSlider* TrackBar1;
    QPushButton* Button1;
    QPushButton* Button2;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Draws the sample line with the current style and sizes the label to it.
    void RenderPreview();
    // Both colour buttons: the dialog starts at the colour shown; a choice updates the swatch,
    // the sample and the setting.
    void PickColour(QLabel& swatch, TColor& shown, TColor& setting);

    PreviewStyle preview_;
};
