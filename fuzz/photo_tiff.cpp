// The TIFF photo decoder on any bytes.
#include "FuzzPhoto.h"
#include "TiffIfd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TiffIfd ifd;
    if (ifd.Open(data, size)) {
        auto value = [&](unsigned tag) -> int64_t {
            const auto f = ifd.Find(tag);
            if (!f || f->count != 1) return 0;
            return f->type == 3 ? ifd.U16(f->offset) : f->type == 4 ? ifd.U32(f->offset) : 0;
        };
        // Either side alone may be near 2^32; bound each before the product so it cannot overflow.
        const int64_t w = value(256), h = value(257);
        if (w > kFuzzMaxPixels || h > kFuzzMaxPixels || w * h > kFuzzMaxPixels) return 0;
    }
    return FuzzPhoto(DecodeTiffPhoto, data, size);
}
