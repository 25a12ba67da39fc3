#include "KMStream.h"

#include <cstring>

TKMCustomWriteStream::TKMCustomWriteStream() : buffer_(new uint8_t[kBufferSize]), writePos_(buffer_.get()) {}

TKMCustomWriteStream::~TKMCustomWriteStream() = default;

void TKMCustomWriteStream::BeginWrite(TStream& destination) {
    destination_ = &destination;
    writePos_ = buffer_.get();
    used_ = 0;
    totalWritten_ = 0;
}

void TKMCustomWriteStream::WriteBuffer(const void* data, int32_t count) {
    // An empty write is a no-op: letting it stop the stream would silently drop the rest.
    if (stopped_ || count <= 0) return;
    if (count >= kDirectWrite) {
        Flush();
        destination_->WriteBuffer(data, count);
        totalWritten_ += count;
        return;
    }
    if (used_ + count >= kBufferSize) Flush();
    std::memcpy(writePos_, data, static_cast<size_t>(count));
    writePos_ += count;
    used_ += count;
}

void TKMCustomWriteStream::WriteDWordBE(uint32_t value) {
    if (stopped_) return;
    if (used_ + 4 >= kBufferSize) Flush();
    writePos_[0] = static_cast<uint8_t>(value >> 24);
    writePos_[1] = static_cast<uint8_t>(value >> 16);
    writePos_[2] = static_cast<uint8_t>(value >> 8);
    writePos_[3] = static_cast<uint8_t>(value);
    writePos_ += 4;
    used_ += 4;
}

void TKMCustomWriteStream::Flush() {
    if (used_ == 0) return;
    destination_->WriteBuffer(buffer_.get(), used_);
    totalWritten_ += used_;
    used_ = 0;
    writePos_ = buffer_.get();
}

void TKMCustomWriteStream::FlushIfAny() {
    if (used_ > 0) Flush();
}

bool TKMCustomWriteStream::Progress(int32_t) { return false; }

void TKMCustomWriteStream::BeginProgress() {
    progressBase_ = lastReported_ = phaseSpan_ = 0;
    remaining_ = 99;
    stopped_ = false;
    stopped_ = Progress(0);
}

void TKMCustomWriteStream::SetProgressPhase(int32_t steps, int32_t share) {
    progressBase_ += phaseSpan_;
    lastReported_ = progressBase_;
    remaining_ -= phaseSpan_;
    phaseSteps_ = steps == 0 ? 1 : steps;
    phaseMode_ = 1;
    phaseSpan_ = (share != 0 && share < 100) ? remaining_ * share / 100 : remaining_;
}

void TKMCustomWriteStream::ReportProgress(int32_t step) {
    // 64-bit product: a tall picture's row count times the span would overflow 32 bits.
    const auto value = static_cast<int32_t>(progressBase_ + int64_t{step} * phaseSpan_ / phaseSteps_);
    if (value > lastReported_) {
        lastReported_ = value;
        stopped_ = Progress(value);
    }
}

void TKMCustomWriteStream::EndProgress() { stopped_ = Progress(100); }

void TKMCustomGraphicWriteStream::WriteGraphic(TBitmap& bitmap, TStream& destination) {
    BeginWrite(destination);
    Bitmap = &bitmap;
    Encode();
    FlushIfAny();
}

bool TKMCustomGraphicWriteStream::Progress(int32_t percent) {
    if (!Bitmap || !Bitmap->OnProgress) return false;
    TProgressStage stage = TProgressStage::psEnding;
    if (percent == 0)
        stage = TProgressStage::psStarting;
    else if (percent >= 1 && percent <= 99)
        stage = TProgressStage::psRunning;
    else
        percent = 100;
    Bitmap->Progress(stage, static_cast<uint8_t>(percent), ProgressMessage);
    return false;
}
