// exiftool as the independent reader of our outputs' metadata, and the maker of a realistic
// source: a JPEG written by exiftool with EXIF (GPS, copyright, thumbnail), XMP (GPS also
// inside an IPTC-extension location, a thumbnail) and Latin-1 IPTC, whose raw blocks exiftool hands back.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "PhotoMetadata.h"

namespace metatest {

bool HaveExifTool();

// Tag values by "Group1:Tag" as `exiftool -j -G1 -a -n` prints them (numbers as their text,
// arrays joined with ", "), plus "ExifTool:Validate" ("errors warnings minor").
using Tags = std::map<std::string, std::string>;

// One exiftool run over all files; the result is keyed by the path as given.
std::map<std::string, Tags> ReadTags(const std::vector<std::string>& files);

// A tag's binary value (`exiftool -b`) in each file, empty when absent; one exiftool run.
// The files' names without extension must differ.
std::vector<std::string> ReadBinaryTag(const std::vector<std::string>& files, const std::string& tag);

struct Source {
    std::string jpeg;        // the file exiftool wrote
    PhotoMetadata metadata;  // its EXIF, XMP and IPTC as exiftool extracts them
};
// Built once per test binary in dir; throws when exiftool fails.
const Source& ExifToolSource(const std::string& dir);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A small RGB picture encoded by our JPEG and PNG writers.
std::string TinyJpeg();
std::string TinyPng();
// RGB samples as libjpeg decodes them; empty when libjpeg refuses the data.
std::vector<uint8_t> DecodeJpeg(const std::string& jpeg);

// An ICC profile header (and padding up to size) of a class and a data colour space.
std::string IccProfile(const char* deviceClass, const char* colourSpace, size_t size = 156);

}  // namespace metatest

#define REQUIRE_EXIFTOOL()                                                                    \
    do {                                                                                      \
        if (!metatest::HaveExifTool())                                                        \
            GTEST_SKIP() << "exiftool (libimage-exiftool-perl) not found; metadata unjudged"; \
    } while (0)
