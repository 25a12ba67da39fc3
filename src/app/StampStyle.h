// The look of the stamp, defined once for the pipeline and for the settings dialog's preview:
// bold, 9 points, in the chosen face and colour, 5 pixels in from the two nearest edges.
#pragma once

#include <string>

#include "Canvas.h"

inline constexpr int kStampPointSize = 9;
inline constexpr int kStampMargin = 5;

// The stamp's font face: empty keeps the default face; longer names are cut to what the
// stored face name of a font holds (31 bytes of its code page 932 form).
std::string StampFontName(const std::string& faceName);

// Gives the canvas the stamp's font: the face (cut as above; an empty name leaves the canvas's
// face), 9 points, bold, in the colour.
void SetStampFont(TCanvas& canvas, const std::string& faceName, TColor color);

// The text cell of the given extent in the chosen corner of a width × height picture. No
// clamping: a text larger than the picture reaches past its far edge.
TRect StampCell(int width, int height, TSize extent, bool left, bool top);
