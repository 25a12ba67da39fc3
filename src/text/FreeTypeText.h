// The text rasteriser of the program: FreeType draws the glyphs, one per character from the
// face's character map (no kerning), and the faces come from FaceResolver. Cells and glyph
// places are those the window toolkit gives the same font: the advances of the glyphs as
// fontconfig's hinting setting has them (unhinted for slight or no hinting), ascent and descent
// from the face's own line metrics; a face without a bold member is emboldened. Characters the
// face lacks come from the Japanese sans-serif, or, failing that, from any face that has them.
//
// One lock guards the fonts, so canvases on several threads may draw at once.
#pragma once

#include <string>
#include <vector>

#include "TextRasteriser.h"

class TFreeTypeRasteriser final : public TTextRasteriser {
public:
    TFreeTypeRasteriser();
    ~TFreeTypeRasteriser() override;
    TFreeTypeRasteriser(const TFreeTypeRasteriser&) = delete;
    TFreeTypeRasteriser& operator=(const TFreeTypeRasteriser&) = delete;

    TSize Extent(const TTextStyle& style, const std::string& utf8Text) override;
    void Coverage(const TTextStyle& style, const std::string& utf8Text, const TRect& area, uint8_t* mask) override;

    // The file of each glyph run of a text, in order, for tests that check which face drew what.
    std::vector<std::string> RunFiles(const TTextStyle& style, const std::string& utf8Text);

private:
    struct Impl;
    Impl* impl_;
};

// Installs one process-wide TFreeTypeRasteriser as the canvas's rasteriser (once; later calls
// do nothing) and returns it.
TFreeTypeRasteriser& InstallTextRasteriser();
