// HEIF/HEIC photos through libheif: the primary image with its irot/imir/clap transforms
// applied by libheif, high bit depths reduced to 8, alpha kept; the Exif and XMP items and a
// raw ICC profile.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <libheif/heif.h>

#include "PhotoDecode.h"
#include "PhotoSupport.h"

namespace {

void Check(const heif_error& e, const char* what) {
    if (e.code == heif_error_Ok) return;
    TFailureKind kind = TFailureKind::Damaged;
    switch (e.code) {
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
    case heif_error_Plugin_loading_error: kind = TFailureKind::Unsupported; break;
    case heif_error_Memory_allocation_error: kind = TFailureKind::OutOfMemory; break;
    default: break;
    }
    PhotoFail("HEIF", std::string(what) + ": " + (e.message ? e.message : "unknown error"), kind);
}

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

std::string MetadataBlock(const heif_image_handle* handle, const char* type, const char* contentType) {
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, type);
    std::vector<heif_item_id> ids(static_cast<size_t>(std::max(count, 0)));
    if (count > 0) heif_image_handle_get_list_of_metadata_block_IDs(handle, type, ids.data(), count);
    for (heif_item_id id : ids) {
        if (contentType && std::strcmp(heif_image_handle_get_metadata_content_type(handle, id), contentType) != 0)
            continue;
        std::string block(heif_image_handle_get_metadata_size(handle, id), '\0');
        if (heif_image_handle_get_metadata(handle, id, block.data()).code == heif_error_Ok) return block;
    }
    return {};
}

// The Exif item starts with a 4-byte big-endian offset from its end to the TIFF header.
std::string ExifFromItem(const std::string& item) {
    if (item.size() < 4) return {};
    const uint32_t skip =
        (uint32_t{uint8_t(item[0])} << 24) | (uint8_t(item[1]) << 16) | (uint8_t(item[2]) << 8) | uint8_t(item[3]);
    if (skip > item.size() - 4) return {};
    return item.substr(4 + skip);
}

}  // namespace

void DecodeHeifPhoto(const uint8_t* data, size_t size, TBitmap& bitmap, PhotoMetadata& metadata, int maxSide) {
    std::unique_ptr<heif_context, ContextFree> ctx(heif_context_alloc());
    if (!ctx) PhotoFail("HEIF", "out of memory", TFailureKind::OutOfMemory);
    // libheif's bound on each side of any image in the file (grids, tiles, alpha, thumbnails):
    // its own default of 32768 lets a file of a kilobyte claim a gigapixel canvas.
    heif_context_set_maximum_image_size_limit(ctx.get(), std::min(TBitmap::kMaxDimension, maxSide));
    Check(heif_context_read_from_memory_without_copy(ctx.get(), data, size, nullptr), "the file cannot be read");
    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_get_primary_image_handle(ctx.get(), &rawHandle), "no primary image");
    std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);
    CheckPhotoSize("HEIF", heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()));
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;

    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    heif_image* rawImage = nullptr;
    Check(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get()),
          "the image cannot be decoded");
    std::unique_ptr<heif_image, ImageRelease> image(rawImage);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    CheckPhotoSize("HEIF", w, h);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        PhotoFail("HEIF", "the decoded image has an unexpected layout", TFailureKind::Unsupported);
    bitmap.Allocate(alpha ? pf32bit : pf24bit, w, h);
    const int bpp = alpha ? 4 : 3;
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = plane + ptrdiff_t{stride} * y;
        uint8_t* dst = bitmap.ScanLine(y);
        for (int x = 0; x < w; ++x, src += bpp, dst += bpp) {
            dst[0] = src[2], dst[1] = src[1], dst[2] = src[0];
            if (alpha) dst[3] = src[3];
        }
    }

    PhotoMetadata meta;
    meta.exif = ExifFromItem(MetadataBlock(handle.get(), "Exif", nullptr));
    meta.xmp = MetadataBlock(handle.get(), "mime", "application/rdf+xml");
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(handle.get());
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        std::string icc(heif_image_handle_get_raw_color_profile_size(handle.get()), '\0');
        if (heif_image_handle_get_raw_color_profile(handle.get(), icc.data()).code == heif_error_Ok) meta.icc = icc;
    }
    // libheif applied the file's own transforms; an EXIF orientation must not turn it again.
    meta.orientation = 1;
    metadata = std::move(meta);
}
