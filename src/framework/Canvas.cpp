// Transitional: replaced by the real rasteriser.
#include "Canvas.h"
int TFont::PixelHeight(int ppi) const { return (Size * ppi + 36) / 72; }
TSize TCanvas::TextExtent(const std::string&) const { throw Exception("text not built yet"); }
void TCanvas::TextOut(int, int, const std::string&) { throw Exception("text not built yet"); }
