#include "KMZLIB.h"

#include "Checksums.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

void DeflateAdapter::ResetOutput() {
    Stream.next_out = block_.get();
    Stream.avail_out = static_cast<uInt>(BlockSize);
}

int32_t DeflateAdapter::StartDeflate(int32_t level, int32_t blockSize) {
    if (blockSize <= 0 || blockSize >= kMaxBlockSize) blockSize = kDefaultBlockSize;
    if (block_ || zlibReady_) EndDeflate();
    block_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(blockSize)]);
    if (!block_) {
        ZlibStatus = Z_MEM_ERROR;
        return -1;
    }
    BlockSize = blockSize;
    Stream = z_stream{};
    ResetOutput();
    ownWrapper_ = level == 0;
    headerDue_ = ownWrapper_;
    adler_ = 1;
    if (const int r = deflateInit2(&Stream, level, Z_DEFLATED, ownWrapper_ ? -15 : 15, 8, Z_DEFAULT_STRATEGY);
        r != Z_OK) {
        ZlibStatus = r;
        return -1;
    }
    zlibReady_ = true;
    return 0;
}

// Puts bytes straight into the block where zlib would, handing on each block that fills.
int32_t DeflateAdapter::PutStreamBytes(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        if (Stream.avail_out == 0) {
            if (const int32_t h = OnBlock(*this); h != 0) return h;
            ResetOutput();
        }
        const size_t n = std::min<size_t>(count, Stream.avail_out);
        std::memcpy(Stream.next_out, bytes, n);
        Stream.next_out += n;
        Stream.avail_out -= static_cast<uInt>(n);
        bytes += n;
        count -= n;
    }
    if (Stream.avail_out == 0) {
        if (const int32_t h = OnBlock(*this); h != 0) return h;
        ResetOutput();
    }
    return 0;
}

int32_t DeflateAdapter::FlushBlock() {
    const int32_t result = BlockFill() > 0 ? OnBlock(*this) : 0;
    ResetOutput();
    return result;
}

int32_t DeflateAdapter::DeflateBytes(const uint8_t* data, int32_t count) {
    if (!zlibReady_) return Z_STREAM_ERROR;
    if (headerDue_) {
        static constexpr uint8_t kHeader[2] = {0x78, 0x01};  // what zlib writes for level 0
        headerDue_ = false;
        if (const int32_t h = PutStreamBytes(kHeader, 2); h != 0) return h;
    }
    if (ownWrapper_) adler_ = StreamAdler32(adler_, data, static_cast<size_t>(count));
    Stream.next_in = const_cast<Bytef*>(data);
    Stream.avail_in = static_cast<uInt>(count);
    int32_t result = 0;
    while (Stream.avail_in > 0) {
        result = deflate(&Stream, Z_NO_FLUSH);
        if (result < 0) return ZlibStatus = result;
        // Checked after every run, so a block that fills exactly leaves at once.
        if (Stream.avail_out == 0) {
            if (const int32_t h = OnBlock(*this); h != 0) return h;
            ResetOutput();
        }
    }
    return result;
}

int32_t DeflateAdapter::FinishDeflate() {
    if (!zlibReady_) return -1;
    if (headerDue_) {
        if (const int32_t h = DeflateBytes(nullptr, 0); h != 0) return h;
    }
    Stream.next_in = nullptr;
    Stream.avail_in = 0;
    for (;;) {
        const int r = deflate(&Stream, Z_FINISH);
        if (r < 0) {
            ZlibStatus = r;
            return -1;
        }
        if (r == Z_STREAM_END) break;
        if (Stream.avail_out == 0) {
            if (const int32_t h = OnBlock(*this); h != 0) return h;
            ResetOutput();
        }
    }
    if (ownWrapper_) {
        const uint8_t trailer[4] = {static_cast<uint8_t>(adler_ >> 24), static_cast<uint8_t>(adler_ >> 16),
                                    static_cast<uint8_t>(adler_ >> 8), static_cast<uint8_t>(adler_)};
        if (const int32_t h = PutStreamBytes(trailer, 4); h != 0) return h;
        headerDue_ = true;
        adler_ = 1;
    }
    int32_t result = 0;
    if (BlockFill() > 0) result = OnBlock(*this);
    deflateReset(&Stream);
    ResetOutput();
    return result;
}

