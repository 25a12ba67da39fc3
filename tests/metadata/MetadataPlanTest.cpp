// The plan's outcome in real JPEG and PNG files, as exiftool reads them.
#include <algorithm>

#include <gtest/gtest.h>

#include "ExifToolJudge.h"
#include "JpegMetadata.h"
#include "MetadataPlan.h"
#include "PngMetadata.h"
#include "TestSupport.h"

namespace {

using metatest::Tags;

const std::string kAscii = "(c)2005 Rinto";
const std::string kJapanese =
    "\xC2\xA9"
    "2005 \xE9\x9C\xA7\xE5\xB3\xB6";  // ©2005 霧島
const char* const kAbsent = nullptr;

struct Row {
    bool keep, stripGps, embed;
    const std::string& notice;
    int orientation;  // 1 after decoding and encoding, the source's 6 on the lossless path
};

const Row kPlans[] = {
    {true, true, true, kAscii, 1},       {true, true, true, kJapanese, 6},   {true, true, false, kAscii, 1},
    {true, true, false, kJapanese, 6},   {true, false, true, kAscii, 6},     {true, false, true, kJapanese, 1},
    {true, false, false, kAscii, 1},     {true, false, false, kJapanese, 1}, {false, true, true, kAscii, 1},
    {false, true, true, kJapanese, 6},   {false, true, false, kAscii, 1},    {false, true, false, kJapanese, 6},
    {false, false, true, kAscii, 6},     {false, false, true, kJapanese, 1}, {false, false, false, kAscii, 1},
    {false, false, false, kJapanese, 1},
};

void ExpectTag(const Tags& tags, const std::string& key, const char* want) {
    auto it = tags.find(key);
    if (!want)
        EXPECT_TRUE(it == tags.end()) << key << " should be absent, is " << it->second;
    else if (it == tags.end())
        ADD_FAILURE() << key << " missing, want " << want;
    else
        EXPECT_EQ(it->second, want) << key;
}

bool AnyInGroup(const Tags& tags, const std::string& group) {
    for (const auto& [key, value] : tags)
        if (key.rfind(group + ":", 0) == 0) return true;
    return false;
}

TEST(MetadataPlan, TableOfPlansInJpegAndPng) {
    REQUIRE_EXIFTOOL();
    testsupport::TempDir dir;
    PhotoMetadata source = metatest::ExifToolSource(dir.path()).metadata;
    source.icc = metatest::IccProfile("mntr", "RGB ");
    const std::string jpeg = metatest::TinyJpeg(), png = metatest::TinyPng();

    std::vector<std::string> files;
    for (size_t i = 0; i < std::size(kPlans); ++i) {
        for (TMetadataTarget target : {TMetadataTarget::Jpeg, TMetadataTarget::Png}) {
            const Row& r = kPlans[i];
            MetadataPlan plan{.target = target,
                              .keepMetadata = r.keep,
                              .stripLocation = r.stripGps,
                              .embedNotice = r.embed,
                              .notice = r.notice,
                              .orientation = r.orientation,
                              .width = 20,
                              .height = 12};
            const OutputMetadata out = PlanOutputMetadata(source, plan);
            EXPECT_TRUE(out.notes.empty()) << out.notes.front();
            const bool isJpeg = target == TMetadataTarget::Jpeg;
            files.push_back(dir.file("out" + std::to_string(i) + (isJpeg ? ".jpg" : ".png")));
            metatest::WriteFile(files.back(),
                                isJpeg ? InsertJpegMetadata(jpeg, out.blocks) : InsertPngMetadata(png, out.blocks));
        }
    }

    const auto read = metatest::ReadTags(files);
    for (size_t f = 0; f < files.size(); ++f) {
        const Row& r = kPlans[f / 2];
        const bool isJpeg = f % 2 == 0, ascii = &r.notice == &kAscii;
        SCOPED_TRACE(files[f] + (r.keep ? " keep" : " drop") + (r.stripGps ? " strip-gps" : " keep-gps") +
                     (r.embed ? " embed " : " no-embed ") + (ascii ? "ascii" : "japanese") + " orientation " +
                     std::to_string(r.orientation));
        ASSERT_EQ(read.count(files[f]), 1u);
        const Tags& t = read.at(files[f]);
        const std::string o = std::to_string(r.orientation);
        const char* gps = r.keep && !r.stripGps ? "35.68" : kAbsent;

        ExpectTag(t, "ExifTool:Validate", "0 0 0");
        ExpectTag(t, "ExifTool:Warning", kAbsent);
        ExpectTag(t, "IFD0:Make", r.keep ? "KiriCam" : kAbsent);
        ExpectTag(t, "ExifIFD:DateTimeOriginal", r.keep ? "2024:05:01 10:00:00" : kAbsent);
        ExpectTag(t, "ExifIFD:ExifImageWidth", r.keep ? "20" : kAbsent);
        ExpectTag(t, "GPS:GPSLatitude", gps);
        ExpectTag(t, "XMP-exif:GPSLatitude", gps);
        ExpectTag(t, "XMP-iptcExt:LocationCreatedGPSLatitude", gps);
        EXPECT_FALSE(AnyInGroup(t, "IFD1")) << "thumbnail of the unstamped picture left in";
        ExpectTag(t, "XMP-xmp:ThumbnailImage", kAbsent);
        ExpectTag(t, "IFD0:Orientation", r.orientation != 1 ? o.c_str() : r.keep ? "1" : kAbsent);
        ExpectTag(t, "XMP-tiff:Orientation", r.keep ? o.c_str() : kAbsent);
        ExpectTag(t, "IFD0:Copyright", r.embed && ascii ? r.notice.c_str() : r.keep ? "(c) Old Owner" : kAbsent);
        ExpectTag(t, "XMP-dc:Creator", r.keep ? "Photographer" : kAbsent);
        ExpectTag(t, "XMP-dc:Rights", r.embed ? r.notice.c_str() : r.keep ? "Old rights" : kAbsent);
        ExpectTag(t, "ICC-header:ColorSpaceData", "RGB ");
        if (isJpeg) {
            ExpectTag(t, "IPTC:CopyrightNotice", r.embed ? r.notice.c_str() : r.keep ? "Old notice" : kAbsent);
            ExpectTag(t, "IPTC:City", r.keep ? "Z\xC3\xBCrich" : kAbsent);  // Latin-1 in the source
            ExpectTag(t, "IPTC:Keywords", r.keep ? "alpha" : kAbsent);
        } else {
            EXPECT_FALSE(AnyInGroup(t, "IPTC")) << "PNG has no place for IPTC";
        }
    }
}

}  // namespace

