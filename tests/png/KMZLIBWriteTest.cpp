// The deflate adapter: scores, the adaptive choice, and how blocks leave it.
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "KMZLIB.h"

namespace {

// An adapter with its own row buffers; every handed-over block is collected.
struct Harness {
    DeflateAdapter a;
    std::vector<uint8_t> rows = std::vector<uint8_t>(4 * 1024);
    std::vector<uint32_t> counts = std::vector<uint32_t>(256);
    std::vector<std::vector<uint8_t>> blocks;
    int32_t handlerResult = 0;

    explicit Harness(int32_t rowBytes, int32_t bits = 8, int32_t sourceDepth = 24, int32_t mode = 0) {
        a.OnBlock = [this](DeflateAdapter& ad) {
            blocks.emplace_back(ad.BlockData(), ad.BlockData() + ad.BlockFill());
            return handlerResult;
        };
        a.RowLength = rowBytes + 1;
        a.CurrentRow = rows.data();
        a.PreviousRow = rows.data() + 1024;
        a.ChosenRow = rows.data() + 2048;
        a.CandidateRow = rows.data() + 3072;
        a.Counts = counts.data();
        a.BitsPerPixel = bits;
        a.SourceDepth = sourceDepth;
        a.FilterMode = mode;
    }
    int Choose(const std::vector<uint8_t>& raw, const std::vector<uint8_t>& prior = {}) {
        std::memcpy(a.CurrentRow, raw.data(), raw.size());
        std::memset(a.PreviousRow, 0, raw.size());
        if (!prior.empty()) std::memcpy(a.PreviousRow, prior.data(), prior.size());
        a.FilterRow();
        return a.ChosenRow[0];
    }
    std::vector<uint8_t> All() const {
        std::vector<uint8_t> z;
        for (const auto& b : blocks) z.insert(z.end(), b.begin(), b.end());
        return z;
    }
};

std::vector<uint8_t> PrefixSums(const std::vector<uint8_t>& deltas) {
    std::vector<uint8_t> raw;
    uint8_t sum = 0;
    for (uint8_t d : deltas) raw.push_back(sum = static_cast<uint8_t>(sum + d));
    return raw;
}

std::vector<uint8_t> Range(uint8_t first, uint8_t last) {
    std::vector<uint8_t> v;
    for (int i = first; i <= last; ++i) v.push_back(static_cast<uint8_t>(i));
    return v;
}

}  // namespace

TEST(KMZLIBWrite, RowScoreOfTheReferenceBuffer) {
    // 31 bytes, 12 distinct values, the largest counts 5, 4 and 3.
    const int counts[12] = {5, 4, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2};
    std::vector<uint8_t> buf;
    for (int v = 0; v < 12; ++v) buf.insert(buf.end(), static_cast<size_t>(counts[v]), static_cast<uint8_t>(v * 7));
    std::mt19937 rng(1);
    std::shuffle(buf.begin(), buf.end(), rng);
    ASSERT_EQ(buf.size(), 31u);
    struct Case {
        int bits;
        int32_t score;
    };
    for (const Case c : {Case{8, 2109}, Case{24, 2109}, Case{4, 2873}, Case{1, 2873}}) {
        Harness h(30, c.bits);
        EXPECT_EQ(h.a.RowScore(buf.data()), c.score) << c.bits;
    }
    Harness h(30);
    std::vector<uint8_t> few(31);
    for (size_t i = 0; i < few.size(); ++i) few[i] = static_cast<uint8_t>(i % 8);  // 8 distinct values
    EXPECT_EQ(h.a.RowScore(few.data()), -1);
    // 91 of 100 bytes alike, 10 distinct values: the 90 % rule alone gives -1.
    Harness wide(99);
    std::vector<uint8_t> mostly(100, 9);
    for (int i = 0; i < 9; ++i) mostly[static_cast<size_t>(i)] = static_cast<uint8_t>(i + 20);
    EXPECT_EQ(wide.a.RowScore(mostly.data()), -1);
    mostly[9] = 77;  // 90 of 100: still -1
    EXPECT_EQ(wide.a.RowScore(mostly.data()), -1);
    mostly[10] = 78;  // 89 of 100 and 12 distinct: a real score
    EXPECT_GT(wide.a.RowScore(mostly.data()), 0);
}

