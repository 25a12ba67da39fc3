// The version dialog: the program's icon, name, version and credits.
#pragma once

#include <QDialog>

#include "setting_common.h"

class QFrame;
class QLabel;
class QPushButton;

class TVersionDialog : public QDialog {
    Q_OBJECT
public:
    explicit TVersionDialog(QWidget* owner = nullptr);

    // Filled by the caller; only VersionText is read.
    ::Settings Settings;

    void FormShow();
    void OkButtonClick();

    QFrame* Panel1;
    QLabel* SoftIcon;
    QLabel* SoftNameLabel;
    QLabel* VersionLabel;
    QLabel* CopyRightLabel;
    QLabel* Label3;
    QLabel* Label2;
    QLabel* Label1;
    QPushButton* OkButton;

protected:
    void showEvent(QShowEvent* event) override;
};
