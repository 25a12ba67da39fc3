#include "FontDialog.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "DialogSupport.h"

TFontDialog::TFontDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("フォント"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(FormFont());

    FamilyList = new QListWidget(this);
    FamilyList->setObjectName(QStringLiteral("FamilyList"));
    QStringList faces;
    for (const QString& family : QFontDatabase::families()) {
        if (QFontDatabase::isPrivateFamily(family)) continue;
        // A face installed by several foundries is listed once per foundry ("Name [foundry]");
        // the stamp asks for a face by its plain name.
        QString face = family;
        if (const qsizetype bracket = face.indexOf(QLatin1String(" [")); bracket > 0) face.truncate(bracket);
        if (!faces.contains(face)) faces << face;
    }
    FamilyList->addItems(faces);
    SizeList = new QListWidget(this);
    SizeList->setObjectName(QStringLiteral("SizeList"));
    SizeList->addItem(QStringLiteral("9"));  // the stamp is always 9 points
    SizeList->setCurrentRow(0);
    SizeList->setMaximumWidth(60);

    SampleLabel = new QLabel(QStringLiteral("AaBbYyZz さんぷるぅ"), this);
    SampleLabel->setObjectName(QStringLiteral("SampleLabel"));
    SampleLabel->setFrameShape(QFrame::StyledPanel);
    SampleLabel->setMinimumHeight(40);
    SampleLabel->setAlignment(Qt::AlignCenter);

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));

    auto* grid = new QGridLayout(this);
    auto* familyCaption = new QLabel(QStringLiteral("フォント名(&F):"), this);
    familyCaption->setBuddy(FamilyList);
    auto* sizeCaption = new QLabel(QStringLiteral("サイズ(&S):"), this);
    sizeCaption->setBuddy(SizeList);
    grid->addWidget(familyCaption, 0, 0);
    grid->addWidget(sizeCaption, 0, 1);
    grid->addWidget(FamilyList, 1, 0);
    grid->addWidget(SizeList, 1, 1);
    grid->addWidget(SampleLabel, 2, 0, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    grid->addLayout(buttons, 3, 0, 1, 2);
    resize(360, 320);

    connect(FamilyList, &QListWidget::currentRowChanged, this, [this] { FamilyChanged(); });
    connect(FamilyList, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    FamilyChanged();
}

void TFontDialog::SetFace(const std::string& face) {
    const auto found = FamilyList->findItems(QString::fromStdString(face), Qt::MatchFixedString);
    if (found.isEmpty()) {
        FamilyList->setCurrentRow(-1);
    } else {
        FamilyList->setCurrentItem(found.first());
        FamilyList->scrollToItem(found.first());
    }
    FamilyChanged();
}

std::string TFontDialog::Face() const {
    const QListWidgetItem* item = FamilyList->currentItem();
    return item && item->isSelected() ? item->text().toStdString() : std::string();
}

void TFontDialog::FamilyChanged() {
    // Only a face that exists can be accepted.
    const std::string face = Face();
    OkButton->setEnabled(!face.empty());
    SampleLabel->setFont(FaceFont(face, 12));
}

std::optional<std::string> TFontDialog::Execute(QWidget* parent, const std::string& preset) {
    TFontDialog dialog(parent);
    dialog.SetFace(preset);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    std::string face = dialog.Face();
    if (face.empty()) return std::nullopt;
    return face;
}
