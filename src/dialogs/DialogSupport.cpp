#include "DialogSupport.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <QCheckBox>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionButton>

#include "Canvas.h"
#include "StampStyle.h"

namespace {

// The designed face first, then a Japanese sans that fontconfig certainly has.
const QString kDesignedFace = QStringLiteral("ＭＳ Ｐゴシック");
const QString kJapaneseSans = QStringLiteral("Noto Sans CJK JP");

}  // namespace

QFont FaceFont(const std::string& face, int pixelHeight, bool bold) {
    QFont font;
    QStringList families;
    if (!face.empty()) families << QString::fromStdString(face);
    families << kDesignedFace << kJapaneseSans;
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    return font;
}

QFont FormFont(int pixelHeight, bool bold) { return FaceFont({}, pixelHeight, bold); }

QColor ToQColor(TColor color) { return QColor(GetRValue(color), GetGValue(color), GetBValue(color)); }

TColor ToTColor(const QColor& color) {
    return RGBColor(static_cast<uint8_t>(color.red()), static_cast<uint8_t>(color.green()),
                    static_cast<uint8_t>(color.blue()));
}

QImage MakeSamplePicture() {
    constexpr int W = 281, H = 193;
    QImage image(W, H, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, H * 0.6);
    sky.setColorAt(0, QColor(86, 140, 214));
    sky.setColorAt(1, QColor(214, 232, 246));
    p.fillRect(image.rect(), sky);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 226, 140));
    p.drawEllipse(QPointF(212, 46), 20, 20);
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QRectF(38, 34, 58, 18));
    p.drawEllipse(QRectF(62, 26, 46, 20));

    QPainterPath far;
    far.moveTo(0, 120);
    far.cubicTo(60, 78, 120, 96, 170, 104);
    far.cubicTo(210, 110, 250, 84, W, 96);
    far.lineTo(W, H);
    far.lineTo(0, H);
    far.closeSubpath();
    p.setBrush(QColor(110, 160, 120));
    p.drawPath(far);

    QPainterPath near;
    near.moveTo(0, 150);
    near.cubicTo(80, 124, 150, 150, 200, 140);
    near.cubicTo(240, 132, 262, 138, W, 132);
    near.lineTo(W, H);
    near.lineTo(0, H);
    near.closeSubpath();
    QLinearGradient grass(0, 124, 0, H);
    grass.setColorAt(0, QColor(122, 186, 84));
    grass.setColorAt(1, QColor(58, 120, 52));
    p.setBrush(grass);
    p.drawPath(near);

    // A small house, so that corners look different from each other.
    p.setBrush(QColor(236, 226, 204));
    p.drawRect(QRectF(48, 128, 30, 22));
    p.setBrush(QColor(176, 64, 52));
    p.drawPolygon(QPolygonF({QPointF(44, 129), QPointF(63, 114), QPointF(82, 129)}));
    p.setBrush(QColor(92, 70, 52));
    p.drawRect(QRectF(59, 138, 8, 12));
    p.end();
    return image;
}

QImage MakeProgramIcon() {
    // Painted without smoothing, then every pixel mapped to the classic 16-colour palette.
    QImage art(32, 32, QImage::Format_ARGB32);
    art.fill(Qt::transparent);
    QPainter p(&art);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    p.drawRect(1, 7, 22, 20);
    p.setBrush(QColor(0, 0, 255));
    p.drawRect(3, 9, 18, 10);
    p.setBrush(QColor(0, 128, 0));
    p.drawRect(3, 19, 18, 6);
    p.setBrush(QColor(255, 255, 0));
    p.drawRect(15, 11, 3, 3);
    p.setBrush(QColor(255, 0, 0));
    p.drawEllipse(16, 14, 15, 15);
    p.setPen(QPen(QColor(255, 255, 255), 2));
    p.drawLine(21, 18, 21, 26);
    p.drawLine(22, 22, 26, 18);
    p.drawLine(22, 22, 26, 26);
    p.end();

    static const QRgb kVga[16] = {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
                                  qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
                                  qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
                                  qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    QList<QRgb> table(std::begin(kVga), std::end(kVga));
    table << qRgba(0, 0, 0, 0);  // the icon's mask
    QImage icon(32, 32, QImage::Format_Indexed8);
    icon.setColorTable(table);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const QRgb c = art.pixel(x, y);
            int best = 16;
            if (qAlpha(c) >= 128) {
                int bestDist = INT_MAX;
                for (int i = 0; i < 16; ++i) {
                    const int dr = qRed(c) - qRed(kVga[i]), dg = qGreen(c) - qGreen(kVga[i]),
                              db = qBlue(c) - qBlue(kVga[i]);
                    const int dist = dr * dr + dg * dg + db * db;
                    if (dist < bestDist) bestDist = dist, best = i;
                }
            }
            icon.setPixel(x, y, static_cast<uint>(best));
        }
    }
    return icon;
}

