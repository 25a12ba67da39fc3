// Helpers for driving the dialogs in tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include "setting_common.h"

namespace dialogtest {

inline auto Fields(const Settings& s) {
    return std::tie(s.RestoreWindowPos, s.BackColor, s.WordColor, s.BackTransparent, s.FontName, s.PosLeft,
                    s.PosTop, s.VersionText, s.ImageQuality, s.SaveFormat, s.CopyrightText, s.PassPhrase);
}
inline bool Same(const Settings& a, const Settings& b) { return Fields(a) == Fields(b); }

// Closes a modal dialog that a failing test left open, so that the run goes on; sets timedOut.
inline void Guard(QObject& context, bool& timedOut) {
    QTimer::singleShot(10000, &context, [&timedOut] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timedOut = true;
            modal->close();
        }
    });
}

// Runs action on the modal dialog once it is up (from inside its own event loop).
inline void WhenModal(std::function<void(QWidget* modal)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        action(modal);
    });
    timer->start();
}

// Where screenshots go so that a person can look at them: <build>/screenshots.
inline std::filesystem::path ScreenshotDir() {
    const char* build = std::getenv("KIRIMARK_BUILD_DIR");
    std::filesystem::path dir = build && *build ? std::filesystem::path(build) : std::filesystem::current_path();
    dir /= "screenshots";
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace dialogtest
