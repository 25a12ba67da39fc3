// The fast Adler-32 against zlib's, on the lengths where its blocks, reductions and tail
// meet, on bytes that push the sums hardest, and chained over uneven pieces.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "KMZLIB.h"

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

}  // namespace
