// A JPEG output's metadata segments: EXIF and XMP in APP1, the ICC profile in APP2 chunks,
// IPTC in an APP13 Photoshop resource block.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "JpegLossless.h"
#include "PhotoMetadata.h"

// The largest blocks one file can carry: a segment holds 65533 bytes after its length field,
// less each kind's signature; a profile is split into at most 255 chunks.
constexpr size_t kJpegMaxExif = 65533 - 6;
constexpr size_t kJpegMaxXmp = 65533 - 29;
constexpr size_t kJpegMaxIptc = 65533 - 14 - 12 - 1;
constexpr size_t kJpegIccChunk = 65533 - 14;
constexpr size_t kJpegMaxIcc = kJpegIccChunk * 255;

// The segments' markers and data, in the order EXIF, XMP, ICC, IPTC. A block beyond the
// limits above raises Exception (Unsupported): the caller plans for them.
std::vector<TJpegMarker> JpegMetadataMarkers(const PhotoMetadata& blocks);
// The same as bytes: each segment with its marker and length.
std::string JpegMetadataSegments(const PhotoMetadata& blocks);

// The JPEG with the blocks' segments right after SOI (and the JFIF APP0 segment when that
// comes first), and without any EXIF, XMP, ICC or Photoshop segment it had before, so that
// the output carries exactly the blocks. Everything from the first frame header on is copied
// as it is. Raises Exception (Damaged) when the bytes do not start like a JPEG's.
std::string InsertJpegMetadata(std::string_view jpeg, const PhotoMetadata& blocks);

// The same edit on a file's list of APPn and COM markers, for stamping that rewrites a JPEG
// from its markers (TLosslessJpegOptions::editMarkers).
void ReplaceJpegMetadataMarkers(std::vector<TJpegMarker>& markers, const PhotoMetadata& blocks);
