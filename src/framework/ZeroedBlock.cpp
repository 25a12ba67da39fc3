#include "ZeroedBlock.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Below this the heap's own zeroing is cheap and its reuse of freed memory is worth more.
constexpr size_t kMapAbove = size_t{1} << 20;

}  // namespace

TZeroedBlock::TZeroedBlock(size_t size) {
    if (size == 0) return;
    if (size < kMapAbove) {
        data_ = static_cast<uint8_t*>(std::calloc(size, 1));
        if (!data_) throw std::bad_alloc();
        size_ = size;
        return;
    }
    // Huge pages need 2 MiB alignment: map a huge page more than needed and give back the ends.
    const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    if (rounded < size || rounded + kHugePage < rounded) throw std::bad_alloc();
    void* raw = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto* base = static_cast<uint8_t*>(raw);
    const auto address = reinterpret_cast<uintptr_t>(base);
    uint8_t* aligned = base + ((kHugePage - address % kHugePage) % kHugePage);
    if (aligned > base) ::munmap(base, static_cast<size_t>(aligned - base));
    const size_t after = static_cast<size_t>(base + rounded + kHugePage - (aligned + rounded));
    if (after > 0) ::munmap(aligned + rounded, after);
    ::madvise(aligned, rounded, MADV_HUGEPAGE);  // a hint: without huge pages the block still works
    data_ = aligned;
    size_ = size;
    mapped_ = rounded;
}

TZeroedBlock::TZeroedBlock(const TZeroedBlock& other) : TZeroedBlock(other.size_) {
    if (size_) std::memcpy(data_, other.data_, size_);
}

TZeroedBlock& TZeroedBlock::operator=(const TZeroedBlock& other) {
    if (this != &other) *this = TZeroedBlock(other);
    return *this;
}

TZeroedBlock::TZeroedBlock(TZeroedBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

TZeroedBlock& TZeroedBlock::operator=(TZeroedBlock&& other) noexcept {
    if (this != &other) {
        Release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

TZeroedBlock::~TZeroedBlock() { Release(); }

void TZeroedBlock::Release() noexcept {
    if (mapped_)
        ::munmap(data_, mapped_);
    else
        std::free(data_);
    data_ = nullptr;
    size_ = mapped_ = 0;
}
