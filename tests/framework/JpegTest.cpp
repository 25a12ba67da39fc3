// JPEG output judged by libjpeg itself: the bytes must equal libjpeg's own compression of an
// RGB copy with the same settings, and decode back to the picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <jpeglib.h>

#include "Jpeg.h"
#include "JpegStrips.h"
#include "Picture.h"
#include "TestSupport.h"

namespace {

struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> px;  // R, G, B, top row first
};

Rgb RgbOf(const TBitmap& bmp) {
    Rgb out{bmp.Width(), bmp.Height(), {}};
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) {
            const TColor c = bmp.GetPixel(x, y);
            out.px.insert(out.px.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    return out;
}

// The recipe written out with plain libjpeg calls on an RGB copy, with a restart marker every
// restartInterval MCUs when that is not 0.
std::vector<uint8_t> ReferenceJpeg(const Rgb& img, int quality, int restartInterval = 0) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = static_cast<JDIMENSION>(img.width);
    cinfo.image_height = static_cast<JDIMENSION>(img.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.restart_interval = static_cast<unsigned>(restartInterval);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(&img.px[cinfo.next_scanline * static_cast<size_t>(img.width) * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(mem, mem + size);
    std::free(mem);
    return out;
}

Rgb DecodeJpeg(const std::vector<uint8_t>& bytes) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    Rgb out{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), {}};
    out.px.resize(static_cast<size_t>(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out.px[cinfo.output_scanline * static_cast<size_t>(out.width) * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

// A smooth picture with a few hard edges, in the given format.
void Picture(TBitmap& bmp, TPixelFormat format, int w = 61, int h = 37) {
    TPalette palette;
    if (format <= pf8bit) {
        std::vector<TPaletteEntry> e;
        for (int i = 0; i < (1 << StorageBits(format)); ++i)
            e.push_back(
                {static_cast<uint8_t>(i * 53), static_cast<uint8_t>(255 - i * 11), static_cast<uint8_t>(i * 97), 0});
        palette = TPalette(e);
    }
    bmp.Allocate(format, w, h, palette);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (format <= pf8bit) {
                bmp.SetPixel(x, y,
                             RGBColor(palette[(x / 8 + y / 8) % palette.Count()].peRed,
                                      palette[(x / 8 + y / 8) % palette.Count()].peGreen,
                                      palette[(x / 8 + y / 8) % palette.Count()].peBlue));
            } else {
                bmp.SetPixel(x, y,
                             RGBColor(static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 6),
                                      static_cast<uint8_t>(x > 30 ? 220 : 30)));
            }
        }
}

std::vector<uint8_t> Save(const TBitmap& bmp, int quality, int threads = 1) {
    TMemoryStream out;
    SaveBitmapAsJpeg(bmp, quality, out, {}, threads);
    return out.Bytes();
}

const TPixelFormat kFormats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};

TEST(Jpeg, BytesEqualLibjpegOnAnRgbCopy) {
    for (TPixelFormat format : kFormats) {
        for (int quality : {10, 75, 100}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " quality " << quality);
            TBitmap bmp;
            Picture(bmp, format);
            EXPECT_EQ(Save(bmp, quality), ReferenceJpeg(RgbOf(bmp), quality));
        }
    }
}

// A 24-bit patch is compressed in place of the pixels under it, whatever the bitmap's format,
// up to the far edges; one reaching past them is refused.
TEST(Jpeg, APatchStandsInForThePixelsUnderIt) {
    TBitmap patch;
    patch.Allocate(pf24bit, 21, 9);
    for (int y = 0; y < patch.Height(); ++y)
        for (int x = 0; x < patch.Width(); ++x)
            patch.SetPixel(x, y, RGBColor(static_cast<uint8_t>(x * 12), static_cast<uint8_t>(y * 29), 200));
    for (TPixelFormat format : kFormats) {
        SCOPED_TRACE(testing::Message() << "format " << format);
        TBitmap bmp;
        Picture(bmp, format);
        Rgb expected = RgbOf(bmp);
        const int left = bmp.Width() - patch.Width(), top = bmp.Height() - patch.Height();
        for (int y = 0; y < patch.Height(); ++y)
            for (int x = 0; x < patch.Width(); ++x) {
                const TColor c = patch.GetPixel(x, y);
                uint8_t* p = &expected.px[(static_cast<size_t>(top + y) * expected.width + left + x) * 3];
                p[0] = GetRValue(c), p[1] = GetGValue(c), p[2] = GetBValue(c);
            }
        for (int threads : {1, 3}) {
            TMemoryStream out;
            SaveBitmapAsJpeg(bmp, 90, out, {}, threads, TJpegPatch{&patch, left, top});
            if (threads == 1) {
                EXPECT_EQ(out.Bytes(), ReferenceJpeg(expected, 90));
            }
            EXPECT_EQ(DecodeJpeg(out.Bytes()).px, DecodeJpeg(ReferenceJpeg(expected, 90)).px) << threads;
        }
        TMemoryStream out;
        EXPECT_THROW(SaveBitmapAsJpeg(bmp, 90, out, {}, 1, TJpegPatch{&patch, left + 1, top}), EInvalidGraphic);
    }
}

TEST(Jpeg, ImageObjectCompressesItsOwnCopy) {
    TBitmap bmp;
    Picture(bmp, pf24bit);
    TJPEGImage jpeg;
    jpeg.CompressionQuality = 60;
    jpeg.Assign(bmp);
    const auto expected = Save(bmp, 60);
    bmp.SetPixel(0, 0, clWhite);  // later changes to the bitmap do not reach the copy
    bmp.SetPixel(1, 0, clBlack);
    TMemoryStream out;
    jpeg.SaveToStream(out);
    EXPECT_EQ(out.Bytes(), expected);
    EXPECT_EQ(jpeg.Width(), 61);
    EXPECT_EQ(jpeg.Height(), 37);

    // Decoding gives the picture libjpeg decodes.
    TJPEGImage loaded;
    out.SetPosition(0);
    loaded.LoadFromStream(out);
    TBitmap decoded;
    decoded.Assign(loaded);
    EXPECT_EQ(decoded.PixelFormat(), pf24bit);
    EXPECT_EQ(RgbOf(decoded).px, DecodeJpeg(expected).px);
}

TEST(Jpeg, PicturesLoadJpegFilesByExtension) {
    TBitmap bmp;
    Picture(bmp, pf24bit);
    const auto bytes = Save(bmp, 80);
    testsupport::TempDir dir;
    for (const char* name : {"a.jpg", "b.JPEG"}) {
        TMemoryStream(bytes).SaveToFile(dir.file(name));
        TPicture picture;
        picture.LoadFromFile(dir.file(name));
        EXPECT_STREQ(picture.Graphic()->ClassName(), "TJPEGImage");
        EXPECT_EQ(RgbOf(picture.Bitmap()).px, DecodeJpeg(bytes).px);
    }
}

TEST(Jpeg, FailuresRaiseExceptions) {
    TBitmap empty;
    TMemoryStream out;
    EXPECT_THROW(SaveBitmapAsJpeg(empty, 90, out), EInvalidGraphic);
    TJPEGImage jpeg;
    EXPECT_THROW(jpeg.SaveToStream(out), EInvalidGraphic);
    for (const std::vector<uint8_t>& bad :
         {std::vector<uint8_t>{}, std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0}, std::vector<uint8_t>(100, 7)}) {
        TMemoryStream in(bad);
        EXPECT_THROW(jpeg.LoadFromStream(in), EInvalidGraphic);
    }
}

