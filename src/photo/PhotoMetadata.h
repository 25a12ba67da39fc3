// What a photo carries besides its pixels, as raw blocks in their standard encodings, so that
// decoding (which finds them) and metadata editing (which rewrites them) need not know each
// other's libraries.
#pragma once

#include <string>

struct PhotoMetadata {
    // EXIF as a TIFF structure ("II*\0" or "MM\0*" first), without the "Exif\0\0" prefix that
    // JPEG's APP1 segment and HEIF's Exif item put before it.
    std::string exif;
    // XMP packet: UTF-8 XML text.
    std::string xmp;
    // IPTC-IIM records (the datasets themselves, not the Photoshop resource block around them).
    std::string iptc;
    // ICC profile, whole.
    std::string icc;
    // EXIF orientation 1..8 of the stored pixels, as found; 1 when absent or meaningless.
    // HEIF decoding has already applied irot/imir and reports 1 here.
    int orientation = 1;

    bool Empty() const { return exif.empty() && xmp.empty() && iptc.empty() && icc.empty(); }
};
