// Putting blocks into finished JPEG and PNG files: whole profiles across chunk limits, old
// blocks replaced, pixels untouched, damaged files refused.
#include <functional>

#include <gtest/gtest.h>

#include "Classes.h"
#include "ExifToolJudge.h"
#include "JpegMetadata.h"
#include "MetadataPlan.h"
#include "PngMetadata.h"
#include "PngTestHelpers.h"
#include "SysUtils.h"
#include "TestSupport.h"

namespace {

struct Format {
    const char* name;
    std::string (*base)();
    std::string (*insert)(std::string_view, const PhotoMetadata&);
    TMetadataTarget target;
    // The pixels as an independent decoder sees them; empty when it refuses the file.
    std::function<std::vector<uint8_t>(const std::string&)> pixels;
};

const Format kFormats[] = {
    {"jpg", metatest::TinyJpeg, InsertJpegMetadata, TMetadataTarget::Jpeg, metatest::DecodeJpeg},
    {"png", metatest::TinyPng, InsertPngMetadata, TMetadataTarget::Png,
     [](const std::string& png) {
         const auto d = pngtest::DecodeWithLibpng(std::vector<uint8_t>(png.begin(), png.end()), /*strict=*/true);
         return d.ok ? d.rgba : std::vector<uint8_t>{};
     }},
};

PhotoMetadata Planned(const PhotoMetadata& source, TMetadataTarget target, const std::string& notice) {
    MetadataPlan plan;
    plan.target = target;
    plan.notice = notice;
    return PlanOutputMetadata(source, plan).blocks;
}

TEST(MetadataInsert, ProfilesOfEverySizeComeBackWhole) {
    REQUIRE_EXIFTOOL();
    testsupport::TempDir dir;
    // One chunk exactly full, one byte more, and a profile of several chunks.
    const size_t sizes[] = {156, kJpegIccChunk, kJpegIccChunk + 1, 3 * kJpegIccChunk - 5};
    std::vector<std::string> files, profiles;
    for (const Format& f : kFormats) {
        for (size_t size : sizes) {
            PhotoMetadata blocks;
            blocks.icc = metatest::IccProfile("mntr", "RGB ", size);
            profiles.push_back(blocks.icc);
            files.push_back(dir.file(f.name + std::string("-") + std::to_string(size) + "." + f.name));
            metatest::WriteFile(files.back(), f.insert(f.base(), blocks));
        }
    }
    const auto read = metatest::ReadBinaryTag(files, "ICC_Profile");
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        EXPECT_EQ(read[i].size(), profiles[i].size());
        EXPECT_TRUE(read[i] == profiles[i]);
    }
}

TEST(MetadataInsert, ReplacesEarlierBlocksAndLeavesThePixels) {
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.name);
        PhotoMetadata first = Planned(PhotoMetadata{}, f.target, "first");
        first.icc = metatest::IccProfile("mntr", "RGB ", 70000);
        PhotoMetadata second = Planned(PhotoMetadata{}, f.target, "second");
        second.icc = metatest::IccProfile("scnr", "RGB ", 300);

        const std::string base = f.base();
        const std::string once = f.insert(base, second);
        EXPECT_EQ(f.insert(f.insert(base, first), second), once);
        EXPECT_EQ(f.insert(once, PhotoMetadata{}), base) << "without blocks, the file as the encoder wrote it";
        const auto pixels = f.pixels(base);
        ASSERT_FALSE(pixels.empty());
        EXPECT_EQ(f.pixels(once), pixels);
    }
}

// Stamping that rewrites the file from its marker list gets the same segments as stamping
// that inserts them into its finished bytes.
TEST(MetadataInsert, MarkerListEditMatchesTheInsertion) {
    PhotoMetadata first = Planned(PhotoMetadata{}, TMetadataTarget::Jpeg, "first");
    first.icc = metatest::IccProfile("mntr", "RGB ", 70000);
    const std::string source = InsertJpegMetadata(metatest::TinyJpeg(), first);
    PhotoMetadata second = Planned(PhotoMetadata{}, TMetadataTarget::Jpeg, "second");
    second.icc = metatest::IccProfile("scnr", "RGB ");

    TLosslessStamp stamp;
    stamp.cellWidth = stamp.cellHeight = 4;
    stamp.draw = [](TBitmap&, int, int) {};
    auto stamped = [&](const TLosslessJpegOptions& options) {
        TMemoryStream out;
        StampJpegLossless(reinterpret_cast<const uint8_t*>(source.data()), source.size(), stamp, out, options);
        return std::string(out.Bytes().begin(), out.Bytes().end());
    };
    TLosslessJpegOptions edit;
    edit.editMarkers = [&](std::vector<TJpegMarker>& markers) { ReplaceJpegMetadataMarkers(markers, second); };
    EXPECT_EQ(stamped(edit), InsertJpegMetadata(stamped({}), second));
}

TEST(MetadataInsert, ReplacesTheSegmentsOfAnotherWriter) {
    REQUIRE_EXIFTOOL();
    testsupport::TempDir dir;
    const metatest::Source& source = metatest::ExifToolSource(dir.path());
    const PhotoMetadata blocks = Planned(PhotoMetadata{}, TMetadataTarget::Jpeg, "second");
    EXPECT_EQ(InsertJpegMetadata(source.jpeg, blocks), InsertJpegMetadata(metatest::TinyJpeg(), blocks));
}

TEST(MetadataInsert, PngChunksGoWhereEveryReaderSeesThem) {
    PhotoMetadata blocks = Planned(PhotoMetadata{}, TMetadataTarget::Png, "notice");
    blocks.icc = metatest::IccProfile("mntr", "RGB ");
    const std::string png = InsertPngMetadata(metatest::TinyPng(), blocks);
    const auto chunks = pngtest::Chunks(std::vector<uint8_t>(png.begin(), png.end()));
    const auto types = pngtest::ChunkTypes(chunks);
    ASSERT_GE(types.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 4),
              (std::vector<std::string>{"IHDR", "iCCP", "eXIf", "iTXt"}));
    for (const auto& c : chunks) EXPECT_TRUE(c.crcOk) << c.type;
}

TEST(MetadataInsert, DamagedFilesAreRefused) {
    const std::string jpeg = metatest::TinyJpeg(), png = metatest::TinyPng();
    const std::string soi = "\xFF\xD8";
    const struct {
        std::string bytes;
        std::string (*insert)(std::string_view, const PhotoMetadata&);
    } cases[] = {
        {"", InsertJpegMetadata},
        {soi, InsertJpegMetadata},
        {png, InsertJpegMetadata},
        {soi + "\xFF\xE1\x40\x00" + "Exif", InsertJpegMetadata},  // segment longer than the file
        {soi + "\x00\x00\x00\x00\x00\x00", InsertJpegMetadata},   // no marker
        {soi + "\xFF\xD9\xFF\xDA\x00\x02", InsertJpegMetadata},   // end of image before any scan
        {jpeg.substr(0, 30), InsertJpegMetadata},                 // cut inside the header
        {"", InsertPngMetadata},
        {jpeg, InsertPngMetadata},
        {png.substr(0, 8) + png.substr(33), InsertPngMetadata},  // no IHDR
        {png.substr(0, png.size() - 12), InsertPngMetadata},     // no IEND
        {png.substr(0, 40), InsertPngMetadata},                  // cut inside a chunk
    };
    PhotoMetadata blocks;
    blocks.icc = metatest::IccProfile("mntr", "RGB ");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        try {
            cases[i].insert(cases[i].bytes, blocks);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Kind(), TFailureKind::Damaged) << e.what();
        }
    }
}

}  // namespace
