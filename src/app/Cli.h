// The program's headless commands: no window, no display needed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "setting_common.h"

// The settings a headless run starts from: the program's initial settings with its version,
// then whatever the settings file holds. Every headless command takes its settings here.
Settings LoadEffectiveSettings();

// `kirimark --help`: how to use the program, on standard output. Returns 0, or 1 when it
// could not be written.
int PrintHelp();

// The number of files --stamp works on at a time by default: the CPUs this process may use.
unsigned DefaultJobs();

// A name or value made safe for one line of output: "\\" for a backslash, "\n", "\r" and
// "\t", "\xHH" for any other control character (ASCII, DEL, and U+0080 to U+009F byte by
// byte) and for every byte that is not part of valid UTF-8; all else unchanged.
std::string EscapeForLine(const std::string& text);

// Puts /dev/null on each of standard input, output and error that is closed, so that no file
// the program opens takes its number and receives what was meant for the stream. main calls
// it before anything else opens a file (fonts, settings); a report on standard output then
// still knows that it was closed.
void KeepStandardStreamsOpen();

// Standard output of a headless command, line by line; remembers whether every line got out
// (a full disk, a closed stream).
class TReportOutput {
public:
    // Keeps the standard streams open (above). command names the command in messages.
    explicit TReportOutput(const char* command);
    // Writes text and a line break, flushed.
    void Line(const std::string& text);
    // status when every line was written; otherwise says why on standard error and returns 1
    // (2 stays 2).
    int Finish(int status);

private:
    const char* command_;
    bool failed_ = false;
    std::string why_;
};

// `kirimark --stamp [options] FILE...`, args being everything after "--stamp". Prints one line
// per name and the summary, in the order of the names also when several files are stamped at
// a time (--jobs); returns 0 when every name was processed, 1 when any was refused
// or failed, 2 for a usage error.
int RunStampCommand(const std::vector<std::string>& args);

// `kirimark --convert IN OUT` (CliConvert.cpp): IN loaded by its extension (BMP or PNG), OUT
// written by its extension (.bmp, .png, .jpg), no stamp. 0 on success; 1 with the error's
// text on stderr; 2 for a usage error.
int RunConvertCommand(const std::vector<std::string>& args);
