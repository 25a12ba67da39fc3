// What the program sets up for all its windows: titles exactly as captioned, and the toolkit's
// own texts in Japanese.
#include <QApplication>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "Application.h"

namespace {

TEST(Application, TitlesAreTheCaptionsAndTheToolkitSpeaksJapanese) {
    SetUpApplication(*qApp);
    // A display name set apart from the program's name is appended to every window title
    // (" — Kirimark"), which would spoil the dialogs' captions.
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());

    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes |
                             QDialogButtonBox::Close);
    const struct {
        QDialogButtonBox::StandardButton button;
        const char* text;
    } cases[] = {
        {QDialogButtonBox::Ok, "OK"},
        {QDialogButtonBox::Cancel, "キャンセル"},
        {QDialogButtonBox::Yes, "はい(&Y)"},
        {QDialogButtonBox::Close, "閉じる"},
    };
    for (const auto& c : cases) EXPECT_EQ(buttons.button(c.button)->text(), QString::fromUtf8(c.text));

    QColorDialog colours;
    QStringList labels;
    for (const QLabel* label : colours.findChildren<QLabel*>()) labels << label->text();
    EXPECT_TRUE(labels.contains(QStringLiteral("色相(&E):"))) << labels.join(QLatin1Char('|')).toStdString();
}

}  // namespace
