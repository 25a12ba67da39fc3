// Buffered, bounded big-endian reading for the image decoders, with progress in percent.
// Over-reads never raise: they set a sticky flag and yield zeros, and decoders test the flags.
// A request for zero bytes does nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Graphics.h"
#include "SFunc.h"

class TKMCustomReadStream {
public:
    static constexpr int64_t kBufferSize = 65536;

    TKMCustomReadStream() = default;
    virtual ~TKMCustomReadStream() = default;
    TKMCustomReadStream(const TKMCustomReadStream&) = delete;
    TKMCustomReadStream& operator=(const TKMCustomReadStream&) = delete;

    // Starts reading at the source's current position; size <= 0 means up to its end.
    void Open(TStream& source, int64_t size);
    // Frees the buffer and leaves the source right after the last byte used.
    void Close();

    // Each yields nothing (0) once Stopped() or Exhausted() is set.
    void ReadBytes(void* dest, int64_t count);
    void Skip(int64_t count);
    uint8_t ReadByte();
    uint16_t ReadWordBE();
    uint32_t ReadDWordBE();

    // The CRC-32 of every byte consumed between the two calls, skipped bytes included.
    void BeginChecksum();
    uint32_t EndChecksum();

    bool Stopped() const { return stop_; }
    bool Exhausted() const { return exhausted_; }
    int64_t Consumed() const { return consumed_; }
    int64_t Budget() const { return budget_; }
    bool MacBinaryFound() const { return macBinaryFound_; }

    bool SkipMacBinary = false;

protected:
    // Answers whether the reader should stop; the base never asks to.
    virtual bool Progress(int percent);
    void BeginProgress();
    void SetProgressPhase(int mode, int units, int percent);
    void ReportProgress(int unit);
    void EndProgress();
    void SetStop() { stop_ = true; }

private:
    bool Halted() const { return stop_ || exhausted_; }
    // Refills the buffer behind `kept` bytes already moved to its start.
    void Fill(int64_t kept);
    // Makes at least `count` bytes (<= 8, within the budget) contiguous at the read pointer.
    void Gather(int64_t count);
    void Track(const uint8_t* p, int64_t count);

    int progressBase_ = 0;
    int progressLast_ = 0;
    int phaseSpan_ = 0;
    int progressRemaining_ = 99;
    int64_t phaseTotal_ = 1;
    int phaseMode_ = 0;
    int64_t phaseStart_ = 0;
    int lastUnit_ = 0;

    int64_t budget_ = 0;
    int64_t consumed_ = 0;
    const uint8_t* readPtr_ = nullptr;
    std::unique_ptr<uint8_t[]> buffer_;
    int64_t buffered_ = 0;
    int64_t startPosition_ = 0;
    bool stop_ = false;
    bool exhausted_ = false;
    bool macBinaryFound_ = false;
    bool inMemory_ = false;
    bool checksumming_ = false;
    uint32_t checksum_ = 0;
    TStream* source_ = nullptr;
};

class TKMCustomGraphicReadStream : public TKMCustomReadStream {
public:
    TKMCustomGraphicReadStream() { SkipMacBinary = true; }

    // Decodes from the source (size <= 0: up to its end) into bitmap, which may be null to
    // parse without producing pixels. Bitmap change events are held back during the read.
    void Read(TBitmap* bitmap, TStream& source, int64_t size);

    const std::string& Comment() const { return comment_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int OutputBits() const { return outputBits_; }
    int SourceBits() const { return sourceBits_; }
    int PaletteCount() const { return paletteCount_; }
    uint8_t PhysUnit() const { return physUnit_; }
    int32_t PhysX() const { return physX_; }
    int32_t PhysY() const { return physY_; }

protected:
    bool Progress(int percent) override;
    virtual void Decode() = 0;
    // Prepares the target for width × height at the output bits, with the palette buffer's
    // first PaletteCount entries when there is one.
    virtual void CreateBitmap();
    // 256 entries, allocated on first use and dropped after the read.
    TRGBQuad* PaletteBuffer();
    bool HasPaletteBuffer() const { return palette_ != nullptr; }

    std::string comment_;
    int width_ = 0;
    int height_ = 0;
    int outputBits_ = 0;
    int sourceBits_ = 0;
    int paletteCount_ = 0;
    uint8_t physUnit_ = 0;
    int32_t physX_ = 0;
    int32_t physY_ = 0;
    TBitmap* target_ = nullptr;
    bool noTarget_ = true;
    std::string progressMessage_;

private:
    std::unique_ptr<TRGBQuad[]> palette_;
};
