// Memory for a picture's pixels, zero-filled when it is handed out. A picture of tens of
// megabytes is mostly overwritten at once by the reader that asked for it, so zeroing it
// first would touch every byte twice: a large block is taken straight from the system, whose
// fresh pages are zero already, and in huge pages where the system offers them, so that the
// first touch faults once every 2 MiB instead of once every 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

class TZeroedBlock {
public:
    TZeroedBlock() = default;
    // size zeroed bytes; raises std::bad_alloc when the system has none.
    explicit TZeroedBlock(size_t size);
    TZeroedBlock(const TZeroedBlock& other);
    TZeroedBlock& operator=(const TZeroedBlock& other);
    TZeroedBlock(TZeroedBlock&& other) noexcept;
    TZeroedBlock& operator=(TZeroedBlock&& other) noexcept;
    ~TZeroedBlock();

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = TZeroedBlock(); }

private:
    void Release() noexcept;

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;  // bytes mapped from the system; 0 when the block came from the heap
};
