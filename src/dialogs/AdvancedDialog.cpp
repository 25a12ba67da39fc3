#include "AdvancedDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <exception>

#include "DialogSupport.h"
#include "Graphics.h"
#include "StampStyle.h"

namespace {

template <class T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

}  // namespace

TAdvancedForm::TAdvancedForm(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("AdvancedForm"));
    setWindowTitle(QStringLiteral("詳細設定"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(FormFont());

    auto* inputGroup = Named(new QGroupBox(QStringLiteral("読み込むファイル"), this), "InputGroup");
    AcceptPhotosBox =
        Named(new QCheckBox(QStringLiteral("写真も受け付ける（JPEG・PNG・TIFF・WebP・HEIF）(&P)")), "AcceptPhotosBox");
    auto* inputNote =
        Named(new QLabel(QStringLiteral("オフのときはビットマップ（.bmp）だけを受け付けます。")), "InputNote");
    auto* inputLayout = new QVBoxLayout(inputGroup);
    inputLayout->addWidget(AcceptPhotosBox);
    inputLayout->addWidget(inputNote);

    auto* outputGroup = Named(new QGroupBox(QStringLiteral("保存先"), this), "OutputGroup");
    BesideSourceButton =
        Named(new QRadioButton(QStringLiteral("元のファイルと同じフォルダ（写真はその中の「stamped」フォルダ）(&S)")),
              "BesideSourceButton");
    FolderButton = Named(new QRadioButton(QStringLiteral("次のフォルダ(&O):")), "FolderButton");
    auto* choice = new QButtonGroup(this);
    choice->addButton(BesideSourceButton);
    choice->addButton(FolderButton);
    FolderEdit = Named(new QLineEdit, "FolderEdit");
    FolderEdit->setMinimumWidth(FolderEdit->fontMetrics().averageCharWidth() * 32);
    BrowseButton = Named(new QPushButton(QStringLiteral("参照(&B)...")), "BrowseButton");
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(FolderButton);
    folderRow->addWidget(FolderEdit, 1);
    folderRow->addWidget(BrowseButton);
    auto* outputNote = Named(
        new QLabel(QStringLiteral("同じ名前になる出力には「-2」「-3」…を付けます。\n元のファイルは上書きしません。")),
        "OutputNote");
    auto* outputLayout = new QVBoxLayout(outputGroup);
    outputLayout->addWidget(BesideSourceButton);
    outputLayout->addLayout(folderRow);
    outputLayout->addWidget(outputNote);

    MetadataGroup = Named(new QGroupBox(QStringLiteral("写真のメタデータ"), this), "MetadataGroup");
    KeepMetadataBox =
        Named(new QCheckBox(QStringLiteral("撮影情報など（EXIF・XMP・IPTC）を残す(&K)")), "KeepMetadataBox");
    StripGpsBox = Named(new QCheckBox(QStringLiteral("位置情報（GPS）を取り除く(&G)")), "StripGpsBox");
    EmbedCopyrightBox =
        Named(new QCheckBox(QStringLiteral("スタンプの文字列を著作権情報としても書き込む(&C)")), "EmbedCopyrightBox");
    auto* metadataLayout = new QVBoxLayout(MetadataGroup);
    metadataLayout->addWidget(KeepMetadataBox);
    metadataLayout->addWidget(StripGpsBox);
    metadataLayout->addWidget(EmbedCopyrightBox);

    JpegGroup = Named(new QGroupBox(QStringLiteral("JPEG 写真の保存"), this), "JpegGroup");
    LosslessJpegBox = Named(new QCheckBox(QStringLiteral("JPEG を再圧縮しない(&J)")), "LosslessJpegBox");
    auto* jpegNote =
        Named(new QLabel(QStringLiteral("JPEG で保存するとき、スタンプの下のブロックだけを書き直し、"
                                        "ほかは元のまま残します。\n"
                                        "画質の設定はこのファイルには効きません（CMYK の JPEG を除く）。")),
              "JpegNote");
    auto* jpegLayout = new QVBoxLayout(JpegGroup);
    jpegLayout->addWidget(LosslessJpegBox);
    jpegLayout->addWidget(jpegNote);

    auto* sizeGroup = Named(new QGroupBox(QStringLiteral("スタンプの大きさ"), this), "SizeGroup");
    PointsButton = Named(new QRadioButton(QStringLiteral("ポイントで指定(&T):")), "PointsButton");
    PointsSpin = Named(new QSpinBox, "PointsSpin");
    PointsSpin->setRange(kMinStampPoints, kMaxStampPoints);
    PointsSpin->setSuffix(QStringLiteral(" pt"));
    RelativeButton = Named(new QRadioButton(QStringLiteral("画像の短い辺に対する割合(&R):")), "RelativeButton");
    auto* sizeChoice = new QButtonGroup(this);
    sizeChoice->addButton(PointsButton);
    sizeChoice->addButton(RelativeButton);
    PercentSpin = Named(new QDoubleSpinBox, "PercentSpin");
    PercentSpin->setDecimals(2);
    PercentSpin->setRange(kMinStampHundredths / 100.0, kMaxStampHundredths / 100.0);
    PercentSpin->setSingleStep(0.1);
    PercentSpin->setSuffix(QStringLiteral(" %"));
    MinSpin = Named(new QSpinBox, "MinSpin");
    MinSpin->setRange(1, kMaxStampPixels);
    MinSpin->setSuffix(QStringLiteral(" px"));
    MaxSpin = Named(new QSpinBox, "MaxSpin");
    MaxSpin->setRange(0, kMaxStampPixels);
    MaxSpin->setSuffix(QStringLiteral(" px"));
    MaxSpin->setSpecialValueText(QStringLiteral("なし"));
    auto* minLabel = Named(new QLabel(QStringLiteral("最小(&N):")), "MinLabel");
    minLabel->setBuddy(MinSpin);
    auto* maxLabel = Named(new QLabel(QStringLiteral("最大(&X):")), "MaxLabel");
    maxLabel->setBuddy(MaxSpin);
    auto* sizeGrid = new QGridLayout;
    sizeGrid->addWidget(PointsButton, 0, 0);
    sizeGrid->addWidget(PointsSpin, 0, 1);
    sizeGrid->addWidget(RelativeButton, 1, 0);
    sizeGrid->addWidget(PercentSpin, 1, 1);
    auto* boundsRow = new QHBoxLayout;
    boundsRow->addSpacing(PointsButton->fontMetrics().averageCharWidth() * 4);
    boundsRow->addWidget(minLabel);
    boundsRow->addWidget(MinSpin);
    boundsRow->addWidget(maxLabel);
    boundsRow->addWidget(MaxSpin);
    boundsRow->addStretch(1);
    auto* sizeNote = Named(new QLabel(QStringLiteral("割合・最小・最大は文字の枠の高さです。"
                                                     "見本は %1×%2 の画像の角（等倍）。")
                                          .arg(kSampleWidth)
                                          .arg(kSampleHeight)),
                           "SizeNote");
    SizePreview = Named(new QLabel, "SizePreview");
    SizePreview->setFixedSize(kPreviewWidth, kPreviewHeight);
    auto* sizeLayout = new QVBoxLayout(sizeGroup);
    sizeLayout->addLayout(sizeGrid);
    sizeLayout->addLayout(boundsRow);
    sizeLayout->addWidget(sizeNote);
    sizeLayout->addWidget(SizePreview);

    OkButton = Named(new QPushButton(QStringLiteral("OK")), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton(QStringLiteral("キャンセル")), "CancelButton");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(inputGroup);
    layout->addWidget(outputGroup);
    layout->addWidget(MetadataGroup);
    layout->addWidget(JpegGroup);
    layout->addWidget(sizeGroup);
    layout->addStretch(1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetMinimumSize);

    ExecuteFolderDialog = [this](const std::string& start) -> std::optional<std::string> {
        const QString folder =
            QFileDialog::getExistingDirectory(this, QStringLiteral("保存先のフォルダ"), QString::fromStdString(start));
        if (folder.isEmpty()) return std::nullopt;
        return folder.toStdString();
    };

    for (QAbstractButton* b :
         {static_cast<QAbstractButton*>(AcceptPhotosBox), static_cast<QAbstractButton*>(FolderButton),
          static_cast<QAbstractButton*>(BesideSourceButton), static_cast<QAbstractButton*>(KeepMetadataBox)})
        connect(b, &QAbstractButton::toggled, this, [this] { UpdateEnabled(); });
    connect(RelativeButton, &QAbstractButton::toggled, this, [this] {
        UpdateEnabled();
        RenderSizePreview();
    });
    for (QSpinBox* spin : {PointsSpin, MinSpin, MaxSpin})
        connect(spin, &QSpinBox::valueChanged, this, [this] { RenderSizePreview(); });
    connect(PercentSpin, &QDoubleSpinBox::valueChanged, this, [this] { RenderSizePreview(); });
    connect(BrowseButton, &QPushButton::clicked, this, [this] { BrowseButtonClick(); });
    connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TAdvancedForm::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TAdvancedForm::FormShow() {
    AcceptPhotosBox->setChecked(Settings.AcceptPhotos);
    (Settings.OutDir.empty() ? BesideSourceButton : FolderButton)->setChecked(true);
    FolderEdit->setText(QString::fromStdString(Settings.OutDir));
    KeepMetadataBox->setChecked(Settings.KeepMetadata);
    StripGpsBox->setChecked(Settings.StripGps);
    EmbedCopyrightBox->setChecked(Settings.EmbedCopyright);
    LosslessJpegBox->setChecked(Settings.LosslessJpeg);
    const TStampSize& size = Settings.StampSize;
    (size.Relative ? RelativeButton : PointsButton)->setChecked(true);
    PointsSpin->setValue(size.Points);
    PercentSpin->setValue(size.Hundredths / 100.0);
    MinSpin->setValue(size.MinPixels);
    MaxSpin->setValue(size.MaxPixels);
    UpdateEnabled();
    RenderSizePreview();
    OkButton->setFocus();
}

void TAdvancedForm::UpdateEnabled() {
    const bool folder = FolderButton->isChecked();
    FolderEdit->setEnabled(folder);
    BrowseButton->setEnabled(folder);
    // Bitmaps carry no metadata and are no JPEG; without photos these choices act on nothing.
    MetadataGroup->setEnabled(AcceptPhotosBox->isChecked());
    JpegGroup->setEnabled(AcceptPhotosBox->isChecked());
    // Without metadata there is no location left to remove.
    StripGpsBox->setEnabled(KeepMetadataBox->isChecked());
    // Each kind of size has its own controls; the other kind's keep their values.
    const bool relative = RelativeButton->isChecked();
    PointsSpin->setEnabled(!relative);
    PercentSpin->setEnabled(relative);
    MinSpin->setEnabled(relative);
    MaxSpin->setEnabled(relative);
}

TStampSize TAdvancedForm::ChosenSize() const {
    TStampSize size;
    size.Relative = RelativeButton->isChecked();
    size.Points = PointsSpin->value();
    size.Hundredths = static_cast<int>(std::lround(PercentSpin->value() * 100));
    size.MinPixels = MinSpin->value();
    // A greatest height below the least would be overruled by it; it is stored as what it acts as.
    size.MaxPixels = MaxSpin->value() == 0 ? 0 : std::max(MaxSpin->value(), size.MinPixels);
    return size;
}

void TAdvancedForm::RenderSizePreview() {
    // Drawn by the stamp's own canvas, as the pipeline draws it, on the preview's pixels: the
    // canvas clips the text to them, so a large stamp with a long text is rendered only where
    // it shows. A plain sky-to-ground fill lets both an opaque and a transparent cell be seen.
    TBitmap sample;
    sample.Allocate(pf24bit, kPreviewWidth, kPreviewHeight);
    for (int y = 0; y < kPreviewHeight; ++y) {
        const int shade = 150 + 80 * y / kPreviewHeight;
        for (int x = 0; x < kPreviewWidth; ++x)
            sample.SetPixel(x, y,
                            RGBColor(static_cast<uint8_t>(shade - 40), static_cast<uint8_t>(shade - 10),
                                     static_cast<uint8_t>(shade)));
    }
    try {
        const TStampScale scale = StampScale(ChosenSize(), Look.FontName, kSampleWidth, kSampleHeight);
        TCanvas& canvas = sample.Canvas();
        SetStampFont(canvas, Look.FontName, Look.WordColor, scale);
        if (Look.BackTransparent)
            canvas.Brush.Style = TBrushStyle::bsClear;
        else
            canvas.Brush.Color = Look.BackColor;
        // The preview is the sample's corner nearest the stamp, so the cell sits where it would
        // in that corner of the whole picture.
        const TRect at = StampCell(kPreviewWidth, kPreviewHeight, canvas.TextExtent(Look.CopyrightText), Look.PosLeft,
                                   Look.PosTop, scale.Margin);
        canvas.TextOut(at.Left, at.Top, Look.CopyrightText);
    } catch (const std::exception&) {
        // No face to draw with: the sample alone.
    }
    QImage shown(kPreviewWidth, kPreviewHeight, QImage::Format_RGB32);
    for (int y = 0; y < kPreviewHeight; ++y)
        for (int x = 0; x < kPreviewWidth; ++x) {
            const TColor c = sample.GetPixel(x, y);
            shown.setPixel(x, y, qRgb(GetRValue(c), GetGValue(c), GetBValue(c)));
        }
    SizePreview->setPixmap(QPixmap::fromImage(shown));
}

void TAdvancedForm::BrowseButtonClick() {
    const std::string start = FolderEdit->text().trimmed().toStdString();
    if (const auto folder = ExecuteFolderDialog(start.empty() ? QDir::homePath().toStdString() : start))
        FolderEdit->setText(QString::fromStdString(*folder));
}

void TAdvancedForm::OkButtonClick() {
    Settings.AcceptPhotos = AcceptPhotosBox->isChecked();
    // A chosen folder left empty means the default places, as the file's empty value does.
    Settings.OutDir = FolderButton->isChecked() ? FolderEdit->text().trimmed().toStdString() : std::string();
    Settings.KeepMetadata = KeepMetadataBox->isChecked();
    Settings.StripGps = StripGpsBox->isChecked();
    Settings.EmbedCopyright = EmbedCopyrightBox->isChecked();
    Settings.LosslessJpeg = LosslessJpegBox->isChecked();
    Settings.StampSize = ChosenSize();
    accept();
}
