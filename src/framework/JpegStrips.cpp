#include "JpegStrips.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "OrderedParts.h"
#include "SysUtils.h"

namespace {

constexpr int kMaxRestartInterval = 65535;  // the DRI field is 16 bits
constexpr uint8_t kSOS = 0xDA, kDRI = 0xDD, kEOI = 0xD9, kRST0 = 0xD0;

[[noreturn]] void BadStrip(const char* what) {
    throw EInvalidGraphic(std::string("JPEG strip: ") + what, TFailureKind::Other);
}

// Passes on only the entropy-coded data of the JPEG written into it: the markers up to and
// including the scan header are taken apart, the end marker is held back. For the first
// strip the headers are passed on too, made into the whole picture's.
class TScanData : public TStream {
public:
    TScanData(TStream& out, bool firstStrip, int height, int restartInterval)
        : out_(out), firstStrip_(firstStrip), height_(height), interval_(restartInterval) {}

    int64_t Read(void*, int64_t) override { throw EReadError("The stream is write-only"); }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (offset == 0 && origin == TSeekOrigin::soCurrent) return written_;
        throw EStreamError("This stream cannot seek");
    }

    int64_t Write(const void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        written_ += count;
        const auto* p = static_cast<const uint8_t*>(buffer);
        size_t n = static_cast<size_t>(count);
        if (!inScan_) {
            header_.insert(header_.end(), p, p + n);
            const size_t scanStart = ScanStart();
            if (scanStart == 0) return count;
            inScan_ = true;
            std::vector<uint8_t> rest(header_.begin() + static_cast<ptrdiff_t>(scanStart), header_.end());
            header_.resize(scanStart);
            if (firstStrip_) WriteWholeHeader();
            header_ = {};
            PassScan(rest.data(), rest.size());
        } else {
            PassScan(p, n);
        }
        return count;
    }

    // After the strip's encoder is done: the data must have ended with the end marker.
    void Finish() const {
        if (!inScan_ || held_ != 2 || tail_[0] != 0xFF || tail_[1] != kEOI) BadStrip("no end marker");
    }

private:
    // Where the entropy-coded data begins, once the scan header is complete; 0 until then.
    size_t ScanStart() {
        if (header_.size() >= 2 && (header_[0] != 0xFF || header_[1] != 0xD8)) BadStrip("no start marker");
        size_t pos = 2;
        while (pos + 4 <= header_.size()) {
            if (header_[pos] != 0xFF) BadStrip("a marker was expected");
            const size_t length = (size_t{header_[pos + 2]} << 8) | header_[pos + 3];
            if (length < 2) BadStrip("bad segment length");
            if (header_[pos + 1] == kSOS) {
                sosAt_ = pos;
                return pos + 2 + length <= header_.size() ? pos + 2 + length : 0;
            }
            if (header_[pos + 1] >= 0xC0 && header_[pos + 1] <= 0xC2) sofAt_ = pos;
            pos += 2 + length;
        }
        return 0;
    }

    // The strip's headers with the picture's height in the frame header and the restart
    // interval just before the scan header, where the one-piece encoder puts it.
    void WriteWholeHeader() {
        if (sofAt_ == 0 || sofAt_ + 9 > header_.size()) BadStrip("no frame header");
        header_[sofAt_ + 5] = static_cast<uint8_t>(height_ >> 8);
        header_[sofAt_ + 6] = static_cast<uint8_t>(height_);
        const uint8_t dri[6] = {
            0xFF, kDRI, 0, 4, static_cast<uint8_t>(interval_ >> 8), static_cast<uint8_t>(interval_)};
        header_.insert(header_.begin() + static_cast<ptrdiff_t>(sosAt_), dri, dri + 6);
        out_.WriteBuffer(header_.data(), static_cast<int64_t>(header_.size()));
    }

    // Passes everything but the last two bytes seen, which may be the end marker.
    void PassScan(const uint8_t* p, size_t n) {
        if (n >= 2) {
            if (held_) out_.WriteBuffer(tail_, held_);
            out_.WriteBuffer(p, static_cast<int64_t>(n - 2));
            std::memcpy(tail_, p + n - 2, 2);
            held_ = 2;
            return;
        }
        for (size_t i = 0; i < n; ++i) {
            if (held_ == 2) {
                out_.WriteBuffer(tail_, 1);
                tail_[0] = tail_[1];
                held_ = 1;
            }
            tail_[held_++] = p[i];
        }
    }

    TStream& out_;
    bool firstStrip_;
    int height_, interval_;
    bool inScan_ = false;
    std::vector<uint8_t> header_;
    size_t sofAt_ = 0, sosAt_ = 0;
    uint8_t tail_[2] = {};
    int held_ = 0;
    int64_t written_ = 0;
};

}  // namespace

TJpegStripPlan PlanJpegStrips(int width, int height, int mcuSize, int threads) {
    TJpegStripPlan plan;
    if (width <= 0 || height <= 0 || mcuSize <= 0) return plan;
    const int64_t mcusPerRow = (int64_t{width} + mcuSize - 1) / mcuSize;
    const int64_t mcuRows = (int64_t{height} + mcuSize - 1) / mcuSize;
    if (threads <= 1 || mcuRows <= 1 || mcusPerRow > kMaxRestartInterval) return plan;
    const int64_t wanted =
        std::max<int64_t>(threads, (mcusPerRow * mcuRows + kMaxRestartInterval - 1) / kMaxRestartInterval);
    const int64_t rowsPerStrip = std::min((mcuRows + wanted - 1) / wanted, int64_t{kMaxRestartInterval} / mcusPerRow);
    plan.Strips = static_cast<int>((mcuRows + rowsPerStrip - 1) / rowsPerStrip);
    plan.StripRows = static_cast<int>(rowsPerStrip * mcuSize);
    plan.RestartInterval = static_cast<int>(rowsPerStrip * mcusPerRow);
    if (plan.Strips <= 1) plan = TJpegStripPlan{};
    return plan;
}

void WriteJpegStrips(const TJpegStripPlan& plan, int height, int threads, const TJpegStripEncoder& encode, TStream& out,
                     const std::function<void(int percent)>& progress) {
    TOrderedPartsJob job;
    job.Parts = plan.Strips;
    job.Threads = threads;
    job.Produce = [&](int index, TStream& part, TPartContext& context) {
        if (index > 0) {
            // Markers count 0 to 7 and round again; the first strip has none before it.
            const uint8_t rst[2] = {0xFF, static_cast<uint8_t>(kRST0 + (index - 1) % 8)};
            part.WriteBuffer(rst, 2);
        }
        const int first = index * plan.StripRows;
        const int rows = std::min(plan.StripRows, height - first);
        TScanData scan(part, index == 0, height, plan.RestartInterval);
        int reported = 0;
        encode(first, rows, scan, [&](int done) {
            context.Done(done - reported);
            reported = done;
        });
        scan.Finish();
        context.Done(rows - reported);
    };
    if (progress)
        job.Progress = [&](int64_t rows) {
            try {
                progress(static_cast<int>(rows * 100 / height));
            } catch (...) {  // a listener's failure is not the picture's
            }
        };
    RunOrderedParts(job, out);
    const uint8_t eoi[2] = {0xFF, kEOI};
    out.WriteBuffer(eoi, 2);
}
