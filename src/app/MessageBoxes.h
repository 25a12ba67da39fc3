// Message boxes on screen, modal for the whole application with one OK button.
#pragma once

#include <exception>
#include <string>

#include "Pipeline.h"

class QWidget;

class TQtMessageBoxes : public TMessageBoxes {
public:
    explicit TQtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    // No icon: the texts speak for themselves.
    void Show(const std::string& text, const std::string& caption, const std::string& detail) override;
    // With the error icon.
    void ShowError(const std::string& text, const std::string& caption) override;

private:
    QWidget* parent_;
};

// An exception that escaped a command is shown in a box captioned with the program's name,
// carrying the exception's message; the program keeps running.
inline constexpr const char* kApplicationTitle = "Kirimark";
std::string ExceptionText(std::exception_ptr e);
