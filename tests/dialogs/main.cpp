// The dialogs need a QApplication for the whole run; without a display they use the offscreen
// platform.
#include <QApplication>

#include <gtest/gtest.h>

#include "FreeTypeText.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InstallTextRasteriser();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
