// The BMP reader over any bytes: a picture, or EInvalidGraphic and an empty bitmap.
#include <vector>

#include "BmpFile.h"
#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    TBitmap bmp;
    try {
        ReadBmp(stream, bmp);
    } catch (const EInvalidGraphic&) {
        FUZZ_CHECK(bmp.Empty());
        return 0;
    }
    FUZZ_CHECK(!bmp.Empty());
    TouchBitmap(bmp);
    // What was read must write and read back unchanged.
    TMemoryStream copy;
    WriteBmp(copy, bmp);
    copy.SetPosition(0);
    TBitmap again;
    ReadBmp(copy, again);
    FUZZ_CHECK(again.Width() == bmp.Width() && again.Height() == bmp.Height());
    FUZZ_CHECK(again.PixelFormat() == bmp.PixelFormat());
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) FUZZ_CHECK(again.GetPixel(x, y) == bmp.GetPixel(x, y));
    return 0;
}
