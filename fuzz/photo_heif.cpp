// The HEIF photo decoder on any bytes.
#include "FuzzPhoto.h"

namespace {

// A square of the fuzzer's pixel bound: libheif sizes a grid's canvas from the file alone.
constexpr int kFuzzMaxSide = 2048;
static_assert(int64_t{kFuzzMaxSide} * kFuzzMaxSide == kFuzzMaxPixels);

void DecodeSmallHeif(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    DecodeHeifPhoto(data, size, bitmap, metadata, kFuzzMaxSide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzPhoto(DecodeSmallHeif, data, size);
}
