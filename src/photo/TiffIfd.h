// Reading the directories (IFDs) of a classic TIFF structure: the layout of TIFF files and of
// EXIF blocks. Every offset is checked against the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TiffIfd {
public:
    struct Field {
        unsigned tag = 0;
        unsigned type = 0;   // 1 BYTE, 3 SHORT, 4 LONG, 7 UNDEFINED...
        uint32_t count = 0;  // values of the type
        size_t offset = 0;   // where the values are, inside the data
        size_t bytes = 0;    // count times the size of the type
    };

    // IFD0: false unless the data start with a TIFF header whose IFD0 lies inside them.
    bool Open(const uint8_t* data, size_t size);
    // Another directory of the same data (a sub-IFD a field points to).
    bool OpenAt(const TiffIfd& parent, uint32_t offset);

    unsigned Count() const { return count_; }
    // The i-th entry, when its values lie inside the data and its type is known.
    std::optional<Field> Entry(unsigned i) const;
    std::optional<Field> Find(unsigned tag) const;

    bool BigEndian() const { return bigEndian_; }
    unsigned U16(size_t offset) const;
    uint32_t U32(size_t offset) const;
    std::string Bytes(const Field& f) const {
        return std::string(reinterpret_cast<const char*>(data_ + f.offset), f.bytes);
    }

private:
    bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }
    bool SetIfd(size_t offset);
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool bigEndian_ = false;
    size_t ifd_ = 0;
    unsigned count_ = 0;
};
