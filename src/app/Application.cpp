#include "Application.h"

#include <exception>
#include <string>
#include <vector>

#include <QTimer>

#include "MessageBoxes.h"
#include "Unit1.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("kirimark"));
    setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));
    setWindowIcon(QIcon(QPixmap::fromImage(MakeIconImage(48))));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        TQtMessageBoxes(activeWindow()).ShowError(ExceptionText(std::current_exception()), kApplicationTitle);
        return false;
    }
}

int RunWindow(int argc, char** argv) {
    TApplication app(argc, argv);
    TForm1 form;
    Form1 = &form;
    form.show();
    // Names given on the command line (a file manager's "Open with") count as one drop.
    std::vector<std::string> names;
    // The toolkit has taken its own options out of argv by now.
    for (int i = 1; i < argc; ++i) names.emplace_back(argv[i]);
    if (!names.empty()) QTimer::singleShot(0, &form, [&form, names] { form.DropFiles(names); });
    const int status = app.exec();
    Form1 = nullptr;
    return status;
}
