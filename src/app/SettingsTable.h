// The keys of the settings file in one table: where each lives in the file, where its value
// lives in the program, how it is read and its read default. The read defaults are those a
// start without a file gets; they differ on purpose from the record's initial values.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <variant>

#include "setting_common.h"

class TMemIniFile;

// Top and left edges of the main window's frame, in screen pixels.
struct TWindowPosition {
    int Top = 0;
    int Left = 0;
};

struct TSettingsKey {
    using Field = std::variant<bool Settings::*, int Settings::*, std::string Settings::*, int TWindowPosition::*>;

    const char* Section;
    const char* Ident;
    Field Where;
    int32_t Default = 0;                                // Booleans (0 or 1) and integers
    const char* TextDefault = "";                       // texts
    int32_t Min = std::numeric_limits<int32_t>::min();  // a value read outside [Min, Max] is clamped
    int32_t Max = std::numeric_limits<int32_t>::max();
};

// Every plain key, in the order a first save lays them out. The protected stamp text
// ("copyright_text" in "save") is not among them: the settings file handles it.
std::span<const TSettingsKey> SettingsFileKeys();

// Reads each key into its place; a missing or malformed value gives the key's read default.
void ReadSettingsKeys(const TMemIniFile& ini, std::span<const TSettingsKey> keys, Settings& settings,
                      TWindowPosition& window);

// Writes each key, in table order, keeping whatever else the file holds.
void WriteSettingsKeys(TMemIniFile& ini, std::span<const TSettingsKey> keys, const Settings& settings,
                       const TWindowPosition& window);
