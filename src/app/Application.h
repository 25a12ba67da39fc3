// The windowed program: the application object, the main window and the event loop.
#pragma once

#include <QApplication>

// Shows an exception that escaped event handling, instead of ending the program.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Names the program, gives it its icon and the toolkit's Japanese texts.
void SetUpApplication(QApplication& app);

// Runs the program with its window until it is left; returns the exit status.
int RunWindow(int argc, char** argv);
