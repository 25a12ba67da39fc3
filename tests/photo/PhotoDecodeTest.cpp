// The photo decoders on files written by each format's own library: pixels within the codec's
// tolerance of the source picture (exactly libjpeg's own decode for JPEG), alpha where the
// file has it, and the metadata blocks as written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include <jpeglib.h>

#include "Orientation.h"
#include "PhotoDecode.h"
#include "PhotoWriters.h"
#include "TestSupport.h"

using namespace photowriters;

namespace {

const std::string kXmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>";
const std::string kIptc = std::string("\x1C\x02\x74\x00\x07(c)Test", 12);  // CopyrightNotice dataset

// An RGB display profile header without tags, padded with filler to n bytes (a multiple of 4):
// enough for libpng to accept it; our decoders do not interpret profiles.
std::string FakeProfile(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 132; i < n; ++i) s[i] = char(i * 7 + i / 251);
    const auto be32 = [&](size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) s[at + k] = char(v >> (24 - 8 * k));
    };
    be32(0, uint32_t(n));
    be32(8, 0x02100000);  // version 2.1
    s.replace(12, 12, "mntrRGB XYZ ");
    s.replace(36, 4, "acsp");
    be32(68, 0xF6D6), be32(72, 0x10000), be32(76, 0xD32D);  // D50
    be32(128, 0);                                           // no tags
    return s;
}

struct Diff {
    int max = 0;
    double mean = 0;
};

// Difference over every pixel: colour, and with alpha the alpha and the colour weighted by it
// (under full transparency colour is free: encoders may drop it, premultiplied files lose it).
Diff Compare(const TBitmap& bmp, const Rgba& ref, bool alpha) {
    Diff d;
    int64_t sum = 0;
    for (int y = 0; y < ref.height; ++y) {
        const uint8_t* row = bmp.ScanLine(y);
        for (int x = 0; x < ref.width; ++x) {
            const uint8_t* p = row + x * (alpha ? 4 : 3);
            const uint8_t* r = ref.At(x, y);
            const int a = alpha ? r[3] : 255;
            const int diffs[4] = {(p[2] - r[0]) * a / 255, (p[1] - r[1]) * a / 255, (p[0] - r[2]) * a / 255,
                                  alpha ? p[3] - r[3] : 0};
            for (int v : diffs) d.max = std::max(d.max, std::abs(v)), sum += std::abs(v);
        }
    }
    d.mean = double(sum) / (double(ref.width) * ref.height * 4);
    return d;
}

std::string Decode(const std::string& bytes, TBitmap& bmp, PhotoMetadata& meta) {
    try {
        DecodePhoto(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), bmp, meta);
    } catch (const EInvalidGraphic& e) {
        return e.Message();
    }
    return {};
}

