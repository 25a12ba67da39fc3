// Text rasteriser: Qt draws the glyph coverage of the visible part of the text cell into an
// 8-bit mask; the mask is then blended into the bitmap in the bitmap's own pixel format.
//
// Qt's font machinery needs a QGuiApplication. The window program has one; the headless
// mode and the tests may not, so the first text call creates one on the "offscreen"
// platform when no application object exists. All Qt font and painter use is serialised
// by one mutex, which makes the canvas safe to use from worker threads (each on its own
// bitmap).
#include "Canvas.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <mutex>

namespace {

std::mutex& QtMutex() {
    static std::mutex m;
    return m;
}

// Called with QtMutex held.
void EnsureGuiApplication() {
    if (QCoreApplication::instance()) {
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            throw Exception("Text drawing needs a QGuiApplication, but a plain QCoreApplication is running");
        return;
    }
    static int argc = 3;
    static char arg0[] = "kirimark";
    static char arg1[] = "-platform";
    static char arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    // Never destroyed: at exit Qt's platform plugin may already be gone (a crash when the
    // object was made on a worker thread), and the process's end frees it anyway.
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

// An installed sans-serif face that covers Japanese, used for missing faces and glyphs.
QString JapaneseFallback() {
    static const QString face = [] {
        const QStringList families = QFontDatabase::families(QFontDatabase::Japanese);
        for (const char* preferred : {"Noto Sans CJK JP", "Noto Sans JP", "IPAexGothic", "IPAGothic", "VL Gothic"})
            if (families.contains(QString::fromLatin1(preferred))) return QString::fromLatin1(preferred);
        for (const QString& f : families)
            if (f.contains(QLatin1String("Sans")) && !f.contains(QLatin1String("Mono"))) return f;
        return families.isEmpty() ? QString() : families.first();
    }();
    return face;
}

// Called with QtMutex held.
QFont MakeFont(const TFont& f) {
    EnsureGuiApplication();
    QFont font;
    QStringList families;
    if (!f.Name.empty()) {
        const QString name = QString::fromUtf8(f.Name.data(), static_cast<qsizetype>(f.Name.size()));
        if (QFontDatabase::hasFamily(name)) families << name;
    }
    if (families.isEmpty()) families << QStringLiteral("sans-serif");
    const QString fallback = JapaneseFallback();
    if (!fallback.isEmpty()) {
        // A face the system lacks falls back to a Japanese sans-serif rather than to a Latin
        // face, as the stamp text is usually Japanese.
        if (!f.Name.empty() && families.first() == QLatin1String("sans-serif"))
            families.prepend(fallback);
        else
            families << fallback;
    }
    font.setFamilies(families);
    font.setPixelSize(std::max(1, f.PixelHeight(TCanvas::kPixelsPerInch)));
    font.setBold(f.Style & fsBold);
    font.setItalic(f.Style & fsItalic);
    font.setUnderline(f.Style & fsUnderline);
    font.setStrikeOut(f.Style & fsStrikeOut);
    font.setKerning(false);
    return font;
}

QString ToQString(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

struct Rgb {
    int r, g, b;
};

Rgb FromColor(TColor c) { return {GetRValue(c), GetGValue(c), GetBValue(c)}; }

int NearestIndex(const TPalette& palette, TColor c) {
    return NearestEntry(palette.Entries().data(), palette.Count(), c);
}

void PutIndex(uint8_t* row, int x, int bits, int index) { SetPackedIndex(row, x, bits, static_cast<unsigned>(index)); }

// Blends colour c with coverage a (0..255) over one pixel of a direct-colour row.
void BlendDirect(uint8_t* row, int x, TPixelFormat format, Rgb c, int a) {
    auto mix = [a](int dst, int src) { return static_cast<uint8_t>((dst * (255 - a) + src * a + 127) / 255); };
    switch (format) {
    case pf15bit:
    case pf16bit: {
        uint8_t* p = row + 2 * x;
        const TColor under = WordColor(p[0] | (p[1] << 8), format);
        const uint32_t out = ColorWord(
            RGBColor(mix(GetRValue(under), c.r), mix(GetGValue(under), c.g), mix(GetBValue(under), c.b)), format);
        p[0] = static_cast<uint8_t>(out);
        p[1] = static_cast<uint8_t>(out >> 8);
        break;
    }
    case pf32bit: {
        uint8_t* p = row + 4 * x;
        p[0] = mix(p[0], c.b), p[1] = mix(p[1], c.g), p[2] = mix(p[2], c.r);
        break;
    }
    default: {
        uint8_t* p = row + 3 * x;
        p[0] = mix(p[0], c.b), p[1] = mix(p[1], c.g), p[2] = mix(p[2], c.r);
        break;
    }
    }
}

}  // namespace

int TFont::PixelHeight(int pixelsPerInch) const {
    // A negative size is already a pixel height; otherwise MulDiv(Size, ppi, 72), rounded half
    // away from zero.
    if (Size < 0) return -Size;
    return static_cast<int>((static_cast<int64_t>(Size) * pixelsPerInch + 36) / 72);
}

void TCanvas::PrepareTextDrawing() {
    std::lock_guard lock(QtMutex());
    EnsureGuiApplication();
    (void)JapaneseFallback();
}

TSize TCanvas::TextExtent(const std::string& utf8Text) const {
    std::lock_guard lock(QtMutex());
    const QFontMetrics fm(MakeFont(Font));
    TSize s;
    s.cx = utf8Text.empty() ? 0 : fm.horizontalAdvance(ToQString(utf8Text));
    s.cy = fm.ascent() + fm.descent();
    return s;
}

void TCanvas::TextOut(int x, int y, const std::string& utf8Text) {
    if (utf8Text.empty() || bitmap_.Empty()) return;
    const TPixelFormat format = bitmap_.PixelFormat();
    const int bits = bitmap_.BitsPerPixel();
    const bool indexed = bits <= 8;

    // The visible part of the cell, and the glyph coverage over it.
    QImage mask;
    int cx = 0, cy = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    {
        std::lock_guard lock(QtMutex());
        const QFont font = MakeFont(Font);
        const QFontMetrics fm(font);
        const QString text = ToQString(utf8Text);
        cx = fm.horizontalAdvance(text);
        cy = fm.ascent() + fm.descent();
        x0 = std::max(x, 0);
        y0 = std::max(y, 0);
        x1 = static_cast<int>(std::min<int64_t>(int64_t{x} + cx, bitmap_.Width()));
        y1 = static_cast<int>(std::min<int64_t>(int64_t{y} + cy, bitmap_.Height()));
        if (x1 <= x0 || y1 <= y0) return;
        mask = QImage(x1 - x0, y1 - y0, QImage::Format_Alpha8);
        if (mask.isNull()) throw EOutOfResources("Cannot allocate the text mask");
        mask.fill(0);
        QPainter painter(&mask);
        painter.setFont(font);
        painter.setPen(QColor(0, 0, 0, 255));
        painter.drawText(QPointF(x - x0, y - y0 + fm.ascent()), text);
        painter.end();
    }

    const TColor fg = Font.Color & 0xFFFFFF;
    const TColor bg = Brush.Color & 0xFFFFFF;
    const bool solid = Brush.Style == TBrushStyle::bsSolid;
    if (indexed) {
        // Palette pictures get no new colours: text pixels (coverage of at least half) take
        // the entry nearest the text colour, the cell the entry nearest the brush colour.
        const int fi = NearestIndex(bitmap_.Palette(), fg);
        const int bi = NearestIndex(bitmap_.Palette(), bg);
        for (int yy = y0; yy < y1; ++yy) {
            uint8_t* row = bitmap_.ScanLine(yy);
            const uchar* m = mask.constScanLine(yy - y0);
            for (int xx = x0; xx < x1; ++xx) {
                const int a = m[xx - x0];
                if (a >= 128)
                    PutIndex(row, xx, bits, fi);
                else if (solid)
                    PutIndex(row, xx, bits, bi);
            }
        }
    } else {
        const Rgb fc = FromColor(fg), bc = FromColor(bg);
        for (int yy = y0; yy < y1; ++yy) {
            uint8_t* row = bitmap_.ScanLine(yy);
            const uchar* m = mask.constScanLine(yy - y0);
            for (int xx = x0; xx < x1; ++xx) {
                if (solid) BlendDirect(row, xx, format, bc, 255);
                if (const int a = m[xx - x0]) BlendDirect(row, xx, format, fc, a);
            }
        }
    }
    bitmap_.SetModified(true);
}
