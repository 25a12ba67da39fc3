// The record of all options, its initial values and the program's version text.
#pragma once

#include <string>

#include "Graphics.h"

// Strings are held as UTF-8; they become code page 932 bytes only where they leave the
// program (settings file, pass phrase hashing, encryption).
struct Settings {
    bool RestoreWindowPos = false;
    TColor BackColor = 0;
    TColor WordColor = 0;
    bool BackTransparent = false;
    std::string FontName;
    bool PosLeft = true;
    bool PosTop = true;
    std::string VersionText;
    int ImageQuality = 10;
    int SaveFormat = 0;
    std::string CopyrightText;
    std::string PassPhrase;
};

void InitSettings(Settings& settings);

// The version of this build ("1.0.0.8" for this release) when path names a readable file,
// otherwise "".
std::string GetFileVersionText(const std::string& path);
