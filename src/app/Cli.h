// The program's headless commands: no window, no display needed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "setting_common.h"

// The settings a headless run starts from: the program's initial settings with its version,
// then whatever the settings file holds. Every headless command takes its settings here.
Settings LoadEffectiveSettings();

// `kirimark --help`: how to use the program, on out.
void PrintHelp(std::FILE* out);

// `kirimark --stamp [options] FILE...`, args being everything after "--stamp". Prints one line
// per name and the summary, in the order of the names also when several files are stamped at
// a time (--jobs); returns 0 when every name was processed, 1 when any was refused
// or failed, 2 for a usage error.
int RunStampCommand(const std::vector<std::string>& args);

// `kirimark --convert IN OUT` (CliConvert.cpp): IN loaded by its extension (BMP or PNG), OUT
// written by its extension (.bmp, .png, .jpg), no stamp. 0 on success; 1 with the error's
// text on stderr; 2 for a usage error.
int RunConvertCommand(const std::vector<std::string>& args);

// Makes sure nothing started from here asks for a display.
void UseHeadlessGraphics();
