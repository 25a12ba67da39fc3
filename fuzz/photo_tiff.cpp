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
        if (value(256) * value(257) > kFuzzMaxPixels) return 0;
    }
    return FuzzPhoto(DecodeTiffPhoto, data, size);
}
