// Pixel formats: packed indexes judged by reading the row as one string of bits, the 15- and
// 16-bit words against their own inverse, the two stride rules against each other, and the
// zeroed memory pixels live in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "PixelFormat.h"
#include "ZeroedBlock.h"

namespace {

// Pixel x of a packed row as a bit string read from the first byte's top bit on.
unsigned BitStringIndex(const std::vector<uint8_t>& row, int x, int bits) {
    unsigned v = 0;
    for (int i = 0; i < bits; ++i) {
        const int bit = x * bits + i;
        v = (v << 1) | ((row[static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1u);
    }
    return v;
}

TEST(PixelFormat, PackedIndexesReadAndWriteOnePixelEach) {
    std::mt19937 rng(5);
    for (int bits : {1, 2, 4, 8}) {
        SCOPED_TRACE(bits);
        const int width = 37;
        std::vector<uint8_t> row(static_cast<size_t>(RowBytes(width, bits)));
        for (auto& b : row) b = static_cast<uint8_t>(rng());
        for (int x = 0; x < width; ++x) ASSERT_EQ(PackedIndex(row.data(), x, bits), BitStringIndex(row, x, bits)) << x;
        unsigned most = 0;
        for (int x = 0; x < width; ++x) most = std::max(most, BitStringIndex(row, x, bits));
        EXPECT_EQ(MaxPackedIndex(row.data(), width, bits), most);

        for (int x = 0; x < width; ++x) {
            const std::vector<uint8_t> before = row;
            const unsigned index = static_cast<unsigned>(rng());
            SetPackedIndex(row.data(), x, bits, index);
            for (int other = 0; other < width; ++other) {
                const unsigned want = other == x ? index & ((1u << bits) - 1) : BitStringIndex(before, other, bits);
                ASSERT_EQ(BitStringIndex(row, other, bits), want) << "set " << x << ", read " << other;
            }
        }
    }
}

TEST(PixelFormat, WordsWidenToFullRangeAndPackBackUnchanged) {
    for (TPixelFormat format : {pf15bit, pf16bit}) {
        SCOPED_TRACE(format);
        const uint32_t used = format == pf15bit ? 0x7FFF : 0xFFFF;  // the 15-bit top bit is unused
        for (uint32_t w = 0; w <= used; ++w) ASSERT_EQ(ColorWord(WordColor(w, format), format), w) << w;
        EXPECT_EQ(WordColor(used, format), RGBColor(255, 255, 255));
        EXPECT_EQ(WordColor(0, format), RGBColor(0, 0, 0));
    }
    // A wider channel keeps its top bits; a channel of no bits is 0.
    EXPECT_EQ(WidenChannel(0x3FF, 10), 255);
    EXPECT_EQ(WidenChannel(0x200, 10), 128);
    EXPECT_EQ(WidenChannel(5, 0), 0);
}

TEST(PixelFormat, BitCountsAndStridesAgree) {
    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        EXPECT_EQ(FormatOfBits(FormatBits(format)), format);
        EXPECT_LE(FormatBits(format), StorageBits(format)) << format;
    }
    // Where nothing overflows, the codec's 32-bit stride rule and the bitmap's are one rule.
    for (int32_t width : {0, 1, 3, 9, 1000, 1 << 20})
        for (int32_t bits : {1, 2, 4, 8, 15, 16, 24, 32, 48, 64})
            EXPECT_EQ(WrappingRowBytes(width, bits), RowBytes(width, bits)) << width << " " << bits;
}

}  // namespace

// Pixel memory is handed out zeroed on both sides of the size where it stops coming from the
// heap, also after a block of that size was filled and given back, and copies are whole.
TEST(ZeroedBlock, EverySizeStartsZeroAndCopiesWhole) {
    for (const size_t size : {size_t{1}, size_t{4095}, (size_t{1} << 20) - 1, size_t{1} << 20, (size_t{5} << 20) + 3}) {
        {
            TZeroedBlock used(size);
            std::memset(used.data(), 0xA5, size);
        }
        TZeroedBlock block(size);
        ASSERT_EQ(block.size(), size);
        EXPECT_EQ(std::count(block.data(), block.data() + size, 0), static_cast<ptrdiff_t>(size)) << size;
        block.data()[0] = 1;
        block.data()[size - 1] = 2;
        const TZeroedBlock copy(block);
        EXPECT_EQ(std::memcmp(copy.data(), block.data(), size), 0) << size;
        TZeroedBlock moved(std::move(block));
        EXPECT_TRUE(block.empty());
        EXPECT_EQ(moved.data()[size - 1], 2) << size;
    }
}
