#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "IniFiles.h"
#include "PhotoSettings.h"
#include "SettingsFile.h"
#include "TestSupport.h"

// Readable failures; found by lookup in the struct's own namespace.
void PrintTo(const TPhotoSettings& s, std::ostream* os) {
    *os << "{" << s.AcceptPhotos << ", \"" << s.OutDir << "\", " << s.KeepMetadata << ", " << s.StripGps << ", "
        << s.EmbedCopyright << ", " << s.LosslessJpeg << ", " << StampSizeText(s.StampSize) << " "
        << s.StampSize.MinPixels << "-" << s.StampSize.MaxPixels << "}";
}

namespace {

const TPhotoSettings kDefaults;
const TPhotoSettings kNoGps{false, "", true, false, true, true, {}};
const char* const kDefaultSizeLines = "stamp_size=9pt\r\nsize_min=12\r\nsize_max=0\r\n";

TPhotoSettings Sized(bool relative, int value, int least, int greatest) {
    TPhotoSettings s;
    s.StampSize.Relative = relative;
    (relative ? s.StampSize.Hundredths : s.StampSize.Points) = value;
    s.StampSize.MinPixels = least;
    s.StampSize.MaxPixels = greatest;
    return s;
}

TMemIniFile Ini(const std::string& text) {
    TMemIniFile ini("");
    ini.SetText(text);
    return ini;
}

TPhotoSettings Read(const std::string& text) {
    TPhotoSettings s;
    s.AcceptPhotos = true;  // every field must be overwritten, not merely left alone
    s.OutDir = "stale";
    s.KeepMetadata = s.StripGps = s.EmbedCopyright = s.LosslessJpeg = false;
    s.StampSize = {true, 40, 999, 99, 199};
    ReadPhotoSettings(Ini(text), s);
    return s;
}

TEST(PhotoSettings, ReadsTheFileForm) {
    struct Case {
        const char* text;
        TPhotoSettings expected;
    };
    const Case cases[] = {
        {"", kDefaults},
        {"[other]\r\naccept_photos=1\r\n", kDefaults},
        {"[photo]\r\nthreads=4\r\n", kDefaults},
        {"[PHOTO]\r\nAccept_Photos=1\r\nout_dir= /tmp/out dir \r\n",
         {true, "/tmp/out dir", true, true, true, true, {}}},
        {"[photo]\r\nkeep_metadata=0\r\nstrip_gps=0\r\nembed_copyright=0\r\nlossless_jpeg=0\r\n",
         {false, "", false, false, false, false, {}}},
        // Any non-zero integer is true; what is not an integer gives the default.
        {"[photo]\r\naccept_photos=-1\r\nkeep_metadata=yes\r\nstrip_gps=\r\nembed_copyright=$0\r\n",
         {true, "", true, true, false, true, {}}},
        {"[photo]\r\nstamp_size=2.5%\r\nsize_min=20\r\nsize_max=300\r\n", Sized(true, 250, 20, 300)},
        {"[photo]\r\nstamp_size=24pt\r\nsize_min=1\r\nsize_max=10000\r\n", Sized(false, 24, 1, 10000)},
        {"[photo]\r\nstamp_size=0.1%\r\nsize_max=12\r\n", Sized(true, 10, 12, 12)},
        // Malformed or out of bounds: the default, each key on its own.
        {"[photo]\r\nstamp_size=0pt\r\nsize_min=0\r\nsize_max=-1\r\n", kDefaults},
        {"[photo]\r\nstamp_size=50.5%\r\nsize_min=10001\r\nsize_max=10001\r\n", kDefaults},
        {"[photo]\r\nstamp_size=9\r\nsize_min=big\r\nsize_max=2.5\r\n", kDefaults},
        {"[photo]\r\nstamp_size=2.5 %\r\nsize_min=30\r\n", Sized(false, 9, 30, 0)},
        // A greatest height below the least would overrule nothing sensible: none.
        {"[photo]\r\nsize_min=50\r\nsize_max=20\r\n", Sized(false, 9, 50, 0)},
    };
    for (const Case& c : cases) EXPECT_EQ(Read(c.text), c.expected) << c.text;
}

TEST(PhotoSettings, WritesOnlyWhatDiffersFromAnUntouchedFile) {
    struct Case {
        const char* before;
        TPhotoSettings settings;
        std::string after;
    };
    const char* const kOthers = "[save]\r\nformat=0\r\n";
    const char* const kAll =
        "[photo]\r\naccept_photos=1\r\nout_dir=/o\r\nkeep_metadata=0\r\nstrip_gps=0\r\n"
        "embed_copyright=0\r\nlossless_jpeg=0\r\nstamp_size=3.25%\r\nsize_min=14\r\nsize_max=90\r\n";
    const Case cases[] = {
        // Defaults add nothing, so a first file keeps its lines.
        {kOthers, kDefaults, kOthers},
        {"[photo]\r\nthreads=4\r\n", kDefaults, "[photo]\r\nthreads=4\r\n"},
        // One change writes the whole section, in table order, after the lines already there.
        {kOthers, kNoGps,
         "[save]\r\nformat=0\r\n\r\n[photo]\r\naccept_photos=0\r\nout_dir=\r\nkeep_metadata=1\r\nstrip_gps=0\r\n"
         "embed_copyright=1\r\nlossless_jpeg=1\r\n" +
             std::string(kDefaultSizeLines)},
        {"", {true, "/o", false, false, false, false, {true, 9, 325, 14, 90}}, kAll},
        // The size alone is a change, in either kind.
        {kOthers, Sized(false, 10, 12, 0),
         "[save]\r\nformat=0\r\n\r\n[photo]\r\naccept_photos=0\r\nout_dir=\r\nkeep_metadata=1\r\nstrip_gps=1\r\n"
         "embed_copyright=1\r\nlossless_jpeg=1\r\nstamp_size=10pt\r\nsize_min=12\r\nsize_max=0\r\n"},
        {"", Sized(false, 9, 13, 0),
         "[photo]\r\naccept_photos=0\r\nout_dir=\r\nkeep_metadata=1\r\nstrip_gps=1\r\nembed_copyright=1\r\n"
         "lossless_jpeg=1\r\nstamp_size=9pt\r\nsize_min=13\r\nsize_max=0\r\n"},
        // Other keys of the section keep their place; ours are replaced in theirs.
        {"[photo]\r\nstrip_gps=1\r\nthreads=4\r\n", kNoGps,
         "[photo]\r\nstrip_gps=0\r\nthreads=4\r\naccept_photos=0\r\nout_dir=\r\nkeep_metadata=1\r\n"
         "embed_copyright=1\r\nlossless_jpeg=1\r\n" +
             std::string(kDefaultSizeLines)},
        // A key back at its default is written so: the file must not keep the old choice.
        {kAll, kDefaults,
         "[photo]\r\naccept_photos=0\r\nout_dir=\r\nkeep_metadata=1\r\nstrip_gps=1\r\nembed_copyright=1\r\n"
         "lossless_jpeg=1\r\n" +
             std::string(kDefaultSizeLines)},
    };
    for (const Case& c : cases) {
        TMemIniFile ini = Ini(c.before);
        WritePhotoSettings(ini, c.settings);
        EXPECT_EQ(ini.GetText(), Ini(c.after).GetText()) << c.before;
        EXPECT_EQ(Read(ini.GetText()), c.settings) << c.before;
    }
}

}  // namespace

namespace {

// The settings file carries the section between runs and keeps what others put into it.
TEST(PhotoSettings, TheSettingsFileCarriesThem) {
    testsupport::TempDir dir;
    const std::string path = dir.file("k.ini");
    apptest::WriteFile(path, "[photo]\r\nthreads=3\r\n");
    Settings s;
    ReadSettingsFile(path, s);
    EXPECT_TRUE(s.Photo == kDefaults);
    s.Photo = {true, "/srv/o", false, true, false, false, {true, 9, 50, 20, 400}};
    WriteSettingsFile(path, s, {});
    Settings back;
    ReadSettingsFile(path, back);
    EXPECT_TRUE(back.Photo == s.Photo);
    TMemIniFile ini(path);
    EXPECT_EQ(ini.ReadString("photo", "threads", ""), "3");
}

}  // namespace