// A stream that takes limit bytes and then refuses, and records the size of each write.
class LimitedStream : public TMemoryStream {
public:
    explicit LimitedStream(int64_t limit) : limit_(limit) {}
    int64_t Write(const void* buffer, int64_t count) override {
        writes.push_back(count);
        if (Size() + count > limit_) return 0;
        return TMemoryStream::Write(buffer, count);
    }
    std::vector<int64_t> writes;

private:
    int64_t limit_;
};

TEST(Jpeg, StreamErrorsPassThroughAndWritesAreLarge) {
    TBitmap bmp;
    Picture(bmp, pf24bit, 1500, 900);
    const auto whole = Save(bmp, 100);
    ASSERT_GT(whole.size(), 2u * 256 * 1024);  // several full buffers

    LimitedStream unlimited(INT64_MAX);
    SaveBitmapAsJpeg(bmp, 100, unlimited);
    EXPECT_EQ(unlimited.Bytes(), whole);
    for (size_t i = 0; i + 1 < unlimited.writes.size(); ++i) EXPECT_GE(unlimited.writes[i], 64 * 1024);

    // Failing in the middle of the data and at the final flush.
    for (int64_t limit : {int64_t{1000}, static_cast<int64_t>(whole.size()) - 10}) {
        LimitedStream failing(limit);
        EXPECT_THROW(SaveBitmapAsJpeg(bmp, 100, failing), EWriteError) << limit;
    }
}

