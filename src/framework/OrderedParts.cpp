#include "OrderedParts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <sched.h>

#include "ZeroedBlock.h"

int UsableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

namespace {

// Blocks for the bytes of parts finished ahead of their turn, given back once a part is
// delivered: the parts of a big picture hold megabytes, and fresh memory for each would cost a
// page fault every few kilobytes.
class TBlockPool {
public:
    static constexpr size_t kBlock = size_t{2} << 20;

    TZeroedBlock Take() {
        {
            std::lock_guard lock(m_);
            if (!spare_.empty()) {
                TZeroedBlock block = std::move(spare_.back());
                spare_.pop_back();
                return block;
            }
        }
        return TZeroedBlock(kBlock);
    }
    void Give(std::vector<TZeroedBlock>& blocks) {
        std::lock_guard lock(m_);
        for (TZeroedBlock& b : blocks)
            if (b.size() == kBlock) spare_.push_back(std::move(b));
        blocks.clear();
    }

private:
    std::mutex m_;
    std::vector<TZeroedBlock> spare_;
};

// The bytes of one such part: a small first block, so that small parts stay small, then
// blocks of the pool, never copied to grow.
class TPartBytes : public TStream {
public:
    explicit TPartBytes(TBlockPool& pool) : pool_(pool) {}
    ~TPartBytes() override { pool_.Give(blocks_); }

    int64_t Read(void*, int64_t) override { throw EReadError("The stream is write-only"); }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (offset == 0 && origin == TSeekOrigin::soCurrent) return size_;
        throw EStreamError("This stream cannot seek");
    }
    int64_t Write(const void* buffer, int64_t count) override {
        const auto* p = static_cast<const uint8_t*>(buffer);
        for (int64_t left = count; left > 0;) {
            if (used_ == (blocks_.empty() ? 0 : blocks_.back().size())) {
                blocks_.push_back(blocks_.empty() ? TZeroedBlock(kFirstBlock) : pool_.Take());
                used_ = 0;
            }
            TZeroedBlock& block = blocks_.back();
            const size_t n = std::min(static_cast<size_t>(left), block.size() - used_);
            std::memcpy(block.data() + used_, p, n);
            used_ += n;
            p += n;
            left -= static_cast<int64_t>(n);
        }
        size_ += std::max<int64_t>(count, 0);
        return count;
    }
    void DeliverTo(TStream& destination) const {
        for (size_t i = 0; i < blocks_.size(); ++i)
            destination.WriteBuffer(blocks_[i].data(),
                                    static_cast<int64_t>(i + 1 == blocks_.size() ? used_ : blocks_[i].size()));
    }

private:
    static constexpr size_t kFirstBlock = size_t{64} << 10;
    TBlockPool& pool_;
    std::vector<TZeroedBlock> blocks_;
    size_t used_ = 0;  // bytes of the last block written
    int64_t size_ = 0;
};

class TPartsRun {
public:
    TPartsRun(const TOrderedPartsJob& job, TStream& destination)
        : job_(job), destination_(destination), parts_(static_cast<size_t>(job.Parts)) {}

    void Run() {
        // The calling thread takes the first part before any worker can: it goes straight to
        // the destination, and the progress that only this thread reports moves while it works
        // however quickly the workers take the rest.
        int first;
        {
            std::lock_guard lock(m_);
            first = Take();
        }
        StartWorkers();
        try {
            Deliver(first);
        } catch (...) {
            StopWorkers();
            throw;
        }
        StopWorkers();
    }

private:
    enum class TState { Waiting, Working, Finished, Delivered };
    struct TPart {
        TState state = TState::Waiting;
        std::unique_ptr<TPartBytes> bytes;  // a finished part that the stream does not want yet
    };

    class TContext : public TPartContext {
    public:
        TContext(TPartsRun& run, bool calling) : run_(run), calling_(calling) {}
        void Done(int64_t units) override {
            run_.units_.fetch_add(units, std::memory_order_relaxed);
            if (calling_) run_.ReportProgress();
        }
        bool Abandoned() const override { return run_.abandoned_.load(std::memory_order_relaxed); }

    private:
        TPartsRun& run_;
        bool calling_;
    };

