// WebP photos through libwebp: stills decoded straight into the bitmap, animations by their
// first frame on the canvas; alpha kept; the EXIF, XMP and ICCP chunks of the container.
#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

#include "Orientation.h"
#include "PhotoDecode.h"
#include "PhotoSupport.h"

namespace {

[[noreturn]] void Fail(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA: PhotoFail("WebP", "the file is cut short");
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        PhotoFail("WebP", "a feature that is not supported", TFailureKind::Unsupported);
    case VP8_STATUS_OUT_OF_MEMORY: PhotoFail("WebP", "out of memory", TFailureKind::OutOfMemory);
    default: PhotoFail("WebP", "the image data are damaged (status " + std::to_string(status) + ")");
    }
}

struct DemuxDelete {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDecoderDelete {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

std::string Chunk(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator it;
    std::string out;
    if (WebPDemuxGetChunk(demux, fourcc, 1, &it))
        out.assign(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
    return out;
}

void DecodeStill(const uint8_t* data, size_t size, const WebPBitstreamFeatures& features, TBitmap& bitmap) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) PhotoFail("WebP", "library version mismatch", TFailureKind::Other);
    bitmap.Allocate(features.has_alpha ? pf32bit : pf24bit, features.width, features.height);
    // The bitmap stores rows bottom-up: libwebp writes them flipped into its block.
    config.options.flip = 1;
    config.output.colorspace = features.has_alpha ? MODE_BGRA : MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = bitmap.Bits();
    config.output.u.RGBA.stride = bitmap.RowStride();
    config.output.u.RGBA.size = bitmap.BitsSize();
    const VP8StatusCode status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) Fail(status);
}

void DecodeFirstFrame(const WebPData& webp, const WebPBitstreamFeatures& features, TBitmap& bitmap) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) PhotoFail("WebP", "library version mismatch", TFailureKind::Other);
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDelete> decoder(WebPAnimDecoderNew(&webp, &options));
    if (!decoder) PhotoFail("WebP", "the animation cannot be read");
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp)) PhotoFail("WebP", "the first frame is damaged");
    bitmap.Allocate(pf32bit, features.width, features.height);
    for (int y = 0; y < features.height; ++y)
        std::memcpy(bitmap.ScanLine(y), canvas + size_t{4} * features.width * y, size_t{4} * features.width);
}

}  // namespace

void DecodeWebpPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata) {
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(data, size, &features);
    if (status != VP8_STATUS_OK) Fail(status);
    CheckPhotoSize("WebP", features.width, features.height);
    const WebPData webp{data, size};
    PhotoMetadata meta;
    std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemux(&webp));
    if (demux) {
        meta.exif = Chunk(demux.get(), "EXIF");
        // Some writers put JPEG's "Exif\0\0" before the TIFF structure.
        if (meta.exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0) meta.exif.erase(0, 6);
        meta.xmp = Chunk(demux.get(), "XMP ");
        meta.icc = Chunk(demux.get(), "ICCP");
        meta.orientation = ExifOrientation(meta.exif);
    }
    if (features.has_animation)
        DecodeFirstFrame(webp, features, bitmap);
    else
        DecodeStill(data, size, features, bitmap);
    metadata = std::move(meta);
}
