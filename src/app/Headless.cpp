#include "Headless.h"

#include <QGuiApplication>

namespace {

int argc = 1;
char programName[] = "kirimark";
char* argv[] = {programName, nullptr};

}  // namespace

THeadlessGraphics::THeadlessGraphics() {
    if (QCoreApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QGuiApplication>(argc, argv);
}

THeadlessGraphics::~THeadlessGraphics() = default;
