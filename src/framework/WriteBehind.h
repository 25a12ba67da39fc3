// Writing behind the encoder: bytes written here are gathered into large chunks, which a
// second thread writes to the target in order while the caller goes on encoding. The target
// sees the same bytes in the same order as if they had been written to it directly.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Classes.h"

class TWriteBehindStream : public TStream {
public:
    static constexpr size_t kChunkSize = size_t{1} << 20;
    static constexpr size_t kChunks = 4;  // at most this many chunks wait for the target

    explicit TWriteBehindStream(TStream& target);
    // Without Finish, whatever has not reached the target yet is dropped.
    ~TWriteBehindStream() override;

    // Raises the target's error if an earlier chunk failed.
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Read(void* buffer, int64_t count) override;  // write-only: raises EReadError
    // Only tells the position (the bytes written so far); any move raises EStreamError.
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

    // Hands over the last chunk and waits until the target has everything; raises the
    // target's first error.
    void Finish();

private:
    void Run();
    void Submit(std::unique_lock<std::mutex>& lock);
    void RethrowFailure();
    void Stop();

    TStream& target_;
    int fd_ = -1;        // the target's file, when it is one
    int64_t start_ = 0;  // where in that file the first chunk goes
    std::mutex m_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> full_;    // guarded by m_
    std::vector<std::vector<uint8_t>> spare_;  // guarded by m_
    std::exception_ptr failure_;               // guarded by m_
    bool closing_ = false;                     // guarded by m_
    bool busy_ = false;                        // the writer holds a chunk; guarded by m_
    std::vector<uint8_t> current_;             // the caller's chunk
    int64_t position_ = 0;
    std::thread writer_;
};

// Passes writes straight on to a file stream and asks the system every megabyte to start
// putting what has been written on disk, so that the final flush before the file is committed
// has little left to wait for. Used where no core is free for a write-behind thread.
class TEarlyFlushStream : public TStream {
public:
    static constexpr int64_t kFlushEvery = int64_t{1} << 20;

    explicit TEarlyFlushStream(TStream& target);
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Read(void* buffer, int64_t count) override;  // write-only: raises EReadError
    // Only tells the position; any move raises EStreamError.
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

private:
    TStream& target_;
    int fd_ = -1;
    int64_t start_ = 0;    // the target's position when this stream began
    int64_t written_ = 0;  // bytes passed on
    int64_t flushed_ = 0;  // bytes whose writeback has been started
};
