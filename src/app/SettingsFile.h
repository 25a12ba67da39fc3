// The settings file: the record's options, the window position and the protected stamp text,
// kept in an INI file between runs. No toolkit here; the main window applies the position.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SettingsTable.h"
#include "SysUtils.h"
#include "setting_common.h"

// A settings file that cannot be read or written. The message is the text the user is shown:
// "ファイル <path> は開けません" or "ファイル <path> を作成できません".
class ESettingsFileError : public Exception {
    using Exception::Exception;
};

// The running program's file (/proc/self/exe), or "" when it cannot be found.
std::string ProgramFilePath();

// The settings file for a program at programPath: the same path with the extension replaced
// by ".ini". A program installed under /usr (its folder is not the user's to write) keeps
// it in $XDG_CONFIG_HOME/kirimark/kirimark.ini (default ~/.config/kirimark/kirimark.ini).
std::string SettingsFilePath(const std::string& programPath);

// The settings file of the running program; $KIRIMARK_SETTINGS_FILE names another (tests).
std::string ProgramSettingsFilePath();

// What a load found wrong with the stored stamp text. Either way the run goes on, and the
// stored line is written back unchanged unless the stamp text is changed in this run.
enum class TStoredTextProblem {
    None,
    Unreadable,  // present but it does not decrypt: the run stamps kDefaultStampText
    TooLong,     // longer than kMaxStampTextChars: the run stamps it cut to that length
};

// What the run does about a problem, as one line for standard error ("" for None).
std::string StoredTextProblemText(TStoredTextProblem problem, const std::string& path);

// The text of the window's box for an unreadable stored text.
std::string StoredTextUnreadableBoxText();

// Fills settings from the file (a missing file gives every read default) and returns where
// to move the window (top edge first, then left) when the file asks for that. Raises
// ESettingsFileError, with settings untouched, when the file exists but cannot be read.
std::optional<TWindowPosition> ReadSettingsFile(const std::string& path, Settings& settings,
                                                TStoredTextProblem* problem = nullptr);

// Writes settings and the window's current position into the file, keeping whatever else it
// holds; the file is replaced whole or not at all. A settings file that is a symbolic link is
// written through to the file it leads to. Raises ESettingsFileError when the file cannot be
// read or written.
void WriteSettingsFile(const std::string& path, const Settings& settings, TWindowPosition current);

// The settings a run takes from the file, as ("section.key", value) in the file's key order
// (the order a save writes them, keys the program does not know included), with the stamp
// text in plain as the run uses it. A key the file holds more than once is listed once, with
// the value that counts: the first. Raises ESettingsFileError when the file cannot be read.
std::vector<std::pair<std::string, std::string>> DescribeSettingsFile(const std::string& path,
                                                                      TStoredTextProblem* problem = nullptr);
