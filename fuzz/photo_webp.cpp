// The WebP photo decoder on any bytes.
#include <webp/decode.h>

#include "FuzzPhoto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int width = 0, height = 0;
    if (WebPGetInfo(data, size, &width, &height) && int64_t{width} * height > kFuzzMaxPixels) return 0;
    return FuzzPhoto(DecodeWebpPhoto, data, size);
}