    void StartWorkers() {
        for (int i = 1; i < std::min(job_.Threads, job_.Parts); ++i) {
            try {
                workers_.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;  // the threads that did start, and this one, share the parts
            }
        }
    }

    void StopWorkers() {
        {
            std::lock_guard lock(m_);
            abandoned_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : workers_) t.join();
        workers_.clear();
    }

    // Called with the lock held: the next part, if one may be started now, or -1.
    int Take() {
        if (next_ >= job_.Parts) return -1;
        if (job_.Ahead > 0 && next_ >= delivered_ + job_.Ahead) return -1;
        parts_[static_cast<size_t>(next_)].state = TState::Working;
        return next_++;
    }

    void Work() {
        TContext context(*this, false);
        std::unique_lock lock(m_);
        for (;;) {
            int index = -1;
            changed_.wait(lock, [&] { return abandoned_ || (index = Take()) >= 0 || next_ >= job_.Parts; });
            if (index < 0) return;
            lock.unlock();
            auto bytes = std::make_unique<TPartBytes>(pool_);
            std::exception_ptr failure;
            try {
                job_.Produce(index, *bytes, context);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure) {
                if (!failure_) failure_ = failure;
                abandoned_ = true;
            } else {
                parts_[static_cast<size_t>(index)].bytes = std::move(bytes);
                parts_[static_cast<size_t>(index)].state = TState::Finished;
            }
            changed_.notify_all();
        }
    }

    // The calling thread: delivers finished parts in order, and works on parts itself while
    // the one the stream waits for is not ready.
    void Deliver(int taken) {
        TContext context(*this, true);
        std::unique_lock lock(m_);
        while (delivered_ < job_.Parts) {
            if (failure_) std::rethrow_exception(failure_);
            TPart& waited = parts_[static_cast<size_t>(delivered_)];
            if (waited.state == TState::Finished) {
                std::unique_ptr<TPartBytes> bytes = std::move(waited.bytes);
                waited.state = TState::Delivered;
                lock.unlock();
                bytes->DeliverTo(destination_);
                bytes.reset();  // a delivered part's memory goes at once
                lock.lock();
                ++delivered_;
                changed_.notify_all();
                continue;
            }
            if (const int index = taken >= 0 ? std::exchange(taken, -1) : Take(); index >= 0) {
                const bool direct = index == delivered_;
                lock.unlock();
                if (direct) {
                    job_.Produce(index, destination_, context);
                    lock.lock();
                    parts_[static_cast<size_t>(index)].state = TState::Delivered;
                    ++delivered_;
                    changed_.notify_all();
                } else {
                    auto bytes = std::make_unique<TPartBytes>(pool_);
                    job_.Produce(index, *bytes, context);
                    lock.lock();
                    parts_[static_cast<size_t>(index)].bytes = std::move(bytes);
                    parts_[static_cast<size_t>(index)].state = TState::Finished;
                }
                continue;
            }
            // Woken by a finished or failed part; the timeout keeps progress moving meanwhile.
            changed_.wait_for(lock, std::chrono::milliseconds(50));
            lock.unlock();
            ReportProgress();
            lock.lock();
        }
        lock.unlock();
        ReportProgress();
    }

    // Calling thread only.
    void ReportProgress() {
        const int64_t units = units_.load(std::memory_order_relaxed);
        if (units == reported_ || !job_.Progress) return;
        reported_ = units;
        job_.Progress(units);
    }

    const TOrderedPartsJob& job_;
    TStream& destination_;
    TBlockPool pool_;  // before the parts, which give their blocks back to it
    std::mutex m_;
    std::condition_variable changed_;
    std::vector<TPart> parts_;            // guarded by m_
    int next_ = 0;                        // the first part nobody has taken; guarded by m_
    int delivered_ = 0;                   // parts whose bytes reached the destination; guarded by m_
    std::exception_ptr failure_;          // the first part that failed; guarded by m_
    std::atomic<bool> abandoned_{false};  // written under m_, read anywhere
    std::atomic<int64_t> units_{0};
    int64_t reported_ = 0;  // calling thread only
    std::vector<std::thread> workers_;
};

}  // namespace

void RunOrderedParts(const TOrderedPartsJob& job, TStream& destination) {
    if (job.Parts <= 0) return;
    TPartsRun run(job, destination);
    run.Run();
}
