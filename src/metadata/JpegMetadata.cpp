#include "JpegMetadata.h"

#include <vector>

#include "SysUtils.h"

namespace {

constexpr uint8_t kSOI = 0xD8, kSOS = 0xDA, kAPP0 = 0xE0, kAPP1 = 0xE1, kAPP2 = 0xE2, kAPP13 = 0xED;

const std::string_view kExifSig("Exif\0\0", 6);
const std::string_view kXmpSig("http://ns.adobe.com/xap/1.0/\0", 29);
const std::string_view kXmpExtensionSig("http://ns.adobe.com/xmp/extension/\0", 35);
const std::string_view kIccSig("ICC_PROFILE\0", 12);
const std::string_view kPhotoshopSig("Photoshop 3.0\0", 14);
const std::string_view kJfifSig("JFIF\0", 5);

void PutBE16(std::string& out, size_t v) {
    out += char(v >> 8 & 0xFF);
    out += char(v & 0xFF);
}

void PutBE32(std::string& out, size_t v) {
    PutBE16(out, v >> 16);
    PutBE16(out, v & 0xFFFF);
}

TJpegMarker Marker(uint8_t code, std::string_view signature, std::string_view head, std::string_view data) {
    if (signature.size() + head.size() + data.size() > 65533)
        throw Exception("metadata block too large for a JPEG segment", TFailureKind::Unsupported);
    TJpegMarker m;
    m.code = code;
    m.data.reserve(signature.size() + head.size() + data.size());
    for (std::string_view part : {signature, head, data}) m.data.insert(m.data.end(), part.begin(), part.end());
    return m;
}

// The IPTC datasets as the one resource of a Photoshop image resource block.
std::string PhotoshopIptc(std::string_view iptc) {
    std::string block = "8BIM";
    PutBE16(block, 0x0404);
    block.append(2, '\0');  // empty Pascal name, padded to even length
    PutBE32(block, iptc.size());
    block.append(iptc);
    if (iptc.size() % 2) block += '\0';
    return block;
}

std::string_view Text(const std::vector<uint8_t>& data) {
    return std::string_view(reinterpret_cast<const char*>(data.data()), data.size());
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// A segment this layer writes itself, so one already in the file is replaced.
bool IsMetadataSegment(uint8_t marker, std::string_view payload) {
    switch (marker) {
    case kAPP1:
        return StartsWith(payload, kExifSig) || StartsWith(payload, kXmpSig) || StartsWith(payload, kXmpExtensionSig);
    case kAPP2: return StartsWith(payload, kIccSig);
    case kAPP13: return StartsWith(payload, kPhotoshopSig);
    default: return false;
    }
}

}  // namespace

std::vector<TJpegMarker> JpegMetadataMarkers(const PhotoMetadata& blocks) {
    std::vector<TJpegMarker> out;
    if (!blocks.exif.empty()) out.push_back(Marker(kAPP1, kExifSig, {}, blocks.exif));
    if (!blocks.xmp.empty()) out.push_back(Marker(kAPP1, kXmpSig, {}, blocks.xmp));
    if (!blocks.icc.empty()) {
        const size_t count = (blocks.icc.size() + kJpegIccChunk - 1) / kJpegIccChunk;
        if (count > 255) throw Exception("ICC profile too large for a JPEG file", TFailureKind::Unsupported);
        for (size_t i = 0; i < count; ++i) {
            const char head[2] = {char(i + 1), char(count)};  // sequence number from 1, chunk count
            out.push_back(Marker(kAPP2, kIccSig, std::string_view(head, 2),
                                 std::string_view(blocks.icc).substr(i * kJpegIccChunk, kJpegIccChunk)));
        }
    }
    if (!blocks.iptc.empty()) out.push_back(Marker(kAPP13, kPhotoshopSig, {}, PhotoshopIptc(blocks.iptc)));
    return out;
}

std::string JpegMetadataSegments(const PhotoMetadata& blocks) {
    std::string out;
    for (const TJpegMarker& m : JpegMetadataMarkers(blocks)) {
        out += '\xFF';
        out += char(m.code);
        PutBE16(out, m.data.size() + 2);
        out.append(m.data.begin(), m.data.end());
    }
    return out;
}

void ReplaceJpegMetadataMarkers(std::vector<TJpegMarker>& markers, const PhotoMetadata& blocks) {
    std::vector<TJpegMarker> edited;
    auto it = markers.begin();
    if (it != markers.end() && it->code == kAPP0 && StartsWith(Text(it->data), kJfifSig)) edited.push_back(*it++);
    for (TJpegMarker& m : JpegMetadataMarkers(blocks)) edited.push_back(std::move(m));
    for (; it != markers.end(); ++it)
        if (!IsMetadataSegment(uint8_t(it->code), Text(it->data))) edited.push_back(std::move(*it));
    markers = std::move(edited);
}

std::string InsertJpegMetadata(std::string_view jpeg, const PhotoMetadata& blocks) {
    auto byte = [&](size_t at) { return uint8_t(jpeg[at]); };
    auto damaged = [](const char* why, size_t at) {
        return Exception(std::string("JPEG: ") + why, TFailureKind::Damaged, 0, int64_t(at));
    };
    if (jpeg.size() < 4 || byte(0) != 0xFF || byte(1) != kSOI) throw damaged("no start of image", 0);

    // The segments before the first scan, as [start, end) ranges; the rest is copied whole.
    struct Range {
        size_t start, end;
        bool keep;
    };
    std::vector<Range> segments;
    size_t pos = 2;
    for (;;) {
        if (pos + 4 > jpeg.size() || byte(pos) != 0xFF) throw damaged("no marker where one belongs", pos);
        while (pos + 4 <= jpeg.size() && byte(pos + 1) == 0xFF) ++pos;  // fill bytes
        if (pos + 4 > jpeg.size()) throw damaged("cut short", pos);
        const uint8_t marker = byte(pos + 1);
        if (marker == kSOS) break;
        if (marker == kSOI || marker == 0xD9 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01 || marker == 0x00)
            throw damaged("marker without data before the first scan", pos);
        const size_t length = size_t(byte(pos + 2)) << 8 | byte(pos + 3);
        if (length < 2 || pos + 2 + length > jpeg.size()) throw damaged("segment runs past the end", pos);
        const std::string_view payload = jpeg.substr(pos + 4, length - 2);
        segments.push_back({pos, pos + 2 + length, !IsMetadataSegment(marker, payload)});
        pos += 2 + length;
    }

    std::string out;
    out.reserve(jpeg.size() + blocks.exif.size() + blocks.xmp.size() + blocks.icc.size() + blocks.iptc.size() + 1024);
    out.append(jpeg.substr(0, 2));
    size_t next = 0;
    if (!segments.empty() && byte(segments[0].start + 1) == kAPP0 &&
        StartsWith(jpeg.substr(segments[0].start + 4), kJfifSig)) {
        out.append(jpeg.substr(segments[0].start, segments[0].end - segments[0].start));
        next = 1;
    }
    out += JpegMetadataSegments(blocks);
    for (; next < segments.size(); ++next)
        if (segments[next].keep)
            out.append(jpeg.substr(segments[next].start, segments[next].end - segments[next].start));
    out.append(jpeg.substr(pos));
    return out;
}
