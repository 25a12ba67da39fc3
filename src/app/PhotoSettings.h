// The photo options: which inputs a run takes besides bitmaps, where outputs go, and what of a
// photo's metadata its output carries. They live in the settings file's "photo" section, which
// other options share; this unit reads and writes only its own keys there.
#pragma once

#include <span>
#include <string>
#include <variant>

#include "StampStyle.h"

class TMemIniFile;

// The member initialisers are the defaults: a file without the keys gives these, and with
// them the program behaves as it does for bitmaps alone.
struct TPhotoSettings {
    bool AcceptPhotos = false;   // JPEG, PNG, TIFF, WebP and HEIF names besides ".bmp"
    std::string OutDir;          // empty: photos into "stamped" beside the source, bitmaps beside it
    bool KeepMetadata = true;    // EXIF, XMP and IPTC into the output
    bool StripGps = true;        // outputs are for publishing: no location in them
    bool EmbedCopyright = true;  // the stamp text also as the metadata's copyright notice
    // A JPEG photo saved as JPEG keeps its coded blocks: only those under the stamp are encoded
    // anew, and the quality setting does not apply to it.
    bool LosslessJpeg = true;
    // How large the stamp is drawn, on bitmaps and photos alike.
    TStampSize StampSize;

    bool operator==(const TPhotoSettings&) const = default;
};

inline constexpr const char* kPhotoSection = "photo";

// One key of the section: its name and the member it fills. Booleans are stored as 1 or 0,
// texts as they are; the stamp size's kind and value as StampSizeText gives them, its least
// and greatest heights as whole numbers of pixels (0 for no greatest).
struct TPhotoSettingsKey {
    const char* Ident;
    std::variant<bool TPhotoSettings::*, std::string TPhotoSettings::*, TStampSize TPhotoSettings::*, int TStampSize::*>
        Where;
};

std::span<const TPhotoSettingsKey> PhotoSettingsKeys();

// Reads the keys; an absent, malformed or out-of-bounds value gives the default, as does a
// greatest stamp height below the least.
void ReadPhotoSettings(const TMemIniFile& ini, TPhotoSettings& settings);

// Writes the keys, in table order, keeping every other line of the section. Nothing is written
// while every value is its default and the file holds none of the keys, so that a file the
// options never touched keeps the lines it would have without them.
void WritePhotoSettings(TMemIniFile& ini, const TPhotoSettings& settings);
