#include "PhotoSettings.h"

#include <algorithm>
#include <type_traits>

#include "IniFiles.h"

namespace {

const TPhotoSettingsKey kKeys[] = {
    {"accept_photos", &TPhotoSettings::AcceptPhotos},
    {"out_dir", &TPhotoSettings::OutDir},
    {"keep_metadata", &TPhotoSettings::KeepMetadata},
    {"strip_gps", &TPhotoSettings::StripGps},
    {"embed_copyright", &TPhotoSettings::EmbedCopyright},
    {"lossless_jpeg", &TPhotoSettings::LosslessJpeg},
    {"stamp_size", &TPhotoSettings::StampSize},
    {"size_min", &TStampSize::MinPixels},
    {"size_max", &TStampSize::MaxPixels},
};

bool InBounds(int TStampSize::*member, int value) {
    return value >= (member == &TStampSize::MaxPixels ? 0 : 1) && value <= kMaxStampPixels;
}

}  // namespace

std::span<const TPhotoSettingsKey> PhotoSettingsKeys() { return kKeys; }

void ReadPhotoSettings(const TMemIniFile& ini, TPhotoSettings& settings) {
    const TPhotoSettings defaults;
    for (const TPhotoSettingsKey& key : kKeys) {
        std::visit(
            [&](auto member) {
                using M = decltype(member);
                if constexpr (std::is_same_v<M, int TStampSize::*>) {
                    const int value = ini.ReadInteger(kPhotoSection, key.Ident, defaults.StampSize.*member);
                    settings.StampSize.*member = InBounds(member, value) ? value : defaults.StampSize.*member;
                } else if constexpr (std::is_same_v<M, bool TPhotoSettings::*>) {
                    settings.*member = ini.ReadBool(kPhotoSection, key.Ident, defaults.*member);
                } else if constexpr (std::is_same_v<M, TStampSize TPhotoSettings::*>) {
                    // Only the kind and value; the heights have keys of their own.
                    TStampSize& size = settings.*member;
                    size.Relative = (defaults.*member).Relative;
                    size.Points = (defaults.*member).Points;
                    size.Hundredths = (defaults.*member).Hundredths;
                    ParseStampSize(ini.ReadString(kPhotoSection, key.Ident, ""), size);
                } else {
                    settings.*member = ini.ReadString(kPhotoSection, key.Ident, defaults.*member);
                }
            },
            key.Where);
    }
    TStampSize& size = settings.StampSize;
    if (size.MaxPixels != 0 && size.MaxPixels < size.MinPixels) size.MaxPixels = defaults.StampSize.MaxPixels;
}

void WritePhotoSettings(TMemIniFile& ini, const TPhotoSettings& settings) {
    // Once a key is in the file it must follow the setting, even back to its default.
    const bool present = std::any_of(std::begin(kKeys), std::end(kKeys), [&](const TPhotoSettingsKey& key) {
        return ini.ValueExists(kPhotoSection, key.Ident);
    });
    if (!present && settings == TPhotoSettings{}) return;
    for (const TPhotoSettingsKey& key : kKeys) {
        std::visit(
            [&](auto member) {
                using M = decltype(member);
                if constexpr (std::is_same_v<M, int TStampSize::*>)
                    ini.WriteInteger(kPhotoSection, key.Ident, settings.StampSize.*member);
                else if constexpr (std::is_same_v<M, bool TPhotoSettings::*>)
                    ini.WriteBool(kPhotoSection, key.Ident, settings.*member);
                else if constexpr (std::is_same_v<M, TStampSize TPhotoSettings::*>)
                    ini.WriteString(kPhotoSection, key.Ident, StampSizeText(settings.*member));
                else
                    ini.WriteString(kPhotoSection, key.Ident, settings.*member);
            },
            key.Where);
    }
}
