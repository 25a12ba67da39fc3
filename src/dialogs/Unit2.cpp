#include "Unit2.h"

#include <algorithm>

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>

#include "DialogSupport.h"
#include "FontDialog.h"

const char* const TSettingForm::kSampleLine = "(c)2005 さんぷる";

namespace {

template <typename T>
T* Make(QWidget* parent, const char* name) {
    auto* widget = new T(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// A label that sizes itself to its caption, with its top-left corner at (x, y).
QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, const QString& caption) {
    auto* label = Make<QLabel>(parent, name);
    label->setText(caption);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& place, const QString& caption) {
    auto* button = Make<QPushButton>(parent, name);
    button->setText(caption);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

TSettingForm::TSettingForm(QWidget* owner) : QDialog(owner) {
    InitSettings(Settings);
    setObjectName(QStringLiteral("SettingForm"));
    setWindowTitle(QStringLiteral("Kirimark 設定"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(438, 347);
    setFont(FormFont());

    GroupBox1 = Make<QGroupBox>(this, "GroupBox1");
    GroupBox1->setTitle(QStringLiteral("プレビュー"));
    GroupBox1->setGeometry(0, 8, 297, 217);

    PreViewImage = Make<TImage>(GroupBox1, "PreViewImage");
    PreViewImage->setGeometry(8, 16, 281, 193);
    PreViewImage->setPixmap(QPixmap::fromImage(MakeSamplePicture()));
    PreViewImage->OnMouseUp = [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y) {
        PreViewImageMouseUp(button, shift, x, y);
    };

    // Created after the picture, so it lies in front of it and takes the clicks that land on it.
    PreviewLabel = Make<QLabel>(GroupBox1, "PreviewLabel");
    PreviewLabel->move(8, 16);
    PreviewLabel->setFont(FormFont(12, true));
    PreviewLabel->setAttribute(Qt::WA_NoMousePropagation);
    DrawFrameThroughTitle(*GroupBox1);

    Label2 = MakeLabel(this, "Label2", 304, 8, QStringLiteral("文字色"));
    Label1 = Make<QLabel>(this, "Label1");
    Label1->setGeometry(312, 24, 49, 17);
    Button3 = MakeButton(this, "Button3", {368, 16, 57, 25}, QStringLiteral("設定"));

    Label3 = MakeLabel(this, "Label3", 304, 48, QStringLiteral("文字背景色"));
    CheckBox1 = Make<QCheckBox>(this, "CheckBox1");
    CheckBox1->setText(QStringLiteral("透明にする"));
    CheckBox1->setGeometry(304, 64, 81, 17);
    Label6 = Make<QLabel>(this, "Label6");
    Label6->setGeometry(312, 88, 49, 17);
    Label6->setFont(FormFont(21, true));
    Label6->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Button4 = MakeButton(this, "Button4", {368, 88, 57, 25}, QStringLiteral("設定"));

    Label5 = MakeLabel(this, "Label5", 304, 120, QStringLiteral("文字フォント"));
    Label7 = MakeLabel(this, "Label7", 312, 144, QStringLiteral("さんぷるぅ"));
    Button5 = MakeButton(this, "Button5", {368, 136, 57, 25}, QStringLiteral("設定"));

    Label4 = MakeLabel(this, "Label4", 304, 168, QStringLiteral("表示場所"));
    BashoLabel = MakeLabel(this, "BashoLabel", 344, 184, QStringLiteral("BashoLabel"));

    Label11 = MakeLabel(this, "Label11", 304, 208, QStringLiteral("保存形式"));
    ComboBox1 = Make<QComboBox>(this, "ComboBox1");
    ComboBox1->setEditable(false);
    ComboBox1->addItem(QStringLiteral("JPEG形式"));
    ComboBox1->addItem(QStringLiteral("PNG形式"));
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setGeometry(320, 224, 105, 20);

    Label12 = MakeLabel(this, "Label12", 0, 240, QStringLiteral("文字列"));
    Edit1 = Make<QLineEdit>(this, "Edit1");
    Edit1->setGeometry(40, 232, 257, 20);
    Edit1->setMaxLength(kEdit1MaxLength);

    Label8 = MakeLabel(this, "Label8", 168, 264, QStringLiteral("画像圧縮品質"));
    Label9 = MakeLabel(this, "Label9", 0, 264, QStringLiteral("低品質"));
    Label10 = MakeLabel(this, "Label10", 400, 264, QStringLiteral("高品質"));
    TrackBar1 = Make<QSlider>(this, "TrackBar1");
    TrackBar1->setOrientation(Qt::Horizontal);
    TrackBar1->setRange(1, 10);
    TrackBar1->setSingleStep(1);
    TrackBar1->setPageStep(1);
    TrackBar1->setTickInterval(1);
    TrackBar1->setTickPosition(QSlider::TicksAbove);
    TrackBar1->setValue(10);
    TrackBar1->setGeometry(0, 280, 433, 33);

    Button1 = MakeButton(this, "Button1", {280, 320, 75, 25}, QStringLiteral("OK"));
    Button2 = MakeButton(this, "Button2", {360, 320, 75, 25}, QStringLiteral("キャンセル"));
    Button1->setDefault(true);  // Return anywhere in the dialog means OK

    setTabOrder(Button1, Button2);
    setTabOrder(Button2, GroupBox1);
    setTabOrder(GroupBox1, Button3);
    setTabOrder(Button3, Button4);
    setTabOrder(Button4, Button5);
    setTabOrder(Button5, CheckBox1);
    setTabOrder(CheckBox1, TrackBar1);
    setTabOrder(TrackBar1, ComboBox1);
    setTabOrder(ComboBox1, Edit1);

    ExecuteColorDialog = [this](TColor preset) -> std::optional<TColor> {
        const QColor chosen = QColorDialog::getColor(ToQColor(preset), this, QStringLiteral("色の設定"));
        if (!chosen.isValid()) return std::nullopt;
        return ToTColor(chosen);
    };
    ExecuteFontDialog = [this](const std::string& face) { return TFontDialog::Execute(this, face); };

    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    connect(CheckBox1, &QCheckBox::toggled, this, [this] { CheckBox1Click(); });
    connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(); });
    connect(Edit1, &QLineEdit::textChanged, this, [this](const QString& text) {
        // Once a long stored text has been shortened, typing may not lengthen it again.
        Edit1->setMaxLength(std::max<int>(kEdit1MaxLength, static_cast<int>(text.size())));
        Edit1Change();
    });

    RenderPreview();
}

void TSettingForm::showEvent(QShowEvent* event) {
    FormShow();
    GrowToCaption(*CheckBox1);  // the style and font are final only now
    Button1->setFocus();
    QDialog::showEvent(event);
}

void TSettingForm::FormShow() {
    preview_.FontColor = Settings.WordColor;
    SetLabelColor(*Label1, ToQColor(Settings.WordColor));

    preview_.Color = Settings.BackColor;
    SetLabelColor(*Label6, ToQColor(Settings.BackColor));

    preview_.FontName = Settings.FontName;
    Label7->setFont(FaceFont(Settings.FontName));
    FitBeside(*Label7, *Button5);
    RenderPreview();

    CheckBox1->setChecked(Settings.BackTransparent);
    TrackBar1->setValue(Settings.ImageQuality);
    ComboBox1->setCurrentIndex(Settings.SaveFormat);

    // Raise the limit first: the limit is for typing, and a longer stored text must stay whole.
    const QString text = QString::fromStdString(Settings.CopyrightText);
    Edit1->setMaxLength(std::max<int>(kEdit1MaxLength, static_cast<int>(text.size())));
    Edit1->setText(text);

    // The check box only reports a change of state, so run it once more for the display.
    CheckBox1Click();
    PositionActive(Settings.PosTop, Settings.PosLeft);
}

void TSettingForm::PositionActive(bool Top, bool Left) {
    QString caption;
    int x, y;
    if (Left) {
        caption = QStringLiteral("左");
        x = PreViewImage->x() + preview_.Scale.Margin;
    } else {
        caption = QStringLiteral("右");
        x = PreViewImage->x() + PreViewImage->width() - PreviewLabel->width() - preview_.Scale.Margin;
    }
    if (Top) {
        caption += QStringLiteral("上");
        y = PreViewImage->y() + preview_.Scale.Margin;
    } else {
        caption += QStringLiteral("下");
        y = PreViewImage->y() + PreViewImage->height() - PreviewLabel->height() - preview_.Scale.Margin;
    }
    BashoLabel->setText(caption);
    BashoLabel->adjustSize();
    PreviewLabel->move(x, y);
}

void TSettingForm::PreViewImageMouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers, int X, int Y) {
    if (Button != Qt::LeftButton) return;
    Settings.PosLeft = X < PreViewImage->width() / 2;
    Settings.PosTop = Y < PreViewImage->height() / 2;
    PositionActive(Settings.PosTop, Settings.PosLeft);
}

void TSettingForm::PickColour(QLabel& swatch, TColor& shown, TColor& setting) {
    const std::optional<TColor> chosen = ExecuteColorDialog(shown);
    if (!chosen) return;
    SetLabelColor(swatch, ToQColor(*chosen));
    shown = *chosen;
    setting = *chosen;
    RenderPreview();
}

void TSettingForm::Button3Click() { PickColour(*Label1, preview_.FontColor, Settings.WordColor); }

void TSettingForm::Button4Click() { PickColour(*Label6, preview_.Color, Settings.BackColor); }

void TSettingForm::Button5Click() {
    const std::optional<std::string> face = ExecuteFontDialog(preview_.FontName);
    if (!face) return;
    Label7->setFont(FaceFont(*face));
    FitBeside(*Label7, *Button5);
    preview_.FontName = *face;
    Settings.FontName = *face;
    RenderPreview();
    PositionActive(Settings.PosTop, Settings.PosLeft);
}

void TSettingForm::CheckBox1Click() {
    if (CheckBox1->isChecked()) {
        Settings.BackTransparent = true;
        Label6->setText(QStringLiteral("透明"));
        SetLabelColor(*Label6, palette().color(QPalette::Button));
        Button4->setEnabled(false);
        preview_.Transparent = true;
    } else {
        Settings.BackTransparent = false;
        Label6->clear();
        SetLabelColor(*Label6, ToQColor(Settings.BackColor));
        Button4->setEnabled(true);
        preview_.Transparent = false;
    }
    RenderPreview();
}

void TSettingForm::TrackBar1Change() { Settings.ImageQuality = TrackBar1->value(); }

void TSettingForm::ComboBox1Change() { Settings.SaveFormat = ComboBox1->currentIndex(); }

void TSettingForm::Edit1Change() { Settings.CopyrightText = Edit1->text().toStdString(); }

void TSettingForm::RenderPreview() {
    QImage cell;
    try {
        // At the size the stamp has on a picture as large as the sample.
        preview_.Scale =
            StampScale(Settings.Photo.StampSize, preview_.FontName, PreViewImage->width(), PreViewImage->height());
        cell = RenderStampCell(kSampleLine, preview_.FontName, preview_.FontColor, preview_.Color, preview_.Transparent,
                               preview_.Scale);
    } catch (const std::exception&) {
        // Without a canvas to draw with, the sample stays empty rather than the dialog failing.
        cell = QImage();
    }
    PreviewLabel->setPixmap(QPixmap::fromImage(cell));
    PreviewLabel->resize(cell.size());
}
