// Buffered output for the PNG encoder: bytes are gathered in a 64 KiB block before they reach
// the destination, and the encoder's progress is turned into percentages on the bitmap.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Classes.h"
#include "Graphics.h"

class TKMCustomWriteStream {
public:
    static constexpr int32_t kBufferSize = 65536;
    static constexpr int32_t kDirectWrite = 65520;  // blocks this large skip the buffer

    TKMCustomWriteStream();
    virtual ~TKMCustomWriteStream();
    TKMCustomWriteStream(const TKMCustomWriteStream&) = delete;
    TKMCustomWriteStream& operator=(const TKMCustomWriteStream&) = delete;

    void BeginWrite(TStream& destination);
    void WriteBuffer(const void* data, int32_t count);
    void WriteDWordBE(uint32_t value);
    void Flush();
    void FlushIfAny();

    void BeginProgress();
    void SetProgressPhase(int32_t steps, int32_t share);
    void ReportProgress(int32_t step);
    void EndProgress();

    bool Stopped() const { return stopped_; }
    int32_t Used() const { return used_; }
    int64_t TotalWritten() const { return totalWritten_; }

    std::string ProgressMessage;  // passed with every progress notification

protected:
    // Receives each new percentage; true asks the writer to stop.
    virtual bool Progress(int32_t percent);

private:
    int32_t progressBase_ = 0;
    int32_t lastReported_ = 0;
    int32_t phaseSpan_ = 0;
    int32_t remaining_ = 99;
    int32_t phaseSteps_ = 1;
    int32_t phaseMode_ = 1;  // linear, the only mode
    int32_t used_ = 0;
    int64_t totalWritten_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    uint8_t* writePos_ = nullptr;
    TStream* destination_ = nullptr;
    bool stopped_ = false;
};

// Binds the buffered writer to one source bitmap; a concrete encoder implements Encode.
class TKMCustomGraphicWriteStream : public TKMCustomWriteStream {
public:
    // The single entry point: BeginWrite, Encode, then whatever is still buffered.
    void WriteGraphic(TBitmap& bitmap, TStream& destination);

protected:
    // Reports to the bitmap's progress handler; never asks to stop.
    bool Progress(int32_t percent) override;
    virtual void Encode() = 0;

    TBitmap* Bitmap = nullptr;  // not owned; set for the duration of WriteGraphic
};
