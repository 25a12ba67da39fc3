#include "TiffIfd.h"

#include <cstring>
#include <iterator>

unsigned TiffIfd::U16(size_t o) const {
    return bigEndian_ ? (data_[o] << 8) | data_[o + 1] : data_[o] | (data_[o + 1] << 8);
}

uint32_t TiffIfd::U32(size_t o) const {
    const uint32_t a = data_[o], b = data_[o + 1], c = data_[o + 2], d = data_[o + 3];
    return bigEndian_ ? (a << 24) | (b << 16) | (c << 8) | d : a | (b << 8) | (c << 16) | (d << 24);
}

bool TiffIfd::SetIfd(size_t offset) {
    count_ = 0;
    if (!Has(offset, 2) || !Has(offset + 2, size_t{U16(offset)} * 12)) return false;
    ifd_ = offset;
    count_ = U16(offset);
    return true;
}

bool TiffIfd::Open(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    count_ = 0;
    if (!Has(0, 8)) return false;
    if (std::memcmp(data, "II*\0", 4) == 0)
        bigEndian_ = false;
    else if (std::memcmp(data, "MM\0*", 4) == 0)
        bigEndian_ = true;
    else
        return false;
    return SetIfd(U32(4));
}

bool TiffIfd::OpenAt(const TiffIfd& parent, uint32_t offset) {
    data_ = parent.data_;
    size_ = parent.size_;
    bigEndian_ = parent.bigEndian_;
    return data_ && SetIfd(offset);
}

std::optional<TiffIfd::Field> TiffIfd::Entry(unsigned i) const {
    static const unsigned kTypeSize[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    if (i >= count_) return std::nullopt;
    const size_t entry = ifd_ + 2 + size_t{i} * 12;
    Field f;
    f.tag = U16(entry);
    f.type = U16(entry + 2);
    f.count = U32(entry + 4);
    if (f.type == 0 || f.type >= std::size(kTypeSize)) return std::nullopt;
    f.bytes = size_t{f.count} * kTypeSize[f.type];
    f.offset = f.bytes <= 4 ? entry + 8 : U32(entry + 8);
    if (!Has(f.offset, f.bytes)) return std::nullopt;
    return f;
}

std::optional<TiffIfd::Field> TiffIfd::Find(unsigned tag) const {
    for (unsigned i = 0; i < count_; ++i)
        if (U16(ifd_ + 2 + size_t{i} * 12) == tag) return Entry(i);
    return std::nullopt;
}
