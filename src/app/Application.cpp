#include "Application.h"

#include <exception>
#include <string>
#include <vector>

#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include "MessageBoxes.h"
#include "Unit1.h"

void SetUpApplication(QApplication& app) {
    app.setApplicationName(QStringLiteral("kirimark"));
    // No display name: the toolkit appends one to every window title, and each title is to
    // read exactly as its window's caption.
    app.setWindowIcon(QIcon(QPixmap::fromImage(MakeIconImage(48))));
    // The program speaks Japanese whatever the desktop's language, so the toolkit's own
    // dialogs and buttons do too.
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
    else
        delete translator;  // without the translation the toolkit stays in English
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) { SetUpApplication(*this); }

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
