// Where a restored window goes: a stored position is kept unless it would leave the window
// mostly off the screens, as after a monitor was unplugged or the settings file was edited.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <vector>

// The top-left corner for a frame of frameSize stored at `stored`. When at least half of the
// frame lies on the screens it stays where it is; otherwise it moves by the least distance
// wholly onto the screen that holds most of it, or onto the first screen when none holds any
// of it. screens: the screens' usable areas, the primary screen first. Any int coordinates
// are taken, however far off.
QPoint OnScreenFramePosition(QPoint stored, QSize frameSize, const std::vector<QRect>& screens);

// The usable areas of the screens attached now, the primary screen first.
std::vector<QRect> ScreenAreas();
