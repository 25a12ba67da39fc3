// The look of the stamp, defined once for the pipeline and for the settings dialogs' previews:
// bold, in the chosen face and colour, near the two nearest edges; 9 points and 5 pixels in
// unless a size relative to the picture is chosen.
#pragma once

#include <string>
#include <string_view>

#include "Canvas.h"

inline constexpr int kStampPointSize = 9;
inline constexpr int kStampMargin = 5;

// The bounds of the size settings; a value outside them is refused (the settings file then
// gives the default, the command line a usage error).
inline constexpr int kMinStampPoints = 1;
inline constexpr int kMaxStampPoints = 500;
inline constexpr int kMinStampHundredths = 10;    // 0.1 % of the shorter side
inline constexpr int kMaxStampHundredths = 5000;  // 50 %
inline constexpr int kMaxStampPixels = 10000;     // for the least and greatest cell height

// How large the stamp is drawn: in points, or as a share of the picture's shorter side for the
// height of the text cell, kept between a least and a greatest height in pixels. The bounds
// apply to the relative size only; a size in points is drawn as it is.
struct TStampSize {
    bool Relative = false;
    int Points = kStampPointSize;
    int Hundredths = 250;  // hundredths of a percent: 250 is 2.5 %
    int MinPixels = 12;
    int MaxPixels = 0;  // 0: no greatest height

    // Only the value of the chosen kind counts, so that switching kinds and back changes nothing.
    bool operator==(const TStampSize& other) const {
        return Relative == other.Relative && (Relative ? Hundredths == other.Hundredths : Points == other.Points) &&
               MinPixels == other.MinPixels && MaxPixels == other.MaxPixels;
    }
};

// "9pt" or "2.5%" (at most two decimals, no sign or spaces) into the kind and value of size;
// false, leaving size alone, for a malformed text or a value out of bounds.
bool ParseStampSize(std::string_view text, TStampSize& size);
// The kind and value in the form ParseStampSize reads.
std::string StampSizeText(const TStampSize& size);

// The stamp's font size and margin on one picture.
struct TStampScale {
    int FontSize = kStampPointSize;  // as TFont::Size: points, or a pixel height when negative
    int Margin = kStampMargin;
};

// The scale of the stamp on a width × height picture (its stored or displayed size: only the
// shorter side counts). A relative size measures the face's cells, so a text rasteriser must
// be installed.
TStampScale StampScale(const TStampSize& size, const std::string& faceName, int width, int height);

// The stamp's font face: empty keeps the default face; longer names are cut to what the
// stored face name of a font holds (31 bytes of its code page 932 form).
std::string StampFontName(const std::string& faceName);

// Gives the canvas the stamp's font: the face (cut as above; an empty name leaves the canvas's
// face), the scale's size, bold, in the colour.
void SetStampFont(TCanvas& canvas, const std::string& faceName, TColor color, const TStampScale& scale = {});

// The text cell of the given extent in the chosen corner of a width × height picture, margin
// pixels in from both edges. No clamping: a text larger than the picture reaches past its far
// edge.
TRect StampCell(int width, int height, TSize extent, bool left, bool top, int margin = kStampMargin);
