// Pieces both dialogs share: the forms' font, colour conversion, our artwork, an image that
// reports mouse releases, and the stamp cell rendered exactly as the pipeline draws it.
#pragma once

#include <functional>
#include <string>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLabel>

class QCheckBox;
class QFrame;
class QGroupBox;

#include "Graphics.h"
#include "StampStyle.h"

// The forms were designed around a Japanese proportional gothic face at 12 px; where that face
// is missing a Japanese sans takes over so that captions never turn into boxes.
QFont FormFont(int pixelHeight = 12, bool bold = false);
// The same fallback behind a face chosen by the user (empty: the form's own face).
QFont FaceFont(const std::string& face, int pixelHeight = 12, bool bold = false);

QColor ToQColor(TColor color);
TColor ToTColor(const QColor& color);

// Background of the settings preview: a 281 × 193 landscape drawn by code.
QImage MakeSamplePicture();
// The program's 32 × 32 icon in 16 colours.
QImage MakeProgramIcon();

// Where a face or a style draws text larger than the forms were designed for, these keep it
// whole; with the designed metrics they change nothing.
// A label that would run under the control to its right ends where that control begins.
void FitBeside(QLabel& label, const QWidget& right);
// A frame grows downwards until every child lies inside its border.
void GrowToHold(QFrame& frame);
// A check box grows to the right until its caption fits.
void GrowToCaption(QCheckBox& box);
// The group box's frame runs through the middle of its title, as the forms were designed
// around, instead of below a title taller than the room left above the contents.
void DrawFrameThroughTitle(QGroupBox& box);

// Shows a colour on a label's background.
void SetLabelColor(QLabel& label, const QColor& color);

// The stamp line drawn with our own canvas in the stamp's style (StampStyle.h), so that the
// preview cannot drift from the output. Opaque cells come back filled with backColor;
// transparent ones carry the glyph coverage in their alpha channel. Drawn at the scale's size
// (the 9-point stamp by default). Raises what the canvas raises.
QImage RenderStampCell(const std::string& utf8Text, const std::string& face, TColor textColor, TColor backColor,
                       bool transparent, const TStampScale& scale = {});

// An image component: shows a pixmap and reports where a mouse button was released over it.
class TImage : public QLabel {
public:
    using TMouseEvent = std::function<void(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)>;
    explicit TImage(QWidget* parent) : QLabel(parent) {}
    TMouseEvent OnMouseUp;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
