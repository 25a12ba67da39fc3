#include "PhotoWriters.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
#include <libheif/heif.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

namespace photowriters {

Rgba TestPicture(int width, int height, bool alpha, int seed) {
    Rgba img{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &img.px[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(x * 255 / std::max(1, width - 1));
            p[1] = uint8_t(y * 255 / std::max(1, height - 1));
            p[2] = uint8_t(((x / 8 + y / 8 + seed) & 1) ? 200 : 40);  // blocks, smooth enough for JPEG
            p[3] = alpha ? uint8_t(255 - (x + y) * 255 / std::max(1, width + height - 2)) : 255;
        }
    return img;
}

std::string ExifBlock(int orientation, bool be) {
    std::string s;
    auto u16 = [&](unsigned v) { s += be ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)}; };
    auto u32 = [&](uint32_t v) {
        if (be)
            s += std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        else
            s += std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    s += be ? "MM" : "II";
    u16(42);
    u32(8);
    u16(2);                                            // entries
    u16(0x010F), u16(2), u32(6), u32(8 + 2 + 24 + 4);  // Make, ASCII, out of line
    u16(0x0112), u16(3), u32(1), u16(unsigned(orientation)), u16(0);
    u32(0);  // no next IFD
    s += std::string("Maker\0", 6);
    return s;
}

std::string WriteJpeg(const Rgba& img, const JpegOptions& o) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = JDIMENSION(img.width);
    cinfo.image_height = JDIMENSION(img.height);
    cinfo.input_components = o.cmyk ? 4 : 3;
    cinfo.in_color_space = o.cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, o.quality, TRUE);
    if (o.grey) {
        jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    } else if (!o.cmyk) {
        cinfo.comp_info[0].h_samp_factor = o.lumaH;
        cinfo.comp_info[0].v_samp_factor = o.lumaV;
    }
    std::vector<jpeg_scan_info> scans;
    if (o.manyScans) {
        scans.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 1});
        scans.push_back({3, {0, 1, 2, 0}, 0, 0, 1, 0});
        for (int c = 0; c < 3; ++c)
            for (int k = 1; k < 64; ++k) {
                scans.push_back({1, {c}, k, k, 0, 2});
                scans.push_back({1, {c}, k, k, 2, 1});
                scans.push_back({1, {c}, k, k, 1, 0});
            }
        cinfo.scan_info = scans.data();
        cinfo.num_scans = int(scans.size());
    } else if (o.progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    auto marker = [&](int code, const std::string& prefix, const std::string& body) {
        const std::string all = prefix + body;
        jpeg_write_marker(&cinfo, code, reinterpret_cast<const JOCTET*>(all.data()), unsigned(all.size()));
    };
    if (!o.exif.empty()) marker(JPEG_APP0 + 1, std::string("Exif\0\0", 6), o.exif);
    if (!o.xmp.empty()) marker(JPEG_APP0 + 1, std::string("http://ns.adobe.com/xap/1.0/\0", 29), o.xmp);
    if (!o.icc.empty()) {
        const size_t n = (o.icc.size() + o.iccChunk - 1) / o.iccChunk;
        for (size_t i = 0; i < n; ++i)
            marker(JPEG_APP0 + 2, std::string("ICC_PROFILE\0", 12) + char(i + 1) + char(n),
                   o.icc.substr(i * o.iccChunk, o.iccChunk));
    }
    if (!o.iptc.empty()) {
        const uint32_t len = uint32_t(o.iptc.size());
        std::string res = std::string("8BIM\x04\x04\0\0", 8) +
                          std::string{char(len >> 24), char(len >> 16), char(len >> 8), char(len)} + o.iptc;
        if (res.size() & 1) res += '\0';
        marker(JPEG_APP0 + 13, std::string("Photoshop 3.0\0", 14), std::string("8BIM\x03\xED\0\0\0\0\0\0", 12) + res);
    }
    std::vector<uint8_t> row(size_t(img.width) * 4);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = int(cinfo.next_scanline);
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = img.At(x, y);
            if (o.cmyk) {  // inverted (Adobe) CMYK: 255 - ink, no black ink
                row[4 * x] = p[0], row[4 * x + 1] = p[1], row[4 * x + 2] = p[2], row[4 * x + 3] = 255;
            } else {
                row[3 * x] = p[0], row[3 * x + 1] = p[1], row[3 * x + 2] = p[2];
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<char*>(mem), size);
    std::free(mem);
    return out;
}

