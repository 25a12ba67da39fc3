#include "ParallelDeflate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <zlib.h>

#include "Checksums.h"
#include "KMPNG.h"
#include "OrderedParts.h"

namespace {

constexpr size_t kWindow = 32768;           // what deflate may look back, and so the priming
constexpr int64_t kBandBytes = 1 << 20;     // filtered bytes a band aims at
constexpr size_t kOutputChunk = 64 * 1024;  // compressed bytes passed on at a time

[[noreturn]] void WriteError() { throw EKMPNG("Write Image (PNG): Write Error"); }

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// The filtering half of a deflate adapter, with row buffers of its own: packs and filters
// the rows of one band.
class TBandFilter {
public:
    explicit TBandFilter(const TRowBands& rows) : rows_(rows) {
        const size_t size = (rows.RowBuffer + 31) / 32 * 32;
        block_.reset(static_cast<uint8_t*>(std::aligned_alloc(32, 4 * size + 256 * sizeof(uint32_t))));
        if (!block_) throw EOutOfResources("Write Image (PNG): Out of memory", TFailureKind::OutOfMemory);
        filter_.RowLength = rows.RowLength;
        filter_.BitsPerPixel = rows.BitsPerPixel;
        filter_.FilterMode = rows.FilterMode;
        filter_.SourceDepth = rows.SourceDepth;
        filter_.CurrentRow = block_.get();
        filter_.PreviousRow = block_.get() + size;
        filter_.ChosenRow = block_.get() + 2 * size;
        filter_.CandidateRow = block_.get() + 3 * size;
        filter_.Counts = reinterpret_cast<uint32_t*>(block_.get() + 4 * size);
        std::memset(filter_.PreviousRow, 0, static_cast<size_t>(rows.RowLength));
    }

    // Row y - 1 as the one above the first row filtered; none above the picture's first row.
    void StartAt(int32_t y) {
        if (y > 0 && !filter_.PacksInPlace()) rows_.Pack(y - 1, filter_.PreviousRow);
    }

    // Filters the next row, y; the type byte and the filtered row are then at Filtered().
    void Next(int32_t y) {
        if (filter_.PacksInPlace()) {
            rows_.Pack(y, filter_.InPlaceRow());
            filter_.ChosenRow[0] = 0;
            return;
        }
        rows_.Pack(y, filter_.CurrentRow);
        filter_.FilterRow();
        std::swap(filter_.CurrentRow, filter_.PreviousRow);
    }
    const uint8_t* Filtered() const { return filter_.ChosenRow; }

private:
    const TRowBands& rows_;
    std::unique_ptr<uint8_t, FreeDeleter> block_;
    DeflateAdapter filter_;  // never started: only its filters are used
};

class TRawDeflate {
public:
    explicit TRawDeflate(int level) {
        // Raw deflate: the bands' joint stream gets its header and checksum from the caller.
        if (deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) WriteError();
    }
    ~TRawDeflate() { deflateEnd(&z_); }
    TRawDeflate(const TRawDeflate&) = delete;
    TRawDeflate& operator=(const TRawDeflate&) = delete;

    void Prime(const uint8_t* dictionary, size_t length) {
        if (deflateSetDictionary(&z_, dictionary, static_cast<uInt>(length)) != Z_OK) WriteError();
    }

    // Compresses the bytes; with flush Z_SYNC_FLUSH or Z_FINISH also ends the band.
    void Put(const uint8_t* data, size_t length, int flush, TStream& out) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(length);
        for (;;) {
            z_.next_out = buffer_;
            z_.avail_out = sizeof buffer_;
            const int r = deflate(&z_, flush);
            if (r < 0 && r != Z_BUF_ERROR) WriteError();
            out.WriteBuffer(buffer_, static_cast<int64_t>(sizeof buffer_ - z_.avail_out));
            // Done when the input is used up and deflate did not fill the output (Z_FINISH:
            // until the end of the stream).
            if (flush == Z_FINISH ? r == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) return;
        }
    }

private:
    z_stream z_{};
    uint8_t buffer_[kOutputChunk];
};

