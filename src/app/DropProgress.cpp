#include "DropProgress.h"

#include <algorithm>
#include <limits>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressDialog>

TQtDropProgress::TQtDropProgress(QWidget* parent, int showAfterMs)
    : dialog_(std::make_unique<QProgressDialog>(parent)), showAfterMs_(showAfterMs) {
    dialog_->setObjectName(QStringLiteral("DropProgress"));
    dialog_->setWindowTitle(QStringLiteral("Kirimark"));
    dialog_->setCancelButtonText(QStringLiteral("キャンセル"));
    dialog_->setWindowModality(Qt::ApplicationModal);
    // Shown by Refresh only: the dialog's own timer would pop it up inside a message box's
    // event loop.
    dialog_->setMinimumDuration(std::numeric_limits<int>::max());
    dialog_->setAutoReset(false);
    dialog_->setAutoClose(false);
    dialog_->setMinimumWidth(320);
    dialog_->hide();
}

TQtDropProgress::~TQtDropProgress() = default;

void TQtDropProgress::FileStarted(size_t index, size_t count, const std::string& path) {
    clock_.start();
    index_ = index;
    percent_ = 0;
    const int total = static_cast<int>(std::min<size_t>(count, std::numeric_limits<int>::max() / 100));
    dialog_->setRange(0, total * 100);
    const QString name = QFileInfo(QString::fromStdString(path)).fileName();
    dialog_->setLabelText(QStringLiteral("%1 / %2 個目を処理しています\n%3").arg(index + 1).arg(count).arg(name));
    Refresh();
}

void TQtDropProgress::FileProgress(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (percent == percent_) return;
    percent_ = percent;
    Refresh();
}

void TQtDropProgress::FileFinished() {
    if (clock_.isValid()) workedMs_ += clock_.elapsed();
    clock_.invalidate();
}

bool TQtDropProgress::Cancelled() {
    if (dialog_->isVisible()) QCoreApplication::processEvents();
    return dialog_->wasCanceled();
}

void TQtDropProgress::Finished() { dialog_->hide(); }

void TQtDropProgress::Refresh() {
    if (dialog_->wasCanceled()) return;  // the rest of this file runs without the window
    const int value = static_cast<int>(std::min<size_t>(index_, dialog_->maximum() / 100)) * 100 + percent_;
    dialog_->setValue(std::min(value, dialog_->maximum()));
    if (!dialog_->isVisible()) {
        if (workedMs_ + (clock_.isValid() ? clock_.elapsed() : 0) < showAfterMs_) return;
        dialog_->show();
    }
    QCoreApplication::processEvents();
}