void FitBeside(QLabel& label, const QWidget& right) {
    label.adjustSize();
    const int room = right.x() - label.x();
    if (label.width() > room && room > 0) label.resize(room, label.height());
}

void GrowToHold(QFrame& frame) {
    int bottom = 0;
    for (const QWidget* child : frame.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!child->isHidden()) bottom = std::max(bottom, child->geometry().bottom() + 1);
    const int needed = bottom + frame.frameWidth();
    if (needed > frame.height()) frame.resize(frame.width(), needed);
}

void GrowToCaption(QCheckBox& box) {
    QStyleOptionButton option;
    option.initFrom(&box);
    const int indicator = box.style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, &box) +
                          box.style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, &box);
    const int needed = indicator + box.fontMetrics().horizontalAdvance(box.text());
    if (needed > box.width()) box.resize(needed, box.height());
}

void DrawFrameThroughTitle(QGroupBox& box) {
    const int half = box.fontMetrics().height() / 2;
    box.setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
                                     "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }")
                          .arg(half));
}

void SetLabelColor(QLabel& label, const QColor& color) {
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, color);
    label.setPalette(palette);
    label.setAutoFillBackground(true);
}

namespace {

QRgb PixelOf(const TBitmap& bitmap, int x, int y) {
    const TColor c = bitmap.GetPixel(x, y);
    return qRgb(GetRValue(c), GetGValue(c), GetBValue(c));
}

void FillBitmap(TBitmap& bitmap, uint8_t value) {
    for (int y = 0; y < bitmap.Height(); ++y)
        std::memset(bitmap.ScanLine(y), value, static_cast<size_t>(bitmap.RowStride()));
}

}  // namespace

QImage RenderStampCell(const std::string& utf8Text, const std::string& face, TColor textColor, TColor backColor,
                       bool transparent, const TStampScale& scale) {
    TBitmap bitmap;
    bitmap.SetSize(1, 1);
    TCanvas& canvas = bitmap.Canvas();
    SetStampFont(canvas, face, textColor, scale);
    const TSize extent = canvas.TextExtent(utf8Text);
    if (extent.cx <= 0 || extent.cy <= 0) return {};
    bitmap.SetSize(extent.cx, extent.cy);

    if (!transparent) {
        canvas.Brush.Style = TBrushStyle::bsSolid;
        canvas.Brush.Color = backColor;
        canvas.TextOut(0, 0, utf8Text);
        QImage cell(extent.cx, extent.cy, QImage::Format_RGB32);
        for (int y = 0; y < extent.cy; ++y)
            for (int x = 0; x < extent.cx; ++x) cell.setPixel(x, y, PixelOf(bitmap, x, y));
        return cell;
    }

    // The pipeline draws with a clear brush over the picture. Drawing the same way over black
    // and over white gives, per pixel, the coverage (from the difference) and the glyph colour
    // already weighted by it, which is a premultiplied pixel that composes over any picture.
    canvas.Brush.Style = TBrushStyle::bsClear;
    FillBitmap(bitmap, 0x00);
    canvas.TextOut(0, 0, utf8Text);
    TBitmap overWhite;
    overWhite.SetSize(extent.cx, extent.cy);
    FillBitmap(overWhite, 0xFF);
    TCanvas& white = overWhite.Canvas();
    white.Font = canvas.Font;
    white.Brush = canvas.Brush;
    white.TextOut(0, 0, utf8Text);

    QImage cell(extent.cx, extent.cy, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < extent.cy; ++y) {
        for (int x = 0; x < extent.cx; ++x) {
            const QRgb b = PixelOf(bitmap, x, y), w = PixelOf(overWhite, x, y);
            const int gap = ((qRed(w) - qRed(b)) + (qGreen(w) - qGreen(b)) + (qBlue(w) - qBlue(b))) / 3;
            const int alpha = std::clamp(255 - gap, 0, 255);
            cell.setPixel(
                x, y, qRgba(std::min(qRed(b), alpha), std::min(qGreen(b), alpha), std::min(qBlue(b), alpha), alpha));
        }
    }
    return cell;
}

void TImage::mousePressEvent(QMouseEvent* event) {
    // Taking the press makes the release come here, as it does for the designed control.
    event->accept();
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    const QPoint at = event->position().toPoint();
    if (OnMouseUp) OnMouseUp(event->button(), event->modifiers(), at.x(), at.y());
}
