// The image data of a PNG deflated in bands of rows side by side. Each band is compressed as
// raw deflate data primed with the 32 KiB of filtered rows before it, so it still finds its
// matches across the band boundary, and ends on a byte boundary (a sync flush) so that the
// bands join into one zlib stream; the last band finishes the stream. The Adler-32 checksum
// is combined from the bands'. A decoder sees one ordinary zlib stream of the same filtered
// rows; it is a little longer than one compressed in a single piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "KMZLIB.h"

struct TRowBands {
    int32_t Rows = 0;          // rows of the picture (one pass, no interlacing)
    int32_t RowLength = 0;     // filtered bytes of a row, type byte included
    size_t RowBuffer = 0;      // bytes of each row buffer, as much as Pack may touch
    int32_t BitsPerPixel = 8;  // the deflate adapter's filter settings
    int32_t FilterMode = 1;
    int32_t SourceDepth = 8;
    // Packs picture row y into out (RowLength - 1 bytes). Called on several threads at once.
    std::function<void(int32_t y, uint8_t* out)> Pack;
    // Rows compressed so far, now and then, on the calling thread.
    std::function<void(int32_t rows)> Progress;
};

// Compresses the rows at level (-1 or 1 to 9) on up to threads threads and hands the whole
// zlib stream to the started adapter, which cuts it into its blocks as if it had compressed
// the rows itself, the last shorter block included. Returns false, having done nothing, when
// the rows make a single band. Raises EKMPNG when zlib fails or the adapter's block handler
// reports a failure; what the handler raises passes through.
bool DeflateRowBands(const TRowBands& rows, int level, int threads, DeflateAdapter& adapter);
