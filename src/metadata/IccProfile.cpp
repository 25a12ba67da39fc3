#include "IccProfile.h"

#include <cstdint>

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kMinSize = kHeaderSize + 4;  // the header and an (empty) tag count

uint32_t BigEndian32(std::string_view s, size_t at) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

}  // namespace

size_t IccDeclaredSize(std::string_view profile) {
    if (profile.size() < kMinSize || profile.substr(36, 4) != "acsp") return 0;
    const uint32_t declared = BigEndian32(profile, 0);
    if (declared < kMinSize || declared > profile.size()) return 0;
    return declared;
}

TIccColourSpace IccColourSpace(std::string_view profile) {
    if (IccDeclaredSize(profile) == 0) return TIccColourSpace::Invalid;
    const std::string_view space = profile.substr(16, 4);
    if (space == "RGB ") return TIccColourSpace::Rgb;
    if (space == "GRAY") return TIccColourSpace::Grey;
    if (space == "CMYK") return TIccColourSpace::Cmyk;
    return TIccColourSpace::Other;
}

bool IccFitsOutput(std::string_view profile, TOutputColour colour) {
    const TIccColourSpace space = IccColourSpace(profile);
    const bool spaceFits =
        colour == TOutputColour::Rgb ? space == TIccColourSpace::Rgb : space == TIccColourSpace::Grey;
    if (!spaceFits) return false;
    const std::string_view deviceClass = profile.substr(12, 4);
    return deviceClass == "scnr" || deviceClass == "mntr" || deviceClass == "prtr" || deviceClass == "spac";
}
