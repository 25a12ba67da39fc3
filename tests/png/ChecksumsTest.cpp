// The fast checksums against zlib's: the Adler-32 on the lengths where its blocks, reductions
// and tail meet, on bytes that push the sums hardest, and chained over uneven pieces; the
// CRC-32 on every short length and alignment and on the lengths where its folding changes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include <zlib.h>

#include "Checksums.h"

namespace {

TEST(StreamAdler32, MatchesZlib) {
    std::mt19937 rng(32);
    for (int fill : {-1, 0xFF, 0}) {
        for (size_t len : {0, 1, 31, 32, 63, 64, 65, 5551, 5552, 5553, 5600, 11104 + 31, 100000, 1 << 20}) {
            std::vector<uint8_t> data(len + 1);  // never empty: zlib takes a null buffer as a reset
            for (auto& b : data) b = static_cast<uint8_t>(fill < 0 ? rng() : fill);
            for (uint32_t start : {1u, 0xFFF0FFF0u}) {  // a fresh sum, and sums near the modulus
                SCOPED_TRACE(std::to_string(fill) + " " + std::to_string(len) + " from " + std::to_string(start));
                const auto want = static_cast<uint32_t>(adler32(start, data.data(), static_cast<uInt>(len)));
                EXPECT_EQ(StreamAdler32(start, data.data(), len), want);
                uint32_t chained = start;
                for (size_t at = 0, piece = 7; at < len; at += piece, piece = piece * 3 + 1)
                    chained = StreamAdler32(chained, data.data() + at, std::min(piece, len - at));
                EXPECT_EQ(chained, want);
            }
        }
    }
}

TEST(ChunkCrc32, MatchesZlib) {
    std::mt19937 rng(21);
    std::vector<uint8_t> data(70000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1023u, 1024u, 4097u, 32768u, 65535u, 69984u}) lengths.push_back(n);
    for (size_t offset = 0; offset < 16; offset += 3)
        for (size_t n : lengths)
            for (uint32_t start : {0u, 0x12345678u}) {
                const uint8_t* p = data.data() + offset;
                ASSERT_EQ(ChunkCrc32(start, p, n), crc32(start, p, static_cast<uInt>(n)))
                    << "offset " << offset << " length " << n;
            }
    // Chained over pieces as the chunk writer does: type first, then data.
    const uint32_t whole = static_cast<uint32_t>(crc32(0, data.data(), 40004));
    EXPECT_EQ(ChunkCrc32(ChunkCrc32(0, data.data(), 4), data.data() + 4, 40000), whole);
}

}  // namespace