void DeflateAdapter::EndDeflate() {
    block_.reset();
    BlockSize = 0;
    if (zlibReady_) {
        deflateEnd(&Stream);
        zlibReady_ = false;
    }
}

int32_t DeflateAdapter::FilterAndCompressRow() {
    FilterRow();
    return DeflateBytes(ChosenRow, RowLength);
}

int32_t DeflateAdapter::CompressInPlaceRow() {
    ChosenRow[0] = 0;
    return DeflateBytes(ChosenRow, RowLength);
}

namespace {

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

}  // namespace

// Writes filter type 1..4 of the current row after its type byte in out.
void DeflateAdapter::ApplyFilter(int type, uint8_t* out) const {
    const int n = RowLength - 1;
    const int bpp = BitsPerPixel >= 8 ? (BitsPerPixel + 7) / 8 : 1;
    const uint8_t* raw = CurrentRow;
    const uint8_t* prior = PreviousRow;
    out[0] = static_cast<uint8_t>(type);
    uint8_t* o = out + 1;
    const int head = bpp < n ? bpp : n;  // bytes without a left neighbour
    switch (type) {
    case 1:
        std::memcpy(o, raw, static_cast<size_t>(head));
        for (int i = head; i < n; ++i) o[i] = static_cast<uint8_t>(raw[i] - raw[i - bpp]);
        break;
    case 2:
        for (int i = 0; i < n; ++i) o[i] = static_cast<uint8_t>(raw[i] - prior[i]);
        break;
    case 3:
        for (int i = 0; i < head; ++i) o[i] = static_cast<uint8_t>(raw[i] - (prior[i] >> 1));
        for (int i = head; i < n; ++i) o[i] = static_cast<uint8_t>(raw[i] - ((raw[i - bpp] + prior[i]) >> 1));
        break;
    default:
        for (int i = 0; i < head; ++i) o[i] = static_cast<uint8_t>(raw[i] - prior[i]);  // Paeth(0, b, 0) = b
        for (int i = head; i < n; ++i)
            o[i] = static_cast<uint8_t>(raw[i] - Paeth(raw[i - bpp], prior[i], prior[i - bpp]));
        break;
    }
}

void DeflateAdapter::FilterRow() {
    const int mode = FilterMode & 0xFF;
    if (mode >= 2 && mode <= 5) {
        ApplyFilter(mode - 1, CandidateRow);
        std::swap(ChosenRow, CandidateRow);
        return;
    }
    ChosenRow[0] = 0;
    std::memcpy(ChosenRow + 1, CurrentRow, static_cast<size_t>(RowLength - 1));
    if (mode != 0) return;

    int32_t best = RowScore(ChosenRow);
    if (best == -1 || SourceDepth == 4) return;
    if (SourceDepth == 1 || SourceDepth == 8) best *= 2;
    for (int type = 1; type <= 4; ++type) {
        ApplyFilter(type, CandidateRow);
        const int32_t s = RowScore(CandidateRow);
        if (s == -1 || s > best) {
            std::swap(ChosenRow, CandidateRow);
            if (s == -1) return;
            best = s;
        }
    }
}

int32_t DeflateAdapter::RowScore(const uint8_t* buffer) const {
    const int32_t length = RowLength;
    std::memset(Counts, 0, 256 * sizeof(uint32_t));
    for (int32_t i = 0; i < length; ++i) ++Counts[buffer[i]];
    int32_t distinct = 0;
    uint32_t top1 = 0, top2 = 0, top3 = 0;
    for (int v = 0; v < 256; ++v) {
        const uint32_t c = Counts[v];
        if (c == 0) continue;
        ++distinct;
        if (c >= top1) {
            top3 = top2;
            top2 = top1;
            top1 = c;
        } else if (c >= top2) {
            top3 = top2;
            top2 = c;
        } else if (c > top3) {
            top3 = c;
        }
    }
    if (distinct <= 8 || int64_t{top1} * 100 >= int64_t{90} * length) return -1;
    const long double l = length;
    long double score;
    if (BitsPerPixel < 8)
        score = (l / 1.5L) / distinct * 1500 + static_cast<long double>(top1 + top2) / l * 1000;
    else
        score = (l / 1.5L) / distinct * 1000 + static_cast<long double>(top1 + top2 + top3) / l * 1000;
    return static_cast<int32_t>(score);
}