struct Case {
    const char* name;
    TPhotoFormat format;
    bool alpha;   // the file has alpha: a 32-bit bitmap
    int maxDiff;  // per channel, anywhere
    double meanDiff;
    std::function<std::string(const Rgba&)> write;
    PhotoMetadata expected;
    bool halfFails = true;  // a file cut in half loses picture data
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

PhotoMetadata Meta(const std::string& exif, const std::string& xmp, const std::string& iptc, const std::string& icc,
                   int orientation) {
    PhotoMetadata m;
    m.exif = exif, m.xmp = xmp, m.iptc = iptc, m.icc = icc, m.orientation = orientation;
    return m;
}

std::vector<Case> Cases() {
    const std::string icc = FakeProfile(100000), smallIcc = FakeProfile(3000);
    std::vector<Case> cases = {
        {"jpeg_with_metadata", TPhotoFormat::Jpeg, false, 80, 6.0,
         [=](const Rgba& img) {
             JpegOptions o;
             o.exif = ExifBlock(6), o.xmp = kXmp, o.icc = icc, o.iptc = kIptc;
             return WriteJpeg(img, o);
         },
         Meta(ExifBlock(6), kXmp, kIptc, icc, 6)},
        {"jpeg_progressive_big_endian_exif", TPhotoFormat::Jpeg, false, 80, 6.0,
         [](const Rgba& img) {
             JpegOptions o;
             o.progressive = true, o.exif = ExifBlock(8, true);
             return WriteJpeg(img, o);
         },
         Meta(ExifBlock(8, true), "", "", "", 8)},
        {"jpeg_adobe_cmyk",
         TPhotoFormat::Jpeg,
         false,
         80,
         6.0,
         [](const Rgba& img) {
             JpegOptions o;
             o.cmyk = true;
             return WriteJpeg(img, o);
         },
         {}},
        {"png_rgba16_with_metadata", TPhotoFormat::Png, true, 0, 0,
         [=](const Rgba& img) {
             PngOptions o;
             o.alpha = o.bits16 = true, o.exif = ExifBlock(3), o.xmp = kXmp, o.icc = smallIcc;
             return WritePng(img, o);
         },
         Meta(ExifBlock(3), kXmp, "", smallIcc, 3)},
        {"png_rgb_compressed_xmp", TPhotoFormat::Png, false, 0, 0,
         [](const Rgba& img) {
             PngOptions o;
             o.xmp = kXmp, o.xmpCompressed = true;
             return WritePng(img, o);
         },
         Meta("", kXmp, "", "", 1)},
        {"tiff_rgb_strips_with_metadata", TPhotoFormat::Tiff, false, 0, 0,
         [=](const Rgba& img) {
             TiffOptions o;
             o.orientation = 3, o.xmp = kXmp, o.iptc = kIptc, o.icc = smallIcc;
             return WriteTiff(img, o);
         },
         Meta("", kXmp, kIptc, smallIcc, 3)},
        {"tiff_rgba16_tiled",
         TPhotoFormat::Tiff,
         true,
         1,
         1.0,
         [](const Rgba& img) {
             TiffOptions o;
             o.bits = 16, o.alpha = o.tiled = true;
             return WriteTiff(img, o);
         },
         {}},
        {"tiff_cmyk",
         TPhotoFormat::Tiff,
         false,
         1,
         1.0,
         [](const Rgba& img) {
             TiffOptions o;
             o.cmyk = true;
             return WriteTiff(img, o);
         },
         {}},
        {"tiff_first_of_two_pages",
         TPhotoFormat::Tiff,
         false,
         0,
         0,
         [](const Rgba& img) {
             TiffOptions o;
             o.pages = 2;
             return WriteTiff(img, o);
         },
         {},
         false},
        {"webp_lossless_alpha_with_metadata", TPhotoFormat::Webp, true, 0, 0,
         [=](const Rgba& img) {
             WebpOptions o;
             o.alpha = true, o.exif = ExifBlock(5), o.xmp = kXmp, o.icc = smallIcc;
             return WriteWebp(img, o);
         },
         Meta(ExifBlock(5), kXmp, "", smallIcc, 5)},
        {"webp_lossy",
         TPhotoFormat::Webp,
         false,
         90,
         7.0,
         [](const Rgba& img) {
             WebpOptions o;
             o.lossless = false;
             return WriteWebp(img, o);
         },
         {}},
        {"webp_first_frame_of_animation", TPhotoFormat::Webp, true, 0, 0, WriteAnimatedWebp, {}},
    };
    if (CanWriteHeif()) {
        cases.push_back({"heif_with_metadata", TPhotoFormat::Heif, false, 90, 4.0,
                         [=](const Rgba& img) {
                             HeifOptions o;
                             o.exif = ExifBlock(6), o.xmp = kXmp, o.icc = smallIcc;
                             return WriteHeif(img, o);
                         },
                         // libheif does not turn the picture by EXIF; only irot/imir count.
                         Meta(ExifBlock(6), kXmp, "", smallIcc, 1)});
        cases.push_back({"heif_alpha",
                         TPhotoFormat::Heif,
                         true,
                         90,
                         4.0,
                         [](const Rgba& img) {
                             HeifOptions o;
                             o.alpha = true;
                             return WriteHeif(img, o);
                         },
                         {}});
    }
    return cases;
}

class PhotoDecode : public ::testing::TestWithParam<Case> {};

TEST_P(PhotoDecode, PixelsAndMetadata) {
    const Case& c = GetParam();
    const Rgba img = TestPicture(61, 37, c.alpha);
    const std::string file = c.write(img);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(DetectPhotoFormat(reinterpret_cast<const uint8_t*>(file.data()), file.size()), c.format);
    TBitmap bmp;
    PhotoMetadata meta;
    ASSERT_EQ(Decode(file, bmp, meta), "");
    ASSERT_EQ(bmp.Width(), img.width);
    ASSERT_EQ(bmp.Height(), img.height);
    EXPECT_EQ(bmp.PixelFormat(), c.alpha ? pf32bit : pf24bit);
    const Diff d = Compare(bmp, img, c.alpha);
    EXPECT_LE(d.max, c.maxDiff);
    EXPECT_LE(d.mean, c.meanDiff);
    if (c.format == TPhotoFormat::Tiff)  // a block built from the file's fields: judged by exiftool below
        EXPECT_EQ(ExifOrientation(meta.exif), c.expected.orientation);
    else
        EXPECT_EQ(meta.exif, c.expected.exif);
    EXPECT_EQ(meta.xmp, c.expected.xmp);
    EXPECT_EQ(meta.iptc, c.expected.iptc);
    EXPECT_EQ(meta.icc.size(), c.expected.icc.size());
    EXPECT_TRUE(meta.icc == c.expected.icc);
    EXPECT_EQ(meta.orientation, c.expected.orientation);
}

// A file cut short fails as damaged, with the format in the message, unless the cut spared
// the picture (a later page, trailing metadata): then the pixels are those of the whole file.
TEST_P(PhotoDecode, TruncatedFileFails) {
    const Case& c = GetParam();
    const Rgba img = TestPicture(61, 37, c.alpha);
    const std::string file = c.write(img);
    TBitmap whole;
    PhotoMetadata wholeMeta;
    ASSERT_EQ(Decode(file, whole, wholeMeta), "");
    for (size_t keep : {file.size() / 2, file.size() * 9 / 10}) {
        TBitmap bmp;
        PhotoMetadata meta;
        try {
            DecodePhoto(reinterpret_cast<const uint8_t*>(file.data()), keep, bmp, meta);
            EXPECT_FALSE(keep == file.size() / 2 && c.halfFails) << "decoded half the file";
            EXPECT_TRUE(bmp.BitsSize() == whole.BitsSize() &&
                        std::memcmp(bmp.Bits(), whole.Bits(), whole.BitsSize()) == 0)
                << "decoded other pixels from " << keep << " of " << file.size() << " bytes";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Kind(), TFailureKind::Damaged) << e.Message();
            EXPECT_NE(e.Message().find(':'), std::string::npos) << e.Message();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PhotoDecode, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PhotoDecodeHeif, EncoderAvailable) {
    if (!CanWriteHeif()) GTEST_SKIP() << "this libheif has no HEVC encoder: HEIF cases not written";
    SUCCEED();
}

// libjpeg's plain decode of the same file is the judge: identical samples.
TEST(PhotoDecodeJpeg, SameSamplesAsLibjpeg) {
    const Rgba img = TestPicture(45, 29, false, 1);
    for (bool progressive : {false, true}) {
        JpegOptions o;
        o.progressive = progressive;
        const std::string file = WriteJpeg(img, o);
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr err;
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(file.data()), file.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        Rgba ref{int(cinfo.output_width), int(cinfo.output_height), {}};
        std::vector<uint8_t> row(cinfo.output_width * 3);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW r = row.data();
            jpeg_read_scanlines(&cinfo, &r, 1);
            for (size_t x = 0; x < cinfo.output_width; ++x)
                ref.px.insert(ref.px.end(), {row[3 * x], row[3 * x + 1], row[3 * x + 2], 255});
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        TBitmap bmp;
        PhotoMetadata meta;
        ASSERT_EQ(Decode(file, bmp, meta), "");
        EXPECT_EQ(Compare(bmp, ref, false).max, 0) << "progressive " << progressive;
    }
}

TEST(PhotoDecodeJpeg, TooManyScansRefused) {
    JpegOptions o;
    o.manyScans = true;
    const std::string file = WriteJpeg(TestPicture(16, 16, false), o);
    TBitmap bmp;
    PhotoMetadata meta;
    try {
        DecodePhoto(reinterpret_cast<const uint8_t*>(file.data()), file.size(), bmp, meta);
        FAIL() << "a file of 569 scans was decoded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Kind(), TFailureKind::TooLarge);
        EXPECT_NE(e.Message().find("scans"), std::string::npos) << e.Message();
    }
}

// Variants libjpeg cannot decode are unsupported, not damaged.
TEST(PhotoDecodeJpeg, UndecodableVariantsUnsupported) {
    const std::string file = WriteJpeg(TestPicture(16, 16, false), {});
    const size_t sof = file.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    for (const auto& [offset, value] : {std::pair{sof + 4, 12}, std::pair{sof + 1, 0xC3}}) {  // 12-bit, lossless
        std::string variant = file;
        variant[offset] = char(value);
        TBitmap bmp;
        PhotoMetadata meta;
        try {
            DecodePhoto(reinterpret_cast<const uint8_t*>(variant.data()), variant.size(), bmp, meta);
            ADD_FAILURE() << "decoded with byte " << offset << " set to " << value;
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Kind(), TFailureKind::Unsupported) << e.Message();
            EXPECT_EQ(e.Message().rfind("JPEG: ", 0), 0u) << e.Message();
        }
    }
}

// Warnings about labels libjpeg does not know leave the picture whole: they do not fail it.
TEST(PhotoDecodeJpeg, UnknownJfifVersionAccepted) {
    std::string file = WriteJpeg(TestPicture(16, 16, false), {});
    const size_t jfif = file.find(std::string("JFIF\0", 5));
    ASSERT_NE(jfif, std::string::npos);
    file[jfif + 5] = 2;  // version 2.x
    TBitmap bmp;
    PhotoMetadata meta;
    EXPECT_EQ(Decode(file, bmp, meta), "");
}

// A JPEG ICC profile with a chunk missing is dropped, not glued together wrongly.
TEST(PhotoDecodeJpeg, IncompleteProfileDropped) {
    JpegOptions o;
    o.icc = FakeProfile(100000);
    std::string file = WriteJpeg(TestPicture(16, 16, false), o);
    const size_t second = file.find(std::string("ICC_PROFILE\0\x02", 13));
    ASSERT_NE(second, std::string::npos);
    file[second + 12] = 3;  // chunk 3 of 2: invalid
    TBitmap bmp;
    PhotoMetadata meta;
    ASSERT_EQ(Decode(file, bmp, meta), "");
    EXPECT_TRUE(meta.icc.empty());
}

// Sizes beyond the pixel cap are refused from the header, before any allocation.
TEST(PhotoDecode, OversizedHeadersRefused) {
    const Rgba img = TestPicture(16, 16, false);
    std::string jpeg = WriteJpeg(img, {});
    const size_t sof = jpeg.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    jpeg[sof + 5] = jpeg[sof + 7] = char(0xEA);  // 60000 x 60000
    jpeg[sof + 6] = jpeg[sof + 8] = char(0x60);
    std::string png = WritePng(img, {});
    png.replace(16, 8, std::string("\x00\x01\x00\x00\x00\x01\x00\x00", 8));  // 65536 x 65536
    for (const std::string* file : {&jpeg, &png}) {
        TBitmap bmp;
        PhotoMetadata meta;
        try {
            DecodePhoto(reinterpret_cast<const uint8_t*>(file->data()), file->size(), bmp, meta);
            ADD_FAILURE() << "an oversized picture was decoded";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Kind(), TFailureKind::TooLarge) << e.Message();
            EXPECT_NE(e.Message().find("too large"), std::string::npos) << e.Message();
        }
    }
}

