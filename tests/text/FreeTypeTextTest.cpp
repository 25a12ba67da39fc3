// The rasteriser against the window toolkit drawing the same text in the same font: the cell
// must be the toolkit's to the pixel, and the glyphs must stand in the same place, at the same
// size and weight; only their antialiasing may differ.
#include <gtest/gtest.h>

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <vector>

#include "FaceResolver.h"
#include "FreeTypeText.h"

namespace {

struct Mask {
    int width = 0, height = 0;
    std::vector<uint8_t> coverage;
    int at(int x, int y) const {
        return coverage[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The toolkit's font for a style, with the Japanese sans-serif behind the face as the stamp has it.
QFont ToolkitFont(const TTextStyle& style) {
    QStringList families;
    if (!style.Face.empty() && QFontDatabase::hasFamily(Q(style.Face))) families << Q(style.Face);
    families << QStringLiteral("Noto Sans CJK JP");
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(style.PixelSize);
    font.setBold(style.Bold);
    font.setKerning(false);
    return font;
}

Mask ToolkitMask(const TTextStyle& style, const std::string& text, TSize& cell) {
    const QFont font = ToolkitFont(style);
    const QFontMetrics fm(font);
    cell = {fm.horizontalAdvance(Q(text)), fm.ascent() + fm.descent()};
    QImage image(cell.cx, cell.cy, QImage::Format_Alpha8);
    image.fill(0);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0, 255));
    painter.drawText(QPointF(0, fm.ascent()), Q(text));
    painter.end();
    Mask m{cell.cx, cell.cy, {}};
    for (int y = 0; y < cell.cy; ++y)
        for (int x = 0; x < cell.cx; ++x) m.coverage.push_back(image.constScanLine(y)[x]);
    return m;
}

Mask OurMask(TFreeTypeRasteriser& r, const TTextStyle& style, const std::string& text, TSize& cell) {
    cell = r.Extent(style, text);
    Mask m{cell.cx, cell.cy, std::vector<uint8_t>(static_cast<size_t>(cell.cx) * static_cast<size_t>(cell.cy))};
    r.Coverage(style, text, TRect{0, 0, cell.cx, cell.cy}, m.coverage.data());
    return m;
}

struct Ink {
    double total = 0, cx = 0, cy = 0;                            // coverage sum and its centroid
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // of pixels at least half covered
};

Ink Measure(const Mask& m) {
    Ink ink;
    for (int y = 0; y < m.height; ++y)
        for (int x = 0; x < m.width; ++x) {
            const int c = m.at(x, y);
            ink.total += c;
            ink.cx += c * (x + 0.5);
            ink.cy += c * (y + 0.5);
            if (c >= 128) {
                ink.left = std::min(ink.left, x);
                ink.top = std::min(ink.top, y);
                ink.right = std::max(ink.right, x);
                ink.bottom = std::max(ink.bottom, y);
            }
        }
    if (ink.total > 0) {
        ink.cx /= ink.total;
        ink.cy /= ink.total;
    }
    return ink;
}

TEST(FreeTypeText, DrawsWhatTheToolkitDrawsUpToAntialiasing) {
    for (const char* face : {"DejaVu Sans", "Noto Sans CJK JP"})
        if (!QFontDatabase::hasFamily(QString::fromUtf8(face)))
            GTEST_SKIP() << face << " is not installed (scripts/setup.sh installs it)";
    struct Case {
        const char* face;
        bool bold;
        int pixelSize;
        const char* text;
    } cases[] = {
        {"DejaVu Sans", true, 12, "(c)2005 Rinto"},
        {"DejaVu Sans", false, 12, "(c)2005 Rinto"},
        {"DejaVu Serif", true, 12, "Kirimark, 2024 - all rights"},
        {"DejaVu Sans Mono", true, 12, "(c)2005 Rinto"},
        {"DejaVu Sans", true, 20, "Wide Awake 0123456789"},
        {"", true, 12, "\xE8\x91\x97\xE4\xBD\x9C\xE6\xA8\xA9 Rinto"},             // 著作権: the default face
        {"DejaVu Sans", true, 12, "(c) \xE8\x91\x97\xE4\xBD\x9C\xE6\xA8\xA9"},    // kanji from the fallback
        {"No Such Face Anywhere", true, 12, "\xE3\x81\x8B\xE3\x81\x8D (c)2005"},  // かき: a missing face
    };
    TFreeTypeRasteriser ours;
    for (const Case& c : cases) {
        const TTextStyle style{c.face, c.pixelSize, c.bold};
        SCOPED_TRACE(testing::Message() << '"' << c.face << "\" " << c.pixelSize << (c.bold ? " bold: " : ": ")
                                        << c.text);
        TSize qtCell, ourCell;
        const Mask qt = ToolkitMask(style, c.text, qtCell);
        const Mask mine = OurMask(ours, style, c.text, ourCell);
        EXPECT_EQ(ourCell.cx, qtCell.cx);
        EXPECT_EQ(ourCell.cy, qtCell.cy);
        const Ink a = Measure(mine), b = Measure(qt);
        ASSERT_GT(b.total, 0);
        EXPECT_NEAR(a.total / b.total, 1.0, 0.06) << "weight";
        EXPECT_NEAR(a.cx, b.cx, 0.35) << "horizontal place";
        EXPECT_NEAR(a.cy, b.cy, 0.35) << "vertical place";
        EXPECT_NEAR(a.left, b.left, 1);
        EXPECT_NEAR(a.right, b.right, 1);
        EXPECT_NEAR(a.top, b.top, 1);
        EXPECT_NEAR(a.bottom, b.bottom, 1);
    }
}

TEST(FreeTypeText, CharactersTheFaceLacksComeFromTheJapaneseFace) {
    TFreeTypeRasteriser r;
    const TFaceFile latin = ResolveFace("DejaVu Sans", true, 12);
    const TFaceFile japanese = ResolveJapaneseFace(true, 12);
    if (latin == japanese) GTEST_SKIP() << "DejaVu Sans is not installed (scripts/setup.sh installs it)";
    const std::vector<std::string> runs = r.RunFiles({"DejaVu Sans", 12, true}, "ab\xE8\x91\x97\xE4\xBD\x9C cd");
    EXPECT_EQ(runs, (std::vector<std::string>{latin.Path, japanese.Path, latin.Path}));
    EXPECT_EQ(r.RunFiles({"No Such Face Anywhere", 12, true}, "ab"), std::vector<std::string>{japanese.Path});
}

TEST(FreeTypeText, CoverageOfPartOfTheCellIsThatPartOfTheWhole) {
    TFreeTypeRasteriser r;
    const TTextStyle style{"", 12, true};
    const std::string text = "(c)\xE8\x91\x97 Rinto";
    TSize cell;
    const Mask whole = OurMask(r, style, text, cell);
    const TRect parts[] = {{3, 2, 17, 9}, {0, 0, 1, 1}, {cell.cx - 4, cell.cy - 3, cell.cx, cell.cy}, {5, 5, 5, 9}};
    for (const TRect& a : parts) {
        const int w = std::max(0, a.Right - a.Left), h = std::max(0, a.Bottom - a.Top);
        std::vector<uint8_t> part(static_cast<size_t>(w * h) + 1, 77);
        r.Coverage(style, text, a, part.data());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(part[static_cast<size_t>(y * w + x)], whole.at(a.Left + x, a.Top + y)) << x << "," << y;
        EXPECT_EQ(part.back(), 77) << "wrote past the area";
    }
}

// Faces of sizes not used for a while are closed and opened again when asked for: the text
// comes out as it did, the Japanese fallback included.
TEST(FreeTypeText, ManySizesLeaveEachSizeAsItWas) {
    TFreeTypeRasteriser r;
    const std::string text = "(c)\xE8\x91\x97 Rinto";
    std::vector<Mask> first;
    std::vector<TSize> cells;
    for (int pixels = 10; pixels < 60; ++pixels) {
        TSize cell;
        first.push_back(OurMask(r, {"", pixels, true}, text, cell));
        cells.push_back(cell);
    }
    for (int pixels = 10; pixels < 60; pixels += 7) {
        SCOPED_TRACE(pixels);
        TSize cell;
        const Mask again = OurMask(r, {"", pixels, true}, text, cell);
        EXPECT_EQ(cell.cx, cells[pixels - 10].cx);
        EXPECT_EQ(cell.cy, cells[pixels - 10].cy);
        EXPECT_TRUE(again.coverage == first[pixels - 10].coverage);
    }
}

}  // namespace
