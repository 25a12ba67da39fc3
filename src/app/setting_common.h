// The record of all options, its initial values and the program's version text.
#pragma once

#include <cstddef>
#include <string>

#include "Graphics.h"
#include "PhotoSettings.h"

// The stamp text a first start uses, and what stands in for a stored text that cannot be read.
inline constexpr const char* kDefaultStampText = "(c)2005 Rinto";

// A stamp is one short line. The settings dialog's field holds no more; a longer stored text is
// used cut to this many characters, and a longer --text is refused.
inline constexpr size_t kMaxStampTextChars = 1024;

// The number of characters of a UTF-8 text, counted by the bytes that begin them.
size_t TextLength(const std::string& text);
// The text cut to its first kMaxStampTextChars characters.
std::string CutStampText(const std::string& text);

// This build's version: the project version that CMakeLists.txt gives, and nowhere else.
extern const char* const kProgramVersion;

// Strings are held as UTF-8; they become code page 932 bytes only where they leave the
// program (settings file, pass phrase hashing, encryption).
//
// The member initialisers are the initial values: a record made here, or reset by
// InitSettings, holds them until the settings file is read.
struct Settings {
    bool RestoreWindowPos = false;
    TColor BackColor = 0x77C158;
    TColor WordColor = 0x5831;
    bool BackTransparent = false;
    std::string FontName;
    bool PosLeft = true;
    bool PosTop = true;
    std::string VersionText = "0.0.0.0";
    int ImageQuality = 10;
    int SaveFormat = 0;
    std::string CopyrightText = kDefaultStampText;
    std::string PassPhrase = "きょうもとてもいいてんきだね～☆";
    int Threads = 0;  // encoder threads for one picture; 0: the cores no other picture of the run uses

    // The "copyright_text" line the settings file held at load, and the stamp text the run took
    // from it. While CopyrightText still holds that text, a save writes the line back as it was,
    // so that a line this build cannot read, or a text longer than a stamp may be, is never
    // replaced by what the run used instead.
    std::string StoredTextLine;
    std::string StoredTextInUse;

    // The photo options, kept in the settings file's "photo" section.
    TPhotoSettings Photo;
};

void InitSettings(Settings& settings);

// kProgramVersion when path names a readable file, otherwise "".
std::string GetFileVersionText(const std::string& path);
