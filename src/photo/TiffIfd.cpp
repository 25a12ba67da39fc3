#include "TiffIfd.h"

#include <cstring>

unsigned TiffIfd0::U16(size_t o) const {
    return bigEndian_ ? (data_[o] << 8) | data_[o + 1] : data_[o] | (data_[o + 1] << 8);
}

uint32_t TiffIfd0::U32(size_t o) const {
    const uint32_t a = data_[o], b = data_[o + 1], c = data_[o + 2], d = data_[o + 3];
    return bigEndian_ ? (a << 24) | (b << 16) | (c << 8) | d : a | (b << 8) | (c << 16) | (d << 24);
}

bool TiffIfd0::Open(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    if (!Has(0, 8)) return false;
    if (std::memcmp(data, "II*\0", 4) == 0)
        bigEndian_ = false;
    else if (std::memcmp(data, "MM\0*", 4) == 0)
        bigEndian_ = true;
    else
        return false;
    ifd_ = U32(4);
    return Has(ifd_, 2) && Has(ifd_ + 2, size_t{U16(ifd_)} * 12);
}

std::optional<TiffIfd0::Field> TiffIfd0::Find(unsigned tag) const {
    static const unsigned kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    if (!data_) return std::nullopt;
    const unsigned count = U16(ifd_);
    for (unsigned i = 0; i < count; ++i) {
        const size_t entry = ifd_ + 2 + size_t{i} * 12;
        if (U16(entry) != tag) continue;
        Field f;
        f.type = U16(entry + 2);
        f.count = U32(entry + 4);
        if (f.type == 0 || f.type >= std::size(kTypeSize)) return std::nullopt;
        f.bytes = size_t{f.count} * kTypeSize[f.type];
        f.offset = f.bytes <= 4 ? entry + 8 : U32(entry + 8);
        if (!Has(f.offset, f.bytes)) return std::nullopt;
        return f;
    }
    return std::nullopt;
}
