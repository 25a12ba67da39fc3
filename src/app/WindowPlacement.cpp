#include "WindowPlacement.h"

#include <algorithm>
#include <cstdint>

#include <QGuiApplication>
#include <QScreen>

namespace {

// Stored coordinates may be anywhere in int, so edges are computed in 64 bits.
struct Span {
    int64_t from, to;  // to is one past the end
};

int64_t Overlap(Span a, Span b) { return std::max<int64_t>(0, std::min(a.to, b.to) - std::max(a.from, b.from)); }

// The start nearest to `start` that puts a span of `length` inside `room`; when it cannot fit,
// its start lines up with the room's, so that a title bar stays reachable.
int64_t Inside(int64_t start, int64_t length, Span room) {
    return std::max(room.from, std::min(start, room.to - length));
}

}  // namespace

QPoint OnScreenFramePosition(QPoint stored, QSize frameSize, const std::vector<QRect>& screens) {
    if (screens.empty() || frameSize.isEmpty()) return stored;
    const Span across{stored.x(), int64_t{stored.x()} + frameSize.width()};
    const Span down{stored.y(), int64_t{stored.y()} + frameSize.height()};
    auto spanX = [](const QRect& r) { return Span{r.x(), int64_t{r.x()} + r.width()}; };
    auto spanY = [](const QRect& r) { return Span{r.y(), int64_t{r.y()} + r.height()}; };

    int64_t shown = 0, most = 0;
    const QRect* target = &screens.front();
    for (const QRect& screen : screens) {
        const int64_t area = Overlap(across, spanX(screen)) * Overlap(down, spanY(screen));
        shown += area;
        if (area > most) most = area, target = &screen;
    }
    const int64_t whole = int64_t{frameSize.width()} * frameSize.height();
    if (2 * shown >= whole) return stored;
    return QPoint(static_cast<int>(Inside(across.from, frameSize.width(), spanX(*target))),
                  static_cast<int>(Inside(down.from, frameSize.height(), spanY(*target))));
}

std::vector<QRect> ScreenAreas() {
    std::vector<QRect> areas;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary) areas.push_back(primary->availableGeometry());
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen != primary) areas.push_back(screen->availableGeometry());
    return areas;
}
