// Inflates PNG image data row by row and reverses the five row filters in place.
// The owner supplies the refill step that walks its consecutive image-data chunks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <zlib.h>

struct InflateAdapter {
    static constexpr uint32_t kInputSize = 32768;

    InflateAdapter() = default;
    ~InflateAdapter() { EndInflate(); }
    InflateAdapter(const InflateAdapter&) = delete;
    InflateAdapter& operator=(const InflateAdapter&) = delete;

    // 0, or -1 when the buffer or the zlib stream cannot be set up.
    int StartInflate();
    void EndInflate();
    void ResetInflate();
    // Produces exactly count bytes; 0 on success, else the refill's stop value or a negative
    // zlib status.
    int InflateBytes(uint8_t* dest, uint32_t count);
    // Reads and unfilters the next row into currentRow; 0 or negative.
    int ReadRow();
    int UnfilterRow();

    // Where the refill step puts compressed bytes, then hands them over with SetInput.
    uint8_t* InputBuffer() { return input.get(); }
    void SetInput(uint32_t count) {
        stream.next_in = input.get();
        stream.avail_in = count;
    }

    // 0 to go on; anything else stops InflateBytes with that value.
    std::function<int()> Refill;
    z_stream stream{};
    std::unique_ptr<uint8_t[]> input;
    uint32_t inputSize = 0;
    bool streamOpen = false;
    int32_t rowLength = 0;           // filter byte included
    uint8_t* currentRow = nullptr;   // filter byte first
    uint8_t* previousRow = nullptr;  // unfiltered, all zero before a pass's first row
    int32_t bitsPerPixel = 0;        // of a whole pixel in the file
};
