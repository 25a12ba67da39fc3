// Reading fields of the first directory (IFD0) of a classic TIFF structure: the layout of TIFF
// files and of EXIF blocks. Every offset is checked against the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TiffIfd0 {
public:
    struct Field {
        unsigned type = 0;   // 1 BYTE, 3 SHORT, 4 LONG, 7 UNDEFINED...
        uint32_t count = 0;  // values of the type
        size_t offset = 0;   // where the values are, inside the data
        size_t bytes = 0;    // count times the size of the type
    };

    // False unless the data start with a TIFF header whose IFD0 lies inside them.
    bool Open(const uint8_t* data, size_t size);
    // The field with this tag, when present and its values lie inside the data.
    std::optional<Field> Find(unsigned tag) const;
    unsigned U16(size_t offset) const;
    uint32_t U32(size_t offset) const;
    std::string Bytes(const Field& f) const {
        return std::string(reinterpret_cast<const char*>(data_ + f.offset), f.bytes);
    }

private:
    bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool bigEndian_ = false;
    size_t ifd_ = 0;
};
