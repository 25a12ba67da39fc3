#include "Version.h"

#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "DialogSupport.h"

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y, const QString& caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(x, y);
    label->adjustSize();
    return label;
}

}  // namespace

TVersionDialog::TVersionDialog(QWidget* owner) : QDialog(owner) {
    InitSettings(Settings);
    setObjectName(QStringLiteral("VersionDialog"));
    setWindowTitle(QStringLiteral("バージョン情報"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(216, 150);
    setFont(FormFont());

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(1);
    Panel1->setGeometry(8, 8, 201, 105);

    SoftIcon = new QLabel(Panel1);
    SoftIcon->setObjectName(QStringLiteral("SoftIcon"));
    const QPixmap icon = QPixmap::fromImage(MakeProgramIcon());
    SoftIcon->setPixmap(icon);
    SoftIcon->setGeometry(8, 8, icon.width(), icon.height());

    SoftNameLabel = MakeLabel(Panel1, "SoftNameLabel", 56, 8, QStringLiteral("Kirimark"));
    VersionLabel = MakeLabel(Panel1, "VersionLabel", 56, 29, QStringLiteral("Ver"));
    CopyRightLabel = MakeLabel(Panel1, "CopyRightLabel", 24, 48, QStringLiteral("(C) 2026 Kirimark developers"));
    Label3 = MakeLabel(Panel1, "Label3", 8, 72, QStringLiteral("以下のライブラリを使用してます！"));
    Label2 = MakeLabel(Panel1, "Label2", 16, 88, QStringLiteral("KMPNG"));
    Label1 = MakeLabel(Panel1, "Label1", 72, 88, QStringLiteral("(C) 2026 Kirimark"));

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setGeometry(72, 120, 75, 25);
    OkButton->setDefault(true);
    setTabOrder(OkButton, Panel1);

    connect(OkButton, &QPushButton::clicked, this, [this] { OkButtonClick(); });
}

void TVersionDialog::showEvent(QShowEvent* event) {
    FormShow();
    GrowToHold(*Panel1);
    OkButton->setFocus();
    QDialog::showEvent(event);
}

void TVersionDialog::FormShow() {
    VersionLabel->setText(QStringLiteral("ばーぢょん： ") + QString::fromStdString(Settings.VersionText));
    VersionLabel->adjustSize();
}

void TVersionDialog::OkButtonClick() { close(); }