TEST(PhotoDecode, UnknownBytesUnsupported) {
    const std::string bmp = "BM\0\0\0\0\0\0";
    TBitmap out;
    PhotoMetadata meta;
    try {
        DecodePhoto(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size(), out, meta);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Kind(), TFailureKind::Unsupported);
    }
}

// A TIFF's camera data become a stand-alone EXIF block; exiftool writes the fields into the
// TIFF and reads them back out of the block.
TEST(PhotoDecodeTiff, ExifBlockReadByExiftool) {
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool not installed";
    testsupport::TempDir dir;
    const std::string tif = dir.file("camera.tif"), blob = dir.file("block.exif");
    {
        TMemoryStream s;
        const std::string bytes = WriteTiff(TestPicture(20, 10, false), {});
        s.WriteBuffer(bytes.data(), int64_t(bytes.size()));
        s.SaveToFile(tif);
    }
    const std::string set =
        "exiftool -q -overwrite_original -Make=TestCam -Orientation#=8 "
        "'-DateTimeOriginal=2024:05:06 07:08:09' -ExposureTime=0.004 "
        "-GPSLatitude=35.5 -GPSLatitudeRef=N " +
        tif;
    ASSERT_EQ(std::system(set.c_str()), 0);
    TBitmap bmp;
    PhotoMetadata meta;
    LoadPhotoFile(tif, bmp, meta);
    EXPECT_EQ(meta.orientation, 8);
    EXPECT_EQ(ExifOrientation(meta.exif), 8);
    {
        TMemoryStream s;
        s.WriteBuffer(meta.exif.data(), int64_t(meta.exif.size()));
        s.SaveToFile(blob);
    }
    const std::string get = "exiftool -s3 -n -Make -Orientation -DateTimeOriginal -ExposureTime -GPSLatitude " + blob +
                            " > " + dir.file("out.txt");
    ASSERT_EQ(std::system(get.c_str()), 0);
    TMemoryStream out;
    out.LoadFromFile(dir.file("out.txt"));
    EXPECT_EQ(std::string(out.Bytes().begin(), out.Bytes().end()), "TestCam\n8\n2024:05:06 07:08:09\n0.004\n35.5\n");
}

TEST(PhotoDecodeHeif, IrotImirAppliedByLibheif) {
    if (!CanWriteHeif()) GTEST_SKIP() << "this libheif has no HEVC encoder";
    const Rgba img = TestPicture(48, 32, false);
    for (int orientation : {1, 3, 6, 7}) {
        HeifOptions o;
        o.orientation = orientation;
        TBitmap bmp;
        PhotoMetadata meta;
        ASSERT_EQ(Decode(WriteHeif(img, o), bmp, meta), "");
        EXPECT_EQ(meta.orientation, 1);
        const bool swapped = orientation >= 5;
        EXPECT_EQ(bmp.Width(), swapped ? 32 : 48) << orientation;
        // The stored picture's top-left corner (red 0, green 0) is where the orientation puts it.
        const int cx = orientation == 3 || orientation == 6 || orientation == 7 ? bmp.Width() - 1 : 0;
        const int cy = orientation == 3 || orientation == 7 ? bmp.Height() - 1 : 0;
        const TColor c = bmp.GetPixel(cx, cy);
        EXPECT_LT(GetRValue(c) + GetGValue(c), 40) << "orientation " << orientation;
    }
}

}  // namespace
