// Helpers for driving the dialogs in tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include "setting_common.h"

namespace dialogtest {

inline auto Fields(const Settings& s) {
    return std::tie(s.RestoreWindowPos, s.BackColor, s.WordColor, s.BackTransparent, s.FontName, s.PosLeft, s.PosTop,
                    s.VersionText, s.ImageQuality, s.SaveFormat, s.CopyrightText, s.PassPhrase);
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

// As WhenModal, for a dialog of class T (named `what` in the failure); any other modal window
// fails the test and is closed so that the run goes on.
template <typename T>
void WhenModalIs(const char* what, std::function<void(T*)> action) {
    WhenModal([what, action](QWidget* modal) {
        if (auto* dialog = qobject_cast<T*>(modal)) return action(dialog);
        ADD_FAILURE() << "the modal window is not the " << what;
        modal->close();
    });
}

inline bool UsesJapaneseFace(const QFont& font) {
    return QFontDatabase::writingSystems(QFontInfo(font).family()).contains(QFontDatabase::Japanese);
}

// A widget as designed: its corner and size (an empty size: sized to its caption, only the
// corner is designed) and its caption (nullptr: not a fixed text).
struct Place {
    const char* name;
    QRect rect;
    const char* caption;
};

// Checks each designed widget under `parent`: place, size, caption, and a face with Japanese
// glyphs so that no caption comes out as boxes. `more` gets each widget for checks of its own.
inline void ExpectLayout(const QWidget& parent, std::span<const Place> places,
                         const std::function<void(QWidget*)>& more = {}) {
    for (const Place& p : places) {
        SCOPED_TRACE(p.name);
        auto* w = parent.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->pos(), p.rect.topLeft());
        if (!p.rect.size().isEmpty()) {
            EXPECT_EQ(w->size(), p.rect.size());
        }
        if (p.caption) {
            const char* property = qobject_cast<QGroupBox*>(w) ? "title" : "text";
            EXPECT_EQ(w->property(property).toString(), QString::fromUtf8(p.caption));
        }
        EXPECT_TRUE(UsesJapaneseFace(w->font())) << QFontInfo(w->font()).family().toStdString();
        if (more) more(w);
    }
}

// Where screenshots go so that a person can look at them: <build>/screenshots.
inline std::filesystem::path ScreenshotDir() {
    const char* build = std::getenv("KIRIMARK_BUILD_DIR");
    std::filesystem::path dir = build && *build ? std::filesystem::path(build) : std::filesystem::current_path();
    dir /= "screenshots";
    std::filesystem::create_directories(dir);
    return dir;
}

// Saves the widget as a person sees it at scale 1 (name.png) and at scale 2 (name@2x.png, the
// same layout drawn with twice the pixels, as QT_SCALE_FACTOR=2 does); returns the 1× picture.
inline QImage SaveScreenshots(QWidget& widget, const std::string& name) {
    const QImage shot = widget.grab().toImage();
    EXPECT_TRUE(shot.save(QString::fromStdString((ScreenshotDir() / (name + ".png")).string())));
    QPixmap twice(widget.size() * 2);
    twice.setDevicePixelRatio(2);
    widget.render(&twice);
    EXPECT_TRUE(twice.save(QString::fromStdString((ScreenshotDir() / (name + "@2x.png")).string())));
    return shot;
}

}  // namespace dialogtest