namespace {

TEST(MetadataPlan, ProfileKeptOnlyWhenItFitsTheOutput) {
    const std::string rgb = metatest::IccProfile("mntr", "RGB ");
    std::string shortened = rgb;
    shortened.resize(150);  // declares more than it holds
    const struct {
        std::string profile;
        TOutputColour colour;
        std::string kept;
    } cases[] = {
        {rgb, TOutputColour::Rgb, rgb},
        {metatest::IccProfile("scnr", "RGB "), TOutputColour::Rgb, metatest::IccProfile("scnr", "RGB ")},
        {metatest::IccProfile("prtr", "CMYK"), TOutputColour::Rgb, ""},
        {metatest::IccProfile("mntr", "GRAY"), TOutputColour::Rgb, ""},
        {metatest::IccProfile("mntr", "GRAY"), TOutputColour::Grey, metatest::IccProfile("mntr", "GRAY")},
        {rgb, TOutputColour::Grey, ""},
        {metatest::IccProfile("link", "RGB "), TOutputColour::Rgb, ""},
        {metatest::IccProfile("mntr", "Lab "), TOutputColour::Rgb, ""},
        {shortened, TOutputColour::Rgb, ""},
        {rgb + "padding", TOutputColour::Rgb, rgb},  // what follows the declared size is not the profile's
        {rgb.substr(0, 100), TOutputColour::Rgb, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        PhotoMetadata source;
        source.icc = cases[i].profile;
        for (bool keep : {true, false}) {
            MetadataPlan plan;
            plan.colour = cases[i].colour;
            plan.keepMetadata = keep;
            plan.embedNotice = false;
            const OutputMetadata out = PlanOutputMetadata(source, plan);
            EXPECT_TRUE(out.blocks.icc == cases[i].kept);
            EXPECT_EQ(out.notes.size(), cases[i].kept.empty() ? 1u : 0u);
        }
    }
}

TEST(MetadataPlan, DamagedBlocksAreLeftOutAndTheNoticeStillWritten) {
    PhotoMetadata source;
    source.exif = "II*\0\xFF\xFF\xFF\x7F garbage";
    source.xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF";
    source.iptc = "\x1C\x02\x74\x7F\xFF shorter than it says";
    MetadataPlan plan;
    plan.notice = kAscii;
    const OutputMetadata out = PlanOutputMetadata(source, plan);
    ASSERT_EQ(out.notes.size(), 3u);
    for (const char* block : {"EXIF", "XMP", "IPTC"})
        EXPECT_TRUE(std::any_of(out.notes.begin(), out.notes.end(), [&](const std::string& n) {
            return n.rfind(block, 0) == 0;
        })) << block;
    for (const std::string* block : {&out.blocks.exif, &out.blocks.xmp, &out.blocks.iptc})
        EXPECT_NE(block->find(kAscii), std::string::npos);
}

TEST(MetadataPlan, IptcNoticeCutAtItsLimitBetweenCharacters) {
    std::string notice;
    for (int i = 0; i < 50; ++i) notice += "\xE9\x9C\xA7";  // 150 bytes
    MetadataPlan plan;
    plan.notice = notice;
    const OutputMetadata out = PlanOutputMetadata(PhotoMetadata{}, plan);
    EXPECT_NE(out.blocks.iptc.find(notice.substr(0, 126)), std::string::npos);
    EXPECT_EQ(out.blocks.iptc.find(notice.substr(0, 129)), std::string::npos);
    EXPECT_NE(out.blocks.xmp.find(notice), std::string::npos) << "XMP has no such limit";
    EXPECT_EQ(out.notes.size(), 1u);
}

}  // namespace
