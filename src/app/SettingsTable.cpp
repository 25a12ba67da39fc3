#include "SettingsTable.h"

#include <algorithm>
#include <type_traits>

#include "IniFiles.h"

namespace {

const TSettingsKey kKeys[] = {
    {"basic", "Position", &Settings::RestoreWindowPos, 1},
    {"colors", "back_color", &Settings::BackColor, 0xFFFFFF},
    {"colors", "word_color", &Settings::WordColor, 0},
    {"colors", "back_trans", &Settings::BackTransparent, 0},
    // Applied only when "Position" asks for it, but written whatever it holds.
    {"window", "top", &TWindowPosition::Top, 0},
    {"window", "left", &TWindowPosition::Left, 0},
    {"font", "name", &Settings::FontName, 0, "MS UI Gothic"},
    {"position", "top", &Settings::PosTop, 0},
    {"position", "left", &Settings::PosLeft, 0},
    {"save", "format", &Settings::SaveFormat, 0, "", 0, 1},
    {"save", "imagequality", &Settings::ImageQuality, 10, "", 1, 10},
};

template <class T, class S, class W>
auto& Place(T Settings::*member, S& settings, W&) {
    return settings.*member;
}
template <class T, class S, class W>
auto& Place(T TWindowPosition::*member, S&, W& window) {
    return window.*member;
}

// Calls f with a reference to the value the key stands for (const when the places are).
template <class S, class W, class F>
void Visit(const TSettingsKey& key, S& settings, W& window, F&& f) {
    std::visit([&](auto member) { f(Place(member, settings, window)); }, key.Where);
}

}  // namespace

std::span<const TSettingsKey> SettingsFileKeys() { return kKeys; }

void ReadSettingsKeys(const TMemIniFile& ini, std::span<const TSettingsKey> keys, Settings& settings,
                      TWindowPosition& window) {
    for (const TSettingsKey& key : keys) {
        Visit(key, settings, window, [&](auto& value) {
            using T = std::remove_reference_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>)
                value = ini.ReadBool(key.Section, key.Ident, key.Default != 0);
            else if constexpr (std::is_same_v<T, std::string>)
                value = ini.ReadString(key.Section, key.Ident, key.TextDefault);
            else
                value = std::clamp(ini.ReadInteger(key.Section, key.Ident, key.Default), key.Min, key.Max);
        });
    }
}

void WriteSettingsKeys(TMemIniFile& ini, std::span<const TSettingsKey> keys, const Settings& settings,
                       const TWindowPosition& window) {
    for (const TSettingsKey& key : keys) {
        Visit(key, settings, window, [&](const auto& value) {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>)
                ini.WriteBool(key.Section, key.Ident, value);
            else if constexpr (std::is_same_v<T, std::string>)
                ini.WriteString(key.Section, key.Ident, value);
            else
                ini.WriteInteger(key.Section, key.Ident, value);
        });
    }
}
