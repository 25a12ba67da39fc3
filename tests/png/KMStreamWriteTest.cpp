// The buffered output layer: when bytes reach the destination, and the progress arithmetic.
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "KMPNG.h"
#include "KMStream.h"

namespace {

// Records every write the destination receives; can be told to fail.
class RecordingStream : public TMemoryStream {
public:
    std::vector<int64_t> writes;
    bool fail = false;
    int64_t Write(const void* buffer, int64_t count) override {
        if (fail) return 0;
        writes.push_back(count);
        return TMemoryStream::Write(buffer, count);
    }
};

class ProbeWriter : public TKMCustomWriteStream {
public:
    std::vector<int32_t> reports;

protected:
    bool Progress(int32_t percent) override {
        reports.push_back(percent);
        return false;
    }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), seed);
    return v;
}

}  // namespace

TEST(KMStreamWrite, BufferingThresholds) {
    struct Case {
        std::vector<int32_t> sizes;              // writes in order
        std::vector<int64_t> destinationWrites;  // after the final flush
    };
    const Case cases[] = {
        {{65535}, {65535}},            // stays buffered until the flush
        {{65535, 1}, {65535, 1}},      // one more byte flushes the 65535 first
        {{100, 65520}, {100, 65520}},  // a big block goes straight out, after what was buffered
        {{65519, 65519}, {65519, 65519}},
        {{30000, 30000, 5535}, {65535}},
        {{30000, 30000, 5536}, {60000, 5536}},  // used + count reaching 65536 flushes first
        {{10, 0, 10}, {20}},                    // an empty write changes nothing
    };
    for (const auto& c : cases) {
        RecordingStream dest;
        ProbeWriter w;
        w.BeginWrite(dest);
        std::vector<uint8_t> all;
        uint8_t seed = 0;
        for (int32_t n : c.sizes) {
            const auto bytes = Pattern(static_cast<size_t>(n), seed++);
            w.WriteBuffer(bytes.data(), n);
            all.insert(all.end(), bytes.begin(), bytes.end());
            EXPECT_LT(w.Used(), 65536);
        }
        w.FlushIfAny();
        EXPECT_EQ(dest.writes, c.destinationWrites);
        EXPECT_EQ(dest.Bytes(), all);
        EXPECT_EQ(w.TotalWritten(), static_cast<int64_t>(all.size()));
        EXPECT_FALSE(w.Stopped());
    }
}

TEST(KMStreamWrite, BigEndianWords) {
    RecordingStream dest;
    ProbeWriter w;
    w.BeginWrite(dest);
    const auto filler = Pattern(65533, 0);
    w.WriteBuffer(filler.data(), 65533);
    w.WriteDWordBE(0x49484452);  // would reach 65536: flushes first
    w.FlushIfAny();
    EXPECT_EQ(dest.writes, (std::vector<int64_t>{65533, 4}));
    EXPECT_EQ(std::vector<uint8_t>(dest.Bytes().end() - 4, dest.Bytes().end()),
              (std::vector<uint8_t>{0x49, 0x48, 0x44, 0x52}));
}

TEST(KMStreamWrite, FailingDestinationPropagatesAndDropsTheBuffer) {
    RecordingStream dest;
    ProbeWriter w;
    w.BeginWrite(dest);
    const auto bytes = Pattern(1000, 1);
    w.WriteBuffer(bytes.data(), 1000);
    dest.fail = true;
    EXPECT_THROW(w.Flush(), EWriteError);
    EXPECT_EQ(dest.Size(), 0);
}

TEST(KMStreamWrite, ProgressPhases) {
    ProbeWriter w;
    w.BeginProgress();
    w.SetProgressPhase(10, 30);
    w.ReportProgress(10);
    EXPECT_EQ(w.reports, (std::vector<int32_t>{0, 29}));
    // The next phase takes the 70 remaining points starting at 29.
    w.SetProgressPhase(7, 0);
    w.ReportProgress(1);
    w.ReportProgress(1);  // same percentage: not reported again
    w.ReportProgress(0);  // lower: not reported
    w.ReportProgress(7);
    w.EndProgress();
    EXPECT_EQ(w.reports, (std::vector<int32_t>{0, 29, 39, 99, 100}));

    ProbeWriter z;
    z.BeginProgress();
    z.SetProgressPhase(0, 150);  // zero steps count as one; a share of 100 or more takes all
    z.ReportProgress(1);
    EXPECT_EQ(z.reports, (std::vector<int32_t>{0, 99}));
}

TEST(KMStreamWrite, GraphicProgressStages) {
    struct Reporter : TKMCustomGraphicWriteStream {
        std::vector<int32_t> percents;
        void Encode() override {
            for (int32_t p : percents) Progress(p);
        }
    };
    struct Seen {
        TProgressStage stage;
        int percent;
        bool operator==(const Seen&) const = default;
    };
    TBitmap bmp;
    std::vector<Seen> seen;
    TObject* sender = nullptr;
    bmp.OnProgress = [&](TObject* s, TProgressStage stage, uint8_t pct, bool redraw, const TRect& r,
                         const std::string& msg) {
        sender = s;
        EXPECT_FALSE(redraw);
        EXPECT_EQ(r.Left | r.Top | r.Right | r.Bottom, 0);
        EXPECT_EQ(msg, "saving");
        seen.push_back({stage, pct});
    };
    Reporter r;
    r.ProgressMessage = "saving";
    r.percents = {0, 1, 99, 100, 250};
    TMemoryStream out;
    r.WriteGraphic(bmp, out);
    using S = TProgressStage;
    EXPECT_EQ(seen,
              (std::vector<Seen>{
                  {S::psStarting, 0}, {S::psRunning, 1}, {S::psRunning, 99}, {S::psEnding, 100}, {S::psEnding, 100}}));
    EXPECT_EQ(sender, &bmp);
}
