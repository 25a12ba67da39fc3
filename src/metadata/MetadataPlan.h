// Which of a photo's metadata its stamped output carries, and the output's blocks that follow:
// EXIF, XMP and IPTC kept or dropped, the location removed, the stamp text written in as the
// copyright notice, the orientation set for the output's pixels, the ICC profile kept only
// when it describes the output's colours. The JPEG and PNG units put the blocks into files.
#pragma once

#include <string>
#include <vector>

#include "IccProfile.h"
#include "PhotoMetadata.h"

enum class TMetadataTarget { Jpeg, Png };

struct MetadataPlan {
    TMetadataTarget target = TMetadataTarget::Jpeg;
    TOutputColour colour = TOutputColour::Rgb;
    // Off drops EXIF, XMP and IPTC; a fitting ICC profile stays, being colour, not metadata.
    bool keepMetadata = true;
    // The EXIF GPS block and the XMP exif:GPS* properties.
    bool stripLocation = true;
    // notice goes into XMP dc:rights, IPTC CopyrightNotice (JPEG) and EXIF Copyright when it is
    // ASCII (EXIF has no other encoding for it; otherwise EXIF keeps what it had).
    bool embedNotice = true;
    std::string notice;  // UTF-8
    // Orientation of the output's stored pixels: 1 when they were turned upright, the source's
    // when they were not. A value other than 1 is written even when metadata is not kept,
    // because the picture would show turned without it. Values outside 1..8 count as 1.
    int orientation = 1;
    // The output's size for the EXIF and XMP pixel dimensions that the source had; 0 leaves
    // them as they were.
    int width = 0, height = 0;
};

struct OutputMetadata {
    PhotoMetadata blocks;            // empty strings are not written; iptc is empty for PNG
    std::vector<std::string> notes;  // what of the source was left out and why
};

// Builds the output's blocks. Damaged source blocks are left out with a note, never passed on
// half-understood: a block the library cannot parse cannot have its location removed.
OutputMetadata PlanOutputMetadata(const PhotoMetadata& source, const MetadataPlan& plan);

// Prepares the metadata library (its XMP toolkit keeps global state). PlanOutputMetadata calls
// it; call it at start-up when other code reads metadata with the same library on threads.
void InitMetadataLibrary();
