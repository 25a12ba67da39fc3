#include "PhotoSettings.h"

#include <algorithm>
#include <type_traits>

#include "IniFiles.h"

namespace {

const TPhotoSettingsKey kKeys[] = {
    {"accept_photos", &TPhotoSettings::AcceptPhotos},     {"out_dir", &TPhotoSettings::OutDir},
    {"keep_metadata", &TPhotoSettings::KeepMetadata},     {"strip_gps", &TPhotoSettings::StripGps},
    {"embed_copyright", &TPhotoSettings::EmbedCopyright}, {"lossless_jpeg", &TPhotoSettings::LosslessJpeg},
};

}  // namespace

std::span<const TPhotoSettingsKey> PhotoSettingsKeys() { return kKeys; }

void ReadPhotoSettings(const TMemIniFile& ini, TPhotoSettings& settings) {
    const TPhotoSettings defaults;
    for (const TPhotoSettingsKey& key : kKeys) {
        std::visit(
            [&](auto member) {
                using T = std::remove_cvref_t<decltype(settings.*member)>;
                if constexpr (std::is_same_v<T, bool>)
                    settings.*member = ini.ReadBool(kPhotoSection, key.Ident, defaults.*member);
                else
                    settings.*member = ini.ReadString(kPhotoSection, key.Ident, defaults.*member);
            },
            key.Where);
    }
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
                using T = std::remove_cvref_t<decltype(settings.*member)>;
                if constexpr (std::is_same_v<T, bool>)
                    ini.WriteBool(kPhotoSection, key.Ident, settings.*member);
                else
                    ini.WriteString(kPhotoSection, key.Ident, settings.*member);
            },
            key.Where);
    }
}
