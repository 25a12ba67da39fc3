// The HEIF photo decoder on any bytes.
#include "FuzzPhoto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzPhoto(DecodeHeifPhoto, data, size);
}
