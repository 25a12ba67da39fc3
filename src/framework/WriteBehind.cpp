#include "WriteBehind.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>

TWriteBehindStream::TWriteBehindStream(TStream& target) : target_(target) {
    if (const auto* file = dynamic_cast<const THandleStream*>(&target)) {
        fd_ = file->Handle();
        start_ = target.Position();
    }
    current_.reserve(kChunkSize);
    writer_ = std::thread([this] { Run(); });
}

TWriteBehindStream::~TWriteBehindStream() { Stop(); }

void TWriteBehindStream::Stop() {
    {
        std::lock_guard lock(m_);
        closing_ = true;
        full_.clear();  // after Finish there is nothing left; otherwise it is not wanted
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
}

void TWriteBehindStream::Run() {
    int64_t written = start_;
    std::unique_lock lock(m_);
    for (;;) {
        changed_.wait(lock, [this] { return !full_.empty() || closing_; });
        if (full_.empty()) return;  // closing, and all handed over is written
        std::vector<uint8_t> chunk = std::move(full_.front());
        full_.pop_front();
        if (!failure_) {
            busy_ = true;
            lock.unlock();
            std::exception_ptr failed;
            try {
                target_.WriteBuffer(chunk.data(), static_cast<int64_t>(chunk.size()));
                // Start putting the chunk on disk now, so that a final flush has little left
                // to wait for; a failure here only loses that head start.
                if (fd_ >= 0)
                    ::sync_file_range(fd_, written, static_cast<off64_t>(chunk.size()), SYNC_FILE_RANGE_WRITE);
                written += static_cast<int64_t>(chunk.size());
            } catch (...) {
                failed = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            if (failed && !failure_) failure_ = failed;
        }
        chunk.clear();
        spare_.push_back(std::move(chunk));
        changed_.notify_all();
    }
}

void TWriteBehindStream::RethrowFailure() {
    if (failure_) std::rethrow_exception(failure_);
}

// Called with the lock held: queues the caller's chunk and takes a spare one, waiting while
// the target is kChunks behind.
void TWriteBehindStream::Submit(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return full_.size() < kChunks || failure_; });
    RethrowFailure();
    full_.push_back(std::move(current_));
    if (!spare_.empty()) {
        current_ = std::move(spare_.back());
        spare_.pop_back();
    } else {
        current_ = {};
        current_.reserve(kChunkSize);
    }
    changed_.notify_all();
}

int64_t TWriteBehindStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    {
        std::lock_guard lock(m_);
        RethrowFailure();
    }
    const auto* p = static_cast<const uint8_t*>(buffer);
    int64_t left = count;
    while (left > 0) {
        const size_t n = std::min<size_t>(static_cast<size_t>(left), kChunkSize - current_.size());
        current_.insert(current_.end(), p, p + n);
        p += n;
        left -= static_cast<int64_t>(n);
        if (current_.size() == kChunkSize) {
            std::unique_lock lock(m_);
            Submit(lock);
        }
    }
    position_ += count;
    return count;
}

int64_t TWriteBehindStream::Read(void*, int64_t) { throw EReadError("The stream is write-only"); }

int64_t TWriteBehindStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (origin == TSeekOrigin::soCurrent && offset == 0) return position_;
    if (origin == TSeekOrigin::soBeginning && offset == position_) return position_;
    throw EStreamError("A write-behind stream cannot seek");
}

void TWriteBehindStream::Finish() {
    {
        std::unique_lock lock(m_);
        if (!current_.empty()) Submit(lock);
        changed_.wait(lock, [this] { return (full_.empty() && !busy_) || failure_; });
        RethrowFailure();
    }
    Stop();
    std::lock_guard lock(m_);
    RethrowFailure();
}

TEarlyFlushStream::TEarlyFlushStream(TStream& target) : target_(target) {
    if (const auto* file = dynamic_cast<const THandleStream*>(&target)) {
        fd_ = file->Handle();
        start_ = target.Position();
    }
}

int64_t TEarlyFlushStream::Write(const void* buffer, int64_t count) {
    const int64_t n = target_.Write(buffer, count);
    if (n > 0) written_ += n;
    if (fd_ >= 0 && written_ - flushed_ >= kFlushEvery) {
        // A failure only loses the head start.
        ::sync_file_range(fd_, start_ + flushed_, written_ - flushed_, SYNC_FILE_RANGE_WRITE);
        flushed_ = written_;
    }
    return n;
}

int64_t TEarlyFlushStream::Read(void*, int64_t) { throw EReadError("The stream is write-only"); }

int64_t TEarlyFlushStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (origin == TSeekOrigin::soCurrent && offset == 0) return written_;
    if (origin == TSeekOrigin::soBeginning && offset == written_) return written_;
    throw EStreamError("This stream cannot seek");
}