// Strips compressed side by side must give libjpeg's own file with a restart marker after each
// strip, which decodes to the one-piece file's pixels and is longer only by the markers and the
// padding before each. The sizes: a single pixel and a single row (one strip), fewer MCU rows
// than threads, widths and heights off the 16-pixel grid, more than 8 strips (the marker
// numbers wrap). A restart costs its marker, the padding to a byte and the first DC values
// coded whole (3 × 22 bits), each byte doubled at worst by the zero stuffed behind 0xFF: under
// 24 bytes; the restart interval's segment takes 6 more.
TEST(JpegParallel, StripsAreLibjpegsRestartIntervalsWithTheSamePixels) {
    const struct { int w, h; } sizes[] = {{1, 1}, {61, 1}, {61, 17}, {61, 37}, {16, 100}, {200, 161}};
    for (TPixelFormat format : kFormats) {
        for (const auto& size : sizes) {
            for (int threads : {2, 3, 16}) {
                SCOPED_TRACE(testing::Message() << "format " << format << ", " << size.w << " x " << size.h << ", "
                                                << threads << " threads");
                TBitmap bmp;
                Picture(bmp, format, size.w, size.h);
                const TJpegStripPlan plan = PlanJpegStrips(size.w, size.h, 16, threads);
                const std::vector<uint8_t> one = Save(bmp, 90), many = Save(bmp, 90, threads);
                EXPECT_EQ(many, ReferenceJpeg(RgbOf(bmp), 90, plan.Strips > 1 ? plan.RestartInterval : 0));
                EXPECT_EQ(DecodeJpeg(many).px, DecodeJpeg(one).px);
                if (plan.Strips > 1) {
                    EXPECT_LE(many.size(), one.size() + 6 + 24 * static_cast<size_t>(plan.Strips - 1));
                } else {
                    EXPECT_EQ(many, one);
                }
            }
        }
    }
}

// Whatever the size, strips are whole MCU rows, cover the picture, number at least the threads
// (as far as there are MCU rows) and keep the restart interval within its 16 bits.
TEST(JpegParallel, StripPlansFitTheRestartInterval) {
    const struct {
        int w, h, threads;
    } cases[] = {{6000, 4000, 2},     {6000, 4000, 7}, {20000, 20000, 2}, {4112, 4112, 2},  {16 * 65535, 64, 2},
                 {16 * 65536, 64, 2}, {100, 33, 4},    {100, 16, 4},      {30000, 1000, 1}, {1, 100000, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << ", " << c.threads << " threads");
        const TJpegStripPlan plan = PlanJpegStrips(c.w, c.h, 16, c.threads);
        const int64_t perRow = (c.w + 15) / 16, mcuRows = (c.h + 15) / 16;
        if (c.threads <= 1 || mcuRows == 1 || perRow > 65535) {
            EXPECT_EQ(plan.Strips, 1);
            continue;
        }
        ASSERT_GT(plan.Strips, 1);
        EXPECT_EQ(plan.StripRows % 16, 0);
        EXPECT_LT(int64_t{plan.Strips - 1} * plan.StripRows, c.h);
        EXPECT_GE(int64_t{plan.Strips} * plan.StripRows, c.h);
        EXPECT_EQ(plan.RestartInterval, plan.StripRows / 16 * perRow);
        EXPECT_LE(plan.RestartInterval, 65535);
        EXPECT_GE(plan.Strips, std::min<int64_t>(c.threads, mcuRows));
        EXPECT_GE(int64_t{plan.Strips} * 65535, perRow * mcuRows);
    }
}

}  // namespace

