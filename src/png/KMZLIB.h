// The deflate side of the PNG codec: filters each packed row, feeds it to zlib and hands every
// full output block to the encoder's handler, which writes it as one IDAT chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <zlib.h>

struct DeflateAdapter {
    // Called with a full block (and once with the last, shorter one): BlockData(), BlockFill()
    // bytes. 0 means success; any other value stops the adapter, which answers it. What the
    // handler raises passes through the adapter untouched.
    using BlockHandler = std::function<int32_t(DeflateAdapter& adapter)>;

    static constexpr int32_t kDefaultBlockSize = 32768;
    static constexpr int32_t kMaxBlockSize = 262144;  // exclusive

    DeflateAdapter() = default;
    ~DeflateAdapter() { EndDeflate(); }
    DeflateAdapter(const DeflateAdapter&) = delete;
    DeflateAdapter& operator=(const DeflateAdapter&) = delete;

    z_stream Stream{};
    int32_t BlockSize = 0;
    BlockHandler OnBlock;
    // The zlib status of the last failure (Z_MEM_ERROR when the block could not be had), 0 before.
    int32_t ZlibStatus = 0;

    // Set by the encoder; the row buffers are the encoder's.
    int32_t RowLength = 0;  // filtered row bytes including the filter-type byte
    uint8_t* CurrentRow = nullptr;
    uint8_t* PreviousRow = nullptr;   // all zero at the start of a pass
    int32_t BitsPerPixel = 8;         // of one complete output pixel
    int32_t FilterMode = 1;           // 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average, 5 Paeth, >5 None
    int32_t SourceDepth = 8;          // effective source depth, for the adaptive choice only
    uint8_t* ChosenRow = nullptr;     // row-length bytes: type byte and the row to compress
    uint8_t* CandidateRow = nullptr;  // same size, for trying another filter
    uint32_t* Counts = nullptr;       // 256 counters for RowScore

    int32_t StartDeflate(int32_t level, int32_t blockSize);  // 0, or -1 (see ZlibStatus)
    int32_t DeflateBytes(const uint8_t* data, int32_t count);
    int32_t FinishDeflate();
    void EndDeflate();

    void FilterRow();
    // Higher means the row should compress better; -1 means take this row at once.
    int32_t RowScore(const uint8_t* buffer) const;
    int32_t FilterAndCompressRow();

    // With the None filter nothing needs the raw row afterwards, so the encoder may pack
    // straight behind the type byte of the chosen buffer and skip the copy.
    bool PacksInPlace() const { return (FilterMode & 0xFF) == 1 || (FilterMode & 0xFF) > 5; }
    uint8_t* InPlaceRow() const { return ChosenRow + 1; }
    int32_t CompressInPlaceRow();

    // The output block and the bytes of it that hold output.
    const uint8_t* BlockData() const { return block_.get(); }

    // A zlib stream compressed elsewhere (bands compressed side by side), cut into blocks as
    // the adapter's own output is; the adapter must be started. FlushBlock then hands over the
    // last, shorter block. Both return the handler's non-zero result.
    int32_t PutStreamBytes(const uint8_t* bytes, size_t count);
    int32_t FlushBlock();

    int32_t BlockFill() const { return BlockSize - static_cast<int32_t>(Stream.avail_out); }

private:
    std::unique_ptr<uint8_t[]> block_;
    void ApplyFilter(int type, uint8_t* out) const;
    void ResetOutput();
    bool zlibReady_ = false;
    // Level 0: zlib writes raw stored blocks and this adapter the stream's header and
    // checksum, which it computes faster; the bytes are those zlib itself would write.
    bool ownWrapper_ = false;
    bool headerDue_ = false;
    uint32_t adler_ = 1;
};
