// The write-behind stream hands the target the same bytes in the same order, and brings the
// target's failures back to the writer.
#include <gtest/gtest.h>

#include "WriteBehind.h"

namespace {

// Takes `room` bytes, then fails every write.
class FailingStream : public TMemoryStream {
public:
    explicit FailingStream(int64_t room) : room_(room) {}
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t n = std::min(count, room_);
        room_ -= n;
        return n > 0 ? TMemoryStream::Write(buffer, n) : 0;
    }

private:
    int64_t room_;
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + i / 977);
    return v;
}

TEST(WriteBehind, SameBytesInTheSameOrder) {
    constexpr size_t C = TWriteBehindStream::kChunkSize;
    const struct {
        size_t total, piece;
    } cases[] = {{0, 1}, {1, 1}, {C - 1, C - 1}, {C, 7}, {C + 1, C + 1}, {9 * C + 17, 65536 + 3}, {3 * C, 3 * C}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.total) + " in pieces of " + std::to_string(c.piece));
        const std::vector<uint8_t> data = Pattern(c.total);
        TMemoryStream target;
        TWriteBehindStream behind(target);
        for (size_t at = 0; at < c.total; at += c.piece)
            behind.WriteBuffer(data.data() + at, static_cast<int64_t>(std::min(c.piece, c.total - at)));
        EXPECT_EQ(behind.Position(), static_cast<int64_t>(c.total));
        behind.Finish();
        EXPECT_EQ(target.Bytes(), data);
    }
}

TEST(WriteBehind, TargetFailuresComeBack) {
    constexpr size_t C = TWriteBehindStream::kChunkSize;
    const std::vector<uint8_t> data = Pattern(12 * C);
    for (int64_t room : {int64_t{0}, int64_t{C / 2}, int64_t{5 * C}}) {
        SCOPED_TRACE(room);
        FailingStream target(room);
        TWriteBehindStream behind(target);
        // Either a later write or Finish reports it; nothing is reported as written.
        EXPECT_THROW(
            {
                behind.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
                behind.Finish();
            },
            EWriteError);
        EXPECT_THROW(behind.WriteBuffer(data.data(), 1), EWriteError);
    }
}

}  // namespace
