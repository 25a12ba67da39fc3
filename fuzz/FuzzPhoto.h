// What the photo decoder targets share: any bytes give a picture or a graphic exception,
// never a crash, a hang or an unbounded allocation; whatever decodes can be turned upright.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "Orientation.h"
#include "PhotoDecode.h"

// Pictures near the pixel cap take seconds just to clear under the sanitizers, and a few bytes
// of a losslessly compressed file can declare one; the unit tests cover the cap itself, so
// targets that can read the declared size cheaply skip such inputs to keep the fuzzer fast.
constexpr int64_t kFuzzMaxPixels = int64_t{1} << 22;

inline int FuzzPhoto(void (*decode)(const uint8_t*, size_t, TBitmap&, PhotoMetadata&), const uint8_t* data,
                     size_t size) {
    TBitmap bmp;
    PhotoMetadata meta;
    try {
        decode(data, size, bmp, meta);
    } catch (const EInvalidGraphic&) {
        return 0;
    }
    FUZZ_CHECK(!bmp.Empty());
    FUZZ_CHECK(bmp.PixelFormat() == pf24bit || bmp.PixelFormat() == pf32bit);
    FUZZ_CHECK(meta.orientation >= 1 && meta.orientation <= 8);
    FUZZ_CHECK(ExifOrientation(meta.exif) >= 1);
    const int w = bmp.Width(), h = bmp.Height();
    ApplyOrientation(bmp, meta.orientation);
    FUZZ_CHECK(meta.orientation >= 5 ? bmp.Width() == h && bmp.Height() == w : bmp.Width() == w && bmp.Height() == h);
    TouchBitmap(bmp);
    return 0;
}
