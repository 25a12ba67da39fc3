// JPEG photos through libjpeg: any colour space libjpeg knows, CMYK and YCCK converted to RGB,
// with the EXIF, XMP, IPTC and ICC blocks of the APP segments.
#include <csetjmp>
#include <cstring>
#include <exception>
#include <map>
#include <vector>

#include "LibJpeg.h"
#include "Orientation.h"
#include "PhotoDecode.h"
#include "PhotoSupport.h"

namespace {

struct Job {
    const uint8_t* data;
    size_t size;
    TBitmap* bitmap;
    std::vector<uint8_t>* cmykRow;
    PhotoMetadata* meta;
    std::exception_ptr error;  // size check or allocation
    jpeg_progress_mgr monitor{LimitJpegScans, 0, 0, 0, 0};
};

void ConvertCmykRow(const uint8_t* cmyk, uint8_t* bgr, int width, bool inverted) {
    for (int x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        // Adobe's files store 255 - ink; others store the ink itself.
        const unsigned c = inverted ? cmyk[0] : 255 - cmyk[0], m = inverted ? cmyk[1] : 255 - cmyk[1];
        const unsigned y = inverted ? cmyk[2] : 255 - cmyk[2], k = inverted ? cmyk[3] : 255 - cmyk[3];
        bgr[0] = static_cast<uint8_t>((y * k + 127) / 255);
        bgr[1] = static_cast<uint8_t>((m * k + 127) / 255);
        bgr[2] = static_cast<uint8_t>((c * k + 127) / 255);
    }
}

bool HasPrefix(const jpeg_saved_marker_ptr m, const char* prefix, size_t n) {
    return m->data_length >= n && std::memcmp(m->data, prefix, n) == 0;
}

// IPTC-IIM is resource 0x0404 of the Photoshop image resource blocks ("8BIM", id, padded
// Pascal name, padded size-prefixed data).
std::string IptcFromPhotoshop(const std::string& res) {
    size_t p = 0;
    auto u32 = [&](size_t o) {
        return (uint32_t{uint8_t(res[o])} << 24) | (uint8_t(res[o + 1]) << 16) | (uint8_t(res[o + 2]) << 8) |
               uint8_t(res[o + 3]);
    };
    while (p + 7 <= res.size() && res.compare(p, 4, "8BIM") == 0) {
        const unsigned id = (uint8_t(res[p + 4]) << 8) | uint8_t(res[p + 5]);
        size_t q = p + 6;
        const size_t nameLen = uint8_t(res[q]);
        q += (nameLen + 2) & ~size_t{1};  // length byte and name, padded to even
        if (q + 4 > res.size()) break;
        const size_t len = u32(q);
        q += 4;
        if (len > res.size() - q) break;
        if (id == 0x0404) return res.substr(q, len);
        p = q + ((len + 1) & ~size_t{1});
    }
    return {};
}

void ReadMetadata(const jpeg_decompress_struct& cinfo, PhotoMetadata& meta) {
    static const char kExif[] = "Exif\0";  // with the terminating zero: six bytes
    static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
    static const char kIcc[] = "ICC_PROFILE";
    static const char kPhotoshop[] = "Photoshop 3.0";
    std::map<int, std::string> iccChunks;
    int iccCount = 0;
    std::string photoshop;
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        const char* bytes = reinterpret_cast<const char*>(m->data);
        if (m->marker == JPEG_APP0 + 1 && meta.exif.empty() && HasPrefix(m, kExif, 6)) {
            meta.exif.assign(bytes + 6, m->data_length - 6);
        } else if (m->marker == JPEG_APP0 + 1 && meta.xmp.empty() && HasPrefix(m, kXmp, sizeof kXmp)) {
            meta.xmp.assign(bytes + sizeof kXmp, m->data_length - sizeof kXmp);
        } else if (m->marker == JPEG_APP0 + 2 && HasPrefix(m, kIcc, sizeof kIcc) && m->data_length >= 14) {
            const int seq = m->data[12], count = m->data[13];
            if (seq >= 1 && seq <= count && (iccCount == 0 || iccCount == count)) {
                iccCount = count;
                iccChunks.emplace(seq, std::string(bytes + 14, m->data_length - 14));
            }
        } else if (m->marker == JPEG_APP0 + 13 && HasPrefix(m, kPhotoshop, sizeof kPhotoshop)) {
            photoshop.append(bytes + sizeof kPhotoshop, m->data_length - sizeof kPhotoshop);
        }
    }
    // A profile with a missing chunk is useless: keep none rather than a broken one.
    if (iccCount > 0 && static_cast<int>(iccChunks.size()) == iccCount)
        for (auto& [seq, chunk] : iccChunks) meta.icc += chunk;
    meta.iptc = IptcFromPhotoshop(photoshop);
    meta.orientation = ExifOrientation(meta.exif);
}

bool DecompressGuarded(jpeg_decompress_struct& cinfo, TJpegErrors& err, Job& job) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &job.monitor;
    jpeg_mem_src(&cinfo, job.data, static_cast<unsigned long>(job.size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_calc_output_dimensions(&cinfo);
    if (!ParkException(job.error, [&] {
            // Saved markers live only until the decompression ends.
            ReadMetadata(cinfo, *job.meta);
            CheckPhotoSize("JPEG", cinfo.output_width, cinfo.output_height);
            job.bitmap->Allocate(pf24bit, static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height));
            if (cmyk) job.cmykRow->resize(size_t{cinfo.output_width} * 4);
        }))
        return false;
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* dest = job.bitmap->ScanLine(static_cast<int>(cinfo.output_scanline));
        JSAMPROW row = cmyk ? job.cmykRow->data() : dest;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) (*cinfo.err->error_exit)(reinterpret_cast<j_common_ptr>(&cinfo));
        if (cmyk)
            ConvertCmykRow(job.cmykRow->data(), dest, static_cast<int>(cinfo.output_width), cinfo.saw_Adobe_marker);
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

bool ReadHeaderGuarded(jpeg_decompress_struct& cinfo, TJpegErrors& err, const uint8_t* data, size_t size,
                       TJpegPhotoHeader& header, std::exception_ptr& error) {
    if (setjmp(err.jump)) return false;
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 13, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    return ParkException(error, [&] {
        ReadMetadata(cinfo, header.metadata);
        header.width = static_cast<int>(cinfo.image_width);
        header.height = static_cast<int>(cinfo.image_height);
        header.grey = cinfo.num_components == 1;
    });
}

}  // namespace

TJpegPhotoHeader ReadJpegPhotoHeader(const uint8_t* data, size_t size) {
    TJpegPhotoHeader header;
    TJpegErrors err;
    TJpegDecompressor decompressor(err);
    std::exception_ptr error;
    if (!ReadHeaderGuarded(decompressor.cinfo, err, data, size, header, error)) {
        if (error) std::rethrow_exception(error);
        PhotoFail("JPEG", err.message, err.kind);
    }
    return header;
}

void DecodeJpegPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    std::vector<uint8_t> cmykRow;
    PhotoMetadata meta;
    TJpegErrors err;
    TJpegDecompressor decompressor(err);
    Job job{data, size, &bitmap, &cmykRow, &meta, nullptr};
    if (!DecompressGuarded(decompressor.cinfo, err, job)) {
        if (job.error) std::rethrow_exception(job.error);
        if (err.tooManyScans)
            PhotoFail("JPEG", "more than " + std::to_string(kMaxJpegScans) + " progressive scans",
                      TFailureKind::TooLarge);
        PhotoFail("JPEG", err.message, err.kind);
    }
    metadata = std::move(meta);
}