// The compressed stream, passed on to the adapter's blocks.
class TAdapterSink : public TStream {
public:
    explicit TAdapterSink(DeflateAdapter& adapter) : adapter_(adapter) {}
    int64_t Write(const void* buffer, int64_t count) override {
        if (count > 0 && adapter_.PutStreamBytes(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count)) != 0)
            WriteError();
        return count;
    }
    int64_t Read(void*, int64_t) override { throw EReadError("The stream is write-only"); }
    int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("This stream cannot seek"); }

private:
    DeflateAdapter& adapter_;
};

// The two bytes zlib puts before a stream of 32 KiB window at the level.
void ZlibHeader(int level, uint8_t header[2]) {
    const unsigned levelFlags = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned h = (0x78u << 8) | (levelFlags << 6);
    h += 31 - h % 31;
    header[0] = static_cast<uint8_t>(h >> 8);
    header[1] = static_cast<uint8_t>(h);
}

}  // namespace

bool DeflateRowBands(const TRowBands& rows, int level, int threads, DeflateAdapter& adapter) {
    if (level == Z_DEFAULT_COMPRESSION) level = 6;  // what zlib makes of it
    if (level < 1 || level > 9 || rows.Rows <= 0 || rows.RowLength <= 0 || threads <= 1) return false;
    const int64_t length = rows.RowLength;
    // Bands of about kBandBytes, at least one per thread.
    const int64_t bandRows =
        std::clamp<int64_t>((kBandBytes + length - 1) / length, 1, (rows.Rows + threads - 1) / threads);
    const int bands = static_cast<int>((rows.Rows + bandRows - 1) / bandRows);
    if (bands <= 1) return false;

    std::vector<uint32_t> adlers(static_cast<size_t>(bands), 1);
    TOrderedPartsJob job;
    job.Parts = bands;
    job.Threads = threads;
    job.Ahead = 2 * threads;  // bounds the compressed bands waiting for their turn
    job.Produce = [&](int band, TStream& out, TPartContext& context) {
        const int32_t first = static_cast<int32_t>(band * bandRows);
        const int32_t last = static_cast<int32_t>(std::min<int64_t>(first + bandRows, rows.Rows));
        TBandFilter filter(rows);
        TRawDeflate deflater(level);
        // The rows before the band that fill the window are filtered again to prime it.
        const int32_t primeRows =
            std::min<int32_t>(first, static_cast<int32_t>((static_cast<int64_t>(kWindow) + length - 1) / length));
        filter.StartAt(first - primeRows);
        if (primeRows > 0) {
            std::vector<uint8_t> window;
            window.reserve(static_cast<size_t>(primeRows * length));
            for (int32_t y = first - primeRows; y < first; ++y) {
                filter.Next(y);
                window.insert(window.end(), filter.Filtered(), filter.Filtered() + length);
            }
            const size_t keep = std::min(window.size(), kWindow);
            deflater.Prime(window.data() + window.size() - keep, keep);
        }
        uint32_t adler = 1;
        for (int32_t y = first; y < last; ++y) {
            if (context.Abandoned()) return;
            filter.Next(y);
            adler = StreamAdler32(adler, filter.Filtered(), static_cast<size_t>(length));
            deflater.Put(filter.Filtered(), static_cast<size_t>(length), Z_NO_FLUSH, out);
            context.Done(1);
        }
        deflater.Put(nullptr, 0, band + 1 == bands ? Z_FINISH : Z_SYNC_FLUSH, out);
        adlers[static_cast<size_t>(band)] = adler;
    };
    if (rows.Progress) job.Progress = [&](int64_t done) { rows.Progress(static_cast<int32_t>(done)); };

    TAdapterSink sink(adapter);
    uint8_t header[2];
    ZlibHeader(level, header);
    sink.WriteBuffer(header, 2);
    RunOrderedParts(job, sink);
    uint32_t adler = adlers[0];
    for (int band = 1; band < bands; ++band) {
        const int64_t bandLength = (std::min<int64_t>((band + 1) * bandRows, rows.Rows) - band * bandRows) * length;
        adler = static_cast<uint32_t>(adler32_combine(adler, adlers[static_cast<size_t>(band)], bandLength));
    }
    const uint8_t trailer[4] = {static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                                static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
    sink.WriteBuffer(trailer, 4);
    if (adapter.FlushBlock() != 0) WriteError();
    return true;
}
