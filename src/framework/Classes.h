// Byte streams: a small abstract stream with file and memory implementations.
// Positions and sizes are 64-bit; Read/Write may be short, ReadBuffer/WriteBuffer
// never are (they raise EReadError / EWriteError instead).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SysUtils.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads or writes up to count bytes, returning how many were moved.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    virtual int64_t GetSize();
    virtual void SetSize(int64_t newSize);

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    int64_t Size() { return GetSize(); }

    void ReadBuffer(void* buffer, int64_t count);         // EReadError on a short read
    void WriteBuffer(const void* buffer, int64_t count);  // EWriteError on a short write
    int64_t CopyFrom(TStream& source, int64_t count);     // count 0: the whole source from its start
};

// Streams whose bytes are in memory can be read in place by decoders.
class TCustomMemoryStream : public TStream {
public:
    const uint8_t* Memory() const { return data_.data(); }
    uint8_t* Memory() { return data_.data(); }

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }

    void SaveToStream(TStream& dest);
    void SaveToFile(const std::string& fileName);

protected:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

class TMemoryStream : public TCustomMemoryStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) { data_ = std::move(bytes); }

    int64_t Write(const void* buffer, int64_t count) override;
    void SetSize(int64_t newSize) override;
    void Clear();
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& fileName);
    const std::vector<uint8_t>& Bytes() const { return data_; }
};

enum TFileMode : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFF00,
};

// Opens a regular file (open(2) flags) without ever blocking on what the name leads to: a FIFO
// without a writer or a device is refused like a folder, as not a regular file. Returns the
// descriptor, which blocks as usual; raises EFOpenError ("Cannot open file "<name>". <reason>")
// with the failure's kind and errno.
int OpenRegularFile(const std::string& fileName, int flags);

// A stream over a file descriptor. Opening failures raise EFOpenError
// ("Cannot open file "<name>". <reason>") or EFCreateError for fmCreate; only regular files
// are opened. A refusal by the system while reading or writing raises EReadError or
// EWriteError with its errno.
class THandleStream : public TStream {
public:
    explicit THandleStream(int fd) : fd_(fd) {}
    int Handle() const { return fd_; }
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t newSize) override;

protected:
    int fd_ = -1;
};

class TFileStream : public THandleStream {
public:
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};
