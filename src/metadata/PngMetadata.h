// A PNG output's metadata chunks: EXIF in eXIf, XMP in an iTXt chunk "XML:com.adobe.xmp" (the
// keyword readers look for), the ICC profile in iCCP. PNG has no place for IPTC.
#pragma once

#include <string>
#include <string_view>

#include "PhotoMetadata.h"

// The chunks' data fields (no length, type or CRC); an empty field is not written.
struct PngMetadataChunks {
    std::string eXIf, iTXt, iCCP;
};

PngMetadataChunks PngMetadataPayloads(const PhotoMetadata& blocks);

// The PNG with the blocks' chunks right after IHDR, where every reader sees them (iCCP must
// precede PLTE and IDAT), and without any eXIf, XMP iTXt or iCCP chunk it had before (nor an
// sRGB chunk when a profile is added: the two exclude each other). Raises Exception (Damaged)
// when the bytes are not a PNG's chunk sequence.
std::string InsertPngMetadata(std::string_view png, const PhotoMetadata& blocks);
