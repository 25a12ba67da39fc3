#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

namespace {

void ShowBox(QMessageBox::Icon icon, const std::string& text, const std::string& caption, const std::string& detail,
             QWidget* parent) {
    // A modal window already up (the progress of a drop) becomes the box's owner, so that the
    // box stands in front of it and it stays in front of the main window.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) parent = modal;
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    if (!detail.empty()) box.setInformativeText(QString::fromStdString(detail));
    box.exec();
}

}  // namespace

void TQtMessageBoxes::Show(const std::string& text, const std::string& caption, const std::string& detail) {
    ShowBox(QMessageBox::NoIcon, text, caption, detail, parent_);
}

void TQtMessageBoxes::ShowError(const std::string& text, const std::string& caption) {
    ShowBox(QMessageBox::Critical, text, caption, {}, parent_);
}

std::string ExceptionText(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "Unknown exception";
    }
}
