// What every fuzz target shares: a failed expectation aborts, so that libFuzzer (or the replay
// program) records the input as a crasher.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "Graphics.h"

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Reads every pixel so that sanitizers see any access past the rows or any unset byte, and
// checks the bitmap's own bookkeeping. Returns a value that depends on every pixel.
inline uint32_t TouchBitmap(const TBitmap& bmp) {
    if (bmp.Empty()) return 0;
    FUZZ_CHECK(bmp.Width() > 0 && bmp.Height() > 0);
    FUZZ_CHECK(bmp.BitsSize() >= static_cast<size_t>(bmp.RowStride()) * static_cast<size_t>(bmp.Height()));
    uint32_t sum = 0;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) sum = sum * 31 + static_cast<uint32_t>(bmp.GetPixel(x, y));
    return sum;
}
