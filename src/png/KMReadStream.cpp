#include "KMReadStream.h"

#include <algorithm>
#include <cstring>

#include "Checksums.h"

// ---- TKMCustomReadStream: opening and closing ----

void TKMCustomReadStream::Open(TStream& source, int64_t size) {
    source_ = &source;
    startPosition_ = source.Position();
    const int64_t available = source.Size() - startPosition_;
    budget_ = size > 0 ? size : available;
    consumed_ = 0;
    buffered_ = 0;
    readPtr_ = nullptr;
    stop_ = false;
    exhausted_ = false;
    macBinaryFound_ = false;
    checksumming_ = false;

    auto* memory = dynamic_cast<TCustomMemoryStream*>(&source);
    inMemory_ = memory != nullptr;
    // Read in place only what the block really holds, whatever size the caller named.
    if (inMemory_ && budget_ > available) budget_ = available;
    if (budget_ <= 0) {
        exhausted_ = true;
        return;
    }
    if (inMemory_) {
        readPtr_ = memory->Memory() + startPosition_;
        buffered_ = budget_;
    } else {
        if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(kBufferSize);
        Fill(0);
    }

    if (SkipMacBinary && budget_ > 128 && buffered_ > 128 && readPtr_[0] == 0 && readPtr_[74] == 0) {
        macBinaryFound_ = true;
        readPtr_ += 128;
        buffered_ -= 128;
        consumed_ = 128;
    }
}

void TKMCustomReadStream::Close() {
    buffer_.reset();
    buffered_ = 0;
    readPtr_ = nullptr;
    TStream* source = source_;
    source_ = nullptr;
    if (source) source->Seek(startPosition_ + consumed_, TSeekOrigin::soBeginning);
}

void TKMCustomReadStream::Fill(int64_t kept) {
    // Bytes fetched so far are consumed + kept; never fetch past the budget.
    const int64_t want = std::min(budget_ - consumed_ - kept, kBufferSize - kept);
    if (want > 0) source_->ReadBuffer(buffer_.get() + kept, want);
    buffered_ = kept + std::max<int64_t>(want, 0);
    readPtr_ = buffer_.get();
}

void TKMCustomReadStream::Gather(int64_t count) {
    if (buffered_ >= count) return;
    // Only a buffered source gets here: an in-memory one holds its whole budget at once.
    if (buffered_ > 0) std::memmove(buffer_.get(), readPtr_, static_cast<size_t>(buffered_));
    Fill(buffered_);
}

// ---- reading primitives ----

void TKMCustomReadStream::BeginChecksum() {
    checksumming_ = true;
    checksum_ = 0;
}

uint32_t TKMCustomReadStream::EndChecksum() {
    checksumming_ = false;
    return checksum_;
}

void TKMCustomReadStream::Track(const uint8_t* p, int64_t count) {
    if (checksumming_ && count > 0) checksum_ = ChunkCrc32(checksum_, p, static_cast<size_t>(count));
}

void TKMCustomReadStream::ReadBytes(void* dest, int64_t count) {
    if (Halted() || count == 0) return;  // nothing asked, nothing done: no reason to stop
    if (count < 0 || count > budget_ - consumed_) {
        exhausted_ = true;
        return;
    }
    auto* d = static_cast<uint8_t*>(dest);
    if (count <= buffered_) {
        std::memcpy(d, readPtr_, static_cast<size_t>(count));
        Track(d, count);
        readPtr_ += count;
        buffered_ -= count;
        consumed_ += count;
        return;
    }
    if (buffered_ > 0) std::memcpy(d, readPtr_, static_cast<size_t>(buffered_));
    Track(d, buffered_);
    d += buffered_;
    count -= buffered_;
    consumed_ += buffered_;
    buffered_ = 0;
    // Large reads go straight to the destination except for their last buffer's worth.
    if (count > kBufferSize) {
        const int64_t direct = count - kBufferSize;
        source_->ReadBuffer(d, direct);
        Track(d, direct);
        d += direct;
        count -= direct;
        consumed_ += direct;
    }
    Fill(0);
    std::memcpy(d, readPtr_, static_cast<size_t>(count));
    Track(d, count);
    readPtr_ += count;
    buffered_ -= count;
    consumed_ += count;
}

void TKMCustomReadStream::Skip(int64_t count) {
    if (Halted() || count == 0) return;
    if (count < 0 || count > budget_ - consumed_) {
        exhausted_ = true;
        return;
    }
    if (checksumming_ && inMemory_) {
        Track(readPtr_, count);
    } else if (checksumming_) {
        // Skipped bytes still count toward the checksum: they pass through the buffer.
        while (count > 0) {
            if (buffered_ == 0) Fill(0);
            const int64_t n = std::min(count, buffered_);
            Track(readPtr_, n);
            readPtr_ += n;
            buffered_ -= n;
            consumed_ += n;
            count -= n;
        }
        return;
    }
    if (count <= buffered_) {
        readPtr_ += count;
        buffered_ -= count;
    } else {
        source_->Seek(count - buffered_, TSeekOrigin::soCurrent);
        buffered_ = 0;
    }
    consumed_ += count;
}