std::string WritePng(const Rgba& img, const PngOptions& o) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::string bytes;
    png_set_write_fn(
        png, &bytes,
        [](png_structp p, png_bytep data, size_t n) {
            static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), n);
        },
        nullptr);
    const int depth = o.bits16 ? 16 : 8, channels = o.alpha ? 4 : 3;
    png_set_IHDR(png, info, uint32_t(img.width), uint32_t(img.height), depth,
                 o.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!o.icc.empty())
        png_set_iCCP(png, info, "test", 0, reinterpret_cast<png_const_bytep>(o.icc.data()), uint32_t(o.icc.size()));
    if (!o.exif.empty())
        png_set_eXIf_1(png, info, uint32_t(o.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char*>(o.exif.data())));
    png_text text{};
    if (!o.xmp.empty()) {
        text.compression = o.xmpCompressed ? PNG_ITXT_COMPRESSION_zTXt : PNG_ITXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("XML:com.adobe.xmp");
        text.text = const_cast<char*>(o.xmp.c_str());
        text.itxt_length = o.xmp.size();
        text.lang = const_cast<char*>("");
        text.lang_key = const_cast<char*>("");
        png_set_text(png, info, &text, 1);
    }
    png_write_info(png, info);
    std::vector<uint8_t> row(size_t(img.width) * channels * (depth / 8));
    for (int y = 0; y < img.height; ++y) {
        for (int x = 0; x < img.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const uint8_t v = img.At(x, y)[c];
                if (depth == 8) {
                    row[size_t(x) * channels + c] = v;
                } else {  // a low byte that must not leak into the 8-bit result
                    row[(size_t(x) * channels + c) * 2] = v;
                    row[(size_t(x) * channels + c) * 2 + 1] = uint8_t(v ^ 0xA5);
                }
            }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return bytes;
}