namespace {

// A grey progressive file whose scans all give coefficients their full precision, so that a
// repeated last scan is valid data that only costs another pass; repeated `extra` times.
std::vector<uint8_t> ProgressiveWithRepeatedScan(int extra) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = cinfo.image_height = 16;
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    static const jpeg_scan_info script[] = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
    cinfo.scan_info = script;
    cinfo.num_scans = 2;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(16);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) row[static_cast<size_t>(x)] = static_cast<JSAMPLE>(x * 16 + y);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> file(mem, mem + size);
    std::free(mem);
    jpeg_destroy_compress(&cinfo);
    // The last scan runs from the last start-of-scan marker to the end-of-image marker.
    size_t sos = file.size() - 2;
    while (!(file[sos] == 0xFF && file[sos + 1] == 0xDA)) --sos;
    const std::vector<uint8_t> scan(file.begin() + static_cast<long>(sos), file.end() - 2);
    std::vector<uint8_t> out(file.begin(), file.end() - 2);
    for (int i = 0; i < extra; ++i) out.insert(out.end(), scan.begin(), scan.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

}  // namespace

// Each failure has the kind a caller can act on, whichever libjpeg path found it.
TEST(Jpeg, BadInputFailsWithItsKindInsteadOfLoadingGrey) {
    TBitmap bmp;
    Picture(bmp, pf24bit);
    const auto whole = Save(bmp, 80);
    std::vector<uint8_t> extraneous = whole;
    ASSERT_EQ(extraneous[20], 0xFF);                        // after the start marker and the JFIF segment
    extraneous.insert(extraneous.begin() + 20, {1, 2, 3});  // bytes where a marker must stand
    const uint8_t sof0[] = {0xFF, 0xC0};
    const auto sof = static_cast<size_t>(std::search(whole.begin(), whole.end(), sof0, sof0 + 2) - whole.begin());
    ASSERT_LT(sof + 9, whole.size());
    auto mutate = [&](auto edit) {
        std::vector<uint8_t> f = whole;
        edit(f);
        return f;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        TFailureKind kind;  // Other: loads
    };
    const Case cases[] = {
        {"whole", whole, TFailureKind::Other},
        {"cut in its data", std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)),
         TFailureKind::Damaged},
        {"without its end marker", std::vector<uint8_t>(whole.begin(), whole.end() - 2), TFailureKind::Damaged},
        {"stray bytes before a marker", extraneous, TFailureKind::Damaged},
        {"empty", {}, TFailureKind::Damaged},
        {"12-bit", mutate([&](auto& f) { f[sof + 4] = 12; }), TFailureKind::Unsupported},
        {"lossless", mutate([&](auto& f) { f[sof + 1] = 0xC3; }), TFailureKind::Unsupported},
        {"60000 x 60000", mutate([&](auto& f) {
             f[sof + 5] = f[sof + 7] = 0xEA;
             f[sof + 6] = f[sof + 8] = 0x60;
         }),
         TFailureKind::TooLarge},
        {"a scan repeated 400 times", ProgressiveWithRepeatedScan(400), TFailureKind::Other},
        {"a scan repeated 600 times", ProgressiveWithRepeatedScan(600), TFailureKind::TooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream in(c.bytes);
        TJPEGImage jpeg;
        try {
            jpeg.LoadFromStream(in);
            EXPECT_EQ(c.kind, TFailureKind::Other) << "loaded";
            EXPECT_FALSE(jpeg.Empty());
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Kind(), c.kind) << e.what();
            EXPECT_TRUE(jpeg.Empty());
        }
    }
}