uint8_t TKMCustomReadStream::ReadByte() {
    if (Halted()) return 0;
    if (budget_ - consumed_ < 1) {
        exhausted_ = true;
        return 0;
    }
    if (buffered_ < 1) Fill(0);
    Track(readPtr_, 1);
    const uint8_t v = *readPtr_++;
    --buffered_;
    ++consumed_;
    return v;
}

uint16_t TKMCustomReadStream::ReadWordBE() {
    if (Halted()) return 0;
    if (budget_ - consumed_ < 2) {
        exhausted_ = true;
        return 0;
    }
    Gather(2);
    Track(readPtr_, 2);
    const auto v = static_cast<uint16_t>((readPtr_[0] << 8) | readPtr_[1]);
    readPtr_ += 2;
    buffered_ -= 2;
    consumed_ += 2;
    return v;
}

uint32_t TKMCustomReadStream::ReadDWordBE() {
    if (Halted()) return 0;
    if (budget_ - consumed_ < 4) {
        exhausted_ = true;
        return 0;
    }
    Gather(4);
    Track(readPtr_, 4);
    const uint32_t v = (uint32_t{readPtr_[0]} << 24) | (uint32_t{readPtr_[1]} << 16) | (uint32_t{readPtr_[2]} << 8) |
                       uint32_t{readPtr_[3]};
    readPtr_ += 4;
    buffered_ -= 4;
    consumed_ += 4;
    return v;
}

// ---- progress ----

bool TKMCustomReadStream::Progress(int) { return false; }

void TKMCustomReadStream::BeginProgress() {
    progressBase_ = progressLast_ = phaseSpan_ = 0;
    progressRemaining_ = 99;
    stop_ = false;
    stop_ = Progress(0);
}

void TKMCustomReadStream::SetProgressPhase(int mode, int units, int percent) {
    progressBase_ += phaseSpan_;
    progressLast_ = progressBase_;
    progressRemaining_ -= phaseSpan_;
    if (mode != 0) {
        phaseTotal_ = units;
    } else {
        phaseTotal_ = budget_;
        phaseStart_ = consumed_;
    }
    if (phaseTotal_ <= 0) phaseTotal_ = 1;
    phaseMode_ = mode;
    phaseSpan_ = (percent > 0 && percent < 100) ? percent * progressRemaining_ / 100 : progressRemaining_;
}

void TKMCustomReadStream::ReportProgress(int unit) {
    int64_t value;
    if (phaseMode_ == 0)
        value = (consumed_ - phaseStart_) * phaseSpan_ / phaseTotal_;
    else
        value = phaseTotal_ > unit ? int64_t{unit} * phaseSpan_ / phaseTotal_ : phaseSpan_;
    value += progressBase_;
    if (value > progressLast_) {
        progressLast_ = static_cast<int>(value);
        if (phaseMode_ != 0) lastUnit_ = unit;
        // The flags only ever go from false to true during a read.
        if (Progress(progressLast_)) stop_ = true;
    }
}

void TKMCustomReadStream::EndProgress() {
    if (Progress(100)) stop_ = true;
}

// ---- TKMCustomGraphicReadStream ----

bool TKMCustomGraphicReadStream::Progress(int percent) {
    if (!target_ || !target_->OnProgress) return false;
    TProgressStage stage = TProgressStage::psRunning;
    if (percent <= 0) {
        stage = TProgressStage::psStarting;
        percent = 0;
    } else if (percent >= 100) {
        stage = TProgressStage::psEnding;
        percent = 100;
    }
    target_->Progress(stage, static_cast<uint8_t>(percent), progressMessage_);
    return false;
}

TRGBQuad* TKMCustomGraphicReadStream::PaletteBuffer() {
    if (!palette_) palette_ = std::make_unique<TRGBQuad[]>(256);
    return palette_.get();
}

void TKMCustomGraphicReadStream::CreateBitmap() {
    if (!target_) return;
    TPalette palette;
    if (palette_ && paletteCount_ > 0) palette = CreatePaletteFromQuads(palette_.get(), std::min(paletteCount_, 256));
    target_->SetTransparent(false);
    target_->SetTransparentColor(clNone);
    target_->Allocate(BitsToPixelFormat(outputBits_), width_, height_, palette);
}

void TKMCustomGraphicReadStream::Read(TBitmap* bitmap, TStream& source, int64_t size) {
    target_ = bitmap;
    noTarget_ = bitmap == nullptr;
    TNotifyEvent savedOnChange;
    if (bitmap) std::swap(savedOnChange, bitmap->OnChange);
    auto restore = [&] {
        palette_.reset();
        if (bitmap) std::swap(savedOnChange, bitmap->OnChange);
    };
    try {
        Open(source, size);
        comment_.clear();
        paletteCount_ = 0;
        physUnit_ = 0;
        physX_ = physY_ = 0;
        Decode();
    } catch (...) {
        try {
            Close();
        } catch (...) {
            // The decoding error is the one worth reporting.
        }
        restore();
        throw;
    }
    try {
        Close();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}
