#include "PngMetadata.h"

#include <algorithm>
#include <cstdint>

#include <zlib.h>

#include "SysUtils.h"

namespace {

const std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
const std::string_view kXmpKeyword("XML:com.adobe.xmp");
// Readers show the name; the profile's own description would need its tag table parsed.
const std::string_view kProfileName("ICC profile");
constexpr size_t kMaxChunk = 0x7FFFFFFF;

uint32_t BE32(std::string_view s, size_t at) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

void PutBE32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += char(v >> shift & 0xFF);
}

void AppendChunk(std::string& out, std::string_view type, std::string_view data) {
    if (data.empty()) return;
    if (data.size() > kMaxChunk) throw Exception("metadata block too large for a PNG chunk", TFailureKind::Unsupported);
    PutBE32(out, uint32_t(data.size()));
    const size_t crcStart = out.size();
    out.append(type).append(data);
    const auto* p = reinterpret_cast<const Bytef*>(out.data() + crcStart);
    uLong crc = crc32(0, Z_NULL, 0);
    for (size_t left = out.size() - crcStart; left > 0;) {  // crc32 takes a 32-bit length
        const uInt n = uInt(std::min<size_t>(left, 1u << 30));
        crc = crc32(crc, p, n);
        p += n;
        left -= n;
    }
    PutBE32(out, uint32_t(crc));
}

std::string Deflate(std::string_view data) {
    uLongf size = compressBound(uLong(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                  uLong(data.size()), Z_BEST_COMPRESSION) != Z_OK)
        throw Exception("ICC profile could not be compressed", TFailureKind::OutOfMemory);
    out.resize(size);
    return out;
}

bool IsXmpText(std::string_view data) {
    return data.substr(0, kXmpKeyword.size() + 1) == std::string(kXmpKeyword) + '\0';
}

}  // namespace

PngMetadataChunks PngMetadataPayloads(const PhotoMetadata& blocks) {
    PngMetadataChunks chunks;
    chunks.eXIf = blocks.exif;
    if (!blocks.xmp.empty()) {
        // the keyword's end, uncompressed, method 0, no language tag, no translated keyword
        chunks.iTXt.append(kXmpKeyword).append(std::string_view("\0\0\0\0\0", 5));
        chunks.iTXt.append(blocks.xmp);
    }
    if (!blocks.icc.empty()) {
        chunks.iCCP.append(kProfileName).append(1, '\0').append(1, '\0');  // name, deflate
        chunks.iCCP.append(Deflate(blocks.icc));
    }
    return chunks;
}

std::string InsertPngMetadata(std::string_view png, const PhotoMetadata& blocks) {
    auto damaged = [](const char* why, size_t at) {
        return Exception(std::string("PNG: ") + why, TFailureKind::Damaged, 0, int64_t(at));
    };
    if (png.substr(0, 8) != kSignature) throw damaged("no PNG signature", 0);
    const PngMetadataChunks chunks = PngMetadataPayloads(blocks);

    std::string out;
    out.reserve(png.size() + chunks.eXIf.size() + chunks.iTXt.size() + chunks.iCCP.size() + 64);
    out.append(kSignature);
    size_t pos = kSignature.size();
    bool ended = false;
    while (!ended) {
        if (pos + 12 > png.size()) throw damaged("cut short", pos);
        const size_t length = BE32(png, pos);
        if (length > kMaxChunk || length + 12 > png.size() - pos) throw damaged("chunk runs past the end", pos);
        const std::string_view type = png.substr(pos + 4, 4);
        const std::string_view data = png.substr(pos + 8, length);
        const bool first = pos == kSignature.size();
        if (first && type != "IHDR") throw damaged("IHDR is not the first chunk", pos);
        ended = type == "IEND";

        const bool replaced = type == "eXIf" || type == "iCCP" || (type == "iTXt" && IsXmpText(data)) ||
                              (type == "sRGB" && !chunks.iCCP.empty());
        if (!replaced) out.append(png.substr(pos, length + 12));
        if (first) {
            AppendChunk(out, "iCCP", chunks.iCCP);
            AppendChunk(out, "eXIf", chunks.eXIf);
            AppendChunk(out, "iTXt", chunks.iTXt);
        }
        pos += length + 12;
    }
    out.append(png.substr(pos));  // whatever follows IEND stays, as it was
    return out;
}
