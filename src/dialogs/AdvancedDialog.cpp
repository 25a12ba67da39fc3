#include "AdvancedDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "DialogSupport.h"

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
    UpdateEnabled();
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
    accept();
}
