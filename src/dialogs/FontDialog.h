// The font dialog of the settings form: it offers the installed faces and the one size the stamp
// uses, so that nothing but a face can be picked.
#pragma once

#include <optional>
#include <string>

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;

class TFontDialog : public QDialog {
    Q_OBJECT
public:
    explicit TFontDialog(QWidget* parent = nullptr);

    // Face names as UTF-8; an unknown preset leaves the list without a selection.
    void SetFace(const std::string& face);
    std::string Face() const;

    // Runs the dialog modally; the chosen face, or nothing when the user cancels.
    static std::optional<std::string> Execute(QWidget* parent, const std::string& preset);

    QListWidget* FamilyList;
    QListWidget* SizeList;
    QLabel* SampleLabel;
    QPushButton* OkButton;
    QPushButton* CancelButton;

private:
    void FamilyChanged();
};