std::string WriteTiff(const Rgba& img, const TiffOptions& o) {
    char path[] = "/tmp/kirimark-tiff-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    TIFF* tif = TIFFFdOpen(fd, path, "w");
    for (int page = 0; page < o.pages; ++page) {
        const int spp = o.cmyk ? 4 : o.alpha ? 4 : 3;
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(img.width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(img.height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(o.bits));
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp));
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, o.cmyk ? PHOTOMETRIC_SEPARATED : PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        if (o.alpha && !o.cmyk) {
            const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        if (o.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16u);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, 16u);
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 5u);
        }
        if (page == 0) {
            if (o.orientation) TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(o.orientation));
            if (!o.xmp.empty()) TIFFSetField(tif, TIFFTAG_XMLPACKET, uint32_t(o.xmp.size()), o.xmp.data());
            if (!o.iptc.empty()) TIFFSetField(tif, TIFFTAG_RICHTIFFIPTC, uint32_t(o.iptc.size()), o.iptc.data());
            if (!o.icc.empty()) TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(o.icc.size()), o.icc.data());
        }
        const int bytes = o.bits / 8;
        auto sample = [&](int x, int y, int c) -> unsigned {
            const uint8_t* p = img.At(x, y);
            unsigned v = o.cmyk ? (c < 3 ? 255u - p[c] : 0u) : p[c];
            if (page > 0 && c < 3) v = 255 - v;
            return v;
        };
        const tmsize_t rowBytes = tmsize_t(img.width) * spp * bytes;
        std::vector<uint8_t> rows(size_t(rowBytes) * img.height);
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x)
                for (int c = 0; c < spp; ++c) {
                    const unsigned v = sample(x, y, c);
                    uint8_t* d = &rows[size_t(y) * rowBytes + (size_t(x) * spp + c) * bytes];
                    if (bytes == 1) {
                        d[0] = uint8_t(v);
                    } else {  // a low byte that must not leak into the 8-bit result
                        const uint16_t w = uint16_t(v * 257 ^ 0x5A);
                        std::memcpy(d, &w, 2);
                    }
                }
        if (o.tiled) {
            std::vector<uint8_t> tile(size_t(TIFFTileSize(tif)));
            const tmsize_t tileRow = 16 * spp * bytes;
            for (int ty = 0; ty < img.height; ty += 16)
                for (int tx = 0; tx < img.width; tx += 16) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = 0; y < 16 && ty + y < img.height; ++y)
                        std::memcpy(&tile[size_t(y * tileRow)],
                                    &rows[size_t(ty + y) * rowBytes + size_t(tx) * spp * bytes],
                                    size_t(std::min(16, img.width - tx) * spp * bytes));
                    TIFFWriteTile(tif, tile.data(), uint32_t(tx), uint32_t(ty), 0, 0);
                }
        } else {
            for (int y = 0; y < img.height; ++y) TIFFWriteScanline(tif, &rows[size_t(y) * rowBytes], uint32_t(y), 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    std::string out;
    if (FILE* f = std::fopen(path, "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    std::remove(path);
    return out;
}

namespace {

std::string Mux(const std::string& webp, const WebpOptions& o) {
    WebPMux* mux = WebPMuxNew();
    const WebPData image{reinterpret_cast<const uint8_t*>(webp.data()), webp.size()};
    WebPMuxSetImage(mux, &image, 1);
    auto chunk = [&](const char* fourcc, const std::string& body) {
        if (body.empty()) return;
        const WebPData d{reinterpret_cast<const uint8_t*>(body.data()), body.size()};
        WebPMuxSetChunk(mux, fourcc, &d, 1);
    };
    chunk("EXIF", o.exif);
    chunk("XMP ", o.xmp);
    chunk("ICCP", o.icc);
    WebPData out;
    WebPDataInit(&out);
    WebPMuxAssemble(mux, &out);
    std::string bytes(reinterpret_cast<const char*>(out.bytes), out.size);
    WebPDataClear(&out);
    WebPMuxDelete(mux);
    return bytes;
}

}  // namespace

std::string WriteWebp(const Rgba& img, const WebpOptions& o) {
    std::vector<uint8_t> px = img.px;
    if (!o.alpha)
        for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
    uint8_t* out = nullptr;
    const size_t n = o.lossless ? WebPEncodeLosslessRGBA(px.data(), img.width, img.height, img.width * 4, &out)
                                : WebPEncodeRGBA(px.data(), img.width, img.height, img.width * 4, 90, &out);
    std::string bytes(reinterpret_cast<char*>(out), n);
    WebPFree(out);
    return Mux(bytes, o);
}

std::string WriteAnimatedWebp(const Rgba& img) {
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    WebPAnimEncoder* enc = WebPAnimEncoderNew(img.width, img.height, &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    for (int frame = 0; frame < 2; ++frame) {
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.use_argb = 1;
        pic.width = img.width, pic.height = img.height;
        std::vector<uint8_t> px = img.px;
        if (frame == 1)
            for (size_t i = 0; i < px.size(); ++i)
                if (i % 4 != 3) px[i] = uint8_t(255 - px[i]);
        WebPPictureImportRGBA(&pic, px.data(), img.width * 4);
        WebPAnimEncoderAdd(enc, &pic, frame * 100, &config);
        WebPPictureFree(&pic);
    }
    WebPAnimEncoderAdd(enc, nullptr, 200, nullptr);
    WebPData out;
    WebPDataInit(&out);
    WebPAnimEncoderAssemble(enc, &out);
    std::string bytes(reinterpret_cast<const char*>(out.bytes), out.size);
    WebPDataClear(&out);
    WebPAnimEncoderDelete(enc);
    return bytes;
}

bool CanWriteHeif() { return heif_have_encoder_for_format(heif_compression_HEVC) != 0; }

std::string WriteHeif(const Rgba& img, const HeifOptions& o) {
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 90);
    heif_image* image = nullptr;
    heif_image_create(img.width, img.height, heif_colorspace_RGB,
                      o.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, img.width, img.height, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    const int bpp = o.alpha ? 4 : 3;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) std::memcpy(plane + y * stride + x * bpp, img.At(x, y), size_t(bpp));
    if (!o.icc.empty()) heif_image_set_raw_color_profile(image, "prof", o.icc.data(), o.icc.size());
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation(o.orientation);
    heif_image_handle* handle = nullptr;
    heif_context_encode_image(ctx, image, encoder, options, &handle);
    if (!o.exif.empty()) heif_context_add_exif_metadata(ctx, handle, o.exif.data(), int(o.exif.size()));
    if (!o.xmp.empty()) heif_context_add_XMP_metadata(ctx, handle, o.xmp.data(), int(o.xmp.size()));
    std::string bytes;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* user) {
                           static_cast<std::string*>(user)->append(static_cast<const char*>(data), size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    heif_context_write(ctx, &writer, &bytes);
    heif_encoding_options_free(options);
    heif_image_handle_release(handle);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(ctx);
    return bytes;
}

}  // namespace photowriters
