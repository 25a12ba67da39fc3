#include "KMInflate.h"

#include <cstdlib>
#include <new>

int InflateAdapter::StartInflate() {
    if (input) EndInflate();
    input.reset(new (std::nothrow) uint8_t[kInputSize]);
    if (!input) return -1;
    inputSize = kInputSize;
    stream = z_stream{};
    stream.next_in = input.get();
    stream.avail_in = 0;
    if (inflateInit2(&stream, 15) != Z_OK) {
        EndInflate();
        return -1;
    }
    streamOpen = true;
    return 0;
}

void InflateAdapter::EndInflate() {
    input.reset();
    inputSize = 0;
    if (streamOpen) inflateEnd(&stream);
    streamOpen = false;
}

void InflateAdapter::ResetInflate() {
    if (streamOpen) inflateReset(&stream);
    stream.next_in = input.get();
    stream.avail_in = 0;
}

int InflateAdapter::InflateBytes(uint8_t* dest, uint32_t count) {
    if (!streamOpen) return -1;
    stream.next_out = dest;
    stream.avail_out = count;
    int result = 0;
    while (stream.avail_out > 0) {
        if (stream.avail_in == 0) {
            result = Refill ? Refill() : -1;
            if (result != 0) break;
        }
        result = inflate(&stream, Z_NO_FLUSH);
        if (result < 0) break;
        // The compressed stream has ended (or wants a dictionary PNG never has) while rows are
        // still missing: calling inflate again would never make progress.
        if (result != Z_OK && stream.avail_out > 0) {
            result = -1;
            break;
        }
    }
    return result < 0 ? result : (stream.avail_out > 0 ? result : 0);
}

int InflateAdapter::ReadRow() {
    if (rowLength <= 0) return -1;
    const int r = InflateBytes(currentRow, static_cast<uint32_t>(rowLength));
    if (r != 0) return r < 0 ? r : -1;
    return UnfilterRow();
}

namespace {

inline uint8_t Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// The filter distance as a compile-time constant lets the compiler keep a pixel in registers.
template <int D>
void UnfilterSub(uint8_t* x, int n) {
    for (int i = D; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + x[i - D]);
}

template <int D>
void UnfilterAverage(uint8_t* x, const uint8_t* b, int n) {
    const int head = n < D ? n : D;
    for (int i = 0; i < head; ++i) x[i] = static_cast<uint8_t>(x[i] + (b[i] >> 1));
    for (int i = D; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + ((b[i] + x[i - D]) >> 1));
}

template <int D>
void UnfilterPaeth(uint8_t* x, const uint8_t* b, int n) {
    const int head = n < D ? n : D;
    // With a and c both 0 the predictor is b.
    for (int i = 0; i < head; ++i) x[i] = static_cast<uint8_t>(x[i] + b[i]);
    for (int i = D; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + Paeth(x[i - D], b[i], b[i - D]));
}

template <int D>
int UnfilterWith(int type, uint8_t* x, const uint8_t* b, int n) {
    switch (type) {
    case 0: return 0;
    case 1: UnfilterSub<D>(x, n); return 0;
    case 2:
        for (int i = 0; i < n; ++i) x[i] = static_cast<uint8_t>(x[i] + b[i]);
        return 0;
    case 3: UnfilterAverage<D>(x, b, n); return 0;
    case 4: UnfilterPaeth<D>(x, b, n); return 0;
    default: return -1;
    }
}

}  // namespace

int InflateAdapter::UnfilterRow() {
    const int n = rowLength - 1;
    uint8_t* x = currentRow + 1;
    const uint8_t* b = previousRow + 1;
    const int type = currentRow[0];
    switch ((bitsPerPixel + 7) >> 3) {
    case 1: return UnfilterWith<1>(type, x, b, n);
    case 2: return UnfilterWith<2>(type, x, b, n);
    case 3: return UnfilterWith<3>(type, x, b, n);
    case 4: return UnfilterWith<4>(type, x, b, n);
    case 6: return UnfilterWith<6>(type, x, b, n);
    case 8: return UnfilterWith<8>(type, x, b, n);
    default: return -1;
    }
}
