// One baseline JPEG compressed as horizontal strips side by side. Each strip is compressed on
// its own as a complete JPEG of its rows; its entropy-coded data is exactly what the whole
// picture, compressed with a restart marker every strip, holds between two markers, because
// a restart resets what one strip could otherwise inherit from the one above (the DC
// predictions and the bit buffer). The joined file therefore decodes to the same pixels as
// the picture compressed in one piece, and is longer only by the markers.
#pragma once

#include <functional>

#include "Classes.h"

struct TJpegStripPlan {
    int Strips = 1;           // 1: compress the picture in one piece
    int StripRows = 0;        // picture rows per strip, whole MCU rows; the last may have fewer
    int RestartInterval = 0;  // MCUs per strip
};

// How a width × height picture with square MCUs of mcuSize pixels is cut for `threads`
// threads: a strip per thread, more if one strip would need a restart interval beyond 16 bits.
// One strip when threads is 1 or less, when the picture has a single MCU row, or when one
// MCU row alone is more than an interval can count.
TJpegStripPlan PlanJpegStrips(int width, int height, int mcuSize, int threads);

// Compresses picture rows firstRow .. firstRow + rows - 1 as a complete baseline JPEG of that
// height, with the picture's settings and without restart markers, onto out. rowsDone hears
// now and then how many of those rows are finished.
using TJpegStripEncoder =
    std::function<void(int firstRow, int rows, TStream& out, const std::function<void(int rowsDone)>& rowsDone)>;

// Writes the whole picture: the first strip's headers with the picture's height and the
// restart interval, each strip's entropy-coded data behind a restart marker, the end marker.
// progress hears the share of rows compressed (0 to 100) on the calling thread; what it
// raises is ignored. Raises EInvalidGraphic when a strip is not the JPEG it should be.
void WriteJpegStrips(const TJpegStripPlan& plan, int height, int threads, const TJpegStripEncoder& encode, TStream& out,
                     const std::function<void(int percent)>& progress = {});
