// The JPEG photo decoder on any bytes.
#include "FuzzPhoto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Any frame header (SOF0..SOF15 but DHT, JPG and DAC) declaring a picture past the fuzzing bound.
    for (size_t i = 0; i + 9 <= size; ++i)
        if (data[i] == 0xFF && (data[i + 1] & 0xF0) == 0xC0 && data[i + 1] != 0xC4 && data[i + 1] != 0xC8 &&
            data[i + 1] != 0xCC) {
            const int64_t height = (data[i + 5] << 8) | data[i + 6], width = (data[i + 7] << 8) | data[i + 8];
            if (width * height > kFuzzMaxPixels) return 0;
        }
    return FuzzPhoto(DecodeJpegPhoto, data, size);
}
