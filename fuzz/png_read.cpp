// The PNG image object loading any bytes: a picture, or one of the codec's or the stream's
// exceptions; never a crash, a hang or an unbounded allocation.
#include <vector>

#include "FuzzCheck.h"
#include "KMPNG.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    TKMPNG png;
    try {
        png.LoadFromStream(stream);
    } catch (const EInvalidGraphic&) {  // EKMPNG included
        return 0;
    } catch (const EReadError&) {
        return 0;
    }
    TouchBitmap(png.Bitmap);
    if (png.HasAlpha && !png.AlphaBitmap.Empty()) {
        FUZZ_CHECK(png.AlphaBitmap.Width() == png.Bitmap.Width());
        FUZZ_CHECK(png.AlphaBitmap.Height() == png.Bitmap.Height());
        FUZZ_CHECK(png.AlphaBitmap.PixelFormat() == pf8bit);
        TouchBitmap(png.AlphaBitmap);
    }
    // Whatever loaded must save again.
    if (!png.Empty()) {
        TMemoryStream out;
        png.SaveToStream(out);
        FUZZ_CHECK(out.Size() > 8);
    }
    return 0;
}
