// Transitional: replaced by the real reader and writer.
#include "BmpFile.h"
#include "Graphics.h"
void ReadBmp(TStream&, TBitmap&) { throw EInvalidGraphic("BMP reading not built yet"); }
void WriteBmp(TStream&, const TBitmap&) { throw EInvalidGraphic("BMP writing not built yet"); }