TEST(KMZLIBWrite, AdaptiveChoice) {
    struct Case {
        const char* what;
        std::vector<uint8_t> raw, prior;
        int sourceDepth;
        int type;
    };
    const auto distinct = PrefixSums(Range(5, 19));  // every candidate scores the same
    std::vector<uint8_t> deltas = {5};
    const auto tail = Range(5, 18);
    deltas.insert(deltas.end(), tail.begin(), tail.end());
    const auto subSlightlyBetter = PrefixSums(deltas);
    std::vector<uint8_t> tens, upDistinctFew;
    for (int i = 1; i <= 15; ++i) tens.push_back(static_cast<uint8_t>(10 * i));
    for (size_t i = 0; i < tens.size(); ++i) upDistinctFew.push_back(static_cast<uint8_t>(tens[i] - i % 5));
    std::vector<uint8_t> upFromDistinct;
    for (size_t i = 0; i < distinct.size(); ++i) upFromDistinct.push_back(static_cast<uint8_t>(distinct[i] - i % 4));
    const Case cases[] = {
        {"one byte value scores -1 as None", std::vector<uint8_t>(15, 0), {}, 24, 0},
        {"equal scores keep the earlier filter", distinct, {}, 24, 0},
        {"a better Sub is taken", subSlightlyBetter, {}, 24, 1},
        {"None counts double for 8-bit sources", subSlightlyBetter, {}, 8, 0},
        {"None counts double for 1-bit sources", subSlightlyBetter, {}, 1, 0},
        {"a -1 Sub ends the trial before a -1 Up", tens, upDistinctFew, 24, 1},
        {"4-bit sources keep None", tens, upDistinctFew, 4, 0},
        {"a -1 Up wins over a tying Sub", distinct, upFromDistinct, 24, 2},
    };
    for (const auto& c : cases) {
        Harness h(static_cast<int32_t>(c.raw.size()), 8, c.sourceDepth, 0);
        EXPECT_EQ(h.Choose(c.raw, c.prior), c.type) << c.what;
    }
}

TEST(KMZLIBWrite, BlockSizeSelection) {
    struct Case {
        int32_t asked, used;
    };
    for (const Case c : {Case{0, 32768}, Case{-5, 32768}, Case{262144, 32768}, Case{262143, 262143}, Case{256, 256}}) {
        Harness h(4);
        ASSERT_EQ(h.a.StartDeflate(6, c.asked), 0);
        EXPECT_EQ(h.a.BlockSize, c.used) << c.asked;
    }
}

TEST(KMZLIBWrite, BlocksLeaveWhenFullAndTheRestAtTheEnd) {
    // Level 0 output is predictable: store 1000 bytes, the zlib stream is 2 + 5 + 1000 + 4 = 1011.
    std::vector<uint8_t> data(1000);
    std::iota(data.begin(), data.end(), 0);
    struct Case {
        int32_t block;
    };
    for (const Case c : {Case{1010}, Case{1011}, Case{256}}) {
        SCOPED_TRACE(c.block);
        Harness h(4);
        ASSERT_EQ(h.a.StartDeflate(0, c.block), 0);
        ASSERT_GE(h.a.DeflateBytes(data.data(), 1000), 0);
        EXPECT_GT(h.a.Stream.avail_out, 0u);  // a full block has already left
        EXPECT_EQ(h.a.FinishDeflate(), 0);
        for (size_t i = 0; i + 1 < h.blocks.size(); ++i) EXPECT_EQ(h.blocks[i].size(), static_cast<size_t>(c.block));
        const auto z = h.All();
        EXPECT_EQ(z.size(), 1011u);
        if (c.block == 1010) {
            ASSERT_EQ(h.blocks.size(), 2u);
            EXPECT_EQ(h.blocks[1].size(), 1u);  // the single remaining byte still leaves
        }
        std::vector<uint8_t> back(2000);
        uLongf n = back.size();
        ASSERT_EQ(uncompress(back.data(), &n, z.data(), z.size()), Z_OK);
        back.resize(n);
        EXPECT_EQ(back, data);
        h.a.EndDeflate();
        EXPECT_EQ(h.a.BlockData(), nullptr);
    }
}

TEST(KMZLIBWrite, ExactlyFullBlockLeavesAtOnce) {
    // A block the size of the whole stream but one byte: the full block leaves during the
    // finish, the last byte after it.
    Harness h(4);
    ASSERT_EQ(h.a.StartDeflate(0, 7), 0);
    EXPECT_EQ(h.a.BlockSize, 7);
    std::vector<uint8_t> data(12, 0x55);  // stream: 2 + 5 + 12 + 4 = 23 bytes
    ASSERT_GE(h.a.DeflateBytes(data.data(), 12), 0);
    EXPECT_EQ(h.a.FinishDeflate(), 0);
    ASSERT_EQ(h.blocks.size(), 4u);
    EXPECT_EQ(h.blocks[3].size(), 2u);
}

TEST(KMZLIBWrite, FailuresAreReported) {
    Harness idle(4);
    const uint8_t byte = 1;
    EXPECT_LT(idle.a.DeflateBytes(&byte, 1), 0);  // never started
    EXPECT_EQ(idle.a.FinishDeflate(), -1);
    idle.a.EndDeflate();  // harmless without a start

    Harness bad(4);
    EXPECT_EQ(bad.a.StartDeflate(42, 1024), -1);  // zlib refuses the level
    EXPECT_LT(bad.a.DeflateBytes(&byte, 1), 0);

    Harness refusing(4);
    refusing.handlerResult = 7;
    ASSERT_EQ(refusing.a.StartDeflate(1, 256), 0);
    std::mt19937 rng(3);
    std::vector<uint8_t> data(200000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(refusing.a.DeflateBytes(data.data(), 200000), 7);
    EXPECT_EQ(refusing.blocks.size(), 1u);

    Harness refusingAtEnd(4);
    refusingAtEnd.handlerResult = 9;
    ASSERT_EQ(refusingAtEnd.a.StartDeflate(6, 1024), 0);
    ASSERT_GE(refusingAtEnd.a.DeflateBytes(data.data(), 10), 0);
    EXPECT_EQ(refusingAtEnd.a.FinishDeflate(), 9);
}
